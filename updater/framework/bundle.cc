// Release packages through libzip. We decide which entries may be opened (stored and DEFLATE,
// unencrypted) ourselves, so what the installed libzip happens to decode does not matter.
#include "bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "crc32.h"
#include "paths.h"
#include "retry.h"
#include "utf8.h"

namespace pellark {

namespace {

constexpr size_t kCopyBufferSize = 64000;
// A manifest is a few kilobytes; this bounds what a hostile (e.g. highly compressed) entry costs.
constexpr size_t kMaxManifestBytes = 16u << 20;

struct FileCloser {
  void operator()(FILE* f) const { (void)std::fclose(f); }
};

struct ZipFileCloser {
  void operator()(zip_file_t* f) const { (void)zip_fclose(f); }
};
using ZipFile = std::unique_ptr<zip_file_t, ZipFileCloser>;

struct SourceCloser {
  void operator()(zip_source_t* s) const {
    (void)zip_source_close(s);
    zip_source_free(s);
  }
};
using OpenSource = std::unique_ptr<zip_source_t, SourceCloser>;

bool ends_with(std::string_view name, std::string_view suffix, size_t min_size) {
  return name.size() >= min_size && name.ends_with(suffix);
}

// The errno behind a failed read of an entry; a CRC mismatch or a decompression fault has none.
int read_errno(zip_error_t* err) {
  if (zip_error_system_type(err) == ZIP_ET_SYS && zip_error_code_system(err) != 0) {
    return zip_error_code_system(err);
  }
  return zip_error_code_zip(err) == ZIP_ER_CRC ? EBADMSG : EIO;
}

// Refuses, before reading a byte, every entry that is neither stored nor DEFLATE, or encrypted.
Result<zip_stat_t> check_entry(zip_t* archive, uint64_t index) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(archive, index, 0, &st) != 0) return Error::zip("entry header");
  if (!(st.valid & ZIP_STAT_COMP_METHOD) || !(st.valid & ZIP_STAT_ENCRYPTION_METHOD)) {
    return Error::zip("entry method unknown");
  }
  if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE) {
    return Error::zip("compression method");
  }
  if (st.encryption_method != ZIP_EM_NONE) return Error::zip("encrypted entry");
  return st;
}

// For an entry that check_entry has passed.
Result<ZipFile> open_checked_entry(zip_t* archive, uint64_t index) {
  ZipFile file(zip_fopen_index(archive, index, 0));
  if (!file) return Error::zip("open entry");
  return file;
}

Result<ZipFile> open_entry(zip_t* archive, uint64_t index) {
  PELLARK_TRY(check_entry(archive, index));
  return open_checked_entry(archive, index);
}

// Opening an entry's raw bytes reads and checks its local header, and needs neither a
// decompressor nor a password: other methods and encrypted entries are found here and refused
// when opened.
bool local_header_readable(zip_t* archive, zip_uint64_t index) {
  return ZipFile(zip_fopen_index(archive, index, ZIP_FL_COMPRESSED | ZIP_FL_ENCRYPTED)) != nullptr;
}

Status write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::io(errno, "write target");
    }
    if (n == 0) return Error::io(EIO, "write accepted nothing");
    data += n;
    size -= static_cast<size_t>(n);
  }
  return ok();
}

// mkdir -p without normalising: every prefix ending before a '/' is created in turn.
Status make_directories(const std::string& dir) {
  for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
    std::string prefix = dir.substr(0, pos);
    if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0700) != 0 &&
        errno != EEXIST) {
      return Error::io(errno, "create target directory");
    }
    if (pos == std::string::npos) break;
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return Error::io(errno, "target directory");
  return ok();
}

std::string parent_directory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

void Bundle::ZipCloser::operator()(zip* archive) const {
  zip_discard(archive);
}

bool is_manifest_entry(std::string_view name) {
  return ends_with(name, ".nuspec", 7);
}
bool is_appimage_entry(std::string_view name) {
  return ends_with(name, ".AppImage", 9);
}

Result<Bundle> open_bundle(const std::string& path) {
  if (has_nul(path)) return Error::io(EINVAL, "package path");
  auto fd = with_retries([&]() -> Result<UniqueFd> {
    // Non-blocking only for the open itself: a FIFO without a writer or a device that waits
    // for a carrier would otherwise block here for good.
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!f) return Error::io(errno, "open package");
    if (!clear_nonblocking(f.get())) return Error::io(errno, "package descriptor");
    return f;
  });
  if (!fd) return fd.error();
  return open_bundle_fd(std::move(*fd));
}

Result<Bundle> open_bundle_fd(UniqueFd fd) {
  if (!fd) return Error::io(EBADF, "package descriptor");
  // Not zip_fdopen: it reads through a dup() that loses close-on-exec. A stream over our own
  // descriptor keeps it.
  std::unique_ptr<FILE, FileCloser> stream(::fdopen(fd.get(), "rb"));
  if (!stream) return Error::io(errno, "package stream");
  (void)fd.release();
  // libzip asks for whole 64000-byte chunks; stdio's small buffer would split each into two
  // reads, so the stream reads straight into libzip's buffers.
  (void)std::setvbuf(stream.get(), nullptr, _IONBF, 0);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_filep_create(stream.get(), 0, -1, &error);
  zip_error_fini(&error);
  if (source == nullptr) return Error::zip("package source");
  (void)stream.release();  // the source owns the stream now
  zip_error_init(&error);
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  zip_error_fini(&error);
  if (archive == nullptr) {
    zip_source_free(source);
    return Error::zip("not a readable archive");
  }
  return Bundle(std::unique_ptr<zip, Bundle::ZipCloser>(archive));
}

std::optional<uint64_t> find_entry(Bundle& bundle, const EntryPredicate& pred) {
  zip_int64_t count = zip_get_num_entries(bundle.archive(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    auto index = static_cast<zip_uint64_t>(i);
    const char* name = zip_get_name(bundle.archive(), index, 0);
    // The header is examined only for a name that matches: the first match is the same, and the
    // entries before it cost no reads.
    if (name == nullptr || !pred(name) || !local_header_readable(bundle.archive(), index)) {
      continue;
    }
    return static_cast<uint64_t>(i);
  }
  return std::nullopt;
}

// libzip checks the CRC-32 with zlib's slow crc32 on every read of a whole entry, raw or not, but
// not on reads of a part: a large stored entry is read as two parts and checked here instead.
struct StoredParts {
  OpenSource head;  // all but the last byte
  OpenSource tail;
};

bool read_in_parts(const zip_stat_t& st) {
  constexpr zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_CRC;
  return st.comp_method == ZIP_CM_STORE && (st.valid & needed) == needed && st.size >= 2 &&
         st.size <= static_cast<zip_uint64_t>(INT64_MAX);
}

Result<OpenSource> open_part(zip_t* archive, uint64_t index, uint64_t start, uint64_t length) {
  zip_source_t* s =
      zip_source_zip(archive, archive, index, 0, start, static_cast<zip_int64_t>(length));
  if (s == nullptr) return Error::zip("open entry");
  if (zip_source_open(s) < 0) {
    zip_source_free(s);
    return Error::zip("open entry");
  }
  return OpenSource(s);
}

Status copy_parts(StoredParts& parts, const zip_stat_t& st, int fd, char* buffer) {
  uint32_t crc = 0;
  const uint64_t lengths[] = {st.size - 1, 1};
  zip_source_t* sources[] = {parts.head.get(), parts.tail.get()};
  for (int i = 0; i < 2; ++i) {
    uint64_t copied = 0;
    while (true) {
      zip_int64_t n = zip_source_read(sources[i], buffer, kCopyBufferSize);
      if (n < 0) return Error::io(read_errno(zip_source_error(sources[i])), "read entry");
      if (n == 0) break;
      PELLARK_TRY(write_all(fd, buffer, static_cast<size_t>(n)));
      crc = crc32_update(crc, buffer, static_cast<size_t>(n));
      copied += static_cast<uint64_t>(n);
    }
    if (copied != lengths[i]) return Error::io(EIO, "read entry");
  }
  if (crc != st.crc) return Error::io(EBADMSG, "read entry");
  return ok();
}

Result<Manifest> bundle_manifest(Bundle& bundle) {
  if (bundle.cached_manifest()) return *bundle.cached_manifest();
  auto index = find_entry(bundle, is_manifest_entry);
  if (!index) return Error::invalid_package("no manifest entry");
  PELLARK_TRY_ASSIGN(ZipFile file, open_entry(bundle.archive(), *index));

  std::string text;
  char buf[16384];
  while (true) {
    zip_int64_t n = zip_fread(file.get(), buf, sizeof buf);
    if (n < 0) return Error::io(read_errno(zip_file_get_error(file.get())), "read manifest entry");
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > kMaxManifestBytes) {
      return Error::io(EFBIG, "manifest entry too large");
    }
    text.append(buf, static_cast<size_t>(n));
  }
  if (!is_valid_utf8(text)) return Error::io(EILSEQ, "manifest entry not UTF-8");

  PELLARK_TRY_ASSIGN(Manifest manifest, parse_manifest(text));
  bundle.cached_manifest() = manifest;
  return manifest;
}

Status extract_entry(Bundle& bundle, const EntryPredicate& pred, const std::string& target) {
  auto index = find_entry(bundle, pred);
  if (!index) return Error::invalid_package("no such entry");
  if (has_nul(target)) return Error::io(EINVAL, "target path");

  std::string parent = parent_directory(target);
  struct stat st;
  if (::stat(parent.c_str(), &st) != 0) {
    PELLARK_TRY(with_retries([&] { return make_directories(parent); }));
  }

  PELLARK_TRY_ASSIGN(zip_stat_t entry, check_entry(bundle.archive(), *index));
  ZipFile file;
  StoredParts parts;
  if (read_in_parts(entry)) {
    PELLARK_TRY_ASSIGN(parts.head, open_part(bundle.archive(), *index, 0, entry.size - 1));
    PELLARK_TRY_ASSIGN(parts.tail, open_part(bundle.archive(), *index, entry.size - 1, 1));
  } else {
    PELLARK_TRY_ASSIGN(file, open_checked_entry(bundle.archive(), *index));
  }

  // The updater creates this file, so a symbolic link in its place is refused.
  auto out = with_retries([&]() -> Result<UniqueFd> {
    UniqueFd f(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!f) return Error::io(errno, "create target");
    return f;
  });
  if (!out) return out.error();

  // One fixed buffer: memory does not grow with the payload. The CRC-32, ours or libzip's, is
  // checked after the last byte is written, so a mismatch leaves the whole file behind.
  auto buffer = std::make_unique<char[]>(kCopyBufferSize);
  if (parts.head) PELLARK_TRY(copy_parts(parts, entry, out->get(), buffer.get()));
  while (file) {
    zip_int64_t n = zip_fread(file.get(), buffer.get(), kCopyBufferSize);
    if (n < 0) return Error::io(read_errno(zip_file_get_error(file.get())), "read entry");
    if (n == 0) break;
    PELLARK_TRY(write_all(out->get(), buffer.get(), static_cast<size_t>(n)));
  }
  int fd = out->release();
  if (::close(fd) != 0 && errno != EINTR) return Error::io(errno, "close target");
  return ok();
}

}  // namespace pellark
