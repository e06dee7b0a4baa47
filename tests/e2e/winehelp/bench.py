"""The bench itself: one Wine prefix with its display and wineserver, made
by scripts/test or by a pytest run of its own; and the transfer driver."""

from __future__ import annotations

import atexit
import contextlib
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any

from .files import FilesMixin
from .processes import (WINE_ENV, Result, WineProcess, _kill_group, helper_exe, wine_env,
                        wine_loader, wineserver)
from .registry import RegistryMixin, _reg_entry, _reg_header
from .windows import WindowsMixin

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



# --------------------------------------------------------------- bench ---

class Bench(FilesMixin, RegistryMixin, WindowsMixin):
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
              cwd: str | os.PathLike | None = None,
              file_size_limit: int | None = None) -> WineProcess:
        """Start a Windows program in the background; wait() on the result.

        Output goes to files, not pipes: a wineserver that a wine start may
        spawn would hold a pipe open and its reader would never see the end.
        file_size_limit: no file the program writes grows beyond these bytes
        (a write past it fails as on a full disk, without the signal).
        """
        limit = None
        if file_size_limit is not None:
            def limit():
                import resource
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        fd, out_name = tempfile.mkstemp(dir=self._scratch, suffix=".out")
        os.close(fd)
        fd, err_name = tempfile.mkstemp(dir=self._scratch, suffix=".err")
        os.close(fd)
        with open(out_name, "wb") as out, open(err_name, "wb") as err:
            p = subprocess.Popen([wine_loader(), str(exe), *map(str, args)], env=self._env(env), cwd=cwd,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                 start_new_session=True, preexec_fn=limit)
        return WineProcess(p, Path(out_name), Path(err_name), f"wine {exe} {' '.join(map(str, args))}")

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
