// The fault barrier: the diagnostic line and the fallback value.
#include "src/fault_barrier.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
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
  // Named relative to the repository: the build machine's directories stay out of it.
  std::string where = "tests/channel/fault_barrier_test.cc:" + std::to_string(line) + " (";
  EXPECT_EQ(err.rfind("pellark_updater: internal fault at " + where, 0), 0u) << err;
  EXPECT_TRUE(err.ends_with("): broken invariant\n")) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1);
}

// A fault thrown by anything but internal_fault carries no source location; the diagnostic says
// so rather than naming the barrier's own line.
TEST(FaultBarrier, ForeignExceptionIsReportedWithoutALocation) {
  struct Row {
    const char* name;
    std::function<void()> thrower;
    std::string diagnostic;
  } rows[] = {
      {"std::exception", [] { throw std::runtime_error("disk on fire"); },
       "pellark_updater: internal fault at unknown source location (std::exception): "
       "disk on fire\n"},
      {"unknown type", [] { throw 42; },
       "pellark_updater: internal fault at unknown source location (exception of unknown type): "
       "no message\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ::testing::internal::CaptureStderr();
    int answer = run_in_fault_barrier(
        [&] {
          row.thrower();
          return 1;
        },
        [] { return -1; });
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, -1);
    EXPECT_EQ(err, row.diagnostic);
  }
}

TEST(FaultBarrier, NoFaultPassesValueAndWritesNothing) {
  ::testing::internal::CaptureStderr();
  int value = run_in_fault_barrier([] { return 7; }, [] { return -1; });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(value, 7);
}

}  // namespace
}  // namespace pellark
