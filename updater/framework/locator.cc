// The AppImage layout is the only one there is: <mount root>/usr/bin holds the executable,
// "UpdateNix" and "sq.version", and the runtime names the AppImage file in "APPIMAGE".
#include "locator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "paths.h"
#include "utf8.h"

namespace pellark {

namespace {

bool path_exists(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::stat(path.c_str(), &st) == 0;
}

Result<std::string> read_link(const char* link) {
  std::string buf(256, '\0');
  while (true) {
    ssize_t n = ::readlink(link, buf.data(), buf.size());
    if (n < 0) return Error::io(errno, "readlink");
    // A full buffer may mean a cut-off target: grow and read again.
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

Result<InstallationRecord> locate_installation() {
  PELLARK_TRY_ASSIGN(std::string exe, read_link("/proc/self/exe"));
  return locate_installation_from(exe);
}

Result<InstallationRecord> locate_installation_from(const std::string& exe_path) {
  // The search runs on the text form, so invalid bytes before the marker change the root.
  std::string text = path_text(exe_path);
  size_t at = text.find("/usr/bin/");
  if (at == std::string::npos) return Error::not_installed("not under usr/bin");
  std::string_view mount_root = std::string_view(text).substr(0, at);

  InstallationConfig config;
  config.binary_dir = join_path(join_path(mount_root, "usr"), "bin");
  config.updater_path = join_path(config.binary_dir, "UpdateNix");
  config.manifest_path = join_path(config.binary_dir, "sq.version");
  if (!path_exists(config.updater_path)) return Error::not_installed("no updater");

  const char* appimage = std::getenv("APPIMAGE");
  if (appimage == nullptr || *appimage == '\0' || !is_valid_utf8(appimage) ||
      !path_exists(appimage)) {
    return Error::not_installed("no AppImage");
  }
  config.appimage_path = appimage;

  PELLARK_TRY_ASSIGN(Manifest manifest, read_manifest_file(config.manifest_path));
  config.packages_dir = join_path(join_path("/var/tmp/velopack", manifest.id), "packages");
  return InstallationRecord{std::move(config), std::move(manifest)};
}

Result<InstallationRecord> installation_from_config(const InstallationConfig& config) {
  InstallationConfig copy = config;
  if (!path_exists(copy.updater_path)) return Error::not_installed("no updater");
  if (!path_exists(copy.manifest_path)) return Error::not_installed("no manifest");
  PELLARK_TRY_ASSIGN(Manifest manifest, read_manifest_file(copy.manifest_path));
  return InstallationRecord{std::move(copy), std::move(manifest)};
}

}  // namespace pellark
