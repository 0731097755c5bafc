// The one diagnostic the library ever writes.
#include "fault_barrier.h"

#include <unistd.h>

#include <cstdarg>

namespace pellark {

namespace {

// One write(2) of a preformatted line: no stdio lock, no interleaving with other writers.
__attribute__((format(printf, 1, 2))) void write_line(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n <= 0) return;
  size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (length == sizeof line - 1) line[length - 1] = '\n';
  ssize_t written = ::write(STDERR_FILENO, line, length);
  (void)written;  // nowhere left to report a failed diagnostic
}

}  // namespace

void write_fault_diagnostic(const char* what, const std::source_location& where) {
  write_line("pellark_updater: internal fault at %s:%u (%s): %s\n", where.file_name(),
             static_cast<unsigned>(where.line()), where.function_name(), what ? what : "");
}

void write_unlocated_fault_diagnostic(const char* kind, const char* what) {
  write_line("pellark_updater: internal fault at unknown source location (%s): %s\n", kind,
             what ? what : "no message");
}

}  // namespace pellark
