// parse_manifest throughput on one manifest text, and, as the in-run reference, a bare expat
// pass over the same bytes (no handlers): the tokenising floor any manifest reader pays.
// Usage: bench_manifest MANIFEST_FILE SECONDS
// Prints "<parses per second> <bare expat passes per second>", each the best of five alternating
// rounds of SECONDS / 5, so that a busy machine slows both alike rather than one of them.
#include <expat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "framework/manifest.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs body until `seconds` have passed; returns calls per second.
template <class F>
double rate(double seconds, F&& body) {
  long calls = 0;
  const auto start = Clock::now();
  const auto limit = start + std::chrono::duration<double>(seconds);
  auto now = start;
  do {
    for (int i = 0; i < 256; ++i) body();
    calls += 256;
    now = Clock::now();
  } while (now < limit);
  return static_cast<double>(calls) / std::chrono::duration<double>(now - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MANIFEST_FILE SECONDS\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const double seconds = std::atof(argv[2]);
  if (text.empty() || seconds <= 0) return 2;

  // The text must be one the parser accepts, or the figure would time the failure path.
  auto first = pellark::parse_manifest(text);
  if (!first || first->id.empty()) {
    std::fprintf(stderr, "bench_manifest: the manifest does not parse\n");
    return 1;
  }

  bool failed = false;
  double ours = 0, reference = 0;
  for (int round = 0; round < 5; ++round) {
    ours = std::max(ours, rate(seconds / 5, [&] {
                      auto m = pellark::parse_manifest(text);
                      if (!m) failed = true;
                    }));
    reference =
        std::max(reference, rate(seconds / 5, [&] {
                   XML_Parser p = XML_ParserCreate(nullptr);
                   if (p == nullptr ||
                       XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK)
                     failed = true;
                   if (p != nullptr) XML_ParserFree(p);
                 }));
  }
  if (failed) {
    std::fprintf(stderr, "bench_manifest: a parse failed\n");
    return 1;
  }
  std::printf("%.0f %.0f\n", ours, reference);
  return 0;
}
