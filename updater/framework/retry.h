// The retry rule for reads and creations that may meet a file still being written: up to four
// attempts, waiting 333 ms, 666 ms and 1000 ms between them on the monotonic clock.
#pragma once

#include <chrono>

namespace pellark {

// Sleeps on the monotonic clock; an interrupted sleep resumes for the time that remains.
void sleep_monotonic(std::chrono::milliseconds duration);

inline constexpr std::chrono::milliseconds kRetryWaits[] = {std::chrono::milliseconds(333),
                                                            std::chrono::milliseconds(666),
                                                            std::chrono::milliseconds(1000)};

// `attempt` returns a Result or Status; the last attempt's result is returned.
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
