"""Stalls: a connection that goes silent without a close is cut once no byte
has come for the stall limit, and fails as a time-out (12002): retried from
the kept bytes where the distribution allows retries, told in the box where
it does not. A slow transfer that keeps moving is never cut.

The real install.exe under Wine against scripted servers. install-stall.exe
is the same image whose limit STUB_STALL_SECONDS in its environment
shortens, so that most cases take seconds; one case waits the real minute.
"""

import time
from pathlib import Path

import pytest

from servers import FaultServer, FtpServer
from winehelp import stub_build, stub_exe
from test_retry import (SETUP, SIZE, TITLE, NUMBER, IDCANCEL, IDYES, WM_COMMAND, box_code,
                        check_nothing_started, check_started, continues_from, finish, look,
                        look_question, partial, record_key, versions)  # noqa: F401 (versions: a fixture)

import sys
REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import pe  # noqa: E402

TIMEOUT = 12002
# The shortened limit, and the real one (a constant of the code).
LIMIT = 4
REAL_LIMIT = 60
# The first waits between tries.
WAITS = [2, 4, 8]
# What a loaded machine may add to a try's own time before it is cut.
SLACK = 12


@pytest.fixture
def product(bench, request):
    with bench.own_product(request.node.name, "STL", "StallTest") as product:
        yield product


@pytest.fixture
def web():
    with FaultServer() as server:
        yield server


@pytest.fixture
def ftp(tmp_path):
    root = tmp_path / "ftproot"
    root.mkdir()
    with FtpServer(str(root)) as server:
        server.root = root
        yield server


def stamped(out, image, url, product, retries):
    code, key = product
    changes = pe.prepare_changes(download_url=url, event_url="", product_code=code,
                                 registry_key=key, title=TITLE, install_number=NUMBER)
    if retries is not None:
        changes.texts[2011] = retries.encode()
    out.write_bytes(pe.stamp_image(image.read_bytes(), changes)[0])
    return out


def run(bench, stub, env, limit):
    """The exit code, the box's text (None: no box) and the seconds taken."""
    started = time.monotonic()
    code, text = finish(bench, bench.start(stub, env=dict(env, STUB_STALL_SECONDS=str(limit))),
                        timeout=240)
    return code, text, time.monotonic() - started


def silent_once():
    """An FTP reply that never comes, the first time only."""
    calls = []

    def reply(handler, arg):
        calls.append(arg)
        return b"" if len(calls) == 1 else None
    return reply


# name, protocol, server options (HTTP: the file's, FTP: the faults), TEXT
# 2011, how each try ended at the server, the box's code (None: started)
CASES = [
    ("headers and 8 KB then silence", "http", {"stall_after": [8192]}, None, ["stalled"], TIMEOUT),
    ("body silent twice, retried", "http", {"stall_after": [100_000, 150_000]}, "2",
     ["stalled", "stalled", "complete"], None),
    ("never answers", "http", {"silent": [True]}, None, ["silent"], TIMEOUT),
    # A retry that asks for the rest and gets no answer is cut and asks again.
    ("cut, then never answers, retried", "http", {"cut_after": [100_000], "silent": [None, True]},
     "2", ["cut", "silent", "complete"], None),
    ("FTP data silent", "ftp", {"cut_after": [100_000], "cut_mode": "stall"}, None, ["stalled"],
     TIMEOUT),
    ("FTP data silent twice, retried", "ftp",
     {"cut_after": [100_000, 150_000], "cut_mode": "stall"}, "2",
     ["stalled", "stalled", "complete"], None),
    ("FTP reply never comes, retried", "ftp", {"replies": {"MDTM": silent_once()}}, "1",
     ["silent", "complete"], None),
]


def http_tries(web):
    """(arrival, offset asked, end of the bytes sent, outcome) per request."""
    return [(r.t_mono, int(r.range[6:-1]) if r.range else 0, r.body_start + r.body_sent, r.outcome)
            for r in web.requests_for(SETUP)]


def ftp_tries(ftp):
    """The same per control connection; one without a transfer never got
    its reply."""
    tries = []
    transfers = {t.session: t for t in ftp.transfers}
    for session in sorted({c.session for c in ftp.commands}):
        start = min(c.t_mono for c in ftp.commands if c.session == session)
        t = transfers.get(session)
        tries.append((start, t.rest, t.rest + t.sent, t.outcome) if t else (start, 0, 0, "silent"))
    return tries


@pytest.mark.parametrize("protocol, options, retries, outcomes, code", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_stall(bench, web, ftp, product, versions, tmp_path, fakesetup_log,
               protocol, options, retries, outcomes, code):
    if protocol == "http":
        web.add_file(SETUP, versions[0], **options)
        url = web.url(SETUP)
    else:
        (ftp.root / "Setup.exe").write_bytes(versions[0])
        ftp.set_faults(**options)
        url = ftp.url("/Setup.exe")
    stub = stamped(tmp_path / "install.exe", stub_build() / "install-stall.exe", url, product,
                   retries)

    exit_code, text, took = run(bench, stub, fakesetup_log.env, LIMIT)

    assert exit_code == 0
    assert box_code(text) == code, text
    tries = http_tries(web) if protocol == "http" else ftp_tries(ftp)
    assert [t[3] for t in tries] == outcomes, tries
    # Each retry continues what the tries before it left on disk.
    kept = 0
    for before, later in zip(tries, tries[1:]):
        kept = max(kept, before[2])
        assert continues_from(later[1], kept), (tries, kept)
    # A stalled try ends one limit after its last byte, then waits as usual;
    # never later than that and a loaded machine's slack.
    gaps = [b[0] - a[0] for a, b in zip(tries, tries[1:])]
    for i, gap in enumerate(gaps):
        if outcomes[i] in ("stalled", "silent"):
            assert LIMIT + WAITS[i] <= gap < LIMIT + WAITS[i] + SLACK, gaps
    if code is None:
        check_started(bench, product, fakesetup_log, versions[0])
    else:
        check_nothing_started(bench, product, fakesetup_log)
        assert LIMIT <= took < LIMIT + SLACK + 10, took


def test_the_real_limit_is_a_minute(bench, web, product, versions, tmp_path, fakesetup_log):
    """The shipped image, no seam: headers and 8 KB, then silence; the box
    names the time-out a minute later, not before."""
    web.add_file(SETUP, versions[0], stall_after=[8192])
    stub = stamped(tmp_path / "install.exe", stub_exe(), web.url(SETUP), product, None)
    exit_code, text, took = run(bench, stub, fakesetup_log.env, 1)   # ignored by this image
    assert (exit_code, box_code(text)) == (0, TIMEOUT), text
    assert REAL_LIMIT <= took < REAL_LIMIT + SLACK + 10, took
    assert [r.outcome for r in web.requests_for(SETUP)] == ["stalled"]


def test_a_trickle_is_never_cut(bench, web, product, versions, tmp_path, fakesetup_log):
    """The last bytes one every 5 s, for longer than twice the limit: the
    download completes in one request and its setup starts."""
    web.add_file(SETUP, versions[0], slow_from=(len(versions[0]) - 5, 5))
    stub = stamped(tmp_path / "install.exe", stub_build() / "install-stall.exe", web.url(SETUP),
                   product, None)
    exit_code, text, took = run(bench, stub, fakesetup_log.env, 8)
    assert (exit_code, text) == (0, None)
    assert took >= 16, took
    requests = web.requests_for(SETUP)
    assert [(r.range, r.outcome) for r in requests] == [(None, "complete")]
    check_started(bench, product, fakesetup_log, versions[0])


@pytest.mark.parametrize("late", [5, 7.5], ids=["in the wait", "while the next try writes"])
def test_a_late_chunk_of_a_cut_try_is_dropped(bench, web, product, versions, tmp_path,
                                             fakesetup_log, late):
    """The cut try's connection comes back to life after all, with bytes
    that are not the file's, while the run waits or while the next try
    (slowed to some 4 s) writes the same file: its reader never writes
    them anywhere."""
    web.add_file(SETUP, versions[0], stall_after=[100_000], stall_for=late,
                 trickle=lambda index, request: (8192, 0.1) if index else None)
    stub = stamped(tmp_path / "install.exe", stub_build() / "install-stall.exe", web.url(SETUP),
                   product, "1")
    exit_code, text, took = run(bench, stub, fakesetup_log.env, LIMIT)
    requests = web.requests_for(SETUP)
    assert (exit_code, text) == (0, None), requests
    first, second = requests
    assert continues_from(int(second.range[6:-1]), 100_000), second.range
    # The late bytes went out while the next try's request was on its way.
    assert first.late_sent and second.t_done > first.t_mono + late, requests
    check_started(bench, product, fakesetup_log, versions[0])


def test_cancel_during_a_stall(bench, web, product, versions, tmp_path, fakesetup_log):
    """Cancel works while the transfer waits for the silent server: the run
    ends at once, no box, no retry, the kept bytes and their record stay."""
    web.add_file(SETUP, versions[0], stall_after=[100_000])
    stub = stamped(tmp_path / "install.exe", stub_build() / "install-stall.exe", web.url(SETUP),
                   product, "3")
    proc = bench.start(stub, env=dict(fakesetup_log.env, STUB_STALL_SECONDS="30"))
    try:
        dlg = look(bench, stub, "the dialog", lambda w: w["visible"])
        assert bench.post(dlg["hwnd"], WM_COMMAND, IDCANCEL)
        box = look_question(bench, dlg["hwnd"])
        asked = time.monotonic()
        assert bench.click(box["hwnd"], IDYES)
        result = proc.wait(timeout=15)
        assert time.monotonic() - asked < 6, "the run went on after the cancel"
        assert result.code == 0
    finally:
        proc.kill()
        proc.discard_output()
    assert [r.outcome for r in web.requests_for(SETUP)] == ["stalled"]
    check_nothing_started(bench, product, fakesetup_log)
    assert partial(bench, product).read_bytes() == versions[0][:100_000]
    assert bench.reg_values(record_key(product))["Size"][1] == SIZE
