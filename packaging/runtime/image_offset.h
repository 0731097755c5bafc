/* Where the squashfs image of a type-2 AppImage starts: right behind the runtime's ELF, whose
 * section header table is the last thing in the file as linked. */
#ifndef PELLARK_RUNTIME_IMAGE_OFFSET_H
#define PELLARK_RUNTIME_IMAGE_OFFSET_H

#include <stdint.h>

/* Reads the ELF header of the file open at `fd` (either class, the machine's byte order) and
 * stores e_shoff + e_shnum * e_shentsize in *offset. Returns 0, or -1 with errno set (EINVAL for
 * a file that is not an ELF file with a section header table); *offset is untouched then. */
int image_offset(int fd, uint64_t* offset);

#endif
