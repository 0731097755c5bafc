// Reclaiming the work directories that dead installs left in "VelopackTemp": a killed install
// never removes its own, so whoever holds the install lock next does.
#pragma once

#include <string>

#include "framework/locator.h"

namespace pellark {

// Where installs work, inside the staging directory, and the names they use there.
inline constexpr char kWorkRootName[] = "VelopackTemp";
inline constexpr char kWorkDirPrefix[] = "tmp_";
inline constexpr char kPreviousAppImageName[] = "previous.AppImage";

// Removes every "tmp_*" directory directly inside <packages_dir>/VelopackTemp, except the newest
// one that holds nothing but a "previous.AppImage" other than the installed AppImage's own file:
// that one is the only copy of an older release. Call only while holding the install lock.
// Symbolic links are never followed, entries that are not "tmp_*" directories are left alone,
// and whatever cannot be removed stays: the caller goes on either way.
void reclaim_work_directories(const InstallationConfig& config);

// Removes the directory `path` and everything below it, never following a symbolic link. Best
// effort: whatever cannot be removed stays.
void remove_tree(const std::string& path);

}  // namespace pellark
