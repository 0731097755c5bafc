#include "framework/paths.h"
#include "framework/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace pellark {
namespace {

TEST(JoinPath, Rules) {
  struct Case {
    const char* base;
    const char* component;
    const char* joined;
  } cases[] = {
      {"/a", "b", "/a/b"},  {"/a/", "b", "/a/b"}, {"/a//", "b", "/a//b"},
      {"", "b", "b"},       {"", "", ""},         {"/a", "/b", "/b"},
      {"", "/b", "/b"},     {"a", "", "a/"},      {"/a/./..", "../b", "/a/./../../b"},
      {"/", "usr", "/usr"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.component);
    EXPECT_EQ(join_path(c.base, c.component), c.joined);
  }
}

TEST(PathText, OneReplacementPerMaximalSubpart) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"plain/ascii", "plain/ascii"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"\xC3", fffd},          // truncated two-byte
      {"\xE2\x82", fffd},      // truncated three-byte: one subpart
      {"\xF0\x9F\x98", fffd},  // truncated four-byte: one subpart
      {"\xE2\x82x", fffd + "x"},
      {"\xC0\xAF", fffd + fffd},                        // overlong lead is never valid
      {"\xE0\x80\x80", fffd + fffd + fffd},             // overlong three-byte
      {"\xED\xA0\x80", fffd + fffd + fffd},             // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\x80\x80", fffd + fffd},                        // lone continuations
      {"\xF0\x9F\x98\xC3\xA9", fffd + "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(path_text(c.bytes), c.text);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.text);
  }
}

}  // namespace
}  // namespace pellark
