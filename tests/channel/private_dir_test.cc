// Private directories and the install lock.
#include "src/private_dir.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "src/sys_ops.h"
#include "support/installed_layout.h"

namespace pellark {
namespace {

using pellark::testing::path_exists;
using pellark::testing::read_file;
using pellark::testing::write_file;

class PrivateDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = std::filesystem::temp_directory_path().string() + "/pellark-dir-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    old_umask_ = ::umask(022);
  }
  void TearDown() override {
    sys_ops() = real_sys_ops();
    ::umask(old_umask_);
    std::filesystem::remove_all(dir_);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static mode_t mode_of(const std::string& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
  }
  std::string dir_;
  mode_t old_umask_ = 0;
};

TEST_F(PrivateDir, CreatesParentsAndRestrictsOnlyTheLast) {
  ASSERT_TRUE(ensure_private_directory(path("a/b//c")));
  EXPECT_EQ(mode_of(path("a")), 0755u);
  EXPECT_EQ(mode_of(path("a/b")), 0755u);
  EXPECT_EQ(mode_of(path("a/b/c")), 0700u);
}

TEST_F(PrivateDir, ExistingDirectoryBecomesPrivate) {
  ASSERT_EQ(::mkdir(path("d").c_str(), 0755), 0);
  write_file(path("d/keep"), "x");
  ASSERT_TRUE(ensure_private_directory(path("d")));
  EXPECT_EQ(mode_of(path("d")), 0700u);
  EXPECT_EQ(read_file(path("d/keep")), "x");
}

TEST_F(PrivateDir, RefusesWhatIsNotARealDirectory) {
  write_file(path("file"), "x");
  ASSERT_EQ(::mkdir(path("real").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(path("real").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
  for (const char* name : {"file", "link", "dangling"}) {
    SCOPED_TRACE(name);
    auto status = ensure_private_directory(path(name));
    ASSERT_FALSE(status);
    EXPECT_STREQ(status.error().reason, "unsafe directory");
  }
  EXPECT_EQ(mode_of(path("real")), 0755u);
  EXPECT_FALSE(path_exists(path("nowhere")));
}

TEST_F(PrivateDir, ParentThatIsAFileFailsWithTheSystemError) {
  write_file(path("file"), "x");
  auto status = ensure_private_directory(path("file/sub"));
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind, ErrorKind::Io);
  EXPECT_EQ(status.error().code, ENOTDIR);
}

TEST_F(PrivateDir, LockFileIsCreatedAndLeftAfterRelease) {
  ::umask(027);
  {
    auto lock = acquire_install_lock(dir_);
    ASSERT_TRUE(lock);
    EXPECT_NE(::fcntl(lock->get(), F_GETFD) & FD_CLOEXEC, 0);
  }
  EXPECT_EQ(mode_of(path("pellark-install.lock")), 0640u);
  auto again = acquire_install_lock(dir_);
  EXPECT_TRUE(again);
}

TEST_F(PrivateDir, LockFileContentStaysAsItWas) {
  write_file(path("pellark-install.lock"), "left by someone\n", 0600);
  {
    auto lock = acquire_install_lock(dir_);
    ASSERT_TRUE(lock);
  }
  EXPECT_EQ(read_file(path("pellark-install.lock")), "left by someone\n");
  EXPECT_EQ(mode_of(path("pellark-install.lock")), 0600u);
}

TEST_F(PrivateDir, LockThroughSymbolicLinkIsRefused) {
  write_file(path("target"), "t");
  struct Row {
    const char* target;
  } rows[] = {{"target"}, {"absent"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.target);
    (void)::unlink(path("pellark-install.lock").c_str());
    ASSERT_EQ(::symlink(path(row.target).c_str(), path("pellark-install.lock").c_str()), 0);
    auto lock = acquire_install_lock(dir_);
    ASSERT_FALSE(lock);
    EXPECT_STREQ(lock.error().reason, "unsafe lock file");
  }
  EXPECT_FALSE(path_exists(path("absent")));
  EXPECT_EQ(read_file(path("target")), "t");
}

TEST_F(PrivateDir, SecondHolderFailsAtOnceFromAnotherThread) {
  auto held = acquire_install_lock(dir_);
  ASSERT_TRUE(held);
  Result<UniqueFd> second = Error::failure("not run");
  std::thread([&] { second = acquire_install_lock(dir_); }).join();
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, ErrorKind::Io);
  EXPECT_EQ(second.error().code, EWOULDBLOCK);

  held->reset();
  std::thread([&] { second = acquire_install_lock(dir_); }).join();
  EXPECT_TRUE(second);
}

// Seam hooks; plain functions, as the operation table holds pointers.
std::vector<std::string> g_made;
int record_mkdir(const char* path, mode_t mode) {
  g_made.emplace_back(path);
  return real_sys_ops().mkdir(path, mode);
}

// Existing levels cost no mkdir; missing ones are made outermost first, each once.
TEST_F(PrivateDir, MakesOnlyTheMissingLevels) {
  struct Row {
    const char* name;
    const char* existing;  // made before, "" for none
    const char* target;
    std::vector<std::string> made;
  };
  const std::vector<Row> rows = {
      {"existing directory", "a/b/c/d", "a/b/c/d", {}},
      {"missing last level", "a/b", "a/b/c", {"a/b/c"}},
      {"three missing levels", "", "a/b/c", {"a", "a/b", "a/b/c"}},
      {"doubled slashes", "a", "a//b//c", {"a//b", "a//b//c"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(path("a"));
    if (*row.existing) std::filesystem::create_directories(path(row.existing));
    g_made.clear();
    sys_ops().mkdir = record_mkdir;
    auto status = ensure_private_directory(path(row.target));
    sys_ops() = real_sys_ops();
    ASSERT_TRUE(status);
    std::vector<std::string> expected;
    for (const std::string& made : row.made) expected.push_back(path(made));
    EXPECT_EQ(g_made, expected);
    EXPECT_EQ(mode_of(path(row.target)), 0700u);
  }
}

struct ModeCall {
  ino_t inode = 0;
  mode_t mode = 0;
  int status_flags = 0;
  bool cloexec = false;
};
std::vector<ModeCall> g_fchmods;
int g_chmods = 0;
int record_fchmod(int fd, mode_t mode) {
  struct stat st {};
  EXPECT_EQ(::fstat(fd, &st), 0);
  g_fchmods.push_back(
      {st.st_ino, mode, ::fcntl(fd, F_GETFL), (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0});
  return real_sys_ops().fchmod(fd, mode);
}
int count_chmod(const char* path, mode_t mode) {
  ++g_chmods;
  return real_sys_ops().chmod(path, mode);
}

// The mode is set on a descriptor of the directory itself, never by path.
TEST_F(PrivateDir, ModeIsSetThroughTheOpenedDirectory) {
  ASSERT_EQ(::mkdir(path("existing").c_str(), 0755), 0);
  for (const char* name : {"existing", "new"}) {
    SCOPED_TRACE(name);
    g_fchmods.clear();
    g_chmods = 0;
    sys_ops().fchmod = record_fchmod;
    sys_ops().chmod = count_chmod;
    auto status = ensure_private_directory(path(name));
    sys_ops() = real_sys_ops();
    ASSERT_TRUE(status);
    struct stat st {};
    ASSERT_EQ(::lstat(path(name).c_str(), &st), 0);
    ASSERT_EQ(g_fchmods.size(), 1u);
    EXPECT_EQ(g_fchmods[0].inode, st.st_ino);
    EXPECT_EQ(g_fchmods[0].mode, 0700u);
    EXPECT_EQ(g_fchmods[0].status_flags & (O_DIRECTORY | O_NOFOLLOW), O_DIRECTORY | O_NOFOLLOW);
    EXPECT_TRUE(g_fchmods[0].cloexec);
    EXPECT_EQ(g_chmods, 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
}

// A directory we own but may not read still becomes private (root reads it anyway, so the
// refused read is made through the seam).
int refuse_plain_open_of_directories(int dirfd, const char* path, int flags, mode_t mode) {
  if ((flags & O_DIRECTORY) && !(flags & O_PATH)) return errno = EACCES, -1;
  return real_sys_ops().openat(dirfd, path, flags, mode);
}

TEST_F(PrivateDir, UnreadableDirectoryBecomesPrivate) {
  ASSERT_EQ(::mkdir(path("d").c_str(), 0300), 0);
  sys_ops().openat = refuse_plain_open_of_directories;
  auto status = ensure_private_directory(path("d"));
  sys_ops() = real_sys_ops();
  ASSERT_TRUE(status);
  EXPECT_EQ(mode_of(path("d")), 0700u);
}

// The worst timing a local attacker could get: before every look at the path the real
// directory is there, right after it (and right after it is made) a link to another directory
// has taken its place.
std::string g_race_path;
std::string g_race_spare;  // holds whichever of the two is not at g_race_path
bool g_link_in_place = false;
void exchange() {
  ASSERT_EQ(
      ::renameat2(AT_FDCWD, g_race_path.c_str(), AT_FDCWD, g_race_spare.c_str(), RENAME_EXCHANGE),
      0);
  g_link_in_place = !g_link_in_place;
}
void put_directory_back(const char* path) {
  if (path == g_race_path && g_link_in_place) exchange();
}
void put_link_in(const char* path) {
  struct stat st {};
  if (path == g_race_path && !g_link_in_place && ::lstat(path, &st) == 0 && S_ISDIR(st.st_mode))
    exchange();
}
int racing_fstatat(int dirfd, const char* path, struct stat* st, int flags) {
  put_directory_back(path);
  int rc = real_sys_ops().fstatat(dirfd, path, st, flags);
  int saved = errno;
  put_link_in(path);
  errno = saved;
  return rc;
}
int racing_mkdir(const char* path, mode_t mode) {
  put_directory_back(path);
  int rc = real_sys_ops().mkdir(path, mode);
  int saved = errno;
  put_link_in(path);
  errno = saved;
  return rc;
}

TEST_F(PrivateDir, LinkSwappedInAfterTheChecksIsNotFollowed) {
  ASSERT_EQ(::mkdir(path("elsewhere").c_str(), 0755), 0);
  g_race_path = path("staging");
  g_race_spare = path("spare");
  for (bool exists : {true, false}) {
    SCOPED_TRACE(exists ? "existing directory" : "directory made by the call");
    std::filesystem::remove_all(g_race_path);
    std::filesystem::remove_all(g_race_spare);
    ASSERT_EQ(::symlink(path("elsewhere").c_str(), g_race_spare.c_str()), 0);
    if (exists) {
      ASSERT_EQ(::mkdir(g_race_path.c_str(), 0755), 0);
    }
    g_link_in_place = false;
    sys_ops().fstatat = racing_fstatat;
    sys_ops().mkdir = racing_mkdir;
    auto status = ensure_private_directory(g_race_path);
    sys_ops() = real_sys_ops();
    ASSERT_FALSE(status);
    EXPECT_STREQ(status.error().reason, "unsafe directory");
    EXPECT_EQ(mode_of(path("elsewhere")), 0755u);
  }
}

// Right after the first look at the staging directory, it is moved away and a link to another
// directory put in its place; the lock is still taken in the directory that was looked at.
std::string g_staging;
bool g_staging_swapped = false;
void swap_staging_once(int dirfd, const char* path) {
  if (g_staging_swapped || dirfd != AT_FDCWD || !std::string_view(path).starts_with(g_staging))
    return;
  g_staging_swapped = true;
  ASSERT_EQ(::rename(g_staging.c_str(), (g_staging + ".looked-at").c_str()), 0);
  ASSERT_EQ(::symlink((g_staging + ".other").c_str(), g_staging.c_str()), 0);
}
int swapping_fstatat(int dirfd, const char* path, struct stat* st, int flags) {
  int rc = real_sys_ops().fstatat(dirfd, path, st, flags);
  int saved = errno;
  swap_staging_once(dirfd, path);
  errno = saved;
  return rc;
}
int swapping_openat(int dirfd, const char* path, int flags, mode_t mode) {
  int rc = real_sys_ops().openat(dirfd, path, flags, mode);
  int saved = errno;
  swap_staging_once(dirfd, path);
  errno = saved;
  return rc;
}

TEST_F(PrivateDir, LockIsTakenInTheDirectoryThatWasLookedAt) {
  g_staging = path("staging");
  ASSERT_EQ(::mkdir(g_staging.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((g_staging + ".other").c_str(), 0700), 0);
  g_staging_swapped = false;
  sys_ops().fstatat = swapping_fstatat;
  sys_ops().openat = swapping_openat;
  auto lock = acquire_install_lock(g_staging);
  sys_ops() = real_sys_ops();
  ASSERT_TRUE(lock);
  EXPECT_TRUE(g_staging_swapped);
  EXPECT_TRUE(path_exists(g_staging + ".looked-at/pellark-install.lock"));
  EXPECT_FALSE(path_exists(g_staging + ".other/pellark-install.lock"));
}

TEST_F(PrivateDir, LockInAStagingDirectoryThatIsALinkIsRefused) {
  ASSERT_EQ(::mkdir(path("real").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(path("real").c_str(), path("staging").c_str()), 0);
  auto lock = acquire_install_lock(path("staging"));
  ASSERT_FALSE(lock);
  EXPECT_STREQ(lock.error().reason, "unsafe directory");
  EXPECT_FALSE(path_exists(path("real/pellark-install.lock")));
}

}  // namespace
}  // namespace pellark
