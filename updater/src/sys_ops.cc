// The real system calls behind the install path's operation table.
#include "sys_ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pellark {

namespace {

// openat is variadic; the table needs a fixed signature.
int real_openat(int dirfd, const char* path, int flags, mode_t mode) {
  return ::openat(dirfd, path, flags, mode);
}

const SysOps kRealOps = {
    .chmod = ::chmod,
    .fchmod = ::fchmod,
    .fstatat = ::fstatat,
    .mkdir = ::mkdir,
    .openat = real_openat,
    .fsync = ::fsync,
    .linkat = ::linkat,
    .rename = ::rename,
    .posix_spawn = ::posix_spawn,
};

SysOps g_ops = kRealOps;

}  // namespace

SysOps& sys_ops() {
  return g_ops;
}

const SysOps& real_sys_ops() {
  return kRealOps;
}

}  // namespace pellark
