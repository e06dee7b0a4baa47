"""The bench itself under Wine: the probe against real windows of another
process, the stand-in setup, exit codes, the registry, path and stamp helpers.
The other end-to-end tests stand on these."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import winehelp
from winehelp import IDCANCEL, IDNO, IDOK, IDYES, WM_CLOSE, child, child_text, helper_exe

MB_OK, MB_YESNO, MB_ICONQUESTION, MB_ICONERROR = 0x0, 0x4, 0x20, 0x10
WS_SYSMENU = 0x00080000


def msgbox():
    return helper_exe("msgbox.exe")


@pytest.mark.parametrize("text, caption, mb_type, press, buttons", [
    ("Do you want to cancel download ?", "Harness Q", MB_YESNO | MB_ICONQUESTION, IDYES, {IDYES, IDNO}),
    ("Do you want to cancel download ?", "Harness Q", MB_YESNO | MB_ICONQUESTION, IDNO, {IDYES, IDNO}),
    ("Line one\nLine two\n\nError 12029: it \"failed\"", "Harness E", MB_OK | MB_ICONERROR, IDOK, {IDOK}),
])
def test_probe_reads_and_presses_message_box(bench, text, caption, mb_type, press, buttons):
    with bench.start(msgbox(), text, caption, mb_type) as proc:
        box = bench.find_window("#32770", caption, visible=True, child_id=press, timeout=15)
        assert box is not None, bench.list_windows()
        assert box["title"] == caption and box["visible"] and box["enabled"]
        assert box["owner"] == 0 and not box["stale"]
        statics = [c["text"] for c in box["children"] if c["class"].lower() == "static"]
        assert text in statics
        ids = {c["id"] for c in box["children"] if c["class"].lower() == "button"}
        assert ids == buttons
        assert bench.click(box["hwnd"], press)
        assert proc.wait(15).code == press
    assert bench.wait_gone(box["hwnd"], timeout=5)


@pytest.mark.parametrize("icons, big, small", [
    ("icons", [32, 32], [16, 16]),
    ("none", None, None),
])
def test_probe_reads_dialog_controls_and_icons(bench, icons, big, small):
    with bench.start(msgbox(), "--dialog", "Harness Dlg", 42, icons) as proc:
        dlg = bench.find_window("#32770", "Harness Dlg", visible=True, timeout=15)
        assert dlg is not None
        assert dlg["has_sysmenu"] and dlg["style"] & WS_SYSMENU
        bar = child(dlg, 1000)
        assert bar["class"] == "msctls_progress32"
        assert (bar["range_low"], bar["range_high"], bar["pos"]) == (0, 100, 42)
        assert child_text(dlg, 1004) == "Working..."
        assert child_text(dlg, -1) == "Label:"
        assert child_text(dlg, IDCANCEL) == "Cancel"
        assert dlg["icon_big"] is (big is not None)
        assert dlg["icon_small"] is (small is not None)
        if big:
            assert dlg["icon_big_size"] == big and dlg["icon_small_size"] == small
        # WM_CLOSE reaches the dialog procedure like the close box does
        assert bench.post(dlg["hwnd"], WM_CLOSE)
        assert proc.wait(15).code == 3


@pytest.mark.parametrize("method", ["command", "bmclick"])
def test_click_methods_press_dialog_buttons(bench, method):
    with bench.start(msgbox(), "--dialog", f"Harness {method}", 0) as proc:
        dlg = bench.find_window("#32770", f"Harness {method}", visible=True, timeout=15)
        assert bench.click(dlg["hwnd"], IDOK, method=method)
        assert proc.wait(15).code == IDOK


def test_probe_does_not_hang_on_a_window_that_handles_no_messages(bench):
    # The window's thread sleeps without a message loop, as the stub's
    # progress thread does in its grace period.
    with bench.start(msgbox(), "--stall", "Harness Stalled", 20000):
        r = bench.run(helper_exe("probe.exe"), "find", "--title", "Harness Stalled", "--timeout", 15000,
                      timeout=12)
        assert r.code == 0, r
        dlg = json.loads(r.out)
        assert dlg["stale"] and dlg["icon_big"] is None
        # texts still come from the window manager's copy
        assert child_text(dlg, 1004) == "Working..."
        bar = child(dlg, 1000)
        assert bar["pos"] is None and bar["stale"]
        assert bench.send(dlg["hwnd"], 0, timeout=0.5) is None
        assert not bench.wait_gone(dlg["hwnd"], timeout=0.3)


def test_find_filters_and_gone(bench):
    assert bench.find_window(title="Harness no such window", timeout=0) is None
    assert bench.find_window(title="Harness no such window", timeout=0, all=True) is None
    with bench.start(msgbox(), "--dialog", "Harness Filters", 7) as proc:
        dlg = bench.find_window(title_contains="ness Filt", timeout=15)
        assert dlg is not None
        hwnd, pid = dlg["hwnd"], dlg["pid"]
        assert bench.to_unix(dlg["exe"]) == msgbox()
        cases = [
            (dict(title="Harness Filters", exe=bench.to_windows(msgbox()).upper()), True),
            (dict(title="Harness Filters", exe="\\probe.exe"), False),
            (dict(cls="#32770", pid=pid), True),
            (dict(cls="#32770", pid=pid + 1), False),
            (dict(title="Harness Filters", owner=0), True),
            (dict(title="Harness Filters", owner=hwnd), False),
            (dict(title="Harness Filters", child_id=1000), True),
            (dict(title="Harness Filters", child_id=1234), False),
            (dict(title="Harness Filters", visible=True), True),
            (dict(title="Harness Filters", visible=False), False),
            (dict(hwnd=hwnd), True),
        ]
        for filters, present in cases:
            found = bench.find_window(timeout=0, **filters)
            assert (found is not None) == present, filters
            if present:
                assert found["hwnd"] == hwnd
        for listed in (bench.list_windows(pid=pid), bench.list_windows(exe="msgbox.exe")):
            assert [w["hwnd"] for w in listed if w["title"] == "Harness Filters"] == [hwnd]
        assert bench.list_windows(pid=pid, exe="\\nosuch.exe") == []
        assert not bench.wait_gone(hwnd, timeout=0.2)
        assert bench.click(hwnd, IDCANCEL)
        assert proc.wait(15).code == IDCANCEL
    assert bench.wait_gone(hwnd, timeout=5)
    assert bench.window(hwnd) is None
    assert not bench.click(hwnd, IDOK)


def test_foreground_moves_between_windows(bench):
    with bench.start(msgbox(), "--dialog", "Harness FgA", 1) as a, \
            bench.start(msgbox(), "--dialog", "Harness FgB", 2) as b:
        wa = bench.find_window(title="Harness FgA", visible=True, timeout=15)
        wb = bench.find_window(title="Harness FgB", visible=True, timeout=15)
        for target, other in ((wa, wb), (wb, wa), (wa, wb)):
            fg = bench.foreground(target["hwnd"])
            assert fg["ok"] and fg["foreground"] == target["hwnd"]
            assert bench.find_window(hwnd=target["hwnd"], foreground=True, timeout=2) is not None
            assert bench.window(other["hwnd"])["foreground"] is False
        assert bench.foreground()["foreground"] == wa["hwnd"]
        for w in (wa, wb):
            bench.click(w["hwnd"], IDOK)
        assert a.wait(15).code == IDOK and b.wait(15).code == IDOK


@pytest.mark.parametrize("code, status", [(0, 0), (3, 3), (-1, 255), (1460, 1460 & 0xFF)])
def test_exit_code_reads_as_unix_status(bench, code, status):
    assert bench.run(msgbox(), "--exit", code, timeout=30).code == status


def test_fakesetup_logs_path_command_line_and_pid(bench, fakesetup_log, tmp_path):
    # Started from a copy named like a launched setup, '$' and all.
    exe = tmp_path / "~mi10000$1f4.exe"
    shutil.copyfile(helper_exe("fakesetup.exe"), exe)
    assert bench.run(exe, timeout=30, env=fakesetup_log.env).code == 0
    assert bench.run(exe, "second", "run", timeout=30, env=fakesetup_log.env).code == 0
    first, second = fakesetup_log.wait(2, timeout=10)
    assert first["path"].lower() == bench.to_windows(exe).lower()
    assert bench.to_unix(first["path"]) == exe
    assert "~mi10000$1f4.exe" in first["cmdline"] and "second" not in first["cmdline"]
    assert second["cmdline"].endswith("second run")
    assert first["pid"] > 0 and second["pid"] > 0 and first["pid"] != second["pid"]
    # without the variable it leaves no trace and still succeeds
    fakesetup_log.path.unlink()
    assert bench.run(exe, timeout=30).code == 0
    assert fakesetup_log.entries() == []


KEY = r"HKLM\Software\HarnessTest"


def test_registry_round_trip(bench):
    bench.reg_delete(KEY)
    assert bench.reg_values(KEY) is None
    values = [
        ("Campaign", "REG_SZ", 'spring "24" \\ C:\\x\\'),
        ("Empty", "REG_SZ", ""),
        ("Date", "REG_DWORD", 20240229),
        ("Max", "REG_DWORD", 0xFFFFFFFF),
        ("Big", "REG_QWORD", 1 << 40),
        ("Blob", "REG_BINARY", bytes(range(0, 256, 7))),
        ("Expand", "REG_EXPAND_SZ", "%TEMP%\\x"),
        ("Pending", "REG_MULTI_SZ", ["\\??\\C:\\a.exe", "", "\\??\\C:\\b", "!\\??\\C:\\c"]),
        ("", "REG_SZ", "default value"),
    ]
    for name, typ, data in values:
        bench.reg_add(KEY + r"\Install\00010000" if name == "Date" else KEY, name, data, typ)
    got = bench.reg_values(KEY)
    for name, typ, data in values:
        if name == "Date":
            assert bench.reg_query(KEY + r"\Install\00010000", "date") == (typ, data)
        else:
            assert got[name] == (typ, data), name
    assert bench.reg_query(KEY, None) == ("REG_SZ", "default value")
    assert bench.reg_query(KEY, "Missing") is None
    assert bench.reg_subkeys(KEY) == ["Install"]
    assert bench.reg_delete(KEY, "Campaign")
    assert bench.reg_query(KEY, "Campaign") is None
    assert bench.reg_delete(KEY)  # recursive
    assert not bench.reg_key_exists(KEY + r"\Install")
    assert not bench.reg_delete(KEY)


def test_paths_and_temp_dir(bench, tmp_path):
    assert bench.to_windows(bench.prefix / "drive_c" / "windows") == "C:\\windows"
    assert bench.to_unix("c:\\WINDOWS\\System32") == bench.prefix / "drive_c" / "windows" / "system32"
    assert bench.to_unix("\\??\\C:\\windows") == bench.prefix / "drive_c" / "windows"
    assert bench.to_unix(bench.to_windows(tmp_path)) == tmp_path
    seen = bench.probe("tempdir")
    assert seen["temp"].rstrip("\\").lower() == bench.temp_dir_win.lower()
    assert bench.temp_dir.is_dir()

    other = tmp_path / "othertemp"
    other.mkdir()
    try:
        bench.set_temp(bench.to_windows(other))
        assert bench.temp_dir == other
        assert bench.probe("tempdir")["temp"].rstrip("\\") == bench.to_windows(other)
    finally:
        bench.set_temp(None)
    assert bench.probe("tempdir")["temp"].rstrip("\\").lower() == bench.default_temp_win.lower()


@pytest.mark.parametrize("version, platform, major_minor", [
    ("win98", 1, (4, 10)),
    ("winxp", 2, (5, 1)),
])
def test_windows_version_per_exe(bench, version, platform, major_minor):
    bench.set_win_version("probe.exe", version)
    try:
        v = bench.probe("osversion")
        assert (v["platform"], (v["major"], v["minor"])) == (platform, major_minor)
    finally:
        bench.set_win_version("probe.exe", None)
    assert bench.probe("osversion")["platform"] == 2


def test_clean_stub_state(bench):
    code, key = "HARNESS1", r"Software\HarnessStub"
    temp = bench.temp_dir
    leftovers = [temp / f"~{code}10000.exe", temp / "~mi10000$2a.exe"]
    keep = temp / "keep-me.txt"
    for p in leftovers + [keep]:
        p.write_bytes(b"x")
    bench.reg_add(rf"HKLM\{key}\Install\00010000", "Size", 5, "REG_DWORD")
    try:
        bench.clean_stub_state(code, key)
        assert not any(p.exists() for p in leftovers)
        assert keep.exists()
        assert bench.reg_values(rf"HKLM\{key}") is None
    finally:
        keep.unlink(missing_ok=True)


def test_stamp_patching(tmp_path):
    image = bytearray(b"MZ" + bytes(100)) + winehelp.STAMP_MARKER + (10000).to_bytes(4, "little") \
        + bytes(8) + b"tail"
    src = tmp_path / "src.exe"
    src.write_bytes(bytes(image))
    copy = winehelp.copy_stub(tmp_path / "copy.exe", install_number=12345, quiet=1, src=src)
    assert winehelp.read_stamp(copy) == (12345, 1, 0)
    assert winehelp.read_stamp(src) == (10000, 0, 0)
    assert copy.read_bytes()[:102] == bytes(image[:102]) and copy.read_bytes().endswith(b"tail")
    winehelp.patch_stamp(copy, quiet=0)
    assert winehelp.read_stamp(copy) == (12345, 0, 0)
    for bad in (b"no marker here", bytes(image) + bytes(image)):
        src.write_bytes(bad)
        with pytest.raises(ValueError):
            winehelp.read_stamp(src)


def test_built_stub_has_one_stamp_block():
    if not winehelp.stub_exe().exists():
        pytest.skip("install.exe not built")
    assert winehelp.read_stamp(winehelp.stub_exe())[2] == 0


def test_pending_renames_read_as_pairs(bench):
    key, name = bench.SESSION_MANAGER, "PendingFileRenameOperations"
    saved = bench.reg_query(key, name)
    try:
        bench.reg_add(key, name, ["\\??\\C:\\t\\~mi1$2.exe", "", "\\??\\C:\\a", "!\\??\\C:\\b"], "REG_MULTI_SZ")
        assert bench.pending_renames() == [("\\??\\C:\\t\\~mi1$2.exe", ""), ("\\??\\C:\\a", "!\\??\\C:\\b")]
        bench.clear_pending_renames()
        assert bench.pending_renames() == []
    finally:
        if saved:
            bench.reg_add(key, name, saved[1], saved[0])


# --- the listener guard --------------------------------------------------------

GUARDED = '''
import socket, threading, time

def test_leaks_a_listener_closed_under_its_accept():
    s = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=s.accept, name="leaky", daemon=True).start()
    time.sleep(0.2)
    s.close()           # does not wake the accept: the thread keeps the port

def test_leaves_a_port_bound():
    global kept
    kept = socket.create_server(("127.0.0.1", 0))

def test_stops_its_listener():
    s = socket.create_server(("127.0.0.1", 0))
    def serve():
        try:
            s.accept()
        except OSError:
            pass
    t = threading.Thread(target=serve, name="tidy")
    t.start()
    time.sleep(0.2)
    s.shutdown(socket.SHUT_RDWR)    # wakes the accept
    s.close()
    t.join()
'''


def test_listener_guard_fails_the_test_that_leaks_a_listener(tmp_path):
    """The suite's guard, run over three tests of its own in a pytest of their
    own: the one that leaves a thread in accept and the one that leaves a
    port bound fail, each at its own end; the one that stops its listener
    passes."""
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    (tmp_path / "conftest.py").write_text(
        f"import sys\nsys.path.insert(0, {str(Path(__file__).parent)!r})\n"
        "from winehelp.listeners import listener_guard  # noqa: F401\n")
    (tmp_path / "test_guarded.py").write_text(GUARDED)
    r = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-rA",
                        "-c", str(tmp_path / "pytest.ini"), str(tmp_path / "test_guarded.py")],
                       capture_output=True, text=True, timeout=120, cwd=tmp_path)
    lines = r.stdout.splitlines()

    def outcome(name):
        return [line.split()[0] for line in lines if line.endswith("::" + name)
                or ("::" + name + " - ") in line]

    assert r.returncode == 1, r.stdout
    assert outcome("test_leaks_a_listener_closed_under_its_accept") == ["PASSED", "ERROR"], r.stdout
    assert "thread 'leaky' that accepted on 127.0.0.1:" in r.stdout
    assert "(blocked in accept)" in r.stdout
    assert outcome("test_leaves_a_port_bound") == ["PASSED", "ERROR"], r.stdout
    assert "is still open" in r.stdout
    assert outcome("test_stops_its_listener") == ["PASSED"], r.stdout
