// The stand-in UI program's release ordering, which picks the release to install in the demo.
#include "ui_version.h"

#include <gtest/gtest.h>

namespace {

using pellark::ui::compare_versions;

TEST(UiVersion, OrdersReleases) {
  struct Case {
    const char* lower;
    const char* higher;
  };
  const Case cases[] = {
      {"1.0.0", "1.1.0"},
      {"1.9.0", "1.10.0"},
      {"1.0.0-alpha", "1.0.0"},
      {"1.0.0-alpha", "1.0.0-alpha.1"},
      {"1.0.0-alpha.1", "1.0.0-alpha.beta"},
      {"1.0.0-2", "1.0.0-11"},
      {"1.0.0-rc.1", "1.0.0"},
      {"0.9.9", "1.0.0-beta"},
      {"2.0.0", "10.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.lower) + " < " + c.higher);
    EXPECT_EQ(compare_versions(c.lower, c.higher), -1);
    EXPECT_EQ(compare_versions(c.higher, c.lower), 1);
  }
  EXPECT_EQ(compare_versions("1.2.3+build.5", "1.2.3"), 0);
}

TEST(UiVersion, RejectsNonVersions) {
  for (const char* bad : {"", "1.2", "v1.2.3", "1.2.3.4", "1.2.x", "1.2.3-", "1..3"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(compare_versions(bad, "1.0.0").has_value());
  }
}

}  // namespace
