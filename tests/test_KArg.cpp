// Tests for the argument handle KA: sharing and reference counts, copy on
// write of named values, symbol access, coercion and conformance,
// catenation, homogenisation, comparison and images.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "KArg.h"
#include "KAssoc.h"
#include "KBit.h"
#include "KBlock.h"
#include "KClock.h"
#include "KNS.h"
#include "KNum.h"
#include "KRS.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

KNum* Nums(const char* text) { return new KNum(text, -1); }

// A handle holding a new value (the handle takes over its reference).
void Hold(KA& h, KB* v) { h.Owns(v); }

std::string Text(KA& h) { return h.value->AsString(false); }

KT::KET CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (KError& e) {
    return e.code;
  }
  return KT::eNULL;
}

// A sequence of the given values, each appended with ownership.
KSeq* SeqOf(std::initializer_list<KB*> items) {
  KSeq* s = new KSeq();
  for (KB* v : items) s->Append(v, true);
  return s;
}

}  // namespace

TEST(KArgOwnership, SharingRaisesTheCountAndEitherHandleMayGo) {
  KA* a = new KA();
  Hold(*a, Nums("1 2 3"));
  KB* v = a->value;
  EXPECT_EQ(v->descriptor->refs, 1);  // Owns leaves the new value's count at 1
  KA* b = new KA(*a);
  EXPECT_EQ(b->value, v);
  EXPECT_EQ(v->descriptor->refs, 2);
  delete a;
  EXPECT_EQ(v->descriptor->refs, 1);
  EXPECT_EQ(Text(*b), "1 2 3");
  KA c(b);  // from a pointer to a handle: shares, never nests
  EXPECT_EQ(c.value, v);
  KA d(static_cast<KB*>(b));
  EXPECT_EQ(d.value, v);
  delete b;
  EXPECT_EQ(v->descriptor->refs, 2);
}

TEST(KArgOwnership, NullAndSelfReferences) {
  KA h(5);
  h.ReferenceTo(static_cast<KB*>(nullptr));
  ASSERT_NE(h.value, nullptr);
  EXPECT_EQ(h.Type(), KT::tNV);
  KA g(7);
  KB* v = g.value;
  g.ReferenceTo(v);  // the value already held: nothing
  EXPECT_EQ(v->descriptor->refs, 1);
  g = g;
  EXPECT_EQ(v->descriptor->refs, 1);
  g.Clear();
  EXPECT_EQ(g.Type(), KT::tNV);
  g.AssignPtr(nullptr);
  EXPECT_EQ(g.Type(), KT::tNil);
  KNum n(static_cast<int32_t>(3));
  g.AssignPtr(&n);
  EXPECT_EQ(g.value, &n);
  g.Clear();
}

TEST(KArgOwnership, AssignmentOperatorsBuildValues) {
  KA h;
  h = 3;
  EXPECT_EQ(h.Align(), KT::aInt);
  h = 2.5;
  EXPECT_EQ(h.Align(), KT::aFloat);
  h = 'x';
  EXPECT_EQ(Text(h), "x");
  h = "abc";
  EXPECT_EQ(h.Type(), KT::tString);
  h = true;
  EXPECT_EQ(h.Type(), KT::tBit);
  KA same(h);
  EXPECT_TRUE(h == same);
}

TEST(KArgFix, NamedValueIsCopiedNamespaceIsNot) {
  KNS* ns = new KNS();
  KNum* v = Nums("1 2 3");
  ns->Put("x", v, KT::ntSymbol);
  KB::DoneWith(v);
  KA scope(ns);
  KB::DoneWith(ns);
  KA name("x"), h;
  KA::ValPtr(h, name, scope);
  ASSERT_EQ(h.value, v);
  h.value->level = 3;
  h.Fix();
  ASSERT_NE(h.value, v);
  EXPECT_EQ(h.value->level, 3);
  EXPECT_EQ(h.value->SID(), -1);
  h.As<KNum>()->IntPtr()[0] = 99;
  EXPECT_EQ(v->IntPtr()[0], 1);

  KA unnamed;
  Hold(unnamed, Nums("4 5"));
  KB* before = unnamed.value;
  unnamed.Fix();
  EXPECT_EQ(unnamed.value, before);

  KNS* inner = new KNS();
  ns->Put("inner", inner, KT::ntSymbol);
  KA nsHandle(inner);
  KB::DoneWith(inner);
  nsHandle.Fix();
  EXPECT_EQ(nsHandle.value, inner);
}

TEST(KArgSymbols, ChainLookupSetsLevelAndUndefinedIsNoValue) {
  KSeq* chain = SeqOf({new KNS(), new KNS(), new KNS()});
  KA scope(chain);
  KB::DoneWith(chain);
  KA value(42), name("v"), other("w");
  KA::Put(value, name, scope, KT::ntSymbol);  // innermost
  KA outer(7);
  static_cast<KNS*>((*chain)[0])->Put("w", outer.value, KT::ntSymbol);
  KA r;
  KA::ValPtr(r, name, scope);
  EXPECT_EQ(Text(r), "42");
  EXPECT_EQ(r.value->level, 0);
  KA::ValPtr(r, other, scope);
  EXPECT_EQ(Text(r), "7");
  EXPECT_EQ(r.value->level, 2);
  KA empty;
  KA::Put(empty, other, scope, KT::ntSymbol);  // an empty inner w: the search goes on
  KA::ValPtr(r, other, scope);
  EXPECT_EQ(Text(r), "7");
  KA missing("nope");
  KA::ValPtr(r, missing, scope);
  EXPECT_EQ(r.Type(), KT::tNV);
  KA::ValPtr(name, name, scope);  // result and name may be one handle
  EXPECT_EQ(Text(name), "42");

  KA num(1);
  KA::ValPtr(r, missing, num);
  EXPECT_EQ(r.Type(), KT::tNV);
  KA ref;
  Hold(ref, new KRef(static_cast<KB*>(num.value)));
  EXPECT_EQ(CodeOf([&] { KA::ValPtr(r, missing, ref); }), KT::eValue);
  EXPECT_EQ(CodeOf([&] { KA::Put(value, num, scope, KT::ntSymbol); }), KT::eValue);
  EXPECT_EQ(CodeOf([&] { KA::Put(value, missing, num, KT::ntSymbol); }), KT::eValue);
}

TEST(KArgSymbols, RefFindsTheVariableOrMakesAnAnonymousOne) {
  KNS* ns = new KNS();
  KNum* v = Nums("1 2");
  ns->Put("x", v, KT::ntSymbol);
  KB::DoneWith(v);
  KA chain;
  Hold(chain, SeqOf({ns}));
  KA pair;
  Hold(pair, SeqOf({}));
  pair.As<KSeq>()->Append(chain.value, false);
  pair.As<KSeq>()->Append(v, false);
  KA::Ref(pair);
  ASSERT_EQ(pair.Type(), KT::tRef);
  EXPECT_EQ(pair.As<KRef>()->AssocPtr(false), ns->AssocPtr("x"));
  EXPECT_EQ(Text(pair), "x@");

  KA loose;
  Hold(loose, SeqOf({}));
  loose.As<KSeq>()->Append(chain.value, false);
  KNum* free = Nums("9");
  loose.As<KSeq>()->Append(free, true);
  KA::Ref_N(loose);
  ASSERT_EQ(loose.Type(), KT::tRef);
  EXPECT_EQ(KB::TextOf(loose.As<KRef>()->KeyPtr(false)), KB::Fmt("__%d", free->ID));

  KA plain(3);
  KA::Ref(plain);
  EXPECT_EQ(Text(plain), "[Num]@");
  EXPECT_EQ(CodeOf([&] {
              KA n(1);
              KA::Ref_N(n);
            }),
            KT::eSystem);

  // Assign stores through the reference; it refuses non-references.
  KA nv(5);
  KA::Assign(nv, pair);
  EXPECT_EQ(static_cast<KNum*>(ns->ValPtr("x"))->AsInt(), 5);
  EXPECT_EQ(CodeOf([&] { KA::Assign(nv, nv); }), KT::eValue);
  EXPECT_EQ(CodeOf([&] { KA::Assign(pair, pair); }), KT::eValue);
  KA::Reveal(pair);
  EXPECT_EQ(Text(pair), "5");
  KA other(pair);
  EXPECT_TRUE(KA::IsSelf(pair, other));
}

TEST(KArgCoerce, NumbersToBitsAndBack) {
  KA h;
  Hold(h, Nums("0 5 0 _1"));
  h.CoerceTo(KT::tBit, KT::aBit);
  ASSERT_EQ(h.Type(), KT::tBit);
  EXPECT_EQ(Text(h), "0101");
  h.CoerceTo(KT::tNum, KT::aFloat);
  EXPECT_EQ(h.Align(), KT::aFloat);
  EXPECT_EQ(Text(h), "0 1 0 1");
  KA b;
  b = true;
  b.CoerceTo(KT::tString, KT::aChar);
  EXPECT_EQ(Text(b), "1");
  KA s("1 2");
  s.CoerceTo(KT::tNum, KT::aInt);
  EXPECT_EQ(Text(s), "1 2");
  KA nil;
  Hold(nil, new KNil(3));
  nil.CoerceTo(KT::tNum, KT::aFloat);
  EXPECT_EQ(Text(nil), "Nil Nil Nil");
  EXPECT_EQ(CodeOf([&] {
              KA n(1);
              n.CoerceTo(KT::tString, KT::aChar);
            }),
            KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] {
              KA q;
              Hold(q, new KSeq());
              q.CoerceTo(KT::tNum, KT::aInt);
            }),
            KT::eNotImpl);
}

TEST(KArgCoerce, CoercionNeverChangesASharedValue) {
  KA a;
  Hold(a, Nums("1 2"));
  KA b(a);
  a.CoerceTo(KT::tNum, KT::aFloat);
  EXPECT_EQ(b.Align(), KT::aInt);
  EXPECT_EQ(a.Align(), KT::aFloat);
}

TEST(KArgConform, NumericAlignments) {
  KA i(1), f(2.5);
  KA::ConformNum(i, f);
  EXPECT_EQ(i.Align(), KT::aFloat);
  KA f2(2.5), i2(1);
  KA::ConformNum(f2, i2);
  EXPECT_EQ(i2.Align(), KT::aFloat);
  KA empty, fl(1.5);
  KA::ConformNum(empty, fl);
  ASSERT_EQ(empty.Align(), KT::aFloat);
  EXPECT_EQ(empty.As<KNum>()->FltPtr()[0], KT::fNil);
  KA bits, n(3);
  bits = true;
  KA::ConformNum(bits, n);
  EXPECT_EQ(bits.Align(), KT::aInt);
  KA seq;
  Hold(seq, new KSeq());
  EXPECT_EQ(CodeOf([&] { KA::ConformNum(seq, n); }), KT::eValue);
  KA text("101");
  KA::BitConform(text);
  EXPECT_EQ(text.Type(), KT::tBit);
  EXPECT_EQ(CodeOf([&] { KA::BitConform(seq); }), KT::eValue);
}

TEST(KArgConform, LengthsExtendScalarsAndEncloseBesideSequences) {
  KA one(5), five;
  Hold(five, Nums("1 2 3 4 5"));
  KA::ConformLen(one, five);
  EXPECT_EQ(Text(one), "5 5 5 5 5");
  KA two, five2;
  Hold(two, Nums("1 2"));
  Hold(five2, Nums("6 7 8 9 10"));
  KA::ConformLen(two, five2);
  EXPECT_EQ(Text(two), "1 1 1 1 2");
  KA num(7), seq;
  Hold(seq, SeqOf({Nums("1"), new KString("a")}));
  KA::ConformLen(num, seq);
  ASSERT_EQ(num.Type(), KT::tSeq);
  ASSERT_EQ(num.Cnt(), 2);
  EXPECT_EQ(Text(num), "77");
}

TEST(KArgConform, NilTakesThePartnersShape) {
  KA nil, ints;
  Hold(nil, new KNil());
  Hold(ints, Nums("1 2 3"));
  KA::CoerceNil(nil, ints);
  EXPECT_EQ(nil.Align(), KT::aInt);
  EXPECT_EQ(nil.Cnt(), 3);
  KA s("ab"), nil2;
  Hold(nil2, new KNil());
  KA::CoerceNil(s, nil2);
  EXPECT_EQ(nil2.Type(), KT::tString);
  EXPECT_EQ(nil2.Cnt(), 2);
  KA n1, n2;
  Hold(n1, new KNil());
  Hold(n2, new KNil());
  KA::CoerceNil(n1, n2);
  EXPECT_EQ(n1.value, n2.value);
  KA nil3, ns;
  Hold(nil3, new KNil());
  Hold(ns, new KNS());
  EXPECT_EQ(CodeOf([&] { KA::CoerceNil(nil3, ns); }), KT::eNotImpl);
}

TEST(KArgCatenate, MixedTypesPairAndSequencesAppend) {
  KA n(1), s("a");
  KA::Catenate(n, s);
  ASSERT_EQ(n.Type(), KT::tSeq);
  EXPECT_EQ(n.Cnt(), 2);
  KA seq, m(3);
  Hold(seq, SeqOf({Nums("1"), Nums("2")}));
  KA::Catenate(seq, m);
  ASSERT_EQ(seq.Type(), KT::tSeq);
  EXPECT_EQ(seq.Cnt(), 3);
  EXPECT_EQ((*seq.As<KSeq>())[2]->AsString(false), "3");
  KA front(0);
  KA::Catenate(front, seq);
  EXPECT_EQ(front.Cnt(), 4);
  KA x, y;
  Hold(x, Nums("1 2"));
  Hold(y, Nums("3"));
  KA::Catenate(x, y);
  EXPECT_EQ(Text(x), "1 2 3");
  KA nil, f(1.5);
  Hold(nil, new KNil());
  KA::Catenate(nil, f);
  EXPECT_EQ(Text(nil), "Nil 1.5");
  KA a("ab");
  KA::Catenate(a, a);
  EXPECT_EQ(Text(a), "abab");
  KA f1, f2;
  Hold(f1, new KField("a"));
  Hold(f2, new KField("b"));
  KA::Catenate(f1, f2);
  EXPECT_EQ(f1.Type(), KT::tFL);
  EXPECT_EQ(Text(f1), ".a.b");
  KA ns1, ns2;
  Hold(ns1, new KNS());
  Hold(ns2, new KNS());
  EXPECT_EQ(CodeOf([&] { KA::Catenate(ns1, ns2); }), KT::eNotSupp);
}

TEST(KArgCatenate, StrandingNeverExtendsASharedSequence) {
  KA seq;
  Hold(seq, SeqOf({Nums("1")}));
  KA other(seq);
  KA two(2);
  KA::StrandEm(seq, two);
  EXPECT_EQ(seq.Cnt(), 2);
  EXPECT_EQ(other.Cnt(), 1);
  KA lone(1);
  KA::StrandEm(lone, two);
  EXPECT_EQ(lone.Type(), KT::tSeq);
  EXPECT_EQ(lone.Cnt(), 2);
}

TEST(KArgText, AddCRPairsLoneCarriageReturns) {
  EXPECT_EQ(KA::AddCR("a\r\nb"), "a\r\nb");
  EXPECT_EQ(KA::AddCR("a\rb\r"), "a\r\nb\r\n");
  EXPECT_EQ(KA::AddCR("a\nb"), "a\nb");
  EXPECT_EQ(KA::AddCR(""), "");
}

TEST(KArgHomogenize, FlattensLikeElements) {
  KA ints;
  Hold(ints, SeqOf({Nums("1 2"), Nums("3 4 5")}));
  EXPECT_TRUE(ints.IsHomogeneous());
  KA::Homogenize(ints, false);
  ASSERT_EQ(ints.Type(), KT::tNum);
  EXPECT_EQ(ints.Align(), KT::aInt);
  EXPECT_EQ(Text(ints), "1 2 3 4 5");
  KA mixed;
  Hold(mixed, SeqOf({Nums("1 2"), Nums("3.5"), new KNil()}));
  KA::Homogenize(mixed, false);
  ASSERT_EQ(mixed.Type(), KT::tNum);
  EXPECT_EQ(mixed.Align(), KT::aFloat);
  EXPECT_EQ(Text(mixed), "1 2 3.5 Nil");
  KA strs;
  Hold(strs, SeqOf({new KString("ab"), new KString("c")}));
  KA::Homogenize(strs, false);
  EXPECT_EQ(Text(strs), "abc");
  KA nested;
  Hold(nested, SeqOf({SeqOf({Nums("1")}), SeqOf({Nums("2 3")})}));
  KA::Homogenize(nested, false);
  EXPECT_EQ(Text(nested), "1 2 3");
  KA diff;
  Hold(diff, SeqOf({Nums("1"), new KString("a")}));
  EXPECT_FALSE(diff.IsHomogeneous());
  KB* before = diff.value;
  KA::Homogenize(diff, false);
  EXPECT_EQ(diff.value, before);
  KA ns;
  Hold(ns, new KNS());
  KNum* one = Nums("1");
  ns.As<KNS>()->Put("k", one, KT::ntAny);
  KB::DoneWith(one);
  EXPECT_EQ(CodeOf([&] { ns.IsHomogeneous(); }), KT::eNotImpl);
}

TEST(KArgStructure, RavelDiscloseAndSeparators) {
  KA s;
  Hold(s, SeqOf({Nums("1"), SeqOf({Nums("2"), SeqOf({Nums("3")})})}));
  KA r(s);
  KA::Ravel(r);
  EXPECT_EQ(r.Cnt(), 3);
  KA d(s), depth(0);
  KA::Disclose(d, depth);
  EXPECT_EQ(d.Cnt(), 3);
  KA words, seps;
  Hold(words, SeqOf({new KString("a"), new KString("b"), new KString("c")}));
  Hold(seps, SeqOf({new KString(",")}));
  KA::ExposeSep(words, seps, 0);
  EXPECT_EQ(Text(words), "a,b,c");
  KA n(1);
  EXPECT_EQ(CodeOf([&] { KA::ExposeSep(n, seps, 0); }), KT::eSystem);
  KA idx;
  Hold(idx, new KBit("0110"));
  KA::BitToIdx(idx);
  EXPECT_EQ(Text(idx), "2 3");
}

TEST(KArgTake, DispatchAndErrors) {
  KA s("abc");
  KA::Take(s, 5, true, false);
  EXPECT_EQ(s.Cnt(), 5);
  KA nil;
  Hold(nil, new KNil());
  KA::Take(nil, 4, true, false);
  EXPECT_EQ(nil.Type(), KT::tNil);
  EXPECT_EQ(nil.Cnt(), 4);
  KA cnt("x");
  EXPECT_EQ(CodeOf([&] { KA::Take(s, cnt, true, false); }), KT::eValue);
  KA ns;
  Hold(ns, new KNS());
  EXPECT_EQ(CodeOf([&] { KA::Take(ns, 1, true, false); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { KA::Reshape(ns, 1); }), KT::eNotImpl);
}

TEST(KArgIndex, FieldListsBuildNamespacesAndSequencesSelect) {
  KA v, fl;
  Hold(v, Nums("10 20"));
  Hold(fl, new KFList());
  fl.As<KSeq>()->Append(new KField("a"), true);
  fl.As<KSeq>()->Append(new KField("b"), true);
  KA::IndexedBy(v, fl);
  ASSERT_EQ(v.Type(), KT::tNS);
  EXPECT_EQ(v.As<KNS>()->ValPtr("b")->AsString(false), "20");
  KA seq, bits;
  Hold(seq, SeqOf({new KString("apple"), new KString("pear"), new KString("plum")}));
  Hold(bits, new KBit("101"));
  KA sel(seq);
  KA::IndexedBy(sel, bits);
  EXPECT_EQ(Text(sel), "appleplum");
  KA pat("pl"), byText(seq);
  KA::IndexedBy(byText, pat);
  EXPECT_EQ(Text(byText), "appleplum");
  KA num, at(2);
  Hold(num, Nums("5 6 7"));
  KA::IndexedBy(num, at);
  EXPECT_EQ(Text(num), "6");
  KA target, where(1), nv(9);
  Hold(target, Nums("1 2"));
  KA::IdxAssign(target, where, nv);
  EXPECT_EQ(Text(target), "9 2");
}

TEST(KArgCompare, OrderingEqualityAndSameness) {
  KA a(1), b(2), s("a");
  EXPECT_LT(KA::Compare(a.value, b.value), 0);
  EXPECT_EQ(KA::Compare(a.value, s.value), KT::tNum - KT::tString);
  EXPECT_TRUE(KA::GT(s.value, a.value));
  KA x, y;
  Hold(x, SeqOf({Nums("1"), new KString("Abc")}));
  Hold(y, SeqOf({Nums("1"), new KString("abc")}));
  EXPECT_EQ(KA::Compare(x.value, y.value), 0);
  EXPECT_TRUE(KA::EQ(x.value, y.value));
  x.value->exact = 1;
  EXPECT_NE(KA::Compare(x.value, y.value), 0);
  EXPECT_EQ((*x.As<KSeq>())[1]->exact, 0);  // the element's flag is restored
  x.value->exact = 0;
  KA shorter;
  Hold(shorter, SeqOf({Nums("1")}));
  EXPECT_GT(KA::Compare(x.value, shorter.value), 0);
  EXPECT_TRUE(KA::GT(x.value, shorter.value));
  // Sort callback: greater, less, then positions.
  EXPECT_TRUE(b.GT(a.value, 5, 1, false));
  EXPECT_FALSE(a.GT(b.value, 0, 1, false));
  KA a2(1);
  EXPECT_TRUE(a.GT(a2.value, 0, 1, false));
  EXPECT_TRUE(a.GT(a2.value, 1, 0, true));
  EXPECT_TRUE(KA::IsSame(x, y, false));
  EXPECT_FALSE(KA::IsSame(x, y, true));
  KA one, lone(1);
  Hold(one, SeqOf({Nums("1")}));
  EXPECT_TRUE(KA::IsSame(one, lone, false));
  KA ns;
  Hold(ns, new KNS());
  EXPECT_EQ(CodeOf([&] { KA::IsSame(ns, ns, false); }), KT::eNotImpl);
}

TEST(KArgImage, RoundTripsThroughStrings) {
  KA v;
  Hold(v, SeqOf({Nums("1 2.5"), new KString("txt"), new KBit("101")}));
  std::string img = v.SO();
  EXPECT_EQ(static_cast<int>(img.size()), v.SOSz());
  KA s(v);
  KA::SO(s);
  ASSERT_EQ(s.Type(), KT::tString);
  EXPECT_EQ(s.Cnt(), static_cast<int>(img.size()));
  KA::SI(s);
  EXPECT_TRUE(KA::EQ(s.value, v.value));
  EXPECT_EQ(s.value->AsString(true), v.value->AsString(true));

  KNS* ns = new KNS();
  KNum* n = Nums("3");
  ns->Put("n", n, KT::ntSymbol);
  KB::DoneWith(n);
  KA h(ns);
  KB::DoneWith(ns);
  KA::SO(h);
  KA::SI(h);
  ASSERT_EQ(h.Type(), KT::tNS);
  EXPECT_EQ(h.As<KNS>()->ValPtr("n")->AsString(false), "3");

  KA notString(1);
  EXPECT_EQ(CodeOf([&] { KA::SI(notString); }), KT::eValue);
  KA shortStr("abc");
  EXPECT_EQ(CodeOf([&] { KA::SI(shortStr); }), KT::eValue);
  std::string cut = img.substr(0, img.size() - 1);
  KA truncated(cut);
  EXPECT_EQ(CodeOf([&] { KA::SI(truncated); }), KT::eValue);
  KA ref;
  Hold(ref, new KRef(static_cast<KB*>(notString.value)));
  EXPECT_EQ(CodeOf([&] { ref.SO(); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { ref.SOSz(); }), KT::eNotImpl);
}

// ------------------------------------------------------------ damaged images
// Every reader gets images that are cut short, lengthened or nested too
// deeply. Each buffer is a heap block of exactly its length, so a reader
// that reads past the end shows up under AddressSanitizer.

namespace {

// Images of one value of every type the handle reads.
std::vector<std::string> SampleImages() {
  std::vector<KB*> values;
  values.push_back(Nums("1 _ 2147483647"));
  values.push_back(Nums("1.5 _0.25"));
  values.push_back(new KNum());
  values.push_back(new KString("text"));
  values.push_back(new KString(""));
  KA field;
  field.Owns(new KField(std::string("name")));
  field.value->Reference(true);
  values.push_back(field.value);
  values.push_back(new KBit("1011001"));
  values.push_back(new KClock(45000.5));
  values.push_back(new KNil(1));
  values.push_back(SeqOf({Nums("1 2"), SeqOf({new KString("x"), new KSeq()}), new KBit("1")}));
  KFList* fl = new KFList();
  fl->Append(field.value, false);
  values.push_back(fl);
  auto put = [](KNS* ns, const char* name, KB* v) {
    ns->Put(name, v, KT::ntSymbol);
    KB::DoneWith(v);
  };
  KNS* inner = new KCV();
  put(inner, "deep", Nums("7"));
  KNS* ns = new KNS();
  put(ns, "n", Nums("3"));
  put(ns, "s", new KString("v"));
  put(ns, "c", inner);
  values.push_back(ns);
  KString* key = new KString("k");
  KB* assoc = new KAssoc(key, inner);
  KB::DoneWith(key);
  values.push_back(SeqOf({assoc, new KNil(1)}));
  KPgm* p = new KPgm();
  p->CodeSet("{1 + 2}", false);
  values.push_back(p);
  values.push_back(new KOpUD());
  std::vector<std::string> images;
  for (KB* v : values) {
    KA h;
    h.Owns(v);
    images.push_back(h.SO());
  }
  return images;
}

// Reads `bytes` from an exactly sized heap copy; true when a value came back.
bool ReadsBack(const std::string& bytes, std::string* again = nullptr) {
  std::vector<char> buf(bytes.begin(), bytes.end());
  KA v;
  try {
    KA::SI(v, buf.empty() ? nullptr : buf.data(), static_cast<int>(buf.size()));
  } catch (KError&) {
    return false;
  }
  if (again) *again = v.SO();
  return true;
}

std::string WithTotal(std::string img, int total) {
  std::string t;
  KB::PutI32(t, total);
  if (img.size() >= 8) img.replace(4, 4, t);
  return img;
}

}  // namespace

TEST(KArgImageDamage, EveryImageRoundTripsExactly) {
  for (const std::string& img : SampleImages()) {
    std::string again;
    ASSERT_TRUE(ReadsBack(img, &again)) << "type " << static_cast<int>(static_cast<unsigned char>(img[0]));
    EXPECT_EQ(again, img);
    KA h;
    h.Owns(new KString(img));
    KA::SI(h);
    EXPECT_EQ(static_cast<int>(img.size()), h.SOSz());
  }
}

TEST(KArgImageDamage, CutOrLengthenedImagesAreRefusedOrReadConsistently) {
  for (const std::string& img : SampleImages()) {
    const int type = static_cast<unsigned char>(img[0]);
    for (size_t n = 0; n < img.size(); ++n) {
      std::string cut = img.substr(0, n);
      EXPECT_FALSE(ReadsBack(cut)) << "type " << type << " cut to " << n;
      // With the header claiming the shorter length the frame is right, so
      // only the body can tell: a body cut at an element boundary is a
      // shorter value, which must write back to the same bytes.
      std::string again;
      std::string patched = WithTotal(cut, static_cast<int>(n));
      if (ReadsBack(patched, &again)) {
        EXPECT_EQ(again, patched) << "type " << type << " cut to " << n;
      }
    }
    EXPECT_FALSE(ReadsBack(img + '\0')) << "type " << type;
    EXPECT_FALSE(ReadsBack(WithTotal(img + '\0', static_cast<int>(img.size() + 1)))) << "type " << type;
  }
}

TEST(KArgImageDamage, LengthClaimsBeyondTheImageAreRefused) {
  // A number image claiming 2^30 elements, a string claiming 2^31-1 bytes,
  // a bit vector claiming 2^31-1 bits and a block claiming huge parts: each
  // is 20-odd bytes long and must be refused before anything is allocated.
  std::string num = KB::ImageHeader(KT::tNum, 20) + std::string("\3\0\0\0", 4);
  KB::PutI32(num, 1 << 30);
  KB::PutI32(num, 0);
  EXPECT_FALSE(ReadsBack(num));
  std::string dims = KB::ImageHeader(KT::tNum, 20) + std::string("\3\0\0\0", 4);
  KB::PutI32(dims, 0);
  KB::PutI32(dims, 1 << 30);
  EXPECT_FALSE(ReadsBack(dims));
  std::string str = KB::ImageHeader(KT::tString, 13);
  KB::PutI32(str, INT32_MAX);
  str += '\0';
  EXPECT_FALSE(ReadsBack(str));
  std::string bit = KB::ImageHeader(KT::tBit, 13);
  KB::PutI32(bit, INT32_MAX);
  bit += '\0';
  EXPECT_FALSE(ReadsBack(bit));
  std::string blk = KB::ImageHeader(KT::tPgm, 24);
  KB::PutI32(blk, INT32_MAX);
  KB::PutI32(blk, INT32_MAX);
  KB::PutI32(blk, 2);
  blk += std::string(4, '\0');
  EXPECT_FALSE(ReadsBack(blk));
  // The block image of eight bytes: the three lengths lie past its end.
  EXPECT_FALSE(ReadsBack(KB::ImageHeader(KT::tBlock, 8)));
  EXPECT_FALSE(ReadsBack(KB::ImageHeader(KT::tOpUD, 8)));
  // A total that is negative or far beyond the buffer.
  EXPECT_FALSE(ReadsBack(KB::ImageHeader(KT::tSeq, -8)));
  EXPECT_FALSE(ReadsBack(KB::ImageHeader(KT::tSeq, INT32_MAX)));
}

TEST(KArgImageDamage, NestingBeyondTheDepthLimitIsRefused) {
  std::string seq = KB::ImageHeader(KT::tNil, 8);
  std::string ns = seq;
  for (int i = 0; i < 300; ++i) seq = KB::ImageHeader(KT::tSeq, static_cast<int>(seq.size() + 8)) + seq;
  KA key("k");
  std::string keyImg = key.SO();
  std::string nsImg = KB::ImageHeader(KT::tNS, 8);
  for (int i = 0; i < 300; ++i) {
    std::string assoc = KB::ImageHeader(KT::tAssoc, static_cast<int>(8 + keyImg.size() + nsImg.size())) + keyImg + nsImg;
    nsImg = KB::ImageHeader(KT::tNS, static_cast<int>(8 + assoc.size())) + assoc;
  }
  for (const std::string* img : {&seq, &nsImg}) {
    KA v;
    v.Owns(new KString(*img));
    try {
      KA::SI(v);
      ADD_FAILURE() << "a value nested 300 deep was read";
    } catch (KError& e) {
      EXPECT_EQ(e.code, KT::eSystem);
      EXPECT_NE(e.message.find("too deep"), std::string::npos) << e.message;
    }
  }
}

TEST(KArgImageKinds, ANewTypePlugsInWithOneRegistration) {
  const int spare = 13;  // a type code no class uses
  std::string img = KB::ImageHeader(spare, 8);
  EXPECT_FALSE(ReadsBack(img));
  ASSERT_TRUE(KA::ImageKindAdd(spare, &KNil::SI));
  EXPECT_TRUE(ReadsBack(img));
  KA::ImageKindAdd(spare, nullptr, false);
  EXPECT_FALSE(ReadsBack(img));
  EXPECT_FALSE(KA::ImageKindAdd(0, &KNil::SI));
  EXPECT_FALSE(KA::ImageKindAdd(256, &KNil::SI));
}

// The image fuzzer's corpus (tests/fuzz/corpus-image, minimised): every
// input either reads back as a value whose image reads back to itself, or
// raises a KError. The path follows the source file's (relative when the
// compiler was given a relative one, as ctest's working directory expects).
TEST(KArgImageDamage, FuzzCorpusReadsBackOrIsRefused) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(__FILE__).parent_path() / "fuzz" / "corpus-image";
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  int files = 0, read = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ++files;
    std::string again;
    if (!ReadsBack(bytes, &again)) continue;
    ++read;
    std::string twice;
    EXPECT_TRUE(ReadsBack(again, &twice)) << entry.path();
    EXPECT_EQ(twice, again) << entry.path();
  }
  EXPECT_GT(files, 0);
  EXPECT_GT(read, 0);
}
