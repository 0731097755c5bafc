// The bundle reader over arbitrary archive bytes: open (by path and over a descriptor), read the
// manifest twice, extract the payload and the manifest entry to a temporary file. Nothing may
// fault, leak a descriptor, or answer differently for the two ways of opening the same file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "framework/bundle.h"
#include "fuzz_support.h"

using pellark::ErrorKind;
using pellark::fuzz::require;

namespace {

struct Paths {
  std::string dir;
  std::string package;
  std::string target;
};

const Paths& paths() {
  static const Paths p = [] {
    // Prefer memory-backed storage: every run writes the package and may extract megabytes.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 0);
    std::string dir = pellark::fuzz::make_temp_dir("pellark-fuzz-bundle");
    return Paths{dir, dir + "/package-full.nupkg", dir + "/work/next.AppImage"};
  }();
  return p;
}

bool is_kind(const pellark::Error& e, std::initializer_list<ErrorKind> kinds) {
  for (ErrorKind k : kinds)
    if (e.kind == k) return true;
  return false;
}

struct ManifestOutcome {
  bool opened = false;
  bool ok = false;
  pellark::Manifest manifest;
};

ManifestOutcome read_manifest(pellark::Result<pellark::Bundle> opened) {
  ManifestOutcome out;
  if (!opened) {
    require(is_kind(opened.error(), {ErrorKind::Io, ErrorKind::Zip}), "open failure kind");
    return out;
  }
  out.opened = true;
  auto manifest = pellark::bundle_manifest(*opened);
  if (!manifest) {
    require(is_kind(manifest.error(),
                    {ErrorKind::InvalidPackage, ErrorKind::Zip, ErrorKind::Io, ErrorKind::Semver}),
            "manifest failure kind");
    require(!opened->cached_manifest().has_value(), "failures are not cached");
    return out;
  }
  auto again = pellark::bundle_manifest(*opened);
  require(again && *again == *manifest, "cached manifest is the same");
  out.ok = true;
  out.manifest = std::move(*manifest);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Paths& p = paths();
  pellark::fuzz::write_whole_file(p.package,
                                  std::string_view(reinterpret_cast<const char*>(data), size));
  int fds_before = pellark::fuzz::open_descriptor_count();
  {
    ManifestOutcome by_path = read_manifest(pellark::open_bundle(p.package));

    int fd = ::open(p.package.c_str(), O_RDONLY | O_CLOEXEC);
    require(fd >= 0, "reopen the package");
    ManifestOutcome by_fd = read_manifest(pellark::open_bundle_fd(pellark::UniqueFd(fd)));
    require(by_path.opened == by_fd.opened && by_path.ok == by_fd.ok, "both ways of opening agree");
    if (by_path.ok) require(by_path.manifest == by_fd.manifest, "both manifests agree");

    auto bundle = pellark::open_bundle(p.package);
    if (bundle) {
      for (auto pred : {&pellark::is_appimage_entry, &pellark::is_manifest_entry}) {
        auto index = pellark::find_entry(*bundle, pred);
        auto extracted = pellark::extract_entry(*bundle, pred, p.target);
        if (!extracted) {
          require(is_kind(extracted.error(),
                          {ErrorKind::InvalidPackage, ErrorKind::Io, ErrorKind::Zip}),
                  "extract failure kind");
          if (!index) require(extracted.error().kind == ErrorKind::InvalidPackage, "no entry");
        } else {
          require(index.has_value(), "extracted an entry that find_entry misses");
        }
        (void)::unlink(p.target.c_str());
      }
    }
  }
  require(pellark::fuzz::open_descriptor_count() == fds_before, "no descriptor leaks");
  return 0;
}
