// KQuick: compiles texts of the direct form and runs them (see KQuick.h).
#include "KQuick.h"

#include <cstring>

#include "KAssoc.h"
#include "KBit.h"
#include "KBlock.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsLoops.h"
#include "KParser.h"
#include "KSeq.h"
#include "KString.h"

namespace {

// The dyadic forms the direct form knows, by the function the operator
// table holds for them.
struct OpForm {
  KOps::FnD fn;
  uint8_t op;
};

bool FormOf(int index, uint8_t& op) {
  static const OpForm kForms[] = {
      {&KOps::op2B, 0}, {&KOps::op2D, 1},   {&KOps::op2A, 2}, {&KOps::op3C, 3},   {&KOps::op3C3D, 4},
      {&KOps::op3E, 5}, {&KOps::op3E3D, 6}, {&KOps::op3D, 7}, {&KOps::op7E3D, 8},
  };
  if (index < 0) return false;
  KOps::FnD f = KOps::FnDGet(index);
  for (const OpForm& form : kForms) {
    if (form.fn == f) {
      op = form.op;
      return true;
    }
  }
  return false;
}

// A literal the token loop makes a one-element Int of: one to nine digits.
bool SmallLiteral(const char* t, int n, int32_t& v) {
  if (n < 1 || n > 9) return false;
  v = 0;
  for (int i = 0; i < n; ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    v = v * 10 + (t[i] - '0');
  }
  return true;
}

bool IsScope(KB* e) {
  KT::KTO t = e->typen();
  return t == KT::tNS || t == KT::tCV;
}

bool IsCode(KT::KTO t) { return t == KT::tBlock || t == KT::tPgm || t == KT::tOpUD; }

// A value found by name is bound, and carries the level it was found at.
void Stamp(KB* v, int level) {
  v->descriptor->SID = v->ID;
  v->level = level;
}

// The kind the token loop leaves after a symbol token put `L` in hand.
KT::KTT KindAfterSymbol(KA& L) {
  if (L.Is(KT::tNV)) return static_cast<KT::KTT>(18);  // the no-value kind
  return L.Is(KT::tRef) ? KT::ttRefDone : KT::ttSeqValue;
}

}  // namespace

// ------------------------------------------------------------ compiling

std::shared_ptr<KQuick> KQuick::Compile(const char* text, size_t n) {
  auto q = std::make_shared<KQuick>();
  KPParser p(static_cast<KSeq*>(nullptr));
  p.CmdSet(text, n, false);
  // The token grammar: stmt (";" stmt)*, stmt = term (op term)* ("=>" name)?
  enum { wantTerm, afterTerm, wantTarget, afterTarget } at = wantTerm;
  Stmt st;
  bool compared = false;
  auto term = [&](Term& t) -> bool {
    if (p.member) return false;
    if (p.curTT == KT::ttNumber) return SmallLiteral(p.token, p.tokenLen, t.lit);
    if (p.curTT != KT::ttSymbol) return false;
    t.sym = static_cast<int>(q->syms_.size());
    Sym& s = q->syms_.emplace_back();
    s.name.assign(p.token, static_cast<size_t>(p.tokenLen));
    s.key.Owns(new KString(s.name.c_str()));
    return true;
  };
  try {
    for (;;) {
      KT::KTT k = p.NextToken(false);
      switch (at) {
        case wantTerm:
          if (!term(st.first)) return nullptr;
          at = afterTerm;
          continue;
        case wantTarget: {
          Term t;
          if (k != KT::ttSymbol || !term(t)) return nullptr;
          st.target = t.sym;
          at = afterTarget;
          continue;
        }
        case afterTerm:
          if (k == KT::ttOperator && !p.member) {
            if (p.opIndex == KOps::iAssign) {
              at = wantTarget;
              continue;
            }
            Step s;
            uint8_t op;
            // A comparison gives a bit, which only a test may read.
            if (compared || !FormOf(p.opIndex, op)) return nullptr;
            s.op = static_cast<Op>(op);
            compared = s.op >= opLT;
            KT::KTT next = p.NextToken(false);
            (void)next;
            if (!term(s.term)) return nullptr;
            st.steps.push_back(s);
            continue;
          }
          [[fallthrough]];
        case afterTarget:
          if (k == KT::ttSeparator) {
            q->stmts_.push_back(st);
            st = Stmt();
            st.resume = static_cast<size_t>(p.scan - p.code);
            st.line = static_cast<size_t>(p.lineStart - p.code);
            compared = false;
            at = wantTerm;
            continue;
          }
          if (k != KT::ttUnknown) return nullptr;
          q->stmts_.push_back(st);
          return q;
      }
    }
  } catch (KPErr&) {
    return nullptr;
  } catch (KError&) {
    return nullptr;
  }
}

// ------------------------------------------------------------ names

KAssoc* KQuick::Locate(KSeq* chain, Sym& s, int& level) {
  const int n = chain->Count();
  KB** slots = n ? chain->Slots() : nullptr;
  const char* name = s.name.c_str();
  const int len = static_cast<int>(s.name.size());
  if (s.ns && s.chainCount == n && s.chainIdx < n && slots[s.chainIdx] == s.ns && s.slot < s.ns->Count()) {
    KAssoc* a = s.ns->AssocPtr(s.slot);
    KString* k = a->KeyPtr();
    bool same = k && k->typen() == KT::tString && k->Len() == len && std::memcmp(k->Str(), name, s.name.size()) == 0;
    // No namespace inside the cached one may have gained the name.
    for (int j = s.chainIdx + 1; same && j < n; ++j) {
      bool sure = false;
      same = IsScope(slots[j]) && static_cast<KNS*>(slots[j])->IndexOfPlain(name, len, sure) < 0 && sure;
    }
    if (same) {
      level = n - 1 - s.chainIdx;
      return a;
    }
  }
  KString* key = s.key.As<KString>();
  for (int i = n - 1; i >= 0; --i) {
    if (!IsScope(slots[i])) return nullptr;  // the token loop reports the broken chain
    KNS* ns = static_cast<KNS*>(slots[i]);
    int slot = ns->IndexOf(key);
    if (slot < 0) continue;
    s.chainCount = n;
    s.chainIdx = i;
    s.ns = ns;
    s.slot = slot;
    level = n - 1 - i;
    return ns->AssocPtr(slot);
  }
  return nullptr;
}

KB* KQuick::IntOperand(KSeq* chain, int sym, int& level) {
  KAssoc* a = Locate(chain, syms_[static_cast<size_t>(sym)], level);
  if (!a) return nullptr;
  KB* v = a->ValPtr();
  const KB::KBD* d = v->descriptor;
  if (d->type != KT::tNum || d->align != KT::aInt || d->count != 1 || !d->data || v->mark || v->exact ||
      v->direction)
    return nullptr;
  Stamp(v, level);
  return v;
}

// ------------------------------------------------------------ evaluation

bool KQuick::Eval(KSeq* chain, const Stmt& st, Acc& acc) {
  if (st.steps.empty()) {
    if (st.first.sym < 0) {
      acc.num = st.first.lit;
      return true;
    }
    int level = 0;
    KAssoc* a = Locate(chain, syms_[static_cast<size_t>(st.first.sym)], level);
    if (!a) return false;
    KB* v = a->ValPtr();
    KT::KTO t = v->typen();
    if (t != KT::tNum && t != KT::tBit && t != KT::tString) return false;
    Stamp(v, level);
    acc.named = v;
    return true;
  }
  int32_t x = st.first.lit;
  if (st.first.sym >= 0) {
    KB* v = IntOperand(chain, st.first.sym, acc.level);
    if (!v) return false;
    x = *static_cast<const int32_t*>(v->descriptor->data);
  }
  constexpr int32_t nil = KT::iNil;
  for (const Step& s : st.steps) {
    int32_t y = s.term.lit;
    if (s.term.sym >= 0) {
      int level = 0;
      KB* v = IntOperand(chain, s.term.sym, level);
      if (!v) return false;
      y = *static_cast<const int32_t*>(v->descriptor->data);
    }
    const bool anyNil = x == nil || y == nil;
    switch (s.op) {
      case opPlus: x = anyNil ? nil : KLoop::WAdd(x, y); break;
      case opMinus: x = anyNil ? nil : KLoop::WSub(x, y); break;
      case opTimes: x = anyNil ? nil : KLoop::WMul(x, y); break;
      // Comparisons of two one-element Ints compare the elements as they
      // are (a nil as its integer).
      case opLT: acc.bit = x < y; break;
      case opLE: acc.bit = x <= y; break;
      case opGT: acc.bit = x > y; break;
      case opGE: acc.bit = x >= y; break;
      case opEQ: acc.bit = x == y; break;
      case opNE: acc.bit = x != y; break;
    }
    if (s.op >= opLT) {
      acc.level = 0;
      acc.isBit = true;
    }
  }
  acc.num = x;
  return true;
}

KB* KQuick::Make(const Acc& acc) {
  if (acc.isBit) return new KBit(acc.bit);
  KNum* v = new KNum(acc.num);
  v->level = acc.level;
  return v;
}

bool KQuick::Store(KSeq* chain, const Stmt& st, Acc& acc, KA& out) {
  Sym& s = syms_[static_cast<size_t>(st.target)];
  int level = 0;
  KAssoc* a = Locate(chain, s, level);
  // Only an entry of the run's own namespace or the one around it, spelt
  // as written, takes the value directly.
  if (!a || level > 1) return false;
  KString* k = a->KeyPtr();
  if (!k || k->typen() != KT::tString || k->Len() != static_cast<int>(s.name.size()) ||
      std::memcmp(k->Str(), s.name.data(), s.name.size()) != 0)
    return false;
  KB* cur = a->ValPtr();
  KT::KTO t = cur->typen();
  if (t == KT::tRef || IsCode(t)) return false;
  Stamp(cur, level);
  KB::KBD* d = cur->descriptor;
  if (!acc.named && !acc.isBit && d->type == KT::tNum && d->align == KT::aInt && d->count == 1 &&
      d->capacity == 1 && d->data && !d->rec && d->extra == 0 && d->refs == 1 && cur->holds == 1 && !cur->mark &&
      !cur->exact && !cur->direction) {
    // The stored number is held by its entry alone: it takes the new
    // element instead of being replaced by an equal new value.
    *static_cast<int32_t*>(d->data) = acc.num;
    cur->level = acc.level;
    out = cur;
    return true;
  }
  if (acc.named) {
    out = acc.named;
  } else {
    out.Owns(Make(acc));
  }
  KB* v = out.value;
  v->descriptor->SID = v->ID;
  a->ValSet(v);
  KB* stored = a->ValPtr();
  stored->descriptor->SID = stored->ID;
  return true;
}

int KQuick::Call(KPParser* ps, const Stmt& st, KA& out, KT::KBR& flow) {
  if (!st.steps.empty() || st.target >= 0 || st.first.sym < 0) return 0;
  int level = 0;
  KAssoc* a = Locate(ps->chain, syms_[static_cast<size_t>(st.first.sym)], level);
  if (!a) return -1;
  KB* v = a->ValPtr();
  KT::KTO t = v->typen();
  if (t != KT::tPgm && t != KT::tBlock) return 0;
  // The token loop runs the program from a child state one level down; a
  // run too deep fails there with that state's position.
  if (ps->depth + 2 > KT::DepthLimit) return -1;
  Stamp(v, level);
  KChild child(ps);
  KA prog(v);
  KA arg;
  flow = KBlock::Call(&*child, prog.value, arg);
  if (flow.kind == 3) flow = KT::KBR();
  out = arg;
  return 1;
}

bool KQuick::Run(KPParser* ps, KA& result, KT::KBR& flow, size_t& resume, size_t& line, KT::KTT& last) {
  KSeq* chain = ps->chain;
  KA value;
  const size_t n = stmts_.size();
  for (size_t i = 0; i < n; ++i) {
    const Stmt& st = stmts_[i];
    if (!value.Is(KT::tNV)) value.Clear();
    int called = Call(ps, st, value, flow);
    if (called > 0) {
      if (flow.IsZero()) continue;
      // A break or continue from inside the program ends the text here.
      last = KindAfterSymbol(value);
      result = value;
      return true;
    }
    Acc acc;
    if (called < 0 || !Eval(chain, st, acc)) {
      resume = st.resume;
      line = st.line;
      return false;
    }
    if (st.target >= 0) {
      if (!Store(chain, st, acc, value)) {
        resume = st.resume;
        line = st.line;
        return false;
      }
    } else if (i + 1 == n) {
      if (acc.named) {
        value = acc.named;
      } else {
        value.Owns(Make(acc));
      }
    }
  }
  last = KT::ttUnknown;
  result = value;
  return true;
}

int KQuick::Truth(KPParser* ps, KB*& named) {
  if (stmts_.size() != 1) return -1;
  const Stmt& st = stmts_[0];
  if (st.target >= 0) return -1;
  Acc acc;
  if (!Eval(ps->chain, st, acc)) return -1;
  if (acc.named) {
    named = acc.named;
    return 2;
  }
  return acc.isBit ? acc.bit : acc.num != 0;
}
