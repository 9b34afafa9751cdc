// KFuse: a statement of element operators over numbers that ends in a sum,
// run as one pass over blocks of elements without the values in between.
//
// The form: a first operand, then pairs of an element operator ("+", "-",
// "*") and an operand, then the plus reduction "\+" or the running sum and
// its last element "/+ ->", then the end of the statement (";", the end of
// the text or a further operator). Operands are names and number literals;
// "a .. b" of two Int scalars as the first pair is a range that is counted
// out block by block and never made. An operand may also be a group, "("
// and ")" around a chain of at least one such operator over names and
// literals (no group inside it, nothing else): the token loop runs its
// inside in a child parse state before the operator that takes it, so its
// steps run here, on the stand-ins, in a real child state as well.
//
// Contract: the statement ends exactly as the token loop would leave it
// after the sum (the same value, ID and level in hand, the same counter of
// value IDs, the same names stamped), or nothing is done. What the token
// loop does to the values' identities is not modelled: it is run, on
// two-element stand-ins for the vectors, through the very operator calls
// the token loop makes; only the sum itself is computed here. Vectors whose
// lengths differ, operands other than Int or Float numbers, a name bound to
// anything else, switches that show intermediate values (parse, trace) and
// vectors shorter than `minCount` go to the token loop.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class KPParser;

class KFuse {
 public:
  // Called by the token loop where a statement starts. True when the
  // statement's chain and sum ran: the value is in hand (L), the scan
  // position stands after the sum and `first` is cleared.
  static bool AtStatement(KPParser& ps, bool& first);

  // Vectors shorter than this run through the token loop (tests lower it).
  static inline int minCount = 1024;
  // How many statements ran fused (for tests).
  static inline long ran = 0;

  // One compiled statement form.
  struct Term {
    bool name = false;
    std::string text;          // the name, or the literal as written
    size_t at = 0;             // text offset of the token
    bool isInt = true;         // a literal's alignment and element
    int32_t i = 0;
    double f = 0;
    int group = -1;            // a group: its index in the form's groups
  };
  struct Step {
    int op = -1;  // operator index
    char kind = 0;  // '+', '-', '*', '.' (range)
    Term t;
  };
  struct Group {
    size_t open = 0, len = 0;  // the text from "(" through ")"
    Term first;
    std::vector<Step> steps;   // at least one
  };
  struct Form {
    Term first;
    std::vector<Group> groups;
    std::vector<Step> steps;
    int redOp = -1, lastOp = -1;  // "\+", or "/+" with "->"
    size_t end = 0;               // text offset after the last token taken
  };

  // The forms of one text by statement offset (null: none), kept beside
  // the text's token memo.
  std::unordered_map<size_t, std::shared_ptr<Form>> forms;

  // The form of the statement at `at` in `text` (n characters), or null.
  // `ch` reads a character (the tokenizer's cut may stand in the buffer).
  static std::shared_ptr<Form> Compile(const char* text, size_t n, size_t at, char cut, size_t cutAt);
};
