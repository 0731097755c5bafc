// Looks at files for assertions: inline, because they report through gtest, which the support
// library does not link.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace pellark::testing {

// The inode of the path itself, not of what a link points to.
inline ino_t inode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

// The names directly inside `dir`.
inline std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

}  // namespace pellark::testing
