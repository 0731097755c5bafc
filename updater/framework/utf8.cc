// Strict UTF-8 decoding, shared by the validity check and the text form of paths.
#include "utf8.h"

namespace pellark {

size_t utf8_sequence(std::string_view s, size_t i, size_t* bad) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *bad = 1;
    return 0;
  }
  size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) break;
    unsigned char b = byte(i + k);
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) break;
  }
  if (k == need + 1) return need + 1;
  *bad = k;
  return 0;
}

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    size_t n = utf8_sequence(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace pellark
