// KBit: packed bit vectors: construction and parsing, logic with left
// extension, marks and spans, selection and structure, running and moving
// windows, text forms and images.
#include "KBit.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "KNum.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KBit";

const unsigned char KBit::bitIdx[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
const unsigned char KBit::bitLMask[8] = {0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF};
const unsigned char KBit::bitRMask[8] = {0xFF, 0x7F, 0x3F, 0x1F, 0x0F, 0x07, 0x03, 0x01};

namespace {

inline bool getBit(const unsigned char* b, int64_t i) { return b[i >> 3] & KBit::bitIdx[i & 7]; }
inline void putBit(unsigned char* b, int64_t i, bool v) {
  if (v) b[i >> 3] |= KBit::bitIdx[i & 7];
  else b[i >> 3] &= static_cast<unsigned char>(~KBit::bitIdx[i & 7]);
}

// Lets go of a value it was given when the scope ends (temporaries built
// while converting operands).
struct Owned {
  KB* v = nullptr;
  Owned() = default;
  explicit Owned(KB* p) : v(p) {}
  ~Owned() { KB::DoneWith(v); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

bool isNumeric(const KB* v) {
  return v && (v->typen() == KT::tNum || v->typen() == KT::tClock) &&
         (v->alignmentn() == KT::aInt || v->alignmentn() == KT::aFloat);
}

bool isBits(const KB* v) { return v && v->typen() == KT::tBit && v->alignmentn() == KT::aBit; }

// Element k of a numeric value as an integer: floats truncated toward zero,
// clamped to the 32-bit range (the float nil becomes the integer nil).
int32_t intAt(const KB* v, int k) {
  const KB::KBD* d = v->descriptor;
  if (d->align == KT::aInt) return static_cast<const int32_t*>(d->data)[k];
  double x = static_cast<const double*>(d->data)[k];
  if (x != x) return 0;
  if (x >= 2147483647.0) return KT::iNil;
  if (x <= -2147483647.0) return -2147483647;
  return static_cast<int32_t>(x);
}

// Window length of the moving forms: the first element of a numeric value
// (a bit vector: its length); a window below 1 counts as 1.
int64_t windowOf(KB* w) {
  int64_t n;
  if (isBits(w)) n = w->Count();
  else if (isNumeric(w)) n = w->Count() ? intAt(w, 0) : 1;
  else KTHROW(KT::eValue, "Need Numeric");
  return n < 1 ? 1 : n;
}

KNum* intArray(const std::vector<int32_t>& v) {
  int n = static_cast<int>(v.size());
  void* data = KB::AllocData(KB::StorageBytes(KT::aInt, n), false);
  if (n) std::copy(v.begin(), v.end(), static_cast<int32_t*>(data));
  return new KNum(data, KT::aInt, n, n);
}

}  // namespace

// ------------------------------------------------------------ construction

KBit::KBit() : KB(KT::tBit) {
  descriptor->align = KT::aBit;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aBit);
}

// One bit (a comparison's answer): what build(1, value) makes, filled in
// directly into the fresh descriptor.
KBit::KBit(bool value) : KBit() {
  unsigned char* d = static_cast<unsigned char*>(AllocData(1, false));
  *d = value ? bitLMask[0] : 0;
  KBD* b = descriptor;
  b->data = d;
  b->type = KT::tBit;
  b->count = 1;
  b->capacity = 8;
}
KBit::KBit(int n, bool value) : KBit() { build(n, value); }

KBit::KBit(char* bytes, int bits, int capacity) : KBit() {
  if (bits < 0) bits = 0;
  int minCap = LenBitsInChars(bits) * 8;
  if (capacity < minCap) capacity = minCap;
  capacity = LenBitsInChars(capacity) * 8;
  if (!bytes) {
    build(bits, false);
    return;
  }
  descriptor->Set(bytes, KT::tBit, KT::aBit, bits, capacity);
  trimTail();
}

KBit::KBit(const char* text) : KBit() { buildText(text, text ? static_cast<int>(std::strlen(text)) : 0); }
KBit::KBit(const char* text, int length) : KBit() { buildText(text, length); }

KBit::KBit(KB* other) : KBit() {
  if (!other) return;
  if (isBits(other)) {
    ReferenceTo(other);
  } else if (isNumeric(other)) {
    int n = other->Count();
    build(n, false);
    const KBD* d = other->descriptor;
    for (int i = 0; i < n; ++i) {
      bool on = d->align == KT::aInt ? static_cast<const int32_t*>(d->data)[i] != 0
                                     : static_cast<const double*>(d->data)[i] != 0.0;
      if (on) putBit(Bytes(), i, true);
    }
  } else if (other->typen() == KT::tString || other->typen() == KT::tField) {
    std::string t = TextOf(other);
    buildText(t.data(), static_cast<int>(t.size()));
  }
}

KBit& KBit::operator=(const char* text) {
  Fix();
  buildText(text, text ? static_cast<int>(std::strlen(text)) : 0);
  return *this;
}

KBit& KBit::operator=(bool value) {
  Fix();
  build(1, value);
  return *this;
}

void KBit::build(int n, bool value) {
  if (n < 0) n = 0;
  if (n > INT_MAX - 8) KTHROW(KT::eSystem, "Out of memory");
  int bytes = LenBitsInChars(n);
  void* data = AllocData(static_cast<size_t>(bytes), true);
  if (value && bytes) std::memset(data, 0xFF, static_cast<size_t>(bytes));
  descriptor->Set(data, KT::tBit, KT::aBit, n, bytes * 8);
  trimTail();
}

void KBit::buildText(const char* text, int length) {
  if (!text || length < 0) length = 0;
  build(length, false);
  for (int i = 0; i < length; ++i) {
    char c = text[i];
    if (c != ' ' && c != '.' && c != '0' && c != '_') putBit(Bytes(), i, true);
  }
}

void KBit::trimTail() {
  int n = Count();
  if (!Bytes() || n % 8 == 0) return;
  Bytes()[n / 8] &= bitLMask[(n % 8) - 1];
}

// ------------------------------------------------------------ bit access

bool KBit::BitGet(int i) const { return i >= 0 && i < Count() && Bytes() && getBit(Bytes(), i); }

bool KBit::BitSet(int i, bool value) {
  if (i < 0 || i >= Count() || !Bytes()) return false;
  bool old = getBit(Bytes(), i);
  putBit(Bytes(), i, value);
  return old;
}

void KBit::SetAll(bool value) {
  Fix();
  int bytes = LenBitsInChars(Count());
  if (bytes) std::memset(Bytes(), value ? 0xFF : 0, static_cast<size_t>(bytes));
  trimTail();
}

void KBit::Append(bool value) {
  Fix();
  int n = Count();
  if (n >= Capacity()) {
    int64_t cap = std::max<int64_t>(static_cast<int64_t>(Capacity()) * 11 / 10, static_cast<int64_t>(n) + 8);
    cap = (cap + 7) / 8 * 8;
    if (cap > INT_MAX - 8) KTHROW(KT::eSystem, "Out of memory");
    size_t oldBytes = StorageBytes(KT::aBit, Capacity());
    size_t newBytes = StorageBytes(KT::aBit, static_cast<int>(cap));
    descriptor->data = descriptor->data ? ReallocData(descriptor->data, oldBytes, newBytes, true)
                                        : AllocData(newBytes, true);
    descriptor->capacity = static_cast<int32_t>(cap);
  }
  descriptor->count = n + 1;
  putBit(Bytes(), n, value);
}

// ------------------------------------------------------------ queries

bool KBit::All() {
  int n = Count();
  for (int i = 0; i < n / 8; ++i)
    if (Bytes()[i] != 0xFF) return false;
  if (n % 8) {
    unsigned char m = bitLMask[(n % 8) - 1];
    if ((Bytes()[n / 8] & m) != m) return false;
  }
  return true;
}

bool KBit::Any() {
  int n = Count();
  for (int i = 0; i < n / 8; ++i)
    if (Bytes()[i]) return true;
  return n % 8 && (Bytes()[n / 8] & bitLMask[(n % 8) - 1]);
}

int KBit::Sum() {
  int n = Count(), s = 0;
  for (int i = 0; i < n / 8; ++i) s += __builtin_popcount(Bytes()[i]);
  if (n % 8) s += __builtin_popcount(Bytes()[n / 8] & bitLMask[(n % 8) - 1]);
  return s;
}

int KBit::ToIndex() {
  for (int i = 0; i < Count(); ++i)
    if (getBit(Bytes(), i)) return i + 1;
  return Count() + 1;
}

KNum* KBit::ToIndices(int& n) {
  std::vector<int32_t> v;
  for (int i = 0; i < Count(); ++i)
    if (getBit(Bytes(), i)) v.push_back(i + 1);
  n = static_cast<int>(v.size());
  return intArray(v);
}

KNum* KBit::ToNum() {
  std::vector<int32_t> v(static_cast<size_t>(Count()));
  for (int i = 0; i < Count(); ++i) v[i] = getBit(Bytes(), i);
  return intArray(v);
}

int KBit::Compare(KB* other) {
  if (!other) KTHROW(KT::eValue, "Need bit");
  if (other->typen() != typen()) return typen() - other->typen();
  if (!isBits(other)) KTHROW(KT::eValue, "Need bit");
  int a = Count(), b = other->Count();
  if (a == 0 || b == 0) return (a != 0) - (b != 0);
  const unsigned char* x = Bytes();
  const unsigned char* y = static_cast<const unsigned char*>(other->descriptor->data);
  int n = std::min(a, b);
  for (int i = 0; i < n; ++i) {
    bool p = getBit(x, i), q = getBit(y, i);
    if (p != q) return p ? 1 : -1;
  }
  return a - b;
}

bool KBit::EQ(KB* other) {
  return isBits(other) && other->Count() == Count() && Compare(other) == 0;
}

bool KBit::GT(KB* other, int i, int j, bool descending) {
  if (other && other->typen() != typen()) return typen() > other->typen();
  int c = Compare(other);
  if (c) return c > 0;
  return descending ? j < i : i < j;
}

// ------------------------------------------------------------ logic

KBit* KBit::BitOp(KB* left, KB* right, const char* op) {
  if (!left || !right) KTHROW(KT::eValue, "Type");
  if (!op) op = "";
  int code;
  if (!std::strcmp(op, "&")) code = 0;
  else if (!std::strcmp(op, "|")) code = 1;
  else if (!std::strcmp(op, "~&")) code = 2;
  else if (!std::strcmp(op, "~|")) code = 3;
  else if (!std::strcmp(op, "^")) code = 4;
  else KTHROW(KT::eSystem, "BitOp");
  // Operands as bits: numbers and strings by their true/false reading,
  // other values as empty vectors.
  Owned la(isBits(left) ? nullptr : new KBit(left));
  Owned lb(isBits(right) ? nullptr : new KBit(right));
  const KB* a = la.v ? la.v : left;
  const KB* b = lb.v ? lb.v : right;
  int na = a->Count(), nb = b->Count();
  int n = std::max(na, nb);
  const unsigned char* pa = static_cast<const unsigned char*>(a->descriptor->data);
  const unsigned char* pb = static_cast<const unsigned char*>(b->descriptor->data);
  // The shorter operand is right-aligned and extended on the left with its
  // own first bit.
  auto at = [n](const unsigned char* p, int len, int i) {
    if (len == 0) return false;
    int k = i - (n - len);
    return getBit(p, k < 0 ? 0 : k);
  };
  KBit* r = new KBit(n, false);
  unsigned char* out = r->Bytes();
  for (int i = 0; i < n; ++i) {
    bool x = at(pa, na, i), y = at(pb, nb, i), z;
    switch (code) {
      case 0: z = x && y; break;
      case 1: z = x || y; break;
      case 2: z = !(x && y); break;
      case 3: z = !x && !y; break;
      default: z = x != y; break;
    }
    if (z) putBit(out, i, true);
  }
  return r;
}

KBit* KBit::And(KB* right) { return BitOp(this, right, "&"); }
KBit* KBit::Or(KB* right) { return BitOp(this, right, "|"); }
KBit* KBit::Nand(KB* right) { return BitOp(this, right, "~&"); }
KBit* KBit::Nor(KB* right) { return BitOp(this, right, "~|"); }
KBit* KBit::Xor(KB* right) { return BitOp(this, right, "^"); }

KBit* KBit::Not() {
  int n = Count();
  KBit* r = new KBit(n, false);
  for (int i = 0; i < LenBitsInChars(n); ++i) r->Bytes()[i] = static_cast<unsigned char>(~Bytes()[i]);
  r->trimTail();
  return r;
}

// ------------------------------------------------------------ marks

KBit* KBit::MarkOn() {
  int n = Count();
  KBit* r = new KBit(n, false);
  for (int i = 0; i < n; ++i)
    if (getBit(Bytes(), i) && (i == 0 || !getBit(Bytes(), i - 1))) putBit(r->Bytes(), i, true);
  return r;
}

KBit* KBit::MarkOff() {
  int n = Count();
  KBit* r = new KBit(n, false);
  for (int i = 0; i < n; ++i)
    if (getBit(Bytes(), i) && (i == n - 1 || !getBit(Bytes(), i + 1))) putBit(r->Bytes(), i, true);
  return r;
}

KBit* KBit::MarkOnOff() {
  Owned on(MarkOn());
  Owned off(MarkOff());
  return BitOp(on.v, off.v, "|");
}

KBit* KBit::FirstOn() {
  int n = Count();
  KBit* r = new KBit(n, false);
  int first = ToIndex() - 1;
  for (int i = first; i < n; ++i) putBit(r->Bytes(), i, true);
  return r;
}

KBit* KBit::LastOff() {
  int n = Count();
  KBit* r = new KBit(n, false);
  int last = n - 1;
  while (last >= 0 && !getBit(Bytes(), last)) --last;
  for (int i = 0; i <= last; ++i) putBit(r->Bytes(), i, true);
  return r;
}

KBit* KBit::Span() {
  int n = Count();
  KBit* r = new KBit(n, false);
  bool inside = false;
  for (int i = 0; i < n; ++i) {
    bool b = getBit(Bytes(), i);
    if (b) inside = !inside;
    if (b || inside) putBit(r->Bytes(), i, true);
  }
  return r;
}

KBit* KBit::MarkEqual(KBit* other) {
  int na = Count(), nb = other ? other->Count() : 0;
  int n = std::max(na, nb), common = std::min(na, nb);
  KBit* r = new KBit(n, false);
  for (int i = 0; i < common; ++i)
    if (getBit(Bytes(), i) == getBit(other->Bytes(), i)) putBit(r->Bytes(), i, true);
  return r;
}

KBit* KBit::MarkSpanStart() { KTHROW(KT::eNotImpl, "Span Start"); }
KBit* KBit::MarkSpanEnd() { KTHROW(KT::eNotImpl, "Span End"); }

// ------------------------------------------------------------ selection

KB* KBit::Expand(KB* mask) {
  if (isBits(mask)) {
    int n = mask->Count();
    const unsigned char* m = static_cast<const unsigned char*>(mask->descriptor->data);
    KBit* r = new KBit(n, false);
    int k = 0;
    for (int i = 0; i < n; ++i) {
      if (!getBit(m, i)) continue;
      if (k < Count() && getBit(Bytes(), k)) putBit(r->Bytes(), i, true);
      ++k;
    }
    return r;
  }
  if (isNumeric(mask)) {
    // Source bit i repeated count i times (nil and negative counts: 0).
    int pairs = std::min(Count(), mask->Count());
    int64_t total = 0;
    for (int i = 0; i < pairs; ++i) {
      int32_t c = intAt(mask, i);
      if (c > 0 && c != KT::iNil) total += c;
    }
    if (total > INT_MAX - 8) KTHROW(KT::eSystem, "Out of memory");
    KBit* r = new KBit(static_cast<int>(total), false);
    int64_t at = 0;
    for (int i = 0; i < pairs; ++i) {
      int32_t c = intAt(mask, i);
      if (c <= 0 || c == KT::iNil) continue;
      if (getBit(Bytes(), i))
        for (int64_t k = 0; k < c; ++k) putBit(r->Bytes(), at + k, true);
      at += c;
    }
    return r;
  }
  return Clone();
}

KBit* KBit::IndexedBy(KB* index) {
  if (!index || index->typen() == KT::tNV) return static_cast<KBit*>(Clone());
  if (isNumeric(index)) {
    int m = index->Count();
    if (m == 0) return static_cast<KBit*>(Clone());
    KBit* r = new KBit(m, false);
    int n = Count();
    for (int k = 0; k < m; ++k) {
      if (n == 0) break;
      int64_t p = intAt(index, k);  // 1-based; outside: the nearest end bit
      int64_t i = std::clamp<int64_t>(p - 1, 0, n - 1);
      if (getBit(Bytes(), i)) putBit(r->Bytes(), k, true);
    }
    return r;
  }
  if (isBits(index)) {
    int m = index->Count();
    const unsigned char* mb = static_cast<const unsigned char*>(index->descriptor->data);
    std::vector<int> pos;
    for (int k = 0; k < m; ++k)
      if (getBit(mb, k)) pos.push_back(k);
    KBit* r = new KBit(static_cast<int>(pos.size()), false);
    for (size_t k = 0; k < pos.size(); ++k)
      if (BitGet(pos[k])) putBit(r->Bytes(), static_cast<int64_t>(k), true);
    return r;
  }
  if (index->typen() == KT::tString) {
    std::string t = TextOf(index);
    KBit mask(t.data(), static_cast<int>(t.size()));
    return IndexedBy(&mask);
  }
  KTHROW(KT::eValue, "Need Num Idx");
}

void KBit::IdxAssign(KB* value, KB* index) {
  if (!isBits(value)) KTHROW(KT::eValue, "Need bit");
  std::vector<int64_t> pos;  // 0-based targets
  if (isNumeric(index)) {
    if (index->alignmentn() != KT::aInt) KTHROW(KT::eValue, "Need Int Idx");
    for (int k = 0; k < index->Count(); ++k) pos.push_back(static_cast<int64_t>(intAt(index, k)) - 1);
  } else if (isBits(index)) {
    const unsigned char* mb = static_cast<const unsigned char*>(index->descriptor->data);
    for (int k = 0; k < index->Count(); ++k)
      if (getBit(mb, k)) pos.push_back(k);
  } else if (index && index->typen() == KT::tString) {
    std::string t = TextOf(index);
    KBit mask(t.data(), static_cast<int>(t.size()));
    IdxAssign(value, &mask);
    return;
  } else {
    KTHROW(KT::eValue, "Need Num Idx");
  }
  if (value->Count() == 0) return;
  // Read the value first: it may share this vector's bits.
  KBit* v = static_cast<KBit*>(value);
  std::vector<char> bits(pos.size());
  for (size_t k = 0; k < pos.size(); ++k)
    bits[k] = value->Count() == 1 ? v->BitGet(0) : v->BitGet(static_cast<int>(k));
  Fix();
  for (size_t k = 0; k < pos.size(); ++k)
    if (pos[k] >= 0 && pos[k] < Count()) putBit(Bytes(), pos[k], bits[k]);
}

// ------------------------------------------------------------ structure

KBit* KBit::Take(int n, bool fromFront, bool padWithEdge) {
  if (n == 0 || n == KT::iNil) return new KBit(0, false);
  int64_t cnt = Count();
  int64_t m = n;
  if (m < 0) {  // all but |n| from the front or the back
    int64_t drop = -m;
    if (drop >= cnt) return new KBit(0, false);
    int64_t len = cnt - drop, from = fromFront ? drop : 0;
    KBit* r = new KBit(static_cast<int>(len), false);
    for (int64_t i = 0; i < len; ++i)
      if (getBit(Bytes(), from + i)) putBit(r->Bytes(), i, true);
    return r;
  }
  KBit* r = new KBit(n, false);
  int64_t have = std::min(m, cnt), missing = m - have;
  bool pad = padWithEdge && cnt > 0 && getBit(Bytes(), fromFront ? cnt - 1 : 0);
  if (fromFront) {
    for (int64_t i = 0; i < have; ++i)
      if (getBit(Bytes(), i)) putBit(r->Bytes(), i, true);
    if (pad) for (int64_t i = have; i < m; ++i) putBit(r->Bytes(), i, true);
  } else {
    if (pad) for (int64_t i = 0; i < missing; ++i) putBit(r->Bytes(), i, true);
    for (int64_t i = 0; i < have; ++i)
      if (getBit(Bytes(), cnt - have + i)) putBit(r->Bytes(), missing + i, true);
  }
  return r;
}

KBit* KBit::Rotate(int n) {
  int cnt = Count();
  KBit* r = new KBit(cnt, false);
  if (cnt == 0) return r;
  int64_t s = static_cast<int64_t>(n) % cnt;
  for (int i = 0; i < cnt; ++i) {
    int64_t src = ((i - s) % cnt + cnt) % cnt;
    if (getBit(Bytes(), src)) putBit(r->Bytes(), i, true);
  }
  return r;
}

KBit* KBit::Shift(int n) {
  int cnt = Count();
  KBit* r = new KBit(cnt, false);
  for (int i = 0; i < cnt; ++i) {
    int64_t src = static_cast<int64_t>(i) - n;
    if (src >= 0 && src < cnt && getBit(Bytes(), src)) putBit(r->Bytes(), i, true);
  }
  return r;
}

KBit* KBit::Reshape(int n) {
  if (n <= 0) return new KBit(0, false);
  KBit* r = new KBit(n, false);
  int cnt = Count();
  if (cnt == 0) return r;
  for (int i = 0; i < n; ++i)
    if (getBit(Bytes(), i % cnt)) putBit(r->Bytes(), i, true);
  return r;
}

KBit* KBit::Flip() {
  int cnt = Count();
  KBit* r = new KBit(cnt, false);
  for (int i = 0; i < cnt; ++i)
    if (getBit(Bytes(), i)) putBit(r->Bytes(), cnt - 1 - i, true);
  return r;
}

KBit* KBit::Catenate(KBit* other) {
  int a = Count(), b = other ? other->Count() : 0;
  if (static_cast<int64_t>(a) + b > INT_MAX - 8) KTHROW(KT::eSystem, "Out of memory");
  KBit* r = new KBit(a + b, false);
  if (a) std::memcpy(r->Bytes(), Bytes(), static_cast<size_t>(LenBitsInChars(a)));
  r->trimTail();
  for (int i = 0; i < b; ++i)
    if (getBit(other->Bytes(), i)) putBit(r->Bytes(), static_cast<int64_t>(a) + i, true);
  return r;
}

KB* KBit::Range(int from, int to) {
  if (from > to) KTHROW(KT::eSystem, "l>r");
  int cnt = Count();
  if (cnt == 0) return new KBit(0, false);
  int64_t len = static_cast<int64_t>(to) - from + 1;
  if (len > INT_MAX - 8) KTHROW(KT::eSystem, "Out of memory");
  KBit* r = new KBit(static_cast<int>(len), false);
  for (int64_t k = 0; k < len; ++k)
    if (getBit(Bytes(), std::clamp<int64_t>(from + k, 0, cnt - 1))) putBit(r->Bytes(), k, true);
  return r;
}

void KBit::Drop(int) { KTHROW(KT::eNotImpl, "Bit Drop"); }

KB* KBit::Convert(KB* code) {
  // The packed bytes as text, read by the string conversion table.
  int bytes = LenBitsInChars(Count());
  KString raw(bytes ? reinterpret_cast<const char*>(Bytes()) : "", bytes);
  return raw.Convert(code);
}

// ------------------------------------------------------------ windows

KBit* KBit::MovAll(KB* window) {
  int n = Count();
  int64_t w = window ? windowOf(window) : INT64_MAX;
  KBit* r = new KBit(n, false);
  // Sliding count of zeros inside the window ending at i.
  int64_t zeros = 0;
  for (int64_t i = 0; i < n; ++i) {
    if (!getBit(Bytes(), i)) ++zeros;
    if (w != INT64_MAX && i - w >= 0 && !getBit(Bytes(), i - w)) --zeros;
    if (zeros == 0) putBit(r->Bytes(), i, true);
  }
  return r;
}

KBit* KBit::MovAny(KB* window) {
  int n = Count();
  int64_t w = window ? windowOf(window) : INT64_MAX;
  KBit* r = new KBit(n, false);
  int64_t ones = 0;
  for (int64_t i = 0; i < n; ++i) {
    if (getBit(Bytes(), i)) ++ones;
    if (w != INT64_MAX && i - w >= 0 && getBit(Bytes(), i - w)) --ones;
    if (ones > 0) putBit(r->Bytes(), i, true);
  }
  return r;
}

KBit* KBit::Fire() { return MarkOn(); }

KBit* KBit::Fire(KB* pattern) {
  // The pattern as a bit reader: a bit vector, n one-bits, or a text reading.
  Owned conv;
  const unsigned char* pb = nullptr;
  int64_t plen = 0;
  bool allOnes = false;
  if (isBits(pattern)) {
    pb = static_cast<const unsigned char*>(pattern->descriptor->data);
    plen = pattern->Count();
  } else if (isNumeric(pattern)) {
    plen = pattern->Count() ? intAt(pattern, 0) : 0;
    if (plen < 0) plen = 0;  // a nil count is a number like any other: ones to the end
    allOnes = true;
  } else if (pattern && pattern->typen() == KT::tString) {
    conv.v = new KBit(pattern);
    pb = static_cast<KBit*>(conv.v)->Bytes();
    plen = conv.v->Count();
  } else {
    KTHROW(KT::eNotSupp, "Type");
  }
  int64_t n = Count();
  KBit* r = new KBit(static_cast<int>(n), false);
  for (int64_t i = 0; i < n;) {
    if (!getBit(Bytes(), i)) {
      ++i;
      continue;
    }
    int64_t end = std::min(n, i + plen);
    for (int64_t k = i; k < end; ++k)
      if (allOnes || getBit(pb, k - i)) putBit(r->Bytes(), k, true);
    i += plen + 1;
  }
  return r;
}

KBit* KBit::Monostable(KB* widths) {
  if (!isNumeric(widths) || widths->Count() == 0) {
    KBit* r = new KBit(Count(), false);
    if (Count()) std::memcpy(r->Bytes(), Bytes(), static_cast<size_t>(LenBitsInChars(Count())));
    return r;
  }
  int64_t n = Count();
  int last = widths->Count() - 1, k = 0;
  KBit* r = new KBit(static_cast<int>(n), false);
  int64_t covered = 0;  // positions below this are already set
  for (int64_t i = 0; i < n; ++i) {
    if (!getBit(Bytes(), i)) continue;
    int32_t w = intAt(widths, k);
    if (k < last) ++k;
    if (w <= 0) continue;  // a nil width is a number like any other: a pulse to the end
    int64_t end = std::min(n, i + w);
    for (int64_t p = std::max(i, covered); p < end; ++p) putBit(r->Bytes(), p, true);
    covered = std::max(covered, end);
  }
  return r;
}

// ------------------------------------------------------------ text forms

const std::string& KBit::AsString(bool verbose) {
  if (!Bytes()) {
    text = verbose ? "Bit[0]NULL:" : "";
    return text;
  }
  std::string out;
  int n = Count();
  for (int i = 0; i < n; ++i) {
    if (i && i % 8 == 0) out += ' ';
    out += getBit(Bytes(), i) ? '1' : '0';
    if ((i + 1) % 100 == 0) out += "\r\n";
    if (out.size() > 1000) {
      out += "...";
      break;
    }
  }
  text = verbose ? VerbosePrefix() + out : out;
  return text;
}

std::string KBit::AsHex() {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  int n = Count();
  for (int g = 0; g < n; g += 4) {
    int v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 1) | (g + k < n && getBit(Bytes(), g + k));
    out += digits[v];
  }
  return out;
}

std::string KBit::Dump() {
  if (!Bytes()) return "KBit[0]NULL";
  return AsString(true);
}

KB* KBit::FieldGet(KB* name) {
  if (FieldIs(name, ":alignn")) return KMakeInt(alignmentn());
  if (FieldIs(name, ":alignc")) return KMakeString(alignmentc());
  if (FieldIs(name, ":num")) return ToNum();
  return StdFieldOr(name, ":, :alignn, :alignc, :num, :string, :stringv, :typen, :typec");
}

// ------------------------------------------------------------ lifecycle

KB* KBit::Clone() {
  KBit* r = new KBit(Count(), false);
  if (Count()) std::memcpy(r->Bytes(), Bytes(), static_cast<size_t>(LenBitsInChars(Count())));
  r->trimTail();
  r->exact = exact;
  return r;
}

int KBit::size() { return LenBitsInChars(Count()); }

// ------------------------------------------------------------ images

int KBit::SOSz() { return ImageSize(static_cast<int64_t>(LenBitsInChars(Count())) + 12); }

std::string KBit::SO() {
  int bytes = LenBitsInChars(Count());
  std::string s = ImageHeader(KT::tBit, bytes + 12);
  PutI32(s, Count());
  if (bytes) s.append(reinterpret_cast<const char*>(Bytes()), static_cast<size_t>(bytes));
  return s;
}

KB* KBit::SI(const char* image) {
  int32_t total = GetI32(image + 4);
  if (total < 12) KTHROW(KT::eValue, "Not SI");
  int32_t n = GetI32(image + 8);
  if (n < 0 || (static_cast<int64_t>(n) + 7) / 8 + 12 != total) KTHROW(KT::eValue, "Not SI");
  KBit* r = new KBit(n, false);
  if (n) std::memcpy(r->Bytes(), image + 12, static_cast<size_t>(LenBitsInChars(n)));
  r->trimTail();
  return r;
}
