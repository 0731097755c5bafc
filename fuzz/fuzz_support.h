// Helpers shared by the fuzz targets: a property failure aborts, so libFuzzer keeps the input.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace pellark::fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) fail(what);
}

// Open descriptors of this process, not counting the one used to list them.
inline int open_descriptor_count() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) fail("cannot list /proc/self/fd");
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;
}

inline std::string make_temp_dir(const char* prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) fail("mkdtemp");
  return templ;
}

inline void write_whole_file(const std::string& path, std::string_view bytes, mode_t mode = 0644) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) fail("cannot create a fixture file");
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) fail("cannot write a fixture file");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace pellark::fuzz
