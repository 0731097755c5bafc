// A throw-away installed AppImage layout around the real library and the test host, and a way
// to run the host in it as a separate process.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace pellark::testing {

// The channel's answers, written out here rather than taken from the library, so a changed text
// fails the tests. kIdentity is the answer for the default layout.
inline constexpr const char kFailure[] =
    R"({"error":"Native update validation failed. Check installation permissions and retry."})";
inline constexpr const char kFault[] = R"({"error":"Native updater failed safely."})";
inline constexpr const char kPrepared[] = R"({"result":{}})";
inline constexpr const char kIdentity[] =
    R"({"result":{"install":true,"packageId":"com.pellark.App","version":"1.0.0"}})";

// The ".nuspec" text for a manifest with these values (XML-escaped).
std::string write_manifest_xml(const std::string& id, const std::string& version,
                               const std::string& os = "linux", const std::string& arch = "x64");

struct HostOptions {
  std::vector<std::string> args;                             // argv[1..]
  std::vector<std::pair<std::string, std::string>> set_env;  // added or replaced
  std::vector<std::string> unset_env;                        // removed (after set_env)
  std::string cwd;                                           // empty: root()
  std::string stdin_text;
  std::string program;  // empty: host_path()
  std::chrono::milliseconds timeout{60000};
};

struct HostRun {
  bool exited = false;     // normal exit; `status` holds the exit code
  int status = -1;         // exit code, or the terminating signal when !exited
  bool timed_out = false;  // killed by the harness
  std::string out;
  std::string err;

  std::vector<std::string> out_lines() const;
  bool exited_with(int code) const { return exited && status == code; }
};

// Runs `program` with `options` (the environment is the test's own, minus the variables the
// host and the library react to, then `options` applied). Kills the process group on timeout.
HostRun run_process(const HostOptions& options);

class InstalledLayout {
 public:
  // Creates <tmp>/mnt/usr/bin/{pellark_host, UpdateNix, sq.version, lib/libpellark_updater.so}
  // and apps/Pellark.AppImage.
  explicit InstalledLayout(const std::string& id = "com.pellark.App",
                           const std::string& version = "1.0.0", const std::string& os = "linux",
                           const std::string& arch = "x64");
  ~InstalledLayout();
  InstalledLayout(const InstalledLayout&) = delete;
  InstalledLayout& operator=(const InstalledLayout&) = delete;

  const std::string& root() const { return root_; }
  std::string mount_root() const { return root_ + "/mnt"; }
  std::string bin_dir() const { return mount_root() + "/usr/bin"; }
  std::string host_path() const { return bin_dir() + "/pellark_host"; }
  std::string manifest_path() const { return bin_dir() + "/sq.version"; }
  std::string updater_path() const { return bin_dir() + "/UpdateNix"; }
  std::string apps_dir() const { return root_ + "/apps"; }
  std::string appimage_path() const { return apps_dir() + "/Pellark.AppImage"; }
  std::string staging_dir() const { return apps_dir() + "/.pellark-updates"; }
  std::string lock_path() const { return staging_dir() + "/pellark-install.lock"; }

  void write_manifest(const std::string& id, const std::string& version,
                      const std::string& os = "linux", const std::string& arch = "x64") const;

  // Runs the host from bin_dir() with APPIMAGE=appimage_path() unless `options` says otherwise.
  HostRun run_host(HostOptions options) const;
  // PELLARK_HOST_MODE=call with one request per argument ("--null" sends NULL).
  HostRun call(const std::vector<std::string>& requests, HostOptions options = {}) const;
  // PELLARK_HOST_MODE=bootstrap with `args` as argv[1..].
  HostRun bootstrap(const std::vector<std::string>& args, HostOptions options = {}) const;

 private:
  std::string root_;
};

// Small file helpers for fixtures; they abort the test binary on failure (ASSERT-free).
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);  // lstat succeeds

// The built host and library, as CMake placed them.
std::string built_host_path();
std::string built_library_path();

}  // namespace pellark::testing
