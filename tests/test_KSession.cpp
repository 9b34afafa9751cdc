// The library session, completion and the help data: runs, names kept across errors, the sink, and the
// structured error with its range in the text that was run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KComplete.h"
#include "KOps.h"
#include "KParser.h"
#include "KSession.h"
#include "TarqHelp.h"
#include "TarqHelpData.h"

namespace {
struct Lines : KOutSink {
  std::vector<std::string> lines;
  void AppendLine(const std::string& line) override { lines.push_back(line); }
};

// The range of the error of `text`, as the text it covers.
std::string Where(KSession& s, const std::string& text, KRunError* out = nullptr) {
  KRunOutcome o = s.Run(text);
  if (o.ok) return "<ok>";
  if (out) *out = o.error;
  if (o.error.start < 0) return "<none>";
  return std::to_string(o.error.start) + ":" + text.substr(size_t(o.error.start), size_t(o.error.end - o.error.start));
}
}  // namespace

TEST(KSession, ErrorRangesAreAbsolute) {
  KSession s;
  // The first token and the last token of a line.
  EXPECT_EQ(Where(s, ") 1"), "0:)");
  EXPECT_EQ(Where(s, "#COS"), "0:#COS");
  EXPECT_EQ(Where(s, "1 + 'x'"), "4:'x'");
  EXPECT_EQ(Where(s, "'abc' #COS 1"), "11:1");
  // On the second line, and after a tab (a tab is one character).
  EXPECT_EQ(Where(s, "a := 1;\r\nb := 1 #COS 2"), "21:2");
  EXPECT_EQ(Where(s, "\t1 #COS 2"), "8:2");
  EXPECT_EQ(Where(s, "1;\r\n\t\t'a' + 1"), "12:1");
  // A scanner error, and an unclosed group.
  EXPECT_EQ(Where(s, "1 +- 2"), "2:+");
  EXPECT_EQ(Where(s, "1 + (2"), "4:(2");
}

TEST(KSession, ErrorRangesInsideGroupsAndBlocks) {
  KSession s;
  KRunError e;
  EXPECT_EQ(Where(s, "1 + (2 * (3 #COS 4))", &e), "17:4");
  ASSERT_EQ(e.trail.size(), 3u);
  EXPECT_EQ(e.trail[0].depth, 0);
  EXPECT_EQ(e.trail[2].depth, 2);
  EXPECT_EQ(e.trail[1].start, 9);  // the inner group's token "(3 #COS 4)"
  EXPECT_EQ(e.trail[1].end, 19);
  EXPECT_EQ(e.trail[2].column, 8);  // as its position block shows it
  EXPECT_EQ(Where(s, ":IF (1) {1 #COS 2}"), "16:2");
  EXPECT_EQ(Where(s, "1 => x;\r\n:WHILE (x < 3) {x + 1 => x; :IF (x = 2) {'a' + 1}}"), "56:1");
  EXPECT_EQ(Where(s, "{{1 +\r\n 2 #COS 3}}", &e), "15:3");
  ASSERT_EQ(e.trail.size(), 3u);
  EXPECT_EQ(e.trail[2].line, 2);
  EXPECT_EQ(e.trail[2].column, 8);
  // An operator defined in the same text: its body; defined in an earlier
  // run: the call.
  EXPECT_EQ(Where(s, "'g' #OP {l__ #COS 2}; 1 g"), "18:2");
  EXPECT_EQ(Where(s, "2 g"), "2:g");
  // Executed text found in the text run (here its literal) is shown there;
  // text built by the script is not: the "#X" that ran it.
  EXPECT_EQ(Where(s, "1; '1 #COS 2' #X"), "11:2");
  EXPECT_EQ(Where(s, "1; ('1 #CO', 'S 2') #X"), "20:#X");
  // Two copies of the same body: the call that ran is the one shown.
  EXPECT_EQ(Where(s, ":IF (1) {1 #COS 2}; :IF (1) {1 #COS 2}"), "16:2");
  EXPECT_EQ(Where(s, ":IF (0) {1 #COS 2}; :IF (1) {1 #COS 2}"), "36:2");
}

TEST(KSession, StructuredErrorParts) {
  KSession s;
  KRunError e;
  Where(s, "1 #COS 2", &e);
  EXPECT_EQ(e.code, KT::eNotSupp);
  EXPECT_EQ(e.codeName, "Not Supported");
  EXPECT_EQ(e.detail, "Dyadic");
  EXPECT_EQ(e.unit, "Interpreter/KParser");
  EXPECT_GT(e.unitLine, 0);
  EXPECT_EQ(e.text.substr(0, 9), "[0^1:8]\r\n");
  EXPECT_NE(e.text.find("\r\nNot Supported\r\nDyadic:Interpreter/KParser["), std::string::npos);
  Where(s, "1 +- 2", &e);
  EXPECT_EQ(e.detail, "Spacing");
  EXPECT_EQ(e.unit, "");

  std::string detail, unit;
  int line = 0;
  KSession::SplitMessage("Type:Interpreter/KOps[410]", detail, unit, line);
  EXPECT_EQ(detail + "|" + unit + "|" + std::to_string(line), "Type|Interpreter/KOps|410");
  for (const char* plain : {"a:b[1]", "x[12]", "Type:Interpreter/KOps[4a]", "Type:Interpreter/KOps[]", "]"}) {
    KSession::SplitMessage(plain, detail, unit, line);
    EXPECT_EQ(detail, plain);
    EXPECT_EQ(unit, "");
    EXPECT_EQ(line, 0);
  }
}

TEST(KSession, NamesOutputAndResults) {
  KSession s;
  Lines out;
  s.SetSink(&out);
  EXPECT_TRUE(s.Run("1 2 3 => a; 'hi' $; a").ok);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"hi", "1 2 3"}));
  // Names survive an error.
  EXPECT_FALSE(s.Run("5 => b; 1 + 'x'").ok);
  EXPECT_EQ(s.Names(), (std::vector<std::string>{"a", "b"}));
  out.lines.clear();
  s.resultHeader = "Result:";
  s.keepResult = true;
  EXPECT_TRUE(s.Run("a + b").ok);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"Result:", "6 7 8"}));
  ASSERT_NE(s.Result(), nullptr);
  EXPECT_EQ(s.Result()->AsString(false), "6 7 8");
  EXPECT_FALSE(s.Run("1 + 'x'").ok);
  EXPECT_EQ(s.Result(), nullptr);
  s.echoResult = false;
  out.lines.clear();
  EXPECT_TRUE(s.Run("a").ok);
  EXPECT_TRUE(out.lines.empty());
  s.ClearNamespace();
  EXPECT_TRUE(s.Names().empty());
  EXPECT_EQ(s.FieldListingOfName("a"), "");
  EXPECT_TRUE(s.Run("'a' => t").ok);
  EXPECT_EQ(s.FieldListingOfName("t"), KSession::FieldListingOfSample("'a'"));
}

namespace {
// A breathe hook that asks the session to stop.
void StopNow(void* ctx) { static_cast<KSession*>(ctx)->stop = true; }
// A breathe hook that runs another text: refused while a run is going on.
void Nested(void* ctx) {
  auto* s = static_cast<KSession*>(ctx);
  KRunOutcome o = s->Run("1");
  if (!o.ok && o.error.unknown) s->stop = true;
}
}  // namespace

TEST(KSession, StopAndBreathe) {
  KSession s;
  s.SetBreathe(StopNow, &s);
  KRunError e;
  Where(s, ":WHILE (1) {1}", &e);
  EXPECT_EQ(e.code, KT::eInterrupt);
  EXPECT_FALSE(s.Busy());
  // The stop request of a run does not reach the next one.
  s.SetBreathe(nullptr, nullptr);
  EXPECT_TRUE(s.Run("1").ok);
  s.SetBreathe(Nested, &s);
  Where(s, ":WHILE (1) {1}", &e);
  EXPECT_EQ(e.code, KT::eInterrupt);
}

TEST(KSession, OperatorsAndFieldListings) {
  std::vector<std::string> ops = KSession::Operators();
  EXPECT_GT(ops.size(), 50u);
  EXPECT_FALSE(KSession::FieldListingOfSample("'a'").empty());
  EXPECT_EQ(KSession::FieldListingOfSample("1 + 'x'"), "");
  EXPECT_GE(KSession::FieldListings().size(), 8u);
}


TEST(KComplete, KindsOfWords) {
  KSession s;
  ASSERT_TRUE(s.Run("1 => alpha; 2 => alpine; 'x' => beta; #NS => ns; 5 => ns.inner; #NS => ns.sub; 1 => ns.sub.deep").ok);
  using V = std::vector<std::string>;
  EXPECT_EQ(KComplete::Candidates(s, "", "al"), (V{"alpha", "alpine"}));
  EXPECT_EQ(KComplete::Candidates(s, "", "zz"), V{});
  // "#" operators in any case, spelled as the table spells them.
  V cos = KComplete::Candidates(s, "1 ", "#co");
  EXPECT_NE(std::find(cos.begin(), cos.end(), "#COS"), cos.end());
  for (const std::string& c : cos) EXPECT_EQ(c.substr(0, 3), "#CO");
  // Control words at the start of a statement, not after a value.
  EXPECT_EQ(KComplete::Candidates(s, "", ":WHI"), V{":WHILE"});
  EXPECT_EQ(KComplete::Candidates(s, "1; ", ":wh"), V{":WHILE"});
  EXPECT_EQ(KComplete::Candidates(s, "beta ", ":WHI"), V{});
  // The fields of the value a name holds, a literal's, and "v:f" in one word.
  V fields = KComplete::Candidates(s, "beta ", ":");
  EXPECT_NE(std::find(fields.begin(), fields.end(), ":typen"), fields.end());
  EXPECT_EQ(KComplete::Candidates(s, "'a' ", ":typ"), (V{":typec", ":typen"}));
  EXPECT_EQ(KComplete::Candidates(s, "", "beta:typ"), (V{"beta:typec", "beta:typen"}));
  // Members of a namespace, at any depth; nothing through a non-namespace.
  EXPECT_EQ(KComplete::Candidates(s, "", "ns."), (V{"ns.inner", "ns.sub"}));
  EXPECT_EQ(KComplete::Candidates(s, "", "ns.sub.d"), V{"ns.sub.deep"});
  EXPECT_EQ(KComplete::Candidates(s, "", "alpha.x"), V{});
  EXPECT_EQ(KComplete::Candidates(s, "", "1.5"), V{});
}

TEST(KComplete, WordStartAndListings) {
  EXPECT_EQ(KComplete::WordStart("1 + ab", 6), 4u);
  EXPECT_EQ(KComplete::WordStart("(ns.su", 6), 1u);
  EXPECT_EQ(KComplete::WordStart("x #CO", 5), 2u);
  EXPECT_EQ(KComplete::WordStart("", 3), 0u);
  EXPECT_EQ(KComplete::NamesInListings({":, :typeC, :a", ":typec :b"}), (std::vector<std::string>{":a", ":b", ":typec"}));
}


// The help reads what was computed when the library was built: every
// operator has its states, every example its result, and a help text shows
// them without running anything.
TEST(HelpData, CoversTheTableAndTheExamples) {
  KOps::TblInit();
  EXPECT_EQ(TarqHelp::Data::kOpStateCount, KOps::nOps);
  EXPECT_EQ(TarqHelp::Data::kExampleResultCount, TarqHelp::kExampleCount);
  const std::string plus = TarqHelp::OperatorHelp(TarqHelp::FindOperator("+"));
  EXPECT_NE(plus.find("dyadic"), std::string::npos);
  EXPECT_NE(plus.find("Result:  "), std::string::npos);
  for (int k = 0; k < TarqHelp::kExampleCount; ++k) {
    if (std::string(TarqHelp::kExamples[k].text) == "0 #COS") {
      EXPECT_STREQ(TarqHelp::Data::kExampleResults[k], "1");
    }
  }
  EXPECT_NE(TarqHelp::HelpFor(":WHILE").find("Example: "), std::string::npos);
}
