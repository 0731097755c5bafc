#include "ui_version.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

namespace pellark::ui {
namespace {

struct Parsed {
  std::uint64_t numbers[3] = {0, 0, 0};
  std::vector<std::string_view> pre;
};

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    auto at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

std::optional<Parsed> parse(std::string_view text) {
  Parsed v;
  if (auto plus = text.find('+'); plus != std::string_view::npos) text = text.substr(0, plus);
  if (auto dash = text.find('-'); dash != std::string_view::npos) {
    v.pre = split(text.substr(dash + 1), '.');
    for (auto id : v.pre) {
      if (id.empty()) return std::nullopt;
    }
    text = text.substr(0, dash);
  }
  auto core = split(text, '.');
  if (core.size() != 3) return std::nullopt;
  for (int i = 0; i < 3; ++i) {
    if (!all_digits(core[i])) return std::nullopt;
    auto [end, ec] = std::from_chars(core[i].data(), core[i].data() + core[i].size(), v.numbers[i]);
    if (ec != std::errc() || end != core[i].data() + core[i].size()) return std::nullopt;
  }
  return v;
}

int compare_identifier(std::string_view a, std::string_view b) {
  bool na = all_digits(a), nb = all_digits(b);
  if (na && nb) {
    // Numeric identifiers: longer (without leading zeros) is larger, else lexical.
    auto strip = [](std::string_view s) {
      while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
      return s;
    };
    a = strip(a);
    b = strip(b);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
  }
  if (na != nb) return na ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

std::optional<int> compare_versions(std::string_view a, std::string_view b) {
  auto pa = parse(a);
  auto pb = parse(b);
  if (!pa || !pb) return std::nullopt;
  for (int i = 0; i < 3; ++i) {
    if (pa->numbers[i] != pb->numbers[i]) return pa->numbers[i] < pb->numbers[i] ? -1 : 1;
  }
  if (pa->pre.empty() != pb->pre.empty()) return pa->pre.empty() ? 1 : -1;
  for (std::size_t i = 0; i < pa->pre.size() && i < pb->pre.size(); ++i) {
    if (int c = compare_identifier(pa->pre[i], pb->pre[i]); c != 0) return c;
  }
  if (pa->pre.size() != pb->pre.size()) return pa->pre.size() < pb->pre.size() ? -1 : 1;
  return 0;
}

}  // namespace pellark::ui
