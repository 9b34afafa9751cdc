// TarqHelp: the operator help every host shows (")help OP" in tarqsh, the Ops
// list of the desktop program) and the generated reference docs/operators.md.
// Everything comes from the one operator table: the forms and their texts,
// whether each form is built (a form that raises error 6 with its own symbol
// is not), and worked examples with their results. What needs running the
// interpreter (states, results) was computed when the library was built
// (TarqHelpData.h), so showing help runs nothing. Texts are Windows-1252 with "\n"
// line ends, like everything the interpreter produces.
#pragma once
#include <string>
#include <vector>

namespace TarqHelp {

// An operator may have several examples (one per form, or per kind of
// argument); `raises` marks one whose result is the error the form raises.
struct Example {
  const char* symbol;
  const char* text;
  bool raises = false;
};
extern const Example kExamples[];
extern const int kExampleCount;

// What a probe found for one form.
// notImplemented: in the table but raising an error by design; evaluator:
// done by the evaluator itself, not by the table's function.
enum class Form : char { absent = 'a', built = 'b', pending = 'p', notImplemented = 'n', evaluator = 'e' };

struct OpStatus {
  Form niladic = Form::absent, monadic = Form::absent, dyadic = Form::absent;
};

// Table index of an operator given as written ("+", "#cos") or as a bare
// "#" name ("COS"); -1 when there is none.
int FindOperator(const std::string& name);
// Every operator's table index, in declaration order.
std::vector<int> OperatorsInOrder();
const char* Symbol(int index);
const char* ExampleOf(const char* symbol);  // the first; null when none is written
std::vector<const Example*> ExamplesOf(const char* symbol);

// The states were found when the library was built: Probe does nothing
// (kept for hosts that ask before listing).
void Probe(const std::vector<int>& indices);
OpStatus Status(int index);
bool AnyPending(int index);

// Runs a Tarq text on a fresh namespace of its own, in this process:
// printed lines, then the result's text form; an error gives its name and
// message ("(not built yet)" for a form that is not built).
std::string RunExample(const std::string& text);

// The help text of one operator (several lines, no final line end).
std::string OperatorHelp(int index);
// The description texts of an operator's forms, for searching.
std::string OperatorTexts(int index);
// The description of one form: the table's text, or the help's own when the
// table has none; valence 'N', 'M' or 'D'.
std::string FormText(int index, char valence);
// The note the help shows with a form (empty when there is none).
std::string FormNote(int index, char valence);

// Control words (":FOR", ":@&", any case) and directives ("$T", "$t").
// Index into the keyword list, or -1.
int FindKeyword(const std::string& word);
std::string KeywordHelp(int keyword);
// ")help control" and ")help directives": one line per word.
std::string ControlWords();
std::string Directives();
// ")help legend": what the description prefixes mean.
std::string Legend();
// ")apropos WORD": operators, control words and directives whose
// descriptions mention the word (any case).
std::string Apropos(const std::string& word);
// The operator symbol, control word or directive written at position `pos`
// of a line of code (Windows-1252), as FindOperator or FindKeyword take it;
// empty when there is none (a name, a number, a blank). The longest symbol
// that covers the position wins ("->>" rather than "->").
std::string TopicAt(const std::string& line, size_t pos);
// The help text of what TopicAt finds (an operator's or a word's); empty
// when there is none.
std::string HelpFor(const std::string& topic);
// ")help" alone.
std::string Topics();
// ")help operators": every symbol, a few per line.
std::string OperatorNames();
// The whole reference in Markdown (UTF-8).
std::string Reference();

}  // namespace TarqHelp
