// pellark-release-check as a release engineer runs it: against AppImages made by
// packaging/make-appimage and packages made by packaging/pack-release, with the lines it prints
// and the exit status it ends with.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "hygiene/release_package.h"
#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

const std::string kPackaging = std::string(PELLARK_SOURCE_DIR) + "/packaging";
const std::string kId = "com.pellark.App";

struct Descriptor {
  std::string path;
  uint64_t length = 0;
  std::string sha256;
};

HostRun start(const std::string& program, std::vector<std::string> args,
              std::vector<std::pair<std::string, std::string>> env = {}) {
  HostOptions options;
  options.program = program;
  options.args = std::move(args);
  options.set_env = std::move(env);
  return run_process(options);
}

// readelf's reading of where the runtime ends: e_shoff + e_shnum * e_shentsize.
uint64_t elf_end_by_readelf(const std::string& path) {
  HostRun run = start("/usr/bin/readelf", {"-h", "-W", path});
  auto number = [&](const char* label) -> uint64_t {
    std::smatch m;
    if (!std::regex_search(run.out, m, std::regex(std::string(label) + R"(:\s+(\d+))"))) return 0;
    return std::stoull(m[1]);
  };
  return number("Start of section headers") +
         number("Number of section headers") * number("Size of section headers");
}

class ReleaseCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string templ =
        std::filesystem::temp_directory_path().string() + "/pellark-release-check-test-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    root_ = new std::string(templ);
    std::filesystem::create_directories(dir("bundle"));
    write_file(dir("bundle/app"), read_file("/bin/true"), 0755);
    make_appimage("1.0.0", dir("Pellark-1.0.0.AppImage"));
    make_appimage("1.1.0", dir("Pellark-1.1.0.AppImage"));
    write_file(dir("sq.version"), write_manifest_xml(kId, "1.0.0"));
    good_ = new Descriptor(pack({"--appimage", dir("Pellark-1.1.0.AppImage")}, "good"));
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(*root_, ignored);
    delete good_;
    delete root_;
  }

  static std::string dir(const std::string& name) { return *root_ + "/" + name; }

  static void make_appimage(const std::string& version, const std::string& output) {
    HostRun run = start(kPackaging + "/make-appimage",
                        {"--bundle", dir("bundle"), "--runtime", PELLARK_APPIMAGE_RUNTIME, "--exec",
                         "app", "--id", kId, "--version", version, "--output", output});
    ASSERT_TRUE(run.exited_with(0)) << run.err;
  }

  // pack-release into its own directory; returns the descriptor it prints.
  static Descriptor pack(std::vector<std::string> args, const std::string& out) {
    args.insert(args.end(), {"--output-dir", dir(out)});
    HostRun run = start(kPackaging + "/pack-release", args);
    EXPECT_TRUE(run.exited_with(0)) << run.err;
    auto json = nlohmann::json::parse(run.out, nullptr, false);
    if (json.is_discarded()) return {};
    return {json["path"], json["release"]["artifact"]["byteLength"],
            json["release"]["artifact"]["sha256"]};
  }

  struct Checked {
    HostRun run;
    std::vector<std::string> lines;
    std::vector<std::string> failures;
  };

  // Runs the check with a TMPDIR of its own, which must be empty again afterwards.
  static Checked check(std::vector<std::string> args) {
    const std::string tmp = dir("tmp");
    std::filesystem::create_directories(tmp);
    Checked c;
    c.run = start(PELLARK_RELEASE_CHECK, std::move(args), {{"TMPDIR", tmp}});
    c.lines = c.run.out_lines();
    for (const auto& line : c.lines)
      if (line.starts_with("FAIL ")) c.failures.push_back(line);
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "temporary files left behind";
    return c;
  }

  static std::vector<std::string> against(const std::string& installed, const Descriptor& d,
                                          const std::string& display = "1.1.0") {
    return {"--installed", installed,  "--package", d.path,     "--display-version",
            display,       "--sha256", d.sha256,    "--length", std::to_string(d.length)};
  }

  static std::string* root_;
  static Descriptor* good_;
};

std::string* ReleaseCheck::root_ = nullptr;
Descriptor* ReleaseCheck::good_ = nullptr;

TEST_F(ReleaseCheck, AGoodPackagePassesEveryCheckInOrder) {
  const std::vector<std::string> package_checks = {"package file",
                                                   "length",
                                                   "sha256",
                                                   "ZIP archive",
                                                   "package manifest",
                                                   "id",
                                                   "newer",
                                                   "display version",
                                                   "os",
                                                   "architecture",
                                                   "AppImage entry",
                                                   "AppImage method",
                                                   "AppImage CRC",
                                                   "AppImage type",
                                                   "AppImage contents",
                                                   "AppImage manifest"};
  struct Row {
    const char* name;
    std::string installed;
    std::vector<std::string> first;
  };
  const Row rows[] = {
      {"installed AppImage",
       dir("Pellark-1.0.0.AppImage"),
       {"installed AppImage", "installed manifest"}},
      {"installed manifest file", dir("sq.version"), {"installed manifest"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Checked c = check(against(row.installed, *good_));
    EXPECT_TRUE(c.run.exited_with(0)) << c.run.out << c.run.err;
    std::vector<std::string> names;
    for (const auto& line : c.lines) {
      ASSERT_TRUE(line.starts_with("ok ")) << line;
      names.push_back(line.substr(3, line.find(':') - 3));
    }
    std::vector<std::string> expected = row.first;
    expected.insert(expected.end(), package_checks.begin(), package_checks.end());
    EXPECT_EQ(names, expected);
    EXPECT_NE(c.run.out.find(R"(ok installed manifest: id "com.pellark.App", version 1.0.0)"),
              std::string::npos);
    EXPECT_NE(c.run.out.find(R"(ok AppImage manifest: id "com.pellark.App", version 1.1.0)"),
              std::string::npos);
  }
}

TEST_F(ReleaseCheck, FindsTheImageWhereReadelfSaysTheRuntimeEnds) {
  const std::string appimage = dir("Pellark-1.0.0.AppImage");
  const uint64_t offset = elf_end_by_readelf(appimage);
  ASSERT_GT(offset, 0u);
  Checked c = check(against(appimage, *good_));
  EXPECT_EQ(c.lines.at(0),
            "ok installed AppImage: type 2, squashfs image at offset " + std::to_string(offset));
}

TEST_F(ReleaseCheck, EachIdentityRuleFailsWithItsTwoValues) {
  struct Row {
    const char* name;
    std::string installed;  // manifest of the installed release
    std::string display;
    std::string failure;
  };
  const Row rows[] = {
      {"id", write_manifest_xml("com.pellark.Other", "1.0.0"), "1.1.0",
       R"(FAIL id: "com.pellark.App" is not "com.pellark.Other")"},
      {"same version", write_manifest_xml(kId, "1.1.0"), "1.1.0",
       "FAIL newer: 1.1.0 is not greater than 1.1.0"},
      {"older", write_manifest_xml(kId, "1.1.0+1"), "1.1.0",
       "FAIL newer: 1.1.0 is not greater than 1.1.0+1"},
      {"display version", write_manifest_xml(kId, "1.0.0"), "v1.1.0",
       R"(FAIL display version: "v1.1.0" is not "1.1.0")"},
      {"os", write_manifest_xml(kId, "1.0.0", "windows"), "1.1.0",
       R"(FAIL os: "linux" is not "windows")"},
      {"architecture", write_manifest_xml(kId, "1.0.0", "linux", "arm64"), "1.1.0",
       R"(FAIL architecture: "x64" is not "arm64")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write_file(dir("installed.sq.version"), row.installed);
    Checked c = check(against(dir("installed.sq.version"), *good_, row.display));
    EXPECT_TRUE(c.run.exited_with(1)) << c.run.out << c.run.err;
    EXPECT_EQ(c.failures, std::vector<std::string>{row.failure}) << c.run.out;
  }
}

TEST_F(ReleaseCheck, AnnouncedLengthAndDigestFollowPrepare) {
  std::string upper = good_->sha256;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  std::string other = good_->sha256;
  other[0] = other[0] == '0' ? '1' : '0';
  const std::string size = std::to_string(good_->length);
  struct Row {
    const char* name;
    std::string sha256;
    std::string length;
    std::vector<std::string> failures;
  };
  const Row rows[] = {
      {"one byte more",
       good_->sha256,
       std::to_string(good_->length + 1),
       {"FAIL length: the file has " + size + " bytes, not " + std::to_string(good_->length + 1)}},
      {"another digest",
       other,
       size,
       {"FAIL sha256: the file's digest is " + good_->sha256 + ", not " + other}},
      {"upper case",
       upper,
       size,
       {"FAIL sha256: \"" + upper +
        "\" is the file's digest in upper case; digests are compared in lower case"}},
      {"both wrong",
       other,
       "0",
       {"FAIL length: the file has " + size + " bytes, not 0",
        "FAIL sha256: the file's digest is " + good_->sha256 + ", not " + other}},
      {"63 digits",
       good_->sha256.substr(1),
       size,
       {"FAIL descriptor: malformed digest (--length \"" + size + "\", --sha256 \"" +
        good_->sha256.substr(1) + "\")"}},
      {"length with exponent",
       good_->sha256,
       "1e3",
       {"FAIL descriptor: invalid size (--length \"1e3\", --sha256 \"" + good_->sha256 + "\")"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Checked c =
        check({"--installed", dir("sq.version"), "--package", good_->path, "--display-version",
               "1.1.0", "--sha256", row.sha256, "--length", row.length});
    EXPECT_TRUE(c.run.exited_with(1)) << c.run.out << c.run.err;
    EXPECT_EQ(c.failures, row.failures) << c.run.out;
  }
}

TEST_F(ReleaseCheck, TheAppImageInsideMustBeThisRelease) {
  // The 1.0.0 AppImage packed as 1.1.0: it installs, then offers 1.1.0 again at every start.
  Descriptor stale = pack(
      {"--appimage", dir("Pellark-1.0.0.AppImage"), "--id", kId, "--version", "1.1.0"}, "stale");
  Checked c = check(against(dir("sq.version"), stale));
  EXPECT_TRUE(c.run.exited_with(1)) << c.run.out << c.run.err;
  EXPECT_EQ(
      c.failures,
      std::vector<std::string>{"FAIL AppImage manifest: its sq.version says 1.0.0, the package "
                               "1.1.0 (installed, it would offer the same update again)"})
      << c.run.out;
}

TEST_F(ReleaseCheck, ThePayloadEntryMustBeAnOpenableType2AppImage) {
  // A payload the updater would install but that is no type-2 AppImage: a plain ELF program.
  const std::string manifest = write_manifest_xml(kId, "1.1.0");
  write_package(
      dir("no-entry.nupkg"),
      {{"app.nuspec", manifest}, {"Pellark.appimage", read_file(dir("Pellark-1.1.0.AppImage"))}});
  write_package(dir("plain-elf.nupkg"),
                {{"app.nuspec", manifest}, {"Pellark.AppImage", read_file("/bin/true")}});
  struct Row {
    const char* name;
    std::string package;
    std::string failure;
  };
  const Row rows[] = {
      {"no entry", dir("no-entry.nupkg"),
       "FAIL AppImage entry: no entry name ends with \".AppImage\" (names are compared "
       "case-sensitively: found \"Pellark.appimage\")"},
      {"not type 2", dir("plain-elf.nupkg"),
       "FAIL AppImage type: bytes 8-10 are 00 00 00, not 41 49 02 (the type-2 AppImage magic)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PackageFile file = describe_package(row.package);
    Checked c =
        check({"--installed", dir("sq.version"), "--package", file.path, "--display-version",
               "1.1.0", "--sha256", file.sha256, "--length", std::to_string(file.size)});
    EXPECT_TRUE(c.run.exited_with(1)) << c.run.out << c.run.err;
    EXPECT_EQ(c.failures, std::vector<std::string>{row.failure}) << c.run.out;
  }
}

TEST_F(ReleaseCheck, ArchiveFaultsAreTheLibrarysOwn) {
  // The bundle reader's fixtures; their manifest says com.pellark.App 2.0.0 with no os or arch.
  const std::string zips = dir("zips");
  HostRun made = start("/usr/bin/python3", {PELLARK_MAKE_ZIPS, zips});
  ASSERT_TRUE(made.exited_with(0)) << made.err;
  write_file(dir("bare.sq.version"), write_manifest_xml(kId, "1.0.0", "", ""));
  struct Row {
    const char* zip;
    std::string failure;  // the start of the first FAIL line
  };
  const Row rows[] = {
      {"not_a_zip.zip", "FAIL ZIP archive: ZIP error"},
      {"py_no_manifest.zip", R"(FAIL package manifest: no entry name ends with ".nuspec")"},
      {"py_bzip2.zip", R"(FAIL AppImage method: "Pellark.AppImage" is bzip2; the updater opens)"},
      {"py_badcrc_stored.zip", "FAIL AppImage CRC: the data does not match the stored CRC-32 "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.zip);
    Checked c = check({"--installed", dir("bare.sq.version"), "--package", zips + "/" + row.zip,
                       "--display-version", "2.0.0"});
    EXPECT_TRUE(c.run.exited_with(1)) << c.run.out << c.run.err;
    ASSERT_FALSE(c.failures.empty()) << c.run.out;
    EXPECT_TRUE(c.failures[0].starts_with(row.failure)) << c.run.out;
  }
}

TEST_F(ReleaseCheck, AStoppedCheckLeavesNothingBehind) {
  // An unsquashfs that stops the check while it lists the extracted AppImage, the point where
  // the work directory holds the most.
  const std::string bin = dir("stopping-bin");
  std::filesystem::create_directories(bin);
  write_file(bin + "/unsquashfs",
             "#!/bin/sh\n"
             "case \" $* \" in *\" -lln \"*) ls \"$TMPDIR\"/*/ >\"$STOP_REPORT\"; kill "
             "-$STOP_SIGNAL $PPID; "
             "sleep 1 ;; esac\n"
             "exec /usr/bin/unsquashfs \"$@\"\n",
             0755);
  const std::string tmp = dir("tmp");
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    std::filesystem::create_directories(tmp);
    const std::string report = dir("stop-report");
    HostRun run = start(PELLARK_RELEASE_CHECK, against(dir("sq.version"), *good_),
                        {{"TMPDIR", tmp},
                         {"PATH", bin + ":/usr/bin:/bin"},
                         {"STOP_REPORT", report},
                         {"STOP_SIGNAL", std::to_string(sig)}});
    EXPECT_FALSE(run.exited) << run.out << run.err;
    EXPECT_EQ(run.status, sig);
    EXPECT_EQ(read_file(report), "next.AppImage\n");  // it was stopped with work on disk
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
  }
}

TEST_F(ReleaseCheck, UsageErrorsExitWithTwo) {
  const std::string p = good_->path;
  const std::string i = dir("sq.version");
  const std::vector<std::vector<std::string>> rows = {
      {},
      {"--installed", i, "--package", p},
      {"--installed", i, "--package", p, "--display-version", "1.1.0", "--sha256", "ab"},
      {"--installed", i, "--package", p, "--display-version", "1.1.0", "--length", "3"},
      {"--installed", i, "--installed", i, "--package", p, "--display-version", "1.1.0"},
      {"--installed", i, "--package", p, "--display-version", "1.1.0", "--verbose"},
      {"--installed", i, "--package", p, "--display-version"},
  };
  for (const auto& args : rows) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Checked c = check(args);
    EXPECT_TRUE(c.run.exited_with(2)) << c.run.status;
    EXPECT_EQ(c.run.out, "");
    EXPECT_NE(c.run.err.find("usage: pellark-release-check"), std::string::npos) << c.run.err;
  }
}

TEST_F(ReleaseCheck, PackReleaseWritesOnlyAPackageThatWouldInstall) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    bool written;
  };
  const Row rows[] = {
      {"next release", {"--appimage", dir("Pellark-1.1.0.AppImage")}, true},
      {"same release", {"--appimage", dir("Pellark-1.0.0.AppImage")}, false},
      {"stale AppImage",
       {"--appimage", dir("Pellark-1.0.0.AppImage"), "--id", kId, "--version", "1.1.0"},
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string out = dir(std::string("previous-") + row.name);
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--previous", dir("Pellark-1.0.0.AppImage"), "--release-check",
                             PELLARK_RELEASE_CHECK, "--output-dir", out});
    HostRun run = start(kPackaging + "/pack-release", args);
    EXPECT_EQ(run.exited_with(0), row.written) << run.err;
    EXPECT_EQ(run.err.find("FAIL ") == std::string::npos, row.written) << run.err;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(out))
      files.push_back(entry.path().filename());
    EXPECT_EQ(files.size(), row.written ? 1u : 0u) << ::testing::PrintToString(files);
    EXPECT_EQ(run.out.empty(), !row.written) << run.out;
  }
}

}  // namespace
}  // namespace pellark::testing
