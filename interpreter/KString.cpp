// KString: string values, their stream reads and writes, collation and
// comparison, words and marks, editing, Base64, CSV, hex dump, Format and
// the serialised image.
#include "KString.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "KArg.h"
#include "KBit.h"
#include "KGREP.h"
#include "KNS.h"
#include "KNum.h"
#include "KPlatform.h"
#include "KRS.h"
#include "KSeq.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KString";

const char KString::b64[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
unsigned char KString::r64[256];
bool KString::firstB64 = true;

KB* KMakeString(const std::string& s) { return new KString(s); }

namespace {

using UC8 = unsigned char;

inline UC8 U(char c) { return static_cast<UC8>(c); }

bool IsTextValue(KB* v) {
  return v && (v->typen() == KT::tString || v->typen() == KT::tField) && v->alignmentn() == KT::aChar;
}

// The text an argument stands for: a string's or field's own text, nothing
// for a missing or empty value, otherwise the value's plain text form.
std::string ArgText(KB* v) {
  if (!v || v->typen() == KT::tNV) return std::string();
  if (IsTextValue(v)) return KB::TextOf(v);
  return v->AsString(false);
}

bool IsNumeric(KB* v) { return v && (v->typen() == KT::tNum || v->typen() == KT::tClock); }

// A count argument: the first element of a number, a number written in a
// string, 1 when no value is given; anything else is refused.
int CountArg(KB* v) {
  if (!v || v->typen() == KT::tNV) return 1;
  if (IsNumeric(v)) return static_cast<KNum*>(v)->AsInt();
  if (IsTextValue(v)) {
    std::string t = KB::TextOf(v);
    KNum n(t.c_str(), static_cast<int>(t.size()));
    return n.AsInt();
  }
  KTHROW(KT::eNotSupp, "R-Type");
}

int Clamp(int64_t v, int64_t lo, int64_t hi) { return static_cast<int>(std::max(lo, std::min(hi, v))); }

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Line end starting at i (text t of length n): its length 1 or 2, 0 if none.
// A CR LF or LF CR pair counts as one line end.
int LineEndAt(const char* t, int n, int i) {
  if (i < 0 || i >= n || !IsLineEnd(t[i])) return 0;
  if (i + 1 < n && IsLineEnd(t[i + 1]) && t[i + 1] != t[i]) return 2;
  return 1;
}

// 256-entry membership table of the bytes of a set.
struct ByteSet {
  bool in[256] = {};
  explicit ByteSet(const std::string& s) {
    for (char c : s) in[U(c)] = true;
  }
  bool operator()(char c) const { return in[U(c)]; }
};

// A search pattern for IdxNextAll / IdxPrevAll. Collated patterns compare
// the collation weight of each weighted character and skip characters of
// weight 0 on both sides; a pattern that is exact, or has no weighted
// character at all (such as ","), is matched by its bytes.
struct Pattern {
  std::string text;
  std::vector<int> w;  // weights of the weighted characters
  bool bytes = true;
  const int* table = KT::CSTARQ;

  Pattern(KB* v, bool exact) : text(ArgText(v)) {
    if (exact) return;
    for (char c : text)
      if (int x = table[U(c)]) w.push_back(x);
    bytes = w.empty();
  }
  bool Empty() const { return text.empty(); }

  // Match starting at i in t[0..limit): 1 full (span = characters covered),
  // 2 text ran out while every compared character matched, 0 no match.
  int At(const char* t, int limit, int i, int& span) const {
    if (bytes) {
      int lp = static_cast<int>(text.size());
      int avail = limit - i;
      if (avail >= lp) {
        if (std::memcmp(t + i, text.data(), static_cast<size_t>(lp)) != 0) return 0;
        span = lp;
        return 1;
      }
      return std::memcmp(t + i, text.data(), static_cast<size_t>(avail)) == 0 ? 2 : 0;
    }
    if (table[U(t[i])] != w[0]) return 0;
    int j = i + 1;
    for (size_t k = 1; k < w.size(); ++k) {
      while (j < limit && table[U(t[j])] == 0) ++j;
      if (j >= limit) return 2;
      if (table[U(t[j])] != w[k]) return 0;
      ++j;
    }
    span = j - i;
    return 1;
  }
};

// Where a forward search from `from` finds the pattern (see IdxNextAll).
int FindNext(const char* t, int n, const Pattern& p, int from, int& length) {
  length = 0;
  if (p.Empty()) return n;
  from = std::max(from, 0);
  if (p.bytes) {
    std::string_view hay(t, static_cast<size_t>(n));
    size_t at = from < n ? hay.find(p.text, static_cast<size_t>(from)) : std::string_view::npos;
    if (at != std::string_view::npos) {
      length = static_cast<int>(p.text.size());
      return static_cast<int>(at);
    }
    int lp = static_cast<int>(p.text.size());
    for (int i = std::max(from, n - lp + 1); i < n; ++i) {
      int span;
      if (p.At(t, n, i, span) == 2) return n + 1;
    }
    return n;
  }
  for (int i = from; i < n; ++i) {
    int span = 0;
    int r = p.At(t, n, i, span);
    if (r == 1) {
      length = span;
      return i;
    }
    if (r == 2) return n + 1;
  }
  return n;
}

// Start of the last full occurrence inside t[0..limit); -1 when none.
int FindPrev(const char* t, int n, const Pattern& p, int limit, int& length) {
  length = 0;
  limit = Clamp(limit, 0, n);
  if (p.Empty()) return -1;
  if (p.bytes) {
    std::string_view hay(t, static_cast<size_t>(limit));
    size_t at = hay.rfind(p.text);
    if (at == std::string_view::npos) return -1;
    length = static_cast<int>(p.text.size());
    return static_cast<int>(at);
  }
  for (int i = limit - 1; i >= 0; --i) {
    int span = 0;
    if (p.At(t, limit, i, span) == 1) {
      length = span;
      return i;
    }
  }
  return -1;
}

bool IsGrepValue(KB* v) { return v && v->typen() == KT::tGREP; }

// The whole-match spans (0-based start, length) a regular expression finds
// in t[0..n): the first only, or every one.
std::vector<std::pair<int, int>> GrepSpans(KB* grep, const char* t, int n, bool firstOnly) {
  std::vector<std::pair<int, int>> spans;
  KSeq* found = static_cast<KGREP*>(grep)->Exec(t, n, firstOnly ? 1 : -1);
  for (int i = 0; i < found->Count(); ++i) {
    KB* e = found->Slots()[i];
    if (e && (e->typen() == KT::tSeq || e->typen() == KT::tSeqEa)) e = static_cast<KSeq*>(e)->Count() ? static_cast<KSeq*>(e)->Slots()[0] : nullptr;
    if (!e || e->typen() != KT::tNum || e->Count() < 2) continue;
    const int32_t* d = static_cast<KNum*>(e)->IntPtr();
    if (d[0] < 1) continue;
    spans.emplace_back(d[0] - 1, d[1] - d[0]);
  }
  KB::DoneWith(found);
  return spans;
}

// Text with control characters other than CR and LF shown as ".".
std::string Displayable(const char* t, int n) {
  std::string s(t, static_cast<size_t>(n));
  for (char& c : s)
    if ((U(c) < 0x20 && c != '\r' && c != '\n') || U(c) == 0x7F) c = '.';
  return s;
}

// Words: a letter, an apostrophe, or a hyphen not followed by a hyphen.
bool IsApostrophe(char c) { return c == '\'' || U(c) == 0x92; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }


}  // namespace

// ============================================================ construction

KString::KString(KT::KTO type) : KB(type) {
  descriptor->Set(nullptr, type, KT::aChar, 0, 0);
  SizeSeekPos();
}

KString::KString() : KString(KT::tString) {}

KString::KString(KString& o) : KString(KT::tString) {
  SetText(o.Str(), o.Len(), o.Len());
  exact = o.exact;
}

KString::KString(KB* o) : KString(KT::tString) {
  if (IsTextValue(o)) SetText(static_cast<const char*>(o->descriptor->data), o->Count(), o->Count());
}

KString::KString(const std::string& s) : KString(KT::tString) {
  SetText(s.data(), static_cast<int>(s.size()), static_cast<int>(s.size()));
}

KString::KString(const char* text, int length) : KString(KT::tString) {
  if (!text) return;
  if (length < 0) length = static_cast<int>(std::strlen(text));
  SetText(text, length, length);
}

KString::KString(char* text, int length, int capacity, bool copy) : KString(KT::tString) {
  if (!text) return;
  if (length < 0) length = static_cast<int>(std::strlen(text));
  capacity = std::max(capacity, length);
  if (copy) {
    SetText(text, length, capacity);
  } else {
    text[length] = 0;
    descriptor->Set(text, KT::tString, KT::aChar, length, capacity);
    SizeSeekPos();
  }
}

KString::KString(char c, int n, int capacity) : KString(KT::tString) {
  n = std::max(n, 0);
  Reserve(std::max(capacity, n));
  if (n) std::memset(Buf(), c, static_cast<size_t>(n));
  descriptor->count = n;
  SizeSeekPos();
}

KString::KString(int v) : KString(Fmt("%d", v)) {}
KString::KString(double v) : KString(Fmt("%g", v)) {}

KString* KString::MakeLike(const char* p, int n) {
  KString* s = new KString();
  s->SetText(p, n, n);
  return s;
}

// ============================================================ storage

const char* KString::Str() const {
  const char* p = static_cast<const char*>(descriptor->data);
  return p ? p : "";
}

std::string KString::Value() const { return std::string(Str(), static_cast<size_t>(Len())); }

char* KString::Buf() {
  if (descriptor->block) Own();
  return static_cast<char*>(descriptor->data);
}

void KString::Own() {
  KBD* d = descriptor;
  TextBlock* b = d->block;
  if (!b) return;
  if (b->pins > 1) {
    size_t bytes = StorageBytes(KT::aChar, d->capacity);
    void* fresh = AllocData(bytes, false);
    std::memcpy(fresh, d->data, bytes);
    d->data = fresh;
    d->block = nullptr;
    Unpin(b);
  } else {
    d->block = nullptr;
    delete b;  // the buffer stays with the descriptor
  }
}

void KString::SetText(const char* p, int n, int capacity) {
  n = std::max(n, 0);
  capacity = std::max(capacity, n);
  char* fresh = nullptr;
  if (capacity > 0) {
    fresh = static_cast<char*>(AllocData(StorageBytes(KT::aChar, capacity), false));
    if (n) std::memcpy(fresh, p, static_cast<size_t>(n));
    std::memset(fresh + n, 0, static_cast<size_t>(capacity - n) + 1);
  }
  descriptor->Set(fresh, static_cast<KT::KTO>(descriptor->type), KT::aChar, n, capacity);
  SizeSeekPos();
}

void KString::Reserve(int capacity) {
  if (descriptor->block) Own();  // never grow a buffer pieces still read
  if (capacity <= descriptor->capacity && descriptor->data) return;
  capacity = std::max(capacity, descriptor->capacity);
  if (capacity <= 0) return;
  size_t oldBytes = StorageBytes(KT::aChar, descriptor->capacity);
  if (!descriptor->data) oldBytes = 0;
  descriptor->data = ReallocData(descriptor->data, oldBytes, StorageBytes(KT::aChar, capacity), true);
  if (oldBytes == 0) std::memset(descriptor->data, 0, StorageBytes(KT::aChar, capacity));
  descriptor->capacity = capacity;
  descriptor->align = KT::aChar;
  descriptor->elemSize = 1;
}

// ============================================================ stream state

// The record is made on first use, in the state a new string has after
// normalisation, so strings that are never read as streams (the pieces of a
// cut, for one) carry none.
KString::KRec& KString::R() {
  if (auto* r = dynamic_cast<KRec*>(descriptor->rec)) return *r;
  delete descriptor->rec;
  auto* r = new KRec();
  r->atEnd = Len() == 0;
  descriptor->rec = r;
  return *r;
}

void KString::SizeSeekPos() {
  if (!descriptor->rec) return;  // R() will start from the normal state
  KRec& r = R();
  int n = Len();
  if (n == 0) {
    r.pos = -1;
    r.atBeg = r.atEnd = 1;
  } else if (r.pos < 0) {
    r.pos = -1;
    r.atBeg = 1;
    r.atEnd = 0;
  } else if (r.pos >= n) {
    r.pos = n;
    r.atEnd = 1;
    r.atBeg = 0;
  } else {
    r.atBeg = r.atEnd = 0;
  }
  r.ppos = Clamp(r.ppos, -1, n);
}

int KString::Pos() { return R().pos; }
int KString::PPos() { return R().ppos; }
bool KString::AtBOS() { return R().atBeg != 0; }
bool KString::AtEOS() { return R().atEnd != 0; }
char KString::AtDir() { return R().dir; }

int KString::fPosSet(int p) {
  KRec& r = R();
  int old = r.pos;
  r.pos = Clamp(p, -1, Len());
  SizeSeekPos();
  return old;
}

int KString::fPosIncr(int d) {
  KRec& r = R();
  int old = r.pos;
  r.pos = static_cast<int>(static_cast<uint32_t>(r.pos) + static_cast<uint32_t>(d));
  return old;
}

bool KString::IsBits() const {
  const char* t = Str();
  for (int i = 0; i < Len(); ++i)
    if (t[i] != '0' && t[i] != '1') return false;
  return true;
}

std::string KString::Properties() {
  KRec& r = R();
  return Fmt("D[%c]; PPos[%d]; B[%s]; E[%s]; Pos[%d]; NE[%d]", r.dir, r.ppos + 1, r.atBeg ? "Y" : "N",
             r.atEnd ? "Y" : "N", r.pos + 1, Len());
}

KNum* KString::Size() { return new KNum(static_cast<int32_t>(Len())); }

// ============================================================ KB operations

std::string KString::AsSimpleString() { return Value(); }
std::string KString::AsSimpleString(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KString::AsSimpleString(int, int) { KTHROW(KT::eNotImpl, "Not Implemented"); }

const std::string& KString::AsString(bool verbose) {
  text = verbose ? VerbosePrefix() : std::string();
  text += Displayable(Str(), Len());
  return text;
}

void KString::Clear() {
  descriptor->Set(nullptr, static_cast<KT::KTO>(descriptor->type), KT::aChar, 0, 0);
  KRec& r = R();
  r = KRec();
  SizeSeekPos();
}

KB* KString::Clone() {
  KString* s = typen() == KT::tField ? new KField() : new KString();
  s->SetText(Str(), Len(), Len());
  s->R() = R();
  s->SizeSeekPos();
  s->exact = exact;
  return s;
}

std::string KString::Dump() {
  if (Len() == 0) return "String[0]:NULL";
  return Fmt("String[%d]", Len()) + Value() + ":";
}

bool KString::EQ(KB* o) { return o && o->typen() == typen() && Compare(o) == 0; }

KB* KString::FieldGet(KB* name) {
  if (FieldIs(name, ":b64")) return B64();
  if (FieldIs(name, ":csv")) return AsCSV();
  if (FieldIs(name, ":hex")) return new KString(AsHex(80));
  if (FieldIs(name, ":num")) return AsNum();
  if (FieldIs(name, ":props")) return new KString(Properties());
  if (FieldIs(name, ":r64")) return R64();
  if (FieldIs(name, ":size")) return Size();
  return StdFieldOr(name, ":, :b64, :csv, :hex, :num, :props , :r64, :size, :string, :stringV, :typeC, :typeN");
}

bool KString::GT(KB* o, int i, int j, bool descending) {
  if (!o) return true;
  if (!IsTextValue(o)) {
    if (typen() != o->typen()) return typen() > o->typen();
  } else if (int c = Compare(o)) {
    return c > 0;
  }
  return descending ? j < i : i < j;
}

KB* KString::Range(int from, int to) {
  if (from > to) KTHROW(KT::eSystem, "l>r");
  int n = Len();
  int64_t cnt = static_cast<int64_t>(to) - from + 1;
  if (cnt > INT32_MAX - 1) KTHROW(KT::eValue, "Too long");
  std::string s;
  s.reserve(static_cast<size_t>(cnt));
  const char* t = Str();
  for (int64_t k = from; k <= to; ++k)
    s += n == 0 ? static_cast<char>(KT::cNil) : t[Clamp(k, 0, n - 1)];
  return new KString(s);
}

std::string KString::SO() {
  int n = Len();
  std::string s = ImageHeader(descriptor->type, ImageSize(static_cast<int64_t>(n) + 13));
  PutI32(s, n + 1);
  s.append(Str(), static_cast<size_t>(n));
  s += '\0';
  return s;
}

KB* KString::SI(const char* image) {
  if (!image) KTHROW(KT::eValue, "Image");
  int total = GetI32(image + 4);
  if (total < 12) KTHROW(KT::eValue, "Image");
  int l = GetI32(image + 8);
  if (l < 1 || l != total - 12) KTHROW(KT::eValue, "Image");
  KString* s = image[0] == static_cast<char>(KT::tField) ? new KField() : new KString();
  s->SetText(image + 12, l - 1, l - 1);
  return s;
}

// ============================================================ comparison

int KString::CompareTARQ(KB* o, bool sys) {
  std::string b = TextOf(o);
  return CollateCmp(Str(), Len(), b.data(), static_cast<int>(b.size()), sys ? KT::CSTARQDefault : KT::CSTARQ);
}

int KString::Compare(KB* o, bool sys) {
  if (!o) return 1;
  if (!IsTextValue(o)) return static_cast<int>(typen()) - static_cast<int>(o->typen());
  if (!exact) return CompareTARQ(o, sys);
  const char* a = Str();
  const char* b = static_cast<const char*>(o->descriptor->data);
  int la = Len(), lb = o->Count();
  int n = std::min(la, lb);
  for (int i = 0; i < n; ++i) {
    int d = sys ? KT::CSExactDefault[KT::UC[U(a[i])]] - KT::CSExactDefault[KT::UC[U(b[i])]]
                : KT::CSExact[U(a[i])] - KT::CSExact[U(b[i])];
    if (d) return d;
  }
  return la - lb;
}

bool KString::IsSame(KB* o) { return IsTextValue(o) && Compare(o) == 0; }

namespace {
bool CharGT(void* ctx, int i, int j, bool flag, const int* w) {
  const UC8* t = static_cast<const UC8*>(ctx);
  int d = w[t[i]] - w[t[j]];
  if (d) return d > 0;
  return flag ? j < i : i < j;
}
}  // namespace

bool KString::GTQSTARQ(void* ctx, int i, int j, bool flag) { return CharGT(ctx, i, j, flag, KT::CSTARQ); }
bool KString::GTQSTARQDefault(void* ctx, int i, int j, bool flag) {
  return CharGT(ctx, i, j, flag, KT::CSTARQDefault);
}
bool KString::GTQSExact(void* ctx, int i, int j, bool flag) { return CharGT(ctx, i, j, flag, KT::CSExact); }
bool KString::GTQSExactDefault(void* ctx, int i, int j, bool flag) {
  return CharGT(ctx, i, j, flag, KT::CSExactDefault);
}

// ============================================================ searches

int KString::IdxNextAll(KB* pattern, int from, int& length) {
  if (IsGrepValue(pattern)) {
    // A regular expression: its first match in the text from `from` on.
    from = Clamp(from, 0, Len());
    auto spans = GrepSpans(pattern, Str() + from, Len() - from, true);
    length = spans.empty() ? 0 : spans[0].second;
    return spans.empty() ? Len() : from + spans[0].first;
  }
  Pattern p(pattern, exact);
  return FindNext(Str(), Len(), p, from, length);
}

int KString::IdxPrevAll(KB* pattern, int from, int& length) {
  if (IsGrepValue(pattern)) {
    // A regular expression: its last match inside the text before `from`.
    auto spans = GrepSpans(pattern, Str(), Clamp(from, 0, Len()), false);
    length = spans.empty() ? 0 : spans.back().second;
    return spans.empty() ? -1 : spans.back().first;
  }
  Pattern p(pattern, exact);
  return FindPrev(Str(), Len(), p, from, length);
}

int KString::IdxNextAny(KB* set, int from) {
  ByteSet in(ArgText(set));
  const char* t = Str();
  int n = Len();
  for (int i = std::max(from, 0); i < n; ++i)
    if (in(t[i])) return i;
  return n;
}

int KString::IdxPrevAny(KB* set, int from) {
  ByteSet in(ArgText(set));
  const char* t = Str();
  for (int i = std::min(from, Len() - 1); i >= 0; --i)
    if (in(t[i])) return i;
  return -1;
}

int KString::IdxNextLN(int n, int from, int& breaks) {
  const char* t = Str();
  int len = Len();
  breaks = 0;
  n = std::max(n, 1);
  for (int i = std::max(from, 0); i < len;) {
    int b = LineEndAt(t, len, i);
    if (!b) {
      ++i;
      continue;
    }
    if (--n == 0) {
      breaks = b;
      return i;
    }
    i += b;
  }
  return len;
}

int KString::IdxPrevLN(int n, int from, int& breaks) {
  const char* t = Str();
  breaks = 0;
  n = std::max(n, 1);
  for (int i = std::min(from, Len()) - 1; i >= 0;) {
    if (!IsLineEnd(t[i])) {
      --i;
      continue;
    }
    int start = (i > 0 && IsLineEnd(t[i - 1]) && t[i - 1] != t[i]) ? i - 1 : i;
    if (--n == 0) {
      breaks = i - start + 1;
      return start;
    }
    i = start - 1;
  }
  return -1;
}

// ============================================================ stream reads

// Forward reads start here once AtEndForRead has said they are not at the
// end. After a backward move the read resumes past what that move returned;
// the previous position becomes the read's start.
void KString::BeginForward() {
  KRec& r = R();
  if (r.dir == 'L') r.pos = r.ppos + 1;
  r.ppos = r.pos;
  r.dir = 'R';
  SizeSeekPos();
}

// Backward reads start here: false at the beginning. After a forward move
// the position first returns to where that move started.
bool KString::BeginBackward() {
  KRec& r = R();
  SizeSeekPos();
  if (r.atBeg) {
    r.dir = 'X';
    r.ppos = -1;
    return false;
  }
  if (r.dir == 'R') r.pos = r.ppos;
  r.dir = 'L';
  r.pos = Clamp(r.pos, 0, Len());
  r.ppos = r.pos - 1;
  return true;
}

// The characters [from, to) as a new string; the position moves to `to`
// for a forward read or to `from` for a backward one (from < current).
KString* KString::ReadSpan(int from, int to) {
  int n = Len();
  from = Clamp(from, 0, n);
  to = Clamp(to, from, n);
  KRec& r = R();
  bool backward = r.dir == 'L';
  KString* s = MakeLike(Str() + from, to - from);
  r.pos = backward ? (from == 0 ? -1 : from) : to;
  SizeSeekPos();
  return s;
}

namespace {
// True (and the end state set) when a forward read finds the stream at its end.
bool AtEndForRead(KString::KRec& r, int len) {
  if (len > 0 && r.pos < len) return false;
  r.dir = 'X';
  r.ppos = len;
  return true;
}
}  // namespace

KString* KString::Next(KB* n) { return Next(CountArg(n)); }
KString* KString::Prev(KB* n) { return Prev(CountArg(n)); }

KString* KString::Next(int n) {
  if (n < 0) return Prev(-static_cast<int64_t>(n) > INT32_MAX ? INT32_MAX : -n);
  SizeSeekPos();
  if (AtEndForRead(R(), Len())) return new KString();
  BeginForward();
  int start = std::max(R().pos, 0);
  return ReadSpan(start, Clamp(static_cast<int64_t>(start) + n, start, Len()));
}

KString* KString::Prev(int n) {
  if (n < 0) return Next(-static_cast<int64_t>(n) > INT32_MAX ? INT32_MAX : -n);
  if (!BeginBackward()) return new KString();
  int p = R().pos;
  return ReadSpan(Clamp(static_cast<int64_t>(p) - n, 0, p), p);
}

namespace {
// Target of a forward line read from start: just after the next line end.
int NextLNTarget(KString* s, int start) {
  int breaks;
  int i = s->IdxNextLN(1, start, breaks);
  return i + breaks;
}
// Target of a backward line read ending at p: just after the line end
// before the line that ends at p.
int PrevLNTarget(KString* s, int p) {
  int breaks;
  int k = s->IdxPrevLN(1, p, breaks);
  if (k >= 0 && k + breaks == p) k = s->IdxPrevLN(1, k, breaks);
  return k < 0 ? 0 : k + breaks;
}
// Target of a forward pattern read: the next occurrence, skipping one that
// stands right at the start.
// An empty match (a regular expression may give one) is skipped by one
// character, so every read makes progress.
int NextAllTarget(KString* s, KB* pattern, int start) {
  int length;
  int i = s->IdxNextAll(pattern, start, length);
  if (i == start) i = s->IdxNextAll(pattern, start + std::max(length, 1), length);
  return std::min(i, s->Len());
}
// Target of a backward pattern read: just after the previous occurrence,
// skipping one that ends right at p.
int PrevAllTarget(KString* s, KB* pattern, int p) {
  int length;
  int i = s->IdxPrevAll(pattern, p, length);
  if (i >= 0 && i + length == p) i = s->IdxPrevAll(pattern, length > 0 ? i : p - 1, length);
  return i < 0 ? 0 : std::min(i + length, std::max(p - 1, 0));
}
int NextAnyTarget(KString* s, KB* set, int start) {
  int i = s->IdxNextAny(set, start);
  return std::min(i + 1, s->Len());
}
int PrevAnyTarget(KString* s, KB* set, int p) { return std::max(s->IdxPrevAny(set, p - 1), 0); }
}  // namespace

KString* KString::NextLN() {
  SizeSeekPos();
  if (AtEndForRead(R(), Len())) return new KString();
  BeginForward();
  int start = std::max(R().pos, 0);
  return ReadSpan(start, NextLNTarget(this, start));
}

KString* KString::PrevLN() {
  if (!BeginBackward()) return new KString();
  int p = R().pos;
  return ReadSpan(PrevLNTarget(this, p), p);
}

KString* KString::NextAll(KB* pattern) {
  SizeSeekPos();
  if (AtEndForRead(R(), Len())) return new KString();
  BeginForward();
  int start = std::max(R().pos, 0);
  return ReadSpan(start, NextAllTarget(this, pattern, start));
}

KString* KString::PrevAll(KB* pattern) {
  if (!BeginBackward()) return new KString();
  int p = R().pos;
  return ReadSpan(PrevAllTarget(this, pattern, p), p);
}

KString* KString::NextAny(KB* set) {
  SizeSeekPos();
  if (AtEndForRead(R(), Len())) return new KString();
  BeginForward();
  int start = std::max(R().pos, 0);
  return ReadSpan(start, NextAnyTarget(this, set, start));
}

KString* KString::PrevAny(KB* set) {
  if (!BeginBackward()) return new KString();
  int p = R().pos;
  return ReadSpan(PrevAnyTarget(this, set, p), p);
}

// ============================================================ moves

namespace {
// A move: nothing at the respective end, else previous position = position,
// direction "X", position = target. Returns the old position.
template <class F>
int MoveTo(KString* s, KString::KRec& r, bool forward, F target) {
  int old = r.pos;
  if (forward ? r.atEnd : r.atBeg) return old;
  int t = target(forward ? std::max(r.pos, 0) : Clamp(r.pos, 0, s->Len()));
  r.ppos = old;
  r.dir = 'X';
  r.pos = (!forward && t <= 0) ? -1 : t;
  return old;
}
}  // namespace

int KString::ToNextLN() {
  SizeSeekPos();
  int old = MoveTo(this, R(), true, [this](int p) { return NextLNTarget(this, p); });
  SizeSeekPos();
  return old;
}

int KString::ToPrevLN() {
  SizeSeekPos();
  int old = MoveTo(this, R(), false, [this](int p) { return PrevLNTarget(this, p); });
  SizeSeekPos();
  return old;
}

int KString::ToNextAll(KB* pattern) {
  SizeSeekPos();
  int old = MoveTo(this, R(), true, [&](int p) { return NextAllTarget(this, pattern, p); });
  SizeSeekPos();
  return old;
}

int KString::ToPrevAll(KB* pattern) {
  SizeSeekPos();
  int old = MoveTo(this, R(), false, [&](int p) { return PrevAllTarget(this, pattern, p); });
  SizeSeekPos();
  return old;
}

int KString::ToNextAny(KB* set) {
  SizeSeekPos();
  int old = MoveTo(this, R(), true, [&](int p) { return NextAnyTarget(this, set, p); });
  SizeSeekPos();
  return old;
}

int KString::ToPrevAny(KB* set) {
  SizeSeekPos();
  int old = MoveTo(this, R(), false, [&](int p) { return PrevAnyTarget(this, set, p); });
  SizeSeekPos();
  return old;
}

int KString::ToNextPos(KB* n) { return ToNextPos(CountArg(n)); }
int KString::ToPrevPos(KB* n) { return ToPrevPos(CountArg(n)); }

int KString::ToNextPos(int n) {
  if (n < 0) return ToPrevPos(n == INT32_MIN ? INT32_MAX : -n);
  SizeSeekPos();
  int old = MoveTo(this, R(), true, [&](int p) { return Clamp(static_cast<int64_t>(p) + n, 0, Len()); });
  SizeSeekPos();
  return old;
}

int KString::ToPrevPos(int n) {
  if (n < 0) return ToNextPos(n == INT32_MIN ? INT32_MAX : -n);
  SizeSeekPos();
  int old = MoveTo(this, R(), false, [&](int p) { return Clamp(static_cast<int64_t>(p) - n, 0, Len()); });
  SizeSeekPos();
  return old;
}

int KString::ToPos(KB* p, bool fromStart) { return ToPos(CountArg(p), fromStart); }

int KString::ToPos(int p, bool fromStart) {
  KRec& r = R();
  int old = r.pos;
  int64_t target = fromStart ? static_cast<int64_t>(p) - 1 : static_cast<int64_t>(Len()) - p;
  if (target > Len()) {
    // Extending past the end fills with zero bytes up to the position; a
    // seek may not make a string longer than kMaxSeekLen (one wrong count
    // would otherwise claim gigabytes).
    if (target > kMaxSeekLen) KTHROW(KT::eValue, "Too long");
    int n = Len();
    int want = static_cast<int>(target);
    Reserve(want);
    std::memset(Buf() + n, 0, static_cast<size_t>(want - n) + 1);
    descriptor->count = want;
  }
  r.ppos = old;
  r.dir = 'X';
  r.pos = Clamp(target, -1, Len());
  SizeSeekPos();
  return old;
}

int KString::ToBOS() {
  KRec& r = R();
  int old = r.pos;
  r.pos = r.ppos = -1;
  r.dir = 'L';
  SizeSeekPos();
  return old;
}

int KString::ToEOS() {
  KRec& r = R();
  int old = r.pos;
  r.pos = r.ppos = Len();
  r.dir = 'R';
  SizeSeekPos();
  return old;
}

// ============================================================ writing

void KString::write(const char* data, int at, int n) {
  if (n <= 0 || !data) return;
  at = std::max(at, 0);
  std::string copy;
  const char* buf = Buf();
  if (buf && data >= buf && data <= buf + descriptor->capacity) {  // writing our own text
    copy.assign(data, static_cast<size_t>(n));
    data = copy.data();
  }
  int64_t end = static_cast<int64_t>(at) + n;
  if (end > INT32_MAX - 1) KTHROW(KT::eValue, "Too long");
  int len = Len();
  if (end > descriptor->capacity || !Buf()) Reserve(static_cast<int>(end));
  char* t = Buf();
  if (at > len) std::memset(t + len, 0, static_cast<size_t>(at - len));
  std::memcpy(t + at, data, static_cast<size_t>(n));
  if (end > len) {
    descriptor->count = static_cast<int>(end);
    t[end] = 0;
  }
  R().pos = static_cast<int>(end);
  SizeSeekPos();
}

int KString::NextWr(KB* value) {
  if (!IsTextValue(value)) KTHROW(KT::eNotSupp, "R-Type");
  std::string s = TextOf(value);
  SizeSeekPos();
  write(s.data(), std::max(R().pos, 0), static_cast<int>(s.size()));
  return R().pos;
}

// ============================================================ pieces

namespace {

// The spans of the pieces of one cut over a pinned text buffer, made into
// strings when the slots are first used. A cut gives its pieces in text
// order without overlap, so each is recorded as two variable-length numbers
// (7 bits a byte): its gap after the end of the piece before and its length;
// most pieces take two bytes. The bytes go into chunks that never move
// (the first small, growing to kChunk), so a long cut copies nothing it has
// recorded.
class PieceSpans final : public KB::Deferred {
 public:
  PieceSpans(KB::TextBlock* block, int32_t firstID) : block_(block), firstID_(firstID) {}
  ~PieceSpans() override {
    for (const Chunk& c : chunks_) KB::FreeData(c.bytes);
    KB::Unpin(block_);
  }
  PieceSpans(const PieceSpans&) = delete;
  PieceSpans& operator=(const PieceSpans&) = delete;

  int Count() const { return n_; }

  // A piece [from, from + length) at or after the end of the one before.
  void Add(int from, int length) {
    if (!cur_ || cur_ > limit_) Grow();
    uint32_t gap = static_cast<uint32_t>(from - end_), len = static_cast<uint32_t>(length);
    if ((gap | len) < 0x80) {  // the common case: one byte each
      cur_[0] = static_cast<uint8_t>(gap);
      cur_[1] = static_cast<uint8_t>(len);
      cur_ += 2;
    } else {
      cur_ = Put(Put(cur_, gap), len);
    }
    end_ = from + length;
    ++n_;
  }

  // Every piece as a new string, with the ID it was given when cut.
  void Make(KB** slots, int n) override {
    struct KeepNextID {
      int32_t next = KB::fLastID;
      ~KeepNextID() { KB::fLastID = next; }
    } keep;
    const char* base = block_ ? static_cast<const char*>(block_->data) : "";
    int i = 0;
    uint32_t end = 0;
    if (!chunks_.empty()) chunks_.back().used = static_cast<int>(cur_ - chunks_.back().bytes);
    for (const Chunk& c : chunks_) {
      const uint8_t* p = c.bytes;
      const uint8_t* stop = c.bytes + c.used;
      while (p < stop && i < n) {
        uint32_t from = end + Get(p);
        uint32_t length = Get(p);
        KString* s = new KString(length ? base + from : "", static_cast<int>(length));
        s->ID = firstID_ + i;
        slots[i++] = s;
        end = from + length;
      }
    }
  }

 private:
  struct Chunk {
    uint8_t* bytes;
    int size;
    int used;
  };
  static constexpr int kFirst = 64;
  static constexpr int kChunk = 1 << 16;
  static constexpr int kMaxEntry = 10;  // two numbers of at most 5 bytes
  static uint8_t* Put(uint8_t* p, uint32_t v) {
    for (; v >= 0x80; v >>= 7) *p++ = static_cast<uint8_t>(v | 0x80);
    *p++ = static_cast<uint8_t>(v);
    return p;
  }
  static uint32_t Get(const uint8_t*& p) {
    uint32_t v = 0;
    for (int shift = 0;; shift += 7) {
      uint8_t b = *p++;
      v |= static_cast<uint32_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
  }
  void Grow() {
    int size = chunks_.empty() ? kFirst : std::min(chunks_.back().size * 2, kChunk);
    chunks_.reserve(chunks_.size() + 1);
    uint8_t* bytes = static_cast<uint8_t*>(KB::AllocData(static_cast<size_t>(size), false));
    if (!chunks_.empty()) chunks_.back().used = static_cast<int>(cur_ - chunks_.back().bytes);
    chunks_.push_back(Chunk{bytes, size, 0});
    cur_ = bytes;
    limit_ = bytes + size - kMaxEntry;
  }

  KB::TextBlock* block_;  // one pin, or null for a text without a buffer
  int32_t firstID_;
  int n_ = 0;
  int end_ = 0;  // the end of the last piece
  std::vector<Chunk> chunks_;  // the last one's `used` is brought up to date by Grow and Make
  uint8_t* cur_ = nullptr;     // where the next piece goes in the last chunk
  uint8_t* limit_ = nullptr;   // the last place with room for a whole entry (null: no chunk yet)
};

}  // namespace

// A sequence being cut from one text: made first (its ID before its
// pieces'), then each piece recorded as a span of the text, taking the next
// ID as a string made then would. Done hands the sequence over with its
// pieces deferred; an error before that lets go of all of it.
class KString::PieceCut {
 public:
  explicit PieceCut(KString* text) : text_(text) { Start(); }
  ~PieceCut() {
    delete spans_;
    KB::DoneWith(seq_);
  }
  PieceCut(const PieceCut&) = delete;
  PieceCut& operator=(const PieceCut&) = delete;

  void Add(int from, int to) {
    spans_->Add(from, to - from);
    ++KB::fLastID;
  }
  KSeq* Done() {
    KSeq* s = seq_;
    seq_ = nullptr;
    if (spans_->Count() > 0) {
      s->descriptor->count = spans_->Count();
      s->descriptor->deferred = spans_;
    } else {
      delete spans_;
    }
    spans_ = nullptr;
    return s;
  }
  // A further sequence over the same text (rows of a CSV text).
  void Start() {
    KSeq* s = new KSeq();
    KB::TextBlock* b = nullptr;
    try {
      b = KB::Pin(text_->descriptor);
      spans_ = new PieceSpans(b, KB::fLastID + 1);
    } catch (...) {
      KB::Unpin(b);
      KB::DoneWith(s);
      throw;
    }
    seq_ = s;
  }

 private:
  KString* text_;
  KSeq* seq_ = nullptr;
  PieceSpans* spans_ = nullptr;
};

// ============================================================ words and marks

KSeq* KString::AllWords() {
  Building<KSeq> words(new KSeq());
  const char* t = Str();
  int n = Len();
  // A hyphen next to another hyphen ends a word and belongs to none.
  auto inWord = [&](int i) {
    char c = t[i];
    if (KT::AlphaNorm(U(c)) || IsApostrophe(c)) return true;
    return c == '-' && !(i + 1 < n && t[i + 1] == '-') && !(i > 0 && t[i - 1] == '-');
  };
  int i = 0;
  while (i < n) {
    if (!inWord(i) || t[i] == '-') {
      ++i;
      continue;
    }
    std::string w;
    bool letter = false;
    for (; i < n && inWord(i); ++i) {
      bool isLetter = KT::AlphaNorm(U(t[i])) != 0;
      letter |= isLetter;
      if (isLetter || exact) w += t[i];
    }
    if (letter) words->Append(new KString(w), true);
  }
  return words.Release();
}

KBit* KString::MarkWordsBeg() {
  int n = Len();
  const char* t = Str();
  KBit* b = new KBit(n, false);
  for (int i = 0; i < n; ++i)
    if (IsAsciiLetter(t[i]) && (i == 0 || !IsAsciiLetter(t[i - 1]))) b->BitSet(i, true);
  return b;
}

KBit* KString::MarkWordsEnd() {
  int n = Len();
  const char* t = Str();
  KBit* b = new KBit(n, false);
  for (int i = 0; i < n; ++i)
    if (IsAsciiLetter(t[i]) && (i + 1 == n || !IsAsciiLetter(t[i + 1]))) b->BitSet(i, true);
  return b;
}

KBit* KString::MarkSpan(KB* s) {
  int n = Len();
  KBit* b = new KBit(n, false);
  std::string p = ArgText(s);
  if (p.empty()) return b;
  std::string_view hay(Str(), static_cast<size_t>(n));
  for (size_t at = hay.find(p); at != std::string_view::npos; at = hay.find(p, at + p.size()))
    for (size_t k = 0; k < p.size(); ++k) b->BitSet(static_cast<int>(at + k), true);
  return b;
}

KBit* KString::MarkChar(KB* set, bool any) {
  if (!IsTextValue(set)) KTHROW(KT::eNotSupp, "Type");
  bool in[256] = {};
  for (char c : TextOf(set)) in[exact ? U(c) : KT::UC[U(c)]] = true;
  const char* t = Str();
  int n = Len();
  auto hit = [&](int i) { return in[exact ? U(t[i]) : KT::UC[U(t[i])]]; };
  if (any) {
    for (int i = 0; i < n; ++i)
      if (hit(i)) return new KBit(true);
    return new KBit(false);
  }
  KBit* b = new KBit(n, false);
  for (int i = 0; i < n; ++i)
    if (hit(i)) b->BitSet(i, true);
  return b;
}

std::vector<std::pair<int, int>> KString::MatchSpans(KB* pattern, bool firstOnly) {
  const char* t = Str();
  int n = Len();
  std::vector<std::pair<int, int>> spans;
  if (IsGrepValue(pattern)) {
    // Empty matches have no last character and are left out.
    for (auto [at, length] : GrepSpans(pattern, t, n, firstOnly))
      if (length > 0) spans.emplace_back(at, at + length - 1);
    return spans;
  }
  if (!IsTextValue(pattern)) KTHROW(KT::eNotSupp, "Type");
  std::string p = TextOf(pattern);
  const int* w = exact ? KT::CSExact : KT::CSTARQ;
  // Weighted characters of the pattern with the gap (skipped characters)
  // that precedes each; exact matching skips nothing.
  std::vector<int> pw;
  std::vector<bool> pgap;
  bool gap = false;
  for (char c : p) {
    int x = w[U(c)];
    if (!exact && x == 0) {
      gap = !pw.empty();
      continue;
    }
    pw.push_back(x);
    pgap.push_back(gap);
    gap = false;
  }
  bool bytes = !exact && pw.empty();  // only ignorable characters: match the bytes
  if (p.empty()) return spans;
  for (int i = 0; i < n; ++i) {
    int last = -1;
    if (bytes) {
      if (static_cast<size_t>(n - i) >= p.size() && std::memcmp(t + i, p.data(), p.size()) == 0)
        last = i + static_cast<int>(p.size()) - 1;
    } else {
      if (w[U(t[i])] != pw[0]) continue;
      int j = i + 1;
      size_t k = 1;
      for (; k < pw.size(); ++k) {
        bool g = false;
        if (!exact)
          while (j < n && w[U(t[j])] == 0) {
            ++j;
            g = true;
          }
        if (j >= n || g != pgap[k] || w[U(t[j])] != pw[k]) break;
        ++j;
      }
      if (k == pw.size()) last = j - 1;
    }
    if (last >= 0) {
      spans.emplace_back(i, last);
      if (firstOnly) break;
    }
  }
  return spans;
}

KBit* KString::MarkString(KB* pattern, KMatchType how, bool firstOnly) {
  std::vector<std::pair<int, int>> spans = MatchSpans(pattern, firstOnly);
  KBit* b = new KBit(Len(), false);
  for (auto [first, last] : spans) {
    if (how == mtAll) {
      for (int k = first; k <= last; ++k) b->BitSet(k, true);
      continue;
    }
    if (how == mtFirst || how == mtBoth) b->BitSet(first, true);
    if (how == mtLast || how == mtBoth) b->BitSet(last, true);
  }
  return b;
}

KBit* KString::MarkSpanPairs(KB* pairs, bool inner) {
  int n = Len();
  KBit* b = new KBit(n, false);
  if (!IsTextValue(pairs)) return b;
  std::string p = TextOf(pairs);
  const char* t = Str();
  for (size_t k = 0; k + 1 < p.size(); k += 2) {
    char open = p[k], close = p[k + 1];
    bool inside = false;
    for (int i = 0; i < n; ++i) {
      if (!inside && t[i] == open) {
        inside = true;
        if (!inner) b->BitSet(i, true);
      } else if (inside && t[i] == close) {
        inside = false;
        if (!inner) b->BitSet(i, true);
      } else if (inside) {
        b->BitSet(i, true);
      }
    }
  }
  return b;
}

KBit* KString::MarkElem(KB* o, KT::KMC how) {
  if (!IsTextValue(o)) KTHROW(KT::eNotSupp, "Type");
  const int* w = exact ? KT::CSExact : KT::CSTARQ;
  const char* a = Str();
  const char* c = static_cast<const char*>(o->descriptor->data);
  int la = Len(), lb = o->Count();
  int n = std::max(la, lb);
  KBit* b = new KBit(n, false);
  for (int i = 0; i < std::min(la, lb); ++i) {
    int x = w[U(a[i])], y = w[U(c[i])];
    bool r = false;
    switch (how) {
      case KT::mcLT: r = x < y; break;
      case KT::mcLE: r = x <= y; break;
      case KT::mcEQ: r = x == y; break;
      case KT::mcGE: r = x >= y; break;
      case KT::mcGT: r = x > y; break;
      case KT::mcNE: r = x != y; break;
      default: break;
    }
    if (r) b->BitSet(i, true);
  }
  return b;
}

KBit* KString::ToTF() { return new KBit(Str(), Len()); }

KSeq* KString::Segment(KB* by, bool keep) {
  const char* t = Str();
  int n = Len();

  if (!by || by->typen() == KT::tNV || by->typen() == KT::tNil) {
    PieceCut out(this);
    auto piece = [&](int from, int to) { out.Add(from, to); };
    int start = 0;
    for (int i = 0; i < n;) {
      if (U(t[i]) > U('\r') || !IsLineEnd(t[i])) {  // most characters are above CR
        ++i;
        continue;
      }
      int b = LineEndAt(t, n, i);
      piece(start, keep ? i + b : i);
      i += b;
      start = i;
    }
    if (start < n) piece(start, n);
    return out.Done();
  }

  if (IsTextValue(by)) {
    // A character set: each of its characters ends a piece.
    ByteSet in(TextOf(by));
    PieceCut out(this);
    int start = 0;
    for (int i = 0; i < n; ++i) {
      if (!in(t[i])) continue;
      out.Add(start, keep ? i + 1 : i);
      start = i + 1;
    }
    if (start < n) out.Add(start, n);
    return out.Done();
  }

  // Marks: a bit mask, or numbers giving the 1-based marked positions.
  // This form numbers one value more than the others before its pieces (the
  // ID taken here), as it always has: the IDs a script sees stay the same.
  ++KB::fLastID;
  std::vector<bool> marks(static_cast<size_t>(n), false);
  if (by->typen() == KT::tBit) {
    KBit* m = static_cast<KBit*>(by);
    for (int i = 0; i < std::min(n, m->Count()); ++i) marks[static_cast<size_t>(i)] = m->BitGet(i);
  } else if (IsNumeric(by)) {
    KNum idx(by);
    if (idx.IsFlt()) idx.CoerceTo(KT::aInt);
    for (int k = 0; k < idx.Count(); ++k) {
      int p = idx.IntPtr()[k];
      if (p >= 1 && p <= n) marks[static_cast<size_t>(p - 1)] = true;
    }
  } else {
    KTHROW(KT::eNotSupp, "Type");
  }
  return SegmentAt(marks, keep ? cutBefore : cutAfter);
}

KSeq* KString::SegmentAt(const std::vector<bool>& marks, KCut how) {
  PieceCut out(this);
  int n = Len();
  int start = 0;
  for (int i = 0; i < n && static_cast<size_t>(i) < marks.size(); ++i) {
    if (!marks[static_cast<size_t>(i)]) continue;
    int end = how == cutAfter ? i + 1 : i;
    if (end > start || how == cutDrop) out.Add(start, end);
    start = how == cutBefore ? i : i + 1;
  }
  if (start < n) out.Add(start, n);
  return out.Done();
}

// ============================================================ editing

namespace {
std::string TrimSet(KB* set) {
  std::string s = ArgText(set);
  return s.empty() ? std::string(" ") : s;
}
}  // namespace

KString* KString::DLE(KB* set) {
  ByteSet in(TrimSet(set));
  const char* t = Str();
  int n = Len(), i = 0;
  while (i < n && in(t[i])) ++i;
  return MakeLike(t + i, n - i);
}

KString* KString::DTE(KB* set) {
  ByteSet in(TrimSet(set));
  const char* t = Str();
  int n = Len();
  while (n > 0 && in(t[n - 1])) --n;
  return MakeLike(t, n);
}

KString* KString::DEE(KB* set) {
  ByteSet in(TrimSet(set));
  const char* t = Str();
  int b = 0, e = Len();
  while (b < e && in(t[b])) ++b;
  while (e > b && in(t[e - 1])) --e;
  std::string s;
  s.reserve(static_cast<size_t>(e - b));
  for (int i = b; i < e; ++i) {
    if (!in(t[i])) {
      s += t[i];
    } else if (!in(t[i - 1])) {  // first of an inner run (t[b] is never in the set)
      s += ' ';
    }
  }
  return new KString(s);
}

void KString::XLate(KB* from, KB* to) {
  std::string f = ArgText(from), g = ArgText(to);
  UC8 map[256];
  for (int c = 0; c < 256; ++c) map[c] = static_cast<UC8>(c);
  size_t k = std::min(f.size(), g.size());
  for (size_t j = 0; j < k; ++j)
    for (int c = 0; c < 256; ++c)
      if (map[c] == U(f[j])) map[c] = U(g[j]);
  char* t = Buf();
  for (int i = 0; i < Len(); ++i) t[i] = static_cast<char>(map[U(t[i])]);
}

KString* KString::ToLower() {
  KString* s = MakeLike(Str(), Len());
  char* t = s->Buf();
  for (int i = 0; i < s->Len(); ++i) t[i] = static_cast<char>(KT::LC[U(t[i])]);
  return s;
}

KString* KString::ToUpper() {
  KString* s = MakeLike(Str(), Len());
  char* t = s->Buf();
  for (int i = 0; i < s->Len(); ++i) t[i] = static_cast<char>(KT::UC[U(t[i])]);
  return s;
}

void KString::Append(const char* p, int n) {
  if (n <= 0) return;
  std::string copy;
  const char* buf = Buf();
  if (buf && p >= buf && p <= buf + descriptor->capacity) {
    copy.assign(p, static_cast<size_t>(n));
    p = copy.data();
  }
  int len = Len(), cap = descriptor->capacity;
  if (static_cast<int64_t>(len) + n > INT32_MAX - 1) KTHROW(KT::eValue, "Too long");
  if (cap - len <= n || !buf) {
    int64_t grown = (static_cast<int64_t>(cap) + n) * 110 / 100;
    grown = std::max<int64_t>(grown, static_cast<int64_t>(len) + n);
    Reserve(static_cast<int>(std::min<int64_t>(grown, INT32_MAX - 1)));
  }
  char* t = Buf();
  std::memcpy(t + len, p, static_cast<size_t>(n));
  t[len + n] = 0;
  descriptor->count = len + n;
  SizeSeekPos();
}

void KString::Append(KB* o) {
  if (!IsTextValue(o)) KTHROW(KT::eNotSupp, "LT Type");
  Append(static_cast<const char*>(o->descriptor->data), o->Count());
}

KString* KString::Catenate(KB* o) {
  if (!IsTextValue(o)) KTHROW(KT::eNotSupp, "Type");
  KString* s = new KString();
  s->Reserve(Len() + o->Count());
  s->Append(Str(), Len());
  s->Append(static_cast<const char*>(o->descriptor->data), o->Count());
  return s;
}

void KString::CatenateSelf(KB* o) { Append(o); }

void KString::CatenateSelfRevArg(KB* o) {
  if (!IsTextValue(o)) KTHROW(KT::eNotSupp, "Type");
  std::string s = TextOf(o) + Value();
  SetText(s.data(), static_cast<int>(s.size()), static_cast<int>(s.size()));
}

KString* KString::operator+(KString& o) { return Catenate(&o); }

KString& KString::operator+=(KString& o) {
  Append(&o);
  return *this;
}

// ============================================================ structure

KString* KString::Take(int n, bool fromFront, bool padWithEdge) {
  if (n == KT::iNil) n = 1;
  int len = Len();
  const char* t = Str();
  int64_t m = n < 0 ? -static_cast<int64_t>(n) : n;
  if (n == 0) return new KString();
  if (len == 0) return new KString(static_cast<char>(KT::cNil), static_cast<int>(std::min<int64_t>(m, INT32_MAX)));
  if (n < 0) {
    if (m >= len) return new KString();
    return fromFront ? MakeLike(t + m, len - static_cast<int>(m)) : MakeLike(t, len - static_cast<int>(m));
  }
  if (n <= len) return fromFront ? MakeLike(t, n) : MakeLike(t + len - n, n);
  char fill = padWithEdge ? (fromFront ? t[len - 1] : t[0]) : ' ';
  KString* s = new KString(fill, n);
  std::memcpy(s->Buf() + (fromFront ? 0 : n - len), t, static_cast<size_t>(len));
  return s;
}

KString* KString::Rotate(int n) {
  int len = Len();
  KString* s = MakeLike(Str(), len);
  if (len == 0) return s;
  const char* t = Str();
  int64_t k = ((static_cast<int64_t>(n) % len) + len) % len;
  for (int i = 0; i < len; ++i) s->Buf()[(i + k) % len] = t[i];
  return s;
}

KString* KString::Shift(int n) {
  int len = Len();
  const char* t = Str();
  KString* s = new KString(static_cast<char>(KT::cNil), len);
  for (int i = 0; i < len; ++i) {
    int64_t src = static_cast<int64_t>(i) - n;
    if (src >= 0 && src < len) s->Buf()[i] = t[src];
  }
  return s;
}

KString* KString::Reshape(int n) {
  n = std::max(n, 0);
  int len = Len();
  if (len == 0) return new KString(static_cast<char>(KT::cNil), n);
  KString* s = new KString(' ', n);
  const char* t = Str();
  for (int i = 0; i < n; ++i) s->Buf()[i] = t[i % len];
  return s;
}

KString* KString::Flip() {
  KString* s = MakeLike(Str(), Len());
  std::reverse(s->Buf(), s->Buf() + s->Len());
  return s;
}

namespace {
// Runs of equal adjacent bytes: keep(run length) decides whether the run
// contributes one character.
template <class Keep>
KString* Runs(KString* src, Keep keep) {
  const char* t = src->Str();
  int n = src->Len();
  std::string s;
  for (int i = 0; i < n;) {
    int j = i + 1;
    while (j < n && t[j] == t[i]) ++j;
    if (keep(j - i)) s += t[i];
    i = j;
  }
  return new KString(s);
}
}  // namespace

KString* KString::Unique() { return Runs(this, [](int) { return true; }); }

KString* KString::QueryUnique() {
  if (Len() < 2) return MakeLike(Str(), Len());
  return Runs(this, [](int r) { return r == 1; });
}

KString* KString::QueryNotUnique() {
  if (Len() < 2) return MakeLike(Str(), Len());
  return Runs(this, [](int r) { return r >= 2; });
}

KString* KString::Intersect(KB* o) {
  if (!IsTextValue(o)) KTHROW(KT::eNotSupp, "RT Type");
  ByteSet in(TextOf(o));
  std::string s;
  const char* t = Str();
  for (int i = 0; i < Len(); ++i)
    if (in(t[i])) s += t[i];
  return new KString(s);
}

KString* KString::Union(KB*) { KTHROW(KT::eNotImpl, "String union"); }

KString* KString::Without(KB* o) {
  if (KSeq::IsSeq(o)) KTHROW(KT::eNotSupp, "Seq type");
  ByteSet in(ArgText(o));
  std::string s;
  const char* t = Str();
  for (int i = 0; i < Len(); ++i)
    if (!in(t[i])) s += t[i];
  return new KString(s);
}

KB* KString::Contains(KB* o) {
  if (IsTextValue(o)) {
    ByteSet in(TextOf(o));
    KBit* b = new KBit(Len(), false);
    const char* t = Str();
    for (int i = 0; i < Len(); ++i)
      if (in(t[i])) b->BitSet(i, true);
    return b;
  }
  if (KSeq::IsSeq(o)) {
    KSeq* s = static_cast<KSeq*>(o);
    Building<KSeq> out(new KSeq());
    for (int i = 0; i < s->Count(); ++i) out->Append(MarkElem((*s)[i], KT::mcEQ), true);
    return out.Release();
  }
  KTHROW(KT::eNotSupp, "Type");
}

KNum* KString::IndexOf(KB* chars) {
  std::string keys = ArgText(chars);
  const int* w = exact ? KT::CSExact : KT::CSTARQ;
  const char* t = Str();
  int n = Len();
  KNum* r = new KNum(KT::aInt, static_cast<int>(keys.size()));
  for (size_t k = 0; k < keys.size(); ++k) {
    int wk = w[U(keys[k])];
    int found = 0;
    for (int i = 0; i < n && !found; ++i)
      // Characters without weight are only equal to themselves.
      if (wk ? w[U(t[i])] == wk : t[i] == keys[k]) found = i + 1;
    r->IntPtr()[k] = found;
  }
  return r;
}

KB* KString::IndexedBy(KB* index) {
  if (!index || index->typen() == KT::tNV) return Clone();
  int n = Len();
  const char* t = Str();
  auto at = [&](int64_t p) { return (p >= 1 && p <= n) ? t[p - 1] : static_cast<char>(KT::cNil); };
  switch (index->typen()) {
    case KT::tNum: {
      KNum* idx = static_cast<KNum*>(index);
      int m = idx->Count();
      if (m == 0) return Clone();
      std::string s(static_cast<size_t>(m), static_cast<char>(KT::cNil));
      for (int k = 0; k < m; ++k) {
        if (idx->IsInt()) {
          s[static_cast<size_t>(k)] = at(idx->IntPtr()[k]);
        } else {
          double d = idx->FltPtr()[k];
          if (d == KT::fNil) continue;
          if (d != std::floor(d)) KTHROW(KT::eValue, "Invalid Index");
          s[static_cast<size_t>(k)] = (d >= 1 && d <= n) ? t[static_cast<int>(d) - 1] : static_cast<char>(KT::cNil);
        }
      }
      return new KString(s);
    }
    case KT::tBit: {
      KBit* m = static_cast<KBit*>(index);
      std::string s;
      for (int i = 0; i < m->Count(); ++i)
        if (m->BitGet(i)) s += at(static_cast<int64_t>(i) + 1);
      return new KString(s);
    }
    case KT::tString: {
      KBit mask(static_cast<const char*>(index->descriptor->data) ? static_cast<const char*>(index->descriptor->data) : "",
                index->Count());
      return IndexedBy(&mask);
    }
    case KT::tField: {
      if (index->Count() == 0) KTHROW(KT::eValue, "Not String");
      Building<KNS> ns(new KNS());
      ns->Put(index, this, KT::ntAny);
      return ns.Release();
    }
    case KT::tSeq:
    case KT::tSeqEa:
    case KT::tFL: {
      KSeq* seq = static_cast<KSeq*>(index);
      if (!seq->IsHomogeneous()) KTHROW(KT::eValue, "Not Homogeneous");
      bool fields = seq->Count() > 0;
      for (int i = 0; i < seq->Count(); ++i) fields = fields && (*seq)[i]->typen() == KT::tField;
      if (!fields) KTHROW(KT::eValue, "Invalid Index");
      Building<KNS> ns(new KNS());
      for (int i = 0; i < seq->Count(); ++i) {
        if ((*seq)[i]->Count() == 0) KTHROW(KT::eValue, "Not String");
        ns->Put((*seq)[i], this, KT::ntAny);
      }
      return ns.Release();
    }
    default:
      KTHROW(KT::eValue, "Invalid Index");
  }
}

void KString::IdxAssign(KB* value, KB* index) {
  if (!IsTextValue(value)) KTHROW(KT::eNotImpl, "V Type");
  std::string v = TextOf(value);
  if (v.empty()) return;
  int vn = static_cast<int>(v.size());
  int n = Len();
  char* t = Buf();
  if (!index || index->typen() == KT::tNV) {
    for (int i = 0; i < n; ++i) t[i] = v[static_cast<size_t>(std::min(i, vn - 1))];
    return;
  }
  switch (index->typen()) {
    case KT::tNum: {
      KNum* idx = static_cast<KNum*>(index);
      if (!idx->IsInt()) KTHROW(KT::eNotImpl, "Insertion not implemented");
      for (int k = 0; k < idx->Count(); ++k) {
        int j = idx->IntPtr()[k];
        if (j >= 1 && j <= n) t[j - 1] = v[static_cast<size_t>(std::min(k, vn - 1))];
      }
      return;
    }
    case KT::tString: {
      KBit mask(static_cast<const char*>(index->descriptor->data) ? static_cast<const char*>(index->descriptor->data) : "",
                index->Count());
      IdxAssign(value, &mask);
      return;
    }
    case KT::tBit: {
      KBit* m = static_cast<KBit*>(index);
      int k = 0;
      for (int i = 0; i < std::min(n, m->Count()); ++i)
        if (m->BitGet(i)) t[i] = v[static_cast<size_t>(std::min(k++, vn - 1))];
      return;
    }
    default:
      KTHROW(KT::eValue, "Invalid index");
  }
}

// ============================================================ conversions

KB* KString::Convert(KB* code) {
  if (!IsNumeric(code) || code->Count() == 0) return nullptr;
  KNum* c = static_cast<KNum*>(code);
  bool fltCode = c->IsFlt();
  int k = c->AsInt();
  const UC8* p = reinterpret_cast<const UC8*>(Str());
  int n = Len();
  if (k == 0) {
    int bits = n * 8;
    char* bytes = static_cast<char*>(AllocData(StorageBytes(KT::aBit, bits), true));
    if (n) std::memcpy(bytes, p, static_cast<size_t>(n));
    return new KBit(bytes, bits, bits);
  }
  int size = k < 0 ? -k : k;
  if (size != 1 && size != 2 && size != 4 && size != 8) return nullptr;
  int m = n / size;
  auto le = [&](int i) {
    uint64_t u = 0;
    for (int b = 0; b < size; ++b) u |= static_cast<uint64_t>(p[i * size + b]) << (8 * b);
    return u;
  };
  bool flt = size == 8 || (size == 4 && fltCode);
  if (!flt && k == 4)
    for (int i = 0; i < m; ++i)
      if (le(i) >= 0x80000000u) flt = true;
  KNum* r = new KNum(flt ? KT::aFloat : KT::aInt, m);
  for (int i = 0; i < m; ++i) {
    uint64_t u = le(i);
    if (flt) {
      double d;
      if (size == 8) {
        std::memcpy(&d, &u, 8);
      } else if (size == 4 && fltCode) {
        uint32_t u32 = static_cast<uint32_t>(u);
        float f;
        std::memcpy(&f, &u32, 4);
        d = f;
      } else {
        d = static_cast<double>(u);
      }
      r->FltPtr()[i] = d;
    } else {
      int32_t v;
      switch (k) {
        case 1: v = static_cast<int32_t>(u); break;
        case 2: v = static_cast<int32_t>(u); break;
        case 4: v = static_cast<int32_t>(u); break;
        case -1: v = static_cast<int8_t>(static_cast<uint8_t>(u)); break;
        case -2: v = static_cast<int16_t>(static_cast<uint16_t>(u)); break;
        default: v = static_cast<int32_t>(static_cast<uint32_t>(u)); break;
      }
      r->IntPtr()[i] = v;
    }
  }
  return r;
}

KB* KString::CoerceTo(KT::KTO t) {
  switch (t) {
    case KT::tBit: return ToTF();
    case KT::tField: {
      KField* f = new KField(this);
      f->exact = exact;
      return f;
    }
    case KT::tString: {
      KString* s = new KString(Str(), Len());
      s->exact = exact;
      return s;
    }
    case KT::tNum: KTHROW(KT::eNotSupp, "Numeric");
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

KNum* KString::AsNum() { return new KNum(Str(), Len()); }

KSeq* KString::AsCSV() {
  Building<KSeq> rows(new KSeq());
  PieceCut row(this);
  const char* t = Str();
  int n = Len();
  int start = 0;
  bool quoted = false;
  // A line end outside quotes (CR, LF, CR LF or LF CR, as NextLN reads
  // them) ends the field and the row.
  for (int i = 0; i < n; ++i) {
    char c = t[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ',') {
      row.Add(start, i);
      start = i + 1;
    } else if (!quoted && IsLineEnd(c)) {
      row.Add(start, i);
      i += LineEndAt(t, n, i) - 1;
      start = i + 1;
      rows->Append(row.Done(), true);
      row.Start();
    }
  }
  row.Add(start, n);
  rows->Append(row.Done(), true);
  return rows.Release();
}

std::string KString::AsHex(int width) {
  static const char digits[] = "0123456789ABCDEF";
  int n = Len();
  if (n == 0) return std::string();
  if (width <= 0 || width > n) width = n;
  const char* t = Str();
  std::string out;
  out.reserve(static_cast<size_t>(n) * 3 + static_cast<size_t>(n / width + 1) * 3);
  for (int b = 0; b < n; b += width) {
    int e = std::min(n, b + width);
    if (b) out += '\r';
    for (int i = b; i < e; ++i) out += (U(t[i]) < 0x20 || U(t[i]) == 0x7F) ? '.' : t[i];
    out += '\r';
    for (int i = b; i < e; ++i) out += digits[U(t[i]) >> 4];
    out += '\r';
    for (int i = b; i < e; ++i) out += digits[U(t[i]) & 15];
  }
  return out;
}

namespace {
size_t B64EncodedSize(size_t n) { return (n + 2) / 3 * 4; }

// Writes the Base64 form of p[0..n) to o (B64EncodedSize(n) bytes).
void B64EncodeTo(const char* p, size_t n, char* o) {
  const UC8* s = reinterpret_cast<const UC8*>(p);
  const char* a = KString::b64;
  size_t i = 0;
  for (; i + 3 <= n; i += 3, o += 4) {
    uint32_t v = (static_cast<uint32_t>(s[i]) << 16) | (static_cast<uint32_t>(s[i + 1]) << 8) | s[i + 2];
    o[0] = a[v >> 18];
    o[1] = a[(v >> 12) & 63];
    o[2] = a[(v >> 6) & 63];
    o[3] = a[v & 63];
  }
  if (i < n) {
    uint32_t v = static_cast<uint32_t>(s[i]) << 16;
    if (i + 1 < n) v |= static_cast<uint32_t>(s[i + 1]) << 8;
    o[0] = a[v >> 18];
    o[1] = a[(v >> 12) & 63];
    o[2] = i + 1 < n ? a[(v >> 6) & 63] : '=';
    o[3] = '=';
  }
}

// Decodes p[0..n) into o (at most n / 4 * 3 + 3 bytes), skipping every
// character outside the alphabet; returns the number of bytes written.
size_t B64DecodeTo(const char* p, size_t n, char* o) {
  if (KString::firstB64) {
    std::memset(KString::r64, 0, sizeof KString::r64);
    for (int k = 0; k < 64; ++k) KString::r64[U(KString::b64[k])] = static_cast<UC8>(k + 1);
    KString::firstB64 = false;
  }
  const UC8* r = KString::r64;
  char* start = o;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    UC8 v = r[U(p[i])];
    if (!v) continue;  // padding, line breaks and stray characters
    acc = ((acc << 6) | (v - 1u)) & 0xFFFFFFu;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *o++ = static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return static_cast<size_t>(o - start);
}
}  // namespace

std::string KString::B64Encode(const char* p, size_t n) {
  std::string out(B64EncodedSize(n), '\0');
  B64EncodeTo(p, n, out.data());
  return out;
}

std::string KString::B64Decode(const char* p, size_t n) {
  std::string out(n / 4 * 3 + 3, '\0');
  out.resize(B64DecodeTo(p, n, out.data()));
  return out;
}

// Both directions write straight into the new string's buffer.
KString* KString::B64() {
  size_t m = B64EncodedSize(static_cast<size_t>(Len()));
  if (m > static_cast<size_t>(INT32_MAX - 1)) KTHROW(KT::eValue, "Too long");
  if (m == 0) return new KString();
  char* buf = static_cast<char*>(AllocData(m + 1, false));
  B64EncodeTo(Str(), static_cast<size_t>(Len()), buf);
  return new KString(buf, static_cast<int>(m), static_cast<int>(m), false);
}

KString* KString::R64() {
  size_t cap = static_cast<size_t>(Len()) / 4 * 3 + 3;
  char* buf = static_cast<char*>(AllocData(cap + 1, false));
  size_t m = B64DecodeTo(Str(), static_cast<size_t>(Len()), buf);
  return new KString(buf, static_cast<int>(m), static_cast<int>(cap), false);
}

KString* KString::Format(KB* width) {
  if (!IsNumeric(width)) KTHROW(KT::eValue, "RT Arg");
  KNum* w = static_cast<KNum*>(width);
  if (w->Count() == 0) KTHROW(KT::eValue, "RT Length");
  // A nil width leaves the text as it is.
  if (w->IsInt() ? w->IntPtr()[0] == KT::iNil : w->FltPtr()[0] == KT::fNil) return MakeLike(Str(), Len());
  int64_t v = w->IsInt() ? w->IntPtr()[0] : static_cast<int64_t>(std::trunc(std::max(-2e9, std::min(2e9, w->FltPtr()[0]))));
  int len = Len();
  const char* t = Str();
  if (v == 0) return new KString();
  int m = static_cast<int>(v < 0 ? -v : v);
  KString* s = new KString(' ', m);
  int k = std::min(m, len);
  if (v > 0)
    std::memcpy(s->Buf(), t, static_cast<size_t>(k));
  else
    std::memcpy(s->Buf() + (m - k), t + (len - k), static_cast<size_t>(k));
  return s;
}

void KString::ToFile(const char* name) {
  // The same write fence as file objects.
  std::string path = name ? name : "";
  KPlat::Place place;
  if (path.empty() || KPlat::Locate(KPlat::SysPathOf(path), place, true) != KPlat::Fence::kAdmitted ||
      !KPlat::WriteFileIn(place, Value()))
    KTHROW(KT::eSystem, "ToFile");
}
