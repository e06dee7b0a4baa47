"""The run sequence of the real install.exe: single instance, the stored
campaign, and the final error box.

The built-in download URL names a host that does not resolve here, so an
unstamped stub fails its download at once and shows the error box; that
box is the point at which these tests look at the running program.
"""

import pytest

from winehelp import stub_exe

PRODUCT = "QRBL7300"
REGKEY = r"Software\Quorbel"
INTRO = ("Setup could not download installation files.\n"
         "Please check your internet connection and firewall settings and try again.\n\n")


def box_text(box):
    """The message text of a message box: its static control without id."""
    texts = [c["text"] for c in box["children"] if c["class"].lower() == "static" and c["text"]]
    return max(texts, key=len) if texts else ""


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
        assert text.endswith("Error Code: 12007"), text
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
