// Reclaiming dead installs' work directories: the rule in-process, then which requests apply it
// through the built library.
#include "src/work_dirs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/file_checks.h"
#include "support/installed_layout.h"

namespace pellark {
namespace {

using testing::inode_of;
using testing::InstalledLayout;
using testing::kFailure;
using testing::kIdentity;
using testing::names_in;
using testing::path_exists;
using testing::read_file;
using testing::write_file;

// Every path below `dir`, links listed but not entered.
std::set<std::string> tree_of(const std::string& dir) {
  std::set<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    paths.insert(entry.path().lexically_relative(dir).string());
  return paths;
}

// Public: the table's set-up functions reach it through a reference.
class WorkDirs : public ::testing::Test {
 public:
  void SetUp() override {
    std::string templ = std::filesystem::temp_directory_path().string() + "/pellark-work-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    root_ = templ;
    std::filesystem::create_directories(work_root());
    std::filesystem::create_directories(outside() + "/dir");
    write_file(outside() + "/dir/victim", "not ours");
    write_file(outside() + "/file", "not ours either");
    config_.appimage_path = root_ + "/apps/Pellark.AppImage";
    config_.packages_dir = root_ + "/apps/.pellark-updates";
    write_file(config_.appimage_path, "#!/bin/sh\nexit 0\n# installed\n", 0755);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string work_root() const { return root_ + "/apps/.pellark-updates/VelopackTemp"; }
  std::string outside() const { return root_ + "/outside"; }
  std::string work(const std::string& name) const { return work_root() + "/" + name; }

  void dir(const std::string& name) const { std::filesystem::create_directories(work(name)); }
  // What an install killed during extraction leaves.
  void dead_install(const std::string& name) const {
    dir(name);
    write_file(work(name) + "/next.AppImage", "#!/bin/sh\npartial", 0644);
  }
  // What an install killed between the swap and its cleanup leaves (or a failed rollback): the
  // replaced AppImage, only reachable from here, with the directory last changed at `when`.
  void old_release(const std::string& name, time_t when) const {
    dir(name);
    write_file(work(name) + "/previous.AppImage", "#!/bin/sh\n# old release " + name, 0755);
    set_mtime(work(name), when);
  }
  static void set_mtime(const std::string& path, time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
  void link(const std::string& target, const std::string& at) const {
    ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
  }

  std::string root_;
  InstallationConfig config_;
};

TEST_F(WorkDirs, ReclaimRule) {
  const time_t now = ::time(nullptr);
  struct Case {
    const char* what;
    std::function<void(WorkDirs&)> setup;
    std::set<std::string> left;
  } cases[] = {
      {"dead installs are removed, whatever they hold",
       [](WorkDirs& t) {
         t.dead_install("tmp_a");
         t.dead_install("tmp_b");
         ASSERT_EQ(::link(t.config_.appimage_path.c_str(),
                          (t.work("tmp_b") + "/previous.AppImage").c_str()),
                   0);
         t.dir("tmp_c");
         t.dir("tmp_d/nested/deeper");
         write_file(t.work("tmp_d/nested/deeper/file"), "x");
         t.dir("tmp_");
       },
       {}},
      {"a link named tmp_* is left alone and not followed",
       [](WorkDirs& t) {
         t.link(t.outside() + "/dir", t.work("tmp_dirlink"));
         t.link(t.outside() + "/file", t.work("tmp_filelink"));
       },
       {"tmp_dirlink", "tmp_filelink"}},
      {"links inside a dead install are removed as links",
       [](WorkDirs& t) {
         t.dir("tmp_a");
         t.link(t.outside() + "/file", t.work("tmp_a/next.AppImage"));
         t.link(t.outside() + "/dir", t.work("tmp_a/sub"));
       },
       {}},
      {"a previous.AppImage that is the installed file is no old release",
       [](WorkDirs& t) {
         t.dir("tmp_a");
         ASSERT_EQ(::link(t.config_.appimage_path.c_str(),
                          (t.work("tmp_a") + "/previous.AppImage").c_str()),
                   0);
       },
       {}},
      {"a previous.AppImage that is a link is no old release",
       [](WorkDirs& t) {
         t.dir("tmp_a");
         t.link(t.outside() + "/file", t.work("tmp_a/previous.AppImage"));
       },
       {}},
      {"one old release is kept", [now](WorkDirs& t) { t.old_release("tmp_a", now); }, {"tmp_a"}},
      {"an old release beside a partial next.AppImage is a dead install",
       [now](WorkDirs& t) {
         t.dead_install("tmp_a");
         write_file(t.work("tmp_a/previous.AppImage"), "old", 0755);
         set_mtime(t.work("tmp_a"), now);
       },
       {}},
      {"of several old releases only the newest is kept (newest sorts first)",
       [now](WorkDirs& t) {
         t.old_release("tmp_a", now - 10);
         t.old_release("tmp_b", now - 300);
         t.old_release("tmp_c", now - 20);
       },
       {"tmp_a"}},
      {"of several old releases only the newest is kept (newest sorts last)",
       [now](WorkDirs& t) {
         t.old_release("tmp_a", now - 300);
         t.old_release("tmp_b", now - 20);
         t.old_release("tmp_z", now - 10);
       },
       {"tmp_z"}},
      {"entries that are not tmp_* directories are left alone",
       [](WorkDirs& t) {
         t.dir("keep");
         write_file(t.work("keep/next.AppImage"), "x");
         t.dir("TMP_upper");
         t.dir("xtmp_a");
         write_file(t.work("tmp_file"), "x");
         t.dead_install("tmp_dead");
       },
       {"keep", "TMP_upper", "xtmp_a", "tmp_file"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(work_root());
    std::filesystem::create_directories(work_root());
    c.setup(*this);
    if (HasFatalFailure()) return;
    const std::set<std::string> outside_before = tree_of(outside());
    const ino_t installed = inode_of(config_.appimage_path);

    reclaim_work_directories(config_);

    EXPECT_EQ(names_in(work_root()), c.left);
    EXPECT_EQ(tree_of(outside()), outside_before);
    EXPECT_EQ(read_file(outside() + "/dir/victim"), "not ours");
    EXPECT_EQ(inode_of(config_.appimage_path), installed);
    EXPECT_EQ(read_file(config_.appimage_path), "#!/bin/sh\nexit 0\n# installed\n");
    for (const std::string& name : c.left) {
      if (path_exists(work(name) + "/previous.AppImage")) {
        EXPECT_EQ(read_file(work(name) + "/previous.AppImage"), "#!/bin/sh\n# old release " + name);
      }
    }
  }
}

TEST_F(WorkDirs, LinkedWorkRootIsNotEntered) {
  std::filesystem::remove_all(work_root());
  std::filesystem::create_directories(outside() + "/tmp_x");
  write_file(outside() + "/tmp_x/next.AppImage", "x");
  link(outside(), work_root());
  reclaim_work_directories(config_);
  EXPECT_EQ(read_file(outside() + "/tmp_x/next.AppImage"), "x");
}

// Through the library: only requests that took the lock reclaim anything.
class ReclaimingRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dead());
    write_file(dead() + "/next.AppImage", "partial");
  }
  std::string dead() const { return layout_.staging_dir() + "/VelopackTemp/tmp_dead0000000000"; }
  InstalledLayout layout_;
};

TEST_F(ReclaimingRequests, OnlyLockedRequestsReclaim) {
  struct Case {
    const char* what;
    std::vector<std::string> requests;  // empty: the start-up entry
    std::string answer;
    bool reclaims;
  } cases[] = {
      {"identity", {R"({"method":"identity"})"}, kIdentity, false},
      {"start-up entry", {}, "returned", false},
      {"prepare", {R"({"method":"prepare"})"}, kFailure, true},
      {"install", {R"({"method":"install","path":"/nonexistent"})"}, kFailure, true},
      {"unrecognised method", {R"({"method":"Prepare"})"}, kFailure, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    auto run = c.requests.empty() ? layout_.bootstrap({}) : layout_.call(c.requests);
    ASSERT_FALSE(run.out_lines().empty()) << run.err;
    EXPECT_EQ(run.out_lines().front(), c.answer);
    EXPECT_EQ(path_exists(dead()), !c.reclaims);
  }
}

TEST_F(ReclaimingRequests, LoserOfTheLockReclaimsNothing) {
  ASSERT_TRUE(layout_.call({R"({"method":"identity"})"}).exited_with(0));
  write_file(layout_.lock_path(), "");
  int held = ::open(layout_.lock_path().c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  auto run = layout_.call({R"({"method":"prepare"})"});
  ::close(held);
  EXPECT_EQ(run.out_lines(), std::vector<std::string>{kFailure});
  EXPECT_TRUE(path_exists(dead() + "/next.AppImage"));
}

}  // namespace
}  // namespace pellark
