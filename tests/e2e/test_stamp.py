"""tools/stamp: distributions made from one build without rebuilding.

Offline part: show/set round trips on copies of $STUB_BUILD/install.exe, the
structure of what set writes (sections, headers, resource tree, checksum,
everything but the changed texts and stamp parameters left as it was), every
refusal with its exit status, and the signature warning.

Under Wine (the bench): stamped copies run with their new values: download
URL, event URL, product code, registry key, campaign, title, install number
and quiet flag (the SHA-256 pin runs in test_pin.py).
"""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid
from pathlib import Path

import pefile
import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import pe  # noqa: E402  (tools/pe.py, the stamp tool's own module)

from servers import FaultServer  # noqa: E402
from winehelp import box_text, child, closed_port, find_stamp, read_stamp, stub_exe  # noqa: E402

STAMP = REPO / "tools" / "stamp"
TEXT_IDS = [1, 4, 104, 107, 2003, 2008, 2010, 2011, 2012]
PIN = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"  # of "abc"
WS_SYSMENU = 0x00080000
IDCANCEL = 2


def run_stamp(*args, python=True):
    cmd = ([sys.executable, str(STAMP)] if python else [str(STAMP)]) + [str(a) for a in args]
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


def stamp_ok(*args):
    r = run_stamp(*args)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r


def show_json(path):
    import json
    return json.loads(stamp_ok("show", "--json", path).stdout)


def _align(n, a):
    return (n + a - 1) // a * a


def classic_checksum(data, checksum_offset):
    """The image checksum as the platform's documentation describes it:
    add 16-bit words with end-around carry, skip the field, add the length."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for i in range(0, len(padded), 2):
        if checksum_offset <= i < checksum_offset + 4:
            continue
        total += padded[i] | padded[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(data)


# ---------------------------------------------------------------- fixtures

@pytest.fixture(scope="module")
def stub(tmp_path_factory):
    """A copy of the built stub: the input of every test here."""
    src = stub_exe()
    if not src.is_file():
        pytest.fail("no stub at %s (build it with scripts/build)" % src)
    dest = tmp_path_factory.mktemp("stamp") / "install.exe"
    shutil.copyfile(src, dest)
    dest.chmod(0o755)
    return dest


@pytest.fixture(scope="module")
def base(stub):
    data = stub.read_bytes()
    return {"data": data, "image": pe.PEImage(data), "config": pe.read_configuration(data)}


@pytest.fixture(scope="module", autouse=True)
def build_untouched():
    """No test writes to the build's own stub."""
    path = stub_exe()
    before = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else None
    yield
    if before:
        assert hashlib.sha256(path.read_bytes()).hexdigest() == before, "build/install.exe changed"


# ------------------------------------------------------- structure checks

# Header fields a stamp may change: checksum, SizeOfInitializedData,
# SizeOfImage, the resource and security directories, the resource
# section's sizes.
def _masked_headers(img):
    data = bytearray(img.data[:img.size_of_headers])
    oh = img.optional_header_offset
    dirs = img.directories_offset
    for off, n in ((oh + 64, 4), (oh + 8, 4), (oh + 56, 4), (dirs + 8 * 2, 8), (dirs + 8 * 4, 8)):
        data[off:off + n] = bytes(n)
    index = [s.name for s in img.sections].index(img.resource_section().name)
    sh = oh + img.optional_header_size + 40 * index
    data[sh + 8:sh + 12] = bytes(4)
    data[sh + 16:sh + 20] = bytes(4)
    return bytes(data)


def check_structure(out, base_data):
    """What set writes is a consistent image that differs from its input only
    in the TEXT resources, the stamp parameters and the headers that follow."""
    img, old = pe.PEImage(out), pe.PEImage(base_data)
    # The kind of the input: the shipped 32-bit stub, or the 64-bit test build.
    assert (img.magic, img.machine) == (old.magic, old.machine)
    assert (img.magic, img.machine) in ((pe.PE32_MAGIC, pe.MACHINE_I386),
                                        (pe.PE32PLUS_MAGIC, pe.MACHINE_AMD64))
    fa, sa = img.file_alignment, img.section_alignment
    assert [s.name for s in img.sections] == [s.name for s in old.sections]

    raw_end, va_end = img.size_of_headers, 0
    for s in img.sections:
        assert s.virtual_address % sa == 0 and s.virtual_address >= va_end, s
        va_end = _align(s.virtual_address + s.virtual_size, sa)
        if not s.raw_size:
            continue  # uninitialised data: nothing in the file
        assert s.raw_pointer % fa == 0 and s.raw_size % fa == 0, s
        assert s.raw_pointer >= raw_end, "%s overlaps the section before it" % s.name
        raw_end = s.raw_pointer + s.raw_size
    last = img.sections[-1]
    assert len(out) == raw_end == last.raw_pointer + last.raw_size, "bytes after the last section"
    assert img.size_of_image == va_end
    # The linker's own count of initialised data is kept, grown or shrunk by
    # what the resource section gained or lost in the file.
    size_of_init = struct.unpack_from("<I", out, img.optional_header_offset + 8)[0]
    old_init = struct.unpack_from("<I", base_data, old.optional_header_offset + 8)[0]
    assert size_of_init == old_init + img.sections[-1].raw_size - old.sections[-1].raw_size

    rsrc = img.resource_section()
    assert rsrc == last, "the resources are no longer the last section"
    assert img.directory(pe.DIR_RESOURCE) == (rsrc.virtual_address, rsrc.virtual_size)
    assert rsrc.raw_size == _align(rsrc.virtual_size, fa)
    assert img.directory(pe.DIR_SECURITY) == (0, 0)
    if old.checksum:
        assert img.checksum == classic_checksum(out, img.checksum_offset)

    # Everything else as it was: headers, the other sections (but for the
    # two stamp parameters), and every resource that is not a TEXT.
    assert _masked_headers(img) == _masked_headers(old)
    block = find_stamp(out)
    params = range(block + 12, block + 20)
    for s, o in zip(img.sections[:-1], old.sections[:-1]):
        new_bytes = bytearray(out[s.raw_pointer:s.raw_pointer + s.raw_size])
        old_bytes = bytearray(base_data[o.raw_pointer:o.raw_pointer + o.raw_size])
        for i in params:
            if s.raw_pointer <= i < s.raw_pointer + s.raw_size:
                new_bytes[i - s.raw_pointer] = old_bytes[i - s.raw_pointer] = 0
        assert new_bytes == old_bytes, "section %s changed" % s.name
    tree, old_tree = img.resources(), old.resources()
    assert {k: v for k, v in tree.items() if k != "TEXT"} == \
        {k: v for k, v in old_tree.items() if k != "TEXT"}
    for rtype, name in ((pe.RT_DIALOG, 101), (pe.RT_GROUP_ICON, 102), (pe.RT_VERSION, 1),
                        (pe.RT_MANIFEST, 1)):
        assert tree[rtype][name], "resource %r/%r missing" % (rtype, name)
    check_with_pefile(out, img, old)
    return img


def check_with_pefile(out, img, old):
    """The same image read by an independent parser (Debian's pefile): a
    fault that our reader shares with our writer cannot hide behind it."""
    other = pefile.PE(data=bytes(out), fast_load=True)
    other.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"],
                                              pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]])
    assert not [w for w in other.get_warnings() if "resource" in w.lower()], other.get_warnings()
    assert other.OPTIONAL_HEADER.Magic == img.magic and other.FILE_HEADER.Machine == img.machine
    assert [(s.Name.rstrip(b"\0").decode(), s.VirtualAddress, s.Misc_VirtualSize, s.PointerToRawData,
             s.SizeOfRawData, s.Characteristics) for s in other.sections] == \
        [(s.name, s.virtual_address, s.virtual_size, s.raw_pointer, s.raw_size, s.characteristics)
         for s in img.sections]
    assert other.OPTIONAL_HEADER.SizeOfImage == img.size_of_image
    if old.checksum:
        assert other.OPTIONAL_HEADER.CheckSum == other.generate_checksum() != 0
    security = other.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    assert (security.VirtualAddress, security.Size) == (0, 0)

    def key(entry):
        return entry.name.string.decode("latin-1") if entry.name is not None else entry.id

    found = {}
    for t in other.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                found.setdefault(key(t), {}).setdefault(key(n), {})[lang.id] = \
                    other.get_data(d.OffsetToData, d.Size)
    assert found == img.resources()


# ------------------------------------------------------------ show

def test_show_prints_the_texts_the_block_and_where_it_lies(stub, base):
    r = stamp_ok("show", stub)
    out = r.stdout.decode()
    tree = base["image"].resources().get("TEXT", {})
    for tid in TEXT_IDS:
        line = next((l for l in out.splitlines() if re.match(r"\s*text\s+%d\s" % tid, l)), None)
        assert line, "no line for text %d in:\n%s" % (tid, out)
        assert pe.TEXT_NAMES[tid] in line
        if tid in tree:
            value = tree[tid][1033]
            if all(0x20 <= b < 0x7F and b not in b'"\\' for b in value):
                assert line.endswith('"%s"' % value.decode()), line
        else:
            assert line.endswith("absent")
    number, quiet, _ = read_stamp(stub)
    block = find_stamp(base["data"])
    section = base["image"].section_for_offset(block)
    assert re.search(r"install number\s+%d\n" % number, out)
    assert re.search(r"quiet\s+%d\n" % quiet, out)
    assert "file offset 0x%x" % block in out and "section %s" % section.name in out
    assert "RVA 0x%x" % base["image"].offset_to_rva(block) in out
    assert re.search(r"signature\s+none", out)

    js = show_json(stub)
    assert js["install_number"] == number and js["quiet"] == quiet
    assert js["stamp_block"]["offset"] == block
    assert [t["id"] for t in js["texts"]] == TEXT_IDS


def test_show_escapes_what_is_not_printable(stub, tmp_path):
    out = tmp_path / "odd.exe"
    stamp_ok("set", stub, "-o", out, "--text-hex", "2003=6162006364", "--title", 'say "hi"',
             "--registry-key", "Software\\Caf\u00e9", "--omit-text", "4")
    text = stamp_ok("show", out).stdout.decode()
    assert re.search(r'IDT_CAMPAIGN\s+"ab\\x00cd"$', text, re.M), text
    assert re.search(r'IDT_TITLE\s+"say \\"hi\\""$', text, re.M), text
    assert re.search(r'IDT_REGISTRY_KEY\s+"Software\\\\Caf\\xe9"$', text, re.M), text
    assert re.search(r"IDT_EVENT_URL\s+absent$", text, re.M), text


# ------------------------------------------------------- round trips

LONG_URL = "http://127.0.0.1:8080/" + "d" * 30000 + "/Setup.exe"

# (id, arguments of set, expected texts (None = absent; ids not named keep
#  the input's), expected install number and quiet flag (None = as input))
ROUND_TRIPS = [
    ("every value",
     ["--download-url", "http://127.0.0.1:8080/products/x/NewSetup.exe",
      "--event-url", "http://127.0.0.1:8080/scripts/ev.php", "--product-code", "NEWCODE9",
      "--registry-key", "Software\\Stamp\\Test", "--campaign", "spring-2024",
      "--title", "New Title", "--install-number", "4242", "--quiet", "1"],
     {1: b"http://127.0.0.1:8080/products/x/NewSetup.exe", 4: b"http://127.0.0.1:8080/scripts/ev.php",
      104: b"NEWCODE9", 107: b"Software\\Stamp\\Test", 2003: b"spring-2024", 2008: b"New Title"},
     4242, 1),
    ("ids and names",
     ["--text", "1=ftp://127.0.0.1/a.exe", "--text", "title=T", "--text", "IDT_CAMPAIGN=c",
      "--text-hex", "107=536f667477617265", "--install-number", "0", "--quiet", "0"],
     {1: b"ftp://127.0.0.1/a.exe", 2008: b"T", 2003: b"c", 107: b"Software"}, 0, 0),
    ("limits",
     ["--product-code", "P" * pe.MAX_PRODUCT_CODE, "--install-number", "2147483647",
      "--campaign", ""],
     {104: b"P" * pe.MAX_PRODUCT_CODE, 2003: b""}, 2147483647, None),
    ("zero bytes, leading zeros",
     ["--text-hex", "2003=6162006364", "--text-hex", "2008=00", "--install-number", "007"],
     {2003: b"ab\0cd", 2008: b"\0"}, 7, None),
    ("omit some", ["--omit-text", "4", "campaign"], {4: None, 2003: None}, None, None),
    ("omit all", ["--omit-text", *map(str, TEXT_IDS)], {tid: None for tid in TEXT_IDS}, None, None),
    ("long values grow the section",
     ["--download-url", LONG_URL, "--title", "T" * 5000,
      "--registry-key", "Software\\" + "k" * 200],
     {1: LONG_URL.encode(), 2008: b"T" * 5000, 107: b"Software\\" + b"k" * 200}, None, None),
    ("ANSI text (cp1252)", ["--title", "Caf\u00e9 \u20ac"], {2008: b"Caf\xe9 \x80"}, None, None),
    ("other encoding", ["--encoding", "utf-8", "--campaign", "\u00e9t\u00e9"],
     {2003: "\u00e9t\u00e9".encode("utf-8")}, None, None),
    ("pin", ["--sha256", PIN.upper(), "--download-url", "https://127.0.0.1/Setup.exe"],
     {2010: PIN.upper().encode(), 1: b"https://127.0.0.1/Setup.exe"}, None, None),
    ("pin by id", ["--text", "2010=" + PIN], {2010: PIN.encode()}, None, None),
    ("empty pin", ["--sha256", ""], {2010: b""}, None, None),
    ("retries", ["--retries", "5"], {2011: b"5"}, None, None),
    ("retries at the limit", ["--retries", "20"], {2011: b"20"}, None, None),
    ("retries by id, leading zeros", ["--text", "2011=020"], {2011: b"020"}, None, None),
    ("no retries", ["--retries", "0"], {2011: b"0"}, None, None),
    ("empty retries", ["--text", "IDT_RETRIES="], {2011: b""}, None, None),
    ("fallback", ["--fallback-url", "https://mirror.example.net/Setup.exe", "--download-url",
                  "https://dl.example.org/Setup.exe"],
     {2012: b"https://mirror.example.net/Setup.exe", 1: b"https://dl.example.org/Setup.exe"},
     None, None),
    ("fallback ftp, upper case, by id", ["--text", "2012=FTP://m.example.net:2121/S.exe",
                                         "--download-url", "https://dl.example.org/S.exe",
                                         "--sha256", PIN],
     {2012: b"FTP://m.example.net:2121/S.exe", 1: b"https://dl.example.org/S.exe",
      2010: PIN.encode()}, None, None),
    ("no fallback", ["--fallback-url", ""], {2012: b""}, None, None),
]


def expected_warnings(texts):
    """The warnings a distribution with these texts must get from set."""
    pinned = bool((texts.get(2010) or b"").split(b"\0")[0])
    warnings = []
    for tid in (1, 2012):
        url = (texts.get(tid) or b"").split(b"\0")[0]
        if url and not url.lower().startswith(b"https:") and not pinned:
            warnings.append("plain " + url.split(b":")[0].decode().lower())
    return warnings


@pytest.mark.parametrize("args, texts, number, quiet", [c[1:] for c in ROUND_TRIPS],
                         ids=[c[0] for c in ROUND_TRIPS])
def test_set_then_show_round_trip(stub, base, tmp_path, args, texts, number, quiet):
    out = tmp_path / "dist.exe"
    r = stamp_ok("set", stub, "-o", out, *args)
    want = {tid: base["config"].text(tid) for tid in TEXT_IDS}
    want.update(texts)
    # Only the one warning that the texts call for, if any.
    lines = r.stderr.decode().splitlines()
    expected = expected_warnings(want)
    assert len(lines) == len(expected), lines
    for line, words in zip(lines, expected):
        assert line.startswith("stamp: warning: ") and words in line, line
    data = out.read_bytes()
    img = check_structure(data, base["data"])
    assert os.access(out, os.X_OK), "the distribution lost the executable bit"

    want_number = base["config"].install_number if number is None else number
    want_quiet = base["config"].quiet if quiet is None else quiet

    # The tree as the image holds it...
    stored = img.resources().get("TEXT", {})
    for tid in TEXT_IDS:
        if want[tid] is None:
            assert tid not in stored, "text %d should be absent" % tid
        else:
            assert stored[tid] == {1033: want[tid]}, "text %d" % tid
    if all(v is None for v in want.values()):
        assert "TEXT" not in img.resources()
    assert read_stamp(out) == (want_number, want_quiet, 0)

    # ...and as show reports it.
    js = show_json(out)
    for t in js["texts"]:
        value = want[t["id"]]
        assert t["present"] == (value is not None)
        assert t["hex"] == (value.hex() if value is not None else None)
    assert (js["install_number"], js["quiet"]) == (want_number, want_quiet)
    text = stamp_ok("show", out).stdout.decode()
    for tid in TEXT_IDS:
        if want[tid] is None:
            assert re.search(r"text\s+%d\s+\S+\s+absent$" % tid, text, re.M), text

    if any(len(a) > 1000 for a in args):
        old_rsrc = base["image"].resource_section()
        assert img.resource_section().raw_size > old_rsrc.raw_size
        assert img.size_of_image > base["image"].size_of_image


def same_but_checksum(data, original):
    """True when two images differ at most in the checksum field, and the
    checksum of `data` is right (the build may leave a stale one behind)."""
    img = pe.PEImage(data)
    at = img.checksum_offset
    if img.checksum != classic_checksum(data, at):
        return False
    return data[:at] + data[at + 4:] == original[:at] + original[at + 4:]


def test_no_changes_reproduce_the_linked_file(stub, base, tmp_path):
    # The resource writer lays the section out as the linker did: stamping
    # nothing gives the input back, with a right checksum.
    out = tmp_path / "same.exe"
    stamp_ok("set", stub, "-o", out)
    assert same_but_checksum(out.read_bytes(), base["data"])


def test_stamping_again_is_the_same_as_stamping_once(stub, base, tmp_path):
    first = ["--title", "First", "--campaign", "c" * 3000, "--install-number", "1", "--quiet", "1",
             "--omit-text", "4"]
    second = ["--title", "Second title", "--campaign", "c2", "--install-number", "2", "--quiet", "0",
              "--event-url", "http://127.0.0.1/e.php", "--omit-text", "1"]
    a, b, c, c2 = (tmp_path / n for n in ("a.exe", "b.exe", "c.exe", "c2.exe"))
    stamp_ok("set", stub, "-o", a, *first)
    stamp_ok("set", a, "-o", b, *second)
    stamp_ok("set", stub, "-o", c, *second)
    stamp_ok("set", stub, "-o", c2, *second)
    assert b.read_bytes() == c.read_bytes() == c2.read_bytes()
    check_structure(b.read_bytes(), base["data"])

    # Writing the original values back gives the original file.
    back = tmp_path / "back.exe"
    config = base["config"]
    restore = ["--install-number", str(config.install_number), "--quiet", str(config.quiet)]
    for tid in TEXT_IDS:
        value = config.text(tid)
        restore += ["--text-hex", "%d=%s" % (tid, value.hex())] if value is not None \
            else ["--omit-text", str(tid)]
    stamp_ok("set", b, "-o", back, *restore)
    assert same_but_checksum(back.read_bytes(), base["data"])


def test_make_distribution_matches_the_command(stub, tmp_path):
    by_api, by_cli = tmp_path / "api.exe", tmp_path / "cli.exe"
    warnings = pe.make_distribution(stub, by_api, product_code="API1", registry_key=b"Software\\Api",
                                    title="Caf\u00e9", install_number=77, quiet=True,
                                    omit_text=["event_url"], text={"campaign": "c1"},
                                    text_hex={1: "687474703a2f2f782f"})
    assert len(warnings) == 1 and "plain http without a SHA-256 pin" in warnings[0], warnings
    stamp_ok("set", stub, "-o", by_cli, "--product-code", "API1", "--registry-key", "Software\\Api",
             "--title", "Caf\u00e9", "--install-number", "77", "--quiet", "1", "--omit-text", "4",
             "--campaign", "c1", "--download-url", "http://x/")
    assert by_api.read_bytes() == by_cli.read_bytes()
    with pytest.raises(pe.StampError) as e:
        pe.make_distribution(stub, tmp_path / "x.exe", install_number=-1)
    assert e.value.code == pe.EXIT_INSTALL_NUMBER
    with pytest.raises(pe.StampError) as e:
        pe.make_distribution(stub, stub)
    assert e.value.code == pe.EXIT_SAME_FILE


def test_the_command_runs_from_its_own_shebang(stub):
    # tools/stamp is executable and needs nothing beyond a python3 (here the
    # one first on PATH, not necessarily the one running the tests).
    r = run_stamp("show", stub, python=False)
    assert r.returncode == 0, r.stderr
    assert b"install number" in r.stdout


# -------------------------------------------------------------- refusals

def _write(tmp_path, name, data):
    p = tmp_path / name
    p.write_bytes(bytes(data))
    return p


def in_text_file(tmp_path, stub):
    return _write(tmp_path, "notes.txt", b"not a program\n" * 10)


def in_truncated(tmp_path, stub):
    return _write(tmp_path, "cut.exe", stub.read_bytes()[:900])


def in_other_magic(tmp_path, stub):
    # The optional header of the other width than the machine's.
    data = bytearray(stub.read_bytes())
    img = pe.PEImage(data)
    other = pe.PE32_MAGIC if img.is_pe32plus else pe.PE32PLUS_MAGIC
    struct.pack_into("<H", data, img.optional_header_offset, other)
    return _write(tmp_path, "mixed.exe", data)


def in_other_machine(tmp_path, stub):
    data = bytearray(stub.read_bytes())
    img = pe.PEImage(data)
    struct.pack_into("<H", data, img.nt_offset + 4, 0x01C4)  # ARMv7
    return _write(tmp_path, "arm.exe", data)


def _corrupt_marker(data):
    at = find_stamp(bytes(data))
    data[at + 5] ^= 0xFF


def in_no_texts_no_marker(tmp_path, stub):
    bare = tmp_path / "bare.exe"
    stamp_ok("set", stub, "-o", bare, "--omit-text", *map(str, TEXT_IDS))
    data = bytearray(bare.read_bytes())
    _corrupt_marker(data)
    return _write(tmp_path, "other.exe", data)


def in_no_marker(tmp_path, stub):
    data = bytearray(stub.read_bytes())
    _corrupt_marker(data)
    return _write(tmp_path, "nomarker.exe", data)


def in_marker_twice(tmp_path, stub):
    data = stub.read_bytes()
    at = find_stamp(data)
    return _write(tmp_path, "twice.exe", data + data[at:at + 24])


def in_resources_not_last(tmp_path, stub):
    # Another section placed after the resources in memory (as a relocation
    # section would be): the first section moves behind them.
    data = bytearray(stub.read_bytes())
    img = pe.PEImage(data)
    rsrc = img.resource_section()
    first = img.sections[0]
    assert first != rsrc
    va = _align(rsrc.virtual_address + rsrc.virtual_size, img.section_alignment)
    sh = img.optional_header_offset + img.optional_header_size
    struct.pack_into("<I", data, sh + 12, va)
    struct.pack_into("<I", data, img.optional_header_offset + 56,
                     va + _align(first.virtual_size, img.section_alignment))
    return _write(tmp_path, "moved.exe", data)


def in_stub(tmp_path, stub):
    return stub


def in_pinned(tmp_path, stub):
    out = tmp_path / "pinned.exe"
    stamp_ok("set", stub, "-o", out, "--download-url", "https://dl.example.org/Setup.exe",
             "--sha256", PIN)
    return out


# (id, input maker, arguments of set, exit status, words of the message)
REFUSALS = [
    ("text file", in_text_file, [], pe.EXIT_NOT_PE32, "not a PE32"),
    ("truncated", in_truncated, [], pe.EXIT_NOT_PE32, "not a complete PE32"),
    ("magic of the other width", in_other_magic, [], pe.EXIT_NOT_PE32, "neither a 32-bit nor a 64-bit"),
    ("another machine", in_other_machine, [], pe.EXIT_NOT_PE32, "neither a 32-bit nor a 64-bit"),
    ("no texts, no marker", in_no_texts_no_marker, [], pe.EXIT_NOT_STUB, "not a download stub"),
    ("marker missing", in_no_marker, [], pe.EXIT_NO_MARKER, "marker not found"),
    ("marker twice", in_marker_twice, [], pe.EXIT_MARKER_TWICE, "found 2 times"),
    # Behind a zero byte, where the stub stops reading, so that the marker's
    # control characters are no refusal of their own.
    ("marker in a new text", in_stub,
     ["--text-hex", "2003=" + (b"\0" + pe.STAMP_MARKER + b"\0" * 12).hex()],
     pe.EXIT_MARKER_TWICE, "marker"),
    *[("install number %r" % v, in_stub, ["--install-number", v], pe.EXIT_INSTALL_NUMBER,
       "install number") for v in ("-1", "2147483648", "4294967296", "0x10", "12a", "", " 7", "1e3")],
    *[("quiet %r" % v, in_stub, ["--quiet", v], pe.EXIT_QUIET, "quiet flag")
      for v in ("2", "-1", "yes", "")],
    ("product code too long", in_stub, ["--product-code", "P" * (pe.MAX_PRODUCT_CODE + 1)],
     pe.EXIT_PRODUCT_CODE, "at most %d" % pe.MAX_PRODUCT_CODE),
    ("product code too long, by id", in_stub,
     ["--text-hex", "104=" + "50" * (pe.MAX_PRODUCT_CODE + 1)], pe.EXIT_PRODUCT_CODE, "at most"),
    *[("product code %r" % v, in_stub, ["--text", "104=" + v], pe.EXIT_PRODUCT_CODE, "file name")
      for v in ("a\\b", "a/b", "a:b", 'a"b', "a*b", "a?b", "a<b", "a|b", "a\tb")],
    ("unknown omitted id", in_stub, ["--omit-text", "5"], pe.EXIT_UNKNOWN_TEXT, "unknown text id"),
    ("unknown omitted name", in_stub, ["--omit-text", "colour"], pe.EXIT_UNKNOWN_TEXT,
     "unknown text id"),
    ("unknown text id", in_stub, ["--text", "3=x"], pe.EXIT_UNKNOWN_TEXT, "unknown text id"),
    ("unknown hex id", in_stub, ["--text-hex", "2009=41"], pe.EXIT_UNKNOWN_TEXT, "unknown text id"),
    ("set and omitted", in_stub, ["--event-url", "http://x/", "--omit-text", "4"],
     pe.EXIT_TEXT_VALUE, "both set and omitted"),
    ("set twice", in_stub, ["--title", "a", "--text", "2008=b"], pe.EXIT_TEXT_VALUE, "twice"),
    ("bad hex", in_stub, ["--text-hex", "1=zz"], pe.EXIT_TEXT_VALUE, "not hexadecimal"),
    ("odd hex", in_stub, ["--text-hex", "1=abc"], pe.EXIT_TEXT_VALUE, "not hexadecimal"),
    ("not in the code page", in_stub, ["--title", "\u4e2d"], pe.EXIT_TEXT_VALUE, "cp1252"),
    ("unknown encoding", in_stub, ["--encoding", "no-such-code", "--title", "x"],
     pe.EXIT_TEXT_VALUE, "unknown encoding"),
    ("resources not last", in_resources_not_last, [], pe.EXIT_LAYOUT, "not the last section"),
    *[("pin %s" % name, in_stub, args, pe.EXIT_SHA256, "not 64 hexadecimal digits") for name, args in (
        ("of 63 digits", ["--sha256", PIN[:63]]),
        ("of 65 digits", ["--sha256", PIN + "0"]),
        ("with a g", ["--sha256", PIN[:10] + "g" + PIN[11:]]),
        ("with 0x", ["--sha256", "0x" + PIN[2:]]),
        ("with a blank", ["--sha256", PIN[:32] + " " + PIN[33:]]),
        ("by id, with a trailing blank", ["--text", "2010=" + PIN + " "]),
        ("as hex bytes, cut by a zero byte", ["--text-hex", "2010=" + PIN.encode().hex() + "00"]))],
    *[("retries %r" % v, in_stub, ["--retries", v], pe.EXIT_RETRIES, "retry count")
      for v in ("21", "-1", "5 ", " 5", "0x5", "five", "1e1", "99999999999999999999")],
    ("retries as hex bytes, cut by a zero byte", in_stub, ["--text-hex", "2011=3500"],
     pe.EXIT_RETRIES, "retry count"),
    *[("fallback %r" % v, in_stub, ["--fallback-url", v], pe.EXIT_FALLBACK_URL,
       "not an http, https or ftp URL with a host")
      for v in ("mirror.example.net/Setup.exe", "file:///C:/Setup.exe", "gopher://m/S.exe",
                "http:/m/S.exe", "http:///S.exe", "https://", "ftp://:21/S.exe",
                "javascript:alert(1)")],
    *[("control character %r in %s" % (char, option), in_stub, [option, value], pe.EXIT_TEXT_VALUE,
       "control character")
      for option, value, char in (
          ("--download-url", "http://127.0.0.1/a.exe\r\nX-Evil: 1", "\r"),
          ("--event-url", "http://127.0.0.1/e.php\n", "\n"),
          ("--registry-key", "Software\\A\x7fB", "\x7f"),
          ("--campaign", "spring\tsale", "\t"),
          ("--title", "T\x1bitle", "\x1b"),
          ("--sha256", PIN[:63] + "\n", "\n"))],
    # A pinned input given a new URL and no word of its pin.
    *[("new URL, old pin kept, by %s" % how, in_pinned, args, pe.EXIT_STALE_PIN,
       'give the new setup\'s pin (--sha256 HEX or --sha256-of SETUP), or drop the pin with --sha256 ""')
      for how, args in (("option", ["--download-url", "https://dl.example.org/Setup2.exe"]),
                        ("id", ["--text", "1=https://mirror.example.org/Setup.exe"]),
                        ("hex", ["--text-hex", "1=" + b"http://x/S.exe".hex()]),
                        ("empty URL", ["--download-url", ""]))],
    ("control character in hex text", in_stub, ["--text-hex", "2003=610d62"], pe.EXIT_TEXT_VALUE,
     "2003 (IDT_CAMPAIGN) holds the control character \"\\x0d\""),
]


@pytest.mark.parametrize("make_input, args, code, words", [c[1:] for c in REFUSALS],
                         ids=[c[0] for c in REFUSALS])
def test_set_refuses(stub, tmp_path, make_input, args, code, words):
    src = make_input(tmp_path, stub)
    before = src.read_bytes()
    out = tmp_path / "refused.exe"
    r = run_stamp("set", src, "-o", out, *args)
    err = r.stderr.decode()
    assert r.returncode == code, err
    assert err.startswith("stamp: error: ") and err.count("\n") == 1, err
    assert words in err, err
    assert not out.exists()
    assert src.read_bytes() == before
    if code in (pe.EXIT_NOT_PE32, pe.EXIT_NOT_STUB, pe.EXIT_NO_MARKER, pe.EXIT_MARKER_TWICE) and not args:
        # show reads the same way and refuses alike
        assert run_stamp("show", src).returncode == code


def _link(kind, tmp_path, stub):
    if kind == "same path":
        return stub
    if kind == "relative path":
        return Path(os.path.relpath(stub))
    link = tmp_path / kind.replace(" ", "_")
    (os.symlink if kind == "symlink" else os.link)(stub, link)
    return link


@pytest.mark.parametrize("kind", ["same path", "relative path", "symlink", "hard link"])
def test_set_refuses_to_write_over_its_input(stub, tmp_path, kind):
    before = stub.read_bytes()
    r = run_stamp("set", stub, "-o", _link(kind, tmp_path, stub), "--title", "Overwritten")
    assert r.returncode == pe.EXIT_SAME_FILE, r.stderr
    assert r.stderr.decode().count("\n") == 1 and b"is the input" in r.stderr
    assert stub.read_bytes() == before


@pytest.mark.parametrize("args", [[], ["set", "x.exe"], ["set", "x.exe", "-o", "y.exe", "--text", "title"],
                                  ["frobnicate", "x.exe"],
                                  ["set", "x.exe", "-o", "y.exe", "--sha256", PIN, "--sha256-of", "x"]],
                         ids=["no command", "no output", "text without =", "unknown command",
                              "pin and pin of a file"])
def test_usage_errors(args):
    assert run_stamp(*args).returncode == pe.EXIT_USAGE


def test_unreadable_input_and_unwritable_output(stub, tmp_path):
    r = run_stamp("set", tmp_path / "missing.exe", "-o", tmp_path / "o.exe")
    assert r.returncode == pe.EXIT_IO and b"cannot read" in r.stderr
    r = run_stamp("set", stub, "-o", tmp_path / "no" / "such" / "dir.exe")
    assert r.returncode == pe.EXIT_IO and b"cannot write" in r.stderr
    assert list(tmp_path.iterdir()) == []


def test_pin_of_a_file(stub, tmp_path):
    setup = tmp_path / "Setup.exe"
    setup.write_bytes(os.urandom(3 * 1024 * 1024 + 5))
    out = tmp_path / "pinned.exe"
    stamp_ok("set", stub, "-o", out, "--sha256-of", setup)
    digest = hashlib.sha256(setup.read_bytes()).hexdigest()
    assert pe.read_configuration(out).text(2010) == digest.encode()
    shown = stamp_ok("show", out).stdout.decode()
    assert re.search(r'text 2010\s+IDT_SETUP_SHA256\s+"%s"$' % digest, shown, re.M), shown
    r = run_stamp("set", stub, "-o", tmp_path / "none.exe", "--sha256-of", tmp_path / "missing.exe")
    assert r.returncode == pe.EXIT_IO and b"cannot read" in r.stderr
    assert not (tmp_path / "none.exe").exists()


@pytest.mark.parametrize("args, pin", [
    (["--sha256", PIN.replace("b", "c")], PIN.replace("b", "c")),
    (["--sha256", ""], ""),
    (["--omit-text", "2010"], None),
    (["--text", "2010=" + PIN.upper()], PIN.upper()),
], ids=["new pin", "pin dropped", "pin omitted", "new pin by id"])
def test_new_url_of_a_pinned_input_with_its_pin_decided(stub, tmp_path, args, pin):
    src = in_pinned(tmp_path, stub)
    out = tmp_path / "moved.exe"
    stamp_ok("set", src, "-o", out, "--download-url", "https://mirror.example.org/Setup.exe", *args)
    config = pe.read_configuration(out)
    assert config.text(1) == b"https://mirror.example.org/Setup.exe"
    assert config.text(2010) == (None if pin is None else pin.encode())


def test_pinned_input_restamped_without_a_new_url_keeps_its_pin(stub, tmp_path):
    # The same URL again, or other texts only: the pin still names the setup.
    src = in_pinned(tmp_path, stub)
    for args in (["--download-url", "https://dl.example.org/Setup.exe"], ["--campaign", "autumn"]):
        out = tmp_path / "again.exe"
        stamp_ok("set", src, "-o", out, *args)
        assert pe.read_configuration(out).text(2010) == PIN.encode()
        out.unlink()


# (id, arguments of set, words of each warning in order)
WARNINGS = [
    ("plain http", ["--download-url", "http://dl.example.org/Setup.exe"], ["plain http without"]),
    ("plain ftp", ["--download-url", "FTP://dl.example.org/Setup.exe"], ["plain ftp without"]),
    ("https", ["--download-url", "https://dl.example.org/Setup.exe"], []),
    ("http with a pin", ["--download-url", "http://dl.example.org/Setup.exe", "--sha256", PIN], []),
    ("http with an empty pin", ["--download-url", "http://x/S.exe", "--sha256", ""], ["plain http"]),
    ("no download URL", ["--omit-text", "1"], []),
    *[("campaign with %r" % c, ["--campaign", "a%sb" % c, "--sha256", PIN],
       ["campaign \"a%sb\" holds %r, which changes the meaning" % (c, c)]) for c in "#&?= "],
    ("campaign with several", ["--campaign", "a=b&c", "--sha256", PIN], ["holds '&', '=', which change "]),
    ("campaign without event URL", ["--campaign", "a&b", "--omit-text", "4", "--sha256", PIN], []),
    ("event URL with a query", ["--event-url", "http://x/e.php?site=1", "--sha256", PIN],
     ["already has a query"]),
    ("all at once", ["--event-url", "http://x/e?", "--campaign", "a b"],
     ["plain http", "campaign", "already has a query"]),
    ("fallback over plain http", ["--download-url", "https://dl.example.org/S.exe",
                                  "--fallback-url", "http://mirror.example.net/S.exe"],
     ["downloaded from the fallback URL over plain http"]),
    ("fallback on the same host", ["--download-url", "https://dl.example.org/S.exe",
                                   "--fallback-url", "https://DL.example.org:8443/mirror/S.exe"],
     ["is on the download URL's host dl.example.org"]),
    ("fallback on another host", ["--download-url", "https://dl.example.org/S.exe",
                                  "--fallback-url", "https://dl2.example.org/S.exe"], []),
    ("same host, ftp and pinned", ["--download-url", "http://dl.example.org/S.exe",
                                   "--fallback-url", "ftp://dl.example.org/S.exe",
                                   "--sha256", PIN], ["on the download URL's host"]),
]


@pytest.mark.parametrize("args, words", [c[1:] for c in WARNINGS], ids=[c[0] for c in WARNINGS])
def test_set_warns(stub, tmp_path, args, words):
    out = tmp_path / "warned.exe"
    lines = stamp_ok("set", stub, "-o", out, *args).stderr.decode().splitlines()
    assert len(lines) == len(words), lines
    for line, want in zip(lines, words):
        assert line.startswith("stamp: warning: ") and want in line, line
    assert out.exists()


def test_warns_when_the_event_request_would_be_cut(stub, tmp_path):
    out = tmp_path / "long-event.exe"
    r = run_stamp("set", stub, "-o", out, "--event-url", "http://127.0.0.1/" + "e" * 900,
                  "--campaign", "c" * 200)
    assert r.returncode == 0
    assert r.stderr.startswith(b"stamp: warning: ") and b"cuts it at 1023" in r.stderr
    assert out.exists()


# ------------------------------------------------------------ signatures

def _fake_signed(tmp_path, stub):
    # A certificate table at the end of the file, as a signer appends it.
    data = bytearray(stub.read_bytes())
    img = pe.PEImage(data)
    data += bytes(_align(len(data), 8) - len(data))
    cert = struct.pack("<IHH", 24, 0x0200, 2) + b"\x30\x82signature"[:16].ljust(16, b"\0")
    struct.pack_into("<II", data, img.directories_offset + 8 * pe.DIR_SECURITY,
                     len(data), len(cert))
    return _write(tmp_path, "signed.exe", data + cert)


def _check_signature_warning(r):
    err = r.stderr.decode()
    assert r.returncode == 0, err
    assert err.startswith("stamp: warning: ") and err.count("\n") == 1, err
    assert "Authenticode signature" in err and "invalidates" in err
    assert "sign the output after stamping" in err and "osslsigncode" in err


def test_a_signed_input_is_stamped_with_a_warning_and_without_its_signature(stub, base, tmp_path):
    signed = _fake_signed(tmp_path, stub)
    assert re.search(rb"signature\s+Authenticode, 24 bytes", stamp_ok("show", signed).stdout)
    out = tmp_path / "out.exe"
    r = run_stamp("set", signed, "-o", out, "--title", "After signing", "--sha256", PIN)
    _check_signature_warning(r)
    check_structure(out.read_bytes(), base["data"])  # no certificate left, size as unsigned
    assert pe.read_configuration(out).text(2008) == b"After signing"


@pytest.mark.skipif(not (shutil.which("osslsigncode") and shutil.which("openssl")),
                    reason="osslsigncode and openssl are needed to sign")
def test_really_signed_input_then_signing_the_stamped_output(stub, tmp_path):
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Stamp Test",
                    "-days", "2", "-keyout", key, "-out", cert], check=True, capture_output=True)

    def sign(src, dst):
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", src, "-out", dst],
                       check=True, capture_output=True)

    signed, stamped, resigned = (tmp_path / n for n in ("signed.exe", "stamped.exe", "resigned.exe"))
    sign(stub, signed)
    assert pe.read_configuration(signed).signature
    _check_signature_warning(run_stamp("set", signed, "-o", stamped, "--campaign", "signed-later",
                                       "--sha256", PIN))
    assert pe.PEImage.from_file(stamped).directory(pe.DIR_SECURITY) == (0, 0)
    sign(stamped, resigned)
    v = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", resigned], capture_output=True)
    out = v.stdout.decode(errors="replace")
    current = re.search(r"Current message digest\s*:\s*(\S+)", out)
    calculated = re.search(r"Calculated message digest\s*:\s*(\S+)", out)
    assert current and calculated and current.group(1) == calculated.group(1), out
    assert pe.read_configuration(resigned).text(2003) == b"signed-later"


# ------------------------------------------------------------ under Wine

@pytest.fixture
def product(bench):
    """A product of its own for one run: code, registry key, install number."""
    code = "STMP" + uuid.uuid4().hex[:6].upper()
    key = "Software\\StampTest\\" + code
    bench.clean_stub_state(code, key)
    yield {"code": code, "key": key, "number": 40000 + uuid.uuid4().int % 50000}
    bench.clean_stub_state(code, key)
    bench.reg_delete(r"HKLM\Software\StampTest")


def test_stamped_copy_runs_with_the_new_values(bench, stub, tmp_path, product):
    code, key, number = product["code"], product["key"], product["number"]
    campaign, title = "camp-" + code.lower(), "Stamped " + code
    # Nothing listens there, and nothing can while the port is held: the
    # download fails at once.
    with closed_port() as closed, FaultServer() as events:
        events.add_event("/stamped/event.php", body_chunks=(16,), delay_between_chunks=0)
        dist = tmp_path / "dist.exe"
        stamp_ok("set", stub, "-o", dist, "--download-url", "http://127.0.0.1:%d/Setup.exe" % closed,
                 "--event-url", events.url("/stamped/event.php"), "--product-code", code,
                 "--registry-key", key, "--campaign", campaign, "--title", title,
                 "--install-number", number)
        run = bench.start(dist)
        try:
            box = bench.find_window(cls="#32770", title=title, visible=True, timeout=30)
            assert box, "no error box titled %r" % title
            # The code of a refused connection: the stamped URL was the one fetched.
            assert "12029" in box_text(box), box_text(box)
            relay = bench.find_window(cls="MiniMutex." + code, timeout=5)
            assert relay and not relay["visible"]
            start = events.wait_for_requests(1, path="/stamped/event.php", timeout=10)
            assert start, "no start event"
            assert start[0].params == {"camp": campaign, "mode": "1"}
            assert start[0].user_agent.startswith(code + " ("), start[0].user_agent
            assert bench.reg_query("HKLM\\" + key, "Campaign") == ("REG_SZ", campaign)
            assert bench.click(box["hwnd"], 1)
            assert run.wait(timeout=30).code == 0
        finally:
            run.kill()
    download = bench.temp_dir / ("~%s%d.exe" % (code, number))
    assert download.exists(), "no %s in %s" % (download.name, [p.name for p in bench.stub_files()])


@pytest.mark.parametrize("quiet", [1, 0])
def test_stamped_quiet_flag_decides_whether_the_dialog_can_cancel(bench, stub, tmp_path, product, quiet):
    code, key, number = product["code"], product["key"], product["number"]
    title = "Quiet %d %s" % (quiet, code)
    payload = bytes(range(256)) * 4096  # 1 MiB, sent in a trickle: the dialog shows
    with FaultServer() as srv:
        srv.add_file("/slow/Setup.exe", payload, trickle=(2048, 0.5))
        dist = tmp_path / "quiet.exe"
        stamp_ok("set", stub, "-o", dist, "--download-url", srv.url("/slow/Setup.exe"),
                 "--omit-text", "4", "--product-code", code, "--registry-key", key,
                 "--title", title, "--install-number", number, "--quiet", quiet)
        with bench.start(dist):
            dialog = bench.find_window(cls="#32770", title=title, visible=True, timeout=30)
            assert dialog, "no progress dialog titled %r" % title
            has_cancel = child(dialog, IDCANCEL) is not None
            has_menu = bool(dialog["style"] & WS_SYSMENU)
            assert (has_cancel, has_menu) == (not quiet, not quiet), dialog
            # The transfer keeps its resume record under the stamped key and number.
            record = bench.reg_values("HKLM\\%s\\Install\\%08d" % (key, number))
            assert record and record.get("Size") == ("REG_DWORD", len(payload)), record
