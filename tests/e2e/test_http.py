"""HTTP download with resume across runs, the resume record it keeps, and the
name the client gives itself.

The real transfer code runs under Wine through stubdriver.exe, against
Debian's nginx for what a real server does (whole files, byte ranges, 416 for
a range past the end) and against the scripted FaultServer for what a real
server will not do on demand. Each test has its own output file and its own
registry key, so the resume records of different tests never meet.
"""

import os
import threading
import time

import pytest

from servers import FaultServer, FtpServer, Nginx
from winehelp import (BIG, GiB, RESUME_OVERLAP, assert_big_file, TransferDriver, big_file,
                      closed_port, resume_range, run_driver, sparse_file)

DATA = bytes((i * 7 + i // 256) & 0xFF for i in range(300_000))
SIZE = len(DATA)
KEEP = 123_457                      # bytes a broken earlier run leaves behind
FILE_MTIME = 1_100_000_000          # 2004-11-09 11:33:20 GMT
LM = 1_000_000_000 - 35             # 2001-09-09 01:46:05 GMT: 54 s left in its minute
PRODUCT = "HTTPT42"
REG_ROOT = r"Software\HttpTest"
HIDDEN = 0x2
SYSTEM = 0x4
NO_FILE = 0xFFFFFFFF

ERROR_PATH_NOT_FOUND = 3
ERROR_INTERNET_CANNOT_CONNECT = 12029
ERROR_INTERNET_CONNECTION_RESET = 12031
ERROR_HTTP_HEADER_NOT_FOUND = 12150
ERROR_HTTP_INVALID_HEADER = 12153

NONE_OPEN = ("none", "none", "none")


def identity(epoch, size=SIZE):
    """The resume record of a file: Date and Time of its modification time
    (seconds dropped) and its size."""
    tm = time.gmtime(epoch)
    return {"Date": tm.tm_year * 10000 + tm.tm_mon * 100 + tm.tm_mday,
            "Time": 10000 + tm.tm_hour * 100 + tm.tm_min, "Size": size}


def stored(drive, name, epoch, size=SIZE):
    """The record a transfer of `name` stores for the file of that
    modification time and size: its identity and the output file's name."""
    return {**identity(epoch, size), "File": drive.win_file(name)}


def handles(out):
    return out["internetHandle"], out["requestHandle"], out["fileHandle"]


# --- servers ----------------------------------------------------------------

class ScriptedServer(FaultServer):
    """The FaultServer, with replies to a path that differ request by request.

    script(path, step, step, ...): the n-th request to path after the call is
    answered as step n says: None serves the file as configured; a dict
    overrides the file's options for that one reply; {"redirect": url} answers
    302 with that Location; {"empty_206": True} answers 206 with the file's
    Last-Modified, Content-Length 0 and no Content-Range. Requests beyond the
    list are served as configured.
    It steps in at FaultServer._send_file, whose arguments it passes on.
    """

    def __init__(self):
        super().__init__()
        self._steps = {}
        self._steps_lock = threading.Lock()

    def script(self, path, *steps):
        with self._steps_lock:
            self._steps[path] = [list(steps), 0]

    def _send_file(self, h, rec, index, data, version, lm, opts):
        step = None
        with self._steps_lock:
            entry = self._steps.get(rec.path)
            if entry is not None:
                steps, n = entry
                entry[1] += 1
                step = steps[n] if n < len(steps) else None
        if step and "redirect" in step:
            self._send_status(h, rec, 302, [("Location", step["redirect"])])
            return
        if step and step.get("empty_206"):
            h.send_response(206)
            h.send_header("Last-Modified", lm)
            h.send_header("Content-Length", "0")
            h.end_headers()
            rec.status, rec.file_version, rec.outcome = 206, version, "complete"
            return
        if step:
            opts = dict(opts, **step)
        super()._send_file(h, rec, index, data, version, lm, opts)


@pytest.fixture(scope="module")
def fault():
    with ScriptedServer() as server:
        yield server


@pytest.fixture(scope="module")
def web(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    path = root / "setup.exe"
    path.write_bytes(DATA)
    os.utime(path, (FILE_MTIME, FILE_MTIME))
    with Nginx(str(root)) as server:
        yield server


def fault_file(fault, name, data=DATA, last_modified=LM, **options):
    """A file of this test alone on the FaultServer; its path."""
    path = "/" + name + ".exe"
    fault.add_file(path, data, last_modified=last_modified, **options)
    return path


def exchanges(requests):
    """(Range header, status) of each request."""
    return [(r.range, r.status) for r in requests]


# --- the driver ---------------------------------------------------------------

@pytest.fixture(scope="module")
def drive(bench, tmp_path_factory):
    bench.reg_delete(rf"HKLM\{REG_ROOT}")
    yield TransferDriver(bench, tmp_path_factory.mktemp("httpout"), REG_ROOT, PRODUCT)
    bench.reg_delete(rf"HKLM\{REG_ROOT}")


def assert_complete(drive, name, out, base):
    """A transfer that fetched the whole file; `base` bytes were kept from before."""
    assert (out["result"], out["errorCode"], out["stopRequested"]) == (1, 0, 0), out
    assert handles(out) == NONE_OPEN, out
    assert (out["totalBytes"], out["doneBytes"], out["baseBytes"]) == (SIZE, SIZE, base), out
    # The counters at the first report: doneBytes is not set to the kept size
    # beforehand, it jumps from 0 to above it with the first chunk.
    assert out["firstBase"] == base and out["firstTotal"] == SIZE, out
    # A file kept whole has nothing more to write: only its overlap came.
    assert base < out["firstDone"] <= SIZE or base == out["firstDone"] == SIZE, out
    assert drive.file(name).read_bytes() == DATA
    assert out["attributes"] & HIDDEN, out


# --- against nginx --------------------------------------------------------------

def restart(kept):
    return [(resume_range(kept), 206), (None, 200)]


# name, bytes kept from an earlier complete run (None: no file), change to the
# record before the run, resume flag, exchanges expected, bytes taken as kept
NGINX_CASES = [
    ("fresh", None, None, 1, [(None, 200)], 0),
    ("resume", KEEP, None, 1, [(resume_range(KEEP), 206)], KEEP),
    # A complete partial file: only the overlap is fetched, to prove it.
    ("complete", SIZE, None, 1, [(resume_range(SIZE), 206)], SIZE),
    ("no-record", KEEP, "delete", 1, restart(KEEP), 0),
    ("date-0", KEEP, {"Date": 0}, 1, restart(KEEP), 0),
    ("time-0", KEEP, {"Time": 0}, 1, restart(KEEP), 0),
    ("size-0", KEEP, {"Size": 0}, 1, restart(KEEP), 0),
    ("size-other", KEEP, {"Size": SIZE + 1}, 1, restart(KEEP), 0),
    # resume = 0: the file is emptied, no range is asked for, and the values
    # of another file are replaced.
    ("resume-off", KEEP, {"Date": 19990101, "Time": 10000, "Size": 1}, 0, [(None, 200)], 0),
]


@pytest.mark.parametrize("name, kept, change, resume, expected, base", NGINX_CASES,
                         ids=[c[0] for c in NGINX_CASES])
def test_nginx_download_and_resume(drive, web, name, kept, change, resume, expected, base):
    name = "nginx-" + name
    drive.file(name).unlink(missing_ok=True)
    if kept is not None:
        # What an earlier run left: its record, and the first `kept` bytes.
        assert_complete(drive, name, drive.transfer(name, web.url("/setup.exe")), 0)
        with open(drive.file(name), "r+b") as f:
            f.truncate(kept)
    if change == "delete":
        drive.forget(name)
    elif change:
        drive.set_record(name, **change)
    logged = len(web.access_log())

    out = drive.transfer(name, web.url("/setup.exe"), "--resume", resume)

    entries = web.access_log(wait_for=logged + len(expected))[logged:]
    assert [(e.range, e.status) for e in entries] == expected
    assert {e.path for e in entries} == {"/setup.exe"}
    assert_complete(drive, name, out, base)
    assert drive.record(name) == stored(drive, name, FILE_MTIME)


def test_a_fresh_start_replaces_the_hidden_file_under_nts_rule(drive, fault):
    """NT refuses to replace a hidden file by a creation that does not ask
    for the hidden attribute too (Wine does not; the driver keeps the rule).
    A run that starts from zero (no resume, as the pin's second download)
    must still replace the hidden partial file an earlier run left."""
    name = "nt-hidden-rule"
    path = fault_file(fault, name)
    drive.file(name).unlink(missing_ok=True)
    assert_complete(drive, name, drive.transfer(name, fault.url(path)), 0)
    with open(drive.file(name), "r+b") as f:
        f.truncate(KEEP)

    out = drive.transfer(name, fault.url(path), "--resume", 0, "--nt-hidden-rule")

    assert exchanges(fault.requests_for(path)[1:]) == [(None, 200)]
    assert_complete(drive, name, out, 0)


# --- Last-Modified, ignored ranges and broken bodies (FaultServer) ---------------

def leave_partial(drive, fault, name, keep=KEEP, **options):
    """A partial download as a broken earlier run leaves it: the connection is
    reset after `keep` bytes of body. Returns (path, bytes kept); the record
    names the file."""
    path = fault_file(fault, name, cut_after=[keep], **options)
    drive.file(name).unlink(missing_ok=True)
    out = drive.transfer(name, fault.url(path))
    kept = drive.file(name).stat().st_size
    assert out["result"] == 0 and out["doneBytes"] == kept and 0 < kept <= keep, out
    assert drive.file(name).read_bytes() == DATA[:kept]
    return path, kept


# name, new Last-Modified, resumed
LM_CASES = [
    ("lm-same", LM, True),
    ("lm-seconds", LM + 50, True),             # 01:46:55, the same minute
    ("lm-next-minute", LM + 58, False),        # 01:47:03: under a minute later, another minute
    ("lm-minute", LM + 60, False),
    ("lm-day", LM + 86400, False),             # same time of day, another date
]


@pytest.mark.parametrize("name, new_lm, resumed", LM_CASES, ids=[c[0] for c in LM_CASES])
def test_last_modified_decides_resume(drive, fault, name, new_lm, resumed):
    path, kept = leave_partial(drive, fault, name)
    fault.replace_file(path, last_modified=new_lm)

    out = drive.transfer(name, fault.url(path))

    got = exchanges(fault.requests_for(path)[1:])
    assert got == ([(resume_range(kept), 206)] if resumed else restart(kept))
    assert_complete(drive, name, out, kept if resumed else 0)
    # The identity of the first reply of this run is stored.
    assert drive.record(name) == stored(drive, name, new_lm)


def test_ignored_range_restarts_with_a_second_request(drive, fault):
    name = "ignore-range"
    path, kept = leave_partial(drive, fault, name)
    fault.set_options(path, ignore_range=True)

    out = drive.transfer(name, fault.url(path))

    requests = fault.requests_for(path)[1:]
    assert exchanges(requests) == [(resume_range(kept), 200), (None, 200)]
    assert requests[0].body_start == 0       # the whole file was offered
    assert_complete(drive, name, out, 0)
    # The size of the whole file, not the kept bytes plus the whole file.
    assert drive.record(name) == stored(drive, name, LM)


# name, options of the broken run, driver options, errorCode expected (None:
# any code but 0)
BODY_CASES = [
    ("cut", {"cut_after": [KEEP]}, (), None),                      # reset: a failed read
    ("short", {"short_body": [KEEP]}, (), ERROR_INTERNET_CONNECTION_RESET),   # early end
    ("cancel", {"trickle": (4096, 0.005)}, ("--cancel-at", 20_000), 0),
]


@pytest.mark.parametrize("name, options, args, code", BODY_CASES, ids=[c[0] for c in BODY_CASES])
def test_broken_body_leaves_a_prefix_for_the_next_run(drive, fault, name, options, args, code):
    name = "body-" + name
    path = fault_file(fault, name, **options)
    drive.file(name).unlink(missing_ok=True)

    out = drive.transfer(name, fault.url(path), *args)

    assert out["result"] == 0 and handles(out) == NONE_OPEN, out
    if code is None:
        assert out["errorCode"] != 0, out
    else:
        assert out["errorCode"] == code, out
    assert out["stopRequested"] == (1 if name == "body-cancel" else 0), out
    kept = drive.file(name).stat().st_size
    # No gaps and no filler: the file is what the server sent, from its start.
    assert drive.file(name).read_bytes() == DATA[:kept]
    assert out["doneBytes"] == kept and out["totalBytes"] == SIZE and out["baseBytes"] == 0, out
    if name == "body-cancel":
        assert 20_000 <= kept < SIZE, out
    else:
        assert 0 < kept <= KEEP, out
    if name == "body-short":
        assert kept == KEEP
    assert drive.record(name) == stored(drive, name, LM)

    # The next run continues from exactly what is on disk.
    fault.set_options(path, cut_after=None, short_body=None, trickle=None)
    out = drive.transfer(name, fault.url(path))
    assert exchanges(fault.requests_for(path)[1:]) == [(resume_range(kept), 206)]
    assert_complete(drive, name, out, kept)
    assert drive.record(name) == stored(drive, name, LM)


@pytest.mark.parametrize("rules", ["nt", "win95"])
def test_file_whose_record_cannot_be_stored_is_not_continued(drive, fault, rules):
    """Where the user may only read the record (a limited user on NT), the
    run marks its output file (system attribute) before the body comes, so
    that no later run continues it, even one whose record names this file
    and this server file; the next run empties it and clears the mark. Where
    the attributes of a file open without sharing cannot be changed (the
    Windows 95 family) they still end up right."""
    name = "unrecorded-" + rules
    options = ["--win95-attributes"] if rules == "win95" else []
    path, kept = leave_partial(drive, fault, name)
    key = drive.regkey(name) + r"\Install\00010000"
    assert run_driver(drive.bench, "regkey-access", key, "read")["result"] == 1
    try:
        # Ended by a plain close, so the reply's head is surely read first.
        fault.set_options(path, cut_after=None, short_body=[20_000])
        out = drive.transfer(name, fault.url(path), *options)
    finally:
        run_driver(drive.bench, "regkey-access", key, "full")
    assert exchanges(fault.requests_for(path)[1:]) == [(resume_range(kept), 206)]
    assert out["result"] == 0 and out["attributes"] & (HIDDEN | SYSTEM) == HIDDEN | SYSTEM, out
    grown = drive.file(name).read_bytes()
    assert kept < len(grown) and grown == DATA[:len(grown)]
    assert drive.record(name) == stored(drive, name, LM)
    fault.set_options(path, short_body=None)

    out = drive.transfer(name, fault.url(path), *options)

    assert exchanges(fault.requests_for(path)[2:]) == [(None, 200)]
    assert_complete(drive, name, out, 0)
    assert not out["attributes"] & SYSTEM, out
    assert drive.record(name) == stored(drive, name, LM)


# --- failures of the reply ------------------------------------------------------

def test_no_content_length_fails_before_anything_is_written_to_a_new_file(drive, fault):
    name = "chunked-new"
    path = fault_file(fault, name, chunked=True)
    drive.file(name).unlink(missing_ok=True)

    out = drive.transfer(name, fault.url(path))

    assert (out["result"], out["errorCode"]) == (0, ERROR_HTTP_HEADER_NOT_FOUND), out
    assert handles(out) == ("none", "none", "open"), out
    assert drive.file(name).stat().st_size == 0
    assert drive.record(name) is None


# (id, file options, driver options): a header failure, after which the
# request went with its session; a cancel that cuts the session between the
# request's open and its store, so the session's close took the request along.
ONE_CLOSE_CASES = [
    ("no Content-Length", {"chunked": True}, []),
    ("no Last-Modified", {"last_modified": None}, []),
    ("cut between open and store", {}, ["--cut-after-open"]),
]


@pytest.mark.parametrize("options, args", [c[1:] for c in ONE_CLOSE_CASES],
                         ids=[c[0] for c in ONE_CLOSE_CASES])
def test_every_internet_handle_is_closed_once(drive, fault, options, args):
    name = "once-" + "-".join(sorted(options)) + "-".join(args)
    path = fault_file(fault, name, **options)
    drive.file(name).unlink(missing_ok=True)

    # The driver closes what the fields name, as the run's end does, and
    # counts closes of a handle already gone.
    out = drive.transfer(name, fault.url(path), *args)

    assert out["result"] == 0 and handles(out)[:2] == ("none", "none"), out
    assert out["closedTwice"] == 0, out
    assert out["stopRequested"] == (1 if args else 0), out


# name, change to the file after the partial run, errorCode, handles left open.
# A refusing status or a bad header to the range is asked again without one,
# and fails the same way; a busy server's (500) fails at once. None costs the
# kept bytes.
FIRST_REPLY_CASES = [
    ("chunked", {"chunked": True}, ERROR_HTTP_HEADER_NOT_FOUND, ("none", "none", "open")),
    ("no-last-modified", {"last_modified": None}, ERROR_HTTP_HEADER_NOT_FOUND,
     ("none", "none", "open")),
    ("404", {"status": 404}, 404, ("none", "none", "open")),
    ("500", {"status": 500}, 500, ("none", "none", "open")),
]


@pytest.mark.parametrize("name, change, code, left_open", FIRST_REPLY_CASES,
                         ids=[c[0] for c in FIRST_REPLY_CASES])
def test_failed_first_reply_leaves_the_partial_file_as_it_was(drive, fault, name, change, code,
                                                              left_open):
    name = "first-" + name
    path, kept = leave_partial(drive, fault, name)
    fault.replace_file(path, **change)

    out = drive.transfer(name, fault.url(path))

    assert exchanges(fault.requests_for(path)[1:]) == (
        [(resume_range(kept), code)] + ([(None, code)] if code == 404 else []) if code < 1000
        else [(resume_range(kept), 206), (None, 200)])
    assert (out["result"], out["errorCode"]) == (0, code), out
    assert handles(out) == left_open, out
    assert out["totalBytes"] == out["doneBytes"] == out["baseBytes"] == 0, out
    assert drive.file(name).read_bytes() == DATA[:kept]
    assert drive.record(name) == stored(drive, name, LM)


# name, what the earlier run left ("complete": the whole file, and the range
# gets 416; "other": a partial file of an older version, so the first reply
# fails the resume test), the second reply, errorCode, handles left open
SECOND_REPLY_CASES = [
    ("416-then-416", "complete", {"status": 416}, 416, ("none", "none", "open")),
    ("416-then-500", "complete", {"status": 500}, 500, ("none", "none", "open")),
    ("416-then-chunked", "complete", {"chunked": True}, ERROR_HTTP_HEADER_NOT_FOUND,
     ("none", "none", "open")),
    ("416-then-unreachable", "complete", "dead", ERROR_INTERNET_CANNOT_CONNECT,
     ("none", "none", "open")),
    ("restart-then-416", "other", {"status": 416}, 416, ("none", "none", "open")),
    ("restart-then-404", "other", {"status": 404}, 404, ("none", "none", "open")),
    ("restart-then-chunked", "other", {"chunked": True}, ERROR_HTTP_HEADER_NOT_FOUND,
     ("none", "none", "open")),
    ("restart-then-unreachable", "other", "dead", ERROR_INTERNET_CANNOT_CONNECT,
     ("none", "none", "open")),
]


@pytest.mark.parametrize("name, left, second, code, left_open", SECOND_REPLY_CASES,
                         ids=[c[0] for c in SECOND_REPLY_CASES])
def test_failed_second_reply_keeps_the_file(drive, fault, name, left, second, code, left_open):
    """Only a second reply that carries the file costs the kept bytes: one
    that fails leaves them, and the record, for the next run."""
    path = fault_file(fault, name)
    drive.file(name).unlink(missing_ok=True)
    assert_complete(drive, name, drive.transfer(name, fault.url(path)), 0)
    if left == "other":
        with open(drive.file(name), "r+b") as f:
            f.truncate(KEEP)
        fault.replace_file(path, last_modified=LM + 86400)
        first, step = (resume_range(KEEP), 206), None
    else:
        first, step = (resume_range(SIZE), 416), {"range_status": 416}
    kept = drive.file(name).read_bytes()
    with closed_port() as port:
        if second == "dead":
            # The client follows the redirect inside the call that opens the
            # URL; the port it names refuses connections.
            second = {"redirect": "http://127.0.0.1:%d/setup.exe" % port}
            status = 302
        else:
            status = second.get("status", 200)
        fault.script(path, step, second)

        out = drive.transfer(name, fault.url(path))

    assert exchanges(fault.requests_for(path)[1:]) == [first, (None, status)]
    assert (out["result"], out["errorCode"]) == (0, code), out
    assert handles(out) == left_open, out
    assert out["totalBytes"] == out["doneBytes"] == out["baseBytes"] == 0, out
    assert drive.file(name).read_bytes() == kept
    # Nothing was stored: the record still names the file of the earlier run.
    assert drive.record(name) == stored(drive, name, LM)


# --- exits before the first reply, and the empty body ------------------------------

def test_output_file_in_a_missing_directory(drive, fault):
    name = "no-dir"
    path = fault_file(fault, name)
    win_file = drive.bench.to_windows(drive.out_dir) + "\\missing\\setup.exe"

    out = drive.transfer(name, fault.url(path), win_file=win_file)

    assert (out["result"], out["errorCode"]) == (0, ERROR_PATH_NOT_FOUND), out
    # The session stays for the run sequence to close; the file field holds
    # the invalid-handle value.
    assert handles(out) == ("open", "none", "invalid"), out
    assert out["attributes"] == NO_FILE
    assert fault.requests_for(path) == []
    assert drive.record(name) is None


def test_server_that_cannot_be_reached(drive):
    name = "unreachable"
    drive.file(name).unlink(missing_ok=True)

    with closed_port() as port:
        out = drive.transfer(name, "http://127.0.0.1:%d/setup.exe" % port)

    assert (out["result"], out["errorCode"]) == (0, ERROR_INTERNET_CANNOT_CONNECT), out
    assert handles(out) == ("none", "none", "open"), out
    assert drive.file(name).stat().st_size == 0
    assert drive.record(name) is None


def test_empty_file_is_refused(drive, fault):
    """A whole file of 0 bytes is no setup: refused as a bad header before
    anything is stored."""
    name = "empty"
    path = fault_file(fault, name, data=b"")
    drive.file(name).unlink(missing_ok=True)

    out = drive.transfer(name, fault.url(path))

    assert (out["result"], out["errorCode"]) == (0, ERROR_HTTP_INVALID_HEADER), out
    assert handles(out) == ("none", "none", "open"), out
    assert out["totalBytes"] == out["doneBytes"] == out["reports"] == 0, out
    assert drive.file(name).stat().st_size == 0
    assert drive.record(name) is None


# name, the server's reply to the range (None: honest), the exchanges, the
# bytes taken as kept
WHOLE_KEPT_CASES = [
    # The kept bytes are the whole file: the overlap proves them, nothing is
    # written, and the counters say the download is complete.
    ("honest", None, [(resume_range(SIZE), 206)], SIZE),
    # A 206 of length 0 (no Content-Range to say otherwise) names no place
    # in the file: the whole file is asked for.
    ("empty-206", {"empty_206": True}, [(resume_range(SIZE), 206), (None, 200)], 0),
]


@pytest.mark.parametrize("name, reply, expected, base", WHOLE_KEPT_CASES,
                         ids=[c[0] for c in WHOLE_KEPT_CASES])
def test_whole_file_kept(drive, fault, name, reply, expected, base):
    name = "whole-kept-" + name
    path = fault_file(fault, name)
    drive.file(name).unlink(missing_ok=True)
    assert_complete(drive, name, drive.transfer(name, fault.url(path)), 0)
    fault.script(path, reply)

    out = drive.transfer(name, fault.url(path))

    requests = fault.requests_for(path)[1:]
    assert exchanges(requests) == expected
    if base:
        assert requests[0].body_sent == RESUME_OVERLAP
    assert_complete(drive, name, out, base)
    assert drive.record(name) == stored(drive, name, LM)


# --- kept files of 2 GiB and more ----------------------------------------------------



@pytest.fixture(scope="module")
def big_path(web):
    """The big file on nginx: its first 64 KB and the part from BIG_FROM on
    are not zero."""
    path = os.path.join(web.root_dir, "big.exe")
    big_file(path)
    os.utime(path, (FILE_MTIME, FILE_MTIME))
    yield "/big.exe"
    os.unlink(path)


# name, the server's file, the kept file's size, driver options, exchanges,
# result and errorCode
KEPT_FILE_CASES = [
    # The rest of a file past 2 GiB goes behind the kept bytes, not over the
    # start of the file: the position is set with its high word.
    ("2gib-and-more", "big", 2 * GiB + 100_000, (), [(resume_range(2 * GiB + 100_000), 206)],
     (1, 0)),
    # Sizes stop below 4 GiB: such a file is no partial download, its low
    # word would name a wrong place. It is emptied and the file fetched whole.
    ("4gib-and-more", "small", 4 * GiB + KEEP, (), [(None, 200)], (1, 0)),
    # A position that cannot be set fails with the system's code before
    # anything is asked for.
    ("seek-fails", "small", KEEP, ("--fail-seek", 131), [], (0, 131)),
]


@pytest.mark.parametrize("name, server_file, kept, options, expected, outcome", KEPT_FILE_CASES,
                         ids=[c[0] for c in KEPT_FILE_CASES])
def test_kept_file_past_2_gib(drive, web, big_path, name, server_file, kept, options, expected,
                              outcome):
    name = "kept-" + name
    path, size = (big_path, BIG) if server_file == "big" else ("/setup.exe", SIZE)
    if server_file == "big":
        big_file(drive.file(name), kept)
    else:
        sparse_file(drive.file(name), kept, [(0, DATA[:KEEP])])
    drive.set_record(name, **stored(drive, name, FILE_MTIME, size))
    logged = len(web.access_log())

    out = drive.transfer(name, web.url(path), *options)

    entries = web.access_log(wait_for=logged + len(expected))[logged:]
    assert [(e.range, e.status) for e in entries] == expected
    assert (out["result"], out["errorCode"]) == outcome, out
    if outcome[0] == 0:
        # The session and the file stay for the run sequence to close.
        assert handles(out) == ("open", "none", "open"), out
        assert drive.file(name).read_bytes() == DATA[:KEEP]
    elif server_file == "big":
        assert_big_file(drive.file(name), out, kept)
    else:
        assert_complete(drive, name, out, 0)
    drive.file(name).unlink()


# --- the client's name -------------------------------------------------------------

OS_CASES = [
    ("win95", "Windows 95", 1),
    ("win98", "Windows 98", 3),
    ("winme", "Windows ME", 2),
    ("nt40", "Windows NT 4.0", 6),
    ("win2k", "Windows 2000", 8),
    ("winxp", "Windows XP", 9),
    ("win2003", "Windows 2003 Server", 10),
    # Later versions are named by their minor version alone: 6.1 and 6.2.
    ("win7", "Windows XP", 9),
    ("win8", "Windows 2003 Server", 10),
]


@pytest.fixture
def win_version(bench):
    """Sets the Windows version stubdriver.exe sees; back to the default after."""
    yield lambda version: bench.set_win_version("stubdriver.exe", version)
    bench.set_win_version("stubdriver.exe", None)


@pytest.mark.parametrize("version, os_name, os_kind", OS_CASES, ids=[c[0] for c in OS_CASES])
def test_server_sees_product_and_windows_version(drive, fault, win_version, version, os_name,
                                                 os_kind):
    win_version(version)
    name = "agent-" + version
    path = fault_file(fault, name, data=DATA[:1000])
    drive.file(name).unlink(missing_ok=True)

    out = drive.transfer(name, fault.url(path))

    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert [r.user_agent for r in fault.requests_for(path)] == [f"{PRODUCT} ({os_name})"]
    # A second and a third call give the pointer of the first.
    assert run_driver(drive.bench, "agent", "--product", PRODUCT) == {
        "agent": f"{PRODUCT} ({os_name})", "samePointer": 1, "osKind": os_kind}


# --- the session every transfer and ping opens ----------------------------------

PRECONFIG_NO_AUTOPROXY, PRECONFIG = 4, 0


@pytest.mark.parametrize("kind", ["http", "ftp", "event"])
@pytest.mark.parametrize("client", ["current", "old"])
def test_session_falls_back_to_preconfigured_on_an_older_client(drive, fault, tmp_path, kind,
                                                                client):
    """Every session asks for the system's settings without proxy detection;
    a client that refuses that access type as a bad parameter (before
    Internet Explorer 5) gets the plain preconfigured type, and the transfer
    or ping goes on as before."""
    name = f"open-{kind}-{client}"
    options = ["--old-client"] if client == "old" else []
    if kind == "ftp":
        (tmp_path / "setup.exe").write_bytes(DATA)
        with FtpServer(str(tmp_path)) as ftp:
            out = drive.transfer(name, ftp.url("/setup.exe"), *options)
    elif kind == "http":
        path = fault_file(fault, name)
        out = drive.transfer(name, fault.url(path), *options)
        # The second session still names the client.
        assert [r.user_agent[:len(PRODUCT) + 2] for r in fault.requests_for(path)] == \
            [PRODUCT + " ("]
    else:
        path = "/" + name + ".php"
        fault.add_event(path)
        out = run_driver(drive.bench, "event", fault.url(path), "c", 1, "--product", PRODUCT,
                         *options)
        assert [(r.target, r.user_agent[:len(PRODUCT) + 2]) for r in fault.requests_for(path)] \
            == [(path + "?camp=c&mode=1", PRODUCT + " (")]
    assert out["result"] == 1, out
    if kind != "event":
        assert out["errorCode"] == 0 and drive.file(name).read_bytes() == DATA, out
    assert out["openTypes"] == ([PRECONFIG_NO_AUTOPROXY] if client == "current"
                                else [PRECONFIG_NO_AUTOPROXY, PRECONFIG]), out


def test_a_large_ping_reply_is_read_into_a_fixed_buffer(drive, fault):
    """A ping's reply is read to its end and dropped: one of 24 MB leaves the
    process's peak of memory where one of 10 bytes leaves it."""
    fault.add_event("/small.php", body_chunks=[10])
    fault.add_event("/large.php", body_chunks=[24 * 2**20])
    small = run_driver(drive.bench, "event", fault.url("/small.php"), "c", 1, "--product", PRODUCT)
    large = run_driver(drive.bench, "event", fault.url("/large.php"), "c", 1, "--product", PRODUCT)
    assert small["result"] == large["result"] == 1, (small, large)
    [seen] = fault.wait_for_requests(1, "/large.php")
    assert seen.outcome == "complete" and seen.body_sent == 24 * 2**20, seen
    assert small["peakBytes"] > 0, small
    assert large["peakBytes"] - small["peakBytes"] < 2**20, (small, large)
