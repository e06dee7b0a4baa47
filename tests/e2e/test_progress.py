"""The progress window in real windows: stubdriver's progress run links the
real dialog and figure code, starts the window and plays a scripted transfer;
the probe reads and drives the dialog and its cancel question from outside.

Each run is stepped through gates (files the driver waits for), so that the
test looks at the window at known points of the transfer instead of sleeping.
Wine without a window manager takes about a second to hide a window, so
everything that follows a hide or a closed question is polled for."""

import json
import re
import subprocess
import time
from pathlib import Path

import pytest

from winehelp import IDCANCEL, IDNO, IDOK, IDYES, REPO, WM_CLOSE, WM_COMMAND, child, child_text, helper_exe

WM_KEYDOWN, VK_ESCAPE = 0x0100, 0x1B
WM_SYSCOMMAND, SC_CLOSE = 0x0112, 0xF060
STM_GETICON = 0x0171
SS_TYPEMASK, SS_ICON = 0x1F, 0x03
WS_SYSMENU = 0x00080000
UM_ACTIVATE = 1725

IDC_PROGRESS, IDC_ICON, IDC_TIMELEFT, IDC_RATE, IDC_STATUS = 1000, 1001, 1002, 1003, 1004

CONNECTING = "Connecting to download server..."
DOWNLOADING = "Downloading installation files..."
COMPLETE = "Download complete."
QUESTION = "Do you want to cancel download ?"

MB = 1024 * 1024
ARTIFACTS = REPO / "tests" / "artifacts"


def wait_for(what, probe, timeout=20.0, interval=0.1):
    """Call probe until it returns something true; that value. Fails with
    the last value seen after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}; last seen: {value!r}")
        time.sleep(interval)


class ProgressRun:
    """One `stubdriver progress` run. Steps "gate:NAME" become gates: the
    driver prints a "gate" line with its state and waits until open(NAME)."""

    def __init__(self, bench, gate_dir: Path, title: str, steps: list[str], quiet: bool = False):
        self.bench = bench
        self.gate_dir = gate_dir
        self.title = title
        args = ["progress", "--title", title, *(["--quiet"] if quiet else [])]
        for step in steps:
            if step.startswith("gate:"):
                step = "gate=" + bench.to_windows(gate_dir / step[5:])
            args.append(step)
        self.proc = bench.start(helper_exe("stubdriver.exe"), *args)
        self.started = self.wait_line(lambda e: e["event"] == "started", "the dialog to be made")
        self.dialog = self.started["dialog"]
        assert self.dialog, "StartProgressWindow returned no dialog"

    def lines(self) -> list[dict]:
        out, _ = self.proc.output()
        return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

    def wait_line(self, match, what: str, timeout: float = 30.0) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines():
                if match(line):
                    return line
            if not self.proc.running() or time.monotonic() > deadline:
                out, err = self.proc.output()
                pytest.fail(f"stubdriver never reported {what}\nstdout: {out}\nstderr: {err}")
            time.sleep(0.05)

    def at_gate(self, name: str) -> dict:
        """The driver's state when it reached gate NAME (waits for it)."""
        return self.wait_line(lambda e: e["event"] == "gate" and e["step"].endswith("\\" + name),
                              f"gate {name}")

    def open(self, name: str) -> None:
        (self.gate_dir / name).touch()

    def step(self, prefix: str) -> dict:
        """The line of the first step that starts with prefix (waits for it)."""
        return self.wait_line(lambda e: e["event"] == "step" and e["step"].startswith(prefix),
                              f"step {prefix}")

    def end(self) -> dict:
        line = self.wait_line(lambda e: e["event"] == "end", "its end")
        assert self.proc.wait(30).code == 0
        return line

    def look(self) -> dict | None:
        """The dialog as the probe sees it now; None once it is gone."""
        return self.bench.window(self.dialog)

    def look_until(self, what: str, check, timeout: float = 20.0) -> dict:
        """Poll the dialog until check(description) holds; the description."""
        def probe():
            w = self.look()
            return w if w and not w["stale"] and check(w) else None
        return wait_for(what, probe, timeout)

    def question(self) -> dict:
        """Wait for the cancel question that the dialog owns."""
        return wait_for("the cancel question",
                        lambda: self.bench.find_window("#32770", self.title, owner=self.dialog,
                                                       visible=True, timeout=5))

    def answer(self, box: dict, button: int) -> None:
        assert self.bench.click(box["hwnd"], button)
        assert self.bench.wait_gone(box["hwnd"], timeout=15), "the question stayed open"


@pytest.fixture
def progress_run(bench, tmp_path):
    runs = []

    def start(title, steps, quiet=False):
        run = ProgressRun(bench, tmp_path, title, steps, quiet)
        runs.append(run)
        return run
    yield start
    for run in runs:
        run.proc.kill()


@pytest.fixture
def other_window(bench):
    """Another process's window to take the foreground away from the dialog."""
    procs = []

    def start(caption):
        proc = bench.start(helper_exe("msgbox.exe"), "Another program", caption)
        procs.append(proc)
        box = bench.find_window("#32770", caption, visible=True, timeout=15)
        assert box, "msgbox.exe showed no window"
        if bench.foreground()["foreground"] != box["hwnd"]:
            assert bench.foreground(box["hwnd"])["ok"]
        return box
    yield start
    for proc in procs:
        proc.kill()


def foreground(bench) -> int:
    return bench.foreground()["foreground"]


def check_question(run: ProgressRun, box: dict) -> None:
    """Text, caption, owner, Yes/No and the question icon of the cancel box."""
    assert box["title"] == run.title and box["owner"] == run.dialog
    statics = [c for c in box["children"] if c["class"].lower() == "static"]
    assert QUESTION in [c["text"] for c in statics]
    buttons = {c["id"]: c["text"].replace("&", "") for c in box["children"]
               if c["class"].lower() == "button"}
    assert buttons == {IDYES: "Yes", IDNO: "No"}
    icons = [c for c in statics if c["style"] & SS_TYPEMASK == SS_ICON and c["visible"]]
    assert len(icons) == 1
    # The box loaded the process's shared question icon, not another one.
    shown = run.bench.send(icons[0]["hwnd"], STM_GETICON)
    assert shown == run.started["questionIcon"] != run.started["warningIcon"]


def screenshot(bench, window: dict, name: str) -> Path:
    """The window's rectangle of the Xvfb screen, as a test artifact."""
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    left, top, right, bottom = window["rect"]
    out = ARTIFACTS / name
    subprocess.run(["import", "-window", "root", "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                    "+repage", str(out)], env={**bench.env, "DISPLAY": bench.display},
                   check=True, timeout=60)
    assert out.stat().st_size > 0
    return out


def test_dialog_follows_a_download_and_survives_declined_cancels(bench, progress_run, other_window):
    run = progress_run("Progress Window Test", [
        "watch=1200",  # inside the grace period
        "gate:shown",
        "total=0", "post",  # no size known yet: done = total = 0
        "gate:no-size",
        "sleep=900", "total=10485760", "done=3145728", "post",
        "gate:mid",
        "sleep=900", "done=6291456", "post",  # while the question is open
        "gate:behind",
        "gate:escape",
        "done=10485760", "post",
        "gate:complete",
        "sleep=900", "total=20971520", "done=10485761", "post",  # a restart after completion
        "gate:again",
        "hide",  # as after the transfer
        "gate:hidden",
        "done=20971520", "post",
        "gate:last",
    ])
    grace = run.step("watch=")
    assert grace["everVisible"] == 0 and grace["dialogAlive"] == 1

    # Shown after the grace period although the size is still 0; before any
    # refresh the template's placeholders and caption are already replaced.
    run.at_gate("shown")
    dlg = run.look_until("the dialog to be shown", lambda w: w["visible"])
    assert dlg["title"] == run.title
    assert child_text(dlg, IDC_TIMELEFT) == "n/a" and child_text(dlg, IDC_RATE) == "n/a"
    assert child_text(dlg, IDC_STATUS) == CONNECTING
    bar = child(dlg, IDC_PROGRESS)
    assert (bar["range_low"], bar["range_high"], bar["pos"]) == (0, 100, 0)
    assert child_text(dlg, IDCANCEL) == "Cancel" and child(dlg, IDCANCEL)["visible"]
    assert dlg["style"] & WS_SYSMENU and dlg["has_sysmenu"]
    assert dlg["icon_big"] and dlg["icon_small"]
    icon = child(dlg, IDC_ICON)
    left, top, right, bottom = icon["rect"]
    assert (right - left, bottom - top) == (48, 48)
    assert bench.send(icon["hwnd"], STM_GETICON), "the icon control shows no icon"

    # First refresh with nothing known: amounts of 0, no "Download complete."
    run.open("shown")
    run.at_gate("no-size")
    dlg = run.look_until("the first refresh", lambda w: child_text(w, IDC_TIMELEFT) != "n/a")
    assert child_text(dlg, IDC_TIMELEFT) == "n/a (0 KB of 0 KB downloaded)"
    assert child_text(dlg, IDC_RATE) == "n/a"
    assert child_text(dlg, IDC_STATUS) == CONNECTING
    bar = child(dlg, IDC_PROGRESS)
    assert (bar["range_high"], bar["pos"]) == (0, 0)

    # Bytes arriving: the bar counts bytes, the status changes, the figures read.
    run.open("no-size")
    run.at_gate("mid")
    dlg = run.look_until("the mid-download refresh",
                         lambda w: child(w, IDC_PROGRESS)["pos"] == 3145728)
    assert child(dlg, IDC_PROGRESS)["range_high"] == 10485760
    assert child_text(dlg, IDC_STATUS) == DOWNLOADING
    assert re.fullmatch(r"(\d+ sec|\d+ min \d+ sec) \(3\.0 MB of 10\.0 MB downloaded\)",
                        child_text(dlg, IDC_TIMELEFT))
    assert re.fullmatch(r"\d+ KB/Sec", child_text(dlg, IDC_RATE))
    time.sleep(0.3)  # let the refreshed controls paint
    screenshot(bench, dlg, "progress-mid-download.png")

    # UM_ACTIVATE brings the visible dialog back in front of another program.
    other = other_window("Progress Test Other")
    assert foreground(bench) == other["hwnd"]
    assert bench.post(run.dialog, UM_ACTIVATE)
    wait_for("the dialog in front", lambda: foreground(bench) == run.dialog)
    bench.click(other["hwnd"], IDOK)

    # The Cancel button asks; the figures go on behind the question; No keeps all.
    assert bench.click(run.dialog, IDCANCEL, method="bmclick")
    box = run.question()
    check_question(run, box)
    run.open("mid")
    run.at_gate("behind")
    run.look_until("a refresh behind the question",
                   lambda w: child(w, IDC_PROGRESS)["pos"] == 6291456
                   and "(6.0 MB of 10.0 MB downloaded)" in child_text(w, IDC_TIMELEFT))
    assert bench.window(box["hwnd"])["visible"], "the question went away by itself"
    run.answer(box, IDNO)
    run.open("behind")
    state = run.at_gate("escape")
    assert (state["stopRequested"], state["dialogAlive"], state["visible"]) == (0, 1, 1)

    # Escape (through the dialog manager) and the close box ask the same.
    for name, message, wparam in (("Escape", WM_KEYDOWN, VK_ESCAPE),
                                  ("close box", WM_SYSCOMMAND, SC_CLOSE)):
        assert bench.post(run.dialog, message, wparam), name
        box = run.question()
        assert QUESTION in [c["text"] for c in box["children"]], name
        run.answer(box, IDNO)
    dlg = run.look()
    assert dlg and dlg["visible"] and child_text(dlg, IDC_STATUS) == DOWNLOADING

    run.open("escape")
    state = run.at_gate("complete")
    assert (state["stopRequested"], state["dialogAlive"]) == (0, 1)
    dlg = run.look_until("the final refresh", lambda w: child_text(w, IDC_STATUS) == COMPLETE)
    bar = child(dlg, IDC_PROGRESS)
    assert (bar["range_high"], bar["pos"]) == (10485760, 10485760)
    assert child_text(dlg, IDC_TIMELEFT).endswith("(10.0 MB of 10.0 MB downloaded)")

    # "Downloading installation files..." is set once: bytes of a restarted
    # transfer leave "Download complete." standing.
    run.open("complete")
    run.at_gate("again")
    dlg = run.look_until("the refresh after the restart",
                         lambda w: child(w, IDC_PROGRESS)["range_high"] == 20971520)
    assert child_text(dlg, IDC_TIMELEFT).endswith("(10.0 MB of 20.0 MB downloaded)")
    assert child_text(dlg, IDC_STATUS) == COMPLETE

    # UM_ACTIVATE does nothing to the hidden dialog. A refresh posted after it
    # shows it has been handled.
    run.open("again")
    run.at_gate("hidden")
    run.look_until("the dialog to be hidden", lambda w: not w["visible"])
    other = other_window("Progress Test Other 2")
    assert bench.post(run.dialog, UM_ACTIVATE)
    run.open("hidden")
    run.at_gate("last")
    dlg = run.look_until("the refresh after UM_ACTIVATE",
                         lambda w: "(20.0 MB of 20.0 MB downloaded)" in child_text(w, IDC_TIMELEFT))
    assert not dlg["visible"]
    assert foreground(bench) == other["hwnd"]
    bench.click(other["hwnd"], IDOK)

    run.open("last")
    end = run.end()
    assert (end["stopRequested"], end["dialogAlive"], end["threadAlive"]) == (0, 1, 1)


def test_quiet_dialog_still_asks_and_yes_stops_everything(bench, progress_run):
    run = progress_run("Quiet Progress Test", [
        "total=5242880", "done=1048576", "post",  # queued during the grace period
        "gate:shown",
        "gate:declined",
        "wait-stop=30000",
        "gate:cancelled",
        "wait-thread=10000",
        "sleep=900", "done=2097152", "post", "done=5242880", "post",
    ], quiet=True)
    run.at_gate("shown")
    dlg = run.look_until("the dialog to be shown and refreshed",
                         lambda w: w["visible"] and child_text(w, IDC_STATUS) == DOWNLOADING)
    assert dlg["title"] == run.title
    assert child(dlg, IDCANCEL) is None
    assert not dlg["style"] & WS_SYSMENU and not dlg["has_sysmenu"]
    assert child(dlg, IDC_PROGRESS)["pos"] == 1048576

    # WM_CLOSE still asks: No keeps the dialog; command 2 asks again: Yes.
    assert bench.post(run.dialog, WM_CLOSE)
    box = run.question()
    check_question(run, box)
    run.answer(box, IDNO)
    run.open("shown")
    state = run.at_gate("declined")
    assert (state["stopRequested"], state["dialogAlive"], state["visible"]) == (0, 1, 1)
    run.open("declined")

    assert bench.post(run.dialog, WM_COMMAND, IDCANCEL)
    box = run.question()
    check_question(run, box)
    run.answer(box, IDYES)
    stopped = run.step("wait-stop=")
    assert stopped["stopRequested"] == 1
    assert bench.wait_gone(run.dialog, timeout=15), "the dialog outlived the cancel"
    before = run.at_gate("cancelled")["posts"]
    assert before >= 1, "the driver counted no post of the refresh made before the cancel"

    # The thread ends; later progress reports, even the final one, post nothing.
    run.open("cancelled")
    thread = run.step("wait-thread=")
    assert (thread["threadAlive"], thread["threadExit"]) == (0, 0)
    end = run.end()
    assert end["posts"] == before
    assert (end["stopRequested"], end["dialogAlive"], end["dialogField"]) == (1, 0, 0)


def test_download_complete_within_grace_never_shows_the_dialog(progress_run):
    run = progress_run("Quick Download Test", [
        "total=4096", "done=1024", "post", "sleep=800", "done=4096", "post",
        "watch=2500", "wait-thread=5000",
    ])
    watched = run.step("watch=")
    assert watched["everVisible"] == 0
    # Complete about 800 ms in; the thread looks every 100 ms and ends at
    # once, well before the 2000 ms are over.
    assert watched["goneAfter"] >= 0, "the dialog still exists after the grace period"
    assert watched["goneAfter"] < 1700, "the thread waited out the grace period"
    thread = run.step("wait-thread=")
    assert (thread["threadAlive"], thread["threadExit"]) == (0, 0)
    # The thread let go of its dialog before it went: nobody can post to
    # the handle once the system has given it to another window.
    assert thread["dialogField"] == 0
    run.end()


def test_grace_period_queues_one_refresh_however_many_chunks(progress_run):
    # 400 chunks inside the grace period: one refresh waits in the queue and
    # shows the counters as they are when the dialog handles it.
    chunks = [step for i in range(1, 401) for step in (f"done={i * 1024}", "post")]
    run = progress_run("Queued Refresh Test", [
        "total=10485760", *chunks,
        "gate:queued",
        "sleep=900", "done=10485760", "post",
        "gate:final",
    ])
    queued = run.at_gate("queued")
    assert (queued["posts"], queued["visible"]) == (1, 0)
    dlg = run.look_until("the dialog with the queued refresh",
                         lambda w: w["visible"] and child(w, IDC_PROGRESS)["pos"] == 400 * 1024)
    assert child_text(dlg, IDC_TIMELEFT).endswith("(400 KB of 10.0 MB downloaded)")
    # Once handled, the next report posts again.
    run.open("queued")
    assert run.at_gate("final")["posts"] == 2
    run.look_until("the final refresh", lambda w: child_text(w, IDC_STATUS) == COMPLETE)
    run.open("final")
    run.end()
