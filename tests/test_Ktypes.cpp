// Type names and the character/collation tables.
#include <gtest/gtest.h>

#include <set>

#include "Ktypes.h"

namespace {
unsigned char U(char c) { return static_cast<unsigned char>(c); }
}

TEST(KtypesNames, ObjectAlignmentErrorAndTokenNames) {
  EXPECT_STREQ(KT::TypeObjToName(17), "Num");
  EXPECT_STREQ(KT::TypeObjToName(18), "NoValue");
  EXPECT_STREQ(KT::TypeObjToName(22), "???");
  EXPECT_STREQ(KT::TypeObjToName(36), "???");
  EXPECT_STREQ(KT::TypeAlignToName(5), "K");
  EXPECT_STREQ(KT::TypeAlignToName(9), "?");
  EXPECT_EQ(KT::TypeAlignToElemSz(KT::aBit), -8);
  EXPECT_EQ(KT::TypeAlignToElemSz(KT::aKB), 4);  // reported size, not the machine's
  EXPECT_EQ(KT::TypeAlignToElemSz(KT::aPtr), 4);
  EXPECT_STREQ(KT::TypeErrorToName(0), "NULL");
  EXPECT_STREQ(KT::TypeErrorToName(12), "Unsupported error");
  EXPECT_STREQ(KT::TypeErrorToName(16), "Unsupported error");
  EXPECT_STREQ(KT::TypeErrorToName(255), "Unsupported error");
  EXPECT_STREQ(KT::TypeTokToName(29), "Symbol");
  EXPECT_STREQ(KT::TypeTokToName(3), "???");
}

TEST(KtypesFlow, DecrementOnlyActsOnReturn) {
  KT::KBR r;
  EXPECT_TRUE(r.IsZero());
  r.kind = 1;
  r.Decrement();
  EXPECT_EQ(r.kind, 1);
  r.kind = 3;
  r.count = 2;
  r.Decrement();
  EXPECT_EQ(r.kind, 3);
  r.Decrement();
  EXPECT_TRUE(r.IsZero());
  r.kind = 3;
  r.count = 0;
  r.Decrement();
  EXPECT_TRUE(r.IsZero());
}

TEST(KtypesTables, CaseMapsCoverAccentedPairs) {
  EXPECT_EQ(KT::UC[U('a')], U('A'));
  EXPECT_EQ(KT::LC[U('\xC9')], U('\xE9'));  // É -> é
  EXPECT_EQ(KT::UC[U('\xFF')], 0x9F);        // ÿ -> Ÿ
  EXPECT_EQ(KT::UC[U('\xDF')], 0xDF);        // ß has no upper case here
  EXPECT_EQ(KT::UC[U('1')], U('1'));
}

TEST(KtypesTables, TarqCollationFoldsCaseAndAccents) {
  EXPECT_EQ(KT::CSTARQ[0], 0);
  EXPECT_EQ(KT::CSTARQ[U('0')], 1);
  EXPECT_EQ(KT::CSTARQ[U('9')], 10);
  EXPECT_EQ(KT::CSTARQ[U('a')], 11);
  EXPECT_EQ(KT::CSTARQ[U('b')], 25);
  EXPECT_EQ(KT::CSTARQ[U('c')], 27);
  EXPECT_EQ(KT::CSTARQ[U('z')], 115);
  EXPECT_EQ(KT::CSTARQ[U('_')], 117);
  EXPECT_EQ(KT::CSTARQ[U('\xC9')], KT::CSTARQ[U('e')]);
  EXPECT_EQ(KT::CSTARQ[U('\xDF')], KT::CSTARQ[U('s')]);  // ß folds to s
  EXPECT_EQ(KT::CSTARQ[U(' ')], 0);
  EXPECT_EQ(KT::CSTARQ[U('\xE7')], 0);  // ç is not in the list
  EXPECT_EQ(KT::AlphaNorm(U('\xE7')), 0);
  EXPECT_EQ(KT::AlphaTARQ(U('\xC0')), U('a'));
}

TEST(KtypesTables, ExactCollationIsAPermutation) {
  std::set<int> seen(KT::CSExact, KT::CSExact + 256);
  EXPECT_EQ(seen.size(), 256u);
  EXPECT_EQ(KT::CSExact[U(' ')], 0);
  EXPECT_EQ(KT::CSExact[U('.')], 1);
  EXPECT_EQ(KT::CSExact[U('0')], 2);
  EXPECT_LT(KT::CSExact[U('a')], KT::CSExact[U('A')]);
  EXPECT_LT(KT::CSExact[U('A')], KT::CSExact[U('\xE0')]);
  EXPECT_LT(KT::CSExact[U('Z')], KT::CSExact[U('!')]);
  EXPECT_LT(KT::CSExact[U(':')], KT::CSExact[U('_')]);  // '_' after punctuation here
  EXPECT_EQ(KT::CSExact[0xA0], 255);
  for (int c = 0; c < 256; ++c) EXPECT_EQ(KT::CSExact[c], KT::CSExactDefault[c]);
}

TEST(KtypesSwitch, DummySwitchAlwaysReadsOff) {
  KT::swDummy = true;
  EXPECT_FALSE(KT::SwRead(&KT::swDummy));
  bool on = true;
  EXPECT_TRUE(KT::SwRead(&on));
}
