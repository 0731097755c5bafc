// Paths are byte strings: joined without normalising, shown through their UTF-8 text form.
#pragma once

#include <string>
#include <string_view>

namespace pellark {

// Joins without normalising: an absolute component replaces the base; an empty base yields the
// component; otherwise one '/' is inserted unless the base already ends with one.
std::string join_path(std::string_view base, std::string_view component);

// The text form of a path: UTF-8 with one U+FFFD for each maximal invalid subsequence.
std::string path_text(std::string_view bytes);

// True when the bytes hold a NUL and so cannot name a file.
inline bool has_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

}  // namespace pellark
