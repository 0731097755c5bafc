// Crash consistency: an "install" killed with SIGKILL at any moment leaves the complete old or
// the complete new AppImage at the installed path, never nothing and never a partial file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zip.h>

#include "support/installed_layout.h"

namespace pellark::testing {
namespace {

constexpr int kKills = 220;

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
std::string appimage_bytes(const char* tag, unsigned seed) {
  std::string bytes = std::string("#!/bin/sh\nexit 0\n# ") + tag + "\n";
  std::mt19937 random(seed);
  bytes.reserve(bytes.size() + (4u << 20));
  while (bytes.size() < (4u << 20)) bytes.push_back(static_cast<char>('a' + random() % 26));
  return bytes;
}

TEST(InstallCrashStress, KilledInstallLeavesACompleteAppImage) {
  InstalledLayout layout;
  const std::string old_image = appimage_bytes("old", 1);
  const std::string new_image = appimage_bytes("new", 2);
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
  const std::string request = R"({"method":"install","path":")" + package +
                              R"(","release":{"displayVersion":"1.1.0","artifact":{"byteLength":)" +
                              std::to_string(content.size()) + R"(,"sha256":")" +
                              sha256_hex(content) + R"("}}})";

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
  int saw_old = 0, saw_new = 0;
  for (int i = 0; i < kKills; ++i) {
    SCOPED_TRACE(i);
    // A loaded machine makes installs slower than the calibration run: widen the window until
    // some kills land after the swap.
    if (i > 0 && i % 20 == 0 && saw_new == 0) window_us = window_us * 3 / 2;
    reinstall_old();
    pid_t pid = start();
    std::uniform_int_distribution<long> moment(0, window_us);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    (void)::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    struct stat st {};
    ASSERT_EQ(::lstat(layout.appimage_path().c_str(), &st), 0) << "nothing at the AppImage path";
    ASSERT_TRUE(S_ISREG(st.st_mode));
    std::string now = read_file(layout.appimage_path());
    if (now == old_image) {
      ++saw_old;
    } else {
      ASSERT_EQ(now, new_image) << "a partial AppImage";
      EXPECT_EQ(st.st_mode & 07777, 0755u);
      ++saw_new;
    }
    // A killed install leaves its work directory; it must not pile up over the run.
    std::filesystem::remove_all(layout.staging_dir() + "/VelopackTemp");
  }
  posix_spawn_file_actions_destroy(&actions);
  std::printf("kills: %d, old AppImage after: %d, new AppImage after: %d\n", kKills, saw_old,
              saw_new);
  // The kill moments must straddle the swap, or the run proved nothing.
  EXPECT_GT(saw_old, 0);
  EXPECT_GT(saw_new, 0);
}

}  // namespace
}  // namespace pellark::testing
