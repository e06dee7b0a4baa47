#!/usr/bin/python3
"""Finishes the stub after the link (see cmake/stub.ld) and refuses a layout
that is not an ordinary program's.

- The resource compiler marks its section writable; resources are constants,
  so .rsrc is made read-only like .rdata.
- The build fails when a section is both writable and executable, or when an
  import descriptor has no import lookup table (OriginalFirstThunk) or one
  that differs from its address table: loaders and scanners read the names
  from the lookup table.
- The checksum is computed again for the changed file.
"""
import struct
import sys

SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
IMPORT = 1


def fail(message):
    sys.exit("%s: %s" % (sys.argv[1], message))


path = sys.argv[1]
with open(path, "rb") as f:
    image = bytearray(f.read())

pe = struct.unpack_from("<I", image, 0x3C)[0]
count = struct.unpack_from("<H", image, pe + 6)[0]
optional = pe + 24
table = optional + struct.unpack_from("<H", image, pe + 20)[0]
headers = [table + 40 * i for i in range(count)]


def name(header):
    return bytes(image[header:header + 8]).rstrip(b"\0").decode("latin-1")


def offset(rva):
    for h in headers:
        vsize, address, raw, pointer = struct.unpack_from("<IIII", image, h + 8)
        if address <= rva < address + max(vsize, raw) and rva - address < raw:
            return pointer + rva - address
    fail("RVA 0x%x has no file data" % rva)


for h in headers:
    flags_at = h + 36
    flags = struct.unpack_from("<I", image, flags_at)[0]
    if name(h) == ".rsrc":
        flags &= ~SCN_MEM_WRITE
        struct.pack_into("<I", image, flags_at, flags)
    if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
        fail("section %s is both writable and executable" % name(h))

imports, imports_size = struct.unpack_from("<II", image, optional + 96 + 8 * IMPORT)
if not imports or imports_size < 40:
    fail("no import directory")
at = offset(imports)
while True:
    lookup, _, _, dll, address = struct.unpack_from("<IIIII", image, at)
    if not (lookup or dll or address):
        break
    if not lookup:
        fail("an import descriptor has no lookup table")
    first, second = offset(lookup), offset(address)
    while True:
        entry = struct.unpack_from("<I", image, first)[0]
        if entry != struct.unpack_from("<I", image, second)[0]:
            fail("an import lookup table differs from its address table")
        if not entry:
            break
        first += 4
        second += 4
    at += 20

# The linker's checksum no longer holds after these changes.
checksum_at = optional + 64
struct.pack_into("<I", image, checksum_at, 0)
padded = image + b"\0" * (len(image) % 2)
total = 0
for (word,) in struct.iter_unpack("<H", padded):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
struct.pack_into("<I", image, checksum_at, (total + len(image)) & 0xFFFFFFFF)

with open(path, "wb") as f:
    f.write(image)
