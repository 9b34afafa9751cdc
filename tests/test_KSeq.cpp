// Tests for KSeq: growth, element ownership, structure, text forms with the
// nesting limit, fields and images.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KArg.h"
#include "KBit.h"
#include "KNum.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

// A sequence of the integers given, each appended with ownership.
KSeq* ints(std::initializer_list<int> v) {
  KSeq* s = new KSeq();
  for (int x : v) s->Append(new KNum(static_cast<int32_t>(x)), true);
  return s;
}

int intAt(KSeq* s, int i) { return static_cast<KNum*>((*s)[i])->AsInt(); }

// A chain of `levels` sequences, each the only element of the one above,
// with a number at the bottom. Depth() of the result is levels - 1.
KSeq* chain(int levels) {
  KSeq* inner = new KSeq(new KNum(static_cast<int32_t>(7)), true);
  for (int k = 1; k < levels; ++k) inner = new KSeq(inner, true);
  return inner;
}

}  // namespace

TEST(KSeq, NewSequenceHasNoSlotsAndKAlignment) {
  KSeq s;
  EXPECT_EQ(s.typen(), KT::tSeq);
  EXPECT_EQ(s.alignmentn(), KT::aKB);
  EXPECT_EQ(s.Count(), 0);
  EXPECT_EQ(s.Capacity(), 0);
  EXPECT_EQ(s.First(), nullptr);
  EXPECT_EQ(s[0], nullptr);
  EXPECT_EQ(s.size(), 0);
  KSeq ea(KT::tSeqEa);
  EXPECT_STREQ(ea.typec(), "SeqEa");
}

TEST(KSeq, GrowthRule) {
  KSeq s;
  s.Append(new KNum(1), true);
  EXPECT_EQ(s.Capacity(), 1);  // 0 -> 1
  s.Append(new KNum(2), true);
  s.Append(new KNum(3), true);
  EXPECT_EQ(s.Capacity(), 3);  // 1 -> 2 -> 3
  s.Append(new KNum(4), true);
  EXPECT_EQ(s.Capacity(), 4);  // 3 -> 4
  KSeq t;
  t.addSlots(10);
  EXPECT_EQ(t.Capacity(), 10);
  for (int i = 0; i < 10; ++i) t.Append(new KNum(i), true);
  EXPECT_EQ(t.Capacity(), 10);
  t.Append(new KNum(10), true);
  EXPECT_EQ(t.Capacity(), 12);  // 10 + 10 / 5
  EXPECT_EQ(t.Count(), 11);
  EXPECT_EQ(intAt(&t, 10), 10);
  EXPECT_EQ(t.size(), 44);  // a reference counts 4 bytes
}

TEST(KSeq, AppendOwnershipAndRelease) {
  KNum* v = new KNum(5);
  {
    KSeq s;
    s.Append(v, false);  // the sequence takes its own reference
    EXPECT_EQ(v->descriptor->refs, 2);
    s += v;
    EXPECT_EQ(v->descriptor->refs, 3);
    s.UnAppend(0);  // 0 means one
    EXPECT_EQ(s.Count(), 1);
    EXPECT_EQ(v->descriptor->refs, 2);
    KSeq copy(&s);  // elements referenced again
    EXPECT_EQ(v->descriptor->refs, 3);
    EXPECT_EQ(copy[0], v);
  }
  EXPECT_EQ(v->descriptor->refs, 1);  // both sequences let go
  KB::DoneWith(v);

  KSeq s;
  s.Append(nullptr, false);  // a missing element becomes an empty value
  EXPECT_EQ(s[0]->typen(), KT::tNV);
}

TEST(KSeq, ReplaceAndUnAppend) {
  KSeq* s = ints({1, 2, 3});
  KNum* keep = static_cast<KNum*>((*s)[1]);
  keep->Reference(true);
  s->Replace(1, new KNum(20), true);
  EXPECT_EQ(keep->descriptor->refs, 1);  // the old element was released
  EXPECT_EQ(intAt(s, 1), 20);
  KB::DoneWith(keep);
  KNum* lost = new KNum(9);
  s->Replace(7, lost, true);  // outside: nothing stored, the adopted value released
  EXPECT_EQ(s->Count(), 3);
  s->UnAppend(99);
  EXPECT_EQ(s->Count(), 0);
  KB::DoneWith(s);
}

TEST(KSeq, AppendEachIncludingItself) {
  KSeq* s = ints({1, 2});
  KSeq* t = ints({3});
  s->AppendEach(t, false);
  EXPECT_EQ(s->Count(), 3);
  EXPECT_EQ((*t)[0]->descriptor->refs, 2);
  s->AppendEach(s, false);
  ASSERT_EQ(s->Count(), 6);
  EXPECT_EQ(intAt(s, 5), 3);
  s->AppendEach(new KNum(4), true);  // not a sequence: one element
  EXPECT_EQ(s->Count(), 7);
  KB::DoneWith(t);
  KB::DoneWith(s);
}

TEST(KSeq, IndexingByPositions) {
  KSeq* s = ints({10, 20, 30});
  KNum idx("3 0 1 4", -1);
  KSeq* r = s->IndexedBy(&idx);
  ASSERT_EQ(r->Count(), 4);
  EXPECT_EQ(intAt(r, 0), 30);
  EXPECT_EQ((*r)[1]->typen(), KT::tNV);
  EXPECT_EQ(intAt(r, 2), 10);
  EXPECT_EQ((*r)[3]->typen(), KT::tNV);
  EXPECT_EQ((*s)[2]->descriptor->refs, 2);  // shared with the result
  KB* one = s->IndexedBy(1);
  EXPECT_EQ(static_cast<KNum*>(one)->AsInt(), 20);
  KB::DoneWith(one);
  KB* none = s->IndexedBy(5);
  EXPECT_EQ(none->typen(), KT::tNV);
  KB::DoneWith(none);
  KNum first(static_cast<int32_t>(0));
  EXPECT_EQ((*s)[&first], (*s)[0]);
  KB::DoneWith(r);
  KB::DoneWith(s);
}

TEST(KSeq, IdxAssignStoresAtPositions) {
  KSeq* s = ints({1, 2, 3});
  KNum two(static_cast<int32_t>(2));
  KNum v(static_cast<int32_t>(9));
  s->IdxAssign(&v, &two);
  EXPECT_EQ(intAt(s, 1), 9);
  EXPECT_EQ(v.descriptor->refs, 2);
  KNum far(static_cast<int32_t>(8));
  s->IdxAssign(&v, &far);  // never inserts
  EXPECT_EQ(s->Count(), 3);
  KString bad("x");
  try {
    s->IdxAssign(&v, &bad);
    FAIL();
  } catch (KError& e) {
    EXPECT_EQ(e.code, KT::eValue);
    EXPECT_NE(e.message.find("Invalid index"), std::string::npos);
  }
  KB::DoneWith(s);
}

TEST(KSeq, StructureOperations) {
  KSeq* s = ints({1, 2, 3});
  KSeq* t = s->Take(5, true, false);
  ASSERT_EQ(t->Count(), 5);
  EXPECT_EQ(intAt(t, 2), 3);
  EXPECT_EQ((*t)[4]->typen(), KT::tNV);
  KB::DoneWith(t);
  t = s->Take(5, false, true);  // from the back, padded with the first element
  EXPECT_EQ(intAt(t, 0), 1);
  EXPECT_EQ(intAt(t, 1), 1);
  EXPECT_EQ(intAt(t, 4), 3);
  KB::DoneWith(t);
  t = s->Take(-1, false, false);
  ASSERT_EQ(t->Count(), 2);
  EXPECT_EQ(intAt(t, 1), 2);
  KB::DoneWith(t);
  KSeq empty;
  t = empty.Take(-3, true, false);
  EXPECT_EQ(t->Count(), 3);
  KB::DoneWith(t);

  t = s->Rotate(1);
  EXPECT_EQ(intAt(t, 0), 3);
  EXPECT_EQ(intAt(t, 1), 1);
  KB::DoneWith(t);
  t = s->Rotate(-4);
  EXPECT_EQ(intAt(t, 0), 2);
  KB::DoneWith(t);
  t = s->Flip();
  EXPECT_EQ(intAt(t, 0), 3);
  KB::DoneWith(t);
  t = s->Reshape(5);
  EXPECT_EQ(intAt(t, 3), 1);
  EXPECT_EQ(intAt(t, 4), 2);
  KB::DoneWith(t);
  KB* rg = s->Range(-1, 4);
  KSeq* r = static_cast<KSeq*>(rg);
  ASSERT_EQ(r->Count(), 6);
  EXPECT_EQ(intAt(r, 0), 1);
  EXPECT_EQ(intAt(r, 5), 3);
  KB::DoneWith(rg);
  EXPECT_THROW(s->Range(2, 1), KError);
  KSeq* c = s->Catenate(s);
  EXPECT_EQ(c->Count(), 6);
  KB::DoneWith(c);
  EXPECT_EQ((*s)[0]->descriptor->refs, 1);  // every result released its references
  KB::DoneWith(s);
}

TEST(KSeq, IsHomogeneousIgnoresNils) {
  KSeq* s = new KSeq();
  s->Append(new KNum("1 2", -1), true);
  s->Append(new KString("a"), true);
  s->Append(new KNil(), true);
  EXPECT_FALSE(s->IsHomogeneous());
  s->Replace(1, new KNum(3), true);
  EXPECT_TRUE(s->IsHomogeneous());
  KB::DoneWith(s);
}

TEST(KSeq, DepthAndQueries) {
  KSeq* s = ints({1, 2});
  EXPECT_EQ(s->Depth(0), 0);
  s->Append(ints({3}), true);
  s->Append(new KString("abc"), true);
  EXPECT_EQ(s->Depth(0), 1);
  EXPECT_EQ(KSeq::Depth(s), 1);
  KNum n(1);
  EXPECT_EQ(KSeq::Depth(&n), 0);
  int cnt = 0;
  KNum* each = s->CountEach(cnt);
  EXPECT_EQ(cnt, 4);
  EXPECT_EQ(each->IntPtr()[3], 3);
  KB::DoneWith(each);
  KNum* types = s->TypesN();
  EXPECT_EQ(types->IntPtr()[2], KT::tSeq);
  KB::DoneWith(types);
  KSeq* names = s->TypesC();
  EXPECT_EQ(names->AsString(false), "NumNumSeqString");
  KB::DoneWith(names);
  EXPECT_THROW(s->DefaultByIntValue(1, 1), KError);
  KB::DoneWith(s);
}

TEST(KSeq, TextForms) {
  KSeq* s = new KSeq();
  s->Append(new KString("ab"), true);
  s->Append(new KSeq(new KString("cd"), true), true);
  EXPECT_EQ(s->AsString(false), "abcd");
  EXPECT_EQ(s->AsString(true),
            "Seq[R1C2:K]\r\n[1]String[R1C2:C]ab\r\n[2]Seq[R1C1:K]\r\n*[1]String[R1C2:C]cd");
  EXPECT_EQ(s->Dump().rfind("KSeq::Dump:abcd", 0), 0u);
  KB::DoneWith(s);
}

TEST(KSeq, DepthLimitOfTextForms) {
  KSeq* ok = chain(101);  // Depth 100: the deepest sequence sits at level 100
  EXPECT_EQ(ok->Depth(0), 100);
  EXPECT_EQ(ok->AsString(false), "7");
  EXPECT_NO_THROW(ok->AsString(true));
  KB::DoneWith(ok);
  KSeq* deep = chain(102);
  for (bool verbose : {false, true}) {
    try {
      deep->AsString(verbose);
      FAIL();
    } catch (KError& e) {
      EXPECT_EQ(e.code, KT::eSystem);
      EXPECT_NE(e.message.find("too deep"), std::string::npos);
    }
  }
  EXPECT_THROW(deep->Depth(0), KError);
  KB::DoneWith(deep);
}

TEST(KSeq, LongChainIsReleasedWithoutRecursion) {
  KSeq* deep = chain(200000);
  KB::DoneWith(deep);  // would exhaust the stack if released level by level
  SUCCEED();
}

// Releasing a sequence must not need memory in proportion to its elements:
// it is what happens right after a growth ran out of memory. The child
// process releases 8 million elements with 16 MB of address space to spare.
[[maybe_unused]] static void ReleaseWideSequenceWithLittleRoom() {
  KSeq* s = new KSeq();
  KNum* one = new KNum(static_cast<int32_t>(1));
  for (int i = 0; i < 8000000; ++i) s->Append(one, false);
  KB::DoneWith(one);
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  if (pages > 0) {
    rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (16u << 20);
    rlimit lim{room, room};
    setrlimit(RLIMIT_AS, &lim);
  }
  KB::DoneWith(s);
  std::_Exit(0);
}

TEST(KSeq, ReleaseNeedsNoMemoryPerElement) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves address space of its own";
#else
  EXPECT_EXIT(ReleaseWideSequenceWithLittleRoom(), ::testing::ExitedWithCode(0), "");
#endif
}

// A take longer than a sequence can ever be fails at once instead of
// appending hundreds of millions of elements first.
TEST(KSeq, TakeBeyondTheLargestSequenceFailsAtOnce) {
  KSeq* s = ints({1, 2});
  KSeq* e = new KSeq();
  EXPECT_THROW(s->Take(2000000000, true, true), KError);
  EXPECT_THROW(e->Take(-2147483647, true, false), KError);
  KB::DoneWith(s);
  KB::DoneWith(e);
}

TEST(KSeq, Fields) {
  KSeq* s = ints({1, 2});
  s->Append(new KString("abc"), true);
  KString size(":SIZE");
  KB* r = s->FieldGet(&size);
  EXPECT_EQ(static_cast<KNum*>(r)->AsInt(), 3);
  KB::DoneWith(r);
  KString sizes(":sizes");
  r = s->FieldGet(&sizes);
  EXPECT_EQ(r->AsString(false), "4 4 3");
  KB::DoneWith(r);
  KString other(":what");
  r = s->FieldGet(&other);
  EXPECT_EQ(KB::TextOf(r), ":, :size , :sizes, :string, :stringV, :typeC, :typesC, :typeN, :typesN");
  KB::DoneWith(r);
  KB::DoneWith(s);
}

TEST(KSeq, EqualityAndComparison) {
  KSeq* a = ints({1, 2});
  KSeq* b = ints({1, 2});
  KSeq* c = ints({1, 3});
  EXPECT_TRUE(a->EQ(b));
  EXPECT_FALSE(a->EQ(c));
  EXPECT_EQ(a->Compare(b), 0);
  EXPECT_LT(a->Compare(c), 0);
  EXPECT_TRUE(c->GT(a, 0, 1, false));
  EXPECT_TRUE(a->GT(b, 0, 1, false));  // equal: position decides
  EXPECT_FALSE(a->GT(b, 1, 0, false));
  KB::DoneWith(a);
  KB::DoneWith(b);
  KB::DoneWith(c);
}

TEST(KSeq, NestedImageRoundTrip) {
  KSeq* s = new KSeq();
  s->Append(new KNum("1 2.5", -1), true);
  s->Append(new KString("txt"), true);
  KSeq* inner = new KSeq();
  inner->Append(new KBit("101"), true);
  inner->Append(new KNil(), true);
  s->Append(inner, true);
  std::string img = s->SO();
  ASSERT_EQ(static_cast<int>(img.size()), s->SOSz());
  EXPECT_EQ(img[0], static_cast<char>(KT::tSeq));
  EXPECT_EQ(KB::GetI32(img.data() + 4), static_cast<int>(img.size()));
  // body: the framed images of the elements in order
  std::string first = (*s)[0]->SO();
  EXPECT_EQ(img.compare(8, first.size(), first), 0);
  ASSERT_TRUE(KB::SIChk(img.data(), static_cast<int>(img.size())));
  KB* back = KSeq::SI(img.data());
  EXPECT_EQ(back->AsString(true), s->AsString(true));
  EXPECT_EQ(static_cast<KSeq*>(back)->SO(), img);
  KB::DoneWith(back);

  KSeq bad;
  bad.Append(new KSeq(KT::tNS), true);  // not serialisable as an element
  EXPECT_THROW(bad.SO(), KError);
  KB::DoneWith(s);
}

TEST(KSeq, MalformedImageIsRejected) {
  std::string img = KB::ImageHeader(KT::tSeq, 20);
  img += KB::ImageHeader(KT::tNil, 40);  // element claims more than the sequence holds
  img += std::string(4, '\0');
  EXPECT_THROW(KSeq::SI(img.data()), KError);
}

// A sequence that holds the same sub-sequence twice at every level is small
// in memory but exponential as text: the text form is cut with "...".
TEST(KSeqText, SharedSubsequencesAreCutNotExpanded) {
  KB* x = KMakeInt(1);
  for (int level = 0; level < 40; ++level) {
    KSeq* s = new KSeq();
    s->Append(x, false);
    s->Append(x, true);  // takes over the previous level's reference
    x = s;
  }
  const std::string& plain = x->AsString(false);
  EXPECT_LE(plain.size(), 4000100u);
  EXPECT_EQ(plain.substr(plain.size() - 3), "...");
  const std::string& verbose = x->AsString(true);
  EXPECT_LT(verbose.size(), 8000000u);
  KB::DoneWith(x);
}

TEST(KSeqSize, ElementSizesBeyondIntComeBackAsFloats) {
  KSeq s;
  KNum* big = new KNum();
  KNum* small = new KNum("1 2", -1);
  s.Append(big, true);
  s.Append(small, true);
  big->descriptor->count = 600000000;
  KNum* sizes = s.Sizes();
  big->descriptor->count = 0;
  ASSERT_EQ(sizes->Count(), 2);
  EXPECT_FALSE(sizes->IsInt());
  EXPECT_EQ(sizes->FltPtr()[0], 2.4e9);
  EXPECT_EQ(sizes->FltPtr()[1], 8.0);
  KB::DoneWith(sizes);
  KNum* fit = s.Sizes();
  EXPECT_TRUE(fit->IsInt());
  KB::DoneWith(fit);
}
