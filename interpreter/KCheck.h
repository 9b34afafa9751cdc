// KCheck: checks the shape of a Tarq text without running it. It reads the
// text's tokens (KLex) and reports, with absolute byte ranges:
//   - errors a run would raise for the shape alone, with the run's code and
//     text: the tokenizer's (unbalanced groups, quotes and comments, operator
//     spacing ...), the control structures' ("need (test)", "need {}",
//     "need ()", a word that starts no structure such as ":ELSE",
//     "have default"), an assignment to something other than a name
//     ("Invalid symbol", "=>to symbol only", "=>[]to symbol only", "Type" for
//     a missing target) and an operator without a niladic form where nothing
//     stands before it ("Niladic");
//   - warnings a run cannot give: a "#word" that names no operator, a name
//     read that nothing in the text (or the session) assigns, a line break
//     that joins two values into one strand, a strand written after a dyadic
//     operator (only its first value is the right operand), and clauses of a
//     selection followed by text that never runs.
// Reading goes on after every error, so one pass reports them all. The
// report also lists what the text defines (names after "=>", "#PGM" and
// "#OP" names) and every name it reads, for editors.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "KLex.h"
#include "Ktypes.h"

namespace KCheck {

enum class Severity : uint8_t { Error = 1, Warning = 2 };

struct Diagnostic {
  Severity severity = Severity::Error;
  KT::KET code = KT::eNULL;  // errors: the run-time code; warnings: eNULL
  std::string text;          // errors: the run-time detail; warnings: the whole message
  uint32_t start = 0, end = 0;
  // "Syntax error: need {}" for errors, the text for warnings.
  std::string Message() const;
};

enum class DefKind : uint8_t { Assign, Program, Operator };

// A name the text defines or reads; `name` as written, `key` in capitals
// (names are found without regard to case).
struct Name {
  std::string name, key;
  uint32_t start = 0, end = 0;
  DefKind kind = DefKind::Assign;  // definitions only
};

struct Report {
  KLex::Result lex;
  std::vector<Diagnostic> diagnostics;  // in text order
  std::vector<Name> definitions;        // in text order
  std::vector<Name> reads;              // in text order
  bool HasErrors() const;
};

struct Options {
  // Names the session already holds (in capitals); a read of one is no warning.
  const std::unordered_set<std::string>* known = nullptr;
  bool warnings = true;
};

Report Check(std::string_view text, const Options& options = {});

// Line and column (both from 1; the column counts UTF-8 characters) of a
// byte offset.
void LineColumn(std::string_view text, uint32_t offset, uint32_t& line, uint32_t& column);

// "name:line:col: error: Syntax error: need {}" lines, one per diagnostic.
std::string Format(std::string_view fileName, std::string_view text, const Report& report);

// A name in capitals, as names are compared.
std::string Key(std::string_view name);

}  // namespace KCheck
