// The AppImage runtime in a file made by packaging/make-appimage: the file layout other AppImage
// tools rely on, what AppRun is given, the fallback to extraction, the runtime's own options,
// signals, and that no mount or temporary directory outlives the runtime.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/installed_layout.h"

extern char** environ;

namespace pellark::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

const std::string kMakeAppImage = std::string(PELLARK_SOURCE_DIR) + "/packaging/make-appimage";
const std::string kRuntime = PELLARK_APPIMAGE_RUNTIME;

// Reports what it was given to $REPORT (renamed into place when complete), then does what its
// first argument asks.
const char kAppRun[] = R"sh(#!/bin/sh
# Before the report, which tells the test that SIGTERM may come.
[ "$1" = --trap-term ] && trap 'echo TERM >"$REPORT.term"; exit 3' TERM
{
  echo "APPIMAGE=$APPIMAGE"
  echo "APPDIR=$APPDIR"
  echo "ARGV0=$ARGV0"
  echo "OWD=$OWD"
  for a in "$@"; do echo "arg=$a"; done
  echo "payload=$(cat "$APPDIR/usr/bin/payload")"
  if grep -q " $APPDIR fuse" /proc/mounts; then echo "mounted=yes"; else echo "mounted=no"; fi
} >"$REPORT.part"
mv "$REPORT.part" "$REPORT"
case $1 in
  --exit) exit "$2" ;;
  --signal) kill -s "$2" $$ ;;
  --trap-term | --sleep) while :; do sleep 0.02; done ;;
esac
exit 0
)sh";

std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "/usr/bin/" + name;
}

bool fuse_available() {
  int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool mounted(const std::string& dir) {
  return read_file("/proc/mounts").find(" " + dir + " ") != std::string::npos;
}

// The value of KEY= in a report ("(missing)" if absent) and every arg= line in order.
std::string value_of(const std::string& report, const std::string& key) {
  std::string needle = "\n" + key + "=";
  std::string text = "\n" + report;
  size_t at = text.find(needle);
  if (at == std::string::npos) return "(missing)";
  size_t start = at + needle.size();
  return text.substr(start, text.find('\n', start) - start);
}
std::vector<std::string> args_of(const std::string& report) {
  std::vector<std::string> args;
  size_t at = 0;
  while ((at = report.find("arg=", at)) != std::string::npos) {
    if (at == 0 || report[at - 1] == '\n') {
      size_t end = report.find('\n', at);
      args.push_back(report.substr(at + 4, end - at - 4));
    }
    at += 4;
  }
  return args;
}

bool wait_for_file(const std::string& path, milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!path_exists(path)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// A runtime started in its own process group, so a test can signal it while it runs. The group
// is killed if the test ends first.
class Started {
 public:
  Started(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env, const std::string& cwd, int stdout_fd = -1) {
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The test's environment without what the runtime reacts to, then `env` (NAME=VALUE).
    std::map<std::string, std::string> vars;
    auto put = [&](const std::string& entry) {
      size_t eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    };
    for (char** e = environ; *e != nullptr; ++e) put(*e);
    for (const char* name : {"APPIMAGE", "APPDIR", "ARGV0", "OWD", "APPIMAGE_EXTRACT_AND_RUN"})
      vars.erase(name);
    for (const std::string& entry : env) put(entry);
    std::vector<std::string> env_text;
    for (const auto& [name, value] : vars) env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (::posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  ~Started() {
    if (pid_ > 0) {
      (void)::kill(-pid_, SIGKILL);
      (void)::waitpid(pid_, nullptr, 0);
    }
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;

  pid_t pid() const { return pid_; }
  // The wait status, or -1 when it did not end within `limit`.
  int wait(milliseconds limit = milliseconds(20000)) {
    auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > until) return -1;
      std::this_thread::sleep_for(milliseconds(10));
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = fs::temp_directory_path().string() + "/pellark-runtime-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    root_ = templ;
    // A name of our own, so the runtime's /tmp/.mount_<name>* directories are ours to check.
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int i = 0; i < 6; ++i) name_ += kLetters[random() % (sizeof kLetters - 1)];
    for (const char* dir : {"/bundle", "/apps", "/links", "/tmp", "/in a dir"})
      fs::create_directories(root_ + dir);
    write_file(root_ + "/bundle/pellark_app", "#!/bin/sh\n", 0755);
    write_file(root_ + "/bundle/payload", "from the image\n", 0644);
    write_file(root_ + "/AppRun", kAppRun, 0755);
    appimage_ = root_ + "/apps/" + name_ + ".AppImage";
    HostRun made = run_process(make_options(
        kMakeAppImage, {"--bundle", root_ + "/bundle", "--output", appimage_, "--runtime", kRuntime,
                        "--apprun", root_ + "/AppRun", "--version", "1.0.0"}));
    ASSERT_TRUE(made.exited_with(0)) << made.err;
  }

  void TearDown() override {
    // Whatever a failed test left: unmounted, removed, and reported.
    for (const std::string& dir : leftovers()) {
      ADD_FAILURE() << "left behind: " << dir;
      (void)::umount2(dir.c_str(), MNT_DETACH);
      (void)::rmdir(dir.c_str());
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // /tmp/.mount_<name>* and anything in the private TMPDIR the runs get.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/tmp", error)) {
      if (entry.path().filename().string().starts_with(".mount_" + name_))
        found.push_back(entry.path().string());
    }
    for (const auto& entry : fs::directory_iterator(root_ + "/tmp", error))
      found.push_back(entry.path().string());
    return found;
  }

  HostOptions make_options(std::string program, std::vector<std::string> args,
                           std::vector<std::pair<std::string, std::string>> env = {},
                           std::string cwd = {}) const {
    HostOptions options;
    options.program = std::move(program);
    options.args = std::move(args);
    options.set_env = std::move(env);
    options.set_env.push_back({"TMPDIR", root_ + "/tmp"});
    options.set_env.push_back({"REPORT", report()});
    options.cwd = cwd.empty() ? root_ : std::move(cwd);
    for (const char* name : {"APPIMAGE_EXTRACT_AND_RUN", "OWD"}) {
      if (std::ranges::none_of(options.set_env, [&](const auto& set) { return set.first == name; }))
        options.unset_env.push_back(name);
    }
    return options;
  }

  std::string report() const { return root_ + "/report"; }
  std::string offset_text() const {
    HostRun run = run_process(make_options(appimage_, {"--appimage-offset"}));
    EXPECT_TRUE(run.exited_with(0)) << run.err;
    return run.out.substr(0, run.out.find('\n'));
  }

  std::string root_;
  std::string name_;
  std::string appimage_;
};

// Runs with the image mounted where FUSE works, and extracted (asked for or as the fallback).
struct Mode {
  const char* name;
  bool mount;
  std::vector<std::pair<std::string, std::string>> env;
};
std::vector<Mode> modes(const std::string& fake_bin) {
  std::vector<Mode> rows = {
      {"APPIMAGE_EXTRACT_AND_RUN=1", false, {{"APPIMAGE_EXTRACT_AND_RUN", "1"}}},
      // A squashfuse that cannot mount: the runtime must extract instead.
      {"mount fails", false, {{"PATH", fake_bin + ":" + std::getenv("PATH")}}},
  };
  if (fuse_available()) rows.insert(rows.begin(), {"FUSE mount", true, {}});
  return rows;
}

TEST_F(RuntimeTest, FileIsTheRuntimeWithTheMagicFollowedByTheImageAtTheElfEnd) {
  const std::string file = read_file(appimage_);
  const std::string runtime = read_file(kRuntime);
  ASSERT_GT(file.size(), runtime.size());
  EXPECT_EQ(file.substr(8, 3), std::string("AI\x02", 3));
  EXPECT_EQ(runtime.substr(8, 3), std::string(3, '\0'));  // the packer wrote it, nothing else
  std::string expected_head = runtime;
  expected_head.replace(8, 3, "AI\x02");
  EXPECT_TRUE(file.compare(0, runtime.size(), expected_head) == 0);

  HostRun elf = run_process(make_options(find_program("readelf"), {"-h", appimage_}));
  ASSERT_TRUE(elf.exited_with(0)) << elf.err;
  auto field = [&](const std::string& label) -> unsigned long long {
    size_t at = elf.out.find(label);
    if (at == std::string::npos) return 0;
    return std::stoull(elf.out.substr(elf.out.find(':', at) + 1));
  };
  unsigned long long end = field("Start of section headers") +
                           field("Number of section headers") * field("Size of section headers");
  EXPECT_EQ(end, runtime.size());
  EXPECT_EQ(offset_text(), std::to_string(end));
  EXPECT_EQ(file.substr(end, 4), "hsqs");

  HostRun kind = run_process(make_options(find_program("file"), {"-b", appimage_}));
  ASSERT_TRUE(kind.exited_with(0)) << kind.err;
  EXPECT_TRUE(kind.out.starts_with("ELF ")) << kind.out;
}

TEST_F(RuntimeTest, UnsquashfsReadsTheImageAtTheOffset) {
  const std::string dest = root_ + "/unpacked";
  HostRun run = run_process(make_options(find_program("unsquashfs"),
                                         {"-q", "-n", "-o", offset_text(), "-d", dest, appimage_}));
  ASSERT_TRUE(run.exited_with(0)) << run.err;
  EXPECT_EQ(read_file(dest + "/AppRun"), kAppRun);
  EXPECT_EQ(read_file(dest + "/usr/bin/payload"), "from the image\n");
  EXPECT_TRUE(path_exists(dest + "/usr/bin/sq.version"));
}

TEST_F(RuntimeTest, RunsAppRunThroughASymlinkWithItsVariablesAndArguments) {
  write_file(root_ + "/squashfuse", "#!/bin/sh\nexit 1\n", 0755);
  ASSERT_EQ(::symlink(appimage_.c_str(), (root_ + "/links/run it").c_str()), 0);
  const std::string canonical = fs::canonical(appimage_).string();
  const std::vector<std::string> args = {"--exit", "42", "two words", " lead", ""};
  for (const Mode& mode : modes(root_)) {
    SCOPED_TRACE(mode.name);
    (void)::unlink(report().c_str());
    // Started by a relative path from another directory whose name has a space.
    HostRun run = run_process(make_options("../links/run it", args, mode.env, root_ + "/in a dir"));
    EXPECT_TRUE(run.exited_with(42)) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string seen = read_file(report());
    EXPECT_EQ(value_of(seen, "APPIMAGE"), canonical);
    EXPECT_EQ(value_of(seen, "ARGV0"), "../links/run it");
    EXPECT_EQ(value_of(seen, "OWD"), root_ + "/in a dir");
    EXPECT_EQ(args_of(seen), args);
    EXPECT_EQ(value_of(seen, "payload"), "from the image");
    EXPECT_EQ(value_of(seen, "mounted"), mode.mount ? "yes" : "no");
    const std::string appdir = value_of(seen, "APPDIR");
    const std::string prefix =
        mode.mount ? "/tmp/.mount_" + name_ : root_ + "/tmp/.extract_" + name_;
    EXPECT_TRUE(appdir.starts_with(prefix)) << appdir;
    EXPECT_FALSE(mounted(appdir));
    EXPECT_FALSE(path_exists(appdir));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

TEST_F(RuntimeTest, ExitsWithAppRunsStatus) {
  struct Row {
    std::vector<std::string> args;
    int status;
  };
  const Row rows[] = {
      {{"--exit", "0"}, 0}, {{"--exit", "3"}, 3}, {{"--signal", "USR1"}, 128 + SIGUSR1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[1]);
    HostRun run = run_process(make_options(appimage_, row.args));
    EXPECT_TRUE(run.exited_with(row.status)) << run.status << " " << run.err;
  }
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(RuntimeTest, RunsWithItsStandardDescriptorsClosed) {
  write_file(root_ + "/squashfuse", "#!/bin/sh\nexit 1\n", 0755);
  for (const Mode& mode : modes(root_)) {
    SCOPED_TRACE(mode.name);
    (void)::unlink(report().c_str());
    HostRun run = run_process(make_options(
        find_program("sh"), {"-c", R"(exec "$0" --exit 4 <&- >&- 2>&-)", appimage_}, mode.env));
    EXPECT_TRUE(run.exited_with(4)) << run.status;
    const std::string seen = read_file(report());
    EXPECT_EQ(value_of(seen, "payload"), "from the image");
    EXPECT_EQ(value_of(seen, "mounted"), mode.mount ? "yes" : "no");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

TEST_F(RuntimeTest, SigtermToTheRuntimeReachesAppRunAndNothingIsLeft) {
  write_file(root_ + "/squashfuse", "#!/bin/sh\nexit 1\n", 0755);
  struct Row {
    const char* what;
    int status;  // of the runtime
    bool trapped;
  };
  // AppRun traps SIGTERM and exits 3, or is ended by it.
  const Row rows[] = {{"--trap-term", 3, true}, {"--sleep", 128 + SIGTERM, false}};
  for (const Mode& mode : modes(root_)) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(mode.name) + " " + row.what);
      (void)::unlink(report().c_str());
      (void)::unlink((report() + ".term").c_str());
      std::vector<std::string> env = {"TMPDIR=" + root_ + "/tmp", "REPORT=" + report()};
      for (const auto& [name, value] : mode.env) env.push_back(name + "=" + value);
      Started runtime(appimage_, {row.what}, env, root_);
      ASSERT_GT(runtime.pid(), 0);
      ASSERT_TRUE(wait_for_file(report(), milliseconds(20000)));
      const std::string appdir = value_of(read_file(report()), "APPDIR");
      ASSERT_EQ(::kill(runtime.pid(), SIGTERM), 0);
      int status = runtime.wait();
      ASSERT_NE(status, -1) << "the runtime did not end";
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == row.status) << status;
      EXPECT_EQ(path_exists(report() + ".term"), row.trapped);
      EXPECT_FALSE(mounted(appdir));
      EXPECT_FALSE(path_exists(appdir));
      EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
  }
}

TEST_F(RuntimeTest, InterruptedWhileMountingOrExtractingLeavesNothing) {
  struct Row {
    const char* helper;  // stands in for the real one and hangs until signalled
    std::vector<std::string> env;
  };
  std::vector<Row> rows = {{"unsquashfs", {"APPIMAGE_EXTRACT_AND_RUN=1"}}};
  if (fuse_available()) rows.push_back({"squashfuse", {}});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.helper);
    const std::string bin = root_ + "/hang-" + row.helper;
    fs::create_directories(bin);
    write_file(bin + "/" + row.helper, "#!/bin/sh\n: >\"$REPORT.helper\"\nexec sleep 30\n", 0755);
    std::vector<std::string> env = row.env;
    env.push_back("TMPDIR=" + root_ + "/tmp");
    env.push_back("REPORT=" + report());
    env.push_back("PATH=" + bin + ":" + std::getenv("PATH"));
    Started runtime(appimage_, {"--exit", "0"}, env, root_);
    ASSERT_GT(runtime.pid(), 0);
    ASSERT_TRUE(wait_for_file(report() + ".helper", milliseconds(20000)));
    EXPECT_FALSE(leftovers().empty());  // the directory the helper works on
    ASSERT_EQ(::kill(runtime.pid(), SIGTERM), 0);
    int status = runtime.wait();
    ASSERT_NE(status, -1) << "the runtime did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
    EXPECT_FALSE(path_exists(report()));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    (void)::unlink((report() + ".helper").c_str());
  }
}

TEST_F(RuntimeTest, ExtractOptionWritesSquashfsRootAndRunsNothing) {
  struct Row {
    std::vector<std::string> args;
    bool apprun;  // extracted too
  };
  const Row rows[] = {{{"--appimage-extract"}, true},
                      {{"--appimage-extract", "usr/bin/pay*"}, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.size());
    const std::string cwd = root_ + "/in a dir";
    std::error_code ignored;
    fs::remove_all(cwd + "/squashfs-root", ignored);
    HostRun run = run_process(make_options(appimage_, row.args, {}, cwd));
    EXPECT_TRUE(run.exited_with(0)) << run.err;
    EXPECT_EQ(read_file(cwd + "/squashfs-root/usr/bin/payload"), "from the image\n");
    EXPECT_EQ(path_exists(cwd + "/squashfs-root/AppRun"), row.apprun);
    EXPECT_FALSE(path_exists(report()));
  }
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(RuntimeTest, OwnOptionsAnswerAndAreNeverPassedOn) {
  struct Row {
    const char* option;
    int status;
    std::string out_starts;
  };
  const Row rows[] = {
      {"--appimage-offset", 0, std::to_string(read_file(kRuntime).size()) + "\n"},
      {"--appimage-version", 0, "pellark-appimage-runtime "},
      {"--appimage-help", 0, "Usage: "},
      {"--appimage-no-such-option", 2, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.option);
    HostRun run = run_process(make_options(appimage_, {row.option}));
    EXPECT_TRUE(run.exited_with(row.status)) << run.err;
    EXPECT_TRUE(run.out.starts_with(row.out_starts)) << run.out;
    EXPECT_FALSE(path_exists(report()));
  }
}

TEST_F(RuntimeTest, MountOptionKeepsTheMountUntilInterrupted) {
  if (!fuse_available()) GTEST_SKIP() << "no usable /dev/fuse: the runtime cannot mount";
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  Started runtime(appimage_, {"--appimage-mount"}, {}, root_, out[1]);
  ::close(out[1]);
  ASSERT_GT(runtime.pid(), 0);
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  ASSERT_TRUE(line.starts_with("/tmp/.mount_" + name_)) << line;
  EXPECT_TRUE(mounted(line));
  EXPECT_EQ(read_file(line + "/usr/bin/payload"), "from the image\n");
  ASSERT_EQ(::kill(runtime.pid(), SIGINT), 0);
  int status = runtime.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(mounted(line));
  EXPECT_FALSE(path_exists(line));
}

TEST_F(RuntimeTest, WithoutAUsableImageFailsWithOneLineAndLeavesNothing) {
  const std::string file = read_file(appimage_);
  const size_t offset = read_file(kRuntime).size();
  struct Row {
    const char* name;
    std::string content;
  };
  // A whole image, but no AppRun in it: mounted (or extracted) first, so that is undone too.
  fs::create_directories(root_ + "/no-apprun/usr/bin");
  write_file(root_ + "/no-apprun/usr/bin/payload", "from the image\n");
  HostRun squashed = run_process(make_options(
      find_program("mksquashfs"),
      {root_ + "/no-apprun", root_ + "/no-apprun.squashfs", "-quiet", "-no-progress"}));
  ASSERT_TRUE(squashed.exited_with(0)) << squashed.err;
  const Row rows[] = {
      {"the runtime alone", file.substr(0, offset)},
      {"the superblock alone", file.substr(0, offset + 96)},
      {"no AppRun", file.substr(0, offset) + read_file(root_ + "/no-apprun.squashfs")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string broken = root_ + "/apps/" + name_ + "-broken";
    write_file(broken, row.content, 0755);
    HostRun run = run_process(make_options(broken, {"--exit", "0"}));
    EXPECT_TRUE(run.exited_with(127)) << run.status << " " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.err.starts_with("pellark-appimage-runtime: ")) << run.err;
    EXPECT_FALSE(path_exists(report()));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace pellark::testing
