// The request channel end to end: any bytes go through pellark_update_call in a process whose
// executable really lies inside a temporary installed AppImage layout. The locator reads
// "/proc/self/exe", which cannot be faked in-process, so the first start builds the layout,
// copies this executable into its usr/bin and runs the copy there; the original waits and
// removes the layout afterwards.
//
// In the input, "@PKG@", "@LEN@" and "@SHA@" stand for a real release package in the layout (its
// path, size and digest), so seeds can reach validation and the install's identity rule. The
// package has the installed version, so no input can complete an install.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "pellark_updater.h"
#include "src/request.h"

using pellark::fuzz::fail;
using pellark::fuzz::require;
using pellark::fuzz::write_whole_file;

namespace {

constexpr const char kLayoutVar[] = "PELLARK_FUZZ_LAYOUT";
constexpr const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<package xmlns=\"http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd\"><metadata>"
    "<id>com.pellark.App</id><version>1.0.0</version><title>Pellark</title>"
    "<os>linux</os><machineArchitecture>x64</machineArchitecture>"
    "</metadata></package>\n";
constexpr const char kIdentity[] =
    R"({"result":{"install":true,"packageId":"com.pellark.App","version":"1.0.0"}})";

struct Layout {
  std::string root;
  std::string appimage;
  std::string staging;
  std::string lock;
  std::string package;
  std::string package_len;
  std::string package_sha;
  ino_t appimage_inode = 0;
};

Layout layout;

std::string read_whole_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot read a fixture file");
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

std::string sha256_hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    fail("sha256");
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

void write_package(const std::string& path) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) fail("zip_open");
  static const char payload[] = "#!/bin/sh\nexit 0\n";
  zip_source_t* manifest = zip_source_buffer(archive, kManifest, sizeof kManifest - 1, 0);
  zip_source_t* appimage = zip_source_buffer(archive, payload, sizeof payload - 1, 0);
  if (zip_file_add(archive, "com.pellark.App.nuspec", manifest, ZIP_FL_ENC_UTF_8) < 0 ||
      zip_file_add(archive, "Pellark.AppImage", appimage, ZIP_FL_ENC_UTF_8) < 0 ||
      zip_close(archive) != 0)
    fail("zip_file_add");
}

void describe_layout(const std::string& root) {
  layout.root = root;
  layout.appimage = root + "/apps/Pellark.AppImage";
  layout.staging = root + "/apps/.pellark-updates";
  layout.lock = layout.staging + "/pellark-install.lock";
  layout.package = root + "/downloads/Pellark-1.0.0-full.nupkg";
}

// First start: build the layout, run a copy of this executable from its usr/bin, clean up.
[[noreturn]] void build_layout_and_rerun(char** argv) {
  std::string root = pellark::fuzz::make_temp_dir("pellark-fuzz-request");
  describe_layout(root);
  std::filesystem::create_directories(root + "/mnt/usr/bin");
  std::filesystem::create_directories(root + "/apps");
  std::filesystem::create_directories(root + "/downloads");
  std::string exe = root + "/mnt/usr/bin/pellark_app";
  std::filesystem::copy_file("/proc/self/exe", exe);
  ::chmod(exe.c_str(), 0755);
  write_whole_file(root + "/mnt/usr/bin/UpdateNix", "#!/bin/sh\nexit 0\n", 0755);
  write_whole_file(root + "/mnt/usr/bin/sq.version", kManifest);
  write_whole_file(layout.appimage, "#!/bin/sh\nexit 0\n", 0755);
  write_package(layout.package);

  ::setenv("APPIMAGE", layout.appimage.c_str(), 1);
  ::setenv(kLayoutVar, root.c_str(), 1);
  pid_t child = ::fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    ::execv(exe.c_str(), argv);
    fail("execv");
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // A crashing run keeps its layout for inspection.
  bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (clean) std::filesystem::remove_all(root);
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    ::raise(WTERMSIG(status));
  }
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

void replace_all(std::string& text, std::string_view from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

bool lock_is_free() {
  int fd = ::open(layout.lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return true;  // never created yet
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);  // also releases our probe lock
  return free;
}

// After a request the staging directory holds at most the lock file and an empty VelopackTemp.
bool staging_is_tidy() {
  DIR* dir = ::opendir(layout.staging.c_str());
  if (dir == nullptr) return true;
  bool tidy = true;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == ".." || name == "pellark-install.lock") continue;
    if (name != "VelopackTemp") {
      tidy = false;
      continue;
    }
    std::error_code ignored;
    if (!std::filesystem::is_empty(layout.staging + "/VelopackTemp", ignored)) tidy = false;
  }
  ::closedir(dir);
  return tidy;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  const char* root = std::getenv(kLayoutVar);
  if (root == nullptr) build_layout_and_rerun(*argv);
  describe_layout(root);
  std::string package = read_whole_file(layout.package);
  layout.package_len = std::to_string(package.size());
  layout.package_sha = sha256_hex(package);
  struct stat st {};
  if (::lstat(layout.appimage.c_str(), &st) != 0) fail("no AppImage in the layout");
  layout.appimage_inode = st.st_ino;
  // The layout must answer identity, or every input would only reach the locator.
  char* answer = pellark_update_call(R"({"method":"identity"})");
  require(answer != nullptr && std::string_view(answer) == kIdentity, "layout answers identity");
  pellark_update_free(answer);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The C interface sees the text up to the first NUL.
  const char* text = reinterpret_cast<const char*>(data);
  std::string request(text, strnlen(text, size));
  replace_all(request, "@PKG@", layout.package);
  replace_all(request, "@LEN@", layout.package_len);
  replace_all(request, "@SHA@", layout.package_sha);

  int fds_before = pellark::fuzz::open_descriptor_count();
  char* response = pellark_update_call(request.c_str());
  require(response != nullptr, "a response for every request");
  std::string_view answer(response);
  static const bool echo = std::getenv("PELLARK_FUZZ_ECHO") != nullptr;  // for checking seeds
  if (echo) std::fprintf(stderr, "answer: %s\n", response);
  require(answer != pellark::kFaultAnswer, "no internal fault");
  require(answer == pellark::kGenericFailure || answer == R"({"result":{}})" || answer == kIdentity,
          "only the protocol's answers");
  pellark_update_free(response);

  require(pellark::fuzz::open_descriptor_count() == fds_before, "no descriptor leaks");
  require(lock_is_free(), "the install lock is released");
  require(staging_is_tidy(), "nothing left in the staging directory");
  struct stat st {};
  require(::lstat(layout.appimage.c_str(), &st) == 0 && st.st_ino == layout.appimage_inode,
          "the installed AppImage is untouched");
  return 0;
}
