// Folding with PCLMULQDQ, after Intel's "Fast CRC Computation for Generic Polynomials Using
// PCLMULQDQ Instruction". The folded 128-bit remainder is a message with the same CRC as the
// input, so zlib finishes it instead of a Barrett reduction.
#include "crc32.h"

#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PELLARK_CRC32_CLMUL 1
#endif

namespace pellark {

namespace crc32_detail {

uint32_t update_portable(uint32_t crc, const void* data, size_t n) {
  return static_cast<uint32_t>(crc32_z(crc, static_cast<const Bytef*>(data), n));
}

#ifdef PELLARK_CRC32_CLMUL

bool clmul_available() {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return available;
}

namespace {

// x^(k) mod P for the reflected polynomial, paired as (low qword, high qword) multipliers:
// 512+64 / 512 bits ahead for four lanes, 128+64 / 128 bits ahead for one.
constexpr long long kFold4Lo = 0x154442bd4, kFold4Hi = 0x1c6e41596;
constexpr long long kFold1Lo = 0x1751997d0, kFold1Hi = 0x0ccaa009e;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t fold_blocks(uint32_t crc, const unsigned char* p,
                                                              size_t blocks) {
  auto load = [](const unsigned char* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  };
  // The register's starting value is the same as XORing it into the first four bytes.
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  p += 64;
  blocks -= 4;
  const __m128i k4 = _mm_set_epi64x(kFold4Hi, kFold4Lo);
  while (blocks >= 4) {
    x0 = fold(x0, k4, load(p));
    x1 = fold(x1, k4, load(p + 16));
    x2 = fold(x2, k4, load(p + 32));
    x3 = fold(x3, k4, load(p + 48));
    p += 64;
    blocks -= 4;
  }
  const __m128i k1 = _mm_set_epi64x(kFold1Hi, kFold1Lo);
  __m128i x = fold(fold(fold(x0, k1, x1), k1, x2), k1, x3);
  for (; blocks > 0; --blocks, p += 16) x = fold(x, k1, load(p));

  alignas(16) unsigned char rest[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
  // zlib from an all-ones value starts its register at zero: the plain remainder of `rest`.
  return update_portable(0xffffffffu, rest, sizeof rest);
}

}  // namespace

uint32_t update_clmul(uint32_t crc, const void* data, size_t n) {
  auto p = static_cast<const unsigned char*>(data);
  size_t blocks = n / 16;
  if (blocks < 4) return update_portable(crc, p, n);
  crc = fold_blocks(crc, p, blocks);
  return update_portable(crc, p + blocks * 16, n % 16);
}

#else

bool clmul_available() {
  return false;
}
uint32_t update_clmul(uint32_t crc, const void* data, size_t n) {
  return update_portable(crc, data, n);
}

#endif

}  // namespace crc32_detail

uint32_t crc32_update(uint32_t crc, const void* data, size_t n) {
  return crc32_detail::clmul_available() ? crc32_detail::update_clmul(crc, data, n)
                                         : crc32_detail::update_portable(crc, data, n);
}

}  // namespace pellark
