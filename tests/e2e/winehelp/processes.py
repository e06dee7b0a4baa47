"""The bench's programs: which bench runs, where its builds are, and Windows
programs started under Wine and waited for."""

from __future__ import annotations

import contextlib
import os
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

REPO = Path(__file__).resolve().parents[3]

# Fixed for every Wine call: no debug noise, no Mono/Gecko installer
# prompts; the prefix's architecture is the bench's (see bench_name).
WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}

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


@contextlib.contextmanager
def closed_port():
    """A TCP port on 127.0.0.1 that refuses connections for as long as the
    block runs: bound by this process and never listened on, so no other
    process can take it meanwhile."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


def free_port() -> int:
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def settle(read, quiet: float = 0.5, timeout: float = 10.0):
    """What read() returns once it has stayed the same for `quiet` seconds
    (or `timeout` passed): a server's log after the client is gone, before a
    check that something did NOT reach it."""
    deadline = time.monotonic() + timeout
    last, since = read(), time.monotonic()
    while time.monotonic() < deadline and time.monotonic() - since < quiet:
        time.sleep(0.05)
        now = read()
        if now != last:
            last, since = now, time.monotonic()
    return last
