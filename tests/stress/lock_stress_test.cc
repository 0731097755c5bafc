// Two processes with eight threads each hammer one installation with "prepare", "identity" and
// unknown methods for ten seconds. Exclusion is observed without trusting the lock itself: the
// package is read only while the install lock is held, so inotify's ordered open/close events
// on the package file must never show two open descriptions of it at once.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hygiene/release_package.h"
#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

// Follows the open descriptions of one file through inotify until stopped.
class OpenWatcher {
 public:
  explicit OpenWatcher(const std::string& path) {
    fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ >= 0) watch_ = ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE);
    thread_ = std::thread([this] { run(); });
  }
  ~OpenWatcher() {
    stop();
    if (fd_ >= 0) ::close(fd_);
  }
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return fd_ >= 0 && watch_ >= 0; }
  int max_open() const { return max_open_; }
  long opens() const { return opens_; }
  bool overflowed() const { return overflowed_; }

 private:
  void drain() {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return;
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        if (e->mask & IN_Q_OVERFLOW) overflowed_ = true;
        if (e->mask & IN_OPEN) {
          ++opens_;
          if (++open_ > max_open_) max_open_ = open_;
        }
        if (e->mask & IN_CLOSE) --open_;
        p += sizeof(inotify_event) + e->len;
      }
    }
  }
  void run() {
    if (!ok()) return;
    pollfd p{fd_, POLLIN, 0};
    while (!stopping_) {
      if (::poll(&p, 1, 50) > 0) drain();
    }
    drain();
  }

  int fd_ = -1;
  int watch_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  int open_ = 0;
  int max_open_ = 0;
  long opens_ = 0;
  bool overflowed_ = false;
};

TEST(LockStress, TwoProcessesOfEightThreadsNeverValidateAtOnce) {
  InstalledLayout layout;
  std::filesystem::create_directories(layout.root() + "/downloads");
  const std::string path = layout.root() + "/downloads/big-full.nupkg";
  // Big enough that each validation takes a while, so overlaps would have room to happen.
  std::string bytes(4 << 20, '\0');
  std::mt19937 rng(8);
  for (char& c : bytes) c = static_cast<char>(rng());
  write_file(path, bytes);
  PackageFile package = describe_package(path);

  const std::vector<std::string> requests = {
      package_request("prepare", package), R"({"method":"identity"})",
      package_request("PREPARE", package), R"({"method":"frobnicate"})"};

  OpenWatcher watcher(path);  // after the fixture's own reads of the file
  ASSERT_TRUE(watcher.ok());

  HostOptions options;
  options.set_env = {{"PELLARK_HOST_MODE", "call-threads"}};
  options.args = {"8", "10"};
  options.args.insert(options.args.end(), requests.begin(), requests.end());
  options.timeout = std::chrono::seconds(120);
  HostRun runs[2];
  {
    std::thread first([&] { runs[0] = layout.run_host(options); });
    std::thread second([&] { runs[1] = layout.run_host(options); });
    first.join();
    second.join();
  }
  watcher.stop();

  std::map<std::string, long> answers;
  for (const HostRun& run : runs) {
    ASSERT_FALSE(run.timed_out) << "a host hung";
    ASSERT_TRUE(run.exited_with(0)) << run.status << "\n" << run.err;
    long total = 0;
    for (const auto& line : run.out_lines()) {
      ASSERT_EQ(line.rfind("count:", 0), 0u) << line;
      size_t colon = line.find(':', 6);
      ASSERT_NE(colon, std::string::npos) << line;
      long n = std::stol(line.substr(6, colon - 6));
      answers[line.substr(colon + 1)] += n;
      total += n;
    }
    EXPECT_GE(total, 16) << "every thread answers at least once";
  }
  for (const auto& [answer, n] : answers) {
    EXPECT_TRUE(answer == kFailure || answer == kIdentity || answer == kPrepared)
        << n << " x " << answer;
  }
  // Contention and the unknown methods fail; identity and some prepares get through.
  EXPECT_GT(answers[kPrepared], 0);
  EXPECT_GT(answers[kIdentity], 0);
  EXPECT_GT(answers[kFailure], 0);

  EXPECT_FALSE(watcher.overflowed()) << "lost inotify events: the observation is void";
  EXPECT_EQ(watcher.max_open(), 1) << "two requests read the package at the same time";
  EXPECT_GE(watcher.opens(), answers[kPrepared]);
  std::printf("prepared %ld, identity %ld, refused %ld, package opened %ld times\n",
              answers[kPrepared], answers[kIdentity], answers[kFailure], watcher.opens());
}

}  // namespace
}  // namespace pellark::testing
