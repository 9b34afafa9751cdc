// KNS: the namespace (type 16 "NS"), an ordered sequence of associations
// (KAssoc) that binds script names to values; KCV (type 6 "CV"), the
// container namespace the evaluator builds for dotted member chains; KSys
// (type 31 "Sys"), the system object that gives scripts a view of the scope
// chain.
//
// Contracts:
//  - A namespace is a KSeq whose elements are associations, one reference
//    held on each (the sequence's slot ownership). Associations may be shared
//    with references (KRef), so a removed association outlives its namespace
//    while a reference holds it.
//  - Names compare with the string comparison in its case-insensitive
//    (system) mode: "Abc" and "abc" are one name. A lookup by name marks the
//    found value as bound (its SID becomes its ID).
//  - A scope chain is a KSeq of namespaces, innermost last.
//  - size() spends one unit of the recursion budget per nested call, so a
//    namespace that contains itself raises 15 "Recursion Error" instead of
//    recursing without end; Size() and the text forms reset the budget.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "KSeq.h"

class KA;
class KAssoc;
class KString;

class KNS : public KSeq {
 public:
  static constexpr int32_t defaultRecursionProtect = 10;
  int32_t recursionBudget = defaultRecursionProtect;

  KNS();
  ~KNS() override;
  explicit KNS(KNS* other);  // the same associations (shared)
  explicit KNS(KSeq* other); // the associations among other's elements

  // ---- virtual operations added after the sequence's
  int Compare(KB* other) override;
  virtual KB* ValPtr(int i);
  virtual KB* ValPtr(const char* name);
  virtual KB* ValPtr(KString* name);
  virtual KB* ValPtr(KB* name);

  // ---- lookup (positions 0-based; null or -1 when absent)
  int IndexOf(KString* name);
  // IndexOf for a plain name text, for callers that keep their own caches:
  // `sure` is false (and the answer meaningless) when this namespace cannot
  // be searched that way (large, or holding keys with their own comparison).
  int IndexOfPlain(const char* text, int len, bool& sure);
  int IndexOf(KB* name);  // strings (and fields) only
  KAssoc* AssocPtr(int i);
  KAssoc* AssocPtr(const char* name);
  KAssoc* AssocPtrByName(KString* name);
  KAssoc* AssocPtr(KB* name);
  KAssoc* AssocPtrBySID(int sid);
  KAssoc* AssocPtrByVal(KB* v);  // value sharing v's descriptor
  KAssoc* GetByID(int id);       // value whose ID is id
  KString* KeyPtr(int i);
  KAssoc* operator[](int i);
  KSeq* ValPtrs();               // new sequence of all values

  // ---- scope-chain lookup: innermost first, only the innermost when
  // innermostOnly. The value found is a private copy carrying the stored
  // value's SID; nothing found gives a new KNil. Caller owns the result.
  static KB* ValPtr(KSeq* chain, KString* name, bool innermostOnly);
  static KB* ValPtr(KSeq* chain, const char* name, bool innermostOnly);

  // ---- storing. Put returns the association (null when the name is not
  // accepted for the kind, in which case nothing is stored).
  KAssoc* Put(KString* name, KB* v, KT::KNT kind);
  KAssoc* Put(const char* name, KB* v, KT::KNT kind);
  KAssoc* Put(KB* name, KB* v, KT::KNT kind);  // 15 "Need string"
  KAssoc* Put(KAssoc* a);                      // by the association's key
  KAssoc* Append(KString* name, KB* v);        // no lookup
  KAssoc* Append(KAssoc* a);                   // no lookup, referenced
  // Chain forms: the innermost namespace or its parent when either has the
  // name (innermost first), else the innermost.
  static KAssoc* Put(KSeq* chain, KString* name, KB* v, KT::KNT kind);
  static KAssoc* Put(KSeq* chain, const char* name, KB* v, KT::KNT kind);
  using KSeq::Append;

  bool Replace(KString* name, KB* v);
  bool Replace(const char* name, KB* v);
  bool Replace(KAssoc* a);        // by key; false when absent
  bool Replace(int i, KAssoc* a); // false outside 0..count-1
  bool Replace(KNS* other);       // this becomes a copy of other's entries
  using KSeq::Replace;

  // Remove moves the last association into the gap.
  bool Remove(int i);
  bool Remove(const char* name);
  bool Remove(KB* name);          // 15 "Need string"

  // ---- whole-namespace operations (new values owned by the caller)
  KSeq* Names();
  KB* Fields();                   // field list, one field per key
  KB* Symbols();                  // 10 "Symbols"
  KSeq* Disclose();               // the values
  void Copy(KNS* other);          // Put of each of other's entries
  void Clear() override;
  KB* Clone() override;           // own associations, same keys and values
  virtual KB* Without(KB* names);
  void IdxAssign(KB* v, KB* index) override;
  virtual KB* IndexedBy(KB* index);
  int size() override;  // clamped; SizeBytes is exact
  int64_t SizeBytes() override;
  KB* Size();
  KB* Sizes();

  const std::string& AsString(bool verbose) override;
  std::string Dump() override;
  KB* FieldGet(KB* name) override;
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);

  // Checks a name against a kind (1 symbol, 2 any non-empty).
  static bool NameOK(const std::string& name, KT::KNT kind);
  static bool NameOK(const char* name, size_t len, KT::KNT kind);
  // The "@..." part of a text-form entry (empty unless v is a reference).
  static std::string RefPart(KB* v);

 protected:
  explicit KNS(KT::KTO type);

 private:
  // Name index of a large namespace: the collation key of each name (what
  // makes two names equal) -> its position. Put, Append and Remove keep it in
  // step; it is rebuilt whenever the element list changed underneath it
  // (count or buffer differ from when it was last brought up to date), and a
  // hit is always checked against the stored key.
  struct NameIndex;
  std::unique_ptr<NameIndex> index_;
  int IndexedFind(KString* name);
  void IndexNoteAppend();
  void IndexNoteRemove(int i, int last);
  KAssoc* PutAt(int i, KString* name, KB* v, KT::KNT kind);
 public:
  // The key under which two names compare equal (exact flag off).
  static std::string NameKey(const char* text, int len);
  std::string EntriesText(bool verbose, const char* plainHead);
  // A fresh namespace of this class (KNS or KCV).
  virtual KNS* MakeEmpty() const;
  KB* WithoutImpl(KB* names);
};

// KCV: a namespace used as a container (a.b.c); its values may themselves be
// containers, and Names(true) descends into them.
class KCV : public KNS {
 public:
  KCV();
  explicit KCV(KCV* other);
  explicit KCV(KNS* other);

  KSeq* Names(bool deep);
  KB* Without(KB* names) override;
  const std::string& AsString(bool verbose) override;
  KB* Clone() override;
  KB* FieldGet(KB* name) override;
  std::string SO() override;
  static KB* SI(const char* image);

 protected:
  KNS* MakeEmpty() const override;
};

// KSys: the system object over a scope chain (one reference held on the
// chain it was built over).
class KSys : public KB {
 public:
  explicit KSys(KA& chain);
  explicit KSys(KB* chain);
  ~KSys() override;

  KB* Chain() const { return chain_; }
  KSeq* CloseFiles();  // associations whose value is an open file
  KSeq* NSDump();      // per namespace, innermost first: ["Scope(d)", precis...]
  KB* Clone() override;
  KB* FieldGet(KB* name) override;

 private:
  KB* chain_ = nullptr;
};
