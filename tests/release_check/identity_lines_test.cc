// The identity lines explain what the install's own rule decides; over a table of manifest pairs
// they must pass exactly when the rule does, and name the rule that fails.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "checks.h"
#include "framework/manifest.h"
#include "src/install.h"

namespace pellark::release_check {
namespace {

Manifest manifest(const std::string& id, const std::string& version,
                  const std::string& os = "linux", const std::string& arch = "x64") {
  auto parsed = parse_version(version);
  if (!parsed) std::abort();
  Manifest m;
  m.id = id;
  m.title = id;
  m.version = *parsed;
  m.os = os;
  m.machine_architecture = arch;
  return m;
}

struct Lines {
  bool passed = false;
  std::string text;
};

Lines identity_lines(const Manifest& installed, const Manifest& package,
                     const std::string& display) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&buffer, &size);
  if (out == nullptr) std::abort();
  Report report(out);
  Lines lines;
  lines.passed = check_identity(installed, package, display, report);
  std::fclose(out);
  lines.text.assign(buffer, size);
  std::free(buffer);
  return lines;
}

TEST(IdentityLines, AgreeWithTheInstallRule) {
  const Manifest installed = manifest("com.pellark.App", "1.1.0+2");
  struct Row {
    const char* name;
    Manifest package;
    std::string display;
    const char* failing;  // the one FAIL line expected, or nullptr
  };
  const Row rows[] = {
      {"newer build", manifest("com.pellark.App", "1.1.0+10"), "1.1.0+10", nullptr},
      {"newer patch", manifest("com.pellark.App", "1.1.1"), "1.1.1", nullptr},
      {"other id", manifest("com.pellark.Other", "1.2.0"), "1.2.0",
       R"(FAIL id: "com.pellark.Other" is not "com.pellark.App")"},
      {"lower build", manifest("com.pellark.App", "1.1.0+1"), "1.1.0+1",
       "FAIL newer: 1.1.0+1 is not greater than 1.1.0+2"},
      {"same", manifest("com.pellark.App", "1.1.0+2"), "1.1.0+2",
       "FAIL newer: 1.1.0+2 is not greater than 1.1.0+2"},
      {"pre-release", manifest("com.pellark.App", "1.1.0-rc.1"), "1.1.0-rc.1",
       "FAIL newer: 1.1.0-rc.1 is not greater than 1.1.0+2"},
      {"display v", manifest("com.pellark.App", "1.2.0"), "v1.2.0",
       R"(FAIL display version: "v1.2.0" is not "1.2.0")"},
      {"display without build", manifest("com.pellark.App", "1.2.0+7"), "1.2.0",
       R"(FAIL display version: "1.2.0" is not "1.2.0+7")"},
      {"os", manifest("com.pellark.App", "1.2.0", "windows"), "1.2.0",
       R"(FAIL os: "windows" is not "linux")"},
      {"architecture", manifest("com.pellark.App", "1.2.0", "linux", "arm64"), "1.2.0",
       R"(FAIL architecture: "arm64" is not "x64")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Lines lines = identity_lines(installed, row.package, row.display);
    EXPECT_EQ(lines.passed, identity_rule(installed, row.package, row.display).has_value());
    EXPECT_EQ(lines.passed, row.failing == nullptr) << lines.text;
    if (row.failing) {
      EXPECT_NE(lines.text.find(std::string(row.failing) + "\n"), std::string::npos) << lines.text;
      EXPECT_EQ(lines.text.find("FAIL"), lines.text.rfind("FAIL")) << lines.text;
    }
    // Five lines, one per rule, whatever the outcome.
    EXPECT_EQ(std::count(lines.text.begin(), lines.text.end(), '\n'), 5) << lines.text;
  }
}

}  // namespace
}  // namespace pellark::release_check
