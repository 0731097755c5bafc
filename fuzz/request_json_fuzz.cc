// The request parser against a second opinion: every input goes through parse_request_json and
// through RapidJSON, set up as strictly (UTF-8 validated, one value, JSON whitespace only, at most
// 127 nested containers, the last of duplicate members wins). They must agree on accepting or
// refusing the text, and on the value whenever both accept it.
//
// Known differences, excused only where the input shows them:
// - A number that fits in a double but that RapidJSON 1.1.0 refuses from its digits and exponent
//   before computing it (0e400, -0.0E999): RFC 8259 leaves number ranges to the implementation,
//   and ours refuses only a value that overflows. The number is written again with 17 digits and
//   the rest of the text is still checked.
//
// RapidJSON is also made as strict as ours where its 1.1.0 release is laxer, in the handler below:
// a lone \uDC00-\uDFFF escape decodes to a surrogate, which is not UTF-8; and a number that
// overflows to infinity has no value to compare.
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "src/json_text.h"

using nlohmann::json;
using pellark::fuzz::fail;
using pellark::fuzz::require;

namespace {

// A JSON value as RapidJSON reads it: numbers keep their text, objects their last members.
struct Node {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  std::string text;  // a number's digits or a string's bytes
  std::vector<std::string> keys;
  std::vector<Node> values;  // array elements, or the value of keys[i]
};

bool holds_surrogate(const char* bytes, size_t length) {
  for (size_t i = 0; i + 1 < length; ++i) {
    if (static_cast<unsigned char>(bytes[i]) == 0xED &&
        static_cast<unsigned char>(bytes[i + 1]) >= 0xA0)
      return true;
  }
  return false;
}

std::optional<double> number_value(std::string_view digits) {
  std::string copy(digits);
  char* end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
 public:
  Node root;

  bool Null() { return add(Node{}); }
  bool Bool(bool b) {
    Node n;
    n.kind = Node::Kind::Bool;
    n.boolean = b;
    return add(std::move(n));
  }
  bool RawNumber(const char* digits, rapidjson::SizeType length, bool) {
    if (!number_value(std::string_view(digits, length))) return false;
    Node n;
    n.kind = Node::Kind::Number;
    n.text.assign(digits, length);
    return add(std::move(n));
  }
  bool String(const char* bytes, rapidjson::SizeType length, bool) {
    if (holds_surrogate(bytes, length)) return false;
    Node n;
    n.kind = Node::Kind::String;
    n.text.assign(bytes, length);
    return add(std::move(n));
  }
  bool Key(const char* bytes, rapidjson::SizeType length, bool) {
    if (holds_surrogate(bytes, length)) return false;
    pending_key_.assign(bytes, length);
    return true;
  }
  bool StartObject() { return open(Node::Kind::Object); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() { return open(Node::Kind::Array); }
  bool EndArray(rapidjson::SizeType) { return close(); }

 private:
  struct Open {
    Node node;
    std::string key;  // where the finished container goes in its parent object
  };
  std::vector<Open> open_;
  std::string pending_key_;

  bool open(Node::Kind kind) {
    if (open_.size() >= static_cast<size_t>(pellark::kMaxJsonDepth)) return false;
    Open o;
    o.node.kind = kind;
    o.key = pending_key_;
    open_.push_back(std::move(o));
    return true;
  }
  bool close() {
    Open done = std::move(open_.back());
    open_.pop_back();
    pending_key_ = std::move(done.key);
    return add(std::move(done.node));
  }
  bool add(Node n) {
    if (open_.empty()) {
      root = std::move(n);
      return true;
    }
    Node& parent = open_.back().node;
    if (parent.kind == Node::Kind::Array) {
      parent.values.push_back(std::move(n));
      return true;
    }
    for (size_t i = 0; i < parent.keys.size(); ++i) {
      if (parent.keys[i] == pending_key_) {
        parent.values[i] = std::move(n);
        return true;
      }
    }
    parent.keys.push_back(pending_key_);
    parent.values.push_back(std::move(n));
    return true;
  }
};

struct Opinion {
  rapidjson::ParseErrorCode error = rapidjson::kParseErrorNone;
  size_t offset = 0;
  Node value;
};

Opinion rapidjson_opinion(const std::string& text) {
  constexpr unsigned kFlags =
      rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;
  // RapidJSON 1.1.0's UTF-8 check reads up to three bytes past a sequence that the end of the
  // text cuts short; padding keeps those reads inside the buffer, and it ends at the first NUL.
  std::string padded = text;
  padded.append(4, '\0');
  TreeBuilder builder;
  rapidjson::Reader reader;
  rapidjson::StringStream stream(padded.c_str());
  rapidjson::ParseResult result = reader.Parse<kFlags>(stream, builder);
  Opinion opinion;
  opinion.error = result.Code();
  opinion.offset = result.Offset();
  if (!result.IsError()) opinion.value = std::move(builder.root);
  return opinion;
}

bool is_integer_text(std::string_view digits) {
  return digits.find_first_of(".eE") == std::string_view::npos;
}

template <typename T>
std::optional<T> integer_value(std::string_view digits) {
  T value{};
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

bool same_number(const json& ours, std::string_view digits) {
  if (is_integer_text(digits)) {
    if (auto u = integer_value<uint64_t>(digits))
      return ours.is_number_unsigned() && ours.get<uint64_t>() == *u;
    if (auto i = integer_value<int64_t>(digits))
      return ours.is_number_integer() && !ours.is_number_unsigned() && ours.get<int64_t>() == *i;
  }
  // Fractions, exponents and integers beyond 64 bits are doubles.
  std::optional<double> d = number_value(digits);
  return d && ours.is_number_float() && ours.get<double>() == *d;
}

bool same_value(const json& ours, const Node& theirs) {
  switch (theirs.kind) {
    case Node::Kind::Null:
      return ours.is_null();
    case Node::Kind::Bool:
      return ours.is_boolean() && ours.get<bool>() == theirs.boolean;
    case Node::Kind::Number:
      return ours.is_number() && same_number(ours, theirs.text);
    case Node::Kind::String:
      return ours.is_string() && ours.get_ref<const std::string&>() == theirs.text;
    case Node::Kind::Array:
      if (!ours.is_array() || ours.size() != theirs.values.size()) return false;
      for (size_t i = 0; i < theirs.values.size(); ++i) {
        if (!same_value(ours[i], theirs.values[i])) return false;
      }
      return true;
    case Node::Kind::Object:
      if (!ours.is_object() || ours.size() != theirs.keys.size()) return false;
      for (size_t i = 0; i < theirs.keys.size(); ++i) {
        auto member = ours.find(theirs.keys[i]);
        if (member == ours.end() || !same_value(*member, theirs.values[i])) return false;
      }
      return true;
  }
  return false;
}

// The known difference: RapidJSON refused a number at `at` whose value fits in a double. Writes
// that number in a form RapidJSON takes, with the same double, and reports whether it did.
bool rewrite_finite_number(std::string& text, size_t at) {
  size_t end = text.find_first_not_of("+-.0123456789eE", at);
  if (end == std::string::npos) end = text.size();
  std::optional<double> value = number_value(std::string_view(text).substr(at, end - at));
  if (!value) return false;
  char exact[32];
  int n = std::snprintf(exact, sizeof exact, "%.17g", *value);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof exact) fail("snprintf");
  std::string replacement(exact, static_cast<size_t>(n));
  // Such a number is a double on our side too (0e400 is 0.0), so it stays one here.
  if (is_integer_text(replacement)) replacement += ".0";
  text.replace(at, end - at, replacement);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The C interface sees the text up to the first NUL.
  const char* bytes = reinterpret_cast<const char*>(data);
  std::string text(bytes, strnlen(bytes, size));

  std::optional<json> ours = pellark::parse_request_json(text);
  Opinion theirs = rapidjson_opinion(text);
  if (ours) {
    std::string excused = text;
    // Bounded: each round takes RapidJSON past one more number.
    for (int round = 0; round < 4096 && theirs.error == rapidjson::kParseErrorNumberTooBig;
         ++round) {
      if (!rewrite_finite_number(excused, theirs.offset)) break;
      theirs = rapidjson_opinion(excused);
    }
  }

  static const bool echo = std::getenv("PELLARK_FUZZ_ECHO") != nullptr;  // for checking seeds
  if (echo)
    std::fprintf(stderr, "ours: %s, RapidJSON: %s at %zu\n", ours ? "accepts" : "refuses",
                 rapidjson::GetParseError_En(theirs.error), theirs.offset);
  bool they_accept = theirs.error == rapidjson::kParseErrorNone;
  if (ours && !they_accept) fail("the request parser accepts what RapidJSON refuses");
  if (!ours && they_accept) fail("the request parser refuses what RapidJSON accepts");
  if (ours) require(same_value(*ours, theirs.value), "both parsers read the same value");
  return 0;
}
