"""Never start a spliced or foreign file: the real install.exe against
servers that answer a continuation wrongly, partial files that the resume
record was not written for, and a record that cannot be stored.

Each case puts down what an earlier run left (the hidden partial file in the
temporary directory and the resume record), runs the stamped install.exe to
its end and checks what the server was asked, the error box's code, the
bytes left on disk, the record, and what was started: nothing, or a file
byte for byte the server's. Without the rules these cases test, each of the
faulty replies below ends with a launched file made of two downloads, of
two files, or of an error page.
"""

import os
import random
import re
import time
from pathlib import Path

import pytest

from servers import REST_REFUSED, RETR_REFUSED, FaultServer, FtpServer
from winehelp import (RESUME_OVERLAP, box_code, helper_exe, resume_from, resume_range,
                      run_driver, run_to_end, settle, sparse_file, stamp)

TITLE = "Continuation Setup"
NUMBER = 13
SIZE = 300_000
KEEP = 123_457                      # bytes an earlier run left
FROM = resume_from(KEEP)            # where a continuation of them starts (the overlap)
RANGE = resume_range(KEEP)
WHOLE_RANGE = resume_range(SIZE)    # all of the file kept
# A connection cut under the client: the client's code, or the socket's that
# its reads pass on.
RESET = (12031, 10054)
TIME = {"A": 1_100_000_000, "B": 1_200_000_000}   # modification times of the versions


@pytest.fixture(scope="module")
def versions():
    """Two versions of the setup, the fake setup padded to one length with
    different bytes: a file made of both still starts and says so."""
    program = helper_exe("fakesetup.exe").read_bytes()
    rng = random.Random(13)
    return {v: program + rng.randbytes(SIZE - len(program)) for v in "AB"}


def pack(epoch):
    t = time.gmtime(epoch)
    return t.tm_year * 10000 + t.tm_mon * 100 + t.tm_mday, 10000 + t.tm_hour * 100 + t.tm_min


class Product:
    """One case's distribution: its names, what it leaves, and its runs."""

    def __init__(self, bench, code, tmp_path):
        self.bench, self.code = bench, code
        self.key = rf"Software\ContinuationTest\{code}"
        self.record_key = rf"HKLM\{self.key}\Install\{NUMBER:08d}"
        self.partial = bench.temp_dir / f"~{code}{NUMBER}.exe"
        self.win_partial = f"{bench.temp_dir_win}\\~{code}{NUMBER}.exe"
        self.log = bench.fakesetup_log(tmp_path)
        self.tmp_path = tmp_path

    def clean(self):
        self.bench.clean_stub_state(self.code, self.key)
        self.bench.clear_pending_renames()

    def leave(self, data, record, name):
        """What an earlier run left: the partial file (None: none) and the
        record of identity (Date, Time, Size) with the name `name` (None:
        a record without a name)."""
        if data is not None:
            self.partial.write_bytes(data)
        if record is not None:
            for value, number in zip(("Date", "Time", "Size"), record):
                self.bench.reg_add(self.record_key, value, number, "REG_DWORD")
            if name is not None:
                self.bench.reg_add(self.record_key, "File", name, "REG_SZ")

    def record(self):
        values = self.bench.reg_values(self.record_key)
        return None if values is None else {k: v[1] for k, v in values.items()}

    def run(self, url):
        """Runs install.exe to its end; the code its error box showed, or None."""
        stub = stamp(self.tmp_path / "install.exe", download_url=url, event_url="",
                     product_code=self.code, registry_key=self.key, title=TITLE,
                     install_number=NUMBER)
        self.box = run_to_end(self.bench, stub, TITLE, self.log.env, timeout=90)
        return box_code(self.box)

    def kill_when_written(self, url, size):
        """Runs install.exe and kills it once the partial file has `size`
        bytes, as a user or a shutdown may."""
        stub = stamp(self.tmp_path / "install.exe", download_url=url, event_url="",
                     product_code=self.code, registry_key=self.key, title=TITLE,
                     install_number=NUMBER)
        proc = self.bench.start(stub, env=self.log.env)
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and proc.running() and not (
                    self.partial.exists() and self.partial.stat().st_size >= size):
                time.sleep(0.05)
            assert proc.running() and self.partial.stat().st_size >= size
        finally:
            proc.kill()
            proc.discard_output()

    def check_outcome(self, code, expected_code, started, left, record=...):
        """The error box's code, what was started (None: nothing), the
        partial file afterwards (None: none) and the record (None: none;
        ...: not looked at). expected_code may be a tuple of codes."""
        assert code in (expected_code if isinstance(expected_code, tuple) else (expected_code,)), \
            (code, self.box)
        runs = self.log.wait(1, timeout=10 if started is not None else 1)
        launches = [p for p, _ in self.bench.pending_renames() if f"~mi{NUMBER}$" in p]
        if started is None:
            # Not even tried: nothing ran and no launch copy was made.
            assert runs == [] and launches == []
        else:
            assert len(runs) == 1, runs
            assert Path(self.bench.to_unix(runs[0]["path"])).read_bytes() == started
        assert (self.partial.read_bytes() if self.partial.exists() else None) == left
        if record is not ...:
            assert self.record() == record


@pytest.fixture
def product(bench, request, tmp_path):
    code = "C" + re.sub(r"[^A-Za-z0-9]", "", request.node.name)[-14:].upper()
    p = Product(bench, code, tmp_path)
    p.clean()
    yield p
    p.clean()


def identity(versions, version, mtime=None):
    return pack(TIME[version] if mtime is None else mtime) + (len(versions[version]),)


def as_record(product, versions, version, name="own"):
    """The record's values as read back: the identity of a version and a name."""
    date, time_, size = identity(versions, version)
    values = {"Date": date, "Time": time_, "Size": size}
    if name is not None:
        values["File"] = product.win_partial if name == "own" else name
    return values


# Another user's partial file of the same distribution: what a record
# written by that user's run names.
OTHER_USER = r"C:\Documents and Settings\bob\Local Settings\Temp\~{code}13.exe"


def partial_bytes(versions, left):
    """("A", n): the first n bytes of A (None: all of it); ("A+", n): all of
    A and n bytes more."""
    if left is None:
        return None
    version, n = left
    data = versions[version[0]]
    if version.endswith("+"):
        return data + b"\xa5" * n
    return data if n is None else data[:n]


def record_name(product, name):
    return None if name is None else (
        product.win_partial if name == "own" else OTHER_USER.format(code=product.code))


# --- HTTP --------------------------------------------------------------------

@pytest.fixture(scope="module")
def web():
    with FaultServer() as server:
        yield server


# name, partial file left (see partial_bytes), whose name the record of A
# holds ("own", "other", None: none; no record at all without a partial
# file), the server's behaviour for A, the exchanges (Range, status), the
# error box's code (None: A is started)
HTTP_CASES = [
    ("honest-206", ("A", KEEP), "own", {}, [(RANGE, 206)], None),
    ("206-starting-before", ("A", KEEP), "own", {"range_shift": -1000},
     [(RANGE, 206), (None, 200)], None),
    ("206-with-another-total", ("A", KEEP), "own", {"range_total_shift": 1},
     [(RANGE, 206), (None, 200)], None),
    ("200-as-long-as-the-rest", ("A", KEEP), "own", {"range_head_200": True},
     [(RANGE, 200), (None, 200)], None),
    # A server that drops the offset: the file's start, as long as the rest,
    # with nothing that names the place but the bytes themselves.
    ("206-from-the-start-without-content-range", ("A", KEEP), "own", {"range_head_206": True},
     [(RANGE, 206), (None, 200)], None),
    ("record-of-another-users-file", ("B", KEEP), "other", {}, [(RANGE, 206), (None, 200)], None),
    ("record-without-a-name", ("B", KEEP), None, {}, [(RANGE, 206), (None, 200)], None),
    # A continuation that is refused does not fail this run or the next:
    # the whole file is asked for, once.
    ("403-to-the-range", ("A", KEEP), "own", {"range_status": 403}, [(RANGE, 403), (None, 200)],
     None),
    ("501-to-the-range", ("A", KEEP), "own", {"range_status": 501}, [(RANGE, 501), (None, 200)],
     None),
    ("204-to-the-range", ("A", KEEP), "own", {"range_status": 204},
     [(RANGE, 204), (None, 200)], None),
    ("400-to-the-range", ("A", KEEP), "own", {"range_status": 400}, [(RANGE, 400), (None, 200)],
     None),
    ("405-to-the-range", ("A", KEEP), "own", {"range_status": 405}, [(RANGE, 405), (None, 200)],
     None),
    # A bad header on the continuation's reply is one more refusal of it.
    ("206-with-an-unreadable-date", ("A", KEEP), "own",
     {"last_modified": "Sun, 06 Nov 1994", "plain_last_modified": TIME["A"]},
     [(RANGE, 206), (None, 200)], None),
    ("206-with-a-date-of-40-characters", ("A", KEEP), "own",
     {"last_modified": "Sun, 06 Nov 2005 08:49:37 GMT xxxxxxxxxx",
      "plain_last_modified": TIME["A"]}, [(RANGE, 206), (None, 200)], None),
    # A busy server is no refusal: the file and its record wait for the next
    # try or run (the retries' tests show the bytes are not fetched again).
    *[(f"{status}-to-the-range", ("A", KEEP), "own", {"range_status": status},
       [(RANGE, status)], status) for status in (408, 429, 500, 502, 503, 504)],
    # Nor is a connection closed before any status line: the client's error.
    ("closed-before-the-status-to-the-range", ("A", KEEP), "own", {"no_status": True},
     [(RANGE, None)], "client"),
    # The whole file kept: only the overlap is fetched to prove it.
    ("all-kept", ("A", None), "own", {}, [(WHOLE_RANGE, 206)], None),
    # A 416 to a range inside the file is no answer to trust.
    ("416-to-a-range-inside-the-file", ("A", None), "own", {"range_status": 416},
     [(WHOLE_RANGE, 416), (None, 200)], None),
    ("101", None, None, {"as_status": 101}, [(None, 101)], 101),
    ("302-not-followed", None, None, {"as_status": 302}, [(None, 302)], 302),
]


@pytest.mark.parametrize("name, left, owner, options, expected, code", HTTP_CASES,
                         ids=[c[0] for c in HTTP_CASES])
def test_http_continuation(product, web, versions, name, left, owner, options, expected, code):
    path = f"/{name}/Setup.exe"
    web.add_file(path, versions["A"], **{"last_modified": TIME["A"], **options})
    kept = partial_bytes(versions, left)
    product.leave(kept, identity(versions, "A") if kept else None, record_name(product, owner))
    before = product.record()

    shown = product.run(web.url(path))

    assert [(r.range, r.status) for r in web.requests_for(path)] == expected
    if name == "all-kept":
        assert [r.body_sent for r in web.requests_for(path)] == [RESUME_OVERLAP]
    if code is None:
        product.check_outcome(shown, None, versions["A"], None, None)
    else:
        # Named as the status it is, or as the client's error. Nothing is
        # stored from a reply that is no file; a file that was there stays as
        # it was, a new one empty.
        if code == "client":
            assert shown in (12031, 12152) and "HTTP status" not in product.box, product.box
            code = shown
        else:
            assert product.box.endswith(f"The server answered with HTTP status {code}."), \
                product.box
        product.check_outcome(shown, code, None, kept if kept else b"", before)


def test_http_server_down_keeps_the_file(product, web, versions):
    """A 503 to the range: the server is down, and the kept bytes and their
    record wait for the next run, which continues them once the server is
    back."""
    path = "/down/Setup.exe"
    web.add_file(path, versions["A"], last_modified=TIME["A"], status=503)
    kept = versions["A"][:KEEP]
    product.leave(kept, identity(versions, "A"), product.win_partial)
    before = product.record()

    shown = product.run(web.url(path))

    assert [(r.range, r.status) for r in web.requests_for(path)] == [(RANGE, 503)]
    assert product.box.endswith("The server answered with HTTP status 503."), product.box
    product.check_outcome(shown, 503, None, kept, before)

    web.set_options(path, status=None)
    shown = product.run(web.url(path))
    assert [(r.range, r.status) for r in web.requests_for(path)][1:] == [(RANGE, 206)]
    assert web.requests_for(path)[-1].body_sent == SIZE - FROM
    product.check_outcome(shown, None, versions["A"], None, None)


def test_http_kept_file_past_2_gib_and_a_server_that_ignores_the_range(product, web, versions):
    """2.5 GiB kept of a 3 GiB file, and a server that answers the range
    with a 200 of the whole file: kept plus that length would pass 4 GiB,
    yet a 200 is no continuation, so no sum is made of it. The whole file is
    asked for, and the file that reply carries is the one started."""
    path = "/big-range-ignored/Setup.exe"
    kept, whole = 5 * 2**29, 3 * 2**30
    web.add_file(path, versions["A"], last_modified=TIME["A"], ignore_range=True,
                 content_length_override=[whole])
    sparse_file(product.partial, kept, [(0, versions["A"][:KEEP])])
    product.leave(None, pack(TIME["A"]) + (whole,), product.win_partial)

    shown = product.run(web.url(path))

    assert [(r.range, r.status) for r in web.requests_for(path)] == [
        (resume_range(kept), 200), (None, 200)]
    product.check_outcome(shown, None, versions["A"], None, None)


def test_http_restart_records_the_second_replys_identity(product, web, versions):
    """A continuation refused by a wrong 206 that carries the recorded date,
    then a whole file of another date, cut: the record names the file that
    was written, not the first reply's, so the next run does not continue
    these bytes as a part of A."""
    path = "/second-identity/Setup.exe"
    other = TIME["B"]
    web.add_file(path, versions["A"], last_modified=TIME["A"], range_shift=-1000,
                 plain_last_modified=other, cut_after=[None, 50_000])
    product.leave(versions["A"][:KEEP], identity(versions, "A"), product.win_partial)

    shown = product.run(web.url(path))

    assert [(r.range, r.status) for r in web.requests_for(path)] == [(RANGE, 206), (None, 200)]
    date, time_ = pack(other)
    product.check_outcome(shown, RESET, None, versions["A"][:50_000],
                          {"Date": date, "Time": time_, "Size": SIZE,
                           "File": product.win_partial})


# --- FTP ---------------------------------------------------------------------

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


def publish(root, name, data, mtime):
    path = Path(root) / name
    path.write_bytes(data)
    os.utime(path, (mtime, mtime))
    return "/" + name


# name, partial file left, whose name the record of A holds, the server's
# faults, the REST offsets sent, the offsets of the RETR transfers (from
# where the server sent), the error box's code (None: A is started), the
# partial file afterwards when nothing is started
FTP_CASES = [
    ("honest-rest", ("A", KEEP), "own", {}, [FROM], [FROM], None, None),
    # The server takes REST and drops it at the TYPE or PORT that the client
    # sends before RETR, then sends the file from its start: the overlap
    # tells, and the file is fetched afresh on a new connection.
    ("rest-forgotten-at-type", ("A", KEEP), "own", {"forget_rest": ("TYPE",)}, [FROM], [0, 0],
     None, None),
    ("rest-forgotten-at-port", ("A", KEEP), "own", {"forget_rest": ("PORT",)}, [FROM], [0, 0],
     None, None),
    # A refused REST costs the kept bytes only once the file comes.
    ("rest-refused", ("A", KEEP), "own", {"replies": {"REST": REST_REFUSED}}, [FROM], [0],
     None, None),
    ("rest-refused-retr-refused", ("A", KEEP), "own",
     {"replies": {"REST": REST_REFUSED, "RETR": RETR_REFUSED}}, [FROM], [], 12003, ("A", KEEP)),
    ("kept-equals-size", ("A", None), "own", {}, [], [], None, None),
    ("kept-above-size", ("A+", 100), "own", {}, [], [0], None, None),
    ("record-of-another-users-file", ("B", KEEP), "other", {}, [], [0], None, None),
    ("record-without-a-name", ("B", KEEP), None, {}, [], [0], None, None),
]


@pytest.mark.parametrize("name, left, owner, faults, rests, offsets, code, left_after", FTP_CASES,
                         ids=[c[0] for c in FTP_CASES])
def test_ftp_continuation(product, ftp_clean, ftp_root, versions, name, left, owner, faults,
                          rests, offsets, code, left_after):
    ftp = ftp_clean
    path = publish(ftp_root, name + ".exe", versions["A"], TIME["A"])
    kept = partial_bytes(versions, left)
    product.leave(kept, identity(versions, "A"), record_name(product, owner))
    ftp.set_faults(**faults)

    shown = product.run(ftp.url(path))

    assert [int(c.arg) for c in ftp.commands if c.cmd == "REST"] == rests
    assert [t.rest for t in ftp.wait_for_transfers(len(offsets))] == offsets
    if code is None:
        product.check_outcome(shown, None, versions["A"], None, None)
    else:
        # The record was stored before the data came; the file stays for the
        # next run.
        product.check_outcome(shown, code, None, partial_bytes(versions, left_after),
                              as_record(product, versions, "A"))


def test_ftp_forgotten_rest_then_cuts_never_start_a_splice(product, ftp_clean, ftp_root,
                                                          versions):
    """A server that forgets REST, and the run cut twice: while it sends from
    the start in place of the rest, and again while it sends the whole file
    on the second connection. What is left is a prefix of A that the record
    vouches for, and the next, honest run completes it into A itself."""
    ftp = ftp_clean
    path = publish(ftp_root, "forgotten-cut.exe", versions["A"], TIME["A"])
    product.leave(versions["A"][:KEEP], identity(versions, "A"), product.win_partial)
    ftp.set_faults(forget_rest=("TYPE",), cut_after=[20_000, 50_000], cut_mode="close")

    shown = product.run(ftp.url(path))

    assert [(t.rest, t.sent) for t in ftp.wait_for_transfers(2)] == [(0, 20_000), (0, 50_000)]
    assert shown == 12031, product.box
    product.check_outcome(shown, 12031, None, versions["A"][:50_000],
                          as_record(product, versions, "A"))

    ftp.set_faults()
    ftp.clear()
    shown = product.run(ftp.url(path))
    assert [t.rest for t in ftp.wait_for_transfers(1)] == [resume_from(50_000)]
    product.check_outcome(shown, None, versions["A"], None, None)


def test_ftp_unknown_size_and_a_cut_is_never_continued(product, ftp_clean, ftp_root, versions):
    """A SIZE reply without digits: the size is unknown, so the data that
    ended early (the server's 426 says so) is no file: not started, emptied,
    and no record is left for a later run to continue it by."""
    ftp = ftp_clean
    path = publish(ftp_root, "no-size.exe", versions["A"], TIME["A"])
    product.leave(versions["A"][:KEEP], identity(versions, "A"), product.win_partial)
    ftp.set_faults(replies={"SIZE": "213 unknown"}, cut_after=50_000, cut_mode="close")

    shown = product.run(ftp.url(path))

    assert "REST" not in settle(ftp.command_names)
    assert [(t.rest, t.sent) for t in ftp.wait_for_transfers(1)] == [(0, 50_000)]
    product.check_outcome(shown, 12031, None, b"", None)


# A server without the extensions SIZE and MDTM, as vsftpd-like servers
# refuse them: the command unknown, or not implemented.
EXTENSION_REFUSALS = {
    "size": {"SIZE": "500 Unknown command."},
    "mdtm": {"MDTM": "502 Command not implemented."},
    "both": {"SIZE": "500 Unknown command.", "MDTM": "502 Command not implemented."},
}


def local_clock():
    """The local time as a record stores it: (Date, Time)."""
    t = time.localtime()
    return t.tm_year * 10000 + t.tm_mon * 100 + t.tm_mday, 10000 + t.tm_hour * 100 + t.tm_min


@pytest.mark.parametrize("refused", list(EXTENSION_REFUSALS))
def test_ftp_server_without_size_or_mdtm_serves_the_file(product, ftp_clean, ftp_root, versions,
                                                        refused):
    """A fresh run gets the file and starts it."""
    path = publish(ftp_root, "no-" + refused + ".exe", versions["A"], TIME["A"])
    ftp_clean.set_faults(replies=EXTENSION_REFUSALS[refused])

    shown = product.run(ftp_clean.url(path))

    assert "RETR" in ftp_clean.command_names() and "REST" not in ftp_clean.command_names()
    product.check_outcome(shown, None, versions["A"], None, None)


@pytest.mark.parametrize("refused", list(EXTENSION_REFUSALS))
def test_ftp_server_without_size_or_mdtm_cut_then_a_later_run(product, ftp_clean, ftp_root,
                                                             versions, refused):
    """A run cut short, then a later one. Without SIZE nothing can be
    continued: the cut file is emptied and no record kept. Without MDTM the
    local clock is recorded: a later run continues the file (the overlap
    proving it) only within the same minute, and fetches it whole after."""
    ftp = ftp_clean
    replies = EXTENSION_REFUSALS[refused]
    path = publish(ftp_root, "cut-no-" + refused + ".exe", versions["A"], TIME["A"])
    ftp.set_faults(replies=replies, cut_after=KEEP, cut_mode="close")
    clock = [local_clock()]
    shown = product.run(ftp.url(path))
    clock.append(local_clock())

    # The data ended early: a broken transfer (the client may also take the
    # close for a time-out).
    assert shown in (12031, 12002), product.box
    if "SIZE" in replies:
        product.check_outcome(shown, shown, None, b"", None)
        later = [None]
    else:
        product.check_outcome(shown, shown, None, versions["A"][:KEEP], ...)
        record = product.record()
        assert (record["Date"], record["Time"]) in clock, (record, clock)
        assert record["Size"] == SIZE
        # Within the minute the record names, then after it.
        later = ["same minute", "later"]

    for when in later:
        if when == "same minute":
            now = local_clock()
            product.leave(None, now + (SIZE,), product.win_partial)
        elif when == "later":
            # The record of a run an hour before.
            date, clock_time = local_clock()
            hour, minute = divmod(clock_time - 10000, 100)
            product.leave(versions["A"][:KEEP], (date, 10000 + (hour + 23) % 24 * 100 + minute, SIZE),
                          product.win_partial)
        ftp.set_faults(replies=replies)
        ftp.clear()
        # Each run's own log of what was started.
        logs = product.tmp_path / (when or "next").replace(" ", "-")
        logs.mkdir()
        product.log = product.bench.fakesetup_log(logs)
        shown = product.run(ftp.url(path))
        rests = [int(c.arg) for c in ftp.commands if c.cmd == "REST"]
        if when == "same minute":
            if local_clock() == now:
                assert rests == [FROM], ftp.command_names()
        else:
            assert rests == [], ftp.command_names()
        product.check_outcome(shown, None, versions["A"], None, None)


# --- a record that cannot be stored --------------------------------------------

@pytest.fixture
def locked(bench, product):
    """Lets everyone only read the product's record, as a limited user may
    on NT; undone at the end."""
    def lock():
        assert run_driver(bench, "regkey-access", product.record_key[5:], "read")["result"] == 1
    yield lock
    run_driver(bench, "regkey-access", product.record_key[5:], "full")


# How the run that cannot store the record ends: its connection cut (the
# error box), or the program killed while it downloads.
UNRECORDED_CASES = [("http", "cut"), ("http", "killed"), ("ftp", "cut"), ("ftp", "killed")]


@pytest.mark.parametrize("protocol, ending", UNRECORDED_CASES,
                         ids=["-".join(c) for c in UNRECORDED_CASES])
def test_a_record_that_cannot_be_stored_leaves_no_file_to_continue(
        product, locked, web, ftp_clean, ftp_root, versions, protocol, ending):
    """A record of A from an earlier run that this run cannot replace: the
    part of B it fetches must not be continued by a later run, or that run,
    once the server offers A again, would take it for a part of A. However
    the run ends, even killed, the file it leaves is started afresh."""
    product.leave(None, identity(versions, "A"), record_name(product, "own"))
    locked()
    before = product.record()
    killed = ending == "killed"
    if protocol == "http":
        path = "/locked-" + ending + "/Setup.exe"
        web.add_file(path, versions["B"], last_modified=TIME["B"],
                     **({"trickle": (4096, 0.05)} if killed else {"cut_after": [KEEP]}))
        url = web.url(path)
    else:
        path = publish(ftp_root, "locked-" + ending + ".exe", versions["B"], TIME["B"])
        ftp_clean.set_faults(**({"slow": (4096, 0.05)} if killed else
                                {"cut_after": KEEP, "cut_mode": "close"}))
        url = ftp_clean.url(path)

    if killed:
        # No box: the program is gone before it could show one.
        product.kill_when_written(url, 20_000)
        shown, sent = None, SIZE
    else:
        # The broken transfer is reported.
        shown, sent = product.run(url), KEEP

    # What came of B stays on disk (a prefix of it: bytes on their way at
    # the cut may be lost), the record as it was, nothing started.
    kept = len(product.partial.read_bytes())
    assert 0 < kept <= sent and kept < SIZE, kept
    product.check_outcome(shown, None if killed else RESET, None, versions["B"][:kept], before)
    if protocol == "http":
        web.replace_file(path, versions["A"], last_modified=TIME["A"], cut_after=None,
                         trickle=None)
    else:
        publish(ftp_root, path[1:], versions["A"], TIME["A"])
        ftp_clean.set_faults()
        ftp_clean.clear()

    shown = product.run(url)

    # The record names A and this file, yet the file is fetched afresh.
    if protocol == "http":
        assert web.requests_for(path)[-1].range is None
    else:
        assert "REST" not in settle(ftp_clean.command_names)
    product.check_outcome(shown, None, versions["A"], None)
