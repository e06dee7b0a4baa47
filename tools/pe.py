"""PE images, 32-bit and 64-bit (standard library only): a reader, a resource section
writer, and the stamping of stub distributions.

Reader: headers, sections, RVA <-> file offset mapping, imports, the resource
tree, and decoders for dialog templates, icon groups and version resources.

    img = PEImage.from_file("install.exe")
    img.subsystem, img.sections, img.imports()
    img.resources()[RT_DIALOG][101][1033] -> bytes

Writer: build_resource_section(entries, rva) lays out a whole resource
section; pe_checksum(data, offset) is the image checksum.

Distributions (what tools/stamp does):

    read_configuration("install.exe") -> StubConfig (texts, install number, quiet, block place)
    make_distribution("install.exe", "out.exe", title="Quorbel Beta",
                      install_number=4242, quiet=1, omit_text=[4]) -> [warnings]

Refusals raise StampError, whose .code is the command's exit status.
Runs on Python 3.8 and later, on any system.
"""

import array
import os
import re
import struct
import sys
import tempfile
import urllib.parse
from dataclasses import dataclass, field

# Resource types
RT_ICON = 3
RT_DIALOG = 5
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

# Section characteristics
SCN_CNT_CODE = 0x00000020
SCN_CNT_INITIALIZED_DATA = 0x00000040
SCN_CNT_UNINITIALIZED_DATA = 0x00000080
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664
PE32_MAGIC = 0x10B
PE32PLUS_MAGIC = 0x20B
DS_SETFONT = 0x40

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_SECURITY = 0, 1, 2, 4

# The stamp block starts with these 12 bytes; its parameters follow directly.
STAMP_MARKER = bytes((0x17, 0x16, 0x15, 0x14)) + b"67896789"


class PEError(ValueError):
    pass


def find_all(data, marker):
    """Every offset at which `marker` starts in `data` (overlaps included)."""
    hits = []
    pos = data.find(marker)
    while pos >= 0:
        hits.append(pos)
        pos = data.find(marker, pos + 1)
    return hits


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_pointer: int
    raw_size: int
    characteristics: int

    @property
    def is_code(self):
        return bool(self.characteristics & (SCN_CNT_CODE | SCN_MEM_EXECUTE))

    @property
    def is_initialized_data(self):
        return bool(self.characteristics & SCN_CNT_INITIALIZED_DATA) and self.raw_size > 0

    def contains_rva(self, rva):
        span = max(self.virtual_size, self.raw_size)
        return self.virtual_address <= rva < self.virtual_address + span

    def contains_offset(self, offset):
        """True when the file offset lies in the part of the raw data that is loaded."""
        loaded = min(self.raw_size, self.virtual_size) if self.virtual_size else self.raw_size
        return self.raw_pointer <= offset < self.raw_pointer + loaded


@dataclass
class Import:
    dll: str
    name: str = None      # None when imported by ordinal
    ordinal: int = None   # set when imported by ordinal
    hint: int = None

    @property
    def by_ordinal(self):
        return self.name is None


@dataclass
class ResourceEntry:
    """One resource: type, name and language are ints for numeric identifiers
    and str for string names (stored as written, e.g. "TEXT")."""
    type: object
    name: object
    lang: object
    data: bytes
    codepage: int = 0


class PEImage:
    def __init__(self, data):
        self.data = bytes(data)
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise PEError("no MZ header")
        self.nt_offset = self._u32(0x3C)
        if d[self.nt_offset:self.nt_offset + 4] != b"PE\0\0":
            raise PEError("no PE signature at 0x%x" % self.nt_offset)
        fh = self.nt_offset + 4
        (self.machine, nsections, self.timestamp, _, _, self.optional_header_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, fh)
        oh = fh + 20
        self.optional_header_offset = oh
        self.magic = self._u16(oh)
        if self.magic not in (PE32_MAGIC, PE32PLUS_MAGIC):
            # An unknown layout: only its magic is reported.
            self.sections = self._read_sections(oh + self.optional_header_size, nsections)
            self.data_directories = []
            return
        # PE32+ (64-bit) widens the image base and the four stack and heap
        # sizes to 8 bytes and drops the base of data; everything else of the
        # optional header sits where it does in PE32.
        wide = self.magic == PE32PLUS_MAGIC
        (self.major_linker_version, self.minor_linker_version) = struct.unpack_from("<BB", d, oh + 2)
        self.address_of_entry_point = self._u32(oh + 16)
        self.image_base = struct.unpack_from("<Q", d, oh + 24)[0] if wide else self._u32(oh + 28)
        self.section_alignment = self._u32(oh + 32)
        self.file_alignment = self._u32(oh + 36)
        (self.major_os_version, self.minor_os_version,
         self.major_image_version, self.minor_image_version,
         self.major_subsystem_version, self.minor_subsystem_version) = struct.unpack_from("<6H", d, oh + 40)
        self.size_of_image = self._u32(oh + 56)
        self.size_of_headers = self._u32(oh + 60)
        self.checksum_offset = oh + 64
        self.checksum = self._u32(oh + 64)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, oh + 68)
        self.directories_offset = oh + (112 if wide else 96)
        ndirs = self._u32(self.directories_offset - 4)
        self.data_directories = [struct.unpack_from("<II", d, self.directories_offset + 8 * i)
                                 for i in range(min(ndirs, 16))]
        self.sections = self._read_sections(oh + self.optional_header_size, nsections)

    @classmethod
    def from_file(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    # -- basics

    def _u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def _u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def _read_sections(self, off, count):
        out = []
        for i in range(count):
            raw = self.data[off + 40 * i:off + 40 * (i + 1)]
            name = raw[:8].rstrip(b"\0").decode("latin-1")
            vsize, va, rsize, rptr = struct.unpack_from("<IIII", raw, 8)
            chars = struct.unpack_from("<I", raw, 36)[0]
            out.append(Section(name, va, vsize, rptr, rsize, chars))
        return out

    @property
    def is_pe32(self):
        return self.magic == PE32_MAGIC

    @property
    def is_pe32plus(self):
        return self.magic == PE32PLUS_MAGIC

    @property
    def subsystem_version(self):
        return (self.major_subsystem_version, self.minor_subsystem_version)

    @property
    def os_version(self):
        return (self.major_os_version, self.minor_os_version)

    def directory(self, index):
        if index < len(self.data_directories):
            return self.data_directories[index]
        return (0, 0)

    def section_for_rva(self, rva):
        for s in self.sections:
            if s.contains_rva(rva):
                return s
        return None

    def section_for_offset(self, offset):
        for s in self.sections:
            if s.contains_offset(offset):
                return s
        return None

    def rva_to_offset(self, rva):
        if rva < self.size_of_headers and not self.section_for_rva(rva):
            return rva
        s = self.section_for_rva(rva)
        if s is None or rva - s.virtual_address >= s.raw_size:
            raise PEError("RVA 0x%x has no file data" % rva)
        return s.raw_pointer + (rva - s.virtual_address)

    def offset_to_rva(self, offset):
        s = self.section_for_offset(offset)
        if s is None:
            if offset < self.size_of_headers:
                return offset
            raise PEError("file offset 0x%x is not mapped" % offset)
        return s.virtual_address + (offset - s.raw_pointer)

    def read_rva(self, rva, size):
        off = self.rva_to_offset(rva)
        return self.data[off:off + size]

    def cstring_at_rva(self, rva):
        off = self.rva_to_offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("latin-1")

    # -- imports

    def imports(self):
        """All imported functions, as a list of Import, in table order."""
        rva, size = self.directory(DIR_IMPORT)
        out = []
        if not rva:
            return out
        pos = self.rva_to_offset(rva)
        while True:
            ilt, _, _, name_rva, iat = struct.unpack_from("<IIIII", self.data, pos)
            if not (ilt or name_rva or iat):
                break
            dll = self.cstring_at_rva(name_rva)
            thunk = self.rva_to_offset(ilt or iat)
            width = 8 if self.is_pe32plus else 4
            ordinal_flag = 1 << (8 * width - 1)
            while True:
                entry = struct.unpack_from("<Q" if width == 8 else "<I", self.data, thunk)[0]
                if entry == 0:
                    break
                if entry & ordinal_flag:
                    out.append(Import(dll, ordinal=entry & 0xFFFF))
                else:
                    hint_off = self.rva_to_offset(entry)
                    hint = self._u16(hint_off)
                    end = self.data.index(b"\0", hint_off + 2)
                    out.append(Import(dll, name=self.data[hint_off + 2:end].decode("latin-1"), hint=hint))
                thunk += width
            pos += 20
        return out

    def imported_dlls(self):
        seen = []
        for imp in self.imports():
            if imp.dll not in seen:
                seen.append(imp.dll)
        return seen

    # -- resources

    def resources(self):
        """The resource tree: {type: {name: {language: bytes}}}, read by the
        checked walk of resource_entries().

        Types and names are ints for numeric identifiers and str for string
        names (stored as written, e.g. "TEXT"). Languages are ints.
        """
        tree = {}
        for e in self.resource_entries():
            tree.setdefault(e.type, {}).setdefault(e.name, {})[e.lang] = e.data
        return tree

    def resource_section(self):
        rva, _ = self.directory(DIR_RESOURCE)
        return self.section_for_rva(rva) if rva else None

    def resource(self, rtype, name, lang=None):
        """Bytes of one resource, or None. Without `lang`, the only language stored."""
        langs = self.resources().get(rtype, {}).get(name)
        if not langs:
            return None
        if lang is None:
            return next(iter(langs.values())) if len(langs) == 1 else None
        return langs.get(lang)

    def resource_entries(self):
        """Every resource as a ResourceEntry, in stored order.

        Unlike resources(), every offset is checked: a tree that points outside
        the image, back into itself, or is not three levels deep raises PEError.
        """
        rva, _ = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        try:
            base = self.rva_to_offset(rva)
            out = []
            self._walk_resources(base, 0, [], set(), out)
        except (struct.error, IndexError, UnicodeDecodeError) as e:
            raise PEError("resource tree runs outside the file (%s)" % e) from None
        return out

    def _walk_resources(self, base, off, path, seen, out):
        if off in seen:
            raise PEError("resource directory at +0x%x is reached twice" % off)
        seen.add(off)
        named, ids = struct.unpack_from("<HH", self.data, base + off + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + off + 16 + 8 * i)
            if name & 0x80000000:
                soff = base + (name & 0x7FFFFFFF)
                length = self._u16(soff)
                raw = self.data[soff + 2:soff + 2 + 2 * length]
                if len(raw) != 2 * length:
                    raise PEError("resource name at +0x%x runs past the end" % (name & 0x7FFFFFFF))
                key = raw.decode("utf-16-le")
            else:
                key = name & 0xFFFF
            is_dir = bool(target & 0x80000000)
            if is_dir != (len(path) < 2):
                raise PEError("resource tree is not three levels deep at %r" % (path + [key]))
            if is_dir:
                self._walk_resources(base, target & 0x7FFFFFFF, path + [key], seen, out)
            else:
                data_rva, size, codepage = struct.unpack_from("<III", self.data, base + target)
                data = self.read_rva(data_rva, size)
                if len(data) != size:
                    raise PEError("resource %r runs past the end of the file" % (path + [key]))
                out.append(ResourceEntry(path[0], path[1], key, data, codepage))


# ------------------------------------------------------- dialog templates

@dataclass
class DialogItem:
    style: int
    exstyle: int
    x: int
    y: int
    cx: int
    cy: int
    id: int
    window_class: object   # int atom (0x80 Button, 0x82 Static, ...) or str
    title: object          # str, or int for a resource ordinal
    extra: bytes = b""
    extra_count: int = 0   # the stored count of creation-data bytes


@dataclass
class Dialog:
    extended: bool
    style: int
    exstyle: int
    x: int
    y: int
    cx: int
    cy: int
    menu: object           # None, int ordinal or str
    window_class: object   # None, int atom or str
    caption: str
    point_size: int = None
    face: str = None
    items: list = field(default_factory=list)


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, fmt):
        vals = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return vals if len(vals) > 1 else vals[0]

    def align(self, n=4):
        self.pos = (self.pos + n - 1) // n * n

    def sz(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
            if end >= len(self.data):
                raise PEError("unterminated string in template")
        s = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return s

    def sz_or_ord(self, empty_is_none=False):
        first = struct.unpack_from("<H", self.data, self.pos)[0]
        if first == 0xFFFF:
            self.pos += 2
            return self.take("H")
        if first == 0 and empty_is_none:
            self.pos += 2
            return None
        return self.sz()


def parse_dialog(data):
    """Decodes a DLGTEMPLATE (or, marked by `extended`, a DLGTEMPLATEEX)."""
    r = _Reader(data)
    if len(data) >= 4 and struct.unpack_from("<HH", data) == (1, 0xFFFF):
        r.take("HH")
        _help, exstyle, style, cdit, x, y, cx, cy = r.take("IIIHhhhh")
        dlg = Dialog(True, style, exstyle, x, y, cx, cy, r.sz_or_ord(True), r.sz_or_ord(True), r.sz())
        if style & DS_SETFONT:
            dlg.point_size, _weight, _italic, _charset = r.take("HHBB")
            dlg.face = r.sz()
        for _ in range(cdit):
            r.align()
            _help, iexstyle, istyle, ix, iy, icx, icy, iid = r.take("IIIhhhhI")
            cls = r.sz_or_ord()
            title = r.sz_or_ord()
            n = r.take("H")
            extra = data[r.pos:r.pos + n]
            r.pos += n
            dlg.items.append(DialogItem(istyle, iexstyle, ix, iy, icx, icy, iid, cls, title, extra, n))
        return dlg
    style, exstyle, cdit, x, y, cx, cy = r.take("IIHhhhh")
    dlg = Dialog(False, style, exstyle, x, y, cx, cy, r.sz_or_ord(True), r.sz_or_ord(True), r.sz())
    if style & DS_SETFONT:
        dlg.point_size = r.take("H")
        dlg.face = r.sz()
    for _ in range(cdit):
        r.align()
        istyle, iexstyle, ix, iy, icx, icy, iid = r.take("IIhhhhH")
        cls = r.sz_or_ord()
        title = r.sz_or_ord()
        n = r.take("H")
        extra = data[r.pos:r.pos + n]
        r.pos += n
        dlg.items.append(DialogItem(istyle, iexstyle, ix, iy, icx, icy, iid, cls, title, extra, n))
    return dlg


# ------------------------------------------------------------- icon groups

@dataclass
class GroupIconEntry:
    width: int
    height: int
    color_count: int
    planes: int
    bit_count: int
    bytes_in_res: int
    id: int


def parse_group_icon(data):
    """GRPICONDIR -> list of GroupIconEntry (0 in width/height means 256)."""
    reserved, rtype, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or rtype != 1:
        raise PEError("not an icon group (reserved %d, type %d)" % (reserved, rtype))
    out = []
    for i in range(count):
        w, h, colors, _res, planes, bits, size, rid = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        out.append(GroupIconEntry(w or 256, h or 256, colors, planes, bits, size, rid))
    return out


def parse_ico_file(data):
    """A .ico file -> list of (width, height, color_count, bit_count, image bytes)."""
    reserved, rtype, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or rtype != 1:
        raise PEError("not an .ico file")
    out = []
    for i in range(count):
        w, h, colors, _res, _planes, bits, size, off = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        out.append((w or 256, h or 256, colors, bits, data[off:off + size]))
    return out


# --------------------------------------------------------- version resource

@dataclass
class VersionInfo:
    file_version: tuple
    product_version: tuple
    file_flags: int
    file_os: int
    file_type: int
    string_tables: dict    # "040904b0" -> {key: value}
    translations: list     # [(language, codepage)]

    @property
    def strings(self):
        """All strings of all tables merged (first table wins)."""
        merged = {}
        for table in self.string_tables.values():
            for k, v in table.items():
                merged.setdefault(k, v)
        return merged


def _version_block(data, pos):
    """One node of a version resource: (key, wType, value bytes, children, end)."""
    length, value_length, vtype = struct.unpack_from("<HHH", data, pos)
    if length == 0:
        raise PEError("empty version block at 0x%x" % pos)
    end = pos + length
    r = _Reader(data)
    r.pos = pos + 6
    key = r.sz()
    r.align()
    vstart = r.pos
    if vtype == 1 and value_length:
        # A text leaf (a String). Compilers disagree on whether wValueLength
        # counts characters or bytes, so take the rest of the block; the
        # reader cuts the text at its terminator.
        value = data[vstart:end]
        r.pos = end
    else:
        value = data[vstart:min(vstart + value_length, end)]
        r.pos = vstart + value_length
        r.align()
    children = []
    while r.pos < end:
        child = _version_block(data, r.pos)
        children.append(child)
        r.pos = child[4]
        r.align()
    return key, vtype, value, children, end


def parse_version_info(data):
    key, _, value, children, _ = _version_block(data, 0)
    if key != "VS_VERSION_INFO":
        raise PEError("version resource key is %r" % key)
    sig, _struc, fvms, fvls, pvms, pvls, _mask, flags, fos, ftype = struct.unpack_from("<10I", value)
    if sig != 0xFEEF04BD:
        raise PEError("VS_FIXEDFILEINFO signature 0x%08x" % sig)
    split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    tables, translations = {}, []
    for ckey, _, _, grandchildren, _ in children:
        if ckey == "StringFileInfo":
            for tkey, _, _, strings, _ in grandchildren:
                table = tables.setdefault(tkey, {})
                for skey, _, svalue, _, _ in strings:
                    table[skey] = svalue.decode("utf-16-le", errors="replace").split("\0", 1)[0]
        elif ckey == "VarFileInfo":
            for vkey, _, vvalue, _, _ in grandchildren:
                if vkey == "Translation":
                    for i in range(0, len(vvalue) - 3, 4):
                        translations.append(struct.unpack_from("<HH", vvalue, i))
    return VersionInfo(split(fvms, fvls), split(pvms, pvls), flags, fos, ftype, tables, translations)



# ------------------------------------------------------ resource writer

def _res_sort_key(key):
    # Named entries come first, ordered by their UTF-16 code units, then the
    # numeric ones in ascending order: the loader searches them binary.
    if isinstance(key, str):
        units = key.encode("utf-16-le")
        return (0, struct.unpack("<%dH" % (len(units) // 2), units), 0)
    return (1, (), key)


def _check_res_key(key, what):
    if isinstance(key, str):
        if not key or len(key.encode("utf-16-le")) // 2 > 0xFFFF:
            raise PEError("resource %s name %r cannot be stored" % (what, key))
    elif not isinstance(key, int) or isinstance(key, bool) or not 0 <= key <= 0xFFFF:
        raise PEError("resource %s id %r is not a number from 0 to 65535" % (what, key))


def _pad(n, alignment):
    return (n + alignment - 1) // alignment * alignment


def build_resource_section(entries, rva):
    """The bytes of a resource section that starts at `rva` and holds `entries`
    (ResourceEntry; their order does not matter).

    Laid out as the GNU resource compiler and linker lay it out, so a section
    read with resource_entries() and written back comes out byte for byte:
    the directories depth first (root, then per type its name directory
    followed by the language directories of its names), the name strings
    (the whole run padded to 8 bytes), the data entries, then each resource's
    bytes padded to 8. The section's size is the length of the result.
    """
    tree = {}
    for e in entries:
        _check_res_key(e.type, "type")
        _check_res_key(e.name, "name")
        _check_res_key(e.lang, "language")
        langs = tree.setdefault(e.type, {}).setdefault(e.name, {})
        if e.lang in langs:
            raise PEError("resource %r/%r/%r is given twice" % (e.type, e.name, e.lang))
        langs[e.lang] = e

    # Directories in depth-first order; each is [offset, [(key, child)]].
    dirs, where = [], {}
    size = 0

    def place(node):
        nonlocal size
        items = sorted(node.items(), key=lambda kv: _res_sort_key(kv[0]))
        record = [size, items]
        dirs.append(record)
        where[id(node)] = size
        size += 16 + 8 * len(items)
        for _, child in items:
            if isinstance(child, dict):
                place(child)

    place(tree)
    strings_at = size
    strings, string_offsets = bytearray(), {}
    for n, (_, items) in enumerate(dirs):
        for i, (key, _) in enumerate(items):
            if isinstance(key, str):
                string_offsets[(n, i)] = strings_at + len(strings)
                units = key.encode("utf-16-le")
                strings += struct.pack("<H", len(units) // 2) + units
    entries_at = strings_at + _pad(len(strings), 8)
    leaves = [child for _, items in dirs for _, child in items if isinstance(child, ResourceEntry)]
    data_at = entries_at + 16 * len(leaves)
    data_offsets, pos = [], data_at
    for leaf in leaves:
        data_offsets.append(pos)
        pos += _pad(len(leaf.data), 8)

    out = bytearray(pos)
    leaf_index = {id(leaf): k for k, leaf in enumerate(leaves)}
    for n, (offset, items) in enumerate(dirs):
        named = sum(1 for key, _ in items if isinstance(key, str))
        struct.pack_into("<IIHHHH", out, offset, 0, 0, 0, 0, named, len(items) - named)
        for i, (key, child) in enumerate(items):
            name = (0x80000000 | string_offsets[(n, i)]) if isinstance(key, str) else key
            if isinstance(child, dict):
                target = 0x80000000 | where[id(child)]
            else:
                target = entries_at + 16 * leaf_index[id(child)]
            struct.pack_into("<II", out, offset + 16 + 8 * i, name, target)
    out[strings_at:strings_at + len(strings)] = strings
    for k, leaf in enumerate(leaves):
        struct.pack_into("<IIII", out, entries_at + 16 * k,
                         rva + data_offsets[k], len(leaf.data), leaf.codepage, 0)
        out[data_offsets[k]:data_offsets[k] + len(leaf.data)] = leaf.data
    return bytes(out)


def pe_checksum(data, checksum_offset):
    """The image checksum: 16-bit one's-complement sum of the file with the
    checksum field taken as zero, plus the file length."""
    buf = bytearray(data)
    buf[checksum_offset:checksum_offset + 4] = bytes(4)
    if len(buf) % 2:
        buf.append(0)
    words = array.array("H")
    words.frombytes(bytes(buf))
    if sys.byteorder == "big":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


# --------------------------------------------------- stub distributions

TEXT_TYPE = "TEXT"
LANG_EN_US = 1033
STAMP_BLOCK_SIZE = 24

# The TEXT resources the stub reads: id, header name, keyword of
# make_distribution (its command-line option is the same with dashes).
TEXTS = (
    (1, "IDT_DOWNLOAD_URL", "download_url"),
    (4, "IDT_EVENT_URL", "event_url"),
    (104, "IDT_PRODUCT_CODE", "product_code"),
    (107, "IDT_REGISTRY_KEY", "registry_key"),
    (2003, "IDT_CAMPAIGN", "campaign"),
    (2008, "IDT_TITLE", "title"),
    (2010, "IDT_SETUP_SHA256", "sha256"),
    (2011, "IDT_RETRIES", "retries"),
    (2012, "IDT_FALLBACK_URL", "fallback_url"),
)
TEXT_NAMES = {tid: name for tid, name, _ in TEXTS}
TEXT_KEYWORDS = {kw: tid for tid, _, kw in TEXTS}

# Limits of the values. The stub formats its download file as
# "<temp dir>\~<product code><install number>.exe" and opens it with the ANSI
# file calls, which take at most MAX_PATH (260) characters with the
# terminator. Allowing a temporary directory of 120 characters and the
# longest install number (10 digits), the product code may have 123 bytes.
# The launch name "<temp dir>\~mi<install number>$<process id>.exe" does not
# hold the product code and is at most 147 characters with that directory.
MAX_PATH = 260
TEMP_DIR_BUDGET = 120
MAX_INSTALL_NUMBER = 2 ** 31 - 1          # written with "%d" and "%08d"
_NUMBER_DIGITS = len(str(MAX_INSTALL_NUMBER))
MAX_PRODUCT_CODE = MAX_PATH - 1 - TEMP_DIR_BUDGET - len("\\~") - _NUMBER_DIGITS - len(".exe")
# The product code also names a file, a mutex and a window class.
FILE_NAME_FORBIDDEN = b'\\/:*?"<>|'
# The event request "<event URL>?camp=<campaign>&mode=1" is formatted with
# wsprintfA, which writes at most 1024 characters with the terminator.
MAX_EVENT_REQUEST = 1023
# Retries of a failed download within one run (TEXT 2011).
MAX_RETRIES = 20
DEFAULT_ENCODING = "cp1252"

# Exit statuses of tools/stamp (StampError.code).
EXIT_OK = 0
EXIT_USAGE = 2            # command line not understood
EXIT_IO = 3               # input unreadable or output not writable
EXIT_NOT_PE32 = 4         # not a 32-bit Windows program (or a damaged one)
EXIT_NOT_STUB = 5         # a PE32 program, but no TEXT resources and no stamp block
EXIT_NO_MARKER = 6        # no stamp block marker in the initialised data
EXIT_MARKER_TWICE = 7     # marker more than once (in the input, or the output would have it)
EXIT_INSTALL_NUMBER = 8   # install number not a decimal from 0 to 2^31-1
EXIT_QUIET = 9            # quiet flag not 0 or 1
EXIT_PRODUCT_CODE = 10    # product code too long or not usable in a file name
EXIT_SAME_FILE = 11       # output is the input
EXIT_UNKNOWN_TEXT = 12    # a text id that is not one of the stub's
EXIT_TEXT_VALUE = 13      # a text given twice, set and omitted, bad hex, not encodable
EXIT_LAYOUT = 14          # the resource section cannot be rewritten in place
EXIT_SHA256 = 15          # the setup's SHA-256 is not 64 hexadecimal digits
EXIT_STALE_PIN = 16       # a new download URL with the old pin kept
EXIT_RETRIES = 17         # the retry count is not a decimal number from 0 to MAX_RETRIES
EXIT_FALLBACK_URL = 18    # the fallback URL is not an http, https or ftp URL with a host


class StampError(Exception):
    """A refusal: .code is the exit status, str() the one-line reason."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


def _is_text_type(key):
    return isinstance(key, str) and key.upper() == TEXT_TYPE


def text_id(key):
    """The id of one of the texts from 2008, "2008", "IDT_TITLE", "title"
    or "TITLE"; StampError(EXIT_UNKNOWN_TEXT) for anything else."""
    if isinstance(key, int) and not isinstance(key, bool):
        if key in TEXT_NAMES:
            return key
    elif isinstance(key, str):
        k = key.strip()
        if re.fullmatch(r"[0-9]+", k) and int(k) in TEXT_NAMES:
            return int(k)
        k = k.lower().replace("-", "_")
        for tid, name, kw in TEXTS:
            if k in (name.lower(), kw):
                return tid
    raise StampError(EXIT_UNKNOWN_TEXT, "unknown text id %r: the stub reads %s" % (
        key, ", ".join("%d (%s)" % (tid, name) for tid, name, _ in TEXTS)))


def quote_text(data):
    """Bytes as a double-quoted text: printable ASCII as it is, \\" and \\\\,
    every other byte as \\xNN."""
    out = []
    for b in data:
        if b in (0x22, 0x5C):
            out.append("\\" + chr(b))
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return '"' + "".join(out) + '"'


@dataclass
class StubConfig:
    """The configuration a stub carries (read_configuration)."""
    texts: dict               # id -> {language: bytes}, for the stub's ids present
    other_texts: dict         # further TEXT resources: name -> {language: bytes}
    install_number: int
    quiet: int
    reserved: int
    block_offset: int         # file offset of the stamp block (its marker)
    block_section: str
    block_rva: int
    image_base: int
    signature: tuple = None   # (file offset, size) of the certificate table, or None

    def text(self, tid):
        """The bytes of text `tid` (in US English, else its only language), or None."""
        langs = self.texts.get(text_id(tid))
        if not langs:
            return None
        return langs.get(LANG_EN_US, next(iter(langs.values())))

    def as_dict(self):
        texts = []
        for tid, name, kw in TEXTS:
            langs = self.texts.get(tid, {})
            value = self.text(tid)
            texts.append({
                "id": tid, "name": name, "option": "--" + kw.replace("_", "-"),
                "present": value is not None,
                # Each byte as the character of the same number (lossless).
                "text": value.decode("latin-1") if value is not None else None,
                "hex": value.hex() if value is not None else None,
                "languages": sorted(langs, key=_res_sort_key),
            })
        return {
            "texts": texts,
            "other_texts": sorted(map(str, self.other_texts)),
            "install_number": self.install_number,
            "quiet": self.quiet,
            "reserved": self.reserved,
            "stamp_block": {"offset": self.block_offset, "section": self.block_section,
                            "rva": self.block_rva, "va": self.image_base + self.block_rva},
            "signature": None if not self.signature else
                         {"offset": self.signature[0], "size": self.signature[1]},
        }


@dataclass
class Changes:
    """What a distribution changes: validated by prepare_changes()."""
    texts: dict = field(default_factory=dict)    # id -> bytes
    omit: set = field(default_factory=set)       # ids to leave out
    install_number: int = None
    quiet: int = None


def _text_bytes(value, encoding, what):
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if not isinstance(value, str):
        raise StampError(EXIT_TEXT_VALUE, "%s: %r is not a text" % (what, value))
    try:
        return value.encode(encoding)
    except UnicodeError:
        raise StampError(EXIT_TEXT_VALUE, "%s: %r cannot be written in %s; choose another "
                         "encoding or give the bytes in hex" % (what, value, encoding)) from None
    except LookupError:
        raise StampError(EXIT_TEXT_VALUE, "unknown encoding %r" % encoding) from None


def parse_install_number(value):
    if isinstance(value, int) and not isinstance(value, bool):
        number = value
    elif isinstance(value, str) and re.fullmatch(r"[0-9]+", value):
        number = int(value)
    else:
        number = -1
    if not 0 <= number <= MAX_INSTALL_NUMBER:
        raise StampError(EXIT_INSTALL_NUMBER, "install number %r is not a decimal number from "
                         "0 to %d" % (value, MAX_INSTALL_NUMBER))
    return number


def parse_quiet(value):
    if isinstance(value, bool):
        return int(value)
    if value in (0, 1, "0", "1"):
        return int(value)
    raise StampError(EXIT_QUIET, "quiet flag %r is not 0 or 1" % (value,))


def check_product_code(code):
    """Refuses a product code that would not make usable names. The stub
    reads the text up to its first zero byte, so that part is checked."""
    effective = code.split(b"\0", 1)[0]
    if len(effective) > MAX_PRODUCT_CODE:
        raise StampError(EXIT_PRODUCT_CODE, "product code has %d bytes, at most %d fit: the "
                         "download file name must stay within MAX_PATH (%d) with a temporary "
                         "directory of %d characters and a 10-digit install number" % (
                             len(effective), MAX_PRODUCT_CODE, MAX_PATH, TEMP_DIR_BUDGET))
    bad = sorted({b for b in effective if b < 0x20 or b in FILE_NAME_FORBIDDEN})
    if bad:
        raise StampError(EXIT_PRODUCT_CODE, "product code %s holds %s, which cannot be part of "
                         "a file name" % (quote_text(effective), ", ".join(
                             quote_text(bytes([b])) for b in bad)))


def check_sha256(value):
    """Refuses a pin the stub would take for a broken distribution: it must
    be empty (no check) or exactly 64 hexadecimal digits, either case."""
    if value and not re.fullmatch(rb"[0-9A-Fa-f]{64}", value):
        raise StampError(EXIT_SHA256, "SHA-256 %s is not 64 hexadecimal digits (give the hash "
                         "of the setup, or use --sha256-of FILE)" % quote_text(value))


def check_retries(value):
    """Refuses a retry count the stub would take for a broken distribution:
    empty (no retries) or decimal digits only, at most MAX_RETRIES."""
    if value and not (re.fullmatch(rb"[0-9]+", value) and int(value) <= MAX_RETRIES):
        raise StampError(EXIT_RETRIES, "retry count %s is not a decimal number from 0 to %d" % (
            quote_text(value), MAX_RETRIES))


def _url_host(url):
    """The host of a URL given as bytes, lower case ("" when it has none)."""
    try:
        return (urllib.parse.urlsplit(url.decode("latin-1")).hostname or "")
    except ValueError:
        return ""


def check_fallback_url(value):
    """Refuses a second server's URL the stub could not fetch from: empty
    (none) or an http, https or ftp URL with a host."""
    effective = value.split(b"\0", 1)[0]
    if not effective:
        return
    scheme = effective.split(b":", 1)[0].lower() if b":" in effective else b""
    if scheme not in (b"http", b"https", b"ftp") or not effective[len(scheme):].startswith(b"://") \
            or not _url_host(effective):
        raise StampError(EXIT_FALLBACK_URL, "fallback URL %s is not an http, https or ftp URL "
                         "with a host" % quote_text(value))


def check_control_characters(tid, value):
    """Refuses control characters in the part of a text the stub reads (up to
    its first zero byte): they would go into a request line or the registry
    as they are."""
    effective = value.split(b"\0", 1)[0]
    bad = sorted({b for b in effective if b < 0x20 or b == 0x7F})
    if bad:
        raise StampError(EXIT_TEXT_VALUE, "text %d (%s) holds the control character%s %s, which "
                         "would go into a request or the registry as %s" % (
                             tid, TEXT_NAMES[tid], "s" if len(bad) > 1 else "",
                             ", ".join(quote_text(bytes([b])) for b in bad),
                             "they are" if len(bad) > 1 else "it is"))


def distribution_warnings(texts):
    """What a distribution with these texts ({id: bytes}, as the stub reads
    them) should not do, one line each."""
    warnings = []
    url, event, campaign, pin, fallback = (texts.get(tid, b"").split(b"\0", 1)[0]
                                           for tid in (1, 4, 2003, 2010, 2012))
    for where, address in (("", url), (" from the fallback URL", fallback)):
        scheme = address.split(b":", 1)[0].lower() if b":" in address else b""
        if address and scheme != b"https" and not pin:
            warnings.append("the setup is downloaded%s over %s without a SHA-256 pin: anyone on "
                            "the network path can replace it and the stub would start what it "
                            "gets; pin it with --sha256 or --sha256-of, best with an https URL" % (
                                where,
                                "plain " + scheme.decode("latin-1") if scheme in (b"http", b"ftp")
                                else "a URL that is not https"))
    if fallback and url and _url_host(fallback) and _url_host(fallback) == _url_host(url):
        warnings.append("the fallback URL %s is on the download URL's host %s: when that host "
                        "is down or unreachable, so is the fallback" % (
                            quote_text(fallback), _url_host(url)))
    if event:
        odd = sorted({c for c in campaign.decode("latin-1") if c in "#&?= "})
        if odd:
            warnings.append("the campaign %s holds %s, which change%s the meaning of the event "
                            "request: the stub sends the campaign unescaped after ?camp=" % (
                                quote_text(campaign), ", ".join(repr(c) for c in odd),
                                "" if len(odd) > 1 else "s"))
        if b"?" in event:
            warnings.append("the event URL %s already has a query: the stub appends "
                            "?camp=...&mode=..., so the event script would not see camp as a "
                            "parameter of its own" % quote_text(event))
    return warnings


def prepare_changes(download_url=None, event_url=None, product_code=None, registry_key=None,
                    campaign=None, title=None, sha256=None, retries=None, fallback_url=None,
                    install_number=None,
                    quiet=None, omit_text=(), text=None, text_hex=None,
                    encoding=DEFAULT_ENCODING):
    """Checks and collects the values of one distribution (see make_distribution)."""
    changes = Changes()
    given = []
    named = {"download_url": download_url, "event_url": event_url, "product_code": product_code,
             "registry_key": registry_key, "campaign": campaign, "title": title, "sha256": sha256,
             "retries": retries, "fallback_url": fallback_url}
    for kw, value in named.items():
        if value is not None:
            given.append((TEXT_KEYWORDS[kw], value, "--" + kw.replace("_", "-")))
    for key, value in (text or {}).items():
        given.append((text_id(key), value, "text %s" % key))
    for key, value in (text_hex or {}).items():
        tid = text_id(key)
        try:
            raw = bytes.fromhex(value) if isinstance(value, str) else None
        except ValueError:
            raw = None
        if raw is None:
            raise StampError(EXIT_TEXT_VALUE, "hex text %s: %r is not hexadecimal" % (key, value))
        given.append((tid, raw, "hex text %s" % key))
    if isinstance(omit_text, (int, str)):
        omit_text = [omit_text]
    changes.omit = {text_id(k) for k in omit_text}
    for tid, value, what in given:
        if tid in changes.texts:
            raise StampError(EXIT_TEXT_VALUE, "text %d (%s) is given twice" % (tid, TEXT_NAMES[tid]))
        if tid in changes.omit:
            raise StampError(EXIT_TEXT_VALUE, "text %d (%s) is both set and omitted" % (
                tid, TEXT_NAMES[tid]))
        changes.texts[tid] = _text_bytes(value, encoding, what)
    if 104 in changes.texts:
        check_product_code(changes.texts[104])
    for tid, value in changes.texts.items():
        check_control_characters(tid, value)
    if 2010 in changes.texts:
        check_sha256(changes.texts[2010])
    if 2011 in changes.texts:
        check_retries(changes.texts[2011])
    if 2012 in changes.texts:
        check_fallback_url(changes.texts[2012])
    if install_number is not None:
        changes.install_number = parse_install_number(install_number)
    if quiet is not None:
        changes.quiet = parse_quiet(quiet)
    return changes


def _open_stub(data, what):
    """(image, resource entries, stamp block offset) of a stub, or StampError."""
    try:
        img = PEImage(data)
        # The shipped stub is 32-bit; the 64-bit test build is stamped alike.
        ok = (img.magic, img.machine) in ((PE32_MAGIC, MACHINE_I386),
                                          (PE32PLUS_MAGIC, MACHINE_AMD64))
    except (PEError, struct.error, IndexError, ValueError) as e:
        raise StampError(EXIT_NOT_PE32, "%s is not a PE32 program: %s" % (what, e)) from None
    if not ok:
        raise StampError(EXIT_NOT_PE32, "%s is neither a 32-bit nor a 64-bit Windows program "
                         "(machine 0x%04x, optional header magic 0x%x)"
                         % (what, img.machine, img.magic))
    try:
        for s in img.sections:
            if s.raw_size and s.raw_pointer + s.raw_size > len(data):
                raise PEError("section %s runs past the end of the file" % s.name)
        entries = img.resource_entries()
    except (PEError, struct.error, IndexError, ValueError) as e:
        raise StampError(EXIT_NOT_PE32, "%s is not a complete PE32 program: %s" % (what, e)) from None
    hits = find_all(img.data, STAMP_MARKER)
    if not hits:
        if not any(_is_text_type(e.type) for e in entries):
            raise StampError(EXIT_NOT_STUB, "%s is not a download stub: it has no TEXT resources "
                             "and no stamp block" % what)
        raise StampError(EXIT_NO_MARKER, "%s: stamp block marker not found" % what)
    if len(hits) > 1:
        raise StampError(EXIT_MARKER_TWICE, "%s: stamp block marker found %d times (at %s); "
                         "cannot tell which block the program reads" % (
                             what, len(hits), ", ".join("0x%x" % h for h in hits)))
    block = hits[0]
    section = img.section_for_offset(block)
    rsrc = img.resource_section()
    if (section is None or not section.contains_offset(block + STAMP_BLOCK_SIZE - 1)
            or section == rsrc):
        raise StampError(EXIT_NO_MARKER, "%s: the stamp block marker at 0x%x is not in the "
                         "program's initialised data" % (what, block))
    return img, entries, block


def read_configuration(source):
    """The StubConfig of a stub, given as a path or as its bytes."""
    what = "input"
    if not isinstance(source, (bytes, bytearray)):
        what = str(source)
        try:
            with open(source, "rb") as f:
                source = f.read()
        except OSError as e:
            raise StampError(EXIT_IO, "cannot read %s: %s" % (what, e.strerror or e)) from None
    img, entries, block = _open_stub(bytes(source), what)
    texts, others = {}, {}
    for e in entries:
        if _is_text_type(e.type):
            target = texts if e.name in TEXT_NAMES else others
            target.setdefault(e.name, {})[e.lang] = e.data
    number, quiet, reserved = struct.unpack_from("<III", img.data, block + 12)
    sig = img.directory(DIR_SECURITY)
    return StubConfig(texts, others, number, quiet, reserved, block,
                      img.section_for_offset(block).name, img.offset_to_rva(block),
                      img.image_base, sig if sig[1] else None)


def stamp_image(data, changes, what="input"):
    """A new distribution from the bytes of a stub: (bytes, [warnings]).

    The stamp block is patched where it is; the resource section, which must
    be the last section, is rebuilt with the changed TEXT resources and
    written where the old one was; the headers that describe it follow, and
    the checksum is recomputed when the input had one. An Authenticode
    signature is dropped (it would no longer match).
    """
    img, entries, block = _open_stub(bytes(data), what)
    warnings = []
    rva, _ = img.directory(DIR_RESOURCE)
    rsrc = img.resource_section()
    if rsrc is None or rsrc.virtual_address != rva:
        raise StampError(EXIT_LAYOUT, "%s: the resource directory does not start a section of "
                         "its own" % what)
    index = img.sections.index(rsrc)
    others = [s for i, s in enumerate(img.sections) if i != index]
    if any(s.virtual_address >= rsrc.virtual_address or
           (s.raw_size and s.raw_pointer >= rsrc.raw_pointer) for s in others):
        raise StampError(EXIT_LAYOUT, "%s: the resource section %s is not the last section, so "
                         "it cannot grow in place" % (what, rsrc.name))
    span = max(rsrc.virtual_size, rsrc.raw_size)
    for i, (drva, dsize) in enumerate(img.data_directories):
        if i not in (DIR_RESOURCE, DIR_SECURITY) and dsize and \
                rsrc.virtual_address <= drva < rsrc.virtual_address + span:
            raise StampError(EXIT_LAYOUT, "%s: data directory %d lies in the resource section"
                             % (what, i))

    # The new resource tree.
    kept, by_id = [], {}
    for e in entries:
        if _is_text_type(e.type) and e.name in TEXT_NAMES and \
                (e.name in changes.texts or e.name in changes.omit):
            by_id.setdefault(e.name, []).append(e)
        else:
            kept.append(e)
    # A pin names the setup the old URL serves: kept for a new URL, every user
    # would download twice and get error 577.
    old_texts = {e.name: e.data.split(b"\0", 1)[0] for e in entries
                 if _is_text_type(e.type) and e.name in (1, 2010)}
    if old_texts.get(2010) and 1 in changes.texts and 2010 not in changes.texts \
            and 2010 not in changes.omit \
            and changes.texts[1].split(b"\0", 1)[0] != old_texts.get(1, b""):
        raise StampError(EXIT_STALE_PIN, "%s is pinned to a setup's SHA-256 and the download URL "
                         "changes: give the new setup's pin (--sha256 HEX or --sha256-of SETUP), "
                         "or drop the pin with --sha256 \"\"" % what)
    text_type = next((e.type for e in entries if _is_text_type(e.type)), TEXT_TYPE)
    for tid, value in changes.texts.items():
        old = by_id.get(tid, [])
        lang, codepage = (old[0].lang, old[0].codepage) if len(old) == 1 else (LANG_EN_US, 0)
        kept.append(ResourceEntry(text_type, tid, lang, value, codepage))
    try:
        section = build_resource_section(kept, rsrc.virtual_address)
    except PEError as e:
        raise StampError(EXIT_LAYOUT, "%s: %s" % (what, e)) from None

    # Where things go in the new file.
    fa, sa = img.file_alignment or 1, img.section_alignment or 1
    old_end = rsrc.raw_pointer + rsrc.raw_size
    new_raw = _pad(len(section), fa)
    overlay = bytearray(img.data[old_end:])
    sig_off, sig_size = img.directory(DIR_SECURITY)
    dropped = 0
    if sig_size:
        warnings.append("%s carries an Authenticode signature, which stamping invalidates: "
                        "the output is written without it; sign the output after stamping "
                        "(e.g. osslsigncode sign -certs CERT -key KEY -in OUT -out SIGNED)" % what)
        if sig_off >= old_end:
            start = sig_off - old_end
            dropped = len(overlay[start:start + sig_size])
            del overlay[start:start + sig_size]
    out = bytearray(img.data[:rsrc.raw_pointer])
    out += section + bytes(new_raw - len(section))
    out += overlay
    shift = new_raw - rsrc.raw_size

    # Headers.
    oh = img.optional_header_offset
    fh = img.nt_offset + 4
    sh = oh + img.optional_header_size + 40 * index
    struct.pack_into("<I", out, sh + 8, len(section))
    struct.pack_into("<I", out, sh + 16, new_raw)
    if rsrc.characteristics & SCN_CNT_INITIALIZED_DATA:
        init = struct.unpack_from("<I", out, oh + 8)[0]
        struct.pack_into("<I", out, oh + 8, max(0, init + shift))
    end = 0
    for i, s in enumerate(img.sections):
        vsize = len(section) if i == index else (s.virtual_size or s.raw_size)
        end = max(end, s.virtual_address + vsize)
    struct.pack_into("<I", out, oh + 56, _pad(end, sa))
    dirs = img.directories_offset
    struct.pack_into("<II", out, dirs + 8 * DIR_RESOURCE, rsrc.virtual_address, len(section))
    if sig_size:
        struct.pack_into("<II", out, dirs + 8 * DIR_SECURITY, 0, 0)
    symbols = struct.unpack_from("<I", out, fh + 8)[0]
    if symbols >= old_end:
        moved = shift - (dropped if sig_off >= old_end and sig_off < symbols else 0)
        struct.pack_into("<I", out, fh + 8, symbols + moved)

    # The stamp block lies before the resource section: its offset holds.
    if changes.install_number is not None:
        struct.pack_into("<I", out, block + 12, changes.install_number)
    if changes.quiet is not None:
        struct.pack_into("<I", out, block + 16, changes.quiet)

    hits = find_all(out, STAMP_MARKER)
    if hits != [block]:
        raise StampError(EXIT_MARKER_TWICE, "the new texts hold the stamp block marker: the "
                         "distribution could not be stamped again")
    if img.checksum:
        struct.pack_into("<I", out, img.checksum_offset, pe_checksum(out, img.checksum_offset))

    final = {e.name: e.data for e in kept if _is_text_type(e.type) and e.name in TEXT_NAMES}
    event = final.get(4, b"").split(b"\0", 1)[0]
    campaign = final.get(2003, b"").split(b"\0", 1)[0]
    request = len(event) + len("?camp=") + len(campaign) + len("&mode=1")
    if event and request > MAX_EVENT_REQUEST:
        warnings.append("the event request (event URL, campaign and query) has %d characters; "
                        "the stub cuts it at %d" % (request, MAX_EVENT_REQUEST))
    warnings += distribution_warnings(final)
    return bytes(out), warnings


def _same_file(a, b):
    if os.path.normcase(os.path.realpath(a)) == os.path.normcase(os.path.realpath(b)):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def make_distribution(src, out, **values):
    """Writes a new distribution of the stub `src` to `out`; returns the
    warnings (list of str). Raises StampError when it refuses.

    values (all optional):
      download_url, event_url, product_code, registry_key, campaign, title,
      sha256 (64 hex digits, or empty for no check),
      retries (decimal, 0 .. 20; empty or 0: none),
      fallback_url (http, https or ftp with a host; empty: none):
          str (encoded with `encoding`) or bytes (written as they are);
      install_number: int or decimal str, 0 .. 2^31-1;
      quiet: 0 or 1;
      omit_text: ids or names of texts to leave out, e.g. [4, "campaign"];
      text: {id or name: str or bytes}; text_hex: {id or name: "hex digits"};
      encoding: for str values, default cp1252.
    """
    changes = prepare_changes(**values)
    if _same_file(src, out):
        raise StampError(EXIT_SAME_FILE, "output %s is the input file; write the distribution "
                         "to a new file" % out)
    data, mode = read_input(src)
    image, warnings = stamp_image(data, changes, str(src))
    write_output(out, image, mode)
    return warnings


def read_input(src):
    """(bytes, permission bits) of an input file, or StampError."""
    try:
        with open(src, "rb") as f:
            data = f.read()
        return data, os.stat(src).st_mode & 0o777
    except OSError as e:
        raise StampError(EXIT_IO, "cannot read %s: %s" % (src, e.strerror or e)) from None


def write_output(out, image, mode):
    """Writes `image` to `out` whole or not at all (a temporary file renamed)."""
    directory = os.path.dirname(os.path.abspath(out))
    tmp = None
    try:
        if os.path.isdir(out):
            raise IsADirectoryError(21, "is a directory")
        fd, tmp = tempfile.mkstemp(prefix=".stamp.", dir=directory)
        with os.fdopen(fd, "wb") as f:
            f.write(image)
        os.chmod(tmp, mode)
        os.replace(tmp, out)
        tmp = None
    except OSError as e:
        raise StampError(EXIT_IO, "cannot write %s: %s" % (out, e.strerror or e)) from None
    finally:
        if tmp:
            try:
                os.unlink(tmp)
            except OSError:
                pass
