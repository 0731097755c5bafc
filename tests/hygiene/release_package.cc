#include "hygiene/release_package.h"

#include <openssl/evp.h>
#include <zip.h>

#include <cstdlib>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "support/installed_layout.h"

namespace pellark::testing {

namespace {

[[noreturn]] void die(const std::string& what) {
  std::cerr << "release_package: " << what << "\n";
  std::abort();
}

}  // namespace

void write_package(const std::string& path,
                   const std::vector<std::pair<std::string, std::string>>& entries) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) die("zip_open " + path);
  for (const auto& [name, content] : entries) {
    zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
    if (source == nullptr || zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0)
      die("zip_file_add " + name);
  }
  // The buffers above are read here, while `entries` is still alive.
  if (zip_close(archive) != 0) die("zip_close " + path);
}

PackageFile describe_package(const std::string& path) {
  std::string bytes = read_file(path);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    die("sha256");
  static const char hex[] = "0123456789abcdef";
  PackageFile out{path, bytes.size(), ""};
  for (unsigned int i = 0; i < length; ++i) {
    out.sha256 += hex[digest[i] >> 4];
    out.sha256 += hex[digest[i] & 15];
  }
  return out;
}

std::string package_request(const std::string& method, const PackageFile& package,
                            const std::string& display_version) {
  nlohmann::json request = {
      {"method", method},
      {"path", package.path},
      {"release", {{"artifact", {{"byteLength", package.size}, {"sha256", package.sha256}}}}}};
  if (!display_version.empty()) request["release"]["displayVersion"] = display_version;
  return request.dump();
}

}  // namespace pellark::testing
