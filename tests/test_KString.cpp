// Tests for KString (strings and their streams) and KField / KFList.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KBit.h"
#include "KGREP.h"
#include "KNS.h"
#include "KNum.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {

struct Done {
  void operator()(KB* v) const { KB::DoneWith(v); }
};
template <class T>
using Own = std::unique_ptr<T, Done>;
template <class T>
Own<T> own(T* v) {
  return Own<T>(v);
}

std::string Str(KB* v) { return KB::TextOf(v); }
// Text of a value the caller hands over (released here).
std::string Take(KB* v) {
  Own<KB> o(v);
  return Str(v);
}
std::string Bits(KB* v) {
  Own<KB> o(v);
  KBit* b = static_cast<KBit*>(v);
  std::string s;
  for (int i = 0; i < b->Count(); ++i) s += b->BitGet(i) ? '1' : '0';
  return s;
}
std::vector<std::string> Pieces(KB* v) {
  Own<KB> o(v);
  KSeq* s = static_cast<KSeq*>(v);
  std::vector<std::string> r;
  for (int i = 0; i < s->Count(); ++i) r.push_back(Str((*s)[i]));
  return r;
}
std::vector<int> Ints(KB* v) {
  Own<KB> o(v);
  KNum* n = static_cast<KNum*>(v);
  return std::vector<int>(n->IntPtr(), n->IntPtr() + n->Count());
}

}  // namespace

// ------------------------------------------------------------ collation

TEST(KStringCollation, WeightsFoldCaseAndAccents) {
  EXPECT_EQ(KT::CSTARQ[0], 0);
  EXPECT_EQ(KT::CSTARQ['0'], 1);
  EXPECT_EQ(KT::CSTARQ['9'], 10);
  EXPECT_EQ(KT::CSTARQ['a'], 11);
  EXPECT_EQ(KT::CSTARQ['A'], 11);
  EXPECT_EQ(KT::CSTARQ[0xC9], KT::CSTARQ['e']);  // É collates as e
  EXPECT_EQ(KT::CSTARQ['b'], 25);
  EXPECT_EQ(KT::CSTARQ['z'], 115);
  EXPECT_EQ(KT::CSTARQ['_'], 117);
  EXPECT_EQ(KT::CSTARQ[' '], 0);
  EXPECT_EQ(KT::CSTARQ[','], 0);
  EXPECT_LT(KT::CSExact['h'], KT::CSExact['H']);
}

TEST(KStringCompare, CollatedAndExact) {
  KString hello("Hello"), lower("hello"), accent("h\xE9llo");
  EXPECT_EQ(hello.Compare(&lower), 0);
  EXPECT_EQ(hello.Compare(&accent), 0);
  EXPECT_TRUE(hello.EQ(&lower));
  lower.exact = 1;
  EXPECT_LT(lower.Compare(&hello), 0);
  EXPECT_FALSE(lower.EQ(&hello));
  EXPECT_EQ(lower.CompareSys(&hello), 0);  // system mode ignores case even when exact

  KString ab("ab"), a_b("a b"), adotb("a.b");
  EXPECT_EQ(ab.Compare(&a_b), -1);
  EXPECT_EQ(a_b.Compare(&ab), 1);
  EXPECT_EQ(adotb.Compare(&a_b), 0);
  KString trail("ab..."), shorter("a");
  EXPECT_EQ(ab.Compare(&trail), 0);  // trailing ignorables do not count
  EXPECT_GT(ab.Compare(&shorter), 0);

  KNum n(int32_t{1});
  EXPECT_EQ(ab.Compare(&n), KT::tString - KT::tNum);
}

TEST(KStringCompare, SortComparatorsAndGT) {
  KString s("bAa");
  void* data = s.descriptor->data;
  EXPECT_TRUE(KString::GTQSTARQ(data, 0, 1, false));   // b after A
  EXPECT_TRUE(KString::GTQSTARQ(data, 1, 2, false));   // A equals a: position decides
  EXPECT_FALSE(KString::GTQSTARQ(data, 1, 2, true));
  EXPECT_TRUE(KString::GTQSExact(data, 1, 2, false));  // exact: A after a
  KString x("b"), y("a");
  EXPECT_TRUE(x.GT(&y, 0, 1, false));
  EXPECT_FALSE(y.GT(&x, 0, 1, false));
}

// ------------------------------------------------------------ stream reads

TEST(KStringStream, NextLNReadsLinesThenEmptyAtEnd) {
  KString s("one\r\ntwo");
  EXPECT_EQ(Take(s.NextLN()), "one\r\n");
  EXPECT_EQ(Take(s.NextLN()), "two");
  EXPECT_TRUE(s.AtEOS());
  EXPECT_EQ(Take(s.NextLN()), "");
  EXPECT_TRUE(s.AtEOS());
  EXPECT_EQ(s.AtDir(), 'X');
  EXPECT_EQ(s.PPos(), 8);

  KString lf("a\n\rb\nc");  // LF CR is one line end
  EXPECT_EQ(Take(lf.NextLN()), "a\n\r");
  EXPECT_EQ(Take(lf.NextLN()), "b\n");
  EXPECT_EQ(Take(lf.NextLN()), "c");
}

TEST(KStringStream, NextAllOnSeparators) {
  KString s("a,b,,c");
  KString comma(",");
  EXPECT_EQ(Take(s.NextAll(&comma)), "a");
  EXPECT_EQ(Take(s.NextAll(&comma)), ",b");
  EXPECT_EQ(Take(s.NextAll(&comma)), ",");
  EXPECT_EQ(Take(s.NextAll(&comma)), ",c");
  EXPECT_EQ(Take(s.NextAll(&comma)), "");
  // Backward reads mirror the forward ones.
  EXPECT_EQ(Take(s.PrevAll(&comma)), "c");
  EXPECT_EQ(Take(s.PrevAll(&comma)), ",");
  EXPECT_EQ(Take(s.PrevAll(&comma)), "b,");
  EXPECT_EQ(Take(s.PrevAll(&comma)), "a,");
  EXPECT_EQ(Take(s.PrevAll(&comma)), "");
  EXPECT_TRUE(s.AtBOS());
}

TEST(KStringStream, CollatedPatternSearch) {
  KString s("xx A B yy");
  KString pat("a-b");
  int length = -1;
  EXPECT_EQ(s.IdxNextAll(&pat, 0, length), 3);
  EXPECT_EQ(length, 3);
  s.exact = 1;
  EXPECT_EQ(s.IdxNextAll(&pat, 0, length), 9);  // not found: the length
  EXPECT_EQ(length, 0);
  KString tail("xxab"), abc("abc");
  EXPECT_EQ(tail.IdxNextAll(&abc, 0, length), 5);  // runs past the end
  int from = 4;
  EXPECT_EQ(tail.IdxPrevAll(&pat, from, length), 2);
  KString word("one two three");
  KString t("t"), two("two");
  EXPECT_EQ(Take(word.NextAll(&two)), "one ");
  EXPECT_EQ(word.Pos(), 4);
  EXPECT_EQ(Take(word.NextAll(&t)), "two ");  // skips the "t" at the position
}

TEST(KStringStream, ReadsAtEitherEndAreEmpty) {
  KString empty;
  EXPECT_TRUE(empty.AtBOS());
  EXPECT_TRUE(empty.AtEOS());
  EXPECT_EQ(Take(empty.Next(3)), "");
  EXPECT_EQ(Take(empty.Prev(3)), "");
  EXPECT_EQ(Take(empty.NextLN()), "");
  KString any(",");
  EXPECT_EQ(Take(empty.NextAny(&any)), "");

  KString s("abcdef");
  EXPECT_EQ(Take(s.Prev(2)), "");  // at the beginning
  EXPECT_EQ(Take(s.Next(100000)), "abcdef");
  EXPECT_EQ(Take(s.Next(1)), "");
  EXPECT_EQ(Take(s.Next(INT32_MIN)), "abcdef");  // a negative count reads backward
  EXPECT_TRUE(s.AtBOS());
  s.ToEOS();
  EXPECT_EQ(Take(s.Prev(INT32_MAX)), "abcdef");
  EXPECT_TRUE(s.AtBOS());
}

TEST(KStringStream, DirectionChangesSkipTheLastPiece) {
  KString s("L1\r\nL2\r\nL3");
  EXPECT_EQ(Take(s.NextLN()), "L1\r\n");
  EXPECT_EQ(Take(s.NextLN()), "L2\r\n");
  EXPECT_EQ(Take(s.PrevLN()), "L1\r\n");  // the line before the one just read
  EXPECT_EQ(Take(s.NextLN()), "L2\r\n");  // the line after the one just read
  s.ToEOS();
  EXPECT_EQ(Take(s.PrevLN()), "L3");
  EXPECT_EQ(Take(s.PrevLN()), "L2\r\n");
  EXPECT_EQ(Take(s.Next(2)), "L3");
  KString abc("abcabc");
  KString set("c");
  EXPECT_EQ(Take(abc.NextAny(&set)), "abc");
  EXPECT_EQ(Take(abc.NextAny(&set)), "abc");
  EXPECT_EQ(Take(abc.PrevAny(&set)), "c");  // before the last piece read
}

TEST(KStringStream, MovesAndPositions) {
  KString s("abc\r\ndef");
  EXPECT_EQ(s.ToNextLN(), -1);
  EXPECT_EQ(s.Pos(), 5);
  EXPECT_EQ(s.PPos(), -1);
  EXPECT_EQ(s.AtDir(), 'X');
  EXPECT_EQ(Take(s.Next(3)), "def");
  EXPECT_EQ(s.ToNextLN(), 8);  // at the end: nothing
  EXPECT_EQ(s.Pos(), 8);
  s.ToBOS();
  EXPECT_EQ(s.AtDir(), 'L');
  EXPECT_TRUE(s.AtBOS());
  KString e("e");
  s.ToNextAll(&e);
  EXPECT_EQ(s.Pos(), 6);
  EXPECT_EQ(s.ToNextPos(-2), 6);
  EXPECT_EQ(s.Pos(), 4);
  s.ToPrevLN();
  EXPECT_EQ(s.Pos(), -1);
  EXPECT_EQ(s.fPosSet(99), -1);
  EXPECT_EQ(s.Pos(), 8);
  int breaks = 0;
  EXPECT_EQ(s.IdxNextLN(1, 0, breaks), 3);
  EXPECT_EQ(breaks, 2);
  EXPECT_EQ(s.IdxNextLN(2, 0, breaks), 8);
  EXPECT_EQ(breaks, 0);
  EXPECT_EQ(s.IdxPrevLN(1, 8, breaks), 3);
  EXPECT_EQ(breaks, 2);
  KString set("dc");
  EXPECT_EQ(s.IdxNextAny(&set, 0), 2);
  EXPECT_EQ(s.IdxPrevAny(&set, 7), 5);
}

TEST(KStringStream, ToPosExtendsWithZeros) {
  KString s("abc");
  EXPECT_EQ(s.ToPos(10, true), -1);
  EXPECT_EQ(s.Len(), 9);
  EXPECT_EQ(s.Str()[5], '\0');
  EXPECT_EQ(s.Str()[9], '\0');
  EXPECT_TRUE(s.AtEOS());
  s.ToPos(2, false);
  EXPECT_EQ(s.Pos(), 7);
  // A seek far past the end is refused and changes nothing.
  EXPECT_THROW(s.ToPos(2000000000, true), KError);
  EXPECT_THROW(s.ToPos(-2147483647, false), KError);
  EXPECT_EQ(s.Len(), 9);
  EXPECT_EQ(s.Pos(), 7);
}

TEST(KStringStream, WritingAtThePosition) {
  KString s("abcdef");
  s.ToPos(3, true);
  KString x("XY");
  EXPECT_EQ(s.NextWr(&x), 4);
  EXPECT_EQ(s.Value(), "abXYef");
  s.write("123", 8, 3);
  EXPECT_EQ(s.Value(), std::string("abXYef\0\0" "123", 11));
  EXPECT_TRUE(s.AtEOS());
  s.write(s.Str(), 0, 2);  // from its own text
  EXPECT_EQ(s.Value().substr(0, 6), "abXYef");
  KNum n(int32_t{1});
  EXPECT_THROW(s.NextWr(&n), KError);
}

TEST(KStringStream, Properties) {
  KString s("abc");
  EXPECT_EQ(s.Properties(), "D[X]; PPos[0]; B[Y]; E[N]; Pos[0]; NE[3]");
  Own<KString> r(s.Next(2));
  EXPECT_EQ(s.Properties(), "D[R]; PPos[0]; B[N]; E[N]; Pos[3]; NE[3]");
  KString name(":props");
  EXPECT_EQ(Take(s.FieldGet(&name)), s.Properties());
  KString empty;
  EXPECT_EQ(empty.Properties(), "D[X]; PPos[0]; B[Y]; E[Y]; Pos[0]; NE[0]");
}

TEST(KStringStream, SharedDescriptorSharesPosition) {
  KString s("abc");
  KString other(static_cast<KB*>(nullptr));
  other.ReferenceTo(&s);
  Own<KString> r(s.Next(1));
  EXPECT_EQ(other.Pos(), 1);
  other.Fix();  // a private copy keeps the state
  Own<KString> r2(s.Next(1));
  EXPECT_EQ(other.Pos(), 1);
  EXPECT_EQ(s.Pos(), 2);
}

// ------------------------------------------------------------ Base64

TEST(KStringBase64, KnownValuesAndRoundTrip) {
  KString abc("abc"), a("a"), ab("ab"), empty;
  EXPECT_EQ(Take(abc.B64()), "YWJj");
  EXPECT_EQ(Take(a.B64()), "YQ==");
  EXPECT_EQ(Take(ab.B64()), "YWI=");
  EXPECT_EQ(Take(empty.B64()), "");
  KString enc("YQ==");
  EXPECT_EQ(Take(enc.R64()), "a");

  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  KString bytes(all);
  Own<KString> e(bytes.B64());
  EXPECT_EQ(e->Len(), 344);
  EXPECT_EQ(Take(e->R64()), all);
}

TEST(KStringBase64, UnknownCharactersAreSkipped) {
  KString messy("Y\r\nW*J j!!");
  EXPECT_EQ(Take(messy.R64()), "abc");
  KString junk("\x01\xFF=== ");
  EXPECT_EQ(Take(junk.R64()), "");
  KString partial("YWJjZ");  // leftover bits are dropped
  EXPECT_EQ(Take(partial.R64()), "abc");
  KString field(":r64");
  EXPECT_EQ(Take(messy.FieldGet(&field)), "abc");
}

// ------------------------------------------------------------ text forms

TEST(KStringText, AsStringDumpAndListing) {
  KString s(std::string("a\tb\r\nc\0", 7));
  EXPECT_EQ(s.AsString(false), "a.b\r\nc.");
  EXPECT_EQ(s.AsString(true), "String[R1C7:C]a.b\r\nc.");
  EXPECT_EQ(s.Value(), std::string("a\tb\r\nc\0", 7));  // the text itself is unchanged
  KString d("hi");
  EXPECT_EQ(d.Dump(), "String[2]hi:");
  KString e;
  EXPECT_EQ(e.Dump(), "String[0]:NULL");
  KString bad(":nonesuch"), colon(":"), typec(":TYPEC"), size(":size");
  const char* listing = ":, :b64, :csv, :hex, :num, :props , :r64, :size, :string, :stringV, :typeC, :typeN";
  EXPECT_EQ(Take(d.FieldGet(&bad)), listing);
  EXPECT_EQ(Take(d.FieldGet(&colon)), listing);
  EXPECT_EQ(Take(d.FieldGet(&typec)), "String");
  EXPECT_EQ(Ints(d.FieldGet(&size)), std::vector<int>{2});
}

TEST(KStringText, HexDump) {
  KString s("A\x01z");
  EXPECT_EQ(s.AsHex(80), "A.z\r407\r11A");
  KString t("abcd");
  EXPECT_EQ(t.AsHex(3), "abc\r666\r123\rd\r6\r4");
  KString field(":hex");
  EXPECT_EQ(Take(s.FieldGet(&field)), "A.z\r407\r11A");
  KString e;
  EXPECT_EQ(e.AsHex(80), "");
}

TEST(KStringText, Format) {
  KString s("abcdefg"), ab("ab");
  KNum five(int32_t{5}), minus5(int32_t{-5}), zero(int32_t{0}), f(5.9);
  EXPECT_EQ(Take(s.Format(&five)), "abcde");
  EXPECT_EQ(Take(s.Format(&minus5)), "cdefg");
  EXPECT_EQ(Take(ab.Format(&minus5)), "   ab");
  EXPECT_EQ(Take(ab.Format(&five)), "ab   ");
  EXPECT_EQ(Take(ab.Format(&zero)), "");
  EXPECT_EQ(Take(ab.Format(&f)), "ab   ");
  KNum empty;
  KString txt("5");
  EXPECT_THROW(s.Format(&empty), KError);
  EXPECT_THROW(s.Format(&txt), KError);
}

TEST(KStringText, CSV) {
  KString s("a,\"b,c\",d\r\ne,f");
  Own<KSeq> rows(s.AsCSV());
  ASSERT_EQ(rows->Count(), 2);
  auto row0 = static_cast<KSeq*>((*rows)[0]);
  auto row1 = static_cast<KSeq*>((*rows)[1]);
  ASSERT_EQ(row0->Count(), 3);
  EXPECT_EQ(Str((*row0)[1]), "\"b,c\"");
  EXPECT_EQ(Str((*row0)[2]), "d");
  ASSERT_EQ(row1->Count(), 2);
  EXPECT_EQ(Str((*row1)[0]), "e");  // CR LF is one line end
  EXPECT_EQ(Str((*row1)[1]), "f");
  // Rows end at LF alone and LF CR too; a quoted line end stays in its field.
  KString lf("a\nb\n\rc,\"x\ny\"");
  Own<KSeq> r2(lf.AsCSV());
  ASSERT_EQ(r2->Count(), 3);
  EXPECT_EQ(Str((*static_cast<KSeq*>((*r2)[1]))[0]), "b");
  EXPECT_EQ(Str((*static_cast<KSeq*>((*r2)[2]))[1]), "\"x\ny\"");
  KString empty;
  Own<KSeq> one(empty.AsCSV());
  ASSERT_EQ(one->Count(), 1);
  EXPECT_EQ(static_cast<KSeq*>((*one)[0])->Count(), 1);
}

TEST(KStringText, NumbersAndConvert) {
  KString s("1 2.5");
  Own<KNum> n(s.AsNum());
  ASSERT_TRUE(n->IsFlt());
  EXPECT_DOUBLE_EQ(n->FltPtr()[1], 2.5);
  KString bytes(std::string("\x01\x00\xFF\xFF", 4));
  KNum u16(int32_t{2}), s16(int32_t{-2}), u32(int32_t{4});
  EXPECT_EQ(Ints(bytes.Convert(&u16)), (std::vector<int>{1, 65535}));
  EXPECT_EQ(Ints(bytes.Convert(&s16)), (std::vector<int>{1, -1}));
  Own<KB> big(bytes.Convert(&u32));
  ASSERT_TRUE(static_cast<KNum*>(big.get())->IsFlt());
  EXPECT_DOUBLE_EQ(static_cast<KNum*>(big.get())->FltPtr()[0], 4294901761.0);
  KNum bits(int32_t{0});
  EXPECT_EQ(Bits(bytes.Convert(&bits)).substr(0, 16), "0000000100000000");
  KNum bad(int32_t{3});
  EXPECT_EQ(bytes.Convert(&bad), nullptr);
}

// ------------------------------------------------------------ editing

TEST(KStringEdit, TrimAndTranslate) {
  KString s("  a   b  "), blank(" "), none;
  EXPECT_EQ(Take(s.DEE(&blank)), "a b");
  KString lead("  a");
  EXPECT_EQ(Take(lead.DLE(&none)), "a");
  EXPECT_EQ(Take(s.DTE(&blank)), "  a   b");
  KString x("abc"), from("ab"), to("bz");
  x.XLate(&from, &to);
  EXPECT_EQ(x.Value(), "zzc");  // a->b, then b->z applies to the result
  KString mixed("\xE9t\xE9 A");
  EXPECT_EQ(Take(mixed.ToUpper()), "\xC9T\xC9 A");
  EXPECT_EQ(Take(mixed.ToLower()), "\xE9t\xE9 a");
}

TEST(KStringEdit, AppendGrowsAndKeepsPosition) {
  KString s("ab");
  Own<KString> r(s.Next(2));
  EXPECT_TRUE(s.AtEOS());
  KString c("cde");
  s.Append(&c);
  EXPECT_EQ(s.Value(), "abcde");
  EXPECT_EQ(s.descriptor->capacity, (2 + 3) * 110 / 100);
  EXPECT_FALSE(s.AtEOS());
  EXPECT_EQ(Take(s.Next(9)), "cde");
  s.Append(&s);
  EXPECT_EQ(s.Value(), "abcdeabcde");
  KNum n(int32_t{1});
  EXPECT_THROW(s.Append(&n), KError);
  s.CatenateSelfRevArg(&c);
  EXPECT_EQ(s.Value(), "cdeabcdeabcde");
}

TEST(KStringEdit, StructureOnCharacters) {
  KString s("abc");
  EXPECT_EQ(Take(s.Take(5, true, false)), "abc  ");
  EXPECT_EQ(Take(s.Take(5, true, true)), "abccc");
  EXPECT_EQ(Take(s.Take(5, false, true)), "aaabc");
  EXPECT_EQ(Take(s.Take(-1, false, false)), "ab");
  EXPECT_EQ(Take(s.Take(-5, true, false)), "");
  KString e;
  EXPECT_EQ(Take(e.Take(-2, true, false)), "\x7F\x7F");
  EXPECT_EQ(Take(s.Rotate(1)), "cab");
  EXPECT_EQ(Take(s.Shift(1)), "\x7F" "ab");
  EXPECT_EQ(Take(s.Shift(-1)), "bc\x7F");
  EXPECT_EQ(Take(s.Reshape(7)), "abcabca");
  EXPECT_EQ(Take(s.Flip()), "cba");
  KString runs("aabccd");
  EXPECT_EQ(Take(runs.Unique()), "abcd");
  EXPECT_EQ(Take(runs.QueryUnique()), "bd");
  EXPECT_EQ(Take(runs.QueryNotUnique()), "ac");
  KString set("cx");
  EXPECT_EQ(Take(runs.Intersect(&set)), "cc");
  EXPECT_EQ(Take(runs.Without(&set)), "aabd");
  KSeq seq;
  EXPECT_THROW(runs.Without(&seq), KError);
  EXPECT_THROW(runs.Union(&set), KError);
  KString keys("Cz,");
  KString hay("a, bc");
  EXPECT_EQ(Ints(hay.IndexOf(&keys)), (std::vector<int>{5, 0, 2}));
}

TEST(KStringEdit, IndexingAndAssignment) {
  KString s("abcde");
  KNum idx("1 3 9", -1);
  EXPECT_EQ(Take(s.IndexedBy(&idx)), "ac\x7F");
  KString mask("10001");
  EXPECT_EQ(Take(s.IndexedBy(&mask)), "ae");
  KNum frac(1.5);
  EXPECT_THROW(s.IndexedBy(&frac), KError);
  KString val("XY");
  s.IdxAssign(&val, &idx);
  EXPECT_EQ(s.Value(), "XbYde");
  KBit bits("01011");
  s.IdxAssign(&val, &bits);
  EXPECT_EQ(s.Value(), "XXYYY");
  KNum n(int32_t{1});
  EXPECT_THROW(s.IdxAssign(&n, &idx), KError);
  KField name("f");
  Own<KB> ns(s.IndexedBy(&name));
  ASSERT_EQ(ns->typen(), KT::tNS);
  EXPECT_EQ(Str(static_cast<KNS*>(ns.get())->ValPtr("F")), "XXYYY");
}

// ------------------------------------------------------------ words and marks

TEST(KStringMarks, WordsAndMarks) {
  KString s("It's a well-known--fact");
  EXPECT_EQ(Pieces(s.AllWords()), (std::vector<std::string>{"Its", "a", "wellknown", "fact"}));
  s.exact = 1;
  EXPECT_EQ(Pieces(s.AllWords()), (std::vector<std::string>{"It's", "a", "well-known", "fact"}));
  KString w("ab cd");
  EXPECT_EQ(Bits(w.MarkWordsBeg()), "10010");
  EXPECT_EQ(Bits(w.MarkWordsEnd()), "01001");
  KString set("B");
  EXPECT_EQ(Bits(w.MarkChar(&set, false)), "01000");
  EXPECT_EQ(Bits(w.MarkChar(&set, true)), "1");
  KString span("aXaXa"), aXa("aXa");
  EXPECT_EQ(Bits(span.MarkSpan(&aXa)), "11100");
  KString pairs("(x) [y]"), brackets("()[]");
  EXPECT_EQ(Bits(pairs.MarkSpanPairs(&brackets, false)), "1110111");
  EXPECT_EQ(Bits(pairs.MarkSpanPairs(&brackets, true)), "0100010");
}

TEST(KStringMarks, MarkStringCollatedWithGaps) {
  KString s("A-B ab a b");
  KString pat("a b");
  EXPECT_EQ(Bits(s.MarkString(&pat, KString::mtAll)), "1110000111");
  EXPECT_EQ(Bits(s.MarkString(&pat, KString::mtFirst)), "1000000100");
  EXPECT_EQ(Bits(s.MarkString(&pat, KString::mtBoth, true)), "1010000000");
  KString aa("aaa"), two("aa");
  EXPECT_EQ(Bits(aa.MarkString(&two, KString::mtFirst)), "110");  // occurrences overlap
  KString csv("a,b"), comma(",");
  EXPECT_EQ(Bits(csv.MarkString(&comma, KString::mtAll)), "010");
  aa.exact = 1;
  KString upper("AA");
  EXPECT_EQ(Bits(aa.MarkString(&upper, KString::mtAll)), "000");
  KNum n(int32_t{1});
  EXPECT_THROW(s.MarkString(&n, KString::mtAll), KError);
}

TEST(KStringMarks, Segment) {
  KString s("a\r\nb\n\nc");
  EXPECT_EQ(Pieces(s.Segment(nullptr, false)), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(Pieces(s.Segment(nullptr, true)), (std::vector<std::string>{"a\r\n", "b\n", "\n", "c"}));
  KString t("ab,cd");
  KBit mask("00100");
  EXPECT_EQ(Pieces(t.Segment(&mask, false)), (std::vector<std::string>{"ab,", "cd"}));
  EXPECT_EQ(Pieces(t.Segment(&mask, true)), (std::vector<std::string>{"ab", ",cd"}));
  KString delim(",");
  EXPECT_EQ(Pieces(t.Segment(&delim, false)), (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(Pieces(t.Segment(&delim, true)), (std::vector<std::string>{"ab,", "cd"}));
  KNum cuts("2 4", -1);
  EXPECT_EQ(Pieces(t.Segment(&cuts, true)), (std::vector<std::string>{"a", "b,", "cd"}));
}

// ------------------------------------------------------------ images

TEST(KStringImage, RoundTripByteExact) {
  KString s(std::string("hi\0x", 4));
  std::string img = s.SO();
  ASSERT_EQ(static_cast<int>(img.size()), s.SOSz());
  EXPECT_EQ(img, std::string("\x1D\0\0\0\x11\0\0\0\x05\0\0\0hi\0x\0", 17));
  Own<KB> back(KString::SI(img.data()));
  EXPECT_EQ(back->typen(), KT::tString);
  EXPECT_EQ(Str(back.get()), std::string("hi\0x", 4));

  KField f("name");
  std::string fimg = f.SO();
  EXPECT_EQ(fimg[0], 9);
  Own<KB> fb(KString::SI(fimg.data()));
  EXPECT_EQ(fb->typen(), KT::tField);
  EXPECT_EQ(fb->AsString(false), ".name");

  std::string broken = img;
  broken[8] = 100;  // payload longer than the image
  EXPECT_THROW(KString::SI(broken.data()), KError);
}

// ------------------------------------------------------------ fields

TEST(KField, TextFormsAndCoercion) {
  KString s("abc");
  Own<KB> f(s.CoerceTo(KT::tField));
  EXPECT_EQ(f->typen(), KT::tField);
  EXPECT_EQ(f->AsString(false), ".abc");
  EXPECT_EQ(f->AsString(true), "Field[R1C3:C].abc");
  Own<KB> c(f->Clone());
  EXPECT_EQ(c->typen(), KT::tField);
  EXPECT_THROW(s.CoerceTo(KT::tNum), KError);
  EXPECT_THROW(s.CoerceTo(KT::tSeq), KError);
  Own<KB> b(s.CoerceTo(KT::tBit));
  EXPECT_EQ(b->typen(), KT::tBit);
}

TEST(KField, ListsOfFields) {
  KFList list;
  list.Append(new KField("a"), true);
  list.Append(new KField("B"), true);
  KFList more;
  more.Append(new KField("c"), true);
  list.Append(&more, false);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.AsString(false), ".a.B.c");
  EXPECT_EQ(list.typen(), KT::tFL);
  KString s("x");
  EXPECT_THROW(list.Append(&s, false), KError);
  KString b("b");
  EXPECT_EQ(Ints(list.IndexOf(&b)), std::vector<int>{2});
  KFList keys;
  keys.Append(new KField("C"), true);
  keys.Append(new KField("z"), true);
  EXPECT_EQ(Ints(list.IndexOf(&keys)), (std::vector<int>{3, 0}));
  KString size(":size");
  EXPECT_EQ(Ints(list.FieldGet(&size)), std::vector<int>{3});

  std::string img = list.SO();
  EXPECT_EQ(img[0], 12);
  Own<KB> back(KFList::SI(img.data()));
  EXPECT_EQ(back->AsString(false), ".a.B.c");
}

// ------------------------------------------------------------ robustness

// Random texts and random stream calls: no crash, and the stream state stays
// normalised (position within -1..length, flags matching the position).
TEST(KStringRobust, RandomStreamCallsKeepStateNormalised) {
  uint32_t seed = 12345;
  auto rnd = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  const char alphabet[] = "ab,\r\n -A\0";
  KString comma(","), ab("a-b"), set("\r,"), empty;
  for (int round = 0; round < 200; ++round) {
    std::string text;
    for (uint32_t k = rnd(12); k > 0; --k) text += alphabet[rnd(sizeof alphabet - 1)];
    KString s(text);
    for (int step = 0; step < 40; ++step) {
      int n = static_cast<int>(rnd(7)) - 3;
      KB* r = nullptr;
      switch (rnd(14)) {
        case 0: r = s.Next(n); break;
        case 1: r = s.Prev(n); break;
        case 2: r = s.NextLN(); break;
        case 3: r = s.PrevLN(); break;
        case 4: r = s.NextAll(rnd(2) ? &comma : &ab); break;
        case 5: r = s.PrevAll(rnd(2) ? &comma : &ab); break;
        case 6: r = s.NextAny(rnd(2) ? &set : &empty); break;
        case 7: r = s.PrevAny(&set); break;
        case 8: s.ToNextLN(); s.ToPrevAll(&comma); break;
        case 9: s.ToNextAny(&set); s.ToPrevLN(); break;
        case 10: s.ToNextPos(n); s.ToPrevPos(n); break;
        case 11: rnd(2) ? s.ToBOS() : s.ToEOS(); break;
        case 12: s.ToPos(n, rnd(2) != 0); break;
        default: s.NextWr(&comma); break;
      }
      KB::DoneWith(r);
      int len = s.Len();
      ASSERT_GE(s.Pos(), -1);
      ASSERT_LE(s.Pos(), len);
      ASSERT_GE(s.PPos(), -1);
      ASSERT_LE(s.PPos(), len);
      ASSERT_EQ(s.AtEOS(), len == 0 || s.Pos() == len);
      ASSERT_EQ(s.AtBOS(), len == 0 || s.Pos() == -1);
      ASSERT_EQ(s.Str()[len], '\0');
    }
  }
}

TEST(KStringRobust, MalformedInputIsHandled) {
  std::string junk;
  for (int c = 0; c < 256; ++c) junk += static_cast<char>(255 - c);
  KString s(junk);
  Own<KString> d(s.R64());
  EXPECT_EQ(d->Len(), 48);  // the 64 alphabet characters give 48 bytes
  KString empty;
  KNum zero(int32_t{0});
  Own<KB> bits(empty.Convert(&zero));
  EXPECT_EQ(bits->Count(), 0);
  std::string tiny("\x1D\0\0\0\x08\0\0\0", 8);  // frame without a payload
  EXPECT_THROW(KString::SI(tiny.data()), KError);
  EXPECT_THROW(s.Range(2, 1), KError);
  EXPECT_EQ(Take(s.Range(-3, 0)), std::string(4, '\xFF'));
  EXPECT_THROW(s.ToFile("/tmp/outside-the-fence.txt"), KError);  // write fence
}

// ------------------------------------------------------------ whole passes

// Every forward read kind, repeated from the beginning, reaches the end in
// at most length + 1 reads, and its pieces put together give the text back;
// every backward read kind reaches the beginning the same way. Texts cover
// both ends: empty, one character, no final line end, a lone CR at the end.
TEST(KStringPasses, ReadsTerminateAndCoverTheText) {
  const std::string texts[] = {"", "x", "\r", "ab\r\ncd", "ab\ncd\r", "a\n\rb\n\nc", ",a,,b,", "A B a-b"};
  KString comma(","), ab("a-b"), set("\n,");
  using Fwd = KString* (*)(KString&, KString&, KString&, KString&);
  const Fwd forward[] = {
      [](KString& s, KString&, KString&, KString&) { return s.NextLN(); },
      [](KString& s, KString&, KString&, KString&) { return s.Next(2); },
      [](KString& s, KString& c, KString&, KString&) { return s.NextAll(&c); },
      [](KString& s, KString&, KString& p, KString&) { return s.NextAll(&p); },
      [](KString& s, KString&, KString&, KString& any) { return s.NextAny(&any); },
  };
  const Fwd backward[] = {
      [](KString& s, KString&, KString&, KString&) { return s.PrevLN(); },
      [](KString& s, KString&, KString&, KString&) { return s.Prev(2); },
      [](KString& s, KString& c, KString&, KString&) { return s.PrevAll(&c); },
      [](KString& s, KString&, KString& p, KString&) { return s.PrevAll(&p); },
      [](KString& s, KString&, KString&, KString& any) { return s.PrevAny(&any); },
  };
  for (const std::string& text : texts) {
    for (Fwd read : forward) {
      KString s(text);
      std::string joined;
      int reads = 0;
      while (!s.AtEOS()) {
        ASSERT_LE(++reads, static_cast<int>(text.size()) + 1) << text;
        joined += Take(read(s, comma, ab, set));
      }
      EXPECT_EQ(joined, text);
      EXPECT_EQ(Take(read(s, comma, ab, set)), "");
    }
    for (Fwd read : backward) {
      KString s(text);
      s.ToEOS();
      std::string joined;
      int reads = 0;
      while (!s.AtBOS()) {
        ASSERT_LE(++reads, static_cast<int>(text.size()) + 1) << text;
        joined = Take(read(s, comma, ab, set)) + joined;
      }
      EXPECT_EQ(joined, text);
    }
  }
}

// A forward pass and a backward pass over the same text give the same
// lines, each with its line end, in opposite orders.
TEST(KStringPasses, BackwardLinesMirrorForwardLines) {
  KString s("one\r\ntwo\nthree\r");
  std::vector<std::string> fwd, bwd;
  while (!s.AtEOS()) fwd.push_back(Take(s.NextLN()));
  s.ToEOS();
  while (!s.AtBOS()) bwd.insert(bwd.begin(), Take(s.PrevLN()));
  EXPECT_EQ(fwd, (std::vector<std::string>{"one\r\n", "two\n", "three\r"}));
  EXPECT_EQ(bwd, fwd);
}

// ------------------------------------------------------------ cutting

TEST(KStringCut, SegmentAtThreeWays) {
  KString s("ab,cd,");
  std::vector<bool> marks = {false, false, true, false, false, true};
  EXPECT_EQ(Pieces(s.SegmentAt(marks, KString::cutBefore)), (std::vector<std::string>{"ab", ",cd", ","}));
  EXPECT_EQ(Pieces(s.SegmentAt(marks, KString::cutAfter)), (std::vector<std::string>{"ab,", "cd,"}));
  EXPECT_EQ(Pieces(s.SegmentAt(marks, KString::cutDrop)), (std::vector<std::string>{"ab", "cd"}));
  std::vector<bool> twice = {false, true, true, false, false, false};
  EXPECT_EQ(Pieces(s.SegmentAt(twice, KString::cutDrop)), (std::vector<std::string>{"a", "", "cd,"}));
  // Marks shorter than the text leave the rest as one piece.
  EXPECT_EQ(Pieces(s.SegmentAt({false, true}, KString::cutBefore)), (std::vector<std::string>{"a", "b,cd,"}));
}

TEST(KStringCut, PiecesAreFreshStreams) {
  KString s("ab\ncd");
  Take(s.NextLN());
  Own<KSeq> lines(s.Segment(nullptr, false));
  auto* second = static_cast<KString*>((*lines)[1]);
  EXPECT_EQ(second->Pos(), -1);
  EXPECT_TRUE(second->AtBOS());
  EXPECT_FALSE(second->AtEOS());
  EXPECT_EQ(Take(second->NextLN()), "cd");
  KString empty("");
  EXPECT_TRUE(empty.AtEOS() && empty.AtBOS());
}

TEST(KStringCut, MatchSpansGiveFirstAndLast) {
  KString s("xA-b yab");
  KString pattern("ab");
  auto spans = s.MatchSpans(&pattern);
  // "A-b" has a gap the pattern lacks; "ab" matches at 6..7.
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0], std::make_pair(6, 7));
  KString overlap("aaa"), aa("aa");
  EXPECT_EQ(overlap.MatchSpans(&aa).size(), 2u);
  EXPECT_EQ(overlap.MatchSpans(&aa, true).size(), 1u);
  KNum number(int32_t{1});
  EXPECT_THROW(s.MatchSpans(&number), KError);
}

// ------------------------------------------------------------ regular expressions

// The All searches take a regular expression: the first match from a
// position, the last one before it; groups do not change the whole match.
TEST(KStringGrep, SearchesAndReadsByRegularExpression) {
  KGREP digits("([0-9])[0-9]*");
  digits.Compile();
  KString s("a1b22c");
  int length = 0;
  EXPECT_EQ(s.IdxNextAll(&digits, 0, length), 1);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(s.IdxNextAll(&digits, 2, length), 3);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(s.IdxNextAll(&digits, 5, length), 6);  // none: the length
  EXPECT_EQ(s.IdxPrevAll(&digits, 6, length), 3);
  EXPECT_EQ(s.IdxPrevAll(&digits, 3, length), 1);
  EXPECT_EQ(s.IdxPrevAll(&digits, 1, length), -1);
  EXPECT_EQ(s.MatchSpans(&digits), (std::vector<std::pair<int, int>>{{1, 1}, {3, 4}}));
  EXPECT_EQ(Take(s.NextAll(&digits)), "a");
  EXPECT_EQ(Take(s.NextAll(&digits)), "1b");
  EXPECT_EQ(Take(s.NextAll(&digits)), "22c");
  EXPECT_TRUE(s.AtEOS());
}

// A pattern that matches the empty text cannot hold a stream in place.
TEST(KStringGrep, EmptyMatchesStillMove) {
  KGREP none("x*");
  none.Compile();
  KString s("ab");
  EXPECT_EQ(Take(s.NextAll(&none)), "a");
  EXPECT_EQ(Take(s.NextAll(&none)), "b");
  EXPECT_TRUE(s.AtEOS());
  while (!s.AtBOS()) Take(s.PrevAll(&none));
  EXPECT_EQ(s.Pos(), -1);
  EXPECT_TRUE(s.MatchSpans(&none).empty());
}
