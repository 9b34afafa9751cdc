// Tests for KClock: calendar text form, file times, construction from parts,
// conformance and addition, stopwatch fields, indexing and images.
#include <gtest/gtest.h>

#include <string>

#include "KArg.h"
#include "KClock.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

TEST(KClock, TextForm) {
  KClock c(2.5);
  EXPECT_EQ(c.typen(), KT::tClock);
  EXPECT_EQ(c.alignmentn(), KT::aFloat);
  EXPECT_EQ(c.AsString(false), "1900/01/01 12:00:00.000");
  EXPECT_EQ(c.AsString(true), "Clock[R1C1:F]1900/01/01 12:00:00.000");
  EXPECT_EQ(KClock::FormatDays(0.0), "1899/12/30 00:00:00.000");
  EXPECT_EQ(KClock::FormatDays(KT::fNil), "Nil");
  EXPECT_EQ(KClock::FormatDays(1e12), "Invalid");
  // 2000-02-29 is a leap day; 1.5 ms rounds to 2 ms
  EXPECT_EQ(KClock::FormatDays(36585.0 + 1.5 / 86400000.0), "2000/02/29 00:00:00.002");
  // before the epoch the fraction still counts forward from the date
  EXPECT_EQ(KClock::FormatDays(-0.75), "1899/12/29 06:00:00.000");
  KNum two("2.0 3.25", -1);
  KClock v(&two);
  EXPECT_EQ(v.AsString(false), "1900/01/01 00:00:00.000\r\n1900/01/02 06:00:00.000");
}

TEST(KClock, FileTimes) {
  KFileTime zero;
  KClock c(zero);
  EXPECT_DOUBLE_EQ(c.Days(0), -109205.0);
  EXPECT_EQ(c.AsString(false), "1601/01/01 00:00:00.000");
  KFileTime noon;
  noon.ticks = 864000000000ULL / 2;
  c = noon;
  EXPECT_EQ(c.AsString(false), "1601/01/01 12:00:00.000");
  EXPECT_DOUBLE_EQ(KClock::DaysFromUnix(0, 0), 25569.0);
  EXPECT_DOUBLE_EQ(KClock::DaysFromUnix(86400, 500000000), 25570.0 + 0.5 / 86400.0);
}

TEST(KClock, EncodeDecode) {
  KSystemTime st;
  st.year = 2024;
  st.month = 3;
  st.day = 15;
  st.hour = 13;
  st.minute = 45;
  st.second = 30;
  st.millisecond = 250;
  double d = KClock::Encode(st);
  KSystemTime back = KClock::Decode(d);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.month, 3);
  EXPECT_EQ(back.day, 15);
  EXPECT_EQ(back.hour, 13);
  EXPECT_EQ(back.minute, 45);
  EXPECT_EQ(back.second, 30);
  EXPECT_EQ(back.millisecond, 250);
  EXPECT_EQ(back.dayOfWeek, 5);  // a Friday
  st.month = 2;
  st.day = 30;
  EXPECT_THROW(KClock::Encode(st), KError);  // the calendar rejects 30 February
  EXPECT_THROW(KClock::Decode(KT::fNil), KError);
}

TEST(KClock, FromKNum) {
  KClock c(38000.25);  // 2004/01/14 06:00
  KNum parts("2004 13 1", -1);
  c.FromKNum(&parts);
  EXPECT_EQ(c.AsString(false), "2004/12/01 06:00:00.000");  // month clamped, time of day kept
  KNum zeroDay("0 0 0 0", -1);  // zero date parts keep the date; a zero hour is given
  c.FromKNum(&zeroDay);
  EXPECT_EQ(c.AsString(false), "2004/12/01 00:00:00.000");
  KNum all("1999 6 7 8 9 10 11", -1);
  c.FromKNum(&all);
  EXPECT_EQ(c.AsString(false), "1999/06/07 08:09:10.011");
  KNum days("2.5", -1);  // a float is a day count
  c.FromKNum(&days);
  EXPECT_EQ(c.Count(), 1);
  EXPECT_DOUBLE_EQ(c.Days(0), 2.5);
  KNum bad("2003 2 30", -1);
  EXPECT_THROW(c.FromKNum(&bad), KError);
  EXPECT_DOUBLE_EQ(c.Days(0), 2.5);  // unchanged after the error
  KNum nilMonth("2004 2147483647 1 2147483647", -1);  // a nil part is given: it clamps high
  c.FromKNum(&nilMonth);
  EXPECT_EQ(c.AsString(false), "2004/12/01 23:00:00.000");
}

TEST(KClock, ConformAndPlus) {
  KClock* c = new KClock(10.0);
  KA a(c);
  KB::DoneWith(c);
  KA one(1);
  c->Plus(one);
  EXPECT_DOUBLE_EQ(c->Days(0), 11.0);
  KA hour(1.0 / 24.0);
  c->Plus(hour);
  EXPECT_EQ(c->AsString(false), "1900/01/10 01:00:00.000");
  // a longer operand extends this clock at the front with nils
  KA two(new KNum("1 2", -1));
  KB::DoneWith(two.value);
  c->Plus(two);
  ASSERT_EQ(c->Count(), 2);
  EXPECT_EQ(c->Days(0), KT::fNil);
  EXPECT_DOUBLE_EQ(c->Days(1), 11.0 + 1.0 / 24.0 + 2.0);
  // a shorter operand is right-aligned with leading nils
  KA r(new KNum(static_cast<int32_t>(5)));
  KB::DoneWith(r.value);
  c->Conform(r);
  ASSERT_EQ(r.Type(), KT::tClock);
  ASSERT_EQ(r.Cnt(), 2);
  EXPECT_EQ(static_cast<KClock*>(r.value)->Days(0), KT::fNil);
  EXPECT_DOUBLE_EQ(static_cast<KClock*>(r.value)->Days(1), 5.0);
  KA empty;
  c->Conform(empty);
  EXPECT_EQ(empty.Type(), KT::tNV);
  KA text("x");
  EXPECT_THROW(c->Conform(text), KError);
}

TEST(KClock, StopwatchFields) {
  KClock* c = new KClock(KPlat::NowLocalDays() - 1.0 / 86400.0);  // one second ago
  KString split(":split"), lap(":LAP");
  KB* s1 = c->FieldGet(&split);
  KB* s2 = c->FieldGet(&split);
  double a = static_cast<KNum*>(s1)->AsFloat(), b = static_cast<KNum*>(s2)->AsFloat();
  EXPECT_GE(a, 0.9);
  EXPECT_GE(b, a);
  KB* l1 = c->FieldGet(&lap);
  KB* l2 = c->FieldGet(&lap);
  EXPECT_GE(static_cast<KNum*>(l1)->AsFloat(), 0.9);
  EXPECT_LT(static_cast<KNum*>(l2)->AsFloat(), 0.5);
  for (KB* v : {s1, s2, l1, l2}) KB::DoneWith(v);
  KString size(":size"), other(":nope");
  KB* sz = c->FieldGet(&size);
  EXPECT_EQ(static_cast<KNum*>(sz)->AsInt(), 8);
  KB::DoneWith(sz);
  KB* list = c->FieldGet(&other);
  EXPECT_EQ(KB::TextOf(list), ":, :lap, :num, :size, :split, :string, :stringv, :typen, :typec");
  KB::DoneWith(list);
  EXPECT_THROW(c->FieldSet(&size, &size), KError);
  EXPECT_THROW(c->Clear(), KError);
  KB::DoneWith(c);
}

TEST(KClock, AsSeqAndIndexing) {
  KNum days("2.5 36585.0", -1);
  KClock c(&days);
  KSeq* s = c.AsSeq();
  ASSERT_EQ(s->Count(), 2);
  EXPECT_EQ((*s)[0]->AsString(false), "1900 1 1 12 0 0 0 2");  // Monday
  EXPECT_EQ((*s)[1]->AsString(false), "2000 2 29 0 0 0 0 3");  // Tuesday
  KB::DoneWith(s);
  KNum idx("2 5", -1);
  KClock* r = c.IndexedBy(&idx);
  EXPECT_DOUBLE_EQ(r->Days(0), 36585.0);
  EXPECT_DOUBLE_EQ(r->Days(1), 0.0);  // outside: day 0
  KB::DoneWith(r);
  KNum fidx("1.0", -1);
  EXPECT_THROW(c.IndexedBy(&fidx), KError);
  KClock* one = c.IndexedBy(7);
  EXPECT_EQ(one->Days(0), KT::fNil);
  KB::DoneWith(one);

  KNum v("40000.0", -1), at("1", -1);
  c.IdxAssign(&v, &at);
  EXPECT_DOUBLE_EQ(c.Days(0), 40000.0);
  KNum iv("1", -1), two("1 2", -1);
  EXPECT_THROW(c.IdxAssign(&iv, &at), KError);   // "Int V"
  EXPECT_THROW(c.IdxAssign(&v, &two), KError);   // "Conformity"
  KNum none(KT::aInt, 0);
  EXPECT_THROW(c.IdxAssign(&v, &none), KError);  // "Null I"
}

TEST(KClock, CompareTakeAndImage) {
  KClock a(1.0), b(2.0);
  EXPECT_TRUE(b.GT(&a, 0, 1, false));
  EXPECT_FALSE(a.GT(&b, 0, 1, false));
  KClock a2(1.0);
  EXPECT_TRUE(a.EQ(&a2));
  EXPECT_TRUE(a == a2);
  EXPECT_TRUE(a != b);
  KClock* t = a.Take(3, true, true);
  ASSERT_EQ(t->typen(), KT::tClock);
  ASSERT_EQ(t->Count(), 3);
  EXPECT_DOUBLE_EQ(t->Days(2), 1.0);
  KB::DoneWith(t);

  KNum days("2.5 _10.25", -1);
  KClock c(&days);
  std::string img = c.SO();
  ASSERT_EQ(static_cast<int>(img.size()), c.SOSz());
  EXPECT_EQ(img[0], static_cast<char>(KT::tClock));
  EXPECT_EQ(img[8], static_cast<char>(KT::aFloat));
  EXPECT_EQ(KB::GetI32(img.data() + 12), 2);
  KB* back = KClock::SI(img.data());
  ASSERT_EQ(back->typen(), KT::tClock);
  EXPECT_TRUE(static_cast<KClock*>(back)->EQ(&c));
  EXPECT_EQ(back->AsString(false), c.AsString(false));
  KB::DoneWith(back);
  KB* copy = c.Clone();
  EXPECT_EQ(copy->typen(), KT::tClock);
  EXPECT_NE(copy->descriptor, c.descriptor);
  KB::DoneWith(copy);
}
