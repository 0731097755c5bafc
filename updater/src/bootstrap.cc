// The start-up entry: builds the configuration, checks the always-empty packages directory and
// hands the process arguments to the framework's start-up run.
#include "bootstrap.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "framework/paths.h"
#include "framework/startup.h"
#include "framework/unique_fd.h"
#include "framework/utf8.h"
#include "private_dir.h"

namespace pellark {
namespace {

// Set once by the load-time initialiser, before any other code of the library runs.
int g_argc = 0;
char** g_argv = nullptr;

struct DirCloser {
  void operator()(DIR* dir) const { (void)closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// True only for a directory that can be listed and holds nothing but "." and "..": anything
// placed there switches the framework's start-up run off.
bool is_empty_directory(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return false;
  UniqueDir dir(fdopendir(fd.get()));
  if (!dir) return false;
  (void)fd.release();  // the DIR owns it now
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) return errno == 0;
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return false;
  }
}

// argv[1..] as UTF-8. Every element, the program name included, must be valid: the UI code
// receives the same vector, and a start-up run on a different view of it would be wrong.
std::vector<std::string> collect_arguments() {
  std::vector<std::string> arguments;
  if (g_argv == nullptr) return arguments;
  for (int i = 0; i < g_argc && g_argv[i] != nullptr; ++i) {
    if (!is_valid_utf8(g_argv[i])) internal_fault("process argument is not UTF-8");
    if (i > 0) arguments.emplace_back(g_argv[i]);
  }
  return arguments;
}

}  // namespace

void record_process_arguments(int argc, char** argv) {
  g_argc = argc;
  g_argv = argv;
}

void run_bootstrap() {
  // Outside an installed AppImage this fails and nothing is created.
  auto config = current_installation_config();
  if (!config) return;

  // The framework gets a directory that is always empty, so its own package search and
  // cleanup never see what the request channel has downloaded or staged.
  const std::string empty_dir = join_path(config->packages_dir, "bootstrap-empty");
  if (!ensure_private_directory(empty_dir)) return;
  if (!is_empty_directory(empty_dir)) return;

  StartupConfig startup{collect_arguments(), std::move(*config)};
  startup.installation.packages_dir = empty_dir;
  startup_run(startup);
}

}  // namespace pellark
