// Tests for KQuickLoop, loops compiled from the direct form: what a pass
// makes (values and IDs), what the operators' and programs' namespaces hold
// afterwards, and that changes the compiled form must follow are followed.
// Scripts are compared with the token loop by the
// golden files (golden.loops_direct, golden.loops_calls, golden_token_loop).
#include <gtest/gtest.h>

#include <string>

#include "KAssoc.h"
#include "KBlock.h"
#include "KNS.h"
#include "KNum.h"
#include "KQuick.h"
#include "TestHost.h"

namespace {

struct Host : TestHost {
  std::string Run(const std::string& text) { return TestHost::Run(text, true); }
  int32_t Int(const char* name) {
    KB* v = root->ValPtr(name);
    return v && v->typen() == KT::tNum ? static_cast<KNum*>(v)->AsInt() : -1;
  }
};

struct DirectRuns {
  bool saved = KQuick::enabled;
  explicit DirectRuns(bool on) { KQuick::enabled = on; }
  ~DirectRuns() { KQuick::enabled = saved; }
};

// The value IDs a text takes, run in a host prepared by `setup`, after a
// first run of the same text (which compiles it) with `n` at 3.
int32_t IdsTaken(Host& h, const std::string& setup, const std::string& text, int n) {
  h.Run(setup + "; 3 => n");
  h.Run(text);
  h.Run(setup + "; " + std::to_string(n) + " => n");
  const int32_t before = KB::fLastID;
  h.Run(text);
  return KB::fLastID - before;
}

}  // namespace

TEST(KQuickLoop, ACounterLoopMakesNoValuePerPass) {
  Host h;
  const int32_t few = IdsTaken(h, "0 => i", ":WHILE (i < n) {i + 1 => i}; 0", 10);
  const int32_t many = IdsTaken(h, "0 => i", ":WHILE (i < n) {i + 1 => i}; 0", 100000);
  EXPECT_EQ(many, few);
  EXPECT_EQ(h.Int("i"), 100000);
}

TEST(KQuickLoop, AnOperatorPassTakesOneIdAndLeavesItsOperandBound) {
  Host h;
  h.Run("'inc' #OP {l__ + 1}; 0 => i; i inc => i");  // "l__" exists: passes run compiled
  const int32_t few = IdsTaken(h, "0 => i", ":WHILE (i < n) {i inc => i}; 0", 10);
  const int32_t many = IdsTaken(h, "0 => i", ":WHILE (i < n) {i inc => i}; 0", 1010);
  // One new value per call, as the token loop makes one.
  EXPECT_EQ(many - few, 1000);
  EXPECT_EQ(h.Int("i"), 1010);
  KB* op = h.root->ValPtr("inc");
  ASSERT_NE(op, nullptr);
  KB* l = static_cast<KBlock*>(op)->NSGet()->ValPtr("l__");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(static_cast<KNum*>(l)->AsInt(), 1009);
  // Values made later have later IDs: the result took the newest.
  KB* i = h.root->ValPtr("i");
  EXPECT_GT(i->ID, l->ID);
  EXPECT_EQ(i->SID(), i->ID);
  EXPECT_EQ(l->SID(), l->ID);
  EXPECT_EQ(i->descriptor->refs, 1);
  EXPECT_EQ(l->descriptor->refs, 1);
}

TEST(KQuickLoop, AProgramPutUnderItsNameAgainIsFollowed) {
  const std::string text =
      "'p' #PGM {n + 1 => n}; 0 => n; 0 => i; p; :WHILE (i < 6) {p; i + 1 => i; 'p' #PGM {n + 5 => n}}; "
      "p:ns => q; q.n n";
  std::string direct, tokens;
  {
    DirectRuns mode(true);
    Host h;
    direct = h.Run(text);
  }
  {
    DirectRuns mode(false);
    Host h;
    tokens = h.Run(text);
  }
  EXPECT_EQ(direct, tokens);
}

TEST(KQuickLoop, ForVariablesTakeTheirElementsInPlace) {
  Host h;
  const int32_t few = IdsTaken(h, "0 => s", "1 .. n => x; :FOR (x) {s + x => s}; 0", 10);
  const int32_t many = IdsTaken(h, "0 => s", "1 .. n => x; :FOR (x) {s + x => s}; 0", 10000);
  EXPECT_LT(many - few, 20);
  EXPECT_EQ(h.Int("s"), 50005000);
}

TEST(KQuickLoop, SharedValuesAreNeverChangedThroughAnotherName) {
  for (bool direct : {true, false}) {
    DirectRuns mode(direct);
    Host h;
    h.Run("'inc' #OP {l__ + 1}; 0 => i; i inc => i; 0 => j; :WHILE (i < 5) {i inc => i; i => j}");
    EXPECT_EQ(h.Int("i"), 5) << direct;
    EXPECT_EQ(h.Int("j"), 5) << direct;
    h.Run("1 .. 4 => x; 0 => s; 0 => keep; :FOR (x) {s + x => s; x => keep}");
    EXPECT_EQ(h.Int("keep"), 4) << direct;
  }
}
