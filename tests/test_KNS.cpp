// Tests for namespaces, scope chains, associations, references, KCV and the
// system object: name rules, storing and lookup, removal order, text forms,
// the recursion budget and images.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "KArg.h"
#include "KAssoc.h"
#include "KNS.h"
#include "KNum.h"
#include "KRS.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

KNum* Int(int v) { return new KNum(static_cast<int32_t>(v)); }

// Stores an owned value under a name (kind 2) and lets go of the creator's
// reference.
void PutOwned(KNS* ns, const char* name, KB* v, KT::KNT kind = KT::ntAny) {
  ns->Put(name, v, kind);
  KB::DoneWith(v);
}

int IntOf(KB* v) { return static_cast<KNum*>(v)->AsInt(); }

std::string Keys(KNS* ns) {
  std::string s;
  for (int i = 0; i < ns->Count(); ++i) s += (s.empty() ? "" : ",") + KB::TextOf(ns->KeyPtr(i));
  return s;
}

// A chain of n fresh namespaces, innermost last.
KSeq* Chain(int n) {
  KSeq* c = new KSeq();
  for (int i = 0; i < n; ++i) c->Append(new KNS(), true);
  return c;
}
KNS* At(KSeq* chain, int i) { return static_cast<KNS*>((*chain)[i]); }

KT::KET CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (KError& e) {
    return e.code;
  }
  return KT::eNULL;
}

}  // namespace

TEST(KNSNames, CaseInsensitiveNamesShareOneAssociation) {
  KNS ns;
  PutOwned(&ns, "Abc", Int(1));
  PutOwned(&ns, "abc", Int(2));
  ASSERT_EQ(ns.Count(), 1);
  EXPECT_EQ(Keys(&ns), "abc");
  EXPECT_EQ(IntOf(ns.ValPtr("ABC")), 2);
  EXPECT_EQ(ns.IndexOf(static_cast<KB*>(nullptr)), -1);
  EXPECT_EQ(ns.ValPtr("missing"), nullptr);
}

TEST(KNSNames, KeysArePrivateStrings) {
  KNS ns;
  KField* f = new KField("name");
  KNum* v = Int(1);
  ns.Put(f, v, KT::ntSymbol);
  KB::DoneWith(v);
  KB* key = ns.KeyPtr(0);
  EXPECT_EQ(key->typen(), KT::tString);
  EXPECT_NE(key, static_cast<KB*>(f));
  f->Append("x", 1);  // changing the name object later does not rename
  EXPECT_EQ(KB::TextOf(ns.KeyPtr(0)), "name");
  KB::DoneWith(f);
  KString same("name");
  KNum* w = Int(2);
  ns.Put(&same, w, KT::ntSymbol);
  KB::DoneWith(w);
  EXPECT_EQ(ns.KeyPtr(0), key);  // the same spelling keeps the key
}

TEST(KNSNames, KindsDecideWhichNamesAreStored) {
  KNS ns;
  KNum* v = Int(1);
  EXPECT_EQ(ns.Put("1x", v, KT::ntSymbol), nullptr);
  EXPECT_EQ(ns.Put("a-b", v, KT::ntSymbol), nullptr);
  EXPECT_EQ(ns.Put("", v, KT::ntAny), nullptr);
  EXPECT_EQ(ns.Put("x", v, KT::ntNone), nullptr);
  EXPECT_EQ(ns.Count(), 0);
  EXPECT_NE(ns.Put("a_1", v, KT::ntSymbol), nullptr);
  EXPECT_NE(ns.Put("1x", v, KT::ntAny), nullptr);
  EXPECT_NE(ns.Put("a-b", v, KT::ntAny), nullptr);
  EXPECT_EQ(ns.Count(), 3);
  KB::DoneWith(v);
  KNum notAName(static_cast<int32_t>(3));
  EXPECT_EQ(CodeOf([&] { ns.Put(&notAName, &notAName, KT::ntAny); }), KT::eValue);
  EXPECT_EQ(CodeOf([&] { ns.Remove(&notAName); }), KT::eValue);
}

TEST(KNSStore, PutMarksValueBoundAndLookupSetsSID) {
  KNS ns;
  KNum* v = Int(5);
  EXPECT_EQ(v->SID(), -1);
  ns.Put("x", v, KT::ntSymbol);
  EXPECT_EQ(v->SID(), v->ID);
  EXPECT_EQ(v->descriptor->refs, 2);  // creator + namespace
  KB::DoneWith(v);
  EXPECT_EQ(ns.AssocPtrBySID(v->ID)->ValPtr(), v);
  EXPECT_EQ(ns.AssocPtrBySID(-1), nullptr);
  EXPECT_EQ(ns.GetByID(v->ID)->ValPtr(), v);
  EXPECT_EQ(ns.AssocPtrByVal(v)->ValPtr(), v);
}

TEST(KNSStore, ReplaceOnlyChangesExistingNames) {
  KNS ns;
  PutOwned(&ns, "x", Int(1));
  KNum* v = Int(7);
  EXPECT_TRUE(ns.Replace("X", v));
  EXPECT_FALSE(ns.Replace("y", v));
  KB::DoneWith(v);
  EXPECT_EQ(ns.Count(), 1);
  EXPECT_EQ(IntOf(ns.ValPtr("x")), 7);
  EXPECT_FALSE(ns.Replace(-1, ns.AssocPtr(0)));
}

TEST(KNSStore, RemoveMovesTheLastIntoTheGap) {
  KNS ns;
  PutOwned(&ns, "a", Int(1));
  PutOwned(&ns, "b", Int(2));
  PutOwned(&ns, "c", Int(3));
  EXPECT_TRUE(ns.Remove("A"));
  EXPECT_EQ(Keys(&ns), "c,b");
  EXPECT_FALSE(ns.Remove(5));
  EXPECT_FALSE(ns.Remove("zz"));
  EXPECT_TRUE(ns.Remove(1));
  EXPECT_EQ(Keys(&ns), "c");
}

TEST(KNSStore, RemovedAssociationOutlivesNamespaceThroughReference) {
  KNS* ns = new KNS();
  PutOwned(ns, "x", Int(42));
  KRef* r = new KRef(ns->AssocPtr("x"));
  ns->Remove("x");
  KB::DoneWith(ns);
  EXPECT_EQ(IntOf(r->ValPtr(false)), 42);
  EXPECT_EQ(r->AsString(false), "x@");
  KB::DoneWith(r);
}

TEST(KNSChain, PutUpdatesInnermostOrParentOtherwiseCreatesLocal) {
  KSeq* c = Chain(3);
  KNum* v = Int(1);
  At(c, 0)->Put("outer", v, KT::ntSymbol);
  At(c, 1)->Put("parent", v, KT::ntSymbol);
  KB::DoneWith(v);
  KNum* w = Int(9);
  KNS::Put(c, "outer", w, KT::ntSymbol);
  KNS::Put(c, "parent", w, KT::ntSymbol);
  KNS::Put(c, "fresh", w, KT::ntSymbol);
  KB::DoneWith(w);
  EXPECT_EQ(IntOf(At(c, 0)->ValPtr("outer")), 1);  // unchanged two levels out
  EXPECT_EQ(Keys(At(c, 2)), "outer,fresh");
  EXPECT_EQ(IntOf(At(c, 1)->ValPtr("parent")), 9);
  KB::DoneWith(c);
}

TEST(KNSChain, LookupGivesPrivateCopyCarryingSID) {
  KSeq* c = Chain(2);
  KNum* v = new KNum("1 2 3", -1);
  At(c, 0)->Put("x", v, KT::ntSymbol);
  KB::DoneWith(v);
  KB* got = KNS::ValPtr(c, "X", false);
  ASSERT_EQ(got->typen(), KT::tNum);
  EXPECT_NE(got->descriptor, v->descriptor);
  EXPECT_EQ(got->SID(), v->ID);
  static_cast<KNum*>(got)->IntPtr()[0] = 99;
  EXPECT_EQ(v->IntPtr()[0], 1);
  KB::DoneWith(got);

  KB* inner = KNS::ValPtr(c, "x", true);
  EXPECT_EQ(inner->typen(), KT::tNil);
  KB::DoneWith(inner);
  KB* none = KNS::ValPtr(c, "nothing", false);
  EXPECT_EQ(none->typen(), KT::tNil);
  KB::DoneWith(none);

  c->Append(Int(3), true);  // not a namespace
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(KNS::ValPtr(c, "x", false)); }), KT::eSystem);
  KB::DoneWith(c);
}

TEST(KNSText, PlainAndVerboseForms) {
  KNS ns;
  PutOwned(&ns, "a", new KNum("1 2 3", -1));
  PutOwned(&ns, "s", new KString("hi"));
  EXPECT_EQ(ns.AsString(false), "NS:a s");
  EXPECT_EQ(ns.AsString(true),
            "NS[R1C2:K]\r\nAssoc[R1C1:P]:a:Num[3]\r\nAssoc[R1C1:P]:s:String[2]");
  KNS empty;
  EXPECT_EQ(empty.AsString(false), "NS:");
  KCV cv;
  PutOwned(&cv, "m", Int(1));
  EXPECT_EQ(cv.AsString(false), "CV :m");
}

TEST(KNSText, ReferencePartNamesAnonymousTargets) {
  KNS ns;
  PutOwned(&ns, "x", Int(1));
  KRef* named = new KRef(ns.AssocPtr("x"));
  PutOwned(&ns, "r", named);
  KNum* five = Int(5);
  KRef* anon = new KRef(static_cast<KB*>(five));
  KB::DoneWith(five);
  std::string key = KB::Fmt("__%d", anon->ID);
  PutOwned(&ns, "q", anon);
  EXPECT_EQ(ns.AsString(false), "NS:x r@ q@[Num]" + key);
}

TEST(KNSKRefText, NamedAndAnonymousForms) {
  KNS ns;
  PutOwned(&ns, "x", Int(1));
  KRef r(ns.AssocPtr("x"));
  EXPECT_EQ(r.AsString(false), "x@");
  EXPECT_EQ(r.AsString(true), "Ref[R1C1:P]x@:Num[R1C1:I]1");
  KNum* n = Int(4);
  KRef a(static_cast<KB*>(n));
  KB::DoneWith(n);
  EXPECT_EQ(a.AsString(false), "[Num]@");
  EXPECT_EQ(a.size(), 4);
  EXPECT_EQ(CodeOf([&] { a.SO(); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { a.SOSz(); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { KRef::SI(""); }), KT::eNotImpl);
}

TEST(KNSKRefFollow, ChainsStopAfterTheDepthLimit) {
  // 150 references, each stored in the association the next one designates.
  KNum* base = Int(1);
  KRef* prev = new KRef(static_cast<KB*>(base));
  KB::DoneWith(base);
  for (int i = 0; i < 150; ++i) {
    KRef* r = new KRef(static_cast<KB*>(prev));
    KB::DoneWith(prev);
    prev = r;
  }
  KAssoc* end = prev->AssocPtr(true);
  EXPECT_EQ(end->ValPtr()->typen(), KT::tRef);  // stopped after 100 steps
  KB::DoneWith(prev);
}

TEST(KNSKRefFollow, CyclesPrintWithoutRecursing) {
  // A holds a reference to B and B one to A.
  KString* ka = new KString("a");
  KString* kb = new KString("b");
  KAssoc* dummy = new KAssoc(kb, nullptr);
  KRef* toDummy = new KRef(dummy);
  KAssoc* B = new KAssoc(kb, toDummy);
  KRef* toB = new KRef(B);
  KAssoc* A = new KAssoc(ka, toB);
  KRef* toA = new KRef(A);
  B->ValSet(toA);  // both references: the new one replaces the old
  EXPECT_EQ(B->ValPtr(), toA);
  KRef probe(A);
  EXPECT_EQ(probe.AssocPtr(true)->ValPtr()->typen(), KT::tRef);
  EXPECT_EQ(probe.AsString(false), "a@");
  EXPECT_FALSE(probe.AsString(true).empty());
  KString f(":typec");
  KB* t = probe.FieldGet(&f);
  EXPECT_EQ(KB::TextOf(t), "Ref");
  KB::DoneWith(t);
  B->ValSet(nullptr);  // break the cycle
  for (KB* v : {static_cast<KB*>(ka), static_cast<KB*>(kb), static_cast<KB*>(dummy),
                static_cast<KB*>(toDummy), static_cast<KB*>(B), static_cast<KB*>(toB),
                static_cast<KB*>(A), static_cast<KB*>(toA)})
    KB::DoneWith(v);
}

TEST(KNSKAssocValSet, ReferencesAreFollowedUnlessBothAreReferences) {
  KNS ns;
  PutOwned(&ns, "x", Int(10));
  PutOwned(&ns, "y", Int(20));
  KRef* toY = new KRef(ns.AssocPtr("y"));
  KRef* toX = new KRef(ns.AssocPtr("x"));
  // A plain stored value receives the referenced value, not the reference.
  ns.AssocPtr("x")->ValSet(toY);
  EXPECT_EQ(ns.ValPtr("x"), ns.ValPtr("y"));
  // A stored reference is replaced by a new reference ...
  KString* key = new KString("slot");
  KAssoc slot(key, toX);
  KB::DoneWith(key);
  slot.ValSet(toY);
  EXPECT_EQ(slot.ValPtr(), toY);
  // ... and by a plain value (not written through).
  KNum* n = Int(3);
  slot.ValSet(n);
  KB::DoneWith(n);
  EXPECT_EQ(slot.ValPtr(), n);
  EXPECT_EQ(IntOf(ns.ValPtr("y")), 20);
  KB::DoneWith(toX);
  KB::DoneWith(toY);
}

TEST(KNSKAssocFields, FieldsListingAndPrecis) {
  KString* key = new KString("k");
  KNum* v = new KNum("1 2", -1);
  KAssoc a(key, v);
  KB::DoneWith(key);
  KB::DoneWith(v);
  EXPECT_EQ(a.AsString(false), "k:Num[2]");
  KString f(":val");
  KB* got = a.FieldGet(&f);
  EXPECT_EQ(got, v);
  KB::DoneWith(got);
  KString unknown(":nope");
  KB* listing = a.FieldGet(&unknown);
  EXPECT_EQ(KB::TextOf(listing), ":, :both, :key, :size, :string, :stringv, :typen, :typec, :val");
  KB::DoneWith(listing);
  KB* sz = a.Size();
  EXPECT_EQ(IntOf(sz), 32);
  KB::DoneWith(sz);
  KSeq* p = static_cast<KSeq*>(a.Precis());
  ASSERT_EQ(p->Count(), 2);
  EXPECT_EQ(KB::TextOf((*p)[0]), "k");
  EXPECT_EQ(KB::TextOf((*p)[1]), "Num[I:2#8]1");
  KB::DoneWith(p);
  KNum notAssoc(static_cast<int32_t>(1));
  EXPECT_EQ(CodeOf([&] { a.ReferenceTo(&notAssoc); }), KT::eValue);
}

TEST(KNSBudget, SelfContainingNamespaceRaisesRecursionError) {
  KNS* ns = new KNS();
  ns->Put("me", ns, KT::ntAny);
  KString f(":size");
  try {
    ns->FieldGet(&f);
    FAIL() << "no error";
  } catch (KError& e) {
    EXPECT_EQ(e.code, KT::eValue);
    EXPECT_EQ(e.message.rfind("Recursion Error", 0), 0u);
  }
  ns->Remove("me");  // break the cycle so the namespace can go
  KB::DoneWith(ns);
}

TEST(KNSBudget, NestedNamespacesCanBeMeasuredRepeatedly) {
  KNS outer;
  KNS* inner = new KNS();
  PutOwned(inner, "x", Int(1));
  PutOwned(&outer, "in", inner);
  for (int i = 0; i < 20; ++i) {
    KB* s = outer.Size();
    EXPECT_EQ(IntOf(s), 4 + 2 + (4 + 1 + 4));
    KB::DoneWith(s);
  }
}

TEST(KNSFields, NamesValuesFieldsAndListing) {
  KNS ns;
  PutOwned(&ns, "a", Int(1));
  PutOwned(&ns, "b", new KString("xyz"));
  KString names(":names"), fields(":fields"), sizes(":sizes"), other(":zzz"), clear(":clear");
  KSeq* n = static_cast<KSeq*>(ns.FieldGet(&names));
  EXPECT_EQ(n->Count(), 2);
  EXPECT_EQ(KB::TextOf((*n)[1]), "b");
  KB::DoneWith(n);
  KB* fl = ns.FieldGet(&fields);
  EXPECT_EQ(fl->typen(), KT::tFL);
  EXPECT_EQ(fl->AsString(false), ".a.b");
  KB::DoneWith(fl);
  KNum* sz = static_cast<KNum*>(ns.FieldGet(&sizes));
  EXPECT_EQ(sz->AsString(false), "4 3");
  KB::DoneWith(sz);
  KB* listing = ns.FieldGet(&other);
  EXPECT_EQ(KB::TextOf(listing),
            ":, :clear, :fields, :names, :size, :sizes, :string, :stringv, :typec, :typen, :values");
  KB::DoneWith(listing);
  KB* fresh = ns.FieldGet(&clear);
  EXPECT_EQ(fresh->typen(), KT::tNS);
  EXPECT_EQ(ns.Count(), 0);
  KB::DoneWith(fresh);
  EXPECT_EQ(CodeOf([&] { ns.Symbols(); }), KT::eSystem);
}

TEST(KNSIndex, SelectAssignAndWithout) {
  KNS ns;
  PutOwned(&ns, "a", Int(1));
  PutOwned(&ns, "b", Int(2));
  PutOwned(&ns, "c", Int(3));
  KFList* fl = new KFList();
  fl->Append(new KField("c"), true);
  fl->Append(new KField("a"), true);
  fl->Append(new KField("nothere"), true);
  fl->Append(new KField(":names"), true);
  KNS* sel = static_cast<KNS*>(ns.IndexedBy(fl));
  EXPECT_EQ(Keys(sel), "c,a,:names");
  EXPECT_EQ(IntOf(sel->ValPtr("a")), 1);
  KB::DoneWith(sel);
  KNV empty;
  KNS* copy = static_cast<KNS*>(ns.IndexedBy(&empty));
  EXPECT_EQ(Keys(copy), "a,b,c");
  copy->Put("a", copy->ValPtr("b"), KT::ntSymbol);  // the copy has its own entries
  EXPECT_EQ(IntOf(ns.ValPtr("a")), 1);
  KB::DoneWith(copy);
  KNum num(static_cast<int32_t>(1));
  EXPECT_EQ(CodeOf([&] { ns.IndexedBy(&num); }), KT::eNotSupp);

  // Assignment through names.
  KSeq* vals = new KSeq();
  vals->Append(Int(30), true);
  vals->Append(Int(10), true);
  KField fa("a");
  ns.IdxAssign(&num, &fa);
  EXPECT_EQ(IntOf(ns.ValPtr("a")), 1);
  KFList two;
  two.Append(new KField("c"), true);
  two.Append(new KField("z"), true);
  ns.IdxAssign(vals, &two);
  EXPECT_EQ(IntOf(ns.ValPtr("c")), 30);
  EXPECT_EQ(IntOf(ns.ValPtr("z")), 10);
  KSeq* three = new KSeq();
  for (int i = 0; i < 3; ++i) three->Append(Int(i), true);
  EXPECT_EQ(CodeOf([&] { ns.IdxAssign(three, &two); }), KT::eSyntax);
  EXPECT_EQ(CodeOf([&] { ns.IdxAssign(&num, &two); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { ns.IdxAssign(&num, &num); }), KT::eNotSupp);

  KNS* less = static_cast<KNS*>(ns.Without(fl));
  EXPECT_EQ(Keys(less), "b,z");
  KB::DoneWith(less);
  EXPECT_EQ(CodeOf([&] { ns.Without(&num); }), KT::eNotSupp);

  // The empty index with a namespace value copies that namespace.
  KNS src;
  PutOwned(&src, "only", Int(5));
  ns.IdxAssign(&src, &empty);
  EXPECT_EQ(Keys(&ns), "only");
  KB::DoneWith(fl);
  KB::DoneWith(vals);
  KB::DoneWith(three);
}

TEST(KNSKCVNames, DeepNamesDescendIntoContainers) {
  KCV outer;
  KCV* inner = new KCV();
  PutOwned(inner, "leaf", Int(1));
  PutOwned(&outer, "in", inner);
  PutOwned(&outer, "x", Int(2));
  KSeq* flat = outer.Names(false);
  EXPECT_EQ(flat->AsString(false), "inx");
  KB::DoneWith(flat);
  KSeq* deep = outer.Names(true);
  ASSERT_EQ(deep->Count(), 2);
  EXPECT_EQ((*deep)[0]->typen(), KT::tSeq);
  EXPECT_EQ((*deep)[0]->AsString(false), "inleaf");
  KB::DoneWith(deep);
  KString other(":q");
  KB* listing = outer.FieldGet(&other);
  EXPECT_EQ(KB::TextOf(listing), ":, :names, :namesdeep, :string, :stringv, :typen, :typec");
  KB::DoneWith(listing);
}

TEST(KNSKSysObject, DumpAndCloseFilesOverTheChain) {
  KSeq* c = Chain(2);
  PutOwned(At(c, 0), "g", Int(1));
  PutOwned(At(c, 1), "l", new KNum("1 2", -1));
  KA chain(c);
  KB::DoneWith(c);
  KSys sys(chain);
  KSeq* files = sys.CloseFiles();
  EXPECT_EQ(files->Count(), 0);
  KB::DoneWith(files);
  KSeq* d = sys.NSDump();
  ASSERT_EQ(d->Count(), 2);
  KSeq* first = static_cast<KSeq*>((*d)[0]);
  EXPECT_EQ(KB::TextOf((*first)[0]), "Scope(0)");
  KSeq* entries = static_cast<KSeq*>((*first)[1]);
  ASSERT_EQ(entries->Count(), 1);
  KSeq* precis = static_cast<KSeq*>((*entries)[0]);
  EXPECT_EQ(KB::TextOf((*precis)[0]), "l");
  EXPECT_EQ(KB::TextOf((*precis)[1]), "Num[I:2#8]1");
  EXPECT_EQ(KB::TextOf((*static_cast<KSeq*>((*d)[1]))[0]), "Scope(1)");
  KB::DoneWith(d);
  KString other(":x");
  KB* listing = sys.FieldGet(&other);
  EXPECT_EQ(KB::TextOf(listing), ":, :closefiles, :nsdump, :string, :stringv, :typen, :typec");
  KB::DoneWith(listing);
}

TEST(KNSImage, RoundTripKeepsNamesValuesAndTypes) {
  KNS ns;
  PutOwned(&ns, "n", new KNum("1 2.5", -1));
  PutOwned(&ns, "s", new KString("text"));
  KCV* cv = new KCV();
  PutOwned(cv, "deep", Int(7));
  PutOwned(&ns, "c", cv);
  std::string img = ns.SO();
  ASSERT_EQ(static_cast<int>(img.size()), ns.SOSz());
  EXPECT_EQ(img[0], static_cast<char>(KT::tNS));
  EXPECT_EQ(KB::GetI32(img.data() + 4), static_cast<int>(img.size()));
  EXPECT_EQ(img[8], static_cast<char>(KT::tAssoc));
  KNS* back = static_cast<KNS*>(KNS::SI(img.data()));
  EXPECT_EQ(back->AsString(true), ns.AsString(true));
  EXPECT_EQ(back->ValPtr("n")->AsString(false), "1 2.5");
  KB* c = back->ValPtr("c");
  ASSERT_EQ(c->typen(), KT::tCV);
  EXPECT_EQ(IntOf(static_cast<KNS*>(c)->ValPtr("deep")), 7);
  KB::DoneWith(back);
  std::string cvImg = cv->SO();
  EXPECT_EQ(cvImg[0], static_cast<char>(KT::tCV));
}

TEST(KNSImage, UnsupportedValuesAndDamagedImagesRaise) {
  KNS ns;
  PutOwned(&ns, "q", new KSeq());
  EXPECT_EQ(CodeOf([&] { ns.SO(); }), KT::eNotImpl);
  EXPECT_EQ(CodeOf([&] { ns.SOSz(); }), KT::eNotImpl);

  KNS vars;
  PutOwned(&vars, "x", Int(1));
  KRef* r = new KRef(vars.AssocPtr("x"));
  KString* key = new KString("r");
  KAssoc holding(key, r);
  KB::DoneWith(key);
  KB::DoneWith(r);
  EXPECT_EQ(holding.SOSz(), 8 + 14 + 4);  // the reference counts, but ...
  try {
    holding.SO();
    FAIL() << "no error";
  } catch (KError& e) {
    EXPECT_EQ(e.code, KT::eNotImpl);
    EXPECT_EQ(e.message.rfind("Assoc Val SO", 0), 0u);
  }

  KNS good;
  PutOwned(&good, "x", Int(1));
  std::string img = good.SO();
  std::string tooLong = img;
  std::string big;
  KB::PutI32(big, 1000);
  tooLong.replace(12, 4, big);  // the association claims more than the image holds
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(KNS::SI(tooLong.data())); }), KT::eValue);
  std::string badType = img;
  badType[8] = static_cast<char>(KT::tNum);
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(KNS::SI(badType.data())); }), KT::eNotImpl);
  std::string badVal = img;
  badVal[8 + 8 + 14] = static_cast<char>(KT::tBit);  // the value's type byte
  EXPECT_EQ(CodeOf([&] { KB::DoneWith(KNS::SI(badVal.data())); }), KT::eNotImpl);
}

// Large namespaces are searched through a name index; it must agree with
// the collated name comparison and follow every change.
TEST(KNSIndex, LargeNamespaceLookupFollowsChanges) {
  KNS* ns = new KNS();
  for (int i = 0; i < 200; ++i) {
    KB* v = KMakeInt(i);
    ns->Put(KB::Fmt("name%d", i).c_str(), v, KT::ntSymbol);
    KB::DoneWith(v);
  }
  ASSERT_EQ(ns->Count(), 200);
  EXPECT_EQ(ns->IndexOf(static_cast<KB*>(nullptr)), -1);
  KString upper("NAME17");
  EXPECT_EQ(ns->IndexOf(&upper), 17);  // case does not count
  KString accented("n\xE1me18");
  EXPECT_EQ(ns->IndexOf(&accented), 18);  // nor accents
  KString missing("name200");
  EXPECT_EQ(ns->IndexOf(&missing), -1);
  EXPECT_TRUE(ns->Remove("name3"));  // the last entry moves into the gap
  EXPECT_EQ(ns->IndexOf(&upper), 17);
  KString moved("name199");
  EXPECT_EQ(ns->IndexOf(&moved), 3);
  KString gone("name3");
  EXPECT_EQ(ns->IndexOf(&gone), -1);
  KB* v = KMakeInt(-1);
  ns->Put("name3", v, KT::ntSymbol);  // appended again at the end
  KB::DoneWith(v);
  EXPECT_EQ(ns->IndexOf(&gone), 199);
  ns->Clear();
  EXPECT_EQ(ns->IndexOf(&upper), -1);
  KB::DoneWith(ns);
}

// A namespace stored inside itself is a cycle that reference counts alone
// never free; releasing everything reachable from the root frees it (the
// sanitizer build's leak check proves it).
TEST(KNSRelease, ReachableCyclesAreFreed) {
  KNS* root = new KNS();
  KNS* inner = new KNS();
  root->Put("inner", inner, KT::ntSymbol);
  inner->Put("self", inner, KT::ntSymbol);  // inner holds itself
  inner->Put("up", root, KT::ntSymbol);     // and the root
  KB::DoneWith(inner);
  KB::ReleaseReachable(root);
  EXPECT_EQ(root->Count(), 0);
  KB::DoneWith(root);
}

// The plain search (used by the evaluator's lookup caches) must find exactly
// what the collated comparison finds.
TEST(KNSNames, PlainSearchAgreesWithTheCollatedComparison) {
  const char* stored[] = {"abc", "l__", "a1", "x_y", "na\xefve", "Zed"};
  const char* probes[] = {"abc", "ABC", "aBc", "l__", "l_", "l", "L__", "a1", "A1", "a2", "x_y", "xy", "x__y",
                          "na\xefve", "NA\xcfVE", "naive", "zed", "ZED", "ze", "zedd", ""};
  KNS* ns = new KNS();
  for (const char* n : stored) {
    KB* v = KMakeInt(1);
    ns->Put(n, v, KT::ntAny);
    KB::DoneWith(v);
  }
  for (const char* p : probes) {
    KString* key = new KString(p);
    bool sure = false;
    int plain = ns->IndexOfPlain(p, static_cast<int>(std::strlen(p)), sure);
    EXPECT_TRUE(sure) << p;
    EXPECT_EQ(plain, ns->IndexOf(key)) << p;
    KB::DoneWith(key);
  }
  KB::DoneWith(ns);
}

TEST(KNSNames, PlainSearchDeclinesWhatItCannotAnswer) {
  KNS* ns = new KNS();
  for (int i = 0; i < 30; ++i) {
    KB* v = KMakeInt(i);
    ns->Put(("n" + std::to_string(i)).c_str(), v, KT::ntAny);
    KB::DoneWith(v);
  }
  bool sure = true;
  ns->IndexOfPlain("n3", 2, sure);
  EXPECT_FALSE(sure);  // large namespaces go through their index
  KB::DoneWith(ns);
}
