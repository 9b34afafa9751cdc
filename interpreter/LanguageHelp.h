// LanguageHelp: the help texts of the language that are not in the operator
// table: what the description prefixes mean, the forms whose state the table
// does not tell (not implemented by design, done by the evaluator), and the
// control words and directives. Plain data with no dependency on a host, so
// that whatever keeps the operator metadata can read it as it is.
#pragma once

namespace TarqLang {

// A description prefix ("N:", "S/F:") and what it names.
struct Prefix {
  const char* prefix;
  const char* meaning;
};
extern const Prefix kPrefixes[];
extern const int kPrefixCount;

// How a form stands when the table alone does not say it.
enum class FormState : char {
  asProbed = 'p',        // as the probe finds it; the note only adds a description
  notImplemented = 'n',  // in the table, but raises an error by design (no result to expect)
  byEvaluator = 'e',     // the evaluator does the work; the table's function is never called
};

// One form of an operator: valence 'N', 'M' or 'D'; a description for the
// help when the table's text is empty (null to keep the table's); the note
// shown with the form.
struct FormNote {
  const char* symbol;
  char valence;
  FormState state;
  const char* description;
  const char* note;
};
extern const FormNote kFormNotes[];
extern const int kFormNoteCount;

// A control word or a directive: the word as written, its other spellings
// (blank-separated), one line of summary, the explanation, and an example
// whose result the help computes by running it (null when it has none).
struct Keyword {
  const char* word;
  const char* aliases;
  const char* summary;
  const char* text;
  const char* example;
};
extern const Keyword kControlWords[];
extern const int kControlWordCount;
extern const Keyword kDirectives[];
extern const int kDirectiveCount;

}  // namespace TarqLang
