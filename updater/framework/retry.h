// The retry rule for reads and creations that may meet a file still being written: up to four
// attempts, waiting 333 ms, 666 ms and 1000 ms between them on the monotonic clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <iterator>

namespace pellark {

// Sleeps on the monotonic clock; an interrupted sleep resumes for the time that remains.
void sleep_monotonic(std::chrono::milliseconds duration);

inline constexpr std::chrono::milliseconds kRetryWaits[] = {std::chrono::milliseconds(333),
                                                            std::chrono::milliseconds(666),
                                                            std::chrono::milliseconds(1000)};

// The waits and the three attempts that follow a failed first attempt, for a caller that looks
// at that first failure itself. The last attempt's result is returned.
template <class F>
auto retry_after_first_failure(F&& attempt) -> decltype(attempt()) {
  for (size_t i = 0; i + 1 < std::size(kRetryWaits); ++i) {
    sleep_monotonic(kRetryWaits[i]);
    auto result = attempt();
    if (result) return result;
  }
  sleep_monotonic(kRetryWaits[std::size(kRetryWaits) - 1]);
  return attempt();
}

// `attempt` returns a Result or Status; the last attempt's result is returned.
template <class F>
auto with_retries(F&& attempt) -> decltype(attempt()) {
  auto result = attempt();
  if (result) return result;
  return retry_after_first_failure(attempt);
}

}  // namespace pellark
