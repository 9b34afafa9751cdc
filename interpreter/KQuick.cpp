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

// A literal the token loop makes a one-element number of: one to nine
// digits (an Int), or any number text that parses to one Int or Float (read
// by the number parser itself, so the value is the token loop's; the probe
// uses up no ID).
bool NumberLiteral(const char* t, int n, bool& flt, int32_t& iv, double& fv) {
  if (n >= 1 && n <= 9) {
    int32_t v = 0;
    int i = 0;
    for (; i < n && t[i] >= '0' && t[i] <= '9'; ++i) v = v * 10 + (t[i] - '0');
    if (i == n) {
      flt = false;
      iv = v;
      return true;
    }
  }
  const int32_t lastID = KB::fLastID;
  KA probe;
  probe.Owns(new KNum(t, n));
  KB::fLastID = lastID;
  const KB::KBD* d = probe.value->descriptor;
  if (d->type != KT::tNum || d->count != 1 || !d->data || d->rec) return false;
  if (d->align == KT::aInt) {
    flt = false;
    iv = *static_cast<const int32_t*>(d->data);
    return iv != KT::iNil;
  }
  if (d->align != KT::aFloat) return false;
  flt = true;
  fv = *static_cast<const double*>(d->data);
  return fv == fv && fv != KT::fNil;
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
    if (t.kind == KT::ttNumber)
      return NumberLiteral(t.text.data(), static_cast<int>(t.text.size()), out.lit.flt, out.lit.i, out.lit.f);
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

KQuick::Scope::Scope(KSeq* c, KNS* t) : chain(c), top(t) {
  chainN = c->Count();
  n = chainN + (t ? 1 : 0);
}

bool KQuick::Planned(const Scope& sc) {
  const int n = sc.chainN;
  if (planEpoch_ == KSeq::fScopeEpoch && planChain_ == sc.chain && planTop_ == sc.top &&
      static_cast<int>(planSlots_.size()) == n &&
      (n == 0 || std::memcmp(planSlots_.data(), sc.chain->Slots(), sizeof(KB*) * static_cast<size_t>(n)) == 0))
    return planned_ = true;
  planned_ = false;
  for (Sym& s : syms_) {
    int level = 0;
    if (!Locate(sc, s, level)) {
      planEpoch_ = ~uint64_t(0);
      return false;
    }
  }
  planEpoch_ = KSeq::fScopeEpoch;
  planChain_ = sc.chain;
  planTop_ = sc.top;
  planSlots_.assign(sc.chain->Slots(), sc.chain->Slots() + n);
  return planned_ = true;
}

KAssoc* KQuick::Locate(const Scope& sc, Sym& s, int& level) {
  if (planned_) {
    level = s.level;
    return s.assoc;
  }
  // The cached place: no namespace changed since it was found, and the
  // namespaces from the found one inwards are the same objects (those
  // further out cannot hide it).
  if (s.epoch == KSeq::fScopeEpoch && s.n == sc.n) {
    bool same = true;
    for (int k = 0; k < s.innerN; ++k) {
      if (sc.At(s.idx + k) != s.inner[k]) {
        same = false;
        break;
      }
    }
    if (same) {
      level = s.level;
      return s.assoc;
    }
  }
  KString* key = s.key.As<KString>();
  for (int i = sc.n - 1; i >= 0; --i) {
    KB* e = sc.At(i);
    if (!IsScope(e)) return nullptr;  // the token loop reports the broken chain
    KNS* ns = static_cast<KNS*>(e);
    int slot = ns->IndexOf(key);
    if (slot < 0) continue;
    KAssoc* a = ns->AssocPtr(slot);
    level = sc.n - 1 - i;
    s.assoc = a;
    s.n = sc.n;
    s.idx = i;
    s.level = level;
    s.innerN = sc.n - i;
    if (s.innerN <= kInner) {
      for (int k = 0; k < s.innerN; ++k) s.inner[k] = sc.At(i + k);
      s.epoch = KSeq::fScopeEpoch;
    } else {
      s.epoch = ~uint64_t(0);  // too deep to check cheaply: searched each time
    }
    return a;
  }
  return nullptr;
}

bool KQuick::NumOperand(const Scope& sc, Sym& sym, int& level, Num& out) {
  KAssoc* a = Locate(sc, sym, level);
  return a && ReadNumber(a->ValPtr(), level, out);
}

// ------------------------------------------------------------ evaluation

bool KQuick::Eval(const Scope& sc, const Stmt& st, Acc& acc) {
  if (st.steps.empty()) {
    if (!st.first.sym) {
      acc.num = st.first.lit;
      return true;
    }
    int level = 0;
    KAssoc* a = Locate(sc, *st.first.sym, level);
    if (!a) return false;
    KB* v = a->ValPtr();
    KT::KTO t = v->typen();
    if (t != KT::tNum && t != KT::tBit && t != KT::tString) return false;
    Stamp(v, level);
    acc.named = v;
    return true;
  }
  Num x = st.first.lit;
  if (st.first.sym && !NumOperand(sc, *st.first.sym, acc.level, x)) return false;
  for (const Step& s : st.steps) {
    Num y = s.term.lit;
    if (s.term.sym) {
      int level = 0;
      if (!NumOperand(sc, *s.term.sym, level, y)) return false;
    }
    if (!Apply(s.op, x, y, acc.bit)) return false;
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
  KNum* v = acc.num.flt ? new KNum(acc.num.f) : new KNum(acc.num.i);
  v->level = acc.level;
  return v;
}

KAssoc* KQuick::Target(const Scope& sc, const Stmt& st) {
  Sym& s = *st.target;
  int level = 0;
  KAssoc* a = Locate(sc, s, level);
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
  const KT::KAL want = acc.num.flt ? KT::aFloat : KT::aInt;
  if (!acc.named && !acc.isBit && d->type == KT::tNum && d->align == want && d->count == 1 && d->capacity == 1 &&
      d->data && !d->rec && d->extra == 0 && d->refs == 1 && cur->holds == 1 && !cur->mark && !cur->exact &&
      !cur->direction) {
    // The stored number is held by its entry alone: it takes the new
    // element instead of being replaced by an equal new value.
    if (acc.num.flt) {
      *static_cast<double*>(d->data) = acc.num.f;
    } else {
      *static_cast<int32_t*>(d->data) = acc.num.i;
    }
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

KB* KQuick::Operand(const Scope& sc, const Term& t) {
  if (!t.sym) return t.lit.flt ? new KNum(t.lit.f) : new KNum(t.lit.i);
  int level = 0;
  KAssoc* a = Locate(sc, *t.sym, level);
  if (!a) return nullptr;
  KB* v = a->ValPtr();
  KT::KTO type = v->typen();
  if ((type != KT::tNum && type != KT::tBit && type != KT::tString && type != KT::tClock) || v->mark)
    return nullptr;
  Stamp(v, level);
  v->Reference(true);
  return v;
}

namespace {
// Puts a run's virtual top namespace on the chain for real while other
// code runs (a program or operator sees the chain the token loop gives it).
struct TopOnChain {
  KSeq* chain;
  bool pushed;
  TopOnChain(KSeq* c, KNS* top) : chain(c), pushed(top != nullptr) {
    if (pushed) chain->Append(top, false);
  }
  ~TopOnChain() {
    if (pushed) chain->UnAppend(1);
  }
  TopOnChain(const TopOnChain&) = delete;
  TopOnChain& operator=(const TopOnChain&) = delete;
};
}  // namespace

int KQuick::ApplyUD(KPParser* ps, const Scope& sc, const Stmt& st, KB*& out) {
  // Operands and operator are read in the order the tokens stand.
  Building<KB> left(Operand(sc, st.first));
  if (!left.v) return -1;
  int level = 0;
  KAssoc* oa = Locate(sc, *st.ud, level);
  if (!oa || oa->ValPtr()->typen() != KT::tOpUD) return -1;
  KB* op = oa->ValPtr();
  Stamp(op, level);
  Building<KB> right(st.udRight ? Operand(sc, st.right) : nullptr);
  if (st.udRight && !right.v) return -1;
  // The token loop applies the operator from a child state one level down.
  if (ps->depth + 2 > KT::DepthLimit) return -1;
  TopOnChain pushed(ps->chain, sc.top);
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

int KQuick::Call(KPParser* ps, const Scope& sc, const Stmt& st, KB*& out, KT::KBR& flow) {
  if (!st.steps.empty() || st.ud || st.target || !st.first.sym) return 0;
  int level = 0;
  KAssoc* a = Locate(sc, *st.first.sym, level);
  if (!a) return -1;
  KB* v = a->ValPtr();
  KT::KTO t = v->typen();
  if (t != KT::tPgm && t != KT::tBlock) return 0;
  // The token loop runs the program from a child state one level down; a
  // run too deep fails there with that state's position.
  if (ps->depth + 2 > KT::DepthLimit) return -1;
  Stamp(v, level);
  TopOnChain pushed(ps->chain, sc.top);
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

bool KQuick::Pure() const {
  if (tail_) return false;
  for (const Stmt& st : stmts_)
    if (st.ud || (st.steps.empty() && st.first.sym && !st.target)) return false;
  return true;
}

// ------------------------------------------------------------ after a call

namespace {

// What the token loop prints, one level down, once a call made from a
// direct statement has switched the parse or trace lines on: the lines
// after the call's token up to where the token loop takes over. `kind`
// says how the statement goes on: 0 the text ends, 1 a ";" follows, 2 a
// "=>" follows (the token loop takes over at it).
void LinesAfterCall(KPParser* ps, KB* v, bool dyadicUD, bool monadicUD, bool afterSeparator, int kind) {
  const int depth = ps->depth + 1;
  const bool verbose = ps->Verbose();
  auto trace = [&](const char* label) {
    if (ps->Tracing() && v->typen() != KT::tNV)
      ps->Emit(KB::Fmt("L%d:Trace:%s%s", depth, label, v->AsString(verbose).c_str()));
  };
  auto parse = [&](const char* label) {
    if (ps->Parsing()) ps->Emit(KB::Fmt("L%d:Parse:%s", depth, label));
  };
  auto parseVal = [&](const char* label) {
    if (ps->Parsing() && v->typen() != KT::tNV)
      ps->Emit(KB::Fmt("L%d:Parse:%s%s", depth, label, v->AsString(verbose).c_str()));
  };
  if (monadicUD) {
    // The operator is applied when the next token ends the expression.
    if (kind == 1) {
      parseVal("Separator:");
      trace("Rslt:");
      parse("L.Clear:");
    } else {
      parse("Null:");
      if (kind == 2) trace("AL:");
    }
    return;
  }
  // A program's name, or the right operand of a dyadic operator, is the
  // token that made the call.
  if (!dyadicUD && afterSeparator) parseVal("Separator:R=>L:");
  trace("AL:");
  if (kind == 1) {
    trace("Rslt:");
    parse("L.Clear:");
  }
}

}  // namespace

// ------------------------------------------------------------ running

bool KQuick::Run(KPParser* ps, KA& result, bool wantValue, KT::KBR& flow, size_t& resume, size_t& line,
                 KT::KTT& last, KB*& carry, KNS* top, size_t from) {
  const Scope sc(ps->chain, top);
  Planned(sc);
  const size_t n = stmts_.size();
  for (size_t i = from; i < n; ++i) {
    const Stmt& st = stmts_[i];
    const bool lastStmt = i + 1 == n && !tail_;  // its value is the text's
    const bool keep = lastStmt && wantValue;
    auto handOver = [&]() {
      resume = st.resume;
      line = st.line;
      return false;
    };
    // After a call switched the parse or trace lines on, the token loop
    // runs the rest of the text from the next statement.
    auto switched = [&]() { return ps->Tracing() || ps->Parsing(); };
    auto handOverNext = [&]() {
      if (i + 1 < n) {
        resume = stmts_[i + 1].resume;
        line = stmts_[i + 1].line;
      } else {
        resume = tailResume_;
        line = tailLine_;
      }
      return false;
    };
    const int follows = lastStmt ? 0 : 1;
    KB* made = nullptr;  // one reference to the statement's value
    int called = Call(ps, sc, st, made, flow);
    if (called < 0) return handOver();
    if (called > 0) Planned(sc);  // the program may have changed names (or run this text)
    if (called > 0) {
      Building<KB> value(made);
      if (flow.IsZero() && switched()) {
        LinesAfterCall(ps, made, false, false, i > 0, follows);
        if (!lastStmt) return handOverNext();
      }
      if (flow.IsZero() && !lastStmt) continue;
      // A break or continue from inside the program ends the text here.
      if (wantValue || !flow.IsZero()) result = made;
      last = flow.IsZero() ? KT::ttUnknown : KindAfterSymbol(result);
      return true;
    }
    if (st.ud) {
      if (ApplyUD(ps, sc, st, made) < 0) return handOver();
      Planned(sc);
      Building<KB> value(made);
      const bool now = switched();
      if (now) LinesAfterCall(ps, made, st.udRight, !st.udRight, i > 0, st.target ? 2 : follows);
      if (st.target) {
        KAssoc* a = now ? nullptr : Target(sc, st);
        if (!a) {
          // The operator ran: the token loop takes over at the "=>" with
          // the operator's value in hand.
          resume = st.assignResume;
          line = st.assignLine;
          carry = value.Release();
          return false;
        }
        StoreValue(a, made);
      } else if (now && !lastStmt) {
        return handOverNext();
      }
      if (keep) result = made;
      continue;
    }
    Acc acc;
    if (!Eval(sc, st, acc)) return handOver();
    if (st.target) {
      KAssoc* a = Target(sc, st);
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

int KQuick::Truth(KPParser* ps, KB*& named, KNS* top) {
  if (stmts_.size() != 1 || tail_) return -1;
  const Stmt& st = stmts_[0];
  if (st.target || st.ud) return -1;
  Acc acc;
  const Scope sc(ps->chain, top);
  Planned(sc);
  if (!Eval(sc, st, acc)) return -1;
  if (acc.named) {
    named = acc.named;
    return 2;
  }
  if (acc.isBit) return acc.bit;
  return acc.num.flt ? acc.num.f != 0.0 : acc.num.i != 0;
}
