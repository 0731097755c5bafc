// Closing an owned descriptor.
#include "unique_fd.h"

#include <unistd.h>

namespace pellark {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) (void)::close(fd_);
  fd_ = fd;
}

}  // namespace pellark
