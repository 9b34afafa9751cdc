// Tests for KQuick, the direct form of plain statement texts: which texts
// compile, that a counter loop changes its counter in place instead of
// making values, and that a direct run leaves a block exactly as the token
// loop leaves it. Script behaviour is compared both ways by the golden
// files (golden.direct and golden_token_loop).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KAssoc.h"
#include "KBlock.h"
#include "KNS.h"
#include "KNum.h"
#include "KParser.h"
#include "KQuick.h"
#include "KSeq.h"
#include "Kerror.h"
#include "TestHost.h"

namespace {

// Results in their verbose form: reference counts show.
struct Host : TestHost {
  std::string Run(const std::string& text) { return TestHost::Run(text, true); }
};

// Runs with direct runs switched on or off for the length of a scope.
struct DirectRuns {
  bool saved = KQuick::enabled;
  explicit DirectRuns(bool on) { KQuick::enabled = on; }
  ~DirectRuns() { KQuick::enabled = saved; }
};

}  // namespace

TEST(KQuickCompile, TakesTheLeadingPlainStatements) {
  struct Case {
    const char* text;
    size_t statements;  // that run directly (0: no direct form)
    bool tail;          // the token loop runs the rest
  } cases[] = {
      {"i + 1 => i", 1, false},
      {"i < 1000000", 1, false},
      {"s + x => s", 1, false},
      {"p; i + 1 => i", 2, false},
      {"i inc => i", 1, false},
      {"3 two 4 => z; z", 2, false},
      {"x => y", 1, false},
      {"7", 1, false},
      {"a - b * 3 >= c", 1, false},
      {"i +\r\n 1 => i", 1, false},
      // Literals the number parser reads as one Int or Float.
      {"1234567890 + i", 1, false},
      {"x * 1.0000001 => x", 1, false},
      {"1e3 - x", 1, false},
      // A statement of another kind hands the rest to the token loop.
      {"i + 1 => i; :IF (i = 2) {:BREAK}; i", 1, true},
      {"i + 1 => i; j + 1 => j; i $", 2, true},
      {"p; 'a'", 1, true},
      {"i + 1;", 1, true},
      {"i + 1 => i; 1 < 2 < 3", 1, true},
      {"i + 1 => i; ) (", 1, true},
      // Nothing to run directly: empty texts, strings, selectors, groups,
      // blocks, controls, two comparisons, literals that are no one number,
      // operators outside the table, displays, broken assignments.
      {"", 0, false},
      {"'a' => s", 0, false},
      {"n.x + 1", 0, false},
      {"(i + 1) => i", 0, false},
      {"{1} => b", 0, false},
      {":IF (i) {1}", 0, false},
      {"1 < 2 < 3", 0, false},
      {"1 2 + i", 0, false},
      {"i / 2", 0, false},
      {"i + 1 $", 0, false},
      {"i => ", 0, false},
      {"=> i", 0, false},
      {"i + + 1", 0, false},
      {"i ) 1", 0, false},
  };
  for (const Case& c : cases) {
    auto q = KQuick::Compile(c.text, std::strlen(c.text));
    EXPECT_EQ(q ? q->Statements() : 0, c.statements) << c.text;
    EXPECT_EQ(q && q->HasTail(), c.tail) << c.text;
  }
}

TEST(KQuickRun, ACounterChangesInPlace) {
  Host h;
  h.Run("0 => i; :WHILE (i < 10) {i + 1 => i}; 0");
  int32_t before = KB::fLastID;
  EXPECT_EQ(h.Run("0 => i; :WHILE (i < 5000) {i + 1 => i}; 0"), "Num[R1C1:I]0");
  // A few values for the statement around the loop, none per pass.
  EXPECT_LT(KB::fLastID - before, 200);
  KB* i = h.root->ValPtr("i");
  ASSERT_NE(i, nullptr);
  EXPECT_EQ(static_cast<KNum*>(i)->AsInt(), 5000);
  EXPECT_EQ(i->SID(), i->ID);
}

TEST(KQuickRun, ASharedCounterIsReplacedNotChanged) {
  Host h;
  h.Run("0 => i; i => j; :WHILE (i < 3) {i + 1 => i}; 0");
  KB* i = h.root->ValPtr("i");
  KB* j = h.root->ValPtr("j");
  EXPECT_NE(i, j);
  EXPECT_EQ(static_cast<KNum*>(i)->AsInt(), 3);
  EXPECT_EQ(static_cast<KNum*>(j)->AsInt(), 0);
}

TEST(KQuickRun, LeavesABlockAsTheTokenLoopDoes) {
  const char* texts[] = {"{i + 1 => i}", "{i < 3}", "{p; i}", "{i inc => i}", "{q}", "{b}"};
  for (const char* text : texts) {
    KT::KTT tt[2];
    KT::KCT ct[2];
    std::string value[2];
    for (int on = 0; on < 2; ++on) {
      DirectRuns mode(on == 1);
      Host h;
      h.Run("1 => i; 'p' #PGM {i}; 'inc' #OP {l__ + 1}; 'b' #PGM {:BREAK}; 0");
      KBlock b("t:");
      b.CodeSet(text, false);
      KParser p(h.chain, "root");
      KA a;
      try {
        b.Run(p.PParser(), a);
        value[on] = a.AsString(true);
      } catch (KPErr& e) {
        value[on] = e.AsString(false);
      }
      tt[on] = b.TTGet();
      ct[on] = b.CTGet();
    }
    EXPECT_EQ(value[0], value[1]) << text;
    EXPECT_EQ(tt[0], tt[1]) << text;
    EXPECT_EQ(ct[0], ct[1]) << text;
  }
}

TEST(KQuickRun, AnErrorAfterDirectStatementsKeepsItsPosition) {
  std::string got[2];
  for (int on = 0; on < 2; ++on) {
    DirectRuns mode(on == 1);
    Host h;
    got[on] = h.Run("0 => i; 'p' #PGM {i + 1 => i}; {p; p;\n  i + 1 => i; i + 'x'}");
  }
  EXPECT_EQ(got[0], got[1]);
  EXPECT_NE(got[1].find("[1^2:"), std::string::npos) << got[1];
}

TEST(KQuickRun, ANewNamespaceAtARememberedAddressIsSearchedAgain) {
  // Values come from pools, so a namespace, entry and key made after others
  // were freed may stand at their addresses: the cached place of "a" must
  // never be taken for a new entry "b" there.
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  chain->Append(root, true);
  KA hundred;
  hundred.Owns(new KNum(static_cast<int32_t>(100)));
  root->Put("a", hundred.value, KT::ntSymbol);
  const std::string text = "a + 1";
  auto q = KQuick::Compile(text.data(), text.size());
  ASSERT_TRUE(q);
  // The text runs with "a" inside, then namespaces holding "b" come and go
  // (pools hand their addresses round in turn) and it runs again with each.
  for (int i = 0; i < 8; ++i) {
    const char* inner = i == 0 ? "a" : "b";
    KNS* ns = new KNS();
    KA fifty;
    fifty.Owns(new KNum(static_cast<int32_t>(50)));
    ns->Put(inner, fifty.value, KT::ntSymbol);
    chain->Append(ns, true);
    if (i > 0 && i < 3) {
      chain->UnAppend(1);
      continue;
    }
    KPParser ps(chain);
    KA result;
    KT::KBR flow;
    size_t resume = 0, line = 0;
    KT::KTT last = KT::ttUnknown;
    KB* carry = nullptr;
    ASSERT_TRUE(q->Run(&ps, result, true, flow, resume, line, last, carry));
    EXPECT_EQ(static_cast<KNum*>(result.value)->AsInt(), i == 0 ? 51 : 101) << i;
    chain->UnAppend(1);
  }
  root->Clear();
  KB::DoneWith(chain);
}

namespace {
// Runs `q` in `chain` with `top` as the chain's virtual top; the value.
int32_t RunOn(KQuick& q, KSeq* chain, KNS* top) {
  KPParser ps(chain);
  KA result;
  KT::KBR flow;
  size_t resume = 0, line = 0;
  KT::KTT last = KT::ttUnknown;
  KB* carry = nullptr;
  EXPECT_TRUE(q.Run(&ps, result, true, flow, resume, line, last, carry, top));
  return result.Is(KT::tNum) ? static_cast<KNum*>(result.value)->AsInt() : -1;
}
}  // namespace

TEST(KQuickRun, NamespaceChangesMoveTheEpochAndValueChangesDoNot) {
  KA hold;
  hold.Owns(new KNS());
  KNS* ns = static_cast<KNS*>(hold.value);
  KA one;
  one.Owns(new KNum(static_cast<int32_t>(1)));
  uint64_t e = KSeq::fScopeEpoch;
  ns->Put("a", one.value, KT::ntSymbol);
  EXPECT_NE(KSeq::fScopeEpoch, e) << "a new entry";
  e = KSeq::fScopeEpoch;
  ns->Put("a", one.value, KT::ntSymbol);
  ns->AssocPtr(0)->ValSet(one.value);
  EXPECT_EQ(KSeq::fScopeEpoch, e) << "a new value for an entry";
  ns->Remove("a");
  EXPECT_NE(KSeq::fScopeEpoch, e) << "an entry removed";
  e = KSeq::fScopeEpoch;
  KSeq plain;
  plain.Append(one.value, false);
  plain.UnAppend(1);
  EXPECT_EQ(KSeq::fScopeEpoch, e) << "a sequence that is no namespace";
}

TEST(KQuickRun, AVirtualTopIsSearchedFirstAndANameMadeThereLaterIsFound) {
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  chain->Append(root, true);
  KA seven, forty;
  seven.Owns(new KNum(static_cast<int32_t>(7)));
  forty.Owns(new KNum(static_cast<int32_t>(40)));
  root->Put("k", seven.value, KT::ntSymbol);
  KA topHold;
  topHold.Owns(new KNS());
  KNS* top = static_cast<KNS*>(topHold.value);
  const std::string text = "k + 1";
  auto q = KQuick::Compile(text.data(), text.size());
  ASSERT_TRUE(q);
  EXPECT_EQ(RunOn(*q, chain, top), 8);
  EXPECT_EQ(RunOn(*q, chain, top), 8);  // from the kept places
  top->Put("k", forty.value, KT::ntSymbol);
  EXPECT_EQ(RunOn(*q, chain, top), 41);  // the top now hides the root's k
  EXPECT_EQ(RunOn(*q, chain, nullptr), 8);  // another scope: searched again
  EXPECT_EQ(chain->Count(), 1);  // the top never went on the chain
  root->Clear();
  KB::DoneWith(chain);
}

TEST(KQuickRun, FloatsAndMixedOperandsFollowTheElementRules) {
  Host h;
  DirectRuns on(true);
  const std::string direct = h.Run("0.5 => x; 0 => i; :WHILE (i < 4) {x * 2 - i => x; i + 1 => i}; x");
  DirectRuns off(false);
  Host t;
  EXPECT_EQ(direct, t.Run("0.5 => x; 0 => i; :WHILE (i < 4) {x * 2 - i => x; i + 1 => i}; x"));
  EXPECT_EQ(direct, "Num[R2C1:F]_3");
}
