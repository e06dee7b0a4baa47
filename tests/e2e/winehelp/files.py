"""Files of the bench: sparse files past 2 GiB, the stamp block of an image,
Windows and Unix names of the prefix's paths, the temporary directory and
the stub's traces in it."""

from __future__ import annotations

import os
import pwd
import shutil
import time
from pathlib import Path
from typing import TYPE_CHECKING

from .processes import helper_exe, stub_exe

if TYPE_CHECKING:
    from .bench import Bench

STAMP_MARKER = b"\x17\x16\x15\x14" + b"67896789"


def sparse_file(path: str | os.PathLike, size: int, pieces=()) -> None:
    """A file of `size` bytes, zero but for the (offset, bytes) pieces; the
    zeros take no room on disk (files past 2 GiB for a few KB)."""
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, data in pieces:
            f.seek(offset)
            f.write(data)


# A server file past 2 GiB for the transfer tests, laid out by sparse_file:
# its first 64 KB and the part from BIG_FROM on are not zero.
GiB = 2**30
BIG = 2 * GiB + 300_000
BIG_FROM = 2 * GiB - 65_536
BIG_HEAD = bytes(range(256)) * 256
BIG_TAIL = bytes((i * 13 + i // 512) & 0xFF for i in range(BIG - BIG_FROM))


def big_file(path: str | os.PathLike, size: int = BIG) -> None:
    """The big file, or its first `size` bytes (a partial file of it)."""
    sparse_file(path, size, [(0, BIG_HEAD[:size]), (BIG_FROM, BIG_TAIL[:max(0, size - BIG_FROM)])])


def read_at(path: str | os.PathLike, offset: int, length: int) -> bytes:
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


def assert_big_file(path: str | os.PathLike, report: dict, kept: int) -> None:
    """The big file is whole on disk, and the transfer's counters say it went
    on from `kept` bytes."""
    assert (report["totalBytes"], report["doneBytes"], report["baseBytes"]) == (BIG, BIG, kept), report
    assert Path(path).stat().st_size == BIG
    assert read_at(path, 0, len(BIG_HEAD)) == BIG_HEAD
    assert read_at(path, BIG_FROM, BIG - BIG_FROM) == BIG_TAIL



# ---------------------------------------------------------- stamp block ---

def find_stamp(data: bytes) -> int:
    """Offset of the stamp block (its marker) in an image; exactly one must exist."""
    first = data.find(STAMP_MARKER)
    if first < 0:
        raise ValueError("stamp marker not found")
    if data.find(STAMP_MARKER, first + 1) >= 0:
        raise ValueError("stamp marker found more than once")
    return first


def read_stamp(path: str | os.PathLike) -> tuple[int, int, int]:
    """(install number, quiet flag, reserved) as stored in the file."""
    data = Path(path).read_bytes()
    at = find_stamp(data) + len(STAMP_MARKER)
    return (int.from_bytes(data[at:at + 4], "little"),
            int.from_bytes(data[at + 4:at + 8], "little"),
            int.from_bytes(data[at + 8:at + 12], "little"))


def patch_stamp(path: str | os.PathLike, install_number: int | None = None,
                quiet: int | None = None, reserved: int | None = None) -> None:
    """Change the stamp block of an image in place; None leaves a field as it is."""
    p = Path(path)
    data = bytearray(p.read_bytes())
    at = find_stamp(data) + len(STAMP_MARKER)
    for offset, value in ((0, install_number), (4, quiet), (8, reserved)):
        if value is not None:
            data[at + offset:at + offset + 4] = (value & 0xFFFFFFFF).to_bytes(4, "little")
    p.write_bytes(bytes(data))


def copy_stub(dest: str | os.PathLike, install_number: int | None = None,
              quiet: int | None = None, reserved: int | None = None,
              src: str | os.PathLike | None = None) -> Path:
    """Copy build/install.exe (or src) to dest and patch its stamp block.

    dest may be a directory (the copy is named install.exe there) or a file.
    """
    d = Path(dest)
    if d.is_dir():
        d = d / "install.exe"
    shutil.copyfile(src or stub_exe(), d)
    d.chmod(0o755)
    patch_stamp(d, install_number, quiet, reserved)
    return d



class FilesMixin:
    """Path and temporary-directory methods of Bench."""

    # -- paths

    def to_unix(self, winpath: str) -> Path:
        """A Windows path of the prefix as a Unix path. Existing parts are
        matched case-insensitively, as Wine does; \\??\\ and \\\\?\\ are dropped."""
        p = winpath.replace("/", "\\")
        for lead in ("\\??\\", "\\\\?\\"):
            if p.startswith(lead):
                p = p[len(lead):]
        if len(p) < 2 or p[1] != ":":
            raise ValueError(f"not an absolute Windows path: {winpath}")
        drive = self.prefix / "dosdevices" / (p[0].lower() + ":")
        base = Path(os.path.realpath(drive))
        for part in [x for x in p[2:].split("\\") if x]:
            candidate = base / part
            if not candidate.exists() and base.is_dir():
                low = part.lower()
                for entry in base.iterdir():
                    if entry.name.lower() == low:
                        candidate = entry
                        break
            base = candidate
        return base

    def to_windows(self, path: str | os.PathLike) -> str:
        """A Unix path as Wine names it: a drive of the prefix, else Z:."""
        real = os.path.realpath(path)
        best = None
        for dev in (self.prefix / "dosdevices").iterdir():
            if len(dev.name) != 2 or dev.name[1] != ":" or dev.name[0] == "z":
                continue
            target = os.path.realpath(dev)
            if real == target or real.startswith(target.rstrip("/") + "/"):
                if best is None or len(target) > len(best[1]):
                    best = (dev.name[0].upper(), target)
        if best:
            rest = real[len(best[1]):].strip("/")
            return f"{best[0]}:\\" + rest.replace("/", "\\")
        return "Z:" + real.replace("/", "\\")

    @property
    def default_temp_win(self) -> str:
        """The prefix's own temporary directory, C:\\users\\<user>\\Temp."""
        user = pwd.getpwuid(os.getuid()).pw_name
        users = self.prefix / "drive_c" / "users" / user
        name = "Temp"
        if users.is_dir():
            for entry in users.iterdir():
                if entry.name.lower() == "temp":
                    name = entry.name
        return f"C:\\users\\{user}\\{name}"

    @property
    def temp_dir_win(self) -> str:
        """The temporary directory new Windows processes get (no trailing backslash)."""
        return self._temp_override or self.default_temp_win

    @property
    def temp_dir(self) -> Path:
        return self.to_unix(self.temp_dir_win)

    def set_temp(self, winpath: str | None) -> None:
        """Point HKCU\\Environment TMP at winpath (None: back to the original).

        Programs started afterwards see it: with the persistent wineserver the
        value is read at every process start; the probe confirms it.
        """
        key = r"HKCU\Environment"
        if not self._temp_saved:
            self._temp_original = self.reg_query(key, "TMP")
            self._temp_saved = True
        if winpath is None:
            if self._temp_original:
                self.reg_add(key, "TMP", self._temp_original[1], self._temp_original[0])
            else:
                self.reg_delete(key, "TMP")
            self._temp_override = None
            self._temp_saved = False
            expect = self._temp_original[1] if self._temp_original else None
        else:
            self.reg_add(key, "TMP", winpath, "REG_SZ")
            self._temp_override = winpath.rstrip("\\")
            expect = winpath
        if expect and helper_exe("probe.exe").exists():
            deadline = time.monotonic() + 10
            while True:
                seen = self.probe("tempdir").get("TMP")
                if seen == expect or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            if seen != expect:
                raise RuntimeError(f"new processes still see TMP={seen!r}, not {expect!r}")

    @property
    def wininit_ini(self) -> Path:
        return self.prefix / "drive_c" / "windows" / "wininit.ini"

    def stub_files(self) -> list[Path]:
        """The ~*.exe files in the temporary directory."""
        d = self.temp_dir
        return sorted(p for p in d.glob("~*") if p.name.lower().endswith(".exe")) if d.is_dir() else []

    def fakesetup_log(self, directory: str | os.PathLike) -> "FakeSetupLog":
        """A fresh log file for fakesetup.exe in directory (see FakeSetupLog)."""
        return FakeSetupLog(self, Path(directory) / "fakesetup.log")


class FakeSetupLog:
    """The file fakesetup.exe appends "ran|<path>|<command line>|<pid>" to.

    Pass .env to Bench.run/start of the stub: the setup it starts inherits it.
    """

    def __init__(self, bench: Bench, path: Path):
        self.path = path
        path.unlink(missing_ok=True)
        self.win = bench.to_windows(path)
        self.env = {"FAKESETUP_LOG": self.win}

    def entries(self) -> list[dict]:
        """[{"path", "cmdline", "pid"}] of every run so far."""
        if not self.path.exists():
            return []
        out = []
        for line in self.path.read_text("latin-1").splitlines():
            parts = line.split("|")
            if len(parts) < 4 or parts[0] != "ran":
                continue
            out.append({"path": parts[1], "cmdline": "|".join(parts[2:-1]), "pid": int(parts[-1])})
        return out

    def wait(self, count: int = 1, timeout: float = 20.0) -> list[dict]:
        """Wait until at least count runs are logged; the entries (maybe fewer)."""
        deadline = time.monotonic() + timeout
        while True:
            e = self.entries()
            if len(e) >= count or time.monotonic() > deadline:
                return e
            time.sleep(0.1)


# ------------------------------------------------------------ continuation ---

# A continuation asks again for this many kept bytes (all of them when fewer
# are kept) and compares them with the file before it writes.
RESUME_OVERLAP = 4096


def resume_from(kept: int) -> int:
    """The first byte a continuation of `kept` bytes asks for."""
    return kept - RESUME_OVERLAP if kept > RESUME_OVERLAP else 0


def resume_range(kept: int) -> str:
    """The Range header of an HTTP continuation of `kept` bytes."""
    return f"bytes={resume_from(kept)}-"
