// The start-up entry as the application meets it: the real library, loaded by the test host in
// a temporary installed layout.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::pair<std::string, std::string>> kMarkers = {{"VELOPACK_FIRSTRUN", "true"},
                                                                   {"VELOPACK_RESTART", "true"}};

HostRun start(const InstalledLayout& layout, const std::vector<std::string>& args,
              HostOptions options = {}) {
  options.set_env.insert(options.set_env.end(), kMarkers.begin(), kMarkers.end());
  return layout.bootstrap(args, std::move(options));
}

// What the host prints when the bootstrap returned: the arguments untouched, then the markers
// (consumed only when the start-up run went all the way).
std::vector<std::string> returned_lines(const std::vector<std::string>& args, bool consumed) {
  std::vector<std::string> lines = {"returned"};
  for (const std::string& a : args) lines.push_back("arg:" + a);
  const std::string marker = consumed ? "(unset)" : "true";
  lines.push_back("env:VELOPACK_FIRSTRUN=" + marker);
  lines.push_back("env:VELOPACK_RESTART=" + marker);
  return lines;
}

std::string empty_dir(const InstalledLayout& layout) {
  return layout.staging_dir() + "/bootstrap-empty";
}

const std::vector<std::string> kHookStart = {"--veloapp-install", "1.0.0"};

TEST(Bootstrap, HookArgumentWithSecondArgumentExitsZero) {
  InstalledLayout layout;
  const std::vector<std::vector<std::string>> cases = {
      {"--veloapp-install", "1.2.3"},          {"--VeloApp-Updated", "1.2.3"},
      {"--VELOAPP-OBSOLETE", "not-a-version"}, {"--veloapp-uninstall", ""},
      {"--veloapp-install", "1.2.3", "more"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    const HostRun run = start(layout, args);
    EXPECT_TRUE(run.exited_with(0)) << run.status;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
}

TEST(Bootstrap, OtherArgumentsStartNormallyAndConsumeMarkers) {
  InstalledLayout layout;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--veloapp-install"},
      {"--veloapp-install=1.2.3", "x"},
      {"x", "--veloapp-install", "1.2.3"},
      {"--veloapp-installer", "1.2.3"},
      {"--veloapp-instal", "1.2.3"},
      {" --veloapp-install", "1.2.3"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    const HostRun run = start(layout, args);
    EXPECT_TRUE(run.exited_with(3)) << run.status << run.err;
    EXPECT_EQ(run.out_lines(), returned_lines(args, true));
  }
}

TEST(Bootstrap, DebugVariableKeepsHookedStartGoing) {
  InstalledLayout layout;
  HostOptions options;
  options.set_env = {{"VELOPACK_DEBUG", ""}};
  const HostRun run = start(layout, kHookStart, options);
  EXPECT_TRUE(run.exited_with(3)) << run.status << run.err;
  EXPECT_EQ(run.out_lines(), returned_lines(kHookStart, true));
}

TEST(Bootstrap, WithoutInstallationReturnsAndCreatesNothing) {
  struct Case {
    const char* what;
    bool unset_appimage;
    bool remove_updater;
  };
  const Case cases[] = {
      {"no APPIMAGE", true, false},
      {"no UpdateNix", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InstalledLayout layout;
    HostOptions options;
    if (c.unset_appimage) options.unset_env = {"APPIMAGE"};
    if (c.remove_updater) {
      ASSERT_EQ(unlink(layout.updater_path().c_str()), 0);
    }
    const HostRun run = start(layout, kHookStart, options);
    EXPECT_TRUE(run.exited_with(3)) << run.status << run.err;
    EXPECT_EQ(run.out_lines(), returned_lines(kHookStart, false));
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(path_exists(layout.staging_dir()));
  }
}

TEST(Bootstrap, EmptyDirectoryIsCreatedPrivateAndKeptPrivate) {
  InstalledLayout layout;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first start" : "after the mode was loosened");
    const HostRun run = start(layout, {});
    EXPECT_TRUE(run.exited_with(3)) << run.status << run.err;
    for (const std::string& dir : {layout.staging_dir(), empty_dir(layout)}) {
      struct stat st {};
      ASSERT_EQ(lstat(dir.c_str(), &st), 0) << dir;
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
      EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
      ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    }
    EXPECT_TRUE(fs::is_empty(empty_dir(layout)));
  }
}

TEST(Bootstrap, AnythingButAnEmptyPrivateDirectorySwitchesTheRunOff) {
  struct Case {
    const char* what;
    bool symlink_instead;
  };
  const Case cases[] = {
      {"a file inside bootstrap-empty", false},
      {"bootstrap-empty is a symbolic link to an empty directory", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InstalledLayout layout;
    ASSERT_TRUE(start(layout, {}).exited_with(3));  // creates the directories
    const std::string dir = empty_dir(layout);
    const std::string elsewhere = layout.root() + "/elsewhere";
    if (c.symlink_instead) {
      fs::remove(dir);
      fs::create_directory(elsewhere);
      ASSERT_EQ(chmod(elsewhere.c_str(), 0755), 0);
      ASSERT_EQ(symlink(elsewhere.c_str(), dir.c_str()), 0);
    } else {
      write_file(dir + "/stray", "x");
    }

    const HostRun run = start(layout, kHookStart);
    EXPECT_TRUE(run.exited_with(3)) << run.status << run.err;
    EXPECT_EQ(run.out_lines(), returned_lines(kHookStart, false));
    if (c.symlink_instead) {
      EXPECT_TRUE(fs::is_symlink(dir));
      struct stat st {};
      ASSERT_EQ(stat(elsewhere.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0755u);  // nothing was applied through the link
    } else {
      EXPECT_TRUE(path_exists(dir + "/stray"));
    }
  }
}

TEST(Bootstrap, NonUtf8ArgumentIsOneDiagnosticAndANormalStart) {
  InstalledLayout layout;
  const std::string odd_name = layout.bin_dir() + "/pellark_\xff";
  ASSERT_EQ(symlink("pellark_host", odd_name.c_str()), 0);
  struct Case {
    const char* what;
    std::string program;  // empty: the host itself
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"in a later argument", "", {"--veloapp-install", "caf\xe9"}},
      {"in the program name", odd_name, kHookStart},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostOptions options;
    options.program = c.program;
    const HostRun run = start(layout, c.args, options);
    EXPECT_TRUE(run.exited_with(3)) << run.status;
    EXPECT_EQ(run.out_lines(), returned_lines(c.args, false));
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.err.back(), '\n');
  }
}

TEST(BootstrapAppImage, InstallerHookEndsTheRealApplicationAtOnce) {
  const std::string tool = std::string(PELLARK_SOURCE_DIR) + "/packaging/make-appimage";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "no packaging/make-appimage";
  std::string root = (fs::temp_directory_path() / "pellark-hook-XXXXXX").string();
  ASSERT_NE(mkdtemp(root.data()), nullptr);
  const std::unique_ptr<const std::string, void (*)(const std::string*)> cleanup(
      &root, [](const std::string* dir) {
        std::error_code ignored;
        fs::remove_all(*dir, ignored);
      });
  const std::string appimage = root + "/Pellark.AppImage";
  HostOptions make;
  make.program = tool;
  make.args = {"--bundle",  PELLARK_APP_BUNDLE,       "--output",  appimage,
               "--runtime", PELLARK_APPIMAGE_RUNTIME, "--version", "1.0.0"};
  const HostRun made = run_process(make);
  ASSERT_TRUE(made.exited_with(0)) << made.err;

  // Without a display the application itself could only fail, so status 0 is the hook's.
  HostOptions options;
  options.program = appimage;
  options.args = {"--veloapp-install", "1.0.0"};
  options.unset_env = {"DISPLAY", "WAYLAND_DISPLAY"};
  options.cwd = root;
  const HostRun run = run_process(options);
  EXPECT_TRUE(run.exited_with(0)) << run.status << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::is_directory(root + "/.pellark-updates/bootstrap-empty"));
}

}  // namespace
}  // namespace pellark::testing
