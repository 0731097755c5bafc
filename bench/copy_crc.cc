// The least a stored extraction must do, as a reference for extract_entry: copy SOURCE to TARGET
// through one 64000-byte buffer, with a CRC-32 over every chunk, creating or truncating TARGET.
// Usage: bench_copy_crc SOURCE TARGET
// Prints the CRC-32 in hex, so the work cannot be skipped.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

constexpr size_t kBufferSize = 64000;

bool write_all(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SOURCE TARGET\n", argv[0]);
    return 2;
  }
  int in = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (in < 0 || out < 0) {
    std::perror("bench_copy_crc: open");
    return 1;
  }
  auto buffer = std::make_unique<unsigned char[]>(kBufferSize);
  uLong crc = crc32(0, nullptr, 0);
  while (true) {
    ssize_t n = ::read(in, buffer.get(), kBufferSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::perror("bench_copy_crc: read");
      return 1;
    }
    if (n == 0) break;
    crc = crc32(crc, buffer.get(), static_cast<uInt>(n));
    if (!write_all(out, buffer.get(), static_cast<size_t>(n))) {
      std::perror("bench_copy_crc: write");
      return 1;
    }
  }
  if (::close(out) != 0 || ::close(in) != 0) {
    std::perror("bench_copy_crc: close");
    return 1;
  }
  std::printf("%08lx\n", crc);
  return 0;
}
