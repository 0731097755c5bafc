/* Child processes of the runtime and its signal state. The stop signals (SIGINT, SIGTERM, SIGHUP)
 * and SIGCHLD stay blocked in the runtime and are taken synchronously, so no handler can run in
 * the middle of a mount or a cleanup. */
#ifndef PELLARK_RUNTIME_CHILD_H
#define PELLARK_RUNTIME_CHILD_H

#include <stdbool.h>
#include <sys/types.h>

/* Blocks the stop signals, SIGCHLD and SIGPIPE, remembering the state the runtime was started
 * with for the application. Call first. Returns 0, or -1 with errno set. */
int signals_init(void);

/* A stop signal that arrived and was not yet taken, consumed; 0 if none. */
int signals_take_pending(void);

/* Waits for the next stop signal and returns it. */
int signals_wait_stop(void);

struct child_spec {
  const char* const* argv; /* argv[0] is looked up in PATH */
  /* The application starts with the signal mask and SIGCHLD disposition the runtime was given
   * and inherits the standard descriptors. A helper starts as a user would start it (empty mask,
   * default dispositions) with its standard descriptors on /dev/null. */
  bool application;
  int pass_fd; /* a close-on-exec descriptor this child alone inherits; -1 for none */
};

/* Starts the child. Returns its pid, or -1 with errno set, also when the program could not be
 * executed (the child reports its exec error before it exits). */
pid_t child_start(const struct child_spec* spec);

/* Waits for `pid` to end and returns its wait status, or -1 with errno set. A stop signal that
 * arrives meanwhile is passed on to the child, unless the kernel sent it (a terminal's ^C already
 * reaches the whole foreground process group); the last one is stored in *received, which is
 * otherwise left as it was. */
int child_wait(pid_t pid, int* received);

/* Runs a helper to its end. Returns its exit code, or -1 when it could not be started, was killed
 * or could not be waited for. Stop signals arriving meanwhile are handled as by child_wait. */
int run_helper(const char* const* argv, int pass_fd, int* received);

#endif
