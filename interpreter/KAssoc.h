// KAssoc: the association, one name bound to one value. Namespaces are
// ordered lists of associations; references designate them, so several
// holders (a namespace entry, any number of references) share one
// association object through its holds count.
#pragma once
#include <string>

#include "KB.h"

class KString;
class KRB;

// Layout: the descriptor has alignment P and count 1; its record (KAssoc::KRec)
// owns one reference on the key (a string value) and one on the value.
// Copying the descriptor (Fix) copies the record and takes new references on
// both, so a fixed association binds the same key and value objects.
class KAssoc : public KB {
 public:
  struct KRec : KB::KRec {
    KB* key = nullptr;  // a KString (or KField), one reference held
    KB* val = nullptr;  // any value, one reference held
    ~KRec() override;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override {
      out.push_back(key);
      out.push_back(val);
    }
  };

  KAssoc(KString* key, KB* val);  // both referenced
  KAssoc(KAssoc& o);              // shares o's descriptor
  explicit KAssoc(KAssoc* o);     // shares o's descriptor
  // The key and value of a dictionary entry (an external node of the
  // tree); a key that is not a string is named by its plain text form.
  KAssoc(const KRB& tree, uint32_t node);
  ~KAssoc() override = default;

  KString* KeyPtr() const;
  KB* KeyKB() const;            // the key as a value (no new reference)
  void KeySet(KString* key);    // reference the new key, let go of the old
  KB* Val();                    // the value with one more reference
  KB* ValPtr() const;           // the value (no new reference)
  void ValSet(KB* v);
  // Exchanges the values of two entries; every count stays as it is.
  void ValSwap(KAssoc* other);
  KB* Both();                   // new sequence [key, value]
  KB* Size();                   // new integer: count * element size + 28
  KB* Precis();                 // new sequence [key, "Type[A:n#bytes]refs ..."]

  const std::string& AsString(bool verbose) override;
  KB* Clone() override;
  void Fix() override;
  void ReferenceTo(KB* o) override;
  void ReferenceTo(KB& o) override { ReferenceTo(&o); }
  KB* FieldGet(KB* name) override;
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);

  // True when the key begins with "_" (the anonymous associations that
  // references to unnamed values own).
  bool IsAnon() const;

 private:
  KRec* rec() const { return static_cast<KRec*>(descriptor->rec); }
  KB::CycleLink cycleLink_{this};  // its value may hold it
};
