// KOpsLoops: the element loops the numeric operators are built from, written
// once as templates over Int (int32_t) and Float (double) elements, and the
// element functions they apply.
//
// Nil rules (an element equal to its type's nil is missing):
//  - dyadic:     out[i] = nil when a[i] or b[i] is nil, else f(a[i], b[i]).
//  - comparison: bit i = 0 when b has no element i or exactly one of the
//                two is nil, else p(a[i], b[i]) (two nils are compared).
//  - monadic:    out[i] = a[i] when it is nil, else f(a[i]).
//  - reduction:  acc = a[0]; for each later e: acc nil -> e; e nil -> acc
//                unchanged; else f(acc, e).
//  - scan:       as the reduction, and each position receives acc (a nil
//                position repeats the running value; leading nils stay).
//
// Loop contract: nils are chosen by select, never by branching, so the
// loops vectorise; an element function is therefore evaluated for nil
// inputs too and must be defined for every input (integer functions wrap
// through unsigned arithmetic; no division by an integer zero). `out` may
// be the left input (in place) but must not overlap the right input.
//
// The KA-level drivers below take conformed operands (same length, same
// alignment I or F) and write in place when the left handle is the only
// holder of its data, otherwise into a new array that replaces the value.
#pragma once
#include <cmath>
#include <cstdint>

#include "KArg.h"
#include "KBit.h"
#include "KNum.h"
#include "Kerror.h"
#include "Ktypes.h"

// The element loops are built for AVX-512, AVX2 and the baseline (the
// loader picks one for the machine); sanitizer builds and clang (which
// cannot clone templates) use the baseline.
// Each unit keeps its own copies (internal linkage): a program that
// instantiates the same loops as the library (the unit tests) would
// otherwise lend the library its resolver, which a library bound at load
// time cannot take.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__clang__)
#define KLOOP_CLONES __attribute__((target_clones("avx512f", "avx2", "default"))) static
#else
#define KLOOP_CLONES static
#endif

namespace KLoop {

inline constexpr const char* kUnit = "Interpreter/KOps";

template <class T> struct NilOf;
template <> struct NilOf<int32_t> { static constexpr int32_t v = KT::iNil; };
template <> struct NilOf<double> { static constexpr double v = KT::fNil; };

// 32-bit two's-complement arithmetic without undefined behaviour.
inline int32_t WAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t WSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t WMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t WNeg(int32_t a) { return static_cast<int32_t>(0u - static_cast<uint32_t>(a)); }

// ---------------------------------------------------------------- element functions
struct tplPlus {
  int32_t operator()(int32_t a, int32_t b) const { return WAdd(a, b); }
  double operator()(double a, double b) const { return a + b; }
};
struct tplMinus {
  int32_t operator()(int32_t a, int32_t b) const { return WSub(a, b); }
  double operator()(double a, double b) const { return a - b; }
};
struct tplTimes {
  int32_t operator()(int32_t a, int32_t b) const { return WMul(a, b); }
  double operator()(double a, double b) const { return a * b; }
};
struct tplPower {
  double operator()(double a, double b) const { return std::pow(a, b); }
};
struct tplLarger {
  template <class T> T operator()(T a, T b) const { return a < b ? b : a; }
};
struct tplSmaller {
  template <class T> T operator()(T a, T b) const { return b < a ? b : a; }
};
struct tplNegate {
  int32_t operator()(int32_t a) const { return WNeg(a); }
  double operator()(double a) const { return -a; }
};
struct tplReciprocal {  // 0 has no reciprocal: the Float nil
  double operator()(double a) const { return a == 0 ? KT::fNil : 1.0 / a; }
};
struct tplLT { template <class T> bool operator()(T a, T b) const { return a < b; } };
struct tplLE { template <class T> bool operator()(T a, T b) const { return a <= b; } };
struct tplEQ { template <class T> bool operator()(T a, T b) const { return a == b; } };
struct tplNE { template <class T> bool operator()(T a, T b) const { return a != b; } };
struct tplGE { template <class T> bool operator()(T a, T b) const { return a >= b; } };
struct tplGT { template <class T> bool operator()(T a, T b) const { return a > b; } };

// ---------------------------------------------------------------- raw loops
template <class T, class F>
KLOOP_CLONES void DyadicInPlace(T* __restrict a, const T* __restrict b, int n, F f) {
  constexpr T nil = NilOf<T>::v;
  for (int i = 0; i < n; ++i) {
    const T x = a[i], y = b[i];
    const T r = f(x, y);
    a[i] = ((x == nil) | (y == nil)) ? nil : r;
  }
}

template <class T, class F>
KLOOP_CLONES void DyadicInto(T* __restrict out, const T* a, const T* b, int n, F f) {
  constexpr T nil = NilOf<T>::v;
  for (int i = 0; i < n; ++i) {
    const T x = a[i], y = b[i];
    const T r = f(x, y);
    out[i] = ((x == nil) | (y == nil)) ? nil : r;
  }
}

// Packs bit i of the result at 0x80 >> (i % 8) of byte i / 8 (the bit
// vector layout); `bits` holds (na + 7) / 8 bytes. The predicate runs over
// blocks into a byte per element (a vectorisable loop), then is packed.
template <class T, class P>
inline void CompareBits(unsigned char* bits, const T* a, int na, const T* b, int nb, P p) {
  constexpr T nil = NilOf<T>::v;
  constexpr int kBlock = 256;  // a multiple of 8
  const int m = na < nb ? na : nb;
  const int bytes = (na + 7) / 8;
  for (int k = 0; k < bytes; ++k) bits[k] = 0;
  unsigned char flag[kBlock];
  for (int base = 0; base < m; base += kBlock) {
    const int len = m - base < kBlock ? m - base : kBlock;
    const T* x = a + base;
    const T* y = b + base;
    for (int i = 0; i < len; ++i)
      flag[i] = static_cast<unsigned char>(p(x[i], y[i]) & ((x[i] == nil) == (y[i] == nil)));
    for (int i = len; i < (len + 7) / 8 * 8; ++i) flag[i] = 0;
    unsigned char* out = bits + base / 8;
    for (int k = 0; k < (len + 7) / 8; ++k) {
      unsigned v = 0;
      for (int j = 0; j < 8; ++j) v |= static_cast<unsigned>(flag[8 * k + j]) << (7 - j);
      out[k] = static_cast<unsigned char>(v);
    }
  }
}

template <class T, class F>
inline void Monadic(T* out, const T* a, int n, F f) {
  constexpr T nil = NilOf<T>::v;
  for (int i = 0; i < n; ++i) {
    const T x = a[i];
    const T r = f(x);
    out[i] = (x == nil) ? x : r;
  }
}

// n >= 1.
template <class T, class F>
inline T Reduce(const T* a, int n, F f) {
  constexpr T nil = NilOf<T>::v;
  T acc = a[0];
  for (int i = 1; i < n; ++i) {
    const T e = a[i];
    const T r = f(acc, e);
    acc = (acc == nil) ? e : ((e == nil) ? acc : r);
  }
  return acc;
}

// n >= 1; out may be a.
template <class T, class F>
inline void Scan(T* out, const T* a, int n, F f) {
  constexpr T nil = NilOf<T>::v;
  T acc = a[0];
  out[0] = acc;
  for (int i = 1; i < n; ++i) {
    const T e = a[i];
    const T r = f(acc, e);
    acc = (e == nil) ? acc : ((acc == nil) ? e : r);
    out[i] = acc;
  }
}

// The same loops with one operand a single element used at every position
// (a one-element operand meeting a longer one). `out` may be `a` / `b`.
// Without the nil rule (`kNil` false) every element goes through f.
template <class T, class F, bool kNil = true>
KLOOP_CLONES void DyadicRightOne(T* out, const T* a, T y, int n, F f) {
  constexpr T nil = NilOf<T>::v;
  const bool ynil = kNil && y == nil;
  for (int i = 0; i < n; ++i) {
    const T x = a[i];
    const T r = f(x, y);
    out[i] = kNil && ((x == nil) | ynil) ? nil : r;
  }
}

template <class T, class F, bool kNil = true>
KLOOP_CLONES void DyadicLeftOne(T* out, T x, const T* b, int n, F f) {
  constexpr T nil = NilOf<T>::v;
  const bool xnil = kNil && x == nil;
  for (int i = 0; i < n; ++i) {
    const T y = b[i];
    const T r = f(x, y);
    out[i] = kNil && (xnil | (y == nil)) ? nil : r;
  }
}

// CompareBits with one side a single element: bit i compares v[i] with
// `one`, taken as the left operand when `oneLeft`; `bits` holds (n + 7) / 8
// bytes.
template <class T, class P>
inline void CompareBitsOne(unsigned char* bits, const T* v, int n, T one, bool oneLeft, P p) {
  constexpr T nil = NilOf<T>::v;
  constexpr int kBlock = 256;
  const bool onenil = one == nil;
  unsigned char flag[kBlock];
  for (int base = 0; base < n; base += kBlock) {
    const int len = n - base < kBlock ? n - base : kBlock;
    const T* x = v + base;
    if (oneLeft)
      for (int i = 0; i < len; ++i)
        flag[i] = static_cast<unsigned char>(p(one, x[i]) & (onenil == (x[i] == nil)));
    else
      for (int i = 0; i < len; ++i)
        flag[i] = static_cast<unsigned char>(p(x[i], one) & ((x[i] == nil) == onenil));
    for (int i = len; i < (len + 7) / 8 * 8; ++i) flag[i] = 0;
    unsigned char* out = bits + base / 8;
    for (int k = 0; k < (len + 7) / 8; ++k) {
      unsigned w = 0;
      for (int j = 0; j < 8; ++j) w |= static_cast<unsigned>(flag[8 * k + j]) << (7 - j);
      out[k] = static_cast<unsigned char>(w);
    }
  }
}

// ---------------------------------------------------------------- KA-level drivers
// True when the handle's value is the only holder of its element data, so
// it may be changed in place.
inline bool Private(KA& a) { return a.value->descriptor->refs == 1; }

// A numeric value's element pointer, checked for alignment I or F.
inline KT::KAL NumAlign(KA& a) {
  KT::KAL al = a.Align();
  if (al != KT::aInt && al != KT::aFloat) KTHROW(KT::eValue, "Alignment");
  return al;
}

// Output buffer for n elements of the handle's alignment: its own data when
// private, else a new buffer that Adopt installs as a new numeric value.
template <class T>
inline T* OutFor(KA& a, int n) {
  if (Private(a)) return static_cast<T*>(a.value->descriptor->data);
  return static_cast<T*>(KB::AllocData(KB::StorageBytes(sizeof(T) == 4 ? KT::aInt : KT::aFloat, n), false));
}
template <class T>
inline void Adopt(KA& a, T* out, int n) {
  if (out != a.value->descriptor->data)
    a.Owns(new KNum(out, sizeof(T) == 4 ? KT::aInt : KT::aFloat, n, n));
}

template <class T, class F>
inline void DyadicT(KA& left, KA& right, int n, F f) {
  T* a = static_cast<T*>(left.value->descriptor->data);
  const T* b = static_cast<const T*>(right.value->descriptor->data);
  if (n == 0) return;
  if (Private(left) && a != b) {
    DyadicInPlace(a, b, n, f);
  } else {
    T* out = static_cast<T*>(KB::AllocData(KB::StorageBytes(sizeof(T) == 4 ? KT::aInt : KT::aFloat, n), false));
    DyadicInto(out, a, b, n, f);
    left.Owns(new KNum(out, sizeof(T) == 4 ? KT::aInt : KT::aFloat, n, n));
  }
}

// Dyadic element loop over conformed numeric operands; the result is left
// in `left`. F must accept both int32_t and double.
template <class F>
inline void DyadicNum(KA& left, KA& right, F f) {
  const KT::KAL al = NumAlign(left);
  if (NumAlign(right) != al || left.Cnt() != right.Cnt())
    KTHROW(KT::eValue, "Arguments don't match");
  if (al == KT::aInt) DyadicT<int32_t>(left, right, left.Cnt(), f);
  else DyadicT<double>(left, right, left.Cnt(), f);
}

// Float-only element functions (power): both operands must be F.
template <class F>
inline void DyadicFlt(KA& left, KA& right, F f) {
  if (NumAlign(left) != KT::aFloat || NumAlign(right) != KT::aFloat || left.Cnt() != right.Cnt())
    KTHROW(KT::eValue, "Arguments don't match");
  DyadicT<double>(left, right, left.Cnt(), f);
}

// Comparison loop: a bit vector as long as the left replaces the left.
template <class P>
inline void CompareNum(KA& left, KA& right, P p) {
  const KT::KTO lt = left.Type(), rt = right.Type();
  if ((lt != KT::tNum && lt != KT::tClock) || (rt != KT::tNum && rt != KT::tClock))
    KTHROW(KT::eValue, "Arguments don't match");
  const KT::KAL al = NumAlign(left);
  if (NumAlign(right) != al) KTHROW(KT::eValue, "Alignment");
  const int na = left.Cnt(), nb = right.Cnt();
  unsigned char* bits = static_cast<unsigned char*>(KB::AllocData(KB::StorageBytes(KT::aBit, na), true));
  if (al == KT::aInt)
    CompareBits(bits, static_cast<const int32_t*>(left.value->descriptor->data), na,
                static_cast<const int32_t*>(right.value->descriptor->data), nb, p);
  else
    CompareBits(bits, static_cast<const double*>(left.value->descriptor->data), na,
                static_cast<const double*>(right.value->descriptor->data), nb, p);
  left.Owns(new KBit(reinterpret_cast<char*>(bits), na, 0));
}

template <class T, class F>
inline void MonadicT(KA& a, F f) {
  const int n = a.Cnt();
  if (n == 0) return;
  const T* in = static_cast<const T*>(a.value->descriptor->data);
  T* out = OutFor<T>(a, n);
  Monadic(out, in, n, f);
  Adopt(a, out, n);
}

// Monadic element loop; F must accept both int32_t and double.
template <class F>
inline void MonadicNum(KA& a, F f) {
  if (NumAlign(a) == KT::aInt) MonadicT<int32_t>(a, f);
  else MonadicT<double>(a, f);
}

// Float-only monadic functions (reciprocal): the value must be F.
template <class F>
inline void MonadicFlt(KA& a, F f) {
  if (NumAlign(a) != KT::aFloat) KTHROW(KT::eValue, "Alignment");
  MonadicT<double>(a, f);
}

// Reduction loop: fewer than 2 elements unchanged, else a scalar of the
// value's alignment holding the accumulated element.
template <class F>
inline void ReduceNum(KA& a, F f) {
  const KT::KAL al = NumAlign(a);
  const int n = a.Cnt();
  if (n < 2) return;
  if (al == KT::aInt)
    a.Owns(new KNum(Reduce(static_cast<const int32_t*>(a.value->descriptor->data), n, f)));
  else
    a.Owns(new KNum(Reduce(static_cast<const double*>(a.value->descriptor->data), n, f)));
}

template <class T, class F>
inline void ScanT(KA& a, F f) {
  const int n = a.Cnt();
  const T* in = static_cast<const T*>(a.value->descriptor->data);
  T* out = OutFor<T>(a, n);
  Scan(out, in, n, f);
  Adopt(a, out, n);
}

// Scan loop: fewer than 2 elements unchanged, else the running values.
template <class F>
inline void ScanNum(KA& a, F f) {
  const KT::KAL al = NumAlign(a);
  if (a.Cnt() < 2) return;
  if (al == KT::aInt) ScanT<int32_t>(a, f);
  else ScanT<double>(a, f);
}

// ---------------------------------------------------------------- one-element operands
// A one-element number meeting a longer number is used as it is instead of
// being stretched (KA::ConformLen) to a full copy. `Stretch` stands for the
// copy that is not built: its side, its current alignment and element, the
// longer operand's count, and the ID the copy would carry. The counter of
// value IDs moves exactly as the conforming would move it, and a result
// that would have been the copy (a one-element left, changed in place)
// carries its ID, so no script can tell the two ways apart.
struct Stretch {
  bool on = false;
  bool left = false;  // the one-element operand is the left
  int n = 0;          // the longer operand's count
  int32_t id = 0;
  KT::KAL align = KT::aNone;
  int32_t i = 0;
  double f = 0;
  template <class T> T One() const {
    if constexpr (sizeof(T) == 4) return i;
    else return f;
  }
};

// A new value takes the ID the stretched copy would have had (the one it
// was just given is handed back: it is the last one taken).
template <class V>
inline V* WithID(V* v, int32_t id) {
  if (v->ID == KB::fLastID) {
    v->ID = id;
    --KB::fLastID;
  }
  return v;
}

// Takes the place of KA::ConformLen and KA::ConformNum for two numbers of
// alignment I or F, one with 1 element and the other with 2 or more; false
// (nothing done) for any other pair. As the conforming would: the copy
// takes an ID; when the alignments differ the Int side becomes Float (a new
// value and ID: the copy's Int element converts, the longer side is
// converted by KA::ConformNum).
// Off, every pair is conformed by stretching (tests compare the two ways).
inline bool fStretchOne = true;

inline bool StretchOne(KA& l, KA& r, Stretch& s) {
  if (!fStretchOne) return false;
  if (!l.Is(KT::tNum) || !r.Is(KT::tNum)) return false;
  const KT::KAL la = l.Align(), ra = r.Align();
  if ((la != KT::aInt && la != KT::aFloat) || (ra != KT::aInt && ra != KT::aFloat)) return false;
  const int nl = l.Cnt(), nr = r.Cnt();
  if (nl == 1 && nr >= 2) s.left = true;
  else if (nr == 1 && nl >= 2) s.left = false;
  else return false;
  KA& one = s.left ? l : r;
  s.n = s.left ? nr : nl;
  s.align = one.Align();
  if (s.align == KT::aInt) s.i = *static_cast<const int32_t*>(one.value->descriptor->data);
  else s.f = *static_cast<const double*>(one.value->descriptor->data);
  s.id = ++KB::fLastID;
  if (la != ra) {
    if (s.align == KT::aInt) {
      s.f = s.i == KT::iNil ? KT::fNil : static_cast<double>(s.i);
      s.align = KT::aFloat;
      s.id = ++KB::fLastID;
    } else {
      KA::ConformNum(l, r);
    }
  }
  s.on = true;
  return true;
}

// The stretched copy made Float (it is private: converted in place).
inline void StretchToFloat(Stretch& s) {
  if (s.align != KT::aInt) return;
  s.f = s.i == KT::iNil ? KT::fNil : static_cast<double>(s.i);
  s.align = KT::aFloat;
}

// DyadicT with a stretched operand: a stretched right leaves the left's
// choice between in place and a new value as it was; a stretched left was
// the only holder of its copy, so the result is a new value with the copy's
// ID.
template <class T, class F, bool kNil = true>
inline void DyadicOneT(KA& left, KA& right, const Stretch& s, F f) {
  const int n = s.n;
  const KT::KAL al = sizeof(T) == 4 ? KT::aInt : KT::aFloat;
  const T one = s.One<T>();
  if (!s.left) {
    T* a = static_cast<T*>(left.value->descriptor->data);
    if (Private(left)) {
      DyadicRightOne<T, F, kNil>(a, a, one, n, f);
    } else {
      T* out = static_cast<T*>(KB::AllocData(KB::StorageBytes(al, n), false));
      DyadicRightOne<T, F, kNil>(out, a, one, n, f);
      left.Owns(new KNum(out, al, n, n));
    }
  } else {
    const T* b = static_cast<const T*>(right.value->descriptor->data);
    T* out = static_cast<T*>(KB::AllocData(KB::StorageBytes(al, n), false));
    DyadicLeftOne<T, F, kNil>(out, one, b, n, f);
    left.Owns(WithID(new KNum(out, al, n, n), s.id));
  }
}

// DyadicNum / DyadicFlt over operands one of which may be stretched.
template <class F>
inline void DyadicNumS(KA& left, KA& right, const Stretch& s, F f) {
  if (!s.on) return DyadicNum(left, right, f);
  if (s.align == KT::aInt) DyadicOneT<int32_t>(left, right, s, f);
  else DyadicOneT<double>(left, right, s, f);
}
template <class F>
inline void DyadicFltS(KA& left, KA& right, const Stretch& s, F f) {
  if (!s.on) return DyadicFlt(left, right, f);
  if (s.align != KT::aFloat) KTHROW(KT::eValue, "Arguments don't match");
  DyadicOneT<double>(left, right, s, f);
}

// CompareNum with a stretched operand: the bit vector is as long as the
// longer operand.
template <class P>
inline void CompareNumS(KA& left, KA& right, const Stretch& s, P p) {
  if (!s.on) return CompareNum(left, right, p);
  KA& big = s.left ? right : left;
  const int n = s.n;
  unsigned char* bits = static_cast<unsigned char*>(KB::AllocData(KB::StorageBytes(KT::aBit, n), true));
  if (s.align == KT::aInt)
    CompareBitsOne(bits, static_cast<const int32_t*>(big.value->descriptor->data), n, s.i, s.left, p);
  else
    CompareBitsOne(bits, static_cast<const double*>(big.value->descriptor->data), n, s.f, s.left, p);
  left.Owns(new KBit(reinterpret_cast<char*>(bits), n, 0));
}

}  // namespace KLoop
