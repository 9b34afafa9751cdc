// KOpsStruct: structural and selection operators (shape, catenation and
// exposure, take, enclose and disclose, depth, without, flip and endian,
// index-of and indices-of, grade and sort) and the clock constructors,
// with the shared grade, compare and search algorithms.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KBit.h"
#include "KClock.h"
#include "KDict.h"
#include "KGREP.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {
// Applies a monadic form to every element of the sequence `a` holds; `a`
// receives the sequence of the results.
KA& EachElement(KA& a, KOps::FnM f) {
  KB::NestGuard guard;  // f may come back here for nested elements
  KSeq* s = a.As<KSeq>();
  KSeq* out = new KSeq();
  KA hold;
  hold.Owns(out);
  out->addSlots(s->Count());
  for (int i = 0; i < s->Count(); ++i) {
    KA e(s->Slots()[i]);
    f(e);
    out->AppendRef(e.value);
  }
  a = hold;
  return a;
}
}  // namespace

namespace {
bool IsSeqType(KT::KTO t) { return t == KT::tSeq || t == KT::tSeqEa; }
bool IsListType(KT::KTO t) { return IsSeqType(t) || t == KT::tFL; }

// The first element of a numeric (or bit) right argument as an Int;
// anything else raises 15 with `msg`.
int IntArg(KA& r, const char* msg) {
  if (r.Is(KT::tNum)) return r.As<KNum>()->AsInt();
  if (r.Is(KT::tBit)) return r.As<KBit>()->BitGet(0) ? 1 : 0;
  KTHROW(KT::eValue, msg);
}

// A new Int vector adopting the given positions.
KNum* IntVector(const std::vector<int32_t>& v) {
  const int n = static_cast<int>(v.size());
  void* data = KB::AllocData(KB::StorageBytes(KT::aInt, n), false);
  if (n) std::memcpy(data, v.data(), v.size() * sizeof(int32_t));
  return new KNum(data, KT::aInt, n, n);
}

// Joins the plain text forms of a sequence's elements into one string.
void JoinTexts(KA& a) {
  if (!IsSeqType(a.Type())) return;
  KSeq* s = a.As<KSeq>();
  std::string out;
  for (int i = 0; i < s->Count(); ++i) out += s->Slots()[i]->AsString(false);
  a.Owns(new KString(out));
}

// Exposure: the elements joined with the separators (element i of `seps`
// between elements at nesting level i) into one string.
void Expose(KA& a, KA& seps) {
  if (!IsSeqType(a.Type())) KA::Enclose(a);
  if (!IsSeqType(seps.Type())) KA::Enclose(seps);
  KA::ExposeSep(a, seps, 0);
  JoinTexts(a);
}

void ExposeWith(KA& a, std::initializer_list<const char*> seps) {
  KSeq* list = new KSeq();
  KA s;
  s.Owns(list);
  for (const char* sep : seps) list->AppendOwned(new KString(sep));
  Expose(a, s);
}

int CompareDepth(KB* a, KB* b, int depth);

int CompareSeq(KSeq* a, KSeq* b, int depth) {
  const int n = std::min(a->Count(), b->Count());
  for (int i = 0; i < n; ++i) {
    int d = CompareDepth(a->Slots()[i], b->Slots()[i], depth + 1);
    if (d != 0) return d;
  }
  return a->Count() - b->Count();
}

int CompareDepth(KB* a, KB* b, int depth) {
  if (depth > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
  KB::WalkStep();
  int d = static_cast<int>(a->typen()) - static_cast<int>(b->typen());
  if (d != 0) return d;
  if (a == b) return 0;
  switch (a->typen()) {
    case KT::tBit:
      return static_cast<KBit*>(a)->Compare(b);
    case KT::tNum:
      return static_cast<KNum*>(a)->Compare(b);
    case KT::tString:
      return static_cast<KString*>(a)->Compare(b, false);
    case KT::tSeq:
    case KT::tSeqEa:
      return CompareSeq(static_cast<KSeq*>(a), static_cast<KSeq*>(b), depth);
    default:
      return KA::Compare(a, b);
  }
}

// Positions of `left`'s elements sorted under KOps::Compare (stable, so
// equal elements keep their order).
std::vector<int> SortedPositions(KSeq* s) {
  std::vector<int> p(static_cast<size_t>(s->Count()));
  for (int i = 0; i < s->Count(); ++i) p[static_cast<size_t>(i)] = i;
  std::stable_sort(p.begin(), p.end(),
                   [s](int x, int y) { return KOps::Compare(s->Slots()[x], s->Slots()[y]) < 0; });
  return p;
}

// Whether `e` equals some element of `set` under the rule of "without":
// strings by the string comparison, everything else by value equality.
bool InSet(KB* e, const std::vector<KB*>& set) {
  for (KB* r : set) {
    if (e->typen() == KT::tString && r->typen() == KT::tString) {
      if (static_cast<KString*>(e)->Compare(r) == 0) return true;
    } else if (KA::EQ(e, r)) {
      return true;
    }
  }
  return false;
}
}  // namespace

// ---------------------------------------------------------------------------
// Shared algorithms.

// Grade. Numbers (Int and Float, clocks too) are graded by an LSD radix
// sort over keys whose unsigned order is the numbers' order; every other
// kind by a stable merge sort under the type's element comparison, which
// answers "i sorts after j" with ties ordered by position. Both give the
// one order where ties keep their positions, up and down.
namespace {
// Order-preserving keys: the Int with its sign bit flipped; the Float's bit
// pattern with all bits flipped when negative, else the sign bit set (-0
// is made +0 first, so the two zeros tie). Every NaN, whatever its sign,
// takes the largest key: NaNs tie and sort after every number and the nil,
// as dictionaries order them. A grade down complements the keys, so the
// stable passes still keep ties in position order.
uint32_t IntKey(int32_t v) { return static_cast<uint32_t>(v) ^ 0x80000000u; }
uint64_t FltKey(double v) {
  if (std::isnan(v)) return ~uint64_t{0};
  if (v == 0) v = 0;
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return (b >> 63) ? ~b : (b | (uint64_t{1} << 63));
}

// Stable LSD radix sort of (key, position) pairs by 11-bit digits; a pass
// whose digit is the same for every key is skipped.
template <class Key>
void RadixSortPairs(std::vector<std::pair<Key, int32_t>>& v) {
  constexpr int kBits = 11, kRadix = 1 << kBits;
  const size_t n = v.size();
  std::vector<std::pair<Key, int32_t>> tmp(n);
  std::vector<size_t> count(kRadix);
  for (int shift = 0; shift < static_cast<int>(sizeof(Key) * 8); shift += kBits) {
    std::fill(count.begin(), count.end(), 0);
    for (const auto& e : v) ++count[(e.first >> shift) & (kRadix - 1)];
    if (count[(v[0].first >> shift) & (kRadix - 1)] == n) continue;
    size_t sum = 0;
    for (size_t& c : count) {
      const size_t k = c;
      c = sum;
      sum += k;
    }
    for (const auto& e : v) tmp[count[(e.first >> shift) & (kRadix - 1)]++] = e;
    v.swap(tmp);
  }
}

template <class Key, class T, class KeyOf>
void RadixGrade(const T* a, int n, bool up, KeyOf keyOf, int32_t* out) {
  std::vector<std::pair<Key, int32_t>> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const Key k = keyOf(a[i]);
    v[static_cast<size_t>(i)] = {up ? k : static_cast<Key>(~k), i};
  }
  RadixSortPairs(v);
  for (int i = 0; i < n; ++i) out[i] = v[static_cast<size_t>(i)].second;
}

// Stable merge sort of positions under before(x, y). Only positions inside
// the range are ever read, whatever the comparison answers.
template <class Before>
void MergeSort(int32_t* p, int32_t* buf, int n, Before before) {
  constexpr int kRun = 16;
  for (int lo = 0; lo < n; lo += kRun) {  // insertion sort of short runs
    const int hi = std::min(n, lo + kRun);
    for (int i = lo + 1; i < hi; ++i) {
      const int32_t x = p[i];
      int j = i;
      while (j > lo && before(x, p[j - 1])) {
        p[j] = p[j - 1];
        --j;
      }
      p[j] = x;
    }
  }
  for (int width = kRun; width < n; width *= 2) {
    for (int lo = 0; lo < n; lo += 2 * width) {
      const int mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
      int i = lo, j = mid, k = lo;
      while (i < mid && j < hi) buf[k++] = before(p[j], p[i]) ? p[j++] : p[i++];
      while (i < mid) buf[k++] = p[i++];
      while (j < hi) buf[k++] = p[j++];
    }
    std::copy(buf, buf + n, p);
  }
}

}  // namespace

// 0-based grade of n >= 2 elements into out. A value already in order (ties
// in position order) grades to the start permutation without sorting.
static void GradeInto(KB* v, bool up, int32_t* out) {
  const int n = v->Count();
  KB::QSLess cmp = nullptr;
  void* ctx = v;
  switch (v->typen()) {
    case KT::tNum:
    case KT::tClock:
      if (v->alignmentn() == KT::aInt) {
        RadixGrade<uint32_t>(static_cast<const int32_t*>(v->descriptor->data), n, up, IntKey, out);
        return;
      }
      if (v->alignmentn() != KT::aFloat) KTHROW(KT::eNotSupp, "type");
      RadixGrade<uint64_t>(static_cast<const double*>(v->descriptor->data), n, up, FltKey, out);
      return;
    case KT::tSeq:
    case KT::tSeqEa:
      cmp = v->exact ? &KSeq::GTQSExact : &KSeq::GTQSTARQ;
      break;
    case KT::tString:  // the comparators read the characters
      cmp = v->exact ? &KString::GTQSExact : &KString::GTQSTARQ;
      ctx = const_cast<char*>(static_cast<KString*>(v)->Str());
      break;
    default:
      KTHROW(KT::eNotSupp, "type");
  }
  for (int i = 0; i < n; ++i) out[i] = i;
  // x before y: up, y sorts after x; down, x sorts after y.
  auto before = [cmp, ctx, up](int32_t x, int32_t y) { return up ? cmp(ctx, y, x, true) : cmp(ctx, x, y, false); };
  bool ordered = true;
  for (int k = 0; k + 1 < n && ordered; ++k) ordered = !before(out[k + 1], out[k]);
  if (ordered) return;
  std::vector<int32_t> buf(static_cast<size_t>(n));
  MergeSort(out, buf.data(), n, before);
}

// The counts decide before the type: any value of no element grades to an
// empty number and any value of one element to the Int 1.
void KOps::Grade(KA& value, bool up) {
  KB* v = value.value;
  const int n = v->Count();
  if (n == 0) {
    value.Owns(new KNum());
    return;
  }
  if (n == 1) {
    value = 1;
    return;
  }
  const KT::KTO t = v->typen();
  // Clock, Num, Seq and String values are graded; a bit vector, like every
  // other type, is not.
  if (t != KT::tNum && t != KT::tClock && t != KT::tSeq && t != KT::tSeqEa && t != KT::tString)
    KTHROW(KT::eNotSupp, "type");
  if ((t == KT::tNum || t == KT::tClock) && v->alignmentn() != KT::aInt && v->alignmentn() != KT::aFloat)
    KTHROW(KT::eNotSupp, "type");
  KNum* g = new KNum(KT::aInt, n);
  KA hold;
  hold.Owns(g);
  int32_t* d = g->IntPtr();
  GradeInto(v, up, d);
  for (int i = 0; i < n; ++i) ++d[i];
  value = hold;
}

int KOps::Compare(KB* a, KB* b) { return CompareDepth(a, b, 0); }

int KOps::IndexOf(KB* left, KB* right, bool) {
  if (!IsListType(left->typen())) KTHROW(KT::eNotSupp, "Type");
  KSeq* s = static_cast<KSeq*>(left);
  for (int i = 0; i < s->Count(); ++i) {
    KB* e = s->Slots()[i];
    if (e->typen() == right->typen() && Compare(e, right) == 0) return i + 1;
  }
  return 0;
}

void KOps::IndexOf(KA& left, KA& right, bool sorted) {
  if (!IsListType(left.Type())) KTHROW(KT::eNotSupp, "Type");
  if (!IsListType(right.Type())) {
    left = IndexOf(left.value, right.value, false);
    return;
  }
  KSeq* l = left.As<KSeq>();
  KSeq* r = right.As<KSeq>();
  std::vector<int32_t> out(static_cast<size_t>(r->Count()), 0);
  if (!sorted) {
    for (int j = 0; j < r->Count(); ++j) out[static_cast<size_t>(j)] = IndexOf(l, r->Slots()[j], false);
  } else {
    // Merge of the two sorted orders; the stable sort of the left puts the
    // first of equal elements first.
    std::vector<int> pl = SortedPositions(l), pr = SortedPositions(r);
    size_t i = 0;
    for (int j : pr) {
      KB* key = r->Slots()[j];
      while (i < pl.size() && Compare(l->Slots()[pl[i]], key) < 0) ++i;
      if (i < pl.size() && Compare(l->Slots()[pl[i]], key) == 0) out[static_cast<size_t>(j)] = pl[i] + 1;
    }
  }
  left.Owns(IntVector(out));
}

void KOps::IndicesOf(KA& left, KA& right, bool) {
  if (!IsListType(left.Type())) KTHROW(KT::eNotSupp, "Type");
  KSeq* l = left.As<KSeq>();
  auto positions = [l](KB* key) {
    std::vector<int32_t> p;
    for (int i = 0; i < l->Count(); ++i) {
      KB* e = l->Slots()[i];
      if (e->typen() == key->typen() && KOps::Compare(e, key) == 0) p.push_back(i + 1);
    }
    return IntVector(p);
  };
  if (!IsListType(right.Type())) {
    left.Owns(positions(right.value));
    return;
  }
  KSeq* r = right.As<KSeq>();
  KSeq* out = new KSeq();
  KA hold;
  hold.Owns(out);
  out->addSlots(r->Count());
  for (int j = 0; j < r->Count(); ++j) out->AppendOwned(positions(r->Slots()[j]));
  left = hold;
}

void KOps::Without(KA& left, KA& right, bool) {
  if (!IsSeqType(left.Type())) KTHROW(KT::eNotSupp, "Type");
  std::vector<KB*> set;
  if (IsSeqType(right.Type())) {
    KSeq* r = right.As<KSeq>();
    for (int i = 0; i < r->Count(); ++i)
      if (r->Slots()[i]->typen() != KT::tNV) set.push_back(r->Slots()[i]);
  } else if (!right.Is(KT::tNV)) {
    set.push_back(right.value);
  }
  KSeq* l = left.As<KSeq>();
  KSeq* out = new KSeq(l->typen());
  KA hold;
  hold.Owns(out);
  for (int i = 0; i < l->Count(); ++i)
    if (!InSet(l->Slots()[i], set)) out->AppendRef(l->Slots()[i]);
  out->exact = l->exact;
  left = hold;
}

// ---------------------------------------------------------------------------
// Shape and count.

// "%%" monadic: the Int element count.
KA& KOps::op2525(KA& a) {
  a = a.Cnt();
  return a;
}

// "%%" dyadic: the left reshaped to the length the right gives (coerced to
// Int: a string is read as a number; other types raise the coercion's error).
// A string whose first field is no number is refused as a type: read as a
// number it would be the nil count.
KA& KOps::op2525(KA& left, KA& right) {
  const KT::KTO t = left.Type();
  if (t != KT::tNum && t != KT::tBit && !IsSeqType(t) && t != KT::tString) KTHROW(KT::eNotSupp, "Type");
  if (right.Is(KT::tString) && right.Cnt() > 0) {
    const KString* s = right.As<KString>();
    int length = s->Len(), ival = 0;
    double dval = 0;
    KT::KAL align = KT::aNone;
    KNum::nextNumField(length, s->Str(), ival, dval, align);
    if (align != KT::aInt && align != KT::aFloat) KTHROW(KT::eNotSupp, "R Type");
  }
  if (!right.Is(KT::tNum) && !right.Is(KT::tBit)) right.CoerceTo(KT::tNum, KT::aInt);
  const int n = IntArg(right, "R Type");
  // The nil count (the largest Int) asks for more elements than any value
  // may hold, as numbers and bits refuse elsewhere.
  if (n > 0x7FFFFFF0) KTHROW(KT::eSystem, "Out of memory");
  switch (t) {
    case KT::tNum:
      left.Owns(left.As<KNum>()->Reshape(n));
      break;
    case KT::tBit:
      left.Owns(left.As<KBit>()->Reshape(n));
      break;
    case KT::tSeq:
    case KT::tSeqEa:
      left.Owns(left.As<KSeq>()->Reshape(n));
      break;
    default:  // a string
      left.Owns(left.As<KString>()->Reshape(n));
      break;
  }
  return left;
}

// "#" monadic: the Int element (or entry) count.
KA& KOps::op23(KA& a) {
  if (KDict::IsDictType(a.Type())) {
    a = a.As<KDict>()->Size();
    return a;
  }
  a = a.Cnt();
  return a;
}

// ---------------------------------------------------------------------------
// Catenation and exposure.

KA& KOps::op2C(KA& a) {
  KA::Ravel(a);
  return a;
}

KA& KOps::op2C(KA& left, KA& right) {
  KA::Catenate(left, right);
  return left;
}

// ",," monadic: words joined by blanks, nested lists by line ends.
KA& KOps::op2C2C(KA& a) {
  ExposeWith(a, {" ", "\r\n", "\r\n\r\n"});
  return a;
}

// ",," dyadic: joined with the right as separator (list).
KA& KOps::op2C2C(KA& left, KA& right) {
  Expose(left, right);
  return left;
}

// ",,\" monadic: lines joined by line ends, nested lists by blank lines.
KA& KOps::op2C2C5C(KA& a) {
  ExposeWith(a, {"\r\n", "\r\n\r\n"});
  return a;
}

// ---------------------------------------------------------------------------
// Take: count 1 for the monadic forms, else the right; "front" keeps the
// start; "edge" fills with the edge element instead of the default.

KA& KOps::op3C2D(KA& a) {
  KA::Take(a, 1, true, false);
  return a;
}
KA& KOps::op3C2D(KA& left, KA& right) {
  KA::Take(left, right, true, false);
  return left;
}
KA& KOps::op3C2D2A(KA& left, KA& right) {
  KA::Take(left, right, true, true);
  return left;
}
KA& KOps::op2D3E(KA& a) {
  KA::Take(a, 1, false, false);
  return a;
}
KA& KOps::op2D3E(KA& left, KA& right) {
  KA::Take(left, right, false, false);
  return left;
}
KA& KOps::op2A2D3E(KA& left, KA& right) {
  KA::Take(left, right, false, true);
  return left;
}

// ---------------------------------------------------------------------------
// Nesting.

KA& KOps::op3E(KA& a) {
  KA::Enclose(a);
  return a;
}
KA& KOps::op3C(KA& a) {
  KA::Disclose(a, false);
  return a;
}
KA& KOps::op2A2A(KA& a) {
  a = KSeq::Depth(a.value);
  return a;
}

// ---------------------------------------------------------------------------
// Without.

// "~" monadic: bits negated; a string without blanks (a string of "0" and
// "1" characters stays a string); a sequence without its Nil elements.
// Numbers are refused like every other type ("~|" drops their zeros).
KA& KOps::op7E(KA& a) {
  switch (a.Type()) {
    case KT::tBit:
      a.Owns(a.As<KBit>()->Not());
      return a;
    case KT::tString: {
      KA blank(" ");
      return op7E(a, blank);
    }
    case KT::tSeq:
    case KT::tSeqEa: {
      KA nil;
      nil.Owns(new KNil());
      return op7E(a, nil);
    }
    default:
      KTHROW(KT::eNotSupp, "Left type");
  }
}

// "~" dyadic: the left without the elements (or names) the right gives.
KA& KOps::op7E(KA& left, KA& right) {
  switch (left.Type()) {
    case KT::tCV:
      left.Owns(left.As<KCV>()->Without(right.value));
      break;
    case KT::tNS:
      left.Owns(left.As<KNS>()->Without(right.value));
      break;
    case KT::tNum:  // a number without I or F elements has nothing to remove
      if (KNum* rest = left.As<KNum>()->Without(right.value)) left.Owns(rest);
      break;
    case KT::tSeq:
    case KT::tSeqEa:
      Without(left, right, false);
      break;
    case KT::tString:
      left.Owns(left.As<KString>()->Without(right.value));
      break;
    case KT::tRS:
      left.Owns(left.As<KRS>()->Without(right.value));
      break;
    case KT::tDict: case KT::tIdx: case KT::tSet: case KT::tBag:  // removes in place
      left.As<KDict>()->Without(right.value);
      break;
    default:
      KTHROW(KT::eNotSupp, "Left type");
  }
  return left;
}

// ---------------------------------------------------------------------------
// Flip and endian.

KA& KOps::op3E253C(KA& a) {
  switch (a.Type()) {
    case KT::tNum:
      a.Owns(a.As<KNum>()->Flip());
      break;
    case KT::tBit:
      a.Owns(a.As<KBit>()->Flip());
      break;
    case KT::tSeq:
    case KT::tSeqEa:
      a.Owns(a.As<KSeq>()->Flip());
      break;
    case KT::tString:
      a.Owns(a.As<KString>()->Flip());
      break;
    case KT::tNil:
      break;
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
  return a;
}

// "Endian": the bytes of each word of w (2, 4 or 8) bytes reversed; the
// length is rounded up to whole words, a partial last word becoming zero
// bytes. Bits are packed bytes treated the same way (8 bits per byte).
KA& KOps::op3E253C(KA& left, KA& right) {
  const int w = IntArg(right, "R Type");
  const bool isBit = left.Is(KT::tBit);
  if (!isBit && !left.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type");
  if (w != 2 && w != 4 && w != 8) return left;
  const int n = isBit ? KB::LenBitsInChars(left.Cnt()) : left.Cnt();
  const unsigned char* src = isBit ? left.As<KBit>()->Bytes()
                                   : reinterpret_cast<const unsigned char*>(left.As<KString>()->Str());
  const int whole = n / w, m = (n + w - 1) / w * w;
  std::string out(static_cast<size_t>(m), '\0');
  for (int k = 0; k < whole; ++k)
    for (int j = 0; j < w; ++j) out[static_cast<size_t>(k * w + j)] = static_cast<char>(src[k * w + w - 1 - j]);
  if (isBit) {
    char* bytes = static_cast<char*>(KB::AllocData(KB::StorageBytes(KT::aBit, m * 8), true));
    std::memcpy(bytes, out.data(), out.size());
    left.Owns(new KBit(bytes, m * 8, 0));
  } else {
    left.Owns(new KString(out));
  }
  return left;
}

// ---------------------------------------------------------------------------
// Search.

// "`" monadic: the first set bit of a bit vector; for a number n the range
// 1 .. n (so 0 gives 1 0 and a nil count the Nil value); a numeric vector
// or a sequence gives a sequence, one result per element.
KA& KOps::op60(KA& a) {
  switch (a.Type()) {
    case KT::tBit:
      a = a.As<KBit>()->ToIndex();
      return a;
    case KT::tNum: {
      KNum* v = a.As<KNum>();
      auto iota = [](KA& count) -> KA& {
        KA one(1);
        op2E2E(one, count);
        count = one;
        return count;
      };
      if (v->Count() <= 1) return iota(a);
      KSeq* out = new KSeq();
      KA hold;
      hold.Owns(out);
      out->addSlots(v->Count());
      for (int i = 0; i < v->Count(); ++i) {
        KA one;
        one.Owns(v->IndexedBy(i));
        out->AppendRef(iota(one).value);
      }
      a = hold;
      return a;
    }
    case KT::tSeq:
    case KT::tSeqEa:
      return EachElement(a, static_cast<KOps::FnM>(&KOps::op60));
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

// "`" dyadic: positions of the right in the left, by the left's type.
KA& KOps::op60(KA& left, KA& right) {
  switch (left.Type()) {
    case KT::tBit: {
      if (!right.Is(KT::tBit)) right.CoerceTo(KT::tBit, KT::aBit);
      KBit* r = right.As<KBit>();
      if (r->Count() == 0) {
        left.Owns(new KNum());
        return left;
      }
      const bool want = r->BitGet(0);
      KBit* l = left.As<KBit>();
      int pos = 0;
      for (int i = 0; i < l->Count() && pos == 0; ++i)
        if (l->BitGet(i) == want) pos = i + 1;
      left = pos;
      return left;
    }
    case KT::tSeq:
    case KT::tSeqEa:
    case KT::tFL:
      IndexOf(left, right, false);
      return left;
    case KT::tNum:
      left.Owns(left.As<KNum>()->IndexOf(right.value));
      return left;
    case KT::tString:
      if (right.Is(KT::tGREP)) {  // the first match of the pattern
        left.Owns(right.As<KGREP>()->IndexOf(left.value));
        return left;
      }
      left.Owns(left.As<KString>()->IndexOf(right.value));
      return left;
    case KT::tRS:
      KTHROW(KT::eNotSupp, "RS");
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

// "``" monadic: the 1-based positions of the set bits (other values are
// read as bits first).
KA& KOps::op6060(KA& a) {
  if (!a.Is(KT::tBit)) a.CoerceTo(KT::tBit, KT::aBit);
  int n = 0;
  a.Owns(a.As<KBit>()->ToIndices(n));
  return a;
}

// "``" dyadic: for each right element every position where it occurs; in
// a string, the positions of any of the right's characters.
KA& KOps::op6060(KA& left, KA& right) {
  switch (left.Type()) {
    case KT::tNum: {
      const bool numeric = right.Is(KT::tNum);
      const int m = right.Cnt();
      KSeq* out = new KSeq();
      KA hold;
      hold.Owns(out);
      out->addSlots(m);
      if (!numeric) {
        for (int j = 0; j < m; ++j) out->AppendOwned(new KNum(static_cast<int32_t>(0)));
      } else {
        KNum::ConformAlign(left.value, right.value);
        KNum* r = right.As<KNum>();
        for (int j = 0; j < m; ++j) {
          KA key;
          key.Owns(r->IndexedBy(j));
          int n = 0;
          out->AppendOwned(left.As<KNum>()->IndicesOf(key.value, n));
        }
      }
      left = hold;
      return left;
    }
    case KT::tSeq:
    case KT::tSeqEa:
    case KT::tFL:
      IndicesOf(left, right, false);
      return left;
    case KT::tString:  // a pattern: its match positions; else any of the characters
      if (right.Is(KT::tGREP)) return op606026(left, right);
      return op60607C(left, right);
    default:
      KTHROW(KT::eNotSupp, "Left type");
  }
}

// ---------------------------------------------------------------------------
// Grade and sort.

KA& KOps::op60603E(KA& a) {
  Grade(a, true);
  return a;
}
KA& KOps::op60603C(KA& a) {
  Grade(a, false);
  return a;
}

namespace {
// An Int number sorted by value: the radix passes move the values
// themselves (equal Ints are indistinguishable, so no positions are kept).
bool SortInts(KA& a, bool up) {
  if (!a.Is(KT::tNum) || a.Align() != KT::aInt || a.Cnt() < 2) return false;
  const int n = a.Cnt();
  const int32_t* src = a.As<KNum>()->IntPtr();
  const uint32_t flip = up ? 0x80000000u : 0x7FFFFFFFu;  // key = v ^ flip
  std::vector<uint32_t> keys(static_cast<size_t>(n)), tmp(static_cast<size_t>(n));
  bool ordered = true;
  for (int i = 0; i < n; ++i) {
    keys[static_cast<size_t>(i)] = static_cast<uint32_t>(src[i]) ^ flip;
    ordered = ordered && (i == 0 || keys[static_cast<size_t>(i - 1)] <= keys[static_cast<size_t>(i)]);
  }
  if (!ordered) {
    constexpr int kBits = 11, kRadix = 1 << kBits;
    std::vector<size_t> count(kRadix);
    for (int shift = 0; shift < 32; shift += kBits) {
      std::fill(count.begin(), count.end(), 0);
      for (uint32_t k : keys) ++count[(k >> shift) & (kRadix - 1)];
      if (count[(keys[0] >> shift) & (kRadix - 1)] == static_cast<size_t>(n)) continue;
      size_t sum = 0;
      for (size_t& c : count) {
        const size_t k = c;
        c = sum;
        sum += k;
      }
      for (uint32_t k : keys) tmp[count[(k >> shift) & (kRadix - 1)]++] = k;
      keys.swap(tmp);
    }
  }
  KNum* r = new KNum(KT::aInt, n);
  int32_t* d = r->IntPtr();
  for (int i = 0; i < n; ++i) d[i] = static_cast<int32_t>(keys[static_cast<size_t>(i)] ^ flip);
  const uint8_t exact = a.value->exact;
  a.Owns(r);
  a.value->exact = exact;
  return true;
}
}  // namespace

// Sorts keep the value's collation flag.
KA& KOps::op3E3E3E(KA& a) {
  if (SortInts(a, true)) return a;
  KA grade(a);
  Grade(grade, true);
  const uint8_t exact = a.value->exact;
  KA::IndexedBy(a, grade);
  a.value->exact = exact;
  return a;
}
KA& KOps::op3C3C3C(KA& a) {
  if (SortInts(a, false)) return a;
  KA grade(a);
  Grade(grade, false);
  const uint8_t exact = a.value->exact;
  KA::IndexedBy(a, grade);
  a.value->exact = exact;
  return a;
}

// ---------------------------------------------------------------------------
// Clocks.

// "#CLOCK" niladic and "!" niladic: the current local date and time.
KA& KOps::opCLOCK_N(KA& r) {
  r.Owns(new KClock());
  return r;
}
KA& KOps::op21_N(KA& r) {
  r.Owns(new KClock());
  return r;
}

// "#CLOCK" monadic: a clock from day counts (Clock, Num), from a date text
// (its numbers in the order year, month, day, hour, minute, second,
// millisecond; missing time parts are 0), or element by element from a
// sequence.
KA& KOps::opCLOCK(KA& a) {
  switch (a.Type()) {
    case KT::tClock:
    case KT::tNum:
      a.Owns(new KClock(a.value));
      return a;
    case KT::tString: {
      const char* p = a.As<KString>()->Str();
      std::vector<int32_t> parts;
      for (const char* q = p; *q && parts.size() < 7;) {
        if (*q >= '0' && *q <= '9') {
          int32_t v = 0;
          for (; *q >= '0' && *q <= '9'; ++q) v = v < 100000000 ? v * 10 + (*q - '0') : v;
          parts.push_back(v);
        } else {
          ++q;
        }
      }
      if (parts.empty()) KTHROW(KT::eValue, "Invalid date");
      parts.resize(7, 0);
      KA num;
      num.Owns(IntVector(parts));
      KClock* c = new KClock();
      KA hold;
      hold.Owns(c);
      c->FromKNum(num.As<KNum>());
      a = hold;
      return a;
    }
    case KT::tSeq:
    case KT::tSeqEa:
      return EachElement(a, static_cast<KOps::FnM>(&KOps::opCLOCK));
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}
