"""Retries within the run (TEXT 2011): the real install.exe against scripted
servers that cut the body, answer 503 and other statuses, with and without
Retry-After, and change the file during a wait.

Each case runs a stamped distribution to its end and checks what the server
was asked and when, the error box, what was started, and the events. A
retry is a continuation: it asks from the kept size (less the overlap that
a continuation reads again to compare) and keeps what it has.
"""

import contextlib
import os
import random
import re
import time
from pathlib import Path

import pytest

from servers import FaultServer, FtpServer
from winehelp import (box_code, box_text, child, child_text, closed_port, find_failure_box,
                      finish_run, helper_exe, resume_from, settle, stamp)

SETUP = "/retry/Setup.exe"
EVENT = "/retry/event.php"
TITLE = "Retry Test"
NUMBER = 2011
SIZE = 400_000
IDC_STATUS = 1004
IDCANCEL, IDYES = 2, 6
WM_COMMAND = 0x0111
DOWNLOADING = "Downloading installation files..."
COUNTDOWN = re.compile(r"Connection lost\. Trying again in (\d+) seconds\.\.\.$")
# The connection cut under the client: the client's code, or the socket's
# that its reads pass on.
RESET = (12031, 10054)
# A retry's wait as the server sees it: from one request to the next, which
# adds a new connection (and under load a slow one) to the wait itself. A
# wait of more than this beyond its due is a wrong wait (18 s for 8 s).
LATE = 6
# The code of a write that finds no room as this bench makes it (a file size
# limit, EFBIG): Wine reports it as ERROR_GEN_FAILURE, where a full disk
# would be ERROR_DISK_FULL (112). The stub passes on the system's code.
DISK_FULL = 31
# A connection closed before any status line: the client's code for it.
NO_STATUS = (12031, 12152)


def continues_from(offset, kept):
    """Whether a continuation of kept bytes asked from where it must: some
    kept bytes before their end, to compare them with the server's."""
    return offset == resume_from(kept)


def check_waits(gaps, waits):
    """Each gap between requests is its wait, not shorter and not much longer."""
    assert len(gaps) >= len(waits), (gaps, waits)
    assert all(wait <= gap < wait + LATE for gap, wait in zip(gaps, waits)), (gaps, waits)


@pytest.fixture(scope="module")
def versions():
    """Two versions of the setup of one length: valid programs that differ."""
    program = helper_exe("fakesetup.exe").read_bytes()
    rng = random.Random(2011)
    return [program + rng.randbytes(SIZE - len(program)) for _ in range(2)]


@pytest.fixture(scope="module")
def web():
    with FaultServer() as server:
        yield server


@pytest.fixture(scope="module")
def ftp_root(tmp_path_factory):
    return tmp_path_factory.mktemp("ftproot")


@pytest.fixture(scope="module")
def ftp(ftp_root):
    with FtpServer(str(ftp_root)) as server:
        yield server


@pytest.fixture
def ftp_clean(ftp):
    ftp.set_faults()
    ftp.clear()
    yield ftp
    ftp.set_faults()


@pytest.fixture
def product(bench, request):
    with bench.own_product(request.node.name, "RTY", "RetryTest") as product:
        yield product


def distribution(out, url, product, retries=None, event="", pin=None, quiet=None,
                 fallback=None):
    """A stamped install.exe; retries as text, or bytes put in as they are
    (past the stamp tool's refusal, as a hand-edited distribution)."""
    code, key = product
    raw = isinstance(retries, bytes)
    return stamp(out, download_url=url, event_url=event, product_code=code, registry_key=key,
                 title=TITLE, install_number=NUMBER, sha256=pin, quiet=quiet,
                 retries=None if raw else retries, fallback_url=fallback,
                 forced_texts={2011: retries} if raw else None)


def finish(bench, proc, timeout=120):
    return finish_run(bench, proc, TITLE, timeout)


def run_to_end(bench, stub, env, **start):
    code, text = finish(bench, bench.start(stub, env=env, **start))
    assert code == 0, (code, text)
    return text


def record_key(product):
    return rf"HKLM\{product[1]}\Install\{NUMBER:08d}"


def partial(bench, product):
    return bench.temp_dir / f"~{product[0]}{NUMBER}.exe"


def check_started(bench, product, log, wanted):
    runs = log.wait(1, timeout=10)
    assert len(runs) == 1, runs
    assert Path(bench.to_unix(runs[0]["path"])).read_bytes() == wanted
    assert not bench.reg_key_exists(record_key(product))


def check_nothing_started(bench, product, log):
    """No setup ran, none was made ready to run (renamed for its launch), and
    nothing of the run's was set for deletion at the next start."""
    assert log.wait(1, timeout=1) == []
    assert not [p for p in bench.stub_files() if p.name.startswith(f"~mi{NUMBER}$")]
    names = (f"~mi{NUMBER}$", f"~{product[0]}{NUMBER}.exe")
    assert not [p for p in bench.pending_renames() if any(n in p[0] for n in names)]


# --- HTTP ----------------------------------------------------------------------

# name, TEXT 2011 (None: none), the server's options for the setup, what each
# request asks for ("all" the file, "rest" the rest of what the requests
# before it left on disk, "again" the same as the request before it), the
# least seconds between each request and the next, the box's code (None:
# started)
HTTP_CASES = [
    ("two cuts, three retries", "3", {"cut_after": [100_000, 150_000]},
     ["all", "rest", "rest"], [2, 4], None),
    # The last failure is the one reported, not the first. A busy server's
    # answer to the continuation is no refusal: the kept bytes wait for the
    # next try.
    ("cuts and a 500 spend two retries", "2",
     {"cut_after": [100_000, 100_000], "status": [None, None, 500, 500]},
     ["all", "rest", "rest"], [2, 4], 500),
    # A Retry-After stands for the wait after its own reply only.
    ("retry-after belongs to its reply", "3",
     {"cut_after": [100_000, None, 150_000], "status": [None, 503], "retry_after": [None, 5]},
     ["all", "rest", "again", "rest"], [2, 5, 8], None),

    ("waits double", "3", {"status": [408, 502, 504]}, ["all"] * 4, [2, 4, 8], None),
    # 503's Retry-After stands for the first wait; one beyond a minute is no
    # wait to keep a user at, the second wait is the usual one.
    ("retry-after", "2", {"status": [503, 429], "retry_after": [5, 120]}, ["all"] * 3, [5, 4],
     None),
    ("404 is no passing trouble", "5", {"status": 404}, ["all"], [], 404),
    ("410 neither", "5", {"status": 410}, ["all"], [], 410),
    ("501 neither", "5", {"status": 501}, ["all"], [], 501),
    ("no retries text: as before", None, {"cut_after": [100_000]}, ["all"], [], RESET),
    ("0 retries: as before", "0", {"cut_after": [100_000]}, ["all"], [], RESET),
    ("empty retries text: as before", "", {"cut_after": [100_000]}, ["all"], [], RESET),
]


@pytest.mark.parametrize("retries, options, asked, waits, code", [c[1:] for c in HTTP_CASES],
                         ids=[c[0] for c in HTTP_CASES])
def test_http_retries(bench, web, product, versions, tmp_path, fakesetup_log,
                      retries, options, asked, waits, code):
    web.add_file(SETUP, versions[0], **options)
    web.add_event(EVENT, body_chunks=[10])
    web.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, retries,
                        event=web.url(EVENT))

    text = run_to_end(bench, stub, fakesetup_log.env)

    requests = web.requests_for(SETUP)
    assert len(requests) == len(asked), [(r.range, r.status) for r in requests]
    for before, r, kind in zip([None] + requests, requests, asked):
        if kind == "all":
            assert r.range is None
        elif kind == "again":
            assert r.range is not None and r.range == before.range
        else:
            # The file holds what the request before it had delivered.
            kept = before.body_start + before.body_sent
            found = re.fullmatch(r"bytes=(\d+)-", r.range or "")
            assert found and continues_from(int(found.group(1)), kept), (r.range, kept)
    check_waits([b.t_mono - a.t_mono for a, b in zip(requests, requests[1:])], waits)
    assert box_code(text) in (code if isinstance(code, tuple) else (code,)), text
    if code is not None and box_code(text) >= 1000:
        assert "HTTP status" not in text, text
    # One start event, and one finish event once the setup started.
    if code is None:
        check_started(bench, product, fakesetup_log, versions[0])
        assert [r.params.get("mode") for r in web.requests_for(EVENT)] == ["1", "0"]
    else:
        check_nothing_started(bench, product, fakesetup_log)
        assert [r.params.get("mode") for r in settle(lambda: web.requests_for(EVENT))] == ["1"]


def test_a_file_replaced_during_the_wait_is_fetched_whole(bench, web, product, versions,
                                                          tmp_path, fakesetup_log):
    """The kept part is of the old file: the retry starts over and the new
    file is the one started."""
    web.add_file(SETUP, versions[0], last_modified=1_100_000_000, cut_after=[150_000])
    web.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, "2")
    proc = bench.start(stub, env=fakesetup_log.env)
    first = web.wait_for_requests(1, SETUP, timeout=30)
    assert first and first[0].outcome == "cut"
    web.replace_file(SETUP, versions[1], last_modified=1_200_000_000)
    code, text = finish(bench, proc)
    assert (code, text) == (0, None)
    requests = web.requests_for(SETUP)
    check_waits([requests[1].t_mono - requests[0].t_mono], [2])
    new = requests[0].file_version + 1
    assert [r.file_version for r in requests[1:]] == [new] * (len(requests) - 1)
    assert requests[-1].range is None and requests[-1].body_sent == SIZE
    check_started(bench, product, fakesetup_log, versions[1])


def test_pinned_distribution_with_retries(bench, web, product, versions, tmp_path,
                                          fakesetup_log):
    import hashlib
    web.add_file(SETUP, versions[0], cut_after=[120_000])
    web.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, "1",
                        pin=hashlib.sha256(versions[0]).hexdigest())
    assert run_to_end(bench, stub, fakesetup_log.env) is None
    requests = web.requests_for(SETUP)
    assert len(requests) == 2 and requests[1].range
    check_started(bench, product, fakesetup_log, versions[0])


def test_refused_connections_are_retried_then_reported(bench, web, product, tmp_path,
                                                       fakesetup_log):
    """Nothing listens: each try is refused; two retries wait 2 and 4 s. A
    refused try leaves no trace at the server, so the tries are timed from
    the start event (sent before the first) to the box (shown after the
    last): 6 s, neither a wait skipped nor one more."""
    web.add_event(EVENT, body_chunks=[10])
    web.clear()
    with closed_port() as port:
        url = "http://127.0.0.1:%d/Setup.exe" % port
        stub = distribution(tmp_path / "install.exe", url, product, "2", event=web.url(EVENT))
        proc = bench.start(stub, env=fakesetup_log.env)
        try:
            box = find_failure_box(bench, TITLE, timeout=60)
            shown = time.monotonic()
            assert box, "no box"
            text = box_text(box)
        finally:
            code, _ = finish(bench, proc)
    assert code == 0
    assert box_code(text) == 12029, text
    start = [r for r in web.requests_for(EVENT) if r.params.get("mode") == "1"]
    assert len(start) == 1
    check_waits([shown - start[0].t_mono], [2 + 4])
    check_nothing_started(bench, product, fakesetup_log)


@pytest.mark.parametrize("text", [b"21", b"5 ", b" 5", b"x", b"-1", b"99999999999"],
                         ids=lambda t: repr(t))
def test_malformed_retries_text_is_a_broken_distribution(bench, web, product, tmp_path,
                                                         fakesetup_log, text):
    web.add_file(SETUP, b"never fetched")
    web.add_event(EVENT, body_chunks=[10])
    web.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, text,
                        event=web.url(EVENT))
    shown = run_to_end(bench, stub, fakesetup_log.env)
    assert box_code(shown) == 1610, shown
    assert settle(lambda: web.requests) == []
    assert not bench.reg_key_exists(rf"HKLM\{product[1]}")


# --- the wait on the screen ----------------------------------------------------

def look(bench, stub, what, check, timeout=20):
    """The run's progress dialog once check holds for it (the copy is told
    by its directory, the test's own)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        w = bench.find_window(cls="#32770", title=TITLE, exe=stub.parent.name, child_id=IDC_STATUS,
                              timeout=1)
        if w and check(w):
            return w
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def countdown(window):
    found = COUNTDOWN.match(child_text(window, IDC_STATUS) or "")
    return int(found.group(1)) if found else None


def test_cancel_during_the_wait_ends_the_run_and_keeps_the_file(bench, web, mirror, product,
                                                                 versions, tmp_path,
                                                                 fakesetup_log):
    """The dialog shows at once with the countdown; a confirmed cancel ends
    the process within a second, with no box, and no second server is
    asked; file and record stay."""
    web.add_file(SETUP, versions[0], cut_after=[100_000], status=[None, 503, 503],
                 retry_after=[None, 30, 30])
    mirror.add_file(FALLBACK, versions[0])
    web.clear()
    mirror.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, "3",
                        fallback=mirror.url(FALLBACK))
    proc = bench.start(stub, env=fakesetup_log.env)
    try:
        # The first wait: 2 s, counted down, the dialog shown though the
        # cut came within its grace period.
        dlg = look(bench, stub, "the countdown from 2",
                   lambda w: w["visible"] and countdown(w) in (1, 2))
        assert child(dlg, IDCANCEL) is not None
        # The 503 asks for 30 s: the countdown follows it.
        # (Above the usual 4 s of the second wait: any second of it may be
        # the one seen on a loaded machine.)
        dlg = look(bench, stub, "the countdown from 30",
                   lambda w: countdown(w) is not None and 4 < countdown(w) <= 30, timeout=30)
        later = look(bench, stub, "the countdown going on",
                     lambda w: countdown(w) is not None and countdown(w) < countdown(dlg))
        assert later["visible"]
        assert bench.post(dlg["hwnd"], WM_COMMAND, IDCANCEL)
        box = look_question(bench, dlg["hwnd"])
        asked = time.monotonic()
        assert bench.click(box["hwnd"], IDYES)
        result = proc.wait(timeout=10)
        assert time.monotonic() - asked < 3, "the run went on after the cancel"
        assert result.code == 0
    finally:
        proc.kill()
        proc.discard_output()
    # No error box came, nothing started, no further request: the 503 to
    # the continuation was the server busy, not a refusal to ask again.
    assert len(settle(lambda: web.requests_for(SETUP))) == 2
    assert settle(lambda: mirror.requests_for(FALLBACK)) == []
    check_nothing_started(bench, product, fakesetup_log)
    # What had reached the disk before the cut stays (bytes still on their
    # way when the server cut may be lost).
    kept = partial(bench, product).read_bytes()
    assert 0 < len(kept) <= 100_000 and kept == versions[0][:len(kept)], len(kept)
    assert bench.reg_values(record_key(product))["Size"][1] == SIZE


def look_question(bench, dialog):
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        box = bench.find_window("#32770", TITLE, owner=dialog, visible=True, timeout=1)
        if box:
            return box
    raise AssertionError("no cancel question")


def test_quiet_mode_waits_without_a_cancel(bench, web, product, versions, tmp_path,
                                           fakesetup_log):
    # The transfer after the wait takes about 6 s, time enough to see its
    # status on a loaded machine.
    web.add_file(SETUP, versions[0], status=[503], retry_after=[4], trickle=(16_384, 0.25))
    web.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, "1", quiet=1)
    proc = bench.start(stub, env=fakesetup_log.env)
    dlg = look(bench, stub, "the countdown",
               lambda w: w["visible"] and countdown(w) is not None and 1 <= countdown(w) <= 4)
    assert child(dlg, IDCANCEL) is None
    # Then the usual text while the transfer runs again.
    look(bench, stub, "the usual status", lambda w: child_text(w, IDC_STATUS) == DOWNLOADING)
    code, text = finish(bench, proc)
    assert (code, text) == (0, None)
    check_started(bench, product, fakesetup_log, versions[0])


# --- FTP -----------------------------------------------------------------------

def busy_once(reply):
    """A reply given to the first such command only; stock handling after."""
    calls = []

    def answer(handler, arg):
        calls.append(arg)
        return reply if len(calls) == 1 else None
    return answer


# The FTP client's code for a server's refusal, whose text it keeps.
FTP_REFUSED = 12003
# More data than the size the server gave: the file changed under the run.
ERROR_INVALID_DATA = 13

# name, TEXT 2011, the server's faults, what each RETR asks for ("all", or
# "rest" of what the transfers before it left), the box's codes (None: started)
FTP_CASES = [
    ("two cuts, two retries", "2", {"cut_after": [100_000, 150_000]}, ["all", "rest", "rest"],
     None),
    ("cuts outnumber retries", "1", {"cut_after": [100_000, 100_000]}, ["all", "rest"], RESET),
    ("a 450 to RETR", "1", {"replies": {"RETR": busy_once("450 Busy, try later.")}},
     ["refused", "all"], None),
    ("a 550 to RETR", "3", {"replies": {"RETR": busy_once("550 No such file.")}}, ["refused"],
     (FTP_REFUSED,)),
    # The reply to the failing command decides, not what closing says after.
    ("a 421 to RETR", "1", {"replies": {"RETR": busy_once("421 Too many users, try later.")}},
     ["refused", "all"], None),
    ("a 421 to SIZE", "1", {"replies": {"SIZE": busy_once("421 Too many users, try later.")}},
     ["all"], None),
    ("a 450 to MDTM", "1", {"replies": {"MDTM": busy_once("450 Busy, try later.")}}, ["all"],
     None),
    # More data than SIZE said: the file grew in between, worth one retry;
    # a SIZE that is always short is not worth more.
    ("a file grown since its SIZE", "3", {"replies": {"SIZE": busy_once(f"213 {SIZE - 1000}")}},
     ["all", "all"], None),
    ("a SIZE always short", "3", {"replies": {"SIZE": f"213 {SIZE - 1000}"}}, ["all", "all"],
     (ERROR_INVALID_DATA,)),
]


@pytest.mark.parametrize("retries, faults, rests, code", [c[1:] for c in FTP_CASES],
                         ids=[c[0] for c in FTP_CASES])
def test_ftp_retries(bench, ftp_clean, ftp_root, product, versions, tmp_path, fakesetup_log,
                     retries, faults, rests, code):
    (ftp_root / "Setup.exe").write_bytes(versions[0])
    ftp_clean.set_faults(**faults)
    stub = distribution(tmp_path / "install.exe", ftp_clean.url("/Setup.exe"), product, retries)

    text = run_to_end(bench, stub, fakesetup_log.env)

    retrs = [c for c in ftp_clean.commands if c.cmd == "RETR"]
    assert len(retrs) == len(rests), ftp_clean.command_names()
    transfers = ftp_clean.wait_for_transfers(rests.count("all") + rests.count("rest"))
    assert len(transfers) == len(rests) - rests.count("refused")
    for before, t, kind in zip([None] + transfers, transfers, [k for k in rests if k != "refused"]):
        if kind == "all":
            assert not t.rest, t
        else:
            assert continues_from(t.rest, before.rest + before.sent), (t, before)
    if code is None:
        assert text is None, text
        check_started(bench, product, fakesetup_log, versions[0])
    else:
        assert box_code(text) in code, text
        check_nothing_started(bench, product, fakesetup_log)


def test_ftp_file_replaced_during_the_wait_is_fetched_whole(bench, ftp_clean, ftp_root, product,
                                                            versions, tmp_path, fakesetup_log):
    path = ftp_root / "Setup.exe"
    path.write_bytes(versions[0])
    os.utime(path, (1_100_000_000, 1_100_000_000))
    ftp_clean.set_faults(cut_after=[150_000])
    stub = distribution(tmp_path / "install.exe", ftp_clean.url("/Setup.exe"), product, "2")
    proc = bench.start(stub, env=fakesetup_log.env)
    first = ftp_clean.wait_for_transfers(1, timeout=30)
    assert first and first[0].outcome == "cut"
    path.write_bytes(versions[1])
    os.utime(path, (1_200_000_000, 1_200_000_000))
    code, text = finish(bench, proc)
    assert (code, text) == (0, None)
    assert "REST" not in settle(ftp_clean.command_names)
    check_started(bench, product, fakesetup_log, versions[1])


# --- the second server ---------------------------------------------------------

FALLBACK = "/mirror/Setup.exe"
STAMPED = 1_150_000_000    # one Last-Modified for both servers' copy of a file


@pytest.fixture(scope="module")
def mirror():
    with FaultServer() as server:
        yield server


# name, TEXT 2011, the first server ("refused", or its options for the setup),
# the second server's options ("other": another version of the file, of
# another date), the requests to the first server, what each request to the
# second asks for ("all"; "rest" of what the first delivered; "range": a
# continuation the other date refuses), the box's code (None: started)
FALLBACK_CASES = [
    ("refused, no retries", None, "refused", {}, 0, ["all"], None),
    ("refused after its retries", "1", "refused", {}, 0, ["all"], None),
    # The record vouches for the second server's copy: it is continued.
    ("cut after its retries", "1", {"cut_after": [100_000, 150_000]}, {}, 2, ["rest"], None),
    ("404 at once", "3", {"status": 404}, {}, 1, ["all"], None),
    ("410 at once", "3", {"status": 410}, {}, 1, ["all"], None),

    # Another file there: fetched whole, and it is the one started.
    ("cut, another file there", "0", {"cut_after": [150_000]}, "other", 1, ["range", "all"],
     None),
    # Both fail: one box, the last failure's.
    ("both fail", "1", {"status": [503, 503]}, {"status": 404}, 2, ["all"], 404),
    ("both fail, the second after its retries", "1", {"status": 404}, {"status": [502, 502]}, 1,
     ["all", "all"], 502),
]


@pytest.mark.parametrize("retries, first, second, n_first, asked, code",
                         [c[1:] for c in FALLBACK_CASES], ids=[c[0] for c in FALLBACK_CASES])
def test_fallback(bench, web, mirror, product, versions, tmp_path, fakesetup_log,
                  retries, first, second, n_first, asked, code):
    refused = contextlib.ExitStack()
    if first == "refused":
        url = "http://127.0.0.1:%d/Setup.exe" % refused.enter_context(closed_port())
    else:
        web.add_file(SETUP, versions[0], last_modified=STAMPED, **first)
        url = web.url(SETUP)
    if second == "other":
        mirror.add_file(FALLBACK, versions[1], last_modified=STAMPED + 86400)
    else:
        mirror.add_file(FALLBACK, versions[0], last_modified=STAMPED, **second)
    web.add_event(EVENT, body_chunks=[10])
    web.clear()
    mirror.clear()
    stub = distribution(tmp_path / "install.exe", url, product, retries, event=web.url(EVENT),
                        fallback=mirror.url(FALLBACK))
    with refused:
        text = run_to_end(bench, stub, fakesetup_log.env)

    firsts = web.requests_for(SETUP)
    assert len(firsts) == n_first, [(r.range, r.status) for r in firsts]
    seconds = mirror.requests_for(FALLBACK)
    assert len(seconds) == len(asked), [(r.range, r.status) for r in seconds]
    for r, kind in zip(seconds, asked):
        if kind == "all":
            assert r.range is None
        elif kind == "range":
            assert r.range is not None
        else:
            kept = firsts[-1].body_start + firsts[-1].body_sent
            found = re.fullmatch(r"bytes=(\d+)-", r.range or "")
            assert found and continues_from(int(found.group(1)), kept), (r.range, kept)
            assert r.body_sent == SIZE - int(found.group(1))
    assert box_code(text) == code, text
    modes = [r.params.get("mode") for r in web.requests_for(EVENT)]
    if first == "refused":
        # A refused try leaves no trace at the server: its retries show as
        # the time from the start event to the second server's request.
        due = sum(2 << n for n in range(int(retries or 0)))
        gap = seconds[0].t_mono - web.requests_for(EVENT)[0].t_mono
        check_waits([gap], [due])
        assert due or gap < 2, f"a wait of {gap:.1f} s without retries"
    if code is None:
        check_started(bench, product, fakesetup_log, versions[1 if second == "other" else 0])
        assert modes == ["1", "0"]
    else:
        check_nothing_started(bench, product, fakesetup_log)
        assert settle(lambda: [r.params.get("mode") for r in web.requests_for(EVENT)]) == ["1"]


# name, TEXT 2011, whether a second server has the file, how many requests
# the server closes before any status line (None: all), the requests to it,
# the box's code (None: started)
NO_STATUS_CASES = [
    ("no retries", None, False, None, 1, NO_STATUS),
    ("retried", "2", False, 2, 3, None),
    ("retries spent", "1", False, None, 2, NO_STATUS),
    ("second server", None, True, None, 1, None),
    ("second server after the retries", "1", True, None, 2, None),
]


@pytest.mark.parametrize("retries, second, closes, n_first, code",
                         [c[1:] for c in NO_STATUS_CASES], ids=[c[0] for c in NO_STATUS_CASES])
def test_a_close_before_any_status_line_is_a_broken_connection(bench, web, mirror, product,
                                                               versions, tmp_path, fakesetup_log,
                                                               retries, second, closes, n_first,
                                                               code):
    """Retried and fallen back from like a reset, and told as the client's
    error, never as an HTTP status. (No ping here: the client sends a request
    again by itself when a connection it reused closes.)"""
    web.add_file(SETUP, versions[0], no_status=True if closes is None else [True] * closes)
    mirror.add_file(FALLBACK, versions[0])
    web.clear()
    mirror.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, retries,
                        fallback=mirror.url(FALLBACK) if second else None)

    text = run_to_end(bench, stub, fakesetup_log.env)

    requests = web.requests_for(SETUP)
    assert len(requests) == n_first, [(r.range, r.status) for r in requests]
    assert all(r.range is None for r in requests)
    gaps = [b.t_mono - a.t_mono for a, b in zip(requests, requests[1:])]
    check_waits(gaps, [2, 4][:len(gaps)])
    assert [r.range for r in mirror.requests_for(FALLBACK)] == ([None] if second else [])
    if code is None:
        assert text is None, text
        check_started(bench, product, fakesetup_log, versions[0])
    else:
        assert box_code(text) in code and "HTTP status" not in text, text
        check_nothing_started(bench, product, fakesetup_log)


def test_a_header_too_long_for_its_buffer_is_the_servers_failure(bench, web, mirror, product,
                                                                  versions, tmp_path,
                                                                  fakesetup_log):
    """A Last-Modified of 40 characters is a bad header (12153), a failure
    of the server: the second server is asked and its file started."""
    web.add_file(SETUP, versions[0],
                 last_modified="Sun, 06 Nov 2005 08:49:37 GMT xxxxxxxxxx")
    mirror.add_file(FALLBACK, versions[0], last_modified=STAMPED)
    web.clear()
    mirror.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product,
                        fallback=mirror.url(FALLBACK))
    assert run_to_end(bench, stub, fakesetup_log.env) is None
    assert len(web.requests_for(SETUP)) == 1
    assert [r.range for r in mirror.requests_for(FALLBACK)] == [None]
    check_started(bench, product, fakesetup_log, versions[0])
    # Alone, the run names the bad header.
    web.clear()
    alone = distribution(tmp_path / "alone.exe", web.url(SETUP), product)
    assert box_code(run_to_end(bench, alone, fakesetup_log.env)) == 12153


def test_ftp_second_server_continues_what_the_first_left(bench, web, ftp_clean, ftp_root,
                                                         product, versions, tmp_path,
                                                         fakesetup_log):
    """An HTTP server cut, an FTP mirror of the same file (same date, same
    size): the mirror is asked for the rest only."""
    path = ftp_root / "Setup.exe"
    path.write_bytes(versions[0])
    os.utime(path, (STAMPED, STAMPED))
    web.add_file(SETUP, versions[0], last_modified=STAMPED, cut_after=[150_000])
    web.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product,
                        fallback=ftp_clean.url("/Setup.exe"))
    assert run_to_end(bench, stub, fakesetup_log.env) is None
    transfers = ftp_clean.wait_for_transfers(1)
    assert len(transfers) == 1
    first = web.requests_for(SETUP)[0]
    assert continues_from(transfers[0].rest, first.body_sent), (transfers[0], first.body_sent)
    check_started(bench, product, fakesetup_log, versions[0])


def test_no_fallback_after_a_local_failure_or_a_pin_mismatch(bench, web, mirror, product,
                                                             versions, tmp_path, fakesetup_log):
    """A write that fails as on a full disk, and a file that fails its pin
    twice: the box names them, the second server is never asked."""
    import hashlib
    web.add_file(SETUP, versions[0])
    mirror.add_file(FALLBACK, versions[0])
    web.clear()
    mirror.clear()
    stub = distribution(tmp_path / "install.exe", web.url(SETUP), product, "2",
                        fallback=mirror.url(FALLBACK))
    text = run_to_end(bench, stub, fakesetup_log.env, file_size_limit=SIZE // 2)
    assert box_code(text) == DISK_FULL, text
    assert len(settle(lambda: web.requests_for(SETUP))) == 1
    assert settle(lambda: mirror.requests_for(FALLBACK)) == []
    # What was written stays for the next run, which has the room.
    assert 0 < partial(bench, product).stat().st_size <= SIZE // 2
    pinned = distribution(tmp_path / "pinned.exe", web.url(SETUP), product, "2",
                          pin=hashlib.sha256(versions[1]).hexdigest(), fallback=mirror.url(FALLBACK))
    web.clear()
    assert box_code(run_to_end(bench, pinned, fakesetup_log.env)) == 577
    assert len(settle(lambda: web.requests_for(SETUP))) == 2
    assert settle(lambda: mirror.requests_for(FALLBACK)) == []
    check_nothing_started(bench, product, fakesetup_log)
