// LanguageHelp: the data behind ")help legend", the form notes of the
// operator help, ")help :FOR" and ")help $T". Texts are Windows-1252 with
// "\n" line ends, as the rest of the help.
#include "LanguageHelp.h"

namespace TarqLang {

const Prefix kPrefixes[] = {
    {"N", "numbers (Int or Float arrays; clocks count as numbers)"},
    {"B", "bit vectors (the results of comparisons, #TRUE, #FALSE)"},
    {"S", "strings"},
    {"C", "characters: strings taken character by character"},
    {"F", "files (#FILE), read and moved in as streams"},
    {"FC", "file contexts (#FC): folders"},
    {"Q", "sequences (lists of values of any kind)"},
    {"G", "regular expressions (#GREP)"},
    {"A", "any value"},
    {"O", "objects (values of any kind, taken whole)"},
    {"M", "names no kind: the form makes or manages something (a program, a file, a namespace)"},
    {"S/F", "kinds joined by \"/\" or \",\": the form takes any of them (strings or files here)"},
    {"B:AND;A:Intersect", "several cases separated by \";\" or \",\": bits are ANDed, other values intersected"},
};
const int kPrefixCount = sizeof kPrefixes / sizeof kPrefixes[0];

const FormNote kFormNotes[] = {
    {"=>", 'M', FormState::notImplemented, "Assign (monadic)",
     "raises 6 Not Implemented: an assignment needs a value on its left"},
    {"=>[", 'D', FormState::byEvaluator, nullptr, "done by the evaluator: value =>[index] name"},
    {"#X", 'M', FormState::byEvaluator, "C:Execute", "done by the evaluator: 'text' #X runs the text"},
    {"\\=", 'M', FormState::notImplemented, nullptr, "raises 6 Not Implemented"},
    {"#RS", 'D', FormState::notImplemented, nullptr, "raises 6 Not Implemented"},
    {"#FMT", 'D', FormState::notImplemented, nullptr, "raises 6 Not Implemented; %* formats with a picture"},
    {"#NS", 'D', FormState::notImplemented, nullptr, "raises 7 Not Supported"},
    {"%\\%", 'D', FormState::notImplemented, nullptr, "raises 6 Not Implemented; %% reshapes"},
    {"@&-", 'M', FormState::notImplemented, nullptr, "raises 6 Not Implemented"},
    {"@&|", 'M', FormState::notImplemented, nullptr, "raises 6 Not Implemented"},
    {"#&", 'D', FormState::notImplemented, nullptr, "raises 6 Not Implemented; ``& gives the places"},
    {"\\&", 'D', FormState::notImplemented, nullptr, "raises 6 Not Implemented; \\\\ segments on a string"},
    {"~~&", 'M', FormState::notImplemented, nullptr, "raises 6 Not Implemented; ~~ removes extra blanks"},
    {"~~&", 'D', FormState::notImplemented, nullptr, "raises 6 Not Implemented; ~~| removes extra characters"},
    // Niladic slots with no text of their own.
    {"#CRC", 'N', FormState::asProbed, "The CRC of nothing: _1", nullptr},
    {"#CRCCS", 'N', FormState::asProbed, "The CRC of nothing: _1", nullptr},
    {"#CRCCSWS", 'N', FormState::asProbed, "The CRC of nothing: _1", nullptr},
    {"%*", 'N', FormState::asProbed, "To String of nothing: the empty string", nullptr},
    {"%**", 'N', FormState::asProbed, "To Verbose String of nothing", nullptr},
    {"*", 'N', FormState::asProbed, "Scope of nothing: _1", nullptr},
};
const int kFormNoteCount = sizeof kFormNotes / sizeof kFormNotes[0];

const Keyword kControlWords[] = {
    {":IF", ":?", "conditional: :IF (test) {body} :ELSEIF (test) {body} :ELSE {body}",
     "Runs the body of the first clause whose test is true and gives its value; Nil when no\n"
     "test is true. A test is true when its value has elements and the first of them is\n"
     "not 0 (an empty string is false).",
     ":IF (2 > 1) {'yes'} :ELSE {'no'}"},
    {":ELSEIF", "::?", "a further clause of :IF: :ELSEIF (test) {body}",
     "Tried when the clauses before it were false.", ":IF (0) {1} :ELSEIF (1) {2} :ELSE {3}"},
    {":ELSE", "::", "the last clause of :IF: :ELSE {body}", "Runs when no test of the :IF was true.",
     ":IF (0) {1} :ELSE {2}"},
    {":FOR", ":@&", "loop over values: :FOR (names) {body}",
     "Runs the body once per element of the values named in the parentheses, each name bound\n"
     "to its element in turn; the value is the sequence of the body's values. :BREAK ends the\n"
     "loop after the pass, :CONTINUE ends the pass.",
     "1 2 3 => x; :FOR (x) {x * 10}"},
    {":WHILE", ":??", "loop while a test holds: :WHILE (test) {body}",
     "Runs the test, then the body while the test is true; the value is the sequence of the\n"
     "body's values. :BREAK ends the loop. After :DO {body} it gives the :DO's test.",
     "0 => i; :WHILE (i < 3) {i + 1 => i}"},
    {":DO", ":+", "loop that runs its body first: :DO {body} :WHILE (test)",
     "Runs the body, then again while the test is true. Without :WHILE it runs until a :BREAK\n"
     "or :RETURN (or Stop).",
     "0 => i; :DO {i + 1 => i} :WHILE (i < 3)"},
    {":SELECT", ":^", "selection: :SELECT (value) [modes] {:CASE (v) {body} ... :DEFAULT {body}}",
     "Compares the value with each :CASE's value and runs the bodies that match; the value is\n"
     "the sequence of their values (a body with no value gives its clause's position). Modes,\n"
     "written as fields in brackets: :first (the default: only the first match runs) or :all;\n"
     ":is (equality, the default) or :contains; :tarq (the default collation) or :exact.\n"
     "A :BREAK, :CONTINUE or :RETURN in a body does not stop the clause list; it reaches the\n"
     "enclosing loop or block once the selection is done.",
     "3 => x; :SELECT (x) {:CASE (1) {'one'} :CASE (3) {'three'} :DEFAULT {'other'}}"},
    {":CASE", ":|", "a clause of :SELECT: :CASE (value) {body}", "Runs its body when its value matches the selector.",
     "'b' => x; :SELECT (x) [:all] {:CASE ('a') {1} :CASE ('b') {2} :CASE ('b') {3}}"},
    {":DEFAULT", ":*", "the last clause of :SELECT: :DEFAULT {body}", "Always matches; no :CASE may follow it.",
     ":SELECT (9) {:CASE (1) {'one'} :DEFAULT {'other'}}"},
    {":BREAK", ":!", "leave the enclosing loop", "Ends the expression and the :FOR, :WHILE or :DO around it.",
     "1 2 3 4 => x; :FOR (x) {:IF (x = 3) {:BREAK}; x}"},
    {":CONTINUE", ":->", "go on with the next pass of the enclosing loop", "Ends the expression and the current pass.",
     "1 2 3 4 => x; :FOR (x) {:IF (x = 2) {:CONTINUE}; x}"},
    {":RETURN", ":<-", "leave the program or block: :RETURN or :RETURN n",
     "Ends the expression; the value so far is the result. :RETURN n leaves n nested blocks.",
     "'f' #PGM {7 :RETURN; 8}; f"},
    {":TRY", "", "reserved word", "Recognised but not a statement: it raises a syntax error.", nullptr},
    {":CATCH", ":~", "reserved word", "Recognised but not a statement: it raises a syntax error.", nullptr},
    {":THROW", ":!!", "reserved word", "Recognised but not a statement: it raises a syntax error.", nullptr},
    {":UNTIL", ":-", "reserved word", "Recognised but not a statement: it raises a syntax error.", nullptr},
};
const int kControlWordCount = sizeof kControlWords / sizeof kControlWords[0];

const Keyword kDirectives[] = {
    {"$", "", "display: print the value so far",
     "Prints the text form of the value at the next separator or at the end (verbose when the\n"
     "verbose switch is on), then goes on.",
     "1 + 2 $; 10"},
    {"$**", "", "display verbosely",
     "As $, and turns the verbose switch on (the result then shows its type and shape).", "1 2 3 $**; 10"},
    {"$$", "", "comment to the end of the line", "Everything after $$ on the line is ignored.", "5 $$ a note"},
    {"$*", "*$", "block comment: $* ... *$", "Everything between $* and *$ is ignored, line ends included.",
     "$* not run *$ 5"},
    {"$T", "$t", "trace on ($T) and off ($t)", "Writes a line for every value the evaluator accumulates.",
     "$T 1 + 2 $t"},
    {"$P", "$p", "parse display on ($P) and off ($p)", "Writes a line for every token the evaluator reads.",
     "$P 1 + 2 $p"},
    {"$V", "$v", "verbose on ($V) and off ($v)", "Results and displays show their type and shape.", "$V 1 2"},
    {"$C", "$c", "comments shown ($C) or not ($c)", "With $C, comments are written to the output as they pass.",
     "'a' $C $$ shown"},
    {"$R", "$r", "raw text: $R delimiter $r text delimiter",
     "The text between $r and the delimiter is a string, quotes and all; the delimiter is\n"
     "what stands between $R and $r.",
     "$R|$rit's raw|"},
    {"$D", "$d $S $s", "ignored", "Recognised and ignored.", nullptr},
};
const int kDirectiveCount = sizeof kDirectives / sizeof kDirectives[0];

}  // namespace TarqLang
