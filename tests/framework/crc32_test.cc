#include "framework/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace pellark {
namespace {

using Update = uint32_t (*)(uint32_t, const void*, size_t);

struct Variant {
  const char* name;
  Update update;
  bool needs_clmul;
};

const Variant kVariants[] = {
    {"dispatch", crc32_update, false},
    {"clmul", crc32_detail::update_clmul, true},
    {"portable", crc32_detail::update_portable, false},
};

const std::vector<unsigned char>& random_bytes() {
  static const std::vector<unsigned char> bytes = [] {
    std::vector<unsigned char> b((1u << 20) + 64);
    std::mt19937 gen(20261211);
    for (auto& c : b) c = static_cast<unsigned char>(gen());
    return b;
  }();
  return bytes;
}

uint32_t zlib_crc(uint32_t crc, const unsigned char* p, size_t n) {
  return static_cast<uint32_t>(crc32_z(crc, p, n));
}

TEST(Crc32, MatchesZlibOverLengthsAndAlignments) {
  const size_t lengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 4095, 64000, (1u << 20) + 7};
  const size_t offsets[] = {0, 1, 3, 8, 15};
  const unsigned char* base = random_bytes().data();
  for (const Variant& v : kVariants) {
    if (v.needs_clmul && !crc32_detail::clmul_available()) continue;
    SCOPED_TRACE(v.name);
    for (size_t n : lengths) {
      for (size_t off : offsets) {
        SCOPED_TRACE(testing::Message() << "length " << n << " offset " << off);
        EXPECT_EQ(v.update(0, base + off, n), zlib_crc(0, base + off, n));
        EXPECT_EQ(v.update(0xdeadbeef, base + off, n), zlib_crc(0xdeadbeef, base + off, n));
      }
    }
  }
}

TEST(Crc32, ChainedUpdatesEqualOneUpdate) {
  const unsigned char* data = random_bytes().data();
  const size_t total = 200003;
  const uint32_t whole = zlib_crc(0, data, total);
  const size_t steps[] = {1, 7, 16, 64, 100, 4096, 64000};
  for (const Variant& v : kVariants) {
    if (v.needs_clmul && !crc32_detail::clmul_available()) continue;
    SCOPED_TRACE(v.name);
    for (size_t step : steps) {
      SCOPED_TRACE(testing::Message() << "step " << step);
      uint32_t crc = 0;
      for (size_t at = 0; at < total; at += step) {
        crc = v.update(crc, data + at, std::min(step, total - at));
      }
      EXPECT_EQ(crc, whole);
    }
  }
}

TEST(Crc32, KnownValues) {
  const struct {
    const char* text;
    uint32_t crc;
  } cases[] = {
      {"", 0},
      {"123456789", 0xcbf43926},
      {"The quick brown fox jumps over the lazy dog", 0x414fa339},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(crc32_update(0, c.text, std::char_traits<char>::length(c.text)), c.crc);
  }
}

}  // namespace
}  // namespace pellark
