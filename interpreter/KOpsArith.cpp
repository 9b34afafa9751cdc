// KOpsArith: the arithmetic family of the operator library. Scalar
// arithmetic on numbers, clocks, bits and strings, rounding, whole-value
// comparison, bit logic, the circular and logarithm functions,
// combinatorics, random numbers, hexadecimal and character conversion,
// UUIDs and the checksum family.
//
// Operand contract shared by the family: an operator never changes a value
// that another holder can see. Element loops write in place only when the
// handle is the only holder of the data (KLoop::Private); every other
// change goes to a new value that replaces the handle's (KA::Owns).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KAssoc.h"
#include "KBit.h"
#include "KClock.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsLoops.h"
#include "KPlatform.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int32_t kINil = KT::iNil;
constexpr double kFNil = KT::fNil;

// ---------------------------------------------------------------- operand helpers
bool IsNumT(KA& a) { return a.Is(KT::tNum); }
bool IsNumOrClock(KA& a) { return a.Is(KT::tNum) || a.Is(KT::tClock); }
// A numeric value with elements of alignment I or F.
bool IsNumeric(KA& a) {
  return IsNumOrClock(a) && (a.Align() == KT::aInt || a.Align() == KT::aFloat);
}
// Alignments KA::ConformNum accepts without raising.
bool ConformableAlign(KA& a) {
  const KT::KAL al = a.Align();
  return al == KT::aNone || al == KT::aBit || al == KT::aChar || al == KT::aInt || al == KT::aFloat;
}
KNum* NumOf(KA& a) { return a.As<KNum>(); }

// Makes the handle the only holder of its numeric elements (a copy when
// they are shared), so they can be changed in place.
void OwnNum(KA& a) {
  if (KLoop::Private(a)) return;
  if (a.Is(KT::tClock)) a.Owns(new KClock(a.value));
  else a.Owns(new KNum(a.value));
}

// Alignment changes of a numeric value, never seen by other holders.
void ToFloat(KA& a) {
  if (a.Align() != KT::aInt) return;
  OwnNum(a);
  NumOf(a)->CoerceTo(KT::aFloat);
}
void ToInt(KA& a) {
  if (a.Align() != KT::aFloat || a.Is(KT::tClock)) return;
  OwnNum(a);
  NumOf(a)->CoerceTo(KT::aInt);
}

// A clock taking part in "+" or "-" gives a clock result.
void ToClock(KA& a) {
  if (a.Is(KT::tNum)) a.Owns(new KClock(a.value));
}

// The first element of a numeric value as an Int, by the alignment rule of
// KNum::CoerceTo (float nil and out-of-range values give the Int nil).
int32_t FirstInt(KA& a) {
  KNum* n = NumOf(a);
  if (n->Count() == 0) return 0;
  if (n->IsInt()) return n->IntPtr()[0];
  KA one;
  one.Owns(new KNum(n->FltPtr()[0]));
  NumOf(one)->CoerceTo(KT::aInt);
  return NumOf(one)->IntPtr()[0];
}

double FirstFloat(KA& a) {
  KNum* n = NumOf(a);
  if (n->Count() == 0) return 0;
  if (n->IsFlt()) return n->FltPtr()[0];
  const int32_t v = n->IntPtr()[0];
  return v == kINil ? kFNil : static_cast<double>(v);
}

void OwnsIfAny(KA& a, KB* v) {
  if (v) a.Owns(v);
}

// The counting runs of the range: a, a + 1, ... and a, a - 1, ... (m
// values, none past the Int range).
KLOOP_CLONES void CountUp(int32_t* run, int32_t a, int m) {
  for (int i = 0; i < m; ++i) run[i] = a + i;
}
KLOOP_CLONES void CountDown(int32_t* run, int32_t a, int m) {
  for (int i = 0; i < m; ++i) run[i] = a - i;
}

// Brings two operands of an arithmetic form to one length and one numeric
// alignment: length (KA::ConformLen), number form (KA::ConformNum; two bit
// vectors become integers), then I meeting F becomes F. False when either
// side is not numeric afterwards.
// With `s`, a one-element number meeting a longer number is not stretched
// (KLoop::StretchOne records it in `s`).
bool ConformArith(KA& l, KA& r, KLoop::Stretch* s = nullptr) {
  if (s && KLoop::StretchOne(l, r, *s)) return true;
  KA::ConformLen(l, r);
  KA::ConformNum(l, r);
  if (l.Align() == KT::aBit && r.Align() == KT::aBit) {
    KA::ConformNum(l);
    KA::ConformNum(r);
  }
  if (!IsNumeric(l) || !IsNumeric(r)) return false;
  if (l.Align() != r.Align()) {
    ToFloat(l);
    ToFloat(r);
  }
  return true;
}

// ---------------------------------------------------------------- element maps without a nil rule
// For the forms whose rule treats a nil as an ordinary number ("%",
// signum, the logarithms): every element goes through f. Output as in
// the element loops: in place when private, else a new value.
template <class T, class F>
void MapAllT(KA& a, F f) {
  const int n = a.Cnt();
  if (n == 0) return;
  const T* in = static_cast<const T*>(a.value->descriptor->data);
  T* out = KLoop::OutFor<T>(a, n);
  for (int i = 0; i < n; ++i) out[i] = f(in[i]);
  KLoop::Adopt(a, out, n);
}
template <class F>
void MapAll(KA& a, F f) {
  if (KLoop::NumAlign(a) == KT::aInt) MapAllT<int32_t>(a, f);
  else MapAllT<double>(a, f);
}
template <class T, class F>
void ZipAllT(KA& l, KA& r, F f) {
  const int n = l.Cnt();
  if (n == 0) return;
  const T* a = static_cast<const T*>(l.value->descriptor->data);
  const T* b = static_cast<const T*>(r.value->descriptor->data);
  T* out = KLoop::OutFor<T>(l, n);
  for (int i = 0; i < n; ++i) out[i] = f(a[i], b[i]);
  KLoop::Adopt(l, out, n);
}
// Both operands conformed (same length and alignment).
template <class F>
void ZipAll(KA& l, KA& r, F f) {
  if (l.Cnt() != r.Cnt() || l.Align() != r.Align()) KTHROW(KT::eValue, "Arguments don't match");
  if (KLoop::NumAlign(l) == KT::aInt) ZipAllT<int32_t>(l, r, f);
  else ZipAllT<double>(l, r, f);
}

// ---------------------------------------------------------------- element functions
struct tplDivide {  // a divisor 0 gives the Float nil
  double operator()(double a, double b) const { return b == 0 ? kFNil : a / b; }
};
struct tplFraction {
  double operator()(double a) const { return a - std::trunc(a); }
};
struct tplModulo {  // remainder with the sign of the dividend; divisor 0 gives 0
  int32_t operator()(int32_t a, int32_t b) const {
    // b = 0 and b = -1 both give 0 (a % -1 is 0; INT_MIN % -1 would trap).
    const int32_t d = (b == 0 || b == -1) ? 1 : b;
    return a % d;
  }
  double operator()(double a, double b) const { return std::fmod(a, b); }
};
struct tplSignum {
  int32_t operator()(int32_t a) const { return (a > 0) - (a < 0); }
  double operator()(double a) const { return a > 0 ? 1.0 : (a < 0 ? -1.0 : a); }
};
struct tplExp {
  double operator()(double a) const { return std::exp(a); }
};
// Rounding away from zero / toward zero, used by "%/" and "%\".
inline double fltCeiling(double x) { return x >= 0 ? std::ceil(x) : -std::ceil(-x); }
inline double fltFloor(double x) { return x >= 0 ? std::floor(x) : -std::floor(-x); }

// ---------------------------------------------------------------- random numbers
// The process-wide generator: splitmix64, 31-bit outputs (0 .. 2^31 - 1).
// Seeded with 1 at start, like the runtime generator it stands for.
uint64_t gRandState = 1;
void RandSeed(int32_t s) { gRandState = static_cast<uint64_t>(static_cast<uint32_t>(s == 0 ? 1 : s)); }
uint32_t Rand31() {
  uint64_t z = (gRandState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<uint32_t>(z >> 33);
}
struct tplRandom {  // Int n: 1 .. |n| (0 gives 1); Float x: x scaled by [0, 1)
  int32_t operator()(int32_t n) const {
    if (n == 0) return 1;
    const uint32_t mag = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    return static_cast<int32_t>(1u + Rand31() % mag);
  }
  double operator()(double x) const { return x * ((Rand31() % 2147483647u) / 2147483647.0); }
};

// ---------------------------------------------------------------- combinatorics
// Checks of "#!" and "#!!": false (Int nil result) when either side is
// empty, the left is shorter than the right, k > n, n < 1 or k < 1.
bool CombArgs(KA& l, KA& r, int32_t& n, int32_t& k) {
  if (!IsNumT(l)) KTHROW(KT::eValue, "L not num");
  if (!IsNumT(r)) KTHROW(KT::eValue, "R not num");
  if (l.Cnt() == 0 || r.Cnt() == 0 || l.Cnt() < r.Cnt()) return false;
  n = FirstInt(l);
  k = FirstInt(r);
  if (n == kINil || k == kINil) return false;  // a nil is not a count
  return !(k > n || n < 1 || k < 1);
}

// C(n, k): r = n * r / k, decrementing both, until k reaches 0. Very long
// runs use the symmetric k (same value) and stop once r is infinite.
double CombCount(int64_t n, int64_t k) {
  if (k > 1000000 && n - k < k) k = n - k;
  double r = 1;
  for (; k > 0 && std::isfinite(r); --n, --k) r = static_cast<double>(n) * r / static_cast<double>(k);
  return r;
}

// n! / (n - k)!: r = n * r / m with m = n - k counting down to 0, then r
// times each remaining n down to 1. When m is very large the quotient is
// the direct product n (n-1) ... (n-k+1).
double PermCount(int64_t n, int64_t k) {
  int64_t m = n - k;
  double r = 1;
  if (m > 1000000) {
    for (int64_t i = 0; i < k && std::isfinite(r); ++i) r *= static_cast<double>(n - i);
    return r;
  }
  for (; m > 0; --n, --m) r = static_cast<double>(n) * r / static_cast<double>(m);
  for (; n >= 1 && std::isfinite(r); --n) r *= static_cast<double>(n);
  return r;
}

constexpr double kComboLimit = 50000;
// Besides at most 50000 results, all of them together may hold at most this
// many elements (a handful of very long combinations would need gigabytes).
constexpr double kComboElemLimit = 1 << 24;

// Count from "#!"/"#!!" and the length k of each result -> how many results
// to build, or -1 for the Nil value.
int64_t ComboTotal(KA& c, int32_t k) {
  if (c.Is(KT::tNil) || c.Is(KT::tNV)) return -1;
  double v = NumOf(c)->IsInt() ? static_cast<double>(NumOf(c)->IntPtr()[0]) : NumOf(c)->FltPtr()[0];
  if (NumOf(c)->IsInt() && NumOf(c)->IntPtr()[0] == kINil) v = 2147483647.0;
  if (v > 2147483647.0 || v > kComboLimit || v * static_cast<double>(k) > kComboElemLimit) return -1;
  return std::llround(v);
}

KNum* IntVec(const int32_t* p, int k) {
  int32_t* d = static_cast<int32_t*>(KB::AllocData(KB::StorageBytes(KT::aInt, k), false));
  std::memcpy(d, p, sizeof(int32_t) * static_cast<size_t>(k));
  return new KNum(d, KT::aInt, k, k);
}

// Every k-combination of 1..n, each ascending, in colexicographic order
// (the order of Algorithm T): the leftmost element that can grow by one
// without meeting its right neighbour grows, the ones before it restart at
// 1, 2, .... `visit` receives each combination.
template <class V>
void Combinations(int32_t n, int32_t k, V visit) {
  std::vector<int32_t> c(static_cast<size_t>(k) + 1);
  for (int32_t i = 0; i < k; ++i) c[i] = i + 1;
  c[k] = n + 1;  // sentinel
  for (;;) {
    visit(c.data());
    int32_t j = 0;
    while (j < k && c[j] + 1 == c[j + 1]) ++j;
    if (j >= k) return;
    ++c[j];
    for (int32_t i = 0; i < j; ++i) c[i] = i + 1;
  }
}

// ---------------------------------------------------------------- checksums
enum CrcVariant { crcFold = 0, crcCase = 1, crcExact = 2 };  // #CRC, #CRCCS, #CRCCSWS

bool IsWhite(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The shift-register checksum of bytes under a variant's mapping: #CRC
// upper-cases through KT::UC and skips white space, #CRCCS upper-cases,
// #CRCCSWS takes the bytes as they are (KB::CRC).
int32_t CrcBytes(const void* data, int64_t len, CrcVariant v) {
  if (v == crcExact || len <= 0) return KB::CRCLong(data, len > 0 ? len : 0);
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string mapped;
  mapped.reserve(static_cast<size_t>(len));
  for (int64_t i = 0; i < len; ++i) {
    if (v == crcFold && IsWhite(p[i])) continue;
    mapped.push_back(static_cast<char>(KT::UC[p[i]]));
  }
  return KB::CRCLong(mapped.data(), static_cast<int64_t>(mapped.size()));
}

int32_t CrcValue(KB* v, CrcVariant var, int depth);

// Containers: the checksum of the Int array of their members' checksums.
int32_t CrcOfList(const std::vector<int32_t>& sums, CrcVariant var) {
  return CrcBytes(sums.data(), static_cast<int>(sums.size() * sizeof(int32_t)), var);
}

int32_t CrcValue(KB* v, CrcVariant var, int depth) {
  if (depth > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
  KB::WalkStep();
  switch (v->typen()) {
    case KT::tNV: return -2;
    case KT::tNil: return -3;
    case KT::tNS: return 0;
    case KT::tAssoc: return CrcValue(static_cast<KAssoc*>(v)->ValPtr(), crcExact, depth + 1);
    case KT::tRef: {
      KB* target = static_cast<KRef*>(v)->ValPtr(true);
      return target ? CrcValue(target, var, depth + 1) : -2;
    }
    default: break;
  }
  const int n = v->Count();
  if (n == 0) return 0;
  switch (v->typen()) {
    case KT::tString:
      return CrcBytes(static_cast<KString*>(v)->Str(), n, var);
    case KT::tNum:
    case KT::tClock:
      return CrcBytes(v->descriptor->data, static_cast<int64_t>(n) * v->descriptor->elemSize, var);
    case KT::tBit:
      return CrcBytes(v->descriptor->data, KB::LenBitsInChars(n), var);
    case KT::tSeq:
    case KT::tSeqEa: {
      std::vector<int32_t> sums;
      sums.reserve(static_cast<size_t>(n));
      KB** s = static_cast<KSeq*>(v)->Slots();
      for (int i = 0; i < n; ++i) sums.push_back(CrcValue(s[i], var, depth + 1));
      return CrcOfList(sums, var);
    }
    case KT::tCV: {
      std::vector<int32_t> sums;
      sums.reserve(static_cast<size_t>(n));
      KNS* ns = static_cast<KNS*>(v);
      for (int i = 0; i < n; ++i) {
        KB* m = ns->ValPtr(i);
        sums.push_back(m ? CrcValue(m, var, depth + 1) : -2);
      }
      return CrcOfList(sums, var);
    }
    default:
      KTHROW(KT::eNotImpl, "Type");
  }
}

KA& CrcOp(KA& a, CrcVariant var) {
  a.Owns(KMakeInt(CrcValue(a.value, var, 0)));
  return a;
}

// Hash: the checksum, modulo the right, made non-negative.
KA& HashOp(KA& l, KA& r, CrcVariant var) {
  CrcOp(l, var);
  KOps::op25(l, r);
  return KOps::op7C(l);
}

// CRC-32/BZIP2: polynomial 0x04C11DB7, most significant bit first, no
// reflection, initial value and final complement 0xFFFFFFFF.
uint32_t Crc32Bzip2(const unsigned char* p, int n) {
  static const auto table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (int i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ p[i]) & 0xFF];
  return ~crc;
}

const char kHexDigits[] = "0123456789ABCDEF";
int HexVal(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;  // any other character counts as the digit 0
}

}  // namespace

// ==================================================================== arithmetic
// "+", "-", "*", "/", "%", "^": numeric forms conform length, number and
// alignment, then run the element loops (nil on either side gives nil).
// A clock on either side of "+" or "-" makes the result a clock.

KA& KOps::op2B(KA& a) {  // signum; nils are not skipped (a nil is positive)
  if (!IsNumT(a) || a.Cnt() == 0) return a;
  MapAll(a, tplSignum());
  return a;
}

KA& KOps::op2B(KA& l, KA& r) {
  if (l.Is(KT::tNV)) l.Owns(KMakeInt(0));
  if (r.Is(KT::tNV)) r.Owns(KMakeInt(0));
  if (!l.Is(KT::tBit) && !IsNumOrClock(l)) KTHROW(KT::eValue, "Type");
  const bool clock = l.Is(KT::tClock) || r.Is(KT::tClock);
  KLoop::Stretch s;
  if (!ConformArith(l, r, &s)) KTHROW(KT::eValue, "Type");
  KLoop::DyadicNumS(l, r, s, KLoop::tplPlus());
  if (clock) ToClock(l);
  return l;
}

KA& KOps::op2D(KA& a) {  // negate
  if (!IsNumOrClock(a)) return a;
  const bool clock = a.Is(KT::tClock);
  KA::ConformNum(a);
  if (a.Cnt() == 0) return a;
  KLoop::MonadicNum(a, KLoop::tplNegate());
  if (clock) ToClock(a);
  return a;
}

// Minus; operands that are not numbers give the three-way comparison.
KA& KOps::op2D(KA& l, KA& r) {
  if (l.Is(KT::tNV) && IsNumOrClock(r)) {
    l = r;
    return op2D(l);
  }
  KLoop::Stretch s;
  if (!IsNumOrClock(l) || !IsNumOrClock(r) || !ConformArith(l, r, &s)) {
    l.Owns(KMakeInt(KA::Compare(l.value, r.value)));
    return l;
  }
  const bool clock = l.Is(KT::tClock) || r.Is(KT::tClock);
  KLoop::DyadicNumS(l, r, s, KLoop::tplMinus());
  if (clock) ToClock(l);
  return l;
}

KA& KOps::op2A(KA& l, KA& r) {  // times; non-numeric operands leave the left
  if (l.Is(KT::tNV)) l.Owns(KMakeInt(1));
  if (r.Is(KT::tNV)) r.Owns(KMakeInt(1));
  if (!ConformableAlign(l) || !ConformableAlign(r)) return l;
  KA orig(l);
  KLoop::Stretch s;
  if (!ConformArith(l, r, &s)) {
    l = orig;
    return l;
  }
  orig.Clear();  // so an unshared left is worked on in place
  KLoop::DyadicNumS(l, r, s, KLoop::tplTimes());
  return l;
}

KA& KOps::op2F(KA& a) {  // reciprocal: 0 gives the Float nil
  if (!IsNumT(a)) return a;
  KA::ConformNum(a);
  ToFloat(a);
  KLoop::MonadicFlt(a, KLoop::tplReciprocal());
  return a;
}

// Divided by: always Float, a divisor 0 gives the Float nil; a bit vector
// on the right expands the left instead.
KA& KOps::op2F(KA& l, KA& r) {
  if (r.Is(KT::tBit)) {
    OwnsIfAny(l, l.value->Expand(r.value));
    return l;
  }
  if (l.Is(KT::tNV)) l.Owns(KMakeFloat(1.0));
  if (r.Is(KT::tNV)) r.Owns(KMakeFloat(1.0));
  if (!ConformableAlign(l) || !ConformableAlign(r)) return l;
  KA orig(l);
  KLoop::Stretch s;
  if (!ConformArith(l, r, &s)) {
    l = orig;
    return l;
  }
  orig.Clear();
  if (s.on) {  // the stretched copy is private: made Float in place
    ToFloat(s.left ? r : l);
    KLoop::StretchToFloat(s);
  } else {
    ToFloat(l);
    ToFloat(r);
  }
  KLoop::DyadicFltS(l, r, s, tplDivide());
  return l;
}

KA& KOps::op25(KA& a) {  // fraction part of Float elements
  if (!IsNumT(a) || a.Align() != KT::aFloat) return a;
  KLoop::MonadicFlt(a, tplFraction());
  return a;
}

// Modulo: Int remainder with the sign of the dividend (divisor 0 gives 0),
// Float fmod. Nils are ordinary numbers here.
KA& KOps::op25(KA& l, KA& r) {
  if (!IsNumT(l) || !IsNumT(r) || l.Cnt() == 0 || r.Cnt() == 0) return l;
  KLoop::Stretch s;
  if (!ConformArith(l, r, &s)) return l;
  if (!s.on) ZipAll(l, r, tplModulo());
  else if (s.align == KT::aInt) KLoop::DyadicOneT<int32_t, tplModulo, false>(l, r, s, tplModulo());
  else KLoop::DyadicOneT<double, tplModulo, false>(l, r, s, tplModulo());
  return l;
}

KA& KOps::op5E_N(KA& r) {
  r.Owns(KMakeFloat(std::exp(1.0)));
  return r;
}

KA& KOps::op5E(KA& a) {  // exponent
  if (a.Is(KT::tNV)) return op5E_N(a);
  if (!IsNumT(a)) return a;
  ToFloat(a);
  KLoop::MonadicFlt(a, tplExp());
  return a;
}

// Power of Float operands; exclusive or of two bit vectors or two strings
// of bit characters; catenation of two other strings.
KA& KOps::op5E(KA& l, KA& r) {
  if (l.Is(KT::tString) && r.Is(KT::tString)) {
    if (l.As<KString>()->IsBits() && r.As<KString>()->IsBits()) return opOpBool(boolXor, l, r);
    l.Owns(l.As<KString>()->Catenate(r.value));
    return l;
  }
  if (l.Is(KT::tBit) && r.Is(KT::tBit)) return opOpBool(boolXor, l, r);
  const KT::KTO lt = l.Type();
  if ((lt != KT::tNum && lt != KT::tBit && lt != KT::tString) || !ConformableAlign(r))
    KTHROW(KT::eValue, "Invalid arguments");
  // Lengths are conformed after the coercion (in ConformArith): a string's
  // length is its characters', not its numbers'.
  if (!l.Is(KT::tNum)) l.CoerceTo(KT::tNum, KT::aFloat);
  ToFloat(l);  // a string parses to Int elements when it holds integers
  KLoop::Stretch s;
  if (!ConformArith(l, r, &s)) KTHROW(KT::eValue, "Invalid arguments");
  const bool flt = s.on ? (s.left ? r : l).Align() == KT::aFloat && s.align == KT::aFloat
                        : l.Align() == KT::aFloat && r.Align() == KT::aFloat;
  if (!flt) KTHROW(KT::eValue, "Left Argument Alignment");
  KLoop::DyadicFltS(l, r, s, KLoop::tplPower());
  return l;
}

// Times-plus: acc = (acc + l[i]) * r[i] running over the elements; a nil
// on either side gives nil and leaves acc.
KA& KOps::op2A2B(KA& l, KA& r) {
  if (!IsNumT(l)) KTHROW(KT::eValue, "Need Numeric Left");
  if (!IsNumT(r)) KTHROW(KT::eValue, "Need Numeric Right");
  KA::ConformLen(l, r);
  ToFloat(l);
  ToFloat(r);
  OwnNum(l);
  const int n = std::min(l.Cnt(), r.Cnt());
  double* a = NumOf(l)->FltPtr();
  const double* b = NumOf(r)->FltPtr();
  double acc = 0;
  for (int i = 0; i < n; ++i) {
    if (a[i] == kFNil || b[i] == kFNil) {
      a[i] = kFNil;
    } else {
      acc = (acc + a[i]) * b[i];
      a[i] = acc;
    }
  }
  return l;
}

KA& KOps::op2D2D(KA& a) {  // first difference
  KA one(1);
  return op2D2D(a, one);
}

// N-th difference: x[i] - x[i-n], the first n positions 0. Nils are
// ordinary numbers here.
KA& KOps::op2D2D(KA& l, KA& r) {
  if (!IsNumT(l) || !IsNumT(r) || r.Cnt() == 0) return l;
  const int32_t k = FirstInt(r);
  if (k < 0) return l;
  const KT::KAL al = KLoop::NumAlign(l);
  const int n = l.Cnt();
  const int lag = k < n ? k : n;
  if (al == KT::aInt) {
    const int32_t* x = NumOf(l)->IntPtr();
    int32_t* d = static_cast<int32_t*>(KB::AllocData(KB::StorageBytes(KT::aInt, n), false));
    for (int i = 0; i < lag; ++i) d[i] = 0;
    for (int i = lag; i < n; ++i) d[i] = KLoop::WSub(x[i], x[i - lag]);
    l.Owns(new KNum(d, KT::aInt, n, n));
  } else {
    const double* x = NumOf(l)->FltPtr();
    double* d = static_cast<double*>(KB::AllocData(KB::StorageBytes(KT::aFloat, n), false));
    for (int i = 0; i < lag; ++i) d[i] = 0;
    for (int i = lag; i < n; ++i) d[i] = x[i] - x[i - lag];
    l.Owns(new KNum(d, KT::aFloat, n, n));
  }
  return l;
}

// Smaller of / larger of, element by element.
// The smaller or larger of a one-element operand and each element of the
// longer (KNum::Smaller / Larger of the stretched operands: always a new
// value; a nil on either side gives nil).
template <class T>
KNum* MinMaxOne(KA& l, KA& r, const KLoop::Stretch& s, bool larger) {
  const int n = s.n;
  const KT::KAL al = sizeof(T) == 4 ? KT::aInt : KT::aFloat;
  T* out = static_cast<T*>(KB::AllocData(KB::StorageBytes(al, n), false));
  const T* big = static_cast<const T*>((s.left ? r : l).value->descriptor->data);
  const T one = s.One<T>();
  auto f = [larger](T x, T y) { return larger ? std::max(x, y) : std::min(x, y); };
  if (s.left) KLoop::DyadicLeftOne(out, one, big, n, f);
  else KLoop::DyadicRightOne(out, big, one, n, f);
  return new KNum(out, al, n, n);
}

KA& KOps::op3C3C(KA& l, KA& r) {
  if (!IsNumT(l)) KTHROW(KT::eNotImpl, "");
  if (!IsNumT(r)) KTHROW(KT::eValue, "R Type");
  KLoop::Stretch s;
  ConformArith(l, r, &s);
  if (s.on) l.Owns(s.align == KT::aInt ? MinMaxOne<int32_t>(l, r, s, false) : MinMaxOne<double>(l, r, s, false));
  else OwnsIfAny(l, NumOf(l)->Smaller(r.value));
  return l;
}

KA& KOps::op3E3E(KA& l, KA& r) {
  if (!IsNumT(l)) KTHROW(KT::eNotImpl, "");
  if (!IsNumT(r)) KTHROW(KT::eValue, "R Type");
  KLoop::Stretch s;
  ConformArith(l, r, &s);
  if (s.on) l.Owns(s.align == KT::aInt ? MinMaxOne<int32_t>(l, r, s, true) : MinMaxOne<double>(l, r, s, true));
  else OwnsIfAny(l, NumOf(l)->Larger(r.value));
  return l;
}

// Range: the left's elements, its last element a counting by one up or
// down to the right's first element b (included). Strings count by
// character code from the left's last character to the right's last.
KA& KOps::op2E2E(KA& l, KA& r) {
  if (l.Is(KT::tNum)) {
    if (!r.Is(KT::tNum)) KTHROW(KT::eNotSupp, "Type Mismatch");
    // An empty side has no end point: the result is the other side.
    if (l.Cnt() == 0) l = r;
    if (r.Cnt() == 0 || l.value == r.value) {
      ToInt(l);
      return l;
    }
    ToInt(l);
    const int nl = l.Cnt();
    const int32_t a = NumOf(l)->IntPtr()[nl - 1];
    const int32_t b = FirstInt(r);
    if (a == kINil || b == kINil) {
      l.Owns(new KNil());
      return l;
    }
    const int64_t span = b >= a ? int64_t{b} - a : int64_t{a} - b;
    const int64_t total = nl - 1 + span + 1;
    if (total > 0x7FFFFFF0) KTHROW(KT::eSystem, "Out of memory");
    const int n = static_cast<int>(total);
    int32_t* d = static_cast<int32_t*>(KB::AllocData(KB::StorageBytes(KT::aInt, n), false));
    std::memcpy(d, NumOf(l)->IntPtr(), sizeof(int32_t) * static_cast<size_t>(nl - 1));
    int32_t* run = d + (nl - 1);
    const int m = static_cast<int>(span) + 1;
    if (b >= a) CountUp(run, a, m);
    else CountDown(run, a, m);
    l.Owns(new KNum(d, KT::aInt, n, n));
    return l;
  }
  if (l.Is(KT::tString)) {
    if (!r.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type Mismatch");
    KString* ls = l.As<KString>();
    KString* rs = r.As<KString>();
    if (ls->Len() == 0) {
      l = r;
      return l;
    }
    if (rs->Len() == 0) return l;
    const int c1 = static_cast<unsigned char>(ls->Str()[ls->Len() - 1]);
    const int c2 = static_cast<unsigned char>(rs->Str()[rs->Len() - 1]);
    std::string s(ls->Str(), static_cast<size_t>(ls->Len()));
    if (c2 > c1) {
      for (int c = c1 + 1; c <= c2; ++c) s.push_back(static_cast<char>(c));
    } else {
      for (int c = c1 - 1; c >= c2; --c) s.push_back(static_cast<char>(c));
    }
    l.Owns(new KString(s));
    return l;
  }
  KTHROW(KT::eNotSupp, "Type");
}

KA& KOps::op7C(KA& a) {  // absolute value
  if (!IsNumT(a)) KTHROW(KT::eNotSupp, "Type");
  OwnsIfAny(a, NumOf(a)->Absolute());
  return a;
}

// ==================================================================== rounding
// "%-" half round / near round, "%/" ceiling (away from zero) / round up,
// "%\" floor (toward zero) / round down. Monadic "%/" and "%\" give Int
// and change strings' letter case.

KA& KOps::op252D(KA& a) {
  if (!IsNumT(a)) KTHROW(KT::eNotSupp, "Type");
  if (a.Align() == KT::aFloat) OwnsIfAny(a, NumOf(a)->RoundHalf());
  return a;
}

KA& KOps::op252D(KA& l, KA& r) {
  if (!IsNumT(l) || !IsNumT(r)) KTHROW(KT::eNotSupp, "Type");
  KA::ConformLen(l, r);
  OwnsIfAny(l, NumOf(l)->RoundNear(r.value));
  return l;
}

namespace {
template <class F>
KA& RoundToInt(KA& a, F f, bool upper) {
  if (a.Is(KT::tNil)) return a;
  if (IsNumT(a)) {
    KA::ConformNum(a);
    if (a.Align() == KT::aFloat) {
      KLoop::MonadicFlt(a, f);
      ToInt(a);
    }
    return a;
  }
  if (a.Is(KT::tString)) {
    KString* s = a.As<KString>();
    a.Owns(upper ? s->ToUpper() : s->ToLower());
    return a;
  }
  KTHROW(KT::eNotSupp, "Num or Char");
}
}  // namespace

KA& KOps::op252F(KA& a) {
  return RoundToInt(a, [](double x) { return fltCeiling(x); }, true);
}

KA& KOps::op252F(KA& l, KA& r) {
  if (!IsNumT(l) || !IsNumT(r)) KTHROW(KT::eNotSupp, "Type");
  KA::ConformLen(l, r);
  OwnsIfAny(l, NumOf(l)->RoundUp(r.value));
  return l;
}

KA& KOps::op255C(KA& a) {
  return RoundToInt(a, [](double x) { return fltFloor(x); }, false);
}

KA& KOps::op255C(KA& l, KA& r) {
  if (!IsNumT(l) || !IsNumT(r)) KTHROW(KT::eNotSupp, "Type");
  KA::ConformLen(l, r);
  OwnsIfAny(l, NumOf(l)->RoundDn(r.value));
  return l;
}

// ==================================================================== comparison
// Whole values, one bit: EQ and GT of the argument handle (GT always with
// positions -1, -1 and descending, so equal values are not greater).

namespace {
KA& OneBit(KA& l, bool v) {
  l.Owns(new KBit(v));
  return l;
}
bool GreaterThan(KA& l, KA& r) { return l.GT(r.value, -1, -1, true); }

// Two one-element integer numbers (a loop counter against its bound): the
// whole-value rules above come down to comparing the two elements (a nil is
// compared as its integer, as the element loop of KNum::GT does), so the
// result is read here directly. False for anything else.
bool ScalarInts(KA& l, KA& r, int32_t& x, int32_t& y) {
  const KB::KBD* a = l.value->descriptor;
  const KB::KBD* b = r.value->descriptor;
  if (a->type != KT::tNum || b->type != KT::tNum || a->align != KT::aInt || b->align != KT::aInt ||
      a->count != 1 || b->count != 1)
    return false;
  x = *static_cast<const int32_t*>(a->data);
  y = *static_cast<const int32_t*>(b->data);
  return true;
}
}  // namespace

KA& KOps::op3D(KA& l, KA& r) {
  int32_t x, y;
  if (ScalarInts(l, r, x, y)) return OneBit(l, x == y);
  return OneBit(l, KA::EQ(l.value, r.value));
}
KA& KOps::op7E3D(KA& l, KA& r) {
  int32_t x, y;
  if (ScalarInts(l, r, x, y)) return OneBit(l, x != y);
  return OneBit(l, !KA::EQ(l.value, r.value));
}
KA& KOps::op3E(KA& l, KA& r) {
  int32_t x, y;
  if (ScalarInts(l, r, x, y)) return OneBit(l, x > y);
  return OneBit(l, GreaterThan(l, r));
}
KA& KOps::op3E3D(KA& l, KA& r) {
  int32_t x, y;
  if (ScalarInts(l, r, x, y)) return OneBit(l, x >= y);
  return OneBit(l, GreaterThan(l, r) || KA::EQ(l.value, r.value));
}
KA& KOps::op3C(KA& l, KA& r) {
  int32_t x, y;
  if (ScalarInts(l, r, x, y)) return OneBit(l, x < y);
  return OneBit(l, !GreaterThan(l, r) && !KA::EQ(l.value, r.value));
}
KA& KOps::op3C3D(KA& l, KA& r) {
  int32_t x, y;
  if (ScalarInts(l, r, x, y)) return OneBit(l, x <= y);
  return OneBit(l, !GreaterThan(l, r));
}

// ==================================================================== bit logic
// Conforms length and bit form, then combines byte by byte into a new (or
// the unshared left) bit vector. Bits past the count stay zero.
KA& KOps::opOpBool(TOpBool code, KA& l, KA& r) {
  if (code < boolAnd || code > boolXor) KTHROW(KT::eNotSupp, "???");
  // A one-bit vector meeting a longer one is used as a byte of that bit at
  // every position instead of being stretched (the ID the stretched copy
  // would take is taken; a stretched left would be worked on in place, so
  // the result carries that ID).
  const int nl = l.Cnt(), nr = r.Cnt();
  const bool oneL = KLoop::fStretchOne && l.Is(KT::tBit) && r.Is(KT::tBit) && nl == 1 && nr >= 2;
  const bool oneR = KLoop::fStretchOne && l.Is(KT::tBit) && r.Is(KT::tBit) && nr == 1 && nl >= 2;
  int32_t stretchedId = 0;
  unsigned one = 0;
  if (oneL || oneR) {
    stretchedId = ++KB::fLastID;
    one = (oneL ? l : r).As<KBit>()->BitGet(0) ? 0xFFu : 0u;
  } else {
    KA::ConformLen(l, r);
    KA::BitConform(l, r);
  }
  const int n = oneL ? nr : l.Cnt();
  const int bytes = KB::LenBitsInChars(n);
  const int rbytes = std::min(bytes, KB::LenBitsInChars(r.Cnt()));
  const unsigned char* a = static_cast<const unsigned char*>(l.value->descriptor->data);
  const unsigned char* b = static_cast<const unsigned char*>(r.value->descriptor->data);
  const bool inPlace = !oneL && KLoop::Private(l) && a != b;
  unsigned char* d = inPlace ? static_cast<unsigned char*>(l.value->descriptor->data)
                             : static_cast<unsigned char*>(KB::AllocData(KB::StorageBytes(KT::aBit, n), false));
  for (int i = 0; i < bytes; ++i) {
    const unsigned x = oneL ? one : a[i];
    const unsigned y = oneR ? one : oneL ? b[i] : i < rbytes ? b[i] : 0u;
    unsigned v;
    switch (code) {
      case boolAnd: v = x & y; break;
      case boolClear: v = 0; break;
      case boolEQ: v = ~(x ^ y); break;
      case boolNand: v = ~(x & y); break;
      case boolNor: v = ~(x | y); break;
      case boolNot: v = ~y; break;
      case boolOr: v = x | y; break;
      case boolSet: v = 0xFF; break;
      default: v = x ^ y; break;
    }
    d[i] = static_cast<unsigned char>(v);
  }
  if (n % 8 != 0) d[bytes - 1] &= KBit::bitLMask[n % 8 - 1];
  if (oneL) l.Owns(KLoop::WithID(new KBit(reinterpret_cast<char*>(d), n, 0), stretchedId));
  else if (!inPlace) l.Owns(new KBit(reinterpret_cast<char*>(d), n, 0));
  return l;
}

// ==================================================================== mathematical functions
// Circular and hyperbolic functions in radians on Float elements; nils
// stay nil. Logarithms treat a nil as the large number it is.

KA& KOps::opOpCirc(TOpCirc code, KA& a) {
  double (*f)(double) = nullptr;
  switch (code) {
    case circCos: f = [](double x) { return std::cos(x); }; break;
    case circACos: f = [](double x) { return std::acos(x); }; break;
    case circHCos: f = [](double x) { return std::cosh(x); }; break;
    case circSin: f = [](double x) { return std::sin(x); }; break;
    case circASin: f = [](double x) { return std::asin(x); }; break;
    case circHSin: f = [](double x) { return std::sinh(x); }; break;
    case circATan: f = [](double x) { return std::atan(x); }; break;
    case circTan: f = [](double x) { return std::tan(x); }; break;
    case circHTan: f = [](double x) { return std::tanh(x); }; break;
    default: KTHROW(KT::eSyntax, "Invalid Operator");
  }
  if (!IsNumT(a)) KTHROW(KT::eNotSupp, "Type");
  ToFloat(a);
  KLoop::MonadicFlt(a, f);
  return a;
}

KA& KOps::opCOS(KA& a) { return opOpCirc(circCos, a); }
KA& KOps::opACOS(KA& a) { return opOpCirc(circACos, a); }
KA& KOps::opHCOS(KA& a) { return opOpCirc(circHCos, a); }
KA& KOps::opSIN(KA& a) { return opOpCirc(circSin, a); }
KA& KOps::opASIN(KA& a) { return opOpCirc(circASin, a); }
KA& KOps::opHSIN(KA& a) { return opOpCirc(circHSin, a); }
KA& KOps::opATAN(KA& a) { return opOpCirc(circATan, a); }
KA& KOps::opTAN(KA& a) { return opOpCirc(circTan, a); }
KA& KOps::opHTAN(KA& a) { return opOpCirc(circHTan, a); }

KA& KOps::opPI_N(KA& r) {
  r.Owns(KMakeFloat(kPi));
  return r;
}

// Degrees to radians; the factor pi / 180 is formed in extended precision.
KA& KOps::opPI(KA& a) {
  if (a.Is(KT::tNV)) return opPI_N(a);
  if (!IsNumT(a)) a.CoerceTo(KT::tNum, KT::aFloat);
  ToFloat(a);  // a string parses to Int elements when it holds integers
  if (a.Cnt() == 0) return a;
  static const long double factor = 1.0L / 180.0L * static_cast<long double>(kPi);
  KLoop::MonadicFlt(a, [](double x) { return static_cast<double>(x * factor); });
  return a;
}

namespace {
template <class F>
KA& LogOp(KA& a, F log) {
  if (!IsNumT(a)) return a;
  ToFloat(a);
  MapAll(a, [log](double x) { return x > 0 ? log(x) : kFNil; });
  return a;
}
}  // namespace

KA& KOps::opLOG(KA& a) { return LogOp(a, [](double x) { return std::log10(x); }); }
KA& KOps::opLN(KA& a) { return LogOp(a, [](double x) { return std::log(x); }); }
KA& KOps::opLOG(KA& l, KA& r) { return opLogN(l, r); }
KA& KOps::opLN(KA& l, KA& r) { return opLogN(l, r); }

// Logarithm to the base given by the right's first element (10 when the
// right is not a number or empty). A base that is not positive, or 1,
// gives nils throughout.
KA& KOps::opLogN(KA& l, KA& r) {
  const double base = IsNumT(r) && r.Cnt() > 0 ? FirstFloat(r) : 10.0;
  if (!IsNumT(l)) return l;
  ToFloat(l);
  if (!(base > 0) || base == 1) {
    MapAll(l, [](double) { return kFNil; });
    return l;
  }
  const double lb = std::log(base);
  MapAll(l, [lb](double x) { return x > 0 ? std::log(x) / lb : kFNil; });
  return l;
}

// ==================================================================== combinatorics

// Factorial in Float: the product 2 x 3 x ... x n; beyond 170 (and below
// 0) the Float nil.
KA& KOps::op21(KA& a) {
  if (!IsNumT(a)) return a;
  static const auto table = [] {
    std::vector<double> t(171);
    double p = 1;
    t[0] = 1;
    for (int i = 1; i <= 170; ++i) {
      if (i >= 2) p *= i;
      t[i] = p;
    }
    return t;
  }();
  ToInt(a);
  const int n = a.Cnt();
  const int32_t* x = NumOf(a)->IntPtr();
  double* d = static_cast<double*>(KB::AllocData(KB::StorageBytes(KT::aFloat, n), false));
  for (int i = 0; i < n; ++i) d[i] = (x[i] < 0 || x[i] > 170) ? kFNil : table[static_cast<size_t>(x[i])];
  a.Owns(new KNum(d, KT::aFloat, n, n));
  return a;
}

KA& KOps::op2321(KA& l, KA& r) {  // number of combinations
  int32_t n = 0, k = 0;
  if (!CombArgs(l, r, n, k)) l.Owns(KMakeInt(kINil));
  else l.Owns(KMakeFloat(CombCount(n, k)));
  return l;
}

KA& KOps::op232121(KA& l, KA& r) {  // number of permutations
  int32_t n = 0, k = 0;
  if (!CombArgs(l, r, n, k)) l.Owns(KMakeInt(kINil));
  else l.Owns(KMakeFloat(PermCount(n, k)));
  return l;
}

// Combinations: a sequence of Int vectors, each k-combination of 1..n in
// ascending order, colexicographic; more than 50000 give the Nil value.
KA& KOps::op21(KA& l, KA& r) {
  KA c(l);
  op2321(c, r);
  if (ComboTotal(c, r.Is(KT::tNum) && r.Cnt() ? FirstInt(r) : 0) < 0) {
    l.Owns(new KNil());
    return l;
  }
  const int32_t n = FirstInt(l), k = FirstInt(r);
  KSeq* s = new KSeq();
  try {
    Combinations(n, k, [&](const int32_t* p) { s->Append(IntVec(p, k), true); });
  } catch (...) {
    KB::DoneWith(s);
    throw;
  }
  l.Owns(s);
  return l;
}

// Permutations: the combinations, then for each combination in that order
// its other arrangements in lexicographic order.
KA& KOps::op2121(KA& l, KA& r) {
  KA c(l);
  op232121(c, r);
  if (ComboTotal(c, r.Is(KT::tNum) && r.Cnt() ? FirstInt(r) : 0) < 0) {
    l.Owns(new KNil());
    return l;
  }
  const int32_t n = FirstInt(l), k = FirstInt(r);
  std::vector<int32_t> combos;
  Combinations(n, k, [&](const int32_t* p) { combos.insert(combos.end(), p, p + k); });
  KSeq* s = new KSeq();
  try {
    const size_t m = combos.size() / static_cast<size_t>(k);
    for (size_t j = 0; j < m; ++j) s->Append(IntVec(&combos[j * static_cast<size_t>(k)], k), true);
    std::vector<int32_t> arr(static_cast<size_t>(k));
    for (size_t j = 0; j < m; ++j) {
      const int32_t* base = &combos[j * static_cast<size_t>(k)];
      std::copy(base, base + k, arr.begin());  // ascending: the first arrangement
      while (std::next_permutation(arr.begin(), arr.end())) s->Append(IntVec(arr.data(), k), true);
    }
  } catch (...) {
    KB::DoneWith(s);
    throw;
  }
  l.Owns(s);
  return l;
}

// ==================================================================== random numbers

KA& KOps::op3F_N(KA& r) {  // seed from a number, else one random Int
  if (IsNumT(r)) {
    RandSeed(FirstInt(r));
    return r;
  }
  r.Owns(KMakeInt(static_cast<int32_t>(Rand31() % 2147483647u)));
  return r;
}

KA& KOps::op3F(KA& a) {
  if (!IsNumT(a)) KTHROW(KT::eNotImpl, "Left Argument");
  KA::ConformNum(a);
  if (a.Cnt() == 0) return a;
  KLoop::MonadicNum(a, tplRandom());
  return a;
}

KA& KOps::op3F(KA& l, KA& r) {
  if (IsNumT(r)) RandSeed(FirstInt(r));
  return op3F(l);
}

// ==================================================================== conversions

// Hexadecimal: Int elements to digits (two per element when every element
// lies in -255..255, else eight), a string of digit pairs to signed bytes.
KA& KOps::opHEX(KA& a) {
  switch (a.Type()) {
    case KT::tNum: {
      if (a.Align() == KT::aFloat) KTHROW(KT::eNotSupp, "Float");
      const int n = a.Cnt();
      const int32_t* x = NumOf(a)->IntPtr();
      bool small = true;
      for (int i = 0; i < n; ++i) small &= (x[i] >= -255 && x[i] <= 255);
      std::string s;
      s.reserve(static_cast<size_t>(n) * (small ? 2 : 8));
      for (int i = 0; i < n; ++i) {
        const uint32_t u = static_cast<uint32_t>(x[i]);
        for (int sh = small ? 4 : 28; sh >= 0; sh -= 4) s.push_back(kHexDigits[(u >> sh) & 0xF]);
      }
      a.Owns(new KString(s));
      return a;
    }
    case KT::tString: {
      KString* t = a.As<KString>();
      const int len = t->Len();
      const unsigned char* p = reinterpret_cast<const unsigned char*>(t->Str());
      const int n = (len + 1) / 2;
      int32_t* d = static_cast<int32_t*>(KB::AllocData(KB::StorageBytes(KT::aInt, n), false));
      for (int i = 0; i < n; ++i) {
        // A final lone digit is the high digit of a pair whose low digit is 0.
        const int hi = HexVal(p[2 * i]);
        const int lo = 2 * i + 1 < len ? HexVal(p[2 * i + 1]) : 0;
        d[i] = static_cast<int8_t>(static_cast<uint8_t>(hi * 16 + lo));
      }
      a.Owns(new KNum(d, KT::aInt, n, n));
      return a;
    }
    case KT::tBit: KTHROW(KT::eNotImpl, "Type Bit");
    case KT::tSeq: KTHROW(KT::eNotImpl, "Type Seq");
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

// Characters and their codes: numbers to a string of their low bytes, a
// string to the Int codes 0..255, a sequence element by element.
KA& KOps::opASC(KA& a) {
  if (IsNumT(a)) {
    ToInt(a);
    const int n = a.Cnt();
    const int32_t* x = NumOf(a)->IntPtr();
    std::string s(static_cast<size_t>(n), '\0');
    for (int i = 0; i < n; ++i) s[static_cast<size_t>(i)] = static_cast<char>(x[i] & 0xFF);
    a.Owns(new KString(s));
  } else if (a.Is(KT::tString)) {
    KString* t = a.As<KString>();
    const int n = t->Len();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(t->Str());
    int32_t* d = static_cast<int32_t*>(KB::AllocData(KB::StorageBytes(KT::aInt, n), false));
    for (int i = 0; i < n; ++i) d[i] = p[i];
    a.Owns(new KNum(d, KT::aInt, n, n));
  } else if (a.Is(KT::tSeq)) {
    KB::NestGuard guard;  // nested sequences recurse
    KSeq* src = a.As<KSeq>();
    KSeq* out = new KSeq();
    try {
      for (int i = 0; i < src->Count(); ++i) {
        KA e((*src)[i]);
        opASC(e);
        out->Append(e.value, false);
      }
    } catch (...) {
      KB::DoneWith(out);
      throw;
    }
    a.Owns(out);
  }
  return a;
}

// A version 4 UUID (RFC 4122): 16 random bytes with the version and
// variant bits set, as a 16-character string.
KA& KOps::opUUID_N(KA& r) {
  unsigned char b[16];
  if (!KPlat::RandomBytes(b, sizeof b)) throw KError(kUnit, __LINE__);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  r.Owns(new KString(reinterpret_cast<const char*>(b), 16));
  return r;
}

// ==================================================================== checksums

KA& KOps::opCRC_N(KA& r) {
  r.Owns(KMakeInt(-1));
  return r;
}
KA& KOps::opCRCCS_N(KA& r) { return opCRC_N(r); }
KA& KOps::opCRCCSWS_N(KA& r) { return opCRC_N(r); }
KA& KOps::opCRC(KA& a) { return CrcOp(a, crcFold); }
KA& KOps::opCRCCS(KA& a) { return CrcOp(a, crcCase); }
KA& KOps::opCRCCSWS(KA& a) { return CrcOp(a, crcExact); }
KA& KOps::opCRC(KA& l, KA& r) { return HashOp(l, r, crcFold); }
KA& KOps::opCRCCS(KA& l, KA& r) { return HashOp(l, r, crcCase); }
KA& KOps::opCRCCSWS(KA& l, KA& r) { return HashOp(l, r, crcExact); }

KA& KOps::opCRC32(KA& a) {
  if (!a.Is(KT::tString)) KTHROW(KT::eNotImpl, "L Type");
  KString* s = a.As<KString>();
  const uint32_t c = Crc32Bzip2(reinterpret_cast<const unsigned char*>(s->Str()), s->Len());
  a.Owns(KMakeInt(static_cast<int32_t>(c)));
  return a;
}
