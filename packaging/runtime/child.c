/* Starting and waiting for the runtime's children with the signal state each one needs. */
#define _GNU_SOURCE
#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static sigset_t original_mask;
static struct sigaction original_sigchld;

static void stop_signals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

int signals_init(void) {
  sigset_t blocked;
  stop_signals(&blocked);
  sigaddset(&blocked, SIGCHLD);
  /* A closed pipe on standard output must end a write, not the runtime with a mount in place. */
  sigaddset(&blocked, SIGPIPE);
  if (sigprocmask(SIG_BLOCK, &blocked, &original_mask) != 0) return -1;
  /* An inherited SIG_IGN would let the kernel reap our children before we can wait for them. */
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  return sigaction(SIGCHLD, &dfl, &original_sigchld);
}

int signals_take_pending(void) {
  sigset_t set;
  stop_signals(&set);
  const struct timespec now = {0, 0};
  int last = 0, sig;
  while ((sig = sigtimedwait(&set, NULL, &now)) > 0 || (sig < 0 && errno == EINTR)) {
    if (sig > 0) last = sig;
  }
  return last;
}

int signals_wait_stop(void) {
  sigset_t set;
  stop_signals(&set);
  int sig;
  do {
    sig = sigwaitinfo(&set, NULL);
  } while (sig < 0);
  return sig;
}

/* In the forked child: only async-signal-safe calls from here to exec. */
static void prepare_child(const struct child_spec* spec) {
  if (spec->application) {
    (void)sigaction(SIGCHLD, &original_sigchld, NULL);
    (void)sigprocmask(SIG_SETMASK, &original_mask, NULL);
  } else {
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) (void)sigaction(sig, &dfl, NULL);
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, NULL);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      (void)dup2(null, STDIN_FILENO);
      (void)dup2(null, STDOUT_FILENO);
      (void)dup2(null, STDERR_FILENO);
      if (null > STDERR_FILENO) (void)close(null);
    }
  }
  if (spec->pass_fd >= 0) (void)fcntl(spec->pass_fd, F_SETFD, 0);
}

pid_t child_start(const struct child_spec* spec) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    int saved = errno;
    (void)close(report[0]);
    (void)close(report[1]);
    errno = saved;
    return -1;
  }
  if (pid == 0) {
    (void)close(report[0]);
    prepare_child(spec);
    execvp(spec->argv[0], (char* const*)spec->argv);
    int error = errno;
    ssize_t ignored = write(report[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  (void)close(report[1]);
  /* The pipe closes on a successful exec; otherwise it carries the child's errno. */
  int error = 0;
  ssize_t got;
  do {
    got = read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  (void)close(report[0]);
  if (got == (ssize_t)sizeof error) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errno = error;
    return -1;
  }
  return pid;
}

int child_wait(pid_t pid, int* received) {
  sigset_t set;
  stop_signals(&set);
  sigaddset(&set, SIGCHLD);
  for (;;) {
    int status;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    /* A SIGCHLD that arrives after waitpid stays pending, so this cannot miss the child's end. */
    siginfo_t info;
    int sig = sigwaitinfo(&set, &info);
    if (sig <= 0 || sig == SIGCHLD) continue;
    *received = sig;
    if (info.si_code != SI_KERNEL) (void)kill(pid, sig);
  }
}

int run_helper(const char* const* argv, int pass_fd, int* received) {
  const struct child_spec spec = {.argv = argv, .application = false, .pass_fd = pass_fd};
  pid_t pid = child_start(&spec);
  if (pid < 0) return -1;
  int status = child_wait(pid, received);
  if (status < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
