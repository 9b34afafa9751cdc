// KSum: the plus reduction of numeric elements at memory speed with the
// exact result of the sequential loop. The language's sum of Int or Float
// elements is `s = 0.0; for each non-nil x: s += x` in that order; these
// functions return that double bit for bit. Blocks of elements whose sum
// is provably exact (integers whose partial sums stay below 2^53 in
// magnitude: every partial sum is then an exactly representable integer,
// in any order of adding) are added in vector registers; from the first
// block where that cannot be shown the sequential loop takes over with the
// exact running value.
#pragma once
#include <cstdint>

namespace KSum {

// Sum of the non-nil elements (the Int nil counts as 0).
double SumInt(const int32_t* a, int n);
// Sum of the non-nil elements (the Float nil counts as 0).
double SumFlt(const double* a, int n);
// The same loops continued from a running sum `s` (the value the loop held
// before a[0]): SumInt(a, n) is SumIntFrom(0.0, a, n), and a sum cut into
// consecutive pieces, each continued from the last, is the whole sum.
double SumIntFrom(double s, const int32_t* a, int n);
double SumFltFrom(double s, const double* a, int n);

// The running sum of Int elements in 32-bit wrap-around, with the scan
// loop's nil rule (KOpsLoops.h): acc = a[0]; a nil element repeats acc; a
// nil acc takes the element; else acc + element. A running value that
// wraps onto the Int nil is a nil acc like any other. `out` may be `a`.
void ScanPlusInt(int32_t* out, const int32_t* a, int n);
// The plus reduction of the element loops (KLoop::Reduce with wrap-around
// and its nil rule): the running sum's last value. n >= 1.
int32_t ReducePlusInt(const int32_t* a, int n);
// The running sum's last value continued from the running value `acc`
// (the value held before a[0]); n >= 0.
int32_t ReducePlusIntFrom(int32_t acc, const int32_t* a, int n);

}  // namespace KSum
