// Tests for KRS: the record-set rules scripts cannot reach directly (all or
// nothing field adds, records shared with their source, index forms and
// their errors, copies, appending by field name, refused operations).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "KArg.h"
#include "KBit.h"
#include "KNum.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {
KT::KET CodeOf(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (KError& e) {
    if (message) *message = e.message.substr(0, e.message.find(':'));
    return e.code;
  }
  return KT::eNULL;
}

KFList* Fields(std::initializer_list<const char*> names) {
  KFList* fl = new KFList();
  for (const char* n : names) fl->Append(new KField(n), true);
  return fl;
}

// A record of the given texts (a new sequence).
KSeq* Row(std::initializer_list<const char*> values) {
  KSeq* s = new KSeq();
  for (const char* v : values) s->Append(new KString(v), true);
  return s;
}

// Holds a new value for the length of a test.
struct Hold {
  KB* v;
  explicit Hold(KB* value) : v(value) {}
  ~Hold() { KB::DoneWith(v); }
  Hold(const Hold&) = delete;
};

// A set with fields a, b and the records ("1","x"), ("2","y").
struct Sample {
  KRS* rs = new KRS();
  Sample() {
    KFList* fl = Fields({"a", "b"});
    rs->FListAdd(fl);
    KB::DoneWith(fl);
    Hold r1(Row({"1", "x"}));
    Hold r2(Row({"2", "y"}));
    rs->AppendRec(r1.v);
    rs->AppendRec(r2.v);
  }
  ~Sample() { KB::DoneWith(rs); }
};

std::string Plain(KB* v) {
  std::string s = v->AsString(false);
  KB::DoneWith(v);
  return s;
}
}  // namespace

TEST(KRSFields, AddingIsAllOrNothingAndExtendsRecords) {
  Sample s;
  Hold dup(Fields({"c", "A"}));
  std::string msg;
  EXPECT_EQ(CodeOf([&] { s.rs->FListAdd(static_cast<KFList*>(dup.v)); }, &msg), KT::eValue);
  EXPECT_EQ(msg, "Dup field");
  EXPECT_EQ(s.rs->FieldCount(), 2);  // .c was not added either
  Hold twice(Fields({"c", "C"}));
  EXPECT_EQ(CodeOf([&] { s.rs->FListAdd(static_cast<KFList*>(twice.v)); }), KT::eValue);
  EXPECT_EQ(s.rs->FieldCount(), 2);
  Hold hc(new KField("c"));  // values a set holds live on the heap
  KField& c = *static_cast<KField*>(hc.v);
  s.rs->FieldAdd(&c);
  EXPECT_EQ(s.rs->FieldCount(), 3);
  for (int i = 0; i < s.rs->RecCount(); ++i) {
    KSeq* rec = s.rs->Record(i);
    EXPECT_EQ(rec->Count(), 3);
    EXPECT_EQ((*rec)[2]->typen(), KT::tNV);
    KB::DoneWith(rec);
  }
  EXPECT_EQ(s.rs->FieldIdx(&c), 3);
  EXPECT_TRUE(s.rs->FieldExists(&c));
}

TEST(KRSFields, PositionsAndNames) {
  Sample s;
  Hold fl(Fields({"b", "z"}));
  EXPECT_EQ(Plain(s.rs->FieldIdx(fl.v)), "2 0");
  Hold seq(new KSeq());
  static_cast<KSeq*>(seq.v)->Append(new KField("a"), true);
  EXPECT_EQ(Plain(s.rs->FieldIdx(seq.v)), "1");
  static_cast<KSeq*>(seq.v)->Append(new KString("b"), true);
  std::string msg;
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(s.rs->FieldIdx(seq.v)); }, &msg), KT::eValue);
  EXPECT_EQ(msg, "Not a field");
  KNum n(int32_t(1));
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(s.rs->FieldIdx(&n)); }), KT::eNotSupp);
  KNum pos("2 5 1", -1);
  EXPECT_EQ(Plain(s.rs->FieldNames(&pos)), ".b.a");
}

TEST(KRSRecords, AppendSharesPadsCutsAndRefuses) {
  KRS rs;
  Hold fl(Fields({"a", "b", "c"}));
  rs.FListAdd(static_cast<KFList*>(fl.v));
  Hold exact(Row({"1", "2", "3"}));
  rs.AppendRec(exact.v);
  EXPECT_EQ((*rs.RecsPtr())[0], exact.v);  // the sequence itself
  Hold shorter(Row({"1"}));
  rs.AppendRec(shorter.v);
  KSeq* padded = static_cast<KSeq*>((*rs.RecsPtr())[1]);
  EXPECT_EQ(padded->Count(), 3);
  EXPECT_EQ((*padded)[1]->typen(), KT::tNV);
  Hold longer(Row({"1", "2", "3", "4"}));
  rs.AppendRec(longer.v);
  EXPECT_EQ((*rs.RecsPtr())[2]->Count(), 3);
  rs.AppendRec();
  EXPECT_EQ(rs.RecCount(), 4);
  std::string msg;
  KRS other;
  EXPECT_EQ(CodeOf([&] { rs.AppendRec(&other); }, &msg), KT::eNotImpl);
  EXPECT_EQ(msg, "Append KRS");
  KNum n(int32_t(1));
  EXPECT_EQ(CodeOf([&] { rs.AppendRec(&n); }), KT::eNotSupp);
  // A record outside the set is blank.
  KSeq* blank = rs.Record(9);
  EXPECT_EQ(blank->Count(), 3);
  KB::DoneWith(blank);
}

TEST(KRSRecords, ASharedRecordIsCopiedBeforeACellChanges) {
  KRS rs;
  Hold fl(Fields({"a", "b"}));
  rs.FListAdd(static_cast<KFList*>(fl.v));
  Hold row(Row({"1", "x"}));
  rs.AppendRec(row.v);
  Hold z(new KString("z"));
  rs.Replace(z.v, 0, 1);
  EXPECT_EQ(Plain(new KSeq(static_cast<KSeq*>(row.v))), "1x");  // the source is untouched
  EXPECT_EQ(Plain(rs.IndexedBy(fl.v)), "1z");
  Hold c(new KField("c"));
  rs.FieldAdd(static_cast<KField*>(c.v));  // extending records copies the shared ones too
  EXPECT_EQ(row.v->Count(), 2);
}

TEST(KRSSelect, EveryIndexForm) {
  Sample s;
  KNum two(int32_t(2));
  EXPECT_EQ(Plain(s.rs->IndexedBy(&two)), "2y");
  KBit bits("01");
  EXPECT_EQ(Plain(s.rs->IndexedBy(&bits)), "2y");
  Hold nums(new KSeq());
  static_cast<KSeq*>(nums.v)->Append(new KNum(int32_t(2)), true);
  static_cast<KSeq*>(nums.v)->Append(new KNum("1", -1), true);
  EXPECT_EQ(Plain(s.rs->IndexedBy(nums.v)), "2y1x");
  Hold cols(new KSeq());
  static_cast<KSeq*>(cols.v)->Append(new KField("b"), true);
  EXPECT_EQ(Plain(s.rs->IndexedBy(cols.v)), "xy");
  Hold empty(new KSeq());
  EXPECT_EQ(Plain(s.rs->IndexedBy(empty.v)), "");
  Hold seqs(new KSeq());
  static_cast<KSeq*>(seqs.v)->Append(Row({"1"}), true);
  std::string msg;
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(s.rs->IndexedBy(seqs.v)); }, &msg), KT::eNotSupp);
  EXPECT_EQ(msg, "Seq type");
  KField a("a");
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(s.rs->IndexedBy(&a)); }, &msg), KT::eNotImpl);
  EXPECT_EQ(msg, "Field");
  KString str("a");
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(s.rs->IndexedBy(&str)); }, &msg), KT::eNotSupp);
  EXPECT_EQ(msg, "Type");
}

TEST(KRSSelect, ConformAndAssign) {
  Sample s;
  KString v("v");
  std::string msg;
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(s.rs->MakeConform(&v, nullptr)); }, &msg), KT::eValue);
  EXPECT_EQ(msg, "No index");
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(s.rs->MakeConform(&v, &v)); }, &msg), KT::eNotSupp);
  EXPECT_EQ(msg, "Index type");
  Hold three(new KSeq());
  for (const char* t : {"p", "q", "r"}) static_cast<KSeq*>(three.v)->Append(Row({t}), true);
  KField b("b");
  KFList fb(&b);
  EXPECT_EQ(CodeOf([&] { s.rs->IdxAssign(three.v, &fb); }, &msg), KT::eValue);
  EXPECT_EQ(msg, "Conformity");
  KSeq* rows = s.rs->MakeConform(&v, &fb);
  EXPECT_EQ(Plain(rows), "vv");
  KBit second("01");
  Hold rec(Row({"9"}));
  s.rs->IdxAssign(rec.v, &second);
  EXPECT_EQ(Plain(s.rs->IndexedBy(&second)), "9");  // padded with an empty value
  KSeq* r1 = s.rs->Record(1);
  EXPECT_EQ((*r1)[1]->typen(), KT::tNV);
  KB::DoneWith(r1);
}

TEST(KRSStructure, WithoutReplaceAndAppendByName) {
  Sample s;
  Hold drop(Row({"1", "x"}));
  KRS* rest = s.rs->Without(drop.v);
  EXPECT_EQ(rest->RecCount(), 1);
  EXPECT_EQ(Plain(rest->Record(0)), "2y");
  KB::DoneWith(rest);
  KRS* none = s.rs->Without(s.rs);
  EXPECT_EQ(none->RecCount(), 0);
  EXPECT_EQ(none->FieldCount(), 2);
  KB::DoneWith(none);

  Hold q(new KString("q"));
  KNum recs("1 2 7", -1);
  Hold fb(Fields({"b", "zz"}));
  s.rs->Replace(q.v, &recs, static_cast<KFList*>(fb.v));
  KField b("b");
  KFList fl(&b);
  EXPECT_EQ(Plain(s.rs->IndexedBy(&fl)), "qq");
  s.rs->Replace(q.v, 5, 0);  // outside: ignored

  // Another set's records travel by field name; missing fields stay empty.
  KRS other;
  Hold fo(Fields({"b", "c"}));
  other.FListAdd(static_cast<KFList*>(fo.v));
  Hold row(Row({"B", "C"}));
  other.AppendRec(row.v);
  s.rs->RecsAppend(&other, false);
  EXPECT_EQ(s.rs->RecCount(), 3);
  KSeq* last = s.rs->Record(2);
  EXPECT_EQ((*last)[0]->typen(), KT::tNV);
  EXPECT_EQ((*last)[1]->AsString(false), "B");
  KB::DoneWith(last);
  s.rs->RecsAppend(s.rs, false);  // its own records, once
  EXPECT_EQ(s.rs->RecCount(), 6);
}

TEST(KRSValue, CopiesAreDeepAndComparisons) {
  Sample s;
  KRS* t = new KRS();
  t->ReferenceTo(s.rs);  // shares the descriptor
  t->Fix();
  Hold z(new KString("z"));
  t->Replace(z.v, 0, 0);
  EXPECT_EQ(Plain(s.rs->Record(0)), "1x");
  EXPECT_EQ(Plain(t->Record(0)), "zx");
  EXPECT_FALSE(s.rs->EQ(t));
  KB::DoneWith(t);
  KB* c = s.rs->Clone();
  EXPECT_TRUE(s.rs->EQ(c));
  EXPECT_TRUE(s.rs->GT(c, 1, 2, false));  // equal counts: by position
  EXPECT_FALSE(s.rs->GT(c, 2, 1, false));
  static_cast<KRS*>(c)->AppendRec();
  EXPECT_TRUE(c->GT(s.rs, 1, 2, false));
  KNum n(int32_t(1));
  EXPECT_TRUE(s.rs->GT(&n, 1, 2, false));  // 24 sorts after 17
  KB::DoneWith(c);
}

TEST(KRSValue, RefusedOperations) {
  Sample s;
  std::string msg;
  EXPECT_EQ(CodeOf([&] { s.rs->Clear(); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { s.rs->Dump(); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { s.rs->AsSimpleString(); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { s.rs->Catenate(s.rs); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { s.rs->Find(nullptr, nullptr); }, &msg), KT::eNotImpl);
  EXPECT_EQ(msg, "Find");
  KB& base = *s.rs;
  EXPECT_EQ(CodeOf([&] { base = *s.rs; }, &msg), KT::eNotImpl);
  EXPECT_EQ(msg, "operator=(KB&)");
  // Record sets have no image.
  KA h(s.rs);
  EXPECT_EQ(CodeOf([&] { KA::SO(h); }), KT::eNotImpl);
  EXPECT_EQ(h.Type(), KT::tRS);
}

// The empty value of a record: no plain text, "NV:" verbose, ":obj" is the
// value itself and an unknown name gives its listing.
TEST(KNVValue, TextFormsAndFields) {
  KNV* nv = new KNV();
  Hold hold(nv);
  EXPECT_EQ(nv->AsString(false), "");
  EXPECT_EQ(nv->AsString(true), "NV:");
  Hold obj(nv->FieldGet(Hold(new KField(":obj")).v));
  EXPECT_EQ(obj.v, nv);
  Hold type(nv->FieldGet(Hold(new KField(":typen")).v));
  EXPECT_EQ(static_cast<KNum*>(type.v)->AsInt(), 18);
  Hold other(nv->FieldGet(Hold(new KField(":what")).v));
  EXPECT_EQ(KB::TextOf(other.v), ":, :obj, :string, :stringv, :typen, :typec");
}
