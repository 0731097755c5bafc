// The library's error values in words, for this tool's output only.
#include "checked.h"

#include <cstdio>
#include <cstring>

namespace pellark::release_check {

std::string describe(const Error& error) {
  std::string text;
  switch (error.kind) {
    case ErrorKind::Io:
      text = std::string("I/O error: ") + std::strerror(error.code);
      break;
    case ErrorKind::Zip:
      text = "ZIP error";
      break;
    case ErrorKind::InvalidPackage:
      text = "invalid package";
      break;
    case ErrorKind::NotInstalled:
      text = "not installed";
      break;
    case ErrorKind::Semver:
      text = "not a SemVer 2.0.0 version";
      break;
    case ErrorKind::Failure:
      text = "refused";
      break;
  }
  if (error.reason && *error.reason) text += std::string(" (") + error.reason + ")";
  return text;
}

std::string in_quotes(std::string_view value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace pellark::release_check
