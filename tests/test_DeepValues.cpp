// Every operator, in every valence, given a value nested far deeper than
// the nesting limit: each must end with an error or a result, never by
// exhausting the machine stack. The value is built directly (a chain of
// one-element sequences) and bound to `v` afresh before every form, so a
// form that rebinds or changes it cannot hide a later fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KParser.h"
#include "KSeq.h"
#include "Kerror.h"

namespace {

constexpr int kDeep = 100000;

// A sequence holding a sequence holding ... the Int 1, `levels` deep. The
// caller owns the one reference returned.
KB* DeepValue(int levels) {
  KB* inner = new KNum(1);
  for (int i = 0; i < levels; ++i) {
    KSeq* s = new KSeq();
    s->AppendOwned(inner);
    inner = s;
  }
  return inner;
}

struct DeepHost {
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  KB* deep = DeepValue(kDeep);
  bool stop = false;
  DeepHost() { chain->Append(root, true); }
  ~DeepHost() {
    root->Clear();
    KB::DoneWith(chain);
    KB::DoneWith(deep);
  }
  DeepHost(const DeepHost&) = delete;
  DeepHost& operator=(const DeepHost&) = delete;

  // Runs `text` with `v` bound to the deep value; errors are expected and
  // ignored, only returning at all matters.
  void Run(const std::string& text) {
    root->Put("v", deep, KT::ntSymbol);
    KParser p(chain, "root");
    p.fpStopSwSet(&stop);
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      (void)result.AsString(false);
      (void)result.AsString(true);
    } catch (KPErr&) {
    } catch (KError&) {
    }
  }
};

TEST(DeepValues, EveryOperatorInEveryValenceSurvives) {
  DeepHost host;
  host.Run("1");  // builds the operator table
  // Forms whose effect is not a walk over the argument but a definition or
  // an assignment the test itself relies on are still run; only the symbol
  // text is needed to write each form.
  std::vector<std::string> forms = {"v %s", "v %s 1", "1 %s v", "v %s v", "'abc' %s v", "(v) %s (v)"};
  int ran = 0;
  for (int i = 0; i < KOps::nOps; ++i) {
    const std::string sym = KOps::fOpsTbl[i].symbol;
    for (const std::string& f : forms) {
      std::string text = f;
      text.replace(text.find("%s"), 2, sym);
      SCOPED_TRACE(text);
      host.Run(text);
      ++ran;
    }
  }
  EXPECT_EQ(ran, KOps::nOps * static_cast<int>(forms.size()));
}

// Text forms, comparison, catenation, images and checksums of the deep
// value by name, and a deep value on both sides of an element loop.
TEST(DeepValues, WalksThroughTheEvaluatorEndWithTooDeep) {
  DeepHost host;
  for (const char* text : {"v", "v = v", "v , v", "v %->> %<<-", "v #CRC32", "v @&", "v + 1", "1 + v",
                           "v :string", "v :stringv", "v :size", "v > >"}) {
    SCOPED_TRACE(text);
    host.Run(text);
  }
}

}  // namespace

namespace {

// A sequence that holds the same sub-sequence twice per level, 40 levels
// deep: small in memory, 2^40 leaves for a walk that visits every one.
const char* const kShared =
    "1 2 3 => a; 0 => i; :WHILE (i < 40) {(a) (a) => a; i + 1 => i}; ";

struct WalkHost {
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  bool stop = false;
  WalkHost() { chain->Append(root, true); }
  ~WalkHost() {
    KB::SetBreatheHook(nullptr, nullptr);
    root->Clear();
    KB::DoneWith(chain);
  }
  WalkHost(const WalkHost&) = delete;
  WalkHost& operator=(const WalkHost&) = delete;

  // The error code and message the text ends with (0 when it succeeds).
  std::pair<int, std::string> Run(const std::string& text) {
    KParser p(chain, "root");
    p.fpStopSwSet(&stop);
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      return {0, ""};
    } catch (KPErr& e) {
      return {e.code, e.AsString(false)};
    } catch (KError& e) {
      return {e.code, e.message};
    }
  }
};

TEST(Walks, SharedSubValuesEndWithTooLargeInsteadOfRunningForHours) {
  WalkHost host;
  for (const char* op : {"**", "= a"}) {
    SCOPED_TRACE(op);
    auto [code, message] = host.Run(std::string(kShared) + "a " + op);
    EXPECT_EQ(code, KT::eSystem);
    EXPECT_NE(message.find("too large"), std::string::npos) << message;
  }
  // The budget is per operator call: the next statement runs normally.
  EXPECT_EQ(host.Run("1 2 3 **").first, 0);
}

// A stop request that arrives while an operator walks a value ends the
// walk with 14 "Stopped", as it ends a loop.
TEST(Walks, StopInterruptsALongWalk) {
  WalkHost host;
  ASSERT_EQ(host.Run(kShared).first, 0);
  static int polls;
  polls = 0;
  KB::SetBreatheHook(
      [](void* ctx) {
        if (++polls == 100) *static_cast<bool*>(ctx) = true;  // well inside the walk
      },
      &host.stop);
  auto [code, message] = host.Run("a **");
  EXPECT_EQ(code, KT::eInterrupt);
  EXPECT_NE(message.find("Stopped"), std::string::npos) << message;
  EXPECT_FALSE(host.stop);  // answered and cleared
}

}  // namespace
