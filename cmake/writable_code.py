#!/usr/bin/python3
"""Marks the stub's one code-and-data section writable after the link.

The linker keeps a merged section read-only when any of its parts is; the
stub's records live in the same section as its code (one section pads less
than three), so the section must allow writes.
"""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000

path = sys.argv[1]
with open(path, "r+b") as f:
    image = bytearray(f.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", image, pe + 20)[0]
    for i in range(sections):
        entry = table + 40 * i
        if image[entry:entry + 8].rstrip(b"\0") == b".text":
            flags = struct.unpack_from("<I", image, entry + 36)[0] | IMAGE_SCN_MEM_WRITE
            struct.pack_into("<I", image, entry + 36, flags)
            f.seek(entry + 36)
            f.write(struct.pack("<I", flags))
            break
    else:
        sys.exit(f"{path}: no .text section")
