// ELF arithmetic for the image offset, and unsquashfs at that offset for what the image holds.
#include "appimage_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "child_process.h"
#include "framework/unique_fd.h"

namespace pellark::release_check {

namespace {

constexpr std::string_view kElfMagic =
    "\x7f"
    "ELF";
constexpr std::string_view kSquashfsMagic = "hsqs";

std::string hex_bytes(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%s%02x", out.empty() ? "" : " ", c);
    out += buf;
  }
  return out;
}

uint64_t field(const unsigned char* at, size_t size, bool big_endian) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) {
    size_t k = big_endian ? i : size - 1 - i;
    value = (value << 8) | at[k];
  }
  return value;
}

Checked<std::string> read_at(int fd, uint64_t offset, size_t size) {
  std::string bytes(size, '\0');
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, bytes.data() + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(std::string("read: ") + strerror(errno));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// The last line unsquashfs wrote on standard error: its reason for failing.
std::string helper_failure(const ProgramRun& run) {
  std::string text = run.err;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  size_t line = text.rfind('\n');
  if (line != std::string::npos) text.erase(0, line + 1);
  if (text.empty()) text = "no message";
  return "unsquashfs exited with status " + std::to_string(run.status) + ": " + text;
}

}  // namespace

bool starts_like_elf(std::string_view head) {
  return head.starts_with(kElfMagic);
}

Checked<uint64_t> type2_image_offset(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return std::unexpected(std::string("cannot open: ") + strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(std::string("fstat: ") + strerror(errno));
  const uint64_t size = static_cast<uint64_t>(st.st_size);

  auto head = read_at(fd.get(), 0, 64);
  if (!head) return std::unexpected(head.error());
  if (!starts_like_elf(*head))
    return std::unexpected("not an ELF file (it starts with " + hex_bytes(head->substr(0, 4)) +
                           ")");
  if (head->size() < 11 || head->substr(8, 3) != std::string_view("AI\x02", 3))
    return std::unexpected("bytes 8-10 are " + hex_bytes(head->substr(8, 3)) +
                           ", not 41 49 02 (the type-2 AppImage magic)");
  const unsigned char elf_class = static_cast<unsigned char>((*head)[4]);
  const unsigned char elf_data = static_cast<unsigned char>((*head)[5]);
  if ((elf_class != 1 && elf_class != 2) || (elf_data != 1 && elf_data != 2))
    return std::unexpected("unknown ELF class " + std::to_string(elf_class) + " or byte order " +
                           std::to_string(elf_data));
  const bool wide = elf_class == 2;
  const bool big = elf_data == 2;
  if (head->size() < (wide ? 64u : 52u)) return std::unexpected("the ELF header is cut short");
  const auto* h = reinterpret_cast<const unsigned char*>(head->data());
  const uint64_t shoff = wide ? field(h + 0x28, 8, big) : field(h + 0x20, 4, big);
  const uint64_t shentsize = wide ? field(h + 0x3A, 2, big) : field(h + 0x2E, 2, big);
  const uint64_t shnum = wide ? field(h + 0x3C, 2, big) : field(h + 0x30, 2, big);
  const uint64_t table = shnum * shentsize;  // both below 2^16: no overflow
  if (shoff > UINT64_MAX - table)
    return std::unexpected("the section header table ends beyond 2^64 bytes");
  const uint64_t offset = shoff + table;
  if (offset > size || size - offset < kSquashfsMagic.size())
    return std::unexpected("the image offset " + std::to_string(offset) +
                           " (e_shoff + e_shnum * e_shentsize) is at or beyond the end of the "
                           "file (" +
                           std::to_string(size) + " bytes)");
  auto magic = read_at(fd.get(), offset, kSquashfsMagic.size());
  if (!magic) return std::unexpected(magic.error());
  if (*magic != kSquashfsMagic)
    return std::unexpected("no squashfs image at offset " + std::to_string(offset) + " (found " +
                           hex_bytes(*magic) + ")");
  return offset;
}

Checked<std::map<std::string, ImageEntry>> list_image_top(const std::string& path,
                                                          uint64_t offset) {
  // Depth 3 from the root "R": R/usr/bin/<name>, so the libraries below usr/bin/lib are not
  // listed one by one.
  auto run = run_program({"unsquashfs", "-lln", "-d", "R", "-max-depth", "3", "-no-wildcards", "-o",
                          std::to_string(offset), path, "AppRun", "usr/bin"});
  if (!run) return std::unexpected(run.error());
  if (run->status != 0) return std::unexpected(helper_failure(*run));

  // Each line: mode, uid/gid, size, date, time, then the path (which may hold spaces), and for
  // a link " -> " and its target.
  std::map<std::string, ImageEntry> entries;
  size_t start = 0;
  while (start < run->out.size()) {
    size_t end = run->out.find('\n', start);
    if (end == std::string::npos) end = run->out.size();
    std::string_view line(run->out.data() + start, end - start);
    start = end + 1;
    size_t pos = 0;
    std::string_view fields[5];
    bool complete = true;
    for (auto& f : fields) {
      while (pos < line.size() && line[pos] == ' ') ++pos;
      size_t stop = line.find(' ', pos);
      if (stop == std::string_view::npos) {
        complete = false;
        break;
      }
      f = line.substr(pos, stop - pos);
      pos = stop + 1;
    }
    if (!complete || fields[0].empty()) continue;
    std::string_view name = line.substr(pos);
    if (!name.starts_with("R/")) continue;
    name.remove_prefix(2);
    ImageEntry entry;
    entry.type = fields[0][0];
    entry.mode = std::string(fields[0]);
    if (entry.type == 'l') {
      size_t arrow = name.find(" -> ");
      if (arrow != std::string_view::npos) {
        entry.target = std::string(name.substr(arrow + 4));
        name = name.substr(0, arrow);
      }
    }
    entries.emplace(std::string(name), std::move(entry));
  }
  return entries;
}

Checked<std::string> read_image_file(const std::string& path, uint64_t offset,
                                     const std::string& member) {
  auto run = run_program(
      {"unsquashfs", "-cat", "-no-wildcards", "-o", std::to_string(offset), path, member});
  if (!run) return std::unexpected(run.error());
  if (run->status != 0) return std::unexpected(helper_failure(*run));
  return std::move(run->out);
}

}  // namespace pellark::release_check
