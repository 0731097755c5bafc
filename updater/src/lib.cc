// The library's three exported C functions and its load-time initialiser.
#include "pellark_updater.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bootstrap.h"
#include "fault_barrier.h"
#include "request.h"

namespace {

// The caller frees with pellark_update_free, so the buffer must come from malloc.
char* c_copy(const std::string& text) {
  auto* buffer = static_cast<char*>(std::malloc(text.size() + 1));
  if (buffer == nullptr) std::abort();  // exhausted memory ends the process
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return buffer;
}

// glibc hands initialisers of a dlopen'ed library the process's argc/argv/envp: the bootstrap
// has no parameters and reads the arguments recorded here.
__attribute__((constructor)) void record_arguments(int argc, char** argv, char** /*envp*/) {
  pellark::run_in_fault_barrier([&] { pellark::record_process_arguments(argc, argv); }, [] {});
}

}  // namespace

extern "C" {

void pellark_update_bootstrap(void) {
  pellark::run_in_fault_barrier([] { pellark::run_bootstrap(); }, [] {});
}

char* pellark_update_call(const char* request) {
  if (request == nullptr) return c_copy(pellark::kMissingRequest);
  std::string response = pellark::run_in_fault_barrier(
      [&] { return pellark::handle_request(std::string_view(request)); },
      [] { return std::string(pellark::kFaultAnswer); });
  return c_copy(response);
}

void pellark_update_free(char* response) {
  std::free(response);
}

}  // extern "C"
