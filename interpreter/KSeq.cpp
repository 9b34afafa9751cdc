// KSeq: the nestable list of value references, its growth and ownership
// rules, structure and query operations, hierarchy text forms and images.
#include "KSeq.h"

#include <algorithm>
#include <cstdint>
#include <climits>
#include <vector>

#include "KArg.h"
#include "KAssoc.h"
#include "KNum.h"
#include "KRef.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KSeq";

namespace {

// The walks that recurse through other classes (comparison, equality,
// dumps, images) share the value base's nesting count.
using NestGuard = KB::NestGuard;

// Holds an element's exact flag at a given value for the length of a scope.
struct ExactAs {
  KB* v;
  uint8_t saved;
  ExactAs(KB* e, uint8_t flag) : v(e), saved(e->exact) { v->exact = flag; }
  ~ExactAs() { v->exact = saved; }
  ExactAs(const ExactAs&) = delete;
  ExactAs& operator=(const ExactAs&) = delete;
};

// Element k of a numeric index as a position (floats truncated); kBadPos
// when it cannot be one (nil-sized floats, NaN).
constexpr int64_t kBadPos = INT64_MIN;
int64_t posOf(const KB* idx, int k) {
  const KB::KBD* d = idx->descriptor;
  if (d->align == KT::aInt) return static_cast<const int32_t*>(d->data)[k];
  if (d->align == KT::aFloat) {
    double x = static_cast<const double*>(d->data)[k];
    if (!(x > -2147483648.0 && x < 2147483648.0)) return kBadPos;
    return static_cast<int64_t>(x);
  }
  return kBadPos;
}

bool isNumeric(const KB* v) {
  return v && (v->typen() == KT::tNum || v->typen() == KT::tClock) &&
         (v->alignmentn() == KT::aInt || v->alignmentn() == KT::aFloat);
}

// An "I" array adopting the given integers.
KNum* intArray(const std::vector<int32_t>& v) {
  int n = static_cast<int>(v.size());
  void* data = KB::AllocData(KB::StorageBytes(KT::aInt, n), false);
  if (n) std::copy(v.begin(), v.end(), static_cast<int32_t*>(data));
  return new KNum(data, KT::aInt, n, n);
}

}  // namespace

// ------------------------------------------------------------ construction

KSeq::KSeq() : KSeq(KT::tSeq) {}

KSeq::KSeq(KT::KTO type) : KB(type) {
  descriptor->align = KT::aKB;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aKB);
}

KSeq::KSeq(KSeq* other) : KSeq(other && other->typen() == KT::tSeqEa ? KT::tSeqEa : KT::tSeq) {
  if (!other || other->Count() == 0) return;
  int n = other->Count();
  addSlots(n);
  KB** src = other->Slots();
  for (int i = 0; i < n; ++i) Append(src[i], false);
}

KSeq::KSeq(KB* value, bool adopt) : KSeq() { Append(value, adopt); }

KSeq::~KSeq() {
  // When this is the last holder, the elements die with the descriptor.
  // The slot arrays of this sequence and of the nested sequences it holds
  // alone are taken over and released depth first from a stack of runs, so
  // a long chain of sequences does not recurse once per level, and the
  // stack grows with the nesting, never with the element count (a release
  // after running out of memory must not need more memory).
  // Deferred elements are no values: the descriptor's Clear drops them.
  if (!descriptor || descriptor->refs > std::max(holds, 1) || descriptor->align != KT::aKB || descriptor->deferred)
    return;
  struct Run {
    KB** slots;
    int left;
  };
  auto take = [](KBD* d) {
    Run r{static_cast<KB**>(d->data), d->count};
    d->data = nullptr;
    d->count = d->capacity = 0;
    return r;
  };
  std::vector<Run> outer;
  Run cur = take(descriptor);
  for (;;) {
    while (cur.left > 0) {
      KB* v = cur.slots[--cur.left];
      KSeq* s = IsSeq(v) ? static_cast<KSeq*>(v) : nullptr;
      if (s && s->holds <= 1 && s->descriptor && s->descriptor->refs <= 1 && s->descriptor->align == KT::aKB &&
          s->descriptor->count > 0 && !s->descriptor->deferred) {
        try {
          outer.push_back(cur);
          cur = take(s->descriptor);
        } catch (...) {
          // no room to go on iteratively: this one is released recursively
        }
      }
      KB::DoneWith(v);
    }
    KB::FreeData(cur.slots);
    if (outer.empty()) break;
    cur = outer.back();
    outer.pop_back();
  }
}

// ------------------------------------------------------------ access

KB* KSeq::First() const { return Count() ? Slots()[0] : nullptr; }
KB* KSeq::Last() const { return Count() ? Slots()[Count() - 1] : nullptr; }

KB* KSeq::operator[](int i) const { return i >= 0 && i < Count() ? Slots()[i] : nullptr; }

KB* KSeq::operator[](KB* index) const {
  if (!isNumeric(index) || index->Count() == 0) return nullptr;
  int64_t p = posOf(index, 0);
  return p >= 0 && p < Count() ? Slots()[p] : nullptr;
}

KB* KSeq::IndexedBy(int i) {
  KB* e = (*this)[i];
  if (!e) return new KNV();
  e->Reference(true);
  return e;
}

KSeq* KSeq::IndexedBy(KNum* index) {
  if (!index || index->Count() == 0 || !isNumeric(index)) return new KSeq(this);
  int n = index->Count();
  KSeq* r = new KSeq();
  try {
    r->addSlots(n);
    KB* empty = nullptr;
    for (int k = 0; k < n; ++k) {
      int64_t p = posOf(index, k);
      if (p >= 1 && p <= Count()) {
        r->Append(Slots()[p - 1], false);
      } else {
        if (!empty) empty = new KNV();
        r->Append(empty, false);
      }
    }
    KB::DoneWith(empty);
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

void KSeq::IdxAssign(KB* value, KB* index) {
  // Positions: a numeric index (1-based) or the set bits of a bit vector.
  std::vector<int64_t> pos;
  if (index && isNumeric(index)) {
    for (int k = 0; k < index->Count(); ++k) pos.push_back(posOf(index, k));
  } else if (index && index->typen() == KT::tBit) {
    const unsigned char* b = static_cast<const unsigned char*>(index->descriptor->data);
    for (int k = 0; k < index->Count(); ++k)
      if (b[k / 8] & (0x80 >> (k % 8))) pos.push_back(k + 1);
  } else {
    KTHROW(KT::eValue, "Invalid index");
  }
  if (!value) KTHROW(KT::eValue, "not KSeq");
  // A sequence with one element per position is distributed; any other
  // value is stored whole at every position. Outside positions are ignored.
  KSeq* vs = IsSeq(value) ? static_cast<KSeq*>(value) : nullptr;
  bool spread = vs && pos.size() > 1 && static_cast<size_t>(vs->Count()) == pos.size();
  for (size_t k = 0; k < pos.size(); ++k) {
    if (pos[k] < 1 || pos[k] > Count()) continue;
    Replace(static_cast<int>(pos[k] - 1), spread ? vs->Slots()[k] : value, false);
  }
}

void KSeq::Replace(int i, KB* value, bool adopt) {
  if (!value) {
    value = new KNV();
    adopt = true;
  }
  if (i < 0 || i >= Count()) {
    if (adopt) KB::DoneWith(value);
    return;
  }
  KB* old = Slots()[i];
  if (old->typen() == KT::tRef && value->typen() != KT::tRef) {
    KRef* r = dynamic_cast<KRef*>(old);
    if (r) {
      try {
        r->ValSet(value);
      } catch (...) {
        if (adopt) KB::DoneWith(value);
        throw;
      }
      if (adopt) KB::DoneWith(value);
      return;
    }
  }
  if (!adopt) value->Reference(true);
  Slots()[i] = value;
  ScopeChanged();
  KB::DoneWith(old);
}

void KSeq::releaseSlot(int i) {
  ScopeChanged();
  KB* e = Slots()[i];
  Slots()[i] = nullptr;
  KB::DoneWith(e);
}

void KSeq::UnAppend(int n) {
  ScopeChanged();
  if (n <= 0) n = 1;
  if (n > Count()) n = Count();
  descriptor->Materialize();  // the slots must exist before the count drops
  for (int k = 0; k < n; ++k) {
    int last = Count() - 1;
    descriptor->count = last;  // the slot leaves the sequence before its element goes
    KB* e = Slots()[last];
    Slots()[last] = nullptr;
    KB::DoneWith(e);
  }
}

KSeq& KSeq::operator+=(KB* value) {
  Append(value, false);
  return *this;
}

// ------------------------------------------------------------ structure

void KSeq::addSlots(int n) {
  descriptor->Materialize();  // growth works on made slots
  int64_t cap = descriptor->capacity;
  int64_t want = n <= 0 ? cap + std::max<int64_t>(cap / 5, 1) : static_cast<int64_t>(Count()) + n;
  if (want <= cap) return;
  if (want > INT_MAX / 8) KTHROW(KT::eSystem, "Out of memory");
  size_t oldBytes = StorageBytes(KT::aKB, static_cast<int>(cap));
  size_t newBytes = StorageBytes(KT::aKB, static_cast<int>(want));
  descriptor->data = descriptor->data ? ReallocData(descriptor->data, oldBytes, newBytes, true)
                                      : AllocData(newBytes, true);
  descriptor->capacity = static_cast<int32_t>(want);
  descriptor->align = KT::aKB;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aKB);
}

void KSeq::Append(KB* value, bool adopt) {
  if (!value) {
    value = new KNV();
    adopt = true;
  }
  if (descriptor->deferred) {
    try {
      descriptor->Materialize();
    } catch (...) {
      if (adopt) KB::DoneWith(value);
      throw;
    }
  }
  if (Count() >= descriptor->capacity) {
    try {
      addSlots(0);
    } catch (...) {
      if (adopt) KB::DoneWith(value);
      throw;
    }
  }
  if (!adopt) value->Reference(true);
  Slots()[descriptor->count++] = value;
  ScopeChanged();
}

void KSeq::AppendEach(KB* seq, bool adopt) {
  if (!IsSeq(seq)) {
    Append(seq, adopt);
    return;
  }
  KSeq* s = static_cast<KSeq*>(seq);
  int n = s->Count();  // fixed before growing: appending a sequence to itself doubles it once
  try {
    if (descriptor->capacity < Count() + n) addSlots(n);
  } catch (...) {
    if (adopt) KB::DoneWith(seq);
    throw;
  }
  for (int i = 0; i < n; ++i) Append(s->Slots()[i], false);
  if (adopt) KB::DoneWith(seq);
}

KSeq* KSeq::Catenate(KSeq* other) {
  KSeq* r = new KSeq(this);
  if (other) r->AppendEach(other, false);
  return r;
}

KSeq* KSeq::Take(int n, bool fromFront, bool padWithEdge) {
  int64_t m = n == KT::iNil ? 1 : n;
  int64_t cnt = Count();
  KSeq* r = new KSeq(typen() == KT::tSeqEa ? KT::tSeqEa : KT::tSeq);
  KB* empty = nullptr;
  try {
    int64_t absM = m < 0 ? -m : m;
    if (m == 0 || (m < 0 && absM >= cnt && cnt > 0)) return r;
    if (cnt == 0) {
      r->addSlots(static_cast<int>(std::min<int64_t>(absM, INT_MAX)));
      empty = new KNV();
      for (int64_t k = 0; k < absM; ++k) r->Append(empty, false);
      KB::DoneWith(empty);
      return r;
    }
    if (m < 0) {  // all but |n| from the front or the back
      int64_t from = fromFront ? absM : 0, to = fromFront ? cnt : cnt - absM;
      r->addSlots(static_cast<int>(to - from));
      for (int64_t i = from; i < to; ++i) r->Append(Slots()[i], false);
      return r;
    }
    r->addSlots(static_cast<int>(std::min<int64_t>(m, INT_MAX)));
    int64_t missing = m > cnt ? m - cnt : 0;
    KB* pad = padWithEdge ? (fromFront ? Last() : First()) : (empty = new KNV());
    if (fromFront) {
      for (int64_t i = 0; i < m - missing; ++i) r->Append(Slots()[i], false);
      for (int64_t k = 0; k < missing; ++k) r->Append(pad, false);
    } else {
      for (int64_t k = 0; k < missing; ++k) r->Append(pad, false);
      for (int64_t i = cnt - (m - missing); i < cnt; ++i) r->Append(Slots()[i], false);
    }
    KB::DoneWith(empty);
  } catch (...) {
    KB::DoneWith(empty);
    KB::DoneWith(r);
    throw;
  }
  return r;
}

KSeq* KSeq::Rotate(int n) {
  int cnt = Count();
  KSeq* r = new KSeq(typen() == KT::tSeqEa ? KT::tSeqEa : KT::tSeq);
  if (cnt == 0) return r;
  r->addSlots(cnt);
  int64_t shift = static_cast<int64_t>(n) % cnt;
  for (int i = 0; i < cnt; ++i) {
    int64_t src = ((i - shift) % cnt + cnt) % cnt;
    r->Append(Slots()[src], false);
  }
  return r;
}

KSeq* KSeq::Reshape(int n) {
  KSeq* r = new KSeq(typen() == KT::tSeqEa ? KT::tSeqEa : KT::tSeq);
  if (n <= 0) return r;
  try {
    r->addSlots(n);
    if (Count() == 0) {  // nothing to repeat: empty values
      KB* empty = new KNV();
      for (int k = 0; k < n; ++k) r->Append(empty, false);
      KB::DoneWith(empty);
      return r;
    }
    for (int k = 0; k < n; ++k) r->Append(Slots()[k % Count()], false);
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

KSeq* KSeq::Flip() {
  KSeq* r = new KSeq(typen() == KT::tSeqEa ? KT::tSeqEa : KT::tSeq);
  r->addSlots(Count());
  for (int i = Count() - 1; i >= 0; --i) r->Append(Slots()[i], false);
  return r;
}

KB* KSeq::Range(int from, int to) {
  if (from > to) KTHROW(KT::eSystem, "l>r");
  KSeq* r = new KSeq(typen() == KT::tSeqEa ? KT::tSeqEa : KT::tSeq);
  int cnt = Count();
  if (cnt == 0) return r;
  try {
    r->addSlots(static_cast<int>(std::min<int64_t>(static_cast<int64_t>(to) - from + 1, INT_MAX / 8)));
    for (int64_t i = from; i <= to; ++i) r->Append(Slots()[std::clamp<int64_t>(i, 0, cnt - 1)], false);
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

// Runs of equal adjacent elements (value equality of KA::EQ, under this
// sequence's exact flag). keep(runLength) decides whether a run's first
// element goes into the result.
template <class Keep>
static KSeq* runs(KSeq* s, Keep keep) {
  KSeq* r = new KSeq(s->typen() == KT::tSeqEa ? KT::tSeqEa : KT::tSeq);
  try {
    int n = s->Count();
    if (n < 2) {
      r->AppendEach(s, false);
      return r;
    }
    KB** e = s->Slots();
    for (int i = 0; i < n;) {
      int j = i + 1;
      while (j < n) {
        ExactAs ex(e[i], s->exact);
        if (!KA::EQ(e[i], e[j])) break;
        ++j;
      }
      if (keep(j - i)) r->Append(e[i], false);
      i = j;
    }
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

KSeq* KSeq::Unique() { return runs(this, [](int) { return true; }); }
KSeq* KSeq::QueryUnique() { return runs(this, [](int len) { return len == 1; }); }
KSeq* KSeq::QueryNotUnique() { return runs(this, [](int len) { return len >= 2; }); }

// ------------------------------------------------------------ queries

bool KSeq::IsSeq(const KB* v) {
  return v && (v->typen() == KT::tSeq || v->typen() == KT::tSeqEa) && dynamic_cast<const KSeq*>(v);
}

bool KSeq::IsHomogeneous() {
  if (Count() < 2) return true;
  int type = -1;
  for (int i = 0; i < Count(); ++i) {
    int t = Slots()[i]->typen();
    if (t == KT::tNil || t == KT::tNV) continue;
    if (type < 0) type = t;
    else if (t != type) return false;
  }
  return true;
}

int KSeq::Depth(int level) {
  if (level > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
  KB::WalkStep();
  int d = 0;
  for (int i = 0; i < Count(); ++i) {
    KB* e = Slots()[i];
    if (IsSeq(e)) d = std::max(d, 1 + static_cast<KSeq*>(e)->Depth(level + 1));
  }
  return d;
}

int KSeq::Depth(KB* v) { return IsSeq(v) ? static_cast<KSeq*>(v)->Depth(0) : 0; }

KNum* KSeq::CountEach(int& n) {
  std::vector<int32_t> v;
  for (int i = 0; i < Count(); ++i) v.push_back(Slots()[i]->Count());
  n = Count();
  return intArray(v);
}

KNum* KSeq::Size() { return new KNum(static_cast<int32_t>(Count())); }

KNum* KSeq::Sizes() {
  std::vector<int64_t> v;
  bool fits = true;
  for (int i = 0; i < Count(); ++i) {
    v.push_back(Slots()[i]->SizeBytes());
    fits = fits && v.back() <= INT32_MAX;
  }
  if (fits) return intArray(std::vector<int32_t>(v.begin(), v.end()));
  KNum* r = new KNum(KT::aFloat, Count());
  for (int i = 0; i < Count(); ++i) r->FltPtr()[i] = static_cast<double>(v[static_cast<size_t>(i)]);
  return r;
}

KNum* KSeq::TypesN() {
  std::vector<int32_t> v;
  for (int i = 0; i < Count(); ++i) v.push_back(Slots()[i]->typen());
  return intArray(v);
}

KSeq* KSeq::TypesC() {
  KSeq* r = new KSeq();
  try {
    r->addSlots(Count());
    for (int i = 0; i < Count(); ++i) r->Append(KMakeString(Slots()[i]->typec()), true);
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

KB* KSeq::DefaultByIntValue(int, int) { KTHROW(KT::eNotImpl, "Not Implemented"); }

int KSeq::Compare(KB* other) {
  if (!other) return 1;
  if (other == this) return 0;
  if (typen() != other->typen()) return typen() - other->typen();
  if (!dynamic_cast<KSeq*>(other)) return Count() - other->Count();
  NestGuard guard;
  KSeq* o = static_cast<KSeq*>(other);
  int n = std::min(Count(), o->Count());
  for (int i = 0; i < n; ++i) {
    KB* a = Slots()[i];
    KB* b = o->Slots()[i];
    if (a->typen() != b->typen()) return a->typen() - b->typen();
    if (a->Count() != b->Count()) return a->Count() - b->Count();
    ExactAs ex(a, exact);
    int c = KA::Compare(a, b);
    if (c) return c;
  }
  return Count() - o->Count();
}

bool KSeq::EQ(KB* other) {
  if (!other) return false;
  if (other == this) return true;
  if (typen() != other->typen() || Count() != other->Count()) return false;
  KSeq* o = dynamic_cast<KSeq*>(other);
  if (!o) return false;
  NestGuard guard;
  for (int i = 0; i < Count(); ++i) {
    ExactAs ex(Slots()[i], exact);
    if (!KA::EQ(Slots()[i], o->Slots()[i])) return false;
  }
  return true;
}

bool KSeq::GT(KB* other, int i, int j, bool descending) {
  if (other && other->typen() != typen()) return typen() > other->typen();
  int c = Compare(other);
  if (c) return c > 0;
  return descending ? j < i : i < j;
}

static bool gtqs(void* ctx, int i, int j, bool descending, uint8_t exactFlag) {
  KSeq* s = static_cast<KSeq*>(ctx);
  KB* a = (*s)[i];
  KB* b = (*s)[j];
  if (!a || !b) KTHROW(KT::eValue, "Invalid index");
  if (a == b) return descending ? j < i : i < j;
  switch (a->typen()) {
    case KT::tFCtxt: case KT::tFile: case KT::tNum: case KT::tClock: case KT::tSeq: case KT::tSeqEa:
    case KT::tString:
      break;
    default:
      KTHROW(KT::eNotImpl, "Type");
  }
  ExactAs ex(a, exactFlag);
  return a->GT(b, i, j, descending);
}

bool KSeq::GTQSExact(void* ctx, int i, int j, bool d) { return gtqs(ctx, i, j, d, 1); }
bool KSeq::GTQSExactDefault(void* ctx, int i, int j, bool d) { return gtqs(ctx, i, j, d, 1); }
bool KSeq::GTQSTARQ(void* ctx, int i, int j, bool d) { return gtqs(ctx, i, j, d, 0); }
bool KSeq::GTQSTARQDefault(void* ctx, int i, int j, bool d) { return gtqs(ctx, i, j, d, 0); }

// ------------------------------------------------------------ text forms

const std::string& KSeq::AsString(bool verbose) {
  std::string t = AsHierarchy(0, verbose);
  text.swap(t);
  return text;
}

namespace {
// The text of one outermost text-form walk is cut with "..." once it passes
// this many characters: a sequence that holds the same sub-sequence twice at
// every level is small in memory but exponential as text.
constexpr size_t kTextLimit = 4000000;

// Shared by the nested walks of one outermost text form.
struct TextBudget {
  static int walks;
  static size_t used;
  TextBudget() {
    if (walks++ == 0) used = 0;
  }
  ~TextBudget() { --walks; }
  TextBudget(const TextBudget&) = delete;
  TextBudget& operator=(const TextBudget&) = delete;
  // Counts `piece` against the budget; false (and "..." appended) once spent.
  static bool Add(std::string& out, const std::string& piece) {
    if (used > kTextLimit) return false;
    used += piece.size();
    out += piece;
    if (used <= kTextLimit) return true;
    out += "...";
    return false;
  }
};
int TextBudget::walks = 0;
size_t TextBudget::used = 0;
}  // namespace

std::string KSeq::AsHierarchy(int depth, bool verbose) {
  if (depth > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
  KB::WalkStep();
  TextBudget budget;
  std::string out;
  if (!verbose) {
    for (int i = 0; i < Count(); ++i) {
      KB* e = Slots()[i];
      if (IsSeq(e)) {
        std::string inner = static_cast<KSeq*>(e)->AsHierarchy(depth + 1, false);
        if (TextBudget::used > kTextLimit) {
          out += inner;  // already cut inside
          break;
        }
        out += inner;
      } else if (!TextBudget::Add(out, e->AsString(false))) {
        break;
      }
    }
    return out;
  }
  std::string prefix(static_cast<size_t>(depth), '*');
  if (!descriptor) return Fmt("%s%s[0]NULL", prefix.c_str(), typec());
  out = VerbosePrefix();
  for (int i = 0; i < Count(); ++i) {
    KB* e = Slots()[i];
    if (!TextBudget::Add(out, Fmt("\r\n%s[%d]", prefix.c_str(), i + 1))) break;
    if (IsSeq(e)) {
      out += static_cast<KSeq*>(e)->AsHierarchy(depth + 1, true);
      if (TextBudget::used > kTextLimit) break;
    } else if (!TextBudget::Add(out, e->AsString(true))) {
      break;
    }
  }
  return out;
}

std::string KSeq::AsDepthString(bool verbose, int depth) {
  if (depth > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
  return AsHierarchy(depth, verbose);
}

std::string KSeq::Dump() {
  NestGuard guard;
  std::string out = "KSeq::Dump:" + AsHierarchy(0, false);
  for (int i = 0; i < Count(); ++i) out += "\r\n" + Slots()[i]->Dump();
  return out;
}

KB* KSeq::FieldGet(KB* name) {
  if (FieldIs(name, ":size")) return Size();
  if (FieldIs(name, ":sizes")) return Sizes();
  if (FieldIs(name, ":typesc")) return TypesC();
  if (FieldIs(name, ":typesn")) return TypesN();
  return StdFieldOr(name, ":, :size , :sizes, :string, :stringV, :typeC, :typesC, :typeN, :typesN");
}

// ------------------------------------------------------------ lifecycle

KB* KSeq::Clone() { return new KSeq(this); }

void KSeq::Clear() {
  // Elements go one by one so that a failing release cannot leave a slot
  // pointing at a released value.
  while (Count() > 0) UnAppend(Count());
  ScopeChanged();
  descriptor->Clear();
  descriptor->align = KT::aKB;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aKB);
}

int KSeq::size() { return ClampSize(SizeBytes()); }
int64_t KSeq::SizeBytes() { return static_cast<int64_t>(Count()) * KT::TypeAlignToElemSz(KT::aKB); }

// ------------------------------------------------------------ images

// The element types a sequence image holds; the reader accepts no others,
// so that every sequence it builds can be written again.
static bool serialisable(int type) {
  switch (type) {
    case KT::tAssoc: case KT::tBit: case KT::tClock: case KT::tFCtxt: case KT::tField:
    case KT::tFile: case KT::tFL: case KT::tNil: case KT::tNum: case KT::tSeq: case KT::tSeqEa:
    case KT::tString:
      return true;
    default:
      return false;
  }
}
static bool serialisable(const KB* e) { return serialisable(e->typen()); }

static int imageType(const KB* s) { return s->typen() == KT::tSeqEa ? KT::tSeq : s->typen(); }

int KSeq::SOSz() {
  NestGuard guard;
  int64_t total = 8;
  for (int i = 0; i < Count(); ++i) {
    KB* e = Slots()[i];
    if (!serialisable(e)) KTHROW(KT::eNotImpl, "element type");
    total += e->SOSz();
    if (total > INT_MAX) KTHROW(KT::eSystem, "Out of memory");
  }
  return static_cast<int>(total);
}

std::string KSeq::SO() {
  NestGuard guard;
  std::string body;
  for (int i = 0; i < Count(); ++i) {
    KB* e = Slots()[i];
    if (!serialisable(e)) KTHROW(KT::eNotImpl, "element type");
    std::string img = e->SO();
    if (e->typen() == KT::tSeqEa && !img.empty()) img[0] = static_cast<char>(KT::tSeq);
    body += img;
    if (body.size() > static_cast<size_t>(INT_MAX) - 8) KTHROW(KT::eSystem, "Out of memory");
  }
  return ImageHeader(imageType(this), static_cast<int>(body.size() + 8)) + body;
}

KB* KSeq::SI(const char* image) {
  KSeq* s = new KSeq();
  try {
    s->SIBody(image);
  } catch (...) {
    KB::DoneWith(s);
    throw;
  }
  return s;
}

void KSeq::SIBody(const char* image) {
  NestGuard guard;
  int32_t total = GetI32(image + 4);
  if (total < 8) KTHROW(KT::eValue, "Not SI");
  int32_t pos = 8;
  while (pos < total) {
    int32_t left = total - pos;
    if (left < 8) KTHROW(KT::eValue, "Not SI");
    int32_t len = GetI32(image + pos + 4);
    if (len < 8 || len > left) KTHROW(KT::eValue, "Not SI");
    const int type = static_cast<unsigned char>(image[pos]);
    if (!serialisable(type)) KTHROW(KT::eNotImpl, "element type");
    KA h;
    // An association is read only as an element (the handle reads none).
    if (type == KT::tAssoc)
      h.Owns(KAssoc::SI(image + pos));
    else
      KA::SI(h, image + pos);
    Append(h.value, false);
    pos += len;
  }
}
