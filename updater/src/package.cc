// The package descriptor of a request and the check of the downloaded file.
#include "package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

#include <nlohmann/json.hpp>

#include "framework/paths.h"
#include "sha256.h"

namespace pellark {

namespace {

using nlohmann::json;

constexpr size_t kReadBuffer = 65536;

// A lookup that never fails: missing members and non-objects give null.
const json& member(const json& value, const char* name) {
  static const json kNull;
  if (!value.is_object()) return kNull;
  auto it = value.find(name);
  return it == value.end() ? kNull : *it;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

Result<PackageDescriptor> check_package_descriptor(const json& request) {
  PackageDescriptor descriptor;
  const json& path = member(request, "path");
  if (!path.is_string()) return Error::failure("missing path");
  descriptor.path = path.get_ref<const std::string&>();

  const json& artifact = member(member(request, "release"), "artifact");
  const json& length = member(artifact, "byteLength");
  // nlohmann keeps every non-negative integer literal unsigned; a signed one is negative or -0.
  if (length.is_number_unsigned()) {
    descriptor.byte_length = length.get<uint64_t>();
  } else if (length.is_number_integer() && length.get<int64_t>() == 0) {
    descriptor.byte_length = 0;
  } else {
    return Error::failure("invalid size");
  }

  const json& digest = member(artifact, "sha256");
  if (!digest.is_string()) return Error::failure("missing digest");
  const auto& text = digest.get_ref<const std::string&>();
  if (text.size() != 64) return Error::failure("malformed digest");
  for (char c : text) {
    if (!is_hex_digit(c)) return Error::failure("malformed digest");
  }
  descriptor.sha256 = text;
  return descriptor;
}

Status check_opened_entry(const struct stat& examined, int fd, uint64_t byte_length) {
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) return Error::io(errno, "fstat package");
  if (opened.st_dev != examined.st_dev || opened.st_ino != examined.st_ino ||
      !S_ISREG(opened.st_mode) || static_cast<uint64_t>(opened.st_size) != byte_length)
    return Error::failure("package replaced during validation");
  return ok();
}

Result<UniqueFd> validate_package(const std::string& path, uint64_t byte_length,
                                  const std::string& sha256) {
  if (has_nul(path)) return Error::io(EINVAL, "NUL in package path");
  struct stat examined {};
  if (::lstat(path.c_str(), &examined) != 0) return Error::io(errno, "lstat package");
  if (!S_ISREG(examined.st_mode) || static_cast<uint64_t>(examined.st_size) != byte_length)
    return Error::failure("length or kind mismatch");

  // O_NONBLOCK: a FIFO swapped in after the lstat must not hang the open with the lock held.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return Error::io(errno, "open package");
  PELLARK_TRY(check_opened_entry(examined, fd.get(), byte_length));
  if (!clear_nonblocking(fd.get())) return Error::io(errno, "fcntl package");

  PELLARK_TRY_ASSIGN(Sha256 hash, Sha256::start());
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kReadBuffer);
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.get(), kReadBuffer);
    if (n < 0) return Error::io(errno, "read package");
    if (n == 0) break;
    PELLARK_TRY(hash.update(buffer.get(), static_cast<size_t>(n)));
  }
  PELLARK_TRY_ASSIGN(Sha256::Digest digest, hash.finish());

  if (digest_hex(digest) != sha256) return Error::failure("digest mismatch");

  // The install step reads the archive through this descriptor from its start.
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return Error::io(errno, "lseek package");
  return fd;
}

}  // namespace pellark
