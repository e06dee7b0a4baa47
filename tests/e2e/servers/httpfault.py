"""A scripted HTTP/1.1 server for the faults a real server will not produce on demand.

Runs in threads of the test process, on 127.0.0.1 and a port chosen at start.

    with FaultServer() as srv:
        srv.add_file("/setup.exe", data, last_modified=1700000000)
        srv.add_file("/cut.exe", data, cut_after=[5000, 9000])   # 1st and 2nd request cut
        srv.add_event("/event.php", body_chunks=[300, 400, 325])
        url = srv.url("/setup.exe")
        ...
        r = srv.requests[-1]          # Request: method, path, query, headers, status, ...
        r.range, r.user_agent, r.body_start, r.body_sent, r.outcome

Files (add_file / replace_file / set_options)
    data                   the file's bytes; each add/replace makes a new version (1, 2, ...)
    last_modified          epoch seconds (int/float) -> an HTTP date; a str is sent verbatim
                           (e.g. not a date); None -> no Last-Modified header.
                           Default: the time add_file was called.
    Range "bytes=N-" / "bytes=N-M" is honoured like nginx: 206 with Content-Range and the
    Content-Length of the part; 416 (Content-Range: bytes */size) when N >= size.
    ignore_range=True      200 and the whole file whatever the Range says
    Replies to a Range "bytes=N-" that no honest server gives (a request without a Range
    is answered as configured):
    range_shift=D          206 of a part that starts D bytes after N (before it when D < 0),
                           as long as the rest from N (shorter by D when D > 0); its
                           Content-Range names the part that is sent
    range_total_shift=D    the honest 206, with a Content-Range total D more than the size
    range_head_200=True    200 with the first size - N bytes of the file: as long as the rest
    range_head_206=True    the same as a 206 without Content-Range (a server that drops the
                           offset)
    range_status=N         status N (a small page; 416 with Content-Range: bytes */size) to a
                           request with a Range, the file to one without
    plain_last_modified=V  the Last-Modified (as last_modified) sent to a request without a
                           Range; the file's own to one with
    as_status=N            status N instead of the file's 200/206, with the file's
                           Last-Modified and a small HTML page as body (e.g. a 302 without
                           Location); 1xx, 204 and 304 carry no body (Content-Length: 0)
    chunked=True           Transfer-Encoding: chunked, no Content-Length
    status=404/500/...     that status with a small HTML body (no Last-Modified); also a list
                           (per request, None = the file) or a callable like cut_after
    retry_after=S          a Retry-After: S header with such a status (int or str; also a
                           list or a callable like cut_after)
    cut_after=N            headers (full Content-Length), N body bytes, wait until the client's
                           TCP stack has them, then reset the connection (RST)
    short_body=N           the same but a plain close (FIN): the body ends short
        cut_after and short_body also take a list (one entry per request to this path, in
        order; None or past the end = not cut) or a callable(index, request) -> int | None.
    trickle=(n, secs)      the body in pieces of n bytes every secs seconds; ends promptly at stop();
                           also a callable(index, request) -> (n, secs) or None (at full speed)
    slow_from=(n, secs)    the body at full speed up to byte n of the reply, then one byte every
                           secs seconds
    stall_after=N          headers (full Content-Length), N body bytes, then silence: the
                           connection stays open and nothing more is sent until the client
                           closes it or the server stops (outcome "stalled")
    stall_for=S            with stall_after: after S seconds of silence up to 16 KB more of
                           the body come after all (never all of it), as bytes that are not
                           the file's (0xEE), then silence again; late_sent counts them
    silent=True            the request is read and never answered, the connection kept open
                           as with stall_after (outcome "silent")
        stall_after and silent also take a list or a callable like cut_after.
    content_length_override=V  Content-Length: V instead of the true length (e.g. 5 * 2**30);
                           the connection is closed after the body when V is not the true length;
                           also a list or a callable like cut_after (None: the true length)
    no_status=True         the connection closed (FIN) once the request is read, before any
                           status line; also a list or a callable like cut_after
    extra_headers=[(name, value), ...]  sent as given (e.g. ("X-Long", "a" * 20000))
    content_type           default application/octet-stream

Event endpoint (add_event)
    body_chunks=[300, 400, 325]  the body is sent in these pieces with delay_between_chunks
    seconds between them (TCP_NODELAY, so a client sees separate reads); status, chunked.

    replace_file(path, data=None, last_modified=..., **options)  a new version; what is not
                           given is kept; set_options(path, **options) changes behaviour only.
    srv.version(path), srv.data(path)   the current version number and bytes

Records
    srv.requests            snapshot list of Request records, in arrival order (thread-safe);
                            a record is filled in while its reply is being sent, done=True
                            at the end.
                            Request: t_mono, t_wall, method, target and query exactly as they
                            arrived (raw blanks kept), headers [(name, value)], header(name),
                            range, user_agent, params (dict), status, file_version, body_start,
                            body_sent, content_length, outcome (complete, cut, short,
                            stalled, silent, client-gone, stopped), chunk_times (event pieces, monotonic)
    srv.requests_for(path)
    srv.wait_for_requests(n, path=None, timeout=10)  blocks until n finished requests (to path)
    srv.byte_log(path)      [(version, start, end), ...] body bytes handed to the client per request
    srv.bytes_sent_twice(path)   bytes of one version sent more than once (for the soak)
    srv.clear()             forgets the requests and the byte log
Unknown paths get 404. Paths match the raw request path or its %-decoded form.
"""

import email.utils
import errno
import fcntl
import select
import http.server
import socket
import socketserver
import struct
import sys
import termios
import threading
import time
import traceback
import urllib.parse
from dataclasses import dataclass, field

__all__ = ["FaultServer", "Request", "http_date", "unacked_bytes", "reset_when_delivered"]

_DEFAULT = object()
_PIECE = 64 * 1024

_FILE_OPTIONS = {
    "ignore_range": False,
    "range_shift": None,
    "range_total_shift": None,
    "range_head_200": False,
    "range_head_206": False,
    "range_status": None,
    "plain_last_modified": _DEFAULT,
    "as_status": None,
    "chunked": False,
    "status": None,
    "retry_after": None,
    "cut_after": None,
    "short_body": None,
    "trickle": None,
    "slow_from": None,
    "stall_after": None,
    "silent": None,
    "stall_for": None,
    "content_length_override": None,
    "no_status": None,
    "extra_headers": (),
    "content_type": "application/octet-stream",
}


def http_date(epoch):
    """RFC 1123 date in GMT, as servers send it in Last-Modified."""
    return email.utils.formatdate(epoch, usegmt=True)


def unacked_bytes(sock):
    """Bytes written to a TCP socket that the peer has not acknowledged yet."""
    buf = fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0")
    return struct.unpack("i", buf)[0]


def reset_when_delivered(sock, stop_event=None, timeout=10.0):
    """Wait until the peer holds every byte written, then close with RST.

    A reset discards whatever is still unsent, so the wait makes "cut after N
    bytes" mean that the client really received N bytes.
    """
    deadline = time.monotonic() + timeout
    try:
        while unacked_bytes(sock) > 0 and time.monotonic() < deadline:
            if stop_event is not None and stop_event.is_set():
                break
            time.sleep(0.005)
    except OSError:
        pass
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


@dataclass
class Request:
    """One request as the server saw it and what it answered."""
    t_mono: float
    t_wall: float
    client: tuple
    method: str
    target: str            # the raw request target, with query
    path: str              # raw path without the query
    query: str             # raw query string ("" when none)
    http_version: str
    headers: list          # [(name, value), ...] in the order received
    status: int = None
    file_version: int = None
    body_start: int = 0    # offset in the file of the first body byte
    body_sent: int = 0     # body bytes handed to the client
    content_length: str = None   # the Content-Length header sent, if any
    outcome: str = None    # complete, cut, short, stalled, silent, client-gone, stopped
    late_sent: int = 0     # stall_for: bytes sent after the silence
    done: bool = False
    t_done: float = None
    chunk_times: list = field(default_factory=list)   # event endpoint: monotonic time per piece

    def header(self, name, default=None):
        """The first header of that name (case-insensitive)."""
        low = name.lower()
        for k, v in self.headers:
            if k.lower() == low:
                return v
        return default

    @property
    def range(self):
        return self.header("Range")

    @property
    def user_agent(self):
        return self.header("User-Agent")

    @property
    def params(self):
        """The query as a dict (last value wins); use .query for the raw text."""
        return dict(urllib.parse.parse_qsl(self.query, keep_blank_values=True))


class _Entry:
    def __init__(self, kind, data, version, last_modified, opts):
        self.kind = kind
        self.data = data
        self.version = version
        self.last_modified = last_modified
        self.opts = opts
        self.count = 0      # requests served since the options were set


def _format_lm(value):
    if value is None or isinstance(value, str):
        return value
    return http_date(value)


def _pick(spec, index, request):
    """Resolve a per-request option: int, list (by request index) or callable."""
    if spec is None:
        return None
    if callable(spec):
        return spec(index, request)
    if isinstance(spec, (list, tuple)):
        return spec[index] if index < len(spec) else None
    return spec


class _Stopped(Exception):
    pass


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "faultserver/1"

    def log_message(self, *args):
        pass

    def parse_request(self):
        # Keep a target with raw blanks (a client that does not escape them) as one
        # word; it is recorded exactly as it arrived.
        words = str(self.raw_requestline, "iso-8859-1").rstrip("\r\n").split(" ")
        self.raw_target = None
        if len(words) > 3 and words[-1].startswith("HTTP/"):
            self.raw_target = " ".join(words[1:-1])
            line = " ".join([words[0], self.raw_target.replace(" ", "%20"), words[-1]])
            self.raw_requestline = line.encode("iso-8859-1") + b"\r\n"
        return super().parse_request()

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server.owner._track(self.connection, threading.current_thread(), True)

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass
        self.server.owner._track(self.connection, threading.current_thread(), False)

    def do_GET(self):
        self.server.owner._serve(self)

    def do_HEAD(self):
        self.server.owner._serve(self)


class _TCPServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that vanishes mid-reply is an expected event here; anything
        # else is a fault of this server and must be seen.
        if not isinstance(sys.exc_info()[1], OSError):
            traceback.print_exc()


class FaultServer:
    """Scripted HTTP server; see the module docstring for the behaviours."""

    def __init__(self, host="127.0.0.1", port=0):
        self.host = host
        self._want_port = port
        self.port = None
        self._lock = threading.Lock()
        self._entries = {}
        self._requests = []
        self._bytes = []    # (path, version, start, end)
        self._conns = {}
        self._stop = threading.Event()
        self._httpd = None
        self._thread = None

    # --- lifecycle
    def start(self):
        self._stop.clear()
        self._httpd = _TCPServer((self.host, self._want_port), _Handler)
        self._httpd.owner = self
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="faultserver", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._httpd is None:
            return
        self._stop.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        with self._lock:
            conns = list(self._conns.items())
        for sock, thread in conns:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for sock, thread in conns:
            thread.join(2.0)
        self._thread.join(2.0)
        self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path="/"):
        return "http://%s:%d%s" % (self.host, self.port, path)

    def _track(self, sock, thread, add):
        with self._lock:
            if add:
                self._conns[sock] = thread
            else:
                self._conns.pop(sock, None)

    # --- content
    def add_file(self, path, data, last_modified=_DEFAULT, **options):
        """Serve `data` at `path` (a new version when the path exists). Returns the version."""
        opts = dict(_FILE_OPTIONS)
        opts.update(self._check(options))
        if last_modified is _DEFAULT:
            last_modified = int(time.time())
        with self._lock:
            old = self._entries.get(path)
            version = old.version + 1 if old else 1
            self._entries[path] = _Entry("file", bytes(data), version,
                                         _format_lm(last_modified), opts)
            return version

    def replace_file(self, path, data=None, last_modified=_DEFAULT, **options):
        """New version of a file: data and/or Last-Modified replaced, other options kept
        unless given (the request index of cut lists goes on unless they are given).
        Returns the new version number."""
        with self._lock:
            old = self._entries[path]
            opts = dict(old.opts)
            opts.update(self._check(options))
            entry = self._entries[path] = _Entry(
                "file", old.data if data is None else bytes(data), old.version + 1,
                old.last_modified if last_modified is _DEFAULT else _format_lm(last_modified),
                opts)
            if "cut_after" not in options and "short_body" not in options:
                entry.count = old.count     # a cut list goes on counting across versions
            return entry.version

    def set_options(self, path, **options):
        """Change behaviour options of a path; the data and version stay.
        The per-request index of list/callable options starts again at 0."""
        with self._lock:
            entry = self._entries[path]
            entry.opts = dict(entry.opts)
            entry.opts.update(self._check(options) if entry.kind == "file" else options)
            entry.count = 0

    def add_event(self, path, body_chunks=(300, 400, 325), status=200,
                  delay_between_chunks=0.2, chunked=False):
        """An event script: answers with a body in the given pieces, pausing between them."""
        total = sum(body_chunks)
        pattern = b"event reply\n" * (total // 12 + 1)
        with self._lock:
            self._entries[path] = _Entry("event", pattern[:total], 1, None, {
                "body_chunks": list(body_chunks), "status": status,
                "delay": delay_between_chunks, "chunked": chunked})

    def remove(self, path):
        with self._lock:
            self._entries.pop(path, None)

    def version(self, path):
        with self._lock:
            return self._entries[path].version

    def data(self, path):
        with self._lock:
            return self._entries[path].data

    @staticmethod
    def _check(options):
        unknown = set(options) - set(_FILE_OPTIONS)
        if unknown:
            raise TypeError("unknown option(s): %s" % ", ".join(sorted(unknown)))
        return options

    # --- records
    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    def requests_for(self, path):
        return [r for r in self.requests if r.path == path]

    def wait_for_requests(self, n, path=None, timeout=10.0):
        """Wait until n requests (to `path`, if given) have been answered; returns them."""
        deadline = time.monotonic() + timeout
        while True:
            got = [r for r in self.requests if r.done and (path is None or r.path == path)]
            if len(got) >= n or time.monotonic() > deadline:
                return got
            time.sleep(0.01)

    def clear(self):
        with self._lock:
            self._requests.clear()
            self._bytes.clear()

    def byte_log(self, path=None):
        """[(version, start, end)] of body bytes sent, per request; path=None: all, with path."""
        with self._lock:
            if path is None:
                return [tuple(b) for b in self._bytes]
            return [(v, s, e) for p, v, s, e in self._bytes if p == path]

    def bytes_sent_twice(self, path):
        """Body bytes of the same file version sent more than once."""
        seen = {}
        twice = 0
        for version, start, end in self.byte_log(path):
            ranges = seen.setdefault(version, [])
            for s, e in ranges:
                lo, hi = max(s, start), min(e, end)
                if hi > lo:
                    twice += hi - lo
            ranges.append((start, end))
            # merge to keep the count of overlaps exact for later entries
            ranges.sort()
            merged = []
            for s, e in ranges:
                if merged and s <= merged[-1][1]:
                    merged[-1] = (merged[-1][0], max(merged[-1][1], e))
                else:
                    merged.append((s, e))
            seen[version] = merged
        return twice

    # --- serving
    def _serve(self, h):
        now = time.monotonic()
        target = h.raw_target or h.path
        raw_path, _, query = target.partition("?")
        rec = Request(now, time.time(), h.client_address, h.command, target, raw_path, query,
                      h.request_version, list(h.headers.items()))
        with self._lock:
            self._requests.append(rec)
            entry = self._entries.get(raw_path) or self._entries.get(urllib.parse.unquote(raw_path))
            if entry is not None:
                index = entry.count
                entry.count += 1
                # a consistent view even if the file is replaced meanwhile
                kind, data, version, lm, opts = (entry.kind, entry.data, entry.version,
                                                 entry.last_modified, dict(entry.opts))
        try:
            if entry is None:
                self._send_status(h, rec, 404)
            elif kind == "event":
                self._send_event(h, rec, data, opts)
            else:
                self._send_file(h, rec, index, data, version, lm, opts)
        except _Stopped:
            rec.outcome = "stopped"
            h.close_connection = True
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, socket.timeout):
            rec.outcome = "client-gone"
            h.close_connection = True
        except OSError as e:
            if e.errno not in (errno.EPIPE, errno.ECONNRESET, errno.EBADF, errno.ENOTCONN):
                raise
            rec.outcome = "client-gone"
            h.close_connection = True
        finally:
            rec.t_done = time.monotonic()
            rec.done = True

    def _send_status(self, h, rec, status, headers=()):
        body = b"" if status < 200 or status in (204, 304) else _status_page(status)
        h.send_response(status)
        h.send_header("Content-Type", "text/html")
        h.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            h.send_header(k, v)
        h.end_headers()
        rec.status = status
        rec.content_length = str(len(body))
        if h.command != "HEAD":
            h.connection.sendall(body)
        rec.outcome = "complete"

    def _send_event(self, h, rec, data, opts):
        chunked = opts["chunked"]
        h.send_response(opts["status"])
        h.send_header("Content-Type", "text/plain")
        if chunked:
            h.send_header("Transfer-Encoding", "chunked")
        else:
            h.send_header("Content-Length", str(len(data)))
            rec.content_length = str(len(data))
        h.end_headers()
        rec.status = opts["status"]
        if h.command == "HEAD":
            rec.outcome = "complete"
            return
        pos = 0
        for i, n in enumerate(opts["body_chunks"]):
            if i and self._stop.wait(opts["delay"]):
                raise _Stopped()
            piece = data[pos:pos + n]
            h.connection.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            pos += n
            rec.body_sent = pos
            rec.chunk_times.append(time.monotonic())
        if chunked:
            h.connection.sendall(b"0\r\n\r\n")
        rec.outcome = "complete"

    def _hold_silent(self, sock, seconds=None):
        """Sends nothing until the client closes the connection (what it sends
        is read and dropped), the server stops, or seconds have passed (then
        True)."""
        end = None if seconds is None else time.monotonic() + seconds
        while not self._stop.is_set():
            if end is not None and time.monotonic() >= end:
                return True
            readable, _, _ = select.select([sock], [], [], 0.1)
            if readable and not sock.recv(4096):
                return False
        raise _Stopped()

    def _send_file(self, h, rec, index, data, version, lm, opts):
        size = len(data)
        rec.file_version = version
        if _pick(opts["silent"], index, rec):
            rec.outcome = "silent"
            h.close_connection = True
            self._hold_silent(h.connection)
            return
        if _pick(opts["no_status"], index, rec):
            rec.outcome = "short"
            h.close_connection = True
            h.connection.shutdown(socket.SHUT_WR)
            return
        status = _pick(opts["status"], index, rec)
        if status is not None:
            wait = _pick(opts["retry_after"], index, rec)
            self._send_status(h, rec, status, [] if wait is None else [("Retry-After", str(wait))])
            return
        start, end, status = 0, size, 200
        total = size
        rng = None if opts["ignore_range"] else _parse_range(rec.range)
        if rng is None and opts["plain_last_modified"] is not _DEFAULT:
            lm = _format_lm(opts["plain_last_modified"])
        if rng is not None and opts["range_status"] is not None:
            status = opts["range_status"]
            self._send_status(h, rec, status,
                              [("Content-Range", "bytes */%d" % size)] if status == 416 else [])
            return
        if rng is not None:
            first, last = rng
            if first >= size:
                self._send_status(h, rec, 416, [("Content-Range", "bytes */%d" % size)])
                return
            start, end, status = first, size if last is None else min(last + 1, size), 206
            if opts["range_head_200"] or opts["range_head_206"]:
                start, end = 0, end - start
                status = 200 if opts["range_head_200"] else 206
            elif opts["range_shift"] is not None:
                shift = max(opts["range_shift"], -start)
                start, end = start + shift, min(end + shift, size)
            if opts["range_total_shift"] is not None:
                total = size + opts["range_total_shift"]
        part = data[start:end]
        if opts["as_status"] is not None:
            status, start = opts["as_status"], 0
            part = b"" if status < 200 or status in (204, 304) else _status_page(status)
        rec.body_start = start
        cut = _pick(opts["cut_after"], index, rec)
        short = _pick(opts["short_body"], index, rec)
        override = _pick(opts["content_length_override"], index, rec)

        h.send_response(status)
        h.send_header("Content-Type", opts["content_type"])
        if lm is not None:
            h.send_header("Last-Modified", lm)
        if status == 206 and not opts["range_head_206"]:
            h.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, total))
        if opts["chunked"]:
            h.send_header("Transfer-Encoding", "chunked")
        else:
            rec.content_length = str(len(part) if override is None else override)
            h.send_header("Content-Length", rec.content_length)
        h.send_header("Accept-Ranges", "bytes")
        for k, v in opts["extra_headers"]:
            h.send_header(k, v)
        h.end_headers()
        rec.status = status
        if h.command == "HEAD":
            rec.outcome = "complete"
            return

        limit = len(part)
        stall = _pick(opts["stall_after"], index, rec)
        for n in (cut, short, stall):
            if n is not None:
                limit = min(limit, n)
        trickle = opts["trickle"]
        if callable(trickle):
            trickle = trickle(index, rec)
        piece_size, interval = trickle or (_PIECE, 0)
        slow_at, slow_secs = opts["slow_from"] or (None, 0)
        sock = h.connection
        pos = 0
        while pos < limit:
            if slow_at is not None and pos >= slow_at:
                piece_size, interval = 1, slow_secs
            if interval and pos and self._stop.wait(interval):
                raise _Stopped()
            if self._stop.is_set():
                raise _Stopped()
            end = min(pos + piece_size, limit)
            if slow_at is not None and pos < slow_at:
                end = min(end, slow_at)
            piece = part[pos:end]
            sock.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if opts["chunked"] else piece)
            pos += len(piece)
            self._log_bytes(rec, version, start, pos)

        if stall is not None and stall < len(part):
            rec.outcome = "stalled"
            h.close_connection = True
            late = opts["stall_for"]
            if self._hold_silent(sock, late) and late is not None:
                # Bytes that are not the file's: a client that took them
                # after it gave up on this reply spoils what it writes.
                # Fewer than the rest, so the client never takes the
                # connection for a finished one to use again.
                late_bytes = min(len(part) - stall - 1, 16384)
                sock.sendall(b"\xee" * late_bytes)
                rec.late_sent = late_bytes
                self._hold_silent(sock)
            return
        if cut is not None and cut < len(part):
            rec.outcome = "cut"
            h.close_connection = True
            reset_when_delivered(sock, self._stop)
            return
        if short is not None and short < len(part):
            rec.outcome = "short"
            h.close_connection = True
            sock.shutdown(socket.SHUT_WR)
            return
        if opts["chunked"]:
            sock.sendall(b"0\r\n\r\n")
        if override is not None and str(override) != str(len(part)):
            h.close_connection = True
        rec.outcome = "complete"

    def _log_bytes(self, rec, version, start, pos):
        with self._lock:
            rec.body_sent = pos
            slot = rec.__dict__.get("_log_slot")
            if slot is None:
                # one entry per request, grown in place; clear() orphans it harmlessly
                slot = rec.__dict__["_log_slot"] = [rec.path, version, start, start + pos]
                self._bytes.append(slot)
            slot[3] = start + pos


def _status_page(status):
    """The small HTML page servers send with a status."""
    phrase = http.server.BaseHTTPRequestHandler.responses.get(status, ("",))[0]
    return ("<html>\r\n<head><title>%d %s</title></head>\r\n<body>\r\n"
            "<center><h1>%d %s</h1></center>\r\n</body>\r\n</html>\r\n"
            % (status, phrase, status, phrase)).encode()


def _parse_range(value):
    """(first, last or None) for a single "bytes=N-" / "bytes=N-M" range, else None."""
    if not value:
        return None
    unit, _, spec = value.strip().partition("=")
    if unit.strip().lower() != "bytes" or "," in spec:
        return None
    first, sep, last = spec.strip().partition("-")
    if not sep or not first.strip().isdigit():
        return None
    last = last.strip()
    if last and not last.isdigit():
        return None
    first = int(first)
    last = int(last) if last else None
    if last is not None and last < first:
        return None
    return first, last
