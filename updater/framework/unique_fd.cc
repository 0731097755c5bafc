// Closing an owned descriptor, and its blocking mode.
#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace pellark {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) (void)::close(fd_);
  fd_ = fd;
}

bool clear_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace pellark
