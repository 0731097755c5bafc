// Type-2 AppImages read without running them: the ELF header says where the squashfs image
// starts, and Debian's unsquashfs reads the image at that offset. unsquashfs rather than a reader
// of our own: an image may use any of five compressors, and the tool that makes the images
// (mksquashfs) comes with this reader.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "checked.h"

namespace pellark::release_check {

// True when the bytes start like an ELF file, i.e. the file is meant as an AppImage.
bool starts_like_elf(std::string_view head);

// Where the image starts: e_shoff + e_shnum × e_shentsize, after checking the ELF identification,
// the type-2 magic 'A' 'I' 0x02 in bytes 8–10 and the squashfs magic at that offset.
Checked<uint64_t> type2_image_offset(const std::string& path);

struct ImageEntry {
  char type = '?';     // as `ls -l` shows it: '-', 'd', 'l', ...
  std::string mode;    // e.g. "-rwxr-xr-x"
  std::string target;  // of a symbolic link
  bool executable() const { return mode.find('x') != std::string::npos; }
};

// "AppRun" and every entry directly inside "usr/bin", by their paths in the image.
Checked<std::map<std::string, ImageEntry>> list_image_top(const std::string& path, uint64_t offset);

// The content of one regular file in the image, e.g. "usr/bin/sq.version".
Checked<std::string> read_image_file(const std::string& path, uint64_t offset,
                                     const std::string& member);

}  // namespace pellark::release_check
