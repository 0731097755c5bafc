// Small helpers every module needs: path joining and text form, UTF-8 checks, an owning file
// descriptor, and the retry rule for reads that may meet a file still being written.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "error.h"

namespace pellark {

// Joins without normalising: an absolute component replaces the base; an empty base yields the
// component; otherwise one '/' is inserted unless the base already ends with one.
std::string join_path(std::string_view base, std::string_view component);

// Strict UTF-8 (no overlong forms, surrogates or truncated sequences).
bool is_valid_utf8(std::string_view bytes);

// The text form of a path: UTF-8 with one U+FFFD for each maximal invalid subsequence.
std::string path_text(std::string_view bytes);

// True when the bytes hold a NUL and so cannot name a file.
inline bool has_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

// Owns one file descriptor; closing is the destructor's job. -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Sleeps on the monotonic clock; an interrupted sleep resumes for the time that remains.
void sleep_monotonic(std::chrono::milliseconds duration);

// The retry rule: up to four attempts, waiting 333 ms, 666 ms and 1000 ms between them. `attempt`
// returns a Result or Status; the last attempt's result is returned.
inline constexpr std::chrono::milliseconds kRetryWaits[] = {std::chrono::milliseconds(333),
                                                            std::chrono::milliseconds(666),
                                                            std::chrono::milliseconds(1000)};

template <class F>
auto with_retries(F&& attempt) -> decltype(attempt()) {
  for (auto wait : kRetryWaits) {
    auto result = attempt();
    if (result) return result;
    sleep_monotonic(wait);
  }
  return attempt();
}

}  // namespace pellark
