// Everything here goes through the retry waits (333 + 666 + 1000 ms), so it is kept together.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "framework/bundle.h"
#include "framework/manifest.h"
#include "framework/retry.h"
#include "framework/temp_dir.h"

namespace pellark {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using testing::write_file;

using Clock = std::chrono::steady_clock;
constexpr auto kAllWaits = 1999ms;

// The smallest ZIP archive: an end-of-central-directory record with no entries.
const std::string kEmptyZip = std::string("PK\x05\x06", 4) + std::string(18, '\0');

// Puts `bytes` at `path` after `delay`, atomically, from another thread.
std::jthread write_later(std::string path, std::string bytes, std::chrono::milliseconds delay) {
  return std::jthread([=] {
    std::this_thread::sleep_for(delay);
    write_file(path + ".tmp", bytes);
    ASSERT_EQ(::rename((path + ".tmp").c_str(), path.c_str()), 0);
  });
}

// A package holding one stored entry "a.AppImage" with `payload`.
std::string appimage_package(const TempDir& dir, const std::string& payload) {
  std::string package = dir / "p.zip";
  write_file(dir / "payload", payload);
  std::string cmd =
      "python3 -c \"import zipfile,sys; zipfile.ZipFile(sys.argv[1], 'w')"
      ".write(sys.argv[2], 'a.AppImage')\" '" +
      package + "' '" + (dir / "payload") + "'";
  if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "package not written";
  return package;
}

// Removes `path` (a file or an empty directory) after `delay`, from another thread.
std::jthread remove_later(std::string path, std::chrono::milliseconds delay) {
  return std::jthread([=] {
    std::this_thread::sleep_for(delay);
    ASSERT_EQ(::remove(path.c_str()), 0);
  });
}

// Extracts the AppImage entry to `target`; the result and how long the attempts took.
std::pair<Status, Clock::duration> timed_extract(Bundle& bundle, const std::string& target) {
  auto start = Clock::now();
  Status status = extract_entry(bundle, is_appimage_entry, target);
  return {std::move(status), Clock::now() - start};
}

// Attempts run at 0, 333, 999 and 1999 ms. Each gap is its own wait plus scheduling slack that
// stays below the 333 ms that would let two waits trade places.
TEST(RetryWaits, WaitsAre333Then666Then1000Ms) {
  std::vector<Clock::time_point> attempts;
  auto result = with_retries([&]() -> Status {
    attempts.push_back(Clock::now());
    return Error::io(EAGAIN, "always fails");
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, EAGAIN);
  ASSERT_EQ(attempts.size(), 4u);
  const std::chrono::milliseconds expected[] = {333ms, 666ms, 1000ms};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    auto gap = attempts[i + 1] - attempts[i];
    EXPECT_GE(gap, expected[i]);
    EXPECT_LT(gap, expected[i] + 250ms);
  }
}

TEST(RetryWaits, SuccessEndsTheAttempts) {
  int calls = 0;
  auto start = Clock::now();
  auto result = with_retries([&]() -> Result<int> {
    if (++calls < 3) return Error::io(EAGAIN, "not yet");
    return calls;
  });
  auto elapsed = Clock::now() - start;
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, 3);
  EXPECT_EQ(calls, 3);
  EXPECT_GE(elapsed, 999ms);
  EXPECT_LT(elapsed, 1999ms);
}

volatile sig_atomic_t g_interruptions = 0;

// A signal that interrupts the sleep twice: the wait still lasts its full time, counted from its
// start, neither cut short nor started afresh after each signal.
TEST(RetryWaits, InterruptedWaitResumesForTheTimeLeft) {
  struct sigaction action {};
  action.sa_handler = [](int) { g_interruptions = g_interruptions + 1; };
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the sleep sees EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  g_interruptions = 0;

  pthread_t sleeper = ::pthread_self();
  std::jthread interrupter([sleeper] {
    for (int i = 0; i < 2; ++i) {
      std::this_thread::sleep_for(150ms);
      ::pthread_kill(sleeper, SIGUSR1);
    }
  });
  auto start = Clock::now();
  sleep_monotonic(500ms);
  auto elapsed = Clock::now() - start;
  interrupter.join();
  ASSERT_EQ(::sigaction(SIGUSR1, &previous, nullptr), 0);

  // ThreadSanitizer holds signals back and may hand both over as one.
  EXPECT_GE(g_interruptions, 1);
  EXPECT_GE(elapsed, 500ms);
  // Starting afresh after each signal would take 150 + 150 + 500 ms.
  EXPECT_LT(elapsed, 700ms);
}

// Something in the way of the target file (a directory by that name) goes away after 0.5 s: the
// third attempt, at about 1 s, creates the file.
TEST(RetryWaits, TargetFileCreationIsRetried) {
  TempDir dir;
  auto bundle = open_bundle(appimage_package(dir, "payload bytes"));
  ASSERT_TRUE(bundle);
  std::string target = dir / "out/a.AppImage";
  ASSERT_EQ(::mkdir((dir / "out").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  auto remover = remove_later(target, 500ms);
  auto [status, elapsed] = timed_extract(*bundle, target);
  ASSERT_TRUE(status);
  EXPECT_EQ(testing::read_file(target), "payload bytes");
  EXPECT_GE(elapsed, 999ms);
  EXPECT_LT(elapsed, 1999ms);
}

TEST(RetryWaits, TargetFileInTheWayFailsWithIoAfterAllWaits) {
  TempDir dir;
  auto bundle = open_bundle(appimage_package(dir, "payload bytes"));
  ASSERT_TRUE(bundle);
  std::string target = dir / "a.AppImage";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  auto [status, elapsed] = timed_extract(*bundle, target);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind, ErrorKind::Io);
  EXPECT_EQ(status.error().code, EISDIR);
  EXPECT_GE(elapsed, kAllWaits);
}

// A file where the target's directory should be goes away after 0.5 s: the directories are
// created on the third attempt.
TEST(RetryWaits, TargetDirectoryCreationIsRetried) {
  TempDir dir;
  auto bundle = open_bundle(appimage_package(dir, "payload bytes"));
  ASSERT_TRUE(bundle);
  write_file(dir / "file", "in the way");
  auto remover = remove_later(dir / "file", 500ms);
  std::string target = dir / "file/sub/a.AppImage";
  auto [status, elapsed] = timed_extract(*bundle, target);
  ASSERT_TRUE(status);
  EXPECT_EQ(testing::read_file(target), "payload bytes");
  EXPECT_GE(elapsed, 999ms);
  EXPECT_LT(elapsed, 1999ms);
}

TEST(RetryWaits, ManifestNotUtf8FailsAfterAllWaits) {
  TempDir dir;
  write_file(dir / "sq.version", "<package><id>\xFF</id><version>1.0.0</version></package>");
  auto start = Clock::now();
  auto m = read_manifest_file(dir / "sq.version");
  auto elapsed = Clock::now() - start;
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().kind, ErrorKind::NotInstalled);
  EXPECT_GE(elapsed, kAllWaits);
}

TEST(RetryWaits, ManifestReadOnTheLastAttempt) {
  TempDir dir;
  std::string path = dir / "sq.version";
  write_file(path, "\xC3");
  // Attempts run at about 0, 0.33, 1.0 and 2.0 s: only the fourth sees the good text.
  auto writer = write_later(path, testing::manifest_xml("a", "1.0.0"), 1300ms);
  auto m = read_manifest_file(path);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, "a");
}

TEST(RetryWaits, MissingManifestIsNotRetried) {
  TempDir dir;
  std::string path = dir / "sq.version";
  auto writer = write_later(path, testing::manifest_xml("a", "1.0.0"), 400ms);
  auto m = read_manifest_file(path);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().kind, ErrorKind::NotInstalled);
}

TEST(RetryWaits, PackageCreatedLaterIsOpened) {
  TempDir dir;
  std::string path = dir / "late-full.nupkg";
  auto writer = write_later(path, kEmptyZip, 500ms);
  auto bundle = open_bundle(path);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(find_entry(*bundle, [](std::string_view) { return true; }), std::nullopt);
}

TEST(RetryWaits, MissingPackageFailsWithIo) {
  TempDir dir;
  auto start = Clock::now();
  auto bundle = open_bundle(dir / "missing-full.nupkg");
  auto elapsed = Clock::now() - start;
  ASSERT_FALSE(bundle);
  EXPECT_EQ(bundle.error().kind, ErrorKind::Io);
  EXPECT_EQ(bundle.error().code, ENOENT);
  EXPECT_GE(elapsed, kAllWaits);
}

TEST(RetryWaits, UncreatableTargetDirectoryFailsWithIo) {
  TempDir dir;
  auto bundle = open_bundle(appimage_package(dir, "x"));
  ASSERT_TRUE(bundle);
  write_file(dir / "file", "not a directory");
  auto [status, elapsed] = timed_extract(*bundle, dir / "file/sub/a.AppImage");
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind, ErrorKind::Io);
  EXPECT_EQ(status.error().code, ENOTDIR);
  EXPECT_GE(elapsed, kAllWaits);
}

}  // namespace
}  // namespace pellark
