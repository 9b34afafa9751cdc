// KBlock: code as a value. A braced text held as a value is a KBlock; one
// stored by "#PGM" is a KPgm, one stored by "#OP" a KOpUD (written like an
// operator). A block runs in a child parser with its own namespace appended
// to the scope chain; that namespace lives as long as the block value, so a
// named program keeps what it assigned from one call to the next.
#pragma once
#include <memory>
#include <string>

#include "KArg.h"
#include "KB.h"
#include "Ktypes.h"

class KNS;
class KSeq;
class KString;
class KPParser;
struct KTokMemo;
class KQuick;

class KBlock : public KB {  // type 4 "Block", alignment K, one element
 public:
  // The block's record, owned by the descriptor (copied when it is made
  // private). type/code/EX are shared strings (one reference each); the
  // namespace is owned and never shared between records.
  struct KRec : KB::KRec {
    KString* type = nullptr;
    KString* code = nullptr;
    KString* EX = nullptr;
    uint8_t first = 1;
    KNS* ns = nullptr;
    KT::KCT ct = KT::ctNone;
    KT::KTT tt = KT::ttUnknown;
    // The token memo of `code` (set by the first run, dropped with the code).
    std::shared_ptr<KTokMemo> memo;
    KRec();
    KRec(const KRec& o);  // shares the strings, fresh namespace
    ~KRec() override;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override;
  };

  explicit KBlock(const char* type);
  explicit KBlock(KString* type);
  explicit KBlock(KBlock* other);
  KBlock(KBlock& other) : KBlock(&other) {}
  ~KBlock() override;

  KString* Code();
  void CodeSet(const char* text, bool strip);
  void CodeSet(KString* text, bool strip);
  KString* TypeGet();
  void TypeSet(const char* type);
  void TypeSet(KString* type);
  KString* EXGet();
  void EXSet(KString* ex);
  KNS* NSGet();
  void NSSet(KNS* ns);
  void NSSet(KB* ns);
  KT::KCT CTGet();
  void CTSet(KT::KCT ct);
  KT::KTT TTGet();
  void TTSet(KT::KTT tt);
  uint8_t FirstGet();
  void FirstClr();
  KB* Size();
  void MemberSet(KB* value, const char* name);  // has no effect

  // The direct form of the text (KQuick), compiled on first use; null when
  // the text has none or a switch asks for parse or trace lines.
  KQuick* Quick(KPParser* ps);

  static bool bracketedBy(const char* text, const char* pair, int& start, int& length);

  // Runs this block in a child of `ps` with argument handle `a` (a namespace
  // argument passes named values); `a` receives the value. Raises the depth
  // error beyond KT::DepthLimit.
  // With `valueUnused` (a loop that drops its body's values) a direct run
  // may leave `a` empty.
  KT::KBR Run(KPParser* ps, KA& a, bool valueUnused = false);
  // Runs the block's direct form `q` with no argument (the caller has
  // checked the depth) from its statement `from`; the token loop takes the
  // text over where `q` hands it over.
  KT::KBR RunDirect(KPParser* ps, KQuick* q, KA& a, bool wantValue, size_t from = 0);
  // Runs the text in the token loop from a text offset (0: the start),
  // with `carry` in hand when the statement there is under way.
  KT::KBR RunFrom(KPParser* ps, KA& a, size_t resume, size_t line, KB* carry);
  // The truth of a test block's value, run with no argument: 1 or 0 when its
  // text runs directly, 2 when the text is a lone name (`named` receives the
  // value, whose truth the caller judges), -1 when it must Run.
  int Test(KPParser* ps, KB*& named);
  // Calls a block value: a SysOp argument runs nothing; anything but a block
  // raises 10 "Not Block".
  static KT::KBR Call(KPParser* ps, KB* blockValue, KA& a);
  // Applies a user-defined operator with valence 1, 2 or 3; `l` receives
  // the value.
  static void ApplyUD(KPParser* ps, KB* op, KA& l, KA* r, int valence);
  // Runs the control structure whose control word is the next token of
  // `ps` (":IF", ":FOR", ":WHILE", ":SELECT", ":DO"); `value` receives the
  // structure's value.
  static KT::KBR RunControl(KPParser* ps, KA& value);
  // The two halves of RunControl (KBlockCtl.cpp). CtlParse reads the
  // control word and its parts from `ps` into a new control record (the
  // caller owns it); CtlExec runs a record, `value` receiving its value.
  // `valueUnused`: nothing will look at the value (loops then collect no
  // body values).
  static KSeq* CtlParse(KPParser* ps);
  static KT::KBR CtlExec(KPParser* ps, KSeq* record, KA& value, bool valueUnused = false);
  bool EQV(KB* o) override;

  // Value protocol.
  const std::string& AsString(bool verbose) override;
  void Clear() override;
  KB* Clone() override;
  std::string Dump() override;
  KB* FieldGet(KB* name) override;
  KB& operator=(KB& o) override;
  int size() override;
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);
  void Catenate(KB* other);
  KB* IndexedBy(KB* index);
  void IdxAssign(KB* value, KB* index);
  KB* operator[](int i);

  KRec* Rec() const { return static_cast<KRec*>(descriptor->rec); }

 protected:
  KBlock(KT::KTO t, const char* type);
  KBlock(KT::KTO t, KBlock* other, const char* type);
 private:
  KB::CycleLink cycleLink_{this};  // its namespace may hold it
};

class KPgm : public KBlock {  // type 21 "Pgm"
 public:
  KPgm();
  explicit KPgm(KBlock* other);
  KB* Clone() override;
};

class KOpUD : public KBlock {  // type 19 "OpUD"
 public:
  KOpUD();
  explicit KOpUD(KBlock* other);
  KB* Clone() override;
};
