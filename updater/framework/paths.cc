// Path joining and the text form of paths.
#include "paths.h"

#include "utf8.h"

namespace pellark {

std::string join_path(std::string_view base, std::string_view component) {
  if (!component.empty() && component.front() == '/') return std::string(component);
  if (base.empty()) return std::string(component);
  std::string out(base);
  if (out.back() != '/') out.push_back('/');
  out.append(component);
  return out;
}

std::string path_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    size_t n = utf8_sequence(bytes, i, &bad);
    if (n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return out;
}

}  // namespace pellark
