// The staging directory's safety rule and the install lock.
#include "private_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "framework/paths.h"

namespace pellark {

namespace {

inline constexpr const char kLockFileName[] = "pellark-install.lock";

// mkdir that accepts a directory already there, as "mkdir -p" does for every level.
Status make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return ok();
  return Error::io(errno, "mkdir");
}

}  // namespace

Status ensure_private_directory(const std::string& path) {
  if (has_nul(path)) return Error::io(EINVAL, "NUL in path");
  struct stat st {};
  // A failed lstat usually means nothing is there yet; creating it below tells the rest.
  if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
    return Error::failure("unsafe directory");

  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    PELLARK_TRY(make_directory(path.substr(0, slash)));
  }
  PELLARK_TRY(make_directory(path));
  // Something may have been put there since the first look; chmod would follow a link.
  if (::lstat(path.c_str(), &st) != 0) return Error::io(errno, "lstat");
  if (!S_ISDIR(st.st_mode)) return Error::failure("unsafe directory");

  while (::chmod(path.c_str(), 0700) != 0) {
    if (errno != EINTR) return Error::io(errno, "chmod");
  }
  return ok();
}

Result<UniqueFd> acquire_install_lock(const std::string& staging_dir) {
  std::string lock_path = join_path(staging_dir, kLockFileName);
  if (has_nul(lock_path)) return Error::io(EINVAL, "NUL in path");
  struct stat st {};
  if (::lstat(lock_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
    return Error::failure("unsafe lock file");

  // O_NOFOLLOW closes the window between the look above and the open.
  UniqueFd fd;
  for (;;) {
    fd.reset(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (fd || errno != EINTR) break;
  }
  if (!fd) return Error::io(errno, "open lock");
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return Error::io(errno, "lock held");
  return fd;
}

}  // namespace pellark
