"""The test servers themselves, checked with native Python clients (no Wine).

Each scripted behaviour must do what the transfer tests rely on; a fixture that
silently serves the wrong thing would make those tests pass or fail for nothing.
"""

import email.utils
import ftplib
import http.client
import os
import socket
import threading
import time

import pytest

from servers import (FaultServer, FtpServer, Nginx, SilentPort, http_date, MDTM_MISSING,
                     MDTM_NOT_IMPLEMENTED, MDTM_SHORT, SIZE_EMPTY, SIZE_BARE, REST_REFUSED,
                     REST_BAD_PARAM, RETR_REFUSED, overlong_reply, NO_CRLF, UNTERMINATED)

DATA = bytes((i * 7 + i // 256) & 0xFF for i in range(100_000))
LM_EPOCH = 1_000_000_000            # Sun, 09 Sep 2001 01:46:40 GMT
FILE_MTIME = 1_100_000_000          # for nginx and FTP: 2004-11-09 11:33:20 GMT


# --- native clients -------------------------------------------------------

class Reply:
    def __init__(self, status, headers, body, end):
        self.status, self.headers, self.body, self.end = status, headers, body, end

    def header(self, name):
        return self.headers.get(name)


def fetch(port, target, headers=None, method="GET"):
    """GET with http.client, reading with read1 so a cut keeps the bytes that came.
    end: "ok", "short" (EOF before Content-Length) or "reset"."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request(method, target, headers=headers or {})
        resp = conn.getresponse()
        body = bytearray()
        times = []
        end = "ok"
        try:
            while True:
                piece = resp.read1(65536)
                if not piece:
                    break
                body += piece
                times.append((time.monotonic(), len(piece)))
        except ConnectionResetError:
            end = "reset"
        if end == "ok" and resp.length:
            end = "short"
        reply = Reply(resp.status, resp.headers, bytes(body), end)
        reply.times = times
        return reply
    finally:
        conn.close()


def ftp_login(port, user="", password=""):
    f = ftplib.FTP()
    try:
        f.connect("127.0.0.1", port, timeout=10)
        f.login(user, password)
    except BaseException:
        f.close()
        raise
    f.set_pasv(False)           # the stub uses active mode
    return f


def retr(f, path, rest=None):
    """RETR into memory; returns (data, error or None)."""
    buf = bytearray()
    try:
        f.retrbinary("RETR " + path, buf.extend, rest=rest)
        return bytes(buf), None
    except (ftplib.Error, OSError) as e:
        return bytes(buf), e


def raw_ftp(port, commands):
    """Log in anonymously over a bare socket and send `commands`; returns each reply's
    raw bytes up to and including the first LF (an overlong line stays whole)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    pending = bytearray()

    def reply():
        while b"\n" not in pending:
            chunk = s.recv(65536)
            if not chunk:
                break
            pending.extend(chunk)
        end = pending.find(b"\n") + 1 or len(pending)
        line = bytes(pending[:end])
        del pending[:end]
        return line

    try:
        reply()
        out = []
        for cmd in ["USER anonymous", "PASS guest@", "TYPE I"] + commands:
            s.sendall(cmd.encode() + b"\r\n")
            out.append(reply())
        return out[3:]
    finally:
        s.close()


# --- fixtures ------------------------------------------------------------

@pytest.fixture(scope="module")
def web():
    with FaultServer() as srv:
        yield srv


@pytest.fixture(scope="module")
def docroot(tmp_path_factory):
    root = tmp_path_factory.mktemp("docroot")
    (root / "setup.exe").write_bytes(DATA)
    (root / "a b.exe").write_bytes(DATA[:1000])
    for p in root.iterdir():
        os.utime(p, (FILE_MTIME, FILE_MTIME))
    return root


@pytest.fixture(scope="module")
def nginx(docroot):
    with Nginx(docroot) as n:
        yield n


@pytest.fixture(scope="module")
def ftpd(docroot):
    with FtpServer(str(docroot), user="joe", password="s3cret") as srv:
        yield srv


@pytest.fixture(scope="module")
def faulty(docroot):
    with FtpServer(str(docroot)) as srv:
        yield srv


# --- scripted HTTP server ----------------------------------------------------

RANGE_IDS = ["whole", "tail", "last-byte", "closed-range", "at-end-416", "past-end-416",
             "ignored"]
RANGE_CASES = [
    # file options, Range header, status, expected body slice, Content-Range
    ({}, None, 200, (0, None), None),
    ({}, "bytes=40000-", 206, (40000, None), "bytes 40000-99999/100000"),
    ({}, "bytes=99999-", 206, (99999, None), "bytes 99999-99999/100000"),
    ({}, "bytes=100-199", 206, (100, 200), "bytes 100-199/100000"),
    ({}, "bytes=100000-", 416, None, "bytes */100000"),
    ({}, "bytes=250000-", 416, None, "bytes */100000"),
    ({"ignore_range": True}, "bytes=40000-", 200, (0, None), None),
]


@pytest.mark.parametrize("options,range_,status,part,content_range", RANGE_CASES, ids=RANGE_IDS)
def test_http_range(web, options, range_, status, part, content_range):
    path = "/range%d.exe" % RANGE_CASES.index((options, range_, status, part, content_range))
    web.add_file(path, DATA, last_modified=LM_EPOCH, **options)
    headers = {"User-Agent": "Prod (Windows XP)"}
    if range_:
        headers["Range"] = range_
    r = fetch(web.port, path, headers)
    assert r.status == status
    assert r.header("Content-Range") == content_range
    rec = web.wait_for_requests(1, path)[-1]
    assert (rec.range, rec.user_agent, rec.status) == (range_, "Prod (Windows XP)", status)
    if part is None:
        assert b"416" in r.body and r.header("Last-Modified") is None
        assert web.byte_log(path) == []
        return
    expected = DATA[part[0]:part[1]]
    assert r.body == expected and r.end == "ok"
    assert int(r.header("Content-Length")) == len(expected)
    assert r.header("Last-Modified") == "Sun, 09 Sep 2001 01:46:40 GMT"
    assert (rec.body_start, rec.body_sent, rec.outcome) == (part[0], len(expected), "complete")
    assert web.byte_log(path) == [(1, part[0], part[0] + len(expected))]


HEADER_CASES = [
    # name, file options, check(reply)
    ("no-last-modified", {"last_modified": None},
     lambda r: r.status == 200 and r.header("Last-Modified") is None and r.body == DATA),
    ("raw-last-modified", {"last_modified": "yesterday-ish"},
     lambda r: r.header("Last-Modified") == "yesterday-ish" and r.body == DATA),
    ("chunked", {"chunked": True},
     lambda r: r.header("Content-Length") is None
     and r.header("Transfer-Encoding") == "chunked" and r.body == DATA and r.end == "ok"),
    ("404", {"status": 404},
     lambda r: r.status == 404 and b"404 Not Found" in r.body
     and r.header("Last-Modified") is None),
    ("500", {"status": 500},
     lambda r: r.status == 500 and b"500 Internal Server Error" in r.body),
    ("over-4GiB", {"content_length_override": 5 * 2**30},
     lambda r: r.header("Content-Length") == str(5 * 2**30) and r.body == DATA
     and r.end == "short"),
    ("long-header", {"extra_headers": [("X-Long", "a" * 20000)]},
     lambda r: r.header("X-Long") == "a" * 20000 and r.body == DATA),
]


@pytest.mark.parametrize("name,options,check", HEADER_CASES, ids=[c[0] for c in HEADER_CASES])
def test_http_headers_and_statuses(web, name, options, check):
    path = "/hdr-%s.exe" % name
    options = dict(options)
    web.add_file(path, DATA, last_modified=options.pop("last_modified", LM_EPOCH), **options)
    assert check(fetch(web.port, path))


def test_http_unknown_path_and_raw_query_are_recorded(web):
    web.add_event("/ev.php", body_chunks=[10], delay_between_chunks=0)
    # a query with a raw blank and ampersands, as a client that escapes nothing sends it
    with socket.create_connection(("127.0.0.1", web.port), timeout=10) as s:
        s.sendall(b"GET /ev.php?x=1?camp=a b&c&mode=0 HTTP/1.1\r\nHost: h\r\n"
                  b"User-Agent: UA\r\nConnection: close\r\n\r\n")
        answer = b""
        while chunk := s.recv(4096):
            answer += chunk
    assert answer.startswith(b"HTTP/1.1 200 ")
    rec = web.wait_for_requests(1, "/ev.php")[-1]
    assert (rec.query, rec.user_agent, rec.body_sent) == ("x=1?camp=a b&c&mode=0", "UA", 10)
    assert rec.t_wall == pytest.approx(time.time(), abs=30)
    assert fetch(web.port, "/nothing/here?y=2").status == 404
    assert web.wait_for_requests(1, "/nothing/here")[-1].query == "y=2"


def test_http_cut_and_short_body(web):
    web.add_file("/cut.exe", DATA, cut_after=[1000, None, 70000])
    web.add_file("/short.exe", DATA, short_body=lambda i, req: 5000 + req.body_start)
    got = [fetch(web.port, "/cut.exe") for _ in range(3)]
    assert [(r.end, len(r.body)) for r in got] == [("reset", 1000), ("ok", 100000),
                                                  ("reset", 70000)]
    assert all(r.body == DATA[:len(r.body)] for r in got)
    assert all(r.header("Content-Length") == "100000" for r in got)
    resumed = fetch(web.port, "/cut.exe", {"Range": "bytes=70000-"})   # past the list: whole
    assert resumed.body == DATA[70000:]
    short = fetch(web.port, "/short.exe", {"Range": "bytes=10-"})
    assert (short.end, short.body) == ("short", DATA[10:5020])

    recs = web.wait_for_requests(4, "/cut.exe")
    assert [r.outcome for r in recs] == ["cut", "complete", "cut", "complete"]
    assert web.byte_log("/cut.exe") == [(1, 0, 1000), (1, 0, 100000), (1, 0, 70000),
                                        (1, 70000, 100000)]
    # the second request repeats all of the first and its own tail repeats in the fourth
    assert web.bytes_sent_twice("/cut.exe") == 1000 + 70000 + 30000


def test_http_replace_file_new_version(web):
    v1 = web.add_file("/v.exe", DATA, last_modified=LM_EPOCH, cut_after=[500])
    assert fetch(web.port, "/v.exe").end == "reset"
    v2 = web.replace_file("/v.exe", DATA[::-1], last_modified=LM_EPOCH + 60)
    r = fetch(web.port, "/v.exe", {"Range": "bytes=0-"})
    assert (v1, v2) == (1, 2)
    assert r.body == DATA[::-1]
    assert r.header("Last-Modified") == http_date(LM_EPOCH + 60)
    assert [rec.file_version for rec in web.wait_for_requests(2, "/v.exe")] == [1, 2]
    assert web.byte_log("/v.exe") == [(1, 0, 500), (2, 0, 100000)]
    assert web.bytes_sent_twice("/v.exe") == 0     # another version is not a repeat
    web.set_options("/v.exe", ignore_range=True)
    assert fetch(web.port, "/v.exe", {"Range": "bytes=5-"}).status == 200


def test_http_trickle_ends_promptly_at_stop():
    with FaultServer() as srv:
        srv.add_file("/slow.exe", DATA * 10, trickle=(2000, 0.1))
        result = {}
        t = threading.Thread(target=lambda: result.update(r=fetch(srv.port, "/slow.exe")))
        t.start()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and sum(r.body_sent for r in srv.requests) < 6000:
            time.sleep(0.02)
        t0 = time.monotonic()
    assert time.monotonic() - t0 < 2.0             # stop() did not wait for the body
    t.join(5)
    r = result["r"]
    assert 6000 <= len(r.body) < len(DATA) and r.end in ("short", "reset")
    # 2000 bytes per 0.1 s: the pacing shows in the time the bytes took (load only adds)
    span = r.times[-1][0] - r.times[0][0]
    assert span >= 0.1 * (len(r.body) // 2000 - 2)
    assert srv.requests[0].outcome == "stopped"


@pytest.mark.parametrize("chunked", [False, True], ids=["length", "chunked"])
def test_http_event_chunks(web, chunked):
    path = "/scripts/event%d.php" % chunked
    web.add_event(path, body_chunks=[300, 400, 325], delay_between_chunks=0.2, chunked=chunked)
    r = fetch(web.port, path + "?camp=default&mode=1", {"User-Agent": "Prod (Windows 98)"})
    assert r.status == 200 and len(r.body) == 1025
    assert [n for _, n in r.times] == [300, 400, 325]
    assert (r.header("Content-Length") is None) == chunked
    rec = web.wait_for_requests(1, path)[-1]
    assert (rec.query, rec.user_agent) == ("camp=default&mode=1", "Prod (Windows 98)")
    assert rec.params == {"camp": "default", "mode": "1"}
    assert len(rec.chunk_times) == 3
    assert all(b - a >= 0.19 for a, b in zip(rec.chunk_times, rec.chunk_times[1:]))


# --- silent port -----------------------------------------------------------

def test_silent_port_accepts_and_never_answers():
    with SilentPort() as port:
        with socket.create_connection(("127.0.0.1", port.port), timeout=5) as s:
            s.sendall(b"GET /e.php?mode=1 HTTP/1.1\r\nHost: x\r\n\r\n")
            s.settimeout(1.5)
            with pytest.raises((socket.timeout, TimeoutError)):
                s.recv(1)
        assert [line for _, line in port.requests] == ["GET /e.php?mode=1 HTTP/1.1"]


def test_silent_port_without_accept_lets_no_connection_complete():
    with SilentPort(accept=False) as port:
        t0 = time.monotonic()
        with pytest.raises((socket.timeout, TimeoutError)):
            socket.create_connection(("127.0.0.1", port.port), timeout=2)
        assert time.monotonic() - t0 >= 1.9
        assert port.requests == []


# --- nginx ---------------------------------------------------------------

NGINX_CASES = [
    (None, 200, DATA),
    ("bytes=60000-", 206, DATA[60000:]),
    ("bytes=100000-", 416, None),
    ("bytes=100001-", 416, None),
]


@pytest.mark.parametrize("range_,status,body", NGINX_CASES, ids=["whole", "tail", "at-end",
                                                                 "past-end"])
def test_nginx(nginx, range_, status, body):
    before = len(nginx.access_log())
    headers = {"User-Agent": "Prod (Windows 2000)"}
    if range_:
        headers["Range"] = range_
    r = fetch(nginx.port, "/setup.exe", headers)
    assert r.status == status
    if body is not None:
        assert r.body == body
        assert int(r.header("Content-Length")) == len(body)
        assert email.utils.parsedate_to_datetime(r.header("Last-Modified")).timestamp() \
            == FILE_MTIME
    entry = nginx.access_log(wait_for=before + 1)[before]
    assert (entry.method, entry.path, entry.range, entry.user_agent, entry.status) == \
        ("GET", "/setup.exe", range_, "Prod (Windows 2000)", status)
    if body is not None:
        assert entry.body_bytes_sent == len(body)


def test_nginx_missing_file_and_log_after_stop(docroot):
    n = Nginx(docroot).start()
    try:
        assert fetch(n.port, "/none.exe").status == 404
        assert fetch(n.port, "/a%20b.exe").body == DATA[:1000]
    finally:
        n.stop()
    assert [(e.path, e.status) for e in n.access_log()] == [("/none.exe", 404),
                                                           ("/a%20b.exe", 200)]


# --- FTP -----------------------------------------------------------------

def test_ftp_stock_session(ftpd):
    ftpd.clear()
    f = ftp_login(ftpd.port)
    try:
        with pytest.raises(ftplib.error_perm, match="550 SIZE not allowed in ASCII mode"):
            f.sendcmd("SIZE /setup.exe")
        assert f.sendcmd("TYPE I").startswith("200")
        assert f.sendcmd("SIZE /setup.exe") == "213 100000"
        assert f.sendcmd("MDTM /setup.exe") == "213 20041109113320"
        assert f.sendcmd("SIZE /a b.exe") == "213 1000"
        tail, err = retr(f, "/setup.exe", rest=99000)
        assert err is None and tail == DATA[99000:]
        whole, err = retr(f, "/setup.exe")
        assert err is None and whole == DATA
    finally:
        f.quit()
    assert ftpd.command_names() == ["USER", "PASS", "SIZE", "TYPE", "SIZE", "MDTM", "SIZE",
                                    "TYPE", "PORT", "REST", "RETR", "TYPE", "PORT", "RETR",
                                    "QUIT"]
    cmds = ftpd.commands
    assert cmds[9].arg == "99000" and cmds[10].replies[-1].startswith("226")
    assert [(t.path, t.rest, t.sent, t.outcome) for t in ftpd.wait_for_transfers(2)] == \
        [("/setup.exe", 99000, 1000, "complete"), ("/setup.exe", 0, 100000, "complete")]


@pytest.mark.parametrize("user,password,ok", [
    ("joe", "s3cret", True),
    ("joe", "wrong", False),
    ("anonymous", "any@where", True),
])
def test_ftp_logins(ftpd, user, password, ok):
    ftpd.clear()
    if ok:
        f = ftp_login(ftpd.port, user, password)
        f.sendcmd("TYPE I")
        assert retr(f, "/setup.exe") == (DATA, None)
        f.quit()
    else:
        with pytest.raises(ftplib.error_perm, match="530"):
            ftp_login(ftpd.port, user, password)
    assert [(c.cmd, c.arg) for c in ftpd.commands[:2]] == [("USER", user), ("PASS", password)]


REPLY_CASES = [
    # name, canned replies, command, exact reply bytes
    ("mdtm-missing", {"MDTM": MDTM_MISSING}, "MDTM /setup.exe",
     b'500 Command "MDTM" not understood.\r\n'),
    ("mdtm-502", {"MDTM": MDTM_NOT_IMPLEMENTED}, "MDTM /setup.exe",
     b"502 Command not implemented.\r\n"),
    ("mdtm-short", {"MDTM": MDTM_SHORT}, "MDTM /setup.exe", b"213 2003\r\n"),
    ("size-empty", {"SIZE": SIZE_EMPTY}, "SIZE /setup.exe", b"213 \r\n"),
    ("size-bare", {"SIZE": SIZE_BARE}, "SIZE /setup.exe", b"213\r\n"),
    ("rest-refused", {"REST": REST_REFUSED}, "REST 10", b"502 Command not implemented.\r\n"),
    ("rest-504", {"REST": REST_BAD_PARAM}, "REST 10",
     b"504 Command not implemented for that parameter.\r\n"),
    ("retr-refused", {"RETR": RETR_REFUSED}, "RETR /setup.exe",
     b"550 No such file or directory.\r\n"),
    ("overlong", {"SIZE": overlong_reply()}, "SIZE /setup.exe",
     b"213 " + b"9" * 8996 + b"\r\n"),
    ("no-crlf", {"SIZE": NO_CRLF("213 100000")}, "SIZE /setup.exe", b"213 100000\n"),
    ("unterminated", {"SIZE": UNTERMINATED("213 100")}, "SIZE /setup.exe", b"213 100"),
    ("callable-stock", {"SIZE": lambda h, arg: None}, "SIZE /setup.exe", b"213 100000\r\n"),
]


@pytest.mark.parametrize("name,replies,command,expected", REPLY_CASES,
                         ids=[c[0] for c in REPLY_CASES])
def test_ftp_canned_replies(faulty, name, replies, command, expected):
    faulty.set_faults(replies=replies)
    faulty.clear()
    closes = name == "unterminated"
    got = raw_ftp(faulty.port, [command] + ([] if closes else ["NOOP"]))
    assert got[0] == expected
    if closes:      # nothing after the text: the connection ended
        assert got[1:] == []
    else:           # the session goes on after the odd reply
        assert got[1].startswith(b"200 ")
        assert faulty.command_names()[-2:] == [command.split()[0], "NOOP"]
    rec = [c for c in faulty.commands if c.cmd == command.split()[0]][-1]
    assert rec.arg == command.split(" ", 1)[1]
    assert not faulty.transfers          # a refused RETR opens no file


def test_ftp_retr_refused_sends_no_data(faulty):
    faulty.set_faults(replies={"RETR": RETR_REFUSED})
    f = ftp_login(faulty.port)
    try:
        f.sendcmd("TYPE I")
        data, err = retr(f, "/setup.exe")
        assert data == b"" and isinstance(err, ftplib.error_perm) and str(err).startswith("550")
    finally:
        f.close()


@pytest.mark.parametrize("mode,error", [("reset", ConnectionResetError),
                                        ("close", ftplib.error_temp)])
def test_ftp_cut_data_connection(faulty, mode, error):
    faulty.set_faults(cut_after=[3000, None], cut_mode=mode)
    faulty.clear()
    f = ftp_login(faulty.port)
    try:
        f.sendcmd("TYPE I")
        first, err = retr(f, "/setup.exe", rest=500)
        assert first == DATA[500:3500] and isinstance(err, error)
        if mode == "reset":         # the reset came first; the 426 reply is still queued
            with pytest.raises(ftplib.error_temp, match="^426"):
                f.getresp()
        second, err = retr(f, "/setup.exe", rest=3500)
        assert err is None and second == DATA[3500:]
    finally:
        f.close()
    ts = faulty.wait_for_transfers(2)
    assert [(t.rest, t.sent, t.cut_after, t.outcome) for t in ts] == \
        [(500, 3000, 3000, "cut"), (3500, 96500, None, "complete")]


def test_ftp_slow_data_and_prompt_stop(docroot):
    srv = FtpServer(str(docroot), handler_faults={"slow": (1000, 0.1)}).start()
    f = ftp_login(srv.port)
    f.sendcmd("TYPE I")
    conn = f.transfercmd("RETR /setup.exe")
    arrivals = []
    try:
        while sum(n for _, n in arrivals) < 4000:
            piece = conn.recv(65536)
            assert piece
            arrivals.append((time.monotonic(), len(piece)))
        t0 = time.monotonic()
        srv.stop()
        assert time.monotonic() - t0 < 2.0
        conn.settimeout(5)
        rest = b""
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                rest += chunk
        except ConnectionResetError:
            pass
    finally:
        conn.close()
        f.close()
        srv.stop()
    # 1000 bytes per 0.1 s: the pacing shows in the time the bytes took
    assert arrivals[-1][0] - arrivals[0][0] >= 0.1 * (sum(n for _, n in arrivals) // 1000 - 2)
    assert sum(n for _, n in arrivals) + len(rest) < len(DATA)
    assert srv.transfers[0].outcome == "aborted"


def test_ftp_fixed_port(docroot):
    if not FtpServer.can_bind(21):
        pytest.skip("port 21 cannot be bound here")
    with FtpServer(str(docroot), port=21) as srv:
        assert srv.port == 21 and srv.url("/x.exe", port=False) == "ftp://127.0.0.1/x.exe"
        f = ftp_login(21)
        f.sendcmd("TYPE I")
        assert f.sendcmd("SIZE /setup.exe") == "213 100000"
        f.quit()


def test_taken_port_is_an_error_not_another_server(docroot):
    # A readiness check that only connects would take the squatter for nginx.
    with socket.socket() as squatter:
        squatter.bind(("127.0.0.1", 0))
        squatter.listen()
        port = squatter.getsockname()[1]
        with pytest.raises(RuntimeError, match="Address already in use"):
            Nginx(docroot, port=port).start()
        with pytest.raises(OSError):
            FtpServer(str(docroot), port=port).start()
        assert not FtpServer.can_bind(port)
