// KB: value base, data descriptors, reference counting, the release of
// reference cycles, shared utilities, KNil and KNV.
#include "KB.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "KPlatform.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KB";

int32_t KB::fLastID = 10000;
int KB::NestGuard::depth_ = 0;

uint64_t KB::fWalkSteps = 0;

KB::NestGuard::NestGuard() {
  WalkStep();
  if (++depth_ > KT::DepthLimit + 1) {
    --depth_;
    KTHROW(KT::eSystem, "too deep");
  }
}

namespace {
KB::BreatheHook gBreatheHook = nullptr;
void* gBreatheCtx = nullptr;
}  // namespace

// ------------------------------------------------------------ small-object pool
// Value objects and descriptors are created and freed several times per
// operator call, so they come from free lists by 16-byte size class, carved
// from 64 KiB chunks that stay allocated until exit (the chunks are linked,
// so they remain reachable). Everything runs on the host's thread, so the
// pool takes no lock. Sanitizer builds use the global heap instead, so
// AddressSanitizer and LeakSanitizer see every object.
namespace {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPool = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPool = false;
#else
constexpr bool kPool = true;
#endif
#else
constexpr bool kPool = true;
#endif

struct SmallPool {
  static constexpr size_t kGrain = 16;
  static constexpr size_t kMax = 256;
  static constexpr size_t kChunk = size_t(64) << 10;
  void* lists[kMax / kGrain] = {};
  char* next = nullptr;  // unused room in the newest chunk
  char* end = nullptr;
  void* chunks = nullptr;  // chunk list, linked through each chunk's first word

  void* Take(size_t bytes) {
    if (!kPool || bytes == 0 || bytes > kMax) return ::operator new(bytes);
    size_t c = (bytes - 1) / kGrain;
    if (void* p = lists[c]) {
      lists[c] = *static_cast<void**>(p);
      return p;
    }
    size_t size = (c + 1) * kGrain;
    if (static_cast<size_t>(end - next) < size) {
      char* chunk = static_cast<char*>(::operator new(kChunk));
      *reinterpret_cast<void**>(chunk) = chunks;
      chunks = chunk;
      next = chunk + kGrain;
      end = chunk + kChunk;
    }
    void* p = next;
    next += size;
    return p;
  }

  void Give(void* p, size_t bytes) {
    if (!p) return;
    if (!kPool || bytes == 0 || bytes > kMax) {
      ::operator delete(p);
      return;
    }
    size_t c = (bytes - 1) / kGrain;
    *static_cast<void**>(p) = lists[c];
    lists[c] = p;
  }
};

constinit SmallPool gPool;
}  // namespace

void* KB::operator new(size_t bytes) { return gPool.Take(bytes); }
void KB::operator delete(void* p, size_t bytes) { gPool.Give(p, bytes); }
void* KB::KBD::operator new(size_t bytes) { return gPool.Take(bytes); }
void KB::KBD::operator delete(void* p, size_t bytes) { gPool.Give(p, bytes); }

// ------------------------------------------------------------ storage

size_t KB::StorageBytes(int align, int capacity) {
  if (capacity <= 0) return 0;
  size_t n = static_cast<size_t>(capacity);
  switch (align) {
    case KT::aBit: return (n + 7) / 8;
    case KT::aChar: return n + 1;  // room for a terminating zero
    case KT::aInt: return n * 4;
    case KT::aFloat: return n * 8;
    case KT::aKB: return n * sizeof(KB*);
    case KT::aPtr: return n * sizeof(void*);
    default: return 0;
  }
}

void* KB::AllocData(size_t bytes, bool zero) {
  if (bytes == 0) return nullptr;
  void* p = KPlat::MemAlloc(bytes, zero);
  if (!p) KTHROW(KT::eSystem, "Out of memory");
  return p;
}

void* KB::ReallocData(void* p, size_t oldBytes, size_t newBytes, bool zeroTail) {
  void* q = KPlat::MemRealloc(p, oldBytes, newBytes, zeroTail);
  if (!q && newBytes) KTHROW(KT::eSystem, "Out of memory");
  return q;
}

void KB::FreeData(void* p) { KPlat::MemFree(p); }

// ------------------------------------------------------------ descriptor

KB::KBD::KBD(void* d, KT::KTO t, KT::KAL a, int n, int cap)
    : capacity(cap), count(n), elemSize(KT::TypeAlignToElemSz(a)), data(d), align(a), type(t) {}

KB::KBD::~KBD() { Clear(); }

void KB::KBD::Set(void* d, KT::KTO t, KT::KAL a, int n, int cap) {
  void* keepRec = rec;  // the record survives a data swap
  rec = nullptr;
  Clear();
  rec = static_cast<KRec*>(keepRec);
  data = d;
  type = t;
  align = a;
  count = n;
  capacity = cap;
  elemSize = KT::TypeAlignToElemSz(a);
  SID = -1;
}

void KB::KBD::Clear() {
  if (deferred) {  // deferred elements hold no value: nothing to release
    delete deferred;
    deferred = nullptr;
  }
  if (data) {  // most descriptors cleared are empty ones (NoValue)
    if (align == KT::aKB) {
      KB** e = static_cast<KB**>(data);
      for (int i = 0; i < count; ++i) KB::DoneWith(e[i]);
    }
    if (block) {
      Unpin(block);
      block = nullptr;
    } else {
      FreeData(data);
    }
    data = nullptr;
  }
  if (rec) {
    delete rec;
    rec = nullptr;
  }
  capacity = count = elemSize = 0;
  SID = -1;
}

KB::KBD& KB::KBD::operator=(const KBD& o) {
  if (this == &o || (data && data == o.data)) return *this;
  // A copy holds its own references to the elements: they are made first.
  if (o.deferred) const_cast<KBD&>(o).Materialize();
  Clear();
  capacity = o.capacity;
  count = o.count;
  elemSize = o.elemSize;
  align = o.align;
  type = o.type;
  extra = o.extra;
  if (align > KT::aPtr) KTHROW(KT::eValue, "Alignment");
  if (align != KT::aNone && align != KT::aPtr && capacity > 0) {
    size_t bytes = StorageBytes(align, capacity);
    data = AllocData(bytes, false);
    std::memcpy(data, o.data, bytes);
    if (align == KT::aKB) {
      KB** e = static_cast<KB**>(data);
      for (int i = 0; i < count; ++i) e[i]->Reference(true);
    }
  }
  rec = o.rec ? o.rec->Clone() : nullptr;
  return *this;
}

void KB::KBD::Materialize() {
  if (!deferred) return;
  const int n = count;
  KB** slots = static_cast<KB**>(AllocData(StorageBytes(KT::aKB, n), true));
  try {
    deferred->Make(slots, n);
  } catch (...) {
    for (int i = 0; i < n; ++i) KB::DoneWith(slots[i]);
    FreeData(slots);
    throw;
  }
  delete deferred;
  deferred = nullptr;
  data = slots;
  capacity = n;
}

KB::TextBlock* KB::Pin(KBD* d) {
  if (!d || !d->data) return nullptr;
  if (!d->block) d->block = new TextBlock{1, d->data};
  ++d->block->pins;
  return d->block;
}

void KB::Unpin(TextBlock* b) {
  if (!b || --b->pins > 0) return;
  FreeData(b->data);
  delete b;
}

KB::KBD* KB::KBD::Clone() const {
  KBD* d = new KBD();
  *d = *this;
  return d;
}

void KB::KBD::Fix() { KTHROW(KT::eNotImpl, "Don't implement"); }

int KB::KBD::SerialSz() const {
  if (!data) return 18;
  int64_t bytes = align == KT::aBit ? LenBitsInChars(count) : static_cast<int64_t>(count) * elemSize;
  return ClampSize(18 + bytes);
}

std::string KB::KBD::SerialKBDOut() const {
  std::string s;
  PutI32(s, theMagicNumber);
  s += static_cast<char>(type);
  s += static_cast<char>(align);
  s += std::string(2, '\0');
  PutI32(s, elemSize);
  PutI32(s, count);
  PutI32(s, 0);
  return s;
}

void KB::KBD::SerialKBDIn(const char* p) {
  if (GetI32(p) != theMagicNumber) KTHROW(KT::eValue, "Need KB");
  Clear();
  type = static_cast<uint8_t>(p[4]);
  align = static_cast<uint8_t>(p[5]);
  elemSize = KT::TypeAlignToElemSz(align);
  count = 0;
}

// ------------------------------------------------------------ value base

KB::KB() : ID(++fLastID), descriptor(new KBD()) {}
KB::KB(KT::KTO t) : ID(++fLastID), descriptor(new KBD(t)) {}
KB::KB(void* data, KT::KTO t, KT::KAL a, int count, int capacity)
    : ID(++fLastID), descriptor(new KBD(data, t, a, count, capacity)) {}
KB::KB(KB* other) : ID(++fLastID), descriptor(nullptr) {
  if (other && other->descriptor) {
    descriptor = other->descriptor;
    ++descriptor->refs;
  } else {
    descriptor = new KBD();
  }
}

KB::~KB() {
  if (!descriptor) return;
  descriptor->refs -= holds > 0 ? holds : 1;
  if (descriptor->refs <= 0) delete descriptor;
  descriptor = nullptr;
}

std::string KB::AsSimpleString() { return "Not Implemented"; }
std::string KB::AsSimpleString(int) { return "Not Implemented"; }
std::string KB::AsSimpleString(int, int) { return "Not Implemented"; }

const std::string& KB::AsString(bool verbose) {
  text = verbose ? VerbosePrefix() : std::string();
  return text;
}

void KB::Clear() { descriptor->Clear(); }

KB* KB::Clone() { KTHROW(KT::eSystem, "KB::Clone:Don''t Implement"); }

void KB::DeReference(bool) {
  if (!descriptor) return;
  --descriptor->refs;
  if (holds > 0) --holds;
  if (descriptor->refs <= 0) {
    delete descriptor;
    descriptor = nullptr;
  }
}

std::string KB::Dump() { return std::string(); }

bool KB::EQ(KB* o) { return o && typen() == o->typen() && Count() == o->Count(); }

bool KB::EQV(KB* o) {
  if (alignmentn() == KT::aBit) KTHROW(KT::eNotSupp, "Type bit");
  if (!o || typen() != o->typen() || Count() != o->Count() || alignmentn() != o->alignmentn()) return false;
  size_t bytes = static_cast<size_t>(Count()) * static_cast<size_t>(descriptor->elemSize > 0 ? descriptor->elemSize : 0);
  if (bytes == 0) return true;
  descriptor->Materialize();
  o->descriptor->Materialize();
  return std::memcmp(descriptor->data, o->descriptor->data, bytes) == 0;
}

KB* KB::Expand(KB*) { KTHROW(KT::eNotSupp, "Type"); }
KB* KB::FieldGet(KB*) { KTHROW(KT::eSystem, "Null Object"); }

void KB::Fix() {
  if (descriptor->refs <= holds) return;
  KBD* fresh = new KBD();
  try {
    *fresh = *descriptor;
  } catch (...) {
    delete fresh;
    throw;
  }
  descriptor->refs -= holds;
  fresh->refs = holds;
  descriptor = fresh;
}

bool KB::GT(KB*, int, int, bool) { KTHROW(KT::eNotImpl, "Type"); }

KB& KB::operator=(KB& o) {
  ReferenceTo(&o);
  return *this;
}

KB* KB::Range(int, int) { KTHROW(KT::eNotSupp, "Type"); }

void KB::Reference(bool flag) {
  if (!flag) KTHROW(KT::eUnknown, "Who cares?");
  if (!descriptor) descriptor = new KBD();
  ++descriptor->refs;
  ++holds;
}

void KB::ReferenceTo(KB* o) {
  if (!o || o == this || o->descriptor == descriptor) return;
  int h = holds > 0 ? holds : 1;
  if (descriptor) {
    descriptor->refs -= h;
    if (descriptor->refs <= 0) delete descriptor;
  }
  if (!o->descriptor) o->descriptor = new KBD();
  descriptor = o->descriptor;
  descriptor->refs += h;
}

int KB::size() { return descriptor->size(); }

std::string KB::SO() { KTHROW(KT::eNotImpl, "Type"); }
int KB::SOSz() { KTHROW(KT::eNotImpl, "Marshaling for type"); }

std::string KB::VerbosePrefix() const {
  return Fmt("%s[R%dC%d%s%s]", typec(), descriptor->refs, descriptor->count, exact ? "=" : ":", alignmentc());
}

void KB::Breathe() {
  fWalkSteps = 0;
  if (gBreatheHook) gBreatheHook(gBreatheCtx);
}


void KB::SetBreatheHook(BreatheHook hook, void* ctx) {
  gBreatheHook = hook;
  gBreatheCtx = ctx;
}

namespace {
bool* gStopSw = nullptr;  // the running run's stop switch, or null
}  // namespace

KB::StopScope::StopScope(bool* sw) : saved_(gStopSw) { gStopSw = sw; }
KB::StopScope::~StopScope() { gStopSw = saved_; }

// Breathes without resetting the step count (Breathe would), so a walk that
// never ends still reaches its limit.
void KB::WalkPoll() {
  if (gBreatheHook) gBreatheHook(gBreatheCtx);
  if (gStopSw && KT::SwRead(gStopSw)) {
    *gStopSw = false;
    KTHROW(KT::eInterrupt, "Stopped");
  }
  if (fWalkSteps > kWalkLimit) {
    fWalkSteps = 0;
    KTHROW(KT::eSystem, "too large");
  }
}

void KB::PollStop() {
  Breathe();
  if (gStopSw && KT::SwRead(gStopSw)) {
    *gStopSw = false;
    KTHROW(KT::eInterrupt, "Stop");
  }
}

// ------------------------------------------------------------ utilities

int32_t KB::CRC(const void* data, int len) { return CRCLong(data, len); }

int32_t KB::CRCLong(const void* data, int64_t len) {
  unsigned char s[16] = {};
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (int64_t n = 0; n < len; ++n) {
    unsigned char u = s[0] ^ p[n];
    std::memmove(s, s + 1, 3);
    s[3] = s[4] ^ u;
    std::memmove(s + 4, s + 5, 6);
    s[10] = s[11] ^ u;
    std::memmove(s + 11, s + 12, 4);
    s[15] = u;
  }
  uint32_t r = 0;
  for (int k = 0; k < 4; ++k) {
    unsigned char b = s[4 * k] ^ s[4 * k + 1] ^ s[4 * k + 2] ^ s[4 * k + 3];
    r |= static_cast<uint32_t>(b) << (8 * k);
  }
  return static_cast<int32_t>(r);
}

namespace {

// Heap sort of idx[lo..hi] into the order KB::QS produces: in ascending mode
// x goes before y when less(x, y); in descending mode when less(y, x). It
// takes over a range that quicksort keeps splitting badly, so a sort never
// costs more than O(n log n) comparisons; it touches only idx[lo..hi], so a
// comparison that is not a consistent order cannot take it outside the range.
void HeapSortRange(void* ctx, int* idx, int lo, int hi, KB::QSLess less, bool descending) {
  auto before = [&](int a, int b) { return descending ? less(ctx, b, a, true) : less(ctx, a, b, false); };
  int* base = idx + lo;
  const int n = hi - lo + 1;
  auto sift = [&](int root, int end) {
    for (;;) {
      int child = 2 * root + 1;
      if (child >= end) return;
      if (child + 1 < end && before(base[child], base[child + 1])) ++child;
      if (!before(base[root], base[child])) return;
      std::swap(base[root], base[child]);
      root = child;
    }
  };
  for (int r = n / 2 - 1; r >= 0; --r) sift(r, n);
  for (int end = n - 1; end > 0; --end) {
    std::swap(base[0], base[end]);
    sift(0, end);
  }
}

void QSRange(void* ctx, int* idx, int lo, int hi, KB::QSLess less, bool descending, int budget) {
  auto before = [&](int a, int b) { return descending ? less(ctx, b, a, true) : less(ctx, a, b, false); };
  // Iterates on the larger part and recurses on the smaller, so the stack
  // stays logarithmic.
  while (lo < hi) {
    if (budget-- <= 0) {
      HeapSortRange(ctx, idx, lo, hi, less, descending);
      return;
    }
    // The median of the first, middle and last items becomes the pivot at
    // hi; ordered and reversed input then split evenly.
    const int mid = lo + (hi - lo) / 2;
    if (before(idx[mid], idx[lo])) std::swap(idx[mid], idx[lo]);
    if (before(idx[hi], idx[lo])) std::swap(idx[hi], idx[lo]);
    if (before(idx[mid], idx[hi])) std::swap(idx[mid], idx[hi]);
    int p = idx[hi];
    int i = lo - 1, j = hi;
    for (;;) {
      if (!descending) {
        while (less(ctx, idx[++i], p, false)) {}
        while (j > 0 && less(ctx, p, idx[--j], false)) {}
      } else {
        while (less(ctx, p, idx[++i], true)) {}
        while (j > 0 && less(ctx, idx[--j], p, true)) {}
      }
      if (j <= i) break;
      std::swap(idx[i], idx[j]);
    }
    std::swap(idx[i], idx[hi]);
    if (i - lo < hi - i) {
      QSRange(ctx, idx, lo, i - 1, less, descending, budget);
      lo = i + 1;
    } else {
      QSRange(ctx, idx, i + 1, hi, less, descending, budget);
      hi = i - 1;
    }
  }
}

}  // namespace

// The partition of the classic quicksort, with two safeguards that leave the
// result unchanged whenever the comparison is a total order (every caller
// breaks ties by position): the pivot is the median of three items, and a
// range still unsorted after 2 log2(n) partitions is heap-sorted.
void KB::QS(void* ctx, int* idx, int lo, int hi, QSLess less, bool descending) {
  int budget = 2;
  for (int n = hi - lo + 1; n > 1; n >>= 1) budget += 2;
  QSRange(ctx, idx, lo, hi, less, descending, budget);
}

bool KB::IsKB(const void* p) {
  if (!p) return false;
  // Reads the magic field by its byte offset, so that a pointer to memory
  // that is not a value is never used as one.
  static const size_t offset = [] {
    int32_t lastID = fLastID;  // the probe must not use up an ID
    KNV probe;
    fLastID = lastID;
    return static_cast<size_t>(reinterpret_cast<const char*>(&probe.magic) - reinterpret_cast<const char*>(&probe));
  }();
  int32_t m;
  std::memcpy(&m, static_cast<const char*>(p) + offset, sizeof m);
  return m == theMagicNumber;
}

int KB::CmpID(void* a, void* b) {
  if (!IsKB(a) || !IsKB(b)) KTHROW(KT::eValue, "Need KB");
  return static_cast<KB*>(a)->ID - static_cast<KB*>(b)->ID;
}

intptr_t KB::CmpDefaultPtr(void* a, void* b) {
  return reinterpret_cast<intptr_t>(a) - reinterpret_cast<intptr_t>(b);
}

intptr_t KB::CmpDefaultKBContents(void* a, void* b) { return CmpDefaultPtr(a, b); }

bool KB::SIChk(const char* buf, int len) {
  return buf && len >= 8 && GetI32(buf + 4) == len;
}

void KB::DoneWith(KB* v) {
  if (!v) return;
  if (v->holds <= 1) {
    delete v;
  } else {
    v->DeReference(true);
  }
}

void KB::ReleaseReachable(KB* root) noexcept {
  if (!root) return;
  // Hold every reachable value first, then empty them all, then let go:
  // no value is freed while the walk still needs it. The walk's lists need
  // memory; when there is none (after "Out of memory"), the holds taken so
  // far are given back and only the root is emptied, which needs no memory:
  // what it held alone is freed (sequences free their nesting without
  // recursion), and values that hold each other are left to ReleaseCycles,
  // which runs once that has freed memory, or at the next release.
  std::vector<KB*> held;
  bool walked = false;
  try {
    std::unordered_set<KB*> seen{root};
    held.push_back(root);
    root->Reference(true);
    std::vector<KB*> inner;
    for (size_t next = 0; next < held.size(); ++next) {
      KBD* d = held[next]->descriptor;
      if (!d) continue;
      inner.clear();
      if (d->align == KT::aKB && d->data) {
        KB** e = static_cast<KB**>(d->data);
        inner.assign(e, e + d->count);
      }
      if (d->rec) d->rec->Held(inner);
      for (KB* v : inner) {
        if (!v || seen.count(v)) continue;
        // Room first, so the push cannot fail once the hold is taken.
        if (held.size() == held.capacity()) held.reserve(2 * held.size() + 16);
        seen.insert(v);
        v->Reference(true);
        held.push_back(v);
      }
    }
    walked = true;
  } catch (...) {
    for (KB* v : held) DoneWith(v);
    held.clear();
  }
  if (walked) {
    for (KB* v : held)
      if (v->descriptor) v->descriptor->Clear();
    for (KB* v : held) DoneWith(v);
  } else {
    root->Reference(true);
    if (root->descriptor) root->descriptor->Clear();
    DoneWith(root);
  }
  std::vector<KB*>().swap(held);
  try {
    ReleaseCycles();
  } catch (...) {
    // no memory for the registry's tables: the cycles wait for the next release
  }
}

namespace {

// The values a descriptor owns a reference to, one entry per reference:
// its K elements and its record's members.
void OwnedBy(const KB::KBD* d, std::vector<KB*>& out) {
  out.clear();
  if (d->align == KT::aKB && d->data) {
    KB* const* e = static_cast<KB* const*>(d->data);
    out.assign(e, e + d->count);
  }
  if (d->rec) d->rec->Held(out);
}

}  // namespace

int KB::CycleMembers() {
  int n = 0;
  for (CycleLink* l = CycleLink::head_; l; l = l->next_) ++n;
  return n;
}

// Trial deletion over the registry. A registered value's outside holds are
// its holds minus the references registered descriptors own to it; a
// descriptor's outside holds are its count minus the holds of the registered
// values sharing it (a value of another class sharing it). Whatever has an
// outside hold is live, and so is everything a live value's descriptor owns.
// The rest is garbage held only from inside: its values are held for the
// sweep (none is freed while the sweep runs), their descriptors emptied, and
// the holds let go, which frees them all.
int KB::ReleaseCycles() {
  struct Desc {
    int32_t holds = 0;  // holds of the registered values sharing it
    bool live = false;
  };
  std::vector<KB*> members;
  for (CycleLink* l = CycleLink::head_; l; l = l->next_) members.push_back(l->owner_);
  if (members.empty()) return 0;
  std::unordered_map<KB*, int32_t> outside;  // registered value -> outside holds
  std::unordered_map<KBD*, Desc> descs;
  outside.reserve(members.size());
  std::vector<KB*> work;  // live values still to visit
  for (KB* v : members) {
    outside[v] = v->holds;
    if (!v->descriptor || v->holds <= 0) {
      outside[v] = 1;  // an odd count: keep it and what it reaches
      continue;
    }
    descs[v->descriptor].holds += v->holds;
  }
  std::vector<KB*> owned;
  for (auto& [d, info] : descs) {
    if (d->refs > info.holds) info.live = true;
    OwnedBy(d, owned);
    for (KB* e : owned) {
      auto it = e ? outside.find(e) : outside.end();
      if (it != outside.end()) --it->second;
    }
  }
  std::unordered_set<KB*> live;
  auto markLive = [&](KB* v) {
    if (live.insert(v).second) work.push_back(v);
  };
  auto visitDesc = [&](KBD* d) {
    OwnedBy(d, owned);
    for (KB* e : owned)
      if (e && outside.count(e)) markLive(e);
  };
  for (KB* v : members)
    if (outside[v] > 0) markLive(v);
  for (auto& [d, info] : descs)
    if (info.live) visitDesc(d);
  while (!work.empty()) {
    KB* v = work.back();
    work.pop_back();
    if (!v->descriptor) continue;
    auto it = descs.find(v->descriptor);
    if (it == descs.end() || it->second.live) continue;
    it->second.live = true;
    visitDesc(v->descriptor);
  }
  std::vector<KB*> garbage;
  for (KB* v : members)
    if (!live.count(v)) garbage.push_back(v);
  if (garbage.empty()) return 0;
  for (KB* v : garbage) v->Reference(true);
  for (KB* v : garbage)
    if (KBD* d = v->descriptor; d && !descs[d].live) d->Clear();
  for (KB* v : garbage) DoneWith(v);
  return static_cast<int>(garbage.size());
}

int KB::CollateCmp(const char* a, int la, const char* b, int lb, const int* w) {
  auto weight = [w](char c) { return w[static_cast<unsigned char>(c)]; };
  while (la > 0 && weight(a[la - 1]) == 0) --la;
  while (lb > 0 && weight(b[lb - 1]) == 0) --lb;
  int i = 0, j = 0;
  bool gapA = true, gapB = true;
  for (;;) {
    while (i < la && weight(a[i]) == 0) { ++i; gapA = true; }
    while (j < lb && weight(b[j]) == 0) { ++j; gapB = true; }
    if (i >= la || j >= lb) return (i < la) - (j < lb);
    if (gapA != gapB) return gapA ? 1 : -1;
    int d = weight(a[i]) - weight(b[j]);
    if (d) return d;
    gapA = gapB = false;
    ++i;
    ++j;
  }
}

std::string KB::TextOf(KB* v) {
  if (!v || (v->typen() != KT::tString && v->typen() != KT::tField) || v->alignmentn() != KT::aChar)
    return std::string();
  const char* p = static_cast<const char*>(v->descriptor->data);
  return p ? std::string(p, static_cast<size_t>(v->Count())) : std::string();
}

bool KB::FieldIs(KB* name, const char* field) {
  std::string n = TextOf(name);
  return CollateCmp(n.data(), static_cast<int>(n.size()), field, static_cast<int>(std::strlen(field)),
                    KT::CSTARQDefault) == 0 &&
         !n.empty();
}

KB* KB::StdField(KB* name) {
  if (FieldIs(name, ":string")) return KMakeString(AsString(false));
  if (FieldIs(name, ":stringv")) return KMakeString(AsString(true));
  if (FieldIs(name, ":typen")) return KMakeInt(typen());
  if (FieldIs(name, ":typec")) return KMakeString(typec());
  return nullptr;
}

KB* KB::StdFieldOr(KB* name, const char* listing) {
  if (KB* r = StdField(name)) return r;
  return KMakeString(listing);
}

void KB::PutI32(std::string& s, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int k = 0; k < 4; ++k) s += static_cast<char>((u >> (8 * k)) & 0xFF);
}

int32_t KB::GetI32(const char* p) {
  uint32_t u = 0;
  for (int k = 0; k < 4; ++k) u |= static_cast<uint32_t>(static_cast<unsigned char>(p[k])) << (8 * k);
  return static_cast<int32_t>(u);
}

int KB::ImageSize(int64_t total) {
  if (total < 0 || total > INT32_MAX) KTHROW(KT::eSystem, "Out of memory");
  return static_cast<int>(total);
}

std::string KB::ImageHeader(int type, int total) {
  std::string s;
  s += static_cast<char>(type);
  s += std::string(3, '\0');
  PutI32(s, total);
  return s;
}

std::string KB::VFmt(const char* fmt, va_list ap) {
  char buf[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string s(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(s.data(), s.size(), fmt, ap);
  s.resize(static_cast<size_t>(n));
  return s;
}

std::string KB::Fmt(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = VFmt(fmt, ap);
  va_end(ap);
  return s;
}

// ------------------------------------------------------------ KNil

KNil::KNil() : KB(KT::tNil) { descriptor->count = 1; }
KNil::KNil(int count) : KB(KT::tNil) { descriptor->count = count; }
KNil::KNil(KB* share) : KB(share) {}

std::string KNil::AsSimpleString() { KTHROW(KT::eNotImpl, "Nil"); }
std::string KNil::AsSimpleString(int) { KTHROW(KT::eNotImpl, "Nil"); }
std::string KNil::AsSimpleString(int, int) { KTHROW(KT::eNotImpl, "Nil"); }

const std::string& KNil::AsString(bool verbose) {
  text = verbose ? VerbosePrefix() : std::string();
  return text;
}

void KNil::Clear() { KTHROW(KT::eNotImpl, "Nil"); }
KB* KNil::Clone() { return new KNil(static_cast<KB*>(this)); }
void KNil::DeReference(bool flag) {
  if (flag) KB::DeReference(true);
}
std::string KNil::Dump() { KTHROW(KT::eNotImpl, "Nil"); }
bool KNil::EQ(KB* o) { return o && o->typen() == KT::tNil; }
bool KNil::EQV(KB*) { KTHROW(KT::eNotImpl, "Nil"); }
KB* KNil::FieldGet(KB*) { return new KNil(); }

bool KNil::GT(KB* o, int i, int j, bool descending) {
  if (o && typen() != o->typen()) return typen() > o->typen();
  return descending ? j < i : i < j;
}

void KNil::Reference(bool flag) {
  if (flag) KB::Reference(true);
}

void KNil::ReferenceTo(KB* o) {
  if (o != this) KB::ReferenceTo(o);
}

std::string KNil::SO() { return ImageHeader(KT::tNil, 8); }

KB* KNil::SI(const char* image) {
  if (GetI32(image + 4) != 8) KTHROW(KT::eValue, "Not SI");
  return new KNil(1);
}

// ------------------------------------------------------------ KNV

const std::string& KNV::AsString(bool verbose) {
  text = verbose ? std::string("NV:") : std::string();
  return text;
}

KB* KNV::FieldGet(KB* name) {
  if (FieldIs(name, ":obj")) {
    Reference(true);
    return this;
  }
  return StdFieldOr(name, ":, :obj, :string, :stringv, :typen, :typec");
}
