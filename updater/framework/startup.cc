// The framework's start-up run: installer hook arguments end the process, then the packages
// directory is scanned and tidied and the marker variables are consumed.
#include "startup.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "bundle.h"
#include "paths.h"
#include "unique_fd.h"
#include "utf8.h"

namespace pellark {
namespace {

constexpr std::array<std::string_view, 4> kHookArguments = {
    "--veloapp-install", "--veloapp-updated", "--veloapp-obsolete", "--veloapp-uninstall"};

// ASCII only: the installer's hook names are ASCII, and no locale may change what matches.
std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool is_hook_argument(std::string_view argument) {
  const std::string lowered = ascii_lower(argument);
  return std::ranges::find(kHookArguments, std::string_view(lowered)) != kHookArguments.end();
}

// A debugging installer sets VELOPACK_DEBUG to keep the hooked process alive; a value that is
// not UTF-8 is treated as absent.
bool debug_requested() {
  const char* value = std::getenv("VELOPACK_DEBUG");
  return value != nullptr && is_valid_utf8(value);
}

struct DirCloser {
  void operator()(DIR* dir) const { (void)closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Names directly inside `dir` that match the package pattern. The directory path is opened as
// it is, never expanded, so pattern characters in it stay literal.
std::vector<std::string> matching_names(const std::string& dir) {
  std::vector<std::string> names;
  if (has_nul(dir)) return names;
  UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return names;
  UniqueDir listing(fdopendir(fd.get()));
  if (!listing) return names;
  (void)fd.release();  // the DIR owns it now
  while (const dirent* entry = readdir(listing.get())) {
    // Flags 0: no FNM_PERIOD, so "*" also covers a leading ".".
    if (fnmatch("*-full.nupkg", entry->d_name, 0) == 0) names.emplace_back(entry->d_name);
  }
  std::ranges::sort(names);  // std::string compares as unsigned bytes
  return names;
}

}  // namespace

std::vector<PackageEntry> scan_packages(const std::string& packages_dir) {
  std::vector<PackageEntry> packages;
  for (const std::string& name : matching_names(packages_dir)) {
    std::string path = join_path(packages_dir, name);
    auto bundle = open_bundle(path);
    if (!bundle) continue;
    auto manifest = bundle_manifest(*bundle);
    if (!manifest) continue;
    packages.push_back(PackageEntry{std::move(path), std::move(*manifest)});
  }
  return packages;
}

std::optional<PackageEntry> find_pending_package(const std::vector<PackageEntry>& packages,
                                                 const Version& installed) {
  const PackageEntry* best = nullptr;
  for (const PackageEntry& entry : packages) {
    if (entry.manifest.version <= installed) continue;
    // >= so that the last of several equal versions wins.
    if (best == nullptr || entry.manifest.version >= best->manifest.version) best = &entry;
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

void clean_packages_directory(const std::vector<PackageEntry>& packages, const Version& installed,
                              const std::optional<PackageEntry>& pending) {
  for (const PackageEntry& entry : packages) {
    const Version& version = entry.manifest.version;
    if (version == installed) continue;
    if (pending && version == pending->manifest.version) continue;
    // unlink removes a symbolic link itself, never its target; a failure leaves the file.
    (void)unlink(entry.path.c_str());
  }
}

void startup_run(const StartupConfig& config) {
  const std::vector<std::string> arguments = config.arguments;

  // Decided before any file is looked at, so a hooked start costs nothing.
  if (arguments.size() >= 2 && is_hook_argument(arguments[0]) && !debug_requested()) {
    std::exit(0);  // the normal exit path: the host's exit handlers still run
  }

  auto record = installation_from_config(config.installation);
  if (!record) return;
  const Version& installed = record->manifest.version;

  const std::vector<PackageEntry> packages = scan_packages(record->config.packages_dir);
  const std::optional<PackageEntry> pending = find_pending_package(packages, installed);

  (void)unsetenv("VELOPACK_FIRSTRUN");
  (void)unsetenv("VELOPACK_RESTART");

  clean_packages_directory(packages, installed, pending);
}

}  // namespace pellark
