"""FTP download with restart, and the choice between FTP and HTTP.

The real transfer code runs under Wine through stubdriver.exe against
pyftpdlib on loopback: once unmodified (stock) and once scripted (servers.ftp)
for the faults and for the record of the commands it received. Each test gets
its own output file and its own registry key, so the resume records of
different tests never meet.
"""

import os
import socket
import threading
import time
import warnings
from pathlib import Path

import pytest

from servers import (FaultServer, FtpServer, MDTM_MISSING, MDTM_SHORT, REST_REFUSED,
                     RETR_REFUSED, SIZE_EMPTY, overlong_reply)
from winehelp import (BIG, GiB, assert_big_file, TransferDriver, big_file, closed_port,
                      resume_from, sparse_file)

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)   # asynchat/asyncore inside pyftpdlib
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.ioloop import IOLoop
    from pyftpdlib.servers import FTPServer

DATA = bytes((i * 7 + i // 256) & 0xFF for i in range(150_000))   # three 64 KB reads
FILE_MTIME = 1_100_000_000          # 2004-11-09 11:33:20 GMT; MDTM answers in GMT
FILE_DATE, FILE_TIME = 20041109, 11133
KEEP = 70_000                       # bytes a broken earlier run leaves behind
HIDDEN = 0x2
SYSTEM = 0x4
NO_FILE = 0xFFFFFFFF                # GetFileAttributesA of a missing file
REG_ROOT = r"Software\FtpTests"

ERROR_PATH_NOT_FOUND = 3
ERROR_INTERNET_EXTENDED_ERROR = 12003
ERROR_INTERNET_INVALID_URL = 12005
ERROR_INTERNET_CONNECTION_RESET = 12031


def pack(tm):
    """(Date, Time) of the resume record for a struct_time: seconds are not kept."""
    return (tm.tm_year * 10000 + tm.tm_mon * 100 + tm.tm_mday,
            10000 + tm.tm_hour * 100 + tm.tm_min)


# --- servers ----------------------------------------------------------------

class StockFtp:
    """pyftpdlib exactly as shipped: anonymous read access, no recording, no faults."""

    def __init__(self, root):
        self.root = str(root)

    def __enter__(self):
        auth = DummyAuthorizer()
        auth.add_anonymous(self.root, perm="elr")
        handler = type("StockHandler", (FTPHandler,), {"authorizer": auth})
        self._server = FTPServer(("127.0.0.1", 0), handler, ioloop=IOLoop())
        self.port = self._server.address[1]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="stockftp", daemon=True)
        self._thread.start()
        return self

    def _run(self):
        try:
            while not self._stop.is_set():
                self._server.serve_forever(timeout=0.02, blocking=False, handle_exit=False)
        finally:
            self._server.close_all()

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)

    def url(self, path):
        return "ftp://127.0.0.1:%d%s" % (self.port, path)


class RawListener:
    """Accepts connections and keeps the first bytes each client sends, then
    closes it. An HTTPS client speaks first (a TLS ClientHello); an FTP
    client waits for the server's greeting and sends nothing."""

    def __init__(self):
        self.first_bytes = []

    def __enter__(self):
        self._sock = socket.socket()
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(8)
        self._sock.settimeout(0.1)
        self.port = self._sock.getsockname()[1]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def _run(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            with conn:
                conn.settimeout(2)
                try:
                    self.first_bytes.append(conn.recv(64))
                except OSError:
                    self.first_bytes.append(b"")

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        self._sock.close()


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """The directory the FTP servers offer."""
    root = tmp_path_factory.mktemp("ftpsite")
    serve(root, "setup.exe")
    serve(root, "my setup.exe")
    return root


def serve(root, name, data=DATA, mtime=FILE_MTIME):
    """Put a file on the server with a known modification time; its URL path."""
    path = Path(root) / name
    path.write_bytes(data)
    os.utime(path, (mtime, mtime))
    return "/" + name


@pytest.fixture(scope="module")
def ftp_server(site):
    with FtpServer(str(site), user="joe", password="pw") as server:
        yield server


@pytest.fixture
def ftp(ftp_server):
    """The scripted server, with no faults and an empty record of commands."""
    ftp_server.set_faults()
    ftp_server.clear()
    yield ftp_server
    ftp_server.set_faults()


# --- the driver ---------------------------------------------------------------

@pytest.fixture(scope="module")
def drive(bench, tmp_path_factory):
    bench.reg_delete(rf"HKLM\{REG_ROOT}")
    yield TransferDriver(bench, tmp_path_factory.mktemp("ftpout"), REG_ROOT)
    bench.reg_delete(rf"HKLM\{REG_ROOT}")


def stored(drive, name, date=FILE_DATE, time_=FILE_TIME, size=len(DATA)):
    """The record a transfer of `name` stores: the server file's identity and
    the output file's name."""
    return {"Date": date, "Time": time_, "Size": size, "File": drive.win_file(name)}


def all_closed(out):
    return (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == ("none",) * 3


def after_login(ftp):
    """The commands of the last session after PASS, PORT without its address."""
    cmds = ftp.commands
    if not cmds:
        return []
    session = cmds[-1].session
    lines = [c for c in cmds if c.session == session]
    names = [c.cmd for c in lines]
    start = len(names) - names[::-1].index("PASS") if "PASS" in names else 0
    return [c.cmd if c.cmd == "PORT" else (c.cmd + " " + c.arg).strip() for c in lines[start:]]


def assert_data_order(cmds, path, rest=None):
    """Our TYPE I, SIZE, MDTM, REST only when continuing, then the data
    connection: its own TYPE and PORT, then one RETR, and nothing after it
    but the end of the session."""
    head = ["TYPE I", "SIZE " + path, "MDTM " + path] + ([f"REST {rest}"] if rest else [])
    assert cmds[:len(head)] == head, cmds
    retr = cmds.index("RETR " + path)
    assert "PORT" in cmds[len(head):retr] and \
        set(cmds[len(head):retr]) <= {"TYPE I", "PORT"}, cmds
    assert set(cmds[retr + 1:]) <= {"QUIT", "ABOR"}, cmds


def leave_partial(drive, ftp, name, path, keep=KEEP, replies=None):
    """A partial download as a broken earlier run of the product leaves it:
    the server ends the data connection after `keep` bytes. Returns that run's
    output; the hidden file holds `keep` bytes and the record names the file."""
    drive.file(name).unlink(missing_ok=True)
    drive.forget(name)
    ftp.set_faults(replies=dict(replies or {}), cut_after=keep, cut_mode="close")
    out = drive.transfer(name, ftp.url(path))
    assert drive.file(name).stat().st_size == keep == out["doneBytes"], out
    ftp.set_faults()
    ftp.clear()
    return out


# --- protocol choice ---------------------------------------------------------

@pytest.mark.parametrize("scheme", ["ftp", "FTP", "fTp"])
def test_ftp_scheme_in_any_case_goes_to_ftp(drive, ftp, scheme):
    # Windows file names ignore case: name the files by more than the scheme.
    name = "scheme-" + "-".join("upper" if c.isupper() else "lower" for c in scheme)
    out = drive.transfer(name, scheme + ftp.url("/setup.exe")[3:])
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert drive.file(name).read_bytes() == DATA
    assert_data_order(after_login(ftp), "/setup.exe")


def test_http_url_goes_to_http(drive):
    with FaultServer() as web:
        web.add_file("/setup.exe", DATA, last_modified=FILE_MTIME)
        out = drive.transfer("scheme-http", web.url("/setup.exe"))
        assert [(r.method, r.path) for r in web.requests] == [("GET", "/setup.exe")]
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert drive.file("scheme-http").read_bytes() == DATA


def test_https_url_goes_to_http(drive):
    with RawListener() as listener:
        out = drive.transfer("scheme-https", "https://127.0.0.1:%d/setup.exe" % listener.port)
    # The HTTP client opened with a TLS handshake record (0x16, version 3.x).
    assert listener.first_bytes and all(b[:2] == b"\x16\x03" for b in listener.first_bytes), \
        listener.first_bytes
    assert out["result"] == 0 and out["errorCode"] != 0, out


@pytest.mark.parametrize("url, path", [
    ("ftp", "ftp"),     # what the FTP transfer says of a URL it cannot split
    ("", "http"),
    ("ft", "http"),
], ids=["ftp", "empty", "ft"])
def test_short_texts_choose_by_their_first_three_characters(drive, url, path):
    name = "short-" + (url or "empty")
    out = drive.transfer(name, url)
    assert out["result"] == 0, out
    if path == "ftp":
        assert out["errorCode"] == ERROR_INTERNET_INVALID_URL, out
    else:
        # The HTTP client's own refusal, not the FTP transfer's verdict on the URL.
        assert out["errorCode"] not in (0, ERROR_INTERNET_INVALID_URL), out
    assert (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == \
        ("none", "none", "open"), out


# --- downloads against the servers ------------------------------------------

@pytest.mark.parametrize("kind", ["stock", "scripted"])
def test_full_download_is_byte_exact(drive, site, ftp, kind):
    name = "full-" + kind
    if kind == "stock":
        with StockFtp(site) as stock:
            out = drive.transfer(name, stock.url("/setup.exe"))
    else:
        out = drive.transfer(name, ftp.url("/setup.exe"))
        assert_data_order(after_login(ftp), "/setup.exe")
        assert ftp.transfers[-1].rest == 0
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert drive.file(name).read_bytes() == DATA
    assert out["totalBytes"] == out["doneBytes"] == len(DATA)
    assert (out["baseBytes"], out["firstBase"], out["firstTotal"]) == (0, 0, len(DATA)), out
    assert all_closed(out), out
    assert out["attributes"] & HIDDEN, out
    assert drive.record(name) == stored(drive, name)


def test_stock_server_continues_a_cancelled_download(drive, site):
    """SIZE, MDTM and REST against an unmodified server, which refuses SIZE in
    ASCII mode: the partial file of a cancelled run is continued, not refetched."""
    name = "stock-resume"
    with StockFtp(site) as stock:
        first = drive.transfer(name, stock.url("/setup.exe"), "--cancel-at", 1)
        kept = drive.file(name).stat().st_size
        assert (first["result"], first["errorCode"], first["stopRequested"]) == (1, 0, 1), first
        assert 0 < kept == first["doneBytes"] < len(DATA), first
        out = drive.transfer(name, stock.url("/setup.exe"))
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert (out["baseBytes"], out["firstBase"]) == (kept, kept), out
    assert out["firstDone"] > kept
    assert drive.file(name).read_bytes() == DATA


# What differs on the second run from the partial file a broken first run left.
RESUME_CASES = {
    "same": {},                                     # the only case that continues
    "date": {"mtime": FILE_MTIME + 86400},
    "time": {"mtime": FILE_MTIME + 60},             # one minute later, same day
    "size": {"data": DATA[:KEEP - 20_000]},         # shorter than the kept part: truncation shows
    "no-record": {"forget": True},
    "size-unknown": {"size_reply": SIZE_EMPTY},     # no size now: the whole file, no record
    "resume-off": {"options": ["--resume", 0]},
    "empty-leftover": {"empty": True},              # nothing to keep: no comparison, no REST
}
BUFFER = 65536          # the most one read brings


@pytest.mark.parametrize("case", list(RESUME_CASES))
def test_resume_or_restart(drive, ftp, site, case):
    """A partial file is continued (REST of its size, data appended) only when
    the server's Date, Time to the minute and Size equal the recorded ones;
    otherwise it is re-created hidden and fetched from the start. The record
    names the server's file afterwards either way."""
    change = RESUME_CASES[case]
    name = "resume-" + case
    data, mtime = change.get("data", DATA), change.get("mtime", FILE_MTIME)
    size_replies = {"SIZE": change["size_reply"]} if "size_reply" in change else {}
    path = serve(site, name + ".bin")
    if change.get("empty"):
        drive.forget(name)
        drive.file(name).write_bytes(b"")
    else:
        leave_partial(drive, ftp, name, path)
        assert drive.record(name) == stored(drive, name)
    if change.get("forget"):
        drive.forget(name)
    ftp.set_faults(replies=size_replies)
    serve(site, name + ".bin", data, mtime)

    out = drive.transfer(name, ftp.url(path), *change.get("options", []))

    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert drive.file(name).read_bytes() == data
    assert all_closed(out), out
    assert out["attributes"] & HIDDEN, out
    kept = KEEP if case == "same" else 0
    if size_replies:
        # Without a size nothing is compared, asked for from an offset, or
        # recorded: SIZE, then the data.
        cmds = after_login(ftp)
        assert cmds[:2] == ["TYPE I", "SIZE " + path] and "MDTM " + path not in cmds, cmds
        assert drive.record(name) is None
    else:
        assert_data_order(after_login(ftp), path, rest=resume_from(kept))
        date, time_ = pack(time.gmtime(mtime))
        assert drive.record(name) == stored(drive, name, date, time_, len(data))
    assert [t.rest for t in ftp.transfers] == [resume_from(kept)]
    assert (out["baseBytes"], out["firstBase"]) == (kept, kept), out
    # The first report of this run's data counts from the kept size.
    assert kept < out["firstDone"] <= kept + BUFFER, out


@pytest.mark.parametrize("reply", [MDTM_SHORT, "213\t20031010101010"],
                         ids=["short", "no-blank"])
def test_unusable_mdtm_reply_records_the_local_clock(drive, ftp, reply):
    name = "mdtm-" + ("short" if reply == MDTM_SHORT else "noblank")
    ftp.set_faults(replies={"MDTM": reply})
    before = pack(time.localtime())
    out = drive.transfer(name, ftp.url("/setup.exe"))
    after = pack(time.localtime())
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert drive.file(name).read_bytes() == DATA
    record = drive.record(name)
    assert record["Date"] in (before[0], after[0]) and record["Time"] in (before[1], after[1]), \
        (record, before, after)
    assert record["Size"] == len(DATA)


@pytest.mark.parametrize("cut", [False, True], ids=["whole", "cut"])
@pytest.mark.parametrize("reply", [SIZE_EMPTY, "213\t150000", "213 0", "213 150000 bytes"],
                         ids=["empty", "no-blank", "zero", "with-a-word"])
def test_unusable_size_reply_leaves_the_size_unknown(drive, ftp, reply, cut):
    """A size of 0 or one that is no number: nothing can hold the data to a
    length, so only the server's closing reply (226 or 250) tells a whole
    file, and no record lets a later run continue what is on disk."""
    name = "size-" + {SIZE_EMPTY: "empty", "213 0": "zero"}.get(reply, reply[4:].replace(" ", ""))
    name += "-cut" if cut else ""
    ftp.set_faults(replies={"SIZE": reply}, **({"cut_after": 100_000, "cut_mode": "close"}
                                               if cut else {}))
    out = drive.transfer(name, ftp.url("/setup.exe"))
    assert "REST" not in ftp.command_names()
    assert drive.record(name) is None
    if cut:
        # The data ended quietly; the server's 426 gives it away.
        assert (out["result"], out["errorCode"]) == (0, ERROR_INTERNET_CONNECTION_RESET), out
        assert (out["totalBytes"], out["doneBytes"]) == (0, 0), out
        assert drive.file(name).read_bytes() == b""
    else:
        assert (out["result"], out["errorCode"]) == (1, 0), out
        assert out["totalBytes"] == out["doneBytes"] == len(DATA), out
        assert drive.file(name).read_bytes() == DATA


def test_overlong_size_reply_never_becomes_a_size(drive, ftp):
    """A 9000-character reply is past the 8192 bytes a reply may have. Wine's
    client already refuses lines of about 1.4 KB and more with its extended
    error, so the SIZE command fails and the transfer ends there, nothing
    written, no date asked (the limit itself is held by the unit test of the
    reply fetch)."""
    name = "size-overlong"
    ftp.set_faults(replies={"SIZE": overlong_reply(213, 9000)})
    out = drive.transfer(name, ftp.url("/setup.exe"))
    assert (out["result"], out["errorCode"], out["totalBytes"]) == (0, 12003, 0), out
    assert (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == \
        ("none", "none", "open"), out
    assert "MDTM" not in [c.cmd for c in ftp.commands]
    assert drive.file(name).read_bytes() == b""


@pytest.mark.parametrize("auth, login", [
    (("joe", "pw"), ["USER joe", "PASS pw"]),
    (None, ["USER anonymous"]),
], ids=["user", "anonymous"])
def test_user_and_password_come_from_the_url(drive, ftp, auth, login):
    name = "login-" + ("user" if auth else "anonymous")
    url = ftp.url("/setup.exe", *auth) if auth else ftp.url("/setup.exe")
    out = drive.transfer(name, url)
    assert (out["result"], out["errorCode"]) == (1, 0), out
    lines = [(c.cmd + " " + c.arg).strip() for c in ftp.commands]
    assert lines[:len(login)] == login, lines
    assert drive.file(name).read_bytes() == DATA


def test_escaped_blank_in_path_reaches_the_commands_as_a_blank(drive, ftp):
    out = drive.transfer("blank", ftp.url("/my%20setup.exe"))
    cmds = after_login(ftp)
    assert cmds[1:3] == ["SIZE /my setup.exe", "MDTM /my setup.exe"], cmds
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert_data_order(cmds, "/my setup.exe")
    assert drive.file("blank").read_bytes() == DATA


@pytest.mark.skipif(not FtpServer.can_bind(21), reason="port 21 cannot be bound here")
def test_url_without_port_uses_21(drive, site):
    with FtpServer(str(site), port=21) as ftp21:
        url = ftp21.url("/setup.exe", port=False)
        assert url == "ftp://127.0.0.1/setup.exe"
        out = drive.transfer("port21", url)
        assert "SIZE" in ftp21.command_names()
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert drive.file("port21").read_bytes() == DATA


# --- kept files of 2 GiB and more ----------------------------------------------------



@pytest.fixture(scope="module")
def big_path(site):
    """The big file on the server: its first 64 KB and the part from
    BIG_FROM on are not zero."""
    path = Path(site) / "big.exe"
    big_file(path)
    os.utime(path, (FILE_MTIME, FILE_MTIME))
    yield "/big.exe"
    path.unlink()


# name, the server's file, the kept file's size, driver options, REST
# offsets sent, result and errorCode
KEPT_FILE_CASES = [
    # The data goes behind the kept bytes, not over the start of the file:
    # the position is set with its high word.
    ("2gib-and-more", "big", 2 * GiB + 100_000, (), [resume_from(2 * GiB + 100_000)], (1, 0)),
    # Sizes stop below 4 GiB: such a file is emptied and fetched whole.
    ("4gib-and-more", "small", 4 * GiB + KEEP, (), [], (1, 0)),
    # A position that cannot be set fails with the system's code before the
    # server is asked for anything.
    ("seek-fails", "small", KEEP, ("--fail-seek", 131), None, (0, 131)),
]


@pytest.mark.parametrize("name, server_file, kept, options, rests, outcome", KEPT_FILE_CASES,
                         ids=[c[0] for c in KEPT_FILE_CASES])
def test_kept_file_past_2_gib(drive, ftp, big_path, name, server_file, kept, options, rests,
                              outcome):
    name = "kept-" + name
    path, size = (big_path, BIG) if server_file == "big" else ("/setup.exe", len(DATA))
    if server_file == "big":
        big_file(drive.file(name), kept)
    else:
        sparse_file(drive.file(name), kept, [(0, DATA[:KEEP])])
    drive.set_record(name, **stored(drive, name, size=size))

    out = drive.transfer(name, ftp.url(path), *options)

    assert (out["result"], out["errorCode"]) == outcome, out
    if rests is None:
        assert ftp.commands == []
        assert (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == \
            ("open", "none", "open"), out
        assert drive.file(name).read_bytes() == DATA[:KEEP]
        return
    assert [int(c.arg) for c in ftp.commands if c.cmd == "REST"] == rests
    assert all_closed(out), out
    if server_file == "big":
        assert_big_file(drive.file(name), out, kept)
    else:
        assert (out["totalBytes"], out["doneBytes"], out["baseBytes"]) == \
            (len(DATA), len(DATA), 0), out
        assert drive.file(name).read_bytes() == DATA
    drive.file(name).unlink()


# --- the data connection: the fallback and the first way ----------------------

@pytest.mark.parametrize("forget", [None, "TYPE"], ids=["honest", "forgets-rest"])
@pytest.mark.parametrize("seam", [None, "open"], ids=["fallback", "first-way"])
def test_data_handle_either_way_continues_after_rest(drive, ftp, site, seam, forget):
    """Without the seam Wine's FtpCommandA cannot open the data connection and
    the transfer falls back to FtpOpenFileA; with it FtpCommandA yields the
    handle itself and the fallback must stay unused. Either way the data
    continues the kept bytes: an honest server's from the REST offset; a
    server that forgets it sends the file's start, which the overlap
    disproves, and the file is fetched afresh on a new connection."""
    name = "way-" + (seam or "fallback") + ("-" + forget if forget else "")
    path = serve(site, name + ".bin")
    leave_partial(drive, ftp, name, path)
    ftp.set_faults(forget_rest=(forget,) if forget else ())
    out = drive.transfer(name, ftp.url(path), *(["--retr-seam", seam] if seam else []))
    assert (out["result"], out["errorCode"]) == (1, 0), out
    passes = 2 if forget else 1
    assert out["retrSeamCalls"] == (passes if seam else 0), out
    # The continuation asked from the overlap's start; after a forgotten
    # REST the second connection asks for the whole file.
    assert [c.arg for c in ftp.commands if c.cmd == "REST"] == [str(resume_from(KEEP))]
    cmds = after_login(ftp)
    assert_data_order(cmds, path, rest=None if forget else resume_from(KEEP))
    assert cmds.count("RETR " + path) == 1, cmds
    assert ftp.command_names().count("RETR") == passes
    assert [t.rest for t in ftp.transfers] == ([0, 0] if forget else [resume_from(KEEP)])
    assert out["baseBytes"] == (0 if forget else KEEP), out
    assert drive.file(name).read_bytes() == DATA
    assert drive.record(name) == stored(drive, name)


def test_first_way_failing_is_not_covered_by_the_fallback(drive, ftp):
    out = drive.transfer("way-fail", ftp.url("/setup.exe"), "--retr-seam", "fail")
    assert (out["result"], out["errorCode"], out["retrSeamCalls"]) == \
        (0, ERROR_INTERNET_EXTENDED_ERROR, 1), out
    assert "RETR" not in ftp.command_names() and ftp.transfers == []
    assert out["doneBytes"] == 0 and drive.file("way-fail").stat().st_size == 0
    assert all_closed(out), out


# --- failures ---------------------------------------------------------------------

LONG_URLS = {
    "path-300": lambda ftp: ftp.url("/" + "p" * 299),
    "host-200": lambda ftp: "ftp://" + "h" * 200 + "/setup.exe",
    "user-70": lambda ftp: ftp.url("/setup.exe", "u" * 70, "pw"),
    "password-70": lambda ftp: ftp.url("/setup.exe", "joe", "p" * 70),
}


@pytest.mark.parametrize("case", list(LONG_URLS))
def test_url_part_too_long_for_its_buffer_is_refused(drive, ftp, case):
    """Cut to fit, the part would name another file, server or account."""
    out = drive.transfer("long-" + case, LONG_URLS[case](ftp))
    assert (out["result"], out["errorCode"]) == (0, ERROR_INTERNET_INVALID_URL), out
    assert (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == \
        ("none", "none", "open"), out
    assert ftp.commands == []
    assert drive.record("long-" + case) is None


def test_output_file_in_missing_directory(drive, ftp):
    win_file = drive.bench.to_windows(drive.out_dir) + "\\no-such-dir\\out.exe"
    out = drive.transfer("no-dir", ftp.url("/setup.exe"), win_file=win_file)
    assert (out["result"], out["errorCode"]) == (0, ERROR_PATH_NOT_FOUND), out
    assert (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == \
        ("open", "none", "invalid"), out
    assert ftp.commands == []


@pytest.mark.parametrize("case", ["closed-port", "login-refused"])
def test_connect_failure_keeps_the_file_open(drive, ftp, case):
    with closed_port() as port:
        url = ("ftp://127.0.0.1:%d/setup.exe" % port if case == "closed-port"
               else ftp.url("/setup.exe", "joe", "wrong"))
        out = drive.transfer("connect-" + case, url)
    assert out["result"] == 0 and out["errorCode"] != 0, out
    assert (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == \
        ("none", "none", "open"), out
    assert "SIZE" not in ftp.command_names()


# Refused for the file (a 550), not as an unknown command (500 to 504, a
# server without the extension, which the transfer does without).
@pytest.mark.parametrize("command, reply", [
    ("SIZE", "550 Could not get file size."),
    ("MDTM", "550 Could not get file modification time."),
], ids=["size", "mdtm"])
def test_size_or_mdtm_refused_ends_like_a_failed_connect(drive, ftp, command, reply):
    name = "refused-" + command.lower()
    ftp.set_faults(replies={command: reply})
    out = drive.transfer(name, ftp.url("/setup.exe"))
    assert out["result"] == 0 and out["errorCode"] != 0, out
    assert (out["internetHandle"], out["requestHandle"], out["fileHandle"]) == \
        ("none", "none", "open"), out
    cmds = after_login(ftp)
    assert cmds[-1] == command + " /setup.exe", cmds
    assert drive.record(name) is None


def test_rest_refused(drive, ftp, site):
    """A server that will not continue is asked for the whole file on the
    same connection; only once it comes do the kept bytes go."""
    name = "refused-rest"
    path = serve(site, name + ".bin")
    leave_partial(drive, ftp, name, path)
    ftp.set_faults(replies={"REST": REST_REFUSED})
    out = drive.transfer(name, ftp.url(path))
    assert (out["result"], out["errorCode"]) == (1, 0), out
    assert all_closed(out), out
    cmds = after_login(ftp)
    assert cmds[3] == f"REST {resume_from(KEEP)}" and cmds.count("RETR " + path) == 1, cmds
    assert [t.rest for t in ftp.transfers] == [0]
    assert out["baseBytes"] == 0, out
    assert drive.file(name).read_bytes() == DATA
    assert drive.record(name) == stored(drive, name)


@pytest.mark.parametrize("seam", [None, "open"], ids=["fallback", "first-way"])
def test_retr_refused(drive, ftp, site, seam):
    """RETR refused after REST, either way of opening the data: the server
    delivers nothing, so the kept bytes and their record stay for a later
    run; RETR is sent once."""
    name = "refused-retr-" + (seam or "fallback")
    path = serve(site, name + ".bin")
    leave_partial(drive, ftp, name, path)
    ftp.set_faults(replies={"RETR": RETR_REFUSED})
    out = drive.transfer(name, ftp.url(path), *(["--retr-seam", seam] if seam else []))
    assert out["result"] == 0 and out["errorCode"] != 0, out
    assert all_closed(out), out
    assert ftp.command_names().count("RETR") == 1
    assert f"REST {resume_from(KEEP)}" in after_login(ftp)
    assert out["doneBytes"] == KEEP and drive.file(name).read_bytes() == DATA[:KEEP], out
    assert drive.record(name) == stored(drive, name)


@pytest.mark.parametrize("mode", ["reset", "close"])
def test_data_cut_short_is_a_failure(drive, ftp, mode):
    name = "cut-" + mode
    ftp.set_faults(cut_after=100_000, cut_mode=mode)
    out = drive.transfer(name, ftp.url("/setup.exe"))
    assert out["result"] == 0 and out["errorCode"] != 0, out
    if mode == "close":
        # The data simply ended before the announced size.
        assert out["errorCode"] == ERROR_INTERNET_CONNECTION_RESET, out
    assert all_closed(out), out
    done = out["doneBytes"]
    assert 0 < done <= 100_000 and drive.file(name).read_bytes() == DATA[:done], out
    assert drive.record(name) == stored(drive, name)


@pytest.mark.parametrize("replies", [{}, {"SIZE": SIZE_EMPTY}], ids=["sized", "size-empty"])
def test_cancel_stops_before_the_next_read(drive, ftp, replies):
    """A cancel is no error: result 1, errorCode 0, the bytes so far and the
    record stay. After an empty SIZE reply nothing can be continued: the file
    is emptied, no record stays, and the counters are 0, so only
    stopRequested tells the launch that the file is incomplete."""
    name = "cancel-" + ("empty" if replies else "sized")
    ftp.set_faults(replies=replies, slow=(4096, 0.02))
    out = drive.transfer(name, ftp.url("/setup.exe"), "--cancel-at", 20_000)
    assert (out["result"], out["errorCode"], out["stopRequested"]) == (1, 0, 1), out
    assert out["totalBytes"] == (0 if replies else len(DATA)), out
    assert all_closed(out), out
    assert ftp.wait_for_transfers(1)[-1].outcome == "aborted"
    done = out["doneBytes"]
    if replies:
        assert done == 0 and drive.file(name).read_bytes() == b"", out
        assert drive.record(name) is None
        return
    assert 20_000 <= done < len(DATA), out
    assert drive.file(name).read_bytes() == DATA[:done]
    assert drive.record(name) == stored(drive, name)


def test_cut_between_connect_and_store_closes_nothing_twice(drive, ftp):
    """A cancel that cuts the session right after the FTP connection is
    opened, before it is stored: the session's close took the connection
    with it, so nobody closes it again."""
    name = "cut-connect"
    out = drive.transfer(name, ftp.url("/setup.exe"), "--cut-after-open")
    assert (out["result"], out["stopRequested"], out["closedTwice"]) == (0, 1, 0), out
    assert (out["internetHandle"], out["requestHandle"]) == ("none", "none"), out
    assert ftp.transfers == []


# --- a client without FtpCommandA (the WinINet of Internet Explorer 3 and 4) ---

# What the run finds and what the server does. "leftover": bytes an earlier
# run kept, with the record that vouches for them; "longer": a leftover file
# longer than the server's, whose tail must not survive.
OLD_CLIENT_CASES = {
    "fresh": {},
    "leftover": {"leftover": "kept"},
    "longer": {"leftover": "longer"},
    "cut-close": {"faults": {"cut_after": 100_000, "cut_mode": "close"}},
    "cut-reset": {"faults": {"cut_after": 100_000, "cut_mode": "reset"}},
    "retr-refused": {"faults": {"replies": {"RETR": RETR_REFUSED}}},
    # The end of the data counts only with 226 or 250: another positive
    # reply is no word that the whole file came.
    "ends-with-250": {"faults": {"end_reply": "250 Requested file action okay, completed."}},
    "ends-with-200": {"faults": {"end_reply": "200 Done."}},
    "cancel": {"faults": {"slow": (4096, 0.02)}, "options": ["--cancel-at", 20_000]},
}


@pytest.mark.parametrize("case", list(OLD_CLIENT_CASES))
def test_client_without_ftp_command_fetches_the_whole_file(drive, ftp, site, case):
    """No SIZE, MDTM or REST: the whole file every time, from an empty output
    file, and without a size only the server's closing reply tells a whole
    file from a cut one. What cannot be continued is not kept: no record, and
    after anything but a whole file an empty output file."""
    change = OLD_CLIENT_CASES[case]
    name = "old-" + case
    path = serve(site, name + ".bin")
    drive.forget(name)
    drive.file(name).unlink(missing_ok=True)
    if change.get("leftover") == "kept":
        leave_partial(drive, ftp, name, path)
        assert drive.record(name) is not None
    elif change.get("leftover") == "longer":
        drive.file(name).write_bytes(DATA + b"tail of a longer file")
    ftp.set_faults(**change.get("faults", {}))

    out = drive.transfer(name, ftp.url(path), "--old-client", *change.get("options", []))

    cmds = after_login(ftp)
    assert not {c.split()[0] for c in cmds} & {"SIZE", "MDTM", "REST"}, cmds
    assert cmds.count("RETR " + path) == 1, cmds
    assert [t.rest for t in ftp.transfers] == ([] if case == "retr-refused" else [0])
    assert out["openTypes"] == [4, 0], out
    assert all_closed(out), out
    assert out["attributes"] & HIDDEN, out
    assert drive.record(name) is None
    assert out["baseBytes"] == out["firstBase"] == out["firstTotal"] == 0, out
    if case in ("fresh", "leftover", "longer", "ends-with-250"):
        assert (out["result"], out["errorCode"]) == (1, 0), out
        # Known at the end, so the launch sees a whole file.
        assert out["totalBytes"] == out["doneBytes"] == len(DATA), out
        assert drive.file(name).read_bytes() == DATA
        return
    if case == "cancel":
        assert (out["result"], out["errorCode"], out["stopRequested"]) == (1, 0, 1), out
    else:
        assert out["result"] == 0 and out["errorCode"] != 0, out
    if case == "cut-close":
        # The data ended quietly; the server's 426 gives it away.
        assert out["errorCode"] == ERROR_INTERNET_CONNECTION_RESET, out
    assert (out["totalBytes"], out["doneBytes"]) == (0, 0), out
    assert drive.file(name).read_bytes() == b""


def test_client_without_ftp_command_marks_the_file_when_the_record_stays(drive, ftp, site):
    """Where the record of an earlier run cannot be deleted (here a key of
    someone else's below it: NT deletes no key that has subkeys), it would
    vouch for what this run writes: the file is marked instead. The next
    run, with a newer client, finds the record naming this file and the
    server's file, and the whole file on disk; the mark alone keeps it from
    being taken unproven: it is fetched afresh."""
    name = "old-unrecorded"
    path = serve(site, name + ".bin")
    leave_partial(drive, ftp, name, path)
    key = rf"HKLM\{drive.regkey(name)}\Install\00010000"
    drive.bench.reg_add_key(key + r"\Other")
    try:
        out = drive.transfer(name, ftp.url(path), "--old-client")
        assert (out["result"], out["errorCode"]) == (1, 0), out
        assert out["attributes"] & (HIDDEN | SYSTEM) == HIDDEN | SYSTEM, out
        assert drive.file(name).read_bytes() == DATA
        assert drive.record(name) == stored(drive, name)
        ftp.clear()

        out = drive.transfer(name, ftp.url(path))
    finally:
        drive.bench.reg_delete(key + r"\Other")

    assert (out["result"], out["errorCode"], out["baseBytes"]) == (1, 0, 0), out
    assert [t.rest for t in ftp.transfers] == [0]
    assert not out["attributes"] & SYSTEM, out
    assert drive.file(name).read_bytes() == DATA
