// KGREP: the regular-expression value (type 14 "GREP"): one Perl-compatible
// pattern compiled with PCRE2 (8-bit code units, the Windows-1252 bytes
// matched as bytes, no UTF) with the options caseless, multi-line, dot-all
// and extended, run by PCRE2's JIT when the library offers it.
//
// Layout: the descriptor has alignment K, count 1, no element buffer; its
// record (KGREP::KRec) holds the pattern string and the compiled pattern.
// Values that share the descriptor share the record, so setting ":RE"
// through one holder is seen by every holder; copying the descriptor (Fix)
// gives a record of its own that shares the pattern string and the
// compiled pattern, which never change once built.
#pragma once
#include <memory>
#include <string>

#include "KB.h"

class KString;
class KSeq;

class KGREP : public KB {
 public:
  // The compiled pattern (defined in KGREP.cpp; owns the PCRE2 code).
  // Immutable once built, so record copies share it.
  struct Compiled;

  // Invariant: pattern is never null (one reference held); compiled is null
  // when the pattern is empty or did not compile, and then nothing matches.
  struct KRec : KB::KRec {
    KString* pattern = nullptr;
    std::shared_ptr<const Compiled> compiled;
    int32_t spare = 0;
    ~KRec() override;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override;
  };

  // Room for 15 capture pairs (the whole match and 14 groups).
  static constexpr int kPairs = 15;
  // Limits that stop a pattern backtracking without end; a match that
  // reaches one raises 15 with PCRE2's message.
  static constexpr uint32_t kMatchLimit = 10000000;
  static constexpr uint32_t kDepthLimit = 100000;

  static bool fFirst;  // true until the first construction
  static void LocaleTableBuild();

  KGREP();                                  // empty pattern, matches nothing
  explicit KGREP(const char* text);         // stored, not compiled
  explicit KGREP(const std::string& text);  // stored, not compiled
  // From a regular expression: share its record; from a string or field:
  // set and compile the pattern; anything else raises 7 "Type".
  explicit KGREP(KB* from);

  // Release the old pattern, hold the new one, compile.
  void RESet(KString* pattern);
  void RESet(const char* text);
  // Compiles the pattern text; an empty or bad pattern leaves none.
  void Compile();
  bool IsCompiled() const;
  std::string Pattern() const;

  // The match loop over text[0..length): a new sequence of 1-based
  // position pairs (a two-element Int array per pair; a match with groups
  // contributes one sub-sequence of its pairs). count < 0: no limit on
  // the number of pairs. The two flags are not consulted.
  KSeq* Exec(const char* text, int length, int count, bool = false, bool = false);
  // For a string: Exec over the whole string with count 1 (IndexOf) or no
  // limit (IndicesOf); for anything else an empty sequence.
  KSeq* IndexOf(KB* subject);
  KSeq* IndicesOf(KB* subject);

  // "PCRE Version:<version>", then "\r\nNot compiled" (or "\r\nBad Magic
  // Number"), then each option word of the compiled pattern.
  std::string Options() const;

  // KB operations.
  const std::string& AsString(bool verbose) override;
  KB* Clone() override;  // shares the record
  bool EQ(KB* o) override;
  bool EQV(KB* o) override;
  KB* FieldGet(KB* name) override;
  bool GT(KB* o, int i, int j, bool descending) override;
  int size() override;  // the pattern's length

  // Only ":RE" can be set, and only to a string (recompiles). Errors:
  // 7 "Field" (name not a field), 7 "Value" (neither a regular expression
  // nor a string), 15 "Unknown Member", 15 "RE needs string".
  void FieldSet(KB* value, KB* field);
  // The index must be a field (15 "Invalid index"), then as FieldSet.
  void IdxAssign(KB* value, KB* index);

 private:
  KRec* Rec() const { return static_cast<KRec*>(descriptor->rec); }
  void Init(KString* pattern);  // adopts pattern's reference
};
