// Tests for the grade and mark machinery that scripts cannot observe in
// detail: the radix grade against a plain stable sort (ties, nils, signed
// zeros, both directions), the merge grade of strings, and the packed mark
// loop across block and byte boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "KArg.h"
#include "KBit.h"
#include "KNum.h"
#include "KOps.h"
#include "KString.h"

namespace {

class KOpsSelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KT::Init();
    KOps::TblInit();
  }
};

template <class T>
KNum* Make(const std::vector<T>& v) {
  const KT::KAL al = sizeof(T) == 4 ? KT::aInt : KT::aFloat;
  KNum* r = new KNum(al, static_cast<int>(v.size()));
  if (!v.empty()) std::memcpy(r->VoidPtr(), v.data(), v.size() * sizeof(T));
  return r;
}

std::vector<int32_t> GradeOf(KB* v, bool up) {
  KA a(v);
  KOps::Grade(a, up);
  const int32_t* p = a.As<KNum>()->IntPtr();
  return std::vector<int32_t>(p, p + a.Cnt());
}

// The expected grade: a stable sort of the positions by value.
template <class T>
std::vector<int32_t> StableGrade(const std::vector<T>& v, bool up) {
  std::vector<int32_t> p(v.size());
  for (size_t i = 0; i < v.size(); ++i) p[i] = static_cast<int32_t>(i) + 1;
  std::stable_sort(p.begin(), p.end(), [&](int32_t x, int32_t y) {
    return up ? v[static_cast<size_t>(x - 1)] < v[static_cast<size_t>(y - 1)]
              : v[static_cast<size_t>(y - 1)] < v[static_cast<size_t>(x - 1)];
  });
  return p;
}

TEST_F(KOpsSelectTest, RadixGradeOfIntsIsStableBothWays) {
  std::mt19937 rng(7);
  for (int n : {2, 3, 17, 1000, 5000}) {
    std::vector<int32_t> v(static_cast<size_t>(n));
    // Few distinct values (many ties), both signs, the extremes and the nil.
    const int32_t pool[] = {0, -1, 1, 5, -70000, 70000, INT32_MIN, KT::iNil, 42};
    for (auto& e : v) e = pool[rng() % 9];
    KA hold;
    hold.Owns(Make(v));
    EXPECT_EQ(GradeOf(hold.value, true), StableGrade(v, true)) << n;
    EXPECT_EQ(GradeOf(hold.value, false), StableGrade(v, false)) << n;
  }
}

TEST_F(KOpsSelectTest, RadixGradeOfFloatsPutsNilLastAndTiesTheZeros) {
  std::vector<double> v = {2.5, -0.0, KT::fNil, 0.0, -1e300, 2.5, -0.0, 1e-300, -2.5, KT::fNil};
  KA hold;
  hold.Owns(Make(v));
  // -0 and 0 compare equal, so they keep their positions (2, 4, 7).
  EXPECT_EQ(GradeOf(hold.value, true), (std::vector<int32_t>{5, 9, 2, 4, 7, 8, 1, 6, 3, 10}));
  EXPECT_EQ(GradeOf(hold.value, false), (std::vector<int32_t>{3, 10, 1, 6, 8, 2, 4, 7, 9, 5}));
  std::mt19937 rng(11);
  std::vector<double> w(3000);
  for (auto& e : w) e = static_cast<double>(static_cast<int>(rng() % 50) - 25) / 4;
  KA big;
  big.Owns(Make(w));
  EXPECT_EQ(GradeOf(big.value, true), StableGrade(w, true));
  EXPECT_EQ(GradeOf(big.value, false), StableGrade(w, false));
}

TEST_F(KOpsSelectTest, ExactStringGradeIsAStableMergeOfLongRuns) {
  std::mt19937 rng(3);
  std::string s(700, ' ');
  for (char& c : s) c = static_cast<char>('a' + rng() % 5);
  KA str;
  str.Owns(new KString(s));
  str.value->exact = 1;
  std::vector<unsigned char> bytes(s.begin(), s.end());
  std::vector<int32_t> want(bytes.size());
  for (size_t i = 0; i < want.size(); ++i) want[i] = static_cast<int32_t>(i) + 1;
  std::stable_sort(want.begin(), want.end(),
                   [&](int32_t x, int32_t y) { return bytes[static_cast<size_t>(x - 1)] < bytes[static_cast<size_t>(y - 1)]; });
  EXPECT_EQ(GradeOf(str.value, true), want);
}

std::string Bits(KA& a) {
  EXPECT_EQ(a.Type(), KT::tBit);
  std::string s;
  for (int i = 0; i < a.Cnt(); ++i) s += a.As<KBit>()->BitGet(i) ? '1' : '0';
  return s;
}

TEST_F(KOpsSelectTest, PackedMarksMatchElementComparisonsAcrossBlocks) {
  // 1100 elements cross the 512-element blocks and end inside a byte.
  std::vector<int32_t> v(1100);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int32_t>((i * 37) % 101);
  std::vector<double> f(v.begin(), v.end());
  const int32_t pivot = 50;
  std::string lt, ge;
  for (int32_t e : v) {
    lt += e < pivot ? '1' : '0';
    ge += e >= pivot ? '1' : '0';
  }
  KA l, r(pivot);
  l.Owns(Make(v));
  KOps::op2A3C(l, r);  // "*<" against a scalar
  EXPECT_EQ(Bits(l), lt);
  KA lf, rf;
  lf.Owns(Make(f));
  rf.Owns(Make(std::vector<int32_t>(v.size(), pivot)));
  KOps::op2A3C(lf, rf);  // Float against Int, element by element
  EXPECT_EQ(Bits(lf), lt);
  KA a, b(pivot);
  a.Owns(Make(v));
  KOps::op2A3E3D(a, b);  // "*>=" through the comparison loop
  EXPECT_EQ(Bits(a), ge);
  // Bits past the count stay zero in the last byte.
  EXPECT_EQ(l.As<KBit>()->Bytes()[1099 / 8] & 0x0F, 0);
}

TEST_F(KOpsSelectTest, MarksOfAnIntNilAgainstAFloatNilAreEqual) {
  KA l, r;
  l.Owns(Make(std::vector<int32_t>{KT::iNil, 1}));
  r.Owns(Make(std::vector<double>{KT::fNil, 1.0}));
  KOps::op2A3D(l, r);
  EXPECT_EQ(Bits(l), "11");
}

}  // namespace
