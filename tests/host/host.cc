// Test host: loads lib/libpellark_updater.so from beside itself exactly as the application does
// and drives it as PELLARK_HOST_MODE says, so tests see the library from a real process.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using BootstrapFn = void (*)();
using CallFn = char* (*)(const char*);
using FreeFn = void (*)(char*);

struct Library {
  BootstrapFn bootstrap = nullptr;
  CallFn call = nullptr;
  FreeFn free = nullptr;
};

// Status 2 (with a note on stderr) tells a test that the host could not reach the library at
// all, which is never an answer of the library itself.
[[noreturn]] void give_up(const char* what) {
  std::fprintf(stderr, "pellark_host: %s\n", what);
  std::exit(2);
}

Library load_library() {
  std::string exe(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
  if (n <= 0 || static_cast<size_t>(n) >= exe.size()) give_up("cannot read /proc/self/exe");
  exe.resize(static_cast<size_t>(n));
  std::string dir = exe.substr(0, exe.rfind('/'));
  std::string path = dir + "/lib/libpellark_updater.so";
  void* handle = dlopen(path.c_str(), RTLD_NOW);  // never closed, like the application
  if (handle == nullptr) give_up(dlerror());
  Library lib;
  lib.bootstrap = reinterpret_cast<BootstrapFn>(dlsym(handle, "pellark_update_bootstrap"));
  lib.call = reinterpret_cast<CallFn>(dlsym(handle, "pellark_update_call"));
  lib.free = reinterpret_cast<FreeFn>(dlsym(handle, "pellark_update_free"));
  if (!lib.bootstrap || !lib.call || !lib.free) give_up("missing symbol");
  return lib;
}

std::string ask(const Library& lib, const char* request) {
  char* response = lib.call(request);
  if (response == nullptr) give_up("NULL response");
  std::string text(response);
  lib.free(response);
  return text;
}

const char* request_arg(const std::string& arg) {
  return arg == "--null" ? nullptr : arg.c_str();
}

void print_line(const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

int run_bootstrap(const Library& lib, int argc, char** argv) {
  lib.bootstrap();
  print_line("returned");
  for (int i = 1; i < argc; ++i) print_line(std::string("arg:") + argv[i]);
  for (const char* name : {"VELOPACK_FIRSTRUN", "VELOPACK_RESTART"}) {
    const char* value = std::getenv(name);
    print_line(std::string("env:") + name + "=" + (value ? value : "(unset)"));
  }
  return 3;
}

int run_calls(const Library& lib, int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) print_line(ask(lib, request_arg(argv[i])));
    return 0;
  }
  std::string line;
  while (std::getline(std::cin, line)) print_line(ask(lib, request_arg(line)));
  return 0;
}

int run_threads(const Library& lib, int argc, char** argv) {
  if (argc < 4) give_up("call-threads needs: threads seconds requests...");
  int threads = std::atoi(argv[1]);
  double seconds = std::atof(argv[2]);
  std::vector<std::string> requests(argv + 3, argv + argc);
  std::mutex mutex;
  std::map<std::string, long> counts;
  auto until = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::map<std::string, long> mine;
      size_t next = static_cast<size_t>(t);
      do {
        mine[ask(lib, request_arg(requests[next % requests.size()]))]++;
        ++next;
      } while (std::chrono::steady_clock::now() < until);
      std::lock_guard<std::mutex> guard(mutex);
      for (auto& [answer, n] : mine) counts[answer] += n;
    });
  }
  for (auto& thread : pool) thread.join();
  for (auto& [answer, n] : counts) print_line("count:" + std::to_string(n) + ":" + answer);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Library lib = load_library();
  const char* mode = std::getenv("PELLARK_HOST_MODE");
  std::string m = mode ? mode : "bootstrap";
  if (m == "bootstrap") return run_bootstrap(lib, argc, argv);
  if (m == "call") return run_calls(lib, argc, argv);
  if (m == "call-threads") return run_threads(lib, argc, argv);
  give_up("unknown PELLARK_HOST_MODE");
}
