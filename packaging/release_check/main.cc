// pellark-release-check: would this release package install over that release? Exit status 0
// (it would), 1 (it would not) or 2 (usage error).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/crypto.h>

#include "checks.h"
#include "framework/paths.h"

namespace {

using pellark::release_check::Request;

constexpr const char kUsage[] =
    "usage: pellark-release-check --installed INSTALLED --package PACKAGE --display-version V\n"
    "                             [--sha256 HEX --length N]\n"
    "\n"
    "INSTALLED is an installed AppImage (read, not run) or its manifest file (sq.version).\n"
    "Prints one line per check, \"ok <check>\" or \"FAIL <check>: <reason>\", and exits 0 when\n"
    "the package would install over INSTALLED, 1 when it would not, 2 on a usage error.\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "pellark-release-check: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// The work directory's path, for the stop handler, which may use nothing but this buffer and
// async-signal-safe calls.
char g_work_dir[4096];

// SIGINT, SIGTERM, SIGHUP: remove the work directory, then die of the signal as if unhandled, so
// the caller sees the usual status. The main code is suspended meanwhile (one thread).
// Async-signal-safe, for the handler and the normal end alike.
void remove_work_dir() {
  int dir = ::open(g_work_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir >= 0) {
    (void)::unlinkat(dir, pellark::release_check::kPayloadCopy, 0);
    (void)::close(dir);
  }
  (void)::rmdir(g_work_dir);
}

extern "C" void on_stop(int sig) {
  remove_work_dir();
  (void)::signal(sig, SIG_DFL);
  (void)::raise(sig);  // delivered when the handler returns
}

void catch_stop_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // An ignored signal (nohup) stays ignored.
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigfillset(&action.sa_mask);
    (void)::sigaction(sig, &action, nullptr);
  }
}

// A private directory for what the check extracts, removed with everything in it.
class WorkDir {
 public:
  WorkDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/pellark-release-check-XXXXXX";
    if (pattern.size() >= sizeof g_work_dir || ::mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    std::memcpy(g_work_dir, path_.c_str(), path_.size() + 1);
    catch_stop_signals();
  }
  ~WorkDir() {
    if (!path_.empty()) remove_work_dir();
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int run(const Request& request) {
  WorkDir work;
  if (work.path().empty()) {
    std::fprintf(stderr, "pellark-release-check: cannot create a temporary directory: %s\n",
                 std::strerror(errno));
    return 1;
  }
  pellark::release_check::Report report(stdout);
  pellark::release_check::run_release_check(request, work.path(), report);
  return report.failed() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // OpenSSL would otherwise open its configuration file, without close-on-exec, on first use.
  (void)OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);

  Request request;
  std::optional<std::string> installed, package, display_version;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::optional<std::string> value;
    std::string_view name = arg;
    if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = std::string(arg.substr(eq + 1));
    }
    std::optional<std::string>* slot = name == "--installed"         ? &installed
                                       : name == "--package"         ? &package
                                       : name == "--display-version" ? &display_version
                                       : name == "--sha256"          ? &request.sha256
                                       : name == "--length"          ? &request.length
                                                                     : nullptr;
    if (slot == nullptr) return usage_error("unknown argument " + std::string(arg));
    if (*slot) return usage_error(std::string(name) + " given twice");
    if (!value) {
      if (i + 1 >= argc) return usage_error(std::string(name) + " needs a value");
      value = argv[++i];
    }
    *slot = std::move(value);
  }
  if (!installed || !package || !display_version)
    return usage_error("--installed, --package and --display-version are required");
  if (request.sha256.has_value() != request.length.has_value())
    return usage_error("--sha256 and --length go together");
  request.installed = *installed;
  request.package = *package;
  request.display_version = *display_version;

  int status = run(request);
  std::fflush(stdout);
  return status;
}
