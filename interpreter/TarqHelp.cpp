// TarqHelp: operator help and the generated reference, from the operator
// table and the data computed when the library was built (TarqHelpData).
#include "TarqHelp.h"


#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "KArg.h"
#include "KNS.h"
#include "KOps.h"
#include "KParser.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "Kerror.h"
#include "LanguageHelp.h"
#include "TarqExample.h"
#include "TarqHelpData.h"

namespace TarqHelp {
namespace {

void EnsureTable() { KOps ops; }


// Runs the text in this process, on a namespace of its own.
bool NamesPendingOperator(const std::string& detail) {
  int i = FindOperator(detail);
  return i >= 0 && AnyPending(i);
}

std::string RunExampleHere(const std::string& text) { return TarqExample::Run(text, NamesPendingOperator); }


std::string Indent(const std::string& text, const std::string& first, const std::string& rest) {
  std::string out = first;
  for (char c : text) {
    out += c;
    if (c == '\n') out += rest;
  }
  return out;
}

// Built at its final size and filled in place: GCC 12 under link-time
// optimisation misreads the append to a short string as an overflow.
std::string Pad(std::string_view s, size_t width) {
  std::string out(std::max(s.size(), width), ' ');
  std::copy(s.begin(), s.end(), out.begin());
  return out;
}

const char* StateText(Form f) {
  switch (f) {
    case Form::built: return "built";
    case Form::pending: return "not built yet";
    case Form::notImplemented: return "not implemented";
    case Form::evaluator: return "built (by the evaluator)";
    case Form::absent: break;
  }
  return "";
}

std::string FormLine(const char* valence, Form f, const std::string& text, const std::string& note) {
  if (f == Form::absent) return std::string();
  std::string line = "  " + Pad(valence, 9) + Pad(text, 36) + StateText(f) + "\n";
  if (!note.empty()) line += "           (" + note + ")\n";
  return line;
}

const TarqLang::FormNote* NoteFor(const char* symbol, char valence) {
  for (int i = 0; i < TarqLang::kFormNoteCount; ++i) {
    const TarqLang::FormNote& n = TarqLang::kFormNotes[i];
    if (n.valence == valence && std::string(n.symbol) == symbol) return &n;
  }
  return nullptr;
}

// The probe's finding with the states the table cannot tell.
OpStatus WithNotes(int index, OpStatus s) {
  const char* symbol = KOps::fOpsTbl[index].symbol;
  for (auto [valence, form] : {std::pair<char, Form*>{'N', &s.niladic}, {'M', &s.monadic}, {'D', &s.dyadic}}) {
    const TarqLang::FormNote* n = NoteFor(symbol, valence);
    if (!n) continue;
    if (n->state == TarqLang::FormState::notImplemented) *form = Form::notImplemented;
    if (n->state == TarqLang::FormState::byEvaluator) *form = Form::evaluator;
  }
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A Markdown code span that holds any symbol (backquotes included).
std::string CodeSpan(const std::string& s) {
  if (s.find('`') == std::string::npos) return "`" + s + "`";
  return "`` " + s + " ``";
}

Form FromByte(char c) {
  return c == 'a' ? Form::absent : c == 'p' ? Form::pending : Form::built;
}

// A worked example's result, computed when the library was built.
std::string ExampleResult(const Example* ex) {
  const long k = ex - kExamples;
  if (k < 0 || k >= kExampleCount || k >= Data::kExampleResultCount) return RunExampleHere(ex->text);
  return Data::kExampleResults[k];
}

std::string KeywordResult(const TarqLang::Keyword* word) {
  const long c = word - TarqLang::kControlWords, d = word - TarqLang::kDirectives;
  if (c >= 0 && c < TarqLang::kControlWordCount && c < Data::kControlWordResultCount && Data::kControlWordResults[c])
    return Data::kControlWordResults[c];
  if (d >= 0 && d < TarqLang::kDirectiveCount && d < Data::kDirectiveResultCount && Data::kDirectiveResults[d])
    return Data::kDirectiveResults[d];
  return word->example ? RunExampleHere(word->example) : std::string();
}

}  // namespace

int FindOperator(const std::string& name) {
  EnsureTable();
  if (name.empty()) return -1;
  int i = KOps::OpIdxGet(name.c_str());
  if (i < 0 && name[0] != '#') i = KOps::OpIdxGet(("#" + name).c_str());
  return i;
}

std::vector<int> OperatorsInOrder() {
  EnsureTable();
  std::vector<int> order(KOps::nOps);
  for (int i = 0; i < KOps::nOps; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [](int a, int b) { return KOps::fOpsTbl[a].id < KOps::fOpsTbl[b].id; });
  return order;
}

const char* Symbol(int index) { return KOps::OpNameGet(index); }

const char* ExampleOf(const char* symbol) {
  std::vector<const Example*> all = ExamplesOf(symbol);
  return all.empty() ? nullptr : all[0]->text;
}

std::vector<const Example*> ExamplesOf(const char* symbol) {
  std::vector<const Example*> out;
  for (int i = 0; i < kExampleCount; ++i)
    if (std::string(kExamples[i].symbol) == symbol) out.push_back(&kExamples[i]);
  return out;
}

void Probe(const std::vector<int>&) {}

OpStatus Status(int index) {
  EnsureTable();
  OpStatus s;
  const char* symbol = KOps::fOpsTbl[index].symbol;
  for (int i = 0; i < Data::kOpStateCount; ++i) {
    if (std::strcmp(Data::kOpStates[i].symbol, symbol) != 0) continue;
    s.niladic = FromByte(Data::kOpStates[i].forms[0]);
    s.monadic = FromByte(Data::kOpStates[i].forms[1]);
    s.dyadic = FromByte(Data::kOpStates[i].forms[2]);
    break;
  }
  return WithNotes(index, s);
}

bool AnyPending(int index) {
  OpStatus s = Status(index);
  return s.niladic == Form::pending || s.monadic == Form::pending || s.dyadic == Form::pending;
}

std::string RunExample(const std::string& text) { return RunExampleHere(text); }

std::string FormText(int index, char valence) {
  const KOps::KOpRec& r = KOps::fOpsTbl[index];
  const char* text = valence == 'N' ? r.txtN : valence == 'M' ? r.txtM : r.txtD;
  if (*text) return text;
  const TarqLang::FormNote* n = NoteFor(r.symbol, valence);
  return n && n->description ? n->description : std::string();
}

std::string FormNote(int index, char valence) {
  const TarqLang::FormNote* n = NoteFor(KOps::fOpsTbl[index].symbol, valence);
  return n && n->note ? n->note : std::string();
}

std::string OperatorHelp(int index) {
  const KOps::KOpRec& r = KOps::fOpsTbl[index];
  OpStatus s = Status(index);
  std::string out = std::string("Operator ") + r.symbol + "\n";
  out += FormLine("niladic", s.niladic, FormText(index, 'N'), FormNote(index, 'N'));
  out += FormLine("monadic", s.monadic, FormText(index, 'M'), FormNote(index, 'M'));
  out += FormLine("dyadic", s.dyadic, FormText(index, 'D'), FormNote(index, 'D'));
  std::vector<const Example*> examples = ExamplesOf(r.symbol);
  for (size_t k = 0; k < examples.size(); ++k) {
    if (k > 0) out += "\n";
    out += std::string("Example: ") + examples[k]->text + "\n";
    out += Indent(ExampleResult(examples[k]), "Result:  ", "         ");
  }
  if (examples.empty()) out += "No example yet.";
  return out;
}

std::string OperatorTexts(int index) {
  return FormText(index, 'N') + "\n" + FormText(index, 'M') + "\n" + FormText(index, 'D');
}

namespace {

struct KeywordRef {
  const TarqLang::Keyword* word;
  bool directive;
};

std::vector<KeywordRef> Keywords() {
  std::vector<KeywordRef> all;
  for (int i = 0; i < TarqLang::kControlWordCount; ++i) all.push_back({&TarqLang::kControlWords[i], false});
  for (int i = 0; i < TarqLang::kDirectiveCount; ++i) all.push_back({&TarqLang::kDirectives[i], true});
  return all;
}

// The word and its other spellings.
std::vector<std::string> Spellings(const TarqLang::Keyword& k) {
  std::vector<std::string> out{k.word};
  std::string rest = k.aliases;
  size_t a = 0;
  while (a < rest.size()) {
    size_t b = rest.find(' ', a);
    if (b == std::string::npos) b = rest.size();
    if (b > a) out.push_back(rest.substr(a, b - a));
    a = b + 1;
  }
  return out;
}

std::string KeywordLine(const TarqLang::Keyword& k) {
  std::string names = k.word;
  if (*k.aliases) names += " " + std::string(k.aliases);
  return "  " + Pad(names, 18) + k.summary + "\n";
}

}  // namespace

int FindKeyword(const std::string& word) {
  std::vector<KeywordRef> all = Keywords();
  // Directives are told apart by case ("$T" on, "$t" off); control words are not.
  for (size_t i = 0; i < all.size(); ++i)
    for (const std::string& s : Spellings(*all[i].word))
      if (s == word) return static_cast<int>(i);
  for (size_t i = 0; i < all.size(); ++i)
    for (const std::string& s : Spellings(*all[i].word))
      if (!all[i].directive && Lower(s) == Lower(word)) return static_cast<int>(i);
  return -1;
}

std::string KeywordHelp(int keyword) {
  KeywordRef k = Keywords()[static_cast<size_t>(keyword)];
  std::string out = std::string(k.directive ? "Directive " : "Control word ") + k.word->word;
  if (*k.word->aliases) out += std::string(" (also ") + k.word->aliases + ")";
  out += std::string("\n  ") + k.word->summary + "\n" + k.word->text;
  if (k.word->example) {
    out += std::string("\nExample: ") + k.word->example + "\n";
    out += Indent(KeywordResult(k.word), "Result:  ", "         ");
  }
  return out;
}

std::string ControlWords() {
  std::string out = "Control words (type )help WORD for one of them; the short forms are the same):\n";
  for (int i = 0; i < TarqLang::kControlWordCount; ++i) out += KeywordLine(TarqLang::kControlWords[i]);
  return out.substr(0, out.size() - 1);
}

std::string Directives() {
  std::string out = "Directives (type )help $T for one of them):\n";
  for (int i = 0; i < TarqLang::kDirectiveCount; ++i) out += KeywordLine(TarqLang::kDirectives[i]);
  return out.substr(0, out.size() - 1);
}

std::string Legend() {
  std::string out =
      "Description prefixes: the text before the colon names the kind of argument a form is\n"
      "meant for (\"N:Cosine\" takes numbers); a text without a prefix names no kind.\n";
  for (int i = 0; i < TarqLang::kPrefixCount; ++i)
    out += "  " + Pad(TarqLang::kPrefixes[i].prefix, 19) + TarqLang::kPrefixes[i].meaning + "\n";
  out +=
      "A form's state: \"built\" works; \"not built yet\" raises 6 Not Implemented until it is;\n"
      "\"not implemented\" raises its error by design; \"built (by the evaluator)\" is done by the\n"
      "evaluator itself.";
  return out;
}

std::string Apropos(const std::string& word) {
  std::string key = Lower(word);
  std::string out;
  if (key.empty()) return "usage: )apropos WORD";
  for (int i : OperatorsInOrder()) {
    for (char v : {'N', 'M', 'D'}) {
      std::string text = FormText(i, v), note = FormNote(i, v);
      if (text.empty() && note.empty()) continue;
      if (Lower(text).find(key) == std::string::npos && Lower(note).find(key) == std::string::npos) continue;
      const char* valence = v == 'N' ? "niladic" : v == 'M' ? "monadic" : "dyadic";
      out += "  " + Pad(Symbol(i), 10) + Pad(valence, 9) + text + "\n";
    }
  }
  for (KeywordRef k : Keywords()) {
    std::string all = Lower(std::string(k.word->summary) + "\n" + k.word->text);
    if (all.find(key) != std::string::npos) out += "  " + Pad(k.word->word, 10) + Pad("", 9) + k.word->summary + "\n";
  }
  if (out.empty()) return "Nothing mentions \"" + word + "\"";
  return "Mentioning \"" + word + "\" (type )help OP or )help WORD for one of them):\n" +
         out.substr(0, out.size() - 1);
}

namespace {
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
}  // namespace

std::string TopicAt(const std::string& line, size_t pos) {
  if (line.empty()) return std::string();
  if (pos >= line.size()) pos = line.size() - 1;
  // Inside a quote nothing is a symbol: count the quotes before the position.
  char quote = 0;
  for (size_t i = 0; i < pos; ++i) {
    if (quote) {
      if (line[i] == quote) quote = 0;
    } else if (line[i] == '\'' || line[i] == '"') {
      quote = line[i];
    }
  }
  if (quote) return std::string();
  // A control word: a colon and the word or symbol characters after it.
  size_t a = pos;
  while (a > 0 && IsWordChar(line[a]) && line[a] != ':') --a;
  if (line[a] == ':') {
    size_t start = a;
    while (start > 0 && line[start - 1] == ':') --start;
    size_t end = start;
    while (end < line.size() && line.find_first_of(" \t(){}[];'\"", end) != end) ++end;
    std::string word = line.substr(start, end - start);
    // The table's longest word that begins the text (":IFX" is ":IF" then X).
    for (size_t len = word.size(); len > 0; --len)
      if (pos < start + len && FindKeyword(word.substr(0, len)) >= 0) return word.substr(0, len);
  }
  // A directive: "$" and the character after it ("$**" and "$" alone too).
  for (size_t d = pos >= 2 ? pos - 2 : 0; d <= pos; ++d) {
    if (line[d] != '$') continue;
    for (size_t len : {size_t(3), size_t(2), size_t(1)})
      if (d + len <= line.size() && pos < d + len && FindKeyword(line.substr(d, len)) >= 0)
        return line.substr(d, len);
  }
  // An operator: the longest symbol of the table that covers the position;
  // a "#" name must be the whole word.
  std::string best;
  for (size_t start = pos >= 8 ? pos - 8 : 0; start <= pos; ++start) {
    for (size_t len = std::min<size_t>(9, line.size() - start); len > 0 && start + len > pos; --len) {
      std::string cand = line.substr(start, len);
      int i = FindOperator(cand);
      if (i < 0 || Lower(Symbol(i)) != Lower(cand)) continue;
      if (cand[0] == '#' && cand.size() > 1 && start + len < line.size() && IsWordChar(line[start + len])) continue;
      if (std::isalpha(static_cast<unsigned char>(cand[0]))) continue;  // a bare name is not "#NAME"
      if (cand.size() > best.size()) best = Symbol(i);
    }
  }
  return best;
}

std::string HelpFor(const std::string& topic) {
  if (topic.empty()) return std::string();
  if (int k = FindKeyword(topic); k >= 0) return KeywordHelp(k);
  if (int i = FindOperator(topic); i >= 0) return OperatorHelp(i);
  return std::string();
}

std::string Topics() {
  return "Help topics:\n"
         "  )help commands    the ) commands of tarqsh\n"
         "  )help operators   every operator symbol\n"
         "  )help OP          one operator: its forms, which are built, and examples\n"
         "                    (for instance  )help +   )help #COS   )help COS)\n"
         "  )help legend      what the prefixes of the descriptions mean (N:, S/F: ...)\n"
         "  )help control     the control words; )help :FOR for one of them\n"
         "  )help directives  the $ directives; )help $T for one of them\n"
         "  )apropos WORD     operators and words whose descriptions mention WORD\n"
         "Tab completes names, #operators, fields after \":\" and ) commands.";
}

std::string OperatorNames() {
  std::string out = "Operators (type )help OP for one of them):";
  int n = 0;
  for (int i : OperatorsInOrder()) {
    out += (n++ % 12 == 0) ? "\n  " : " ";
    out += Symbol(i);
  }
  return out;
}

std::string Reference() {
  std::vector<int> order = OperatorsInOrder();
  Probe(order);
  std::string out =
      "# Tarq operator reference\n\n"
      "Generated from the operator table by `tarqsh --reference` (build target `operators_doc`); do not edit by\n"
      "hand. Each operator's section is what `)help OP` prints in `tarqsh` and the Ops list shows in the desktop\n"
      "program: every form of the operator with its description and its state, and worked examples with the\n"
      "results they give (computed by running them). A form is written after its argument (`3 #SIN`, monadic),\n"
      "between its arguments (`3 + 4`, dyadic) or alone (`#PI`, niladic). A sequence's result is shown in its\n"
      "verbose form, one element per line.\n";
  out += "\n## Description prefixes\n\n```text\n" + KPlat::Cp1252ToUtf8(Legend()) + "\n```\n";
  out += "\n## Control words\n\n```text\n" + KPlat::Cp1252ToUtf8(ControlWords()) + "\n```\n";
  for (int i = 0; i < TarqLang::kControlWordCount; ++i) {
    int k = FindKeyword(TarqLang::kControlWords[i].word);
    out += "\n### " + CodeSpan(TarqLang::kControlWords[i].word) + "\n\n```text\n" +
           KPlat::Cp1252ToUtf8(KeywordHelp(k)) + "\n```\n";
  }
  out += "\n## Directives\n\n```text\n" + KPlat::Cp1252ToUtf8(Directives()) + "\n```\n";
  for (int i = 0; i < TarqLang::kDirectiveCount; ++i) {
    int k = FindKeyword(TarqLang::kDirectives[i].word);
    out += "\n### " + CodeSpan(TarqLang::kDirectives[i].word) + "\n\n```text\n" +
           KPlat::Cp1252ToUtf8(KeywordHelp(k)) + "\n```\n";
  }
  out += "\n## Operators\n";
  for (int i : order) {
    out += "\n### " + CodeSpan(Symbol(i)) + "\n\n```text\n" + KPlat::Cp1252ToUtf8(OperatorHelp(i)) + "\n```\n";
  }
  return out;
}

}  // namespace TarqHelp
