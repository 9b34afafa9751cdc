// KOpsImage: serial images ("%->>", "%<<-"), representation and base
// conversion of numbers ("%<", "%>" dyadic), the default number format
// ("#FMT") and the collation tables ("#CSExact", "#CSTARQ").
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "KNum.h"
#include "KOps.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

// ==================================================================== images

KA& KOps::op252D3E3E(KA& a) {  // "%->>" serial out
  KA::SO(a);
  return a;
}

KA& KOps::op253C3C2D(KA& a) {  // "%<<-" serial in; a non-string: 15 "Not SI"
  KA::SI(a);
  return a;
}

// ==================================================================== representation and base
//
// "b %< n" (representation) writes each number of n as digits in the bases
// b; "b %> d" (base) reads digits d back as one number. The rules:
//  - Both operands are numeric ("Numeric only", 15 otherwise); the bases
//    are never empty and never nil ("Base", 15).
//  - Several bases are a mixed radix, most significant first (24 60 60 for
//    hours, minutes, seconds). Representation gives exactly one digit per
//    base, from the right: digit = n mod base (the floor modulo, so the
//    digit has the base's sign), n = (n - digit) / base; a base of 0 takes
//    all that is left. What does not fit in the leading digit is dropped
//    (10 10 %< 123 gives 2 3; negative numbers come out as complements:
//    10 10 10 %< _1 gives 9 9 9).
//  - One base b (a whole number of at least 2) gives as many digits as the
//    number needs, at least one: 10 %< 123 gives 1 2 3, 2 %< 0 gives 0. A
//    negative number gives the digits of its magnitude, each negated, so
//    10 %< _12 gives _1 _2 and reads back through "%>".
//  - A single number gives one digit vector; several numbers (or none) give
//    a sequence of digit vectors, one per number.
//  - Base: value = (...((d1 x b2 + d2) x b3 + d3) ...), Horner's rule with
//    the bases matched to the digits: one base serves every digit, one
//    digit is repeated to the bases' count, otherwise the counts must agree
//    (1 "Length"). A sequence of digit vectors gives one number for each.
//  - A nil number gives nil digits; a nil digit gives a nil number.
//  - Results are Int when every operand is Int and every result fits in an
//    Int (and is not the Int nil); otherwise Float.
namespace {

constexpr int kMaxDigits = 1100;  // a double in base 2 needs at most 1025

struct Numbers {
  std::vector<double> v;
  std::vector<bool> nil;
  bool ints = true;
};

Numbers NumbersOf(KB* x, const char* msg) {
  if (!x || x->typen() != KT::tNum) KTHROW(KT::eValue, msg);
  KNum* n = static_cast<KNum*>(x);
  Numbers r;
  r.ints = n->IsInt();
  const int c = n->Count();
  for (int i = 0; i < c; ++i) {
    const bool isNil = r.ints ? n->IntPtr()[i] == KT::iNil : n->FltPtr()[i] == KT::fNil;
    r.v.push_back(r.ints ? n->IntPtr()[i] : n->FltPtr()[i]);
    r.nil.push_back(isNil || !std::isfinite(r.v.back()));
  }
  return r;
}

Numbers BasesOf(KA& l) {
  Numbers b = NumbersOf(l.value, "Numeric only");
  if (b.v.empty()) KTHROW(KT::eValue, "Base");
  for (bool isNil : b.nil)
    if (isNil) KTHROW(KT::eValue, "Base");
  return b;
}

int64_t FloorMod(int64_t n, int64_t b) {
  int64_t d = n % b;
  return d != 0 && ((d < 0) != (b < 0)) ? d + b : d;
}
double FloorMod(double n, double b) {
  double d = std::fmod(n, b);
  return d != 0 && ((d < 0) != (b < 0)) ? d + b : d;
}
// (n - d) / b, which is a whole number: exact for integers, rounded for
// doubles so that rounding error cannot leave a fraction behind.
int64_t Quot(int64_t n, int64_t d, int64_t b) { return (n - d) / b; }
double Quot(double n, double d, double b) { return std::round((n - d) / b); }

template <class T>
std::vector<T> MixedDigits(T n, const std::vector<double>& bases) {
  std::vector<T> d(bases.size());
  for (size_t i = bases.size(); i-- > 0;) {
    const T b = static_cast<T>(bases[i]);
    if (b == 0) {
      d[i] = n;
      n = 0;
    } else {
      d[i] = FloorMod(n, b);
      n = Quot(n, d[i], b);
    }
  }
  return d;
}

template <class T>
std::vector<T> FreeDigits(T n, T b) {
  const bool neg = n < 0;
  T m = neg ? -n : n;
  std::vector<T> d;
  do {
    const T r = FloorMod(m, b);
    d.push_back(r);
    m = Quot(m, r, b);
  } while (m != 0 && static_cast<int>(d.size()) < kMaxDigits);
  std::reverse(d.begin(), d.end());
  if (neg)
    for (T& x : d) x = -x;
  return d;
}

KNum* IntDigits(const std::vector<int64_t>& d) {
  KNum* r = new KNum(KT::aInt, static_cast<int>(d.size()));
  for (size_t i = 0; i < d.size(); ++i) r->IntPtr()[i] = static_cast<int32_t>(d[i]);
  return r;
}
KNum* FloatDigits(const std::vector<double>& d) {
  KNum* r = new KNum(KT::aFloat, static_cast<int>(d.size()));
  for (size_t i = 0; i < d.size(); ++i) r->FltPtr()[i] = d[i];
  return r;
}

// The digit vector of one number (nil: nil digits).
KNum* Represent(double n, bool isNil, const Numbers& b, bool ints) {
  const bool one = b.v.size() == 1;
  if (isNil) return new KNum(ints ? KT::aInt : KT::aFloat, one ? 1 : static_cast<int>(b.v.size()));
  if (ints) {
    const int64_t x = static_cast<int64_t>(n);
    const std::vector<int64_t> d = one ? FreeDigits<int64_t>(x, static_cast<int64_t>(b.v[0])) : MixedDigits<int64_t>(x, b.v);
    // A base of 0 after a base of -1 can leave a digit beyond the Int range.
    if (std::all_of(d.begin(), d.end(), [](int64_t v) { return v > INT32_MIN && v < KT::iNil; })) return IntDigits(d);
    return FloatDigits(std::vector<double>(d.begin(), d.end()));
  }
  return FloatDigits(one ? FreeDigits<double>(n, b.v[0]) : MixedDigits<double>(n, b.v));
}

// One number from its digits (NaN stands for nil).
double Evaluate(const Numbers& d, const Numbers& b) {
  const size_t n = b.v.size() == 1 ? d.v.size() : b.v.size();
  if (d.v.size() != n && d.v.size() != 1) KTHROW(KT::eConformity, "Length");
  double v = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t di = d.v.size() == 1 ? 0 : i;
    if (d.nil[di]) return NAN;
    v = v * b.v[b.v.size() == 1 ? 0 : i] + d.v[di];
  }
  return v;
}

// Int arithmetic for the same rule, exact; false when a step leaves the
// Int range.
bool EvaluateInt(const Numbers& d, const Numbers& b, int32_t& out) {
  const size_t n = b.v.size() == 1 ? d.v.size() : b.v.size();
  int64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t base = static_cast<int64_t>(b.v[b.v.size() == 1 ? 0 : i]);
    const int64_t digit = static_cast<int64_t>(d.v[d.v.size() == 1 ? 0 : i]);
    if (__builtin_mul_overflow(v, base, &v) || __builtin_add_overflow(v, digit, &v)) return false;
  }
  if (v <= INT32_MIN || v >= KT::iNil) return false;
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

KA& KOps::op253C(KA& l, KA& r) {  // "%<" representation
  const Numbers b = BasesOf(l);
  const Numbers n = NumbersOf(r.value, "Numeric only");
  const bool ints = b.ints && n.ints;
  if (b.v.size() == 1 && (b.v[0] < 2 || b.v[0] != std::floor(b.v[0]))) KTHROW(KT::eValue, "Base");
  if (n.v.size() == 1) {
    l.Owns(Represent(n.v[0], n.nil[0], b, ints));
    return l;
  }
  KSeq* out = new KSeq();
  KA hold;
  hold.Owns(out);
  for (size_t i = 0; i < n.v.size(); ++i) out->AppendOwned(Represent(n.v[i], n.nil[i], b, ints));
  l = hold;
  return l;
}

KA& KOps::op253E(KA& l, KA& r) {  // "%>" base
  const Numbers b = BasesOf(l);
  std::vector<Numbers> digits;
  if (r.Is(KT::tSeq)) {
    KSeq* s = r.As<KSeq>();
    for (int i = 0; i < s->Count(); ++i) digits.push_back(NumbersOf(s->Slots()[i], "Numeric only"));
  } else {
    digits.push_back(NumbersOf(r.value, "Numeric only"));
  }
  // Int results when every operand is Int and every number fits; a nil
  // stays the Int nil.
  bool ints = b.ints;
  for (const Numbers& d : digits) ints = ints && d.ints;
  std::vector<double> fv;
  std::vector<int32_t> iv(digits.size(), KT::iNil);
  for (size_t i = 0; i < digits.size(); ++i) {
    fv.push_back(Evaluate(digits[i], b));
    if (ints && !std::isnan(fv[i])) ints = EvaluateInt(digits[i], b, iv[i]);
  }
  const int c = static_cast<int>(digits.size());
  KNum* res = new KNum(ints ? KT::aInt : KT::aFloat, c);
  for (int i = 0; i < c; ++i) {
    if (ints)
      res->IntPtr()[i] = iv[static_cast<size_t>(i)];
    else
      res->FltPtr()[i] = std::isnan(fv[static_cast<size_t>(i)]) ? KT::fNil : fv[static_cast<size_t>(i)];
  }
  l.Owns(res);
  return l;
}

// ==================================================================== formats

// The printf format the plain text form uses for the argument's elements:
// "%d" for an Int array, "%g" for everything else (Float is the default
// numeric element).
KA& KOps::opFMT(KA& a) {
  a.Owns(new KString(a.Is(KT::tNum) && a.Align() == KT::aInt ? "%d" : "%g"));
  return a;
}

KA& KOps::opFMT(KA&, KA&) { KTHROW(KT::eNotImpl, "opFmtDy"); }

// ==================================================================== collation tables
//
// "#CSExact" and "#CSTARQ" act on what the handle holds (a value reaches
// them through "=>"): nothing gives the current table as 256 Ints, Nil or
// an empty value restores the default, numbers set new weights, a string
// sets an order of characters; every other type raises 7 "Type". Setting
// returns the new table.
//  - The exact table stays a total order: numbers (up to 256, missing ones
//    the Int nil) are graded up, stably, and each character's weight is its
//    rank 0-255; a string's characters move, in order, before all others.
//  - The Tarq table carries ties (case and accents weigh the same) and the
//    ignorable weight 0, which ranks would lose or renumber: its 256 Int
//    weights are taken as given, so reading the table and setting it again
//    changes nothing. A string holding every character gives each the
//    position of its first occurrence among the distinct characters (the
//    first weighs 0 and is ignorable, as NUL is by default).
namespace {

KNum* TableAsInts(const int* t) {
  KNum* r = new KNum(KT::aInt, 256);
  std::copy(t, t + 256, r->IntPtr());
  return r;
}

// Nil, or a value of any kind without elements (an empty sequence too).
bool IsEmptyValue(KA& a) { return a.Is(KT::tNil) || a.Cnt() == 0; }

// table[c] = the rank of weight[c] in a stable ascending grade.
void RankInto(int* table, const std::vector<double>& weight) {
  std::vector<int> order(256);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int x, int y) { return weight[static_cast<size_t>(x)] < weight[static_cast<size_t>(y)]; });
  for (int k = 0; k < 256; ++k) table[order[static_cast<size_t>(k)]] = k;
}

// The weights a Num gives: up to 256 (more are ignored), missing ones the
// Int nil, so they order last.
std::vector<double> WeightsOf(KNum* n) {
  std::vector<double> w(256, static_cast<double>(KT::iNil));
  const int c = std::min(n->Count(), 256);
  for (int i = 0; i < c; ++i) {
    if (n->IsInt())
      w[static_cast<size_t>(i)] = n->IntPtr()[i];
    else
      w[static_cast<size_t>(i)] = n->FltPtr()[i] == KT::fNil ? static_cast<double>(KT::iNil) : n->FltPtr()[i];
  }
  return w;
}

// For each character, the number of distinct characters before its first
// occurrence in s; -1 when it does not occur.
std::vector<int> FirstOccurrenceRanks(const std::string& s) {
  std::vector<int> r(256, -1);
  int next = 0;
  for (char ch : s) {
    int& slot = r[static_cast<unsigned char>(ch)];
    if (slot < 0) slot = next++;
  }
  return r;
}

// Exact table from a string: its characters first, in the order of their
// first occurrence, then all others in their present order.
void ExactFromString(const std::string& s) {
  std::vector<double> w(256);
  for (int c = 0; c < 256; ++c) w[static_cast<size_t>(c)] = 256.0 + KT::CSExact[c];
  const std::vector<int> first = FirstOccurrenceRanks(s);
  for (int c = 0; c < 256; ++c)
    if (first[static_cast<size_t>(c)] >= 0) w[static_cast<size_t>(c)] = first[static_cast<size_t>(c)];
  RankInto(KT::CSExact, w);
}

void TARQFromNumbers(KNum* n) {
  if (n->Count() != 256 || !n->IsInt()) KTHROW(KT::eValue, "Need 256 integers");
  const int32_t* w = n->IntPtr();
  if (std::find(w, w + 256, KT::iNil) != w + 256) KTHROW(KT::eValue, "Need 256 integers");
  std::copy(w, w + 256, KT::CSTARQ);
}

void TARQFromString(const std::string& s) {
  const std::vector<int> first = FirstOccurrenceRanks(s);
  if (std::find(first.begin(), first.end(), -1) != first.end()) KTHROW(KT::eValue, "Need all chars");
  std::copy(first.begin(), first.end(), KT::CSTARQ);
}

}  // namespace

KA& KOps::opCSExact_N(KA& r) {
  if (!r.Is(KT::tNV)) {
    if (IsEmptyValue(r))
      std::copy(KT::CSExactDefault, KT::CSExactDefault + 256, KT::CSExact);
    else if (r.Is(KT::tNum))
      RankInto(KT::CSExact, WeightsOf(r.As<KNum>()));
    else if (r.Is(KT::tString))
      ExactFromString(r.As<KString>()->Value());
    else
      KTHROW(KT::eNotSupp, "Type");
    ++KT::CollationEpoch;
  }
  r.Owns(TableAsInts(KT::CSExact));
  return r;
}

KA& KOps::opCSTARQ_N(KA& r) {
  if (!r.Is(KT::tNV)) {
    if (IsEmptyValue(r))
      std::copy(KT::CSTARQDefault, KT::CSTARQDefault + 256, KT::CSTARQ);
    else if (r.Is(KT::tNum))
      TARQFromNumbers(r.As<KNum>());
    else if (r.Is(KT::tString))
      TARQFromString(r.As<KString>()->Value());
    else
      KTHROW(KT::eNotSupp, "Type");
    ++KT::CollationEpoch;
  }
  r.Owns(TableAsInts(KT::CSTARQ));
  return r;
}
