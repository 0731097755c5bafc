#include "framework/version.h"

#include <gtest/gtest.h>

#include <string>

namespace pellark {
namespace {

Version parsed(const char* text) {
  auto v = parse_version(text);
  if (!v) ADD_FAILURE() << "does not parse: " << text;
  return v ? *v : Version{};
}

TEST(Version, AcceptsAndRoundTrips) {
  const char* cases[] = {
      "0.0.0",
      "1.2.3",
      "18446744073709551615.0.0",
      "1.0.0-alpha",
      "1.0.0-alpha.1",
      "1.0.0-0.3.7",
      "1.0.0-x.7.z.92",
      "1.0.0-x-y-z.--",
      "1.0.0-alpha+001",
      "1.0.0+20130313144700",
      "1.0.0-beta+exp.sha.5114f85",
      "1.0.0+21AF26D3----117B344092BD",
      "1.0.0-99999999999999999999999999999",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    auto v = parse_version(text);
    ASSERT_TRUE(v);
    EXPECT_EQ(version_text(*v), text);
  }
  Version v = parsed("18446744073709551615.2.3-rc.1+b.7");
  EXPECT_EQ(v.major, UINT64_MAX);
  EXPECT_EQ(v.minor, 2u);
  EXPECT_EQ(v.patch, 3u);
  EXPECT_EQ(v.pre, (std::vector<std::string>{"rc", "1"}));
  EXPECT_EQ(v.build, (std::vector<std::string>{"b", "7"}));
}

TEST(Version, RejectsAnythingNotStrictSemver) {
  const char* cases[] = {
      "",
      "1",
      "1.2",
      "1.2.3.4",
      "v1.2.3",
      " 1.2.3",
      "1.2.3 ",
      "1.2.3\n",
      "01.2.3",
      "1.02.3",
      "1.2.03",
      "-1.2.3",
      "1.2.-3",
      "+1.2.3",
      "1..3",
      "1.2.3-",
      "1.2.3+",
      "1.2.3-01",
      "1.2.3-a..b",
      "1.2.3-a.",
      "1.2.3+a..b",
      "1.2.3-a_b",
      "1.2.3+a+b",
      "1.2.3-\xC3\xA9",
      "18446744073709551616.0.0",
      "0.99999999999999999999.0",
      "1.2.3x",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    auto v = parse_version(text);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().kind, ErrorKind::Semver);
  }
}

TEST(Version, TotalOrder) {
  // Strictly ascending.
  const char* ascending[] = {
      "0.0.0",
      "0.0.1",
      "0.1.0",
      "0.9.0",
      "0.10.0",
      "1.0.0-0",
      "1.0.0-1",
      "1.0.0-9",
      "1.0.0-10",
      "1.0.0-99999999999999999999",
      "1.0.0-100000000000000000000",
      "1.0.0-A",
      "1.0.0-alpha",
      "1.0.0-alpha.1",
      "1.0.0-alpha.beta",
      "1.0.0-beta",
      "1.0.0-beta.2",
      "1.0.0-beta.11",
      "1.0.0-rc.1",
      "1.0.0-rc.1+b",
      "1.0.0",
      "1.0.0+1",
      "1.0.0+01",
      "1.0.0+2",
      "1.0.0+10",
      "1.0.0+99999999999999999999999",
      "1.0.0+A",
      "1.0.0+a",
      "1.0.0+a.1",
      "1.0.0+a.b",
      "1.0.1",
      "2.0.0+1",
      "2.0.0+001",
      "18446744073709551615.0.0",
  };
  constexpr size_t n = std::size(ascending);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      SCOPED_TRACE(std::string(ascending[i]) + " vs " + ascending[j]);
      auto order = compare_versions(parsed(ascending[i]), parsed(ascending[j]));
      EXPECT_EQ(order, i <=> j);
    }
  }
}

}  // namespace
}  // namespace pellark
