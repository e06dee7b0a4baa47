#!/usr/bin/python3
"""Finishes the stub after the link (see cmake/stub.ld).

- The one code-and-data section must be writable: the linker keeps a merged
  section read-only when any of its parts is.
- The import tables live in that section, so the import and import address
  directories are set here from the words the linker script leaves at the
  end of the section.
- The import name table (each import descriptor's OriginalFirstThunk) is a
  copy of the import address table, which every Windows loader reads names
  from when the first is absent; it and the words are cut off the file.
- The checksum is computed again for the changed file.
"""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000
IMPORT, IAT = 1, 12


def align(value, to):
    return (value + to - 1) // to * to


path = sys.argv[1]
with open(path, "rb") as f:
    image = bytearray(f.read())

pe = struct.unpack_from("<I", image, 0x3C)[0]
count = struct.unpack_from("<H", image, pe + 6)[0]
optional = pe + 24
file_alignment = struct.unpack_from("<I", image, optional + 36)[0]
table = optional + struct.unpack_from("<H", image, pe + 20)[0]
directories = optional + 96
headers = [table + 40 * i for i in range(count)]
names = [bytes(image[h:h + 8]).rstrip(b"\0") for h in headers]
if b".text" not in names:
    sys.exit(f"{path}: no .text section")
text = headers[names.index(b".text")]

virtual_size, rva, raw_size, raw_pointer = struct.unpack_from("<IIII", image, text + 8)
end = raw_pointer + virtual_size
cut_rva = struct.unpack_from("<I", image, end - 4)[0]
cut = raw_pointer + cut_rva - rva
imports, imports_size, iat, iat_size, check = struct.unpack_from("<IIIII", image, cut)
if check != cut_rva:
    sys.exit(f"{path}: the import words are not where the linker script puts them")

struct.pack_into("<II", image, directories + 8 * IMPORT, imports, imports_size)
struct.pack_into("<II", image, directories + 8 * IAT, iat, iat_size)
for descriptor in range(raw_pointer + imports - rva, raw_pointer + imports - rva + imports_size - 20, 20):
    struct.pack_into("<I", image, descriptor, 0)  # OriginalFirstThunk

flags = struct.unpack_from("<I", image, text + 36)[0] | IMAGE_SCN_MEM_WRITE
new_virtual = cut_rva - rva
new_raw = align(new_virtual, file_alignment)
struct.pack_into("<II", image, text + 8, new_virtual, rva)
struct.pack_into("<I", image, text + 16, new_raw)
struct.pack_into("<I", image, text + 36, flags)
image[raw_pointer + new_virtual:raw_pointer + raw_size] = bytes(raw_size - new_virtual)

# Close the gap in the file: later sections move down, their addresses in
# memory stay as they are.
shrink = raw_size - new_raw
if shrink:
    del image[raw_pointer + new_raw:raw_pointer + raw_size]
    for h in headers:
        pointer = struct.unpack_from("<I", image, h + 20)[0]
        if pointer > raw_pointer:
            struct.pack_into("<I", image, h + 20, pointer - shrink)
    code_size = struct.unpack_from("<I", image, optional + 4)[0]
    struct.pack_into("<I", image, optional + 4, code_size - shrink)

# The linker's checksum no longer holds after these changes.
checksum_at = optional + 64
if struct.unpack_from("<I", image, checksum_at)[0]:
    struct.pack_into("<I", image, checksum_at, 0)
    padded = image + b"\0" * (len(image) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", image, checksum_at, (total + len(image)) & 0xFFFFFFFF)

with open(path, "wb") as f:
    f.write(image)
