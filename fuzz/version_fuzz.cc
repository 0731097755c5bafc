// Versions: every text that parses prints back unchanged, and the order is a strict total order
// that agrees with the text (equal exactly when the texts are equal) over any three inputs.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>

#include "framework/version.h"
#include "fuzz_support.h"

using pellark::compare_versions;
using pellark::Version;
using pellark::fuzz::require;

namespace {

std::strong_ordering flip(std::strong_ordering o) {
  return 0 <=> o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // Up to three candidates separated by line feeds, which no version text contains.
  std::array<std::string_view, 3> texts;
  for (size_t i = 0; i < texts.size(); ++i) {
    size_t cut = input.find('\n');
    texts[i] = input.substr(0, cut);
    if (cut == std::string_view::npos) break;
    input.remove_prefix(cut + 1);
  }

  std::array<std::optional<Version>, 3> versions;
  for (size_t i = 0; i < texts.size(); ++i) {
    auto parsed = pellark::parse_version(texts[i]);
    if (!parsed) {
      require(parsed.error().kind == pellark::ErrorKind::Semver, "parse failure kind");
      continue;
    }
    require(pellark::version_text(*parsed) == texts[i], "text form round-trips");
    auto again = pellark::parse_version(pellark::version_text(*parsed));
    require(again && compare_versions(*again, *parsed) == 0, "reparse is equal");
    versions[i] = std::move(*parsed);
  }

  for (size_t i = 0; i < 3; ++i) {
    if (!versions[i]) continue;
    const Version& a = *versions[i];
    require(compare_versions(a, a) == 0, "reflexive");
    for (size_t j = 0; j < 3; ++j) {
      if (!versions[j]) continue;
      const Version& b = *versions[j];
      auto ab = compare_versions(a, b);
      require(ab == flip(compare_versions(b, a)), "antisymmetric");
      require((ab == 0) == (texts[i] == texts[j]), "equal exactly when the texts are equal");
      // The numbers decide first; a release is above its pre-releases with the same numbers.
      auto numbers = std::tie(a.major, a.minor, a.patch) <=> std::tie(b.major, b.minor, b.patch);
      if (numbers != 0) require(ab == numbers, "numbers decide first");
      if (numbers == 0 && a.pre.empty() != b.pre.empty())
        require((ab > 0) == a.pre.empty(), "release above pre-release");
      for (size_t k = 0; k < 3; ++k) {
        if (!versions[k]) continue;
        auto bc = compare_versions(b, *versions[k]);
        auto ac = compare_versions(a, *versions[k]);
        if (ab <= 0 && bc <= 0) require(ac <= 0, "transitive");
        if (ab < 0 && bc <= 0) require(ac < 0, "strictly transitive");
      }
    }
  }
  return 0;
}
