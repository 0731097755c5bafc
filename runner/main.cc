// Process entry: give the updater its one chance to act, then run the application.
#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "my_application.h"

namespace {

// Best-effort: every failure here means "no updater", silently.
void run_updater_bootstrap() {
  char exe[4096];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return;
  exe[length] = '\0';

  std::string library(exe);
  auto slash = library.rfind('/');
  if (slash != std::string::npos) library.resize(slash);
  library += "/lib/libpellark_updater.so";

  // Never closed: the UI code binds the request channel from this same loaded library.
  void* handle = dlopen(library.c_str(), RTLD_NOW);
  if (handle == nullptr) return;
  auto bootstrap = reinterpret_cast<void (*)()>(dlsym(handle, "pellark_update_bootstrap"));
  // May not return: an installer hook argument ends the process here.
  if (bootstrap != nullptr) bootstrap();
}

}  // namespace

int main(int argc, char** argv) {
  run_updater_bootstrap();
  MyApplication* app = my_application_new();
  int status = g_application_run(G_APPLICATION(app), argc, argv);
  if (app != nullptr) g_object_unref(app);
  return status;
}
