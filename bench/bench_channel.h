// What the channel benchmarks share: the library bound by name from lib/ beside the executable,
// as the UI code binds it, and a field of /proc/self/status.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace bench {

using CallFn = char* (*)(const char*);
using FreeFn = void (*)(char*);

struct Channel {
  CallFn call = nullptr;
  FreeFn release = nullptr;
};

// A kB field of /proc/self/status (VmRSS, VmHWM, ...), or -1.
inline long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::atol(line.c_str() + n + 1);
  }
  return -1;
}

// Loads lib/libpellark_updater.so beside this executable; false (with a message) on failure.
inline bool bind_channel(Channel* channel) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return false;
  exe[n] = '\0';
  std::string lib = std::string(exe, std::strrchr(exe, '/')) + "/lib/libpellark_updater.so";
  void* handle = dlopen(lib.c_str(), RTLD_NOW);
  if (!handle) {
    std::fprintf(stderr, "%s\n", dlerror());
    return false;
  }
  channel->call = reinterpret_cast<CallFn>(dlsym(handle, "pellark_update_call"));
  channel->release = reinterpret_cast<FreeFn>(dlsym(handle, "pellark_update_free"));
  return channel->call != nullptr && channel->release != nullptr;
}

}  // namespace bench
