// Crash consistency: an "install" killed with SIGKILL at any moment leaves the complete old or
// the complete new AppImage at the installed path, never nothing and never a partial file; and
// the next request that takes the lock works and clears what the dead install left, keeping at
// most one old release. PELLARK_CRASH_TRIALS and PELLARK_CRASH_MIB set the run's size.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zip.h>

#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

constexpr int kDefaultTrials = 220;
constexpr unsigned kDefaultMib = 4;

unsigned env_number(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  return *end == '\0' && value > 0 ? static_cast<unsigned>(value) : fallback;
}

std::string sha256_hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned i = 0; i < size; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

// Executable AppImages of a few MiB so the copy and the sync take a measurable time.
std::string appimage_bytes(const char* tag, unsigned seed, size_t size) {
  std::string bytes = std::string("#!/bin/sh\nexit 0\n# ") + tag + "\n";
  std::mt19937 random(seed);
  bytes.reserve(size);
  while (bytes.size() < size) bytes.push_back(static_cast<char>('a' + random() % 26));
  return bytes;
}

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

FileId id_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  return {st.st_dev, st.st_ino};
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
    names.insert(entry.path().filename().string());
  return names;
}

// What a work directory holds, by size, links not followed.
uintmax_t bytes_below(const std::string& dir) {
  uintmax_t total = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ignored)) {
    if (entry.is_regular_file(ignored)) total += entry.file_size(ignored);
  }
  return total;
}

TEST(InstallCrashStress, KilledInstallLeavesACompleteAppImage) {
  const unsigned trials = env_number("PELLARK_CRASH_TRIALS", kDefaultTrials);
  const size_t image_size = size_t{env_number("PELLARK_CRASH_MIB", kDefaultMib)} << 20;
  InstalledLayout layout;
  const std::string old_image = appimage_bytes("old", 1, image_size);
  const std::string new_image = appimage_bytes("new", 2, image_size);
  const std::string package = layout.root() + "/com.pellark.App-1.1.0-full.nupkg";
  {
    int error = 0;
    zip_t* archive = zip_open(package.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    std::string manifest = write_manifest_xml("com.pellark.App", "1.1.0");
    zip_file_add(archive, "com.pellark.App.nuspec",
                 zip_source_buffer(archive, manifest.data(), manifest.size(), 0), 0);
    zip_int64_t index =
        zip_file_add(archive, "com.pellark.App.AppImage",
                     zip_source_buffer(archive, new_image.data(), new_image.size(), 0), 0);
    ASSERT_GE(index, 0);
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    ASSERT_EQ(zip_close(archive), 0);
  }
  const std::string content = read_file(package);
  const std::string artifact = R"({"byteLength":)" + std::to_string(content.size()) +
                               R"(,"sha256":")" + sha256_hex(content) + R"("})";
  const std::string request = R"({"method":"install","path":")" + package +
                              R"(","release":{"displayVersion":"1.1.0","artifact":)" + artifact +
                              "}}";
  // The next locked request after each kill: it must work, and it reclaims. A small file keeps
  // it cheap; hashing the package again would prove nothing more.
  const std::string small = layout.root() + "/small";
  write_file(small, "abc");
  const std::string prepare = R"({"method":"prepare","path":")" + small +
                              R"(","release":{"artifact":{"byteLength":3,"sha256":")" +
                              sha256_hex("abc") + R"("}}})";
  const std::string work_root = layout.staging_dir() + "/VelopackTemp";

  const std::string spare = layout.root() + "/old.AppImage";
  write_file(spare, old_image, 0755);
  auto reinstall_old = [&] {
    write_file(spare + ".copy", old_image, 0755);
    ASSERT_EQ(::rename((spare + ".copy").c_str(), layout.appimage_path().c_str()), 0);
  };

  std::string host = layout.host_path();
  std::string mode = "PELLARK_HOST_MODE=call";
  std::string appimage = "APPIMAGE=" + layout.appimage_path();
  std::string path = "PATH=/usr/bin:/bin";
  char* envp[] = {mode.data(), appimage.data(), path.data(), nullptr};
  std::string request_arg = request;
  char* argv[] = {host.data(), request_arg.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  auto start = [&] {
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, host.c_str(), &actions, nullptr, argv, envp), 0);
    return pid;
  };

  // Relaunched AppImages outlive their killed parent; they come back to us to be reaped.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);

  // One undisturbed run sets the window the kills are spread over.
  reinstall_old();
  auto began = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_EQ(::waitpid(start(), &status, 0) > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0,
            true);
  auto full = std::chrono::steady_clock::now() - began;
  ASSERT_EQ(read_file(layout.appimage_path()), new_image);
  long window_us = std::chrono::duration_cast<std::chrono::microseconds>(full).count() * 6 / 5;

  std::mt19937_64 random(std::random_device{}());
  int saw_old = 0, saw_new = 0, saw_neither = 0;
  int left_work_dir = 0;     // kills that left their work directory behind
  uintmax_t left_bytes = 0;  // what those directories held
  int leftovers = 0;         // trials after whose next locked request a dead install's files remain
  int kept_one = 0;          // ... one old release was kept
  int kept_more = 0;         // ... more than one old release was kept
  for (unsigned i = 0; i < trials; ++i) {
    SCOPED_TRACE(i);
    // A loaded machine makes installs slower than the calibration run: widen the window until
    // some kills land after the swap.
    if (i > 0 && i % 20 == 0 && saw_new == 0) window_us = window_us * 3 / 2;
    reinstall_old();
    const std::set<std::string> before = names_in(work_root);
    pid_t pid = start();
    std::uniform_int_distribution<long> moment(0, window_us);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    (void)::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    // A kill during the relaunch can leave the new AppImage between fork and exec, still holding
    // the lock descriptor it got with the fork; reap it before the next locked request.
    while (::waitpid(-1, &status, 0) > 0) {
    }

    struct stat st {};
    ASSERT_EQ(::lstat(layout.appimage_path().c_str(), &st), 0) << "nothing at the AppImage path";
    ASSERT_TRUE(S_ISREG(st.st_mode));
    std::string now = read_file(layout.appimage_path());
    if (now == old_image) {
      ++saw_old;
    } else if (now == new_image) {
      EXPECT_EQ(st.st_mode & 07777, 0755u);
      ++saw_new;
    } else {
      ADD_FAILURE() << "a partial AppImage";
      ++saw_neither;
    }
    for (const std::string& name : names_in(work_root)) {
      if (before.contains(name)) continue;
      ++left_work_dir;
      left_bytes += bytes_below(work_root + "/" + name);
    }

    auto run = layout.call({prepare});
    ASSERT_EQ(run.out_lines(), std::vector<std::string>{kPrepared}) << run.err;
    // Left: nothing, or one directory holding only the complete old AppImage, which is not the
    // installed file.
    std::set<std::string> after = names_in(work_root);
    const FileId installed = id_of(layout.appimage_path());
    int kept = 0;
    bool dead = false;
    for (const std::string& name : after) {
      const std::string dir = work_root + "/" + name;
      const std::string previous = dir + "/previous.AppImage";
      if (names_in(dir) == std::set<std::string>{"previous.AppImage"} &&
          !(id_of(previous) == installed) && read_file(previous) == old_image) {
        ++kept;
      } else {
        dead = true;
      }
    }
    leftovers += dead;
    kept_one += kept == 1;
    kept_more += kept > 1;
    EXPECT_FALSE(dead) << "a dead install's files survived the next locked request";
    EXPECT_LE(kept, 1) << "more than one old release kept";
  }
  posix_spawn_file_actions_destroy(&actions);
  std::printf(
      "trials: %u (%zu MiB AppImages); installed AppImage after the kill: old %d, new %d, "
      "neither %d\n"
      "kills that left a work directory: %d (%ju bytes); after the next locked request: "
      "leftovers %d, one old release kept %d, more than one kept %d\n",
      trials, image_size >> 20, saw_old, saw_new, saw_neither, left_work_dir, left_bytes, leftovers,
      kept_one, kept_more);
  // The kill moments must straddle the swap, or the run proved nothing.
  EXPECT_GT(saw_old, 0);
  EXPECT_GT(saw_new, 0);
  EXPECT_EQ(saw_neither, 0);
}

}  // namespace
}  // namespace pellark::testing
