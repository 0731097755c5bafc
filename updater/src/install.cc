// The back half of "install": identity rule, private work directory, extraction, hard-linked
// backup, atomic swap, relaunch and rollback. Every step that changes the disk goes through
// sys_ops() so a test can make exactly that step fail.
#include "install.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "framework/manifest.h"
#include "framework/paths.h"
#include "framework/version.h"
#include "private_dir.h"
#include "sys_ops.h"
#include "work_dirs.h"

extern char** environ;

namespace pellark {

namespace {

constexpr std::string_view kNextName = "next.AppImage";
constexpr std::string_view kNameAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// "tmp_" and 16 characters drawn uniformly from the alphabet, by a generator seeded from the
// kernel's random source, so two installs never share a work directory.
Result<std::string> work_directory_name() {
  std::array<uint32_t, 8> seed{};
  size_t got = 0;
  auto* bytes = reinterpret_cast<char*>(seed.data());
  while (got < sizeof seed) {
    ssize_t n = ::getrandom(bytes + got, sizeof seed - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::io(errno, "getrandom");
    }
    got += static_cast<size_t>(n);
  }
  std::seed_seq seq(seed.begin(), seed.end());
  std::mt19937_64 generator(seq);
  std::uniform_int_distribution<size_t> pick(0, kNameAlphabet.size() - 1);
  std::string name = kWorkDirPrefix;
  for (int i = 0; i < 16; ++i) name.push_back(kNameAlphabet[pick(generator)]);
  return name;
}

}  // namespace

Status identity_rule(const Manifest& installed, const Manifest& package,
                     const std::string& display_version) {
  if (package.id != installed.id) return Error::failure("identity mismatch: id");
  if (!(package.version > installed.version)) return Error::failure("identity mismatch: not newer");
  if (version_text(package.version) != display_version)
    return Error::failure("identity mismatch: display version");
  if (package.os != installed.os) return Error::failure("identity mismatch: os");
  if (package.machine_architecture != installed.machine_architecture)
    return Error::failure("identity mismatch: architecture");
  return ok();
}

namespace {

Status sync_file(const std::string& path) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return Error::io(errno, "open next for sync");
  UniqueFd fd(raw);
  int rc;
  do {
    rc = sys_ops().fsync(fd.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Error::io(errno, "fsync next");
  return ok();
}

bool is_removed_variable(const char* entry) {
  for (std::string_view name : {"APPIMAGE", "APPDIR", "ARGV0"}) {
    if (std::strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '=')
      return true;
  }
  return false;
}

class SpawnAttributes {
 public:
  SpawnAttributes() : init_error_(::posix_spawnattr_init(&attr_)) {}
  ~SpawnAttributes() {
    if (init_error_ == 0) (void)::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // The signal state of a freshly launched program: nothing blocked, every signal that can be
  // reset at its default. Without this the child keeps the calling thread's mask (a UI thread
  // may block SIGTERM) and every ignored signal (SIGPIPE, say).
  Status reset_signals() {
    if (init_error_ != 0) return Error::io(init_error_, "spawn attributes");
    sigset_t none;
    sigset_t all;
    (void)::sigemptyset(&none);
    // Not sigfillset: it leaves out the C library's own signals (32 and 33 with glibc), which
    // posix_spawn would then hand on to the program as ignored.
    std::memset(&all, 0xff, sizeof all);
    (void)::sigdelset(&all, SIGKILL);
    (void)::sigdelset(&all, SIGSTOP);
    int rc = ::posix_spawnattr_setsigmask(&attr_, &none);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr_, &all);
    if (rc == 0)
      rc = ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc != 0) return Error::io(rc, "spawn attributes");
    return ok();
  }

  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
  int init_error_;
};

// Starts the program with no arguments, a fresh signal state and the current environment minus
// the AppImage runtime's variables. glibc's posix_spawn reports exec failures (ENOENT, EACCES,
// ENOEXEC) as its result, so a program that cannot run counts as a failed start.
Status start_program(const std::string& program) {
  std::vector<char*> envp;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (!is_removed_variable(*entry)) envp.push_back(*entry);
  }
  envp.push_back(nullptr);
  std::string argv0 = program;
  char* argv[] = {argv0.data(), nullptr};
  SpawnAttributes attributes;
  PELLARK_TRY(attributes.reset_signals());
  pid_t pid = 0;
  int rc =
      sys_ops().posix_spawn(&pid, program.c_str(), nullptr, attributes.get(), argv, envp.data());
  if (rc != 0) return Error::io(rc, "spawn");
  return ok();
}

}  // namespace

Status replace_and_relaunch(Bundle& bundle, const std::string& next_path,
                            const InstallationConfig& config, const std::string& previous_path,
                            bool& keep_work_directory) {
  PELLARK_TRY(extract_entry(bundle, is_appimage_entry, next_path));
  if (sys_ops().chmod(next_path.c_str(), 0755) != 0) return Error::io(errno, "chmod next");
  PELLARK_TRY(sync_file(next_path));
  if (sys_ops().linkat(AT_FDCWD, config.appimage_path.c_str(), AT_FDCWD, previous_path.c_str(),
                       0) != 0)
    return Error::io(errno, "link backup");
  if (sys_ops().rename(next_path.c_str(), config.appimage_path.c_str()) != 0)
    return Error::io(errno, "swap");

  Status started = start_program(config.appimage_path);
  if (started) return ok();

  // Until the rollback lands, the work directory holds the only copy of the old AppImage.
  keep_work_directory = true;
  if (sys_ops().rename(previous_path.c_str(), config.appimage_path.c_str()) != 0)
    return Error::io(errno, "rollback");
  keep_work_directory = false;
  return started;
}

Status install_release(const InstallationConfig& config, const std::string& package_path,
                       UniqueFd package, const std::string& display_version) {
  // The bundle is opened on the descriptor that was validated, never on the path again: a file
  // swapped in at the path after validation must not be installed.
  (void)package_path;
  PELLARK_TRY_ASSIGN(Manifest installed, read_manifest_file(config.manifest_path));
  if (!package) return Error::io(EBADF, "no validated package");
  PELLARK_TRY_ASSIGN(Bundle bundle, open_bundle_fd(std::move(package)));
  PELLARK_TRY_ASSIGN(Manifest incoming, bundle_manifest(bundle));
  PELLARK_TRY(identity_rule(installed, incoming, display_version));

  struct stat st {};
  if (::lstat(config.appimage_path.c_str(), &st) != 0) return Error::io(errno, "lstat appimage");
  if (!S_ISREG(st.st_mode)) return Error::failure("not a regular file");

  PELLARK_TRY_ASSIGN(std::string name, work_directory_name());
  const std::string work_dir = join_path(join_path(config.packages_dir, kWorkRootName), name);
  PELLARK_TRY(ensure_private_directory(work_dir));

  const std::string next_path = join_path(work_dir, kNextName);
  const std::string previous_path = join_path(work_dir, kPreviousAppImageName);
  bool keep_work_directory = false;
  Status result =
      replace_and_relaunch(bundle, next_path, config, previous_path, keep_work_directory);
  if (!keep_work_directory) remove_tree(work_dir);
  return result;
}

}  // namespace pellark
