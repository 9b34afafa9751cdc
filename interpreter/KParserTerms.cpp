// KParserTerms: the evaluator's handlers of the tokens an expression is
// made of: numbers, quotes, groups "(...)", indexes "[...]", blocks
// "{...}", operators, symbols (with assignment and the walk through ".name"
// members) and field names; each folds its token into L. The token loop that
// calls them is in KParser.cpp.
#include <string>
#include <utility>
#include <vector>

#include "KAssoc.h"
#include "KBlock.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KParser.h"
#include "KParserImpl.h"
#include "KRS.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"

static const char* const kUnit = "Interpreter/KParser";

using KT::KTT;
using namespace KParserImpl;

// ------------------------------------------------------------ references

namespace {

// The entry the value in hand was just read from, when that entry still holds
// this very value object. After `x => y` both names hold one object, so the
// value alone cannot tell which name the script wrote before "@".
KAssoc* EntryJustRead(KPParser& ps, KB* v) {
  KSeq* chain = ps.chain;
  if (!ps.readNS || !chain) return nullptr;
  KB** slots = chain->Slots();
  bool inChain = false;
  for (int i = 0, n = chain->Count(); i < n && !inChain; ++i) inChain = slots[i] == ps.readNS;
  if (!inChain) return nullptr;
  KAssoc* a = ps.readNS->AssocPtr(ps.readSlot);
  return a && a->ValPtr() == v ? a : nullptr;
}

}  // namespace

// Builds a reference value through the "@" operator: to the entry just read
// when it holds the value, else from (chain, value) as the operator decides.
void KParserImpl::RefOfValue(KPParser& ps, KA& l) {
  KT::KTO t = l.Type();
  if (t != KT::tRef && t != KT::tAssoc && l.value->level < 2) {
    if (KAssoc* a = EntryJustRead(ps, l.value)) {
      ps.ParseLine("Monadic op:", KOps::OpNameGet(KOps::iRef));
      l.Owns(new KRef(a));
      return;
    }
  }
  KA pair;
  pair.Owns(MakeSeq({ps.chain, l.value}));
  l = pair;
  KParser::Monadic(&ps, l, KOps::iRef);
}

namespace {

// ------------------------------------------------------------ member chains

// Skips the ".name" selectors after an undefined name.
void SkipMembers(KPParser& ps) {
  KTT keep = ps.curTT;
  while (ps.member == 1) {
    if (ps.NextToken(true) != KT::ttFieldName) {
      ps.PutBack();
      break;
    }
  }
  ps.curTT = keep;
}

// Walks ".name" (and ":name") selectors while the value in `v` is a
// container: blocks answer their fields, containers and namespaces their
// members, references their target. Stops before a selector on any other
// value, which the main loop then reads as a field query.
void WalkMembers(KPParser& ps, KA& v) {
  KTT keep = ps.curTT;
  while (ps.member == 1) {
    KT::KTO t = v.Type();
    if (t == KT::tRef) {
      Deref(v);
      continue;
    }
    if (!IsBlockLike(t) && t != KT::tCV && t != KT::tNS) break;
    bool colonSel = ps.colon != 0;
    if (ps.NextToken(true) != KT::ttFieldName) {
      ps.PutBack();
      break;
    }
    ps.ParseLine("Field:", ps.token);
    if (IsBlockLike(t) || (t == KT::tCV && colonSel)) {
      KField f(ps.token);
      v.Owns(v.value->FieldGet(&f));
    } else {
      KB* m = static_cast<KNS*>(v.value)->ValPtr(ps.token);
      if (m) {
        v = m;
      } else {
        v.Clear();
      }
    }
  }
  ps.curTT = keep;
}

// Reads the selector names that follow (for assignments into containers).
void ReadSelectors(KPParser& ps, std::vector<std::string>& names) {
  KTT keep = ps.curTT;
  while (ps.member == 1) {
    if (ps.NextToken(true) != KT::ttFieldName) {
      ps.PutBack();
      break;
    }
    ps.ParseLine("Field:", ps.token);
    names.emplace_back(ps.token, static_cast<size_t>(ps.tokenLen));
  }
  ps.curTT = keep;
}

// Puts v under name in a namespace or container.
void PutMember(KNS* ns, const std::string& name, KB* v) {
  if (v->typen() == KT::tSeqEa) v->descriptor->type = KT::tSeq;
  if (!ns->Put(name.c_str(), v, KT::ntSymbol)) KTHROW(KT::eValue, "Invalid name");
}

// Walks names[0..n-2] from the container `top`, creating containers for
// missing (or non-container) members, and stores v under the last name.
void StoreThrough(KNS* top, const std::vector<std::string>& names, KB* v) {
  KNS* cur = top;
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    KB* m = cur->ValPtr(names[i].c_str());
    if (m && m->typen() == KT::tRef) m = static_cast<KRef*>(m)->ValPtr(true);
    if (!m || (m->typen() != KT::tCV && m->typen() != KT::tNS)) {
      KCV* fresh = new KCV();
      try {
        PutMember(cur, names[i], fresh);
      } catch (...) {
        KB::DoneWith(fresh);
        throw;
      }
      KB::DoneWith(fresh);
      m = fresh;
    }
    cur = static_cast<KNS*>(m);
  }
  PutMember(cur, names.back(), v);
}

// ------------------------------------------------------------ assignment

// value => name (with an optional selector chain). L holds the value.
void AssignSymbol(KPParser& ps, const char* name, KA& cur, int level) {
  std::string sym(name);
  ps.ParseLine("=>", sym.c_str());
  std::vector<std::string> names;
  bool selector = ps.member == 1;
  if (selector) ReadSelectors(ps, names);
  if (level >= 2) cur.Clear();
  KT::KTO t = cur.Type();
  KA& L = ps.L;
  if (t == KT::tRef && !L.Is(KT::tRef)) {
    KRef* ref = static_cast<KRef*>(cur.value);
    KB* target = ref->ValPtr(true);
    if (names.empty()) {
      if (target && (target->typen() == KT::tNS)) KTHROW(KT::eValue, "Not Field");
      if (L.Is(KT::tSeqEa)) L.value->descriptor->type = KT::tSeq;
      ref->ValSet(L.value);
    } else {
      if (!target) KTHROW(KT::eValue, "Type");
      KT::KTO tt = target->typen();
      if (tt != KT::tNS && tt != KT::tCV) KTHROW(KT::eNotSupp, "Type replacing ref");
      StoreThrough(static_cast<KNS*>(target), names, L.value);
    }
  } else if (!names.empty() && IsBlockLike(t)) {
    // Members of a block cannot be set.
  } else if (!names.empty() && (t == KT::tCV || t == KT::tNS)) {
    // A namespace is entered like a container: its other names stay.
    StoreThrough(static_cast<KNS*>(cur.value), names, L.value);
  } else if (!names.empty()) {
    KA top;
    top.Owns(new KCV());
    StoreThrough(static_cast<KNS*>(top.value), names, L.value);
    StoreName(ps, sym.c_str(), top);
  } else {
    // A name that holds code receives the revealed value; any other name
    // (and a reference assigned to a reference) takes L as it is.
    if (IsBlockLike(t)) KA::Reveal(L);
    StoreName(ps, sym.c_str(), L);
  }
  ps.curTT = KT::ttSeqValue;
  ps.curVT = L.Type();
}

}  // namespace

// Stores L's pieces for "=>[": L = (value, index, target).
void KParserImpl::IdxAssignFromL(KPParser& ps, KA& target) {
  KA newV(SeqAt(ps.L, 0));
  KA idx(SeqAt(ps.L, 1));
  KA::IdxAssign(target, idx, newV);
  ps.L = newV;
}

namespace {

// ------------------------------------------------------------ strands

// How a value joins L when values stand side by side after a computed value.
void JoinComputed(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  if (L.value->SID() == -1) {
    if (IsNV(L)) {
      L = R;
    } else if (L.Is(KT::tSeq)) {
      FixInPlace(L);
      static_cast<KSeq*>(L.value)->Append(R.value, false);
    } else {
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
    }
  } else {
    L.Owns(MakeSeq({L.value, R.value}));
  }
}

// ------------------------------------------------------------ token kinds

// A number written beside a number strand that only the parser holds joins
// it in place (the buffer grows geometrically), so a line of n numbers
// costs O(n); the result is the one catenation would make.
bool AppendToStrand(KA& L, KA& R) {
  KB* l = L.value;
  KB* r = R.value;
  if (l->typen() != KT::tNum || r->typen() != KT::tNum || l->SID() != -1 || l->holds != 1 || l->Shared())
    return false;
  KNum* ln = static_cast<KNum*>(l);
  KNum* rn = static_cast<KNum*>(r);
  if (!(ln->IsInt() || ln->IsFlt()) || !(rn->IsInt() || rn->IsFlt())) return false;
  ln->Append(rn);
  return true;
}

}  // namespace

KB* KParserImpl::NumberLiteral(const char* t, int n) {
  if (n >= 1 && n <= 9) {
    int32_t v = 0;
    int i = 0;
    for (; i < n && t[i] >= '0' && t[i] <= '9'; ++i) v = v * 10 + (t[i] - '0');
    if (i == n) return new KNum(v);
  }
  return new KNum(t, n);
}

void KParserImpl::OnNumber(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Num:", ps.token);
  R.Owns(NumberLiteral(ps.token, ps.tokenLen));
  ps.curVT = KT::tNum;
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      ps.ParseVal("R=>L:", R.value);
      L = R;
      return;
    case KT::ttOperator:
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      return;
    case KT::ttParen:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      return;
    default:
      break;
  }
  if (L.value->SID() == -1 || L.Is(KT::tNil)) {
    switch (ps.prevVT) {
      case KT::tBit: case KT::tField: case KT::tFL: case KT::tNil: case KT::tNum:
      case KT::tNV: case KT::tRef: case KT::tString:
        ps.ParseLine("Catenate:", ps.token);
        if (ps.prevTT == KT::ttNumber && AppendToStrand(L, R)) return;
        KA::Catenate(L, R);
        return;
      case KT::tSeq:
        ps.ParseLine("Sequence:", ps.token);
        if (L.Is(KT::tSeq)) {
          FixInPlace(L);
          static_cast<KSeq*>(L.value)->Append(R.value, false);
        } else {
          KA::StrandEm(L, R);
        }
        return;
      default:
        KTHROW(KT::eValue, "Type Error");
    }
  }
  L.Owns(MakeSeq({L.value, R.value}));
}

void KParserImpl::OnQuote(KPParser& ps, KTT kind) {
  KA& L = ps.L;
  KA& R = ps.R;
  if (kind == KT::ttQuote) {
    ps.ParseLine("Quote:", ps.token);
    R.Owns(new KString(ps.token + 1, ps.tokenLen >= 2 ? ps.tokenLen - 2 : 0));
  } else {
    ps.ParseLine("Bulk:", ps.token);
    R.Owns(new KString(ps.token, ps.tokenLen));
  }
  ps.curVT = KT::tString;
  if (ps.pendOp == KOps::iAssign || ps.pendOp == KOps::iIdxAssign) KTHROW(KT::eSyntax, "=>to symbol only");
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
      L = R;
      return;
    case KT::ttBlock:
      ps.ParseVal("R->L:", R.value);
      L = R;
      return;
    case KT::ttFieldName:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      ps.curTT = KT::ttSeqValue;
      return;
    case KT::ttOperator:
      if (ps.pendOp == KOps::iEach) {
        KParser* kp = new KParser(&ps, "");
        KA hold;
        hold.Owns(kp);
        kp->CmdSet(R, false);
        L.Owns(MakeSeq({kp, L.value}));
      }
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      return;
    case KT::ttParen:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      return;
    case KT::ttSeparator:
      ps.ParseVal("R=>L:", R.value);
      L = R;
      return;
    default:
      break;
  }
  switch (ps.prevVT) {
    case KT::tRef:
    case KT::tString:
      ps.ParseLine("To Seq:", ps.token);
      L.Owns(MakeSeq({L.value, R.value}));
      ps.curTT = KT::ttSeqValue;
      return;
    case KT::tArg:
    case KT::tNV:
      ps.ParseVal("R=>L:", R.value);
      L = R;
      return;
    case KT::tSeq:
      ps.ParseLine("Seq Catenate:", ps.token);
      if (L.Is(KT::tSeq) && L.value->SID() == -1) {
        FixInPlace(L);
        static_cast<KSeq*>(L.value)->Append(R.value, false);
      } else {
        L.Owns(MakeSeq({L.value, R.value}));
      }
      ps.curVT = KT::tSeq;
      return;
    default:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      return;
  }
}

void KParserImpl::OnParen(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Paren:", ps.token);
  const char* text = ps.token;
  size_t n = static_cast<size_t>(ps.tokenLen);
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iAtEach) {
    std::string inside(text, n);
    KParser::Monadic(&ps, L, KOps::iAtEach);
    KA res;
    res.Owns(new KSeq());
    KSeq* out = static_cast<KSeq*>(res.value);
    if (KSeq::IsSeq(L.value)) {
      KSeq* s = static_cast<KSeq*>(L.value);
      for (int i = 0, c = s->Count(); i < c; ++i) {
        KA e((*s)[i]);
        RunChild(ps, inside.data(), inside.size(), true, e);
        out->Append(e.value, false);
      }
    } else {
      KA e(L.value);
      RunChild(ps, inside.data(), inside.size(), true, e);
      out->Append(e.value, false);
    }
    L = res;
    ps.curTT = KT::ttSeqValue;
    ps.newOp = -1;
    return;
  }
  R.Clear();
  RunChild(ps, text, n, true, R);
  ps.curTT = KT::ttParen;
  ps.newOp = ps.pendOp;
  ps.curVT = R.Type();
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iIdxAssign) {
    ps.ParseLine("=>[", "");
    if (!L.Is(KT::tSeq)) KTHROW(KT::eValue, "Not Seq");
    IdxAssignFromL(ps, R);
    ps.newOp = -1;
  } else if (ps.pendOp >= 0 && ps.pendOp == KOps::iAssign) {
    KA::Reveal(L);
    KA::Assign(L, R);
    R = L;
    ps.newOp = -1;
  } else if (ps.pendOp == -1) {
    switch (static_cast<int>(ps.prevTT)) {
      case KT::ttUnknown:
      case KT::ttSeparator:
        ps.ParseVal("R=>L:", R.value);
        L = R;
        break;
      case KT::ttParen:
      case KT::ttQuote:
        L.Owns(MakeSeq({L.value, R.value}));
        break;
      default:
        ps.ParseLine("StrandEm:", "");
        if (IsNV(L)) {
          L = R;
        } else {
          KA::StrandEm(L, R);
        }
        break;
    }
  } else {
    KParser::Dyadic(&ps, L, R, ps.pendOp);
    ps.newOp = -1;
  }
}

void KParserImpl::OnIndex(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Index", ps.token);
  SaveState(ps);
  R.Clear();
  RunChild(ps, ps.token, static_cast<size_t>(ps.tokenLen), true, R);
  RestoreState(ps);
  if (ps.pendOp >= 0 && (ps.pendOp == KOps::iAssign || ps.pendOp == KOps::iIdxAssign)) {
    L.Owns(MakeSeq({L.value, R.value, ps.CurNS()}));
    ps.curTT = KT::ttOperator;
    ps.newOp = KOps::iIdxAssign;
    return;
  }
  if (ps.pendOp == -1) {
    if (IsNV(L)) {
      KNS* view = new KNS(ps.CurNS());
      view->exact = 1;
      L.Owns(view);
    }
    if (L.Is(KT::tRef) && !R.Is(KT::tField)) WalkMembers(ps, L);
    if (L.Is(KT::tRef) && (R.Is(KT::tField) || R.Is(KT::tFL))) {
      // Names select from the namespace or container a reference designates.
      KA target(L.value);
      Deref(target);
      if (target.Is(KT::tNS) || target.Is(KT::tCV)) L = target;
    }
  } else if (IsNV(L)) {
    L = ps.CurNS();
    KParser::Niladic(&ps, L, ps.pendOp);
  } else {
    KParser::Monadic(&ps, L, ps.pendOp);
  }
  KA::IndexedBy(L, R);
  ps.curTT = KT::ttSeqValue;
}

KT::KBR KParserImpl::OnBlock(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  KT::KBR flow;
  ps.ParseLine("Block:", ps.token);
  KA blk;
  blk.Owns(new KBlock("anon:"));
  static_cast<KBlock*>(blk.value)->CodeSet(ps.token, false);
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
      ps.ParseLine("Anon blk:", ps.token);
      if (ps.member) {
        L = blk;
      } else {
        L.Clear();
        flow = static_cast<KBlock*>(blk.value)->Run(&ps, L);
        flow.Decrement();
      }
      ps.curTT = KT::ttSeqValue;
      return flow;
    case KT::ttSeparator:
      // A block that starts a later statement ends any return it meets.
      L.Clear();
      flow = static_cast<KBlock*>(blk.value)->Run(&ps, L);
      if (flow.kind == 3) flow = KT::KBR();
      ps.curTT = KT::ttSeqValue;
      return flow;
    case KT::ttOperator: {
      int op = ps.pendOp;
      if (op >= 0 && (op == KOps::iPgm || op == KOps::iOpUD)) {
        bool pgm = op == KOps::iPgm;
        if (!L.Is(KT::tString)) KTHROW(KT::eValue, "Need String Left");
        ps.ParseLine(pgm ? "Pgm Def:" : "Op Def:", KOps::OpNameGet(op));
        KBlock* def = pgm ? static_cast<KBlock*>(new KPgm()) : static_cast<KBlock*>(new KOpUD());
        R.Owns(def);
        def->CodeSet(ps.token, false);
        std::string name = KB::TextOf(L.value);
        if (!ps.CurNS()->Put(name.c_str(), def, KT::ntSymbol)) KTHROW(KT::eValue, pgm ? "#pgm name" : "#Op Name");
        L = R;
        ps.newOp = -1;
        ps.curTT = KT::ttSeqValue;
        return flow;
      }
      if (op >= 0 && (op == KOps::iAssign || op == KOps::iIdxAssign)) KTHROW(KT::eSyntax, "=>[]to symbol only");
      ps.ParseLine("NS", "");
      KA ns;
      if (L.Is(KT::tNS)) {
        ns = L;
      } else {
        ns.Owns(new KNS());
      }
      ps.chain->Append(ns.value, false);
      R.Clear();
      try {
        static_cast<KBlock*>(blk.value)->Run(&ps, R);
      } catch (...) {
        ps.chain->UnAppend(1);
        throw;
      }
      ps.chain->UnAppend(1);
      if (op == -1) {
        ps.ParseLine("StrandEm:", "");
        KA::StrandEm(L, R);
      } else {
        KParser::Dyadic(&ps, L, R, op);
        ps.newOp = -1;
      }
      ps.curTT = KT::ttSeqValue;
      return flow;
    }
    default:
      break;
  }
  if (L.Is(KT::tNS)) {
    KA arg(L.value);
    flow = static_cast<KBlock*>(blk.value)->Run(&ps, arg);
    L = arg;
  } else {
    KA res;
    flow = static_cast<KBlock*>(blk.value)->Run(&ps, res);
    L.Owns(MakeSeq({L.value, res.value}));
  }
  flow.Decrement();
  ps.curTT = KT::ttSeqValue;
  return flow;
}

void KParserImpl::OnOperator(KPParser& ps) {
  KA& L = ps.L;
  ps.ParseLine("Operator:", ps.token);
  if (ps.newOp != -2) ps.newOp = ps.opIndex >= 0 ? ps.opIndex : KOps::OpIdxGet(ps.token);
  int op = ps.newOp;
  if (op >= 0 && op == KOps::iIdxAssign) {
    ps.ParseLine("Putback '[':", "");
    ps.PutBackChar('[');
  }
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      if (op >= 0 && op == KOps::iArgs) {
        ps.ParseLine("#args", "");
        if (ps.argNS.Is(KT::tNS)) ps.CurNS()->Copy(static_cast<KNS*>(ps.argNS.value));
        ps.curTT = KT::ttUnknown;
        ps.newOp = -1;
      } else if (op >= 0 && op == KOps::iRef) {
        L.Owns(new KRef(ps.CurNS()));
        ps.curTT = KT::ttSeqValue;
        ps.newOp = -1;
      } else {
        KParser::Niladic(&ps, L, op);
        ps.newOp = -1;
        ps.curTT = KT::ttSeqValue;
      }
      return;
    case KT::ttBlock:
      if (op >= 0 && (op == KOps::iPgm || op == KOps::iOpUD)) {
        L = ps.R;
        KParser::Monadic(&ps, L, op);
        ps.curTT = KT::ttDefined;
        ps.newOp = -1;
      } else if (IsBlockLike(ps.R.Type())) {
        KBlock::Call(&ps, ps.R.value, L);
      }
      return;
    case KT::ttOperator:
      if (op >= 0 && op == KOps::iRef && ps.member) {
        SaveState(ps);
        L.Owns(new KRef(ps.CurNS()));
        ps.curTT = KT::ttRefDone;
        ps.newOp = -1;
        return;
      }
      if (ps.pendOp >= 0 && ps.pendOp == KOps::iAssign) ps.ParseLine("=> to Niladic Op:", OpName(op));
      if (op >= 0 && op == KOps::iRef) {
        KA src(L.value);
        Deref(src);
        if (!src.Is(KT::tNS)) KTHROW(KT::eValue, L.Is(KT::tRef) ? "LArg not NS" : "LArg Not NS");
        KNS* cur = ps.CurNS();
        if (src.value != cur) {
          KA keep(src.value);
          cur->Replace(static_cast<KNS*>(keep.value));
        }
      } else {
        KParser::Niladic(&ps, L, op);
      }
      ps.newOp = ps.pendOp = -1;
      ps.curTT = L.Is(KT::tRef) ? KT::ttRefDone : KT::ttSeqValue;
      return;
    default:
      break;
  }
  // A value stands before the operator.
  if (ps.pendOp != -1) {
    if (IsNV(L)) {
      L = ps.CurNS();
      KParser::Niladic(&ps, L, ps.pendOp);
    } else if (ps.pendOp == KOps::iRef) {
      KA sid;
      sid.Owns(new KNum(static_cast<int32_t>(L.value->SID())));
      L.Owns(MakeSeq({ps.chain, sid.value}));
      KParser::Monadic(&ps, L, KOps::iRef);
    } else {
      KParser::Monadic(&ps, L, ps.pendOp);
    }
  }
  ps.ParseVal("Rslt:", L.value);
  if (op < 0) return;
  if (op == KOps::iPgm) {
    ps.ParseLine("Def Pgm:", "");
    KT::KTO t = L.Type();
    // A sequence (namespace, name) is the left operand of the dyadic form.
    if (t != KT::tBlock && t != KT::tPgm && t != KT::tString && t != KT::tSeq)
      KTHROW(KT::eValue, "Need String, or block:obj");
  } else if (op == KOps::iOpUD) {
    ps.ParseLine("Def Op:", "");
    KT::KTO t = L.Type();
    if (t != KT::tBlock && t != KT::tOpUD && t != KT::tString && t != KT::tSeq)
      KTHROW(KT::eValue, "Need String or block:obj");
  } else if (op == KOps::iExec) {
    ps.ParseLine("Execute:", "");
    ExecText(ps, L);
    ps.curTT = KT::ttSeqValue;
    ps.newOp = -1;
  }
}

namespace {

// True when the association's value can be walked into by a further
// selector: a container, a namespace, a reference or code.
bool HoldsMembers(KAssoc* a) {
  if (!a) return false;
  KT::KTO t = a->ValPtr()->typen();
  return t == KT::tCV || t == KT::tNS || t == KT::tRef || IsBlockLike(t);
}

// Member access after a reference or container in hand (kinds 8 and 25):
// walks the selectors, then lets the member join the saved expression.
void OnMemberOfRef(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Field:", ps.token);
  KA owner(L.value);
  Deref(owner);
  KT::KTO t = owner.Type();
  // Without a saved expression the reference or container in hand is the
  // whole value so far, and its member takes its place.
  bool inHandOnly = !ps.savedState.active;
  bool wantRef = ps.savedState.active &&
                 ((ps.savedState.newOp >= 0 && ps.savedState.newOp == KOps::iAssign) ||
                  (ps.savedState.pendOp >= 0 && ps.savedState.pendOp == KOps::iAssign));
  if (t == KT::tNS || t == KT::tCV) {
    KNS* ns = static_cast<KNS*>(owner.value);
    KAssoc* a = ns->AssocPtr(ps.token);
    if (wantRef && ps.member == 1 && !HoldsMembers(a)) {
      // An assignment walks on through this name: it becomes a container,
      // as for "=> r.a.b" through a reference.
      KA fresh;
      fresh.Owns(new KCV());
      PutMember(ns, std::string(ps.token, static_cast<size_t>(ps.tokenLen)), fresh.value);
      a = ns->AssocPtr(ps.token);
    }
    if (!a && wantRef && ps.member != 1) {
      KA nv;
      a = ns->Put(ps.token, nv.value, KT::ntSymbol);
      if (!a) KTHROW(KT::eValue, "Invalid name");
    }
    if (a && wantRef && ps.member != 1) {
      R.Owns(new KRef(a));
    } else if (a) {
      R = a->ValPtr();
    } else {
      R.Clear();
    }
  } else if (IsBlockLike(t) || (!wantRef && L.Is(KT::tRef))) {
    // A reference to a plain value answers the field query of its target.
    KField f(ps.token);
    R.Owns(owner.value->FieldGet(&f));
  } else {
    KTHROW(KT::eNotSupp, "Type");
  }
  if (ps.member == 1 && (R.Is(KT::tNS) || R.Is(KT::tCV) || R.Is(KT::tRef) || IsBlockLike(R.Type()))) {
    L = R;
    ps.curTT = R.Is(KT::tRef) ? KT::ttRefDone : KT::ttMember;
    return;
  }
  RestoreState(ps);
  ps.curTT = KT::ttSeqValue;
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iAssign) {
    if (!R.Is(KT::tRef)) KTHROW(KT::eTarget, "Type");
    ps.ParseLine("=>", "");
    KA v(L.value);
    static_cast<KRef*>(R.value)->ValSet(v.value);
    ps.newOp = -1;
    return;
  }
  if (R.Is(KT::tRef)) Deref(R);
  if (inHandOnly) {
    L = R;
    return;
  }
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      L = R;
      return;
    case KT::ttOperator:
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      ps.newOp = -1;
      return;
    default:
      JoinComputed(ps);
      return;
  }
}

}  // namespace

void KParserImpl::OnFieldName(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  if (ps.prevTT == KT::ttMember || ps.prevTT == KT::ttRefDone) {
    OnMemberOfRef(ps);
    return;
  }
  ps.ParseLine("Field:", ps.token);
  R.Owns(new KField(std::string(ps.token, static_cast<size_t>(ps.tokenLen))));
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      L = R;
      return;
    case KT::ttFieldName:
      if (L.Is(KT::tField)) {
        KFList* fl = new KFList(L.value);
        L.Owns(fl);
        fl->Append(R.value, false);
        ps.curTT = KT::ttFList;
      } else if (KSeq::IsSeq(L.value)) {
        FixInPlace(L);
        static_cast<KSeq*>(L.value)->Append(R.value, false);
      } else {
        KTHROW(KT::eNotSupp, "Report to TARQ");
      }
      return;
    case KT::ttFList:
      FixInPlace(L);
      static_cast<KSeq*>(L.value)->Append(R.value, false);
      ps.curTT = KT::ttFList;
      return;
    case KT::ttNumber:
    case KT::ttQuote:
    case KT::ttSymbol:
    case kKindNoValue:
      L.Owns(L.value->FieldGet(R.value));
      ps.curTT = KT::ttSeqValue;
      return;
    case KT::ttParen:
    case KT::ttSeqValue: {
      ps.ParseLine("Field query:", ps.token);
      Deref(L);
      if (IsNV(L)) L = ps.CurNS();
      KA ans;
      // A namespace answers with its member of that name; so does a
      // container after ".", while ":" after a container asks the
      // container itself (its listing, its names ...).
      bool colonSel = ps.token > ps.code && ps.token[-1] == ':';
      bool member = false;
      if (L.Is(KT::tNS) || (L.Is(KT::tCV) && !colonSel)) {
        KB* m = static_cast<KNS*>(L.value)->ValPtr(ps.token);
        if (m) {
          ans = m;
          member = true;
        } else {
          ans.Owns(L.value->FieldGet(R.value));
        }
      } else {
        ans.Owns(L.value->FieldGet(R.value));
      }
      // A namespace held by a member is reached through a reference; one a
      // field query made (a program's ":ns") is a value of its own.
      if (member && ans.Is(KT::tNS)) {
        L = ans;
        RefOfValue(ps, L);
        ps.curTT = KT::ttRefDone;
      } else {
        L = ans;
        ps.curTT = KT::ttSeqValue;
      }
      return;
    }
    case KT::ttOperator: {
      int op = ps.pendOp;
      if (op >= 0 && op == KOps::iAssign) {
        L.Owns(MakeSeq({L.value, R.value, ps.CurNS()}));
        ps.newOp = KOps::iIdxAssign;
        ps.curTT = KT::ttOperator;
        return;
      }
      if (op >= 0 && op == KOps::iRef) {
        if (L.Is(KT::tNS)) {
          KB* m = static_cast<KNS*>(L.value)->ValPtr(ps.token);
          if (m) {
            L = m;
          } else {
            L.Clear();
          }
        } else {
          // The reference designates the variable that holds this value, so
          // the field is the target's, as for "(x @) :name".
          RefOfValue(ps, L);
          if (!L.Is(KT::tRef)) KTHROW(KT::eSystem, "KRef");
          L.Owns(L.value->FieldGet(R.value));
        }
        ps.curTT = KT::ttSeqValue;
        return;
      }
      if (op >= 0 && op == KOps::iIdxAssign) {
        if (IsNV(R)) KTHROW(KT::eValue, "Null Right Argument");
        KParser::Dyadic(&ps, L, R, op);
        ps.curTT = KT::ttSeqValue;
        return;
      }
      KT::KTO t = L.Type();
      if (t == KT::tCV || t == KT::tFL || t == KT::tNS) {
        KParser::Dyadic(&ps, L, R, op);
      } else if (t == KT::tNV) {
        KParser::Niladic(&ps, L, op);
      } else {
        KParser::Monadic(&ps, L, op);
        L.Owns(L.value->FieldGet(R.value));
      }
      ps.ParseLine("=>", "");
      ps.newOp = -1;
      ps.curTT = KT::ttSeqValue;
      return;
    }
    default:
      KTHROW(KT::eSyntax, "Unknown op");
  }
}

namespace {

// The target of ",=>" is changed in place. When others share the value the
// name holds (another name, a sequence element, a caller's operand), the
// name first gets a private copy, so the append is seen through this name
// only, as "=>[" does. Files, namespaces and dictionaries are shared on
// purpose and are left as they are.
void UnshareAppendTarget(KPParser& ps, KA& target) {
  KT::KTO t = target.Type();
  if (t != KT::tNum && t != KT::tSeq && t != KT::tString) return;
  if (target.value->descriptor->refs <= 2 || !ps.foundNS) return;  // the name and this handle
  KAssoc* a = ps.foundNS->AssocPtr(ps.foundSlot);
  if (!a || a->ValPtr() != target.value) return;
  KA copy;
  copy.Owns(target.value->Clone());
  copy.value->Fix();
  copy.value->level = target.value->level;
  copy.value->descriptor->SID = copy.value->ID;  // bound to the name
  a->ValSet(copy.value);
  target = copy;
}

}  // namespace

KT::KBR KParserImpl::OnSymbol(KPParser& ps, KB* val, int level) {
  KA& L = ps.L;
  KA& R = ps.R;
  KT::KBR flow;
  const char* name = ps.token;
  ps.ParseLine("Symbol:", name);
  if (val) {
    R = val;
    if (ps.pendOp >= 0 && ps.pendOp == KOps::iCatAssign && ps.member == 0) UnshareAppendTarget(ps, R);
  } else {
    R.Clear();
  }
  ps.TraceVal("AR:", R.value);
  bool selector = ps.member != 0;
  bool dotSel = ps.member == 1 && !ps.colon;
  bool assignPending = ps.pendOp >= 0 && ps.pendOp == KOps::iAssign;
  if (assignPending && ps.prevTT == KT::ttOperator) {
    AssignSymbol(ps, name, R, level);
    return flow;
  }
  KT::KTO t = R.Type();
  // Blocks, containers and namespaces resolve ".name" selectors here; on
  // other values the selector is read as a field query.
  if (dotSel && (IsBlockLike(t) || t == KT::tCV || t == KT::tNS)) {
    WalkMembers(ps, R);
    t = R.Type();
    selector = ps.member != 0;
  }
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iIdxAssign) {
    std::string sym(name);
    if (R.value->descriptor->refs > 2) {
      ps.TraceVal("AR", R.value);
      ps.ParseLine("SymbSave:", sym.c_str());
      KB* copy = R.value->Clone();
      R.Owns(copy);
      R.value->Fix();
    }
    IdxAssignFromL(ps, R);
    KA stored(R.value);
    StoreName(ps, sym.c_str(), stored);
    ps.curTT = KT::ttSeqValue;
    return flow;
  }
  switch (t) {
    case KT::tBlock:
    case KT::tPgm:
      if (selector) {
        L = R;
        ps.curTT = KT::ttSeqValue;
        return flow;
      } else {
        bool wasNS = L.Is(KT::tNS);
        KA arg(L.value);
        KA prog(R.value);
        flow = KBlock::Call(&ps, prog.value, arg);
        if (flow.kind == 3) flow = KT::KBR();
        R = arg;
        if (wasNS) {
          L.Clear();
          ps.prevTT = KT::ttUnknown;
        }
      }
      break;
    case KT::tNV:
      SkipMembers(ps);
      break;
    case KT::tRef:
      // A "." or ":" selector walks the reference's members; an index
      // bracket indexes the value in hand like any other.
      if (ps.member == 1) {
        SaveState(ps);
        L = R;
        ps.curTT = KT::ttRefDone;
        return flow;
      }
      break;
    default:
      break;
  }
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
      L = R;
      break;
    case KT::ttNumber:
    case KT::ttQuote:
    case KT::ttSymbol:
      if (R.Is(KT::tNil) || (L.Type() == R.Type() && R.value->SID() == -1)) {
        ps.ParseLine("StrandEm:", "");
        KA::StrandEm(L, R);
      } else if (L.Is(KT::tSeq) && L.value->SID() == -1) {
        ps.ParseLine("Seq append:", name);
        FixInPlace(L);
        static_cast<KSeq*>(L.value)->Append(R.value, false);
      } else {
        ps.ParseLine("Seq append", "");
        L.Owns(MakeSeq({L.value, R.value}));
      }
      break;
    case kKindNoValue:
      if (L.Is(KT::tSeq)) {
        KA::StrandEm(L, R);
      } else {
        L.Owns(MakeSeq({L.value, R.value}));
      }
      break;
    case KT::ttOperator:
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      ps.newOp = -1;
      break;
    case KT::ttParen:
    case KT::ttRefDone:
    case KT::ttSeqValue:
    case KT::ttMember:
    case KT::ttDefined:
      JoinComputed(ps);
      break;
    case KT::ttSeparator:
      ps.ParseVal("Separator:R=>L:", R.value);
      L = R;
      break;
    default:
      KTHROW(KT::eSyntax, "?? operator");
  }
  ps.curTT = IsNV(L) ? kKindNoValue : L.Is(KT::tRef) ? KT::ttRefDone : KT::ttSeqValue;
  return flow;
}
