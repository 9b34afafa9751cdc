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
// table holds for them, in the order of KQuick::Op: + - * < <= > >= = ~=.
bool FormOf(int index, uint8_t& op) {
  static const KOps::FnD kForms[] = {&KOps::op2B, &KOps::op2D,   &KOps::op2A, &KOps::op3C,   &KOps::op3C3D,
                                     &KOps::op3E, &KOps::op3E3D, &KOps::op3D, &KOps::op7E3D};
  if (index < 0) return false;
  KOps::FnD f = KOps::FnDGet(index);
  for (uint8_t i = 0; i < sizeof kForms / sizeof kForms[0]; ++i) {
    if (kForms[i] == f) {
      op = i;
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

namespace {
// One scanned token: what the grammar reads, and where the scan stood after
// it (for hand-overs).
struct Tok {
  KT::KTT kind;
  std::string text;
  int op;
  bool member;
  size_t resume, line;
};

// Scans the tokens of the grammar from the start. The list always ends with
// a token that stops a statement: the end of the text, or (when the scan
// met a token outside the grammar, or could not go on) a stand-in of a kind
// no rule takes.
void ScanAll(const char* text, size_t n, std::vector<Tok>& toks) {
  KPParser p(static_cast<KSeq*>(nullptr));
  p.CmdSet(text, n, false);
  try {
    for (;;) {
      KT::KTT k = p.NextToken(false);
      Tok t{k, p.token ? std::string(p.token, static_cast<size_t>(p.tokenLen)) : std::string(), p.opIndex,
            p.member != 0, static_cast<size_t>(p.scan - p.code), static_cast<size_t>(p.lineStart - p.code)};
      // A token outside the grammar ends the scan at once: long texts
      // without the direct form cost no more than their first such token.
      bool known = k == KT::ttSymbol || k == KT::ttNumber || k == KT::ttOperator || k == KT::ttSeparator ||
                   k == KT::ttUnknown;
      if (!known || t.member) break;
      toks.push_back(std::move(t));
      if (k == KT::ttUnknown) return;
    }
  } catch (KPErr&) {
  } catch (KError&) {
  }
  toks.push_back(Tok{KT::ttComment, std::string(), -1, false, 0, 0});
}
}  // namespace

// The grammar: stmt (";" stmt)*, where
//   stmt = term ( (op term)* | name [term] ) ["=>" name]
//   term = name | literal of one to nine digits
// with op one of the arithmetic and comparison forms (a comparison only
// last) and the name after a term a user-defined operator. The statements
// of the grammar at the start of a text run directly and the token loop
// takes the rest from the first statement outside it (the tail).
std::shared_ptr<KQuick> KQuick::Compile(const char* text, size_t n) {
  std::vector<Tok> toks;
  ScanAll(text, n, toks);
  auto q = std::make_shared<KQuick>();
  // The statements so far, with the rest from `st` on left to the loop.
  auto withTail = [&q](const Stmt& st) -> std::shared_ptr<KQuick> {
    if (q->stmts_.empty()) return nullptr;
    q->tail_ = true;
    q->tailResume_ = st.resume;
    q->tailLine_ = st.line;
    return q;
  };
  auto name = [&](const Tok& t) -> Sym* {
    Sym& s = q->syms_.emplace_back();
    s.name = t.text;
    s.key.Owns(new KString(s.name.c_str()));
    return &s;
  };
  auto isTerm = [](const Tok& t) { return !t.member && (t.kind == KT::ttSymbol || t.kind == KT::ttNumber); };
  auto term = [&](const Tok& t, Term& out) -> bool {
    if (!isTerm(t)) return false;
    if (t.kind == KT::ttNumber) return SmallLiteral(t.text.data(), static_cast<int>(t.text.size()), out.lit);
    out.sym = name(t);
    return true;
  };
  auto isOp = [](const Tok& t) { return t.kind == KT::ttOperator && !t.member; };
  size_t i = 0;
  for (;;) {
    Stmt st;
    st.resume = i ? toks[i - 1].resume : 0;
    st.line = i ? toks[i - 1].line : 0;
    if (!term(toks[i++], st.first)) return withTail(st);
    if (toks[i].kind == KT::ttSymbol && !toks[i].member) {
      st.ud = name(toks[i++]);
      if (isTerm(toks[i])) {
        if (!term(toks[i++], st.right)) return withTail(st);
        st.udRight = true;
      }
    } else {
      bool compared = false;
      while (isOp(toks[i]) && toks[i].op != KOps::iAssign) {
        uint8_t op;
        // A comparison gives a bit, which only a test reads.
        if (compared || !FormOf(toks[i].op, op)) return withTail(st);
        Step s;
        s.op = static_cast<Op>(op);
        compared = s.op >= opLT;
        if (!term(toks[i + 1], s.term)) return withTail(st);
        st.steps.push_back(s);
        i += 2;
      }
    }
    if (isOp(toks[i]) && toks[i].op == KOps::iAssign) {
      st.assignResume = toks[i - 1].resume;
      st.assignLine = toks[i - 1].line;
      Term t;
      if (toks[i + 1].kind != KT::ttSymbol || !term(toks[i + 1], t)) return withTail(st);
      st.target = t.sym;
      i += 2;
    }
    if (toks[i].kind == KT::ttSeparator) {
      q->stmts_.push_back(std::move(st));
      ++i;
      continue;
    }
    if (toks[i].kind != KT::ttUnknown) return withTail(st);
    q->stmts_.push_back(std::move(st));
    return q;
  }
}

// ------------------------------------------------------------ names

KAssoc* KQuick::Locate(KSeq* chain, Sym& s, int& level) {
  const int n = chain->Count();
  KB** slots = n ? chain->Slots() : nullptr;
  const char* name = s.name.c_str();
  const int len = static_cast<int>(s.name.size());
  // The place holds while the same namespace stands at the same position
  // and the entry at the slot is spelt as the name. (Objects are pooled, so
  // an entry or key at a remembered address proves nothing by itself.)
  KAssoc* cached = s.ns && s.chainCount == n && slots[s.chainIdx] == s.ns && s.slot < s.ns->Count()
                       ? static_cast<KAssoc*>(s.ns->Slots()[s.slot])
                       : nullptr;
  KString* k = cached ? cached->KeyPtr() : nullptr;
  if (k && k->typen() == KT::tString && k->Len() == len &&
      std::memcmp(k->descriptor->data, name, s.name.size()) == 0) {
    // No namespace inside the cached one may have gained the name.
    bool clear = true;
    for (int j = s.chainIdx + 1; clear && j < n; ++j) {
      KB* e = slots[j];
      if (!IsScope(e)) return nullptr;
      if (e->Count() == 0) continue;
      bool sure = false;
      clear = static_cast<KNS*>(e)->IndexOfPlain(name, len, sure) < 0 && sure;
    }
    if (clear) {
      level = n - 1 - s.chainIdx;
      return cached;
    }
  }
  KString* key = s.key.As<KString>();
  for (int i = n - 1; i >= 0; --i) {
    if (!IsScope(slots[i])) return nullptr;  // the token loop reports the broken chain
    KNS* ns = static_cast<KNS*>(slots[i]);
    int slot = ns->IndexOf(key);
    if (slot < 0) continue;
    KAssoc* a = ns->AssocPtr(slot);
    s.chainCount = n;
    s.chainIdx = i;
    s.ns = ns;
    s.slot = slot;
    level = n - 1 - i;
    return a;
  }
  return nullptr;
}

KB* KQuick::IntOperand(KSeq* chain, Sym& sym, int& level) {
  KAssoc* a = Locate(chain, sym, level);
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
    if (!st.first.sym) {
      acc.num = st.first.lit;
      return true;
    }
    int level = 0;
    KAssoc* a = Locate(chain, *st.first.sym, level);
    if (!a) return false;
    KB* v = a->ValPtr();
    KT::KTO t = v->typen();
    if (t != KT::tNum && t != KT::tBit && t != KT::tString) return false;
    Stamp(v, level);
    acc.named = v;
    return true;
  }
  int32_t x = st.first.lit;
  if (st.first.sym) {
    KB* v = IntOperand(chain, *st.first.sym, acc.level);
    if (!v) return false;
    x = *static_cast<const int32_t*>(v->descriptor->data);
  }
  constexpr int32_t nil = KT::iNil;
  for (const Step& s : st.steps) {
    int32_t y = s.term.lit;
    if (s.term.sym) {
      int level = 0;
      KB* v = IntOperand(chain, *s.term.sym, level);
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

KAssoc* KQuick::Target(KSeq* chain, const Stmt& st) {
  Sym& s = *st.target;
  int level = 0;
  KAssoc* a = Locate(chain, s, level);
  if (!a || level > 1) return nullptr;
  KString* k = a->KeyPtr();
  if (!k || k->typen() != KT::tString || k->Len() != static_cast<int>(s.name.size()) ||
      std::memcmp(k->Str(), s.name.data(), s.name.size()) != 0)
    return nullptr;
  KB* cur = a->ValPtr();
  KT::KTO t = cur->typen();
  if (t == KT::tRef || IsCode(t)) return nullptr;
  Stamp(cur, level);
  return a;
}

void KQuick::StoreValue(KAssoc* a, KB* v) {
  if (v->typen() == KT::tSeqEa) v->descriptor->type = KT::tSeq;
  v->descriptor->SID = v->ID;
  a->ValSet(v);
  KB* stored = a->ValPtr();
  stored->descriptor->SID = stored->ID;
}

KB* KQuick::Store(KAssoc* a, const Acc& acc) {
  KB* cur = a->ValPtr();
  KB::KBD* d = cur->descriptor;
  if (!acc.named && !acc.isBit && d->type == KT::tNum && d->align == KT::aInt && d->count == 1 &&
      d->capacity == 1 && d->data && !d->rec && d->extra == 0 && d->refs == 1 && cur->holds == 1 && !cur->mark &&
      !cur->exact && !cur->direction) {
    // The stored number is held by its entry alone: it takes the new
    // element instead of being replaced by an equal new value.
    *static_cast<int32_t*>(d->data) = acc.num;
    cur->level = acc.level;
    return cur;
  }
  if (acc.named) {
    StoreValue(a, acc.named);
  } else {
    KB* v = Make(acc);
    StoreValue(a, v);
    KB::DoneWith(v);  // the entry holds it now
  }
  return a->ValPtr();
}

KB* KQuick::Operand(KSeq* chain, const Term& t) {
  if (!t.sym) return new KNum(t.lit);
  int level = 0;
  KAssoc* a = Locate(chain, *t.sym, level);
  if (!a) return nullptr;
  KB* v = a->ValPtr();
  KT::KTO type = v->typen();
  if ((type != KT::tNum && type != KT::tBit && type != KT::tString && type != KT::tClock) || v->mark)
    return nullptr;
  Stamp(v, level);
  v->Reference(true);
  return v;
}

int KQuick::ApplyUD(KPParser* ps, const Stmt& st, KB*& out) {
  KSeq* chain = ps->chain;
  // Operands and operator are read in the order the tokens stand.
  Building<KB> left(Operand(chain, st.first));
  if (!left.v) return -1;
  int level = 0;
  KAssoc* oa = Locate(chain, *st.ud, level);
  if (!oa || oa->ValPtr()->typen() != KT::tOpUD) return -1;
  KB* op = oa->ValPtr();
  Stamp(op, level);
  Building<KB> right(st.udRight ? Operand(chain, st.right) : nullptr);
  if (st.udRight && !right.v) return -1;
  // The token loop applies the operator from a child state one level down.
  if (ps->depth + 2 > KT::DepthLimit) return -1;
  KChild child(ps);
  op->Reference(true);
  Building<KB> keep(op);
  // The handles take over the operands' references, so the operator's code
  // sees them held exactly as the token loop holds them.
  KA l;
  l.Owns(left.Release());
  if (st.udRight) {
    KA r;
    r.Owns(right.Release());
    KBlock::ApplyUD(&*child, op, l, &r, 3);
  } else {
    KBlock::ApplyUD(&*child, op, l, nullptr, 2);
  }
  out = l.value;
  out->Reference(true);
  return 0;
}

int KQuick::Call(KPParser* ps, const Stmt& st, KB*& out, KT::KBR& flow) {
  if (!st.steps.empty() || st.ud || st.target || !st.first.sym) return 0;
  int level = 0;
  KAssoc* a = Locate(ps->chain, *st.first.sym, level);
  if (!a) return -1;
  KB* v = a->ValPtr();
  KT::KTO t = v->typen();
  if (t != KT::tPgm && t != KT::tBlock) return 0;
  // The token loop runs the program from a child state one level down; a
  // run too deep fails there with that state's position.
  if (ps->depth + 2 > KT::DepthLimit) return -1;
  Stamp(v, level);
  KChild child(ps);
  v->Reference(true);
  Building<KB> keep(v);
  KA arg;
  flow = KBlock::Call(&*child, v, arg);
  if (flow.kind == 3) flow = KT::KBR();
  out = arg.value;
  out->Reference(true);
  return 1;
}

bool KQuick::Run(KPParser* ps, KA& result, bool wantValue, KT::KBR& flow, size_t& resume, size_t& line,
                 KT::KTT& last, KB*& carry) {
  KSeq* chain = ps->chain;
  const size_t n = stmts_.size();
  for (size_t i = 0; i < n; ++i) {
    const Stmt& st = stmts_[i];
    const bool lastStmt = i + 1 == n && !tail_;  // its value is the text's
    const bool keep = lastStmt && wantValue;
    auto handOver = [&]() {
      resume = st.resume;
      line = st.line;
      return false;
    };
    KB* made = nullptr;  // one reference to the statement's value
    int called = Call(ps, st, made, flow);
    if (called < 0) return handOver();
    if (called > 0) {
      Building<KB> value(made);
      if (flow.IsZero() && !lastStmt) continue;
      // A break or continue from inside the program ends the text here.
      if (wantValue || !flow.IsZero()) result = made;
      last = flow.IsZero() ? KT::ttUnknown : KindAfterSymbol(result);
      return true;
    }
    if (st.ud) {
      if (ApplyUD(ps, st, made) < 0) return handOver();
      Building<KB> value(made);
      if (st.target) {
        KAssoc* a = Target(chain, st);
        if (!a) {
          // The operator ran: the token loop takes over at the "=>" with
          // the operator's value in hand.
          resume = st.assignResume;
          line = st.assignLine;
          carry = value.Release();
          return false;
        }
        StoreValue(a, made);
      }
      if (keep) result = made;
      continue;
    }
    Acc acc;
    if (!Eval(chain, st, acc)) return handOver();
    if (st.target) {
      KAssoc* a = Target(chain, st);
      if (!a) return handOver();
      KB* stored = Store(a, acc);
      if (keep) result = stored;
    } else if (keep) {
      if (acc.named) {
        result = acc.named;
      } else {
        result.Owns(Make(acc));
      }
    }
  }
  if (tail_) {
    resume = tailResume_;
    line = tailLine_;
    return false;
  }
  last = KT::ttUnknown;
  return true;
}

int KQuick::Truth(KPParser* ps, KB*& named) {
  if (stmts_.size() != 1 || tail_) return -1;
  const Stmt& st = stmts_[0];
  if (st.target || st.ud) return -1;
  Acc acc;
  if (!Eval(ps->chain, st, acc)) return -1;
  if (acc.named) {
    named = acc.named;
    return 2;
  }
  return acc.isBit ? acc.bit : acc.num != 0;
}
