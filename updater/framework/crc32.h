// CRC-32 of ZIP and zlib (reflected polynomial 0xEDB88320), with zlib's crc32() semantics:
// start from 0, pass each result back in to continue over the next bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pellark {

// Uses carry-less multiplication when the CPU has it, zlib otherwise.
uint32_t crc32_update(uint32_t crc, const void* data, size_t n);

namespace crc32_detail {
bool clmul_available();
// Callers check clmul_available() first.
uint32_t update_clmul(uint32_t crc, const void* data, size_t n);
uint32_t update_portable(uint32_t crc, const void* data, size_t n);
}  // namespace crc32_detail

}  // namespace pellark
