// Measures one "install" through the dlopen'ed library from inside an installed layout:
//   bench_install [<warm-up>...] <install request>
// A successful install ends the process from inside the library, so the figures are printed by
// an exit handler: "<nanoseconds from the call to the exit>\t<peak RSS growth in KiB>".
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

using CallFn = char* (*)(const char*);
using FreeFn = void (*)(char*);

long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::atol(line.c_str() + n + 1);
  }
  return -1;
}

std::chrono::steady_clock::time_point g_start;
long g_rss_before = 0;

void report() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                 g_start)
                .count();
  std::printf("%lld\t%ld\n", static_cast<long long>(ns), status_kib("VmHWM") - g_rss_before);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 2;
  exe[n] = '\0';
  std::string lib = std::string(exe, std::strrchr(exe, '/')) + "/lib/libpellark_updater.so";
  void* handle = dlopen(lib.c_str(), RTLD_NOW);
  if (!handle) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  auto call = reinterpret_cast<CallFn>(dlsym(handle, "pellark_update_call"));
  auto release = reinterpret_cast<FreeFn>(dlsym(handle, "pellark_update_free"));
  if (!call || !release) return 2;

  for (int i = 1; i + 1 < argc; ++i) release(call(argv[i]));
  // Resets the peak so that only what the install adds is measured.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  g_rss_before = status_kib("VmRSS");
  std::atexit(report);
  g_start = std::chrono::steady_clock::now();
  char* answer = call(argv[argc - 1]);
  std::fprintf(stderr, "install answered %s\n", answer);
  release(answer);
  std::_Exit(1);
}
