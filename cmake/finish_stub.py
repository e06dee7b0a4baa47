#!/usr/bin/python3
"""Finishes the stub's headers after the link (see cmake/stub.ld).

- The one code-and-data section must be writable: the linker keeps a merged
  section read-only when any of its parts is.
- The import tables live in that section, so the import and import address
  directories are set here from the four words the linker script leaves at
  the end of the section's contents.
"""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000
IMPORT, IAT = 1, 12

path = sys.argv[1]
with open(path, "r+b") as f:
    image = bytearray(f.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    optional = pe + 24
    table = optional + struct.unpack_from("<H", image, pe + 20)[0]
    directories = optional + 96
    for i in range(sections):
        entry = table + 40 * i
        if image[entry:entry + 8].rstrip(b"\0") != b".text":
            continue
        virtual_size, _, _, raw_pointer = struct.unpack_from("<IIII", image, entry + 8)
        flags = struct.unpack_from("<I", image, entry + 36)[0] | IMAGE_SCN_MEM_WRITE
        struct.pack_into("<I", image, entry + 36, flags)
        imports, imports_size, iat, iat_size = struct.unpack_from(
            "<IIII", image, raw_pointer + virtual_size - 16)
        struct.pack_into("<II", image, directories + 8 * IMPORT, imports, imports_size)
        struct.pack_into("<II", image, directories + 8 * IAT, iat, iat_size)
        break
    else:
        sys.exit(f"{path}: no .text section")
    f.seek(0)
    f.write(image)
