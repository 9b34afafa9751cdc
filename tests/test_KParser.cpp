// Tests for KParser: the tokenizer (kinds, control words, directives,
// member flags, put-back), positioned scanner errors, and the entry's
// switches and output sink. Script-level behaviour is covered by the golden
// files under tests/golden.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KNS.h"
#include "KParser.h"
#include "KSeq.h"
#include "Kerror.h"

namespace {

struct Tok {
  KT::KTT kind;
  std::string text;
  KT::KCT ct;
};

// Cuts a whole text into tokens (without evaluating it).
std::vector<Tok> Tokens(const std::string& text, bool skip = false) {
  KParser p(static_cast<KSeq*>(nullptr), "t");
  p.fCmdSet(text);
  std::vector<Tok> out;
  for (int guard = 0; guard < 100; ++guard) {
    KT::KTT k = p.NextToken(skip);
    KPParser* ps = p.PParser();
    if (k == KT::ttUnknown && !ps->token) break;
    out.push_back({k, ps->token ? std::string(ps->token) : std::string(), p.xCT()});
  }
  return out;
}

// The text of the positioned error the tokenizer raises for `text`.
std::string ScanErrorText(const std::string& text, KT::KET* code = nullptr) {
  KParser p(static_cast<KSeq*>(nullptr), "t");
  p.fCmdSet(text);
  try {
    for (int guard = 0; guard < 100; ++guard) {
      if (p.NextToken(false) == KT::ttUnknown && !p.PParser()->token) break;
    }
  } catch (KPErr& e) {
    if (code) *code = e.code;
    return e.AsString(false);
  }
  return "(no error)";
}

}  // namespace

TEST(KParserTokenizer, NumbersAndRanges) {
  auto t = Tokens("1..5");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].kind, KT::ttNumber);
  EXPECT_EQ(t[0].text, "1");
  EXPECT_EQ(t[1].kind, KT::ttOperator);
  EXPECT_EQ(t[1].text, "..");
  EXPECT_EQ(t[2].text, "5");

  t = Tokens("_3 3e_2 3e+2 1.5 .5");
  ASSERT_EQ(t.size(), 5u);
  for (const Tok& x : t) EXPECT_EQ(x.kind, KT::ttNumber) << x.text;
  EXPECT_EQ(t[0].text, "_3");
  EXPECT_EQ(t[1].text, "3e_2");
  EXPECT_EQ(t[2].text, "3e+2");
  EXPECT_EQ(t[4].text, ".5");

  t = Tokens("3e-2");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].text, "3");
  EXPECT_EQ(t[1].kind, KT::ttSymbol);
  EXPECT_EQ(t[1].text, "e");
  EXPECT_EQ(t[2].text, "-");
  EXPECT_EQ(t[3].text, "2");
}

TEST(KParserTokenizer, GroupsAndQuotes) {
  auto t = Tokens("(a ')' b) 'x\"y' \"it's\"");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].kind, KT::ttParen);
  EXPECT_EQ(t[0].text, "(a ')' b)");
  EXPECT_EQ(t[1].kind, KT::ttQuote);
  EXPECT_EQ(t[1].text, "'x\"y'");
  EXPECT_EQ(t[2].text, "\"it's\"");

  // Brackets and braces do not treat quotes specially.
  KParser p(static_cast<KSeq*>(nullptr), "t");
  p.fCmdSet("[a ']' b]");
  EXPECT_EQ(p.NextToken(false), KT::ttIndex);
  EXPECT_STREQ(p.PParser()->token, "[a ']");

  t = Tokens("{a {b} c}(1 (2))");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].kind, KT::ttBlock);
  EXPECT_EQ(t[0].text, "{a {b} c}");
  EXPECT_EQ(t[1].text, "(1 (2))");
}

TEST(KParserTokenizer, SymbolsFieldsAndSeparators) {
  auto t = Tokens("abc_1 .name :Size ; x");
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].kind, KT::ttSymbol);
  EXPECT_EQ(t[0].text, "abc_1");
  EXPECT_EQ(t[1].kind, KT::ttFieldName);
  EXPECT_EQ(t[1].text, "name");
  EXPECT_EQ(t[2].kind, KT::ttFieldName);
  EXPECT_EQ(t[2].text, "Size");
  EXPECT_EQ(t[3].kind, KT::ttSeparator);
  EXPECT_EQ(t[4].text, "x");
}

TEST(KParserTokenizer, OperatorsTakeTheLongestSymbol) {
  auto t = Tokens("->> #cos =>[");
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(t[0].kind, KT::ttOperator);
  EXPECT_EQ(t[0].text, "->>");
  EXPECT_EQ(t[1].text, "#cos");
  EXPECT_EQ(t[2].text, "=>[");
}

TEST(KParserTokenizer, ControlWordsMatchByPrefix) {
  struct Case {
    const char* text;
    KT::KCT ct;
    const char* word;
  } cases[] = {
      {"::?", KT::ctElseIf, "::?"},   {"::", KT::ctElse, "::"},          {":ELSEIF", KT::ctElseIf, ":ELSEIF"},
      {":else", KT::ctElse, ":else"}, {":??", KT::ctWhile, ":??"},       {":?", KT::ctIf, ":?"},
      {":!!", KT::ctThrow, ":!!"},    {":!", KT::ctBreak, ":!"},         {":->", KT::ctContinue, ":->"},
      {":-", KT::ctUntil, ":-"},      {":While", KT::ctWhile, ":While"}, {":@&", KT::ctFor, ":@&"},
      {":^", KT::ctSelect, ":^"},     {":<-", KT::ctReturn, ":<-"},      {":Return", KT::ctReturn, ":Return"},
  };
  for (const Case& c : cases) {
    auto t = Tokens(c.text);
    ASSERT_EQ(t.size(), 1u) << c.text;
    EXPECT_EQ(t[0].kind, KT::ttControl) << c.text;
    EXPECT_EQ(t[0].ct, c.ct) << c.text;
    EXPECT_EQ(t[0].text, c.word);
  }
  // A word that begins with a control word is cut after it.
  auto t = Tokens(":IFFY :ifx");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].text, ":IF");
  EXPECT_EQ(t[1].kind, KT::ttSymbol);
  EXPECT_EQ(t[1].text, "FY");
  EXPECT_EQ(t[2].ct, KT::ctIf);
  EXPECT_EQ(t[3].text, "x");
}

TEST(KParserTokenizer, Directives) {
  auto t = Tokens("$C $c $P $p $T $t $V $v $d $D $s $S");
  KT::KTT want[] = {KT::ttCommentsOn, KT::ttCommentsOff, KT::ttParseOn, KT::ttParseOff,
                    KT::ttTraceOn,    KT::ttTraceOff,    KT::ttVerboseOn, KT::ttVerboseOff,
                    KT::ttIgnoreD,    KT::ttIgnoreD2,    KT::ttIgnoreS, KT::ttIgnoreS};
  ASSERT_EQ(t.size(), 12u);
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(t[i].kind, want[i]) << i;

  t = Tokens("1 $$ note\n2 $* a\nb *$ 3 $$ end");
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[1].kind, KT::ttComment);
  EXPECT_EQ(t[1].text, "$$ note\n");
  EXPECT_EQ(t[3].text, "$* a\nb *$");
  EXPECT_EQ(t[5].kind, KT::ttComment);
  EXPECT_EQ(t[5].text, "$$ end");

  // Skipping drops comments and switches but never displays.
  t = Tokens("$C $T $$ c\nx $", true);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, "x");
  EXPECT_EQ(t[1].kind, KT::ttDisplay);
}

TEST(KParserTokenizer, DisplaySetsTheVerboseSwitch) {
  bool verbose = false;
  KParser p(static_cast<KSeq*>(nullptr), "t");
  p.fpVerboseSwSet(&verbose);
  p.fCmdSet("$** $ $***x*$");
  EXPECT_EQ(p.NextToken(false), KT::ttDisplay);
  EXPECT_STREQ(p.PParser()->token, "$**");
  EXPECT_TRUE(verbose);
  EXPECT_EQ(p.NextToken(false), KT::ttDisplay);
  EXPECT_FALSE(verbose);
  EXPECT_EQ(p.NextToken(false), KT::ttComment);
  // An unset switch reads as off whatever was written through it.
  KParser q(static_cast<KSeq*>(nullptr), "t");
  q.fCmdSet("$**");
  q.NextToken(false);
  EXPECT_FALSE(q.PParser()->Verbose());
}

TEST(KParserTokenizer, BulkText) {
  auto t = Tokens("$R|$rtext| 5");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].kind, KT::ttBulk);
  EXPECT_EQ(t[0].text, "text");
  EXPECT_EQ(t[1].text, "5");
  t = Tokens("$R<<$r a ' b<<");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].text, " a ' b");
}

TEST(KParserTokenizer, MemberFlags) {
  KParser p(static_cast<KSeq*>(nullptr), "t");
  KPParser* ps = p.PParser();
  p.fCmdSet("a.b c:d e[1] f..g {x}.y +.z");
  p.NextToken(false);
  EXPECT_EQ(ps->member, 1);
  EXPECT_EQ(ps->colon, 0);
  p.NextToken(false);  // .b
  EXPECT_EQ(p.xTT(), KT::ttFieldName);
  EXPECT_EQ(ps->member, 0);
  p.NextToken(false);  // c
  EXPECT_EQ(ps->member, 1);
  EXPECT_EQ(ps->colon, 1);
  p.NextToken(false);  // :d
  p.NextToken(false);  // e
  EXPECT_EQ(ps->member, 2);
  p.NextToken(false);  // [1]
  p.NextToken(false);  // f (followed by the operator "..", not a selector)
  EXPECT_EQ(ps->member, 0);
  p.NextToken(false);  // ..
  p.NextToken(false);  // g
  p.NextToken(false);  // {x}
  EXPECT_EQ(p.xTT(), KT::ttBlock);
  EXPECT_EQ(ps->member, 1);
  p.NextToken(false);  // .y
  p.NextToken(false);  // +
  EXPECT_EQ(p.xTT(), KT::ttOperator);
  EXPECT_EQ(ps->member, 1);
}

TEST(KParserTokenizer, PutBackReturnsTheSameToken) {
  KParser p(static_cast<KSeq*>(nullptr), "t");
  KPParser* ps = p.PParser();
  p.fCmdSet("alpha (b c) 'q'");
  p.NextToken(false);
  EXPECT_EQ(p.NextToken(false), KT::ttParen);
  ps->PutBack();
  EXPECT_EQ(p.NextToken(false), KT::ttParen);
  EXPECT_STREQ(ps->token, "(b c)");
  EXPECT_EQ(p.NextToken(false), KT::ttQuote);
  ps->PutBack();
  EXPECT_EQ(p.NextToken(false), KT::ttQuote);
  EXPECT_STREQ(ps->token, "'q'");
  EXPECT_EQ(p.NextToken(false), KT::ttUnknown);

  // A single pushed-back character is read next.
  p.fCmdSet("=>[2]");
  EXPECT_EQ(p.NextToken(false), KT::ttOperator);
  EXPECT_STREQ(ps->token, "=>[");
  ps->PutBackChar('[');
  EXPECT_EQ(p.NextToken(false), KT::ttIndex);
  EXPECT_STREQ(ps->token, "[2]");
}

TEST(KParserTokenizer, EmptyAndBlankTexts) {
  EXPECT_TRUE(Tokens("").empty());
  EXPECT_TRUE(Tokens("  \r\n\t ").empty());
  KParser p(static_cast<KSeq*>(nullptr), "t");
  EXPECT_EQ(p.NextToken(false), KT::ttUnknown);  // no text set at all
}

TEST(KParserErrors, ScannerErrorsCarryCodeAndDetail) {
  struct Case {
    const char* text;
    KT::KET code;
    const char* detail;
  } cases[] = {
      {"1 +-2", KT::eSyntax, "Spacing"},         {":5", KT::eSyntax, "Invalid member"},
      {"$rabc", KT::eSyntax, "No $R"},           {"$R|abc", KT::eSyntax, "need $r"},
      {"$R|$r text", KT::eValue, "Delim not found"}, {"1 )", KT::eNoOpen, ")"},
      {"'abc", KT::eNoClose, "'"},               {"(1 (2)", KT::eNoClose, ")"},
      {"$* open", KT::eNoClose, "*$"},           {"x \x80", KT::eSyntax, "Invalid character"},
  };
  for (const Case& c : cases) {
    KT::KET code = KT::eNULL;
    std::string text = ScanErrorText(c.text, &code);
    EXPECT_EQ(code, c.code) << c.text;
    std::string tail = std::string("\r\n") + KT::TypeErrorToName(c.code) + "\r\n" + c.detail;
    ASSERT_GE(text.size(), tail.size()) << c.text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << c.text;
  }
}

TEST(KParserErrors, PositionBlockShowsLineColumnAndCaret) {
  // First character of the third line: the caret stands alone.
  EXPECT_EQ(ScanErrorText("1\n2\n)"), "[0^3:1]\r\n)\r\n^\r\nNo Open error\r\n)");
  // CR LF counts once; two LF count twice.
  EXPECT_EQ(ScanErrorText("1\r\n2\r\n)").substr(0, 7), "[0^3:1]");
  EXPECT_EQ(ScanErrorText("1\n\n)").substr(0, 7), "[0^3:1]");
  // The caret stands under the last character of the offending token; tabs
  // are shown as blanks.
  EXPECT_EQ(ScanErrorText("x\nab\t+-2"), "[0^2:4]\r\nab +-2\r\n   ^\r\nSyntax error\r\nSpacing");
}

TEST(KParserEntry, SwitchesAreHostPointers) {
  bool trace = true, stop = false, verbose = false;
  KParser p(static_cast<KSeq*>(nullptr), "root");
  EXPECT_FALSE(p.PParser()->Tracing());
  p.fpTraceSwSet(&trace);
  p.fpStopSwSet(&stop);
  p.fpVerboseSwSet(&verbose);
  EXPECT_TRUE(p.PParser()->Tracing());
  EXPECT_EQ(p.fpStopSwGet(), &stop);
  EXPECT_EQ(p.fpVerboseSwGet(), &verbose);
  EXPECT_EQ(p.typen(), KT::tParser);

  // A child shares the switches and counts one more level.
  KParser child(&p, "c");
  EXPECT_EQ(child.fpStopSwGet(), &stop);
  EXPECT_EQ(child.PParser()->depth, 1);
  EXPECT_EQ(child.PParser()->parent, p.PParser());
}

TEST(KParserEntry, IsIntAndAsInt) {
  EXPECT_TRUE(KParser::IsInt("12"));
  EXPECT_TRUE(KParser::IsInt(" 3 "));
  EXPECT_FALSE(KParser::IsInt(""));
  EXPECT_FALSE(KParser::IsInt("1a"));
  EXPECT_FALSE(KParser::IsInt("_1"));
  EXPECT_EQ(KParser::AsInt("42"), 42);
  EXPECT_EQ(KParser::AsInt(""), 0);
  EXPECT_EQ(KParser::AsInt("4x"), 0);
}

namespace {

// A host over one root namespace, as tarqsh and the desktop program keep it.
struct Host : KOutSink {
  KSeq* chain = new KSeq();
  std::vector<std::string> lines;
  bool trace = false, parse = false, verbose = false, comments = false, stop = false;
  Host() { chain->Append(new KNS(), true); }
  ~Host() override { KB::DoneWith(chain); }
  void AppendLine(const std::string& line) override { lines.push_back(line); }
  // Runs a text; returns the result's plain text form.
  std::string Run(const std::string& text, bool withSink = true, KT::KTT* last = nullptr) {
    KParser p(chain, "root");
    p.fpTraceSwSet(&trace);
    p.fpParseSwSet(&parse);
    p.fpVerboseSwSet(&verbose);
    p.fpCommentsSwSet(&comments);
    p.fpStopSwSet(&stop);
    p.fpOutSet(withSink ? this : nullptr);
    p.fCmdSet(text);
    KA result;
    KT::KTT kind = KT::ttUnknown;
    p.Exec(result, kind, nullptr);
    if (last) *last = kind;
    return result.AsString(false);
  }
};

void SetStop(void* ctx) { *static_cast<bool*>(ctx) = true; }

}  // namespace

TEST(KParserExec, ResultsAndNamesSurviveRuns) {
  Host h;
  EXPECT_EQ(h.Run("3 + 4 * 2"), "14");
  EXPECT_EQ(h.Run("5 => x"), "5");
  EXPECT_EQ(h.Run("x + 1"), "6");
  EXPECT_EQ(h.Run("   "), "");
  EXPECT_EQ(h.Run(""), "");
}

TEST(KParserExec, ResultIsHeldOnlyByTheCaller) {
  Host h;
  KParser p(h.chain, "root");
  p.fCmdSet("1 2 3 + 1");
  KA result;
  KT::KTT last;
  p.Exec(result, last, nullptr);
  EXPECT_EQ(result.AsString(true), "Num[R1C3:I]2 3 4");
}

TEST(KParserExec, DisplayNeedsASink) {
  Host h;
  EXPECT_EQ(h.Run("3 + 4 $"), "7");
  ASSERT_EQ(h.lines.size(), 1u);
  EXPECT_EQ(h.lines[0], "7");
  try {
    h.Run("3 + 4 $", false);
    FAIL() << "display without a sink must fail";
  } catch (KPErr& e) {
    EXPECT_EQ(e.code, KT::eNULL);
  }
}

TEST(KParserExec, ErrorsBecomePositionedErrors) {
  Host h;
  try {
    h.Run("1;\n2 #PI 3");
    FAIL();
  } catch (KPErr& e) {
    EXPECT_EQ(e.code, KT::eNotSupp);
    std::string t = e.AsString(false);
    EXPECT_EQ(t.substr(0, 7), "[0^2:7]") << t;
    EXPECT_NE(t.find("\r\n2 #PI 3\r\n      ^\r\nNot Supported\r\nDyadic:Interpreter/KParser["), std::string::npos) << t;
  }
  // Assignments made before the error stay.
  EXPECT_THROW(h.Run("9 => kept; kept #PI 1"), KPErr);
  EXPECT_EQ(h.Run("kept"), "9");
}

TEST(KParserExec, StopRequestEndsTheRun) {
  Host h;
  h.stop = true;  // a request left from before the run is cleared at its start
  EXPECT_EQ(h.Run("1 + 1"), "2");
  KB::SetBreatheHook(SetStop, &h.stop);
  try {
    h.Run("1 + 1");
    KB::SetBreatheHook(nullptr, nullptr);
    FAIL() << "a stop request must end the run";
  } catch (KPErr& e) {
    KB::SetBreatheHook(nullptr, nullptr);
    EXPECT_EQ(e.code, KT::eInterrupt);
    EXPECT_NE(e.AsString(false).find("Stopped"), std::string::npos);
    EXPECT_FALSE(h.stop) << "the evaluator clears the request it acts on";
  }
}

TEST(KParserExec, DepthLimit) {
  Host h;
  std::string ok = std::string(99, '(') + "1" + std::string(99, ')');
  EXPECT_EQ(h.Run(ok), "1");
  std::string deep = std::string(101, '(') + "1" + std::string(101, ')');
  try {
    h.Run(deep);
    FAIL();
  } catch (KPErr& e) {
    EXPECT_EQ(e.code, KT::eDepth);
  }
}

TEST(KParserExec, DirectivesWriteThroughTheHostSwitches) {
  Host h;
  h.Run("$T $P $C $V 1");
  EXPECT_TRUE(h.trace && h.parse && h.comments && h.verbose);
  h.Run("$t $p $c $v 1");
  EXPECT_FALSE(h.trace || h.parse || h.comments || h.verbose);
  h.lines.clear();
  h.Run("$P 1 + 2");
  ASSERT_FALSE(h.lines.empty());
  EXPECT_EQ(h.lines[0], "L0:Parse:Num:1");
}

TEST(KParserExec, TransparentTokensDoNotSplitExpressions) {
  Host h;
  EXPECT_EQ(h.Run("1 + $C 2"), "3");
  EXPECT_EQ(h.Run("1 + $$ note\n 2"), "3");
  EXPECT_EQ(h.Run("1 $* c *$ 2"), "1 2");
}

TEST(KParserExec, FlowStatementsReturnTheirRecord) {
  Host h;
  KParser p(h.chain, "root");
  p.fCmdSet("5 :RETURN 2; 6");
  KA result;
  KT::KTT last;
  KT::KBR flow = p.Exec(result, last, nullptr);
  EXPECT_EQ(flow.kind, 3);
  EXPECT_EQ(flow.count, 2);
  EXPECT_EQ(result.AsString(false), "5");
  p.fCmdSet(":BREAK 7");
  EXPECT_EQ(p.Exec(result, last, nullptr).kind, 1);
}

// ------------------------------------------------------------ token memo

namespace {
// Everything a scan leaves in the parse state after one token.
struct Snap {
  KT::KTT kind;
  KT::KCT ct;
  std::string text;
  long tokAt, scanAt, lineAt, endAt;
  int op, member, colon;
  bool operator==(const Snap& o) const {
    return kind == o.kind && ct == o.ct && text == o.text && tokAt == o.tokAt && scanAt == o.scanAt &&
           lineAt == o.lineAt && endAt == o.endAt && op == o.op && member == o.member && colon == o.colon;
  }
};

std::vector<Snap> Walk(const std::string& text, bool memo, bool skip) {
  KPParser ps(static_cast<KSeq*>(nullptr));
  if (memo) {
    ps.CmdSetMemo(text.data(), text.size(), false, nullptr);
  } else {
    ps.CmdSet(text.data(), text.size(), false);
  }
  std::vector<Snap> out;
  for (int guard = 0; guard < 200; ++guard) {
    KT::KTT k = ps.NextToken(skip);
    out.push_back({k, ps.curCT, ps.token ? std::string(ps.token) : std::string(),
                   ps.token ? ps.token - ps.code : -1, ps.scan - ps.code, ps.lineStart - ps.code,
                   ps.tokenEnd - ps.code, ps.opIndex, ps.member, ps.colon});
    if (k == KT::ttUnknown && !ps.token) break;
  }
  return out;
}
}  // namespace

TEST(KParserMemo, ReplayedTokensLeaveExactlyWhatAScanLeaves) {
  const char* texts[] = {
      "a.b:c [1] {x}.code (y 'q') 1.5e3 .. 4 $$ comment\n 2 + 3",
      "x\r\n  y\n\tz :IF (1) {2} :: {3}; :WHILE (i < 3) {i + 1 => i}",
      "$Rab$r text ab rest $C $c $T $t $P $p",
      "'a' \"b\" => c; c:names; .f .g x; @a.b => d",
      "$* note *$ :FOR (1 2) {__} ; #ARGS; 2 + 3 -> 4",
  };
  for (const char* t : texts) {
    for (bool skip : {false, true}) {
      std::vector<Snap> scanned = Walk(t, false, skip);
      std::vector<Snap> recorded = Walk(t, true, skip);
      std::vector<Snap> replayed = Walk(t, true, skip);
      EXPECT_EQ(scanned, recorded) << t;
      EXPECT_EQ(scanned, replayed) << t;
    }
  }
}

TEST(KParserMemo, MemosBelongToTheirText) {
  std::shared_ptr<KTokMemo> one = KTokMemo::For("a + 1", 5);
  std::shared_ptr<KTokMemo> other = KTokMemo::For("a + 2", 5);
  ASSERT_TRUE(one && other);
  EXPECT_NE(one, other);
  EXPECT_EQ(KTokMemo::For("a + 1", 5), one);
  // A block's cached memo is checked against the text it is given.
  KPParser ps(static_cast<KSeq*>(nullptr));
  std::shared_ptr<KTokMemo> keep = one;
  ps.CmdSetMemo("b * 3", 5, false, &keep);
  EXPECT_EQ(keep->text, "b * 3");
  EXPECT_EQ(ps.NextToken(false), KT::ttSymbol);
  EXPECT_STREQ(ps.token, "b");
}

TEST(KParserMemo, ChangingTheBufferStopsTheReplay) {
  // "=>[" puts its "[" back for the index that follows.
  KPParser ps(static_cast<KSeq*>(nullptr));
  ps.CmdSetMemo("7 =>[2] x", 9, false, nullptr);
  ps.NextToken(false);
  ASSERT_EQ(ps.NextToken(false), KT::ttOperator);
  ASSERT_TRUE(ps.memo);
  ps.PutBackChar('[');
  EXPECT_FALSE(ps.memo);
  EXPECT_EQ(ps.NextToken(false), KT::ttIndex);
  EXPECT_STREQ(ps.token, "[2]");
}

// A sink that records the pieces of every line.
struct PieceSink : KOutSink {
  std::vector<std::string> lines;
  std::string line;
  size_t pieces = 0, largest = 0;
  void AppendLine(const std::string& l) override { lines.push_back(l); }
  void Write(const char* p, size_t n) override {
    line.append(p, n);
    ++pieces;
    largest = std::max(largest, n);
  }
  void EndLine() override {
    lines.push_back(line);
    line.clear();
  }
};

// A string's text form goes to the sink in pieces that join to exactly what
// KA::AsString gives: control characters shown as ".", LF added after a lone
// CR, also where a piece ends on the CR; verbose forms keep their prefix.
TEST(KParserSink, StringsAreWrittenInPiecesThatJoinToTheTextForm) {
  std::string text;
  for (int c = 0; c < 256; ++c) text += static_cast<char>(c);
  text += "a\r\nb\rc\n\rd\r";
  text += std::string(40000 - text.size() - 1, 'x') + "\r";  // a CR where a piece ends
  text += std::string(16383, 'y') + "\r" + "\n" + std::string(20000, 'z') + "\r";
  for (bool verbose : {false, true}) {
    KA value(text);
    PieceSink sink;
    sink.AppendValue(value.value, verbose);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], value.AsString(verbose));
    EXPECT_GT(sink.pieces, 3u);
    EXPECT_LE(sink.largest, size_t{1} << 15);
  }
  // Other values are written whole, and a plain sink gets whole lines.
  struct Plain : KOutSink {
    std::vector<std::string> lines;
    void AppendLine(const std::string& l) override { lines.push_back(l); }
  } plain;
  KA num(7);
  plain.AppendValue(num.value, false);
  KA str("p\rq");
  plain.AppendValue(str.value, true);
  ASSERT_EQ(plain.lines.size(), 2u);
  EXPECT_EQ(plain.lines[0], "7");
  EXPECT_EQ(plain.lines[1], str.AsString(true));
}
