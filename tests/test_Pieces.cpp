// Tests for the pieces of a cut text: sequences whose elements are spans of
// the text's pinned buffer until a slot is used, and the copy on write that
// keeps the text and its pieces apart.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "KNum.h"
#include "KSeq.h"
#include "KString.h"

namespace {

struct Done {
  void operator()(KB* v) const { KB::DoneWith(v); }
};
template <class T>
using Own = std::unique_ptr<T, Done>;

std::string Text(KB* v) { return KB::TextOf(v); }

// The texts of the elements of a sequence (this makes deferred elements).
std::vector<std::string> Texts(KSeq* s) {
  std::vector<std::string> out;
  for (int i = 0; i < s->Count(); ++i) out.push_back(Text(s->Slots()[i]));
  return out;
}

using V = std::vector<std::string>;

TEST(Pieces, CutIsDeferredAndPinsTheTextWithoutAReference) {
  Own<KString> s(new KString("ab cd ef"));
  char* buf = const_cast<char*>(s->Str());
  Own<KSeq> p(s->Segment(Own<KString>(new KString(" ")).get(), false));
  EXPECT_TRUE(p->IsDeferred());
  EXPECT_EQ(p->Count(), 3);
  EXPECT_EQ(p->descriptor->data, nullptr);
  EXPECT_EQ(s->descriptor->refs, 1);  // no counted reference on the text
  ASSERT_NE(s->descriptor->block, nullptr);
  EXPECT_EQ(s->descriptor->block->pins, 2);
  EXPECT_EQ(s->descriptor->block->data, buf);
  EXPECT_EQ(Texts(p.get()), (V{"ab", "cd", "ef"}));
  EXPECT_FALSE(p->IsDeferred());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(p->Slots()[i]->holds, 1);
    EXPECT_EQ(p->Slots()[i]->descriptor->refs, 1);
    EXPECT_EQ(p->Slots()[i]->typen(), KT::tString);
  }
  p.reset();
  EXPECT_EQ(s->descriptor->block->pins, 1);
  EXPECT_EQ(s->Value(), "ab cd ef");
}

TEST(Pieces, IdsAreReservedInCreationOrder) {
  Own<KString> s(new KString("a,b,c,d"));
  int32_t before = KB::fLastID;
  Own<KSeq> p(s->Segment(Own<KString>(new KString(",")).get(), false));
  // The separator string took one ID, the sequence the next, its pieces the four after.
  EXPECT_EQ(p->ID, before + 2);
  EXPECT_EQ(KB::fLastID, before + 6);
  Own<KNum> later(new KNum(7));
  EXPECT_EQ(later->ID, before + 7);
  p->Slots();  // making the pieces takes no further ID
  EXPECT_EQ(KB::fLastID, before + 7);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p->Slots()[i]->ID, before + 3 + i);
}

TEST(Pieces, EveryStringWriterCopiesAPinnedBuffer) {
  struct Writer {
    const char* name;
    void (*write)(KString*);
    const char* after;
  };
  const Writer writers[] = {
      {"append", [](KString* s) { s->Append("!", 1); }, "ab cd!"},
      {"write at the position", [](KString* s) { s->write("XY", 0, 2); }, "XY cd"},
      {"translate", [](KString* s) { s->XLate(Own<KString>(new KString("a")).get(), Own<KString>(new KString("z")).get()); },
       "zb cd"},
      {"indexed assignment",
       [](KString* s) { s->IdxAssign(Own<KString>(new KString("Q")).get(), Own<KNum>(new KNum(2)).get()); }, "aQ cd"},
      {"seek past the end", [](KString* s) { s->ToPos(7, true); }, nullptr},
      {"catenate in place", [](KString* s) { s->CatenateSelf(Own<KString>(new KString("+")).get()); }, "ab cd+"},
  };
  for (const Writer& w : writers) {
    SCOPED_TRACE(w.name);
    Own<KString> s(new KString("ab cd"));
    Own<KSeq> p(s->Segment(nullptr, false));
    Own<KSeq> words(s->Segment(Own<KString>(new KString(" ")).get(), true));
    const char* shared = s->Str();
    w.write(s.get());
    EXPECT_EQ(s->descriptor->block, nullptr);
    EXPECT_NE(s->Str(), shared);  // the text writes into a copy of its own
    if (w.after) {
      EXPECT_EQ(s->Value(), w.after);
    }
    EXPECT_EQ(Texts(words.get()), (V{"ab ", "cd"}));
    EXPECT_EQ(Texts(p.get()), (V{"ab cd"}));
  }
}

TEST(Pieces, AWriterTakesBackABufferNoPieceHolds) {
  Own<KString> s(new KString("ab cd"));
  { Own<KSeq> p(s->Segment(Own<KString>(new KString(" ")).get(), false)); }
  const char* buf = s->Str();
  ASSERT_NE(s->descriptor->block, nullptr);
  s->write("Z", 0, 1);
  EXPECT_EQ(s->descriptor->block, nullptr);
  EXPECT_EQ(s->Str(), buf);  // no copy was needed
  EXPECT_EQ(s->Value(), "Zb cd");
}

TEST(Pieces, PiecesOutliveTheirText) {
  KString* s = new KString("one\ntwo\r\nthree");
  Own<KSeq> p(s->Segment(nullptr, false));
  Own<KSeq> q(s->Segment(nullptr, true));
  KB::DoneWith(s);  // the buffer stays pinned by both sequences
  EXPECT_EQ(Texts(p.get()), (V{"one", "two", "three"}));
  q.reset();  // freed with its pieces never made
}

TEST(Pieces, TheTextsCopyDoesNotShareTheBlock) {
  Own<KString> s(new KString("x y"));
  Own<KSeq> p(s->Segment(Own<KString>(new KString(" ")).get(), false));
  Own<KB> copy(s->Clone());
  EXPECT_EQ(copy->descriptor->block, nullptr);
  EXPECT_EQ(s->descriptor->block->pins, 2);
  static_cast<KString*>(copy.get())->Append("z", 1);
  EXPECT_EQ(s->Value(), "x y");
  EXPECT_EQ(Texts(p.get()), (V{"x", "y"}));
}

TEST(Pieces, SequenceOperationsMakeThePiecesFirst) {
  Own<KString> s(new KString("a b c"));
  KB* sep = new KString(" ");
  Own<KB> hold(sep);
  {  // appending grows made slots
    Own<KSeq> p(s->Segment(sep, false));
    p->Append(new KString("d"), true);
    EXPECT_EQ(Texts(p.get()), (V{"a", "b", "c", "d"}));
  }
  {  // removing from the end
    Own<KSeq> p(s->Segment(sep, false));
    p->UnAppend(2);
    EXPECT_EQ(Texts(p.get()), (V{"a"}));
  }
  {  // a sequence sharing the descriptor sees the same made pieces
    Own<KSeq> p(s->Segment(sep, false));
    Own<KSeq> shared(new KSeq(KT::tSeq));
    shared->ReferenceTo(p.get());
    EXPECT_EQ(shared->Count(), 3);
    EXPECT_EQ(shared->Slots()[1], p->Slots()[1]);
    shared->Fix();  // copy on write: the copy references the same pieces
    EXPECT_EQ(shared->Slots()[1], p->Slots()[1]);
    EXPECT_EQ(p->Slots()[1]->holds, 2);
  }
  {  // a copy made while the elements are deferred
    Own<KSeq> p(s->Segment(sep, false));
    Own<KSeq> c(new KSeq(p.get()));
    EXPECT_EQ(Texts(c.get()), (V{"a", "b", "c"}));
    EXPECT_EQ(c->Slots()[0], p->Slots()[0]);
  }
  {  // equality and clearing
    Own<KSeq> p(s->Segment(sep, false));
    Own<KSeq> q(s->Segment(sep, false));
    EXPECT_TRUE(p->EQ(q.get()));
    q->Clear();
    EXPECT_EQ(q->Count(), 0);
    EXPECT_FALSE(q->IsDeferred());
  }
}

TEST(Pieces, CsvRowsAreDeferredSequencesOfFields) {
  Own<KString> s(new KString("a,b\n\"c,d\",,e\r\nf"));
  int32_t before = KB::fLastID;
  Own<KSeq> rows(s->AsCSV());
  ASSERT_EQ(rows->Count(), 3);
  // rows, then each row followed by its fields: 1 + (1 + 2) + (1 + 3) + (1 + 1)
  EXPECT_EQ(KB::fLastID, before + 10);
  KSeq* r2 = static_cast<KSeq*>(rows->Slots()[1]);
  EXPECT_TRUE(r2->IsDeferred());
  EXPECT_EQ(r2->ID, before + 5);
  EXPECT_EQ(Texts(r2), (V{"\"c,d\"", "", "e"}));
  EXPECT_EQ(r2->Slots()[0]->ID, before + 6);
  EXPECT_EQ(Texts(static_cast<KSeq*>(rows->Slots()[2])), (V{"f"}));
  // The rows die with their fields deferred (the iterative release skips them).
}

TEST(Pieces, EmptyTextsAndEmptyPieces) {
  Own<KString> empty(new KString(""));
  Own<KSeq> none(empty->Segment(nullptr, false));
  EXPECT_EQ(none->Count(), 0);
  EXPECT_FALSE(none->IsDeferred());
  Own<KSeq> csv(empty->AsCSV());
  ASSERT_EQ(csv->Count(), 1);
  EXPECT_EQ(Texts(static_cast<KSeq*>(csv->Slots()[0])), (V{""}));
  Own<KString> commas(new KString(",,"));
  Own<KSeq> p(commas->Segment(Own<KString>(new KString(",")).get(), false));
  EXPECT_EQ(Texts(p.get()), (V{"", ""}));
  EXPECT_EQ(static_cast<KString*>(p->Slots()[0])->Len(), 0);
}

TEST(Pieces, LongCutsKeepEverySpan) {
  // More pieces than the first span array holds: the rest go to chunks.
  std::string text;
  const int n = 200000;
  for (int i = 0; i < n; ++i) text += std::to_string(i % 1000) + " ";
  Own<KString> s(new KString(text));
  Own<KSeq> p(s->Segment(Own<KString>(new KString(" ")).get(), false));
  ASSERT_EQ(p->Count(), n);
  for (int i : {0, 65535, 65536, 65537, 131072, n - 1}) EXPECT_EQ(Text(p->Slots()[i]), std::to_string(i % 1000));
}

}  // namespace
