// KQuickLoop: loops compiled from the direct form of their texts (see
// KQuickLoop.h).
#include "KQuickLoop.h"

#include <cstring>

#include "KAssoc.h"
#include "KBlock.h"
#include "KNS.h"
#include "KNum.h"
#include "KParser.h"
#include "KSeq.h"
#include "KString.h"

namespace {

bool IsScope(KB* e) {
  KT::KTO t = e->typen();
  return t == KT::tNS || t == KT::tCV;
}

bool IsCode(KT::KTO t) { return t == KT::tBlock || t == KT::tPgm || t == KT::tOpUD; }

// A value found by name is bound, and carries the level it was found at.
inline void Stamp(KB* v, int level) {
  v->descriptor->SID = v->ID;
  v->level = level;
}

// Where a name is, innermost first: `t2`, `t1` (either may be null), then
// the chain from its end. Level 0 is the innermost namespace searched.
bool Find(KSeq* chain, KNS* t1, KNS* t2, KString* key, KAssoc*& a, int& level) {
  int lvl = 0;
  for (KNS* t : {t2, t1}) {
    if (!t) continue;
    int slot = t->IndexOf(key);
    if (slot >= 0) {
      a = t->AssocPtr(slot);
      level = lvl;
      return true;
    }
    ++lvl;
  }
  for (int i = chain->Count() - 1; i >= 0; --i, ++lvl) {
    KB* e = chain->Slots()[i];
    if (!IsScope(e)) return false;
    int slot = static_cast<KNS*>(e)->IndexOf(key);
    if (slot >= 0) {
      a = static_cast<KNS*>(e)->AssocPtr(slot);
      level = lvl;
      return true;
    }
  }
  return false;
}

// A one-element Int or Float that nothing but its one holder holds and
// that carries no flags: a value that may take a new element in place.
[[gnu::always_inline]] inline bool PrivateNumber(KB* v) {
  const KB::KBD* d = v->descriptor;
  return d->type == KT::tNum && (d->align == KT::aInt || d->align == KT::aFloat) && d->count == 1 &&
         d->capacity == 1 && d->data && !d->rec && d->extra == 0 && d->refs == 1 && v->holds == 1 && !v->mark &&
         !v->exact && !v->direction;
}

}  // namespace

// ------------------------------------------------------------ building

std::unique_ptr<KQuickLoop> KQuickLoop::Make(KPParser* ps, KBlock* test, KBlock* body) {
  if (!KQuick::enabled || ps->Parsing() || ps->Tracing() || ps->depth + 3 > KT::DepthLimit) return nullptr;
  if (!body->Quick(ps)) return nullptr;
  std::unique_ptr<KQuickLoop> loop(new KQuickLoop());
  loop->test_ = test;
  loop->body_ = body;
  return loop;
}

bool KQuickLoop::BuildStmt(KPParser* ps, const KQuick::Stmt& st, KNS* t1, KNS* t2, Stmt& out, bool inner) {
  KSeq* chain = ps->chain;
  out.src = &st;
  out.kind = kOther;
  auto place = [&](const KQuick::Term& t, Place& p) {
    p.lit = t.lit;
    if (!t.sym) return true;
    return Find(chain, t1, t2, t.sym->key.As<KString>(), p.a, p.level);
  };
  auto target = [&](KQuick::Sym* sym) {
    KAssoc* a = nullptr;
    int level = 0;
    if (!Find(chain, t1, t2, sym->key.As<KString>(), a, level) || level > 1) return false;
    KString* k = a->KeyPtr();
    if (!k || k->typen() != KT::tString || k->Len() != static_cast<int>(sym->name.size()) ||
        std::memcmp(k->Str(), sym->name.data(), sym->name.size()) != 0)
      return false;
    out.target = a;
    out.targetLevel = level;
    return true;
  };
  // A program or operator whose text is one plain statement, as compiled
  // for the scope its run gives it (its namespace above the body's).
  auto callee = [&](KB* v, KNS*& own) -> const KQuick::Stmt* {
    KBlock* b = static_cast<KBlock*>(v);
    KQuick* q = b->Quick(ps);
    if (!q || q->tail_ || q->stmts_.size() != 1) return nullptr;
    const KQuick::Stmt& cs = q->stmts_[0];
    if (cs.ud || cs.steps.empty()) return nullptr;
    own = b->NSGet();
    out.calleeValue = v;
    out.calleeMemo = b->Rec()->memo;
    out.inner = std::make_unique<Text>();
    out.inner->block = b;
    out.inner->q = q;
    return &cs;
  };
  if (st.ud) {
    // `i op => i`: a monadic operator applied to a name, assigned back.
    if (inner || st.udRight || !st.first.sym || !st.target || st.first.sym->name != st.target->name) return true;
    if (!place(st.first, out.callee) || !out.callee.a) return true;
    out.terms.assign(1, out.callee);
    if (!target(st.target) || out.target != out.terms[0].a) return true;
    Place op;
    if (!Find(chain, t1, t2, st.ud->key.As<KString>(), op.a, op.level)) return true;
    KB* v = op.a->ValPtr();
    if (v->typen() != KT::tOpUD) return true;
    KNS* own = nullptr;
    const KQuick::Stmt* cs = callee(v, own);
    if (!cs || cs->target) return true;
    for (const KQuick::Step& s : cs->steps)
      if (s.op >= KQuick::opLT) return true;  // a bit cannot take the number's place
    if (own->Count() != 1) return true;
    KAssoc* l = own->AssocPtr(0);
    KString* lk = l->KeyPtr();
    if (!lk || lk->typen() != KT::tString || lk->Len() != 3 || std::memcmp(lk->Str(), "l__", 3) != 0) return true;
    out.callee = op;
    out.lArg = l;
    out.inner->stmts.emplace_back();
    if (!BuildStmt(ps, *cs, t1, own, out.inner->stmts[0], true) || out.inner->stmts[0].kind != kArith)
      return true;
    // While the operator runs, the operand's entry holds what "l__" let go
    // of: its text may not read that name.
    for (const Place& p : out.inner->stmts[0].terms)
      if (p.a == out.target) return true;
    out.kind = kApply;
    return true;
  }
  if (st.steps.empty() && st.first.sym && !st.target) {
    // A lone name: a program called, or a value read.
    Place p;
    if (!place(st.first, p)) return true;
    KB* v = p.a->ValPtr();
    KT::KTO t = v->typen();
    if (t == KT::tPgm || t == KT::tBlock) {
      if (inner) return true;
      KNS* own = nullptr;
      const KQuick::Stmt* cs = callee(v, own);
      if (!cs) return true;
      out.callee = p;
      out.inner->stmts.emplace_back();
      if (!BuildStmt(ps, *cs, t1, own, out.inner->stmts[0], true) || out.inner->stmts[0].kind != kArith)
        return true;
      out.kind = kCall;
      return true;
    }
    if (IsCode(t)) return true;
    out.terms.push_back(p);
    out.kind = kArith;
    return true;
  }
  Place first;
  if (!place(st.first, first)) return true;
  out.terms.push_back(first);
  for (const KQuick::Step& s : st.steps) {
    Place p;
    if (!place(s.term, p)) return true;
    out.terms.push_back(p);
  }
  if (st.target && !target(st.target)) return true;
  out.kind = kArith;
  out.self = out.target && out.terms.size() == 2 && out.terms[0].a == out.target && st.steps[0].op < KQuick::opLT;
  if (!st.steps.empty()) out.op = st.steps[0].op;
  return true;
}

bool KQuickLoop::BuildText(KPParser* ps, KBlock* b, KQuick* q, KNS* t1, KNS* t2, Text& out, bool inner) {
  out.block = b;
  out.q = q;
  out.stmts.clear();
  out.stmts.resize(q->stmts_.size());
  for (size_t i = 0; i < q->stmts_.size(); ++i)
    if (!BuildStmt(ps, q->stmts_[i], t1, t2, out.stmts[i], inner)) return false;
  return true;
}

bool KQuickLoop::Build(KPParser* ps) {
  testText_ = Text();
  bodyText_ = Text();
  if (test_) {
    KQuick* q = test_->Quick(ps);
    // A test is compiled when it is one statement computing a number or bit.
    if (q && !BuildText(ps, test_, q, test_->NSGet(), nullptr, testText_, false)) return false;
    if (!q || q->tail_ || testText_.stmts.size() != 1 || testText_.stmts[0].kind != kArith ||
        testText_.stmts[0].src->target || testText_.stmts[0].src->steps.empty())
      testText_.stmts.clear();
  }
  KQuick* q = body_->Quick(ps);
  if (!q) return false;
  return BuildText(ps, body_, q, body_->NSGet(), nullptr, bodyText_, false);
}

inline bool KQuickLoop::Fresh(KPParser* ps) {
  if (ps->Tracing() || ps->Parsing()) return false;
  KSeq* chain = ps->chain;
  const int n = chain->Count();
  if (built_ && epoch_ == KSeq::fScopeEpoch && static_cast<int>(chainSlots_.size()) == n) {
    // (A chain's slots are never deferred: read them without the check.)
    KB* const* now = static_cast<KB* const*>(chain->descriptor->data);
    int k = 0;
    while (k < n && now[k] == chainSlots_[static_cast<size_t>(k)]) ++k;
    if (k == n) return true;
  }
  return Rebuild(ps);
}

bool KQuickLoop::Rebuild(KPParser* ps) {
  KSeq* chain = ps->chain;
  const int n = chain->Count();
  built_ = false;
  if (failed_ == KSeq::fScopeEpoch) return false;
  if (!Build(ps)) {
    failed_ = KSeq::fScopeEpoch;
    return false;
  }
  built_ = true;
  epoch_ = KSeq::fScopeEpoch;
  chainSlots_.assign(chain->Slots(), chain->Slots() + n);
  rawWhile_ = RawShape(true);
  rawFor_ = RawShape(false);
  rawApply_ = false;
  if (testText_.stmts.size() == 1 && testText_.stmts[0].terms.size() == 2 && testText_.stmts[0].op >= KQuick::opLT &&
      bodyText_.stmts.size() == 1 && !bodyText_.q->tail_ && bodyText_.stmts[0].kind == kApply) {
    const Stmt& b = bodyText_.stmts[0];
    const Stmt& in = b.inner->stmts[0];
    // The operator's statement: one operation on "l__" and a literal.
    rawApply_ = in.terms.size() == 2 && in.terms[0].a == b.lArg && !in.terms[1].a && in.op < KQuick::opLT;
    // The test reads the operand's name or values that stay put.
    for (const Place& p : testText_.stmts[0].terms)
      if (p.a == b.lArg) rawApply_ = false;
  }
  rawWait_ = 0;
  return true;
}

// ------------------------------------------------------------ running

namespace {
// A number operand: a literal, or a named one-element Int or Float without
// flags, stamped as a lookup stamps it.
inline bool ReadNum(KAssoc* a, int level, const KQuick::Num& lit, KQuick::Num& out) {
  if (!a) {
    out = lit;
    return true;
  }
  return KQuick::ReadNumber(a->ValPtr(), level, out);
}
}  // namespace

bool KQuickLoop::Arith(const Stmt& s, KQuick::Acc& acc) {
  const KQuick::Stmt& st = *s.src;
  const Place& first = s.terms[0];
  if (st.steps.empty()) {
    if (!first.a) {
      acc.num = first.lit;
      return true;
    }
    KB* v = first.a->ValPtr();
    KT::KTO t = v->typen();
    if (t != KT::tNum && t != KT::tBit && t != KT::tString) return false;
    Stamp(v, first.level);
    acc.named = v;
    return true;
  }
  KQuick::Num x;
  if (!ReadNum(first.a, first.level, first.lit, x)) return false;
  if (first.a) acc.level = first.level;
  const size_t n = st.steps.size();
  for (size_t k = 0; k < n; ++k) {
    const Place& p = s.terms[k + 1];
    KQuick::Num y;
    if (!ReadNum(p.a, p.level, p.lit, y)) return false;
    const uint8_t op = st.steps[k].op;
    if (!KQuick::Apply(op, x, y, acc.bit)) return false;
    if (op >= KQuick::opLT) {
      acc.level = 0;
      acc.isBit = true;
    }
  }
  acc.num = x;
  return true;
}

bool KQuickLoop::RunArith(const Stmt& s, KA* value) {
  if (s.self && RunSelf(s)) {
    if (value) *value = s.target->ValPtr();
    return true;
  }
  KQuick::Acc acc;
  if (!Arith(s, acc)) return false;
  if (!s.target) {
    // The statement's value, as the direct form makes it when it is wanted.
    if (value) {
      if (acc.named) {
        *value = acc.named;
      } else {
        value->Owns(KQuick::Make(acc));
      }
    }
    return true;
  }
  KB* cur = s.target->ValPtr();
  KT::KTO t = cur->typen();
  if (t == KT::tRef || IsCode(t)) return false;
  Stamp(cur, s.targetLevel);
  KB::KBD* d = cur->descriptor;
  if (!acc.named && !acc.isBit && PrivateNumber(cur) && d->align == (acc.num.flt ? KT::aFloat : KT::aInt)) {
    // What KQuick::Store does for a number only its entry holds.
    if (acc.num.flt) {
      *static_cast<double*>(d->data) = acc.num.f;
    } else {
      *static_cast<int32_t*>(d->data) = acc.num.i;
    }
    cur->level = acc.level;
    if (value) *value = cur;
    return true;
  }
  KB* stored = KQuick::Store(s.target, acc);
  if (value) *value = stored;
  return true;
}

// `a op b => a` on a number only its entry holds: the element changes in
// place, stamped as reading it, reading `b`, and assigning leave it. False
// (nothing done but stamps the general path gives again) otherwise.
bool KQuickLoop::RunSelf(const Stmt& s) {
  const Place& a = s.terms[0];
  KB* v = a.a->ValPtr();
  if (!PrivateNumber(v)) return false;
  KB::KBD* d = v->descriptor;
  KQuick::Num x;
  const bool flt = d->align == KT::aFloat;
  x.flt = flt;
  if (flt) {
    x.f = *static_cast<const double*>(d->data);
  } else {
    x.i = *static_cast<const int32_t*>(d->data);
  }
  Stamp(v, a.level);
  const Place& b = s.terms[1];
  KQuick::Num y;
  bool bit = false;
  if (!ReadNum(b.a, b.level, b.lit, y) || !KQuick::Apply(s.op, x, y, bit) || x.flt != flt) return false;
  if (flt) {
    *static_cast<double*>(d->data) = x.f;
  } else {
    *static_cast<int32_t*>(d->data) = x.i;
  }
  v->level = a.level;  // the level the computed number carries
  return true;
}

namespace {
// Whether the callee stands under its name as compiled, with the same text.
inline bool SameCallee(KAssoc* a, KB* v, const KTokMemo* memo) {
  return a->ValPtr() == v && static_cast<KBlock*>(v)->Rec()->memo.get() == memo;
}
}  // namespace

bool KQuickLoop::RunCall(const Stmt& s, KA* value) {
  if (!SameCallee(s.callee.a, s.calleeValue, s.calleeMemo.get())) return Stale();
  // The call stamps the program, then its one statement runs (a failing
  // statement is run again as usual, which stamps the same).
  Stamp(s.calleeValue, s.callee.level);
  if (!RunArith(s.inner->stmts[0], value)) return false;
  KBlock* b = s.inner->block;
  b->CTSet(KT::ctNone);
  b->TTSet(KT::ttUnknown);
  return true;
}

bool KQuickLoop::RunApply(const Stmt& s) {
  if (!SameCallee(s.callee.a, s.calleeValue, s.calleeMemo.get())) return Stale();
  KAssoc* named = s.terms[0].a;  // the operand, which is the target too
  KAssoc* l = s.lArg;
  KBlock* op = s.inner->block;
  KNS* own = op->NSGet();
  if (own->Count() != 1 || own->Slots()[0] != l || l->descriptor->refs != 1) return false;
  KB* q = named->ValPtr();  // becomes "l__"
  KB* p = l->ValPtr();      // let go of by "l__": it takes the result
  if (p == q || !PrivateNumber(q) || !PrivateNumber(p)) return false;
  // The operand is read and the operator found; the operand is bound as
  // "l__"; the operator's statement reads it.
  Stamp(q, s.terms[0].level);
  Stamp(s.calleeValue, s.callee.level);
  l->ValSwap(named);
  q->descriptor->SID = q->ID;
  KQuick::Acc acc;
  const auto want = static_cast<KT::KAL>(p->descriptor->align);
  if (!Arith(s.inner->stmts[0], acc) || acc.named || acc.isBit || (acc.num.flt ? KT::aFloat : KT::aInt) != want) {
    l->ValSwap(named);  // as it was: the usual run does it all again
    return false;
  }
  // The result is a new value: the one "l__" let go of, with a new ID.
  p->ID = ++KB::fLastID;
  if (acc.num.flt) {
    *static_cast<double*>(p->descriptor->data) = acc.num.f;
  } else {
    *static_cast<int32_t*>(p->descriptor->data) = acc.num.i;
  }
  p->level = acc.level;
  p->descriptor->SID = p->ID;
  // The assignment finds the operand under the target's name first.
  Stamp(q, s.targetLevel);
  op->CTSet(KT::ctNone);
  return true;
}

bool KQuickLoop::Stale() {
  // A program or operator was put under its name again (which changes no
  // namespace): the texts are compiled again for the next pass.
  built_ = false;
  failed_ = ~uint64_t(0);
  return false;
}

int KQuickLoop::Test(KPParser* ps) {
  checked_ = false;
  if (!Fresh(ps) || testText_.stmts.empty()) return -1;
  checked_ = true;  // nothing can change a place before the body runs
  const Stmt& st = testText_.stmts[0];
  if (st.terms.size() == 2) {
    // One operation: two operands read and stamped, then applied.
    KQuick::Num x, y;
    bool bit = false;
    const Place& a = st.terms[0];
    const Place& b = st.terms[1];
    const uint8_t op = st.op;
    if (!ReadNum(a.a, a.level, a.lit, x) || !ReadNum(b.a, b.level, b.lit, y) || !KQuick::Apply(op, x, y, bit))
      return -1;
    if (op >= KQuick::opLT) return bit;
    return x.flt ? x.f != 0.0 : x.i != 0;
  }
  KQuick::Acc acc;
  if (!Arith(testText_.stmts[0], acc)) return -1;
  if (acc.isBit) return acc.bit;
  return acc.num.flt ? acc.num.f != 0.0 : acc.num.i != 0;
}

int KQuickLoop::Passes(KPParser* ps, PollFn poll, KA& out, KT::KBR& flow) {
  bool polled = false;
  for (;;) {
    if (!polled) poll(ps);
    polled = false;
    checked_ = false;
    const int truth = Test(ps);
    if (truth < 0) return 2;
    if (truth == 0) return 0;
    KT::KBR f = Body(ps, out, false);
    if (f.kind == 1) return 0;
    if (f.kind == 3) {
      flow = f;
      return 1;
    }
    if (!f.IsZero() || !bodyDone_) continue;
    if (rawApply_) {
      const int r = RawApplyPasses(ps, poll);
      if (r == 0) return 0;
      polled = r == 2;
      if (r == 3) {
        f = Rest(ps, out, 0);
        if (f.kind == 1) return 0;
        if (f.kind == 3) {
          flow = f;
          return 1;
        }
      }
      continue;
    }
    if (!rawWhile_) continue;
    // A pass ran compiled from end to end: the next ones may run raw.
    size_t k = 0;
    const int r = RawPasses(ps, poll, k);
    if (r == 0) return 0;
    if (r == 2) {
      polled = true;
    } else if (r == 3) {
      f = Rest(ps, out, k);
      if (f.kind == 1) return 0;
      if (f.kind == 3) {
        flow = f;
        return 1;
      }
    }
  }
}

bool KQuickLoop::RawShape(bool withTest) const {
  if (!bodyText_.q || bodyText_.q->tail_ || bodyText_.stmts.empty()) return false;
  for (const Stmt& s : bodyText_.stmts)
    if (s.kind != kArith || !s.self) return false;
  if (!withTest) return true;
  return testText_.stmts.size() == 1 && testText_.stmts[0].terms.size() == 2 &&
         testText_.stmts[0].op >= KQuick::opLT;
}

bool KQuickLoop::RawCells(bool withTest) {
  rawCells_.clear();
  if (!built_ || !(withTest ? rawWhile_ : rawFor_)) return false;
  // Values that do not qualify now are looked at again some passes later.
  if (rawWait_ > 0) {
    --rawWait_;
    return false;
  }
  auto cell = [&](const Place& p, bool target) {
    Cell c;
    if (!p.a) {
      c.value = p.lit;
      c.flt = p.lit.flt;
      rawCells_.push_back(c);
      return true;
    }
    KB* v = p.a->ValPtr();
    const KB::KBD* d = v->descriptor;
    if (target ? !PrivateNumber(v)
               : (d->type != KT::tNum || d->count != 1 || !d->data || v->mark || v->exact || v->direction ||
                  (d->align != KT::aInt && d->align != KT::aFloat)))
      return false;
    c.lit = false;
    c.flt = d->align == KT::aFloat;
    c.data = d->data;
    rawCells_.push_back(c);
    return true;
  };
  bool ok = true;
  if (withTest) {
    const Stmt& t = testText_.stmts[0];
    ok = cell(t.terms[0], false) && cell(t.terms[1], false);
  }
  for (size_t k = 0; ok && k < bodyText_.stmts.size(); ++k) {
    const Stmt& s = bodyText_.stmts[k];
    ok = cell(s.terms[0], true) && cell(s.terms[1], false);
  }
  if (!ok) rawWait_ = 64;
  return ok;
}

namespace {
inline void LoadCell(const void* data, bool flt, KQuick::Num& out) {
  out.flt = flt;
  if (flt) {
    out.f = *static_cast<const double*>(data);
  } else {
    out.i = *static_cast<const int32_t*>(data);
  }
}
}  // namespace

int KQuickLoop::RawPasses(KPParser* ps, PollFn poll, size_t& k) {
  if (!RawCells(true)) return -1;
  const Cell* cells = rawCells_.data();
  const size_t n = bodyText_.stmts.size();
  const uint8_t testOp = testText_.stmts[0].op;
  const uint64_t epoch = KSeq::fScopeEpoch;
  for (;;) {
    poll(ps);
    // Nothing a raw pass does changes a namespace or a switch; the host's
    // breath should not either, but a pass that finds one changed goes on
    // the usual way.
    if (KSeq::fScopeEpoch != epoch || ps->Tracing() || ps->Parsing()) return 2;
    KQuick::Num x, y;
    bool bit = false;
    if (cells[0].lit) x = cells[0].value; else LoadCell(cells[0].data, cells[0].flt, x);
    if (cells[1].lit) y = cells[1].value; else LoadCell(cells[1].data, cells[1].flt, y);
    if (!KQuick::Apply(testOp, x, y, bit)) return 2;
    if (!bit) return 0;
    for (k = 0; k < n; ++k) {
      const Cell& a = cells[2 + 2 * k];
      const Cell& b = cells[3 + 2 * k];
      LoadCell(a.data, a.flt, x);
      if (b.lit) y = b.value; else LoadCell(b.data, b.flt, y);
      if (!KQuick::Apply(bodyText_.stmts[k].op, x, y, bit) || x.flt != a.flt) return 3;
      if (a.flt) {
        *static_cast<double*>(a.data) = x.f;
      } else {
        *static_cast<int32_t*>(a.data) = x.i;
      }
    }
  }
}

KT::KBR KQuickLoop::Rest(KPParser* ps, KA& out, size_t k) {
  if (!out.Is(KT::tNV)) out.Clear();
  // Nothing has switched a line on since the raw pass looked: the direct
  // form the statements were compiled from takes the rest.
  return body_->RunDirect(ps, bodyText_.q, out, false, k);
}

int KQuickLoop::RawApplyPasses(KPParser* ps, PollFn poll) {
  const Stmt& t = testText_.stmts[0];
  const Stmt& b = bodyText_.stmts[0];
  const Stmt& in = b.inner->stmts[0];
  KAssoc* named = b.terms[0].a;
  KAssoc* l = b.lArg;
  KNS* own = b.inner->block->NSGet();
  // What the compiled pass checks, once: the callee, "l__" alone and held
  // by the namespace alone, both values private numbers of one kind.
  if (!SameCallee(b.callee.a, b.calleeValue, b.calleeMemo.get()) || own->Count() != 1 || own->Slots()[0] != l ||
      l->descriptor->refs != 1)
    return -1;
  KB* cur = named->ValPtr();  // the name's value
  KB* prev = l->ValPtr();     // "l__"'s value, which takes the next result
  if (cur == prev || !PrivateNumber(cur) || !PrivateNumber(prev) || cur->descriptor->align != prev->descriptor->align)
    return -1;
  const bool flt = cur->descriptor->align == KT::aFloat;
  // The test's operands: the name's value, or cells that stay put.
  Cell tc[2];
  for (int j = 0; j < 2; ++j) {
    const Place& p = t.terms[static_cast<size_t>(j)];
    if (!p.a) {
      tc[j].value = p.lit;
    } else if (p.a != named) {
      KB* v = p.a->ValPtr();
      const KB::KBD* d = v->descriptor;
      if (d->type != KT::tNum || d->count != 1 || !d->data || v->mark || v->exact || v->direction ||
          (d->align != KT::aInt && d->align != KT::aFloat) || v == cur || v == prev)
        return -1;
      tc[j].lit = false;
      tc[j].flt = d->align == KT::aFloat;
      tc[j].data = d->data;
    }
  }
  const int tLevel0 = t.terms[0].level, tLevel1 = t.terms[1].level;
  const int targetLevel = b.targetLevel, lLevel = in.terms[0].level;
  const KQuick::Num lit = in.terms[1].lit;
  const uint8_t testOp = t.op, op = in.op;
  const uint64_t epoch = KSeq::fScopeEpoch;
  for (;;) {
    poll(ps);
    if (KSeq::fScopeEpoch != epoch || ps->Tracing() || ps->Parsing() || named->ValPtr() != cur || l->ValPtr() != prev)
      return 2;
    // The test reads the name's value as a lookup does: stamped.
    KQuick::Num x, y, v;
    bool bit = false;
    LoadCell(cur->descriptor->data, flt, v);
    if (t.terms[0].a == named) {
      x = v;
      cur->level = tLevel0;
    } else if (tc[0].lit) {
      x = tc[0].value;
    } else {
      LoadCell(tc[0].data, tc[0].flt, x);
    }
    if (t.terms[1].a == named) {
      y = v;
      cur->level = tLevel1;
    } else if (tc[1].lit) {
      y = tc[1].value;
    } else {
      LoadCell(tc[1].data, tc[1].flt, y);
    }
    if (!KQuick::Apply(testOp, x, y, bit)) return 2;  // the usual test stamps again
    if (!bit) return 0;
    // The operator's statement on the value bound as "l__".
    KQuick::Num r = v;
    // A result of another kind, or a nil meeting a Float: the body runs
    // the usual way (the test ran and stamped as the usual test does).
    if (!KQuick::Apply(op, r, lit, bit) || r.flt != flt) return 3;
    // The pass as the compiled one leaves it: the name's value bound as
    // "l__" (stamped by the lookups, last by the assignment), the result in
    // the value "l__" let go of, as a new value.
    l->ValSwap(named);
    prev->ID = ++KB::fLastID;
    if (flt) {
      *static_cast<double*>(prev->descriptor->data) = r.f;
    } else {
      *static_cast<int32_t*>(prev->descriptor->data) = r.i;
    }
    prev->level = lLevel;  // the level of "l__", the statement's first name
    prev->descriptor->SID = prev->ID;
    cur->level = targetLevel;
    KB* next = prev;
    prev = cur;
    cur = next;
  }
}

int KQuickLoop::ForPasses(KPParser* ps, PollFn poll, KAssoc* var, KB* src, int& i, int last, size_t& k) {
  if (!Fresh(ps) || !RawCells(false)) return -1;
  const KB::KBD* sd = src->descriptor;
  KB* cur = var->ValPtr();
  if (sd->type != KT::tNum || sd->rec || !sd->data || sd->count < last || !PrivateNumber(cur) ||
      cur->descriptor->align != sd->align)
    return -1;
  const bool flt = sd->align == KT::aFloat;
  void* into = cur->descriptor->data;
  const Cell* cells = rawCells_.data();
  const size_t n = bodyText_.stmts.size();
  const uint64_t epoch = KSeq::fScopeEpoch;
  for (; i <= last; ++i) {
    poll(ps);
    if (KSeq::fScopeEpoch != epoch || ps->Tracing() || ps->Parsing()) return 2;
    // The element in place, as BindInPlace leaves it (level 0, SID the ID,
    // both as the last pass left them).
    if (flt) {
      *static_cast<double*>(into) = static_cast<const double*>(sd->data)[i - 1];
    } else {
      *static_cast<int32_t*>(into) = static_cast<const int32_t*>(sd->data)[i - 1];
    }
    KQuick::Num x, y;
    bool bit = false;
    for (k = 0; k < n; ++k) {
      const Cell& a = cells[2 * k];
      const Cell& b = cells[2 * k + 1];
      LoadCell(a.data, a.flt, x);
      if (b.lit) y = b.value; else LoadCell(b.data, b.flt, y);
      if (!KQuick::Apply(bodyText_.stmts[k].op, x, y, bit) || x.flt != a.flt) return 3;
      if (a.flt) {
        *static_cast<double*>(a.data) = x.f;
      } else {
        *static_cast<int32_t*>(a.data) = x.i;
      }
    }
  }
  return 0;
}

KT::KBR KQuickLoop::Body(KPParser* ps, KA& out, bool want) {
  // A value left from the last pass goes first (a namespace would be taken
  // for an argument by the usual run).
  if (!out.Is(KT::tNV)) out.Clear();
  bodyDone_ = false;
  size_t k = 0;
  const bool fresh = checked_ || Fresh(ps);
  checked_ = false;
  if (fresh) {
    const size_t n = bodyText_.stmts.size();
    const bool tail = bodyText_.q->tail_;
    for (; k < n; ++k) {
      const Stmt& s = bodyText_.stmts[k];
      KA* value = want && !tail && k + 1 == n ? &out : nullptr;  // the text's value
      bool done = false;
      switch (s.kind) {
        case kArith: done = RunArith(s, value); break;
        case kCall: done = RunCall(s, value); break;
        case kApply:
          done = RunApply(s);
          if (done && value) *value = s.target->ValPtr();
          break;
        case kOther: break;
      }
      if (!done) break;
    }
    if (k == n && !tail) {
      bodyDone_ = true;
      body_->CTSet(KT::ctNone);
      body_->TTSet(KT::ttUnknown);
      ps->curTT = KT::ttSeqValue;
      return KT::KBR();
    }
  }
  // The rest as a pass that is not compiled runs it: from statement k of
  // the direct form compiled from (nothing run compiled switches a line
  // on), or the whole text the usual way when nothing ran.
  if (k > 0) return body_->RunDirect(ps, bodyText_.q, out, want, k);
  KQuick* q = body_->Quick(ps);
  if (!q) return body_->Run(ps, out, !want);
  return body_->RunDirect(ps, q, out, want, 0);
}
