// Real AppImages built with packaging/make-appimage and packaged with packaging/pack-release:
// the runtime's contract, and a whole install from a FUSE-mounted 1.0.0 to a relaunched 1.1.0.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

const std::string kPackaging = std::string(PELLARK_SOURCE_DIR) + "/packaging";

HostOptions process(std::string program, std::vector<std::string> args,
                    std::vector<std::pair<std::string, std::string>> env = {},
                    std::string cwd = {}) {
  HostOptions options;
  options.program = std::move(program);
  options.args = std::move(args);
  options.set_env = std::move(env);
  options.cwd = std::move(cwd);
  return options;
}

// The first start carries the request in its arguments; the relaunch has none. Each start
// writes what it sees to the report file named by the environment, then the first one runs the
// host with its arguments.
const char kAppRun[] = R"(#!/bin/sh
bin=$APPDIR/usr/bin
if [ $# -eq 0 ]; then report=$PELLARK_RELAUNCH_REPORT; else report=$PELLARK_FIRST_REPORT; fi
if [ -n "$report" ]; then
  {
    echo "appdir=$APPDIR"
    echo "appimage=$APPIMAGE"
    echo "argv0=$ARGV0"
    echo "owd=$OWD"
    echo "args=$*"
    grep " $APPDIR " /proc/mounts
    ls -l /proc/$$/fd/
    PELLARK_HOST_MODE=call "$bin/pellark_host" '{"method":"identity"}'
  } >"$report.part" 2>&1
  mv "$report.part" "$report"
fi
[ $# -eq 0 ] && exit 0
[ "$1" = "--exit" ] && exit "$2"
exec "$bin/pellark_host" "$@"
)";

class AppImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ =
        std::filesystem::temp_directory_path().string() + "/pellark-appimage-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    root_ = templ;
    std::filesystem::create_directories(root_ + "/bundle/lib");
    std::filesystem::create_directories(root_ + "/apps");
    write_file(root_ + "/bundle/pellark_host", read_file(built_host_path()), 0755);
    write_file(root_ + "/bundle/lib/libpellark_updater.so", read_file(built_library_path()), 0755);
    write_file(root_ + "/AppRun", kAppRun, 0755);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  void make_appimage(const std::string& version, const std::string& output) {
    HostRun run =
        run_process(process(kPackaging + "/make-appimage",
                            {"--bundle", root_ + "/bundle", "--output", output, "--runtime",
                             PELLARK_APPIMAGE_RUNTIME, "--exec", "pellark_host", "--apprun",
                             root_ + "/AppRun", "--id", "com.pellark.App", "--version", version}));
    ASSERT_TRUE(run.exited_with(0)) << run.err;
  }

  // Waits for a file another process writes (renamed into place when complete).
  static bool wait_for(const std::string& path, std::chrono::seconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!path_exists(path)) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  static std::string value_of(const std::string& report, const std::string& key) {
    size_t at = report.find("\n" + key + "=");
    if (report.starts_with(key + "="))
      at = 0;
    else if (at != std::string::npos)
      ++at;
    if (at == std::string::npos) return "(missing)";
    size_t start = at + key.size() + 1;
    return report.substr(start, report.find('\n', start) - start);
  }

  static bool mounted(const std::string& dir) {
    return read_file("/proc/mounts").find(" " + dir + " ") != std::string::npos;
  }

  std::string root_;
};

bool fuse_available() {
  return ::access("/dev/fuse", R_OK | W_OK) == 0;
}

TEST_F(AppImageTest, RuntimeRunsAppRunWithItsVariablesAndCleansUp) {
  const std::string appimage = root_ + "/apps/Pellark.AppImage";
  make_appimage("1.0.0", appimage);
  struct Row {
    const char* name;
    bool extract;
    std::string dir_prefix;
  };
  std::vector<Row> rows = {
      {"extracted", true, std::filesystem::temp_directory_path().string() + "/.extract_Pellar"}};
  if (fuse_available()) rows.push_back({"FUSE mount", false, "/tmp/.mount_Pellar"});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string report = root_ + "/report-" + (row.extract ? "x" : "m");
    HostOptions options = process("./Pellark.AppImage", {"--exit", "7", "a b"},
                                  {{"PELLARK_FIRST_REPORT", report}}, root_ + "/apps");
    if (row.extract) options.set_env.push_back({"APPIMAGE_EXTRACT_AND_RUN", "1"});
    HostRun run = run_process(options);
    EXPECT_TRUE(run.exited_with(7)) << run.err;
    std::string seen = read_file(report);
    EXPECT_EQ(value_of(seen, "appimage"), appimage);
    EXPECT_EQ(value_of(seen, "argv0"), "./Pellark.AppImage");
    EXPECT_EQ(value_of(seen, "owd"), root_ + "/apps");
    EXPECT_EQ(value_of(seen, "args"), "--exit 7 a b");
    std::string appdir = value_of(seen, "appdir");
    EXPECT_TRUE(appdir.starts_with(row.dir_prefix)) << appdir;
    EXPECT_EQ(seen.find("fuse.squashfuse") != std::string::npos, !row.extract) << seen;
    EXPECT_NE(seen.find(R"("version":"1.0.0")"), std::string::npos) << seen;
    EXPECT_FALSE(mounted(appdir));
    EXPECT_FALSE(path_exists(appdir));
  }
}

TEST_F(AppImageTest, InstallFromAMountedAppImageRelaunchesTheNewRelease) {
  if (!fuse_available()) GTEST_SKIP() << "no /dev/fuse";
  const std::string installed = root_ + "/apps/Pellark.AppImage";
  const std::string next = root_ + "/Pellark-1.1.0.AppImage";
  make_appimage("1.0.0", installed);
  make_appimage("1.1.0", next);
  HostRun packed = run_process(process(kPackaging + "/pack-release",
                                       {"--appimage", next, "--output-dir", root_ + "/release"}));
  ASSERT_TRUE(packed.exited_with(0)) << packed.err;
  nlohmann::json request = nlohmann::json::parse(packed.out);
  EXPECT_EQ(request["path"], root_ + "/release/com.pellark.App-1.1.0-full.nupkg");
  EXPECT_EQ(request["release"]["displayVersion"], "1.1.0");
  request["method"] = "install";

  const std::string first = root_ + "/first-report";
  const std::string relaunch = root_ + "/relaunch-report";
  HostRun run = run_process(process(installed, {request.dump()},
                                    {{"PELLARK_HOST_MODE", "call"},
                                     {"PELLARK_FIRST_REPORT", first},
                                     {"PELLARK_RELAUNCH_REPORT", relaunch}},
                                    root_));
  EXPECT_TRUE(run.exited_with(0)) << run.out << run.err;
  EXPECT_EQ(run.out, "");  // a successful install never answers

  std::string before = read_file(first);
  EXPECT_NE(before.find("fuse.squashfuse"), std::string::npos) << before;
  EXPECT_NE(before.find(R"("version":"1.0.0")"), std::string::npos) << before;

  ASSERT_TRUE(wait_for(relaunch, std::chrono::seconds(60)));
  std::string after = read_file(relaunch);
  EXPECT_EQ(value_of(after, "appimage"), installed);
  EXPECT_EQ(value_of(after, "args"), "");
  EXPECT_NE(after.find("fuse.squashfuse"), std::string::npos) << after;
  EXPECT_NE(after.find(R"("packageId":"com.pellark.App","version":"1.1.0")"), std::string::npos)
      << after;
  // Neither the install lock nor the package descriptor reached the new process.
  EXPECT_EQ(after.find("pellark-install.lock"), std::string::npos) << after;
  EXPECT_EQ(after.find(".nupkg"), std::string::npos) << after;

  struct stat st {};
  ASSERT_EQ(::lstat(installed.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(read_file(installed), read_file(next));
  const std::string work_root = root_ + "/apps/.pellark-updates/VelopackTemp";
  ASSERT_TRUE(path_exists(work_root));
  EXPECT_TRUE(std::filesystem::is_empty(work_root));
  EXPECT_TRUE(path_exists(request["path"].get<std::string>()));

  // Both runtimes unmount once their AppRun ends.
  for (const std::string& appdir : {value_of(before, "appdir"), value_of(after, "appdir")}) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (mounted(appdir) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(mounted(appdir)) << appdir;
  }
}

}  // namespace
}  // namespace pellark::testing
