// Numeric arrays: number-field parsing, text forms and Format, alignment
// conversion, indexing, structural methods, comparison and search, images,
// and the reductions, scans and moving windows with their nil rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "KBit.h"
#include "KNum.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

// Owns one reference to a value for the length of a test.
struct Hold {
  KB* v;
  explicit Hold(KB* p) : v(p) {}
  ~Hold() { KB::DoneWith(v); }
  Hold(const Hold&) = delete;
  KNum* n() const { return static_cast<KNum*>(v); }
  KNum* operator->() const { return n(); }
};

KNum* N(const char* text) { return new KNum(text, -1); }

// Plain text form, releasing the value.
std::string T(KB* v) {
  std::string s = v->AsString(false);
  KB::DoneWith(v);
  return s;
}
std::string T(const char* literal) { return T(N(literal)); }

// A bit vector as "0"/"1" characters, releasing it.
std::string Bits(KB* v) {
  EXPECT_EQ(v->typen(), KT::tBit);
  auto* b = static_cast<KBit*>(v);
  std::string s;
  for (int i = 0; i < b->Count(); ++i) s += b->BitGet(i) ? '1' : '0';
  KB::DoneWith(v);
  return s;
}

KBit* B(const char* bits) { return new KBit(bits); }

// The first element of a new array as a double, releasing it.
double F1(KNum* r) {
  double v = r->AsFloat();
  KB::DoneWith(r);
  return v;
}

// One field read by nextNumField.
struct Field {
  int len;
  int ival;
  double dval;
  KT::KAL align;
};
Field Read(const char* text) {
  Field f{};
  f.len = static_cast<int>(std::strlen(text));
  KNum::nextNumField(f.len, text, f.ival, f.dval, f.align);
  return f;
}

template <class F> void ExpectError(F f, KT::KET code, const char* msgStart) {
  try {
    f();
    ADD_FAILURE() << "no error raised";
  } catch (KError& e) {
    EXPECT_EQ(e.code, code);
    EXPECT_EQ(e.message.rfind(msgStart, 0), 0u) << e.message;
  }
}

}  // namespace

// ---------------------------------------------------------------- parsing

TEST(KNumParse, SingleFields) {
  Field f = Read("12");
  EXPECT_EQ(f.align, KT::aInt);
  EXPECT_EQ(f.ival, 12);
  EXPECT_EQ(f.len, 2);
  EXPECT_EQ(Read("_12").ival, -12);
  EXPECT_EQ(Read("-12").ival, -12);
  EXPECT_EQ(Read("1.5").align, KT::aFloat);
  EXPECT_DOUBLE_EQ(Read("1.5").dval, 1.5);
  EXPECT_EQ(Read("1.5").ival, 0);
  EXPECT_DOUBLE_EQ(Read("15e_1").dval, 1.5);
  EXPECT_EQ(Read("1e5").align, KT::aFloat);
  EXPECT_DOUBLE_EQ(Read("1e5").dval, 100000.0);
  EXPECT_DOUBLE_EQ(Read("_1.5e+2").dval, -150.0);
  EXPECT_DOUBLE_EQ(Read("1e_3").dval, 0.001);
  EXPECT_EQ(Read("1,000").ival, 1000);
}

TEST(KNumParse, InvalidFieldsAreNil) {
  for (const char* bad : {"1e-3", "x", "1a2", ",5", "1..2", "1e", "e5", "1e5e2", "__1", "1.5.", "+1", "1e2.5"}) {
    Field f = Read(bad);
    EXPECT_EQ(f.align, KT::aNone) << bad;
    EXPECT_EQ(f.ival, KT::iNil) << bad;
    EXPECT_EQ(f.len, static_cast<int>(std::strlen(bad))) << bad;
  }
  // an invalid field consumes up to the next blank or ";" only
  EXPECT_EQ(Read("1a2 5").len, 4);
  EXPECT_EQ(Read("1a2;5").len, 4);
}

TEST(KNumParse, LimitsAndExponentCap) {
  Field f = Read("2147483647");
  EXPECT_EQ(f.align, KT::aInt);
  EXPECT_EQ(f.ival, KT::iNil);  // reads as the integer nil
  f = Read("2147483648");
  EXPECT_EQ(f.align, KT::aFloat);
  EXPECT_DOUBLE_EQ(f.dval, 2147483648.0);
  EXPECT_DOUBLE_EQ(Read("_2147483648").dval, -2147483648.0);
  EXPECT_DOUBLE_EQ(Read("1e300").dval, 1e300);
  EXPECT_DOUBLE_EQ(Read("5e300").dval, 1e300);  // digit balance + exponent reaches 301
  EXPECT_DOUBLE_EQ(Read("1e999").dval, 1e300);  // exponent capped at 300
  EXPECT_DOUBLE_EQ(Read("_1e999").dval, -1e300);
  EXPECT_DOUBLE_EQ(Read("1e_999").dval, 1e-300);
  EXPECT_DOUBLE_EQ(Read("0.001e_299").dval, 1e-300);
  EXPECT_DOUBLE_EQ(Read("12e299").dval, 1e300);
  EXPECT_DOUBLE_EQ(Read("0e999").dval, 0.0);  // zero stays zero under the cap
  std::string longInt(400, '9');
  EXPECT_DOUBLE_EQ(Read(longInt.c_str()).dval, 1e300);
  std::string longFrac = "0." + std::string(400, '0') + "1";
  f = Read(longFrac.c_str());
  EXPECT_EQ(f.align, KT::aFloat);
  EXPECT_TRUE(std::isfinite(f.dval));
}

TEST(KNumParse, TextConstructor) {
  EXPECT_EQ(T("1 2 3"), "1 2 3");
  Hold mixed(N("1 2.5"));
  EXPECT_EQ(mixed->alignmentn(), KT::aFloat);
  EXPECT_EQ(mixed.v->AsString(false), "1 2.5");
  Hold withBad(N("1 x 3"));
  EXPECT_EQ(withBad->alignmentn(), KT::aInt);
  EXPECT_EQ(withBad.v->AsString(false), "1 Nil 3");
  EXPECT_EQ(T("1;;3"), "1 Nil 3");
  EXPECT_EQ(T("1a2 5"), "Nil 5");
  EXPECT_EQ(T("1 ;3"), "1 3");
  EXPECT_EQ(T("5 x "), "5 Nil");
  EXPECT_EQ(T("  1  2  "), "1 2");
  Hold empty(N(""));
  EXPECT_EQ(empty->Count(), 0);
  EXPECT_EQ(empty->alignmentn(), KT::aInt);
  for (const char* one : {"   ", "x"}) {
    Hold h(N(one));
    EXPECT_EQ(h->Count(), 1) << one;
    EXPECT_EQ(h->alignmentn(), KT::aInt);
    EXPECT_EQ(h->IntPtr()[0], KT::iNil);
  }
  // an integer field in a float array keeps its value; invalid fields are nil
  Hold f(N("2147483647 1.5 q"));
  EXPECT_DOUBLE_EQ(f->FltPtr()[0], 2147483647.0);
  EXPECT_EQ(f->FltPtr()[2], KT::fNil);
  // the length argument bounds the text
  Hold part(new KNum("12 34", 2));
  EXPECT_EQ(part.v->AsString(false), "12");
}

TEST(KNumParse, PrintedTextReadsBack) {
  const char* texts[] = {"_3 1.5 1e_05", "1 Nil 3", "_2147483647 0 5"};
  for (const char* t : texts) {
    std::string once = T(t);
    EXPECT_EQ(T(once.c_str()), once) << t;
  }
}

// ---------------------------------------------------------------- text forms

TEST(KNumText, PlainAndVerbose) {
  EXPECT_EQ(T("_1 2.5"), "_1 2.5");
  EXPECT_EQ(T(new KNum(1e-05)), "1e_05");
  Hold three(N("1 2 3"));
  EXPECT_EQ(three.v->AsString(true), "Num[R1C3:I]1 2 3");
  Hold empty(new KNum());
  EXPECT_EQ(empty.v->AsString(false), "");
  EXPECT_EQ(empty.v->AsString(true), "KNum[0]NULL");
  EXPECT_EQ(three->AsString(2, 0, false), "3 2 1");
  EXPECT_EQ(three->AsString(-5, 1, false), "1 2");
  EXPECT_EQ(three->Dump(), "1 2 3");
}

TEST(KNumText, LineBreaksAndCut) {
  std::string lit;
  for (int i = 0; i < 500; ++i) lit += "12345 ";
  Hold big(N(lit.c_str()));
  const std::string& s = big.v->AsString(false);
  ASSERT_GT(s.size(), 1000u);
  EXPECT_EQ(s.substr(s.size() - 3), "...");
  EXPECT_LT(s.size(), 1100u);
  // the element that takes the count past 80 starts a new line whose count
  // starts at 0, so later lines hold that element and 80 more characters
  size_t start = 0;
  int lines = 0;
  for (size_t p; (p = s.find("\r\n", start)) != std::string::npos; start = p + 2, ++lines)
    EXPECT_LE(p - start, 86u);
  EXPECT_GT(lines, 10);
  // 13 six-character elements fill the first line (78), the 14th starts the
  // next, which then takes 14 elements (84)
  EXPECT_EQ(s.find("\r\n"), 6u * 13);
  EXPECT_EQ(s.find("\r\n", 6u * 13 + 2), 6u * 13 + 2 + 6u * 14);
}

TEST(KNumText, SimpleStringsAndHex) {
  Hold a(N("1 Nil _3"));
  EXPECT_EQ(a.v->AsSimpleString(), "1 2147483647 -3");
  EXPECT_EQ(a.v->AsSimpleString(2), "-3");
  EXPECT_EQ(a.v->AsSimpleString(7), "0");
  EXPECT_EQ(a.v->AsSimpleString(1, 5), "2147483647 -3 0 0");
  EXPECT_EQ(a->AsHex(), "L[3]:00000001 7FFFFFFF FFFFFFFD ");
  Hold f(new KNum(1.0));
  EXPECT_EQ(f->AsHex(), "L[1]:3FF0000000000000 ");
  Hold six(N("1 2 3 4 5 6"));
  EXPECT_NE(six->AsHex().find("00000005 \r\n00000006"), std::string::npos);
}

TEST(KNumText, FmtElem) {
  EXPECT_EQ(KNum::FmtElem(3.14159, 8.2, false), "    3.14");
  EXPECT_EQ(KNum::FmtElem(3.14159, -8.2, false), "3.14    ");
  EXPECT_EQ(KNum::FmtElem(123456, 4, true), "*456");
  EXPECT_EQ(KNum::FmtElem(123456, -4, true), "123*");
  EXPECT_EQ(KNum::FmtElem(KT::fNil, 5, true), "  Nil");
  EXPECT_EQ(KNum::FmtElem(KT::fNil, -5, true), "Nil  ");
  EXPECT_EQ(KNum::FmtElem(KT::fNil, 2, true), "N*");
  EXPECT_EQ(KNum::FmtElem(3e9, 1, true), "N");
  EXPECT_EQ(KNum::FmtElem(-2.5, 0, false), "  -3");          // automatic width: N + D + 2 + 1
  EXPECT_EQ(KNum::FmtElem(0.5, 10.3, false), "     0.500");
  EXPECT_EQ(KNum::FmtElem(9.999, 6.2, false), " 10.00");      // rounding carries into the integer
  EXPECT_EQ(KNum::FmtElem(std::nan(""), 5, true), "  Nil");
  EXPECT_EQ(KNum::FmtElem(1, KT::fNil, false), "  1");    // a nil spec means automatic
}

TEST(KNumText, FormatRepeatsLastSpec) {
  Hold data(N("1.5 22 _3"));
  Hold spec(N("5.1 4"));
  EXPECT_EQ(T(data->Format(spec.v)), "  1.5  22  -3");  // the last spec repeats; no "_" here
}

// ---------------------------------------------------------------- alignment

TEST(KNumAlign, CoerceInPlace) {
  Hold a(N("1 Nil _7"));
  a->CoerceTo(KT::aFloat);
  EXPECT_EQ(a->alignmentn(), KT::aFloat);
  EXPECT_EQ(a->FltPtr()[1], KT::fNil);
  EXPECT_EQ(a.v->AsString(false), "1 Nil _7");
  Hold b(N("3e9 _3e9 2.9 _2.9 Nil"));
  b->CoerceTo(KT::aInt);
  EXPECT_EQ(b.v->AsString(false), "Nil _2147483647 2 _2 Nil");
  EXPECT_EQ(b.v->descriptor->elemSize, 4);
  ExpectError([&] { a->CoerceTo(KT::aChar); }, KT::eValue, "Alignment");
}

TEST(KNumAlign, ConformAlignConvertsTheIntegerSide) {
  Hold i(N("1 2")), f(new KNum(0.5));
  KNum::ConformAlign(i.v, f.v);
  EXPECT_EQ(i->alignmentn(), KT::aFloat);
  Hold s(KMakeString("x"));
  ExpectError([&] { KNum::ConformAlign(s.v, f.v); }, KT::eValue, "L Type");
  ExpectError([&] { KNum::ConformAlign(f.v, s.v); }, KT::eValue, "R Type");
}

TEST(KNumAlign, ConvertPacksLittleEndian) {
  Hold a(N("1 258 _1"));
  auto packed = [&](KB* code) {
    Hold c(code);
    KB* r = a->Convert(c.v);
    std::string s = KB::TextOf(r);
    KB::DoneWith(r);
    return s;
  };
  EXPECT_EQ(packed(new KNum(1)), std::string("\x01\x02\xFF", 3));
  EXPECT_EQ(packed(new KNum(-2)), std::string("\x01\x00\x02\x01\xFF\xFF", 6));
  EXPECT_EQ(packed(new KNum(4)).size(), 12u);
  std::string f32 = packed(new KNum(4.0));
  float first;
  std::memcpy(&first, f32.data(), 4);
  EXPECT_EQ(first, 1.0f);
  std::string d = packed(new KNum(8));
  double second;
  std::memcpy(&second, d.data() + 8, 8);
  EXPECT_EQ(second, 258.0);
  Hold code3(new KNum(3));
  EXPECT_EQ(a->Convert(code3.v), nullptr);
  Hold one(new KNum(1)), zero(new KNum(0));
  EXPECT_EQ(Bits(one->Convert(zero.v)), "00000001000000000000000000000000");
  Hold huge(N("1e300 _1e300"));
  Hold h(huge->Convert(one.v));
  EXPECT_EQ(KB::TextOf(h.v), std::string("\xFF\x00", 2));  // clamped, no undefined conversion
}

// ---------------------------------------------------------------- indexing

TEST(KNumIndex, ByPositionsBitsAndText) {
  Hold a(N("10 20 30"));
  EXPECT_EQ(T(a->IndexedBy(Hold(N("0 2 4")).v)), "Nil 20 Nil");
  EXPECT_EQ(T(a->IndexedBy(Hold(N("3.9 _1 2147483647")).v)), "30 Nil Nil");
  EXPECT_EQ(T(a->IndexedBy(Hold(B("101")).v)), "10 30");
  EXPECT_EQ(T(a->IndexedBy(Hold(KMakeString("011")).v)), "20 30");
  EXPECT_EQ(T(a->IndexedBy(Hold(B("000")).v)), "");
  EXPECT_EQ(T(a->IndexedBy(Hold(new KNum()).v)), "10 20 30");
  EXPECT_EQ(T(a->IndexedBy(Hold(new KNV()).v)), "10 20 30");
  Hold empty(new KNum());
  EXPECT_EQ(T(empty->IndexedBy(Hold(N("1 2")).v)), "Nil Nil");
  ExpectError([&] { a->IndexedBy(Hold(new KSeq()).v); }, KT::eValue, "Invalid Index");
  EXPECT_EQ(T(a->IndexedBy(1)), "20");
  EXPECT_EQ(T(a->IndexedBy(3)), "Nil");
  EXPECT_EQ(T((*a.n())[-1]), "Nil");
}

TEST(KNumIndex, AssignNeverInserts) {
  Hold a(N("1 2 3 4"));
  a->IdxAssign(Hold(N("9 8")).v, Hold(N("4 0 5 1")).v);
  EXPECT_EQ(a.v->AsString(false), "8 2 3 9");  // k-th index takes value min(k, last)
  a->IdxAssign(Hold(N("7")).v, Hold(B("0101")).v);
  EXPECT_EQ(a.v->AsString(false), "8 7 3 7");
  a->IdxAssign(Hold(N("5 6")).v, Hold(new KNV()).v);
  EXPECT_EQ(a.v->AsString(false), "5 6 6 6");
  a->IdxAssign(Hold(N("0.5")).v, Hold(N("2")).v);
  EXPECT_EQ(a->alignmentn(), KT::aFloat);
  EXPECT_EQ(a.v->AsString(false), "5 0.5 6 6");
  a->IdxAssign(Hold(new KNum()).v, Hold(N("1")).v);
  EXPECT_EQ(a.v->AsString(false), "5 0.5 6 6");
  ExpectError([&] { a->IdxAssign(Hold(N("1")).v, Hold(N("1.5")).v); }, KT::eNotImpl, "Insertion not implemented");
  ExpectError([&] { a->IdxAssign(Hold(KMakeString("1")).v, Hold(N("1")).v); }, KT::eValue, "Invalid Index");
  ExpectError([&] { a->IdxAssign(Hold(N("1")).v, Hold(new KSeq()).v); }, KT::eValue, "Invalid index");
}

TEST(KNumIndex, Range) {
  Hold a(N("1 2 3"));
  EXPECT_EQ(T(a->Range(-2, 4)), "1 1 1 2 3 3 3");
  EXPECT_EQ(T(a->Range(1, 1)), "2");
  ExpectError([&] { a->Range(2, 1); }, KT::eSystem, "l>r");
}

// ---------------------------------------------------------------- structure

TEST(KNumStruct, Take) {
  Hold a(N("1 2"));
  EXPECT_EQ(T(a->Take(5, true, false)), "1 2 0 0 0");
  EXPECT_EQ(T(a->Take(5, true, true)), "1 2 2 2 2");
  EXPECT_EQ(T(a->Take(5, false, true)), "1 1 1 1 2");
  EXPECT_EQ(T(a->Take(3, false, false)), "0 1 2");
  EXPECT_EQ(T(a->Take(0, true, false)), "");
  EXPECT_EQ(T(a->Take(KT::iNil, true, false)), "1");
  EXPECT_EQ(T(a->Take(-2, true, false)), "");
  Hold b(N("1 2 3"));
  EXPECT_EQ(T(b->Take(-1, false, false)), "1 2");
  EXPECT_EQ(T(b->Take(-1, true, false)), "2 3");
  EXPECT_EQ(T(b->Take(2, false, false)), "2 3");
  Hold e(new KNum(KT::aFloat, 0));
  Hold t(e->Take(-3, true, false));
  EXPECT_EQ(t.v->AsString(false), "Nil Nil Nil");
  EXPECT_EQ(t->alignmentn(), KT::aFloat);
}

TEST(KNumStruct, RotateShiftFlipReshape) {
  Hold a(N("1 2 3"));
  EXPECT_EQ(T(a->Rotate(1)), "3 1 2");
  EXPECT_EQ(T(a->Rotate(-4)), "2 3 1");
  EXPECT_EQ(T(a->Rotate(KT::iNil)), "3 1 2");  // 2147483647 mod 3 = 1
  EXPECT_EQ(T(a->Shift(1)), "Nil 1 2");
  EXPECT_EQ(T(a->Shift(-1)), "2 3 Nil");
  EXPECT_EQ(T(a->Shift(-2147483647)), "Nil Nil Nil");
  EXPECT_EQ(T(a->Flip()), "3 2 1");
  EXPECT_EQ(T(a->Reshape(7)), "1 2 3 1 2 3 1");
  EXPECT_EQ(T(a->Reshape(0)), "");
  EXPECT_EQ(T(Hold(new KNum()).n()->Reshape(2)), "Nil Nil");
}

TEST(KNumStruct, DropAppendCatenate) {
  Hold a(N("1 2 3 4"));
  a->Drop(1);
  EXPECT_EQ(a.v->AsString(false), "2 3 4");
  a->Drop(-1);
  EXPECT_EQ(a.v->AsString(false), "2 3");
  a->Append(Hold(N("5 6 7 8 9")).v);
  EXPECT_EQ(a.v->AsString(false), "2 3 5 6 7 8 9");
  EXPECT_GE(a.v->descriptor->capacity, 7);
  a->Append(a.v);  // appending to itself reads the grown buffer
  EXPECT_EQ(a.v->AsString(false), "2 3 5 6 7 8 9 2 3 5 6 7 8 9");
  a->Append(Hold(new KNum(0.5)).v);
  EXPECT_EQ(a->alignmentn(), KT::aFloat);
  EXPECT_EQ(a->Count(), 15);
  a->Drop(100);
  EXPECT_EQ(a->Count(), 0);
  ExpectError([&] { a->Append(Hold(KMakeString("1")).v); }, KT::eValue, "LT not numeric");
  Hold bits(new KNum(KT::aBit, 3));
  ExpectError([&] { bits->Drop(1); }, KT::eNotImpl, "Bool drop not implemented:");

  Hold i(N("1 2")), f(N("0.5"));
  Hold c(i->Catenate(f.n()));
  EXPECT_EQ(c.v->AsString(false), "1 2 0.5");
  EXPECT_EQ(c->alignmentn(), KT::aFloat);
  EXPECT_EQ(i->alignmentn(), KT::aInt);  // operands are not changed
  ExpectError([&] { i->Union(f.n()); }, KT::eNotImpl, "Num Union");
}

TEST(KNumStruct, ExpandAndFill) {
  Hold a(N("1 2 3"));
  EXPECT_EQ(T(a->Expand(Hold(B("10110")).v)), "1 Nil 2 3 Nil");
  EXPECT_EQ(T(a->Expand(Hold(B("1111")).v)), "1 2 3 Nil");
  ExpectError([&] { a->Expand(a.v); }, KT::eValue, "Rt. Type not Bit");

  Hold g(N("Nil 1 Nil Nil 4 Nil"));
  EXPECT_EQ(T(g->Fill()), "4 1 1 1 4 4");  // leading nils take the last value
  g.v->direction = 1;
  EXPECT_EQ(T(g->Fill()), "1 1 4 4 4 1");  // trailing nils take the first value
  g.v->exact = 1;
  EXPECT_EQ(T(g->Fill()), "1 1 2 3 4 4");
  Hold allNil(N("Nil Nil"));
  allNil->CoerceTo(KT::aFloat);
  Hold r(allNil->Fill());
  EXPECT_EQ(r->alignmentn(), KT::aInt);
  EXPECT_EQ(r.v->AsString(false), "Nil Nil");

  Hold src(N("10 20 40"));
  EXPECT_EQ(T(src->Fill(Hold(N("2 Nil 3")).v)), "10 10 40 40 40");
  src.v->exact = 1;
  EXPECT_EQ(T(src->Fill(Hold(N("2 2 1")).v)), "10 15 20 30 40");
  src.v->exact = 0;
  EXPECT_EQ(T(src->Fill(Hold(B("0101")).v)), "20 10 10 20");
  EXPECT_EQ(T(src->Fill(Hold(KMakeString("x")).v)), "10 20 40");
}

TEST(KNumStruct, ElementWise) {
  Hold a(N("_5 Nil 3 _2147483648.0"));
  EXPECT_EQ(T(a->Absolute()), "5 Nil 3 2.14748e+09");
  Hold i(N("_2147483647 4"));
  i->IntPtr()[0] = INT32_MIN;
  EXPECT_EQ(Hold(i->Absolute())->IntPtr()[0], INT32_MIN);  // wraps, no overflow
  Hold x(N("1 5 Nil")), y(N("3 2 1"));
  EXPECT_EQ(T(x->Smaller(y.v)), "1 2 Nil");
  EXPECT_EQ(T(x->Larger(y.v)), "3 5 Nil");
  ExpectError([&] { x->Smaller(Hold(KMakeString("1")).v); }, KT::eValue, "RT Type");
  Hold r(N("2.3 _2.3 7 Nil"));
  EXPECT_EQ(T(r->RoundUp()), "3 _3 7 Nil");
  EXPECT_EQ(T(r->RoundDn()), "2 _2 7 Nil");
  EXPECT_EQ(T(r->RoundNear(Hold(N("0.5")).v)), "2.5 _2.5 7 Nil");
  EXPECT_EQ(T(r->RoundUp(Hold(N("0")).v)), "3 _3 7 Nil");
  EXPECT_EQ(T(Hold(N("2.5 _2.5 1.2")).n()->RoundHalf()), "3 _3 1");
  EXPECT_EQ(Bits(Hold(N("0 1 Nil 0.0")).n()->ToTF()), "0110");
}

// ---------------------------------------------------------------- comparison

TEST(KNumCompare, CompareEqGt) {
  Hold a(new KNum(1.5)), b(new KNum(1.0));
  EXPECT_GT(a->Compare(b.v), 0);
  Hold i(N("1 5")), j(N("1 2 0"));
  EXPECT_EQ(i->Compare(j.v), 3);
  EXPECT_EQ(j->Compare(Hold(N("1 2")).v), 1);
  Hold ext(N("_2147483647 0"));
  EXPECT_GT(Hold(N("2147483646")).n()->Compare(ext.v), 0);  // no overflow in the difference
  Hold s(KMakeString("a"));
  EXPECT_EQ(a->Compare(s.v), KT::tNum - KT::tString);
  Hold f(N("1.0 5.0")), g(N("1 5"));
  EXPECT_TRUE(f->EQ(g.v));
  EXPECT_FALSE(f->IsSame(g.v));
  EXPECT_TRUE(g->IsSame(Hold(N("1 5")).v));
  EXPECT_EQ(Bits(f->MarkEqual(g.v)), "0");
  EXPECT_EQ(Bits(g->MarkEqual(Hold(N("1 5")).v)), "1");
  EXPECT_TRUE(i->GT(j.v, 0, 1, false));
  EXPECT_FALSE(j->GT(i.v, 0, 1, false));
  EXPECT_TRUE(g->GT(Hold(N("1 5")).v, 0, 1, false));
  EXPECT_FALSE(g->GT(Hold(N("1 5")).v, 0, 1, true));
  int32_t data[] = {3, 1, 3};
  EXPECT_TRUE(KNum::GTQSInt(data, 0, 1, false));
  EXPECT_TRUE(KNum::GTQSInt(data, 0, 2, false));
  EXPECT_FALSE(KNum::GTQSInt(data, 0, 2, true));
  EXPECT_TRUE(Hold(N("1 1 2")).n()->IsAscending());
  EXPECT_FALSE(Hold(N("1 3 2")).n()->IsAscending());
}

TEST(KNumCompare, SearchAndMarks) {
  Hold a(N("5 3 5 1"));
  EXPECT_EQ(T(a->IndexOf(Hold(N("5 1 9")).v)), "1 4 0");
  EXPECT_EQ(T(a->IndexOf(Hold(N("3.0")).v)), "2");
  int n = -1;
  EXPECT_EQ(T(a->IndicesOf(Hold(N("5")).v, n)), "1 3");
  EXPECT_EQ(n, 2);
  EXPECT_EQ(T(a->IndicesOf(Hold(N("5.0")).v, n)), "");
  EXPECT_EQ(n, 0);
  ExpectError([&] { a->IndicesOfGraded(a.v, n); }, KT::eNotImpl, "IndicesOfGraded");
  EXPECT_EQ(Bits(a->MarkAny(Hold(N("1 5")).v)), "1011");
  EXPECT_EQ(Bits(Hold(N("1 2 1 2 1 2")).n()->MarkAll(Hold(N("1 2 1")).v)), "111000");
  EXPECT_EQ(Bits(Hold(N("2 2 2 2")).n()->MarkAll(Hold(N("2 2")).v)), "1111");
  EXPECT_EQ(Bits(a->MarkAll(Hold(N("1 2 3 4 5")).v)), "0000");
  Hold b(N("4 3 6"));
  EXPECT_EQ(Bits(a->MarkElem(b.v, KT::mcLT)), "0010");
  EXPECT_EQ(Bits(a->MarkElem(b.v, KT::mcGE)), "1100");
  EXPECT_EQ(Bits(a->MarkElem(b.v, KT::mcNE)), "1010");
  EXPECT_EQ(Bits(a->Contains(Hold(N("3")).v)), "0100");
  Hold seq(new KSeq());
  static_cast<KSeq*>(seq.v)->Append(N("5 3"), true);
  Hold masks(a->Contains(seq.v));
  ASSERT_EQ(masks.v->typen(), KT::tSeq);
  KB* m0 = (*static_cast<KSeq*>(masks.v))[0];
  m0->Reference(true);
  EXPECT_EQ(Bits(m0), "1100");
  ExpectError([&] { a->Contains(Hold(KMakeString("x")).v); }, KT::eNotSupp, "Type");
}

TEST(KNumCompare, LargeOperandsUseTheSameEquality) {
  // above the size where membership switches to hashing
  std::string lit;
  for (int i = 0; i < 3000; ++i) lit += std::to_string(i % 1000) + " ";
  Hold big(N(lit.c_str()));
  Hold keys(N("999 0.0 _1 5.5"));
  EXPECT_EQ(T(big->IndexOf(keys.v)), "1000 1 0 0");
  Hold set(N(lit.c_str()));
  Hold small(N("1 2000 _0.0"));
  EXPECT_EQ(Bits(small->MarkAny(big.v)), "101");
  Hold w(big->Without(set.v));
  EXPECT_EQ(w->Count(), 0);
  Hold in(small->Intersect(big.n()));
  EXPECT_EQ(in.v->AsString(false), "1 _0");  // the element of this array is kept
}

TEST(KNumCompare, RunsWithoutIntersect) {
  Hold s(N("1 1 2 3 3 3 4"));
  EXPECT_EQ(T(s->Unique()), "1 2 3 4");
  EXPECT_EQ(T(s->QueryUnique()), "2 4");
  EXPECT_EQ(T(s->QueryNotUnique()), "1 3");
  EXPECT_EQ(T(Hold(N("7")).n()->Unique()), "7");
  Hold a(N("1 2 3 2"));
  EXPECT_EQ(T(a->Without(Hold(N("2 9")).v)), "1 3");
  EXPECT_EQ(T(a->Without(Hold(N("2.7")).v)), "1 3");  // brought to integers first
  EXPECT_EQ(T(a->Intersect(Hold(N("2 3 5")).n())), "2 3 2");
  EXPECT_EQ(T(a->Without(Hold(KMakeString("x")).v)), "1 2 3 2");
}

// ---------------------------------------------------------------- analysis

TEST(KNumAnalysis, InterpolateLinear) {
  Hold s(N("0 10 20")), v(N("0 100 0")), x(N("_5 0 5 15 30"));
  EXPECT_EQ(T(KNum::Interpolate(s.v, nullptr, v.v, x.v, true, false)), "_50 0 50 50 _100");
}

TEST(KNumAnalysis, InterpolateIntervals) {
  Hold s(N("0 10")), e(N("5 15")), v(N("1 3")), x(N("_1 0 5 7 10 15 20"));
  EXPECT_EQ(T(KNum::Interpolate(s.v, e.v, v.v, x.v, true, false)), "1 1 1 2 3 3 3");
  EXPECT_EQ(T(KNum::Interpolate(s.v, e.v, v.v, x.v, false, false)), "1 1 2 2 3 3 3");
  EXPECT_EQ(T(KNum::Interpolate(s.v, e.v, v.v, x.v, false, true)), "1 1 1 2 2 3 3");
}

TEST(KNumAnalysis, InterpolateCollectsEveryFault) {
  Hold bad(N("3 1")), txt(KMakeString("x")), ok(N("1 2"));
  ExpectError([&] { KNum::Interpolate(bad.v, txt.v, txt.v, bad.v, true, false); }, KT::eValue,
              "Start not ascending\r\nEnd not numeric\r\nValue not numeric\r\nIndex not ascending\r\n");
  ExpectError([&] { KNum::Interpolate(txt.v, nullptr, ok.v, txt.v, true, false); }, KT::eValue,
              "Start not numeric\r\nIndex not numeric\r\n");
}

TEST(KNumAnalysis, Histogram) {
  Hold cells(N("10 20")), data(N("5 10 15 20 25 Nil"));
  EXPECT_EQ(T(KNum::Histogram(cells.v, data.v, nullptr, false, false)), "2 2 1");
  EXPECT_EQ(T(KNum::Histogram(cells.v, data.v, nullptr, true, false)), "1 2 2");
  Hold w(N("1 2 3 4 5 6"));
  EXPECT_EQ(T(KNum::Histogram(cells.v, data.v, w.v, true, false)), "1 5 9");
  Hold unordered(N("25 5 15"));
  EXPECT_EQ(T(KNum::Histogram(cells.v, unordered.v, nullptr, true, false)), "1 1 1");
  Hold txt(KMakeString("x"));
  ExpectError([&] { KNum::Histogram(txt.v, data.v, nullptr, true, false); }, KT::eValue, "Cells not numeric");
  ExpectError([&] { KNum::Histogram(cells.v, txt.v, nullptr, true, false); }, KT::eValue, "Data not numeric");
  ExpectError([&] { KNum::Histogram(cells.v, data.v, txt.v, true, false); }, KT::eValue, "Value not numeric");
}

// ---------------------------------------------------------------- fields, images, lifecycle

TEST(KNumFields, FieldsAndListing) {
  Hold a(N("1 2 3"));
  EXPECT_EQ(T(a.v->FieldGet(Hold(KMakeString(":size")).v)), "12");
  EXPECT_EQ(T(a.v->FieldGet(Hold(KMakeString(":ALIGNN")).v)), "3");
  EXPECT_EQ(KB::TextOf(Hold(a.v->FieldGet(Hold(KMakeString(":alignc")).v)).v), "I");
  EXPECT_EQ(KB::TextOf(Hold(a.v->FieldGet(Hold(KMakeString(":typec")).v)).v), "Num");
  EXPECT_EQ(KB::TextOf(Hold(a.v->FieldGet(Hold(KMakeString(":")).v)).v),
            ":, :alignn, :alignc, :size, :string, :stringv, :typen, :typec");
  EXPECT_EQ(a->CountNotNil(), 3);
  EXPECT_EQ(Hold(N("1 Nil")).n()->CountNotNil(), 1);
  EXPECT_EQ(Hold(N("3e9")).n()->AsInt(), KT::iNil);
  EXPECT_EQ(Hold(N("_2.9")).n()->AsInt(), -2);
  EXPECT_EQ(Hold(new KNum()).n()->AsFloat(), 0.0);
}

TEST(KNumImage, ByteExactRoundTrip) {
  Hold a(N("1 _2"));
  a->rec()->dims = {2, 1};
  std::string img = a.v->SO();
  ASSERT_EQ(static_cast<int>(img.size()), a.v->SOSz());
  const unsigned char expect[] = {17, 0, 0, 0, 36, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,
                                  2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(img.size(), sizeof expect);
  EXPECT_EQ(std::memcmp(img.data(), expect, sizeof expect), 0);
  ASSERT_TRUE(KB::SIChk(img.data(), static_cast<int>(img.size())));
  Hold b(KNum::SI(img.data()));
  EXPECT_TRUE(b->IsSame(a.v));
  EXPECT_EQ(b->rec()->dims, (std::vector<int32_t>{2, 1}));

  Hold f(N("1.5 Nil"));
  std::string fi = f.v->SO();
  EXPECT_EQ(fi.size(), 36u);
  Hold g(KNum::SI(fi.data()));
  EXPECT_EQ(g->alignmentn(), KT::aFloat);
  EXPECT_EQ(g.v->AsString(false), "1.5 Nil");

  fi[12] = 5;  // count no longer matches the total size
  ExpectError([&] { KNum::SI(fi.data()); }, KT::eValue, "Image size");
  fi[8] = KT::aChar;
  ExpectError([&] { KNum::SI(fi.data()); }, KT::eValue, "Alignment");
}

TEST(KNumLifecycle, CloneIsPrivateAndSharingIsCopyOnWrite) {
  Hold a(N("1 2 3"));
  Hold c(a.v->Clone());
  c->IntPtr()[0] = 9;
  EXPECT_EQ(a.v->AsString(false), "1 2 3");
  Hold s(new KNum());
  *s.n() = *a.v;  // shares the descriptor
  EXPECT_EQ(a.v->descriptor, s.v->descriptor);
  *s.n() = 5;  // reassignment leaves the other holder alone
  EXPECT_EQ(a.v->AsString(false), "1 2 3");
  EXPECT_EQ(s.v->AsString(false), "5");
  *s.n() = "7 8";
  EXPECT_EQ(s.v->AsString(false), "7 8");
  ExpectError([&] { *s.n() = *Hold(new KSeq()).v; }, KT::eValue, "Alignment");
  Hold bits(new KNum(KT::aBit, 40));
  EXPECT_EQ(bits.v->descriptor->capacity, 64);
  ExpectError([] { KNum bad(KT::aChar, 2); }, KT::eValue, "Alignment");
  EXPECT_EQ(T(KMakeInt(4)), "4");
  EXPECT_EQ(T(KMakeFloat(-0.5)), "_0.5");
}

// ---------------------------------------------------------------- reductions

TEST(KNumReduce, Reductions) {
  Hold a(N("1 2 3"));
  Hold s(a->RedPlus());
  EXPECT_EQ(s->alignmentn(), KT::aFloat);
  EXPECT_EQ(s->AsFloat(), 6.0);
  EXPECT_EQ(F1(Hold(N("2 Nil 4")).n()->RedPlus()), 6.0);
  EXPECT_EQ(F1(Hold(N("Nil Nil")).n()->RedPlus()), 0.0);
  EXPECT_EQ(F1(Hold(new KNum()).n()->RedTimes()), 1.0);
  EXPECT_EQ(F1(Hold(N("2 Nil 4")).n()->RedTimes()), 8.0);
  EXPECT_EQ(F1(Hold(N("10 3 2")).n()->RedMinus()), 5.0);
  EXPECT_EQ(F1(Hold(N("10 Nil 2")).n()->RedMinus()), 8.0);
  Hold one(Hold(N("7")).n()->RedMinus());
  EXPECT_EQ(one->alignmentn(), KT::aInt);
  EXPECT_EQ(one.v->AsString(false), "7");
  ExpectError([&] { a->RedPlus(Hold(N("2")).v); }, KT::eNotImpl, "width");
}

TEST(KNumReduce, ScansRepeatOverNils) {
  Hold a(N("1 2 3 4"));
  a->ScanPlus();
  EXPECT_EQ(a.v->AsString(false), "1 3 6 10");
  Hold b(N("Nil 2 Nil 3"));
  b->ScanPlus();
  EXPECT_EQ(b.v->AsString(false), "Nil 2 2 5");
  Hold c(N("1.5 2 Nil 2"));
  c->ScanTimes();
  EXPECT_EQ(c.v->AsString(false), "1.5 3 3 6");
  Hold w(N("2147483646 5"));
  w->ScanPlus();  // wraps
  EXPECT_EQ(w->IntPtr()[1], -2147483645);
}

TEST(KNumReduce, MovingWindows) {
  Hold a(N("1 2 3 4 5"));
  Hold three(N("3")), two(N("2")), zero(N("0")), neg(N("_4")), big(N("99"));
  EXPECT_EQ(T(a->MovSum(three.v)), "1 3 6 9 12");
  EXPECT_EQ(T(a->MovSum(zero.v)), "1 2 3 4 5");
  EXPECT_EQ(T(a->MovSum(big.v)), "1 3 6 10 15");
  EXPECT_EQ(T(a->MovLargest(two.v)), "1 2 3 4 5");
  EXPECT_EQ(T(Hold(N("5 4 3 2 1")).n()->MovSmallest(two.v)), "5 4 3 2 1");
  EXPECT_EQ(T(Hold(N("3 1 4 1 5 9 2 6")).n()->MovLargest(three.v)), "3 3 4 4 5 9 9 9");
  EXPECT_EQ(T(Hold(N("3 1 4 1 5 9 2 6")).n()->MovSmallest(three.v)), "3 1 1 1 1 1 2 2");
  EXPECT_EQ(T(a->MovProd(two.v)), "1 2 6 12 20");
  EXPECT_EQ(T(Hold(N("2 0 3 4")).n()->MovProd(three.v)), "2 0 0 0");
  EXPECT_EQ(T(a->MovDiff(two.v)), "1 _1 _5 _11 _19");
  EXPECT_EQ(T(a->MovDiff(neg.v)), "1 _2 _7 _14 _23");
  EXPECT_EQ(T(Hold(N("1 2 3 4")).n()->MovAvg(two.v)), "1 1.5 2.5 3.5");
  EXPECT_EQ(T(Hold(N("2 Nil 4 Nil")).n()->MovAvg(two.v)), "2 2 4 4");
  EXPECT_EQ(T(Hold(new KNum()).n()->MovDiff(two.v)), "");
  ExpectError([&] { a->MovSum(Hold(KMakeString("3")).v); }, KT::eValue, "Type");
  // integer sums wrap without trapping; nils take part as numbers
  Hold w(N("2147483646 2"));
  EXPECT_EQ(Hold(w->MovSum(two.v))->IntPtr()[1], INT32_MIN);
  Hold nil(N("1 Nil 1"));
  EXPECT_EQ(Hold(nil->MovSum(two.v))->IntPtr()[2], INT32_MIN);
}

TEST(KNumReduce, LongMovingProductAnswersStop) {
  static bool stop = false;
  static int breaths = 0;
  breaths = 0;
  KB::SetBreatheHook([](void*) { stop = ++breaths >= 2; }, nullptr);
  Hold a(new KNum(KT::aFloat, 20000));
  for (int i = 0; i < 20000; ++i) a->FltPtr()[i] = 1.0;
  Hold wide(N("20000"));
  {
    KB::StopScope scope(&stop);
    ExpectError([&] { KB::DoneWith(a->MovProd(wide.v)); }, KT::eInterrupt, "Stop");
    EXPECT_FALSE(stop);  // the request is cleared when answered
  }
  KB::SetBreatheHook(nullptr, nullptr);
  EXPECT_EQ(Hold(a->MovProd(wide.v))->FltPtr()[19999], 1.0);  // without a run's switch it completes
}

TEST(KNumReduce, FloatNilsDoNotPoisonLaterWindows) {
  Hold a(N("1.5 Nil Nil 2 3 4"));
  Hold two(N("2"));
  Hold s(a->MovSum(two.v));
  EXPECT_EQ(s->FltPtr()[1], KT::fNil);
  EXPECT_FALSE(std::isfinite(s->FltPtr()[2]));  // both nils in the window
  EXPECT_EQ(s->FltPtr()[3], KT::fNil);
  EXPECT_EQ(s->FltPtr()[4], 5.0);
  EXPECT_EQ(s->FltPtr()[5], 7.0);
}

// ---------------------------------------------------------------- sizes beyond Int
// A count of 600 million Ints is 2.4e9 bytes. The size computations read
// only the count and the element size, so a descriptor claiming that count
// (without data) exercises them; the count is put back before destruction.
namespace {
struct ClaimedCount {
  KB* v;
  int32_t keep;
  ClaimedCount(KB* value, int32_t n) : v(value), keep(value->descriptor->count) { v->descriptor->count = n; }
  ~ClaimedCount() { v->descriptor->count = keep; }
};
}  // namespace

TEST(KNumSize, ASizeBeyondIntComesBackAsAFloat) {
  KNum n;
  {
    ClaimedCount claim(&n, 600000000);
    KNum* s = n.Size();
    EXPECT_FALSE(s->IsInt());
    EXPECT_EQ(s->AsFloat(), 2.4e9);
    KB::DoneWith(s);
    KString name(":size");
    KB* f = n.FieldGet(&name);
    EXPECT_EQ(static_cast<KNum*>(f)->AsFloat(), 2.4e9);
    KB::DoneWith(f);
    EXPECT_EQ(n.SizeBytes(), 2400000000LL);
    EXPECT_EQ(n.size(), INT32_MAX);  // clamped, never negative
    // The image's 32-bit size field cannot hold it.
    EXPECT_THROW(n.SOSz(), KError);
  }
  {
    ClaimedCount claim(&n, 500000000);  // 2e9 bytes still fit
    KNum* s = n.Size();
    EXPECT_TRUE(s->IsInt());
    EXPECT_EQ(s->AsInt(), 2000000000);
    KB::DoneWith(s);
  }
}

TEST(KNumSize, BitCountsNearTheLimitDoNotOverflow) {
  EXPECT_EQ(KB::LenBitsInChars(INT32_MAX), 268435456);
  EXPECT_EQ(KB::LenBitsInChars(9), 2);
  EXPECT_EQ(KB::ClampSize(int64_t(1) << 40), INT32_MAX);
}

// The one-element constructors fill their descriptor directly; they must
// leave what the array constructor leaves, so growth and images agree.
TEST(KNumScalar, OneElementEqualsTheArrayForm) {
  KNum i(static_cast<int32_t>(-7));
  KNum ia(KT::tNum, KT::aInt, 1);
  ia.IntPtr()[0] = -7;
  KNum f(2.5);
  KNum fa(KT::tNum, KT::aFloat, 1);
  fa.FltPtr()[0] = 2.5;
  for (auto [a, b] : {std::pair<KNum*, KNum*>{&i, &ia}, {&f, &fa}}) {
    const KB::KBD& x = *a->descriptor;
    const KB::KBD& y = *b->descriptor;
    EXPECT_EQ(x.count, y.count);
    EXPECT_EQ(x.capacity, y.capacity);
    EXPECT_EQ(x.elemSize, y.elemSize);
    EXPECT_EQ(x.align, y.align);
    EXPECT_EQ(x.type, y.type);
    EXPECT_EQ(x.SID, y.SID);
    EXPECT_EQ(a->SO(), b->SO());
    KNum two(static_cast<int32_t>(3));
    a->Append(&two);
    b->Append(&two);
    EXPECT_EQ(a->AsString(false), b->AsString(false));
  }
}

// A one-element clone is built directly; it must equal what the general
// copy makes, and be a copy (changing it leaves the original).
TEST(KNumScalar, OneElementCloneEqualsTheGeneralCopy) {
  KNum i(static_cast<int32_t>(41));
  KNum f(0.5);
  KNum pair(KT::tNum, KT::aInt, 2);  // takes the general path
  for (KNum* src : {&i, &f, &pair}) {
    src->exact = 1;
    src->direction = 1;
    KB* c = src->Clone();
    EXPECT_NE(c->descriptor, src->descriptor);
    EXPECT_NE(c->descriptor->data, src->descriptor->data);
    EXPECT_EQ(c->descriptor->count, src->descriptor->count);
    EXPECT_EQ(c->descriptor->capacity, src->descriptor->capacity);
    EXPECT_EQ(c->descriptor->align, src->descriptor->align);
    EXPECT_EQ(c->descriptor->SID, -1);
    EXPECT_EQ(c->exact, 1);
    EXPECT_EQ(c->direction, 1);
    EXPECT_EQ(c->SO(), src->SO());
    std::memset(c->descriptor->data, 0, static_cast<size_t>(c->size()));
    EXPECT_NE(c->SO(), src->SO());
    KB::DoneWith(c);
  }
}
