// Operator help: lookup, the forms shown with their build state, and the
// worked examples, which must run (an example may only fail because its
// form is not built yet).
#include "TarqHelp.h"

#include <gtest/gtest.h>

#include <set>

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
      bool built = f == TarqHelp::Form::built;
      EXPECT_EQ(line.find("not built yet") == std::string::npos, built) << line;
    };
    check(s.niladic, "niladic", r.txtN);
    check(s.monadic, "monadic", r.txtM);
    check(s.dyadic, "dyadic", r.txtD);
  }
}

TEST(TarqHelp, EveryOperatorHasOneExampleThatRuns) {
  std::set<std::string> seen;
  for (int k = 0; k < TarqHelp::kExampleCount; ++k) {
    EXPECT_TRUE(seen.insert(TarqHelp::kExamples[k].symbol).second) << TarqHelp::kExamples[k].symbol;
    EXPECT_GE(TarqHelp::FindOperator(TarqHelp::kExamples[k].symbol), 0) << TarqHelp::kExamples[k].symbol;
  }
  for (int i : TarqHelp::OperatorsInOrder()) {
    const char* ex = TarqHelp::ExampleOf(TarqHelp::Symbol(i));
    ASSERT_NE(ex, nullptr) << TarqHelp::Symbol(i);
    std::string result = TarqHelp::RunExample(ex);
    bool unbuilt = result == "(not built yet)" || result.rfind("Error: Not Implemented", 0) == 0;
    EXPECT_TRUE(unbuilt || result.rfind("Error:", 0) != 0) << ex << " gives " << result;
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
