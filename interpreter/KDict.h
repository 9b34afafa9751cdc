// KDict: dictionaries (7), indexes (33), sets (34) and bags (35), one
// implementation over the red-black tree KRB, held in memory or bound to a
// file. The kinds differ only in the tree's two uniqueness switches (and a
// set numbers its keys, see KRB::SetAdd).
//
// Layout: the descriptor has alignment P and count 1; its record holds the
// tree through a shared pointer. Dictionaries are changed in place (KA::Fix
// never copies them): every holder sees one tree. Copying the record shares
// the tree; Clone makes an independent in-memory copy.
#pragma once
#include <memory>
#include <string>

#include "KB.h"
#include "KRB.h"

class KDict : public KB {
 public:
  struct KRec : KB::KRec {
    std::shared_ptr<KRB> tree;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override;
  };

  KDict();                                  // empty, in memory
  explicit KDict(const std::string& path);  // bound to the file (language path)
  ~KDict() override = default;

  static bool IsDictType(int type);
  // A new dictionary of the kind with the type code, in memory or bound
  // to the file named by path (when not null).
  static KDict* Make(KT::KTO type, const std::string* path);

  const std::string& AsString(bool verbose) override;
  KB* Clone() override;
  KB* FieldGet(KB* name) override;
  std::string Dump() override;  // raises 6 "Dump"

  // Added slots: the number of entries (a set: of its keys), a new
  // sequence of the keys in order, a new sequence of the associations.
  virtual int Size();
  virtual KB* Keys();
  virtual KB* Seq();

  // Lookup: a new sequence of the values stored under the keys the index
  // names (the empty value for an absent key).
  KB* IndexedBy(KB* index);
  // Stores the value(s) under the key(s) the index names.
  void IdxAssign(KB* value, KB* index);
  // Removes every entry whose key the index names (in place).
  void Without(KB* index);

  KRB& Tree() const;

 protected:
  KDict(KT::KTO type, const std::string* path);

 private:
  void Assign(KB* value, KB* index);  // IdxAssign's work, inside one batch
  bool IsSet() const { return typen() == KT::tSet; }
  void StorePair(KB* key, KB* value);
  KB* TreeListing();
  KB* DumpListing();
};

class KSet : public KDict {
 public:
  KSet() : KDict(KT::tSet, nullptr) {}
  explicit KSet(const std::string& path) : KDict(KT::tSet, &path) {}
};

class KIdx : public KDict {
 public:
  KIdx() : KDict(KT::tIdx, nullptr) {}
  explicit KIdx(const std::string& path) : KDict(KT::tIdx, &path) {}
};

class KBag : public KDict {
 public:
  KBag() : KDict(KT::tBag, nullptr) {}
  explicit KBag(const std::string& path) : KDict(KT::tBag, &path) {}
};
