// KSeq: the heterogeneous, nestable list (type 26 "Seq"; 25 "SeqEa" marks a
// sequence whose elements an operator applies to one by one). Also the base
// of field lists, namespaces and the namespace chain.
//
// Storage contract:
//  - descriptor->data is an array of `KB*` slots (alignment K); count is the
//    number of used slots, capacity the number allocated. A new sequence has
//    no slots.
//  - Every used slot holds one reference on its element, owned by the
//    descriptor: Clear releases them, copying the descriptor (Fix, Clone)
//    references them again. A slot is never null (a null appended is stored
//    as a new empty value).
//  - Append/Replace/AppendEach with adopt == true take over the caller's
//    reference; with adopt == false they take a new one. Removing or
//    replacing an element lets go of it (KB::DoneWith).
//  - Growth (addSlots): n == 0 grows a full sequence by max(capacity / 5, 1)
//    slots; n > 0 makes room for count + n slots.
//  - The elements may be deferred (KB::Deferred, the pieces of a cut text):
//    the descriptor then has the count but no slots, and Slots() makes them
//    on first use. Code that reads descriptor->data of a sequence directly
//    must Materialize first (or treat a null data as holding no value).
//  - Recursive walks (text forms, Depth, images) stop with 10 "too deep"
//    below KT::DepthLimit levels of nesting.
#pragma once
#include <string>

#include "KB.h"

class KNum;

class KSeq : public KB {
 public:
  KSeq();                          // empty, type 26
  explicit KSeq(KSeq* other);      // copy of the element references
  KSeq(KB* value, bool adopt);     // one element
  explicit KSeq(KT::KTO type);     // empty, of a sequence-like type (25, 12, 16 ...)
  ~KSeq() override;

  // Counts every change that can change which association a name finds in
  // some namespace (an entry added, removed, replaced or renamed, a
  // namespace cleared or freed). Compiled code that resolved names to
  // their associations re-resolves them when it moved.
  static inline uint64_t fScopeEpoch = 0;
  void ScopeChanged() const {
    const KT::KTO t = descriptor ? static_cast<KT::KTO>(descriptor->type) : KT::tSeq;
    if (t == KT::tNS || t == KT::tCV) ++fScopeEpoch;
  }

  // ---- element access (0-based; no copies, no new references)
  // The slots; deferred elements (pieces of a cut text) are made first, so
  // every access to a slot sees a value.
  KB** Slots() const {
    if (descriptor->deferred) descriptor->Materialize();
    return static_cast<KB**>(descriptor->data);
  }
  // True while the elements are spans of a text not made into values yet
  // (the count is known; a text form or any slot access makes them).
  bool IsDeferred() const { return descriptor->deferred != nullptr; }
  int Capacity() const { return descriptor->capacity; }
  KB* First() const;                // null when empty
  KB* Last() const;                 // null when empty
  KB* operator[](int i) const;      // null outside 0..count-1
  KB* operator[](KB* index) const;  // position from a number's first element (0-based)
  // The element at 0-based i with one more reference for the caller; a new
  // empty value outside the sequence.
  KB* IndexedBy(int i);
  // A new sequence of the elements at the 1-based positions (floats
  // truncated); outside positions give empty values; an empty index a copy.
  KSeq* IndexedBy(KNum* index);
  // Stores value (referenced) at the 1-based positions of a numeric index or
  // the set bits of a bit vector; positions outside are ignored. A sequence
  // value with one element per position (two or more) is distributed, any
  // other value is stored whole at every position. 15 "Invalid index".
  virtual void IdxAssign(KB* value, KB* index);
  // Replaces slot i (ignored outside 0..count-1). When the old element is a
  // reference and the new one is not, the value goes into the reference.
  void Replace(int i, KB* value, bool adopt);
  void UnAppend(int n);            // removes the last n (0 means 1, at most all)
  KSeq& operator+=(KB* value);     // Append(value, false)

  // ---- structure
  void addSlots(int n);
  virtual void Append(KB* value, bool adopt);
  void AppendOwned(KB* value) { Append(value, true); }  // takes the caller's reference
  void AppendRef(KB* value) { Append(value, false); }   // adds a reference
  // Each element of a sequence argument (growing once), else the argument.
  void AppendEach(KB* seq, bool adopt);
  KSeq* Catenate(KSeq* other);
  KSeq* Take(int n, bool fromFront, bool padWithEdge);
  KSeq* Rotate(int n);
  KSeq* Reshape(int n);
  KSeq* Flip();
  KB* Range(int from, int to) override;  // 0-based inclusive, ends clamped
  KSeq* Unique();          // runs of equal adjacent elements collapsed
  KSeq* QueryUnique();     // elements whose run has length 1
  KSeq* QueryNotUnique();  // one element per run of length 2 or more

  // ---- queries
  bool IsSeq() const { return typen() == KT::tSeq || typen() == KT::tSeqEa; }
  static bool IsSeq(const KB* v);
  bool IsHomogeneous();
  int Depth(int level);             // levels of sequences nested inside
  static int Depth(KB* v);          // 0 for a value that is not a sequence
  KNum* CountEach(int& n);          // element count of every element
  KNum* Size();                     // one "I": the element count
  KNum* Sizes();                    // every element's SizeBytes() (Float if one is beyond Int)
  KNum* TypesN();                   // every element's type code
  KSeq* TypesC();                   // every element's type name
  KB* DefaultByIntValue(int, int);  // 6 "Not Implemented"
  virtual int Compare(KB* other);
  bool EQ(KB* other) override;
  bool GT(KB* other, int i, int j, bool descending) override;
  // Sort comparators for KB::QS; ctx is the KSeq, i and j slot positions.
  static bool GTQSExact(void* ctx, int i, int j, bool descending);
  static bool GTQSExactDefault(void* ctx, int i, int j, bool descending);
  static bool GTQSTARQ(void* ctx, int i, int j, bool descending);
  static bool GTQSTARQDefault(void* ctx, int i, int j, bool descending);

  // ---- text forms
  const std::string& AsString(bool verbose) override;
  std::string AsHierarchy(int depth, bool verbose);
  std::string AsDepthString(bool verbose, int depth);
  std::string Dump() override;
  KB* FieldGet(KB* name) override;

  // ---- lifecycle
  KB* Clone() override;   // a new sequence of the same type sharing the elements
  void Clear() override;  // releases every element
  int size() override;    // count x 4 (a reference counts 4 bytes), clamped
  int64_t SizeBytes() override;

  // ---- images: header, then the framed image of each element in order
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);
  // Appends the elements of a sequence image (used by derived classes).
  void SIBody(const char* image);

 protected:
  void releaseSlot(int i);
 private:
  KB::CycleLink cycleLink_{this};  // may hold values that hold it
};
