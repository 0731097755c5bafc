// Strict request parsing (one value, JSON whitespace only, at most 127 nested containers) and
// the compact, byte-ordered serialisation of responses.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pellark {

inline constexpr int kMaxJsonDepth = 127;

// Nothing on invalid UTF-8, syntax errors, trailing bytes or deeper nesting.
std::optional<nlohmann::json> parse_request_json(std::string_view text);

// Compact; members in ascending byte order; lower-case \u escapes; everything else raw UTF-8.
std::string serialise_json(const nlohmann::json& value);

}  // namespace pellark
