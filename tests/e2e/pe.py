"""A small reader for 32-bit PE images (standard library only).

Covers what the image checks and the stamp tool need: headers, sections,
RVA <-> file offset mapping, imports, the resource tree, and decoders for
dialog templates, icon groups and version resources.

    img = PEImage.from_file("install.exe")
    img.subsystem, img.sections, img.imports()
    img.resources()[RT_DIALOG][101][1033] -> bytes
"""

import struct
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
PE32_MAGIC = 0x10B
PE32PLUS_MAGIC = 0x20B
DS_SETFONT = 0x40

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE = 0, 1, 2

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
        if self.magic != PE32_MAGIC:
            # PE32+ has a different layout; only its magic is reported.
            self.sections = self._read_sections(oh + self.optional_header_size, nsections)
            self.data_directories = []
            return
        (self.major_linker_version, self.minor_linker_version) = struct.unpack_from("<BB", d, oh + 2)
        self.address_of_entry_point = self._u32(oh + 16)
        self.image_base = self._u32(oh + 28)
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
        ndirs = self._u32(oh + 92)
        self.data_directories = [struct.unpack_from("<II", d, oh + 96 + 8 * i) for i in range(min(ndirs, 16))]
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
            while True:
                entry = self._u32(thunk)
                if entry == 0:
                    break
                if entry & 0x80000000:
                    out.append(Import(dll, ordinal=entry & 0xFFFF))
                else:
                    hint_off = self.rva_to_offset(entry)
                    hint = self._u16(hint_off)
                    end = self.data.index(b"\0", hint_off + 2)
                    out.append(Import(dll, name=self.data[hint_off + 2:end].decode("latin-1"), hint=hint))
                thunk += 4
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
        """The resource tree: {type: {name: {language: bytes}}}.

        Types and names are ints for numeric identifiers and str for string
        names (stored as written, e.g. "TEXT"). Languages are ints.
        """
        rva, size = self.directory(DIR_RESOURCE)
        if not rva:
            return {}
        base = self.rva_to_offset(rva)
        tree = {}
        for tkey, toff, tdir in self._res_entries(base, 0):
            names = tree.setdefault(tkey, {})
            if not tdir:
                continue
            for nkey, noff, ndir in self._res_entries(base, toff):
                langs = names.setdefault(nkey, {})
                if not ndir:
                    continue
                for lkey, loff, ldir in self._res_entries(base, noff):
                    if ldir:
                        continue
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + loff)
                    langs[lkey] = self.read_rva(data_rva, data_size)
        return tree

    def resource_section(self):
        rva, _ = self.directory(DIR_RESOURCE)
        return self.section_for_rva(rva) if rva else None

    def _res_entries(self, base, off):
        named, ids = struct.unpack_from("<HH", self.data, base + off + 12)
        pos = base + off + 16
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, pos + 8 * i)
            if name & 0x80000000:
                soff = base + (name & 0x7FFFFFFF)
                length = self._u16(soff)
                key = self.data[soff + 2:soff + 2 + 2 * length].decode("utf-16-le")
            else:
                key = name & 0xFFFF
            yield key, target & 0x7FFFFFFF, bool(target & 0x80000000)

    def resource(self, rtype, name, lang=None):
        """Bytes of one resource, or None. Without `lang`, the only language stored."""
        langs = self.resources().get(rtype, {}).get(name)
        if not langs:
            return None
        if lang is None:
            return next(iter(langs.values())) if len(langs) == 1 else None
        return langs.get(lang)


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

