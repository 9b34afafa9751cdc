// Tests for KOps: the operator table (order, ids, forms, lookups, listing),
// the element loops and the operators of the core and structural families.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KArg.h"
#include "KBit.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsLoops.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

struct ListEntry {
  int id;
  const char* symbol;
  int n, m, d;
  const char *tn, *tm, *td;
};
const ListEntry kList[] = {
#define KOP(id, sym, name, n, tn, m, tm, d, td) {id, sym, n, m, d, tn, tm, td},
#include "KOpsList.h"
#undef KOP
};

class KOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KT::Init();
    KOps::TblInit();
  }
  static int Idx(const char* s) { return KOps::OpIdxGet(s); }
  static const KOps::KOpRec& Rec(const char* s) { return KOps::fOpsTbl[Idx(s)]; }
};

// Expects a KError of the given code whose message begins with `msg`.
template <class F>
void ExpectErr(F f, KT::KET code, const std::string& msg) {
  try {
    f();
    ADD_FAILURE() << "no error, expected " << msg;
  } catch (KError& e) {
    EXPECT_EQ(e.code, code) << e.message;
    EXPECT_EQ(e.message.substr(0, msg.size()), msg) << e.message;
  }
}

KNum* Ints(std::vector<int32_t> v) {
  void* p = KB::AllocData(KB::StorageBytes(KT::aInt, static_cast<int>(v.size())), false);
  if (!v.empty()) std::memcpy(p, v.data(), v.size() * 4);
  return new KNum(p, KT::aInt, static_cast<int>(v.size()), static_cast<int>(v.size()));
}
KNum* Flts(std::vector<double> v) {
  void* p = KB::AllocData(KB::StorageBytes(KT::aFloat, static_cast<int>(v.size())), false);
  if (!v.empty()) std::memcpy(p, v.data(), v.size() * 8);
  return new KNum(p, KT::aFloat, static_cast<int>(v.size()), static_cast<int>(v.size()));
}
std::vector<int32_t> IntsOf(KA& a) {
  EXPECT_EQ(a.Type(), KT::tNum);
  EXPECT_EQ(a.Align(), KT::aInt);
  const int32_t* p = a.As<KNum>()->IntPtr();
  return std::vector<int32_t>(p, p + a.Cnt());
}
std::vector<double> FltsOf(KA& a) {
  EXPECT_EQ(a.Align(), KT::aFloat);
  const double* p = a.As<KNum>()->FltPtr();
  return std::vector<double>(p, p + a.Cnt());
}
std::string BitsOf(KA& a) {
  EXPECT_EQ(a.Type(), KT::tBit);
  std::string s;
  for (int i = 0; i < a.Cnt(); ++i) s += a.As<KBit>()->BitGet(i) ? '1' : '0';
  return s;
}
KSeq* SeqOf(std::initializer_list<KB*> items) {
  KSeq* s = new KSeq();
  for (KB* v : items) s->AppendOwned(v);
  return s;
}

constexpr int32_t IN = KT::iNil;
constexpr double FN = KT::fNil;

}  // namespace

// ---------------------------------------------------------------- table

TEST_F(KOpsTest, TableIsSortedLongestFirstThenCaseInsensitive) {
  KOps a, b;  // further constructions leave the table alone
  ASSERT_EQ(KOps::nOps, 214);
  for (int i = 0; i + 1 < KOps::nOps; ++i) {
    EXPECT_TRUE(KOps::byOpGT(KOps::fOpsTbl, i + 1, i, false)) << KOps::fOpsTbl[i].symbol;
    EXPECT_FALSE(KOps::byOpGT(KOps::fOpsTbl, i, i + 1, false)) << KOps::fOpsTbl[i].symbol;
  }
  EXPECT_STREQ(KOps::fOpsTbl[0].symbol, "#CRCCSWS");
  EXPECT_STREQ(KOps::fOpsTbl[1].symbol, "#CSExact");
  EXPECT_EQ(std::strlen(KOps::fOpsTbl[KOps::nOps - 1].symbol), 1u);
  ExpectErr([] { int o[1] = {0}; KOps::TblSort(o, static_cast<KOps::TOpSortBy>(1)); },
            KT::eNotSupp, "Sort type");
}

TEST_F(KOpsTest, IdsTextsAndFormsFollowTheDeclarationList) {
  std::vector<bool> seen(KOps::nOps, false);
  for (const ListEntry& e : kList) {
    const int i = Idx(e.symbol);
    ASSERT_GE(i, 0) << e.symbol;
    const KOps::KOpRec& r = KOps::fOpsTbl[i];
    EXPECT_EQ(r.id, e.id) << e.symbol;
    seen[static_cast<size_t>(r.id - 100)] = true;
    EXPECT_STREQ(r.txtN, e.tn);
    EXPECT_STREQ(r.txtM, e.tm);
    EXPECT_STREQ(r.txtD, e.td);
    EXPECT_EQ(r.fnN == &KOps::opErrN, e.n == 0) << e.symbol;
    EXPECT_EQ(r.fnN == r.fnM, e.n == 2) << e.symbol;
    EXPECT_EQ(r.fnM == &KOps::opErrM, e.m == 0) << e.symbol;
    EXPECT_EQ(r.fnD == &KOps::opErrD, e.d == 0) << e.symbol;
  }
  for (bool s : seen) EXPECT_TRUE(s);
  EXPECT_EQ(Rec("#ACOS").id, 100);
  EXPECT_EQ(Rec("~~&").id, 313);
  // The special niladic slots and "#X".
  for (const char* s : {"%*", "%**", "*"}) EXPECT_EQ(Rec(s).fnN, Rec(s).fnM) << s;
  const KOps::KOpRec& x = Rec("#X");
  EXPECT_EQ(x.fnN, &KOps::opErrN);
  EXPECT_EQ(x.fnM, &KOps::opErrM);
  EXPECT_EQ(x.fnD, &KOps::opErrD);
  EXPECT_NE(Rec("#CRC").fnN, &KOps::opErrN);
  EXPECT_STREQ(Rec("#CRC").txtN, "");
  // Placeholders are distinct functions that change nothing.
  EXPECT_NE(reinterpret_cast<void*>(&KOps::opErrN), reinterpret_cast<void*>(&KOps::opErrM));
  KA one(1), two(2);
  EXPECT_EQ(&KOps::opErrD(one, two), &one);
  EXPECT_EQ(&KOps::opErrM(one), &one);
  EXPECT_EQ(&KOps::opErrN(one), &one);
  EXPECT_EQ(IntsOf(one), std::vector<int32_t>{1});
}

TEST_F(KOpsTest, OpTokenFindsTheLongestOperator) {
  EXPECT_STREQ(KOps::OpToken("->>& 'x'"), "->>&");
  EXPECT_STREQ(KOps::OpToken("->5"), "->");
  EXPECT_STREQ(KOps::OpToken("->>5"), "->>");
  EXPECT_STREQ(KOps::OpToken("#crc32 x"), "#CRC32");
  EXPECT_STREQ(KOps::OpToken("#CrC32"), "#CRC32");
  EXPECT_STREQ(KOps::OpToken("#crc 1"), "#CRC");
  EXPECT_STREQ(KOps::OpToken("#CSEXACT"), "#CSExact");
  const char* cos = KOps::OpToken("#cos");
  EXPECT_EQ(cos, Rec("#COS").symbol);  // the table's own text
  EXPECT_STREQ(KOps::OpToken("+3"), "+");
  EXPECT_EQ(KOps::OpToken("abc"), nullptr);
  EXPECT_EQ(KOps::OpToken(""), nullptr);
  EXPECT_EQ(KOps::OpToken(nullptr), nullptr);
}

TEST_F(KOpsTest, OpIdxGetFindsEverySymbolInAnyCase) {
  for (int i = 0; i < KOps::nOps; ++i) {
    std::string s = KOps::fOpsTbl[i].symbol;
    EXPECT_EQ(KOps::OpIdxGet(s.c_str()), i) << s;
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(KOps::OpIdxGet(s.c_str()), i) << s;
  }
  EXPECT_EQ(Idx("#CRCCSWS"), 0);
  EXPECT_EQ(Idx(KOps::fOpsTbl[KOps::nOps - 1].symbol), KOps::nOps - 1);
  EXPECT_EQ(Idx(""), -1);
  EXPECT_EQ(Idx("#NOPE"), -1);
  EXPECT_EQ(Idx("+++"), -1);
  EXPECT_EQ(Idx("#CRCCSWSX"), -1);
  EXPECT_EQ(Idx(nullptr), -1);
}

TEST_F(KOpsTest, NamesFunctionsAndSpecialIndices) {
  EXPECT_STREQ(KOps::OpNameGet(214), "Unknown operator");
  EXPECT_STREQ(KOps::OpNameGet(-1), "Unknown operator");
  EXPECT_STREQ(KOps::OpNameGet(Idx("+")), "+");
  EXPECT_EQ(KOps::FnDGet(214), nullptr);
  EXPECT_EQ(KOps::FnMGet(-1), nullptr);
  EXPECT_EQ(KOps::FnNGet(214), nullptr);
  EXPECT_EQ(KOps::FnDGet(Idx("#COS")), &KOps::opErrD);
  EXPECT_EQ(KOps::iExec, Idx("#X"));
  EXPECT_EQ(KOps::iArgs, Idx("#ARGS"));
  EXPECT_EQ(KOps::iAssign, Idx("=>"));
  EXPECT_EQ(KOps::iIdxAssign, Idx("=>["));
  EXPECT_EQ(KOps::iCatAssign, Idx(",=>"));
  EXPECT_EQ(KOps::iAtEach, Idx("@&"));
  EXPECT_EQ(KOps::iEach, Idx("#EA"));
  EXPECT_EQ(KOps::iPgm, Idx("#PGM"));
  EXPECT_EQ(KOps::iOpUD, Idx("#OP"));
  EXPECT_EQ(KOps::iExists, Idx("*"));
  EXPECT_EQ(KOps::iExistsDeep, Idx("***"));
  EXPECT_EQ(KOps::iRef, Idx("@"));
  EXPECT_EQ(KOps::iIsRef, Idx("?@"));
  EXPECT_EQ(KOps::iSys, Idx("#SYS"));
  for (int s : {KOps::iExec, KOps::iSys, KOps::iRef}) EXPECT_GE(s, 0);
}

TEST_F(KOpsTest, PendingFormsRaiseNotImplementedWithTheirSymbol) {
  KA a(1), b(2);
  ExpectErr([&] { KOps::FnDGet(Idx("#FMT"))(a, b); }, KT::eNotImpl, "opFmtDy");
  EXPECT_EQ(IntsOf(a), std::vector<int32_t>{1});
}

TEST_F(KOpsTest, ListingHoldsEveryOperatorSortedExactly) {
  KA r;
  KOps::opOps(r);
  ASSERT_EQ(r.Type(), KT::tSeq);
  KSeq* s = r.As<KSeq>();
  ASSERT_EQ(s->Count(), 214);
  bool plus = false;
  std::string prev;
  for (int i = 0; i < s->Count(); ++i) {
    ASSERT_EQ(s->Slots()[i]->typen(), KT::tString);
    std::string t = static_cast<KString*>(s->Slots()[i])->Value();
    EXPECT_EQ(t.substr(0, 3), "Op:");
    if (i > 0) {
      EXPECT_LE(KB::CollateCmp(prev.data(), static_cast<int>(prev.size()), t.data(),
                               static_cast<int>(t.size()), KT::CSExact), 0)
          << prev << " / " << t;
    }
    plus = plus || t == "Op:+; [N]; [M]N:Signum; [D]N:Plus";
    prev = t;
  }
  EXPECT_TRUE(plus);
}

// ---------------------------------------------------------------- element loops

TEST(KOpsLoops, DyadicNilsAndWrapping) {
  using namespace KLoop;
  int32_t a[] = {3, IN, 5, 2147483646, -2147483647 - 1};
  const int32_t b[] = {IN, 3, 7, 3, -1};
  int32_t into[5];
  DyadicInto(into, a, b, 5, tplPlus());
  DyadicInPlace(a, b, 5, tplPlus());
  const std::vector<int32_t> want = {IN, IN, 12, -2147483647, 2147483647};
  EXPECT_EQ(std::vector<int32_t>(a, a + 5), want);
  EXPECT_EQ(std::vector<int32_t>(into, into + 5), want);
  double f[] = {3, FN, 2.5};
  const double g[] = {FN, 3, 0.5};
  DyadicInPlace(f, g, 3, tplMinus());
  EXPECT_EQ(f[0], FN);
  EXPECT_EQ(f[1], FN);
  EXPECT_EQ(f[2], 2.0);
  double p[] = {2, 9};
  const double q[] = {10, 0.5};
  DyadicInPlace(p, q, 2, tplPower());
  EXPECT_EQ(p[0], 1024.0);
  EXPECT_EQ(p[1], 3.0);
}

TEST(KOpsLoops, ComparisonBitsNilsAndShortRight) {
  using namespace KLoop;
  // 19 elements: two full bytes and a tail; the right has 17.
  std::vector<int32_t> a(19), b(17);
  for (int i = 0; i < 19; ++i) a[static_cast<size_t>(i)] = i;
  for (int i = 0; i < 17; ++i) b[static_cast<size_t>(i)] = 8;
  a[2] = IN;             // one nil: 0
  a[3] = IN, b[3] = IN;  // both nil: compared (IN <= IN)
  b[4] = IN;             // one nil: 0
  unsigned char bits[3] = {0xFF, 0xFF, 0xFF};
  CompareBits(bits, a.data(), 19, b.data(), 17, tplLE());
  std::string s;
  for (int i = 0; i < 24; ++i) s += (bits[i / 8] & (0x80 >> (i % 8))) ? '1' : '0';
  EXPECT_EQ(s, "110101111000000000000000");
  double x[] = {1.5, FN, 2};
  const double y[] = {1.5, FN, 1};
  unsigned char fb[1];
  CompareBits(fb, x, 3, y, 3, tplGE());
  EXPECT_EQ(fb[0], 0xE0);
}

TEST(KOpsLoops, MonadicReductionAndScan) {
  using namespace KLoop;
  int32_t a[] = {1, IN, -3};
  Monadic(a, a, 3, tplNegate());
  EXPECT_EQ(std::vector<int32_t>(a, a + 3), (std::vector<int32_t>{-1, IN, 3}));
  double r[] = {0, 4, FN};
  Monadic(r, r, 3, tplReciprocal());
  EXPECT_EQ(r[0], FN);
  EXPECT_EQ(r[1], 0.25);
  EXPECT_EQ(r[2], FN);

  const int32_t red[] = {IN, 2, IN, 5, 1};
  EXPECT_EQ(Reduce(red, 5, tplPlus()), 8);
  EXPECT_EQ(Reduce(red, 5, tplLarger()), 5);
  EXPECT_EQ(Reduce(red, 5, tplSmaller()), 1);
  const int32_t nils[] = {IN, IN};
  EXPECT_EQ(Reduce(nils, 2, tplPlus()), IN);
  const double fr[] = {10, 3, FN, 2};
  EXPECT_EQ(Reduce(fr, 4, tplMinus()), 5.0);

  int32_t sc[] = {IN, 1, 2, IN, 3, 4};
  Scan(sc, sc, 6, tplPlus());
  EXPECT_EQ(std::vector<int32_t>(sc, sc + 6), (std::vector<int32_t>{IN, 1, 3, 3, 6, 10}));
}

TEST(KOpsLoops, DriversWorkInPlaceOnlyOnPrivateValues) {
  KA left, right;
  left.Owns(Ints({1, 2, IN}));
  right.Owns(Ints({10, 20, 30}));
  void* before = left.value->descriptor->data;
  KLoop::DyadicNum(left, right, KLoop::tplPlus());
  EXPECT_EQ(left.value->descriptor->data, before);
  EXPECT_EQ(IntsOf(left), (std::vector<int32_t>{11, 22, IN}));

  KA shared(left);  // a second holder: the original must not change
  KLoop::DyadicNum(left, right, KLoop::tplMinus());
  EXPECT_EQ(IntsOf(left), (std::vector<int32_t>{1, 2, IN}));
  EXPECT_EQ(IntsOf(shared), (std::vector<int32_t>{11, 22, IN}));

  KA same(shared);  // both operands the same data
  KLoop::DyadicNum(shared, same, KLoop::tplPlus());
  EXPECT_EQ(IntsOf(shared), (std::vector<int32_t>{22, 44, IN}));
  EXPECT_EQ(IntsOf(same), (std::vector<int32_t>{11, 22, IN}));

  KA f;
  f.Owns(Flts({1.5, FN}));
  KLoop::MonadicNum(f, KLoop::tplNegate());
  EXPECT_EQ(FltsOf(f), (std::vector<double>{-1.5, FN}));
  KLoop::ScanNum(f, KLoop::tplPlus());
  EXPECT_EQ(FltsOf(f), (std::vector<double>{-1.5, -1.5}));
  KLoop::ReduceNum(f, KLoop::tplPlus());
  EXPECT_EQ(FltsOf(f), (std::vector<double>{-3.0}));
  KLoop::ReduceNum(f, KLoop::tplPlus());  // one element: unchanged
  EXPECT_EQ(FltsOf(f), (std::vector<double>{-3.0}));

  KA l2, r2;
  l2.Owns(Ints({1, 5, 3}));
  r2.Owns(Ints({2, 5}));
  KLoop::CompareNum(l2, r2, KLoop::tplLE());
  EXPECT_EQ(BitsOf(l2), "110");
  KA s("ab"), n(1);
  ExpectErr([&] { KLoop::CompareNum(s, n, KLoop::tplLE()); }, KT::eValue, "Arguments don't match");
  KA fl;
  fl.Owns(Flts({1}));
  ExpectErr([&] { KLoop::DyadicNum(n, fl, KLoop::tplPlus()); }, KT::eValue, "Arguments don't match");
}

// ---------------------------------------------------------------- core family

TEST_F(KOpsTest, FlagsScopeAndReferenceTests) {
  KA seq;
  seq.Owns(SeqOf({new KString("b"), new KString("a")}));
  KOps::op403D3D(seq);  // "@=="
  EXPECT_EQ(seq.value->exact, 1);
  EXPECT_EQ(seq.As<KSeq>()->Slots()[1]->exact, 1);
  KOps::FnNGet(Idx("@="))(seq);
  EXPECT_EQ(seq.value->exact, 0);
  EXPECT_EQ(seq.As<KSeq>()->Slots()[0]->exact, 0);
  KOps::op403E(seq);  // "@>"
  EXPECT_EQ(seq.value->direction, 1);
  KOps::op403C(seq);  // "@<"
  EXPECT_EQ(seq.value->direction, 0);
  KOps::op403E3C(seq);  // "@><"
  EXPECT_EQ(seq.value->mark, 1);

  KA none, found(7);
  found.value->level = 2;
  KOps::FnNGet(Idx("*"))(none);  // the niladic slot holds "Scope"
  EXPECT_EQ(IntsOf(none), std::vector<int32_t>{-1});
  KOps::op2A(found);
  EXPECT_EQ(IntsOf(found), std::vector<int32_t>{2});

  KA n(3);
  KOps::op3F40(n);  // "?@"
  EXPECT_EQ(BitsOf(n), "0");
  KA args(5);
  EXPECT_EQ(&KOps::opARGS_N(args), &args);
  EXPECT_EQ(IntsOf(args), std::vector<int32_t>{5});
}

TEST_F(KOpsTest, ConstantNiladicsAndNamespaces) {
  KA t, f, nil, seq, ns;
  KOps::opTRUE_N(t);
  KOps::opFALSE_N(f);
  EXPECT_EQ(BitsOf(t), "1");
  EXPECT_EQ(BitsOf(f), "0");
  KOps::opNIL_N(nil);
  EXPECT_EQ(nil.Type(), KT::tNil);
  KOps::opSEQ_N(seq);
  EXPECT_EQ(seq.Type(), KT::tSeq);
  EXPECT_EQ(seq.Cnt(), 0);
  KOps::opNS_N(ns);
  EXPECT_EQ(ns.Type(), KT::tNS);
  KA names;
  names.Owns(SeqOf({new KString("alpha"), new KString("beta")}));
  KOps::opNS(names);
  ASSERT_EQ(names.Type(), KT::tNS);
  KA beta("beta");
  EXPECT_GE(names.As<KNS>()->IndexOf(beta.value), 0);
  ExpectErr([&] { KOps::opNS(ns, ns); }, KT::eNotSupp, "Dyadic NS");
  ExpectErr([&] { KOps::op3D3E5B(ns, ns); }, KT::eNotImpl, "=>[");
  // Assignment without a target: the monadic form is in the table and refuses.
  KOps::FnM assignAlone = KOps::FnMGet(KOps::iAssign);
  ASSERT_NE(assignAlone, &KOps::opErrM);
  ExpectErr([&] { assignAlone(ns); }, KT::eNotImpl, "Do not implement");
}

TEST_F(KOpsTest, AppendAssignChecksTheTarget) {
  KA value(4), target;
  target.Owns(SeqOf({new KNum(static_cast<int32_t>(1))}));
  KOps::op2C3D3E(value, target);
  EXPECT_EQ(value.value, target.value);
  EXPECT_EQ(target.Cnt(), 2);
  KA far;
  far.Owns(SeqOf({}));
  far.value->level = 2;
  KA v(1);
  ExpectErr([&] { KOps::op2C3D3E(v, far); }, KT::eTarget, "Out of scope");
  KA nil;
  nil.Owns(new KNil());
  ExpectErr([&] { KOps::op2C3D3E(v, nil); }, KT::eNotSupp, ",=>(#nil)");
  KA bits;
  bits = true;
  ExpectErr([&] { KOps::op2C3D3E(v, bits); }, KT::eNotSupp, "Target");
}

TEST_F(KOpsTest, AtEachMakesEachSequencesWithoutTouchingSharedValues) {
  KA num;
  num.Owns(Ints({4, 5}));
  KOps::op4026(num);
  ASSERT_EQ(num.Type(), KT::tSeqEa);
  ASSERT_EQ(num.Cnt(), 2);
  EXPECT_EQ(static_cast<KNum*>(num.As<KSeq>()->Slots()[1])->AsInt(), 5);

  KA str("ab");
  KOps::op4026(str);
  ASSERT_EQ(str.Type(), KT::tSeqEa);
  EXPECT_EQ(static_cast<KString*>(str.As<KSeq>()->Slots()[1])->Value(), "b");

  KA named;
  named.Owns(SeqOf({new KString("x")}));
  KA each(named);  // a second holder, as a namespace entry would be
  KOps::op4026(each);
  EXPECT_EQ(each.Type(), KT::tSeqEa);
  EXPECT_EQ(named.Type(), KT::tSeq);
  EXPECT_EQ(each.As<KSeq>()->Slots()[0], named.As<KSeq>()->Slots()[0]);

  KA ns;
  ns.Owns(new KNS());
  KB* inner = ns.value;
  KOps::op4026(ns);
  ASSERT_EQ(ns.Type(), KT::tSeqEa);
  EXPECT_EQ(ns.As<KSeq>()->Slots()[0], inner);

  KA one(1);
  ExpectErr([&] { KOps::op4026(one, one); }, KT::eNotSupp, "L Type");
  ExpectErr([&] { KOps::op4026(named, one); }, KT::eNotSupp, "R Type");
  ExpectErr([&] { KOps::op40262D(one); }, KT::eNotImpl, "At Each Row");
}

TEST_F(KOpsTest, EachChecksItsLeftPair) {
  KA l(1), r("1");
  ExpectErr([&] { KOps::opEA(l, r); }, KT::eValue, "Left Argument");
  KA pair;
  pair.Owns(SeqOf({new KNum(static_cast<int32_t>(1)), new KNum(static_cast<int32_t>(2))}));
  ExpectErr([&] { KOps::opEA(pair, r); }, KT::eSystem, "Pointer");
}

TEST_F(KOpsTest, TextForms) {
  KA n;
  n.Owns(Ints({1, 2}));
  const std::string plain = n.value->AsString(false);
  KOps::FnNGet(Idx("%*"))(n);  // the niladic slot holds "To String"
  ASSERT_EQ(n.Type(), KT::tString);
  EXPECT_EQ(n.As<KString>()->Value(), plain);
  KA nil;
  nil.Owns(new KNil());
  KOps::op252A2A(nil);
  ASSERT_EQ(nil.Type(), KT::tString);
  EXPECT_EQ(nil.Cnt(), 0);
  KA v(1), seq, str("x"), ns;
  seq.Owns(SeqOf({}));
  ns.Owns(new KNS());
  ExpectErr([&] { KOps::op252A(v, seq); }, KT::eNotImpl, "RT Sequence");
  ExpectErr([&] { KOps::op252A(v, str); }, KT::eNotImpl, "RT String");
  ExpectErr([&] { KOps::op252A(v, ns); }, KT::eNotSupp, "RT Type");
}

// ---------------------------------------------------------------- structural family

TEST_F(KOpsTest, GradeOrdersStablyInBothDirections) {
  auto grade = [](std::vector<int32_t> v, bool up) {
    KA a;
    a.Owns(Ints(v));
    KOps::Grade(a, up);
    return a.Cnt() ? IntsOf(a) : std::vector<int32_t>{};
  };
  EXPECT_EQ(grade({30, 10, 20}, true), (std::vector<int32_t>{2, 3, 1}));
  EXPECT_EQ(grade({30, 10, 20}, false), (std::vector<int32_t>{1, 3, 2}));
  EXPECT_EQ(grade({1, 2, 2, 3}, true), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(grade({1, 2, 2, 3}, false), (std::vector<int32_t>{4, 2, 3, 1}));
  EXPECT_EQ(grade({5, 5, 4, 5}, true), (std::vector<int32_t>{3, 1, 2, 4}));
  EXPECT_EQ(grade({5, 5, 4, 5}, false), (std::vector<int32_t>{1, 2, 4, 3}));
  EXPECT_EQ(grade({7}, true), (std::vector<int32_t>{1}));
  EXPECT_EQ(grade({}, true), (std::vector<int32_t>{}));
  KA f;
  f.Owns(Flts({2.5, -1, 0}));
  KOps::op60603C(f);  // "``<"
  EXPECT_EQ(IntsOf(f), (std::vector<int32_t>{1, 3, 2}));
  KA s("cab");
  KOps::op60603E(s);  // "``>"
  EXPECT_EQ(IntsOf(s), (std::vector<int32_t>{2, 3, 1}));
  KA ns;
  ns.Owns(new KNS());
  KOps::Grade(ns, true);  // no element: empty, whatever the kind
  EXPECT_EQ(ns.Type(), KT::tNum);
  EXPECT_EQ(ns.Cnt(), 0);
  KA two;
  two.Owns(new KNS());
  KA v(1);
  two.As<KNS>()->Put("a", v.value, KT::ntSymbol);
  two.As<KNS>()->Put("b", v.value, KT::ntSymbol);
  ExpectErr([&] { KOps::Grade(two, true); }, KT::eNotSupp, "type");
}

TEST_F(KOpsTest, SortUpAndDown) {
  KA a;
  a.Owns(Ints({3, 1, 2}));
  KOps::op3E3E3E(a);
  EXPECT_EQ(IntsOf(a), (std::vector<int32_t>{1, 2, 3}));
  KOps::op3C3C3C(a);
  EXPECT_EQ(IntsOf(a), (std::vector<int32_t>{3, 2, 1}));
}

TEST_F(KOpsTest, CompareIndexOfIndicesOfAndWithout) {
  KB* one = new KNum(static_cast<int32_t>(1));
  KB* text = new KString("1");
  EXPECT_NE(KOps::Compare(one, text), 0);
  EXPECT_EQ(KOps::Compare(one, one), 0);
  KA hold1, hold2;
  hold1.Owns(one);
  hold2.Owns(text);

  KA left;
  left.Owns(SeqOf({new KNum(static_cast<int32_t>(1)), new KString("a"), new KNum(static_cast<int32_t>(2)),
                   new KString("a")}));
  EXPECT_EQ(KOps::IndexOf(left.value, hold2.value, false), 0);  // "1" is not 1
  KA key("a");
  KA l1(left);
  KOps::IndexOf(l1, key, false);
  EXPECT_EQ(IntsOf(l1), std::vector<int32_t>{2});

  KA keys;
  keys.Owns(SeqOf({new KNum(static_cast<int32_t>(2)), new KString("z"), new KString("a")}));
  KA l2(left), l3(left);
  KOps::IndexOf(l2, keys, false);
  KOps::IndexOf(l3, keys, true);
  EXPECT_EQ(IntsOf(l2), (std::vector<int32_t>{3, 0, 2}));
  EXPECT_EQ(IntsOf(l3), (std::vector<int32_t>{3, 0, 2}));

  KA l4(left), key2("a");
  KOps::IndicesOf(l4, key2, false);
  EXPECT_EQ(IntsOf(l4), (std::vector<int32_t>{2, 4}));

  KA l5(left), drop("a");
  KOps::Without(l5, drop, false);
  ASSERT_EQ(l5.Type(), KT::tSeq);
  EXPECT_EQ(l5.Cnt(), 2);
  EXPECT_EQ(left.Cnt(), 4);

  KA withNil;
  withNil.Owns(SeqOf({new KNil(), new KString("q"), new KNil()}));
  KOps::op7E(withNil);  // "~": the sequence without its Nil elements
  ASSERT_EQ(withNil.Cnt(), 1);
  EXPECT_EQ(withNil.As<KSeq>()->Slots()[0]->typen(), KT::tString);

  KA num(1);
  ExpectErr([&] { KOps::IndexOf(num, key, false); }, KT::eNotSupp, "Type");
  ExpectErr([&] { KOps::Without(num, key, false); }, KT::eNotSupp, "Type");
}

TEST_F(KOpsTest, CountsDepthAndIndexGenerator) {
  KA a;
  a.Owns(Ints({4, 5, 6}));
  KA c(a);
  KOps::op23(c);  // "#"
  EXPECT_EQ(IntsOf(c), std::vector<int32_t>{3});
  KA sh(a);
  KOps::op2525(sh);  // "%%"
  EXPECT_EQ(IntsOf(sh), std::vector<int32_t>{3});
  KA d(a);
  KOps::op2A2A(d);  // "**"
  EXPECT_EQ(IntsOf(d), std::vector<int32_t>{0});
  KA nested;
  nested.Owns(SeqOf({SeqOf({new KNum(static_cast<int32_t>(1))})}));
  KOps::op2A2A(nested);
  EXPECT_EQ(IntsOf(nested), std::vector<int32_t>{1});

  KA three(3), zero(0), neg(-2);
  KOps::op60(three);
  EXPECT_EQ(IntsOf(three), (std::vector<int32_t>{1, 2, 3}));
  KOps::op60(zero);  // 1 .. 0 counts down
  EXPECT_EQ(IntsOf(zero), (std::vector<int32_t>{1, 0}));
  KOps::op60(neg);
  EXPECT_EQ(IntsOf(neg), (std::vector<int32_t>{1, 0, -1, -2}));
  KA nil(IN);  // a nil count gives the Nil value
  KOps::op60(nil);
  EXPECT_EQ(nil.Type(), KT::tNil);
  KA two;
  two.Owns(Ints({2, 1}));
  KOps::op60(two);
  ASSERT_EQ(two.Type(), KT::tSeq);
  EXPECT_EQ(two.As<KSeq>()->Slots()[0]->Count(), 2);

  KA bits;
  bits.Owns(new KBit("0010"));
  KA first(bits);
  KOps::op60(first);  // "`": the first set bit
  EXPECT_EQ(IntsOf(first), std::vector<int32_t>{3});
  KA all;
  all.Owns(new KBit("1011"));
  KOps::op6060(all);  // "``"
  EXPECT_EQ(IntsOf(all), (std::vector<int32_t>{1, 3, 4}));
  KA l(bits), want;
  want.Owns(new KBit("1"));
  KOps::op60(l, want);
  EXPECT_EQ(IntsOf(l), std::vector<int32_t>{3});
}

TEST_F(KOpsTest, EndianFlipAndNot) {
  KA s("abcdefg"), w(2);
  KOps::op3E253C(s, w);
  EXPECT_EQ(s.As<KString>()->Value(), std::string("badcfe\0\0", 8));
  KA u("abc"), w3(3);
  KOps::op3E253C(u, w3);
  EXPECT_EQ(u.As<KString>()->Value(), "abc");
  KA b, w2(2);
  b.Owns(new KBit("1000000000000001"));
  KOps::op3E253C(b, w2);
  EXPECT_EQ(BitsOf(b), "0000000110000000");
  KA n, w4(4);
  n.Owns(Ints({1}));
  ExpectErr([&] { KOps::op3E253C(n, w4); }, KT::eNotSupp, "Type");

  KA f;
  f.Owns(Ints({1, 2, 3}));
  KOps::op3E253C(f);  // ">%<"
  EXPECT_EQ(IntsOf(f), (std::vector<int32_t>{3, 2, 1}));
  KA nb;
  nb.Owns(new KBit("110"));
  KOps::op7E(nb);
  EXPECT_EQ(BitsOf(nb), "001");
  KA bad;
  bad.Owns(new KNS());
  ExpectErr([&] { KOps::op7E(bad); }, KT::eNotSupp, "Left type");
}

TEST_F(KOpsTest, ClockConstructors) {
  KA now, bang;
  KOps::opCLOCK_N(now);
  KOps::FnNGet(Idx("!"))(bang);
  EXPECT_EQ(now.Type(), KT::tClock);
  EXPECT_EQ(bang.Type(), KT::tClock);
  KA day("1900/01/01 12:00");
  KOps::opCLOCK(day);
  ASSERT_EQ(day.Type(), KT::tClock);
  EXPECT_DOUBLE_EQ(day.As<KNum>()->FltPtr()[0], 2.5);
  KA days(3.0);
  KOps::opCLOCK(days);
  EXPECT_EQ(days.Type(), KT::tClock);
  KA ns;
  ns.Owns(new KNS());
  ExpectErr([&] { KOps::opCLOCK(ns); }, KT::eNotSupp, "Type");
}
