// The fault barrier: the diagnostic line and the fallback value.
#include "src/fault_barrier.h"

#include <gtest/gtest.h>

#include <string>

namespace pellark {
namespace {

TEST(FaultBarrier, FaultWritesOneLineAndReturnsFallback) {
  unsigned line = 0;
  ::testing::internal::CaptureStderr();
  std::string answer = run_in_fault_barrier(
      [&]() -> std::string {
        line = std::source_location::current().line() + 1;
        internal_fault("broken invariant");
      },
      [] { return std::string("fallback"); });
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, "fallback");
  std::string where = std::string(__FILE__) + ":" + std::to_string(line) + " (";
  EXPECT_EQ(err.rfind("pellark_updater: internal fault at " + where, 0), 0u) << err;
  EXPECT_TRUE(err.ends_with("): broken invariant\n")) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1);
}

TEST(FaultBarrier, NoFaultPassesValueAndWritesNothing) {
  ::testing::internal::CaptureStderr();
  int value = run_in_fault_barrier([] { return 7; }, [] { return -1; });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(value, 7);
}

}  // namespace
}  // namespace pellark
