// KRS: field names (KField, type 9), field lists (KFList, type 12) and the
// record sets built of them (KRS, type 24).
#pragma once
#include <string>
#include <vector>

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

// KRS: the record set (type 24 "RS"), a small in-memory table.
//
// Layout: the descriptor has alignment P, count 1 and no element buffer; its
// record (KRS::KRec) holds one reference on the field list and one on the
// records sequence. Invariants: every record is a KSeq with exactly one
// element per field, in field order (an absent value is the empty value);
// no two fields are equal under the collated comparison. Copying the
// descriptor (Fix) copies the field list, the records sequence and every
// record, so a change through one holder is never seen through another.
// A record may be shared with the sequence it was appended from; it is
// copied before a cell of it changes.
class KRS : public KB {
 public:
  struct KRec : KB::KRec {
    KFList* fields = nullptr;
    KSeq* recs = nullptr;
    KRec();
    ~KRec() override;
    KRec* Clone() const override;
    void Held(std::vector<KB*>& out) const override;
  };

  KRS();  // no fields, no records

  // ---- fields
  void FieldAdd(KField* field);
  // All or nothing: a field already present or given twice raises
  // 15 "Dup field"; every record gets an empty value per added field.
  void FListAdd(KFList* fields);
  bool FieldExists(KField* field);
  int FieldIdx(KField* field);  // 1-based, 0 when absent
  // Positions (1-based, 0 absent) of a field, field list or sequence of
  // fields; 15 "Not a field" for a sequence holding anything else, 7 "Type"
  // for any other value.
  KNum* FieldIdx(KB* fields);
  KFList* FieldNames(KNum* positions);  // the fields at 1-based positions
  KFList* Fields();                     // a new copy of the field list
  KFList* FldsPtr() const { return Rec()->fields; }
  KSeq* RecsPtr() const { return Rec()->recs; }
  int FieldCount() const { return Rec()->fields->Count(); }
  int RecCount() const { return Rec()->recs->Count(); }

  // ---- records
  void AppendRec();  // a record of empty values
  // A sequence as long as the field list is appended itself; a shorter one
  // is padded with empty values, a longer one cut (both as new records).
  // 6 "Append KRS" for a record set, 7 "Type" for any other value.
  void AppendRec(KB* values);
  KSeq* Record(int i);  // 0-based, new reference; outside: a blank record
  // Each record of a record set (by field name), each sequence element of
  // a sequence of sequences, or one record from a plain sequence.
  void RecsAppend(KB* records, bool adopt);

  // ---- selection and assignment
  // Num or bits: a new sequence of the selected records (1-based; outside
  // positions give blank records). Field list or sequence of fields: a new
  // sequence with, per record, the sequence of its values at those fields.
  // A sequence of numbers selects records. 7 "Seq type" for a sequence of
  // sequences, 6 "Field" for a single field, 7 "Type" otherwise.
  KB* IndexedBy(KB* index);
  // Rows for the targets an index selects (records or, per record, the
  // selected fields): a sequence of sequences gives one row each (or one
  // row for all), another sequence one row for all, any other value fills
  // every cell; rows are padded with empty values or cut to the width.
  // 15 "No index", 7 "Index type", 15 "Conformity".
  KSeq* MakeConform(KB* value, KB* index);
  // Assigns through the same forms (7 "Index" for others); positions
  // outside the records are ignored.
  void IdxAssign(KB* value, KB* index);
  // A new record set without the records equal to the right's records.
  KRS* Without(KB* right);
  // Cell (record i, field j), 0-based; ignored outside.
  void Replace(KB* value, int i, int j);
  // The value in every cell of the records at 1-based positions and the
  // fields of the list (absent fields ignored).
  void Replace(KB* value, KNum* records, KFList* fields);

  // ---- KB operations
  const std::string& AsString(bool verbose) override;
  std::string AsSimpleString() override;
  std::string AsSimpleString(int) override;
  std::string AsSimpleString(int, int) override;
  void Clear() override;
  KB* Clone() override;
  std::string Dump() override;
  bool EQ(KB* o) override;
  KB* FieldGet(KB* name) override;
  bool GT(KB* o, int i, int j, bool descending) override;
  KB& operator=(KB& o) override;
  void Find(KField* field, KB* value);
  void Catenate(KB* other);

 private:
  KRec* Rec() const { return static_cast<KRec*>(descriptor->rec); }
  KSeq* OwnRecord(int i);  // record i, copied first when shared
  KSeq* BlankRecord();
  KSeq* Conformed(KB* row, int width);
};
