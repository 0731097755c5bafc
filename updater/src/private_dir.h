// The staging directory's safety rule and the exclusive install lock inside it.
#pragma once

#include <string>

#include "framework/error.h"
#include "framework/unique_fd.h"

namespace pellark {

// Refuses anything but a real directory (symbolic links included), creates it with its parents
// and sets mode 0700.
Status ensure_private_directory(const std::string& path);

// Opens or creates "pellark-install.lock" in `staging_dir` (never through a symbolic link) and
// takes an exclusive flock without waiting. Closing the descriptor releases the lock.
Result<UniqueFd> acquire_install_lock(const std::string& staging_dir);

}  // namespace pellark
