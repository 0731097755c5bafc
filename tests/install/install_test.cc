// The install back half in-process: what is on disk after the install ended at each step, the
// identity rule, the validated-descriptor rule and the relaunched program's environment.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "src/install.h"
#include "src/sys_ops.h"
#include "support/file_checks.h"
#include "support/installed_layout.h"

namespace pellark {
namespace {

using testing::inode_of;
using testing::path_exists;
using testing::read_file;
using testing::write_file;
using testing::write_manifest_xml;

const std::string kOldAppImage = "#!/bin/sh\nexit 0\n# old AppImage\n";
// A real program (the loader ignores the trailing bytes), so a started child never reads the
// file again after the test directory is gone.
const std::string kNewAppImage =
    testing::read_file("/bin/true") + "\n# new AppImage PAYLOAD-MARKER\n";
// Executable bits but no interpreter line and no ELF header: exec fails with ENOEXEC.
const std::string kUnrunnableAppImage = "not a program PAYLOAD-MARKER\n";

struct Entry {
  std::string name;
  std::string data;
};

// A package with stored entries (so a payload byte can be found and damaged).
void write_package(const std::string& path, const std::vector<Entry>& entries) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr);
  for (const Entry& e : entries) {
    zip_source_t* source = zip_source_buffer(archive, e.data.data(), e.data.size(), 0);
    ASSERT_NE(source, nullptr);
    zip_int64_t index = zip_file_add(archive, e.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    ASSERT_GE(index, 0);
    ASSERT_EQ(zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0),
              0);
  }
  ASSERT_EQ(zip_close(archive), 0);
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path))
    names.push_back(entry.path().filename().string());
  return names;
}

class InstallTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string templ = std::filesystem::temp_directory_path().string() + "/pellark-install-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    root_ = templ;
    std::filesystem::create_directories(root_ + "/mnt/usr/bin");
    std::filesystem::create_directories(root_ + "/apps/.pellark-updates");
    config_.appimage_path = root_ + "/apps/Pellark.AppImage";
    config_.packages_dir = root_ + "/apps/.pellark-updates";
    config_.manifest_path = root_ + "/mnt/usr/bin/sq.version";
    config_.updater_path = root_ + "/mnt/usr/bin/UpdateNix";
    config_.binary_dir = root_ + "/mnt/usr/bin";
    write_file(config_.updater_path, "#!/bin/sh\nexit 0\n", 0755);
    write_file(config_.appimage_path, kOldAppImage, 0755);
    old_inode_ = inode_of(config_.appimage_path);
    install_manifest("com.pellark.App", "1.0.0");
    package_path_ = root_ + "/Pellark-1.1.0-full.nupkg";
  }

  void TearDown() override {
    sys_ops() = real_sys_ops();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  void install_manifest(const std::string& id, const std::string& version,
                        const std::string& os = "linux", const std::string& arch = "x64") {
    write_file(config_.manifest_path, write_manifest_xml(id, version, os, arch));
  }

  void package(const std::string& payload, const std::string& version = "1.1.0",
               const std::string& id = "com.pellark.App", const std::string& os = "linux",
               const std::string& arch = "x64", const std::string& entry = "Pellark.AppImage") {
    write_package(package_path_, {{"Pellark.nuspec", write_manifest_xml(id, version, os, arch)},
                                  {entry, payload}});
  }

  Status install(const std::string& display_version = "1.1.0") {
    UniqueFd fd(::open(package_path_.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd);
    return install_release(config_, package_path_, std::move(fd), display_version);
  }

  std::string work_root() const { return config_.packages_dir + "/VelopackTemp"; }

  void expect_old_untouched() const {
    EXPECT_EQ(inode_of(config_.appimage_path), old_inode_);
    EXPECT_EQ(read_file(config_.appimage_path), kOldAppImage);
  }

  std::string root_;
  InstallationConfig config_;
  ino_t old_inode_ = 0;
  std::string package_path_;
};

// Fail-once switches for the operation table; plain functions, as the table holds pointers.
int g_renames = 0;
int fail_with_eperm_chmod(const char*, mode_t) {
  return errno = EPERM, -1;
}
int chmod_without_execute(const char* path, mode_t) {
  return real_sys_ops().chmod(path, 0644);
}
int fail_with_eio_fsync(int) {
  return errno = EIO, -1;
}
int fail_with_exdev_linkat(int, const char*, int, const char*, int) {
  return errno = EXDEV, -1;
}
int fail_with_exdev_rename(const char*, const char*) {
  return errno = EXDEV, -1;
}
int fail_second_rename(const char* from, const char* to) {
  if (++g_renames == 2) return errno = EROFS, -1;
  return real_sys_ops().rename(from, to);
}
int fail_with_enoent_spawn(pid_t*, const char*, const posix_spawn_file_actions_t*,
                           const posix_spawnattr_t*, char* const[], char* const[]) {
  return ENOENT;
}

enum class Installed { Old, New };
enum class Work { NotCreated, Removed, Kept };

struct StateRow {
  const char* name;
  std::string payload;
  bool damage_payload;
  void (*patch)(SysOps&);
  int error;  // expected errno of the Io failure; 0 for success
  Installed installed;
  Work work;
};

TEST_F(InstallTest, OnDiskStateMatchesTheStepTheInstallEndedAt) {
  const std::vector<StateRow> rows = {
      {"payload CRC mismatch", kNewAppImage, true, nullptr, -1, Installed::Old, Work::Removed},
      {"chmod fails", kNewAppImage, false, [](SysOps& o) { o.chmod = fail_with_eperm_chmod; },
       EPERM, Installed::Old, Work::Removed},
      {"fsync fails", kNewAppImage, false, [](SysOps& o) { o.fsync = fail_with_eio_fsync; }, EIO,
       Installed::Old, Work::Removed},
      {"hard link fails", kNewAppImage, false, [](SysOps& o) { o.linkat = fail_with_exdev_linkat; },
       EXDEV, Installed::Old, Work::Removed},
      {"rename fails", kNewAppImage, false, [](SysOps& o) { o.rename = fail_with_exdev_rename; },
       EXDEV, Installed::Old, Work::Removed},
      {"start fails, rollback succeeds", kUnrunnableAppImage, false, nullptr, ENOEXEC,
       Installed::Old, Work::Removed},
      {"start fails without execute permission, rollback succeeds", kNewAppImage, false,
       [](SysOps& o) { o.chmod = chmod_without_execute; }, EACCES, Installed::Old, Work::Removed},
      {"start and rollback fail", kNewAppImage, false,
       [](SysOps& o) {
         o.posix_spawn = fail_with_enoent_spawn;
         o.rename = fail_second_rename;
       },
       EROFS, Installed::New, Work::Kept},
      {"success", kNewAppImage, false, nullptr, 0, Installed::New, Work::Removed},
  };
  for (const StateRow& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    g_renames = 0;
    package(row.payload);
    if (row.damage_payload) {
      std::string bytes = read_file(package_path_);
      size_t at = bytes.find("PAYLOAD-MARKER");
      ASSERT_NE(at, std::string::npos);
      bytes[at] = 'X';
      write_file(package_path_, bytes);
    }
    if (row.patch) row.patch(sys_ops());

    Status result = install();
    sys_ops() = real_sys_ops();

    if (row.error == 0) {
      EXPECT_TRUE(result);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().kind, ErrorKind::Io);
      if (row.error > 0) {
        EXPECT_EQ(result.error().code, row.error);
      }
    }
    if (row.installed == Installed::Old) {
      expect_old_untouched();
    } else {
      EXPECT_EQ(read_file(config_.appimage_path), row.payload);
      struct stat st {};
      ASSERT_EQ(::lstat(config_.appimage_path.c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_mode & 07777, 0755u);
      EXPECT_NE(st.st_ino, old_inode_);
    }
    std::vector<std::string> work_dirs = list_dir(work_root());
    if (row.work == Work::Removed) {
      EXPECT_TRUE(work_dirs.empty());
    } else {
      ASSERT_EQ(work_dirs.size(), 1u);
      EXPECT_TRUE(std::regex_match(work_dirs[0], std::regex("tmp_[A-Za-z0-9]{16}")));
      std::string work = work_root() + "/" + work_dirs[0];
      struct stat st {};
      ASSERT_EQ(::lstat(work.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0700u);
      EXPECT_EQ(inode_of(work + "/previous.AppImage"), old_inode_);
      EXPECT_EQ(read_file(work + "/previous.AppImage"), kOldAppImage);
    }
    EXPECT_EQ(read_file(package_path_).empty(), false);  // the package is never deleted
  }
}

TEST_F(InstallTest, RefusalsBeforeTheWorkDirectoryLeaveNothingBehind) {
  struct Row {
    const char* name;
    std::function<void(InstallTest&)> arrange;
    // The missing entry is found only after the work directory exists; it is removed again.
    bool after_work_directory;
    const char* reason;  // of the Failure, or nullptr for another kind
  };
  auto link_to = [](InstallTest& t, const std::string& target) {
    t.package(kNewAppImage);
    ASSERT_EQ(::rename(t.config_.appimage_path.c_str(), (t.root_ + "/real.AppImage").c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), t.config_.appimage_path.c_str()), 0);
  };
  const std::vector<Row> rows = {
      {"no AppImage entry, only another letter case",
       [](InstallTest& t) {
         t.package(kNewAppImage, "1.1.0", "com.pellark.App", "linux", "x64", "Pellark.appimage");
       },
       true, nullptr},
      {"not a ZIP", [](InstallTest& t) { write_file(t.package_path_, "PK\3\4 but not a zip"); },
       false, nullptr},
      {"truncated ZIP",
       [](InstallTest& t) {
         t.package(kNewAppImage);
         std::string bytes = read_file(t.package_path_);
         write_file(t.package_path_, bytes.substr(0, bytes.size() - 30));
       },
       false, nullptr},
      {"AppImage is a symbolic link",
       [&](InstallTest& t) { link_to(t, t.root_ + "/real.AppImage"); }, false,
       "not a regular file"},
      {"AppImage is a dangling symbolic link",
       [&](InstallTest& t) { link_to(t, t.root_ + "/nowhere.AppImage"); }, false,
       "not a regular file"},
      {"AppImage is a directory",
       [](InstallTest& t) {
         t.package(kNewAppImage);
         ASSERT_EQ(::unlink(t.config_.appimage_path.c_str()), 0);
         ASSERT_EQ(::mkdir(t.config_.appimage_path.c_str(), 0755), 0);
       },
       false, "not a regular file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    row.arrange(*this);
    struct stat before {};
    ASSERT_EQ(::lstat(config_.appimage_path.c_str(), &before), 0);
    Status result = install();
    ASSERT_FALSE(result);
    if (row.reason) {
      EXPECT_STREQ(result.error().reason, row.reason);
    }
    struct stat after {};
    ASSERT_EQ(::lstat(config_.appimage_path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    if (row.after_work_directory) {
      EXPECT_TRUE(list_dir(work_root()).empty());
    } else {
      EXPECT_FALSE(path_exists(work_root()));
    }
    if (path_exists(root_ + "/real.AppImage")) {
      EXPECT_EQ(read_file(root_ + "/real.AppImage"), kOldAppImage);
    }
  }
}

int fail_work_directory_mkdir(const char* path, mode_t mode) {
  if (std::string_view(path).find("/tmp_") != std::string_view::npos) return errno = ENOSPC, -1;
  return real_sys_ops().mkdir(path, mode);
}
int fail_with_eperm_fchmod(int, mode_t) {
  return errno = EPERM, -1;
}

// The row of the state table where the work directory cannot be made: the AppImage is unchanged
// and nothing is removed, neither what this install made nor what was there before.
TEST_F(InstallTest, WorkDirectoryThatCannotBeMadeRemovesNothing) {
  struct Row {
    const char* name;
    void (*patch)(SysOps&);
    int error;
    size_t new_entries;  // left in VelopackTemp by this install
  };
  const std::vector<Row> rows = {
      {"work directory cannot be created", [](SysOps& o) { o.mkdir = fail_work_directory_mkdir; },
       ENOSPC, 0},
      {"work directory made, its mode cannot be set",
       [](SysOps& o) { o.fchmod = fail_with_eperm_fchmod; }, EPERM, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    package(kNewAppImage);
    const std::string earlier = work_root() + "/tmp_left0by0an0earlier";
    std::filesystem::create_directories(earlier);
    write_file(earlier + "/previous.AppImage", kOldAppImage);
    row.patch(sys_ops());

    Status result = install();
    sys_ops() = real_sys_ops();

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::Io);
    EXPECT_EQ(result.error().code, row.error);
    expect_old_untouched();
    EXPECT_EQ(read_file(earlier + "/previous.AppImage"), kOldAppImage);
    std::vector<std::string> entries = list_dir(work_root());
    EXPECT_EQ(entries.size(), 1 + row.new_entries);
    for (const std::string& name : entries) {
      if (work_root() + "/" + name == earlier) continue;
      EXPECT_TRUE(std::regex_match(name, std::regex("tmp_[A-Za-z0-9]{16}"))) << name;
      EXPECT_TRUE(list_dir(work_root() + "/" + name).empty());
    }
    EXPECT_FALSE(read_file(package_path_).empty());
  }
}

TEST_F(InstallTest, IdentityRule) {
  struct Row {
    const char* name;
    std::string installed_version;
    std::string id, version, os, arch, display;
    bool passes;
  };
  const std::vector<Row> rows = {
      {"newer", "1.0.0", "com.pellark.App", "1.1.0", "linux", "x64", "1.1.0", true},
      {"other id", "1.0.0", "com.pellark.Other", "1.1.0", "linux", "x64", "1.1.0", false},
      {"id differs in case", "1.0.0", "com.pellark.app", "1.1.0", "linux", "x64", "1.1.0", false},
      {"other os", "1.0.0", "com.pellark.App", "1.1.0", "osx", "x64", "1.1.0", false},
      {"other architecture", "1.0.0", "com.pellark.App", "1.1.0", "linux", "arm64", "1.1.0", false},
      {"equal version", "1.0.0", "com.pellark.App", "1.0.0", "linux", "x64", "1.0.0", false},
      {"older version", "1.0.0", "com.pellark.App", "0.9.9", "linux", "x64", "0.9.9", false},
      {"pre-release of the same version", "1.0.0", "com.pellark.App", "1.0.0-rc.1", "linux", "x64",
       "1.0.0-rc.1", false},
      // Build metadata is the last tie-break: 1.0.0 < 1.0.0+1 < 1.0.0+2.
      {"higher only by build metadata", "1.0.0", "com.pellark.App", "1.0.0+1", "linux", "x64",
       "1.0.0+1", true},
      {"lower only by build metadata", "1.0.0+2", "com.pellark.App", "1.0.0+1", "linux", "x64",
       "1.0.0+1", false},
      {"display version with a v", "1.0.0", "com.pellark.App", "1.1.0", "linux", "x64", "v1.1.0",
       false},
      {"display version without build metadata", "1.0.0", "com.pellark.App", "1.1.0+7", "linux",
       "x64", "1.1.0", false},
      {"display version in full text form", "1.0.0", "com.pellark.App", "1.1.0-beta.2+7", "linux",
       "x64", "1.1.0-beta.2+7", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    install_manifest("com.pellark.App", row.installed_version);
    package(kNewAppImage, row.version, row.id, row.os, row.arch);
    Status result = install(row.display);
    EXPECT_EQ(static_cast<bool>(result), row.passes);
    if (row.passes) {
      EXPECT_EQ(read_file(config_.appimage_path), kNewAppImage);
    } else {
      expect_old_untouched();
      EXPECT_FALSE(path_exists(work_root()));
    }
  }
}

// The package path is validated once; a file swapped in there afterwards is never installed.
TEST_F(InstallTest, InstallsTheValidatedFileEvenIfThePathIsSwapped) {
  package(kNewAppImage);
  UniqueFd validated(::open(package_path_.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(validated);
  std::string validated_copy = root_ + "/validated.nupkg";
  ASSERT_EQ(::rename(package_path_.c_str(), validated_copy.c_str()), 0);
  const std::string swapped = "#!/bin/sh\nexit 0\n# swapped in after validation\n";
  package(swapped);

  ASSERT_TRUE(install_release(config_, package_path_, std::move(validated), "1.1.0"));
  EXPECT_EQ(read_file(config_.appimage_path), kNewAppImage);
}

// The first ".AppImage" entry's central record points past the end of the file, so its local
// header cannot be read: the install passes over it and installs the second.
TEST_F(InstallTest, EntryWithAnUnreadableHeaderIsPassedOver) {
  write_package(package_path_, {{"Pellark.nuspec", write_manifest_xml("com.pellark.App", "1.1.0")},
                                {"Broken.AppImage", kUnrunnableAppImage},
                                {"Pellark.AppImage", kNewAppImage}});
  std::string bytes = read_file(package_path_);
  size_t record = bytes.find(std::string("PK\1\2", 4));
  while (record != std::string::npos && bytes.compare(record + 46, 15, "Broken.AppImage") != 0)
    record = bytes.find(std::string("PK\1\2", 4), record + 4);
  ASSERT_NE(record, std::string::npos);
  const uint32_t past_end = static_cast<uint32_t>(bytes.size() + 4096);
  std::memcpy(&bytes[record + 42], &past_end, sizeof past_end);  // little-endian, as ZIP is
  write_file(package_path_, bytes);

  ASSERT_TRUE(install());
  EXPECT_EQ(read_file(config_.appimage_path), kNewAppImage);
  EXPECT_TRUE(list_dir(work_root()).empty());
}

std::vector<std::string> g_spawn_argv;
std::vector<std::string> g_spawn_env;
int record_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  g_spawn_argv.clear();
  g_spawn_env.clear();
  for (char* const* a = argv; *a; ++a) g_spawn_argv.emplace_back(*a);
  for (char* const* e = envp; *e; ++e) g_spawn_env.emplace_back(*e);
  return real_sys_ops().posix_spawn(pid, path, actions, attr, argv, envp);
}

TEST_F(InstallTest, RelaunchDropsTheRuntimeVariablesOnlyForTheChild) {
  package(kNewAppImage);
  ASSERT_EQ(::setenv("APPIMAGE", config_.appimage_path.c_str(), 1), 0);
  ASSERT_EQ(::setenv("APPDIR", "/tmp/.mount_test", 1), 0);
  ASSERT_EQ(::setenv("ARGV0", "Pellark.AppImage", 1), 0);
  ASSERT_EQ(::setenv("APPIMAGE_EXTRA", "kept", 1), 0);
  ASSERT_EQ(::setenv("PELLARK_CHILD_MARKER", "APPDIR=kept", 1), 0);
  sys_ops().posix_spawn = record_spawn;

  Status result = install();
  sys_ops() = real_sys_ops();
  ASSERT_TRUE(result);

  EXPECT_EQ(g_spawn_argv, std::vector<std::string>{config_.appimage_path});
  for (const std::string& entry : g_spawn_env) {
    for (const char* name : {"APPIMAGE=", "APPDIR=", "ARGV0="})
      EXPECT_FALSE(entry.starts_with(name)) << entry;
  }
  auto has = [&](const char* entry) {
    return std::find(g_spawn_env.begin(), g_spawn_env.end(), entry) != g_spawn_env.end();
  };
  EXPECT_TRUE(has("APPIMAGE_EXTRA=kept"));
  EXPECT_TRUE(has("PELLARK_CHILD_MARKER=APPDIR=kept"));
  ASSERT_NE(std::getenv("APPIMAGE"), nullptr);
  EXPECT_EQ(std::string(std::getenv("APPDIR")), "/tmp/.mount_test");
  for (const char* name : {"APPIMAGE", "APPDIR", "ARGV0", "APPIMAGE_EXTRA", "PELLARK_CHILD_MARKER"})
    (void)::unsetenv(name);
}

// The relaunched program starts as if a user had launched it: nothing blocked, nothing ignored,
// whatever the calling thread had set up.
TEST_F(InstallTest, RelaunchedProgramStartsWithAFreshSignalState) {
  const std::string report = root_ + "/signals";
  const std::string reporter = "#!/bin/sh\ngrep -E '^Sig(Blk|Ign):' /proc/self/status > '" +
                               report + ".part' && mv '" + report + ".part' '" + report + "'\n";
  package(reporter);

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_pipe {};
  struct sigaction old_usr2 {};
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old_pipe), 0);
  ASSERT_EQ(::sigaction(SIGUSR2, &ignore, &old_usr2), 0);
  Status result = Error::failure("not run");
  // A UI engine thread that keeps termination signals for itself.
  std::thread([&] {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGCHLD}) sigaddset(&blocked, sig);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, nullptr), 0);
    result = install();
  }).join();
  ASSERT_EQ(::sigaction(SIGPIPE, &old_pipe, nullptr), 0);
  ASSERT_EQ(::sigaction(SIGUSR2, &old_usr2, nullptr), 0);
  ASSERT_TRUE(result);

  // The child is never waited for; its report appears when it has run.
  for (int i = 0; i < 600 && !path_exists(report); ++i) ::usleep(50 * 1000);
  ASSERT_TRUE(path_exists(report)) << "the relaunched program did not report";
  EXPECT_EQ(read_file(report), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

}  // namespace
}  // namespace pellark
