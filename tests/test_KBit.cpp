// Tests for KBit: parsing, logic with left extension, marks and spans,
// selection, windows, text forms and images.
#include <gtest/gtest.h>

#include <string>

#include "KBit.h"
#include "KNum.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

// The bits as a string of "0" and "1" (no blanks), then releases them.
std::string bitsOf(KB* v) {
  KBit* b = static_cast<KBit*>(v);
  std::string s;
  for (int i = 0; i < b->Count(); ++i) s += b->BitGet(i) ? '1' : '0';
  KB::DoneWith(v);
  return s;
}

std::string bitsOf(KBit& b) {
  std::string s;
  for (int i = 0; i < b.Count(); ++i) s += b.BitGet(i) ? '1' : '0';
  return s;
}

}  // namespace

TEST(KBit, ConstructionAndBitOrder) {
  KBit t("10 1_x");
  EXPECT_EQ(bitsOf(t), "100101");
  EXPECT_EQ(t.typen(), KT::tBit);
  EXPECT_EQ(t.alignmentn(), KT::aBit);
  EXPECT_EQ(t.Bytes()[0], 0x94);  // the first bit is the high bit of the first byte
  KBit ones(10, true);
  EXPECT_EQ(ones.Bytes()[1], 0xC0);  // bits past the count stay zero
  EXPECT_EQ(ones.Sum(), 10);
  KBit one(true);
  EXPECT_EQ(bitsOf(one), "1");
  EXPECT_FALSE(t.BitGet(-1));
  EXPECT_FALSE(t.BitGet(6));
  EXPECT_FALSE(t.BitSet(99, true));  // outside: ignored
  EXPECT_TRUE(t.BitSet(0, false));   // returns the previous bit
  EXPECT_EQ(bitsOf(t), "000101");
  t = "11";
  EXPECT_EQ(bitsOf(t), "11");
  t.Append(false);
  t.Append(true);
  EXPECT_EQ(bitsOf(t), "1101");
}

// The one-bit constructor fills its descriptor directly; it must leave what
// the general constructor leaves, so later growth and images agree.
TEST(KBit, OneBitEqualsTheGeneralForm) {
  for (bool v : {false, true}) {
    KBit a(v);
    KBit b(1, v);
    const KB::KBD& x = *a.descriptor;
    const KB::KBD& y = *b.descriptor;
    EXPECT_EQ(x.count, y.count);
    EXPECT_EQ(x.capacity, y.capacity);
    EXPECT_EQ(x.elemSize, y.elemSize);
    EXPECT_EQ(x.align, y.align);
    EXPECT_EQ(x.type, y.type);
    EXPECT_EQ(x.SID, y.SID);
    EXPECT_EQ(a.Bytes()[0], b.Bytes()[0]);
    EXPECT_EQ(a.SO(), b.SO());
    a.Append(!v);
    b.Append(!v);
    EXPECT_EQ(bitsOf(a), bitsOf(b));
  }
}

TEST(KBit, FromOtherValues) {
  KNum n("0 5 0 -1", -1);
  KBit a(&n);
  EXPECT_EQ(bitsOf(a), "0101");
  KNum nil(KT::aFloat, 2);  // nils count as non-zero
  KBit b(&nil);
  EXPECT_EQ(bitsOf(b), "11");
  KString s("1.x");
  KBit c(&s);
  EXPECT_EQ(bitsOf(c), "101");
  KBit d(&c);  // a bit vector shares the descriptor
  EXPECT_EQ(d.descriptor, c.descriptor);
  EXPECT_EQ(c.descriptor->refs, 2);
}

TEST(KBit, Queries) {
  KBit e;
  EXPECT_TRUE(e.All());
  EXPECT_FALSE(e.Any());
  KBit z("000");
  EXPECT_EQ(z.ToIndex(), 4);
  KBit v("011000001");
  EXPECT_EQ(v.Sum(), 3);
  EXPECT_EQ(v.NSet(), 3);
  EXPECT_EQ(v.ToIndex(), 2);
  EXPECT_FALSE(v.All());
  EXPECT_TRUE(v.Any());
  int n = 0;
  KNum* idx = v.ToIndices(n);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(idx->AsString(false), "2 3 9");
  KB::DoneWith(idx);
  KNum* num = z.ToNum();
  EXPECT_EQ(num->AsString(false), "0 0 0");
  KB::DoneWith(num);
}

TEST(KBit, LogicExtendsTheShorterOperandLeft) {
  KBit a("1011"), b("10");
  EXPECT_EQ(bitsOf(a.And(&b)), "1010");  // 10 becomes 1110
  EXPECT_EQ(bitsOf(a.Or(&b)), "1111");
  EXPECT_EQ(bitsOf(b.And(&a)), "1010");  // either side may be the shorter
  KBit c("0011"), d("0101");
  EXPECT_EQ(bitsOf(c.Xor(&d)), "0110");
  EXPECT_EQ(bitsOf(c.Nand(&d)), "1110");
  EXPECT_EQ(bitsOf(c.Nor(&d)), "1000");
  EXPECT_EQ(bitsOf(c.Not()), "1100");
  KBit nine(9, true);
  KBit* notNine = nine.Not();
  EXPECT_EQ(notNine->Sum(), 0);  // complement keeps the tail clear
  KB::DoneWith(notNine);
  KNum n("0 3", -1);  // numbers and strings by their true/false reading
  EXPECT_EQ(bitsOf(c.And(&n)), "0001");
  KString s("1");
  EXPECT_EQ(bitsOf(c.Or(&s)), "1111");
  EXPECT_THROW(KBit::BitOp(&c, &d, "?"), KError);
  try {
    KBit::BitOp(&c, nullptr, "&");
    FAIL();
  } catch (KError& e) {
    EXPECT_EQ(e.code, KT::eValue);
  }
}

TEST(KBit, Marks) {
  KBit a("01101");
  EXPECT_EQ(bitsOf(a.MarkOn()), "01001");
  EXPECT_EQ(bitsOf(a.MarkOff()), "00101");
  EXPECT_EQ(bitsOf(a.MarkOnOff()), "01101");
  KBit b("010010");
  EXPECT_EQ(bitsOf(b.Span()), "011110");
  EXPECT_EQ(bitsOf(b.FirstOn()), "011111");
  EXPECT_EQ(bitsOf(b.LastOff()), "111110");
  KBit c("0110"), d("01");
  EXPECT_EQ(bitsOf(c.MarkEqual(&d)), "1100");
  EXPECT_THROW(c.MarkSpanStart(), KError);
  EXPECT_THROW(c.MarkSpanEnd(), KError);
}

TEST(KBit, SelectionAndStructure) {
  KBit src("101");
  KBit mask("01101");
  EXPECT_EQ(bitsOf(src.Expand(&mask)), "01001");
  KNum counts("2 0 3", -1);
  EXPECT_EQ(bitsOf(src.Expand(&counts)), "11111");
  KNum idx("0 2 9", -1);  // outside: the nearest end bit
  EXPECT_EQ(bitsOf(src.IndexedBy(&idx)), "101");
  KBit bidx("0011");
  EXPECT_EQ(bitsOf(src.IndexedBy(&bidx)), "10");
  KString sidx("101");
  EXPECT_EQ(bitsOf(src.IndexedBy(&sidx)), "11");
  KSeq seq;
  EXPECT_THROW(src.IndexedBy(&seq), KError);

  KBit t("1101");
  EXPECT_EQ(bitsOf(t.Take(6, true, false)), "110100");
  EXPECT_EQ(bitsOf(t.Take(6, true, true)), "110111");
  EXPECT_EQ(bitsOf(t.Take(6, false, true)), "111101");
  EXPECT_EQ(bitsOf(t.Take(-1, false, false)), "110");
  EXPECT_EQ(bitsOf(t.Take(KT::iNil, true, false)), "");
  EXPECT_EQ(bitsOf(t.Rotate(1)), "1110");
  EXPECT_EQ(bitsOf(t.Shift(1)), "0110");
  EXPECT_EQ(bitsOf(t.Shift(-1)), "1010");
  EXPECT_EQ(bitsOf(t.Reshape(6)), "110111");
  EXPECT_EQ(bitsOf(t.Flip()), "1011");
  EXPECT_EQ(bitsOf(t.Catenate(&src)), "1101101");
  EXPECT_EQ(bitsOf(t.Range(-1, 5)), "1110111");
  EXPECT_THROW(t.Drop(1), KError);
  KBit packed("0000000100000010");  // bytes 01 02
  KNum code(2);
  KB* n = packed.Convert(&code);  // one little-endian 16-bit number
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->AsString(false), "513");
  KB::DoneWith(n);
}

TEST(KBit, IdxAssign) {
  KBit t("0000");
  KBit one("1");
  KNum pos("1 3 9", -1);
  t.IdxAssign(&one, &pos);
  EXPECT_EQ(bitsOf(t), "1010");
  KBit two("01");
  KNum pos2("1 2", -1);
  t.IdxAssign(&two, &pos2);
  EXPECT_EQ(bitsOf(t), "0110");
  KNum flt("1.0", -1);
  EXPECT_THROW(t.IdxAssign(&one, &flt), KError);
  KNum notBits(1);
  EXPECT_THROW(t.IdxAssign(&notBits, &pos), KError);
  KBit shared(&t);  // a shared vector is copied before it changes
  t.IdxAssign(&one, &pos);
  EXPECT_EQ(bitsOf(shared), "0110");
  EXPECT_EQ(bitsOf(t), "1110");
}

TEST(KBit, RunningAndMovingWindows) {
  KBit a("1101");
  EXPECT_EQ(bitsOf(a.MovAll()), "1100");
  KBit b("0010");
  EXPECT_EQ(bitsOf(b.MovAny()), "0011");
  KBit c("110111");
  KNum w2(2);
  EXPECT_EQ(bitsOf(c.MovAll(&w2)), "110011");
  KBit d("100010");
  EXPECT_EQ(bitsOf(d.MovAny(&w2)), "110011");
  KNum zero(0), neg(-3);  // a window below 1 is a window of 1
  EXPECT_EQ(bitsOf(d.MovAny(&zero)), "100010");
  EXPECT_EQ(bitsOf(d.MovAll(&neg)), "100010");
  KString s("x");
  EXPECT_THROW(d.MovAll(&s), KError);

  KBit e("01101");
  EXPECT_EQ(bitsOf(e.Fire()), "01001");
  KBit f("1110011");
  KNum two(2);
  EXPECT_EQ(bitsOf(f.Fire(&two)), "1100011");  // the bit after a pattern does not trigger
  KBit pat("101");
  EXPECT_EQ(bitsOf(f.Fire(&pat)), "1010010");
  KNum nothing(KT::aInt, 0);
  EXPECT_EQ(bitsOf(f.Fire(&nothing)), "0000000");
  KSeq seq;
  try {
    f.Fire(&seq);
    FAIL();
  } catch (KError& err) {
    EXPECT_EQ(err.code, KT::eNotSupp);
  }

  KBit g("100000");
  KNum w3(3);
  EXPECT_EQ(bitsOf(g.Monostable(&w3)), "111000");
  KBit h("1010001");
  KNum ws("3 1", -1);
  EXPECT_EQ(bitsOf(h.Monostable(&ws)), "1110001");
  KString notNum("x");
  EXPECT_EQ(bitsOf(h.Monostable(&notNum)), "1010001");
}

TEST(KBit, TextForms) {
  KBit nine(9, true);
  EXPECT_EQ(nine.AsString(false), "11111111 1");
  EXPECT_EQ(nine.AsString(true), "Bit[R1C9:B]11111111 1");
  KBit e;
  EXPECT_EQ(e.AsString(false), "");
  EXPECT_EQ(e.AsString(true), "Bit[0]NULL:");
  EXPECT_EQ(e.Dump(), "KBit[0]NULL");
  KBit many(2000, false);
  std::string t = many.AsString(false);
  EXPECT_EQ(t.substr(t.size() - 3), "...");
  EXPECT_LT(t.size(), 1010u);
  EXPECT_EQ(t.find("\r\n"), 112u);  // after the 100th bit (plus 12 blanks)
  KBit h("101000011");
  EXPECT_EQ(h.AsHex(), "A18");
  KString listing(":x");
  KB* r = h.FieldGet(&listing);
  EXPECT_EQ(KB::TextOf(r), ":, :alignn, :alignc, :num, :string, :stringv, :typen, :typec");
  KB::DoneWith(r);
  KString alignc(":alignc");
  r = h.FieldGet(&alignc);
  EXPECT_EQ(KB::TextOf(r), "B");
  KB::DoneWith(r);
}

TEST(KBit, CompareAndEquality) {
  KBit a("101"), b("100"), c("1010"), e;
  EXPECT_GT(a.Compare(&b), 0);
  EXPECT_LT(b.Compare(&a), 0);
  EXPECT_LT(a.Compare(&c), 0);  // equal common part: the lengths decide
  EXPECT_LT(e.Compare(&a), 0);
  KNum n(1);
  EXPECT_EQ(a.Compare(&n), KT::tBit - KT::tNum);
  KBit a2("101");
  EXPECT_TRUE(a.EQ(&a2));
  EXPECT_FALSE(a.EQ(&c));
  EXPECT_TRUE(a.GT(&b, 1, 0, false));
}

TEST(KBit, ImageRoundTrip) {
  KBit v("11000000101");
  std::string img = v.SO();
  ASSERT_EQ(static_cast<int>(img.size()), v.SOSz());
  const unsigned char expect[] = {3, 0, 0, 0, 14, 0, 0, 0, 11, 0, 0, 0, 0xC0, 0xA0};
  ASSERT_EQ(img.size(), sizeof expect);
  EXPECT_EQ(img, std::string(reinterpret_cast<const char*>(expect), sizeof expect));
  KB* back = KBit::SI(img.data());
  EXPECT_EQ(bitsOf(back), "11000000101");
  std::string bad = img;
  bad[8] = 100;  // more bits than the image holds
  EXPECT_THROW(KBit::SI(bad.data()), KError);
}
