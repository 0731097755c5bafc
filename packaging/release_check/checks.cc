// Each check asks the updater's own code for the verdict and adds the values that explain it.
#include "checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "appimage_file.h"
#include "checked.h"
#include "framework/bundle.h"
#include "framework/paths.h"
#include "framework/unique_fd.h"
#include "framework/utf8.h"
#include "framework/version.h"
#include "src/install.h"
#include "src/package.h"
#include "src/sha256.h"

namespace pellark::release_check {

namespace {

constexpr const char* kManifestMember = "usr/bin/sq.version";

std::string manifest_summary(const Manifest& m) {
  return "id " + in_quotes(m.id) + ", version " + version_text(m.version);
}

// An image's sq.version, with the verdict the library's manifest file reader gives the same bytes.
Result<Manifest> manifest_from_text(const std::string& text) {
  if (!is_valid_utf8(text)) return Error::not_installed("manifest unreadable");
  return parse_manifest(text);
}

std::optional<Manifest> check_installed(const std::string& installed, Report& report) {
  // Without O_NONBLOCK a FIFO here would hang the check (and the reader) for good.
  UniqueFd fd(::open(installed.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    report.fail("installed manifest", path_text(installed) + " is not a regular file");
    return std::nullopt;
  }
  char head[4] = {};
  ssize_t got = fd ? ::read(fd.get(), head, sizeof head) : -1;
  fd.reset();
  if (got > 0 && starts_like_elf(std::string_view(head, static_cast<size_t>(got)))) {
    auto offset = type2_image_offset(installed);
    if (!offset) {
      report.fail("installed AppImage", path_text(installed) + ": " + offset.error());
      return std::nullopt;
    }
    report.pass("installed AppImage",
                "type 2, squashfs image at offset " + std::to_string(*offset));
    auto text = read_image_file(installed, *offset, kManifestMember);
    if (!text) {
      report.fail("installed manifest",
                  std::string(kManifestMember) + " in the image: " + text.error());
      return std::nullopt;
    }
    auto manifest = manifest_from_text(*text);
    if (!manifest) {
      report.fail("installed manifest",
                  std::string(kManifestMember) + " in the image: " + describe(manifest.error()));
      return std::nullopt;
    }
    report.pass("installed manifest", manifest_summary(*manifest));
    return *manifest;
  }
  auto manifest = read_manifest_file(installed);
  if (!manifest) {
    report.fail("installed manifest", path_text(installed) + ": " + describe(manifest.error()));
    return std::nullopt;
  }
  report.pass("installed manifest", manifest_summary(*manifest));
  return *manifest;
}

// The file's digest for the message only; the verdict is validate_package's.
std::string file_sha256(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  auto hash = Sha256::start();
  if (!fd || !hash) return "unknown";
  std::vector<unsigned char> buffer(65536);
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "unknown";
    if (n == 0) break;
    if (!hash->update(buffer.data(), static_cast<size_t>(n))) return "unknown";
  }
  auto digest = hash->finish();
  return digest ? digest_hex(*digest) : "unknown";
}

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The descriptor "prepare" would send, checked and then validated by the library. Returns the
// validated descriptor on success, for the archive to be read through it as an install does.
UniqueFd check_announced(const Request& request, uint64_t actual_size, Report& report) {
  nlohmann::json length = nlohmann::json::parse(*request.length, nullptr, false);
  nlohmann::json descriptor = {
      {"path", request.package},
      {"release", {{"artifact", {{"byteLength", length}, {"sha256", *request.sha256}}}}}};
  auto checked = check_package_descriptor(descriptor);
  if (!checked) {
    report.fail("descriptor", std::string(checked.error().reason) + " (--length " +
                                  in_quotes(*request.length) + ", --sha256 " +
                                  in_quotes(*request.sha256) + ")");
    return {};
  }
  auto validated = validate_package(checked->path, checked->byte_length, checked->sha256);
  if (validated) {
    report.pass("length", std::to_string(checked->byte_length) + " bytes");
    report.pass("sha256", checked->sha256);
    return std::move(*validated);
  }
  const Error& error = validated.error();
  if (error.kind == ErrorKind::Io) {
    report.fail("package file", path_text(request.package) + ": " + describe(error));
    return {};
  }
  bool length_wrong = actual_size != checked->byte_length;
  if (length_wrong) {
    report.fail("length", "the file has " + std::to_string(actual_size) + " bytes, not " +
                              std::to_string(checked->byte_length));
    // The updater stops at the length; asking it again with the true length shows whether
    // the digest would pass too.
    validated = validate_package(checked->path, actual_size, checked->sha256);
    if (validated) {
      report.pass("sha256", checked->sha256);
      return {};
    }
  } else {
    report.pass("length", std::to_string(checked->byte_length) + " bytes");
  }
  std::string actual = file_sha256(request.package);
  if (actual == checked->sha256) {
    report.fail(length_wrong ? "sha256" : "package file",
                "the updater refused the file: " + describe(validated.error()));
  } else if (lower(checked->sha256) == actual) {
    report.fail("sha256", in_quotes(checked->sha256) +
                              " is the file's digest in upper case; digests are compared in "
                              "lower case");
  } else {
    report.fail("sha256", "the file's digest is " + actual + ", not " + checked->sha256);
  }
  return {};
}

std::string method_name(int32_t method) {
  switch (method) {
    case ZIP_CM_STORE:
      return "stored";
    case ZIP_CM_DEFLATE:
      return "DEFLATE";
    case ZIP_CM_BZIP2:
      return "bzip2";
    case ZIP_CM_LZMA:
      return "LZMA";
    case ZIP_CM_XZ:
      return "xz";
    default:
      return "method " + std::to_string(method);
  }
}

std::string crc_text(uint32_t crc) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", crc);
  return buf;
}

std::string entry_name(Bundle& bundle, uint64_t index) {
  const char* name = zip_get_name(bundle.archive(), index, 0);
  return name ? std::string(name) : std::string();
}

// Names that would have matched but for their letter case: the usual reason none matched.
std::string near_misses(Bundle& bundle) {
  std::string found;
  zip_int64_t count = zip_get_num_entries(bundle.archive(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    std::string name = entry_name(bundle, static_cast<uint64_t>(i));
    if (name.size() >= 9 && lower(name.substr(name.size() - 9)) == ".appimage")
      found += (found.empty() ? "" : ", ") + in_quotes(name);
  }
  return found.empty() ? "" : " (names are compared case-sensitively: found " + found + ")";
}

void check_image(const std::string& appimage, const Manifest* package, Report& report) {
  auto offset = type2_image_offset(appimage);
  if (!offset) {
    report.fail("AppImage type", offset.error());
    return;
  }
  report.pass("AppImage type", "type 2, squashfs image at offset " + std::to_string(*offset));

  auto entries = list_image_top(appimage, *offset);
  if (!entries) {
    report.fail("AppImage contents", entries.error());
    return;
  }
  std::vector<std::string> missing;
  auto find = [&](const std::string& name) -> const ImageEntry* {
    auto it = entries->find(name);
    return it == entries->end() ? nullptr : &it->second;
  };
  const ImageEntry* apprun = find("AppRun");
  if (!apprun) {
    missing.push_back("no AppRun");
  } else if (apprun->type != 'l' && !(apprun->type == '-' && apprun->executable())) {
    missing.push_back("AppRun is not an executable file (" + apprun->mode + ")");
  }
  if (!find("usr/bin/UpdateNix")) missing.push_back("no usr/bin/UpdateNix");
  if (!find(kManifestMember)) missing.push_back(std::string("no ") + kManifestMember);
  std::string programs;
  const bool named = package && !package->main_exe.empty();
  for (const auto& [name, entry] : *entries) {
    if (!name.starts_with("usr/bin/") || name == "usr/bin/UpdateNix") continue;
    if (named && name != "usr/bin/" + package->main_exe) continue;
    if (entry.type == '-' && entry.executable()) programs += (programs.empty() ? "" : ", ") + name;
  }
  if (programs.empty()) {
    missing.push_back(named ? "no executable usr/bin/" + package->main_exe + " (mainExe)"
                            : "no executable program in usr/bin");
  }
  if (!missing.empty()) {
    std::string reason;
    for (const std::string& item : missing) reason += (reason.empty() ? "" : "; ") + item;
    report.fail("AppImage contents", reason);
  } else {
    report.pass("AppImage contents",
                "AppRun, usr/bin/UpdateNix, usr/bin/sq.version, program " + programs);
  }
  if (!find(kManifestMember)) return;

  auto text = read_image_file(appimage, *offset, kManifestMember);
  if (!text) {
    report.fail("AppImage manifest", std::string(kManifestMember) + ": " + text.error());
    return;
  }
  auto inner = manifest_from_text(*text);
  if (!inner) {
    report.fail("AppImage manifest", std::string(kManifestMember) + ": " + describe(inner.error()));
    return;
  }
  if (!package) {
    report.pass("AppImage manifest", manifest_summary(*inner));
    return;
  }
  std::string reason;
  if (inner->id != package->id)
    reason = "its sq.version says id " + in_quotes(inner->id) + ", the package " +
             in_quotes(package->id);
  if (inner->version != package->version) {
    reason += reason.empty() ? "its sq.version says " : "; version ";
    reason += version_text(inner->version) + ", the package " + version_text(package->version) +
              " (installed, it would offer the same update again)";
  }
  if (reason.empty()) {
    report.pass("AppImage manifest", manifest_summary(*inner) + ", as in the package");
  } else {
    report.fail("AppImage manifest", reason);
  }
}

void check_payload(Bundle& bundle, const Manifest* package, const std::string& work_dir,
                   Report& report) {
  auto index = find_entry(bundle, is_appimage_entry);
  if (!index) {
    report.fail("AppImage entry", "no entry name ends with \".AppImage\"" + near_misses(bundle));
    return;
  }
  const std::string name = entry_name(bundle, *index);
  zip_stat_t st;
  zip_stat_init(&st);
  const bool stat_ok = zip_stat_index(bundle.archive(), *index, 0, &st) == 0;
  std::string size = stat_ok && (st.valid & ZIP_STAT_SIZE) ? std::to_string(st.size) : "?";
  report.pass("AppImage entry", in_quotes(name) + ", " + size + " bytes");

  const std::string target = join_path(work_dir, kPayloadCopy);
  Status extracted = extract_entry(bundle, is_appimage_entry, target);
  const std::string method =
      stat_ok && (st.valid & ZIP_STAT_COMP_METHOD) ? method_name(st.comp_method) : "unknown";
  const std::string crc = stat_ok && (st.valid & ZIP_STAT_CRC) ? crc_text(st.crc) : "unknown";
  if (!extracted && extracted.error().kind == ErrorKind::Zip) {
    std::string reason = in_quotes(name) + " is " + method;
    if (stat_ok && (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)
      reason += " and encrypted";
    report.fail("AppImage method", reason +
                                       "; the updater opens only unencrypted stored and "
                                       "DEFLATE entries (" +
                                       describe(extracted.error()) + ")");
    return;
  }
  report.pass("AppImage method", method);
  if (!extracted) {
    if (extracted.error().kind == ErrorKind::Io && extracted.error().code == EBADMSG) {
      report.fail("AppImage CRC", "the data does not match the stored CRC-32 " + crc);
    } else {
      report.fail("AppImage CRC", "extracting it failed: " + describe(extracted.error()));
    }
    return;
  }
  report.pass("AppImage CRC", crc);
  check_image(target, package, report);
}

}  // namespace

void Report::pass(std::string_view check, std::string_view detail) {
  std::fprintf(out_, "ok %.*s%s%.*s\n", static_cast<int>(check.size()), check.data(),
               detail.empty() ? "" : ": ", static_cast<int>(detail.size()), detail.data());
  std::fflush(out_);
}

void Report::fail(std::string_view check, std::string_view reason) {
  failed_ = true;
  std::fprintf(out_, "FAIL %.*s: %.*s\n", static_cast<int>(check.size()), check.data(),
               static_cast<int>(reason.size()), reason.data());
  std::fflush(out_);
}

bool check_identity(const Manifest& installed, const Manifest& package,
                    const std::string& display_version, Report& report) {
  bool all = true;
  auto same = [&](const char* check, const std::string& got, const std::string& want) {
    if (got == want) {
      report.pass(check, in_quotes(got));
    } else {
      report.fail(check, in_quotes(got) + " is not " + in_quotes(want));
      all = false;
    }
  };
  same("id", package.id, installed.id);
  const std::string incoming = version_text(package.version);
  const std::string current = version_text(installed.version);
  if (package.version > installed.version) {
    report.pass("newer", incoming + " is greater than " + current);
  } else {
    report.fail("newer", incoming + " is not greater than " + current);
    all = false;
  }
  same("display version", display_version, incoming);
  same("os", package.os, installed.os);
  same("architecture", package.machine_architecture, installed.machine_architecture);

  // The lines above explain; the install's own rule decides. They can only disagree if one of
  // them changed without the other.
  Status rule = identity_rule(installed, package, display_version);
  if (rule.has_value() != all) {
    report.fail("identity rule", std::string("the updater's own rule says ") +
                                     (rule ? "it passes" : describe(rule.error())));
    return false;
  }
  return all;
}

void run_release_check(const Request& request, const std::string& work_dir, Report& report) {
  std::optional<Manifest> installed = check_installed(request.installed, report);

  // An install refuses anything but a regular file, before it reads a byte.
  struct stat st {};
  if (has_nul(request.package) || ::lstat(request.package.c_str(), &st) != 0) {
    report.fail("package file", path_text(request.package) + ": " +
                                    (has_nul(request.package) ? "NUL in path" : strerror(errno)));
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    report.fail("package file", path_text(request.package) + " is " +
                                    (S_ISLNK(st.st_mode)   ? "a symbolic link"
                                     : S_ISDIR(st.st_mode) ? "a directory"
                                                           : "not a regular file"));
    return;
  }
  report.pass("package file", "regular file, " + std::to_string(st.st_size) + " bytes");

  UniqueFd validated;
  if (request.length) {
    validated = check_announced(request, static_cast<uint64_t>(st.st_size), report);
  }

  // As an install does: through the validated descriptor when there is one.
  Result<Bundle> bundle =
      validated ? open_bundle_fd(std::move(validated)) : open_bundle(request.package);
  if (!bundle) {
    report.fail("ZIP archive", describe(bundle.error()));
    return;
  }
  report.pass("ZIP archive",
              std::to_string(zip_get_num_entries(bundle->archive(), 0)) + " entries");

  std::optional<Manifest> package;
  auto manifest_index = find_entry(*bundle, is_manifest_entry);
  auto manifest = bundle_manifest(*bundle);
  if (!manifest_index) {
    report.fail("package manifest", "no entry name ends with \".nuspec\"");
  } else if (!manifest) {
    report.fail("package manifest", in_quotes(entry_name(*bundle, *manifest_index)) + ": " +
                                        describe(manifest.error()));
  } else {
    package = *manifest;
    report.pass("package manifest", in_quotes(entry_name(*bundle, *manifest_index)) + ": " +
                                        manifest_summary(*package));
  }

  if (installed && package)
    (void)check_identity(*installed, *package, request.display_version, report);
  check_payload(*bundle, package ? &*package : nullptr, work_dir, report);
}

}  // namespace pellark::release_check
