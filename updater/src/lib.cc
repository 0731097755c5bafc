// The library's three exported C functions.
#include "pellark_updater.h"

extern "C" {
void pellark_update_bootstrap(void) {}
char* pellark_update_call(const char*) { return nullptr; }
void pellark_update_free(char*) {}
}
