// Extracts the first entry named ENTRY from ARCHIVE to TARGET with extract_entry, as the install
// does, and reports how long that took and how far resident memory rose above where it started.
// Usage: bench_extract ARCHIVE ENTRY TARGET
// Prints "<seconds> <peak RSS growth KiB>".
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/bundle.h"

namespace {

// A field of /proc/self/status in KiB, or -1.
long status_kib(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "re");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  size_t len = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, len) == 0 && line[len] == ':') {
      value = std::strtol(line + len + 1, nullptr, 10);
      break;
    }
  }
  (void)std::fclose(f);
  return value;
}

// Lets VmHWM start again from the current RSS, so the peak is the extraction's own.
bool reset_peak() {
  int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, "5", 1) == 1;
  (void)::close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ARCHIVE ENTRY TARGET\n", argv[0]);
    return 2;
  }
  const std::string entry = argv[2];
  auto bundle = pellark::open_bundle(argv[1]);
  if (!bundle) {
    std::fprintf(stderr, "bench_extract: cannot open the archive\n");
    return 1;
  }
  // Everything but the copy itself is in place: the archive is open and the name is at hand.
  if (!reset_peak()) {
    std::fprintf(stderr, "bench_extract: cannot reset the peak RSS\n");
    return 1;
  }
  const long before = status_kib("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  auto status = pellark::extract_entry(
      *bundle, [&](std::string_view name) { return name == entry; }, argv[3]);
  const auto end = std::chrono::steady_clock::now();
  const long peak = status_kib("VmHWM");
  if (!status) {
    std::fprintf(stderr, "bench_extract: extraction failed\n");
    return 1;
  }
  std::printf("%.6f %ld\n", std::chrono::duration<double>(end - start).count(), peak - before);
  return 0;
}
