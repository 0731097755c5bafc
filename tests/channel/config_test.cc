// The parent rule for the AppImage path.
#include "src/config.h"

#include <gtest/gtest.h>

namespace pellark {
namespace {

TEST(ParentPath, Table) {
  struct Row {
    const char* path;
    const char* parent;  // nullptr: no parent
  } rows[] = {
      {"/", nullptr},
      {"//", nullptr},
      {"", nullptr},
      {"/.", nullptr},
      {"a", ""},
      {".", ""},
      {"/a", "/"},
      {"/a/b", "/a"},
      {"/a//b", "/a"},
      {"/a/./b", "/a"},
      {"/a/b/", "/a"},
      {"/a/b/.", "/a"},
      {"a/b", "a"},
      {"./a", "."},
      {"../a", ".."},
      {"a/..", "a"},
      {"/x/y/App.AppImage", "/x/y"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    auto parent = parent_path(row.path);
    if (row.parent == nullptr) {
      EXPECT_FALSE(parent);
    } else {
      ASSERT_TRUE(parent);
      EXPECT_EQ(*parent, row.parent);
    }
  }
}

}  // namespace
}  // namespace pellark
