/* The public header as a C translation unit: prototypes usable from plain C. */
#include "pellark_updater.h"

#include <stddef.h>

int pellark_header_as_c(void) {
  void (*bootstrap)(void) = pellark_update_bootstrap;
  char* (*call)(const char*) = pellark_update_call;
  void (*release)(char*) = pellark_update_free;
  return bootstrap != NULL && call != NULL && release != NULL;
}
