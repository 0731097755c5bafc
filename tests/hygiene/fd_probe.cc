// Loads the updater from lib/ beside itself like the application, sends each argument as a
// request and prints, per request, the answer, whether the descriptor table is as before, and
// how many bytes the process read meanwhile (rchar of /proc/self/io; -1 when not available):
//   <answer>
//   fds:same | fds:changed:<fd>=<target>[+ or -],...
//   read:<bytes>
// An argument "--fault-under-lock:<request>" sends <request> while the XML parser cannot be
// created whenever the install lock is held, which the library treats as an internal fault.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using CallFn = char* (*)(const char*);
using FreeFn = void (*)(char*);

[[noreturn]] void give_up(const char* what) {
  std::fprintf(stderr, "pellark_fd_probe: %s\n", what);
  std::exit(2);
}

// fd -> link target, without the descriptor used for the listing itself.
std::map<int, std::string> descriptors() {
  std::map<int, std::string> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) give_up("cannot list /proc/self/fd");
  int own = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd == own) continue;
    char target[4096];
    ssize_t n = ::readlinkat(own, entry->d_name, target, sizeof target - 1);
    out[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  }
  ::closedir(dir);
  return out;
}

// Bytes passed to read(2) and its kin by the whole process so far.
long long bytes_read() {
  FILE* io = std::fopen("/proc/self/io", "re");
  if (io == nullptr) return -1;
  long long rchar = -1;
  if (std::fscanf(io, "rchar: %lld", &rchar) != 1) rchar = -1;
  std::fclose(io);
  return rchar;
}

bool fault_under_lock = false;

bool install_lock_is_held() {
  const char* appimage = std::getenv("APPIMAGE");
  if (appimage == nullptr) return false;
  std::string path(appimage);
  path = path.substr(0, path.rfind('/')) + "/.pellark-updates/pellark-install.lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);  // also drops the probe's own lock, if it got one
  return held;
}

}  // namespace

// Exported from the probe (ENABLE_EXPORTS), so it takes the place of expat's for the library.
extern "C" struct XML_ParserStruct* XML_ParserCreateNS(const char* encoding, char separator) {
  using CreateFn = XML_ParserStruct* (*)(const char*, char);
  static auto real = [] {
    void* expat = ::dlopen("libexpat.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (expat == nullptr) give_up("libexpat is not loaded");
    return reinterpret_cast<CreateFn>(::dlsym(expat, "XML_ParserCreateNS"));
  }();
  if (fault_under_lock && install_lock_is_held()) return nullptr;
  return real(encoding, separator);
}

int main(int argc, char** argv) {
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) give_up("cannot read /proc/self/exe");
  std::string path(exe, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/')) + "/lib/libpellark_updater.so";
  void* handle = ::dlopen(path.c_str(), RTLD_NOW);
  if (handle == nullptr) give_up(::dlerror());
  auto call = reinterpret_cast<CallFn>(::dlsym(handle, "pellark_update_call"));
  auto release = reinterpret_cast<FreeFn>(::dlsym(handle, "pellark_update_free"));
  if (call == nullptr || release == nullptr) give_up("missing symbol");

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    static const std::string kFault = "--fault-under-lock:";
    fault_under_lock = arg.starts_with(kFault);
    if (fault_under_lock) arg.erase(0, kFault.size());
    auto before = descriptors();
    long long read_before = bytes_read();
    char* answer = call(arg == "--null" ? nullptr : arg.c_str());
    long long read_after = bytes_read();
    std::string text = answer ? answer : "(null)";
    release(answer);
    auto after = descriptors();
    std::string changes;
    for (const auto& [fd, target] : after) {
      auto was = before.find(fd);
      if (was == before.end() || was->second != target)
        changes += std::to_string(fd) + "=" + target + "+,";
    }
    for (const auto& [fd, target] : before) {
      auto now = after.find(fd);
      if (now == after.end() || now->second != target)
        changes += std::to_string(fd) + "=" + target + "-,";
    }
    std::printf("%s\nfds:%s\nread:%lld\n", text.c_str(),
                changes.empty() ? "same" : ("changed:" + changes).c_str(),
                read_before < 0 || read_after < 0 ? -1 : read_after - read_before);
    std::fflush(stdout);
  }
  return 0;
}
