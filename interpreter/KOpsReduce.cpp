// KOpsReduce: reductions ("\+" sums a value to one result), running forms
// (monadic "/+" is the running sum, same length as its argument) and
// moving windows (dyadic "/+" with a window n sums the last n elements at
// each position). Numbers use the reduction and scan loops of KOpsLoops.h
// or the window methods of KNum; bit vectors use the KBit methods.
//
// Every form works on the value its handle holds and leaves its result
// there; loops write in place only when the handle is the data's only
// holder, so values bound to names never change.
#include <cstdint>

#include "KBit.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsLoops.h"
#include "KSeq.h"
#include "KString.h"
#include "KSum.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {

constexpr int32_t kINil = KT::iNil;
constexpr double kFNil = KT::fNil;

bool IsNumT(KA& a) { return a.Is(KT::tNum); }
KNum* NumOf(KA& a) { return a.As<KNum>(); }

// The numeric operand of the reductions and running forms: a number or a
// bit vector (whose bits become integers), else error 15 with `msg`.
void NeedNumeric(KA& a, const char* msg) {
  if (!a.Is(KT::tNum) && !a.Is(KT::tBit)) KTHROW(KT::eValue, msg);
  KA::ConformNum(a);
  if (a.Align() != KT::aInt && a.Align() != KT::aFloat) KTHROW(KT::eValue, msg);
}

void NeedBit(KA& a) {
  if (!a.Is(KT::tBit)) KTHROW(KT::eNotSupp, "Type");
}

void OwnsIfAny(KA& a, KB* v) {
  if (v) a.Owns(v);
}

// Element i as a double, nil reported separately.
inline bool ElemF(KNum* n, int i, double& x) {
  if (n->IsInt()) {
    const int32_t v = n->IntPtr()[i];
    x = static_cast<double>(v);
    return v != kINil;
  }
  x = n->FltPtr()[i];
  return x != kFNil;
}

}  // namespace

// ==================================================================== reductions

KA& KOps::op5C2B(KA& a) {  // sum
  switch (a.Type()) {
    case KT::tBit:
      a.Owns(KMakeInt(a.As<KBit>()->Sum()));
      return a;
    case KT::tNum:
      a.Owns(NumOf(a)->RedPlus());
      return a;
    case KT::tSeq:
      if (a.Cnt() == 0) {
        a.Owns(KMakeInt(0));
        return a;
      }
      // Flattened and, when all its elements are of one kind, made one
      // value: a sequence of numbers sums like one number.
      KA::Ravel(a);
      if (a.value->typen() == KT::tSeq && a.Cnt() > 0 && a.IsHomogeneous()) KA::Homogenize(a, true);
      if (!a.Is(KT::tSeq)) return op5C2B(a);
      KTHROW(KT::eNotSupp, "Type");
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

KA& KOps::op5C2A(KA& a) {  // product
  if (!IsNumT(a)) KTHROW(KT::eNotSupp, "Type");
  a.Owns(NumOf(a)->RedTimes());
  return a;
}

KA& KOps::op5C2D(KA& a) {  // alternating from the first: x0 - x1 - x2 ...
  if (!IsNumT(a)) KTHROW(KT::eNotSupp, "Type");
  a.Owns(NumOf(a)->RedMinus());
  return a;
}

// Average of the non-nil elements: the plus reduction divided by their
// number (always Float; no element gives the Float nil).
KA& KOps::op5C2B25(KA& a) {
  NeedNumeric(a, "Numeric only");
  KA n(a.CountNotNil());
  if (a.Align() == KT::aInt && a.Cnt() >= 2)
    a.Owns(new KNum(KSum::ReducePlusInt(static_cast<const int32_t*>(a.value->descriptor->data), a.Cnt())));
  else
    KLoop::ReduceNum(a, KLoop::tplPlus());
  return op2F(a, n);
}

KA& KOps::op5C3C3C(KA& a) {  // smallest
  if (!IsNumT(a)) KTHROW(KT::eNotImpl, "");
  NeedNumeric(a, "Numeric only");
  KLoop::ReduceNum(a, KLoop::tplSmaller());
  return a;
}

KA& KOps::op5C3E3E(KA& a) {  // largest
  if (!IsNumT(a)) KTHROW(KT::eNotImpl, "");
  NeedNumeric(a, "Numeric only");
  KLoop::ReduceNum(a, KLoop::tplLarger());
  return a;
}

KA& KOps::op5C3D(KA&) { KTHROW(KT::eNotImpl, "\\= Monadic"); }

KA& KOps::op5C2C(KA& a) { return op3C(a); }  // catenate reduce: disclose

KA& KOps::op5C26(KA& a) {  // all bits set; words of a string
  if (a.Is(KT::tBit)) {
    a.Owns(new KBit(a.As<KBit>()->All()));
    return a;
  }
  if (a.Is(KT::tString)) {
    a.Owns(a.As<KString>()->AllWords());
    return a;
  }
  KTHROW(KT::eNotSupp, "Type");
}

KA& KOps::op5C7C(KA& a) {  // any bit set; words of a string
  if (a.Is(KT::tBit)) {
    a.Owns(new KBit(a.As<KBit>()->Any()));
    return a;
  }
  if (a.Is(KT::tString)) {
    a.Owns(a.As<KString>()->AllWords());
    return a;
  }
  KTHROW(KT::eNotSupp, "Type");
}

// ==================================================================== running forms
// Scan loop: a nil position repeats the running value, leading nils stay.

KA& KOps::op2F2B(KA& a) {
  NeedNumeric(a, "Numeric only");
  const int n = a.Cnt();
  if (a.Align() == KT::aInt && n >= 2) {  // the scan loop's result, in vector blocks
    const int32_t* in = static_cast<const int32_t*>(a.value->descriptor->data);
    int32_t* out = KLoop::OutFor<int32_t>(a, n);
    KSum::ScanPlusInt(out, in, n);
    KLoop::Adopt(a, out, n);
    return a;
  }
  KLoop::ScanNum(a, KLoop::tplPlus());
  return a;
}

KA& KOps::op2F2D(KA& a) {
  NeedNumeric(a, "Numeric only");
  KLoop::ScanNum(a, KLoop::tplMinus());
  return a;
}

KA& KOps::op2F3C3C(KA& a) {
  NeedNumeric(a, "Numeric Only");
  KLoop::ScanNum(a, KLoop::tplSmaller());
  return a;
}

KA& KOps::op2F3E3E(KA& a) {
  NeedNumeric(a, "Numeric only");
  KLoop::ScanNum(a, KLoop::tplLarger());
  return a;
}

KA& KOps::op2F2A(KA& a) {  // running product; span of a bit vector
  if (a.Is(KT::tBit)) {
    a.Owns(a.As<KBit>()->Span());
    return a;
  }
  if (!IsNumT(a)) KTHROW(KT::eNotSupp, "Type");
  NeedNumeric(a, "Numeric only");
  KLoop::ScanNum(a, KLoop::tplTimes());
  return a;
}

// Running average: position i holds the mean of the non-nil elements up
// to i (a nil repeats the previous mean; 0.0 before the first non-nil).
KA& KOps::op2F2B25(KA& a) {
  NeedNumeric(a, "Numeric only");
  const int n = a.Cnt();
  if (n < 2) return a;
  KNum* src = NumOf(a);
  double* d = static_cast<double*>(KB::AllocData(KB::StorageBytes(KT::aFloat, n), false));
  double s = 0;
  int c = 0;
  for (int i = 0; i < n; ++i) {
    double x;
    if (ElemF(src, i, x)) {
      s += x;
      ++c;
    }
    d[i] = c ? s / c : 0.0;
  }
  a.Owns(new KNum(d, KT::aFloat, n, n));
  return a;
}

// Total ratio: each non-nil element over the sum of the non-nil elements;
// a zero sum gives nils throughout.
KA& KOps::op2F2B2525(KA& a) {
  if (!IsNumT(a)) return a;
  KNum* sum = NumOf(a)->RedPlus();
  const double s = sum->FltPtr()[0];
  KB::DoneWith(sum);
  if (a.Align() == KT::aInt) {
    KNum* f = new KNum(a.value);
    a.Owns(f);
    f->CoerceTo(KT::aFloat);
  }
  if (s == 0) {
    const int n = a.Cnt();
    double* d = static_cast<double*>(KB::AllocData(KB::StorageBytes(KT::aFloat, n), false));
    for (int i = 0; i < n; ++i) d[i] = kFNil;
    a.Owns(new KNum(d, KT::aFloat, n, n));
    return a;
  }
  KLoop::MonadicFlt(a, [s](double x) { return x / s; });
  return a;
}

KA& KOps::op2F26(KA& a) {  // running all
  NeedBit(a);
  a.Owns(a.As<KBit>()->MovAll());
  return a;
}

KA& KOps::op2F7C(KA& a) {  // running any
  NeedBit(a);
  a.Owns(a.As<KBit>()->MovAny());
  return a;
}

KA& KOps::op2F2A7E(KA& a) {  // rising edges
  NeedBit(a);
  a.Owns(a.As<KBit>()->Fire());
  return a;
}

KA& KOps::op2F2D3E(KA& a) {  // on up to the last set bit
  NeedBit(a);
  a.Owns(a.As<KBit>()->LastOff());
  return a;
}

KA& KOps::op2F3C2D(KA& a) {  // on from the first set bit
  NeedBit(a);
  a.Owns(a.As<KBit>()->FirstOn());
  return a;
}

KA& KOps::op2F3C3E(KA& a) {  // fill nils
  if (!IsNumT(a)) KTHROW(KT::eNotSupp, "Type");
  OwnsIfAny(a, NumOf(a)->Fill());
  return a;
}

// ==================================================================== moving windows
// The left is the data, the right the window (its first element; KNum
// treats a window below 1 as 1). Results have the left's length.

KA& KOps::op2F2B(KA& l, KA& r) {
  if (!IsNumT(l)) KTHROW(KT::eNotSupp, "Type");
  l.Owns(NumOf(l)->MovSum(r.value));
  return l;
}

KA& KOps::op2F2D(KA& l, KA& r) {
  if (!IsNumT(l)) KTHROW(KT::eNotSupp, "Type");
  l.Owns(NumOf(l)->MovDiff(r.value));
  return l;
}

KA& KOps::op2F2A(KA& l, KA& r) {  // moving product; monostable pulses of bits
  if (l.Is(KT::tBit)) {
    l.Owns(l.As<KBit>()->Monostable(r.value));
    return l;
  }
  if (!IsNumT(l)) KTHROW(KT::eNotSupp, "Type");
  l.Owns(NumOf(l)->MovProd(r.value));
  return l;
}

KA& KOps::op2F3C3C(KA& l, KA& r) {
  if (!IsNumT(l)) KTHROW(KT::eNotSupp, "Type");
  l.Owns(NumOf(l)->MovSmallest(r.value));
  return l;
}

KA& KOps::op2F3E3E(KA& l, KA& r) {
  if (!IsNumT(l)) KTHROW(KT::eNotSupp, "Type");
  l.Owns(NumOf(l)->MovLargest(r.value));
  return l;
}

// Moving average; a window that is not a number or is 0, and a left that
// is not a number, leave the left unchanged.
KA& KOps::op2F2B25(KA& l, KA& r) {
  if (!IsNumT(r) || r.Cnt() == 0 || !IsNumT(l)) return l;
  KNum* w = NumOf(r);
  if (w->IsInt() ? w->IntPtr()[0] == 0 : w->FltPtr()[0] == 0) return l;
  l.Owns(NumOf(l)->MovAvg(r.value));
  return l;
}

KA& KOps::op2F26(KA& l, KA& r) {
  NeedBit(l);
  l.Owns(l.As<KBit>()->MovAll(r.value));
  return l;
}

KA& KOps::op2F7C(KA& l, KA& r) {
  NeedBit(l);
  l.Owns(l.As<KBit>()->MovAny(r.value));
  return l;
}

KA& KOps::op2F2A7E(KA& l, KA& r) {
  NeedBit(l);
  l.Owns(l.As<KBit>()->Fire(r.value));
  return l;
}

KA& KOps::op2F3C3E(KA& l, KA& r) {  // fill by a pattern of counts or bits
  if (!IsNumT(l) || (!r.Is(KT::tBit) && !r.Is(KT::tNum))) KTHROW(KT::eNotSupp, "Type");
  OwnsIfAny(l, NumOf(l)->Fill(r.value));
  return l;
}
