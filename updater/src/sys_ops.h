// The file and process operations the install path and the private-directory rule change the
// disk with, called through one table so tests can make a single step fail (EXDEV, ENOSPC, ...)
// or race it without special cases here.
#pragma once

#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace pellark {

struct SysOps {
  int (*chmod)(const char* path, mode_t mode);
  int (*fchmod)(int fd, mode_t mode);
  int (*fstatat)(int dirfd, const char* path, struct stat* st, int flags);
  int (*mkdir)(const char* path, mode_t mode);
  int (*openat)(int dirfd, const char* path, int flags, mode_t mode);
  int (*fsync)(int fd);
  int (*linkat)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags);
  int (*rename)(const char* oldpath, const char* newpath);
  int (*posix_spawn)(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                     const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);
};

// The table in use; production code never changes it.
SysOps& sys_ops();
// The real calls, for tests that patch one entry and restore the rest.
const SysOps& real_sys_ops();

}  // namespace pellark
