// Release packages: a ZIP archive with a ".nuspec" manifest entry and the ".AppImage" payload.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "manifest.h"
#include "unique_fd.h"

struct zip;

namespace pellark {

using EntryPredicate = std::function<bool(std::string_view name)>;

bool is_manifest_entry(std::string_view name);  // at least 7 bytes, ends with ".nuspec"
bool is_appimage_entry(std::string_view name);  // at least 9 bytes, ends with ".AppImage"

class Bundle {
 public:
  struct ZipCloser {
    void operator()(zip* archive) const;
  };

  explicit Bundle(std::unique_ptr<zip, ZipCloser> archive) : archive_(std::move(archive)) {}
  zip* archive() const { return archive_.get(); }
  std::optional<Manifest>& cached_manifest() { return manifest_; }

 private:
  std::unique_ptr<zip, ZipCloser> archive_;
  std::optional<Manifest> manifest_;
};

// Opens the package file read-only (close-on-exec) under the retry rule: Io, then Zip.
Result<Bundle> open_bundle(const std::string& path);
// Opens the archive over an already open descriptor (taking it), without any retry: the caller
// has validated exactly this file.
Result<Bundle> open_bundle_fd(UniqueFd fd);

// Index of the first entry whose name satisfies `pred`; headers that cannot be read are skipped.
std::optional<uint64_t> find_entry(Bundle& bundle, const EntryPredicate& pred);

// The first ".nuspec" entry's manifest, cached after the first success.
Result<Manifest> bundle_manifest(Bundle& bundle);

// Streams the first entry satisfying `pred` to `target` through one 64000-byte buffer. A partly
// written target is left for the caller.
Status extract_entry(Bundle& bundle, const EntryPredicate& pred, const std::string& target);

}  // namespace pellark
