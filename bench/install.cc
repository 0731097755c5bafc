// Measures one "install" through the dlopen'ed library from inside an installed layout:
//   bench_install [<warm-up>...] <install request>
// A successful install ends the process from inside the library, so the figures are printed by
// an exit handler: "<nanoseconds from the call to the exit>\t<peak RSS growth in KiB>".
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bench_channel.h"

namespace {

std::chrono::steady_clock::time_point g_start;
long g_rss_before = 0;

void report() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                 g_start)
                .count();
  std::printf("%lld\t%ld\n", static_cast<long long>(ns), bench::status_kib("VmHWM") - g_rss_before);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  bench::Channel channel;
  if (!bench::bind_channel(&channel)) return 2;

  for (int i = 1; i + 1 < argc; ++i) channel.release(channel.call(argv[i]));
  // Resets the peak so that only what the install adds is measured.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  g_rss_before = bench::status_kib("VmRSS");
  std::atexit(report);
  g_start = std::chrono::steady_clock::now();
  char* answer = channel.call(argv[argc - 1]);
  std::fprintf(stderr, "install answered %s\n", answer);
  channel.release(answer);
  std::_Exit(1);
}
