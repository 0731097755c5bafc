// Descriptor hygiene of the request channel, observed from real processes: every request leaves
// the caller's descriptor table exactly as it found it, whatever the outcome, writes nothing to
// standard error but a fault's diagnostic, opens nothing without close-on-exec, and the AppImage
// an install starts inherits nothing the library opened. The same probe shows how much of a
// package a request reads.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hygiene/release_package.h"
#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

struct Case {
  std::string name;
  std::string request;
  std::string answer;
};

class DescriptorHygiene : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(downloads());
    std::filesystem::copy_file(PELLARK_FD_PROBE, probe(),
                               std::filesystem::copy_options::overwrite_existing);
  }

  std::string downloads() const { return layout_.root() + "/downloads"; }
  std::string probe() const { return layout_.bin_dir() + "/pellark_fd_probe"; }

  PackageFile package(const std::string& name, const std::string& version,
                      const std::string& payload, bool with_payload = true) const {
    std::string path = downloads() + "/" + name;
    std::vector<std::pair<std::string, std::string>> entries = {
        {"com.pellark.App.nuspec", write_manifest_xml("com.pellark.App", version)}};
    if (with_payload) entries.emplace_back("Pellark.AppImage", payload);
    write_package(path, entries);
    return describe_package(path);
  }

  // Runs the probe over `cases` and checks every answer, every descriptor table and standard
  // error: one diagnostic per contained fault, nothing else. Returns the bytes each case read.
  std::vector<long long> expect_clean(const std::vector<Case>& cases,
                                      HostOptions options = {}) const {
    options.program = probe();
    for (const auto& c : cases) options.args.push_back(c.request);
    HostRun run = layout_.run_host(options);
    std::vector<long long> read(cases.size(), -1);
    EXPECT_TRUE(run.exited_with(0)) << run.status << "\n" << run.err;
    auto lines = run.out_lines();
    EXPECT_EQ(lines.size(), 3 * cases.size()) << run.out;
    if (lines.size() != 3 * cases.size()) return read;
    size_t faults = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(cases[i].name);
      EXPECT_EQ(lines[3 * i], cases[i].answer);
      EXPECT_EQ(lines[3 * i + 1], "fds:same");
      EXPECT_TRUE(lines[3 * i + 2].starts_with("read:")) << lines[3 * i + 2];
      read[i] = std::stoll(lines[3 * i + 2].substr(5));
      if (cases[i].answer == kFault) ++faults;
    }
    std::vector<std::string> diagnostics;
    std::istringstream err(run.err);
    for (std::string line; std::getline(err, line);) diagnostics.push_back(line);
    EXPECT_EQ(diagnostics.size(), faults) << run.err;
    EXPECT_TRUE(run.err.empty() || run.err.ends_with("\n")) << run.err;
    for (const auto& line : diagnostics) EXPECT_TRUE(is_fault_diagnostic(line)) << line;
    return read;
  }

  // "pellark_updater: internal fault at <file>:<line> (<function>): <message>", the file named
  // relative to the repository.
  static bool is_fault_diagnostic(const std::string& line) {
    static const std::regex shape(
        R"(pellark_updater: internal fault at ([^/:][^:]*):[1-9][0-9]* \(.+\): .+)");
    std::smatch m;
    return std::regex_match(line, m, shape) &&
           std::filesystem::is_regular_file(std::string(PELLARK_SOURCE_DIR) + "/" + m[1].str());
  }

  InstalledLayout layout_;
};

TEST_F(DescriptorHygiene, EveryOutcomeLeavesTheTableAsItWas) {
  PackageFile same = package("same-full.nupkg", "1.0.0", "#!/bin/sh\nexit 0\n");
  PackageFile no_payload = package("bare-full.nupkg", "2.0.0", "", false);
  // Not a program: the start fails after the swap and the install rolls back.
  PackageFile unstartable = package("junk-full.nupkg", "2.0.0", "no interpreter here\n");
  PackageFile upper = same;
  for (char& c : upper.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  PackageFile missing = same;
  missing.path = downloads() + "/missing-full.nupkg";

  expect_clean({
      {"identity", R"({"method":"identity"})", kIdentity},
      {"prepare", package_request("prepare", same), kPrepared},
      {"prepare, digest mismatch", package_request("prepare", upper), kFailure},
      {"prepare, missing file", package_request("prepare", missing), kFailure},
      {"prepare, no descriptor", R"({"method":"prepare"})", kFailure},
      {"unknown method", package_request("Prepare", same), kFailure},
      {"install, same version", package_request("install", same, "1.0.0"), kFailure},
      {"install, no payload", package_request("install", no_payload, "2.0.0"), kFailure},
      {"install, start fails", package_request("install", unstartable, "2.0.0"), kFailure},
      {"malformed", R"({"method":"identity"}x)", kFailure},
      {"null", "--null", R"({"error":"Missing request"})"},
  });
  // The failed start really rolled back, so the outcomes above were the ones intended.
  EXPECT_EQ(read_file(layout_.appimage_path()), "#!/bin/sh\nexit 0\n");
}

TEST_F(DescriptorHygiene, LockContentionAndMissingInstallationLeaveTheTableAsItWas) {
  PackageFile same = package("same-full.nupkg", "1.0.0", "#!/bin/sh\nexit 0\n");
  std::filesystem::create_directories(layout_.staging_dir());
  int lock = ::open(layout_.lock_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  expect_clean({
      {"prepare while locked", package_request("prepare", same), kFailure},
      {"unknown method while locked", package_request("other", same), kFailure},
      {"identity while locked", R"({"method":"identity"})", kIdentity},
  });
  ::close(lock);

  HostOptions outside;
  outside.unset_env = {"APPIMAGE"};
  expect_clean({{"identity, not installed", R"({"method":"identity"})", kFailure},
                {"prepare, not installed", package_request("prepare", same), kFailure}},
               outside);
}

TEST_F(DescriptorHygiene, InternalFaultUnderTheLockLeavesTheTableAsItWas) {
  PackageFile next = package("next-full.nupkg", "2.0.0", "#!/bin/sh\nexit 0\n");
  const std::string before = read_file(layout_.appimage_path());
  expect_clean({
      // The installed manifest is read unlocked first, so the fault strikes only under the lock.
      {"identity, armed", "--fault-under-lock:" + std::string(R"({"method":"identity"})"),
       kIdentity},
      {"install, fault under the lock",
       "--fault-under-lock:" + package_request("install", next, "2.0.0"), kFault},
      // Only a released lock lets this one through.
      {"prepare afterwards", package_request("prepare", next), kPrepared},
  });
  EXPECT_EQ(read_file(layout_.appimage_path()), before);
}

// A misspelt method is refused only after the package was read (and hashed) in full, exactly
// like "prepare"; a descriptor refused before the file is touched reads none of it.
TEST_F(DescriptorHygiene, UnrecognisedMethodReadsTheWholePackageOnce) {
  std::string payload(4 << 20, '\0');
  std::mt19937_64 random(12);
  for (char& c : payload) c = static_cast<char>(random());
  PackageFile big = package("big-full.nupkg", "2.0.0", payload);
  ASSERT_GT(big.size, 4u << 20);
  PackageFile short_digest = big;
  short_digest.sha256.pop_back();
  auto read = expect_clean({
      {"prepare", package_request("prepare", big), kPrepared},
      {"unknown method", package_request("Prepare", big), kFailure},
      {"unknown method, malformed digest", package_request("Prepare", short_digest), kFailure},
  });
  ASSERT_EQ(read.size(), 3u);
  if (read[0] < 0) GTEST_SKIP() << "/proc/self/io is not available: no read accounting";
  // The whole package once, plus the few small files a request reads anyway.
  const long long size = static_cast<long long>(big.size);
  for (size_t i : {0, 1}) {
    EXPECT_GE(read[i], size) << i;
    EXPECT_LT(read[i], size + (1 << 20)) << i;
  }
  EXPECT_LT(read[2], 1 << 20);
}

// Every descriptor the process opens while it loads the library and runs requests is
// close-on-exec, OpenSSL's included (its configuration is never loaded, whatever OPENSSL_CONF
// says). strace follows the probe only, not the programs an install starts.
TEST_F(DescriptorHygiene, EveryDescriptorIsOpenedCloseOnExec) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer run-times open files of their own and trace the process at exit";
#endif
  const std::string strace = "/usr/bin/strace";
  if (!path_exists(strace)) GTEST_SKIP() << "strace is not installed";
  PackageFile same = package("same-full.nupkg", "1.0.0", "#!/bin/sh\nexit 0\n");
  PackageFile unstartable = package("junk-full.nupkg", "2.0.0", "no interpreter here\n");
  PackageFile upper = same;
  for (char& c : upper.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string conf = layout_.root() + "/openssl.cnf";
  write_file(conf, "openssl_conf = init\n[init]\n");
  const std::string log = layout_.root() + "/strace.log";

  HostOptions options;
  options.program = strace;
  options.args = {"-qq",
                  "-o",
                  log,
                  "-e",
                  "trace=open,openat,openat2,creat,socket,socketpair,pipe,pipe2,dup,dup2,dup3,"
                  "accept,accept4,eventfd2,memfd_create,epoll_create1,inotify_init1,"
                  "timerfd_create,signalfd4,fcntl",
                  probe(),
                  R"({"method":"identity"})",
                  package_request("prepare", same),
                  package_request("prepare", upper),
                  package_request("Prepare", same),
                  package_request("install", same, "1.0.0"),
                  package_request("install", unstartable, "2.0.0")};
  options.set_env = {{"OPENSSL_CONF", conf}};
  HostRun run = layout_.run_host(options);
  if (!run.exited_with(0) && run.err.find("ptrace") != std::string::npos)
    GTEST_SKIP() << "strace cannot trace here: " << run.err;
  ASSERT_TRUE(run.exited_with(0)) << run.status << "\n" << run.err;
  auto lines = run.out_lines();
  ASSERT_EQ(lines.size(), 3u * 6);
  EXPECT_EQ(lines[0], kIdentity);
  EXPECT_EQ(lines[3], kPrepared);

  // A call that made a descriptor returns its number; each such call must have asked for
  // close-on-exec (O_CLOEXEC, SOCK_CLOEXEC, F_DUPFD_CLOEXEC, ...).
  static const std::regex made(R"(^(\w+)\((.*)\) += (\d+)$)");
  std::istringstream in(read_file(log));
  int calls = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, made)) continue;
    if (m[1] == "fcntl" && !m[2].str().contains("F_DUPFD")) continue;
    ++calls;
    EXPECT_TRUE(m[2].str().contains("CLOEXEC")) << line;
  }
  EXPECT_GT(calls, 10) << read_file(log);
  EXPECT_FALSE(read_file(log).contains(conf)) << "OpenSSL looked at its configuration";
}

// fd numbers in an `ls -l /proc/self/fd` listing, without ls's own directory descriptor.
std::set<std::string> listed_descriptors(const std::string& listing) {
  static const std::regex line(R"((\d+) -> (.*))");
  std::set<std::string> out;
  std::istringstream in(listing);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_search(text, m, line)) continue;
    if (std::regex_match(m[2].str(), std::regex(R"(/proc/\d+/fd)"))) continue;
    out.insert(m[1].str() + " -> " + m[2].str());
  }
  return out;
}

std::set<std::string> numbers_only(const std::set<std::string>& entries) {
  std::set<std::string> out;
  for (const auto& e : entries) out.insert(e.substr(0, e.find(' ')));
  return out;
}

TEST_F(DescriptorHygiene, RelaunchedAppImageInheritsNoLibraryDescriptor) {
  const std::string report = layout_.root() + "/fds.txt";
  const std::string script =
      "#!/bin/sh\n"
      "ls -l /proc/self/fd > \"$PELLARK_FD_REPORT.part\" 2>/dev/null\n"
      "mv \"$PELLARK_FD_REPORT.part\" \"$PELLARK_FD_REPORT\"\n";

  // The same script started directly shows what any child of this test inherits anyway.
  const std::string direct = layout_.root() + "/direct.sh";
  write_file(direct, script, 0755);
  HostOptions baseline_run;
  baseline_run.program = direct;
  baseline_run.set_env = {{"PELLARK_FD_REPORT", layout_.root() + "/baseline.txt"}};
  ASSERT_TRUE(run_process(baseline_run).exited_with(0));
  auto baseline = listed_descriptors(read_file(layout_.root() + "/baseline.txt"));
  ASSERT_FALSE(baseline.empty());

  PackageFile next = package("next-full.nupkg", "2.0.0", script);
  HostOptions options;
  options.set_env = {{"PELLARK_FD_REPORT", report}};
  HostRun run = layout_.call({package_request("install", next, "2.0.0")}, options);
  ASSERT_TRUE(run.exited_with(0)) << run.out << run.err;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!path_exists(report) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(path_exists(report)) << "the relaunched AppImage never ran";
  auto inherited = listed_descriptors(read_file(report));
  std::string shown;
  for (const auto& e : inherited) shown += e + "\n";
  EXPECT_EQ(numbers_only(inherited), numbers_only(baseline)) << shown;
}

}  // namespace
}  // namespace pellark::testing
