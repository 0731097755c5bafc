// The library configuration: the located installation with its staging directory beside the
// AppImage, and the "identity" answer built from it.
#include "config.h"

#include <sys/stat.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "framework/manifest.h"
#include "framework/paths.h"
#include "framework/version.h"
#include "private_dir.h"

namespace pellark {

Result<std::string> parent_path(const std::string& path) {
  // Component spans; repeated slashes and "." (except a leading one) are not components.
  struct Span {
    size_t begin, end;
  };
  std::vector<Span> parts;
  const bool rooted = !path.empty() && path.front() == '/';
  for (size_t i = 0; i < path.size();) {
    if (path[i] == '/') {
      ++i;
      continue;
    }
    size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    std::string_view part(path.data() + i, end - i);
    if (part != "." || (i == 0 && !rooted)) parts.push_back({i, end});
    i = end;
  }
  if (parts.empty()) return Error::failure("no parent");
  parts.pop_back();
  if (!parts.empty()) return path.substr(0, parts.back().end);
  return std::string(rooted ? "/" : "");
}

Result<InstallationConfig> current_installation_config() {
  PELLARK_TRY_ASSIGN(InstallationRecord record, locate_installation());
  InstallationConfig config;
  config.appimage_path = std::move(record.config.appimage_path);
  config.updater_path = std::move(record.config.updater_path);
  config.binary_dir = std::move(record.config.binary_dir);

  std::string beside = join_path(config.binary_dir, "sq.version");
  struct stat st {};
  config.manifest_path = ::stat(beside.c_str(), &st) == 0
                             ? std::move(beside)
                             : join_path(config.appimage_path, "Contents/Resources/sq.version");

  PELLARK_TRY_ASSIGN(std::string parent, parent_path(config.appimage_path));
  config.packages_dir = join_path(parent, kStagingDirName);
  PELLARK_TRY(ensure_private_directory(config.packages_dir));
  return config;
}

Result<Identity> installation_identity(const InstallationConfig& config) {
  PELLARK_TRY_ASSIGN(Manifest manifest, read_manifest_file(config.manifest_path));
  struct stat st {};
  if (::lstat(config.appimage_path.c_str(), &st) != 0) return Error::io(errno, "lstat AppImage");
  Identity identity;
  // Only a real file at an absolute path can be swapped in place; links and relative paths
  // would make the rename land somewhere else than the running AppImage.
  identity.install =
      S_ISREG(st.st_mode) && !config.appimage_path.empty() && config.appimage_path.front() == '/';
  identity.package_id = std::move(manifest.id);
  identity.version = version_text(manifest.version);
  return identity;
}

}  // namespace pellark
