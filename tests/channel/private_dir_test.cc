// Private directories and the install lock.
#include "src/private_dir.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

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

}  // namespace
}  // namespace pellark
