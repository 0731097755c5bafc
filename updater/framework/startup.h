// The framework's start-up run: installer hook arguments, the pending-package scan and cleanup,
// and the marker variables.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "locator.h"
#include "manifest.h"

namespace pellark {

struct StartupConfig {
  std::vector<std::string> arguments;  // argv[1..], UTF-8
  InstallationConfig installation;
};

// Returns, or ends the process with status 0 on an installer hook argument.
void startup_run(const StartupConfig& config);

struct PackageEntry {
  std::string path;
  Manifest manifest;
};

std::vector<PackageEntry> scan_packages(const std::string& packages_dir);
std::optional<PackageEntry> find_pending_package(const std::vector<PackageEntry>& packages,
                                                 const Version& installed);
void clean_packages_directory(const std::vector<PackageEntry>& packages, const Version& installed,
                              const std::optional<PackageEntry>& pending);

}  // namespace pellark
