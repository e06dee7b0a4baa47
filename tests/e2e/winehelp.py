"""The Wine bench for the end-to-end tests and the helpers that drive it.

One Wine prefix, one Xvfb display and one persistent wineserver serve a whole
test run. scripts/test makes them and passes WINEPREFIX and DISPLAY in the
environment; a pytest run started by hand (``pytest tests/e2e/x.py``) gets its
own, made the same way and removed at the end (see ``Bench.create``).

Windows programs run through ``wine``. Their exit code arrives as the Unix
status, so an exit code of -1 reads 255. Windows of other processes are read
and driven with the probe (tests/probe), which runs under the same wineserver.
"""

from __future__ import annotations

import atexit
import contextlib
import hashlib
import json
import os
import pwd
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any, NamedTuple

REPO = Path(__file__).resolve().parents[2]

# Fixed for every Wine call: no debug noise, no Mono/Gecko installer
# prompts; the prefix's architecture is the bench's (see bench_name).
WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}

STAMP_MARKER = b"\x17\x16\x15\x14" + b"67896789"

# Watches the test process that made a bench; once it is gone, however it
# ended, removes the bench (its wineserver, its Xvfb and the prefix, some
# 600 MB). A bench closed normally stops its reaper first.
_REAPER = """
owner=$1 xvfb=$2 base=$3 wineserver=$4
while kill -0 "$owner" 2>/dev/null; do sleep 2; done
"$wineserver" -k >/dev/null 2>&1
kill "$xvfb" 2>/dev/null
rm -rf "$base"
"""

# Exit codes of probe.exe
PROBE_NOT_FOUND = 1
PROBE_USAGE = 2

WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


# ---------------------------------------------------------------- build ---

_machine_bench: str | None = None


def bench_name() -> str:
    """The bench of this run: win32 (32-bit programs in a 32-bit prefix) or
    win64 (the 64-bit test build in a 64-bit prefix). $STUB_BENCH, else the
    one this machine can run, found as scripts/winebench.sh finds it."""
    global _machine_bench
    if os.environ.get("STUB_BENCH"):
        return os.environ["STUB_BENCH"]
    if _machine_bench is None:
        _machine_bench = "win32" if runs_32bit_programs() else "win64"
    return _machine_bench


def runs_32bit_programs() -> bool:
    """Whether a static 32-bit program that only exits runs here."""
    with tempfile.TemporaryDirectory(prefix="stubprobe32.") as d:
        src, obj, exe = (Path(d) / n for n in ("exit.s", "exit.o", "exit"))
        src.write_text(".globl _start\n_start:\n movl $1, %eax\n xorl %ebx, %ebx\n int $0x80\n")
        try:
            subprocess.run(["as", "--32", "-o", str(obj), str(src)], check=True, capture_output=True)
            subprocess.run(["ld", "-m", "elf_i386", "-o", str(exe), str(obj)], check=True,
                           capture_output=True)
            return subprocess.run([str(exe)], capture_output=True).returncode == 0
        except (OSError, subprocess.CalledProcessError):
            return False


def wine_loader() -> str:
    """The command that starts a Windows program of the bench. On win64 the
    64-bit loader itself: /usr/bin/wine picks the 32-bit one wherever wine32
    is installed, and that one cannot run where 32-bit code cannot."""
    if bench_name() == "win64":
        return os.environ.get("STUB_WINE") or "/usr/lib/wine/wine64"
    return os.environ.get("STUB_WINE") or "wine"


def wineserver() -> str:
    if bench_name() == "win64":
        return os.environ.get("STUB_WINESERVER") or "/usr/lib/wine/wineserver64"
    return os.environ.get("STUB_WINESERVER") or "wineserver"


def wine_env() -> dict[str, str]:
    return {**WINE_ENV, "WINEARCH": bench_name()}


def shipped_build() -> Path:
    """The build of the shipped 32-bit stub, whatever the bench runs:
    $STUB_SHIPPED_BUILD, else build/ of the repository."""
    return Path(os.environ.get("STUB_SHIPPED_BUILD") or REPO / "build")


def stub_build() -> Path:
    """The build the bench runs: $STUB_BUILD, else build/ of the repository
    (build/win64/ on the win64 bench)."""
    if os.environ.get("STUB_BUILD"):
        return Path(os.environ["STUB_BUILD"])
    return REPO / "build" / "win64" if bench_name() == "win64" else REPO / "build"


def stub_exe() -> Path:
    return stub_build() / "install.exe"


def helper_exe(name: str) -> Path:
    """A test program built next to the stub, e.g. helper_exe("probe.exe")."""
    return stub_build() / "tests" / name


def free_port() -> int:
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


# ---------------------------------------------------------- processes ---

class Result(NamedTuple):
    """What a finished Windows program left: Unix exit status (-1 reads 255)."""
    code: int
    out: str
    err: str


class WineTimeout(AssertionError):
    """A Windows program outlived its time-out; it has been killed."""

    def __init__(self, what: str, timeout: float, out: str = "", err: str = ""):
        super().__init__(f"{what} still running after {timeout} s\nstdout: {out}\nstderr: {err}")
        self.out, self.err = out, err


def _kill_group(popen: subprocess.Popen) -> None:
    # Each program is started in a session of its own; its group holds it and
    # whatever Unix children Wine forked for it, and nothing else.
    try:
        os.killpg(popen.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        popen.kill()
    except ProcessLookupError:
        pass


class WineProcess:
    """A Windows program started in the background (Bench.start)."""

    def __init__(self, popen: subprocess.Popen, out_path: Path, err_path: Path, what: str):
        self.popen = popen
        self.what = what
        self._out_path, self._err_path = out_path, err_path

    @property
    def pid(self) -> int:
        """The Unix process id (not the Windows one)."""
        return self.popen.pid

    def poll(self) -> int | None:
        return self.popen.poll()

    def running(self) -> bool:
        return self.popen.poll() is None

    def output(self) -> tuple[str, str]:
        read = lambda p: p.read_bytes().decode("utf-8", "replace") if p.exists() else ""
        return read(self._out_path), read(self._err_path)

    def wait(self, timeout: float = 60, kill: bool = True) -> Result:
        """Wait for the exit. On time-out: kill it (unless kill=False) and raise WineTimeout."""
        try:
            code = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            if kill:
                self.kill()
            out, err = self.output()
            raise WineTimeout(self.what, timeout, out, err) from None
        out, err = self.output()
        return Result(code, out, err)

    def discard_output(self) -> None:
        self._out_path.unlink(missing_ok=True)
        self._err_path.unlink(missing_ok=True)

    def kill(self) -> None:
        if self.popen.poll() is None:
            _kill_group(self.popen)
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                pass

    def __enter__(self) -> "WineProcess":
        return self

    def __exit__(self, *exc) -> None:
        self.kill()


# ------------------------------------------------------------ registry ---

_ROOTS = {
    "HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT",
    "HKU": "HKEY_USERS", "HKCC": "HKEY_CURRENT_CONFIG",
}
REG_TYPES = {
    "REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD": 4,
    "REG_DWORD_BIG_ENDIAN": 5, "REG_LINK": 6, "REG_MULTI_SZ": 7, "REG_QWORD": 11,
}
_TYPE_NAMES = {v: k for k, v in REG_TYPES.items()}


def full_key(key: str) -> str:
    """HKLM\\Software\\X -> HKEY_LOCAL_MACHINE\\Software\\X."""
    key = key.strip("\\")
    root, _, rest = key.partition("\\")
    root = _ROOTS.get(root.upper(), root.upper())
    return root + ("\\" + rest if rest else "")


def _decode_reg_value(type_no: int, raw: bytes) -> Any:
    if type_no in (1, 2, 6):
        text = raw.decode("utf-16-le", "replace")
        return text.split("\0", 1)[0]
    if type_no == 4:
        return int.from_bytes(raw[:4].ljust(4, b"\0"), "little")
    if type_no == 11:
        return int.from_bytes(raw[:8].ljust(8, b"\0"), "little")
    if type_no == 7:
        text = raw.decode("utf-16-le", "replace")
        if text.endswith("\0\0"):
            text = text[:-2]
        elif text.endswith("\0"):
            text = text[:-1]
        return text.split("\0") if text else []
    return bytes(raw)


def _encode_reg_value(type_no: int, data: Any) -> bytes:
    if type_no in (1, 2, 6):
        return (str(data) + "\0").encode("utf-16-le")
    if type_no == 4:
        return (int(data) & 0xFFFFFFFF).to_bytes(4, "little")
    if type_no == 11:
        return (int(data) & 0xFFFFFFFFFFFFFFFF).to_bytes(8, "little")
    if type_no == 7:
        items = [data] if isinstance(data, str) else list(data)
        return ("".join(s + "\0" for s in items) + "\0").encode("utf-16-le")
    return bytes(data)


def _reg_header() -> str:
    return "Windows Registry Editor Version 5.00\r\n\r\n"


def _reg_entry(key: str, name: str | None, data: Any, type: str | int) -> str:
    """One value in .reg form; always as typed hex, so any text survives."""
    type_no = REG_TYPES[type] if isinstance(type, str) else int(type)
    hexdata = ",".join(f"{b:02x}" for b in _encode_reg_value(type_no, data))
    label = "@" if not name else '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return f"[{full_key(key)}]\r\n{label}=hex({type_no:x}):{hexdata}\r\n\r\n"


def _unescape_reg_string(s: str) -> str:
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0", "t": "\t"}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_reg_export(text: str) -> dict[str, dict[str, tuple[str, Any]]]:
    """Parse a .reg export: {full key path: {value name ("" = default): (type, data)}}."""
    keys: dict[str, dict[str, tuple[str, Any]]] = {}
    current = None
    lines = text.replace("\r\n", "\n").split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        # Only hex data is wrapped ("...,\\" then an indented line); strings
        # always end in their closing quote.
        while line.endswith("\\") and i < len(lines):
            line = line[:-1] + lines[i].strip()
            i += 1
        if not line or line.startswith(";") or line.startswith("Windows Registry"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        if current is None:
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        elif line.startswith('"'):
            j, esc = 1, False
            while j < len(line):
                if esc:
                    esc = False
                elif line[j] == "\\":
                    esc = True
                elif line[j] == '"':
                    break
                j += 1
            name = _unescape_reg_string(line[1:j])
            rest = line[j + 2:]  # skip '"='
        else:
            continue
        if rest.startswith('"'):
            current[name] = ("REG_SZ", _unescape_reg_string(rest[1:-1]))
        elif rest.startswith("dword:"):
            current[name] = ("REG_DWORD", int(rest[6:], 16))
        elif rest.startswith("hex"):
            head, _, hexbytes = rest.partition(":")
            type_no = 3 if head == "hex" else int(head[4:-1], 16)
            raw = bytes(int(b, 16) for b in hexbytes.replace(" ", "").split(",") if b)
            current[name] = (_TYPE_NAMES.get(type_no, f"REG_TYPE_{type_no}"),
                             _decode_reg_value(type_no, raw))
        elif rest == "-":
            continue
    return keys


# --------------------------------------------------------------- bench ---

class Bench:
    """One Wine prefix with its display and wineserver, and what the tests do in it."""

    def __init__(self, prefix: Path, display: str, env: dict[str, str],
                 owned_dir: Path | None = None, xvfb: subprocess.Popen | None = None,
                 reaper: subprocess.Popen | None = None):
        self.prefix = Path(prefix)
        self.display = display
        self.env = env
        self._owned_dir = owned_dir
        self._xvfb = xvfb
        self._reaper = reaper
        self._closed = False
        self._saved_environ: dict[str, str | None] = {}
        self._temp_override: str | None = None
        self._temp_saved = False
        self._temp_original: tuple[str, Any] | None = None
        # Work files (program output, .reg files); inside an owned bench so
        # that its reaper takes them too.
        self._scratch = Path(tempfile.mkdtemp(prefix="winehelp.", dir=owned_dir))
        atexit.register(self.close)

    # -- making and removing the bench

    @classmethod
    def from_environment(cls) -> "Bench | None":
        """The bench of scripts/test, when WINEPREFIX and DISPLAY point at one."""
        prefix, display = os.environ.get("WINEPREFIX"), os.environ.get("DISPLAY")
        if not prefix or not display or not (Path(prefix) / "system.reg").exists():
            return None
        env = dict(os.environ)
        for k, v in wine_env().items():
            env.setdefault(k, v)
        return cls(Path(prefix), display, env)

    @classmethod
    def create(cls) -> "Bench":
        """A bench of our own, made as scripts/winebench.sh makes one."""
        base = Path(tempfile.mkdtemp(prefix="stubbench."))
        env = dict(os.environ)
        env.update(wine_env())
        env["WINEPREFIX"] = str(base / "prefix")
        xvfb = reaper = bench = None
        try:
            xvfb, display = cls._start_xvfb(base)
            env["DISPLAY"] = display
            reaper = subprocess.Popen(["sh", "-c", _REAPER, "reaper", str(os.getpid()), str(xvfb.pid),
                                       str(base), wineserver()], env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      start_new_session=True)
            bench = cls(base / "prefix", display, env, owned_dir=base, xvfb=xvfb, reaper=reaper)
            log = open(base / "wineboot.log", "wb")
            with log:
                subprocess.run([wine_loader(), "wineboot", "--init"], env=env, stdout=log,
                               stderr=log, timeout=300, check=False)
            subprocess.run([wineserver(), "-w"], env=env, timeout=300, check=False)
            bench.prepare()
            # Keep one wineserver for the whole run: every wine start is cheaper.
            subprocess.run([wineserver(), "-p"], env=env, timeout=60, check=False)
        except BaseException:
            subprocess.run([wineserver(), "-k"], env=env, timeout=60, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if bench is not None:
                bench._closed = True
            if reaper:
                _kill_group(reaper)
                reaper.wait()
            if xvfb:
                xvfb.kill()
                xvfb.wait()
            shutil.rmtree(base, ignore_errors=True)
            raise
        bench._export_environ()
        return bench

    def prepare(self) -> None:
        """Settings every test run wants in its prefix (idempotent):

        - no crash dialog for a program that crashes;
        - windows not managed by an X window manager. Xvfb runs none, and for
          managed windows Wine waits 2 s for one to confirm every hide and
          every destroy; unmanaged windows go at once.
        """
        self._reg_import(_reg_header()
                         + _reg_entry(r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", 0, "REG_DWORD")
                         + _reg_entry(r"HKCU\Software\Wine\X11 Driver", "Managed", "N", "REG_SZ"))

    @staticmethod
    def _start_xvfb(base: Path) -> tuple[subprocess.Popen, str]:
        n = 90
        for _ in range(50):
            while Path(f"/tmp/.X{n}-lock").exists() or Path(f"/tmp/.X11-unix/X{n}").exists():
                n += 1
            log = open(base / f"xvfb{n}.log", "wb")
            xvfb = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                    stdout=log, stderr=log, start_new_session=True)
            log.close()
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if Path(f"/tmp/.X11-unix/X{n}").exists():
                    return xvfb, f":{n}"
                if xvfb.poll() is not None:
                    break  # lost the display number to someone else
                time.sleep(0.05)
            if xvfb.poll() is None:
                xvfb.kill()
            xvfb.wait()
            n += 1
        raise RuntimeError("no free X display for Xvfb")

    def _export_environ(self) -> None:
        # Code that calls wine itself (servers, tests) sees our bench too.
        for k in ("WINEPREFIX", "DISPLAY", "WINEARCH", *WINE_ENV):
            self._saved_environ[k] = os.environ.get(k)
            os.environ[k] = self.env[k]

    @property
    def owned(self) -> bool:
        return self._owned_dir is not None

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self._temp_saved:
            try:
                self.set_temp(None)
            except Exception:
                pass
        shutil.rmtree(self._scratch, ignore_errors=True)
        if not self.owned:
            return
        if self._reaper and self._reaper.poll() is None:
            _kill_group(self._reaper)
            self._reaper.wait()
        subprocess.run([wineserver(), "-k"], env=self.env, timeout=60, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self._xvfb and self._xvfb.poll() is None:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait()
        for k, v in self._saved_environ.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        shutil.rmtree(self._owned_dir, ignore_errors=True)

    # -- running Windows programs

    def _env(self, extra: dict[str, str] | None) -> dict[str, str]:
        env = dict(self.env)
        if extra:
            env.update({k: str(v) for k, v in extra.items()})
        return env

    def run(self, exe: str | os.PathLike, *args: Any, timeout: float = 60,
            env: dict[str, str] | None = None, cwd: str | os.PathLike | None = None) -> Result:
        """Run a Windows program to its end: Result(code, out, err).

        env adds variables (Windows programs see the Unix environment). On
        time-out the program is killed and WineTimeout raised.
        """
        proc = self.start(exe, *args, env=env, cwd=cwd)
        try:
            return proc.wait(timeout)
        finally:
            proc.discard_output()

    def start(self, exe: str | os.PathLike, *args: Any, env: dict[str, str] | None = None,
              cwd: str | os.PathLike | None = None) -> WineProcess:
        """Start a Windows program in the background; wait() on the result.

        Output goes to files, not pipes: a wineserver that a wine start may
        spawn would hold a pipe open and its reader would never see the end.
        """
        fd, out_name = tempfile.mkstemp(dir=self._scratch, suffix=".out")
        os.close(fd)
        fd, err_name = tempfile.mkstemp(dir=self._scratch, suffix=".err")
        os.close(fd)
        with open(out_name, "wb") as out, open(err_name, "wb") as err:
            p = subprocess.Popen([wine_loader(), str(exe), *map(str, args)], env=self._env(env), cwd=cwd,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                 start_new_session=True)
        return WineProcess(p, Path(out_name), Path(err_name), f"wine {exe} {' '.join(map(str, args))}")

    # -- the probe

    def probe(self, *args: Any, timeout: float | None = None) -> Any:
        """Run probe.exe with args: its parsed JSON, or None when it found nothing."""
        args = [str(a) for a in args]
        exe = helper_exe("probe.exe")
        if not exe.exists():
            raise FileNotFoundError(f"{exe} is missing: build the tests first (scripts/build)")
        wait_ms = 10000
        if "--timeout" in args:
            wait_ms = int(args[args.index("--timeout") + 1], 0)
        r = self.run(exe, *args,
                     timeout=timeout if timeout is not None else wait_ms / 1000 + 30)
        if r.code == PROBE_USAGE:
            raise ValueError(f"probe {' '.join(args)}: {r.err.strip()}")
        if r.code not in (0, PROBE_NOT_FOUND):
            raise RuntimeError(f"probe {' '.join(args)} exited {r.code}: {r.err.strip()}")
        if r.code != 0:
            return None
        try:
            parsed = json.loads(r.out)
        except json.JSONDecodeError:
            raise RuntimeError(f"probe {' '.join(args)} printed no JSON: {r.out!r} {r.err!r}") from None
        return parsed

    def find_window(self, cls: str | None = None, title: str | None = None, *,
                    title_contains: str | None = None, pid: int | None = None,
                    exe: str | None = None, hwnd: int | None = None, owner: int | None = None,
                    child_id: int | None = None, visible: bool | None = None,
                    foreground: bool = False, all: bool = False,
                    timeout: float = 10.0) -> Any:
        """Wait up to timeout seconds for a top-level window that matches every
        given filter; its description (all=True: a list of all that match), or
        None. visible=True wants it shown, visible=False hidden; exe is a part
        of the owning process's image path (Windows form, any case), the way
        to tell one test's copy of a program from another's."""
        args: list[Any] = ["find", "--timeout", int(timeout * 1000)]
        for opt, val in (("--class", cls), ("--title", title), ("--title-contains", title_contains),
                         ("--pid", pid), ("--exe", exe), ("--hwnd", hwnd), ("--owner", owner),
                         ("--child-id", child_id)):
            if val is not None:
                args += [opt, val]
        if visible is True:
            args.append("--visible")
        elif visible is False:
            args.append("--hidden")
        if foreground:
            args.append("--foreground")
        if all:
            args.append("--all")
        return self.probe(*args)

    def window(self, hwnd: int) -> dict | None:
        """The current description of one window, or None when it is gone."""
        return self.probe("find", "--hwnd", hwnd, "--timeout", 0)

    def list_windows(self, pid: int | None = None, exe: str | None = None) -> list[dict]:
        """All top-level windows: [{hwnd, pid, exe, class, title, visible, owner, style}]."""
        args: list[Any] = ["list"]
        if pid is not None:
            args += ["--pid", pid]
        if exe is not None:
            args += ["--exe", exe]
        return self.probe(*args)

    def wait_gone(self, hwnd: int, timeout: float = 10.0, hidden_ok: bool = False) -> bool:
        """True once the window no longer exists (or, with hidden_ok, is hidden)."""
        args: list[Any] = ["gone", "--hwnd", hwnd, "--timeout", int(timeout * 1000)]
        if hidden_ok:
            args.append("--hidden")
        return self.probe(*args) is not None

    def click(self, hwnd: int, control_id: int, method: str = "command") -> bool:
        """Press the button control_id of a dialog or message box."""
        r = self.probe("click", "--hwnd", hwnd, "--id", control_id, "--method", method)
        return bool(r and r.get("ok"))

    def post(self, hwnd: int, msg: int, wparam: int = 0, lparam: int = 0) -> bool:
        r = self.probe("post", "--hwnd", hwnd, "--msg", msg, "--wparam", wparam, "--lparam", lparam)
        return bool(r and r.get("ok"))

    def send(self, hwnd: int, msg: int, wparam: int = 0, lparam: int = 0,
             timeout: float = 5.0) -> int | None:
        """SendMessageTimeout from the probe: the result, or None on failure/time-out."""
        r = self.probe("send", "--hwnd", hwnd, "--msg", msg, "--wparam", wparam,
                       "--lparam", lparam, "--timeout", int(timeout * 1000))
        return r["result"] if r else None

    def foreground(self, hwnd: int | None = None) -> dict:
        """Try to bring hwnd to the foreground; the foreground window afterwards
        ({"foreground", "pid", "class", "title", "ok"}). Without hwnd: only look."""
        args: list[Any] = ["foreground"]
        if hwnd is not None:
            args += ["--hwnd", hwnd]
        r = self.run(helper_exe("probe.exe"), *args, timeout=30)
        return json.loads(r.out)

    # -- registry (through wine reg, so the live wineserver's view)

    def reg_export(self, key: str) -> dict[str, dict[str, tuple[str, Any]]] | None:
        """The key and everything below it, or None when the key is missing:
        {full key path: {value name: (type, data)}}; "" names the default value.
        REG_SZ/REG_EXPAND_SZ -> str, REG_DWORD/REG_QWORD -> int,
        REG_MULTI_SZ -> list of str, anything else -> bytes."""
        fd, name = tempfile.mkstemp(dir=self._scratch, suffix=".reg")
        os.close(fd)
        out = Path(name)
        try:
            r = self.run("reg", "export", full_key(key), self.to_windows(out), "/y", timeout=60)
            raw = out.read_bytes() if r.code == 0 else b""
        finally:
            out.unlink(missing_ok=True)
        if not raw:
            return None
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
        return parse_reg_export(text)

    def reg_values(self, key: str) -> dict[str, tuple[str, Any]] | None:
        """The values of one key (not of its subkeys), or None when it is missing."""
        tree = self.reg_export(key)
        if tree is None:
            return None
        want = full_key(key).lower()
        for k, values in tree.items():
            if k.lower() == want:
                return values
        return {}

    def reg_subkeys(self, key: str) -> list[str] | None:
        """Names of the direct subkeys, or None when the key is missing."""
        tree = self.reg_export(key)
        if tree is None:
            return None
        base = full_key(key).lower() + "\\"
        return sorted(k[len(base):] for k in tree if k.lower().startswith(base) and "\\" not in k[len(base):])

    def reg_key_exists(self, key: str) -> bool:
        return self.run("reg", "query", full_key(key), timeout=60).code == 0

    def reg_query(self, key: str, name: str | None) -> tuple[str, Any] | None:
        """(type, data) of one value, or None. name None or "" is the default value."""
        values = self.reg_values(key)
        if not values:
            return None
        name = (name or "").lower()
        for n, v in values.items():
            if n.lower() == name:
                return v
        return None

    def reg_add(self, key: str, name: str | None, data: Any = "", type: str = "REG_SZ") -> None:
        """Create the key if needed and set one value (name None or "" = default).

        Goes through a .reg import, so every type and every text round-trips.
        """
        self._reg_import(_reg_header() + _reg_entry(key, name, data, type))

    def reg_add_key(self, key: str) -> None:
        self._reg_import(_reg_header() + f"[{full_key(key)}]\r\n\r\n")

    def _reg_import(self, text: str) -> None:
        fd, name = tempfile.mkstemp(dir=self._scratch, suffix=".reg")
        with os.fdopen(fd, "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))
        try:
            r = self.run("reg", "import", self.to_windows(name), timeout=60)
        finally:
            os.unlink(name)
        if r.code != 0:
            raise RuntimeError(f"reg import failed ({r.code}): {r.err.strip()} {r.out.strip()}\n{text}")

    def reg_delete(self, key: str, name: str | None = None) -> bool:
        """Delete a whole key with its subkeys, or one value of it (name; "" is
        the default value). True when there was something to delete."""
        if name is None:
            args = ["delete", full_key(key), "/f"]
        elif name == "":
            args = ["delete", full_key(key), "/ve", "/f"]
        else:
            args = ["delete", full_key(key), "/v", name, "/f"]
        return self.run("reg", *args, timeout=60).code == 0

    # -- trust

    ROOT_CERTIFICATES = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"

    def trust_root_certificate(self, der: bytes) -> str:
        """Make a CA certificate (DER) a trusted root inside this prefix alone;
        the machine's own store is not touched. Returns the key it adds, named
        by the certificate's SHA-1 as crypt32 names it; its "Blob" holds the
        certificate as one serialized property: id 32 (the certificate
        itself), 1, the length, the bytes. Programs started afterwards trust it."""
        key = self.ROOT_CERTIFICATES + "\\" + hashlib.sha1(der).hexdigest().upper()
        self.reg_add(key, "Blob", struct.pack("<III", 32, 1, len(der)) + der, "REG_BINARY")
        return key

    def forget_root_certificate(self, der: bytes) -> None:
        self.reg_delete(self.ROOT_CERTIFICATES + "\\" + hashlib.sha1(der).hexdigest().upper())

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

    def set_win_version(self, exe_name: str, version: str | None) -> None:
        """The Windows version that programs named exe_name see: win95, win98,
        winme, nt40, win2k, winxp, win2003, win7 ...; None removes the setting."""
        key = rf"HKCU\Software\Wine\AppDefaults\{exe_name}"
        if version is None:
            self.reg_delete(key, "Version")
        else:
            self.reg_add(key, "Version", version, "REG_SZ")

    # -- the stub's traces

    SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"

    def pending_renames(self) -> list[tuple[str, str]]:
        """PendingFileRenameOperations as (source, target) pairs; "" target = delete."""
        v = self.reg_query(self.SESSION_MANAGER, "PendingFileRenameOperations")
        if not v:
            return []
        items = v[1] if isinstance(v[1], list) else []
        return [(items[i], items[i + 1] if i + 1 < len(items) else "") for i in range(0, len(items), 2)]

    def clear_pending_renames(self) -> None:
        self.reg_delete(self.SESSION_MANAGER, "PendingFileRenameOperations")

    @property
    def wininit_ini(self) -> Path:
        return self.prefix / "drive_c" / "windows" / "wininit.ini"

    def stub_files(self) -> list[Path]:
        """The ~*.exe files in the temporary directory."""
        d = self.temp_dir
        return sorted(p for p in d.glob("~*") if p.name.lower().endswith(".exe")) if d.is_dir() else []

    def clean_stub_state(self, product_code: str, registry_key: str, wait: float = 15.0) -> None:
        """Start a test from a clean slate: no instance of this product running
        (waits up to `wait` s for one to end), no ~*.exe in the temporary
        directory, no HKLM\\<registry_key>."""
        relay = self.find_window(cls=f"MiniMutex.{product_code}", timeout=0)
        if relay and not self.wait_gone(relay["hwnd"], timeout=wait):
            raise RuntimeError(f"a stub of product {product_code} is still running")
        for p in self.stub_files():
            p.unlink(missing_ok=True)
        self.reg_delete(rf"HKLM\{registry_key}")

    @contextlib.contextmanager
    def own_product(self, test_name: str, prefix: str, parent: str):
        """(product code, registry key) of one test alone, made from its name:
        code prefix + the test's name, 15 characters; key
        Software\\<parent>\\<code>. Nothing of the product is left before or
        after, and the parent key goes at the end."""
        code = prefix + re.sub(r"[^A-Za-z0-9]", "", test_name)[-(15 - len(prefix)):].upper()
        key = rf"Software\{parent}\{code}"
        self.clean_stub_state(code, key)
        self.clear_pending_renames()
        try:
            yield code, key
        finally:
            self.clean_stub_state(code, key)
            self.reg_delete(rf"HKLM\Software\{parent}")

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


# --------------------------------------------------------- descriptions ---

def child(window: dict, control_id: int) -> dict | None:
    """The child control with that id in a probe window description."""
    for c in window.get("children", []):
        if c["id"] == control_id or (control_id == -1 and c["id"] == 0xFFFF):
            return c
    return None


def child_text(window: dict, control_id: int) -> str | None:
    c = child(window, control_id)
    return c["text"] if c else None


# ------------------------------------------------------------ the driver ---

def run_driver(bench, *args, timeout: float = 60) -> dict:
    """Runs stubdriver.exe; the JSON line it printed, parsed."""
    r = bench.run(helper_exe("stubdriver.exe"), *map(str, args), timeout=timeout)
    lines = [line for line in r.out.splitlines() if line.startswith("{")]
    # Wine now and then dies of SIGSEGV while it ends a thread of its own at
    # process exit (about one run in 300, in a server call of ntdll). The line
    # is printed and flushed before exit, so by then the work is done.
    assert r.code in (0, -signal.SIGSEGV) and lines, \
        f"stubdriver exited {r.code}: {r.out!r} {r.err!r}"
    return json.loads(lines[-1])


def finish_run(bench, proc: WineProcess, title: str, timeout: float = 120) -> tuple[int, str | None]:
    """Waits for a started install.exe to end, pressing OK on its error box
    (a dialog of that title with a text that names an error). Its exit code
    and the box's text, or None when it ended without one."""
    text = None
    try:
        deadline = time.monotonic() + timeout
        while proc.running() and time.monotonic() < deadline:
            for w in bench.find_window(cls="#32770", title=title, visible=True, all=True, timeout=1) or []:
                statics = [c["text"] for c in w["children"] if c["class"].lower() == "static" and c["text"]]
                if any("Error" in s for s in statics):
                    text = max(statics, key=len)
                    bench.click(w["hwnd"], IDOK)
        return proc.wait(timeout=30).code, text
    finally:
        proc.kill()
        proc.discard_output()


class TransferDriver:
    """Runs `stubdriver transfer` with one output file and one registry key
    (under reg_root) per name."""

    def __init__(self, bench, out_dir: Path, reg_root: str, product: str | None = None):
        self.bench = bench
        self.out_dir = out_dir
        self.reg_root = reg_root
        self.product = ("--product", product) if product else ()

    def file(self, name: str) -> Path:
        return self.out_dir / name

    def regkey(self, name: str) -> str:
        return self.reg_root + "\\" + name

    def win_file(self, name: str) -> str:
        """The Windows name of the output file of that name."""
        return self.bench.to_windows(self.out_dir) + "\\" + name

    def transfer(self, name: str, url: str, *options, win_file: str | None = None) -> dict:
        win_file = win_file or self.win_file(name)
        return run_driver(self.bench, "transfer", url, win_file, "--regkey", self.regkey(name),
                          *self.product, *options)

    def record(self, name: str) -> dict | None:
        """Date, Time, Size and File of the resume record, or None without one.
        A value of another type than REG_DWORD (REG_SZ for File) shows as its
        type name."""
        values = self.bench.reg_values(rf"HKLM\{self.regkey(name)}\Install\00010000")
        if values is None:
            return None
        return {k: v[1] if v[0] == ("REG_SZ" if k == "File" else "REG_DWORD") else v[0]
                for k, v in values.items()}

    def set_record(self, name: str, **values: int | str) -> None:
        """Sets values of the record: numbers as REG_DWORD, texts as REG_SZ."""
        for value, data in values.items():
            self.bench.reg_add(rf"HKLM\{self.regkey(name)}\Install\00010000", value, data,
                               "REG_SZ" if isinstance(data, str) else "REG_DWORD")

    def forget(self, name: str) -> None:
        self.bench.reg_delete(rf"HKLM\{self.regkey(name)}")
