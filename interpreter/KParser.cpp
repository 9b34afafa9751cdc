// KParser: the interpreter entry (switches, output sink, text) and the
// evaluator's token loop: it reads the tokens of a text (KTokenizer.cpp)
// and folds them strictly left to right into one value, hands each token
// that is part of an expression to its handler (KParserTerms.cpp), and
// itself ends expressions, runs control words and directives, looks names
// up and applies operators.
#include "KParser.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "KAssoc.h"
#include "KBlock.h"
#include "KFuse.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KParserImpl.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"

static const char* const kUnit = "Interpreter/KParser";

using KT::KTT;
using namespace KParserImpl;

void KOutSink::EndLine() {
  std::string line;
  line.swap(pending_);
  AppendLine(line);
}

void KOutSink::AppendValue(KB* v, bool verbose) {
  if (!v || v->typen() != KT::tString || v->alignmentn() != KT::aChar) {
    const std::string& text = KA::AddCR(v ? v->AsString(verbose) : std::string());
    Write(text.data(), text.size());
    EndLine();
    return;
  }
  // KString::AsString shows control characters other than CR and LF as
  // ".", and KA::AsString puts LF after a CR that has none.
  if (verbose) {
    const std::string prefix = v->VerbosePrefix();
    Write(prefix.data(), prefix.size());
  }
  const char* text = static_cast<const KString*>(v)->Str();
  const size_t n = static_cast<size_t>(v->Count());
  constexpr size_t kPiece = 1 << 14;
  char piece[kPiece + 1];
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    piece[used++] = (c < 0x20 && c != '\r' && c != '\n') || c == 0x7F ? '.' : static_cast<char>(c);
    if (c == '\r' && (i + 1 >= n || text[i + 1] != '\n')) piece[used++] = '\n';
    if (used >= kPiece) {
      Write(piece, used);
      used = 0;
    }
  }
  if (used) Write(piece, used);
  EndLine();
}

void KPParser::Emit(const std::string& line) {
  if (out) out->AppendLine(line);
}

void KPParser::ParseLineOn(const char* label, const char* text) {
  Emit(KB::Fmt("L%d:Parse:%s%s", depth, label, text ? text : ""));
}

void KPParser::ParseVal(const char* label, KB* v) {
  if (!Parsing() || !out || !v || v->typen() == KT::tNV) return;
  Emit(KB::Fmt("L%d:Parse:%s%s", depth, label, v->AsString(Verbose()).c_str()));
}

void KPParser::TraceValOn(const char* label, KB* v) {
  if (!v || v->typen() == KT::tNV) return;
  Emit(KB::Fmt("L%d:Trace:%s%s", depth, label, v->AsString(Verbose()).c_str()));
}

// The key string is reused from lookup to lookup: the text is written into
// its own buffer while the capacity suffices (namespaces copy the keys they
// keep, so nothing else holds it).
KString* KPParser::Key(const char* name) {
  int len = static_cast<int>(std::strlen(name));
  KB* kv = nameKey.value;
  if (!nameKey.Is(KT::tString) || kv->Shared() || kv->holds > 1 || kv->descriptor->capacity < len ||
      !kv->descriptor->data) {
    nameKey.Owns(new KString(' ', 0, len > 32 ? len : 32));
    kv = nameKey.value;
  }
  char* buf = static_cast<char*>(kv->descriptor->data);
  std::memcpy(buf, name, static_cast<size_t>(len));
  buf[len] = 0;
  kv->descriptor->count = len;
  return static_cast<KString*>(kv);
}

KNS* KPParser::CurNS() const {
  KB* last = chain ? chain->Last() : nullptr;
  if (!last || (last->typen() != KT::tNS && last->typen() != KT::tCV)) KTHROW(KT::eSystem, "Corrupted NS Seq");
  return static_cast<KNS*>(last);
}

// ============================================================ evaluator

namespace {

// Directive and display tokens: handled, then the kinds before them are
// restored so they do not split an expression.
inline bool IsTransparent(KTT k) {
  switch (k) {
    case KT::ttComment: case KT::ttCommentsOn: case KT::ttCommentsOff: case KT::ttDisplay:
    case KT::ttParseOn: case KT::ttParseOff: case KT::ttTraceOn: case KT::ttTraceOff:
    case KT::ttVerboseOn: case KT::ttVerboseOff: case KT::ttIgnoreD: case KT::ttIgnoreD2:
    case KT::ttIgnoreS:
      return true;
    default:
      return false;
  }
}

}  // namespace

// A new sequence holding the given values (each referenced).
KSeq* KParserImpl::MakeSeq(std::initializer_list<KB*> items) {
  KSeq* s = new KSeq();
  try {
    for (KB* v : items) s->Append(v, false);
  } catch (...) {
    KB::DoneWith(s);
    throw;
  }
  return s;
}

KB* KParserImpl::SeqAt(KA& a, int i) {
  if (!KSeq::IsSeq(a.value)) KTHROW(KT::eValue, "Not Seq");
  KB* v = (*static_cast<KSeq*>(a.value))[i];
  if (!v) KTHROW(KT::eValue, "Not Seq");
  return v;
}

namespace {

// The reusable key string for a name (see KPParser::Key).
KString* NameKey(KPParser& ps, const char* name) { return ps.Key(name); }

// The cached place of the current symbol token's name, when it still
// holds: the chain is as long as then, the same namespace stands at the
// same position, the slot holds an entry spelt exactly as the name, and no
// namespace inside it has the name. Gives the chain position, or -1.
int CachedPlace(KPParser& ps, const KTokMemo::Entry& c, const char* name, int len) {
  KSeq* chain = ps.chain;
  int n = chain ? chain->Count() : 0;
  if (!c.ns || c.chainCount != n) return -1;
  KB** slots = chain->Slots();
  int i = c.chainIdx;
  if (slots[i] != c.ns) return -1;
  KNS* ns = c.ns;
  if (c.slot >= ns->Count()) return -1;
  KString* k = ns->AssocPtr(c.slot)->KeyPtr();
  if (!k || k->typen() != KT::tString || k->Len() != len || std::memcmp(k->Str(), name, static_cast<size_t>(len)) != 0)
    return -1;
  for (int j = i + 1; j < n; ++j) {
    KB* e = slots[j];
    KT::KTO t = e->typen();
    if (t != KT::tNS && t != KT::tCV) return -1;
    bool sure = false;
    if (static_cast<KNS*>(e)->IndexOfPlain(name, len, sure) >= 0 || !sure) return -1;
  }
  return i;
}

// Symbol lookup through the chain, innermost first, without copying: the
// stored value itself, or null when no namespace defines the name. No
// reference is taken: the caller takes one (into R or U) before any code
// runs that could rebind the name. `level` receives how many namespaces
// out it was found. The token's memo entry remembers where the name was
// found, so the next run of the same text checks that place first.
KB* Lookup(KPParser& ps, const char* name, int& level) {
  KTokMemo::Entry* c =
      ps.memo && ps.tokIndex >= 0 ? &ps.memo->entries[static_cast<size_t>(ps.tokIndex)] : nullptr;
  int len = static_cast<int>(std::strlen(name));
  KSeq* chain = ps.chain;
  int n = chain ? chain->Count() : 0;
  ps.foundNS = nullptr;
  int i = c ? CachedPlace(ps, *c, name, len) : -1;
  KNS* ns = nullptr;
  int slot = -1;
  if (i >= 0) {
    ns = c->ns;
    slot = c->slot;
  } else {
    KString* key = ps.Key(name);
    KB** slots = n ? chain->Slots() : nullptr;
    for (i = n - 1; i >= 0; --i) {
      KB* e = slots[i];
      KT::KTO t = e->typen();
      if (t != KT::tNS && t != KT::tCV) KTHROW(KT::eSystem, "Corrupted NS Seq");
      slot = static_cast<KNS*>(e)->IndexOf(key);
      if (slot >= 0) {
        ns = static_cast<KNS*>(e);
        break;
      }
    }
    if (!ns) {
      level = 0;
      return nullptr;
    }
    if (c) {
      c->chainCount = n;
      c->chainIdx = i;
      c->ns = ns;
      c->slot = slot;
    }
  }
  KB* v = ns->AssocPtr(slot)->ValPtr();
  v->descriptor->SID = v->ID;  // a value found by name is bound
  level = n - 1 - i;
  v->level = level;
  ps.foundNS = ps.readNS = ns;
  ps.foundSlot = ps.readSlot = slot;
  ps.foundLevel = level;
  return v;
}

}  // namespace

// Stores a value under a symbol name through the chain (the current
// namespace or the one enclosing it when that already has the name). When
// the lookup of this very token found the name there, spelt the same way,
// the value goes straight into that entry.
void KParserImpl::StoreName(KPParser& ps, const char* name, KA& v) {
  if (v.value->typen() == KT::tSeqEa) v.value->descriptor->type = KT::tSeq;
  KSeq* chain = ps.chain;
  if (ps.foundNS && ps.foundLevel <= 1 && chain && chain->Count() > ps.foundLevel &&
      chain->Slots()[chain->Count() - 1 - ps.foundLevel] == ps.foundNS && ps.foundSlot < ps.foundNS->Count()) {
    KAssoc* a = ps.foundNS->AssocPtr(ps.foundSlot);
    KString* k = a->KeyPtr();
    size_t len = std::strlen(name);
    if (k && k->typen() == KT::tString && static_cast<size_t>(k->Len()) == len &&
        std::memcmp(k->Str(), name, len) == 0) {
      v.value->descriptor->SID = v.value->ID;
      a->ValSet(v.value);
      KB* stored = a->ValPtr();
      stored->descriptor->SID = stored->ID;
      return;
    }
  }
  if (!KNS::Put(ps.chain, NameKey(ps, name), v.value, KT::ntSymbol)) KTHROW(KT::eValue, "Invalid name");
}

void KParserImpl::SaveState(KPParser& ps) {
  if (ps.savedState.active) return;
  ps.savedState.L = ps.L;
  ps.savedState.prevTT = ps.prevTT;
  ps.savedState.newOp = ps.newOp;
  ps.savedState.pendOp = ps.pendOp;
  ps.savedState.active = true;
  ps.L.Clear();
  ps.prevTT = KT::ttUnknown;
  ps.newOp = ps.pendOp = -1;
}

void KParserImpl::RestoreState(KPParser& ps) {
  if (!ps.savedState.active) return;
  ps.L = ps.savedState.L;
  ps.savedState.L.Clear();
  ps.prevTT = ps.savedState.prevTT;
  ps.newOp = ps.savedState.newOp;
  ps.pendOp = ps.savedState.pendOp;
  ps.savedState.active = false;
}

namespace {

// The display check: a pending "$" prints L once.
void DisplayCheck(KPParser& ps) {
  if (ps.displayCount == 0) return;
  --ps.displayCount;
  if (!ps.out) KTHROW(KT::eNULL, "No Output");
  ps.out->AppendValue(ps.L.value, ps.Verbose());
}

KT::KBR RunExec(KPParser& ps, KA& result, KTT& lastKind, KBlock* blk);

}  // namespace

// Runs text in a child parse state; `io` is the incoming and resulting value.
KT::KBR KParserImpl::RunChild(KPParser& ps, const char* text, size_t n, bool strip, KA& io) {
  if (ps.depth + 1 > KT::DepthLimit) KTHROW(KT::eDepth, "");
  KChild child(&ps);
  child->CmdSetMemo(text, n, strip, nullptr);
  KTT last = KT::ttUnknown;
  return RunExec(*child, io, last, ps.block);
}

// "#X": runs the text form of L in a child; L receives the result.
void KParserImpl::ExecText(KPParser& ps, KA& l) {
  std::string text;
  if (l.Is(KT::tString) || l.Is(KT::tField)) {
    text = KB::TextOf(l.value);
  } else {
    text = l.value->AsString(false);
  }
  l.Clear();
  RunChild(ps, text.data(), text.size(), false, l);
}

namespace {

// A Nil operand next to a number or clock becomes the numeric nil, next to
// a string an empty string.
void NilNext(KA& nil, KA& other) {
  KT::KTO t = other.Type();
  if (t == KT::tNum || t == KT::tClock) {
    if (nil.value->alignmentn() == KT::aFloat) {
      nil.Owns(new KNum(KT::fNil));
    } else {
      nil.Owns(new KNum(static_cast<int32_t>(KT::iNil)));
    }
  } else if (t == KT::tString) {
    nil.Owns(new KString());
  }
}

}  // namespace

// Replaces a reference by the value it designates, without copying.
void KParserImpl::Deref(KA& a) {
  if (a.Is(KT::tRef)) {
    KB* t = static_cast<KRef*>(a.value)->ValPtr(true);
    if (t) {
      a = t;
    } else {
      a.Clear();
    }
  }
}

const char* KParserImpl::OpName(int op) { return op == -2 ? "UserDefOp" : KOps::OpNameGet(op); }

namespace {

// The comparisons: they read both operands and answer a new one-bit value.
bool ReadsOnly(KOps::FnD f) {
  static const KOps::FnD kComparisons[] = {&KOps::op3C, &KOps::op3C3D, &KOps::op3D,
                                           &KOps::op3E, &KOps::op3E3D, &KOps::op7E3D};
  for (KOps::FnD c : kComparisons)
    if (f == c) return true;
  return false;
}

// Whether a dyadic application only reads its right operand, so a named
// right operand need not be copied first: "+", "-" and "*" of two Int or
// two Float numbers of one length, or with one side a single element (no
// stretching, no conversion touches the right).
bool ReadsRight(int op, KA& l, KA& r) {
  static const int plus = KOps::OpIdxGet("+"), minus = KOps::OpIdxGet("-"), times = KOps::OpIdxGet("*");
  if (op < 0 || (op != plus && op != minus && op != times)) return false;
  if (r.value->SID() < 0 || l.Type() != KT::tNum || r.Type() != KT::tNum) return false;
  const KT::KAL al = l.Align();
  if ((al != KT::aInt && al != KT::aFloat) || r.Align() != al || !r.value->descriptor->data) return false;
  const int nl = l.Cnt(), nr = r.Cnt();
  return nl == nr || nl == 1 || nr == 1;
}

}  // namespace

// ------------------------------------------------------------ application

void KParser::Dyadic(KPParser* ps, KA& l, KA& r, int op) {
  if (l.value->mark) {
    KB* t = l.value;
    l.value = r.value;
    r.value = t;
    r.value->mark = 0;
  }
  if (l.Is(KT::tRef)) KA::Reveal(l);
  if (l.Is(KT::tNil) && !r.Is(KT::tNil)) NilNext(l, r);
  if (r.Is(KT::tNil) && !l.Is(KT::tNil)) NilNext(r, l);
  bool lEach = l.Is(KT::tSeqEa), rEach = r.Is(KT::tSeqEa);
  if (op < 0 && op != -2) KTHROW(KT::eValue, (lEach || rEach) ? "Op" : "Each");
  if (op == -2) {
    ps->ParseLine("Dyadic op:", "UserDefOp");
    if (!lEach) {
      KBlock::ApplyUD(ps, ps->U.value, l, &r, 3);
      return;
    }
  } else {
    ps->ParseLine("Dyadic op:", KOps::OpNameGet(op));
  }
  KOps::FnD f = op >= 0 ? KOps::FnDGet(op) : nullptr;
  if (op >= 0 && (!f || f == &KOps::opErrD)) KTHROW(KT::eNotSupp, "Dyadic");
  // A comparison only reads its operands and answers a new bit, so a named
  // operand need not be copied first (a reference is still resolved).
  bool readOnly = ReadsOnly(f);
  // The ID of a named right operand's copy that is not made (ReadsRight):
  // taken at the copy's turn, and carried afterwards by a one-element value
  // that takes the copy's place in the register.
  int32_t copyId = 0;
  if (op == KOps::iCatAssign) {
    Deref(r);
  } else if (!readOnly || r.Is(KT::tRef)) {
    if (ReadsRight(op, l, r)) copyId = ++KB::fLastID;
    else KA::Reveal(r);
  }
  if (!readOnly || l.Is(KT::tRef)) KA::Reveal(l);
  lEach = l.Is(KT::tSeqEa);
  rEach = r.Is(KT::tSeqEa);
  if (!lEach && !rEach) {
    f(l, r);
    if (copyId) {
      KNum* stand = new KNum(int32_t{0});  // a value, as the copy was (the register is not empty)
      stand->ID = copyId;
      --KB::fLastID;
      r.Owns(stand);
    }
    return;
  }
  KSeq* ls = lEach ? static_cast<KSeq*>(l.value) : nullptr;
  KSeq* rs = rEach ? static_cast<KSeq*>(r.value) : nullptr;
  if (ls && rs && ls->Count() != rs->Count()) KTHROW(KT::eNotSupp, "Length mismatch");
  int n = ls ? ls->Count() : rs->Count();
  KA res;
  res.Owns(new KSeq());
  KSeq* out = static_cast<KSeq*>(res.value);
  for (int i = 0; i < n; ++i) {
    KA a(ls ? (*ls)[i] : l.value);
    KA b(rs ? (*rs)[i] : r.value);
    // Each pair is an application of its own: a Nil beside a number, clock
    // or string is turned into that kind's nil, as for plain operands.
    if (a.Is(KT::tNil) && !b.Is(KT::tNil)) NilNext(a, b);
    if (b.Is(KT::tNil) && !a.Is(KT::tNil)) NilNext(b, a);
    if (op == -2) {
      KBlock::ApplyUD(ps, ps->U.value, a, &b, 3);
    } else {
      f(a, b);
    }
    out->Append(a.value, false);
  }
  l = res;
}

void KParser::Monadic(KPParser* ps, KA& l, int op) {
  if (l.Is(KT::tRef) && op != KOps::iIsRef) KA::Reveal(l);
  if (op < 0 && op != -2) KTHROW(KT::eValue, l.Is(KT::tSeqEa) ? "Op" : "Each");
  bool each = l.Is(KT::tSeqEa);
  if (op == -2) {
    ps->ParseLine("Monadic op:", "UserDef");
    if (!each) {
      KBlock::ApplyUD(ps, ps->U.value, l, nullptr, 2);
      return;
    }
  } else {
    ps->ParseLine("Monadic op:", KOps::OpNameGet(op));
  }
  KOps::FnM f = op >= 0 ? KOps::FnMGet(op) : nullptr;
  if (op >= 0 && (!f || f == &KOps::opErrM)) KTHROW(KT::eNotSupp, "Monadic");
  if (op == KOps::iSys) {
    KA pair;
    pair.Owns(MakeSeq({l.value, ps->chain}));
    l = pair;
    f(l);
    return;
  }
  if (!each || op == KOps::iAtEach) {
    f(l);
    return;
  }
  KSeq* ls = static_cast<KSeq*>(l.value);
  KA res;
  res.Owns(new KSeq());
  KSeq* out = static_cast<KSeq*>(res.value);
  for (int i = 0, n = ls->Count(); i < n; ++i) {
    KA a((*ls)[i]);
    if (op == -2) {
      KBlock::ApplyUD(ps, ps->U.value, a, nullptr, 2);
    } else {
      f(a);
    }
    out->Append(a.value, false);
  }
  l = res;
}

void KParser::Niladic(KPParser* ps, KA& l, int op) {
  ps->ParseLine("Niladic op:", OpName(op));
  if (op == -2) {
    l.Clear();
    KBlock::ApplyUD(ps, ps->U.value, l, nullptr, 1);
    return;
  }
  if (op < 0) KTHROW(KT::eValue, "Each");
  KOps::FnN f = KOps::FnNGet(op);
  if (!f || f == &KOps::opErrN) KTHROW(KT::eNotSupp, "Niladic");
  if (op == KOps::iSys) {
    l.Owns(new KSys(ps->chain));
    return;
  }
  f(l);
}

namespace {

KT::KBR OnControl(KPParser& ps) {
  KT::KBR flow;
  ps.ParseLine("Ctl:", ps.token);
  switch (ps.curCT) {
    case KT::ctBreak:
      flow.kind = 1;
      return flow;
    case KT::ctContinue:
      flow.kind = 2;
      return flow;
    case KT::ctReturn: {
      KT::KCT ct = ps.curCT;
      flow.kind = 3;
      flow.count = 1;
      KTT k = ps.NextToken(false);
      if (k == KT::ttNumber && KParser::IsInt(ps.token)) {
        flow.count = KParser::AsInt(ps.token);
      } else {
        ps.PutBack();
      }
      ps.curTT = KT::ttControl;
      ps.curCT = ct;
      return flow;
    }
    default: {
      ps.PutBack();
      KA value;
      flow = KBlock::RunControl(&ps, value);
      ps.L = value;
      ps.curTT = KT::ttSeqValue;
      return flow;
    }
  }
}

// End of an expression (end of text, separator, or a forced resolution).
void EndExpression(KPParser& ps, KTT kind) {
  KA& L = ps.L;
  KA& R = ps.R;
  RestoreState(ps);
  KTT prev = ps.prevTT;
  if (prev == KT::ttUnknown) return;
  if (prev == KT::ttBlock) {
    if (L.Is(KT::tSysOp)) {
      L.Clear();
    } else if (IsBlockLike(R.Type())) {
      KA prog(R.value);
      KBlock::Call(&ps, prog.value, L);
    }
  } else if (prev == KT::ttFieldName) {
    if (ps.pendOp >= 0 && (ps.pendOp == KOps::iAssign || ps.pendOp == KOps::iIdxAssign))
      KTHROW(KT::eSyntax, "Report to TARQ");
  } else if (ps.pendOp >= 0 && ps.pendOp == KOps::iIdxAssign) {
    ps.ParseLine("=>[", "");
    KA target(SeqAt(L, 2));
    IdxAssignFromL(ps, target);
  } else if (ps.pendOp != -1) {
    int op = ps.pendOp;
    if (op == KOps::iExec) {
      ps.ParseLine("Execute:", "");
      ExecText(ps, L);
    } else if (op == KOps::iEach) {
      ps.ParseLine("Each:", "");
      ExecText(ps, L);
    } else if (op == KOps::iRef) {
      ps.ParseLine("Ref:", "");
      if (kind == KT::ttRecalc && L.Is(KT::tSeqEa)) KTHROW(KT::eNotSupp, "Use (@)");
      if (L.Is(KT::tNS)) {
        KParser::Niladic(&ps, L, op);
      } else {
        RefOfValue(ps, L);
      }
    } else if (op == KOps::iAssign) {
      ps.ParseLine("=>", "");
      if (!R.Is(KT::tRef)) KTHROW(KT::eTarget, "Type");
      KB* target = static_cast<KRef*>(R.value)->ValPtr(false);
      if (target && target->typen() == KT::tRef) {
        L = R;
        ps.newOp = op;
      } else {
        RestoreState(ps);
        if (!L.Is(KT::tRef)) static_cast<KRef*>(R.value)->ValSet(L.value);
        ps.newOp = -1;
      }
    } else {
      KParser::Monadic(&ps, L, op);
    }
    DisplayCheck(ps);
    if (kind == KT::ttSeparator) {
      ps.ParseVal("Separator:", L.value);
    } else {
      ps.ParseLine("Null:", "");
    }
  }
  DisplayCheck(ps);
}

// Readies the registers for a run: L takes the incoming value (a
// namespace goes to argNS instead), the kinds start from what stands before
// the run, nothing is pending.
void StartRun(KPParser& ps, KA& result) {
  KA& L = ps.L;
  // The registers start empty; handles are swapped rather than cleared, so
  // no empty value is made for them (the result handle holds NoValue until
  // the end).
  if (!IsNV(L)) L.Clear();
  if (result.Is(KT::tNS)) {
    if (!IsNV(ps.argNS)) ps.argNS.Clear();
    std::swap(ps.argNS.value, result.value);
  }
  if (&result != &L) std::swap(L.value, result.value);
  if (!IsNV(ps.R)) ps.R.Clear();
  ps.curTT = IsNV(L) ? KT::ttUnknown : KT::ttSeqValue;
  if (ps.resumed) {
    // Statements before ran directly: the run starts after their ";", or
    // inside a statement with the value its operator gave.
    if (ps.resumeMid) {
      std::swap(L.value, ps.resumeL.value);
      ps.curTT = KT::ttSeqValue;
    } else {
      ps.curTT = KT::ttSeparator;
    }
    ps.resumed = ps.resumeMid = false;
  }
  ps.prevTT = ps.curTT;
  ps.curCT = KT::ctNone;
  ps.newOp = ps.pendOp = -1;
  ps.curVT = ps.prevVT = L.Type();
  ps.displayCount = 0;
  ps.savedState.active = false;
  if (!IsNV(ps.savedState.L)) ps.savedState.L.Clear();
  ps.member = ps.colon = 0;
  // A host's run starts with the stop switch cleared. A nested run leaves
  // it alone: a request that arrived while the parent was running must
  // still stop it.
  if (!ps.parent) *ps.swStop = false;
}

// Symbol look-ahead: user-defined operators act as operators. Looks the
// symbol token up (`symVal` receives what it names, `level` how many
// namespaces out) and gives the kind the token runs as: an operator for a
// user-defined operator, a recalculation (the token is put back) for one
// that follows a pending operator, else still a symbol.
KTT LookAheadSymbol(KPParser& ps, KB*& symVal, int& level) {
  symVal = Lookup(ps, ps.token, level);
  KT::KTO t = symVal ? symVal->typen() : KT::tNV;
  if (ps.member == 0 && (t == KT::tOpUD || t == KT::tPgm)) {
    ps.ParseLine("UserDefPgm", ps.token);
    if (ps.pendOp == -1 || t == KT::tPgm) {
      if (t == KT::tOpUD) {
        ps.R = symVal;
        ps.U = symVal;
        ps.newOp = -2;
        return ps.curTT = KT::ttOperator;
      }
    } else {
      ps.ParseLine("PutBackToken/DoCalc", ps.token);
      ps.PutBack();
      return ps.curTT = KT::ttRecalc;
    }
  }
  return KT::ttSymbol;
}

// Forced resolution: a pending operator with no right operand (after a
// control word, a field name or another operator) is applied monadically
// before a token of kind k is read again.
bool ForcesResolution(const KPParser& ps, KTT k) {
  return (k == KT::ttBlock || k == KT::ttControl || k == KT::ttIndex || k == KT::ttOperator) &&
         ps.newOp != -2 && ps.pendOp != -1 && ps.pendOp != KOps::iAssign && ps.pendOp != KOps::iIdxAssign &&
         ps.pendOp != KOps::iPgm && ps.pendOp != KOps::iOpUD &&
         (ps.prevTT == KT::ttControl || ps.prevTT == KT::ttFieldName || ps.prevTT == KT::ttOperator);
}

// Comments, display marks and switch directives. `lastRaw` is the kind of
// the token before: a run of display marks counts once.
void RunDirective(KPParser& ps, KTT k, KTT lastRaw) {
  switch (k) {
    case KT::ttComment:
      ps.ParseLine("Comment:", ps.token);
      if (ps.Comments() && ps.out) {
        std::string text(ps.token, static_cast<size_t>(ps.tokenLen));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        ps.Emit(KB::Fmt("L%d:Comment:%s", ps.depth, text.c_str()));
      }
      break;
    case KT::ttDisplay:
      if (lastRaw != KT::ttDisplay) {
        ++ps.displayCount;
        ps.ParseLine("Display:", ps.token);
      }
      break;
    case KT::ttCommentsOn: *ps.swComments = true; break;
    case KT::ttCommentsOff: *ps.swComments = false; break;
    case KT::ttParseOn: *ps.swParse = true; break;
    case KT::ttParseOff: *ps.swParse = false; break;
    case KT::ttTraceOn: *ps.swTrace = true; break;
    case KT::ttTraceOff: *ps.swTrace = false; break;
    case KT::ttVerboseOn: *ps.swVerbose = true; break;
    case KT::ttVerboseOff: *ps.swVerbose = false; break;
    case KT::ttIgnoreD:
    case KT::ttIgnoreD2:
    case KT::ttIgnoreS:
      break;
    default:
      ps.ParseLine("Unidentifiable", ps.token);
      KTHROW(KT::eSyntax, "Report to TARQ");
  }
}

// Runs one token of kind k. Blocks, symbols and control words set `flow`
// (a break, continue or return to pass outwards); the others leave it.
void RunToken(KPParser& ps, KTT k, KB* symVal, int level, KTT lastRaw, KT::KBR& flow) {
  switch (k) {
    case KT::ttUnknown:
    case KT::ttSeparator:
    case KT::ttRecalc:
      EndExpression(ps, k);
      if (k == KT::ttRecalc) ps.curTT = KT::ttSeqValue;
      break;
    case KT::ttNumber:
      OnNumber(ps);
      break;
    case KT::ttQuote:
    case KT::ttBulk:
      OnQuote(ps, k);
      break;
    case KT::ttParen:
      OnParen(ps);
      break;
    case KT::ttIndex:
      OnIndex(ps);
      break;
    case KT::ttBlock:
      flow = OnBlock(ps);
      break;
    case KT::ttOperator:
      OnOperator(ps);
      break;
    case KT::ttSymbol:
      flow = OnSymbol(ps, symVal, level);
      break;
    case KT::ttFieldName:
      OnFieldName(ps);
      break;
    case KT::ttControl:
      flow = OnControl(ps);
      break;
    default:
      RunDirective(ps, k, lastRaw);
      break;
  }
}

// After a token: a separator ends the statement (its value is displayed
// when asked, traced and dropped), any other token traces L.
void AfterToken(KPParser& ps, KTT k) {
  KA& L = ps.L;
  if (!L.value->descriptor) KTHROW(KT::eValue, "Null");
  if (IsNV(L)) return;
  ps.curVT = L.Type();
  if (k == KT::ttSeparator) {
    DisplayCheck(ps);
    ps.TraceVal("Rslt:", L.value);
    ps.ParseLine("L.Clear:", "");
    L.Clear();
  } else if (k != KT::ttUnknown && k != KT::ttDisplay) {
    ps.TraceVal("AL:", L.value);
  }
}

// Hands L to the result handle and leaves nothing of the run in the
// registers: the result is the caller's.
void FinishRun(KPParser& ps, KA& result, KTT& lastKind) {
  KA& L = ps.L;
  if (&result != &L) {
    std::swap(result.value, L.value);
    if (!IsNV(L)) L.Clear();
  }
  lastKind = ps.curTT;
  if (!IsNV(ps.R)) ps.R.Clear();
  if (!IsNV(ps.U)) ps.U.Clear();
  if (!IsNV(ps.argNS)) ps.argNS.Clear();
}

// The token loop.
KT::KBR RunExec(KPParser& ps, KA& result, KTT& lastKind, KBlock* blk) {
  KA& L = ps.L;
  KT::KBR flow;
  ps.block = blk;
  StartRun(ps, result);
  bool first = true;
  KTT beforeTransparent = KT::ttUnknown;
  KTT lastRaw = KT::ttUnknown;
  try {
    for (;;) {
      if (ps.curCT == KT::ctBreak || ps.curCT == KT::ctContinue) break;
      KB::Breathe();
      if (!first && KT::SwRead(ps.swStop)) {  // after a token, so the error has a position
        *ps.swStop = false;
        KTHROW(KT::eInterrupt, "Stopped");
      }
      if (KFuse::AtStatement(ps, first)) continue;  // a fused chain and its sum ran
      KTT saveCur = ps.curTT;
      KTT k = ps.NextToken(ps.member != 0);
      bool transparent = IsTransparent(k);
      if (transparent) {
        beforeTransparent = saveCur;
      } else {
        ps.prevTT = saveCur;
        ps.prevVT = ps.curVT;
        ps.pendOp = ps.newOp;
        ps.newOp = -1;
      }
      if (first && k == KT::ttUnknown) {
        L.Clear();
        DisplayCheck(ps);
        result = L;
        lastKind = k;
        return flow;
      }
      first = false;
      if (beforeTransparent != KT::ttOperator) DisplayCheck(ps);

      KB* symVal = nullptr;  // the value a Symbol token names (see Lookup)
      int level = 0;
      if (k == KT::ttSymbol) k = LookAheadSymbol(ps, symVal, level);
      if (ForcesResolution(ps, k)) {
        ps.PutBack();
        k = ps.curTT = KT::ttRecalc;
      }
      RunToken(ps, k, symVal, level, lastRaw, flow);
      lastRaw = k;
      if (transparent) {
        ps.curTT = saveCur;
      }
      if (!flow.IsZero()) break;
      AfterToken(ps, k);
      if (k == KT::ttFlowDone) {
        ps.prevTT = KT::ttControl;
        break;
      }
      if (k == KT::ttUnknown) break;
    }
    if (flow.IsZero()) DisplayCheck(ps);
  } catch (KError& e) {
    throw KPErr(ps.name, e.code, &ps, e.message);
  } catch (std::bad_alloc&) {
    // A script that asks for more memory than there is ends with an error,
    // not with the host.
    throw KPErr(ps.name, KT::eSystem, &ps, "Out of memory");
  }
  FinishRun(ps, result, lastKind);
  return flow;
}

}  // namespace

// ============================================================ KParser

static void InitParserValue(KB* self, KPParser* pp) {
  KB::KBD* d = self->descriptor;
  void* data = KB::AllocData(KB::StorageBytes(KT::aPtr, 1), false);
  *static_cast<KPParser**>(data) = pp;
  d->Set(data, KT::tParser, KT::aPtr, 1, 1);
}

KParser::KParser(KSeq* chain, const std::string&) : KB(KT::tParser), pp(new KPParser(chain)) {
  InitParserValue(this, pp);
}

KParser::KParser(KParser* parent, const std::string&)
    : KB(KT::tParser), pp(new KPParser(parent ? parent->pp : nullptr)) {
  InitParserValue(this, pp);
}

KParser::KParser(KPParser* parent, const std::string&) : KB(KT::tParser), pp(new KPParser(parent)) {
  InitParserValue(this, pp);
}

KParser::~KParser() { delete pp; }

void KParser::fCmdSet(const std::string& text) { pp->CmdSet(text.data(), text.size(), false); }

void KParser::CmdSet(const char* text, bool stripEnds) {
  pp->CmdSet(text ? text : "", text ? std::strlen(text) : 0, stripEnds);
}

void KParser::CmdSet(KString* text, bool stripEnds) {
  if (!text) return;
  pp->CmdSet(text->Str(), static_cast<size_t>(text->Len()), stripEnds);
}

void KParser::CmdSet(KA& text, bool stripEnds) {
  if (!text.Is(KT::tString)) return;
  CmdSet(static_cast<KString*>(text.value), stripEnds);
}

KT::KBR KParser::Exec(KA& result, KT::KTT& lastKind, KBlock* block) {
  KB::StopScope stopScope(pp->swStop);  // long operator loops poll it
  return RunExec(*pp, result, lastKind, block);
}

void KParser::fpCommentsSwSet(bool* sw) { pp->swComments = sw ? sw : &KT::swDummy; }
void KParser::fpParseSwSet(bool* sw) { pp->swParse = sw ? sw : &KT::swDummy; }
void KParser::fpStopSwSet(bool* sw) { pp->swStop = sw ? sw : &KT::swDummy; }
void KParser::fpTraceSwSet(bool* sw) { pp->swTrace = sw ? sw : &KT::swDummy; }
void KParser::fpVerboseSwSet(bool* sw) { pp->swVerbose = sw ? sw : &KT::swDummy; }
bool* KParser::fpStopSwGet() { return pp->swStop; }
bool* KParser::fpVerboseSwGet() { return pp->swVerbose; }
void KParser::fpOutSet(KOutSink* sink) { pp->out = sink; }
KT::KTT KParser::NextToken(bool skipDirectives) { return pp->NextToken(skipDirectives); }
KSeq* KParser::NSChain() { return pp->chain; }
KPParser* KParser::PParser() { return pp; }
KT::KTT KParser::xTT() { return pp->curTT; }
KT::KCT KParser::xCT() { return pp->curCT; }

bool KParser::IsInt(const char* text) {
  if (!text || !*text) return false;
  for (const char* p = text; *p; ++p) {
    char c = *p;
    if (!IsDecDigit(c) && c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

int KParser::AsInt(const char* text) {
  if (!text) return 0;
  uint32_t v = 0;
  for (const char* p = text; *p; ++p) {
    char c = *p;
    if (IsDecDigit(c)) {
      v = v * 10u + static_cast<uint32_t>(c - '0');
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      return 0;
    }
  }
  return static_cast<int>(v);
}

KT::KBR KPParser::Run(KA& result, KT::KTT& lastKind, KBlock* blk) { return RunExec(*this, result, lastKind, blk); }
