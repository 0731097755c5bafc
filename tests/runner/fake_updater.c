/* An updater library for the loading tests: logs its start-up entry and can end the process
 * there, the way a handled installer hook does. With PELLARK_FAKE_PROBE set it also logs which
 * GLib/GTK types exist and how many threads run, at start-up and at the first request. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void log_line(const char* line) {
  const char* path = getenv("PELLARK_FAKE_LOG");
  if (path == NULL) return;
  FILE* f = fopen(path, "ae");
  if (f == NULL) return;
  fprintf(f, "%s\n", line);
  fclose(f);
}

/* "<when> types=<registered ones, comma-separated> threads=<n>". The type system is looked up
 * by name, not linked: the probe must not be what brings GLib into the process. A type that is
 * not registered has no instance, so an empty list means no such object exists yet. */
static void log_probe(const char* when) {
  if (getenv("PELLARK_FAKE_PROBE") == NULL) return;
  static const char* const names[] = {"GApplication",  "GtkApplication", "MyApplication",
                                      "GtkWidget",     "GtkWindow",      "GdkDisplay",
                                      "FlDartProject", "FlView"};
  typedef unsigned long (*type_from_name_fn)(const char*);
  type_from_name_fn type_from_name = (type_from_name_fn)dlsym(RTLD_DEFAULT, "g_type_from_name");
  char line[512];
  int n = snprintf(line, sizeof line, "%s types=", when);
  const char* separator = "";
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    if (type_from_name == NULL || type_from_name(names[i]) == 0) continue;
    n += snprintf(line + n, sizeof line - (size_t)n, "%s%s", separator, names[i]);
    separator = ",";
  }
  int threads = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks != NULL) {
    for (struct dirent* e = readdir(tasks); e != NULL; e = readdir(tasks)) {
      if (e->d_name[0] != '.') ++threads;
    }
    closedir(tasks);
  }
  snprintf(line + n, sizeof line - (size_t)n, " threads=%d", threads);
  log_line(line);
}

__attribute__((constructor)) static void loaded(void) {
  log_line("loaded");
}

__attribute__((visibility("default"))) void pellark_update_bootstrap(void) {
  log_line("bootstrap");
  log_probe("bootstrap");
  const char* status = getenv("PELLARK_FAKE_EXIT");
  if (status != NULL) exit(atoi(status));
}

/* PELLARK_FAKE_ANSWER replaces the answer, so the UI can be given answers it does not expect. */
__attribute__((visibility("default"))) char* pellark_update_call(const char* request) {
  (void)request;
  static int probed = 0;
  if (!probed) {
    probed = 1;
    log_probe("call");
  }
  const char* answer = getenv("PELLARK_FAKE_ANSWER");
  return strdup(
      answer != NULL
          ? answer
          : "{\"result\":{\"install\":false,\"packageId\":\"fake\",\"version\":\"9.9.9\"}}");
}

__attribute__((visibility("default"))) void pellark_update_free(char* response) {
  free(response);
}
