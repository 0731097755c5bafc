"""The type-2 AppImage layout shared by the packaging tools: an ELF runtime with the magic
"AI\\x02" at bytes 8-10, followed directly by a squashfs image. The image starts where the ELF
ends as its header describes it, e_shoff + e_shnum * e_shentsize."""

import struct

MAGIC = b"AI\x02"
MAGIC_AT = 8
SQUASHFS_MAGIC = b"hsqs"


def elf_end(head):
    """e_shoff + e_shnum * e_shentsize from the first bytes of an ELF file, or None when they are
    not an ELF header with a section header table."""
    if len(head) < 16 or head[:4] != b"\x7fELF":
        return None
    order = {1: "<", 2: ">"}.get(head[5])
    if order is None:
        return None
    if head[4] == 2 and len(head) >= 64:  # ELFCLASS64
        shoff, = struct.unpack_from(order + "Q", head, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", head, 0x3A)
    elif head[4] == 1 and len(head) >= 52:  # ELFCLASS32
        shoff, = struct.unpack_from(order + "I", head, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", head, 0x2E)
    else:
        return None
    if shoff == 0 or shnum == 0 or shentsize == 0:
        return None
    return shoff + shnum * shentsize


def image_offset(path):
    """Where the squashfs image of the AppImage at `path` starts, or None if it is not a type-2
    AppImage with an image there."""
    with open(path, "rb") as f:
        head = f.read(64)
        if head[MAGIC_AT:MAGIC_AT + len(MAGIC)] != MAGIC:
            return None
        offset = elf_end(head)
        if offset is None:
            return None
        f.seek(offset)
        if f.read(len(SQUASHFS_MAGIC)) != SQUASHFS_MAGIC:
            return None
        return offset


def runtime_with_magic(path):
    """The runtime's bytes with the magic in place. Refuses a runtime whose section header table
    does not end the file, because such a runtime would look for its image in the wrong place."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    end = elf_end(data)
    if end is None:
        raise ValueError(f"{path} is not an ELF executable with a section header table")
    if end != len(data):
        raise ValueError(f"{path} does not end with its section header table"
                         f" (the table ends at {end}, the file at {len(data)})")
    present = bytes(data[MAGIC_AT:MAGIC_AT + len(MAGIC)])
    if present not in (b"\0" * len(MAGIC), MAGIC):
        raise ValueError(f"{path} has other data at bytes {MAGIC_AT}-{MAGIC_AT + len(MAGIC) - 1}")
    data[MAGIC_AT:MAGIC_AT + len(MAGIC)] = MAGIC
    return bytes(data)
