// The arithmetic and reduction families of KOps, called on argument
// handles: element rules and nils, conformance, sharing (a value another
// holder sees never changes; an unshared one is worked on in place),
// integer wrap, combinatorics orders, conversions, checksums, and the
// reductions, scans and moving windows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "KArg.h"
#include "KBit.h"
#include "KClock.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsLoops.h"
#include "KSeq.h"
#include "KString.h"
#include "KSum.h"
#include "Kerror.h"

namespace {

// A handle that takes over a newly built value.
struct V : KA {
  explicit V(KB* v) : KA() { Owns(v); }
};
KB* N(const char* text) { return new KNum(text, -1); }
KB* S(const char* text) { return new KString(std::string(text)); }
KB* B(const char* bits) { return new KBit(bits); }

std::string Txt(KA& a) { return a.value->AsString(false); }
std::string Bits(KA& a) {
  EXPECT_EQ(a.Type(), KT::tBit);
  auto* b = a.As<KBit>();
  std::string s;
  for (int i = 0; i < b->Count(); ++i) s += b->BitGet(i) ? '1' : '0';
  return s;
}
double F0(KA& a) {
  EXPECT_EQ(a.Type(), KT::tNum);
  return a.As<KNum>()->AsFloat();
}
int32_t I0(KA& a) {
  EXPECT_EQ(a.Type(), KT::tNum);
  EXPECT_EQ(a.Align(), KT::aInt);
  return a.As<KNum>()->IntPtr()[0];
}
void* Data(KA& a) { return a.value->descriptor->data; }

void ExpectErr(const std::function<void()>& f, KT::KET code, const std::string& msg) {
  try {
    f();
    ADD_FAILURE() << "no error, expected " << msg;
  } catch (KError& e) {
    EXPECT_EQ(e.code, code) << e.message;
    EXPECT_EQ(e.message.substr(0, msg.size() + 1), msg + ":") << e.message;
  }
}

// ------------------------------------------------------------------ arithmetic

TEST(KOpsArith, IntegerArithmeticWraps) {
  V a(N("2147483600 _2147483600")), b(N("100"));
  KOps::op2B(a, b);
  EXPECT_EQ(a.As<KNum>()->IntPtr()[0], -2147483596);
  EXPECT_EQ(a.As<KNum>()->IntPtr()[1], -2147483500);
  V c(N("65536 _2147483647")), d(N("65536 2"));
  KOps::op2A(c, d);
  EXPECT_EQ(c.As<KNum>()->IntPtr()[0], 0);
  EXPECT_EQ(c.As<KNum>()->IntPtr()[1], 2);
  V e(N("_2147483647")), f(N("2"));
  KOps::op2D(e, f);
  EXPECT_EQ(e.As<KNum>()->IntPtr()[0], 2147483647);  // wraps onto the nil
}

TEST(KOpsArith, NoValueSidesAndMinusComparison) {
  KA nv;
  V three(N("3"));
  EXPECT_EQ(I0(KOps::op2B(nv, three)), 3);
  KA nv2;
  V four(N("4"));
  EXPECT_EQ(I0(KOps::op2A(nv2, four)), 4);
  KA nv3;
  V five(N("5"));
  EXPECT_EQ(I0(KOps::op2D(nv3, five)), -5);
  V s1(S("abc")), s2(S("abd"));
  KOps::op2D(s1, s2);
  EXPECT_LT(I0(s1), 0);
  V t1(S("x")), t2(N("1"));
  ExpectErr([&] { KOps::op2B(t1, t2); }, KT::eValue, "Type");
}

TEST(KOpsArith, SharedValuesUnchangedPrivateWorkedInPlace) {
  V a(N("1 2 3"));
  KA alias(a);  // a second holder
  V one(N("1"));
  KOps::op2B(alias, one);
  EXPECT_EQ(Txt(a), "1 2 3");
  EXPECT_EQ(Txt(alias), "2 3 4");
  void* before = Data(alias);
  V ten(N("10 10 10"));
  KOps::op2B(alias, ten);  // alias alone holds the sum now
  EXPECT_EQ(Data(alias), before);
  EXPECT_EQ(Txt(alias), "12 13 14");
  KA alias2(a);
  KOps::op2D(alias2);
  EXPECT_EQ(Txt(a), "1 2 3");
  EXPECT_EQ(Txt(alias2), "_1 _2 _3");
}

TEST(KOpsArith, ClockTakesPartAsNumber) {
  V c(new KClock(2.5)), one(N("1"));
  KOps::op2B(c, one);
  ASSERT_EQ(c.Type(), KT::tClock);
  EXPECT_DOUBLE_EQ(c.As<KClock>()->Days(0), 3.5);
  V n(N("1")), c2(new KClock(2.0));
  KOps::op2B(n, c2);
  EXPECT_EQ(n.Type(), KT::tClock);
  V c3(new KClock(4.0));
  KOps::op2D(c3);
  EXPECT_EQ(c3.Type(), KT::tClock);
}

TEST(KOpsArith, DivisionAlwaysFloat) {
  V a(N("6 1 x")), b(N("3 0 2"));
  KOps::op2F(a, b);
  EXPECT_EQ(a.Align(), KT::aFloat);
  EXPECT_EQ(Txt(a), "2 Nil Nil");
  V r(N("0 4"));
  KOps::op2F(r);
  EXPECT_EQ(Txt(r), "Nil 0.25");
  V e(N("10 20 30")), mask(B("1011"));
  KOps::op2F(e, mask);
  EXPECT_EQ(Txt(e), "10 Nil 20 30");
  KA nv;
  V two(N("2"));
  EXPECT_DOUBLE_EQ(F0(KOps::op2F(nv, two)), 0.5);
}

TEST(KOpsArith, ModuloAndFraction) {
  V a(N("7 _7 7 _2147483647")), b(N("0 2 _3 _1"));
  KOps::op25(a, b);
  EXPECT_EQ(Txt(a), "0 _1 1 0");
  V c(N("7.5 _7.5")), d(N("2"));
  KOps::op25(c, d);
  EXPECT_EQ(Txt(c), "1.5 _1.5");
  V f(N("_2.75 3"));
  KOps::op25(f);
  EXPECT_EQ(Txt(f), "_0.75 0");
  V i(N("5"));
  KOps::op25(i);
  EXPECT_EQ(i.Align(), KT::aInt);
}

TEST(KOpsArith, PowerXorAndCatenation) {
  V a(N("2 3")), b(N("10 2"));
  KOps::op5E(a, b);
  EXPECT_EQ(a.Align(), KT::aFloat);
  EXPECT_EQ(Txt(a), "1024 9");
  V x(B("0011")), y(B("0101"));
  EXPECT_EQ(Bits(KOps::op5E(x, y)), "0110");
  V xs(S("0011")), ys(S("0101"));
  EXPECT_EQ(Bits(KOps::op5E(xs, ys)), "0110");
  V s(S("ab")), t(S("cde"));
  KOps::op5E(s, t);
  EXPECT_EQ(Txt(s), "abcde");
  KA e;
  EXPECT_DOUBLE_EQ(F0(KOps::op5E_N(e)), std::exp(1.0));
  V z(N("0"));
  EXPECT_DOUBLE_EQ(F0(KOps::op5E(z)), 1.0);
  V q(new KSeq()), w(N("1"));
  ExpectErr([&] { KOps::op5E(q, w); }, KT::eValue, "Invalid arguments");
}

TEST(KOpsArith, TimesPlusAndDifferences) {
  V a(N("1 2 x 3")), b(N("1 2 1 1"));
  KOps::op2A2B(a, b);
  EXPECT_EQ(Txt(a), "1 6 Nil 9");  // (0+1)*1, (1+2)*2, nil, (6+3)*1
  V s(S("a")), n(N("1"));
  ExpectErr([&] { KOps::op2A2B(s, n); }, KT::eValue, "Need Numeric Left");
  V d(N("1 4 9 16"));
  EXPECT_EQ(Txt(KOps::op2D2D(d)), "0 3 5 7");
  V d2(N("1 4 9 16")), two(N("2"));
  EXPECT_EQ(Txt(KOps::op2D2D(d2, two)), "0 0 8 12");
  V d3(N("1 4")), big(N("9"));
  EXPECT_EQ(Txt(KOps::op2D2D(d3, big)), "0 0");
  V d4(N("1 4")), neg(N("_1"));
  EXPECT_EQ(Txt(KOps::op2D2D(d4, neg)), "1 4");
}

TEST(KOpsArith, SmallerLargerAbsoluteSignum) {
  V a(N("1 5 3")), b(N("2"));
  EXPECT_EQ(Txt(KOps::op3C3C(a, b)), "1 2 2");
  V c(N("1 5 3")), d(N("2"));
  EXPECT_EQ(Txt(KOps::op3E3E(c, d)), "2 5 3");
  V s(S("a")), n(N("1"));
  ExpectErr([&] { KOps::op3C3C(s, n); }, KT::eNotImpl, "");
  V n2(N("1")), s2(S("a"));
  ExpectErr([&] { KOps::op3E3E(n2, s2); }, KT::eValue, "R Type");
  V m(N("_3 4"));
  EXPECT_EQ(Txt(KOps::op7C(m)), "3 4");
  V ms(S("x"));
  ExpectErr([&] { KOps::op7C(ms); }, KT::eNotSupp, "Type");
  V g(N("_5 0 7 x"));
  EXPECT_EQ(Txt(KOps::op2B(g)), "_1 0 1 1");
}

TEST(KOpsArith, BitLogicCodes) {
  struct Case {
    KOps::TOpBool code;
    const char* out;
  } cases[] = {{KOps::boolAnd, "000100001"}, {KOps::boolClear, "000000000"},
               {KOps::boolEQ, "100111111"},  {KOps::boolNand, "111011110"},
               {KOps::boolNor, "100011110"}, {KOps::boolNot, "101011110"},
               {KOps::boolOr, "011100001"},  {KOps::boolSet, "111111111"},
               {KOps::boolXor, "011000000"}};
  for (const auto& c : cases) {
    V l(B("001100001")), r(B("010100001"));
    EXPECT_EQ(Bits(KOps::opOpBool(c.code, l, r)), c.out) << c.code;
    // bits past the count stay clear
    EXPECT_EQ(l.As<KBit>()->Bytes()[1] & 0x7F, 0);
  }
  V l(B("1")), r(B("1"));
  ExpectErr([&] { KOps::opOpBool(static_cast<KOps::TOpBool>(10), l, r); }, KT::eNotSupp, "???");
  V c1(B("0110")), c2(B("0101")), e1(B("0110")), e2(B("0101")), x1(B("0110")), x2(B("0101"));
  EXPECT_EQ(Bits(KOps::opClear(c1, c2)), "0000");
  EXPECT_EQ(Bits(KOps::opBitEQ(e1, e2)), "1100");
  EXPECT_EQ(Bits(KOps::opXor(x1, x2)), "0011");
}

TEST(KOpsArith, CircularAndLogarithms) {
  V c(N("0 x"));
  KOps::opCOS(c);
  EXPECT_EQ(Txt(c), "1 Nil");
  ExpectErr([&] { KOps::opOpCirc(static_cast<KOps::TOpCirc>(0), c); }, KT::eSyntax, "Invalid Operator");
  V l(N("100 0 _1"));
  EXPECT_EQ(Txt(KOps::opLOG(l)), "2 Nil Nil");
  V n(N("8 1")), base(N("2"));
  EXPECT_EQ(Txt(KOps::opLN(n, base)), "3 0");
  V m(N("8")), one(N("1"));
  EXPECT_EQ(Txt(KOps::opLogN(m, one)), "Nil");
  V p(N("1000")), none(S("x"));
  EXPECT_DOUBLE_EQ(F0(KOps::opLogN(p, none)), 3.0);
  V d(N("180"));
  EXPECT_DOUBLE_EQ(F0(KOps::opPI(d)), 3.141592653589793);
  KA nv;
  EXPECT_DOUBLE_EQ(F0(KOps::opPI(nv)), 3.141592653589793);
}

// ------------------------------------------------------------------ combinatorics

std::string SeqText(KA& a) {
  EXPECT_EQ(a.Type(), KT::tSeq);
  std::string s;
  auto* q = a.As<KSeq>();
  for (int i = 0; i < q->Count(); ++i) s += (i ? "," : "") + (*q)[i]->AsString(false);
  return s;
}

TEST(KOpsArith, FactorialAndCounts) {
  V f(N("170 171 _1 0 5 x"));
  KOps::op21(f);
  const double* x = f.As<KNum>()->FltPtr();
  EXPECT_NEAR(x[0] / 7.257415615307994e306, 1.0, 1e-12);
  EXPECT_EQ(x[1], KT::fNil);
  EXPECT_EQ(x[2], KT::fNil);
  EXPECT_EQ(x[3], 1.0);
  EXPECT_EQ(x[4], 120.0);
  EXPECT_EQ(x[5], KT::fNil);
  V a(N("5")), b(N("2"));
  EXPECT_DOUBLE_EQ(F0(KOps::op2321(a, b)), 10.0);
  V c(N("5")), d(N("2"));
  EXPECT_DOUBLE_EQ(F0(KOps::op232121(c, d)), 20.0);
  V e(N("2")), g(N("3"));
  EXPECT_EQ(I0(KOps::op2321(e, g)), KT::iNil);
  V h(N("4")), k(N("4"));
  EXPECT_DOUBLE_EQ(F0(KOps::op232121(h, k)), 24.0);
  V s(S("4")), t(N("2"));
  ExpectErr([&] { KOps::op2321(s, t); }, KT::eValue, "L not num");
  V p(N("3")), q(N("3"));
  EXPECT_EQ(SeqText(KOps::op2121(p, q)), "1 2 3,1 3 2,2 1 3,2 3 1,3 1 2,3 2 1");
  V big(N("20")), ten(N("10"));  // 184756 combinations: over the limit
  EXPECT_EQ(KOps::op21(big, ten).Type(), KT::tNil);
}

// ------------------------------------------------------------------ random numbers

TEST(KOpsArith, RandomRangesAndSeeding) {
  V seed(N("42"));
  KOps::op3F_N(seed);
  EXPECT_EQ(Txt(seed), "42");
  V a(N("6 6 6 6 6 6 6 6 6 6 0 _3 x"));
  KOps::op3F(a);
  const int32_t* x = a.As<KNum>()->IntPtr();
  for (int i = 0; i < 10; ++i) {
    EXPECT_GE(x[i], 1);
    EXPECT_LE(x[i], 6);
  }
  EXPECT_EQ(x[10], 1);
  EXPECT_GE(x[11], 1);
  EXPECT_LE(x[11], 3);
  EXPECT_EQ(x[12], KT::iNil);
  const std::string first = Txt(a);
  V again(N("6 6 6 6 6 6 6 6 6 6 0 _3 x")), seed2(N("42"));
  KOps::op3F(again, seed2);
  EXPECT_EQ(Txt(again), first);
  V f(N("2.0"));
  KOps::op3F(f);
  EXPECT_GE(F0(f), 0.0);
  EXPECT_LT(F0(f), 2.0);
  KA nv;
  KOps::op3F_N(nv);
  EXPECT_GE(I0(nv), 0);
  V s(S("x"));
  ExpectErr([&] { KOps::op3F(s); }, KT::eNotImpl, "Left Argument");
}

// ------------------------------------------------------------------ conversions

TEST(KOpsArith, HexBothWays) {
  V a(N("255 _1"));
  EXPECT_EQ(Txt(KOps::opHEX(a)), "FFFF");
  V b(N("256"));
  EXPECT_EQ(Txt(KOps::opHEX(b)), "00000100");
  V c(N("_1 256"));
  EXPECT_EQ(Txt(KOps::opHEX(c)), "FFFFFFFF00000100");
  V d(S("FF0a"));
  EXPECT_EQ(Txt(KOps::opHEX(d)), "_1 10");
  V e(S("7g1"));  // "g" reads as 0; the lone last digit is a high digit
  EXPECT_EQ(Txt(KOps::opHEX(e)), "112 16");
  V f(N("1.5"));
  ExpectErr([&] { KOps::opHEX(f); }, KT::eNotSupp, "Float");
  V g(B("1"));
  ExpectErr([&] { KOps::opHEX(g); }, KT::eNotImpl, "Type Bit");
  V h(new KSeq());
  ExpectErr([&] { KOps::opHEX(h); }, KT::eNotImpl, "Type Seq");
}

TEST(KOpsArith, AscAndUuid) {
  V a(N("65 66 322"));
  EXPECT_EQ(Txt(KOps::opASC(a)), "ABB");
  V s(S("A\xE9"));
  EXPECT_EQ(Txt(KOps::opASC(s)), "65 233");
  KA u;
  KOps::opUUID_N(u);
  ASSERT_EQ(u.Type(), KT::tString);
  ASSERT_EQ(u.Cnt(), 16);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(u.As<KString>()->Str());
  EXPECT_EQ(p[6] >> 4, 4);
  EXPECT_EQ(p[8] >> 6, 2);
}

// ------------------------------------------------------------------ checksums

TEST(KOpsArith, Checksums) {
  V e(S(""));
  EXPECT_EQ(I0(KOps::opCRC32(e)), 0);
  V chk(S("123456789"));  // the CRC-32/BZIP2 check value
  EXPECT_EQ(static_cast<uint32_t>(I0(KOps::opCRC32(chk))), 0xFC891918u);
  V n(N("1"));
  ExpectErr([&] { KOps::opCRC32(n); }, KT::eNotImpl, "L Type");
  V a(S("a b")), b(S("AB"));
  EXPECT_EQ(I0(KOps::opCRC(a)), I0(KOps::opCRC(b)));
  V c(S("a b")), d(S("AB"));
  EXPECT_NE(I0(KOps::opCRCCS(c)), I0(KOps::opCRCCS(d)));
  V f(S("a")), g(S("A"));
  EXPECT_NE(I0(KOps::opCRCCSWS(f)), I0(KOps::opCRCCSWS(g)));
  V h(S("hello"));
  EXPECT_EQ(I0(KOps::opCRCCSWS(h)), KB::CRC("hello", 5));
  V nil(new KNil());
  EXPECT_EQ(I0(KOps::opCRC(nil)), -3);
  KA nv;
  EXPECT_EQ(I0(KOps::opCRC(nv)), -2);
  KA r;
  EXPECT_EQ(I0(KOps::opCRC_N(r)), -1);
  for (const char* text : {"a", "hello", "xyz", "0"}) {
    V x(S(text)), m(N("7"));
    const int32_t v = I0(KOps::opCRC(x, m));
    EXPECT_GE(v, 0);
    EXPECT_LT(v, 7);
  }
  V seq(new KSeq());
  seq.As<KSeq>()->Append(S("ab"), true);
  seq.As<KSeq>()->Append(N("1 2"), true);
  KOps::opCRCCSWS(seq);
  EXPECT_EQ(seq.Type(), KT::tNum);
}

// ------------------------------------------------------------------ reductions

TEST(KOpsReduce, AverageSmallestLargest) {
  V a(N("2 x 4"));
  KOps::op5C2B25(a);
  EXPECT_EQ(a.Align(), KT::aFloat);
  EXPECT_DOUBLE_EQ(F0(a), 3.0);
  V n(N("x x"));
  EXPECT_EQ(F0(KOps::op5C2B25(n)), KT::fNil);
  V s(S("1"));
  ExpectErr([&] { KOps::op5C2B25(s); }, KT::eValue, "Numeric only");
  V b(N("5 x 2 9"));
  EXPECT_EQ(Txt(KOps::op5C3C3C(b)), "2");
  EXPECT_EQ(b.Align(), KT::aInt);
  V c(N("5 x 2.5 9"));
  EXPECT_EQ(Txt(KOps::op5C3E3E(c)), "9");
  V bits(B("1"));
  ExpectErr([&] { KOps::op5C3C3C(bits); }, KT::eNotImpl, "");
  V bt(B("1101")), bs(S("a b"));
  EXPECT_EQ(Bits(KOps::op5C26(bt)), "0");
  EXPECT_EQ(KOps::op5C26(bs).Type(), KT::tSeq);
  V an(B("0010"));
  EXPECT_EQ(Bits(KOps::op5C7C(an)), "1");
}

// ------------------------------------------------------------------ running forms

TEST(KOpsReduce, Scans) {
  V a(N("1 2 3 4"));
  void* before = Data(a);
  KOps::op2F2B(a);
  EXPECT_EQ(Txt(a), "1 3 6 10");
  EXPECT_EQ(a.Align(), KT::aInt);
  EXPECT_EQ(Data(a), before);  // unshared: in place
  V b(N("x 1 x 2"));
  EXPECT_EQ(Txt(KOps::op2F2B(b)), "Nil 1 1 3");
  V w(N("2147483600 100"));
  EXPECT_EQ(Txt(KOps::op2F2B(w)), "2147483600 _2147483596");
  V m(N("10 3 2"));
  EXPECT_EQ(Txt(KOps::op2F2D(m)), "10 7 5");
  V lo(N("3 1 2")), hi(N("1 3 2"));
  EXPECT_EQ(Txt(KOps::op2F3C3C(lo)), "3 1 1");
  EXPECT_EQ(Txt(KOps::op2F3E3E(hi)), "1 3 3");
  V t(N("1 2 3"));
  EXPECT_EQ(Txt(KOps::op2F2A(t)), "1 2 6");
  V bits(B("1101"));
  EXPECT_EQ(Txt(KOps::op2F2B(bits)), "1 2 2 3");
  V s(S("1")), s2(S("1"));
  ExpectErr([&] { KOps::op2F2B(s); }, KT::eValue, "Numeric only");
  ExpectErr([&] { KOps::op2F3C3C(s2); }, KT::eValue, "Numeric Only");
}

TEST(KOpsReduce, ScanOfSharedValueLeavesItAlone) {
  V a(N("1 2 3"));
  KA alias(a);
  KOps::op2F2B(alias);
  EXPECT_EQ(Txt(a), "1 2 3");
  EXPECT_EQ(Txt(alias), "1 3 6");
}

TEST(KOpsReduce, BitRunningForms) {
  V a(B("1101")), b(B("0010")), c(B("01101")), d(B("0110")), e(B("0110"));
  EXPECT_EQ(Bits(KOps::op2F26(a)), "1100");
  EXPECT_EQ(Bits(KOps::op2F7C(b)), "0011");
  EXPECT_EQ(Bits(KOps::op2F2A7E(c)), "01001");
  EXPECT_EQ(Bits(KOps::op2F2D3E(d)), "1110");
  EXPECT_EQ(Bits(KOps::op2F3C2D(e)), "0111");
  V n(N("1"));
  ExpectErr([&] { KOps::op2F26(n); }, KT::eNotSupp, "Type");
}

TEST(KOpsReduce, SumOfSequencesAndErrors) {
  V q(new KSeq());
  EXPECT_EQ(I0(KOps::op5C2B(q)), 0);
  V r(new KSeq());
  r.As<KSeq>()->Append(N("1 2"), true);
  r.As<KSeq>()->Append(N("3"), true);
  EXPECT_DOUBLE_EQ(F0(KOps::op5C2B(r)), 6.0);
  V s(S("x")), w(N("1"));
  ExpectErr([&] { KOps::op5C2B(s); }, KT::eNotSupp, "Type");
  ExpectErr([&] { KOps::op2F2B(s, w); }, KT::eNotSupp, "Type");
  V z(N("1 _1"));
  EXPECT_EQ(Txt(KOps::op2F2B2525(z)), "Nil Nil");  // a zero total
}

// ==================================================================== logic
// "&", "|", "~", "~&", "~|": what the scripts cannot see (sharing, the
// collation flag put back, references, refused regular expressions).

std::string Str(KA& a) {
  EXPECT_EQ(a.Type(), KT::tString);
  return a.As<KString>()->Value();
}

TEST(KOpsLogic, SharedOperandsNeverChange) {
  using Dy = KA& (*)(KA&, KA&);
  const Dy ops[] = {KOps::op26, KOps::op7C, KOps::op7E26, KOps::op7E7C};
  for (Dy op : ops) {
    V a(B("1011")), b(B("10"));
    {
      KA left(a), right(b);
      op(left, right);
      EXPECT_EQ(left.Type(), KT::tBit);
    }
    EXPECT_EQ(Bits(a), "1011");
    EXPECT_EQ(Bits(b), "10");
    EXPECT_EQ(a.value->descriptor->refs, 1);
    EXPECT_EQ(b.value->descriptor->refs, 1);
  }
  V n(N("0 1 0 2")), s(S("a b"));
  {
    KA ln(n), ls(s);
    ExpectErr([&] { KOps::op7E(ln); }, KT::eNotSupp, "Left type");  // numbers: "~|"
    EXPECT_EQ(Str(KOps::op7E(ls)), "ab");
  }
  EXPECT_EQ(Txt(n), "0 1 0 2");
  EXPECT_EQ(Str(s), "a b");
}

TEST(KOpsLogic, BitStringsOnlyWhenBothAreBits) {
  V c(S("1101")), d(S("10x1"));  // one side is not bits: intersection of characters
  EXPECT_EQ(Str(KOps::op26(c, d)), "01");
  V f(S(""));  // an empty string keeps the string reading
  EXPECT_EQ(Str(KOps::op7E(f)), "");
  V g(S("1 0"));
  EXPECT_EQ(Str(KOps::op7E(g)), "10");
  V h(S("0110"));  // the blank form of "~|" leaves a bit string alone
  EXPECT_EQ(Str(KOps::op7E7C(h)), "0110");
}

TEST(KOpsLogic, ComplementKeepsTheLengthAndAClearTail) {
  V i(B("101100101"));
  EXPECT_EQ(Bits(KOps::op7E7C(i)), "010011010");
  EXPECT_EQ(i.As<KBit>()->Bytes()[1] & 0x7F, 0);
  V j(new KBit());
  EXPECT_EQ(KOps::op7E7C(j).Cnt(), 0);
}

TEST(KOpsLogic, UniqueKeepsTheCollationFlag) {
  for (uint8_t exact : {uint8_t(0), uint8_t(1)}) {
    V s(S("baAb"));
    s.value->exact = exact;
    KA alias(s);
    KOps::op26(alias);
    EXPECT_EQ(alias.Cnt(), 3);  // only identical characters merge
    EXPECT_EQ(alias.value->exact, exact);
    EXPECT_EQ(s.value->exact, exact);
    EXPECT_EQ(Str(s), "baAb");
  }
  V one(N("7"));
  EXPECT_EQ(Txt(KOps::op26(one)), "7");
  V bits(B("10"));
  ExpectErr([&] { KOps::op26(bits); }, KT::eNotSupp, "Type");
}

TEST(KOpsLogic, SequenceIntersectionUsesTheLeftFlagAndRestoresElements) {
  for (uint8_t exact : {uint8_t(0), uint8_t(1)}) {
    V l(new KSeq()), r(new KSeq());
    l.As<KSeq>()->AppendOwned(S("a"));
    l.As<KSeq>()->AppendOwned(S("B"));
    r.As<KSeq>()->AppendOwned(S("A"));
    r.As<KSeq>()->AppendOwned(S("b"));
    l.value->exact = exact;
    for (int i = 0; i < 2; ++i) l.As<KSeq>()->Slots()[i]->exact = 1 - exact;
    KA left(l), right(r);
    KOps::op26(left, right);
    EXPECT_EQ(left.Cnt(), exact ? 0 : 2);
    EXPECT_EQ(left.value->exact, exact);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(l.As<KSeq>()->Slots()[i]->exact, 1 - exact);
  }
  // a right that is not a sequence counts as one element
  V l(new KSeq()), r(S("b"));
  l.As<KSeq>()->AppendOwned(S("b"));
  l.As<KSeq>()->AppendOwned(S("c"));
  KOps::op26(l, r);
  ASSERT_EQ(l.Cnt(), 1);
  EXPECT_EQ(l.As<KSeq>()->Slots()[0]->AsString(false), "b");
}

TEST(KOpsLogic, NumbersAndEmptyValues) {
  V a(N("3 1 2 3 5")), b(S("3"));
  EXPECT_EQ(KOps::op26(a, b).Type(), KT::tNil);
  V c(N("1 2 3")), d(N("2.0 9"));
  EXPECT_EQ(Txt(KOps::op26(c, d)), "2");
  V e(N("2 1")), f(N("1.5"));
  EXPECT_EQ(Txt(KOps::op7C(e, f)), "1 1.5 2");
  V g(new KNum());  // monadic "~" refuses numbers, empty ones too
  ExpectErr([&] { KOps::op7E(g); }, KT::eNotSupp, "Left type");
  EXPECT_EQ(g.Type(), KT::tNum);
  V h(N("0 0"));
  EXPECT_EQ(KOps::op7E7C(h).Cnt(), 0);
}

TEST(KOpsLogic, RefusedOperands) {
  V grep(new KB(KT::tGREP));
  for (auto op : {KOps::op26, KOps::op7C, KOps::op7E26}) {
    V s(S("abc"));
    KA g(grep);
    ExpectErr([&] { op(s, g); }, KT::eNotSupp, "GREP");
    EXPECT_EQ(Str(s), "abc");
  }
  V nothing(new KSeq()), x(N("1"));
  ExpectErr([&] { KOps::op7E7C(nothing, x); }, KT::eNotSupp, "Type");
  ExpectErr([&] { KOps::op7E7C(nothing); }, KT::eNotSupp, "Type");
  V nil(new KNil());
  ExpectErr([&] { KOps::op26(nil, x); }, KT::eNotSupp, "Type");
}

}  // namespace

// ---------------------------------------------------------------- one-element operands
// A one-element number meeting a longer one is used at every position
// instead of being stretched to a copy. What a script can see must not
// change: the oracle is the same call with the shortcut off (the short side
// stretched by KA::ConformLen): the same text and bytes, the same result ID
// relative to the counter (so the same in-place choice), the same counter
// movement and reference count, the same error.
namespace {
KB* IntArr(std::vector<int32_t> v) {
  KNum* n = new KNum(KT::aInt, static_cast<int>(v.size()));
  for (size_t i = 0; i < v.size(); ++i) n->IntPtr()[i] = v[i];
  return n;
}
KB* FltArr(std::vector<double> v) {
  KNum* n = new KNum(KT::aFloat, static_cast<int>(v.size()));
  for (size_t i = 0; i < v.size(); ++i) n->FltPtr()[i] = v[i];
  return n;
}
struct Outcome {
  std::string text, bytes;
  int32_t resultId, counter, refs;  // an ID below 0 is the left's own (worked in place)
  std::string error;
};
Outcome RunDyadic(KA& (*op)(KA&, KA&), const std::function<KB*()>& mk_l, const std::function<KB*()>& mk_r,
                  bool sharedL, bool sharedR, bool stretchFirst) {
  V l(mk_l()), r(mk_r());
  KA holdL, holdR;
  if (sharedL) holdL = l;
  if (sharedR) holdR = r;
  const int32_t base = KB::fLastID;
  Outcome o{};
  try {
    KLoop::fStretchOne = !stretchFirst;
    op(l, r);
    KLoop::fStretchOne = true;
    o.text = l.value->AsString(true);
    o.bytes.assign(static_cast<const char*>(l.value->descriptor->data),
                   static_cast<size_t>(KB::StorageBytes(l.Align(), l.Cnt())));
    o.resultId = l.value->ID - base;
    o.refs = l.value->descriptor->refs;
  } catch (KError& e) {
    KLoop::fStretchOne = true;
    o.error = std::to_string(e.code) + e.message;
  }
  o.counter = KB::fLastID - base;
  return o;
}
}  // namespace

TEST(KOpsArith, OneElementOperandsAsIfStretched) {
  const std::vector<std::function<KB*()>> bigs = {
      [] { return IntArr({1, -7, KT::iNil, 2147483647 - 1, -2147483647, 0, 5, 9, 11}); },
      [] { return FltArr({1.5, -0.0, KT::fNil, 1e308, -2.5, 0.0, NAN, INFINITY, 3}); },
  };
  const std::vector<std::function<KB*()>> ones = {
      [] { return IntArr({3}); },          [] { return IntArr({KT::iNil}); }, [] { return IntArr({0}); },
      [] { return IntArr({-2147483647}); }, [] { return FltArr({2.5}); },     [] { return FltArr({KT::fNil}); },
      [] { return FltArr({0.0}); },        [] { return FltArr({NAN}); },
  };
  using Op = KA& (*)(KA&, KA&);
  const std::vector<std::pair<const char*, Op>> ops = {
      {"+", &KOps::op2B},       {"-", &KOps::op2D},       {"*", &KOps::op2A},       {"/", &KOps::op2F},
      {"^", &KOps::op5E},       {"*<", &KOps::op2A3C},    {"*>", &KOps::op2A3E},    {"*=", &KOps::op2A3D},
      {"*<=", &KOps::op2A3C3D}, {"*>=", &KOps::op2A3E3D}, {"%", &KOps::op25},
      {"<<", &KOps::op3C3C},    {">>", &KOps::op3E3E},
  };
  for (auto& [name, op] : ops)
    for (size_t b = 0; b < bigs.size(); ++b)
      for (size_t k = 0; k < ones.size(); ++k)
        for (int side = 0; side < 2; ++side)
          for (int shared = 0; shared < 4; ++shared) {
            const auto& mk_l = side ? ones[k] : bigs[b];
            const auto& mk_r = side ? bigs[b] : ones[k];
            const bool sl = shared & 1, sr = shared & 2;
            const Outcome want = RunDyadic(op, mk_l, mk_r, sl, sr, true);
            const Outcome got = RunDyadic(op, mk_l, mk_r, sl, sr, false);
            SCOPED_TRACE(std::string(name) + " big " + std::to_string(b) + " one " + std::to_string(k) +
                         (side ? " one on the left" : " one on the right") + " shared " + std::to_string(shared));
            EXPECT_EQ(got.error, want.error);
            EXPECT_EQ(got.text, want.text);
            EXPECT_EQ(got.bytes, want.bytes);
            EXPECT_EQ(got.resultId, want.resultId);
            EXPECT_EQ(got.counter, want.counter);
            EXPECT_EQ(got.refs, want.refs);
          }
}

TEST(KOpsArith, OneBitOperandsAsIfStretched) {
  const std::vector<std::function<KB*()>> bigs = {[] { return B("10110011101"); },
                                                  [] { return B("1111000011110000"); }};
  const std::vector<std::function<KB*()>> ones = {[] { return B("1"); }, [] { return B("0"); }};
  using Op = KA& (*)(KA&, KA&);
  const std::vector<std::pair<const char*, Op>> ops = {
      {"~&", &KOps::op7E26}, {"~|", &KOps::op7E7C}, {"^", &KOps::op5E}};
  for (auto& [name, op] : ops)
    for (size_t b = 0; b < bigs.size(); ++b)
      for (size_t k = 0; k < ones.size(); ++k)
        for (int side = 0; side < 2; ++side)
          for (int shared = 0; shared < 4; ++shared) {
            const auto& mk_l = side ? ones[k] : bigs[b];
            const auto& mk_r = side ? bigs[b] : ones[k];
            const Outcome want = RunDyadic(op, mk_l, mk_r, shared & 1, shared & 2, true);
            const Outcome got = RunDyadic(op, mk_l, mk_r, shared & 1, shared & 2, false);
            SCOPED_TRACE(std::string(name) + " big " + std::to_string(b) + " one " + std::to_string(k) +
                         (side ? " one on the left" : " one on the right") + " shared " + std::to_string(shared));
            EXPECT_EQ(got.error, want.error);
            EXPECT_EQ(got.text, want.text);
            EXPECT_EQ(got.bytes, want.bytes);
            EXPECT_EQ(got.resultId, want.resultId);
            EXPECT_EQ(got.counter, want.counter);
            EXPECT_EQ(got.refs, want.refs);
          }
}

// ---------------------------------------------------------------- exact sums
// KSum must give the sequential sum from 0.0 bit for bit: the vector path
// only where it is provably the same, the sequential loop from there on.
namespace {
double SeqInt(const std::vector<int32_t>& v) {
  double s = 0.0;
  for (int32_t x : v) s += x == KT::iNil ? 0.0 : static_cast<double>(x);
  return s;
}
double SeqFlt(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x == KT::fNil ? 0.0 : x;
  return s;
}
uint64_t BitsOf(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}
}  // namespace

TEST(KSum, IntSumsAreTheSequentialDoubleSum) {
  std::vector<std::vector<int32_t>> cases = {
      {}, {KT::iNil}, {5}, {1, KT::iNil, -3}, {-2147483647, -2147483647, 2147483646}};
  // Magnitudes past 2^53 (4.2 million elements of about 2^31): the running
  // double rounds, and the vector path must hand over before it does.
  std::vector<int32_t> big(4300000, 2147483646);
  for (size_t i = 0; i < big.size(); i += 3) big[i] = -2147483647;
  for (size_t i = 5; i < big.size(); i += 1000) big[i] = KT::iNil;
  big[17] = 7;
  cases.push_back(big);
  std::vector<int32_t> rising(4300000, 2147483645);  // partial sums pass 2^53 and round
  rising[4200000] = KT::iNil;
  cases.push_back(rising);
  std::vector<int32_t> ramp(100003);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int32_t>(i * 2654435761u);
  cases.push_back(ramp);
  for (const auto& c : cases)
    EXPECT_EQ(BitsOf(KSum::SumInt(c.data(), static_cast<int>(c.size()))), BitsOf(SeqInt(c))) << c.size();
}

TEST(KSum, FloatSumsAreTheSequentialDoubleSum) {
  const double two52 = 4503599627370496.0, two53 = 2 * two52;
  std::vector<std::vector<double>> cases = {
      {}, {KT::fNil}, {-0.0}, {-0.0, -0.0}, {0.1, 0.2, 0.3}, {NAN, 1}, {INFINITY, -INFINITY}, {INFINITY, 1},
      {two53, 1, 1, 1}, {1, 1, 1, two53}, {two52 + 1, two52 + 1, -1}, {1e300, KT::fNil, -1e300, 1}};
  // Order-sensitive data: integers whose magnitudes pass 2^53 part way, a
  // fraction after a long exact run, a NaN and an infinity deep inside.
  std::vector<double> runs(50000);
  for (size_t i = 0; i < runs.size(); ++i) runs[i] = (i % 2 ? -1.0 : 1.0) * static_cast<double>(i * 1000003 % 99991);
  cases.push_back(runs);
  std::vector<double> past(40000, 3.0e11);
  past[39999] = 1.0;
  past[100] = -0.0;
  past[200] = KT::fNil;
  cases.push_back(past);
  std::vector<double> frac(30000, 12345.0);
  frac[20000] = 0.1;
  cases.push_back(frac);
  cases.push_back(std::vector<double>(30000, 0.1));
  std::vector<double> nan(30000, 2.0);
  nan[25000] = NAN;
  cases.push_back(nan);
  std::vector<double> inf(30000, 2.0);
  inf[9000] = INFINITY;
  cases.push_back(inf);
  for (const auto& c : cases)
    EXPECT_EQ(BitsOf(KSum::SumFlt(c.data(), static_cast<int>(c.size()))), BitsOf(SeqFlt(c))) << c.size();
}

// The running sum in vector blocks against the scan loop (and the plus
// reduction against the reduction loop): leading nils,
// nils inside, running values that wrap onto the nil (the loop restarts
// from the next element), in place and into a new buffer.
TEST(KSum, IntRunningSumIsTheScanLoop) {
  const int32_t nil = KT::iNil;
  std::vector<std::vector<int32_t>> cases = {
      {7}, {nil, nil}, {nil, 3, nil, 4}, {2147483646, 1, 5, nil, 3}, {2147483600, 47, nil, 9, 1},
      {-2147483647 - 1, -1, 2, 2147483647 - 1, 1}};
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int len : {9, 17, 1023, 1024, 1025, 5000}) {
    std::vector<int32_t> v(static_cast<size_t>(len));
    for (auto& x : v) x = static_cast<int32_t>(next() % 2000) - 1000;
    cases.push_back(v);
    for (size_t i = 0; i < v.size(); i += 7) v[i] = nil;
    cases.push_back(v);
    for (auto& x : v) x = static_cast<int32_t>(next() >> 1);  // wraps often, lands on the nil rarely
    cases.push_back(v);
    // Running values that land on the nil: a start of nil - 100 and steps of 10.
    std::vector<int32_t> w(static_cast<size_t>(len), 10);
    w[0] = nil - 100;
    w[static_cast<size_t>(len / 2)] = nil - 5;
    cases.push_back(w);
  }
  for (const auto& c : cases) {
    const int n = static_cast<int>(c.size());
    std::vector<int32_t> want(c.size()), got(c.size()), inPlace = c;
    KLoop::Scan(want.data(), c.data(), n, KLoop::tplPlus());
    KSum::ScanPlusInt(got.data(), c.data(), n);
    KSum::ScanPlusInt(inPlace.data(), inPlace.data(), n);
    EXPECT_EQ(got, want) << n;
    EXPECT_EQ(inPlace, want) << n;
    EXPECT_EQ(KSum::ReducePlusInt(c.data(), n), KLoop::Reduce(c.data(), n, KLoop::tplPlus())) << n;
  }
}
