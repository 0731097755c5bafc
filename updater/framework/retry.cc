// Monotonic waits for the retry rule.
#include "retry.h"

#include <cerrno>
#include <ctime>

namespace pellark {

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
