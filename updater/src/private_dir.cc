// The staging directory's safety rule and the install lock.
#include "private_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "framework/paths.h"
#include "sys_ops.h"

namespace pellark {

namespace {

inline constexpr const char kLockFileName[] = "pellark-install.lock";

// A trailing slash makes the kernel follow a final symbolic link even under O_NOFOLLOW, so the
// checks and opens below use the path without it.
std::string without_trailing_slashes(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? path : "/";
  return path.substr(0, end + 1);
}

// The directory holding the last component of a path without trailing slashes; empty for a
// single relative component.
std::string parent_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  size_t end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

bool is_missing(const std::string& path) {
  struct stat st {};
  return sys_ops().fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
         errno == ENOENT;
}

// Creates `path` and its missing ancestors, outermost first. The walk up stops at the first
// ancestor that is there, so existing levels cost no mkdir (each would also wake an automounter).
Status make_missing_directories(const std::string& path) {
  std::vector<std::string> missing{path};
  for (std::string parent = parent_of(path); !parent.empty() && is_missing(parent);
       parent = parent_of(parent)) {
    missing.push_back(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Someone else may have made it meanwhile; the open below checks what is there.
    if (sys_ops().mkdir(it->c_str(), 0777) != 0 && errno != EEXIST)
      return Error::io(errno, "mkdir");
  }
  return ok();
}

UniqueFd open_retrying(int dirfd, const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = sys_ops().openat(dirfd, path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

// Opens the directory itself, never a link in its place; O_DIRECTORY|O_NOFOLLOW refuses a link
// with ENOTDIR (ELOOP on some paths), which is the unsafe case, not an I/O failure.
Result<UniqueFd> open_real_directory(const std::string& path, int flags) {
  UniqueFd dir = open_retrying(AT_FDCWD, path, flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir) return dir;
  if (errno == ENOTDIR || errno == ELOOP) return Error::failure("unsafe directory");
  return Error::io(errno, "open directory");
}

// The mode is set on the opened directory, so a link swapped in after the checks is refused
// rather than followed.
Status make_private(const std::string& path) {
  Result<UniqueFd> dir = open_real_directory(path, O_RDONLY);
  if (!dir && dir.error().kind == ErrorKind::Io && dir.error().code == EACCES) {
    // Ours but unreadable (mode 0300, say): an O_PATH descriptor cannot be fchmod-ed, but the
    // kernel's link to it names that very directory.
    PELLARK_TRY_ASSIGN(UniqueFd handle, open_real_directory(path, O_PATH));
    const std::string proc_path = "/proc/self/fd/" + std::to_string(handle.get());
    while (sys_ops().chmod(proc_path.c_str(), 0700) != 0) {
      if (errno != EINTR) return Error::io(errno, "chmod");
    }
    return ok();
  }
  if (!dir) return dir.error();
  while (sys_ops().fchmod(dir->get(), 0700) != 0) {
    if (errno != EINTR) return Error::io(errno, "fchmod");
  }
  return ok();
}

}  // namespace

Status ensure_private_directory(const std::string& path) {
  if (has_nul(path)) return Error::io(EINVAL, "NUL in path");
  const std::string dir = without_trailing_slashes(path);
  struct stat st {};
  // A failed lstat usually means nothing is there yet; creating it below tells the rest.
  if (sys_ops().fstatat(AT_FDCWD, dir.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISDIR(st.st_mode)) return Error::failure("unsafe directory");
  } else {
    PELLARK_TRY(make_missing_directories(dir));
  }
  return make_private(dir);
}

Result<UniqueFd> acquire_install_lock(const std::string& staging_dir) {
  if (has_nul(staging_dir)) return Error::io(EINVAL, "NUL in path");
  // The look at the lock file and its open are both relative to this descriptor, so no component
  // of the staging path can be swapped in between. O_PATH: only a place to look up names in.
  PELLARK_TRY_ASSIGN(UniqueFd dir,
                     open_real_directory(without_trailing_slashes(staging_dir), O_PATH));
  struct stat st {};
  if (sys_ops().fstatat(dir.get(), kLockFileName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode))
    return Error::failure("unsafe lock file");

  // O_NOFOLLOW closes the window between the look above and the open.
  UniqueFd fd =
      open_retrying(dir.get(), kLockFileName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (!fd) {
    if (errno == ELOOP) return Error::failure("unsafe lock file");
    return Error::io(errno, "open lock");
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return Error::io(errno, "lock held");
  return fd;
}

}  // namespace pellark
