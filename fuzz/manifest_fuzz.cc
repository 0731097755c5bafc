// parse_manifest over any bytes: it never faults, fails only with its own kinds, and whatever it
// accepts satisfies the manifest's invariants and parses the same way again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "framework/manifest.h"
#include "fuzz_support.h"

using pellark::ErrorKind;
using pellark::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = pellark::parse_manifest(text);
  auto second = pellark::parse_manifest(text);
  require(first.has_value() == second.has_value(), "parsing is deterministic");
  if (!first) {
    ErrorKind kind = first.error().kind;
    require(kind == ErrorKind::Semver || kind == ErrorKind::InvalidPackage, "failure kind");
    require(second.error().kind == kind, "same failure twice");
    return 0;
  }
  require(*first == *second, "same manifest twice");
  require(!first->id.empty(), "accepted manifest has an id");
  require(!first->version.is_zero(), "accepted manifest has a version");
  require(!first->title.empty(), "title defaults to the id");
  auto reparsed = pellark::parse_version(pellark::version_text(first->version));
  require(reparsed && *reparsed == first->version, "version text round-trips");
  return 0;
}
