// Fused statements against the token loop: each text runs once fused and
// once with fusion off (in fresh hosts, from the same value ID), and the
// results, their verbose forms, the IDs of the values made afterwards and
// the ID counter must agree.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "KFuse.h"
#include "TestHost.h"

namespace {

struct Outcome {
  std::string text;
  int32_t lastID = 0;
  long fused = 0;
};

Outcome RunWith(const std::string& setup, const std::string& text, int minCount) {
  TestHost h;
  h.Run(setup);
  const int keep = KFuse::minCount;
  KFuse::minCount = minCount;
  const long before = KFuse::ran;
  KB::fLastID = 50000;
  Outcome o;
  // The statement, then a value made after it, whose ID shows in its
  // place as an element of the sequence of IDs kept below.
  o.text = h.Run(text, true);
  o.lastID = KB::fLastID;
  o.fused = KFuse::ran - before;
  KFuse::minCount = keep;
  return o;
}

void Same(const std::string& setup, const std::string& text, bool expectFused = true) {
  // A first run leaves the token memos of the texts inside (groups, blocks)
  // in the process-wide table, as both runs compared then find them.
  RunWith(setup, text, INT_MAX);
  Outcome on = RunWith(setup, text, 2);
  Outcome off = RunWith(setup, text, INT_MAX);
  EXPECT_EQ(on.text, off.text) << text;
  EXPECT_EQ(on.lastID, off.lastID) << text;
  EXPECT_EQ(off.fused, 0) << text;
  if (expectFused) EXPECT_GT(on.fused, 0) << text;
  else EXPECT_EQ(on.fused, 0) << text;
}

const char* const kSetup =
    "1 .. 50 => a; a * 1.5 => f; (1 .. 20) , (#NIL) , (1 .. 29) => n; 7 => s; 2.5 => g; 1 .. 49 => short";

TEST(KFuse, ChainsEndingInASumAgreeWithTheTokenLoop) {
  const std::vector<std::string> texts = {
      "a * 2 + a \\+", "1 .. 50 \\+", "50 .. 1 /+ ->", "a - s * a \\+", "2 * a - a /+ ->", "s - a - 2 \\+",
      "a * g + a \\+", "f - a * 2 /+ ->", "g - f \\+", "n * 3 + a \\+", "n + 1 /+ ->", "a * 100000 * 100000 /+ ->",
      "a + a + a \\+", "f * f \\+", "2147483647 + a /+ ->", "a * 2 + a \\+ => t; t", "a \\+ * 2",
      "a + 1 /+ -> , 5", "a * s \\+; s - 1", "_3 .. 40 * 2 \\+"};
  for (const std::string& t : texts) Same(kSetup, t);
}

TEST(KFuse, GroupsAgreeWithTheTokenLoop) {
  // A group at the start, in the middle and at the end; Int and Float on
  // either side of it; nils; Int products that wrap; scalars only inside;
  // two groups; the sum used further; in a block and a loop (the child's
  // lookups then come from its memo in the token loop).
  const std::vector<std::string> texts = {
      "a - s * (a - s) \\+", "(a + 1) * (a - 1) \\+", "a * (a + 2) /+ ->", "(a - s) * a + 1 \\+",
      "a * (f + 2) \\+", "(f - s) * a /+ ->", "f * (a - 1) - f \\+", "(a * g) + (a * s) \\+", "n - s * (n + a) \\+",
      "(n * 2) - n /+ ->", "a * (a * 100000) * 100000 /+ ->", "(2147483647 + a) * a /+ ->", "a * (s + 1) \\+",
      "a * (s - g) \\+", "(a + a + a) * (a - a - 1) \\+", "a * (a + 1) \\+ => t; 1 2 3 => u; t u", "a * (a \\+) \\+",
      "a - s * (a - s) \\+ * 2", "{a - s * (a - s) \\+}",
      "0 => i; 0 => z; :WHILE (i < 3) {a * (i + a) \\+ + z => z; i + 1 => i}; z"};
  for (const std::string& t : texts) Same(kSetup, t);
}

TEST(KFuse, DoubtfulGroupsGoToTheTokenLoop) {
  // A group nested, of one operand, holding a range, a shown step, a
  // non-number or a vector of another length; a group without a blank after it.
  for (const char* t : {"a * ((a + 1) * 2) \\+", "a * (a) \\+", "a * (1 .. 50) \\+",
                        "a * (a $ + 1) \\+", "a + (a + 'x') \\+", "a + (short - 1) \\+", "(short - 1) + a \\+",
                        "a * (a + 1)\\+", "a * (a + zz) \\+"})
    Same(kSetup, t, false);
}

TEST(KFuse, IDsOfValuesMadeAfterwardsAreUnchanged) {
  // The sum bound to a name, then more values: every ID is where the token
  // loop puts it (the counter is compared too).
  Same(kSetup, "a * 2 + a \\+ => t; 1 2 3 => u; t u", true);
  Same(kSetup, "1 .. 50 /+ -> => t; a * t \\+", true);
}

TEST(KFuse, DoubtfulStatementsGoToTheTokenLoop) {
  // Lengths that differ, a non-number, a displayed step, a nil endpoint,
  // a name bound to nothing: the same text or error as before, not fused.
  for (const char* t : {"a + short \\+", "a + 'x' \\+", "a * 2 $ + a \\+", "(#NIL) .. 5 \\+", "a + zz \\+",
                        "a * 2 + a \\+ 3", "a * 2 + a", "a * (2) \\+"})
    Same(kSetup, t, false);
}

TEST(KFuse, TheSumIsTheSequentialOne) {
  // Float sums whose order of addition changes the last bits: the sum of
  // the pass, cut into blocks, is the sequential sum.
  Outcome on = RunWith("0.1 * (1 .. 10000) => f", "f * 3 + 0.7 \\+ - 15003500", 2);
  Outcome off = RunWith("0.1 * (1 .. 10000) => f", "f * 3 + 0.7 \\+ - 15003500", INT_MAX);
  EXPECT_EQ(on.text, off.text);
  EXPECT_GT(on.fused, 0);
}

}  // namespace
