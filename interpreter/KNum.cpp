// KNum: numeric arrays. Storage and construction, number-field parsing,
// text forms and Format, alignment conversion and binary packing, indexing,
// structural, comparison, marking and search methods, interpolation and
// histograms, fields, images, and the reductions, scans and moving windows.
#include "KNum.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "KBit.h"
#include "KSeq.h"
#include "KString.h"
#include "KSum.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KNum";

bool KNum::first = true;
unsigned char KNum::dig[256];
unsigned char KNum::numElem[256];

KB* KMakeInt(int32_t v) { return new KNum(v); }
KB* KMakeFloat(double v) { return new KNum(v); }
KB* KMakeSize(int64_t bytes) { return KNum::OfSize(bytes); }

// ====================================================================
// Element helpers shared by every method below.
// ====================================================================
namespace {

constexpr int32_t kINil = KT::iNil;
constexpr double kFNil = KT::fNil;

inline bool IsWS(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

inline bool IsNil(int32_t v) { return v == kINil; }
inline bool IsNil(double v) { return v == kFNil; }
template <class T> constexpr T NilOf();
template <> constexpr int32_t NilOf<int32_t>() { return kINil; }
template <> constexpr double NilOf<double>() { return kFNil; }

// An integer element as a float element (the nil maps to the float nil).
inline double ToF(int32_t v) { return v == kINil ? kFNil : static_cast<double>(v); }
// A float element as an integer element: nil and NaN give the integer nil,
// values beyond the range clamp (above: the nil), the rest truncate.
inline int32_t ToI(double v) {
  if (v == kFNil || std::isnan(v) || v > 2147483647.0) return kINil;
  if (v < -2147483647.0) return -2147483647;
  return static_cast<int32_t>(v);
}
// Truncation toward zero into 64 bits without undefined behaviour.
inline int64_t Trunc64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  return static_cast<int64_t>(v);
}
// Wrapping integer arithmetic.
inline int32_t WAdd(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
inline int32_t WSub(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }
inline int32_t WMul(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b)); }

inline bool IsNumT(const KB* v) { return v && (v->typen() == KT::tNum || v->typen() == KT::tClock); }
// A KNum object with integer or float elements.
inline bool IsNumIF(const KB* v) {
  return IsNumT(v) && (v->alignmentn() == KT::aInt || v->alignmentn() == KT::aFloat);
}
inline KNum* AsNum(KB* v) { return static_cast<KNum*>(v); }

// Element i of a numeric array as a float element (nil kept as nil).
inline double GetF(const KNum* a, int i) {
  return a->IsInt() ? ToF(a->IntPtr()[i]) : a->FltPtr()[i];
}

int32_t CheckedCount(int64_t n) {
  if (n < 0) n = 0;
  if (n > 0x7FFFFFF0) KTHROW(KT::eSystem, "Out of memory");
  return static_cast<int32_t>(n);
}

// A new array of n uninitialised elements of alignment a (I or F).
KNum* NewArr(KT::KAL a, int n, KT::KTO type = KT::tNum) {
  void* d = n > 0 ? KB::AllocData(KB::StorageBytes(a, n), false) : nullptr;
  return new KNum(type, d, a, n, n);
}

// A new bit vector of n zero bits and its bytes; bit i is the mask 0x80 >> (i % 8)
// of byte i / 8.
KBit* NewBits(int n, unsigned char*& bytes) {
  KBit* b = new KBit(n, false);
  bytes = b->Bytes();
  return b;
}
inline void PutBit(unsigned char* bytes, int i) { bytes[i >> 3] |= static_cast<unsigned char>(0x80u >> (i & 7)); }
inline bool GetBit(const unsigned char* bytes, int i) { return (bytes[i >> 3] >> (7 - (i & 7))) & 1; }

// Runs f with the element pointer of the array's alignment (I or F).
template <class F> decltype(auto) WithElems(KNum* a, F&& f) {
  if (a->IsInt()) return f(a->IntPtr());
  return f(a->FltPtr());
}

// The first element of a window operand as a window length; a value that is
// not numeric raises 15 "Type"; lengths below 1 count as 1.
int WindowOf(KB* w) {
  if (!IsNumIF(w)) KTHROW(KT::eValue, "Type");
  int n = AsNum(w)->AsInt();
  return n < 1 ? 1 : n;
}

// Normalised hash key for float equality (0.0 and -0.0 are equal).
inline uint64_t FKey(double v) {
  if (v == 0) v = 0;
  uint64_t u;
  std::memcpy(&u, &v, 8);
  return u;
}

// Text of one element, "%d" or "%g", into buf; returns its length.
inline int FmtInt(char* buf, int32_t v) { return static_cast<int>(std::to_chars(buf, buf + 16, v).ptr - buf); }
inline int FmtG(char* buf, double v) {
  return static_cast<int>(std::to_chars(buf, buf + 40, v, std::chars_format::general, 6).ptr - buf);
}

}  // namespace

// ====================================================================
// Tables, construction, assignment
// ====================================================================
void KNum::init() {
  std::memset(dig, 0, sizeof dig);
  std::memset(numElem, 0, sizeof numElem);
  for (const char* p = "0123456789"; *p; ++p) dig[static_cast<unsigned char>(*p)] = 1;
  for (const char* p = "10123456789Ee_+.,;"; *p; ++p) numElem[static_cast<unsigned char>(*p)] = 1;
  first = false;
}

void KNum::Init0(KT::KTO type) {
  if (first) init();
  descriptor->type = type;
  descriptor->align = KT::aInt;
  descriptor->elemSize = 4;
}

KNum::KNum() : KB(KT::tNum) { Init0(KT::tNum); }

KNum::KNum(KB* other) : KB(KT::tNum) {
  Init0(KT::tNum);
  if (!IsNumIF(other)) return;
  KT::KAL a = other->alignmentn();
  int n = other->Count();
  void* d = n > 0 ? AllocData(StorageBytes(a, n), false) : nullptr;
  if (n > 0) std::memcpy(d, other->descriptor->data, StorageBytes(a, n));
  descriptor->Set(d, KT::tNum, a, n, n);
}

KNum::KNum(void* data, KT::KAL a, int count, int capacity)
    : KB(data, KT::tNum, a, count, capacity > 0 ? capacity : count) {
  if (first) init();
}

KNum::KNum(KT::KTO type, void* data, KT::KAL a, int count, int capacity)
    : KB(data, type, a, count, capacity > 0 ? capacity : count) {
  if (first) init();
}

KNum::KNum(const char* text, int length) : KB(KT::tNum) {
  Init0(KT::tNum);
  Parse(text, length);
}

KNum::KNum(KT::KAL a, int n) : KNum(KT::tNum, a, n) {}

KNum::KNum(KT::KTO type, KT::KAL a, int n) : KB(type) {
  Init0(type);
  if (n < 0) n = 0;
  switch (a) {
    case KT::aInt: {
      int32_t* d = n ? static_cast<int32_t*>(AllocData(StorageBytes(a, n), false)) : nullptr;
      std::fill(d, d + n, kINil);
      descriptor->Set(d, type, a, n, n);
      break;
    }
    case KT::aFloat: {
      double* d = n ? static_cast<double*>(AllocData(StorageBytes(a, n), false)) : nullptr;
      std::fill(d, d + n, kFNil);
      descriptor->Set(d, type, a, n, n);
      break;
    }
    case KT::aBit: {
      // zeroed 32-bit words, one bit per element
      int cap = static_cast<int>((static_cast<int64_t>(n) + 31) / 32 * 32);
      void* d = cap ? AllocData(StorageBytes(a, cap), true) : nullptr;
      descriptor->Set(d, type, a, n, cap);
      break;
    }
    default:
      KTHROW(KT::eValue, "Alignment");
  }
}

// The one-element forms fill their new, empty descriptor directly (what
// Set would leave there, without clearing what is not there).
KNum::KNum(int32_t v) : KB(KT::tNum) {
  Init0(KT::tNum);
  int32_t* d = static_cast<int32_t*>(AllocData(4, false));
  *d = v;
  AdoptOne(d, KT::aInt);
}

KNum::KNum(double v) : KB(KT::tNum) {
  Init0(KT::tNum);
  double* d = static_cast<double*>(AllocData(8, false));
  *d = v;
  AdoptOne(d, KT::aFloat);
}

void KNum::AdoptOne(void* d, KT::KAL a) {
  KBD* b = descriptor;
  b->data = d;
  b->type = KT::tNum;
  b->align = a;
  b->count = b->capacity = 1;
  b->elemSize = KT::TypeAlignToElemSz(a);
  b->SID = -1;
}

KNum::~KNum() = default;

// Gives this object a private, empty descriptor of its own type when the
// current one is shared, so that reassignment is not seen by other holders.
static void DetachFrom(KB* v) {
  if (!v->Shared()) return;
  KT::KTO t = v->typen();
  int h = v->holds > 0 ? v->holds : 1;
  v->descriptor->refs -= h;
  v->descriptor = new KB::KBD(t);
  v->descriptor->refs = h;
}

KNum& KNum::operator=(KB& o) {
  if (o.typen() != KT::tNum && o.typen() != KT::tString) KTHROW(KT::eValue, "Alignment");
  ReferenceTo(&o);
  return *this;
}

KNum& KNum::operator=(const char* text) {
  DetachFrom(this);
  Parse(text, -1);
  return *this;
}

KNum& KNum::operator=(int32_t v) {
  DetachFrom(this);
  int32_t* d = static_cast<int32_t*>(AllocData(4, false));
  *d = v;
  descriptor->Set(d, typen(), KT::aInt, 1, 1);
  return *this;
}

KNum& KNum::operator=(double v) {
  DetachFrom(this);
  double* d = static_cast<double*>(AllocData(8, false));
  *d = v;
  descriptor->Set(d, typen(), KT::aFloat, 1, 1);
  return *this;
}

// ====================================================================
// Accessors
// ====================================================================
void KNum::NPtrSet(void* data, KT::KAL a) { NPtrSet(data, a, descriptor->count, 0); }

void KNum::NPtrSet(void* data, KT::KAL a, int count, int capacity) {
  descriptor->Set(data, typen(), a, count, capacity > 0 ? capacity : count);
}

KNum::KRec* KNum::rec() {
  if (!descriptor->rec) descriptor->rec = new KRec();
  return static_cast<KRec*>(descriptor->rec);
}

int KNum::CountNotNil() const {
  int n = descriptor->count, c = 0;
  if (!descriptor->data) return 0;
  if (IsInt()) {
    const int32_t* p = IntPtr();
    for (int i = 0; i < n; ++i) c += p[i] != kINil;
  } else if (IsFlt()) {
    const double* p = FltPtr();
    for (int i = 0; i < n; ++i) c += p[i] != kFNil;
  } else {
    return n;
  }
  return c;
}

int32_t KNum::AsInt() const {
  if (descriptor->count <= 0 || !descriptor->data) return 0;
  if (IsInt()) return IntPtr()[0];
  if (IsFlt()) return ToI(FltPtr()[0]);
  return 0;
}

double KNum::AsFloat() const {
  if (descriptor->count <= 0 || !descriptor->data) return 0;
  if (IsInt()) return IntPtr()[0];
  if (IsFlt()) return FltPtr()[0];
  return 0;
}

int KNum::size() { return ClampSize(SizeBytes()); }

int64_t KNum::SizeBytes() {
  if (descriptor->align == KT::aBit) return LenBitsInChars(descriptor->count);
  return static_cast<int64_t>(descriptor->count) * descriptor->elemSize;
}

KNum* KNum::OfSize(int64_t bytes) {
  if (bytes <= INT32_MAX && bytes > INT32_MIN) return new KNum(static_cast<int32_t>(bytes));
  return new KNum(static_cast<double>(bytes));
}

KNum* KNum::Size() { return OfSize(SizeBytes()); }

// ====================================================================
// Number fields
// ====================================================================
// One field: optional leading white space, then characters up to a blank,
// the end, or a ";" (consumed). "-" reads as "_" (a minus sign) except right
// after the exponent mark. Trailing white space and one ";" are taken into
// the field so that "1 2 " has two fields and "1;;3" three.
void KNum::nextNumField(int& length, const char* text, int& ival, double& dval, KT::KAL& alignment) {
  if (first) init();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const size_t avail = !text ? 0 : length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  ival = kINil;
  dval = kFNil;
  alignment = KT::aNone;
  size_t i = 0;
  while (i < avail && IsWS(p[i])) ++i;
  const size_t start = i;

  // Step 1: find the end of the field, checking the counts of marks.
  bool invalid = false, semi = false;
  int signsBefore = 0, signsAfter = 0, expMarks = 0, dots = 0;
  while (i < avail) {
    unsigned char c = p[i];
    if (dig[c] || c == ',') {
      ++i;
      continue;
    }
    if (c == ';') {
      ++i;
      semi = true;
      break;
    }
    if (IsWS(c)) break;
    if (c == '-') c = '_';
    if (!numElem[c]) {
      invalid = true;
    } else if (c == '_' || c == '+') {
      if (++(expMarks ? signsAfter : signsBefore) > 1) invalid = true;
    } else if (c == 'e' || c == 'E') {
      if (++expMarks > 1) invalid = true;
    } else if (c == '.') {
      if (expMarks || ++dots > 1) invalid = true;
    }
    if (invalid) break;
    ++i;
  }
  const size_t fieldEnd = i;
  if (invalid) {
    while (i < avail && !IsWS(p[i]) && p[i] != ';') ++i;
    if (i < avail && p[i] == ';') {
      ++i;
      semi = true;
    }
  }
  // Trailing white space, and one ";" when the field has none yet.
  while (i < avail && IsWS(p[i])) ++i;
  if (!semi && i < avail && p[i] == ';') {
    ++i;
    while (i < avail && IsWS(p[i])) ++i;
  }
  length = static_cast<int>(i);
  if (invalid || fieldEnd == start) return;

  // Step 2: validate and accumulate.
  bool isF = false, neg = false, expNeg = false, expSign = false, afterExp = false, afterDot = false;
  bool anyDigit = false, wide = false;
  uint32_t iacc = 0;
  double dacc = 0, frac = 0, fracPow = 1;
  int intDigits = 0, fracDigits = 0, expo = 0;
  unsigned char prev = 0;
  for (size_t k = start; k < fieldEnd; ++k) {
    unsigned char c = p[k];
    if (IsWS(c)) continue;
    const unsigned char raw = c;
    if (c == '-') c = '_';
    if (dig[c]) {
      const int d = c - '0';
      anyDigit = true;
      if (afterExp) {
        expo = expo * 10 + d;
        if (expo > 300) expo = 300;
      } else if (afterDot) {
        if (fracPow < 1e300) {
          frac = frac * 10 + d;
          fracPow *= 10;
        }
        ++fracDigits;
      } else {
        ++intDigits;
        if (!wide && iacc > (2147483647u - static_cast<uint32_t>(d)) / 10) {
          wide = true;
          dacc = static_cast<double>(iacc);
        }
        if (wide)
          dacc = dacc * 10 + d;
        else
          iacc = iacc * 10 + static_cast<uint32_t>(d);
      }
    } else if (c == ',' || c == ';') {
      if (!anyDigit) return;
    } else if (!numElem[c]) {
      return;
    } else if (c == '+') {
      if (!afterExp || expSign) return;
      expSign = true;
    } else if (c == '_') {
      if (afterExp) {
        if (expSign) return;
        expSign = expNeg = true;
      } else {
        if (neg) return;
        neg = true;
      }
    } else if (c == '.') {
      if (afterExp || afterDot) return;
      afterDot = isF = true;
    } else {  // exponent mark
      if (afterExp || !(dig[prev] || prev == '.')) return;
      if (k + 1 >= fieldEnd) return;
      const unsigned char nx = p[k + 1];
      if (!(dig[nx] || nx == '+' || nx == '_')) return;  // "-" here is not a sign
      afterExp = isF = true;
    }
    prev = raw;
  }
  if (!anyDigit) return;

  if (!isF && !wide) {
    ival = neg ? -static_cast<int32_t>(iacc) : static_cast<int32_t>(iacc);
    dval = 0;
    alignment = KT::aInt;
    return;
  }
  double v = (wide ? dacc : static_cast<double>(iacc)) + (fracDigits ? frac / fracPow : 0.0);
  const int balance = intDigits - fracDigits;
  if (v != 0) {
    if (expNeg) {
      if (-balance + expo >= 301) {
        v = 1e-300;
      } else {
        double pw = 1;
        for (int k = 0; k < expo; ++k) pw *= 10;
        v /= pw;
      }
    } else if (balance + expo >= 301) {
      v = 1e300;
    } else {
      double pw = 1;
      for (int k = 0; k < expo; ++k) pw *= 10;
      v *= pw;
    }
  }
  dval = neg ? -v : v;
  ival = 0;
  alignment = KT::aFloat;
}

// Parses a whole text in one pass: each field's value is kept as a double
// (integers are exact in a double; the float nil marks invalid fields) and
// the alignment is decided as the fields arrive.
void KNum::Parse(const char* text, int length) {
  const size_t n = !text ? 0 : length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  std::vector<double> vals;
  vals.reserve(n / 4 + 1);
  KT::KAL align = KT::aNone;
  size_t pos = 0;
  while (pos < n) {
    size_t rest = n - pos;
    int len = rest > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(rest);
    int iv;
    double dv;
    KT::KAL a;
    nextNumField(len, text + pos, iv, dv, a);
    if (len <= 0) break;
    pos += static_cast<size_t>(len);
    if (a == KT::aInt) {
      vals.push_back(static_cast<double>(iv));
      if (align == KT::aNone) align = KT::aInt;
    } else if (a == KT::aFloat) {
      vals.push_back(dv);
      align = KT::aFloat;
    } else {
      vals.push_back(kFNil);
    }
  }
  const int cnt = CheckedCount(static_cast<int64_t>(vals.size()));
  if (align == KT::aFloat) {
    double* d = cnt ? static_cast<double*>(AllocData(StorageBytes(KT::aFloat, cnt), false)) : nullptr;
    if (cnt) std::memcpy(d, vals.data(), static_cast<size_t>(cnt) * 8);
    descriptor->Set(d, typen(), KT::aFloat, cnt, cnt);
  } else {
    int32_t* d = cnt ? static_cast<int32_t*>(AllocData(StorageBytes(KT::aInt, cnt), false)) : nullptr;
    for (int k = 0; k < cnt; ++k) d[k] = vals[k] == kFNil ? kINil : static_cast<int32_t>(vals[k]);
    descriptor->Set(d, typen(), KT::aInt, cnt, cnt);
  }
}

// ====================================================================
// Text forms
// ====================================================================
// Writes the elements at positions from..to (inclusive, stepping by `step`)
// as "%d "/"%g "/"Nil ", breaking lines past 80 characters and cutting with
// "..." once the text exceeds 1000 characters; then trailing blanks go and
// "-" becomes "_" so that the text reads back as a literal.
static void AppendElems(std::string& out, KNum* a, int from, int to, int step) {
  const size_t base = out.size();
  int line = 0;
  char buf[48];
  const bool isInt = a->IsInt();
  for (int i = from;; i += step) {
    int len;
    if (isInt) {
      int32_t v = a->IntPtr()[i];
      if (v == kINil) {
        std::memcpy(buf, "Nil", 3);
        len = 3;
      } else {
        len = FmtInt(buf, v);
      }
    } else {
      double v = a->FltPtr()[i];
      if (v == kFNil) {
        std::memcpy(buf, "Nil", 3);
        len = 3;
      } else {
        len = FmtG(buf, v);
      }
    }
    buf[len++] = ' ';
    line += len;
    if (line > 80) {  // the element that passes 80 starts a new line, counted from 0
      out += "\r\n";
      line = 0;
    }
    out.append(buf, static_cast<size_t>(len));
    if (out.size() > 1000) {
      out += "...";
      break;
    }
    if (i == to) break;
  }
  while (out.size() > base && out.back() == ' ') out.pop_back();
  std::replace(out.begin() + static_cast<std::ptrdiff_t>(base), out.end(), '-', '_');
}

const std::string& KNum::AsString(bool verbose) { return AsString(0, descriptor->count - 1, verbose); }

const std::string& KNum::AsString(int from, int to, bool verbose) {
  const int n = descriptor->count;
  if (n <= 0 || !descriptor->data) {
    text = verbose ? "KNum[0]NULL" : "";
    return text;
  }
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  from = std::clamp(from, 0, n - 1);
  to = std::clamp(to, 0, n - 1);
  text.clear();
  if (verbose) text = VerbosePrefix();
  AppendElems(text, this, from, to, to < from ? -1 : 1);
  return text;
}

std::string KNum::AsSimpleString() {
  const int n = descriptor->count;
  std::string s;
  if (n <= 0 || !descriptor->data) return s;
  if (!IsInt() && !IsFlt()) return "can''t convert";
  s.reserve(static_cast<size_t>(n) * (IsInt() ? 8 : 12));
  char buf[48];
  if (IsInt()) {
    const int32_t* p = IntPtr();
    for (int i = 0; i < n; ++i) {
      int len = FmtInt(buf, p[i]);
      buf[len++] = ' ';
      s.append(buf, static_cast<size_t>(len));
    }
  } else {
    const double* p = FltPtr();
    for (int i = 0; i < n; ++i) {
      int len = FmtG(buf, p[i]);
      buf[len++] = ' ';
      s.append(buf, static_cast<size_t>(len));
    }
  }
  s.pop_back();
  return s;
}

std::string KNum::AsSimpleString(int i) {
  if (!IsInt() && !IsFlt()) return "can''t convert";
  if (i < 0 || i >= descriptor->count || !descriptor->data) return "0";
  char buf[48];
  int len = IsInt() ? FmtInt(buf, IntPtr()[i]) : FmtG(buf, FltPtr()[i]);
  return std::string(buf, static_cast<size_t>(len));
}

std::string KNum::AsSimpleString(int from, int to) {
  if (!IsInt() && !IsFlt()) return "can''t convert";
  std::string s;
  for (int i = from; i < to; ++i) {
    s += AsSimpleString(i);
    s += ' ';
  }
  if (!s.empty()) s.pop_back();
  return s;
}

static std::string HexElems(KNum* a, int from, int to) {
  const int n = a->Count();
  std::string s;
  if (!a->descriptor->data) {
    if (a->alignmentn() == KT::aNone) return KB::Fmt("L[%d]:alNULL", n);
    return s;
  }
  if (a->alignmentn() == KT::aNone) return KB::Fmt("L[%d]:alNULL", n);
  if (!a->IsInt() && !a->IsFlt()) KTHROW(KT::eValue, "Alignment");
  s = KB::Fmt("L[%d]:", n);
  from = std::max(from, 0);
  to = std::min(to, n);
  int k = 0;
  for (int i = from; i < to; ++i) {
    if (a->IsInt()) {
      s += KB::Fmt("%08X ", static_cast<uint32_t>(a->IntPtr()[i]));
    } else {
      uint64_t u;
      std::memcpy(&u, &a->FltPtr()[i], 8);
      s += KB::Fmt("%016llX ", static_cast<unsigned long long>(u));
    }
    if (++k % 5 == 0) s += "\r\n";
    if (s.size() > 1000) {
      s += "...";
      break;
    }
  }
  return s;
}

std::string KNum::AsHex() { return HexElems(this, 0, descriptor->count); }
std::string KNum::AsHex(int i) { return HexElems(this, i, i + 1); }
std::string KNum::AsHex(int from, int to) { return HexElems(this, from, to); }

std::string KNum::Dump() { return AsString(false); }

// Field layout: width W and decimals D from |spec| (8.2: width 8, 2
// decimals; negative: left-justified); W = 0 sizes the field to fit; a
// number wider than W keeps its W rightmost (leftmost when left-justified)
// characters and marks the cut with "*". Nil fields print "Nil".
std::string KNum::FmtElem(double value, double spec, bool) {
  if (spec == kFNil || std::isnan(spec) || spec == static_cast<double>(kINil)) spec = 0;
  const bool left = spec < 0;
  double a = std::fabs(spec);
  if (a > 65535) a = 65535;  // a field never needs more room than this
  int W = static_cast<int>(std::floor(a));
  int D = static_cast<int>(std::floor((a - W + 1e-8) * 10));
  if (D > 9) D = 9;
  auto place = [&](const std::string& t) {
    std::string pad(static_cast<size_t>(std::max(0, W - static_cast<int>(t.size()))), ' ');
    return left ? t + pad : pad + t;
  };
  if (!(std::fabs(value) < 2147483647.0)) {
    if (W < 3) return std::string("N*").substr(0, static_cast<size_t>(W));
    return place("Nil");
  }
  const bool negative = value < 0;
  const double p10 = std::pow(10.0, D);
  const double v = std::floor(std::fabs(value) * p10 + 0.5) / p10;
  int64_t I = static_cast<int64_t>(std::floor(v + 1e-8));
  int64_t F = static_cast<int64_t>(std::floor((v - static_cast<double>(I)) * p10 + 0.5 + 1e-8));
  if (F < 0) F = 0;
  if (F >= static_cast<int64_t>(p10)) {
    F -= static_cast<int64_t>(p10);
    ++I;
  }
  int N = v == 0 ? 1 : std::max(1, static_cast<int>(std::floor(std::log10(v + 1e-8) + 1)));
  if (W == 0) W = N + D + 2 + (negative ? 1 : 0);
  std::string t = negative ? "-" : "";
  t += Fmt("%0*lld", N, static_cast<long long>(I));
  if (D > 0) t += Fmt(".%0*lld", D, static_cast<long long>(F));
  if (static_cast<int>(t.size()) > W) {
    if (left) {
      t = t.substr(0, static_cast<size_t>(W));
      if (W > 0) t.back() = '*';
    } else {
      t = t.substr(t.size() - static_cast<size_t>(W));
      if (W > 0) t.front() = '*';
    }
    return t;
  }
  return place(t);
}

KB* KNum::Format(KB* spec) {
  if (!IsNumIF(spec) || (!IsInt() && !IsFlt())) return KMakeString("");
  const int n = descriptor->count;
  KNum* s = AsNum(spec)->Take(n, true, true);
  std::string out;
  const bool specInt = s->IsInt();
  for (int i = 0; i < n; ++i) {
    double x = IsInt() ? ToF(IntPtr()[i]) : FltPtr()[i];
    double sp = specInt ? (s->IntPtr()[i] == kINil ? 0 : s->IntPtr()[i]) : s->FltPtr()[i];
    out += FmtElem(x, sp, specInt);
  }
  DoneWith(s);
  return KMakeString(out);
}

// ====================================================================
// Base slots
// ====================================================================
void KNum::Clear() {
  const uint8_t a = descriptor->align, t = descriptor->type;
  descriptor->Clear();
  descriptor->align = a;
  descriptor->type = t;
  descriptor->elemSize = KT::TypeAlignToElemSz(a);
}

KB* KNum::Clone() {
  const KBD* d = descriptor;
  if (d->type == KT::tNum && d->count == 1 && d->capacity == 1 && !d->rec && d->extra == 0 &&
      (d->align == KT::aInt || d->align == KT::aFloat)) {
    // One element (a named counter about to change): built directly.
    KNum* c = d->align == KT::aInt ? new KNum(IntPtr()[0]) : new KNum(FltPtr()[0]);
    c->exact = exact;
    c->direction = direction;
    return c;
  }
  KNum* c = new KNum(typen(), KT::aInt, 0);
  *c->descriptor = *descriptor;
  c->exact = exact;
  c->direction = direction;
  return c;
}

void KNum::DeReference(bool flag) { KB::DeReference(flag); }
void KNum::Reference(bool flag) { KB::Reference(flag); }
void KNum::ReferenceTo(KB* o) { KB::ReferenceTo(o); }

bool KNum::EQ(KB* o) {
  if (!IsNumIF(o) || (!IsInt() && !IsFlt())) return false;
  KNum* b = AsNum(o);
  const int n = descriptor->count;
  if (n != b->Count()) return false;
  if (IsInt() && b->IsInt()) return n == 0 || std::memcmp(IntPtr(), b->IntPtr(), static_cast<size_t>(n) * 4) == 0;
  for (int i = 0; i < n; ++i)
    if (GetF(this, i) != GetF(b, i)) return false;
  return true;
}

KB* KNum::Expand(KB* mask) {
  if (!mask || mask->typen() != KT::tBit) KTHROW(KT::eValue, "Rt. Type not Bit");
  if (!IsInt() && !IsFlt()) return nullptr;
  KBit* m = static_cast<KBit*>(mask);
  const int n = m->Count(), src = descriptor->count;
  const unsigned char* bits = m->Bytes();
  KNum* r = NewArr(alignmentn(), n);
  WithElems(this, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    int k = 0;
    for (int i = 0; i < n; ++i) d[i] = (GetBit(bits, i) && k < src) ? s[k++] : NilOf<T>();
  });
  return r;
}

KB* KNum::FieldGet(KB* name) {
  if (FieldIs(name, ":alignn")) return new KNum(static_cast<int32_t>(alignmentn()));
  if (FieldIs(name, ":alignc")) return KMakeString(alignmentc());
  if (FieldIs(name, ":size")) return Size();
  return StdFieldOr(name, ":, :alignn, :alignc, :size, :string, :stringv, :typen, :typec");
}

bool KNum::GT(KB* o, int i, int j, bool descending) {
  if (!IsNumIF(o) || (!IsInt() && !IsFlt())) {
    if (o && typen() != o->typen()) return typen() > o->typen();
    return descending ? j < i : i < j;
  }
  KNum* b = AsNum(o);
  const int n = std::min(Count(), b->Count());
  for (int k = 0; k < n; ++k) {
    if (IsInt() && b->IsInt()) {
      int32_t x = IntPtr()[k], y = b->IntPtr()[k];
      if (x != y) return x > y;
    } else {
      double x = GetF(this, k), y = GetF(b, k);
      if (x != y) return x > y;
    }
  }
  if (Count() != b->Count()) return Count() > b->Count();
  return descending ? j < i : i < j;
}

KB* KNum::Range(int from, int to) {
  if (from > to) KTHROW(KT::eSystem, "l>r");
  if (!IsInt() && !IsFlt()) return nullptr;
  const int n = descriptor->count;
  const int len = CheckedCount(static_cast<int64_t>(to) - from + 1);
  KNum* r = NewArr(alignmentn(), len);
  WithElems(this, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    for (int k = 0; k < len; ++k) {
      int64_t p = static_cast<int64_t>(from) + k;
      d[k] = n == 0 ? NilOf<T>() : s[p < 0 ? 0 : p >= n ? n - 1 : p];
    }
  });
  return r;
}

// ====================================================================
// Images: header, alignment byte, 3 zero bytes, count, dimension count,
// the extents, then the elements in memory order (little-endian).
// ====================================================================
int KNum::SOSz() {
  const int nd = descriptor->rec ? static_cast<int>(static_cast<KRec*>(descriptor->rec)->dims.size()) : 0;
  return ImageSize(static_cast<int64_t>(descriptor->count) * descriptor->elemSize + static_cast<int64_t>(nd) * 4 + 20);
}

std::string KNum::SO() {
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  const int total = SOSz();
  std::string s = ImageHeader(typen(), total);
  s.reserve(static_cast<size_t>(total));
  s += static_cast<char>(alignmentn());
  s.append(3, '\0');
  PutI32(s, descriptor->count);
  const KRec* r = static_cast<KRec*>(descriptor->rec);
  PutI32(s, r ? static_cast<int32_t>(r->dims.size()) : 0);
  if (r)
    for (int32_t d : r->dims) PutI32(s, d);
  const int n = descriptor->count;
  if (IsInt()) {
    for (int i = 0; i < n; ++i) PutI32(s, IntPtr()[i]);
  } else {
    for (int i = 0; i < n; ++i) {
      uint64_t u;
      std::memcpy(&u, &FltPtr()[i], 8);
      for (int k = 0; k < 8; ++k) s += static_cast<char>((u >> (8 * k)) & 0xFF);
    }
  }
  return s;
}

void KNum::SIRead(const char* image) {
  const int total = GetI32(image + 4);
  if (total < 20) KTHROW(KT::eValue, "Image size");
  const KT::KAL a = static_cast<KT::KAL>(static_cast<unsigned char>(image[8]));
  if (a != KT::aInt && a != KT::aFloat) KTHROW(KT::eValue, "Alignment");
  const int n = GetI32(image + 12), nd = GetI32(image + 16);
  const int es = a == KT::aInt ? 4 : 8;
  if (n < 0 || nd < 0 || static_cast<int64_t>(n) * es + static_cast<int64_t>(nd) * 4 + 20 != total)
    KTHROW(KT::eValue, "Image size");
  const char* p = image + 20;
  std::vector<int32_t> dims(static_cast<size_t>(nd));
  for (int k = 0; k < nd; ++k, p += 4) dims[static_cast<size_t>(k)] = GetI32(p);
  void* d = n ? AllocData(StorageBytes(a, n), false) : nullptr;
  if (a == KT::aInt) {
    int32_t* q = static_cast<int32_t*>(d);
    for (int i = 0; i < n; ++i, p += 4) q[i] = GetI32(p);
  } else {
    double* q = static_cast<double*>(d);
    for (int i = 0; i < n; ++i, p += 8) {
      uint64_t u = 0;
      for (int k = 0; k < 8; ++k) u |= static_cast<uint64_t>(static_cast<unsigned char>(p[k])) << (8 * k);
      std::memcpy(&q[i], &u, 8);
    }
  }
  descriptor->Set(d, typen(), a, n, n);
  if (nd) rec()->dims = std::move(dims);
}

KB* KNum::SI(const char* image) {
  KNum* r = new KNum();
  try {
    r->SIRead(image);
  } catch (...) {
    DoneWith(r);
    throw;
  }
  return r;
}

// ====================================================================
// Alignment conversion and binary packing
// ====================================================================
void KNum::CoerceTo(KT::KAL a) {
  const KT::KAL from = alignmentn();
  if (from == a) return;
  if ((from != KT::aInt && from != KT::aFloat) || (a != KT::aInt && a != KT::aFloat)) KTHROW(KT::eValue, "Alignment");
  const int n = descriptor->count;
  void* d = n ? AllocData(StorageBytes(a, n), false) : nullptr;
  if (a == KT::aFloat) {
    const int32_t* s = IntPtr();
    double* q = static_cast<double*>(d);
    for (int i = 0; i < n; ++i) q[i] = ToF(s[i]);
  } else {
    const double* s = FltPtr();
    int32_t* q = static_cast<int32_t*>(d);
    for (int i = 0; i < n; ++i) q[i] = ToI(s[i]);
  }
  KRec* keep = static_cast<KRec*>(descriptor->rec);
  descriptor->rec = nullptr;
  descriptor->Set(d, typen(), a, n, n);
  descriptor->rec = keep;
}

KB* KNum::CoerceTo(KT::KTO t) {
  if (t == KT::tBit) return new KBit(static_cast<KB*>(this));
  if (t == KT::tNum) return Clone();
  KTHROW(KT::eNotImpl, "Type");
}

void KNum::ConformAlign(KB* l, KB* r) {
  if (!IsNumIF(l)) KTHROW(KT::eValue, "L Type");
  if (!IsNumIF(r)) KTHROW(KT::eValue, "R Type");
  if (l->alignmentn() == r->alignmentn()) return;
  if (l->alignmentn() == KT::aInt)
    AsNum(l)->CoerceTo(KT::aFloat);
  else
    AsNum(r)->CoerceTo(KT::aFloat);
}

namespace {
template <class U> void PutLE(std::string& s, U u) {
  for (size_t k = 0; k < sizeof(U); ++k) s += static_cast<char>((static_cast<uint64_t>(u) >> (8 * k)) & 0xFF);
}
float ToFloat32(double v) {
  if (std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
  if (v > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (v < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}
}  // namespace

KB* KNum::Convert(KB* code) {
  if (!IsNumIF(code) || code->Count() == 0 || (!IsInt() && !IsFlt())) return nullptr;
  KNum* c = AsNum(code);
  const bool fltCode = c->IsFlt();
  const int64_t k = c->IsInt() ? c->IntPtr()[0] : Trunc64(c->FltPtr()[0]);
  const int n = descriptor->count;
  if (k == 0) {
    // the raw bytes of the buffer as bits, 8 per byte
    int bytes = (IsInt() && n == 1) ? 4 : 8;
    if (!descriptor->data) return new KBit();
    std::string raw(static_cast<size_t>(bytes), '\0');
    std::memcpy(raw.data(), descriptor->data, std::min<size_t>(static_cast<size_t>(bytes), StorageBytes(alignmentn(), descriptor->capacity)));
    unsigned char* b;
    KBit* r = NewBits(bytes * 8, b);
    std::memcpy(b, raw.data(), static_cast<size_t>(bytes));
    return r;
  }
  if (k != 1 && k != 2 && k != 4 && k != 8 && k != -1 && k != -2 && k != -4) return nullptr;
  std::string s;
  s.reserve(static_cast<size_t>(n) * static_cast<size_t>(k < 0 ? -k : k));
  for (int i = 0; i < n; ++i) {
    const double dv = IsInt() ? static_cast<double>(IntPtr()[i]) : FltPtr()[i];
    const int64_t iv = IsInt() ? IntPtr()[i] : Trunc64(FltPtr()[i]);
    switch (k) {
      case 1: case -1: PutLE(s, static_cast<uint8_t>(static_cast<uint64_t>(iv))); break;
      case 2: case -2: PutLE(s, static_cast<uint16_t>(static_cast<uint64_t>(iv))); break;
      case 4: case -4:
        if (fltCode) {
          float f = ToFloat32(dv);
          uint32_t u;
          std::memcpy(&u, &f, 4);
          PutLE(s, u);
        } else {
          PutLE(s, static_cast<uint32_t>(static_cast<uint64_t>(iv)));
        }
        break;
      default: {
        uint64_t u;
        std::memcpy(&u, &dv, 8);
        PutLE(s, u);
      }
    }
  }
  return KMakeString(s);
}

// ====================================================================
// Indexing: 1-based positions; outside positions give nils; assignment
// never inserts.
// ====================================================================
KNum* KNum::BitToIdx(KB* bits) {
  if (!bits || bits->typen() != KT::tBit) return NewArr(KT::aInt, 0);
  KBit* b = static_cast<KBit*>(bits);
  const int n = b->Count();
  const unsigned char* p = b->Bytes();
  int c = 0;
  for (int i = 0; i < n; ++i) c += GetBit(p, i);
  KNum* r = NewArr(KT::aInt, c);
  int32_t* d = r->IntPtr();
  for (int i = 0, k = 0; i < n; ++i)
    if (GetBit(p, i)) d[k++] = i + 1;
  return r;
}

// A mask index (bits, or a text read as bits) as a new bit vector; null
// for other index types.
static KBit* MaskOf(KB* index) {
  if (index->typen() == KT::tBit) {
    index->Reference(true);
    return static_cast<KBit*>(index);
  }
  if (index->typen() == KT::tString) return new KBit(index);
  return nullptr;
}

KB* KNum::IndexedBy(KB* index) {
  if (!index) KTHROW(KT::eValue, "Invalid Index");
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  const KT::KTO it = index->typen();
  if (it == KT::tNV || index->Count() == 0) {
    if (it == KT::tNV || IsNumT(index) || it == KT::tBit || it == KT::tString) return Clone();
  }
  if (it == KT::tBit || it == KT::tString) {
    KBit* m = MaskOf(index);
    KNum* pos = BitToIdx(m);
    DoneWith(m);
    if (pos->Count() == 0) {  // no set bit: nothing selected
      DoneWith(pos);
      return NewArr(alignmentn(), 0);
    }
    KB* r = IndexedBy(pos);
    DoneWith(pos);
    return r;
  }
  if (!IsNumIF(index)) KTHROW(KT::eValue, "Invalid Index");
  KNum* ix = AsNum(index);
  const int m = ix->Count(), n = descriptor->count;
  KNum* r = NewArr(alignmentn(), m);
  WithElems(this, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    if (ix->IsInt()) {
      const int32_t* p = ix->IntPtr();
      for (int k = 0; k < m; ++k) {
        uint32_t j = static_cast<uint32_t>(p[k]) - 1u;  // outside 1..n wraps beyond n
        d[k] = j < static_cast<uint32_t>(n) ? s[j] : NilOf<T>();
      }
    } else {
      const double* p = ix->FltPtr();
      for (int k = 0; k < m; ++k) {
        int64_t j = Trunc64(p[k]) - 1;
        d[k] = (j >= 0 && j < n) ? s[j] : NilOf<T>();
      }
    }
  });
  return r;
}

KNum* KNum::IndexedBy(int i) {
  KNum* r = NewArr(IsFlt() ? KT::aFloat : KT::aInt, 1);
  const bool in = i >= 0 && i < descriptor->count && descriptor->data;
  if (r->IsInt())
    r->IntPtr()[0] = in && IsInt() ? IntPtr()[i] : kINil;
  else
    r->FltPtr()[0] = in ? FltPtr()[i] : kFNil;
  return r;
}

void KNum::IdxAssign(KB* value, KB* index) {
  if (!IsNumT(value)) KTHROW(KT::eValue, "Invalid Index");
  if (!index) KTHROW(KT::eValue, "Invalid index");
  KNum* v = AsNum(value);
  const int vc = v->Count();
  if (vc == 0) return;
  if (!v->IsInt() && !v->IsFlt()) KTHROW(KT::eValue, "Alignment");
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  if (v->IsFlt() && IsInt()) CoerceTo(KT::aFloat);
  const int n = descriptor->count;
  const KT::KTO it = index->typen();
  // value element k, in this array's alignment
  auto store = [&](int dst, int k) {
    if (IsInt())
      IntPtr()[dst] = v->IntPtr()[k];
    else
      FltPtr()[dst] = GetF(v, k);
  };
  if (it == KT::tBit || it == KT::tString) {
    KBit* m = MaskOf(index);
    const int lim = std::min(n, m->Count());
    const unsigned char* bits = m->Bytes();
    int k = 0;
    for (int i = 0; i < lim; ++i) {
      if (!GetBit(bits, i)) continue;
      store(i, std::min(k, vc - 1));
      ++k;
    }
    DoneWith(m);
    return;
  }
  if (it == KT::tNV) {
    for (int i = 0; i < n; ++i) store(i, std::min(i, vc - 1));
    return;
  }
  if (it == KT::tNum) {
    KNum* ix = AsNum(index);
    if (!ix->IsInt()) KTHROW(KT::eNotImpl, "Insertion not implemented");
    const int m = ix->Count();
    const int32_t* p = ix->IntPtr();
    for (int k = 0; k < m; ++k) {
      int32_t j = p[k];
      if (j >= 1 && j <= n) store(j - 1, std::min(k, vc - 1));
    }
    return;
  }
  KTHROW(KT::eValue, "Invalid index");
}

// ====================================================================
// Structure (new arrays unless "in place")
// ====================================================================
KNum* KNum::Take(int n, bool fromFront, bool padWithEdge) {
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  const KT::KAL a = alignmentn();
  if (n == 0) return NewArr(a, 0);
  if (n == kINil) n = 1;
  const int c = descriptor->count;
  const int64_t an = n < 0 ? -static_cast<int64_t>(n) : n;
  if (c == 0) return new KNum(a, CheckedCount(an));
  if (n < 0) {
    if (an >= c) return NewArr(a, 0);
    const int len = c - static_cast<int>(an);
    KNum* r = NewArr(a, len);
    const size_t es = static_cast<size_t>(descriptor->elemSize);
    const char* s = static_cast<const char*>(VoidPtr()) + (fromFront ? an * static_cast<int64_t>(es) : 0);
    std::memcpy(r->VoidPtr(), s, static_cast<size_t>(len) * es);
    return r;
  }
  const int len = CheckedCount(an);
  KNum* r = NewArr(a, len);
  WithElems(this, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    if (len <= c) {
      std::copy(s + (fromFront ? 0 : c - len), s + (fromFront ? len : c), d);
      return;
    }
    const T pad = padWithEdge ? (fromFront ? s[c - 1] : s[0]) : T(0);
    if (fromFront) {
      std::copy(s, s + c, d);
      std::fill(d + c, d + len, pad);
    } else {
      std::fill(d, d + (len - c), pad);
      std::copy(s, s + c, d + (len - c));
    }
  });
  return r;
}

void KNum::Drop(int n) {
  if (alignmentn() == KT::aBit) KTHROW(KT::eNotImpl, "Bool drop not implemented:");
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Invalid data dropped:");
  const int c = descriptor->count;
  const int64_t an = n < 0 ? -static_cast<int64_t>(n) : n;
  if (an >= c) {
    descriptor->count = 0;
    return;
  }
  const size_t es = static_cast<size_t>(descriptor->elemSize);
  if (n > 0) {
    char* p = static_cast<char*>(VoidPtr());
    std::memmove(p, p + static_cast<size_t>(an) * es, static_cast<size_t>(c - an) * es);
  }
  descriptor->count = c - static_cast<int>(an);
}

KNum* KNum::Rotate(int n) {
  if (!IsInt() && !IsFlt()) return nullptr;
  const int c = descriptor->count;
  KNum* r = NewArr(alignmentn(), c);
  if (c == 0) return r;
  const int sh = static_cast<int>(((static_cast<int64_t>(n) % c) + c) % c);  // result[i] = src[(i - n) mod c]
  const size_t es = static_cast<size_t>(descriptor->elemSize);
  const char* s = static_cast<const char*>(VoidPtr());
  char* d = static_cast<char*>(r->VoidPtr());
  std::memcpy(d + sh * es, s, static_cast<size_t>(c - sh) * es);
  std::memcpy(d, s + static_cast<size_t>(c - sh) * es, static_cast<size_t>(sh) * es);
  return r;
}

KNum* KNum::Shift(int n) {
  if (!IsInt() && !IsFlt()) return nullptr;
  const int c = descriptor->count;
  KNum* r = NewArr(alignmentn(), c);
  WithElems(this, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    for (int i = 0; i < c; ++i) {
      const int64_t j = static_cast<int64_t>(i) - n;
      d[i] = (j >= 0 && j < c) ? s[j] : NilOf<T>();
    }
  });
  return r;
}

KNum* KNum::Flip() {
  if (!IsInt() && !IsFlt()) return nullptr;
  const int c = descriptor->count;
  KNum* r = NewArr(alignmentn(), c);
  WithElems(this, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    std::reverse_copy(s, s + c, static_cast<T*>(r->VoidPtr()));
  });
  return r;
}

KNum* KNum::Reshape(int n) {
  if (!IsInt() && !IsFlt()) return nullptr;
  if (n < 0) n = 0;
  const int c = descriptor->count;
  if (c == 0 || n == 0) return new KNum(KT::aInt, n);
  KNum* r = NewArr(alignmentn(), n);
  WithElems(this, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    // 64-bit steps: the last step may pass the largest Int count.
    for (int64_t i = 0; i < n; i += c) std::copy(s, s + std::min<int64_t>(c, n - i), d + i);
  });
  return r;
}

// Copies n elements of a (I or F) into d as float elements.
static void CopyAsF(double* d, KNum* a, int n) {
  if (n <= 0) return;
  if (a->IsFlt()) {
    std::memcpy(d, a->FltPtr(), static_cast<size_t>(n) * 8);
  } else {
    const int32_t* s = a->IntPtr();
    for (int i = 0; i < n; ++i) d[i] = ToF(s[i]);
  }
}

KNum* KNum::Catenate(KNum* o) {
  if (!IsInt() && !IsFlt()) return nullptr;
  if (!IsNumIF(o)) return AsNum(Clone());
  const int c = Count(), m = o->Count();
  const bool flt = IsFlt() || o->IsFlt();
  KNum* r = NewArr(flt ? KT::aFloat : KT::aInt, CheckedCount(static_cast<int64_t>(c) + m));
  if (flt) {
    CopyAsF(r->FltPtr(), this, c);
    CopyAsF(r->FltPtr() + c, o, m);
  } else {
    if (c) std::memcpy(r->IntPtr(), IntPtr(), static_cast<size_t>(c) * 4);
    if (m) std::memcpy(r->IntPtr() + c, o->IntPtr(), static_cast<size_t>(m) * 4);
  }
  return r;
}

void KNum::Append(KB* o) {
  if (!IsNumT(o)) KTHROW(KT::eValue, "LT not numeric");
  KNum* b = AsNum(o);
  if (!b->IsInt() && !b->IsFlt()) KTHROW(KT::eValue, "Alignment");
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  if (b->IsFlt() && IsInt()) CoerceTo(KT::aFloat);
  const int c = descriptor->count, m = b->Count();
  if (m == 0) return;
  const int nc = CheckedCount(static_cast<int64_t>(c) + m);
  const KT::KAL a = alignmentn();
  if (nc > descriptor->capacity) {
    const int cap = CheckedCount(std::max<int64_t>(static_cast<int64_t>(nc) * 110 / 100, nc));
    descriptor->data = ReallocData(descriptor->data, StorageBytes(a, descriptor->capacity), StorageBytes(a, cap), true);
    descriptor->capacity = cap;
  }
  // read the source after any growth: it may be this very buffer
  if (IsInt()) {
    std::memmove(IntPtr() + c, b->IntPtr(), static_cast<size_t>(m) * 4);
  } else if (b->IsFlt()) {
    std::memmove(FltPtr() + c, b->FltPtr(), static_cast<size_t>(m) * 8);
  } else {
    CopyAsF(FltPtr() + c, b, m);
  }
  descriptor->count = nc;
}

KNum* KNum::Union(KNum*) { KTHROW(KT::eNotImpl, "Num Union"); }

// Replaces nils, working on float elements: forward (each nil repeats the
// value before it; leading nils take the last non-nil), backward (direction
// set: each nil takes the value after it; trailing nils the first non-nil)
// or linear (exact set: runs between two values are evenly spaced; leading
// nils take the first value, trailing nils repeat the last).
KNum* KNum::Fill() {
  if (!IsInt() && !IsFlt()) return nullptr;
  const int n = descriptor->count;
  std::vector<double> w(static_cast<size_t>(n));
  CopyAsF(w.data(), this, n);
  int firstNN = -1, lastNN = -1;
  for (int i = 0; i < n; ++i)
    if (w[i] != kFNil) {
      if (firstNN < 0) firstNN = i;
      lastNN = i;
    }
  if (firstNN < 0) return new KNum(KT::aInt, n);
  if (exact) {
    for (int i = 0; i < firstNN; ++i) w[i] = w[firstNN];
    int prev = firstNN;
    for (int i = firstNN + 1; i <= lastNN; ++i) {
      if (w[i] == kFNil) continue;
      if (i - prev > 1) {
        const double step = (w[i] - w[prev]) / (i - prev);
        for (int k = prev + 1; k < i; ++k) w[k] = w[prev] + step * (k - prev);
      }
      prev = i;
    }
    for (int i = lastNN + 1; i < n; ++i) w[i] = w[lastNN];
  } else if (direction) {
    double next = w[firstNN];
    for (int i = n - 1; i >= 0; --i) {
      if (w[i] == kFNil)
        w[i] = next;
      else
        next = w[i];
    }
  } else {
    double prev = w[lastNN];
    for (int i = 0; i < n; ++i) {
      if (w[i] == kFNil)
        w[i] = prev;
      else
        prev = w[i];
    }
  }
  KNum* r = NewArr(alignmentn(), n);
  if (r->IsInt()) {
    for (int i = 0; i < n; ++i) r->IntPtr()[i] = ToI(w[i]);
  } else if (n) {
    std::memcpy(r->FltPtr(), w.data(), static_cast<size_t>(n) * 8);
  }
  return r;
}

KNum* KNum::Fill(KB* pattern) {
  if (!IsInt() && !IsFlt()) return nullptr;
  KNum* spread = nullptr;
  if (IsNumIF(pattern)) {
    KNum* p = AsNum(pattern);
    const int n = Count(), m = p->Count();
    auto countAt = [&](int i) -> int64_t {
      if (i >= m) return 0;
      if (p->IsInt()) {
        int32_t v = p->IntPtr()[i];
        return v == kINil || v < 0 ? 0 : v;
      }
      double v = p->FltPtr()[i];
      return v == kFNil || !(v > 0) ? 0 : Trunc64(v);
    };
    int64_t total = 0;
    for (int i = 0; i < n; ++i) {
      total += countAt(i);
      if (total > 0x7FFFFFF0) KTHROW(KT::eSystem, "Out of memory");
    }
    spread = new KNum(alignmentn(), static_cast<int>(total));
    int at = 0;
    for (int i = 0; i < n; ++i) {
      const int64_t k = countAt(i);
      if (k == 0) continue;
      if (IsInt())
        spread->IntPtr()[at] = IntPtr()[i];
      else
        spread->FltPtr()[at] = FltPtr()[i];
      at += static_cast<int>(k);
    }
  } else if (pattern && pattern->typen() == KT::tBit) {
    spread = AsNum(Expand(pattern));
  } else {
    return AsNum(Clone());
  }
  spread->exact = exact;
  spread->direction = direction;
  KNum* r = spread->Fill();
  DoneWith(spread);
  return r;
}

KNum* KNum::Absolute() {
  if (!IsInt() && !IsFlt()) return nullptr;
  const int n = Count();
  KNum* r = NewArr(alignmentn(), n);
  if (IsInt()) {
    const int32_t* s = IntPtr();
    int32_t* d = r->IntPtr();
    for (int i = 0; i < n; ++i) d[i] = s[i] < 0 ? WSub(0, s[i]) : s[i];
  } else {
    const double* s = FltPtr();
    double* d = r->FltPtr();
    for (int i = 0; i < n; ++i) d[i] = std::fabs(s[i]);
  }
  return r;
}

// Element-wise minimum or maximum; a nil on either side gives nil.
static KNum* MinMax(KNum* a, KB* o, bool larger) {
  if (!IsNumIF(o)) KTHROW(KT::eValue, "RT Type");
  if (!a->IsInt() && !a->IsFlt()) return nullptr;
  KNum* b = AsNum(o);
  const int n = a->Count(), m = std::min(n, b->Count());
  if (a->IsInt() && b->IsInt()) {
    KNum* r = NewArr(KT::aInt, n);
    const int32_t *x = a->IntPtr(), *y = b->IntPtr();
    int32_t* d = r->IntPtr();
    for (int i = 0; i < m; ++i) {
      const int32_t v = larger ? std::max(x[i], y[i]) : std::min(x[i], y[i]);
      d[i] = (x[i] == kINil || y[i] == kINil) ? kINil : v;
    }
    std::copy(x + m, x + n, d + m);
    return r;
  }
  KNum* r = NewArr(KT::aFloat, n);
  double* d = r->FltPtr();
  CopyAsF(d, a, n);
  for (int i = 0; i < m; ++i) {
    const double x = d[i], y = GetF(b, i);
    const double v = larger ? std::max(x, y) : std::min(x, y);
    d[i] = (x == kFNil || y == kFNil) ? kFNil : v;
  }
  return r;
}

KNum* KNum::Smaller(KB* o) { return MinMax(this, o, false); }
KNum* KNum::Larger(KB* o) { return MinMax(this, o, true); }

// Rounding to multiples of a unit (default 1.0; 0 counts as 1.0; one unit
// per element, the last repeating). Float result; nils stay nil.
static KNum* RoundBy(KNum* a, KB* unit, int mode) {
  if (!a->IsInt() && !a->IsFlt()) return nullptr;
  const int n = a->Count();
  KNum* r = NewArr(KT::aFloat, n);
  double* d = r->FltPtr();
  CopyAsF(d, a, n);
  KNum* u = IsNumIF(unit) && unit->Count() > 0 ? AsNum(unit) : nullptr;
  const int m = u ? u->Count() : 0;
  for (int i = 0; i < n; ++i) {
    const double x = d[i];
    if (x == kFNil) continue;
    double uu = u ? GetF(u, std::min(i, m - 1)) : 1.0;
    if (uu == 0) uu = 1.0;
    uu = std::fabs(uu);
    const double q = std::fabs(x) / uu;
    double v;
    if (mode > 0)
      v = std::ceil(q - uu * 1e-8) * uu;
    else if (mode < 0)
      v = std::floor(q + uu * 1e-8) * uu;
    else
      v = std::trunc(q + 0.5) * uu;
    d[i] = x < 0 ? -v : v;
  }
  return r;
}

KNum* KNum::RoundUp(KB* unit) { return RoundBy(this, unit, 1); }
KNum* KNum::RoundDn(KB* unit) { return RoundBy(this, unit, -1); }
KNum* KNum::RoundNear(KB* unit) { return RoundBy(this, unit, 0); }

KNum* KNum::RoundHalf() {
  if (!IsFlt()) return AsNum(Clone());
  return RoundBy(this, nullptr, 0);
}

KB* KNum::ToTF() {
  const int n = Count();
  unsigned char* b;
  KBit* r = NewBits(n, b);
  if (IsInt()) {
    for (int i = 0; i < n; ++i)
      if (IntPtr()[i] != 0) PutBit(b, i);
  } else if (IsFlt()) {
    for (int i = 0; i < n; ++i)
      if (FltPtr()[i] != 0) PutBit(b, i);
  }
  return r;
}

// ====================================================================
// Comparison and search. Mixed alignments compare as float elements (the
// integer nil meets the float nil); operands are never changed.
// ====================================================================
int KNum::Compare(KB* o) {
  if (!o) return 1;
  if (typen() != o->typen()) return typen() - o->typen();
  const int c = Count(), m = o->Count();
  if (c == 0 || m == 0 || !IsNumIF(o) || (!IsInt() && !IsFlt())) return c - m;
  KNum* b = AsNum(o);
  const int n = std::min(c, m);
  if (IsInt() && b->IsInt()) {
    const int32_t *x = IntPtr(), *y = b->IntPtr();
    for (int i = 0; i < n; ++i)
      if (x[i] != y[i]) {
        const int64_t d = static_cast<int64_t>(x[i]) - y[i];
        return d > INT32_MAX ? INT32_MAX : d < -INT32_MAX ? -INT32_MAX : static_cast<int>(d);
      }
  } else {
    // A total order (dictionary trees rely on it): NaN equals NaN and
    // orders after every number.
    for (int i = 0; i < n; ++i) {
      const double x = GetF(this, i), y = GetF(b, i);
      const bool xNaN = std::isnan(x), yNaN = std::isnan(y);
      if (xNaN || yNaN) {
        if (xNaN != yNaN) return xNaN ? 1 : -1;
        continue;
      }
      if (x != y) return x < y ? -1 : 1;
    }
  }
  return c - m;
}

bool KNum::IsSame(KB* o) {
  if (!o || o->typen() != KT::tNum || o->Count() != Count() || o->alignmentn() != alignmentn()) return false;
  if (!IsInt() && !IsFlt()) return false;
  const size_t bytes = static_cast<size_t>(Count()) * static_cast<size_t>(descriptor->elemSize);
  return bytes == 0 || std::memcmp(VoidPtr(), o->descriptor->data, bytes) == 0;
}

KB* KNum::MarkEqual(KB* o) {
  const bool eq = o && o->typen() == typen() && o->alignmentn() == alignmentn() && EQ(o);
  return new KBit(eq);
}

bool KNum::GTQSInt(void* data, int i, int j, bool flag) {
  const int32_t* a = static_cast<const int32_t*>(data);
  if (a[i] != a[j]) return a[i] > a[j];
  return flag ? j < i : i < j;
}

bool KNum::GTQSFlt(void* data, int i, int j, bool flag) {
  const double* a = static_cast<const double*>(data);
  if (a[i] > a[j]) return true;
  if (a[i] < a[j]) return false;
  return flag ? j < i : i < j;
}

bool KNum::IsAscending() {
  const int n = Count();
  if (n < 2) return true;
  return WithElems(this, [&](auto* s) {
    for (int i = 1; i < n; ++i)
      if (s[i] < s[i - 1]) return false;
    return true;
  });
}

namespace {
// Positions of the values of an array, for membership tests in linear time
// on large operands (NaN never matches anything).
struct ValueIndex {
  std::unordered_map<uint64_t, int> first;
  explicit ValueIndex(KNum* a) {
    const int n = a->Count();
    first.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      const double v = GetF(a, i);
      if (!std::isnan(v)) first.emplace(FKey(v), i);
    }
  }
  int Find(double v) const {  // 0-based, -1 when absent
    if (std::isnan(v)) return -1;
    auto it = first.find(FKey(v));
    return it == first.end() ? -1 : it->second;
  }
};
}  // namespace

KNum* KNum::IndexOf(KB* keys) {
  const int m = keys ? keys->Count() : 0;
  KNum* r = NewArr(KT::aInt, m);
  int32_t* d = r->IntPtr();
  std::fill(d, d + m, 0);
  if (!IsNumIF(keys) || (!IsInt() && !IsFlt())) return r;
  KNum* k = AsNum(keys);
  const int n = Count();
  if (static_cast<int64_t>(n) * m <= 4096) {
    for (int j = 0; j < m; ++j) {
      const double v = GetF(k, j);
      for (int i = 0; i < n; ++i)
        if (GetF(this, i) == v) {
          d[j] = i + 1;
          break;
        }
    }
    return r;
  }
  ValueIndex ix(this);
  for (int j = 0; j < m; ++j) d[j] = ix.Find(GetF(k, j)) + 1;
  return r;
}

KNum* KNum::IndicesOf(KB* key, int& n) {
  n = 0;
  if (!IsNumIF(key) || key->Count() == 0 || Count() == 0 || key->alignmentn() != alignmentn()) return NewArr(KT::aInt, 0);
  const int c = Count();
  std::vector<int32_t> pos;
  if (IsInt()) {
    const int32_t v = AsNum(key)->IntPtr()[0];
    for (int i = 0; i < c; ++i)
      if (IntPtr()[i] == v) pos.push_back(i + 1);
  } else {
    const double v = AsNum(key)->FltPtr()[0];
    for (int i = 0; i < c; ++i)
      if (FltPtr()[i] == v) pos.push_back(i + 1);
  }
  n = static_cast<int>(pos.size());
  KNum* r = NewArr(KT::aInt, n);
  std::copy(pos.begin(), pos.end(), r->IntPtr());
  return r;
}

KNum* KNum::IndicesOfGraded(KB*, int&) { KTHROW(KT::eNotImpl, "IndicesOfGraded"); }

KB* KNum::MarkAny(KB* set) {
  const int n = Count();
  unsigned char* b;
  KBit* r = NewBits(n, b);
  if (!IsNumIF(set) || (!IsInt() && !IsFlt())) return r;
  KNum* s = AsNum(set);
  const int m = s->Count();
  if (static_cast<int64_t>(n) * m <= 4096) {
    for (int i = 0; i < n; ++i) {
      const double v = GetF(this, i);
      for (int j = 0; j < m; ++j)
        if (GetF(s, j) == v) {
          PutBit(b, i);
          break;
        }
    }
    return r;
  }
  ValueIndex ix(s);
  for (int i = 0; i < n; ++i)
    if (ix.Find(GetF(this, i)) >= 0) PutBit(b, i);
  return r;
}

KB* KNum::MarkAll(KB* pattern) {
  const int n = Count();
  unsigned char* b;
  KBit* r = NewBits(n, b);
  if (!IsNumIF(pattern) || (!IsInt() && !IsFlt())) return r;
  KNum* p = AsNum(pattern);
  const int m = p->Count();
  if (m == 0 || m > n) return r;
  int i = 0;
  while (i + m <= n) {
    int k = 0;
    while (k < m && GetF(this, i + k) == GetF(p, k)) ++k;
    if (k == m) {
      for (int q = 0; q < m; ++q) PutBit(b, i + q);
      i += m;
    } else {
      ++i;
    }
  }
  return r;
}

namespace {
// Marks bit i of `bits` (zeroed, packed as in KBit) where p(x(i), y(i)),
// for i < n. The predicate runs over blocks into one byte per element (a
// loop without branches that vectorises), and each 8 flag bytes are packed
// into one bit byte by a multiplication: byte j of the word lands on bit
// 7 - j of the top byte, and no two partial products overlap.
template <class X, class Y, class P>
void PackMarks(unsigned char* bits, int n, X x, Y y, P p) {
  constexpr int kBlock = 512;
  alignas(8) unsigned char flag[kBlock];
  for (int base = 0; base < n; base += kBlock) {
    const int len = std::min(kBlock, n - base);
    for (int i = 0; i < len; ++i) flag[i] = static_cast<unsigned char>(p(x(base + i), y(base + i)));
    const int padded = (len + 7) / 8 * 8;
    for (int i = len; i < padded; ++i) flag[i] = 0;
    unsigned char* out = bits + base / 8;
    for (int k = 0; k < padded / 8; ++k) {
      uint64_t w;
      std::memcpy(&w, flag + 8 * k, 8);
      out[k] = static_cast<unsigned char>((w * 0x8040201008040201ull) >> 56);
    }
  }
}

template <class X, class Y>
void MarkBy(KT::KMC how, unsigned char* bits, int n, X x, Y y) {
  switch (how) {
    case KT::mcLT: PackMarks(bits, n, x, y, [](auto a, auto b) { return a < b; }); break;
    case KT::mcLE: PackMarks(bits, n, x, y, [](auto a, auto b) { return a <= b; }); break;
    case KT::mcEQ: PackMarks(bits, n, x, y, [](auto a, auto b) { return a == b; }); break;
    case KT::mcGE: PackMarks(bits, n, x, y, [](auto a, auto b) { return a >= b; }); break;
    case KT::mcGT: PackMarks(bits, n, x, y, [](auto a, auto b) { return a > b; }); break;
    case KT::mcNE: PackMarks(bits, n, x, y, [](auto a, auto b) { return a != b; }); break;
    default: break;
  }
}
}  // namespace

// A one-element argument is compared with every element (as if extended);
// otherwise positions past the shorter operand stay 0. Mixed alignments
// compare as floats, an Int nil as the Float nil.
KB* KNum::MarkElem(KB* o, KT::KMC how) {
  const int n = Count();
  const int m = IsNumIF(o) ? o->Count() : 0;
  const bool scalar = m == 1 && n > 1;
  const int len = scalar ? n : std::max(n, m), lim = scalar ? n : std::min(n, m);
  unsigned char* b;
  KBit* r = NewBits(len, b);
  if (!IsNumIF(o) || (!IsInt() && !IsFlt())) return r;
  KNum* y = AsNum(o);
  if (IsInt() && y->IsInt()) {
    const int32_t* a = IntPtr();
    const int32_t* c = y->IntPtr();
    if (scalar) {
      const int32_t v = c[0];
      MarkBy(how, b, lim, [a](int i) { return a[i]; }, [v](int) { return v; });
    } else {
      MarkBy(how, b, lim, [a](int i) { return a[i]; }, [c](int i) { return c[i]; });
    }
  } else if (scalar) {
    const double v = GetF(y, 0);
    MarkBy(how, b, lim, [this](int i) { return GetF(this, i); }, [v](int) { return v; });
  } else {
    MarkBy(how, b, lim, [this](int i) { return GetF(this, i); }, [y](int i) { return GetF(y, i); });
  }
  return r;
}

KB* KNum::Contains(KB* o) {
  if (o && o->typen() == KT::tNum) return MarkAny(o);
  if (o && (o->typen() == KT::tSeq || o->typen() == KT::tSeqEa)) {
    KSeq* s = static_cast<KSeq*>(o);
    KSeq* r = new KSeq();
    for (int i = 0; i < s->Count(); ++i) r->Append(MarkElem((*s)[i], KT::mcEQ), true);
    return r;
  }
  KTHROW(KT::eNotSupp, "Type");
}

// Runs of equal adjacent elements. keep(runLength) decides whether the run
// contributes its element.
template <class Keep> static KNum* Runs(KNum* a, Keep keep) {
  if (!a->IsInt() && !a->IsFlt()) return nullptr;
  const int n = a->Count();
  if (n < 2) return static_cast<KNum*>(a->Clone());
  KNum* r = NewArr(a->alignmentn(), n);
  int k = 0;
  WithElems(a, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    int i = 0;
    while (i < n) {
      int j = i + 1;
      while (j < n && s[j] == s[i]) ++j;
      if (keep(j - i)) d[k++] = s[i];
      i = j;
    }
  });
  r->descriptor->count = k;
  return r;
}

KNum* KNum::Unique() { return Runs(this, [](int) { return true; }); }
KNum* KNum::QueryUnique() { return Runs(this, [](int len) { return len == 1; }); }
KNum* KNum::QueryNotUnique() { return Runs(this, [](int len) { return len >= 2; }); }

// Keeps the elements whose membership in `o` equals `member`; the test
// values are read as float elements.
static KNum* Filter(KNum* a, KNum* o, bool member, bool toOwnAlign) {
  const int n = a->Count(), m = o->Count();
  std::vector<double> keys(static_cast<size_t>(m));
  for (int j = 0; j < m; ++j) {
    double v = GetF(o, j);
    if (toOwnAlign && a->IsInt() && o->IsFlt()) v = ToF(ToI(o->FltPtr()[j]));
    keys[static_cast<size_t>(j)] = v;
  }
  std::unordered_set<uint64_t> set;
  const bool hashed = static_cast<int64_t>(n) * m > 4096;
  if (hashed) {
    set.reserve(keys.size());
    for (double v : keys)
      if (!std::isnan(v)) set.insert(FKey(v));
  }
  auto has = [&](double v) {
    if (hashed) return !std::isnan(v) && set.count(FKey(v)) > 0;
    for (double k : keys)
      if (k == v) return true;
    return false;
  };
  KNum* r = NewArr(a->alignmentn(), n);
  int k = 0;
  WithElems(a, [&](auto* s) {
    using T = std::remove_pointer_t<decltype(s)>;
    T* d = static_cast<T*>(r->VoidPtr());
    for (int i = 0; i < n; ++i)
      if (has(GetF(a, i)) == member) d[k++] = s[i];
  });
  r->descriptor->count = k;
  return r;
}

KNum* KNum::Without(KB* o) {
  if (!IsInt() && !IsFlt()) return nullptr;
  if (!IsNumIF(o)) return AsNum(Clone());
  return Filter(this, AsNum(o), false, true);
}

KNum* KNum::Intersect(KNum* o) {
  if (!IsInt() && !IsFlt()) return nullptr;
  if (!IsNumIF(o)) return NewArr(alignmentn(), 0);
  return Filter(this, o, true, false);
}

// ====================================================================
// Interpolation and histograms
// ====================================================================
static std::vector<double> FloatsOf(KB* v) {
  KNum* a = AsNum(v);
  std::vector<double> r(static_cast<size_t>(a->Count()));
  CopyAsF(r.data(), a, a->Count());
  return r;
}

// Without end points: piecewise-linear through (start[k], value[k]),
// extrapolating with the first and last slopes. With end points: interval
// k = start[k]..end[k] holds value[k]; a gap takes the mean of its two
// neighbours; before the first / after the last interval the edge value.
// closed: both ends belong to an interval; otherwise it is half-open,
// [start, end) or, with openAtStart, (start, end].
KNum* KNum::Interpolate(KB* start, KB* end, KB* value, KB* index, bool closed, bool openAtStart) {
  std::string err;
  const bool hasEnd = end && end->typen() != KT::tNV;
  if (!IsNumIF(start))
    err += "Start not numeric\r\n";
  else if (!AsNum(start)->IsAscending())
    err += "Start not ascending\r\n";
  if (hasEnd) {
    if (!IsNumIF(end))
      err += "End not numeric\r\n";
    else if (!AsNum(end)->IsAscending())
      err += "End not ascending\r\n";
  }
  if (!IsNumIF(value)) err += "Value not numeric\r\n";
  if (!IsNumIF(index))
    err += "Index not numeric\r\n";
  else if (!AsNum(index)->IsAscending())
    err += "Index not ascending\r\n";
  if (!err.empty()) KTHROW(KT::eValue, err);

  const std::vector<double> s = FloatsOf(start), v = FloatsOf(value), x = FloatsOf(index);
  const std::vector<double> e = hasEnd ? FloatsOf(end) : std::vector<double>();
  size_t K = std::min(s.size(), v.size());
  if (hasEnd) K = std::min(K, e.size());
  KNum* r = NewArr(KT::aFloat, static_cast<int>(x.size()));
  double* d = r->FltPtr();
  if (K == 0) {
    std::fill(d, d + x.size(), kFNil);
    return r;
  }
  size_t k = 0;
  if (!hasEnd) {
    for (size_t i = 0; i < x.size(); ++i) {
      if (K == 1) {
        d[i] = v[0];
        continue;
      }
      while (k + 2 < K && x[i] > s[k + 1]) ++k;
      d[i] = v[k] + DIV(v[k + 1] - v[k], s[k + 1] - s[k]) * (x[i] - s[k]);
    }
    return r;
  }
  const bool inclStart = closed || !openAtStart, inclEnd = closed || openAtStart;
  for (size_t i = 0; i < x.size(); ++i) {
    const double p = x[i];
    while (k < K && (p > e[k] || (p == e[k] && !inclEnd))) ++k;
    if (k == K)
      d[i] = v[K - 1];
    else if (p > s[k] || (p == s[k] && inclStart))
      d[i] = v[k];
    else if (k == 0)
      d[i] = v[0];
    else
      d[i] = (v[k - 1] + v[k]) / 2;
  }
  return r;
}

// Bucket b of the result totals the weights of the data with exactly b
// boundaries below them (equalGoesAbove: a datum equal to a boundary
// counts it as below). Nil data are skipped. The cursor only moves forward
// for ascending data; an out-of-order datum restarts it by binary search.
KNum* KNum::Histogram(KB* cells, KB* data, KB* weights, bool equalGoesAbove, bool) {
  if (!IsNumIF(cells)) KTHROW(KT::eValue, "Cells not numeric");
  if (!IsNumIF(data)) KTHROW(KT::eValue, "Data not numeric");
  const bool hasW = weights && weights->typen() != KT::tNV;
  if (hasW && !IsNumIF(weights)) KTHROW(KT::eValue, "Value not numeric");
  const std::vector<double> c = FloatsOf(cells), x = FloatsOf(data);
  const std::vector<double> w = hasW ? FloatsOf(weights) : std::vector<double>();
  const size_t nc = c.size();
  KNum* r = NewArr(KT::aFloat, static_cast<int>(nc + 1));
  double* d = r->FltPtr();
  std::fill(d, d + nc + 1, 0.0);
  auto below = [&](double b, double v) { return equalGoesAbove ? b <= v : b < v; };
  size_t k = 0;
  double last = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < x.size(); ++i) {
    const double v = x[i];
    if (v == kFNil || std::isnan(v)) continue;
    if (v < last) {
      k = static_cast<size_t>(equalGoesAbove ? std::upper_bound(c.begin(), c.end(), v) - c.begin()
                                             : std::lower_bound(c.begin(), c.end(), v) - c.begin());
    } else {
      while (k < nc && below(c[k], v)) ++k;
    }
    last = v;
    d[k] += hasW ? (i < w.size() ? w[i] : 1.0) : 1.0;
  }
  return r;
}

// ====================================================================
// Reductions, scans and moving windows. Integer arithmetic wraps.
// ====================================================================
static void NoWidth(KB* width) {
  if (width && width->typen() != KT::tNV) KTHROW(KT::eNotImpl, "width");
}

KNum* KNum::RedPlus(KB* width) {
  NoWidth(width);
  // The sequential sum from 0.0 of the non-nil elements, bit for bit.
  double s = 0.0;
  if (IsInt()) s = KSum::SumInt(IntPtr(), Count());
  else if (IsFlt()) s = KSum::SumFlt(FltPtr(), Count());
  return new KNum(s);
}

KNum* KNum::RedTimes(KB* width) {
  NoWidth(width);
  double p = 1.0;
  const int n = Count();
  if (IsInt()) {
    for (int i = 0; i < n; ++i) {
      const int32_t v = IntPtr()[i];
      p *= v == kINil ? 1.0 : static_cast<double>(v);
    }
  } else if (IsFlt()) {
    for (int i = 0; i < n; ++i) {
      const double v = FltPtr()[i];
      p *= v == kFNil ? 1.0 : v;
    }
  }
  return new KNum(p);
}

KNum* KNum::RedMinus(KB* width) {
  NoWidth(width);
  const int n = Count();
  if (n < 2 || (!IsInt() && !IsFlt())) return AsNum(Clone());
  double acc = IsInt() ? static_cast<double>(IntPtr()[0]) : FltPtr()[0];
  if (IsInt()) {
    for (int i = 1; i < n; ++i) {
      const int32_t v = IntPtr()[i];
      acc -= v == kINil ? 0.0 : static_cast<double>(v);
    }
  } else {
    for (int i = 1; i < n; ++i) {
      const double v = FltPtr()[i];
      acc -= v == kFNil ? 0.0 : v;
    }
  }
  return new KNum(acc);
}

// The scan loop: acc = first element; a nil element takes acc; a nil acc
// takes the element; otherwise acc = f(acc, e) and e takes acc.
template <class T, class F> static void ScanLoop(T* p, int n, F f) {
  if (n < 2) return;
  T acc = p[0];
  for (int i = 1; i < n; ++i) {
    if (IsNil(p[i])) {
      p[i] = acc;
    } else if (IsNil(acc)) {
      acc = p[i];
    } else {
      acc = f(acc, p[i]);
      p[i] = acc;
    }
  }
}

void KNum::ScanPlus() {
  if (IsInt())
    ScanLoop(IntPtr(), Count(), WAdd);
  else if (IsFlt())
    ScanLoop(FltPtr(), Count(), [](double a, double b) { return a + b; });
}

void KNum::ScanTimes() {
  if (IsInt())
    ScanLoop(IntPtr(), Count(), WMul);
  else if (IsFlt())
    ScanLoop(FltPtr(), Count(), [](double a, double b) { return a * b; });
}

KNum* KNum::MovSum(KB* window) {
  const int w = WindowOf(window);
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  const int n = Count();
  KNum* r = NewArr(alignmentn(), n);
  if (IsInt()) {
    const int32_t* x = IntPtr();
    int32_t* d = r->IntPtr();
    int32_t s = 0;
    for (int i = 0; i < n; ++i) {
      s = WAdd(s, x[i]);
      if (i >= w) s = WSub(s, x[i - w]);
      d[i] = s;
    }
  } else {
    // Nils take part as the huge number they are, but they are summed apart
    // (a count of nils in the window) so that a nil leaving the window does
    // not wipe out the other elements by cancellation.
    const double* x = FltPtr();
    double* d = r->FltPtr();
    double s = 0;
    int nils = 0;
    for (int i = 0; i < n; ++i) {
      if (x[i] == kFNil)
        ++nils;
      else
        s += x[i];
      if (i >= w) {
        if (x[i - w] == kFNil)
          --nils;
        else
          s -= x[i - w];
      }
      double v = s;
      for (int k = 0; k < nils && std::isfinite(v); ++k) v += kFNil;
      d[i] = v;
    }
  }
  return r;
}

KNum* KNum::MovDiff(KB* window) {
  const int w = WindowOf(window);
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  const int n = Count();
  KNum* r = NewArr(alignmentn(), n);
  if (n == 0) return r;
  if (IsInt()) {
    const int32_t* x = IntPtr();
    int32_t* d = r->IntPtr();
    int32_t acc = x[0];
    d[0] = acc;
    for (int i = 1; i < n; ++i) {
      acc = WSub(acc, x[i]);
      if (i >= w) acc = WSub(acc, x[i - w]);
      d[i] = acc;
    }
  } else {
    const double* x = FltPtr();
    double* d = r->FltPtr();
    double acc = x[0];
    d[0] = acc;
    for (int i = 1; i < n; ++i) {
      acc -= x[i];
      if (i >= w) acc -= x[i - w];
      d[i] = acc;
    }
  }
  return r;
}

KNum* KNum::MovProd(KB* window) {
  const int w = WindowOf(window);
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  const int n = Count();
  KNum* r = NewArr(KT::aFloat, n);
  double* d = r->FltPtr();
  // Each window is multiplied anew (the order of the factors fixes the
  // rounding), so long values with long windows take a while: a stop
  // request is answered every few million factors.
  constexpr int64_t kPollEvery = int64_t{1} << 22;
  int64_t work = 0;
  try {
    WithElems(this, [&](auto* x) {
      for (int i = 0; i < n; ++i) {
        double p = 1.0;
        const int lo = i - w + 1 > 0 ? i - w + 1 : 0;
        for (int k = i; k >= lo; --k) {
          if (x[k] == 0) {
            p = 0.0;
            break;
          }
          p *= static_cast<double>(x[k]);
        }
        d[i] = p;
        work += i - lo + 1;
        if (work >= kPollEvery) {
          work = 0;
          PollStop();
        }
      }
    });
  } catch (...) {
    DoneWith(r);
    throw;
  }
  return r;
}

// Moving maximum (or minimum) with a monotonic queue of positions: each
// position enters and leaves once, so the cost is linear in the length.
template <class T> static void MovExtreme(const T* x, T* d, int n, int w, bool largest) {
  std::vector<int> q(static_cast<size_t>(n));
  int head = 0, tail = 0;
  for (int i = 0; i < n; ++i) {
    while (tail > head && (largest ? x[q[tail - 1]] <= x[i] : x[q[tail - 1]] >= x[i])) --tail;
    q[tail++] = i;
    if (q[head] <= i - w) ++head;
    d[i] = x[q[head]];
  }
}

KNum* KNum::MovLargest(KB* window) {
  const int w = WindowOf(window);
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  KNum* r = NewArr(alignmentn(), Count());
  WithElems(this, [&](auto* x) {
    using T = std::remove_pointer_t<decltype(x)>;
    MovExtreme(x, static_cast<T*>(r->VoidPtr()), Count(), w, true);
  });
  return r;
}

KNum* KNum::MovSmallest(KB* window) {
  const int w = WindowOf(window);
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  KNum* r = NewArr(alignmentn(), Count());
  WithElems(this, [&](auto* x) {
    using T = std::remove_pointer_t<decltype(x)>;
    MovExtreme(x, static_cast<T*>(r->VoidPtr()), Count(), w, false);
  });
  return r;
}

// Moving average over w = min(window, length) elements: nils leave the
// divisor instead of the sum; a zero divisor gives 0.0.
KNum* KNum::MovAvg(KB* window) {
  int w = WindowOf(window);
  if (!IsInt() && !IsFlt()) KTHROW(KT::eValue, "Alignment");
  const int n = Count();
  KNum* r = NewArr(KT::aFloat, n);
  double* d = r->FltPtr();
  if (w > n) w = n;
  double s = 0;
  int c = w;
  for (int i = 0; i < n; ++i) {
    if (i >= w) {
      const double out = GetF(this, i - w);
      if (out == kFNil)
        ++c;
      else
        s -= out;
    }
    const double in = GetF(this, i);
    if (in == kFNil)
      --c;
    else
      s += in;
    const int dv = i < w ? std::min(i + 1, c) : c;
    d[i] = dv == 0 ? 0.0 : s / dv;
  }
  return r;
}
