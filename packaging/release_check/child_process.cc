// Spawning with both output streams captured through close-on-exec pipes.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "framework/unique_fd.h"

extern char** environ;

namespace pellark::release_check {

namespace {

// A listing or a manifest is small; this only stops a runaway helper from eating memory.
constexpr size_t kMaxOutput = 64u << 20;

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { (void)posix_spawn_file_actions_init(&actions); }
  ~FileActions() { (void)posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttr {
  posix_spawnattr_t attr;
  SpawnAttr() { (void)posix_spawnattr_init(&attr); }
  ~SpawnAttr() { (void)posix_spawnattr_destroy(&attr); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
};

Checked<std::pair<UniqueFd, UniqueFd>> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(std::string("pipe: ") + strerror(errno));
  return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Reads both pipes until both reach end of file.
Checked<void> drain(UniqueFd out_fd, UniqueFd err_fd, ProgramRun& run) {
  UniqueFd* fds[2] = {&out_fd, &err_fd};
  std::string* sinks[2] = {&run.out, &run.err};
  char buffer[16384];
  while (out_fd || err_fd) {
    pollfd polled[2];
    nfds_t count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
      if (!*fds[i]) continue;
      polled[count] = {fds[i]->get(), POLLIN, 0};
      which[count++] = i;
    }
    if (::poll(polled, count, -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(std::string("poll: ") + strerror(errno));
    }
    for (nfds_t k = 0; k < count; ++k) {
      if (polled[k].revents == 0) continue;
      int i = which[k];
      ssize_t n = ::read(fds[i]->get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i]->reset();
        continue;
      }
      if (sinks[i]->size() + static_cast<size_t>(n) > kMaxOutput)
        return std::unexpected(std::string("more than 64 MiB of output"));
      sinks[i]->append(buffer, static_cast<size_t>(n));
    }
  }
  return {};
}

}  // namespace

Checked<ProgramRun> run_program(const std::vector<std::string>& argv) {
  auto out_pipe = make_pipe();
  if (!out_pipe) return std::unexpected(out_pipe.error());
  auto err_pipe = make_pipe();
  if (!err_pipe) return std::unexpected(err_pipe.error());

  FileActions files;
  (void)posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
  (void)posix_spawn_file_actions_adddup2(&files.actions, out_pipe->second.get(), 1);
  (void)posix_spawn_file_actions_adddup2(&files.actions, err_pipe->second.get(), 2);
  SpawnAttr attr;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  (void)posix_spawnattr_setsigmask(&attr.attr, &none);
  (void)posix_spawnattr_setsigdefault(&attr.attr, &all);
  (void)posix_spawnattr_setflags(&attr.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  for (std::string& arg : copies) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, args[0], &files.actions, &attr.attr, args.data(), environ);
  if (rc != 0) return std::unexpected(argv[0] + ": " + strerror(rc));
  out_pipe->second.reset();
  err_pipe->second.reset();

  ProgramRun run;
  auto drained = drain(std::move(out_pipe->first), std::move(err_pipe->first), run);
  if (!drained) (void)::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(std::string("waitpid: ") + strerror(errno));
  }
  if (!drained) return std::unexpected(argv[0] + ": " + drained.error());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace pellark::release_check
