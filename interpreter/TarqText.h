// TarqText: script text crossing into the interpreter. Script bytes (files,
// standard input, the desktop panes) are read as UTF-8 when they are valid
// UTF-8, else as Windows-1252 bytes; a leading UTF-8 byte-order mark is
// dropped. A character Windows-1252 cannot hold becomes "?" inside quotes
// and comments (the caller warns once), and is an "Invalid character" syntax
// error anywhere else, because "?" is an operator.
#pragma once
#include <string>

namespace TarqText {

struct Decoded {
  std::string text;       // Windows-1252
  bool replaced = false;  // some character inside quotes or comments became "?"
  bool invalid = false;   // a character outside quotes and comments cannot be held
  std::string error;      // then: the positioned syntax error, as the interpreter prints errors
};

// Script bytes: BOM dropped, UTF-8 or Windows-1252.
Decoded FromScriptBytes(const std::string& bytes);
// Text known to be UTF-8 (arguments, widgets); invalid sequences become "?".
Decoded FromUtf8(const std::string& utf8);

// True while a Windows-1252 text leaves a parenthesis, bracket, brace,
// quote or "$*" comment open (a host then reads a continuation line).
bool IsOpen(const std::string& text);
// True when a Windows-1252 text closes a parenthesis, bracket or brace that
// was never opened (outside quotes and comments).
bool HasUnopenedClose(const std::string& text);

// True when a Windows-1252 text ends in a control structure that still waits
// for a part: ":WHILE (c)" without its block, ":ELSE" without its block, a
// ":SELECT (x) [:all]" without its clauses (a host then reads a continuation
// line, as for an open group).
bool NeedsBody(const std::string& text);

// The line hosts print under the write fence's refusal (whose text is the
// system's own and speaks of Windows paths): the rule as it reads on Linux.
// Empty for any other error text.
std::string FenceNote(const std::string& errorText);
extern const char* const kFenceNote;

extern const char* const kReplacedWarning;

}  // namespace TarqText
