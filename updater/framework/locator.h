// Finds the running AppImage installation: mount root from the executable path, "UpdateNix" and
// "sq.version" beside it, the AppImage itself from "APPIMAGE".
#pragma once

#include <string>

#include "error.h"
#include "manifest.h"

namespace pellark {

struct InstallationConfig {
  std::string appimage_path;
  std::string updater_path;
  std::string packages_dir;
  std::string manifest_path;
  std::string binary_dir;
};

struct InstallationRecord {
  InstallationConfig config;
  Manifest manifest;
};

// From "/proc/self/exe" and the environment. Io, NotInstalled, or the manifest's errors.
Result<InstallationRecord> locate_installation();

// From a configuration the caller holds (copied): the updater and manifest must exist.
Result<InstallationRecord> installation_from_config(const InstallationConfig& config);

// The locator's steps on a given executable path; locate_installation feeds it "/proc/self/exe".
Result<InstallationRecord> locate_installation_from(const std::string& exe_path);

}  // namespace pellark
