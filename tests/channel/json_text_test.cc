// Request parsing rules and the response serialiser.
#include "src/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace pellark {
namespace {

using nlohmann::json;

std::string nested(int depth) {
  // An object holding `depth - 1` nested arrays: `depth` containers in all.
  return R"({"x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

TEST(ParseRequestJson, AcceptsOrRefuses) {
  struct Row {
    std::string text;
    bool accepted;
  } rows[] = {
      {R"({"method":"identity"})", true},
      {" \t{\"method\":\"identity\"}\r\n ", true},
      {"null", true},
      {"[]", true},
      {"", false},
      {" ", false},
      {R"({"method":"identity"}x)", false},
      {R"({"method":"identity"}{})", false},
      {"\f{}", false},
      {"{}\v", false},
      {"{} /**/", false},
      {"{\"a\":\"\xE2\x82\xAC\"}", true},   // U+20AC
      {"{\"a\":\"\xC0\xAF\"}", false},      // overlong '/'
      {"{\"a\":\"\xED\xA0\x80\"}", false},  // surrogate
      {"{\"a\":\"\xE2\x82\"}", false},      // truncated
      {"{\"a\":1}\xFF", false},
      {"\xEF\xBB\xBF{}", false},  // a byte order mark is not JSON whitespace
      {" \xEF\xBB\xBF{}", false},
      {"{}\xEF\xBB\xBF", false},
      {"{\"a\":\"\xEF\xBB\xBF\"}", true},  // U+FEFF inside a string is ordinary text
      {nested(127), true},
      {nested(128), false},
      {std::string(127, '[') + std::string(127, ']'), true},
      {std::string(128, '[') + std::string(128, ']'), false},
      {std::string(100000, '['), false},
      {R"({"a":18446744073709551616})", true},  // valid JSON; the size check refuses it later
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 60));
    EXPECT_EQ(parse_request_json(row.text).has_value(), row.accepted);
  }
}

TEST(ParseRequestJson, LastDuplicateWins) {
  auto value = parse_request_json(R"({"method":"prepare","x":1,"method":"identity"})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["method"], "identity");
  EXPECT_EQ(value->size(), 2u);
}

TEST(SerialiseJson, EscapesExactlyTheListedCharacters) {
  std::string text = "\"\\/\b\t\n\f\r";
  text += std::string("\x01\x1f\x7f", 3);
  text += std::string(1, '\0');
  text += " \xC3\xA9\xF0\x9F\x98\x80";
  EXPECT_EQ(serialise_json(json(text)),
            "\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\\u0000 \xC3\xA9\xF0\x9F\x98\x80\"");
}

TEST(SerialiseJson, CompactWithMembersInByteOrder) {
  json value = json::object();
  value["b"] = json::array({1, false, nullptr});
  value["\xC3\xA9"] = "x";
  value["a"] = json::object({{"z", 1}, {"Z", 2}});
  value["B"] = true;
  value[""] = 0;
  value["ab"] = json::object();
  EXPECT_EQ(serialise_json(value), R"({"":0,"B":true,"a":{"Z":2,"z":1},"ab":{},"b":[1,false,null],)"
                                   "\"\xC3\xA9\":\"x\"}");
}

}  // namespace
}  // namespace pellark
