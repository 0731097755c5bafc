// Installing a validated release package: identity rule, extraction into a private work
// directory, hard-linked backup, atomic swap, relaunch and rollback.
#pragma once

#include <string>

#include "framework/bundle.h"
#include "framework/error.h"
#include "framework/locator.h"
#include "framework/manifest.h"
#include "framework/unique_fd.h"

namespace pellark {

// The five identity conditions, in the order an install tests them: the first that fails is
// the refusal.
Status identity_rule(const Manifest& installed, const Manifest& package,
                     const std::string& display_version);

// `package` is the descriptor validate_package returned for `package_path`. On success the new
// AppImage runs; the caller ends the process.
Status install_release(const InstallationConfig& config, const std::string& package_path,
                       UniqueFd package, const std::string& display_version);

Status replace_and_relaunch(Bundle& bundle, const std::string& next_path,
                            const InstallationConfig& config, const std::string& previous_path,
                            bool& keep_work_directory);

}  // namespace pellark
