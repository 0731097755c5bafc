// Path joining, UTF-8 handling, descriptor ownership and monotonic sleeps.
#include "util.h"

#include <unistd.h>
#include <cerrno>
#include <ctime>

namespace pellark {

std::string join_path(std::string_view base, std::string_view component) {
  if (!component.empty() && component.front() == '/') return std::string(component);
  if (base.empty()) return std::string(component);
  std::string out(base);
  if (out.back() != '/') out.push_back('/');
  out.append(component);
  return out;
}

namespace {

// Length of the valid UTF-8 sequence at `s[i]`, or 0 with `*bad` set to the length of the
// maximal invalid subpart (at least 1), as Unicode's "substitution of maximal subparts".
size_t utf8_sequence(std::string_view s, size_t i, size_t* bad) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *bad = 1;
    return 0;
  }
  size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) break;
    unsigned char b = byte(i + k);
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) break;
  }
  if (k == need + 1) return need + 1;
  *bad = k;
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t bad = 0;
    size_t n = utf8_sequence(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
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

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) (void)::close(fd_);
  fd_ = fd;
}

void sleep_monotonic(std::chrono::milliseconds duration) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  deadline.tv_sec += ns / 1000000000;
  deadline.tv_nsec += ns % 1000000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace pellark
