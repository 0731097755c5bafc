// The one diagnostic the library ever writes.
#include "fault_barrier.h"

#include <unistd.h>

namespace pellark {

void write_fault_diagnostic(const char* what, const std::source_location& where) {
  // One write(2) of a preformatted line: no stdio lock, no interleaving with other writers.
  char line[1024];
  int n = std::snprintf(line, sizeof line, "pellark_updater: internal fault at %s:%u (%s): %s\n",
                        where.file_name(), static_cast<unsigned>(where.line()),
                        where.function_name(), what ? what : "");
  if (n <= 0) return;
  size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (length == sizeof line - 1) line[length - 1] = '\n';
  ssize_t written = ::write(STDERR_FILENO, line, length);
  (void)written;  // nowhere left to report a failed diagnostic
}

}  // namespace pellark
