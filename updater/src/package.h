// The package descriptor of a "prepare" or "install" request and the check of the downloaded
// file against its announced length and SHA-256 digest.
#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

#include <nlohmann/json_fwd.hpp>

#include "framework/error.h"
#include "framework/unique_fd.h"

namespace pellark {

struct PackageDescriptor {
  std::string path;
  uint64_t byte_length = 0;
  std::string sha256;  // 64 hex digits of either case, as announced
};

Result<PackageDescriptor> check_package_descriptor(const nlohmann::json& request);

// Checks the entry (not followed if a link), opens it and hashes it. Returns the descriptor of
// the very file that was hashed, so later steps read the same file.
Result<UniqueFd> validate_package(const std::string& path, uint64_t byte_length,
                                  const std::string& sha256);

// The check after the open: `fd` must be the very entry `examined` described (same device and
// inode), still a regular file of `byte_length` bytes. Otherwise the path was swapped between
// the look and the open.
Status check_opened_entry(const struct stat& examined, int fd, uint64_t byte_length);

}  // namespace pellark
