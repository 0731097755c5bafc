// Measures the request channel from inside an installed layout, through the dlopen'ed library
// as the UI code reaches it:
//   bench_channel identity <calls>           -> "<median ns per identity call> <median ns per
//                                               stat of $APPIMAGE>" (the in-run reference)
//   bench_channel request [<warm-up>...] <request text>
//                                             -> "<answer>\t<peak RSS growth in KiB>"
// The warm-up requests run first, so one-time costs (lazy binding, the digest library's set-up)
// are not counted as growth of the measured request.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_channel.h"

namespace {}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  bench::Channel channel;
  if (!bench::bind_channel(&channel)) return 2;

  std::string mode = argv[1];
  if (mode == "identity") {
    int calls = std::atoi(argv[2]);
    if (calls <= 0) return 2;
    std::vector<long long> ns;
    ns.reserve(static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) {
      auto start = std::chrono::steady_clock::now();
      char* answer = channel.call(R"({"method":"identity"})");
      auto stop = std::chrono::steady_clock::now();
      if (std::strncmp(answer, R"({"result":)", 10) != 0) {
        std::fprintf(stderr, "identity failed: %s\n", answer);
        return 1;
      }
      channel.release(answer);
      ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count());
    }
    const char* appimage = std::getenv("APPIMAGE");
    if (appimage == nullptr) return 2;
    std::vector<long long> ref;
    ref.reserve(static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) {
      struct stat st {};
      auto start = std::chrono::steady_clock::now();
      (void)stat(appimage, &st);
      auto stop = std::chrono::steady_clock::now();
      ref.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count());
    }
    std::nth_element(ns.begin(), ns.begin() + calls / 2, ns.end());
    std::nth_element(ref.begin(), ref.begin() + calls / 2, ref.end());
    std::printf("%lld %lld\n", ns[static_cast<size_t>(calls / 2)],
                ref[static_cast<size_t>(calls / 2)]);
    return 0;
  }
  if (mode == "request") {
    for (int i = 2; i + 1 < argc; ++i) channel.release(channel.call(argv[i]));
    // Resets the peak so that only what the call adds is measured.
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    long before = bench::status_kib("VmRSS");
    char* answer = channel.call(argv[argc - 1]);
    long peak = bench::status_kib("VmHWM");
    std::printf("%s\t%ld\n", answer, peak - before);
    channel.release(answer);
    return 0;
  }
  return 2;
}
