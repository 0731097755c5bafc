/* Preloaded: records every dlopen call as "<calling object> <flags> <file>" in $PELLARK_DLOPEN_LOG,
 * then passes it on unchanged, so a test can see the exact flag word a caller used. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

__attribute__((visibility("default"))) void* dlopen(const char* file, int flags) {
  static void* (*real_dlopen)(const char*, int);
  if (real_dlopen == NULL) real_dlopen = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
  const char* path = getenv("PELLARK_DLOPEN_LOG");
  if (path != NULL) {
    Dl_info caller;
    const char* object = "?";
    if (dladdr(__builtin_return_address(0), &caller) != 0 && caller.dli_fname != NULL) {
      object = caller.dli_fname;
    }
    FILE* log = fopen(path, "ae");
    if (log != NULL) {
      fprintf(log, "%s %d %s\n", object, flags, file != NULL ? file : "(null)");
      fclose(log);
    }
  }
  return real_dlopen != NULL ? real_dlopen(file, flags) : NULL;
}
