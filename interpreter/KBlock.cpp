// KBlock: code values (blocks, programs, user-defined operators) and the
// runner that evaluates a block in a child parser with its own namespace on
// the scope chain.
#include "KBlock.h"

#include <cstring>

#include "KAssoc.h"
#include "KNS.h"
#include "KNum.h"
#include "KParser.h"
#include "KQuick.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KBlock";

namespace {

KString* NewStr(const char* s) { return new KString(s ? s : ""); }

void Share(KString*& slot, KString* s) {
  if (s) s->Reference(true);
  KB::DoneWith(slot);
  slot = s;
}

std::string StrOf(KString* s) { return s ? std::string(s->Str(), static_cast<size_t>(s->Len())) : std::string(); }

bool IsBlockType(KT::KTO t) { return t == KT::tBlock || t == KT::tPgm || t == KT::tOpUD; }

// Holds one reference on a value for the length of a scope.
struct Keep {
  KB* v;
  explicit Keep(KB* x) : v(x) { v->Reference(true); }
  ~Keep() { KB::DoneWith(v); }
  Keep(const Keep&) = delete;
  Keep& operator=(const Keep&) = delete;
};

// Puts the namespace chain back to the length it had before a run appended
// the block's namespace, on every exit (normal, flow record or error), so
// later lookups and assignments land in the namespaces they belong to.
struct ChainPop {
  KSeq* chain;
  int keep;
  explicit ChainPop(KSeq* c) : chain(c), keep(c ? c->Count() : 0) {}
  ChainPop(const ChainPop&) = delete;
  ChainPop& operator=(const ChainPop&) = delete;
  ~ChainPop() {
    if (chain && chain->Count() > keep) chain->UnAppend(chain->Count() - keep);
  }
};

}  // namespace

// ------------------------------------------------------------ record

KBlock::KRec::KRec() : ns(new KNS()) {}

KBlock::KRec::KRec(const KRec& o) : KB::KRec(), ns(new KNS()) {
  Share(type, o.type);
  Share(code, o.code);
  Share(EX, o.EX);
  memo = o.memo;
}

void KBlock::KRec::Held(std::vector<KB*>& out) const {
  out.push_back(type);
  out.push_back(code);
  out.push_back(EX);
  out.push_back(ns);
}

KBlock::KRec::~KRec() {
  KB::DoneWith(type);
  KB::DoneWith(code);
  KB::DoneWith(EX);
  KB::DoneWith(ns);
}

KBlock::KRec* KBlock::KRec::Clone() const { return new KRec(*this); }

// ------------------------------------------------------------ construction

static void InitBlock(KB* self, KBlock::KRec* rec) {
  KB::KBD* d = self->descriptor;
  d->align = KT::aKB;
  d->elemSize = KT::TypeAlignToElemSz(KT::aKB);
  d->count = 1;
  d->capacity = 0;
  d->rec = rec;
}

KBlock::KBlock(const char* type) : KB(KT::tBlock) {
  KRec* r = new KRec();
  InitBlock(this, r);
  r->type = NewStr(type);
}

KBlock::KBlock(KString* type) : KB(KT::tBlock) {
  KRec* r = new KRec();
  InitBlock(this, r);
  if (type) {
    Share(r->type, type);
  } else {
    r->type = NewStr("");
  }
}

KBlock::KBlock(KBlock* other) : KB(other ? other->typen() : KT::tBlock) {
  KRec* r = other && other->Rec() ? new KRec(*other->Rec()) : new KRec();
  InitBlock(this, r);
  if (!r->type) r->type = NewStr("");
}

KBlock::KBlock(KT::KTO t, const char* type) : KB(t) {
  KRec* r = new KRec();
  InitBlock(this, r);
  r->type = NewStr(type);
}

KBlock::KBlock(KT::KTO t, KBlock* other, const char* type) : KB(t) {
  KRec* r = new KRec();
  InitBlock(this, r);
  r->type = NewStr(type);
  if (other && other->Rec()) {
    Share(r->code, other->Rec()->code);
    Share(r->EX, other->Rec()->EX);
  }
}

KBlock::~KBlock() = default;

// ------------------------------------------------------------ accessors

KString* KBlock::Code() { return Rec()->code; }

// Every change of the code goes through these: the memo of the old text goes.

void KBlock::CodeSet(const char* text, bool strip) {
  Rec()->memo.reset();
  size_t n = text ? std::strlen(text) : 0;
  if (strip) {
    KString* s = new KString(n >= 2 ? text + 1 : "", n >= 2 ? static_cast<int>(n - 2) : 0);
    KB::DoneWith(Rec()->code);
    Rec()->code = s;
  } else {
    KString* s = new KString(text ? text : "", static_cast<int>(n));
    KB::DoneWith(Rec()->code);
    Rec()->code = s;
  }
}

void KBlock::CodeSet(KString* text, bool strip) {
  Rec()->memo.reset();
  if (!text) {
    CodeSet("", false);
  } else if (strip) {
    std::string t = StrOf(text);
    CodeSet(t.c_str(), true);
  } else {
    Share(Rec()->code, text);
  }
}

KString* KBlock::TypeGet() { return Rec()->type; }
void KBlock::TypeSet(const char* type) {
  KB::DoneWith(Rec()->type);
  Rec()->type = NewStr(type);
}
void KBlock::TypeSet(KString* type) { Share(Rec()->type, type); }
KString* KBlock::EXGet() { return Rec()->EX; }
void KBlock::EXSet(KString* ex) { Share(Rec()->EX, ex); }
KNS* KBlock::NSGet() { return Rec()->ns; }
void KBlock::NSSet(KNS* ns) {
  if (ns && ns != Rec()->ns) Rec()->ns->Copy(ns);
}
void KBlock::NSSet(KB* ns) {
  if (!ns || (ns->typen() != KT::tNS && ns->typen() != KT::tCV)) KTHROW(KT::eSystem, "Not NS");
  NSSet(static_cast<KNS*>(ns));
}
KT::KCT KBlock::CTGet() { return Rec()->ct; }
void KBlock::CTSet(KT::KCT ct) { Rec()->ct = ct; }
KT::KTT KBlock::TTGet() { return Rec()->tt; }
void KBlock::TTSet(KT::KTT tt) { Rec()->tt = tt; }
uint8_t KBlock::FirstGet() { return Rec()->first; }
void KBlock::FirstClr() { Rec()->first = 0; }
KB* KBlock::Size() { return new KNum(static_cast<int32_t>(size())); }
void KBlock::MemberSet(KB*, const char*) {}

int KBlock::size() {
  int n = Rec()->code ? Rec()->code->size() : 0;
  if (Rec()->ns) n += Rec()->ns->size();
  return n;
}

bool KBlock::bracketedBy(const char* text, const char* pair, int& start, int& length) {
  if (!text || !pair || !pair[0] || !pair[1]) return false;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  if (*p != pair[0]) return false;
  const char* begin = p + 1;
  int level = 1;
  for (const char* q = begin; *q; ++q) {
    char c = *q;
    if (c == '\'' || c == '"') {
      const char* e = std::strchr(q + 1, c);
      if (!e) return false;
      q = e;
    } else if (c == '$' && q[1] == '$') {
      while (*q && *q != '\n') ++q;
      if (!*q) return false;
    } else if (c == '$' && q[1] == '*') {
      const char* e = std::strstr(q + 2, "*$");
      if (!e) return false;
      q = e + 1;
    } else if (c == pair[0]) {
      ++level;
    } else if (c == pair[1]) {
      if (--level == 0) {
        start = static_cast<int>(begin - text);
        length = static_cast<int>(q - begin);
        return true;
      }
    }
  }
  return false;
}

// ------------------------------------------------------------ running

KQuick* KBlock::Quick(KPParser* ps) {
  if (!KQuick::enabled || ps->Parsing() || ps->Tracing()) return nullptr;
  KRec* r = Rec();
  if (!r->memo) {
    KString* code = r->code;
    const char* t = code ? code->Str() : "";
    size_t n = code ? static_cast<size_t>(code->Len()) : 0;
    // The text inside the brackets, as a run reads it.
    if (n >= 2) {
      ++t;
      n -= 2;
    } else {
      n = 0;
    }
    r->memo = KTokMemo::For(t, n);
    if (!r->memo) return nullptr;
  }
  KTokMemo& m = *r->memo;
  if (m.quickState == 0) {
    m.quick = KQuick::Compile(m.text.data(), m.text.size());
    m.quickState = m.quick ? 1 : -1;
  }
  return m.quick.get();
}

// Runs the text in a child parse state from the start, or from the
// statement the direct run handed over at.
static KT::KBR RunTokens(KPParser* ps, KBlock* b, KA& a, size_t resume, size_t line, KB* carry,
                         KT::KTT& last, KT::KCT& ct) {
  KChild child(ps);
  KString* code = b->Code();
  child->CmdSetMemo(code ? code->Str() : "", code ? static_cast<size_t>(code->Len()) : 0, true, &b->Rec()->memo);
  if (resume) child->ResumeAt(resume, line, carry);
  KT::KBR flow = child->Run(a, last, b);
  ct = child->curCT;
  return flow;
}

KT::KBR KBlock::Run(KPParser* ps, KA& a, bool valueUnused) {
  if (ps->depth + 1 > KT::DepthLimit) KTHROW(KT::eDepth, "");
  Keep self(this);  // keeps the block (and its namespace) alive for the run
  if (a.Is(KT::tRef)) KA::Reveal(a);
  KNS* own = Rec()->ns;
  if (a.Is(KT::tNS) || a.Is(KT::tCV)) {
    // A namespace argument passes named values; the child keeps it as its
    // argument namespace ("#ARGS").
    if (a.value != own) own->Copy(static_cast<KNS*>(a.value));
  } else if (!a.Is(KT::tNV)) {
    // Without one the child starts empty (an empty argument namespace and
    // no namespace at all read the same: "#ARGS" copies nothing).
    a.Clear();
  }
  KQuick* q = a.Is(KT::tNV) ? Quick(ps) : nullptr;
  if (!q) return RunFrom(ps, a, 0, 0, nullptr);
  return RunDirect(ps, q, a, !valueUnused);
}

KT::KBR KBlock::RunDirect(KPParser* ps, KQuick* q, KA& a, bool wantValue, size_t from) {
  KT::KBR flow;
  KT::KTT last = KT::ttUnknown;
  size_t resume = 0, line = 0;
  KB* carry = nullptr;
  // The text runs with the block's namespace as the chain's virtual top.
  if (!q->Run(ps, a, wantValue, flow, resume, line, last, carry, Rec()->ns, from)) {
    Building<KB> held(carry);
    return RunFrom(ps, a, resume, line, carry);
  }
  CTSet(KT::ctNone);
  TTSet(last);
  ps->curTT = KT::ttSeqValue;
  return flow;
}

KT::KBR KBlock::RunFrom(KPParser* ps, KA& a, size_t resume, size_t line, KB* carry) {
  Keep self(this);
  ChainPop pop(ps->chain);
  ps->chain->Append(Rec()->ns, false);
  KT::KTT last = KT::ttUnknown;
  KT::KCT ct = KT::ctNone;
  KT::KBR flow = RunTokens(ps, this, a, resume, line, carry, last, ct);
  CTSet(ct);
  TTSet(last);
  ps->curTT = KT::ttSeqValue;
  return flow;
}

int KBlock::Test(KPParser* ps, KB*& named) {
  if (ps->depth + 1 > KT::DepthLimit) KTHROW(KT::eDepth, "");
  KQuick* q = Quick(ps);
  if (!q) return -1;
  Keep self(this);
  return q->Truth(ps, named, Rec()->ns);
}

KT::KBR KBlock::Call(KPParser* ps, KB* v, KA& a) {
  if (a.Is(KT::tSysOp)) {
    a.Clear();
    ps->curTT = KT::ttSeqValue;
    return KT::KBR();
  }
  if (!v || !IsBlockType(v->typen())) KTHROW(KT::eSystem, "Not Block");
  return static_cast<KBlock*>(v)->Run(ps, a);
}

namespace {
// Whether entry i of ns is named exactly `name` and held by ns alone (no
// reference designates it).
bool PlainEntry(KNS* ns, int i, const char* name) {
  KAssoc* a = ns->AssocPtr(i);
  KString* k = a ? a->KeyPtr() : nullptr;
  return k && a->descriptor->refs == 1 && k->typen() == KT::tString && k->Len() == 3 &&
         std::memcmp(k->Str(), name, 3) == 0 && a->ValPtr()->typen() != KT::tRef;
}

// The operator's namespace after the last call often holds exactly the
// operands, "l__" then "r__": removing and storing them again would leave
// the same entries in the same order, so their values are replaced in
// place. False when the namespace holds anything else (the caller then
// removes and stores).
bool RebindOperands(KNS* own, KA& l, KA* r, int valence) {
  int want = valence == 3 ? 2 : valence == 2 ? 1 : -1;
  if (want < 0 || own->Count() != want || !PlainEntry(own, 0, "l__")) return false;
  if (want == 2 && (!r || !PlainEntry(own, 1, "r__") || r->Is(KT::tRef))) return false;
  if (l.Is(KT::tRef)) return false;
  KB* vals[2] = {l.value, want == 2 ? r->value : nullptr};
  for (int i = 0; i < want; ++i) {
    KB* v = vals[i];
    v->descriptor->SID = v->ID;
    KAssoc* a = own->AssocPtr(i);
    a->ValSet(v);
    KB* stored = a->ValPtr();
    stored->descriptor->SID = stored->ID;
  }
  return true;
}
}  // namespace

void KBlock::ApplyUD(KPParser* ps, KB* op, KA& l, KA* r, int valence) {
  if (!op || op->typen() != KT::tOpUD) KTHROW(KT::eSystem, "OpUD");
  if (ps->depth + 1 > KT::DepthLimit) KTHROW(KT::eDepth, "");
  if (valence < 1 || valence > 3) KTHROW(KT::eValue, "Valence");
  Keep self(op);
  KBlock* b = static_cast<KBlock*>(op);
  if (l.Is(KT::tRef)) KA::Reveal(l);
  // The operands replace the previous "l__" and "r__" in the operator's own
  // namespace (stored with kind 2, in that order).
  KNS* own = b->Rec()->ns;
  if (!RebindOperands(own, l, valence == 3 ? r : nullptr, valence)) {
    own->Remove(static_cast<KB*>(ps->Key("l__")));
    own->Remove(static_cast<KB*>(ps->Key("r__")));
    if (valence >= 2) own->Put(ps->Key("l__"), l.value, KT::ntAny);
    if (valence == 3 && r) own->Put(ps->Key("r__"), r->value, KT::ntAny);
  }
  ChainPop pop(ps->chain);
  ps->chain->Append(own, false);
  if (!l.Is(KT::tNV)) l.Clear();
  KT::KTT last = KT::ttUnknown;
  KT::KCT ct = KT::ctNone;
  KT::KBR flow;
  size_t resume = 0, line = 0;
  KQuick* q = b->Quick(ps);
  if (!q) {
    RunTokens(ps, b, l, 0, 0, nullptr, last, ct);
  } else {
    KB* carry = nullptr;
    if (!q->Run(ps, l, true, flow, resume, line, last, carry)) {
      Building<KB> held(carry);
      RunTokens(ps, b, l, resume, line, carry, last, ct);
    }
  }
  b->CTSet(ct);
}

// ------------------------------------------------------------ value protocol

const std::string& KBlock::AsString(bool verbose) {
  std::string type = StrOf(Rec()->type), code = StrOf(Rec()->code), ex = StrOf(Rec()->EX);
  if (verbose) {
    text = VerbosePrefix();
    if (!code.empty()) text += "\r\nCode:\r\n" + code;
    if (!ex.empty()) text += "\r\nEX:\r\n" + ex;
  } else {
    text = "Blk:(";
    text += type;
    if (!code.empty()) text += "C:" + code;
    if (!ex.empty()) text += "E:" + ex;
    text += ")";
  }
  return text;
}

bool KBlock::EQV(KB* o) {
  if (!o || !IsBlockType(o->typen()) || o->typen() != typen()) return false;
  return StrOf(Rec()->code) == StrOf(static_cast<KBlock*>(o)->Rec()->code);
}

void KBlock::Clear() { KTHROW(KT::eNotImpl, "Clear"); }
std::string KBlock::Dump() { KTHROW(KT::eNotImpl, "Dump"); }
KB& KBlock::operator=(KB&) { KTHROW(KT::eNotImpl, "operator="); }
void KBlock::Catenate(KB*) { KTHROW(KT::eNotImpl, "Catenate"); }
KB* KBlock::IndexedBy(KB*) { KTHROW(KT::eNotImpl, "IndexedBy"); }
void KBlock::IdxAssign(KB*, KB*) { KTHROW(KT::eNotImpl, "IdxAssign"); }
KB* KBlock::operator[](int) { KTHROW(KT::eNotImpl, "operator[]"); }

KB* KBlock::Clone() { return new KBlock(this); }

KB* KBlock::FieldGet(KB* name) {
  if (FieldIs(name, ":code")) return new KString(StrOf(Rec()->code));
  // A copy with its own associations: storing into it leaves the block alone.
  if (FieldIs(name, ":ns")) return Rec()->ns->Clone();
  if (FieldIs(name, ":obj")) return Clone();
  if (FieldIs(name, ":size")) return Size();
  return StdFieldOr(name, ":, :code, :ns, :obj, :size, :string, :stringv, :typec, :typen");
}

std::string KBlock::SO() {
  std::string type = StrOf(Rec()->type), code = StrOf(Rec()->code), ex = StrOf(Rec()->EX);
  int total = static_cast<int>(type.size() + code.size() + ex.size()) + 24;
  std::string s = ImageHeader(typen(), total);
  PutI32(s, static_cast<int32_t>(type.size() + 1));
  PutI32(s, static_cast<int32_t>(code.size() + 1));
  PutI32(s, static_cast<int32_t>(ex.size() + 1));
  s += type;
  s += '\0';
  s += code;
  s += '\0';
  s += ex;
  s += '\0';
  s += '\0';
  return s;
}

int KBlock::SOSz() {
  return static_cast<int>(StrOf(Rec()->type).size() + StrOf(Rec()->code).size() + StrOf(Rec()->EX).size()) + 24;
}

KB* KBlock::SI(const char* image) {
  if (!image) KTHROW(KT::eValue, "Not Block");
  // The caller has checked that the frame's total lies inside the buffer;
  // the three lengths are read only once the image is long enough to hold
  // them, and together with the final zero they must fill it exactly.
  int t = static_cast<unsigned char>(image[0]);
  int total = GetI32(image + 4);
  if (total < 24) KTHROW(KT::eValue, "Not Block");
  int lt = GetI32(image + 8), lc = GetI32(image + 12), le = GetI32(image + 16);
  if (lt < 1 || lc < 1 || le < 1 || static_cast<int64_t>(lt) + lc + le + 21 != total) KTHROW(KT::eValue, "Not Block");
  KBlock* b;
  switch (t) {
    case KT::tBlock: b = new KBlock(""); break;
    case KT::tPgm: b = new KPgm(); break;
    case KT::tOpUD: b = new KOpUD(); break;
    default: KTHROW(KT::eValue, "Not Block");
  }
  const char* p = image + 20;
  KB::DoneWith(b->Rec()->type);
  b->Rec()->type = new KString(p, lt - 1);
  p += lt;
  KB::DoneWith(b->Rec()->code);
  b->Rec()->code = new KString(p, lc - 1);
  p += lc;
  KB::DoneWith(b->Rec()->EX);
  b->Rec()->EX = new KString(p, le - 1);
  return b;
}

// ------------------------------------------------------------ programs and operators

KPgm::KPgm() : KBlock(KT::tPgm, "Pgm:") {}
KPgm::KPgm(KBlock* o) : KBlock(KT::tPgm, o, "Pgm:") {}
KB* KPgm::Clone() { return new KPgm(this); }

KOpUD::KOpUD() : KBlock(KT::tOpUD, "Op:") {}
KOpUD::KOpUD(KBlock* o) : KBlock(KT::tOpUD, o, "Op:") {}
KB* KOpUD::Clone() { return new KOpUD(this); }
