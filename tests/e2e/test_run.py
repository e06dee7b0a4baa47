"""The run sequence of the real install.exe: single instance, the stored
campaign, and the final error box.

The built-in download URL names a host that does not resolve here, so an
unstamped stub fails its download at once and shows the error box; that
box is the point at which these tests look at the running program.
"""

import re
import time

import pytest

from winehelp import box_text, helper_exe, stamp, stub_exe

PRODUCT = "QRBL7300"
REGKEY = r"Software\Quorbel"
INTRO = ("Setup could not download installation files.\n"
         "Please check your internet connection and firewall settings and try again.\n\n")


def wait_error_box(bench, title="Quorbel"):
    box = bench.find_window(cls="#32770", title=title, visible=True, timeout=30)
    assert box, "no error box appeared"
    return box


@pytest.fixture
def clean(bench):
    bench.clean_stub_state(PRODUCT, REGKEY)
    yield
    bench.clean_stub_state(PRODUCT, REGKEY)


def test_failed_download_shows_box_and_second_copy_returns_minus_one(bench, clean):
    first = bench.start(stub_exe())
    try:
        box = wait_error_box(bench)
        # The unresolvable host has no system text: the code-only form.
        text = box_text(box)
        assert text.startswith(INTRO[:40])
        # The client's own text for its code (the system's table has none).
        assert text.rstrip("\r\n").endswith("Error 12007: The server name could not be resolved."), text
        assert [c["id"] for c in box["children"] if c["class"].lower() == "button"] == [1]

        # The campaign was stored before anything else could fail.
        assert bench.reg_query(rf"HKLM\{REGKEY}", "Campaign") == ("REG_SZ", "default")

        # A second copy finds the first one's relay window and leaves at once,
        # even though the first one is sitting in its message box.
        second = bench.run(stub_exe(), timeout=30)
        assert second.code == 255
        assert first.running()

        # The relay window is there, hidden, under the single-instance name.
        relay = bench.find_window(cls=f"MiniMutex.{PRODUCT}", timeout=5)
        assert relay and not relay["visible"]

        assert bench.click(box["hwnd"], 1)
        assert first.wait(timeout=30).code == 0
    finally:
        first.kill()


def test_error_box_uses_the_system_text_when_there_is_one(bench, clean, tmp_path):
    # A temporary directory that does not exist: the download file cannot be
    # created, and the system has a text for "path not found".
    bench.set_temp(r"C:\no\such\directory")
    try:
        run = bench.start(stub_exe())
        box = wait_error_box(bench)
        text = box_text(box)
        assert text.startswith(INTRO[:40])
        assert "Error 3: " in text, text
        bench.click(box["hwnd"], 1)
        assert run.wait(timeout=30).code == 0
    finally:
        bench.set_temp(None)


RELAY_KEY = r"HKCU\Software\Wine\Debug"


def test_second_copy_lets_the_first_take_the_foreground_before_it_asks(bench, clean):
    """From Windows 98 and 2000 on only the foreground process may hand the
    foreground on, and that is the second copy. Wine does not enforce the
    rule, so the window order cannot show the call: Wine's relay trace of the
    second copy's calls into user32 does. AllowSetForegroundWindow is looked
    up at run time (Windows 95 and NT 4.0 lack it; the image test holds it
    out of the imports), so the trace, not the import table, is the proof."""
    first = bench.start(stub_exe())
    bench.reg_add(RELAY_KEY, "RelayInclude",
                  "user32.AllowSetForegroundWindow;user32.SendMessageA")
    try:
        box = wait_error_box(bench)
        second = bench.run(stub_exe(), timeout=60, env={"WINEDEBUG": "+relay"})
        assert second.code == 255
        calls = [line.split(":Call user32.", 1)[1].split(")", 1)[0] + ")"
                 for line in second.err.splitlines() if ":Call user32." in line]
        # ASFW_ANY is (DWORD)-1; a 64-bit trace shows the whole register,
        # whose upper half a DWORD leaves undefined.
        allow = [i for i, c in enumerate(calls)
                 if re.fullmatch(r"AllowSetForegroundWindow\((0{8}|f{8})?ffffffff\)", c)]
        activate = [i for i, c in enumerate(calls)
                    if re.fullmatch(r"SendMessageA\(\w+,0*6bd,0+,0+\)", c)]
        assert len(allow) == 1 and len(activate) == 1 and allow[0] < activate[0], calls
        bench.click(box["hwnd"], 1)
        assert first.wait(timeout=30).code == 0
    finally:
        bench.reg_delete(RELAY_KEY, "RelayInclude")
        first.kill()


# ---- distributions made with tools/stamp

from servers import FaultServer, FtpFaults, FtpServer  # noqa: E402
from winehelp import closed_port  # noqa: E402

@pytest.fixture(scope="module")
def slow_server():
    with FaultServer() as server:
        server.add_file("/slow.exe", b"x" * 2_000_000, trickle=(2048, 0.05))
        yield server


def test_second_copy_brings_the_first_ones_dialog_to_the_front(bench, slow_server, tmp_path):
    code, key = "RUNACT", r"Software\RunTest\Activate"
    bench.clean_stub_state(code, key)
    stub = stamp(tmp_path / "install.exe", download_url=slow_server.url("/slow.exe"), event_url="",
                 product_code=code, registry_key=key, title="Front Test")
    first = bench.start(stub)
    other = bench.start(helper_exe("msgbox.exe"), "covering window", "Cover")
    try:
        dialog = bench.find_window(cls="#32770", title="Front Test", visible=True, timeout=30)
        cover = bench.find_window(cls="#32770", title="Cover", visible=True, timeout=30)
        assert dialog and cover
        bench.foreground(cover["hwnd"])
        assert not bench.window(dialog["hwnd"])["foreground"]

        # The second copy is answered at once although the first one is busy
        # downloading.
        second = bench.run(stub, timeout=30)
        assert second.code == 255
        deadline = time.monotonic() + 10
        while not bench.window(dialog["hwnd"])["foreground"] and time.monotonic() < deadline:
            time.sleep(0.2)
        assert bench.window(dialog["hwnd"])["foreground"]
    finally:
        first.kill()
        other.kill()
        bench.clean_stub_state(code, key)


def test_two_products_run_side_by_side(bench, slow_server, tmp_path):
    runs = []
    try:
        for code in ("SIDEA", "SIDEB"):
            bench.clean_stub_state(code, rf"Software\RunTest\{code}")
            stub = stamp(tmp_path / f"{code}.exe", download_url=slow_server.url("/slow.exe"),
                         event_url="", product_code=code, registry_key=rf"Software\RunTest\{code}")
            runs.append(bench.start(stub))
            assert bench.find_window(cls=f"MiniMutex.{code}", timeout=20)
        time.sleep(1)
        assert all(r.running() for r in runs)
    finally:
        for r in runs:
            r.kill()
        for code in ("SIDEA", "SIDEB"):
            bench.clean_stub_state(code, rf"Software\RunTest\{code}")


@pytest.mark.parametrize("how, stored", [
    ({"omit_text": [2003]}, ""),                   # missing resource: the empty text
    ({"campaign": ""}, ""),                        # empty resource
    ({"text_hex": "2003=61620063"}, "ab"),         # a zero byte ends the text
])
def test_campaign_is_stored_as_loaded(bench, tmp_path, how, stored):
    code, key = "CAMPTEST", r"Software\RunTest\Campaign"
    bench.clean_stub_state(code, key)
    stub = stamp(tmp_path / "install.exe", download_url="http://127.0.0.1:1/x.exe", event_url="",
                 product_code=code, registry_key=key, title="Campaign Test", **how)
    run = bench.start(stub)
    try:
        box = wait_error_box(bench, title="Campaign Test")
        assert bench.reg_query(rf"HKLM\{key}", "Campaign") == ("REG_SZ", stored)
        bench.click(box["hwnd"], 1)
        assert run.wait(timeout=30).code == 0
    finally:
        run.kill()
        bench.clean_stub_state(code, key)


# ---- what the error box says

@pytest.fixture(scope="module")
def replies():
    with FaultServer() as server:
        for status in (404, 500):
            server.add_file(f"/{status}.exe", b"", status=status)
        yield server


@pytest.fixture(scope="module")
def faulting_ftp(tmp_path_factory):
    """An FTP server that resets the data connection before the client has
    taken it up, which makes Wine's FTP client fault."""
    root = tmp_path_factory.mktemp("ftproot")
    (root / "Setup.exe").write_bytes(b"x" * 300_000)
    with FtpServer(str(root), handler_faults=FtpFaults(cut_after=1000, cut_grace=0)) as ftp:
        yield ftp


# case, the last line of the box. The texts of the client's codes are Wine's.
BOX_CASES = [
    # Nothing listens: the client's code, with the client's own text.
    ("refused", "Error 12029: The attempt to connect to the server failed."),
    # Statuses as statuses, not as the system codes of the same number.
    ("404", "The server answered with HTTP status 404."),
    ("500", "The server answered with HTTP status 500."),
    # An access violation in the client, caught by the fault filter.
    ("fault", "Error Code: 0xC0000005"),
]


@pytest.mark.parametrize("case, last_line", BOX_CASES, ids=[c[0] for c in BOX_CASES])
def test_error_box_names_the_real_problem(bench, replies, faulting_ftp, tmp_path, case, last_line):
    code, key = "BOX" + case.upper(), rf"Software\RunTest\Box{case}"
    with closed_port() as port:
        url = {"refused": f"http://127.0.0.1:{port}/setup.exe",
               "404": replies.url("/404.exe"), "500": replies.url("/500.exe"),
               "fault": faulting_ftp.url("/Setup.exe")}[case]
        stub = stamp(tmp_path / "install.exe", download_url=url, event_url="", product_code=code,
                     registry_key=key, title="Box Test")
        # Wine's client faults only when the reset comes before it takes up
        # the data connection; on a loaded machine it may take it up first
        # and see a plain reset (12031). The fault is asked for a few times.
        for attempt in range(4 if case == "fault" else 1):
            bench.clean_stub_state(code, key)
            run = bench.start(stub)
            try:
                box = wait_error_box(bench, title="Box Test")
                text = box_text(box)
                bench.click(box["hwnd"], 1)
                assert run.wait(timeout=30).code == 0
            finally:
                run.kill()
                bench.clean_stub_state(code, key)
            if case != "fault" or not text.rstrip("\r\n").endswith("Error Code: 12031"):
                break
    # The box's first lines stay as they are; the last one names the problem.
    assert text.rstrip("\r\n") == INTRO + last_line, text
