// KRS: field names (KField, type 9) and field lists (KFList, type 12), the
// building blocks of record sets.
#pragma once
#include <string>

#include "KSeq.h"
#include "KString.h"

class KNum;

// KField: a string used as a name (written ".name" in scripts). Same storage
// and stream state as KString; only the type code and the text form differ.
class KField : public KString {
 public:
  KField();
  explicit KField(const std::string& name);
  explicit KField(KB* o);  // copy of a string's or field's text
  // "." followed by the name (after the verbose prefix when verbose).
  const std::string& AsString(bool verbose) override;
  KB* Clone() override;
};

// KFList: a sequence whose elements are fields (one reference held on each,
// as for any sequence). Indexing, assignment, text forms, ":size" and the
// image (type byte 12) are the sequence's.
class KFList : public KSeq {
 public:
  KFList();
  explicit KFList(KB* fields);  // a field, or the fields of a field list
  // A field is appended; a field list contributes each of its fields (the
  // list itself is let go of when adopted). Anything else raises 15 "Type"
  // and leaves the caller's reference with the caller.
  void Append(KB* value, bool adopt) override;
  // For a field or a string: a one-element I array with the 1-based position
  // of the equal field (collated, case ignored), 0 when absent; for a field
  // list one such position per field. Anything else raises 15 "Type".
  KNum* IndexOf(KB* key);
  KB* Clone() override;
  static KB* SI(const char* image);
};
