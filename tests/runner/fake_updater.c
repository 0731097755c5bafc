/* An updater library for the loading tests: logs its start-up entry and can end the process
 * there, the way a handled installer hook does. */
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

__attribute__((constructor)) static void loaded(void) { log_line("loaded"); }

__attribute__((visibility("default"))) void pellark_update_bootstrap(void) {
  log_line("bootstrap");
  const char* status = getenv("PELLARK_FAKE_EXIT");
  if (status != NULL) exit(atoi(status));
}

__attribute__((visibility("default"))) char* pellark_update_call(const char* request) {
  (void)request;
  return strdup("{\"result\":{\"install\":false,\"packageId\":\"fake\",\"version\":\"9.9.9\"}}");
}

__attribute__((visibility("default"))) void pellark_update_free(char* response) { free(response); }
