"""Windows of the bench's programs, read and driven with the probe
(tests/probe), which runs under the same wineserver."""

from __future__ import annotations

import json
import re
import time
from typing import Any

from .processes import WineProcess, helper_exe

PROBE_NOT_FOUND = 1
PROBE_USAGE = 2

WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7



class WindowsMixin:
    """Probe methods of Bench."""

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


def box_text(window: dict) -> str:
    """The message of a message box: the longest text of its static controls."""
    texts = [c["text"] for c in window.get("children", [])
             if c["class"].lower() == "static" and c["text"]]
    return max(texts, key=len) if texts else ""


# The stub's failure box names its code as "Error 12029", "Error Code: 5" or
# "HTTP status 404".
_BOX_CODE = re.compile(r"(?:Error|Error Code:|HTTP status) (\d+)")


def box_code(text: str | None) -> int | None:
    """The code a failure box's text names (None for no box); a box without
    one fails the test."""
    if text is None:
        return None
    found = _BOX_CODE.search(text)
    assert found, f"no code in the box: {text!r}"
    return int(found.group(1))


def is_failure_box(window: dict) -> bool:
    """Whether a dialog is the stub's failure box: its text names an error or
    an HTTP status (the progress dialog of the same title names neither)."""
    text = box_text(window)
    return bool(_BOX_CODE.search(text)) or "Error" in text


def find_failure_box(bench, title: str, timeout: float = 60) -> dict | None:
    """The failure box of that title as soon as it shows, or None."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        for w in bench.find_window(cls="#32770", title=title, visible=True, all=True,
                                   timeout=max(0.0, min(left, 1.0))) or []:
            if is_failure_box(w):
                return w
        if left <= 0:
            return None


def finish_run(bench, proc: WineProcess, title: str, timeout: float = 120) -> tuple[int, str | None]:
    """Waits for a started install.exe to end, pressing OK on its failure box
    (a dialog of that title whose text names an error or an HTTP status). Its
    exit code and the box's text, or None when it ended without one."""
    text = None
    try:
        deadline = time.monotonic() + timeout
        while proc.running() and time.monotonic() < deadline:
            for w in bench.find_window(cls="#32770", title=title, visible=True, all=True, timeout=1) or []:
                if is_failure_box(w):
                    text = box_text(w)
                    bench.click(w["hwnd"], IDOK)
        return proc.wait(timeout=30).code, text
    finally:
        proc.kill()
        proc.discard_output()


def run_to_end(bench, stub, title: str, env: dict[str, str] | None = None,
               timeout: float = 120, **start) -> str | None:
    """Runs a distribution to its end, which must be exit code 0: the text of
    its failure box (OK pressed), or None when it ended without one. start:
    more options of bench.start (file_size_limit)."""
    code, text = finish_run(bench, bench.start(stub, env=env, **start), title, timeout)
    assert code == 0, f"install.exe exited {code} (box: {text!r})"
    return text
