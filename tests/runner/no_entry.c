/* A library at the updater's path that lacks every updater symbol. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void loaded(void) {
  const char* path = getenv("PELLARK_FAKE_LOG");
  if (path == NULL) return;
  FILE* f = fopen(path, "ae");
  if (f == NULL) return;
  fputs("loaded\n", f);
  fclose(f);
}

__attribute__((visibility("default"))) int pellark_unrelated(void) {
  return 0;
}
