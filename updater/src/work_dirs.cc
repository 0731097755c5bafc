// Reclaiming dead installs' work directories. Everything below the staging directory is reached
// through descriptors opened with O_NOFOLLOW, so a link planted in there is removed as a link and
// never leads the removal anywhere else.
#include "work_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "framework/unique_fd.h"

namespace pellark {

namespace {

// An install only ever puts two files in its work directory; anything nested deeper than this
// was not made by us and is not worth a descriptor per level.
constexpr int kMaxDepth = 16;

struct DirCloser {
  void operator()(DIR* dir) const { (void)::closedir(dir); }
};

UniqueFd open_directory_at(int parent, const char* name) {
  int fd;
  do {
    fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

// The entry names of the directory open as `dir_fd` (still the caller's), without "." and "..".
// The listing runs on a description of its own so `dir_fd` keeps its offset.
std::optional<std::vector<std::string>> entry_names(int dir_fd) {
  UniqueFd listing = open_directory_at(dir_fd, ".");
  if (!listing) return std::nullopt;
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing.get()));
  if (!dir) return std::nullopt;
  (void)listing.release();  // the stream owns it now
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return std::nullopt;
  return names;
}

bool is_directory_at(int dir_fd, const char* name) {
  struct stat st {};
  return ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Empties the directory open as `dir_fd`. Links and other non-directories are unlinked as they
// are; best effort throughout.
void remove_contents(int dir_fd, int depth) {
  auto names = entry_names(dir_fd);
  if (!names) return;
  for (const std::string& name : *names) {
    if (!is_directory_at(dir_fd, name.c_str())) {
      (void)::unlinkat(dir_fd, name.c_str(), 0);
      continue;
    }
    if (depth >= kMaxDepth) continue;
    UniqueFd child = open_directory_at(dir_fd, name.c_str());
    if (!child) continue;
    remove_contents(child.get(), depth + 1);
    (void)::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
  }
}

void remove_directory_at(int parent, const std::string& name) {
  UniqueFd dir = open_directory_at(parent, name.c_str());
  if (!dir) return;
  remove_contents(dir.get(), 1);
  (void)::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

struct KeptRelease {
  std::string name;
  timespec modified{};
  timespec changed{};
};

// The swap is the last change a work directory's entries see (it moves "next.AppImage" out), so
// the directory's modification time says when its old release was displaced; the change time
// and then the name only break ties, so the choice does not depend on listing order.
bool newer(const KeptRelease& a, const KeptRelease& b) {
  auto key = [](const KeptRelease& r) {
    return std::tie(r.modified.tv_sec, r.modified.tv_nsec, r.changed.tv_sec, r.changed.tv_nsec,
                    r.name);
  };
  return key(a) > key(b);
}

// True when the directory holds nothing but a "previous.AppImage" that may be the only copy of
// an older release. When that cannot be told (the file or the installed AppImage cannot be
// examined), it counts as such a copy: at most one is kept either way.
bool holds_only_old_release(int dir_fd, const struct stat* installed) {
  auto names = entry_names(dir_fd);
  if (!names || names->size() != 1 || names->front() != kPreviousAppImageName) return false;
  struct stat st {};
  if (::fstatat(dir_fd, kPreviousAppImageName, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  if (!S_ISREG(st.st_mode)) return false;
  return installed == nullptr || st.st_dev != installed->st_dev || st.st_ino != installed->st_ino;
}

}  // namespace

void reclaim_work_directories(const InstallationConfig& config) {
  UniqueFd staging(
      ::open(config.packages_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staging) return;
  // A "VelopackTemp" that is a link is not entered: what it points to is not ours to clear.
  UniqueFd work_root = open_directory_at(staging.get(), kWorkRootName);
  if (!work_root) return;
  auto names = entry_names(work_root.get());
  if (!names) return;

  struct stat installed_st {};
  const struct stat* installed =
      ::stat(config.appimage_path.c_str(), &installed_st) == 0 ? &installed_st : nullptr;

  std::optional<KeptRelease> kept;
  for (const std::string& name : *names) {
    if (!name.starts_with(kWorkDirPrefix)) continue;
    // O_NOFOLLOW|O_DIRECTORY: a link or a file named tmp_* fails here and is left alone.
    UniqueFd dir = open_directory_at(work_root.get(), name.c_str());
    if (!dir) continue;
    struct stat st {};
    if (::fstat(dir.get(), &st) == 0 && holds_only_old_release(dir.get(), installed)) {
      KeptRelease candidate{name, st.st_mtim, st.st_ctim};
      if (!kept) {
        kept = std::move(candidate);
        continue;
      }
      // Only the newer of the two survives this round.
      dir.reset();
      if (newer(candidate, *kept)) {
        remove_directory_at(work_root.get(), kept->name);
        kept = std::move(candidate);
      } else {
        remove_directory_at(work_root.get(), name);
      }
      continue;
    }
    remove_contents(dir.get(), 1);
    dir.reset();
    (void)::unlinkat(work_root.get(), name.c_str(), AT_REMOVEDIR);
  }
}

void remove_tree(const std::string& path) {
  UniqueFd dir = open_directory_at(AT_FDCWD, path.c_str());
  if (!dir) return;
  remove_contents(dir.get(), 1);
  dir.reset();
  (void)::rmdir(path.c_str());
}

}  // namespace pellark
