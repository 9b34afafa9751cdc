// The command-line host's run: whatever leaves the interpreter is reported
// and the session goes on.
#include "TarqHost.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "KB.h"

namespace {
// A host hook that fails with an exception that is not an interpreter error.
void FailingBreathe(void*) { throw std::runtime_error("host hook failed"); }

struct HookScope {
  HookScope() { KB::SetBreatheHook(FailingBreathe, nullptr); }
  ~HookScope() { KB::SetBreatheHook(nullptr, nullptr); }
};
}  // namespace

TEST(TarqHost, ForeignExceptionIsReportedAndTheSessionGoesOn) {
  TarqHost host;
  testing::internal::CaptureStderr();
  bool ok = true;
  {
    HookScope hook;
    ok = host.Run("1 + 2");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Unknown Error\n");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(host.Run("3 + 4"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "7\n");
}
