// KB: the base of every value. A value object points at a data descriptor
// (KB::KBD) that owns the elements and carries the reference count; several
// value objects may share one descriptor (copy on write through Fix).
//
// Ownership rules:
//  - A value is created with one holder (its creator). Every further holder
//    calls Reference(true); every holder lets go with KB::DoneWith(v).
//  - `holds` counts the holders of this object; the descriptor's count is the
//    sum of the holds of every object sharing it (what the verbose form prints).
//  - DoneWith deletes the object when it has one holder left, otherwise it
//    drops one holder. The descriptor dies with its last reference.
//  - Elements of alignment K are owned references to values: the descriptor
//    releases them when it is cleared and takes new references when copied.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Ktypes.h"

class KB {
 public:
  static constexpr int32_t theMagicNumber = 54321;
  static int32_t fLastID;  // starts at 10000; the first value gets 10001

  // Class-specific state a descriptor owns besides its element buffer
  // (stream positions, dimensions ...). Copied with the descriptor.
  struct KRec {
    virtual ~KRec() = default;
    virtual KRec* Clone() const = 0;
    // Appends the values this record holds a reference to.
    virtual void Held(std::vector<KB*>&) const {}
  };

  // A text buffer shared by a string's descriptor and the sequences of
  // pieces cut from it. Every sharer holds one pin; the last unpin frees the
  // buffer. A string writes only into a buffer it holds alone: its writers
  // take their own copy first (copy on write, KString::Own).
  struct TextBlock {
    int32_t pins = 1;
    void* data = nullptr;
  };
  // Pins the text buffer of d (making its block on first use); null when d
  // has no buffer.
  struct KBD;
  static TextBlock* Pin(KBD* d);
  static void Unpin(TextBlock* b);

  // Elements of a sequence not made yet. A descriptor with deferred elements
  // has alignment K, count elements, no slots (data null, capacity 0) and
  // holds no reference on any value; KBD::Materialize makes the slots.
  struct Deferred {
    virtual ~Deferred() = default;
    // Fills slots[0, n) with new values (one holder each), in order; on an
    // error the slots not filled stay null.
    virtual void Make(KB** slots, int n) = 0;
  };

  struct KBD {
    int32_t refs = 1;
    int32_t capacity = 0;
    int32_t count = 0;
    int32_t elemSize = 0;
    int32_t extra = 0;  // copied by assignment, not otherwise interpreted
    void* data = nullptr;
    KRec* rec = nullptr;
    uint8_t align = KT::aNone;
    uint8_t type = KT::tNV;
    int32_t SID = -1;
    TextBlock* block = nullptr;   // set when data is a pinned, shared text buffer
    Deferred* deferred = nullptr;  // set while the K elements are not made

    KBD() = default;
    explicit KBD(KT::KTO t) : type(t) {}
    KBD(void* d, KT::KTO t, KT::KAL a, int n, int cap);
    ~KBD();
    KBD(const KBD&) = delete;
    // Descriptors come from the small-object pool (see KB.cpp).
    static void* operator new(size_t bytes);
    static void operator delete(void* p, size_t bytes);

    // Frees the old data, adopts the new, resets SID.
    void Set(void* d, KT::KTO t, KT::KAL a, int n, int cap);
    // Frees the data (releasing K elements); capacity, count, size 0, SID -1.
    void Clear();
    // Makes the slots of deferred elements (nothing when there are none).
    // On failure the elements stay deferred.
    void Materialize();
    void Reference(bool) { ++refs; }
    void DeReference(bool) { --refs; }
    KBD& operator=(const KBD& o);  // deep copy by alignment
    KBD* Clone() const;
    void Fix();  // raises 6 "Don't implement"
    // count x element size, computed without overflow and clamped to the
    // largest Int (a byte count that large is reported through SizeBytes).
    int size() const { return ClampSize(static_cast<int64_t>(count) * elemSize); }

    int SerialSz() const;
    std::string SerialKBDOut() const;
    void SerialKBDIn(const char* p);
  };

  int32_t magic = theMagicNumber;
  int32_t ID;
  std::string text;
  uint8_t exact = 0;
  uint8_t mark = 0;
  uint8_t direction = 0;
  int32_t level = 0;
  KBD* descriptor;
  int32_t holds = 1;

  KB();
  explicit KB(KT::KTO t);
  KB(void* data, KT::KTO t, KT::KAL a, int count, int capacity);
  explicit KB(KB* other);  // shares the other's descriptor
  KB(const KB&) = delete;
  // Values of every class come from a small-object pool (see KB.cpp);
  // deletion through the virtual destructor passes the object's real size.
  static void* operator new(size_t bytes);
  static void operator delete(void* p, size_t bytes);

  // Virtual operations, in slot order.
  virtual ~KB();
  virtual std::string AsSimpleString();
  virtual std::string AsSimpleString(int);
  virtual std::string AsSimpleString(int, int);
  virtual const std::string& AsString(bool verbose);
  virtual void Clear();
  virtual KB* Clone();
  virtual void DeReference(bool flag);
  virtual std::string Dump();
  virtual bool EQ(KB* o);
  virtual bool EQV(KB* o);
  virtual KB* Expand(KB* o);
  virtual KB* FieldGet(KB* name);
  virtual void Fix();
  virtual bool GT(KB* o, int i, int j, bool descending);
  virtual KB& operator=(KB& o);
  virtual KB* Range(int from, int to);
  virtual void Reference(bool flag);
  virtual void ReferenceTo(KB* o);
  virtual void ReferenceTo(KB& o) { ReferenceTo(&o); }
  virtual int size();
  // Serialised image (frame: type, 3 zero bytes, total size, body).
  virtual std::string SO();
  virtual int SOSz();
  // The data size in bytes as the ":size" fields report it, exact beyond
  // the Int range. The base gives size().
  virtual int64_t SizeBytes() { return size(); }

  // Non-virtual accessors.
  int32_t NextID() { return ++fLastID; }
  int32_t SID() const { return descriptor->SID; }
  KT::KTO typen() const { return static_cast<KT::KTO>(descriptor->type); }
  const char* typec() const { return KT::TypeObjToName(descriptor->type); }
  KT::KAL alignmentn() const { return static_cast<KT::KAL>(descriptor->align); }
  const char* alignmentc() const { return KT::TypeAlignToName(descriptor->align); }
  int32_t Count() const { return descriptor->count; }
  static int LenBitsInChars(int bits) { return static_cast<int>((static_cast<int64_t>(bits) + 7) / 8); }
  // A byte count clamped to the largest Int (sizes a script sees come from
  // SizeBytes and MakeSize instead, which keep large counts exact).
  static int ClampSize(int64_t bytes) { return bytes > INT32_MAX ? INT32_MAX : static_cast<int>(bytes); }
  bool Shared() const { return descriptor->refs > holds; }

  // "%s[R%dC%d%s%s]": type name, refs, count, "=" or ":", alignment name.
  std::string VerbosePrefix() const;

  // Lets the host process pending events; installs/reads the host hook.
  static void Breathe();
  using BreatheHook = void (*)(void*);
  static void SetBreatheHook(BreatheHook hook, void* ctx);

  // Long walks over values call WalkStep once per value they visit. The steps
  // since the evaluator last breathed (once per token) are counted: every
  // 65536th step lets the host breathe and answers a stop request with
  // 14 "Stopped"; past kWalkLimit steps the walk ends with 10 "too large",
  // so no single operator call runs for minutes over a small value that
  // holds the same sub-value many times.
  static void WalkStep() {
    if ((++fWalkSteps & 0xFFFF) == 0) WalkPoll();
  }
  static void WalkPoll();
  static constexpr uint64_t kWalkLimit = uint64_t{1} << 26;
  static uint64_t fWalkSteps;
  // The stop switch of the run in progress, so that a long loop inside an
  // operator can answer a stop request. A run installs its switch for its
  // own length (StopScope restores the previous one); PollStop breathes and,
  // when the switch is set, clears it and raises 14 "Stop".
  class StopScope {
   public:
    explicit StopScope(bool* sw);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

   private:
    bool* saved_;
  };
  static void PollStop();

  // Counts nested walks over values (text forms, comparisons, images) across
  // all classes, so a cycle or a very deep structure ends with 10 "too deep"
  // instead of exhausting the stack.
  class NestGuard {
   public:
    NestGuard();  // also one WalkStep
    ~NestGuard() { --depth_; }
    NestGuard(const NestGuard&) = delete;
    NestGuard& operator=(const NestGuard&) = delete;

   private:
    static int depth_;
  };

  // Shared utilities.
  static double DIV(double a, double b) { return b == 0 ? 0 : a / b; }
  static int32_t CRC(const void* data, int len);
  static int32_t CRCLong(const void* data, int64_t len);  // beyond 2 GB
  using QSLess = bool (*)(void* ctx, int x, int y, bool descending);
  static void QS(void* ctx, int* idx, int lo, int hi, QSLess less, bool descending);
  static int CmpID(void* a, void* b);
  static intptr_t CmpDefaultPtr(void* a, void* b);
  static intptr_t CmpDefaultKBContents(void* a, void* b);
  static int CmpDefaultKBContents(int a, int b) { return a - b; }
  static bool SIChk(const char* buf, int len);
  static void DoneWith(KB* v);
  // Empties every value reachable from root (elements, record members) and
  // lets go of them, so that values holding each other in a cycle are freed
  // too; then frees every cycle nothing outside it holds (ReleaseCycles).
  // For hosts dropping or clearing their root namespace. Needs no memory:
  // without any, the root is emptied and the cycles wait (see KB.cpp).
  static void ReleaseReachable(KB* root) noexcept;

  // The registry of live values that can hold references to other values
  // (sequences and namespaces, associations, references, blocks): the only
  // values that can close a reference cycle. Such a class embeds one link as
  // a member; it joins the registry on construction and leaves it on
  // destruction. One thread, no lock, like the rest of the value base.
  class CycleLink {
   public:
    explicit CycleLink(KB* owner) : owner_(owner), next_(head_) {
      if (head_) head_->prev_ = this;
      head_ = this;
    }
    ~CycleLink() {
      if (prev_) {
        prev_->next_ = next_;
      } else {
        head_ = next_;
      }
      if (next_) next_->prev_ = prev_;
    }
    CycleLink(const CycleLink&) = delete;
    CycleLink& operator=(const CycleLink&) = delete;

   private:
    friend class KB;
    KB* owner_;
    CycleLink* prev_ = nullptr;
    CycleLink* next_;
    static inline CycleLink* head_ = nullptr;
  };
  // Frees the registered values that only the references of other registered
  // values keep alive: cycles no holder outside them can reach any more.
  // Every hold a value has is either one of the references the registered
  // values' descriptors own (elements, record members) or an outside hold;
  // a value with an outside hold, and everything it reaches, stays intact,
  // so this is safe to call whenever no statement is running. Returns the
  // number of values freed.
  static int ReleaseCycles();
  // The number of registered values alive.
  static int CycleMembers();
  static bool IsKB(const void* p);

  // Element storage of the data descriptors (large blocks use huge pages).
  static size_t StorageBytes(int align, int capacity);
  static void* AllocData(size_t bytes, bool zero);
  static void* ReallocData(void* p, size_t oldBytes, size_t newBytes, bool zeroTail);
  static void FreeData(void* p);

  // Collated comparison under a weight table (weight 0 is ignorable; a run
  // of ignorable characters is a word gap). The one place for this rule.
  static int CollateCmp(const char* a, int la, const char* b, int lb, const int* weights);

  // Field-query protocol helpers.
  // The text of a string or field value (empty for anything else).
  static std::string TextOf(KB* v);
  // True when `name` names `field` (collated comparison, case ignored).
  static bool FieldIs(KB* name, const char* field);
  // Answers ":string", ":stringv", ":typen", ":typec"; null otherwise.
  KB* StdField(KB* name);
  // StdField or else a new string holding the listing.
  KB* StdFieldOr(KB* name, const char* listing);

  // Image helpers (little-endian).
  static void PutI32(std::string& s, int32_t v);
  static int32_t GetI32(const char* p);
  static std::string ImageHeader(int type, int total);
  // An image size computed in 64 bits, checked against the 32-bit size
  // field of the frame (10 "Out of memory" beyond it).
  static int ImageSize(int64_t total);

  // printf into a std::string.
  static std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
  static std::string VFmt(const char* fmt, va_list ap);
};

// Value constructors implemented by the data classes, used where the base
// needs to build a result without depending on those classes' headers.
KB* KMakeString(const std::string& s);  // KString
KB* KMakeInt(int32_t v);                // KNum, alignment I
KB* KMakeFloat(double v);               // KNum, alignment F
KB* KMakeSize(int64_t bytes);           // an Int, or a Float beyond the Int range

// KNil: the missing value (type 15), no elements.
class KNil : public KB {
 public:
  KNil();
  explicit KNil(int count);
  explicit KNil(KB* share);
  std::string AsSimpleString() override;
  std::string AsSimpleString(int) override;
  std::string AsSimpleString(int, int) override;
  const std::string& AsString(bool verbose) override;
  void Clear() override;
  KB* Clone() override;
  void DeReference(bool flag) override;
  std::string Dump() override;
  bool EQ(KB* o) override;
  bool EQV(KB* o) override;
  KB* FieldGet(KB* name) override;
  bool GT(KB* o, int i, int j, bool descending) override;
  void Reference(bool flag) override;
  void ReferenceTo(KB* o) override;
  int size() override { return 0; }
  std::string SO() override;
  int SOSz() override { return 8; }
  static KB* SI(const char* image);
};

// Holds a value under construction and lets go of it if an error leaves the
// scope first; Release hands the one reference to the caller.
template <class T>
struct Building {
  T* v;
  explicit Building(T* value) : v(value) {}
  ~Building() { KB::DoneWith(v); }
  Building(const Building&) = delete;
  Building& operator=(const Building&) = delete;
  T* operator->() const { return v; }
  T* Release() {
    T* r = v;
    v = nullptr;
    return r;
  }
};

// KNV: the empty value (type 18).
class KNV : public KB {
 public:
  KNV() : KB() {}
  const std::string& AsString(bool verbose) override;
  KB* Clone() override { return new KNV(); }
  KB* FieldGet(KB* name) override;
};
