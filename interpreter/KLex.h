// KLex: the tokens of a Tarq text, read without running it, for checkers,
// editors and highlighters. The reading is the tokenizer's own (KPParser::
// ScanOne over a private parse state), so a token here is exactly what a run
// would read; on top of it groups are expanded: "(", "[" and "{" become an
// Open token, the tokens inside (one depth further), and a Close token, all
// the way down. Nothing is evaluated and no switch is written ("$**" turns on
// the verbose switch of a run; here it is only a Display token).
//
// Errors the tokenizer raises (unclosed groups, quotes and comments, a close
// without an open, operator spacing, invalid characters, "$R" texts) are
// collected with their code, their run-time text and an absolute byte range,
// and reading goes on after each one: an unclosed group or quote does not
// swallow the rest of the text. Offsets are bytes of the text given; UTF-8
// text reads as Windows-1252 text does (characters beyond ASCII only stand
// in quotes and comments; elsewhere one such character is one error).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Ktypes.h"

namespace KLex {

enum class Kind : uint8_t {
  Number,     // 12  1.5e3  _2  .5
  Quote,      // 'text' or "text" (the range includes the quotes)
  Bulk,       // $R<delim>$r...<delim> (the range is the whole token)
  Symbol,     // a name
  Field,      // :name or .name (the range includes the ":" or ".")
  Operator,   // an operator symbol: `op` is its table index
  Separator,  // ;
  Control,    // :IF :FOR ... (`ct` is the control kind)
  Comment,    // $$ ... end of line, $* ... *$
  Directive,  // $C $c $P $p $T $t $V $v $D $d $S $s
  Display,    // $ alone or $**
  Open,       // ( [ {
  Close,      // ) ] }
  Unknown     // a symbol character that starts no operator ("?" alone ...)
};

struct Token {
  Kind kind = Kind::Unknown;
  KT::KTT tt = KT::ttUnknown;  // the tokenizer's kind (ttParen, ttIndex, ttBlock for groups)
  KT::KCT ct = KT::ctNone;     // control kind of a Control token
  int op = -1;                 // operator table index of an Operator token
  uint32_t start = 0, end = 0; // absolute byte range [start, end)
  uint32_t depth = 0;          // group nesting: 0 outside every group
  int32_t partner = -1;        // Open/Close: index of the other bracket, -1 when unclosed
  uint32_t groupEnd = 0;       // Open: end of the group's whole range (after its Close)
};

struct Error {
  KT::KET code = KT::eNULL;
  std::string text;  // the run-time detail text (")", "Spacing", "need $r" ...)
  uint32_t start = 0, end = 0;
};

struct Result {
  std::vector<Token> tokens;
  std::vector<Error> errors;
  bool truncated = false;  // reading stopped after kMaxErrors errors
};

// Reading stops after this many errors (a binary file is not worth more).
inline constexpr size_t kMaxErrors = 200;
// Groups nested deeper than this are not expanded (a run stops at depth
// KT::DepthLimit): such a group is an Open and a Close with nothing between.
inline constexpr size_t kMaxDepth = 2 * KT::DepthLimit;

// Reads a whole text.
Result Read(std::string_view text);

// The kind's name ("Number", "Operator" ...).
const char* KindName(Kind k);
// An operator's symbol as written in the table ("+", "#COS"); "" for none.
const char* OperatorSymbol(int op);
// The operator whose symbol is exactly `symbol` (letters without regard to
// case), or -1.
int OperatorIndex(std::string_view symbol);
// The control word's canonical spelling (":IF" for ":?" too).
const char* ControlName(KT::KCT ct);
// The code's name as run-time errors print it ("Syntax error" ...).
const char* ErrorName(KT::KET code);

}  // namespace KLex
