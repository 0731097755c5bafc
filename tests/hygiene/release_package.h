// Release packages and request texts for tests that drive the channel through a real process.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pellark::testing {

// A ZIP archive at `path` with these (name, content) entries in this order, DEFLATE-compressed.
void write_package(const std::string& path,
                   const std::vector<std::pair<std::string, std::string>>& entries);

struct PackageFile {
  std::string path;
  uint64_t size = 0;
  std::string sha256;  // lower-case hex
};

PackageFile describe_package(const std::string& path);

// {"method":…,"path":…,"release":{"artifact":{…}[,"displayVersion":…]}}
std::string package_request(const std::string& method, const PackageFile& package,
                            const std::string& display_version = "");

}  // namespace pellark::testing
