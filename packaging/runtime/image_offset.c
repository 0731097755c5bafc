/* The image offset from the runtime's own ELF header. */
#define _POSIX_C_SOURCE 200809L
#include "image_offset.h"

#include <elf.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

int image_offset(int fd, uint64_t* offset) {
  union {
    unsigned char ident[EI_NIDENT];
    Elf32_Ehdr h32;
    Elf64_Ehdr h64;
  } header;
  ssize_t got;
  do {
    got = pread(fd, &header, sizeof header, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return -1;
  if ((size_t)got < sizeof header.ident || memcmp(header.ident, ELFMAG, SELFMAG) != 0) {
    errno = EINVAL;
    return -1;
  }

  uint64_t shoff, shnum, shentsize;
  if (header.ident[EI_CLASS] == ELFCLASS64 && (size_t)got >= sizeof header.h64) {
    shoff = header.h64.e_shoff;
    shnum = header.h64.e_shnum;
    shentsize = header.h64.e_shentsize;
  } else if (header.ident[EI_CLASS] == ELFCLASS32 && (size_t)got >= sizeof header.h32) {
    shoff = header.h32.e_shoff;
    shnum = header.h32.e_shnum;
    shentsize = header.h32.e_shentsize;
  } else {
    errno = EINVAL;
    return -1;
  }
  /* Without a section header table nothing marks where the ELF ends. */
  if (shoff == 0 || shnum == 0 || shentsize == 0 || shoff > UINT64_MAX - shnum * shentsize) {
    errno = EINVAL;
    return -1;
  }
  *offset = shoff + shnum * shentsize;
  return 0;
}
