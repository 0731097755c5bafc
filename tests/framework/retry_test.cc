// Everything here goes through the retry waits (333 + 666 + 1000 ms), so it is kept together.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <thread>

#include "framework/bundle.h"
#include "framework/manifest.h"
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
  std::string package = dir / "p.zip";
  std::string cmd =
      "python3 -c \"import zipfile,sys; zipfile.ZipFile(sys.argv[1], 'w')"
      ".writestr('a.AppImage', 'x')\" '" +
      package + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  auto bundle = open_bundle(package);
  ASSERT_TRUE(bundle);
  write_file(dir / "file", "not a directory");
  auto status = extract_entry(*bundle, is_appimage_entry, dir / "file/sub/a.AppImage");
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind, ErrorKind::Io);
  EXPECT_EQ(status.error().code, ENOTDIR);
}

}  // namespace
}  // namespace pellark
