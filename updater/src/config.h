// The library configuration (the located installation with its staging directory beside the
// AppImage) and the "identity" answer.
#pragma once

#include <string>

#include "framework/error.h"
#include "framework/locator.h"

namespace pellark {

inline constexpr const char kStagingDirName[] = ".pellark-updates";

// The located installation with `packages_dir` set to the prepared staging directory.
Result<InstallationConfig> current_installation_config();

// The parent of a path without its last component ("/" has none; "a" has "").
Result<std::string> parent_path(const std::string& path);

struct Identity {
  bool install = false;
  std::string package_id;
  std::string version;
};

Result<Identity> installation_identity(const InstallationConfig& config);

}  // namespace pellark
