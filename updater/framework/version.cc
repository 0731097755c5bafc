// SemVer 2.0.0 parsing, text form and order, written here so that numbers of any size behave.
#include "version.h"

#include <algorithm>

namespace pellark {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_ident_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

bool all_digits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), is_digit);
}

// A core number: "0" or a digit run without a leading zero that fits in 64 bits.
bool parse_number(std::string_view s, uint64_t* out) {
  if (s.empty() || !all_digits(s)) return false;
  if (s.size() > 1 && s[0] == '0') return false;
  uint64_t value = 0;
  for (char c : s) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

// Splits a dot-separated identifier list; every identifier must be non-empty and use only
// [0-9A-Za-z-]. Numeric pre-release identifiers must not have leading zeros.
bool parse_identifiers(std::string_view s, bool pre_release, std::vector<std::string>* out) {
  size_t start = 0;
  while (true) {
    size_t dot = s.find('.', start);
    std::string_view id = s.substr(start, dot == std::string_view::npos ? s.npos : dot - start);
    if (id.empty() || !std::all_of(id.begin(), id.end(), is_ident_char)) return false;
    if (pre_release && id.size() > 1 && id[0] == '0' && all_digits(id)) return false;
    out->emplace_back(id);
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

// Digit strings by numeric value, without converting: strip leading zeros, then longer is
// greater, then byte order.
std::strong_ordering compare_digit_values(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view s) {
    size_t i = s.find_first_not_of('0');
    return i == std::string_view::npos ? std::string_view{} : s.substr(i);
  };
  std::string_view sa = strip(a), sb = strip(b);
  if (sa.size() != sb.size()) return sa.size() <=> sb.size();
  int c = sa.compare(sb);
  return c <=> 0;
}

std::strong_ordering compare_text(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return c <=> 0;
}

std::strong_ordering compare_pre(const std::string& a, const std::string& b) {
  bool na = all_digits(a), nb = all_digits(b);
  if (na && nb) return compare_digit_values(a, b);
  if (na != nb) return na ? std::strong_ordering::less : std::strong_ordering::greater;
  return compare_text(a, b);
}

std::strong_ordering compare_build(const std::string& a, const std::string& b) {
  bool na = all_digits(a), nb = all_digits(b);
  if (na && nb) {
    auto by_value = compare_digit_values(a, b);
    if (by_value != 0) return by_value;
    return a.size() <=> b.size();
  }
  if (na != nb) return na ? std::strong_ordering::less : std::strong_ordering::greater;
  return compare_text(a, b);
}

template <class Cmp>
std::strong_ordering compare_lists(const std::vector<std::string>& a,
                                   const std::vector<std::string>& b, Cmp cmp) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto c = cmp(a[i], b[i]);
    if (c != 0) return c;
  }
  return a.size() <=> b.size();
}

void append_joined(std::string* out, char lead, const std::vector<std::string>& ids) {
  if (ids.empty()) return;
  out->push_back(lead);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) out->push_back('.');
    out->append(ids[i]);
  }
}

}  // namespace

Result<Version> parse_version(std::string_view text) {
  Version v;
  size_t plus = text.find('+');
  std::string_view head = text.substr(0, plus);
  if (plus != std::string_view::npos &&
      !parse_identifiers(text.substr(plus + 1), false, &v.build)) {
    return Error::semver("bad build metadata");
  }
  size_t dash = head.find('-');
  std::string_view core = head.substr(0, dash);
  if (dash != std::string_view::npos && !parse_identifiers(head.substr(dash + 1), true, &v.pre)) {
    return Error::semver("bad pre-release");
  }
  size_t dot1 = core.find('.');
  if (dot1 == std::string_view::npos) return Error::semver("missing minor");
  size_t dot2 = core.find('.', dot1 + 1);
  if (dot2 == std::string_view::npos) return Error::semver("missing patch");
  if (!parse_number(core.substr(0, dot1), &v.major) ||
      !parse_number(core.substr(dot1 + 1, dot2 - dot1 - 1), &v.minor) ||
      !parse_number(core.substr(dot2 + 1), &v.patch)) {
    return Error::semver("bad number");
  }
  return v;
}

std::string version_text(const Version& v) {
  std::string out = std::to_string(v.major);
  out.push_back('.');
  out.append(std::to_string(v.minor));
  out.push_back('.');
  out.append(std::to_string(v.patch));
  append_joined(&out, '-', v.pre);
  append_joined(&out, '+', v.build);
  return out;
}

std::strong_ordering compare_versions(const Version& a, const Version& b) {
  if (auto c = a.major <=> b.major; c != 0) return c;
  if (auto c = a.minor <=> b.minor; c != 0) return c;
  if (auto c = a.patch <=> b.patch; c != 0) return c;
  // A release is greater than any of its pre-releases.
  if (a.pre.empty() != b.pre.empty()) {
    return a.pre.empty() ? std::strong_ordering::greater : std::strong_ordering::less;
  }
  if (auto c = compare_lists(a.pre, b.pre, compare_pre); c != 0) return c;
  // Build metadata only breaks ties; none is lower than any.
  return compare_lists(a.build, b.build, compare_build);
}

}  // namespace pellark
