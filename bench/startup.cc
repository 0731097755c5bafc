// Times the start-up entry as the application calls it: the library is loaded with dlopen and
// `pellark_update_bootstrap` is called many times (it is repeatable without a hook argument).
// Usage: bench_startup LIBRARY ITERATIONS STAT_PATH
// Prints "<median bootstrap ns> <median stat ns>"; the stat of STAT_PATH is the in-run reference.
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

template <class F>
long long median_ns(int iterations, F&& body) {
  std::vector<long long> samples;
  samples.reserve(static_cast<size_t>(iterations));
  for (int i = 0; i < iterations; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const auto end = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
  }
  std::nth_element(samples.begin(), samples.begin() + iterations / 2, samples.end());
  return samples[static_cast<size_t>(iterations / 2)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s LIBRARY ITERATIONS STAT_PATH\n", argv[0]);
    return 2;
  }
  const int iterations = std::atoi(argv[2]);
  if (iterations <= 0) return 2;
  void* handle = dlopen(argv[1], RTLD_NOW);
  if (handle == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  auto bootstrap = reinterpret_cast<void (*)()>(dlsym(handle, "pellark_update_bootstrap"));
  if (bootstrap == nullptr) return 2;

  for (int i = 0; i < 10; ++i) bootstrap();  // first start creates the directories
  const long long ours = median_ns(iterations, bootstrap);
  const char* stat_path = argv[3];
  const long long reference = median_ns(iterations, [stat_path] {
    struct stat st {};
    (void)stat(stat_path, &st);
  });
  std::printf("%lld %lld\n", ours, reference);
  return 0;
}
