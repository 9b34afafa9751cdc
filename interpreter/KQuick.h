// KQuick: the direct form of the texts loops spend their time in. The
// statements a text starts with, when they are like `i + 1 => i`,
// `i < 100`, `s + x => s`, `i inc => i` or a lone program name, separated
// by ";", are compiled once into statements over resolved operators, built
// literals and cached name places, and run without the token loop; the
// token loop runs the rest of the text, if any, from the first statement
// of another kind.
//
// Contract: a quick run ends exactly as the token loop would (the same
// values stored under the same names with the same SID and level, the same
// value in hand, the same flow record) or hands over before a statement has
// done anything: `Run` then names the text offset where the token loop must
// start (the beginning of that statement, as if a ";" had just been read).
// It only runs with the parse and trace switches off, so no trace line is
// ever missing; when a called program or operator switches one on, the
// lines the token loop prints after the call are printed and the token
// loop takes the rest of the text. Numbers follow the element rules of the
// arithmetic family: a nil on either side gives nil, Int sums wrap in 32
// bits, an Int meeting a Float is promoted.
//
// A text may run with its block's namespace as a virtual top of the chain
// (`top`), so a loop does not push and pop it on every pass; the chain is
// only extended for real around a call into other code. Name places are
// cached per name and kept while no namespace changed (KSeq::fScopeEpoch)
// and the namespaces from the found one inwards are the same objects.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "KArg.h"
#include "KNS.h"
#include "Ktypes.h"

class KPParser;
class KNS;
class KAssoc;
class KSeq;

class KQuick {
 public:
  // A number: Int or Float, a nil as its sentinel.
  struct Num {
    bool flt = false;
    int32_t i = 0;
    double f = 0;
  };
  // The quick form of a text, or null when some token is outside it (or
  // the text does not scan).
  static std::shared_ptr<KQuick> Compile(const char* text, size_t n);

  // Runs the text in `ps` (whose chain already ends with the run's own
  // namespace). True when every statement ran: `result` holds the text's
  // value, `flow` the flow record and `last` the kind the token loop would
  // have ended with. False when statement k cannot run
  // directly: statements before it ran, `resume`/`line` are the text
  // offsets of the scan position and line start at its beginning.
  // When the hand-over comes after an operator ran (before its "=>"),
  // `carry` receives the value in hand (one reference, the caller's) and
  // the loop resumes with it.
  // Without `wantValue` the text's value is not made (`result` stays empty).
  // `from`: the statements before it have run already (compiled, KQuickLoop).
  bool Run(KPParser* ps, KA& result, bool wantValue, KT::KBR& flow, size_t& resume, size_t& line, KT::KTT& last,
           KB*& carry, KNS* top = nullptr, size_t from = 0);

  // The truth of a one-statement text without assignment (a loop test):
  // 1 or 0; -1 when the text has to run as usual; 2 when the test is a lone
  // name: `value` receives its value, whose truth is the caller's rule.
  int Truth(KPParser* ps, KB*& value, KNS* top = nullptr);

  // The value as a number operand: a one-element Int or Float without
  // flags, stamped as a lookup stamps it (bound, found at `level`); false,
  // unstamped, for any other value.
  static bool ReadNumber(KB* v, int level, Num& out);

  // Whether blocks use direct runs at all (tests compare both ways).
  static inline bool enabled = true;

  // For tests: the number of statements that run directly, and whether the
  // token loop takes the rest of the text.
  size_t Statements() const { return stmts_.size(); }
  bool HasTail() const { return tail_; }
  // Whether every statement runs directly and none can call other code (a
  // lone name may name a program): such a text cannot see or change
  // anything but the names it reads and assigns.
  bool Pure() const;

 private:
  friend class KQuickLoop;
  // Element operations of the form: the arithmetic three and the six
  // comparisons (a comparison gives a one-bit value). FormOf in KQuick.cpp
  // lists the operator functions in this order.
  enum Op : uint8_t { opPlus, opMinus, opTimes, opLT, opLE, opGT, opGE, opEQ, opNE };

  // The chain a text runs in: the chain's namespaces, then `top` when set.
  struct Scope {
    KSeq* chain;
    KNS* top;
    int chainN, n;
    Scope(KSeq* c, KNS* t);
    // (The chain's slots are read each time: a call may have moved them.)
    KB* At(int i) const { return i < chainN ? chain->Slots()[i] : static_cast<KB*>(top); }
  };

  // A name with the place it was last found. The place holds while no
  // namespace changed since (`epoch`) and the namespaces from the found one
  // inwards are still `inner` (at most kInner of them, else no cache).
  static constexpr int kInner = 4;
  struct Sym {
    std::string name;
    KA key;  // the name as a string, for the full search
    uint64_t epoch = ~uint64_t(0);
    KAssoc* assoc = nullptr;
    int n = -1, idx = -1, level = 0, innerN = 0;
    KB* inner[kInner] = {};
  };
  struct Term {
    Sym* sym = nullptr;  // the name (in syms_), or null for the literal
    Num lit;             // a literal that makes a one-element number
  };
  struct Step {
    Op op;
    Term term;
  };
  struct Stmt {
    size_t resume = 0, line = 0;  // scan position and line start before it
    Term first;
    std::vector<Step> steps;
    // A user-defined operator after the first term (a name whose value must
    // be an operator when it runs), with its right operand when there is one.
    Sym* ud = nullptr;
    bool udRight = false;
    Term right;
    Sym* target = nullptr;                    // the name after "=>", or null
    size_t assignResume = 0, assignLine = 0;  // scan position before "=>"
  };
  // The computed value of a statement before it is made a value.
  struct Acc {
    KB* named = nullptr;  // a lone name's value (no steps)
    Num num;
    bool isBit = false, bit = false;  // a comparison gave `bit`
    int level = 0;  // the level a computed number carries (the first name's)
  };

  // Where a name is in the scope now: its association and level, or null.
  KAssoc* Locate(const Scope& sc, Sym& s, int& level);
  // Whether every name of the text has its place in `sc` (found now, or
  // kept from the last run in the same scope while no namespace changed):
  // Locate then answers from the places alone. Checked when a run starts
  // and after every call into other code.
  bool Planned(const Scope& sc);
  // The value of a name as a number operand, stamped as a lookup stamps
  // it; false when it is not a one-element Int or Float without flags.
  bool NumOperand(const Scope& sc, Sym& sym, int& level, Num& out);
  // The value of a term as a user operator's operand: a named plain value
  // (stamped) or a new number; null when the term needs the token loop.
  // The caller owns one reference to the result.
  KB* Operand(const Scope& sc, const Term& t);
  static bool Apply(uint8_t op, Num& x, const Num& y, bool& bit);
  // Evaluates a statement's expression; false when it needs the token loop.
  bool Eval(const Scope& sc, const Stmt& st, Acc& acc);
  // A statement that is a lone name of a program or block: runs it.
  // 0 not such a statement, 1 ran, -1 it must go to the token loop.
  // `out` receives the program's value (one reference, or null).
  int Call(KPParser* ps, const Scope& sc, const Stmt& st, KB*& out, KT::KBR& flow);
  // A statement applying a user-defined operator: 0 it ran (`out` holds the
  // value, one reference), -1 it must go to the token loop before anything
  // ran.
  int ApplyUD(KPParser* ps, const Scope& sc, const Stmt& st, KB*& out);
  // The target entry of a statement when it takes a value directly: in the
  // run's own namespace or the one around it, spelt as written, holding no
  // reference or code. Stamps the value it holds.
  KAssoc* Target(const Scope& sc, const Stmt& st);
  // Stores the accumulator in the target entry; returns the stored value.
  static KB* Store(KAssoc* a, const Acc& acc);
  // Stores a value as the token loop stores a computed value under a name.
  static void StoreValue(KAssoc* a, KB* v);
  // A new value of the accumulator (one reference).
  static KB* Make(const Acc& acc);

  // The scope the places were all found in: the epoch, the chain and its
  // namespaces, the top. `planned_`: they hold for the current run.
  bool planned_ = false;
  uint64_t planEpoch_ = ~uint64_t(0);
  KSeq* planChain_ = nullptr;
  KNS* planTop_ = nullptr;
  std::vector<KB*> planSlots_;

  bool tail_ = false;  // the token loop runs the text from tailResume_ on
  size_t tailResume_ = 0, tailLine_ = 0;
  std::deque<Sym> syms_;  // handles do not move: a deque keeps them in place
  std::vector<Stmt> stmts_;
};

// One element operation on two one-element numbers, as the element loops
// do it: false when the pair needs the token loop (an Int nil meeting a
// Float, which the conversion rules decide).
[[gnu::always_inline]] inline bool KQuick::Apply(uint8_t op, Num& x, const Num& y, bool& bit) {
  if (!x.flt && !y.flt) {
    const int32_t a = x.i, b = y.i;
    // Two's-complement wrap-around without undefined behaviour.
    const uint32_t ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
    const bool anyNil = a == KT::iNil || b == KT::iNil;
    switch (op) {
      case 0: x.i = anyNil ? KT::iNil : static_cast<int32_t>(ua + ub); return true;
      case 1: x.i = anyNil ? KT::iNil : static_cast<int32_t>(ua - ub); return true;
      case 2: x.i = anyNil ? KT::iNil : static_cast<int32_t>(ua * ub); return true;
      // Comparisons of two one-element numbers compare the elements as
      // they are (a nil as its sentinel).
      case 3: bit = a < b; return true;
      case 4: bit = a <= b; return true;
      case 5: bit = a > b; return true;
      case 6: bit = a >= b; return true;
      case 7: bit = a == b; return true;
      default: bit = a != b; return true;
    }
  }
  if ((!x.flt && x.i == KT::iNil) || (!y.flt && y.i == KT::iNil)) return false;
  const double a = x.flt ? x.f : static_cast<double>(x.i);
  const double b = y.flt ? y.f : static_cast<double>(y.i);
  const bool anyNil = a == KT::fNil || b == KT::fNil;
  x.flt = true;
  switch (op) {
    case 0: x.f = anyNil ? KT::fNil : a + b; return true;
    case 1: x.f = anyNil ? KT::fNil : a - b; return true;
    case 2: x.f = anyNil ? KT::fNil : a * b; return true;
    case 3: bit = a < b; return true;
    case 4: bit = a <= b; return true;
    case 5: bit = a > b; return true;
    case 6: bit = a >= b; return true;
    case 7: bit = a == b; return true;
    default: bit = a != b; return true;
  }
}

inline bool KQuick::ReadNumber(KB* v, int level, Num& out) {
  KB::KBD* d = v->descriptor;
  if (d->type != KT::tNum || d->count != 1 || !d->data || v->mark || v->exact || v->direction) return false;
  if (d->align == KT::aInt) {
    out.flt = false;
    out.i = *static_cast<const int32_t*>(d->data);
  } else if (d->align == KT::aFloat) {
    out.flt = true;
    out.f = *static_cast<const double*>(d->data);
  } else {
    return false;
  }
  d->SID = v->ID;
  v->level = level;
  return true;
}
