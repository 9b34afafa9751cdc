// KSum: exact sums of Int and Float elements (see KSum.h).
//
// The block kernels are built for AVX-512, AVX2 and the baseline with the
// compiler's function multi-versioning (the loader picks one for the
// machine); they are written with the compiler's vector types in vectors
// of 32 bytes (one AVX2 register, two baseline ones), two at a time.
#include "KSum.h"

#include <cmath>
#include <cstring>

#include "Ktypes.h"

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef int64_t v4l __attribute__((vector_size(32)));
typedef int32_t v4i __attribute__((vector_size(16)));

constexpr int kBlock = 8192;           // elements per block: the most work redone
constexpr double kExact = 9007199254740992.0;  // 2^53
constexpr int64_t kExactInt = int64_t{1} << 53;

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__clang__)
#define KSUM_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KSUM_CLONES
#endif

// Sum of a block of Int elements, nils as 0, in 64-bit lanes (a block's
// lanes stay far below 2^63).
KSUM_CLONES int64_t IntBlock(const int32_t* a, int n) {
  v4l s0 = {}, s1 = {};
  const v4i nil = v4i{} + KT::iNil;
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    v4i x0, x1;
    std::memcpy(&x0, a + i, sizeof x0);
    std::memcpy(&x1, a + i + 4, sizeof x1);
    x0 &= ~(x0 == nil);
    x1 &= ~(x1 == nil);
    s0 += __builtin_convertvector(x0, v4l);
    s1 += __builtin_convertvector(x1, v4l);
  }
  const v4l s = s0 + s1;
  int64_t t = s[0] + s[1] + s[2] + s[3];
  for (; i < n; ++i) t += a[i] == KT::iNil ? 0 : a[i];
  return t;
}

// Sum and sum of magnitudes of a block of Float elements, nils as 0, and
// whether every element is an integer (NaN is not; an infinity is, and
// makes the magnitude infinite). The sums are exact when the magnitudes add
// up to less than 2^53 and every element is an integer; the caller checks.
KSUM_CLONES bool FltBlock(const double* a, int n, double& sum, double& mag) {
  const v4d nil = v4d{} + KT::fNil;
  const v4d big = v4d{} + 4503599627370496.0;  // 2^52: every double from here up is an integer
  const v4l absMask = v4l{} + INT64_MAX;
  v4d s0 = {}, s1 = {}, m0 = {}, m1 = {};
  v4l integral = v4l{} - 1;
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    v4d x0, x1;
    std::memcpy(&x0, a + i, sizeof x0);
    std::memcpy(&x1, a + i + 4, sizeof x1);
    x0 = reinterpret_cast<v4d>(reinterpret_cast<v4l>(x0) & ~(x0 == nil));
    x1 = reinterpret_cast<v4d>(reinterpret_cast<v4l>(x1) & ~(x1 == nil));
    const v4d a0 = reinterpret_cast<v4d>(reinterpret_cast<v4l>(x0) & absMask);
    const v4d a1 = reinterpret_cast<v4d>(reinterpret_cast<v4l>(x1) & absMask);
    integral &= ((a0 >= big) | ((a0 + big) - big == a0)) & ((a1 >= big) | ((a1 + big) - big == a1));
    s0 += x0;
    s1 += x1;
    m0 += a0;
    m1 += a1;
  }
  double ts = 0, tm = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    ts += s0[k] + s1[k];
    tm += m0[k] + m1[k];
    ok &= integral[k] != 0;
  }
  for (; i < n; ++i) {
    const double x = a[i] == KT::fNil ? 0.0 : a[i];
    const double ax = x < 0 ? -x : x;
    ok &= ax >= 4503599627370496.0 || (ax + 4503599627370496.0) - 4503599627370496.0 == ax;
    ts += x;
    tm += ax;
  }
  sum = ts;
  mag = tm;
  return ok;
}

typedef uint32_t v8u __attribute__((vector_size(32)));

// Running sum of a block, nils as 0, from `start` in 32-bit wrap-around,
// into `out` (a buffer apart from `a`); true when some running value is the
// Int nil (the scan loop would then restart from the next element, and the
// block must be run by that loop instead). Each vector of eight is summed in
// three shifted adds, then offset by the last running value.
KSUM_CLONES bool ScanBlock(int32_t* out, const int32_t* a, int n, int32_t start) {
  const v8u zero = {};
  const v8u nil = v8u{} + static_cast<uint32_t>(KT::iNil);
  v8u carry = v8u{} + static_cast<uint32_t>(start);
  v8u hit = {};
  int i = 0;
#if !defined(__clang__)  // __builtin_shuffle is GCC's; clang builds (fuzzers) run the scalar loop below
  for (; i + 8 <= n; i += 8) {
    v8u x;
    std::memcpy(&x, a + i, sizeof x);
    x &= ~reinterpret_cast<v8u>(x == nil);
    x += __builtin_shuffle(x, zero, v8u{8, 0, 1, 2, 3, 4, 5, 6});
    x += __builtin_shuffle(x, zero, v8u{8, 8, 0, 1, 2, 3, 4, 5});
    x += __builtin_shuffle(x, zero, v8u{8, 8, 8, 8, 0, 1, 2, 3});
    x += carry;
    hit |= reinterpret_cast<v8u>(x == nil);
    std::memcpy(out + i, &x, sizeof x);
    carry = __builtin_shuffle(x, v8u{7, 7, 7, 7, 7, 7, 7, 7});
  }
#else
  (void)zero, (void)nil;
#endif
  uint32_t c = carry[0];
  bool any = false;
  for (int k = 0; k < 8; ++k) any |= hit[k] != 0;
  for (; i < n; ++i) {
    const uint32_t e = static_cast<uint32_t>(a[i]);
    c += a[i] == KT::iNil ? 0u : e;
    out[i] = static_cast<int32_t>(c);
    any |= static_cast<int32_t>(c) == KT::iNil;
  }
  return any;
}

}  // namespace

namespace KSum {

double SumInt(const int32_t* a, int n) { return SumIntFrom(0.0, a, n); }

double SumIntFrom(double s0, const int32_t* a, int n) {
  // Every partial sum of the sequential loop is an integer; while they stay
  // below 2^53 in magnitude they are exact and equal the 64-bit running
  // sum. A block moves the running sum by at most kBlock * 2^31, so a block
  // that starts below kSafe in magnitude keeps every partial sum exact.
  // The start value is such a partial sum (an integer).
  constexpr int64_t kSafe = kExactInt - int64_t{kBlock} * (int64_t{1} << 31);
  int i = 0;
  double s = s0;
  if (s0 < static_cast<double>(kSafe) && s0 > -static_cast<double>(kSafe)) {
    int64_t total = static_cast<int64_t>(s0);
    for (; i < n && total < kSafe && total > -kSafe; i += kBlock)
      total += IntBlock(a + i, n - i < kBlock ? n - i : kBlock);
    s = static_cast<double>(total);
  }
  for (; i < n; ++i) {
    const int32_t v = a[i];
    s += v == KT::iNil ? 0.0 : static_cast<double>(v);
  }
  return s;
}

double SumFlt(const double* a, int n) { return SumFltFrom(0.0, a, n); }

double SumFltFrom(double s0, const double* a, int n) {
  // The vector blocks are exact only from an integral start below 2^53.
  const bool exactStart = s0 == std::trunc(s0) && std::fabs(s0) < kExact;
  double total = exactStart ? s0 : 0, mag = exactStart ? std::fabs(s0) : 0;
  int i = 0;
  for (; exactStart && i < n; i += kBlock) {
    const int len = n - i < kBlock ? n - i : kBlock;
    double bs, bm;
    // A block's magnitude of 2^53 or more is computed as at least 2^53 in
    // any order (rounding is monotone), so the test never passes wrongly.
    if (!FltBlock(a + i, len, bs, bm) || !(mag + bm < kExact)) break;
    total += bs;
    mag += bm;
  }
  double s = exactStart ? total : s0;
  for (; i < n; ++i) {
    const double v = a[i];
    s += v == KT::fNil ? 0.0 : v;
  }
  return s;
}

namespace {
// The running sum's loop; with `out` null only the last value is kept (the
// plus reduction, whose nil rule gives the same values).
// From position i on, with `acc` the running value before it.
int32_t RunPlusFrom(int32_t* out, const int32_t* a, int i, int n, int32_t acc) {
  constexpr int kScanBlock = 1024;
  int32_t block[kScanBlock];
  while (i < n) {
    if (acc == KT::iNil) {  // a nil acc takes the element, nil or not
      acc = a[i];
      if (out) out[i] = acc;
      ++i;
      continue;
    }
    // From a non-nil acc the running values are acc plus the sums of the
    // non-nil elements, as long as none of them is the nil.
    const int len = n - i < kScanBlock ? n - i : kScanBlock;
    if (!ScanBlock(block, a + i, len, acc)) {
      if (out) std::memcpy(out + i, block, static_cast<size_t>(len) * sizeof(int32_t));
      acc = block[len - 1];
    } else {
      for (int k = i; k < i + len; ++k) {
        const int32_t e = a[k];
        if (e != KT::iNil)
          acc = acc == KT::iNil ? e
                                : static_cast<int32_t>(static_cast<uint32_t>(acc) + static_cast<uint32_t>(e));
        if (out) out[k] = acc;
      }
    }
    i += len;
  }
  return acc;
}

int32_t RunPlusInt(int32_t* out, const int32_t* a, int n) {
  const int32_t acc = a[0];
  if (out) out[0] = acc;
  return RunPlusFrom(out, a, 1, n, acc);
}
}  // namespace

void ScanPlusInt(int32_t* out, const int32_t* a, int n) {
  if (n >= 1) RunPlusInt(out, a, n);
}

int32_t ReducePlusInt(const int32_t* a, int n) { return RunPlusInt(nullptr, a, n); }

int32_t ReducePlusIntFrom(int32_t acc, const int32_t* a, int n) { return RunPlusFrom(nullptr, a, 0, n, acc); }

}  // namespace KSum
