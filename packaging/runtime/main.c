/* The AppImage runtime: this ELF program is followed in the same file by a squashfs image of the
 * AppDir. It mounts the image read-only (squashfuse) or, where FUSE cannot be used, extracts it
 * (unsquashfs), runs AppRun from it and removes every trace of the mount or extraction again.
 * The squashfuse program rather than its library: the runtime stays a static program that needs
 * no shared library on the target, and a missing squashfuse means extraction, not a loader error.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child.h"
#include "image_offset.h"
#include "remove_tree.h"

#define PROGRAM "pellark-appimage-runtime"

/* What the runtime holds, so that every way out can undo it. */
struct runtime {
  int self_fd;             /* our own file: helpers read the image through it, never by path */
  char self_path[32];      /* /proc/self/fd/N, valid in a helper that inherited self_fd */
  char offset_text[24];    /* the image offset in decimal */
  char appimage[PATH_MAX]; /* canonical path of the AppImage file */
  char mount_dir[PATH_MAX];
  bool mounted;
  char extract_dir[PATH_MAX]; /* private directory holding the extracted tree */
  int stop_signal;            /* the last stop signal taken while a helper ran */
};

static struct runtime rt = {.self_fd = -1};

/* Unmounts `dir`: directly when we may (root), otherwise through fusermount3; lazily when
 * something still uses the tree, so the mount is gone from the namespace either way. */
static bool unmount_dir(const char* dir) {
  int received = 0; /* a stop signal during cleanup changes nothing: the cleanup goes on */
  if (umount2(dir, 0) == 0) return true;
  const char* const plain[] = {"fusermount3", "-u", "-q", dir, NULL};
  if (run_helper(plain, -1, &received) == 0) return true;
  if (umount2(dir, MNT_DETACH) == 0) return true;
  const char* const lazy[] = {"fusermount3", "-u", "-z", "-q", dir, NULL};
  return run_helper(lazy, -1, &received) == 0;
}

/* Undoes the mount and the extraction. Returns false when something stayed behind. */
static bool cleanup(void) {
  bool clean = true;
  if (rt.mounted) {
    if (unmount_dir(rt.mount_dir))
      rt.mounted = false;
    else
      clean = false;
  }
  if (rt.mount_dir[0] != '\0' && !rt.mounted) {
    if (rmdir(rt.mount_dir) == 0 || errno == ENOENT)
      rt.mount_dir[0] = '\0';
    else
      clean = false;
  }
  if (rt.extract_dir[0] != '\0') {
    if (remove_tree(rt.extract_dir) == 0)
      rt.extract_dir[0] = '\0';
    else
      clean = false;
  }
  return clean;
}

/* Cleans up and ends the runtime with `status`; a trace left behind is reported on its line. */
static _Noreturn void finish(int status) {
  if (!cleanup()) {
    fprintf(stderr, PROGRAM ": could not remove %s\n",
            rt.mount_dir[0] != '\0' ? rt.mount_dir : rt.extract_dir);
    if (status == 0) status = 1;
  }
  exit(status);
}

/* One line on standard error, then out through the cleanup. */
static _Noreturn void fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs(PROGRAM ": ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  finish(status);
}

static void stop_if_interrupted(void) {
  int sig = signals_take_pending();
  if (sig == 0) sig = rt.stop_signal;
  if (sig != 0) finish(128 + sig);
}

static bool join(char* out, size_t size, const char* a, const char* b) {
  int n = snprintf(out, size, "%s%s", a, b);
  return n >= 0 && (size_t)n < size;
}

/* A fresh private (0700) directory `base` + up to six letters of the AppImage's name + random. */
static bool make_private_dir(char* out, size_t size, const char* base) {
  const char* name = strrchr(rt.appimage, '/');
  name = name != NULL ? name + 1 : rt.appimage;
  char letters[7];
  size_t n = 0;
  for (; n < 6 && name[n] != '\0'; ++n) {
    char c = name[n];
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_';
    letters[n] = plain ? c : '_';
  }
  letters[n] = '\0';
  int written = snprintf(out, size, "%s%sXXXXXX", base, letters);
  if (written < 0 || (size_t)written >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  return mkdtemp(out) != NULL;
}

static bool fuse_usable(void) {
  int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  (void)close(fd);
  return true;
}

/* Mounts the image at a fresh /tmp/.mount_* directory. On failure nothing is left behind. */
static bool mount_image(void) {
  if (!fuse_usable()) return false;
  if (!make_private_dir(rt.mount_dir, sizeof rt.mount_dir, "/tmp/.mount_")) {
    rt.mount_dir[0] = '\0';
    return false;
  }
  char options[64];
  snprintf(options, sizeof options, "ro,nosuid,nodev,offset=%s", rt.offset_text);
  const char* const argv[] = {"squashfuse", "-o", options, rt.self_path, rt.mount_dir, NULL};
  /* squashfuse returns once the mount is in place and its server runs in the background. */
  if (run_helper(argv, rt.self_fd, &rt.stop_signal) == 0) {
    rt.mounted = true;
    return true;
  }
  if (rmdir(rt.mount_dir) == 0) rt.mount_dir[0] = '\0';
  return false;
}

/* Extracts the image (or the files matching `pattern`, if given) into `dest`. */
static bool extract_image(const char* dest, const char* pattern, bool overwrite) {
  const char* argv[12];
  size_t n = 0;
  argv[n++] = "unsquashfs";
  argv[n++] = "-q";
  argv[n++] = "-n";
  if (overwrite) argv[n++] = "-f";
  argv[n++] = "-o";
  argv[n++] = rt.offset_text;
  argv[n++] = "-d";
  argv[n++] = dest;
  argv[n++] = rt.self_path;
  if (pattern != NULL) argv[n++] = pattern;
  argv[n] = NULL;
  return run_helper(argv, rt.self_fd, &rt.stop_signal) == 0;
}

/* The tree to run from: the mounted image, or a private extracted copy. */
static const char* prepare_appdir(bool extract_only) {
  if (!extract_only && mount_image()) return rt.mount_dir;
  stop_if_interrupted();
  const char* tmp = getenv("TMPDIR");
  char base[PATH_MAX];
  if (tmp == NULL || tmp[0] != '/' || !join(base, sizeof base, tmp, "/.extract_"))
    strcpy(base, "/tmp/.extract_");
  if (!make_private_dir(rt.extract_dir, sizeof rt.extract_dir, base)) {
    rt.extract_dir[0] = '\0';
    fail(127, "cannot create a directory to extract %s into: %s", rt.appimage, strerror(errno));
  }
  /* The image's root directory brings its own mode; the private directory around it stays. */
  static char root[PATH_MAX];
  if (!join(root, sizeof root, rt.extract_dir, "/root"))
    fail(127, "path too long: %s/root", rt.extract_dir);
  if (!extract_image(root, NULL, false)) {
    stop_if_interrupted();
    fail(127, "cannot %s the image at offset %s of %s",
         extract_only ? "extract" : "mount or extract", rt.offset_text, rt.appimage);
  }
  return root;
}

static void set_variable(const char* name, const char* value) {
  if (setenv(name, value, 1) != 0) fail(127, "cannot set %s: %s", name, strerror(errno));
}

static _Noreturn void run_application(int argc, char** argv) {
  char owd[PATH_MAX];
  bool have_owd = getcwd(owd, sizeof owd) != NULL;
  const char* extract = getenv("APPIMAGE_EXTRACT_AND_RUN");
  const char* appdir = prepare_appdir(extract != NULL && strcmp(extract, "1") == 0);
  stop_if_interrupted();

  set_variable("APPIMAGE", rt.appimage);
  set_variable("APPDIR", appdir);
  set_variable("ARGV0", argc > 0 ? argv[0] : "");
  /* A working directory that is gone has no name to pass on, nor may an inherited one stand. */
  if (have_owd)
    set_variable("OWD", owd);
  else
    (void)unsetenv("OWD");

  static char apprun[PATH_MAX];
  if (!join(apprun, sizeof apprun, appdir, "/AppRun")) fail(127, "path too long: %s", appdir);
  const char** app_argv = calloc((size_t)(argc > 0 ? argc : 1) + 1, sizeof *app_argv);
  if (app_argv == NULL) fail(127, "out of memory");
  app_argv[0] = apprun;
  for (int i = 1; i < argc; ++i) app_argv[i] = argv[i];
  const struct child_spec spec = {.argv = app_argv, .application = true, .pass_fd = -1};
  pid_t pid = child_start(&spec);
  if (pid < 0) fail(127, "cannot run %s: %s", apprun, strerror(errno));
  free(app_argv);

  int received = 0;
  int status = child_wait(pid, &received);
  if (status < 0) fail(127, "lost AppRun: %s", strerror(errno));
  finish(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

static void print_help(void) {
  printf(
      "Usage: %s [ARGUMENTS...]\n"
      "Runs the application in this AppImage with ARGUMENTS. The runtime's own options, never\n"
      "passed on:\n"
      "  --appimage-offset           print the offset of the squashfs image in this file\n"
      "  --appimage-extract [PATTERN]\n"
      "                              extract the image (or the matching files) into\n"
      "                              ./squashfs-root\n"
      "  --appimage-mount            mount the image, print the mount point and keep it until\n"
      "                              interrupted\n"
      "  --appimage-help             print this help\n"
      "  --appimage-version          print the runtime's version\n"
      "Environment: APPIMAGE_EXTRACT_AND_RUN=1 extracts to a temporary directory instead of\n"
      "mounting; AppRun gets APPIMAGE, APPDIR, ARGV0 and OWD.\n",
      rt.appimage);
}

static _Noreturn void runtime_option(int argc, char** argv) {
  const char* option = argv[1];
  if (strcmp(option, "--appimage-offset") == 0 && argc == 2) {
    printf("%s\n", rt.offset_text);
    finish(fflush(stdout) == 0 ? 0 : 1);
  }
  if (strcmp(option, "--appimage-help") == 0 && argc == 2) {
    print_help();
    finish(fflush(stdout) == 0 ? 0 : 1);
  }
  if (strcmp(option, "--appimage-version") == 0 && argc == 2) {
    printf("%s\n", PROGRAM " " PELLARK_RUNTIME_VERSION);
    finish(fflush(stdout) == 0 ? 0 : 1);
  }
  if (strcmp(option, "--appimage-extract") == 0 && argc <= 3) {
    if (!extract_image("squashfs-root", argc == 3 ? argv[2] : NULL, true)) {
      stop_if_interrupted();
      fail(1, "cannot extract the image of %s into squashfs-root", rt.appimage);
    }
    stop_if_interrupted();
    finish(0);
  }
  if (strcmp(option, "--appimage-mount") == 0 && argc == 2) {
    if (!mount_image()) fail(1, "cannot mount the image of %s", rt.appimage);
    stop_if_interrupted();
    printf("%s\n", rt.mount_dir);
    (void)fflush(stdout);
    (void)signals_wait_stop();
    finish(0);
  }
  fail(2, "unknown option or arguments: %s (see --appimage-help)", option);
}

/* Descriptors 0 to 2 must be open, or the first file we open would take one of their numbers and
 * a helper would get it replaced by /dev/null (or the application read from it as its input).
 * These are the standard streams every child inherits, so not close-on-exec. */
static void ensure_standard_descriptors(void) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    int null = open("/dev/null", O_RDWR); /* the lowest free number: this one */
    if (null != fd) {
      fprintf(stderr, PROGRAM ": cannot open /dev/null\n");
      exit(127);
    }
  }
}

int main(int argc, char** argv) {
  ensure_standard_descriptors();
  if (signals_init() != 0) fail(127, "cannot set up signals: %s", strerror(errno));
  rt.self_fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (rt.self_fd < 0) fail(127, "cannot open /proc/self/exe: %s", strerror(errno));
  snprintf(rt.self_path, sizeof rt.self_path, "/proc/self/fd/%d", rt.self_fd);
  if (realpath("/proc/self/exe", rt.appimage) == NULL) {
    ssize_t n = readlink("/proc/self/exe", rt.appimage, sizeof rt.appimage - 1);
    if (n < 0) fail(127, "cannot read /proc/self/exe: %s", strerror(errno));
    rt.appimage[n] = '\0';
  }
  uint64_t offset = 0;
  if (image_offset(rt.self_fd, &offset) != 0)
    fail(127, "%s is not an ELF file with a section header table", rt.appimage);
  snprintf(rt.offset_text, sizeof rt.offset_text, "%" PRIu64, offset);

  if (argc > 1 && strncmp(argv[1], "--appimage-", 11) == 0) runtime_option(argc, argv);
  run_application(argc, argv);
}
