// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequences.
#pragma once

#include <cstddef>
#include <string_view>

namespace pellark {

bool is_valid_utf8(std::string_view bytes);

// Length of the valid sequence at `s[i]`, or 0 with `*bad` set to the length of the maximal
// invalid subpart (at least 1), as Unicode's "substitution of maximal subparts" counts it.
size_t utf8_sequence(std::string_view s, size_t i, size_t* bad);

}  // namespace pellark
