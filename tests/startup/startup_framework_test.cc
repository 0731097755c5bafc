// The start-up run, package scan and cleanup, called directly on real package files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/paths.h"
#include "framework/startup.h"
#include "framework/version.h"

namespace pellark {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "pellark-startup-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void write_text(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string nuspec(const std::string& version) {
  return "<?xml version=\"1.0\"?><package><metadata><id>com.pellark.App</id><version>" + version +
         "</version><os>linux</os></metadata></package>";
}

// A release package holding only its manifest; an empty version writes a file that is no ZIP.
void write_package(const std::string& path, const std::string& version) {
  if (version.empty()) {
    write_text(path, "not a zip archive");
    return;
  }
  fs::create_directories(fs::path(path).parent_path());
  int err = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_NE(archive, nullptr);
  const std::string text = nuspec(version);
  zip_source_t* source = zip_source_buffer(archive, text.data(), text.size(), 0);
  ASSERT_NE(source, nullptr);
  ASSERT_GE(zip_file_add(archive, "com.pellark.App.nuspec", source, ZIP_FL_ENC_UTF_8), 0);
  ASSERT_EQ(zip_close(archive), 0);
}

Version version(const char* text) {
  auto v = parse_version(text);
  if (!v) std::abort();
  return *v;
}

// Every file below `dir`, relative and sorted.
std::vector<std::string> files_below(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_directory()) names.push_back(fs::relative(entry.path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct ScanCase {
  const char* what;
  const char* installed;
  std::vector<std::pair<std::string, std::string>> files;  // name, version ("" = no ZIP)
  std::vector<std::string> listed;                         // in the expected order
  std::string pending;                                     // "" = none
  std::vector<std::string> kept;                           // sorted
};

TEST(PackageScan, ScanFindAndCleanTable) {
  const std::vector<ScanCase> cases = {
      {"newest above installed is pending; only it and the installed one stay",
       "1.2.0",
       {{"1.1.0-full.nupkg", "1.1.0"},
        {"1.2.0-full.nupkg", "1.2.0"},
        {"1.3.0-full.nupkg", "1.3.0"},
        {"1.4.0-full.nupkg", "1.4.0"}},
       {"1.1.0-full.nupkg", "1.2.0-full.nupkg", "1.3.0-full.nupkg", "1.4.0-full.nupkg"},
       "1.4.0-full.nupkg",
       {"1.2.0-full.nupkg", "1.4.0-full.nupkg"}},
      {"nothing newer: no pending, only the older file goes",
       "1.2.0",
       {{"old-full.nupkg", "1.0.0"}, {"cur-full.nupkg", "1.2.0"}},
       {"cur-full.nupkg", "old-full.nupkg"},
       "",
       {"cur-full.nupkg"}},
      {"equal greatest versions: the last listed wins and both stay",
       "1.0.0",
       {{"b-full.nupkg", "2.0.0"}, {"a-full.nupkg", "2.0.0"}},
       {"a-full.nupkg", "b-full.nupkg"},
       "b-full.nupkg",
       {"a-full.nupkg", "b-full.nupkg"}},
      {"build metadata makes a package newer, a pre-release older",
       "2.0.0",
       {{"beta-full.nupkg", "2.0.0-beta"}, {"build-full.nupkg", "2.0.0+build5"}},
       {"beta-full.nupkg", "build-full.nupkg"},
       "build-full.nupkg",
       {"build-full.nupkg"}},
      {"builds of one release are different versions; the greater wins even when listed first",
       "1.0.0",
       {{"a-full.nupkg", "1.4.0+b"}, {"b-full.nupkg", "1.4.0+a"}},
       {"a-full.nupkg", "b-full.nupkg"},
       "a-full.nupkg",
       {"a-full.nupkg"}},
      {"only case-sensitive matches directly inside count; unreadable ones are never deleted",
       "1.0.0",
       {{".x-full.nupkg", "0.9.0"},
        {"-full.nupkg", "0.9.0"},
        {"X-FULL.NUPKG", "0.9.0"},
        {"x-full.nupkg.tmp", "0.9.0"},
        {"full.nupkg", "0.9.0"},
        {"notes-full.nupkg", ""},
        {"sub/old-full.nupkg", "0.9.0"}},
       {"-full.nupkg", ".x-full.nupkg"},
       "",
       {"X-FULL.NUPKG", "full.nupkg", "notes-full.nupkg", "sub/old-full.nupkg",
        "x-full.nupkg.tmp"}},
      {"matches are visited in unsigned byte order",
       "9.0.0",
       {{"a-full.nupkg", "1.0.0"},
        {"\xc3\xa9-full.nupkg", "1.0.0"},
        {"_-full.nupkg", "1.0.0"},
        {"B-full.nupkg", "1.0.0"}},
       {"B-full.nupkg", "_-full.nupkg", "a-full.nupkg", "\xc3\xa9-full.nupkg"},
       "",
       {}},
  };

  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const std::string dir = join_path(tmp.path(), "packages");
    fs::create_directory(dir);
    for (const auto& [name, ver] : c.files) write_package(join_path(dir, name), ver);

    const std::vector<PackageEntry> packages = scan_packages(dir);
    std::vector<std::string> listed;
    for (const PackageEntry& p : packages) listed.push_back(p.path);
    std::vector<std::string> expected_listed;
    for (const std::string& name : c.listed) expected_listed.push_back(join_path(dir, name));
    EXPECT_EQ(listed, expected_listed);

    const Version installed = version(c.installed);
    const std::optional<PackageEntry> pending = find_pending_package(packages, installed);
    if (c.pending.empty()) {
      EXPECT_FALSE(pending.has_value());
    } else {
      ASSERT_TRUE(pending.has_value());
      EXPECT_EQ(pending->path, join_path(dir, c.pending));
    }

    clean_packages_directory(packages, installed, pending);
    EXPECT_EQ(files_below(dir), c.kept);
  }
}

TEST(PackageScan, DirectoryPathIsTakenLiterally) {
  TempDir tmp;
  const std::string literal = join_path(tmp.path(), "pk[g]*?");
  write_package(join_path(literal, "a-full.nupkg"), "1.0.0");
  // Would be found if the directory path were expanded as a pattern.
  write_package(join_path(tmp.path(), "pkgX/b-full.nupkg"), "1.0.0");

  const std::vector<PackageEntry> packages = scan_packages(literal);
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(packages[0].path, join_path(literal, "a-full.nupkg"));
  EXPECT_EQ(version_text(packages[0].manifest.version), "1.0.0");

  EXPECT_TRUE(scan_packages(join_path(tmp.path(), "missing")).empty());
}

TEST(PackageScan, StaleSymbolicLinkIsRemovedAndItsTargetKept) {
  TempDir tmp;
  const std::string dir = join_path(tmp.path(), "packages");
  const std::string target = join_path(tmp.path(), "elsewhere.nupkg");
  write_package(target, "0.5.0");
  fs::create_directory(dir);
  const std::string link = join_path(dir, "old-full.nupkg");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  const std::vector<PackageEntry> packages = scan_packages(dir);
  ASSERT_EQ(packages.size(), 1u);
  const Version installed = version("1.0.0");
  clean_packages_directory(packages, installed, find_pending_package(packages, installed));

  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_EQ(lstat(target.c_str(), &st), 0);
}

// A FIFO opens at once without blocking and is no archive, so it is skipped without the retry
// waits; with a writer holding it open, no read may wait for that writer either. The scan runs in
// a child process under an alarm, so a hang fails the test instead of stalling the suite.
TEST(PackageScan, FifoIsSkippedPromptly) {
  for (bool writer : {false, true}) {
    SCOPED_TRACE(writer ? "a writer holds the FIFO open" : "no writer");
    TempDir tmp;
    const std::string dir = join_path(tmp.path(), "packages");
    fs::create_directory(dir);
    const std::string fifo = join_path(dir, "x-full.nupkg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write_package(join_path(dir, "y-full.nupkg"), "2.0.0");
    int held = writer ? open(fifo.c_str(), O_RDWR | O_CLOEXEC) : -1;
    ASSERT_TRUE(!writer || held >= 0);

    EXPECT_EXIT(
        {
          alarm(5);
          const auto start = std::chrono::steady_clock::now();
          const std::vector<PackageEntry> packages = scan_packages(dir);
          const auto elapsed = std::chrono::steady_clock::now() - start;
          clean_packages_directory(packages, version("1.0.0"), std::nullopt);
          const bool only_good = packages.size() == 1 && packages[0].path != fifo;
          std::fprintf(stderr, "listed %zu, %lld ms\n", packages.size(),
                       static_cast<long long>(
                           std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
          std::_Exit(only_good && elapsed < std::chrono::milliseconds(333) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "listed 1");
    if (held >= 0) close(held);
    // Never listed, so never deleted.
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
  }
}

// A complete installation whose packages directory holds one stale package.
class StartupRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string bin = join_path(tmp_.path(), "usr/bin");
    config_.appimage_path = join_path(tmp_.path(), "Pellark.AppImage");
    config_.updater_path = join_path(bin, "UpdateNix");
    config_.manifest_path = join_path(bin, "sq.version");
    config_.binary_dir = bin;
    config_.packages_dir = join_path(tmp_.path(), "packages");
    write_text(config_.updater_path, "");
    write_text(config_.manifest_path, nuspec("1.2.0"));
    stale_ = join_path(config_.packages_dir, "old-full.nupkg");
    write_package(stale_, "1.0.0");
    (void)setenv("VELOPACK_FIRSTRUN", "first", 1);
    (void)setenv("VELOPACK_RESTART", "again", 1);
    (void)unsetenv("VELOPACK_DEBUG");
  }
  void TearDown() override {
    for (const char* name : {"VELOPACK_FIRSTRUN", "VELOPACK_RESTART", "VELOPACK_DEBUG"}) {
      (void)unsetenv(name);
    }
  }
  bool stale_exists() const { return access(stale_.c_str(), F_OK) == 0; }

  TempDir tmp_;
  InstallationConfig config_;
  std::string stale_;
};

// Runs at exit in the hooked process: shows what the start-up run had touched by then.
void report_markers() {
  const char* first = std::getenv("VELOPACK_FIRSTRUN");
  const char* restart = std::getenv("VELOPACK_RESTART");
  std::fprintf(stderr, "markers:%s:%s\n", first ? first : "(unset)", restart ? restart : "(unset)");
}

TEST_F(StartupRun, HookArgumentExitsBeforeLookingAtAnything) {
  struct Case {
    const char* what;
    bool installation_complete;
    const char* debug;  // nullptr = unset
  };
  const Case cases[] = {
      {"complete installation", true, nullptr},
      {"nothing installed: the exit comes before the installation check", false, nullptr},
      {"VELOPACK_DEBUG that is not UTF-8 counts as absent", true, "\xff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartupConfig run{{"--VeloApp-Updated", "not-a-version"}, config_};
    if (!c.installation_complete) {
      run.installation.updater_path = join_path(tmp_.path(), "absent/UpdateNix");
      run.installation.manifest_path = join_path(tmp_.path(), "absent/sq.version");
    }
    if (c.debug) (void)setenv("VELOPACK_DEBUG", c.debug, 1);
    EXPECT_EXIT(
        {
          (void)std::atexit(report_markers);
          startup_run(run);
        },
        ::testing::ExitedWithCode(0), "markers:first:again");
    EXPECT_TRUE(stale_exists());
    (void)unsetenv("VELOPACK_DEBUG");
  }
}

TEST_F(StartupRun, DebugValueKeepsGoingAndConsumesMarkers) {
  (void)setenv("VELOPACK_DEBUG", "", 1);
  startup_run({{"--veloapp-install", "1.2.3"}, config_});
  EXPECT_EQ(std::getenv("VELOPACK_FIRSTRUN"), nullptr);
  EXPECT_EQ(std::getenv("VELOPACK_RESTART"), nullptr);
  EXPECT_FALSE(stale_exists());
  EXPECT_NE(std::getenv("VELOPACK_DEBUG"), nullptr);  // never changed
}

TEST_F(StartupRun, IncompleteInstallationChangesNothing) {
  StartupConfig run{{}, config_};
  run.installation.updater_path = join_path(tmp_.path(), "absent/UpdateNix");
  startup_run(run);
  EXPECT_STREQ(std::getenv("VELOPACK_FIRSTRUN"), "first");
  EXPECT_STREQ(std::getenv("VELOPACK_RESTART"), "again");
  EXPECT_TRUE(stale_exists());
}

}  // namespace
}  // namespace pellark
