"""The setup's SHA-256 pin (TEXT 2010): through the real install.exe on
stamped distributions, the status line while the check runs, and the stub's
own SHA-256 against Python's hashlib on files of awkward lengths.
"""

import hashlib
import json
import random
import re
import time
from pathlib import Path

import pytest

from servers import FaultServer, FtpServer
import winehelp
from winehelp import (RESUME_OVERLAP, child_text, helper_exe, resume_from, resume_range,
                      settle, stamp)


SETUP = "/pin/Setup.exe"
EVENT = "/pin/event.php"
TITLE = "Pin Test"
NUMBER = 4711
IDC_STATUS = 1004
CHECKING = "Checking installation files..."
CONNECTING = "Connecting to download server..."
DOWNLOADING = "Downloading installation files..."
MISMATCH = ("The downloaded file is not the expected setup.\n"
            "It may have been damaged or replaced on its way, so it was not started.\n"
            "Please try again later.\n\nError Code: 577")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


@pytest.fixture(scope="module")
def setup_bytes():
    # The fake setup with a tail of its own: a valid program worth resuming.
    data = helper_exe("fakesetup.exe").read_bytes()
    rng = random.Random(16)
    return data + bytes(rng.getrandbits(8) for _ in range(700_000 - len(data)))


@pytest.fixture(scope="module")
def web():
    with FaultServer() as server:
        yield server


@pytest.fixture(scope="module")
def ftp(tmp_path_factory, setup_bytes):
    root = tmp_path_factory.mktemp("ftproot")
    (root / "Setup.exe").write_bytes(setup_bytes)
    with FtpServer(str(root)) as server:
        yield server


@pytest.fixture
def product(bench, request):
    """A product code and registry key of this test alone, cleaned before and after."""
    with bench.own_product(request.node.name, "PIN", "PinTest") as product:
        yield product


def distribution(out, url, event, code, key, pin):
    """A stamped install.exe. A pin of bytes goes in as it is, past the stamp
    tool's refusal, the way a hand-edited distribution would carry it."""
    raw = isinstance(pin, bytes)
    return stamp(out, download_url=url, event_url=event, product_code=code, registry_key=key,
                 title=TITLE, install_number=NUMBER, sha256=None if raw else pin,
                 forced_texts={2010: pin} if raw else None)


def run_to_end(bench, stub, env):
    return winehelp.run_to_end(bench, stub, TITLE, env)


def cut_first_run(bench, web, stub, env, code):
    """A first run that the server cuts: the partial file and its record stay."""
    web.set_options(SETUP, cut_after=[250_000])
    assert run_to_end(bench, stub, env) is not None
    web.set_options(SETUP, cut_after=None)
    partial = bench.temp_dir / f"~{code}{NUMBER}.exe"
    assert 0 < partial.stat().st_size <= 250_000
    return partial


# (id, protocol, pin, before the run, outcome, the downloads the server sees:
#  "all" the whole file, "rest" the rest of the partial file)
CASES = [
    ("right pin", "http", "right", "fresh", "started", ["all"]),
    ("right pin, resumed after a cut", "http", "right", "cut", "started", ["rest"]),
    # A partial file whose bytes are not the setup's, with a record that
    # vouches for it: the continuation's overlap tells, and the file is
    # fetched again before any check.
    ("right pin, spliced resume", "http", "right", "corrupt", "started", ["rest", "all"]),
    ("right pin, ftp", "ftp", "right", "fresh", "started", ["all"]),
    ("wrong pin", "http", "wrong", "fresh", "mismatch", ["all", "all"]),
    ("wrong pin, resumed after a cut", "http", "wrong", "cut", "mismatch", ["rest", "all"]),
    ("wrong pin, ftp", "ftp", "wrong", "fresh", "mismatch", ["all", "all"]),
    ("upper-case pin", "http", "upper", "fresh", "started", ["all"]),
    ("malformed pin", "http", b"0" * 64 + b"\n", "fresh", "broken", []),
    ("pin too short", "http", b"0" * 63, "fresh", "broken", []),
    ("empty pin", "http", b"", "fresh", "started", ["all"]),
    ("no pin", "http", None, "fresh", "started", ["all"]),
]


@pytest.mark.parametrize("protocol, pin, before, outcome, downloads", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_pinned_distribution(bench, web, ftp, product, setup_bytes, tmp_path, fakesetup_log,
                             protocol, pin, before, outcome, downloads):
    code, key = product
    web.add_file(SETUP, setup_bytes)
    web.add_event(EVENT, body_chunks=[10])
    pin = {"right": sha256(setup_bytes), "upper": sha256(setup_bytes).upper(),
           "wrong": sha256(setup_bytes + b"!")}.get(pin, pin)
    url = web.url(SETUP) if protocol == "http" else ftp.url("/Setup.exe")
    stub = distribution(tmp_path / "install.exe", url, web.url(EVENT), code, key, pin)
    record_key = rf"HKLM\{key}\Install\{NUMBER:08d}"

    kept = 0
    if before != "fresh":
        partial = cut_first_run(bench, web, stub, fakesetup_log.env, code)
        kept = partial.stat().st_size
        if before == "corrupt":
            partial.write_bytes(bytes(b ^ 0x5A for b in partial.read_bytes()))
        assert bench.reg_key_exists(record_key)
    web.clear()
    ftp.clear()

    text = run_to_end(bench, stub, fakesetup_log.env)

    if protocol == "http":
        seen = [("rest" if r.range == resume_range(kept) else "all" if r.range is None else r.range,
                 r.body_sent) for r in web.requests_for(SETUP)]
    else:
        seen = [("rest" if t.rest else "all", t.sent) for t in ftp.transfers]
    assert [s[0] for s in seen] == downloads, seen
    # A continuation whose overlap fails the comparison is dropped at once:
    # of it the server may have sent less.
    assert all(sent == len(setup_bytes) if kind == "all" else
               sent == len(setup_bytes) - resume_from(kept) or
               (before == "corrupt" and RESUME_OVERLAP <= sent < len(setup_bytes) - resume_from(kept))
               for kind, sent in seen), seen
    modes = [r.params.get("mode") for r in web.requests_for(EVENT)]
    runs = fakesetup_log.wait(1, timeout=10 if outcome == "started" else 2)
    download = bench.temp_dir / f"~{code}{NUMBER}.exe"

    if outcome == "started":
        assert text is None, text
        assert len(runs) == 1, runs
        assert Path(bench.to_unix(runs[0]["path"])).read_bytes() == setup_bytes
        assert modes == ["1", "0"]
        assert not bench.reg_key_exists(record_key)
        return
    # Nothing started, nothing kept, no finish event.
    assert runs == []
    assert not download.exists()
    assert not bench.reg_key_exists(record_key)
    assert not [p for p in bench.pending_renames() if f"~mi{NUMBER}$" in p[0]]
    assert not [p for p in bench.stub_files() if p.name.startswith(f"~mi{NUMBER}$")]
    if outcome == "mismatch":
        assert text == MISMATCH
        assert modes == ["1"]
    else:
        # A broken distribution stops before it stores, reports or fetches.
        assert text is not None and re.search(r"Error( Code:)? 1610\b", text), text
        assert settle(lambda: web.requests) == [] and settle(lambda: ftp.transfers) == []
        assert not bench.reg_key_exists(rf"HKLM\{key}")


def test_status_line_tells_the_check(bench, web, tmp_path):
    # A download slow enough for the dialog to show, pinned to other bytes:
    # check, second download, second check, each seen on the status line.
    data = random.Random(3).randbytes(1_000_000)
    web.add_file("/pin/slow.exe", data, trickle=(100_000, 0.3))
    web.clear()
    gate = tmp_path / "gate"
    target = tmp_path / "slow.exe"
    proc = bench.start(helper_exe("stubdriver.exe"), "verify", web.url("/pin/slow.exe"),
                       bench.to_windows(target), "--pin", sha256(b"other"), "--gate",
                       bench.to_windows(gate), "--title", TITLE, "--regkey", r"Software\PinTest\Status")
    try:
        def events(count):
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                lines = [json.loads(l) for l in proc.output()[0].splitlines() if l.startswith("{")]
                lines = [l for l in lines if l["event"] != "gate-open"]
                if len(lines) >= count:
                    return lines
                assert proc.running(), proc.output()
                time.sleep(0.1)
            raise AssertionError(f"no event {count}: {proc.output()}")

        def status(hwnd, want):
            deadline = time.monotonic() + 10
            while True:
                seen = child_text(bench.window(hwnd) or {}, IDC_STATUS)
                if seen == want or time.monotonic() > deadline:
                    return seen
                time.sleep(0.2)

        first = events(1)[0]
        assert first["event"] == "check" and first["dialog"], first
        assert status(first["dialog"], CHECKING) == CHECKING
        gate.write_bytes(b"")
        # The mismatch sends the file back to the server, from zero.
        assert status(first["dialog"], DOWNLOADING) == DOWNLOADING
        second = events(2)[1]
        assert second["event"] == "check" and second["dialog"] == first["dialog"], second
        assert status(second["dialog"], CHECKING) == CHECKING
        gate.write_bytes(b"")
        end = events(3)[2]
    finally:
        proc.kill()
        bench.reg_delete(r"HKLM\Software\PinTest")
    assert (end["result"], end["errorCode"], end["checks"]) == (0, 577, 2), end
    assert end["attributes"] == 0xFFFFFFFF and not target.exists()
    assert [r.range for r in web.requests_for("/pin/slow.exe")] == [None, None]


def test_second_download_gets_a_dialog_when_the_first_came_in_its_grace(bench, web, tmp_path):
    # The first copy comes within its dialog's grace (made long, so that a
    # loaded machine cannot stretch the download past it), so that dialog is
    # never shown and goes with its thread; the second comes slowly, with
    # the usual grace, and must be seen all the same.
    data = random.Random(5).randbytes(600_000)
    web.add_file("/pin/quick.exe", data, trickle=lambda index, request: (60_000, 0.4) if index else None)
    web.clear()
    gate = tmp_path / "gate"
    title = "Pin Again"
    proc = bench.start(helper_exe("stubdriver.exe"), "verify", web.url("/pin/quick.exe"),
                       bench.to_windows(tmp_path / "quick.exe"), "--pin", sha256(b"other"), "--gate",
                       bench.to_windows(gate), "--title", title, "--regkey", r"Software\PinTest\Again",
                       "--first-grace", "600000")
    try:
        def checks():
            return proc.output()[0].count('"event": "check"')

        deadline = time.monotonic() + 30
        while checks() < 1:
            assert proc.running() and time.monotonic() < deadline, proc.output()
            time.sleep(0.1)
        # The first dialog is gone before the check lets go.
        while bench.find_window(cls="#32770", title=title, timeout=0):
            assert time.monotonic() < deadline, "the first dialog stayed"
            time.sleep(0.1)
        gate.write_bytes(b"")
        # The thread let go of its dialog before it went: the run holds no
        # handle the system may give to another program's window.
        let_go = wait_json(proc, lambda e: e["event"] == "gate-open")
        assert let_go["dialogField"] == 0, let_go
        dialog = bench.find_window(cls="#32770", title=title, visible=True, timeout=10)
        assert dialog and checks() == 1, "no dialog for the second download"
        # It may still be connecting when first seen on a loaded machine.
        while child_text(dialog, IDC_STATUS) == CONNECTING and time.monotonic() < deadline + 30:
            time.sleep(0.1)
            dialog = bench.window(dialog["hwnd"]) or dialog
        assert child_text(dialog, IDC_STATUS) == DOWNLOADING
        while checks() < 2:
            assert proc.running() and time.monotonic() < deadline + 30, proc.output()
            time.sleep(0.1)
        gate.write_bytes(b"")
        assert proc.wait(timeout=30).code == 0
    finally:
        proc.kill()
        bench.reg_delete(r"HKLM\Software\PinTest")
    end = json.loads(proc.output()[0].strip().splitlines()[-1])
    assert (end["result"], end["errorCode"], end["checks"]) == (0, 577, 2), end
    assert [r.range for r in web.requests_for("/pin/quick.exe")] == [None, None]


def wait_json(proc, match, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        for line in proc.output()[0].splitlines():
            if line.startswith("{") and match(json.loads(line)):
                return json.loads(line)
        assert proc.running() and time.monotonic() < deadline, proc.output()
        time.sleep(0.1)


CANCEL_SIZE = 600_000
CHUNK = 65536


# (id, how the driver confirms the cancel): before the check's first read;
# before its last read, which finds the end of the file, so the check
# completes and the cancel is only seen after it; when the second download's
# dialog is started.
CANCELS = [
    ("during the check", ["--cancel-at-read", "1"]),
    ("just after the check", ["--cancel-at-read", str(CANCEL_SIZE // CHUNK + 2)]),
    ("as the second download starts", ["--cancel-on-restart"]),
]


@pytest.mark.parametrize("how", [c[1] for c in CANCELS], ids=[c[0] for c in CANCELS])
def test_confirmed_cancel_around_the_check_starts_no_second_download(bench, web, tmp_path, how):
    data = random.Random(7).randbytes(CANCEL_SIZE)
    web.add_file("/pin/cancel.exe", data)
    web.clear()
    target = tmp_path / "cancel.exe"
    try:
        r = bench.run(helper_exe("stubdriver.exe"), "verify", web.url("/pin/cancel.exe"),
                      bench.to_windows(target), "--pin", sha256(b"other"), *how,
                      "--title", "Pin Cancel", "--regkey", r"Software\PinTest\Cancel", timeout=60)
    finally:
        bench.reg_delete(r"HKLM\Software\PinTest")
    end = json.loads(r.out.strip().splitlines()[-1])
    # Ended as any cancel ends: no error, nothing more fetched, not even a
    # connection for the second download.
    assert (end["result"], end["errorCode"], end["stopRequested"], end["checks"]) == (0, 0, 1, 1), end
    assert [r.range for r in web.requests_for("/pin/cancel.exe")] == [None]


HASH_SIZES = [0, 1, 55, 56, 63, 64, 65, 119, 120, 65535, 65536, 65537, 5 * 1024 * 1024 + 3]


@pytest.mark.parametrize("size", HASH_SIZES)
def test_stub_hash_equals_hashlib(bench, tmp_path, size):
    # Lengths around the padding (55/56 bytes in the last block, 119/120 over
    # two), the 64-byte block and the 64 KB read chunk, and several MB.
    data = random.Random(size).randbytes(size)
    path = tmp_path / f"f{size}.bin"
    path.write_bytes(data)
    r = bench.run(helper_exe("stubdriver.exe"), "hash", bench.to_windows(path), timeout=60)
    got = json.loads(r.out)
    assert (got["result"], got["digest"]) == (1, sha256(data)), got


def test_stub_hash_of_a_missing_file_reports_why(bench, tmp_path):
    r = bench.run(helper_exe("stubdriver.exe"), "hash", bench.to_windows(tmp_path / "none.bin"))
    got = json.loads(r.out)
    assert (got["result"], got["errorCode"], got["digest"]) == (0, 2, "")
