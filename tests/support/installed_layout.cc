// Temporary installed layouts and child-process runs for the tests.
#include "support/installed_layout.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

extern char** environ;

namespace pellark::testing {

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "test support: %s: %s\n", what.c_str(), std::strerror(errno));
  std::abort();
}

std::string xml_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void copy_file(const std::string& from, const std::string& to, unsigned mode) {
  write_file(to, read_file(from), mode);
}

// Variables the host, the library or the framework react to: a test states them explicitly.
constexpr const char* kScrubbed[] = {
    "PELLARK_HOST_MODE", "APPIMAGE",         "APPDIR",        "ARGV0",
    "VELOPACK_FIRSTRUN", "VELOPACK_RESTART", "VELOPACK_DEBUG"};

}  // namespace

std::string write_manifest_xml(const std::string& id, const std::string& version,
                               const std::string& os, const std::string& arch) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<package xmlns=\"http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd\">\n"
         "  <metadata>\n"
         "    <id>" +
         xml_escape(id) +
         "</id>\n"
         "    <title>Pellark</title>\n"
         "    <version>" +
         xml_escape(version) +
         "</version>\n"
         "    <authors>Pellark</authors>\n"
         "    <description>Pellark desktop</description>\n"
         "    <mainExe>pellark_app</mainExe>\n"
         "    <os>" +
         xml_escape(os) +
         "</os>\n"
         "    <machineArchitecture>" +
         xml_escape(arch) +
         "</machineArchitecture>\n"
         "  </metadata>\n"
         "</package>\n";
}

std::vector<std::string> HostRun::out_lines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    lines.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) die("open " + path);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("write " + path);
    done += static_cast<size_t>(n);
  }
  if (::fchmod(fd, mode) != 0) die("fchmod " + path);
  ::close(fd);
}

std::string read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("open " + path);
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("read " + path);
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string built_host_path() {
  return PELLARK_HOST_EXE;
}
std::string built_library_path() {
  return PELLARK_UPDATER_SO;
}

HostRun run_process(const HostOptions& options) {
  // Some tests close stdin early on purpose; a broken pipe must not end the test binary.
  static const bool sigpipe_ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)sigpipe_ignored;

  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const char* name : kScrubbed) env.erase(name);
  for (const auto& [name, value] : options.set_env) env[name] = value;
  for (const auto& name : options.unset_env) env.erase(name);

  std::vector<std::string> env_text;
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> arg_text;
  arg_text.push_back(options.program);
  arg_text.insert(arg_text.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : arg_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    die("pipe2");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, options.program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    errno = rc;
    die("posix_spawn " + options.program);
  }

  HostRun run;
  int in_fd = in[1];
  size_t in_done = 0;
  if (options.stdin_text.empty()) {
    ::close(in_fd);
    in_fd = -1;
  } else {
    (void)::fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  int fds[2] = {out[0], err[0]};
  std::string* sinks[2] = {&run.out, &run.err};
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  int wstatus = 0;
  bool reaped = false;
  char buffer[65536];

  auto drain = [&](int i, bool block) {
    while (fds[i] >= 0) {
      ssize_t n = ::read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
        if (block) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        ::close(fds[i]);
        fds[i] = -1;
      }
      return;
    }
  };

  while (!reaped) {
    if (waitpid(pid, &wstatus, WNOHANG) == pid) {
      reaped = true;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      (void)::kill(-pid, SIGKILL);
      (void)waitpid(pid, &wstatus, 0);
      reaped = true;
      run.timed_out = true;
      break;
    }
    pollfd p[3];
    int count = 0;
    int index[3];
    for (int i = 0; i < 2; ++i) {
      if (fds[i] >= 0) {
        p[count] = {fds[i], POLLIN, 0};
        index[count++] = i;
      }
    }
    if (in_fd >= 0) {
      p[count] = {in_fd, POLLOUT, 0};
      index[count++] = 2;
    }
    int ready = ::poll(p, static_cast<nfds_t>(count), 20);
    if (ready <= 0) continue;
    for (int k = 0; k < count; ++k) {
      if (p[k].revents == 0) continue;
      if (index[k] < 2) {
        drain(index[k], true);
      } else {
        ssize_t n = ::write(in_fd, options.stdin_text.data() + in_done,
                            options.stdin_text.size() - in_done);
        if (n > 0) in_done += static_cast<size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || in_done == options.stdin_text.size()) {
          ::close(in_fd);
          in_fd = -1;
        }
      }
    }
  }
  // The child is gone, so everything it wrote is already in the pipes; a process it started
  // may still hold them open, which is why this drains without waiting for end-of-file.
  for (int i = 0; i < 2; ++i) {
    if (fds[i] < 0) continue;
    (void)::fcntl(fds[i], F_SETFL, O_NONBLOCK);
    drain(i, false);
    if (fds[i] >= 0) ::close(fds[i]);
  }
  if (in_fd >= 0) ::close(in_fd);

  if (!run.timed_out && WIFEXITED(wstatus)) {
    run.exited = true;
    run.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    run.status = WTERMSIG(wstatus);
  }
  return run;
}

InstalledLayout::InstalledLayout(const std::string& id, const std::string& version,
                                 const std::string& os, const std::string& arch) {
  std::string templ = std::filesystem::temp_directory_path().string() + "/pellark-layout-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) die("mkdtemp");
  root_ = templ;
  std::filesystem::create_directories(bin_dir() + "/lib");
  std::filesystem::create_directories(apps_dir());
  copy_file(built_host_path(), host_path(), 0755);
  copy_file(built_library_path(), bin_dir() + "/lib/libpellark_updater.so", 0755);
  write_file(updater_path(), "#!/bin/sh\nexit 0\n", 0755);
  write_file(appimage_path(), "#!/bin/sh\nexit 0\n", 0755);
  write_manifest(id, version, os, arch);
}

InstalledLayout::~InstalledLayout() {
  std::error_code ignored;
  // Tests may leave directories without write permission behind.
  for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      (void)::chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(root_, ignored);
}

void InstalledLayout::write_manifest(const std::string& id, const std::string& version,
                                     const std::string& os, const std::string& arch) const {
  write_file(manifest_path(), write_manifest_xml(id, version, os, arch));
}

HostRun InstalledLayout::run_host(HostOptions options) const {
  if (options.program.empty()) options.program = host_path();
  if (options.cwd.empty()) options.cwd = root_;
  options.set_env.insert(options.set_env.begin(), {"APPIMAGE", appimage_path()});
  return run_process(options);
}

HostRun InstalledLayout::call(const std::vector<std::string>& requests, HostOptions options) const {
  options.args = requests;
  options.set_env.insert(options.set_env.begin(), {"PELLARK_HOST_MODE", "call"});
  return run_host(std::move(options));
}

HostRun InstalledLayout::bootstrap(const std::vector<std::string>& args,
                                   HostOptions options) const {
  options.args = args;
  options.set_env.insert(options.set_env.begin(), {"PELLARK_HOST_MODE", "bootstrap"});
  return run_host(std::move(options));
}

}  // namespace pellark::testing
