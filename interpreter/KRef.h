// KRef: a reference, the value through which a variable is passed and
// assigned by name. It designates an association (KAssoc) that it shares
// with the namespace holding it, so the reference stays valid after the
// namespace is gone. A reference to an unnamed value owns an anonymous
// association "__<id>".
#pragma once
#include <string>

#include "KB.h"

class KAssoc;
class KString;

// Layout: the descriptor has alignment P and count 1; its record holds one
// reference on the designated association.
class KRef : public KB {
 public:
  struct KRec : KB::KRec {
    KAssoc* assoc = nullptr;  // one reference held
    ~KRec() override;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override;
  };

  explicit KRef(KB* v);            // anonymous association "__<id>" holding v
  KRef(KString* name, KB* v);      // new association of that name
  explicit KRef(KAssoc* a);        // designates an existing association
  explicit KRef(KRef* o);          // designates o's association
  ~KRef() override = default;

  // The designated association; with follow, while its value is itself a
  // reference, move to the association that one designates (at most
  // KT::DepthLimit steps).
  KAssoc* AssocPtr(bool follow) const;
  void AssocSet(KRef* o);
  KString* KeyPtr(bool follow) const;
  void KeySet(KString* key);
  KB* Val(bool follow);            // the value with one more reference
  KB* ValPtr(bool follow) const;
  void ValSet(KB* v);
  void Put(KB* v);                 // raises 15

  const std::string& AsString(bool verbose) override;
  KB* Clone() override;
  KB* FieldGet(KB* name) override;
  int size() override { return 4; }
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);

 private:
  void Init(KAssoc* a);  // adopt a (its reference passes to the record)
  KRec* rec() const { return static_cast<KRec*>(descriptor->rec); }
  KB::CycleLink cycleLink_{this};  // its association's value may hold it
};
