// Operator help: lookup, the forms shown with their build state, and the
// worked examples, which must run (an example may only fail because its
// form is not built yet).
#include "TarqHelp.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "KOps.h"

TEST(TarqHelp, FindsOperatorsAsWrittenInAnyCaseAndByBareName) {
  int cos = TarqHelp::FindOperator("#COS");
  ASSERT_GE(cos, 0);
  EXPECT_EQ(TarqHelp::FindOperator("#cos"), cos);
  EXPECT_EQ(TarqHelp::FindOperator("COS"), cos);
  EXPECT_GE(TarqHelp::FindOperator("->>"), 0);
  EXPECT_EQ(TarqHelp::FindOperator("nosuch"), -1);
  EXPECT_EQ(TarqHelp::FindOperator(""), -1);
}

TEST(TarqHelp, HelpListsEveryFormWithItsTextAndState) {
  for (int i : TarqHelp::OperatorsInOrder()) {
    const KOps::KOpRec& r = KOps::fOpsTbl[i];
    std::string help = TarqHelp::OperatorHelp(i);
    TarqHelp::OpStatus s = TarqHelp::Status(i);
    EXPECT_EQ(help.find(std::string("Operator ") + r.symbol + "\n"), 0u) << help;
    EXPECT_EQ(help.find("(no description)"), std::string::npos) << help;
    EXPECT_EQ(help.find("???"), std::string::npos) << help;
    auto check = [&](TarqHelp::Form f, const char* valence, const char* text) {
      if (f == TarqHelp::Form::absent) {
        EXPECT_EQ(help.find(std::string("  ") + valence), std::string::npos) << help;
        return;
      }
      size_t at = help.find(std::string("  ") + valence);
      ASSERT_NE(at, std::string::npos) << help;
      std::string line = help.substr(at, help.find('\n', at) - at);
      if (*text) {
        EXPECT_NE(line.find(text), std::string::npos) << line;
      }
      EXPECT_NE(line.find(valence + std::string(" ")), std::string::npos);
      const char* state = f == TarqHelp::Form::built            ? "built"
                          : f == TarqHelp::Form::pending        ? "not built yet"
                          : f == TarqHelp::Form::notImplemented ? "not implemented"
                                                                : "built (by the evaluator)";
      EXPECT_EQ(line.substr(line.size() - std::string(state).size()), state) << line;
    };
    check(s.niladic, "niladic", r.txtN);
    check(s.monadic, "monadic", r.txtM);
    check(s.dyadic, "dyadic", r.txtD);
  }
}

// The states the probe cannot tell: forms that raise by design and the ones
// the evaluator does itself.
TEST(TarqHelp, FormsNotImplementedByDesignAndThoseOfTheEvaluatorAreMarked) {
  auto state = [](const char* op, char valence) {
    TarqHelp::OpStatus s = TarqHelp::Status(TarqHelp::FindOperator(op));
    return valence == 'N' ? s.niladic : valence == 'M' ? s.monadic : s.dyadic;
  };
  for (auto [op, valence] : {std::pair<const char*, char>{"@&-", 'M'}, {"@&|", 'M'}, {"#&", 'D'}, {"\\=", 'M'},
                             {"~~&", 'M'}, {"~~&", 'D'}, {"=>", 'M'}, {"%\\%", 'D'}, {"#NS", 'D'}})
    EXPECT_EQ(state(op, valence), TarqHelp::Form::notImplemented) << op << valence;
  EXPECT_EQ(state("=>[", 'D'), TarqHelp::Form::evaluator);
  EXPECT_EQ(state("#X", 'M'), TarqHelp::Form::evaluator);
  EXPECT_NE(TarqHelp::OperatorHelp(TarqHelp::FindOperator("#X")).find("C:Execute"), std::string::npos);
  EXPECT_EQ(state("+", 'D'), TarqHelp::Form::built);
}

// Every operator has examples; every example runs, and only those marked as
// showing the error of a form that raises by design show an error.
TEST(TarqHelp, EveryOperatorHasExamplesAndOnlyMarkedOnesShowErrors) {
  for (int k = 0; k < TarqHelp::kExampleCount; ++k)
    EXPECT_GE(TarqHelp::FindOperator(TarqHelp::kExamples[k].symbol), 0) << TarqHelp::kExamples[k].symbol;
  for (int i : TarqHelp::OperatorsInOrder()) {
    std::vector<const TarqHelp::Example*> examples = TarqHelp::ExamplesOf(TarqHelp::Symbol(i));
    ASSERT_FALSE(examples.empty()) << TarqHelp::Symbol(i);
    TarqHelp::OpStatus s = TarqHelp::Status(i);
    bool raisesByDesign = s.niladic == TarqHelp::Form::notImplemented ||
                          s.monadic == TarqHelp::Form::notImplemented ||
                          s.dyadic == TarqHelp::Form::notImplemented;
    for (const TarqHelp::Example* ex : examples) {
      std::string result = TarqHelp::RunExample(ex->text);
      EXPECT_EQ(result.rfind("Error:", 0) == 0, ex->raises) << ex->text << " gives " << result;
      EXPECT_NE(result, "(not built yet)") << ex->text;
      EXPECT_EQ(result.find("???"), std::string::npos) << ex->text << " gives " << result;
      if (ex->raises) {
        EXPECT_TRUE(raisesByDesign) << ex->text;
      }
    }
  }
}

TEST(TarqHelp, ExamplesShowPrintedLinesAndErrorsWithoutSourceLocations) {
  EXPECT_EQ(TarqHelp::RunExample("1 2 3 + 10"), "11 12 13");
  std::string err = TarqHelp::RunExample("1 + 'a'");
  EXPECT_EQ(err.rfind("Error: ", 0), 0u) << err;
  EXPECT_EQ(err.find("Interpreter/"), std::string::npos) << err;
  // Each example runs on a namespace of its own.
  TarqHelp::RunExample("5 => leftover");
  EXPECT_EQ(TarqHelp::RunExample("leftover"), TarqHelp::RunExample("neverassigned"));
}

TEST(TarqHelp, ReferenceHoldsEveryOperatorsHelp) {
  std::string md = TarqHelp::Reference();
  for (int i : TarqHelp::OperatorsInOrder()) {
    std::string sym = TarqHelp::Symbol(i);
    EXPECT_NE(md.find("Operator " + sym + "\n"), std::string::npos) << sym;
  }
  EXPECT_NE(md.find("## `` ` ``"), std::string::npos);  // a symbol with a backquote stays readable
}

TEST(TarqHelp, ControlWordsAndDirectivesHaveHelpWithRunningExamples) {
  int forWord = TarqHelp::FindKeyword(":FOR");
  ASSERT_GE(forWord, 0);
  EXPECT_EQ(TarqHelp::FindKeyword(":for"), forWord);
  EXPECT_EQ(TarqHelp::FindKeyword(":@&"), forWord);
  std::string help = TarqHelp::KeywordHelp(forWord);
  EXPECT_EQ(help.rfind("Control word :FOR", 0), 0u) << help;
  EXPECT_NE(help.find("[3]Num[R1C1:I]30"), std::string::npos) << help;  // the example ran
  // Directives differ by case: $T turns trace on, $t off; both find the one entry.
  int trace = TarqHelp::FindKeyword("$T");
  ASSERT_GE(trace, 0);
  EXPECT_EQ(TarqHelp::FindKeyword("$t"), trace);
  EXPECT_NE(TarqHelp::KeywordHelp(trace).find("L0:Trace:"), std::string::npos);  // trace lines show
  EXPECT_EQ(TarqHelp::FindKeyword(":NOSUCH"), -1);
  for (const char* word : {":IF", ":ELSE", ":WHILE", ":DO", ":SELECT", ":CASE", ":DEFAULT", ":BREAK", ":CONTINUE",
                           ":RETURN", "$", "$$", "$*", "$P", "$V", "$C", "$R", "$**"}) {
    int k = TarqHelp::FindKeyword(word);
    ASSERT_GE(k, 0) << word;
    std::string text = TarqHelp::KeywordHelp(k);
    EXPECT_EQ(text.find("Error:"), std::string::npos) << text;
  }
  EXPECT_NE(TarqHelp::ControlWords().find(":SELECT :^"), std::string::npos);
  EXPECT_NE(TarqHelp::Directives().find("$R"), std::string::npos);
}

TEST(TarqHelp, LegendExplainsThePrefixesAndAproposSearchesTheTexts) {
  std::string legend = TarqHelp::Legend();
  for (const char* prefix : {"\n  N ", "\n  S/F ", "\n  FC ", "\n  M "})
    EXPECT_NE(legend.find(prefix), std::string::npos) << prefix;
  std::string found = TarqHelp::Apropos("SORT");
  EXPECT_NE(found.find(">>>"), std::string::npos) << found;
  EXPECT_NE(found.find("<<<"), std::string::npos) << found;
  EXPECT_EQ(found.find("#COS"), std::string::npos) << found;
  EXPECT_NE(TarqHelp::Apropos("loop").find(":WHILE"), std::string::npos);
  EXPECT_EQ(TarqHelp::Apropos("zzzzqq").rfind("Nothing mentions", 0), 0u);
}

// What F1 in the desktop program looks up: the symbol under the cursor.
TEST(TarqHelp, TopicAtFindsTheSymbolUnderTheCursor) {
  const std::string line = "x ->> 2; 0 #cos; :WHILE (i < 3) {1 $T 'a + b'}";
  EXPECT_EQ(TarqHelp::TopicAt(line, 2), "->>");
  EXPECT_EQ(TarqHelp::TopicAt(line, 4), "->>");
  EXPECT_EQ(TarqHelp::TopicAt(line, 12), "#COS");
  EXPECT_EQ(TarqHelp::TopicAt(line, 19), ":WHILE");
  EXPECT_EQ(TarqHelp::TopicAt(line, 27), "<");
  EXPECT_EQ(TarqHelp::TopicAt(line, 36), "$T");
  EXPECT_EQ(TarqHelp::TopicAt(line, 0), "");   // a name
  EXPECT_EQ(TarqHelp::TopicAt(line, 42), "");  // inside a quote
  EXPECT_NE(TarqHelp::HelpFor("->>").find("Operator ->>"), std::string::npos);
  EXPECT_NE(TarqHelp::HelpFor(":WHILE").find("Control word :WHILE"), std::string::npos);
  EXPECT_EQ(TarqHelp::HelpFor(""), "");
}
