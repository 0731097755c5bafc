// SemVer 2.0.0 versions: strict parsing, the text form, and the total order used everywhere
// (precedence first, then build metadata as the last tie-break).
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace pellark {

struct Version {
  uint64_t major = 0;
  uint64_t minor = 0;
  uint64_t patch = 0;
  std::vector<std::string> pre;    // pre-release identifiers, empty when none
  std::vector<std::string> build;  // build-metadata identifiers, empty when none

  bool is_zero() const {
    return major == 0 && minor == 0 && patch == 0 && pre.empty() && build.empty();
  }
};

// Fails with Semver on anything that is not exactly a SemVer 2.0.0 version (no trimming, no "v").
Result<Version> parse_version(std::string_view text);

// major.minor.patch[-pre][+build]; equals the text a version was parsed from.
std::string version_text(const Version& v);

// The total order: numbers, then pre-release precedence, then build metadata.
std::strong_ordering compare_versions(const Version& a, const Version& b);

inline bool operator==(const Version& a, const Version& b) {
  return compare_versions(a, b) == 0;
}
inline std::strong_ordering operator<=>(const Version& a, const Version& b) {
  return compare_versions(a, b);
}

}  // namespace pellark
