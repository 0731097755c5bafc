// Installs against real file systems under the installed AppImage: a full tmpfs, a tmpfs
// remounted read-only, and exFAT (through FUSE), which refuses hard links. Mounting needs root;
// without it the tests skip. Every mount lives in a mount namespace private to the test process,
// so none can outlive it, and a guard unmounts it on every path.
#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "framework/unique_fd.h"
#include "hygiene/release_package.h"
#include "src/install.h"
#include "src/sys_ops.h"
#include "support/file_checks.h"
#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

constexpr long kFuseSuperMagic = 0x65735546;

// A runnable AppImage stand-in: the shell stops reading at "exit 0", the rest is ballast.
std::string appimage_bytes(const char* tag, size_t size) {
  std::string bytes = std::string("#!/bin/sh\nexit 0\n# ") + tag + "\n";
  std::mt19937 random(static_cast<unsigned>(size));
  while (bytes.size() < size) bytes.push_back(static_cast<char>('a' + random() % 26));
  return bytes;
}

std::string errno_text(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Mounts made here must never reach the machine's own mount table: the first call moves the
// process into a mount namespace of its own whose mounts do not propagate back.
std::string enter_private_mount_namespace() {
  static std::string failure = [] {
    if (::unshare(CLONE_NEWNS) != 0) return errno_text("unshare(CLONE_NEWNS)");
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return errno_text("make / private");
    return std::string();
  }();
  return failure;
}

// Lazily unmounts `target` when it goes out of scope.
class MountGuard {
 public:
  MountGuard() = default;
  explicit MountGuard(std::string target) : target_(std::move(target)) {}
  MountGuard(const MountGuard&) = delete;
  MountGuard& operator=(const MountGuard&) = delete;
  ~MountGuard() {
    if (!target_.empty()) (void)::umount2(target_.c_str(), MNT_DETACH);
  }

 private:
  std::string target_;
};

// exFAT on a loop device over an image file, served by exfat-fuse in the foreground as our
// child. The loop device clears itself when its last user closes it, and the server dies with
// this process, so a crashed test leaves neither behind.
class ExfatMount {
 public:
  ExfatMount() = default;
  ExfatMount(const ExfatMount&) = delete;
  ExfatMount& operator=(const ExfatMount&) = delete;
  ~ExfatMount() {
    if (!target_.empty()) (void)::umount2(target_.c_str(), MNT_DETACH);
    if (server_ > 0) {
      // Unmounting ends the server; give it a moment, then make sure.
      for (int i = 0; i < 100 && ::waitpid(server_, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (::kill(server_, SIGKILL) == 0) (void)::waitpid(server_, nullptr, 0);
    }
  }

  // Empty on success, else why not.
  std::string mount(const std::string& image, const std::string& target) {
    UniqueFd backing(::open(image.c_str(), O_RDWR | O_CLOEXEC));
    if (!backing) return errno_text("open image");
    UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control) return errno_text("open /dev/loop-control");
    std::string device;
    for (int attempt = 0; attempt < 20 && !loop_; ++attempt) {
      int n = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
      if (n < 0) return errno_text("LOOP_CTL_GET_FREE");
      device = "/dev/loop" + std::to_string(n);
      UniqueFd fd(::open(device.c_str(), O_RDWR | O_CLOEXEC));
      if (!fd) return errno_text(("open " + device).c_str());
      loop_config config{};
      config.fd = static_cast<__u32>(backing.get());
      config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
      if (::ioctl(fd.get(), LOOP_CONFIGURE, &config) == 0) {
        loop_ = std::move(fd);
      } else if (errno != EBUSY) {
        return errno_text("LOOP_CONFIGURE");
      }
    }
    if (!loop_) return "no free loop device";

    pid_t pid = ::fork();
    if (pid < 0) return errno_text("fork");
    if (pid == 0) {
      (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int null = ::open("/dev/null", O_RDWR);
      (void)::dup2(null, 1);
      (void)::dup2(null, 2);
      ::execl("/usr/sbin/mount.exfat-fuse", "mount.exfat-fuse", "-d", device.c_str(),
              target.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    server_ = pid;
    for (int i = 0; i < 500; ++i) {
      struct statfs fs {};
      if (::statfs(target.c_str(), &fs) == 0 && fs.f_type == kFuseSuperMagic) {
        target_ = target;
        return "";
      }
      int status = 0;
      if (::waitpid(server_, &status, WNOHANG) == server_) {
        server_ = -1;
        return "mount.exfat-fuse ended with status " + std::to_string(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "exFAT did not appear at " + target;
  }

 private:
  UniqueFd loop_;
  pid_t server_ = -1;
  std::string target_;
};

// Everything below `dir` that a change would show in: kind and mode, size, inode, times and
// the bytes of regular files.
using Snapshot = std::map<std::string, std::tuple<mode_t, off_t, ino_t, long, long, std::string>>;
Snapshot snapshot(const std::string& dir) {
  Snapshot out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st {};
    EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0) << entry.path();
    out[entry.path().string()] = {st.st_mode,
                                  st.st_size,
                                  st.st_ino,
                                  st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec,
                                  st.st_ctim.tv_sec * 1000000000L + st.st_ctim.tv_nsec,
                                  S_ISREG(st.st_mode) ? read_file(entry.path()) : ""};
  }
  return out;
}

// A short description of what is left below `dir`, for the test log.
std::string left_on_disk(const std::string& dir) {
  std::string out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    out += " " + entry.path().lexically_relative(dir).string();
    if (entry.is_regular_file()) out += " (" + std::to_string(entry.file_size()) + " B)";
    if (entry.is_directory()) out += "/";
  }
  return out.empty() ? " (nothing)" : out;
}

class FileSystems : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root to mount tmpfs and FUSE file systems (CI runs as root)";
    std::string failure = enter_private_mount_namespace();
    ASSERT_EQ(failure, "");
    package_path_ = layout_.root() + "/Pellark-1.1.0-full.nupkg";
  }

  // A tmpfs of `size` over the directory that holds the installed AppImage.
  void mount_tmpfs(const char* size) {
    std::string options = std::string("size=") + size + ",mode=0755";
    ASSERT_EQ(::mount("tmpfs", layout_.apps_dir().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                      options.c_str()),
              0)
        << std::strerror(errno);
    guard_.emplace(layout_.apps_dir());
  }

  void install_old(const std::string& bytes) const {
    write_file(layout_.appimage_path(), bytes, 0755);
  }

  void make_package(const std::string& appimage) {
    write_package(package_path_,
                  {{"Pellark.nuspec", write_manifest_xml("com.pellark.App", "1.1.0")},
                   {"Pellark.AppImage", appimage}});
  }
  std::string request(const std::string& method) const {
    return package_request(method, describe_package(package_path_),
                           method == "install" ? "1.1.0" : "");
  }
  std::string work_root() const { return layout_.staging_dir() + "/VelopackTemp"; }

  InstalledLayout layout_;
  std::string package_path_;
  std::optional<MountGuard> guard_;  // declared after the layout: unmounted before its removal
};

TEST_F(FileSystems, ReleaseLargerThanTheFreeSpace) {
  ASSERT_NO_FATAL_FAILURE(mount_tmpfs("4m"));
  const std::string old_image = appimage_bytes("old", 256 << 10);
  const std::string new_image = appimage_bytes("new", 3 << 19);  // 1.5 MiB
  install_old(old_image);
  const ino_t old_inode = inode_of(layout_.appimage_path());
  // Leaves well under 1 MiB free.
  write_file(layout_.apps_dir() + "/ballast", std::string(3 << 20, 'b'));
  make_package(new_image);

  auto full = layout_.call({request("install")});
  EXPECT_EQ(full.out_lines(), std::vector<std::string>{kFailure}) << full.err;
  EXPECT_EQ(read_file(layout_.appimage_path()), old_image);
  EXPECT_EQ(inode_of(layout_.appimage_path()), old_inode);
  EXPECT_EQ(names_in(work_root()), std::set<std::string>{});
  std::printf("left on the full tmpfs:%s\n", left_on_disk(layout_.apps_dir()).c_str());

  ASSERT_EQ(::unlink((layout_.apps_dir() + "/ballast").c_str()), 0);
  auto freed = layout_.call({request("install")});
  // A successful install never answers: the process ends with status 0.
  EXPECT_TRUE(freed.exited_with(0)) << freed.status << " " << freed.err;
  EXPECT_EQ(freed.out, "");
  EXPECT_EQ(read_file(layout_.appimage_path()), new_image);
  struct stat st {};
  ASSERT_EQ(::lstat(layout_.appimage_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(names_in(work_root()), std::set<std::string>{});
  std::printf("left after space was freed:%s\n", left_on_disk(layout_.apps_dir()).c_str());
}

TEST_F(FileSystems, ReadOnlyLocation) {
  ASSERT_NO_FATAL_FAILURE(mount_tmpfs("8m"));
  install_old(appimage_bytes("old", 64 << 10));
  make_package(appimage_bytes("new", 128 << 10));
  // A used installation: staging directory, lock file and a dead install's work directory.
  ASSERT_EQ(layout_.call({R"({"method":"identity"})", request("prepare")}).out_lines(),
            (std::vector<std::string>{kIdentity, kPrepared}));
  std::filesystem::create_directories(work_root() + "/tmp_dead0000000000");
  write_file(work_root() + "/tmp_dead0000000000/next.AppImage", "partial");
  const Snapshot before = snapshot(layout_.apps_dir());

  ASSERT_EQ(::mount(nullptr, layout_.apps_dir().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr),
            0)
      << std::strerror(errno);
  auto run = layout_.call({R"({"method":"identity"})", request("prepare"), request("install")});
  EXPECT_EQ(run.out_lines(), (std::vector<std::string>{kFailure, kFailure, kFailure})) << run.err;
  EXPECT_EQ(snapshot(layout_.apps_dir()), before);
  std::printf("left on the read-only tmpfs:%s\n", left_on_disk(layout_.apps_dir()).c_str());
}

// The backup step's outcome, seen through the operation table.
int g_links = 0, g_link_errno = 0, g_renames = 0;
int recording_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  ++g_links;
  int rc = real_sys_ops().linkat(from_dir, from, to_dir, to, flags);
  g_link_errno = rc == 0 ? 0 : errno;
  return rc;
}
int counting_rename(const char* from, const char* to) {
  ++g_renames;
  return real_sys_ops().rename(from, to);
}

TEST_F(FileSystems, NoHardLinksOnExfat) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0)
    GTEST_SKIP() << "no usable /dev/fuse here, so exFAT cannot be mounted through FUSE";
  ASSERT_EQ(::access("/usr/sbin/mkfs.exfat", X_OK), 0) << "exfatprogs missing: run make deps";
  ASSERT_EQ(::access("/usr/sbin/mount.exfat-fuse", X_OK), 0) << "exfat-fuse missing: make deps";
  const std::string image = layout_.root() + "/exfat.img";
  {
    UniqueFd fd(::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::ftruncate(fd.get(), 32 << 20), 0);
  }
  HostOptions mkfs;
  mkfs.program = "/usr/sbin/mkfs.exfat";
  mkfs.args = {image};
  auto formatted = run_process(mkfs);
  ASSERT_TRUE(formatted.exited_with(0)) << formatted.out << formatted.err;
  // FUSE refuses to mount over a directory that is not empty.
  ASSERT_EQ(::unlink(layout_.appimage_path().c_str()), 0);
  ExfatMount exfat;
  ASSERT_EQ(exfat.mount(image, layout_.apps_dir()), "");

  const std::string old_image = appimage_bytes("old", 64 << 10);
  install_old(old_image);
  make_package(appimage_bytes("new", 128 << 10));

  // In-process first, to see which step refused: the backup link, and nothing after it.
  {
    InstallationConfig config;
    config.appimage_path = layout_.appimage_path();
    config.packages_dir = layout_.staging_dir();
    config.manifest_path = layout_.manifest_path();
    config.updater_path = layout_.updater_path();
    config.binary_dir = layout_.bin_dir();
    SysOps ops = real_sys_ops();
    ops.linkat = recording_linkat;
    ops.rename = counting_rename;
    sys_ops() = ops;
    UniqueFd package(::open(package_path_.c_str(), O_RDONLY | O_CLOEXEC));
    Status result = install_release(config, package_path_, std::move(package), "1.1.0");
    sys_ops() = real_sys_ops();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::Io);
    EXPECT_EQ(g_links, 1);
    EXPECT_NE(g_link_errno, 0);
    EXPECT_EQ(result.error().code, g_link_errno);
    EXPECT_EQ(g_renames, 0);
    EXPECT_EQ(read_file(layout_.appimage_path()), old_image);
    EXPECT_EQ(names_in(work_root()), std::set<std::string>{});
  }

  auto run = layout_.call({request("install")});
  EXPECT_EQ(run.out_lines(), std::vector<std::string>{kFailure}) << run.err;
  EXPECT_EQ(read_file(layout_.appimage_path()), old_image);
  struct stat st {};
  ASSERT_EQ(::lstat(layout_.appimage_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(names_in(work_root()), std::set<std::string>{});
  std::printf("left on exFAT (link error %s):%s\n", std::strerror(g_link_errno),
              left_on_disk(layout_.apps_dir()).c_str());
}

}  // namespace
}  // namespace pellark::testing
