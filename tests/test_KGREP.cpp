// Tests for KGREP: the match loop (positions, windows, anchors, groups,
// empty matches, limits, stop), compiling, fields, setting the pattern and
// the shared record.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "KArg.h"
#include "KGREP.h"
#include "KNS.h"
#include "KNum.h"
#include "KParser.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

namespace {
// "(s e)" per pair, "[...]" around the pairs of one match with groups.
std::string Show(KB* v) {
  if (v->typen() == KT::tNum) {
    KNum* n = static_cast<KNum*>(v);
    return "(" + std::to_string(n->IntPtr()[0]) + " " + std::to_string(n->IntPtr()[1]) + ")";
  }
  KSeq* s = static_cast<KSeq*>(v);
  std::string out;
  for (int i = 0; i < s->Count(); ++i) out += Show((*s)[i]);
  return out;
}

std::string Matches(const char* pattern, const std::string& text, int count = -1) {
  KGREP g(pattern);
  g.Compile();
  KSeq* r = g.Exec(text.data(), static_cast<int>(text.size()), count);
  std::string out;
  for (int i = 0; i < r->Count(); ++i) {
    KB* e = (*r)[i];
    out += e->typen() == KT::tNum ? Show(e) : "[" + Show(e) + "]";
  }
  KB::DoneWith(r);
  return out;
}

std::string Field(KGREP& g, const char* name) {
  KString n(name);
  KB* v = g.FieldGet(&n);
  std::string s = v->AsString(false);
  KB::DoneWith(v);
  return s;
}

KT::KET CodeOf(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (KError& e) {
    if (message) *message = e.message;
    return e.code;
  }
  return KT::eNULL;
}
}  // namespace

TEST(KGREPMatch, PositionsAreOneBasedAndTheWindowMovesOn) {
  EXPECT_EQ(Matches("b", "abcabc"), "(2 3)(5 6)");
  EXPECT_EQ(Matches("b", "abcabc", 1), "(2 3)");
  EXPECT_EQ(Matches("x", "abcabc"), "");
  // A match that ends the text ends the loop (nothing left of the window).
  EXPECT_EQ(Matches("c", "abcabc"), "(3 4)(6 7)");
  EXPECT_EQ(Matches("abc", "abcabc"), "(1 4)(4 7)");
}

TEST(KGREPMatch, OptionsCaselessExtendedDotAllMultiline) {
  EXPECT_EQ(Matches("B", "abcABC"), "(2 3)(5 6)");
  EXPECT_EQ(Matches("a b c", "xabc"), "(2 5)");
  EXPECT_EQ(Matches("a.c", "a\nc"), "(1 4)");
  // "$" before a line break in multi-line mode.
  EXPECT_EQ(Matches("c$", "abc\r\nabc"), "(3 4)(8 9)");
  EXPECT_EQ(Matches("^a", "x\rab\r\nab"), "(3 4)(7 8)");
}

TEST(KGREPMatch, CaretOnlyAfterALineBreak) {
  // Every call says the window does not start a line: not even the text's
  // own start counts.
  EXPECT_EQ(Matches("^a", "ab\nab\nxa"), "(4 5)");
  EXPECT_EQ(Matches("^a", "ab"), "");
}

TEST(KGREPMatch, GroupsMakeOneSubSequencePerMatch) {
  EXPECT_EQ(Matches("(a)(b)", "xabab"), "[(2 4)(2 3)(3 4)][(4 6)(4 5)(5 6)]");
  // The count limit counts pairs, groups included.
  EXPECT_EQ(Matches("(a)(b)", "xabab", 2), "[(2 4)(2 3)]");
  // A group that took no part is 0 0, and does not move the window.
  EXPECT_EQ(Matches("a(x)?", "aa"), "(1 2)(2 3)");
  EXPECT_EQ(Matches("(x)|(a)", "ya"), "[(2 3)(0 0)(2 3)]");
}

TEST(KGREPMatch, EmptyMatchesEndTheLoop) {
  EXPECT_EQ(Matches("x*", "abc"), "(1 1)");
  EXPECT_EQ(Matches("x*", ""), "(1 1)");
  // An empty match after a real one, at the window's start.
  EXPECT_EQ(Matches("a*", "aab"), "(1 3)(3 3)");
}

TEST(KGREPMatch, BytesAreMatchedAsBytes) {
  std::string text = "caf\xE9\x00z";
  text.resize(6);
  text[5] = 'z';
  EXPECT_EQ(Matches("\\xE9", text), "(4 5)");
  EXPECT_EQ(Matches("\\x00z", text), "(5 7)");
}

TEST(KGREPMatch, PatternWithoutJitSearchesOnTheInterpreter) {
  // "(*NO_JIT)" leaves the pattern without machine code although the JIT
  // compiler reports success.
  EXPECT_EQ(Matches("(*NO_JIT)b", "abcabc"), "(2 3)(5 6)");
  EXPECT_EQ(Matches("(*NO_JIT)(a)(b)", "xab"), "[(2 4)(2 3)(3 4)]");
  EXPECT_EQ(Matches("(*NO_JIT)x", "abc"), "");
}

TEST(KGREPMatch, CatastrophicPatternRaisesTheLibraryMessage) {
  std::string text(40, 'a');
  text += "b";
  std::string message;
  EXPECT_EQ(CodeOf([&] { Matches("(a+)+$", text); }, &message), KT::eValue);
  EXPECT_NE(message.find("limit"), std::string::npos) << message;
}

TEST(KGREPMatch, StopIsAnsweredBetweenMatches) {
  static bool stop = false;
  static int breaths = 0;
  KB::SetBreatheHook([](void*) { stop = ++breaths >= 3; }, nullptr);
  std::string text(100000, 'a');
  {
    KB::StopScope scope(&stop);
    std::string message;
    EXPECT_EQ(CodeOf([&] { Matches("a", text); }, &message), KT::eInterrupt);
    EXPECT_NE(message.find("Stop"), std::string::npos);
    EXPECT_FALSE(stop);  // the request is cleared when answered
  }
  KB::SetBreatheHook(nullptr, nullptr);
  // Without a run's switch the loop runs to the end.
  EXPECT_EQ(Matches("a", "aaa"), "(1 2)(2 3)(3 4)");
}

TEST(KGREPMatch, IndexOfAndIndicesOfTakeStringsOnly) {
  KGREP g("b");
  g.Compile();
  KString s("abcabc");
  KSeq* one = g.IndexOf(&s);
  KSeq* all = g.IndicesOf(&s);
  KNum n(int32_t(5));
  KSeq* none = g.IndicesOf(&n);
  EXPECT_EQ(one->Count(), 1);
  EXPECT_EQ(all->Count(), 2);
  EXPECT_EQ(none->Count(), 0);
  KB::DoneWith(one);
  KB::DoneWith(all);
  KB::DoneWith(none);
}

TEST(KGREPPattern, StoredPatternsMatchNothingUntilCompiled) {
  KGREP g("b");
  KSeq* r = g.Exec("abc", 3, -1);
  EXPECT_EQ(r->Count(), 0);
  KB::DoneWith(r);
  EXPECT_NE(Field(g, ":options").find("\r\nNot compiled"), std::string::npos);
  g.Compile();
  EXPECT_TRUE(g.IsCompiled());
}

TEST(KGREPPattern, BadPatternCompilesToNothingWithoutError) {
  KString bad("(a");
  KGREP g(&bad);
  EXPECT_FALSE(g.IsCompiled());
  EXPECT_EQ(Matches("(a", "aaa"), "");
  EXPECT_NE(Field(g, ":options").find("Not compiled"), std::string::npos);
  EXPECT_EQ(Field(g, ":RE"), "(a");
}

TEST(KGREPPattern, SettingAnEmptyPatternDropsTheOldOne) {
  KString b("b");
  KGREP g(&b);
  EXPECT_TRUE(g.IsCompiled());
  g.RESet("");
  EXPECT_FALSE(g.IsCompiled());
  KSeq* r = g.Exec("abc", 3, -1);
  EXPECT_EQ(r->Count(), 0);
  KB::DoneWith(r);
}

TEST(KGREPFields, FieldsAndTextForms) {
  KString p("a b");
  KGREP g(&p);
  EXPECT_EQ(Field(g, ":RE"), "a b");
  EXPECT_EQ(Field(g, ":size"), "3");
  std::string opts = Field(g, ":options");
  EXPECT_EQ(opts.rfind("PCRE Version:10.", 0), 0u) << opts;
  EXPECT_NE(opts.find(":CASELESS :EXTENDED :MULTILINE :DOTALL "), std::string::npos) << opts;
  EXPECT_EQ(Field(g, ":nothing"), ":, :options, :PCRE, :RE, :size, :string, :stringV, :typeC, :typeN");
  EXPECT_EQ(g.AsString(false), "RE:a b");
  EXPECT_EQ(g.AsString(true), "GREP[R1C1:K]RE:a b");
  EXPECT_EQ(Field(g, ":typec"), "GREP");
  KGREP anchored("\\Aa");
  anchored.Compile();
  EXPECT_NE(Field(anchored, ":options").find(":ANCHORED "), std::string::npos);
}

TEST(KGREPFields, SettingThePatternAndItsErrors) {
  KString text("b");  // outlives g, which comes to hold it
  KGREP g("a");
  KField re("RE");
  KField other("other");
  KNum num(int32_t(1));
  KGREP g2("c");
  EXPECT_EQ(CodeOf([&] { g.FieldSet(&text, &text); }), KT::eNotSupp);  // "Field"
  EXPECT_EQ(CodeOf([&] { g.FieldSet(&num, &re); }), KT::eNotSupp);    // "Value"
  EXPECT_EQ(CodeOf([&] { g.FieldSet(&text, &other); }), KT::eValue);  // "Unknown Member"
  EXPECT_EQ(CodeOf([&] { g.FieldSet(&g2, &re); }), KT::eValue);      // "RE needs string"
  EXPECT_EQ(CodeOf([&] { g.IdxAssign(&text, &num); }), KT::eValue);  // "Invalid index"
  EXPECT_EQ(Field(g, ":RE"), "a");
  g.IdxAssign(&text, &re);
  EXPECT_EQ(Field(g, ":RE"), "b");
  EXPECT_TRUE(g.IsCompiled());
}

TEST(KGREPValue, CopiesShareTheRecordAndCompareByType) {
  KString b("b");
  KGREP* g = new KGREP(&b);
  KGREP* h = new KGREP(g);
  EXPECT_EQ(g->descriptor, h->descriptor);
  g->RESet("c");
  EXPECT_EQ(Field(*h, ":RE"), "c");
  KString s("c");
  EXPECT_TRUE(g->EQ(h));
  EXPECT_FALSE(g->EQ(&s));
  EXPECT_TRUE(g->GT(h, 1, 2, false));
  EXPECT_FALSE(g->GT(h, 1, 2, true));
  EXPECT_FALSE(g->GT(&s, 1, 2, false));  // 14 sorts before 29
  KB::DoneWith(h);
  EXPECT_EQ(Field(*g, ":RE"), "c");
  KB::DoneWith(g);
  KNum n(int32_t(1));
  EXPECT_EQ(CodeOf([&] { KGREP bad(&n); }), KT::eNotSupp);
}

TEST(KGREPMatch, AScriptRunIsStoppedInsideALongMatchLoop) {
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  chain->Append(root, true);
  bool stop = false;
  static int breaths = 0;
  static bool* flag = nullptr;
  flag = &stop;
  breaths = 0;
  // Far more breaths than the statement's tokens take: the request arrives
  // while the match loop runs.
  KB::SetBreatheHook([](void*) { *flag = ++breaths == 60; }, nullptr);
  std::string error;
  int code = 0;
  {
    KParser p(chain, "root");
    p.fpStopSwSet(&stop);
    p.fCmdSet("('a' %% 200000) ``& ('a' #GREP)");
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
    } catch (KPErr& e) {
      code = e.code;
      error = e.AsString(false);
    }
  }
  KB::SetBreatheHook(nullptr, nullptr);
  EXPECT_EQ(code, KT::eInterrupt);
  EXPECT_NE(error.find("User Interrupt\r\nStop:"), std::string::npos) << error;
  EXPECT_FALSE(stop);
  root->Clear();
  KB::DoneWith(chain);
}
