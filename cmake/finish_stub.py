#!/usr/bin/python3
"""Finishes the stub after the link (see cmake/stub.ld) and refuses a layout
that is not an ordinary program's.

- The resource compiler marks its section writable; resources are constants,
  so .rsrc is made read-only like .rdata.
- The build fails when a section is both writable and executable, or when an
  import descriptor has no import lookup table (OriginalFirstThunk) or one
  that differs from its address table: loaders and scanners read the names
  from the lookup table.
- The zero-filled records at the end of .data take no file space: its raw
  data stops after the last byte that is not zero (memory beyond it is
  zero-filled by the loader).
- The DOS stub is a short one, so the PE headers of the four sections fit in
  512 bytes, one file alignment, instead of spilling into a second.
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

# A DOS program of its own for the stub: prints the message and exits with 1.
DOS_STUB = (bytes.fromhex("0e1f ba0e 00b4 09cd 21b8 014c cd21".replace(" ", ""))
            + b"Needs Win32.\r\n$")


def align(value, to):
    return (value + to - 1) // to * to


def shorten_dos_stub(image):
    old_pe = struct.unpack_from("<I", image, 0x3C)[0]
    new_pe = align(0x40 + len(DOS_STUB), 8)
    if new_pe >= old_pe:
        return image
    count = struct.unpack_from("<H", image, old_pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, old_pe + 20)[0]
    end = old_pe + 24 + optional_size + 40 * count
    moved = bytes(image[old_pe:end])
    image[0x40:end] = bytes(end - 0x40)
    image[0x40:0x40 + len(DOS_STUB)] = DOS_STUB
    image[new_pe:new_pe + len(moved)] = moved
    struct.pack_into("<I", image, 0x3C, new_pe)
    # The DOS image is the header and the stub: its size in bytes of the
    # last 512-byte page, and in pages.
    struct.pack_into("<HH", image, 2, new_pe % 512, new_pe // 512 + 1)
    return image


def close_gaps(image):
    """Cuts the zeros at the end of .data and the header padding the short
    stub freed; the sections after a cut move down in the file, their
    places in memory stay."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional = pe + 24
    table = optional + struct.unpack_from("<H", image, pe + 20)[0]
    fa = struct.unpack_from("<I", image, optional + 36)[0]
    cuts = []  # (file offset, bytes cut)
    old_headers = struct.unpack_from("<I", image, optional + 60)[0]
    new_headers = align(table + 40 * count, fa)
    if new_headers < old_headers and not any(image[new_headers:old_headers]):
        struct.pack_into("<I", image, optional + 60, new_headers)
        cuts.append((new_headers, old_headers - new_headers))
    for i in range(count):
        h = table + 40 * i
        if bytes(image[h:h + 8]).rstrip(b"\0") != b".data":
            continue
        raw, pointer = struct.unpack_from("<II", image, h + 16)
        data = bytes(image[pointer:pointer + raw])
        used = align(len(data.rstrip(b"\0")), fa)
        if used < raw:
            struct.pack_into("<I", image, h + 16, used)
            cuts.append((pointer + used, raw - used))
    for at, size in sorted(cuts, reverse=True):
        del image[at:at + size]
        for i in range(count):
            h = table + 40 * i
            pointer = struct.unpack_from("<I", image, h + 20)[0]
            if pointer >= at + size:
                struct.pack_into("<I", image, h + 20, pointer - size)
    return image


image = close_gaps(shorten_dos_stub(image))

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
