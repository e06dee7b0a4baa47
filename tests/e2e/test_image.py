"""Static checks of the built stub: what Windows 95 needs to load and run it,
and the resources and stamp block that distributions and tools rely on.

The stub is the shipped 32-bit build, $STUB_SHIPPED_BUILD/install.exe
(default: build/install.exe in the repo), on either bench: these checks need
no Wine. Values that the build takes from the CMake cache are read from the
CMakeCache.txt beside it, so a build made with other distribution values is
checked against those values instead of the built-in ones.
"""

import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path
from urllib.parse import urlsplit

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import pe  # noqa: E402  (tools/pe.py, shared with the stamp tool)

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("STUB_SHIPPED_BUILD") or REPO / "build")
STUB = BUILD / "install.exe"
OBJDUMP = "i686-w64-mingw32-objdump"

LANG_EN_US = 1033
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


# --------------------------------------------------------------- fixtures

@pytest.fixture(scope="module")
def image():
    if not STUB.is_file():
        pytest.fail("no stub at %s (build it with scripts/build)" % STUB)
    return pe.PEImage.from_file(STUB)


@pytest.fixture(scope="module")
def resources(image):
    return image.resources()


def _cmake_unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def _cmake_defaults():
    """The CACHE defaults written in the top-level CMakeLists.txt."""
    try:
        text = (REPO / "CMakeLists.txt").read_text()
    except OSError:
        return {}
    out = {}
    for m in re.finditer(r'set\(\s*(STUB_\w+)\s+(?:"((?:[^"\\]|\\.)*)"|(\S+))\s+CACHE\b', text):
        out[m.group(1)] = _cmake_unescape(m.group(2)) if m.group(2) is not None else m.group(3)
    return out


def _cmake_cache():
    try:
        lines = (BUILD / "CMakeCache.txt").read_text().splitlines()
    except OSError:
        return {}
    out = {}
    for line in lines:
        m = re.match(r"(STUB_\w+):\w+=(.*)$", line)
        if m:
            out[m.group(1)] = m.group(2)
    return out


class BuildValues:
    """Tells which distribution values this build was configured with.

    custom(var) is the cache value when the build was given one that differs
    from the default in CMakeLists.txt; otherwise None, and the built-in
    values of the design apply.
    """

    def __init__(self):
        self.cache = _cmake_cache()
        self.defaults = _cmake_defaults()

    def custom(self, var):
        value = self.cache.get(var)
        if value is None or value == self.defaults.get(var):
            return None
        return value

    def omitted_texts(self):
        value = self.cache.get("STUB_OMIT_TEXT", "")
        return {int(v) for v in value.split(";") if v.strip()}


@pytest.fixture(scope="module")
def build_values():
    return BuildValues()


def lang_entry(resources, rtype, name):
    """The {language: bytes} map of one resource, or {}."""
    return resources.get(rtype, {}).get(name, {})


# ---------------------------------------------------------------- headers

def test_headers_load_on_windows_95(image):
    assert image.is_pe32, "optional header magic 0x%x, want PE32 (0x10b)" % image.magic
    assert image.machine == pe.MACHINE_I386, "machine 0x%x, want i386" % image.machine
    assert image.subsystem == 2, "subsystem %d, want Windows GUI (2)" % image.subsystem
    # The Windows 95 loader refuses images that ask for a later version.
    assert image.subsystem_version == (4, 0), "subsystem version %d.%d, want 4.0" % image.subsystem_version
    assert image.os_version == (4, 0), "OS version %d.%d, want 4.0" % image.os_version
    assert image.characteristics & 0x0002, "not marked executable"
    assert not image.characteristics & 0x2000, "marked as a DLL"
    # Windows 9x keeps the lowest 4 MB for itself and maps sections by pages.
    assert image.image_base >= 0x400000 and image.image_base % 0x10000 == 0, hex(image.image_base)
    assert image.section_alignment >= 0x1000, hex(image.section_alignment)
    entry = image.section_for_rva(image.address_of_entry_point)
    assert entry is not None and entry.is_code, \
        "entry point 0x%x is not in a code section" % image.address_of_entry_point


# --------------------------------------------------------------- sections

# An ordinary program: code read and executed, constants (the import tables
# among them, and the resources) only read, data read and written. One
# writable and executable section without an import lookup table is what
# packers produce, and heuristic virus scanners flag that profile.
R, W, X = pe.SCN_MEM_READ, pe.SCN_MEM_WRITE, pe.SCN_MEM_EXECUTE
SECTION_RIGHTS = {".text": R | X, ".rdata": R, ".data": R | W, ".rsrc": R}


def test_sections_are_those_of_an_ordinary_program(image):
    problems = ["section %s is both writable and executable" % s.name
                for s in image.sections if s.characteristics & W and s.characteristics & X]
    rights = {s.name: s.characteristics & (R | W | X) for s in image.sections}
    if rights != SECTION_RIGHTS:
        show = lambda table: {n: "".join(c for c, bit in (("r", R), ("w", W), ("x", X)) if v & bit)
                              for n, v in table.items()}
        problems.append("sections and rights %r, want %r" % (show(rights), show(SECTION_RIGHTS)))
    names = [s.name for s in image.sections]
    # The resources last, so that tools/stamp can rewrite them in place.
    if names[-1:] != [".rsrc"]:
        problems.append("resources are not the last section: %r" % names)
    for s in image.sections:
        if s.raw_pointer % image.file_alignment or s.raw_size % image.file_alignment:
            problems.append("section %s is not aligned to the file alignment" % s.name)
    if image.file_alignment != 512:
        problems.append("file alignment %d, want 512" % image.file_alignment)
    code = image.section_for_rva(image.address_of_entry_point)
    if code is None or code.name != ".text":
        problems.append("entry point outside .text")
    rva, _ = image.directory(pe.DIR_IMPORT)
    if image.section_for_rva(rva) is None or image.section_for_rva(rva).name != ".rdata":
        problems.append("import directory not in .rdata")
    assert not problems, "\n".join(problems)


def test_every_import_keeps_its_lookup_table(image):
    """The lookup table (OriginalFirstThunk) names the imports apart from the
    address table the loader overwrites; it must be there and name the same."""
    rva, size = image.directory(pe.DIR_IMPORT)
    at, descriptors = image.rva_to_offset(rva), 0
    while True:
        lookup, _, _, name, address = struct.unpack_from("<IIIII", image.data, at)
        if not (lookup or name or address):
            break
        dll = image.cstring_at_rva(name)
        assert lookup, "%s has no import lookup table" % dll
        first, second = image.rva_to_offset(lookup), image.rva_to_offset(address)
        count = 0
        while True:
            entry = struct.unpack_from("<I", image.data, first + 4 * count)[0]
            assert entry == struct.unpack_from("<I", image.data, second + 4 * count)[0], \
                "%s: lookup and address tables differ at entry %d" % (dll, count)
            if not entry:
                break
            count += 1
        assert count, "%s: empty lookup table" % dll
        descriptors += 1
        at += 20
    assert descriptors == len(image.imported_dlls()) and size == 20 * (descriptors + 1), \
        (descriptors, size)


def test_checksum_is_right(image):
    assert image.checksum, "no checksum"
    assert image.checksum == pe.pe_checksum(image.data, image.checksum_offset), \
        "checksum 0x%08x, the file sums to 0x%08x" % (
            image.checksum, pe.pe_checksum(image.data, image.checksum_offset))


# ---------------------------------------------------------------- imports

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "wininet.dll", "comctl32.dll"}

# The functions of the WinINet of Internet Explorer 3, the oldest client the
# stub supports (Windows 95 and NT 4.0 come without one, or with an older
# one). Source: the WinINet function reference of the MSDN Web Workshop,
# which gave each function's "Minimum Availability" (Internet Explorer 3.0,
# 4.0 or 5); its list of the functions available from Internet Explorer 3.0
# on is kept in the header of modWININET.bas in github.com/iMMAP/OASISClientV4.
# The same functions, without FtpCommand, make up the Win32 Internet function
# overview of the ActiveX SDK of 1996 (inetsdk/help/sweep/sweep038.htm). Among
# the later ones: FtpCommand and FtpGetFileSize came with Internet Explorer 5,
# HttpSendRequestEx, InternetReadFileEx and the dial-up functions with 4.0.
# A name stands for its ANSI form too (FtpOpenFile: FtpOpenFileA).
WININET_IE3 = {
    "CommitUrlCacheEntry", "CreateUrlCacheEntry", "DeleteUrlCacheEntry", "FindCloseUrlCache",
    "FindFirstUrlCacheEntry", "FindNextUrlCacheEntry", "FtpCreateDirectory", "FtpDeleteFile",
    "FtpFindFirstFile", "FtpGetCurrentDirectory", "FtpGetFile", "FtpOpenFile", "FtpPutFile",
    "FtpRemoveDirectory", "FtpRenameFile", "FtpSetCurrentDirectory", "GetUrlCacheEntryInfo",
    "GopherCreateLocator", "GopherFindFirstFile", "GopherGetAttribute", "GopherGetLocatorType",
    "GopherOpenFile", "HttpAddRequestHeaders", "HttpOpenRequest", "HttpQueryInfo",
    "HttpSendRequest", "InternetAttemptConnect", "InternetCanonicalizeUrl",
    "InternetCheckConnection", "InternetCloseHandle", "InternetCombineUrl",
    "InternetConfirmZoneCrossing", "InternetConnect", "InternetCrackUrl", "InternetCreateUrl",
    "InternetErrorDlg", "InternetFindNextFile", "InternetGetCookie",
    "InternetGetLastResponseInfo", "InternetLockRequestFile", "InternetOpen", "InternetOpenUrl",
    "InternetQueryDataAvailable", "InternetQueryOption", "InternetReadFile", "InternetSetCookie",
    "InternetSetFilePointer", "InternetSetOption", "InternetSetStatusCallback",
    "InternetTimeFromSystemTime", "InternetTimeToSystemTime", "InternetUnlockRequestFile",
    "InternetWriteFile", "ReadUrlCacheEntryStream", "RetrieveUrlCacheEntryFile",
    "RetrieveUrlCacheEntryStream", "SetUrlCacheEntryInfo", "UnlockUrlCacheEntryFile",
    "UnlockUrlCacheEntryStream",
}


def test_wininet_imports_are_those_of_internet_explorer_3(image):
    """The loader refuses to start a program that imports a function the
    installed client lacks, before any code of it runs and without our error
    box: every later function is looked up at run time instead."""
    wininet = [imp.name for imp in image.imports() if imp.dll.lower() == "wininet.dll"]
    assert wininet, "no WinINet imports"
    later = [n for n in wininet if n not in WININET_IE3 and n[:-1] not in WININET_IE3]
    assert not later, "not in the WinINet of Internet Explorer 3: %r" % later
CRT_PATTERN = re.compile(r"^(msvcr|msvcp|msvcrt|ucrt|api-ms-win-crt|vcruntime|libstdc\+\+|libgcc|libwinpthread)",
                         re.I)

# Functions that later Windows versions export but Windows 95 or NT 4.0 does
# not (or not without a later Internet Explorer or service pack); an import of
# any of them stops the stub from loading there at all.
NOT_ON_WINDOWS_95 = {
    "kernel32.dll": {
        "GetDiskFreeSpaceExA", "CreateToolhelp32Snapshot", "Process32First", "Module32First",
        "GetSystemTimes", "VerifyVersionInfoA", "SetThreadExecutionState", "AttachConsole",
        "GetFileSizeEx", "SetFilePointerEx", "MoveFileExA", "MoveFileWithProgressA",
        "GetFileAttributesExA", "GetLongPathNameA", "CopyFileExA", "FindFirstFileExA",
        "ReplaceFileA", "CreateHardLinkA", "IsDebuggerPresent", "IsProcessorFeaturePresent",
        "InitializeCriticalSectionAndSpinCount", "TryEnterCriticalSection",
        "InterlockedCompareExchange", "InterlockedExchangeAdd", "SwitchToThread",
        "SignalObjectAndWait", "CreateWaitableTimerA", "OpenThread", "VirtualAllocEx",
        "GlobalMemoryStatusEx", "EncodePointer", "DecodePointer", "GetTickCount64",
        "HeapSetInformation", "GetModuleHandleExA", "FlsAlloc", "GetNativeSystemInfo",
        "SetDllDirectoryA", "GetSystemWindowsDirectoryA",
    },
    "user32.dll": {
        "AllowSetForegroundWindow", "LockSetForegroundWindow", "SetLayeredWindowAttributes",
        "GetAncestor", "FlashWindowEx", "AnimateWindow", "GetLastInputInfo", "SendInput",
        "MessageBoxTimeoutA", "MonitorFromWindow", "GetMonitorInfoA", "PrintWindow",
        "GetWindowInfo", "GetGUIThreadInfo", "GetComboBoxInfo", "RealGetWindowClassA",
        "GetAltTabInfoA", "TrackMouseEvent", "GetLayeredWindowAttributes",
    },
    "advapi32.dll": {
        "RegGetValueA", "RegDeleteKeyExA", "RegDeleteTreeA", "RegSetKeyValueA",
        "RegOpenCurrentUser", "RegCopyTreeA", "RegDisablePredefinedCache",
        # CryptoAPI: Windows 95 only with Internet Explorer 3.02 or OSR2.
        "CryptAcquireContextA", "CryptCreateHash", "CryptHashData", "CryptGetHashParam",
    },
    "comctl32.dll": {
        # Version 4.70 (Internet Explorer 3) and later; Windows 95 has 4.00.
        "InitCommonControlsEx", "_TrackMouseEvent", "TaskDialog", "TaskDialogIndirect",
    },
}


def test_imports_only_system_ansi_functions_windows_95_has(image):
    imports = image.imports()
    assert len(imports) > 10, "implausibly few imports: %r" % imports
    problems = []
    for dll in image.imported_dlls():
        if CRT_PATTERN.match(dll):
            problems.append("C runtime DLL imported: %s" % dll)
        elif dll.lower() not in ALLOWED_DLLS:
            problems.append("DLL outside the system set: %s" % dll)
    for imp in imports:
        dll = imp.dll.lower()
        if imp.by_ordinal:
            # Ordinals of system DLLs differ between Windows versions.
            problems.append("%s imported by ordinal %d" % (imp.dll, imp.ordinal))
        elif imp.name.endswith("W"):
            problems.append("wide-character function %s!%s" % (imp.dll, imp.name))
        elif imp.name in NOT_ON_WINDOWS_95.get(dll, ()):
            problems.append("%s!%s does not exist on Windows 95" % (imp.dll, imp.name))
    assert not problems, "\n".join(problems)


# ------------------------------------------------------------------- code

# Instructions that an i486 does not have (Pentium and later).
BEYOND_486 = re.compile(
    r"^(cmov\w*|fcmov\w*|f(u)?comip?|sysenter|sysexit|syscall|sysret|rdtscp?|rdpmc|cpuid|"
    r"cmpxchg8b|cmpxchg16b|rdmsr|wrmsr|rsm|emms|femms|prefetch\w*|[lsm]fence|clflush\w*|"
    r"movnti|fxsave|fxrstor|ldmxcsr|stmxcsr|fisttp\w*|popcnt|lzcnt|tzcnt|movbe|crc32\w*|"
    r"andn|bextr|blsi|blsr|blsmsk|bzhi|sarx|shlx|shrx|rorx|pdep|pext|adcx|adox|"
    r"rdrand|rdseed|xgetbv|xsave\w*|xrstor\w*|endbr32|"
    r"nop[wl])$")
# Multi-byte NOPs (0F 1F, "nopw"/"nopl") are Pentium Pro instructions; an
# alignment pad that execution falls through would fault on a 486.
PREFIXES = {"lock", "rep", "repz", "repe", "repnz", "repne", "data16", "data32", "addr16",
            "addr32", "cs", "ds", "es", "fs", "gs", "ss", "notrack", "bnd"}
VECTOR_REGISTER = re.compile(r"%[xyz]?mm\d")


def test_code_runs_on_an_i486():
    result = subprocess.run([OBJDUMP, "-d", "-w", "--no-show-raw-insn", str(STUB)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    count = 0
    bad = []
    for line in result.stdout.splitlines():
        m = re.match(r"\s+([0-9a-f]+):\s+(\S.*)$", line)
        if not m:
            continue
        count += 1
        words = m.group(2).split()
        while words and words[0] in PREFIXES:
            words.pop(0)
        if not words:
            continue
        mnemonic = words[0]
        operands = " ".join(words[1:])
        if BEYOND_486.match(mnemonic) or VECTOR_REGISTER.search(operands):
            bad.append("%s: %s" % (m.group(1), m.group(2)))
    assert count > 200, "disassembly found only %d instructions" % count
    assert not bad, "%d instructions beyond the i486, e.g.:\n%s" % (len(bad), "\n".join(bad[:20]))


# ----------------------------------------------------------------- dialog

BUTTON, STATIC = 0x80, 0x82
DIALOG_ITEMS = [
    # id, class, style, x, y, cx, cy, text
    (2, BUTTON, 0x50010000, 190, 111, 50, 14, "Cancel"),
    (1000, "msctls_progress32", 0x50000000, 10, 55, 224, 8, "Progress1"),
    (1004, STATIC, 0x50020000, 64, 21, 141, 29, "Connecting to download server..."),
    (0xFFFF, STATIC, 0x50020000, 10, 68, 65, 8, "Estimated time left:"),
    (1002, STATIC, 0x50020000, 78, 68, 161, 8, "778 KB in 1 Sec"),
    (0xFFFF, STATIC, 0x50020000, 10, 79, 46, 8, "Transfer rate:"),
    (1003, STATIC, 0x50020000, 78, 79, 160, 8, "778 KB/Sec"),
    (1001, STATIC, 0x50000A03, 15, 15, 20, 20, 102),   # icon resource by number
]
ITEM_FIELDS = ("id", "class", "style", "x", "y", "cx", "cy", "text")


def _show(v):
    return "0x%X" % v if isinstance(v, int) and v > 255 and not isinstance(v, bool) else repr(v)


def test_progress_dialog_template(resources):
    langs = lang_entry(resources, pe.RT_DIALOG, 101)
    assert set(langs) == {LANG_EN_US}, "dialog 101 languages: %r" % sorted(langs)
    dlg = pe.parse_dialog(langs[LANG_EN_US])
    assert not dlg.extended, "dialog 101 is a DLGTEMPLATEEX, want the classic DLGTEMPLATE"
    problems = []
    header = [("style", dlg.style, 0x80C808C0), ("exstyle", dlg.exstyle, 0),
              ("position", (dlg.x, dlg.y), (0, 0)), ("size", (dlg.cx, dlg.cy), (247, 132)),
              ("menu", dlg.menu, None), ("class", dlg.window_class, None),
              ("caption", dlg.caption, "AutoUpdate"), ("font size", dlg.point_size, 8),
              ("font face", dlg.face, "Tahoma"), ("control count", len(dlg.items), len(DIALOG_ITEMS))]
    for what, got, want in header:
        if got != want:
            problems.append("dialog %s: %s, want %s" % (what, _show(got), _show(want)))
    for n, (item, want) in enumerate(zip(dlg.items, DIALOG_ITEMS), 1):
        got = (item.id, item.window_class, item.style, item.x, item.y, item.cx, item.cy, item.title)
        for fname, g, w in zip(ITEM_FIELDS, got, want):
            if g != w:
                problems.append("control %d (id %d) %s: %s, want %s" % (n, want[0], fname, _show(g), _show(w)))
        if item.exstyle != 0:
            problems.append("control %d (id %d) exstyle: 0x%X, want 0" % (n, want[0], item.exstyle))
        if item.extra_count != 0:
            problems.append("control %d (id %d) has %d bytes of creation data" % (n, want[0], item.extra_count))
    assert not problems, "\n".join(problems)


# ------------------------------------------------------------------- icon

ICON_IMAGES = {(48, 4), (48, 8), (48, 32), (32, 4), (32, 8), (16, 4), (16, 8), (16, 32)}


def test_icon_group_holds_eight_bitmap_images(resources):
    langs = lang_entry(resources, pe.RT_GROUP_ICON, 102)
    assert len(langs) == 1, "icon group 102 languages: %r" % sorted(langs)
    entries = pe.parse_group_icon(next(iter(langs.values())))
    got = sorted((e.width, e.bit_count) for e in entries)
    assert len(entries) == 8 and set(got) == ICON_IMAGES, "icon group 102 images (size, bpp): %r" % got
    repo_icon = {}
    if (REPO / "resources" / "app.ico").is_file():
        for w, h, _, bits, data in pe.parse_ico_file((REPO / "resources" / "app.ico").read_bytes()):
            repo_icon[(w, bits)] = data
    problems = []
    for e in entries:
        label = "%dx%d %d-bit (RT_ICON %d)" % (e.width, e.height, e.bit_count, e.id)
        images = lang_entry(resources, pe.RT_ICON, e.id)
        if len(images) != 1:
            problems.append("%s: stored in %d languages" % (label, len(images)))
            continue
        data = next(iter(images.values()))
        if data.startswith(PNG_SIGNATURE):
            problems.append("%s: stored as PNG" % label)
            continue
        size, width, height, _planes, bits = struct.unpack_from("<IiiHH", data)
        colours = struct.unpack_from("<I", data, 32)[0]
        if (size, width, height, bits) != (40, e.width, 2 * e.height, e.bit_count) or e.width != e.height:
            problems.append("%s: BITMAPINFOHEADER size %d, %dx%d, %d bpp" % (label, size, width, height, bits))
        if e.bit_count <= 8 and colours not in (0, 1 << e.bit_count):
            problems.append("%s: palette of %d colours" % (label, colours))
        if e.color_count != (16 if e.bit_count == 4 else 0):
            problems.append("%s: directory colour count %d" % (label, e.color_count))
        if e.bytes_in_res != len(data):
            problems.append("%s: directory says %d bytes, image has %d" % (label, e.bytes_in_res, len(data)))
        if repo_icon and repo_icon.get((e.width, e.bit_count)) != data:
            problems.append("%s: differs from resources/app.ico" % label)
    assert not problems, "\n".join(problems)


# ------------------------------------------------------------ TEXT values

# id: (cache variable, built-in value); for the URLs the built-in value is the
# path, the host being a per-distribution choice.
TEXTS = {
    1: ("STUB_DOWNLOAD_URL", "/products/qrbl7300/QuorbelSetup.exe"),
    4: ("STUB_EVENT_URL", "/products/qrbl7300/scripts/event.php"),
    104: ("STUB_PRODUCT_CODE", "QRBL7300"),
    107: ("STUB_REGISTRY_KEY", "Software\\Quorbel"),
    2003: ("STUB_CAMPAIGN", "default"),
    2008: ("STUB_TITLE", "Quorbel"),
    # The setup's SHA-256: only in a build configured with one.
    2010: ("STUB_SHA256", None),
    # Retries within the run: only in a build configured with them.
    2011: ("STUB_RETRIES", None),
    # The second server: only in a build configured with one.
    2012: ("STUB_FALLBACK_URL", None),
}


def test_text_resources(resources, build_values):
    texts = resources.get("TEXT", {})
    omitted = build_values.omitted_texts()
    present = {k for k in texts if isinstance(k, int)}
    wanted = {k for k, (var, builtin) in TEXTS.items() if builtin is not None or build_values.custom(var)}
    assert present == wanted - omitted, \
        "TEXT resources %r, want %r" % (sorted(texts, key=str), sorted(wanted - omitted))
    problems = []
    for rid in sorted(present):
        var, builtin = TEXTS[rid]
        langs = texts[rid]
        if set(langs) != {LANG_EN_US}:
            problems.append("TEXT %d languages %r, want [1033]" % (rid, sorted(langs)))
            continue
        data = langs[LANG_EN_US]
        if b"\0" in data:
            problems.append("TEXT %d contains a zero byte: %r" % (rid, data))
        custom = build_values.custom(var)
        if custom is not None:
            if data != custom.encode("utf-8"):
                problems.append("TEXT %d is %r, the build was configured with %s=%r" % (rid, data, var, custom))
        elif rid in (1, 4):
            parts = urlsplit(data.decode("latin-1"))
            if parts.scheme != "http" or not parts.hostname or parts.path != builtin or parts.query:
                problems.append("TEXT %d is %r, want an http URL with path %r" % (rid, data, builtin))
        elif data != builtin.encode("latin-1"):
            problems.append("TEXT %d is %r, want %r" % (rid, data, builtin))
    assert not problems, "\n".join(problems)


# --------------------------------------------------- version and manifest

def test_version_resource(resources):
    langs = lang_entry(resources, pe.RT_VERSION, 1)
    assert len(langs) == 1, "version resource 1 languages: %r" % sorted(langs)
    info = pe.parse_version_info(next(iter(langs.values())))
    assert info.file_version == (1, 0, 4, 21)
    assert info.product_version == (1, 0, 4, 21)
    want = {"FileDescription": "Setup", "InternalName": "Setup", "ProductName": "Setup",
            "FileVersion": "1, 3, 0, 0", "ProductVersion": "1, 3, 0, 0"}
    assert info.string_tables, "no StringFileInfo table"
    for table, strings in info.string_tables.items():
        got = {k: strings.get(k) for k in want}
        assert got == want, "string table %s: %r" % (table, got)


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def test_manifest_selects_common_controls_6(resources):
    langs = lang_entry(resources, pe.RT_MANIFEST, 1)
    assert len(langs) == 1, "manifest 1 (the one the loader reads) languages: %r" % sorted(langs)
    root = ET.fromstring(next(iter(langs.values())))
    assert _local(root.tag) == "assembly"
    children = {_local(c.tag): c for c in root}
    ident = children.get("assemblyIdentity")
    assert ident is not None, "no assemblyIdentity"
    assert ident.get("name") == "install.exe"
    assert ident.get("processorArchitecture") == "x86"
    assert ident.get("type") == "win32"
    assert children.get("description") is not None and children["description"].text == "Installer"
    deps = [d for d in root.iter() if _local(d.tag) == "dependentAssembly"]
    found = []
    for dep in deps:
        for di in dep:
            if _local(di.tag) == "assemblyIdentity":
                found.append((di.get("name"), di.get("version"), di.get("processorArchitecture")))
    assert any(name == "Microsoft.Windows.Common-Controls" and version == "6.0.0.0" and arch in ("x86", "*")
               for name, version, arch in found), "dependencies: %r" % found


# ------------------------------------------------------------ stamp block

def test_stamp_block(image, build_values):
    hits = pe.find_all(image.data, pe.STAMP_MARKER)
    assert len(hits) == 1, "stamp marker found at %r, want exactly one" % [hex(h) for h in hits]
    off = hits[0]
    section = image.section_for_offset(off)
    assert section is not None, "stamp marker at 0x%x is outside every section's loaded data" % off
    # Stored, initialised data the program reads, never code.
    assert section.is_initialized_data and section.characteristics & pe.SCN_MEM_WRITE and \
        not section.is_code, "stamp marker in section %s (0x%08x), want writable initialised data" % (
            section.name, section.characteristics)
    assert section is not image.resource_section(), "stamp marker lies in the resources"
    assert section.contains_offset(off + 23), "stamp block runs past the end of %s" % section.name
    install_number, quiet, reserved = struct.unpack_from("<III", image.data, off + 12)
    want_number = int(build_values.custom("STUB_INSTALL_NUMBER") or "10000", 0)
    want_quiet = int(build_values.custom("STUB_QUIET") or "0", 0)
    assert (install_number, quiet, reserved) == (want_number, want_quiet, 0)
    # The program must read the parameters from this block at run time, so
    # its code addresses the block (i386 code carries absolute addresses).
    block_va = image.image_base + image.offset_to_rva(off)
    addresses = {struct.pack("<I", block_va + i) for i in range(24)}
    code = b"".join(image.data[s.raw_pointer:s.raw_pointer + s.raw_size] for s in image.sections if s.is_code)
    assert any(code[i:i + 4] in addresses for i in range(len(code) - 3)), \
        "no code refers to the stamp block at 0x%08x" % block_va
