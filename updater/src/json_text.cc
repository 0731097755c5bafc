// Request parsing with a nesting limit, and the response serialiser.
#include "json_text.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "framework/utf8.h"

namespace pellark {

namespace {

using nlohmann::json;

// Counts container depth and stops the parse at the first container too deep. Values are not
// built here; a second, ordinary parse builds them once the text is known to be acceptable.
struct DepthLimit : nlohmann::json_sax<json> {
  int depth = 0;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return ++depth <= kMaxJsonDepth; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return --depth, true; }
  bool start_array(std::size_t) override { return ++depth <= kMaxJsonDepth; }
  bool end_array() override { return --depth, true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

void append_string(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

bool byte_less(const std::string* a, const std::string* b) {
  size_t n = std::min(a->size(), b->size());
  int c = n == 0 ? 0 : std::memcmp(a->data(), b->data(), n);
  return c != 0 ? c < 0 : a->size() < b->size();
}

void append_value(std::string& out, const json& value) {
  switch (value.type()) {
    case json::value_t::object: {
      std::vector<const std::string*> keys;
      keys.reserve(value.size());
      for (auto it = value.begin(); it != value.end(); ++it) keys.push_back(&it.key());
      std::sort(keys.begin(), keys.end(), byte_less);
      out.push_back('{');
      for (size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) out.push_back(',');
        append_string(out, *keys[i]);
        out.push_back(':');
        append_value(out, *value.find(*keys[i]));
      }
      out.push_back('}');
      break;
    }
    case json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        append_value(out, element);
      }
      out.push_back(']');
      break;
    }
    case json::value_t::string:
      append_string(out, value.get_ref<const std::string&>());
      break;
    default:
      // null, booleans and numbers: nlohmann's compact form has no escapes to get wrong.
      out += value.dump();
  }
}

}  // namespace

std::optional<json> parse_request_json(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  // nlohmann skips a leading byte order mark; only JSON whitespace may precede the value.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  DepthLimit limit;
  if (!json::sax_parse(text.begin(), text.end(), &limit, json::input_format_t::json,
                       /*strict=*/true, /*ignore_comments=*/false))
    return std::nullopt;
  json value = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::string serialise_json(const json& value) {
  std::string out;
  append_value(out, value);
  return out;
}

}  // namespace pellark
