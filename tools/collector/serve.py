"""tools/events serve: an HTTP server (aiohttp) that stores each ping before
it answers 200.

aiohttp parses the requests on one event loop; a guard in front of it holds
what the library leaves open: connections per client and in all, a deadline
and a size for each request head, and the count of everything refused.
Writer threads (one for SQLite, which has one writer anyway, a few for
PostgreSQL) take the waiting items in batches, store each batch in one
transaction and only then release their requests, so many pings share one
commit and durability costs little under load.

With --stub, GET /download/<name>.exe?camp=NAME answers a copy of that
signed, reserved stub tagged for the campaign, counted per campaign and
day once stored, and HEAD its headers.

To add a request: a handler like `ping` and a line in `Site.routes`; what it
stores goes through `writer.submit(kind, row)` with the kind's statement in
`Store.WRITES`.
"""

import asyncio
import collections
import logging
import re
import signal
import socket
import sys
import threading
import time
from collections import Counter

from aiohttp import web
from aiohttp.web_protocol import RequestHandler
from aiohttp.web_server import Server

from .limits import Limits
from .ping import Rejected, client_hash, client_key, parse_download, parse_ping, utc_stamp
from .store import Store

BATCH = 500             # items per transaction at most
MAX_WAITING = 20000     # items waiting for a writer; more are answered 503
ANSWER_WAIT = 30.0      # s a request waits for its commit before 503
MAX_HEAD = 16384        # bytes of a request line and headers together
MAX_HEAD_LINES = 101    # the request line and 100 headers
SHUTDOWN_WAIT = 3.0     # s the requests in flight get to finish at a stop
BACKOFF_MAX = 8.0       # s between tries while the database is down
LINGER = 2.0            # s a refused connection's late bytes are read and dropped


def say(text: str) -> None:
    print(f"events: {text}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------- writing ---

class Item:
    __slots__ = ("kind", "row", "future", "state")
    QUEUED, TAKEN, WITHDRAWN = 0, 1, 2

    def __init__(self, kind, row, future):
        self.kind, self.row, self.future, self.state = kind, row, future, Item.QUEUED


def _settle(items, ok: bool) -> None:
    for i in items:
        if not i.future.done():
            i.future.set_result(ok)


class Writer:
    """Stores items in batches; a request's future says True once its item
    is committed, False when the database refused or is down.

    While the database fails, the writers wait longer and longer between
    tries (items that arrive meanwhile are refused at once) and say so once
    when it starts failing and once when it works again."""

    def __init__(self, store: Store, threads: int, loop: asyncio.AbstractEventLoop):
        self.store, self.loop = store, loop
        self.lock = threading.Lock()
        self.ready = threading.Condition(self.lock)
        self.waiting: collections.deque = collections.deque()  # handed to the writers
        self.incoming: list = []    # submitted in this turn of the event loop
        self.rejects: Counter = Counter()
        self.failures = 0           # consecutive failed batches
        self.retry_at = 0.0         # monotonic time of the next try while failing
        self.closing = threading.Event()
        self.threads = [threading.Thread(target=self._run, name=f"writer{i}", daemon=True)
                        for i in range(threads)]
        for t in self.threads:
            t.start()

    def submit(self, kind: str, row) -> "Item | None":
        """Queues a row of a kind in Store.WRITES (from the event loop);
        None when too many wait already."""
        if len(self.incoming) + len(self.waiting) >= MAX_WAITING:
            return None
        item = Item(kind, row, self.loop.create_future())
        if not self.incoming:
            self.loop.call_soon(self._hand_over)
        self.incoming.append(item)
        return item

    def _hand_over(self) -> None:
        # What one turn of the loop parsed goes to the writers at once, so
        # that a writer does not wake up for the first ping alone and commit
        # it while the others wait for the next transaction.
        with self.ready:
            self.waiting.extend(self.incoming)
            self.ready.notify()
        self.incoming = []

    async def stored(self, item: "Item | None") -> bool:
        if item is None:
            return False
        expiry = self.loop.call_later(ANSWER_WAIT, self._expire, item)
        try:
            return await item.future
        finally:
            expiry.cancel()

    def _expire(self, item: Item) -> None:
        with self.lock:
            if item.state == Item.QUEUED:
                item.state = Item.WITHDRAWN  # never stored: the 503 is true
                item.future.set_result(False)
                return
        # Its transaction is under way: its outcome is the answer, for a while.
        self.loop.call_later(ANSWER_WAIT, _settle, [item], False)

    def count_reject(self, reason: str) -> None:
        with self.lock:
            self.rejects[(utc_stamp()[1], reason)] += 1

    def close(self, timeout: float) -> None:
        """Stores what is queued (while the database takes it), then ends."""
        self.closing.set()
        end = time.monotonic() + timeout
        for t in self.threads:
            t.join(max(0.0, end - time.monotonic()))

    def _take(self) -> list:
        with self.ready:
            if not self.waiting:
                self.ready.wait(0.2)
            items = []
            while self.waiting and len(items) < BATCH:
                items.append(self.waiting.popleft())
            return items

    def _run(self) -> None:
        conn = None
        while True:
            items = self._take()
            with self.lock:
                items = [i for i in items if i.state == Item.QUEUED]
                for i in items:
                    i.state = Item.TAKEN
                rejects, self.rejects = self.rejects, Counter()
                waiting = time.monotonic() < self.retry_at
            if waiting or (not items and not rejects):
                with self.lock:
                    self.rejects.update(rejects)
                if items:
                    self.loop.call_soon_threadsafe(_settle, items, False)
                if self.closing.is_set() and (waiting or not self.waiting):
                    break
                if waiting:
                    time.sleep(0.05)
                continue
            ok = False
            try:
                if conn is None:
                    conn = self.store.connect()
                batch: dict[str, list] = {}
                for i in items:
                    batch.setdefault(i.kind, []).append(i.row)
                self.store.add_batch(conn, batch, rejects)
                ok = True
            except Exception as e:
                self._failed(len(items), e, rejects)
                try:
                    if conn is not None:
                        conn.close()
                except Exception:
                    pass  # the connection is dropped either way
                conn = None  # a new one for the next batch
            if ok:
                self._worked()
            self.loop.call_soon_threadsafe(_settle, items, ok)
        if conn is not None:
            try:
                conn.close()
            except Exception:
                pass  # ending anyway

    def _failed(self, count: int, error: Exception, rejects: Counter) -> None:
        with self.lock:
            self.rejects.update(rejects)  # kept for the next batch
            self.failures += 1
            first = self.failures == 1
            # A batch that one bad row spoilt is not a database that is
            # down: the first retry comes at once.
            delay = 0.0 if first else min(BACKOFF_MAX, 0.25 * 2 ** (self.failures - 2))
            self.retry_at = time.monotonic() + delay
        if first:
            say(f"storing {count} ping(s) failed: {type(error).__name__}: {self.store.redact(str(error).strip())}; "
                f"answering 503 and retrying less and less often until the database takes them")

    def _worked(self) -> None:
        with self.lock:
            failures, self.failures, self.retry_at = self.failures, 0, 0.0
        if failures:
            say(f"storing works again, after {failures} failed tr{'y' if failures == 1 else 'ies'}")


# ------------------------------------------------------------------- HTTP ---

def _raw_reply(code: int, text: str) -> bytes:
    body = (text + "\n").encode("utf-8")
    return (f"HTTP/1.1 {code} {text}\r\nContent-Type: text/plain; charset=utf-8\r\n"
            f"Content-Length: {len(body)}\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
            ).encode("ascii") + body


BUSY = _raw_reply(503, "busy")
_HEAD_END = re.compile(rb"\r?\n\r?\n")
_VERSION = re.compile(rb" HTTP/([0-9]+)\.([0-9]+)\r?\n\Z")


class _Handler(RequestHandler):
    """aiohttp's connection handler with the refusals of its parser counted
    and answered in plain text, and no log line of its own."""

    def handle_error(self, request, status=500, exc=None, message=None):
        site = self._manager.site
        site.writer.count_reject(f"http {status}")
        if status == 500:
            say(f"a request failed: {exc!r}")
        if request.writer.output_size > 0:
            raise ConnectionError("an answer was under way")
        return site.answer(status, web.Response(status=status).reason, close=True)


class _Server(Server):
    def __init__(self, site, handler, **kwargs):
        super().__init__(handler, **kwargs)
        self.site = site

    def __call__(self):
        return _Handler(self, loop=self._loop, **self._kwargs)


class _Watched:
    """The transport as aiohttp sees it. aiohttp writes an answer's head
    and body apart; here they leave in one send(), which on a busy machine
    costs about as much as the rest of the ping. Each answer also restarts
    the connection's idle time."""

    def __init__(self, transport, guard):
        self._transport, self.guard = transport, guard
        self._pending: list[bytes] = []

    def write(self, data):
        if not self._pending:
            self.guard.site.loop.call_soon(self._flush)
        self._pending.append(bytes(data))

    def writelines(self, lines):
        for data in lines:
            self.write(data)

    def _flush(self):
        if self._pending:
            data = b"".join(self._pending)
            self._pending.clear()
            if not self._transport.is_closing() and not self.guard.done:
                self._transport.write(data)
            self.guard.wrote()

    def get_write_buffer_size(self):
        return self._transport.get_write_buffer_size() + sum(map(len, self._pending))

    def close(self):
        self._flush()
        self._transport.close()

    def write_eof(self):
        self._flush()
        self._transport.write_eof()

    def __getattr__(self, name):
        return getattr(self._transport, name)


class Guard(asyncio.Protocol):
    """One connection: admitted within the limits, its request heads timed
    and measured as they arrive, the bytes handed on to aiohttp."""

    def __init__(self, site: "Site"):
        self.site = site
        self.inner = None
        self.transport = None
        self.key = None
        self.timer = None
        self.head = -1          # bytes of the head under way, -1 between requests
        self.lines = 0
        self.tail = b""         # its last bytes, where its end may begin
        self.line = b""         # its request line while it comes
        self.done = False       # refused or timed out: the rest is ignored

    # -- the connection
    def connection_made(self, transport):
        self.transport = transport
        peer = transport.get_extra_info("peername")
        key = client_key(peer[0]) if peer else ""
        if not self.site.admit(key):
            self.done = True
            self.site.writer.count_reject("busy")
            transport.write(BUSY)
            transport.close()
            return
        self.key = key
        self.inner = self.site.server()
        self.inner.connection_made(_Watched(transport, self))
        self._arm(self.site.limits.idle_timeout, self._idle)

    def connection_lost(self, exc):
        self._disarm()
        if self.key is not None:
            self.site.release(self.key)
            self.key = None
        if exc is not None:
            self._went_away()
        if self.inner is not None:
            self.inner.connection_lost(exc)

    def eof_received(self):
        self._went_away()
        return self.inner.eof_received() if self.inner is not None else None

    def _went_away(self):
        # The client ended the connection in mid-head: nobody to answer.
        # (Bytes after a head that was refused, with the connection closed
        # by this end, are no request.)
        if self.head > 0 and not self.done:
            self.done = True
            self.site.writer.count_reject("incomplete")

    def pause_writing(self):
        if self.inner is not None:
            self.inner.pause_writing()

    def resume_writing(self):
        if self.inner is not None:
            self.inner.resume_writing()

    # -- the bytes
    def data_received(self, data):
        if self.done:
            return
        start = 0
        while start < len(data):
            if self.head < 0:
                self.head, self.lines, self.tail, self.line = 0, 0, b"", b""
                self._arm(self.site.limits.head_timeout, self._slow)
            window = self.tail + data[start:]
            end = _HEAD_END.search(window)
            used = (end.end() if end else len(window)) - len(self.tail)
            piece = data[start:start + used]
            self.head += used
            first = self.lines == 0
            self.lines += piece.count(b"\n")
            if first:
                self.line += piece[:MAX_HEAD + 1]
            if self.head > MAX_HEAD or self.lines > MAX_HEAD_LINES:
                if b"\n" not in self.line[:MAX_HEAD]:
                    return self._refuse(414, "request line too long")
                return self._refuse(431, "head too large")
            if first and self.lines and self._bad_version():
                return
            if end:
                self._disarm()
                self.head = -1
            else:
                self.tail = window[-3:]
            start += used
        try:
            self.inner.data_received(data)
        except Exception:
            # A request line that aiohttp's URL parser throws out.
            self._refuse(400, "bad request")

    def _bad_version(self) -> bool:
        """Refuses a request line without HTTP/1.x: aiohttp would answer it
        in the version it names, which a client of HTTP/0.9 cannot read."""
        line = self.line[:self.line.index(b"\n") + 1]
        version = _VERSION.search(line)
        if version is None and b" " in line.strip():
            self._refuse(400, "HTTP/1.0 or 1.1 only", "http 0.9")
        elif version is not None and version.group(1) != b"1":
            self._refuse(505, "HTTP/1.0 or 1.1 only")
        else:
            return False
        return True

    def wrote(self):
        if self.head < 0 and not self.done:
            self._arm(self.site.limits.idle_timeout, self._idle)

    # -- the ends
    def _refuse(self, code: int, text: str, reason: str | None = None):
        self.done = True
        self._disarm()
        self.site.writer.count_reject(reason or f"http {code}")
        self.transport.write(_raw_reply(code, text))
        # Closed at once, the socket would answer what the client still
        # sends with a reset, which may destroy the answer before it is
        # read: end this side, read and drop the rest for a moment.
        try:
            self.transport.write_eof()
        except (OSError, RuntimeError):
            self.transport.close()
            return
        self._arm(LINGER, self.transport.close)

    def _slow(self):
        self.timer = None
        if self.head > 0:
            self._refuse(408, "request head too slow")
        else:
            self._idle()

    def _idle(self):
        self.timer = None
        self.done = True
        self.transport.close()

    def _arm(self, delay, what):
        self._disarm()
        self.timer = self.site.loop.call_later(delay, what)

    def _disarm(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None


class Site:
    """The requests this server answers and the state they share."""

    def __init__(self, loop, store: Store, path: str, writer: Writer, limits: Limits, verbose: bool,
                 tagger=None):
        self.loop, self.writer, self.limits, self.verbose = loop, writer, limits, verbose
        self.tagger = tagger    # StubCopies: the reserved stub /download/ hands out
        self.salt = store.salt
        self.open = Counter()   # connections per client key
        self.total = 0
        self.closing = False
        # (path, whether it is a prefix, handler): the first that fits answers.
        self.routes = [(path.encode("utf-8"), False, self.ping)]
        if tagger is not None:
            self.routes.append((DOWNLOAD, True, self.download))
        self.server = _Server(self, self.handle, access_log=None, keepalive_timeout=limits.idle_timeout,
                              max_line_size=MAX_HEAD, max_field_size=MAX_HEAD, max_headers=MAX_HEAD_LINES,
                              tcp_keepalive=False, lingering_time=0,
                              logger=logging.getLogger("events.aiohttp"))

    def protocol(self):
        return Guard(self)

    def admit(self, key: str) -> bool:
        if self.closing or self.total >= self.limits.max_connections \
                or self.open[key] >= self.limits.max_per_client:
            return False
        self.open[key] += 1
        self.total += 1
        return True

    def release(self, key: str) -> None:
        self.total -= 1
        self.open[key] -= 1
        if not self.open[key]:
            del self.open[key]

    # -- answers
    def answer(self, code: int, text: str, close: bool = False, reason: str | None = None) -> web.Response:
        if reason is not None:
            self.writer.count_reject(reason)
        resp = web.Response(status=code, text=text + "\n", charset="utf-8",
                            headers={"Cache-Control": "no-store", "Server": "events"})
        if close:
            resp.force_close()
        return resp

    async def handle(self, request) -> web.Response:
        resp = await self._handle(request)
        if self.verbose:
            who = client_hash(self.salt, request.remote or "")[:12]
            say(f"{who} {request.method} {request.raw_path[:200]!r} {resp.status}")
        return resp

    async def _handle(self, request) -> web.Response:
        # HEAD is answered by the download route alone.
        if request.method != "GET" and not (request.method == "HEAD" and self.tagger is not None):
            # A body may follow that we will not read: end the connection.
            known = request.method in ("POST", "PUT", "HEAD", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE")
            return self.answer(400, "only GET", close=True,
                               reason="method " + (request.method if known else "other"))
        if request.body_exists or request.headers.get("Content-Length", "0") != "0" \
                or "Transfer-Encoding" in request.headers:
            return self.answer(400, "no body expected", close=True, reason="body")
        # The target as its bytes: aiohttp keeps what is not UTF-8 as surrogates.
        target = request.raw_path.encode("utf-8", "surrogateescape")
        path, _, query = target.partition(b"?")
        if path.startswith((b"http://", b"https://")):
            rest = path.split(b"://", 1)[1]
            path = b"/" + rest.split(b"/", 1)[1] if b"/" in rest else b"/"
        for route, prefix, handler in self.routes:
            if path == route or (prefix and path.startswith(route)):
                return await handler(request, path, query)
        return self.answer(404, "not found", reason="path")

    async def ping(self, request, path: bytes, query: bytes) -> web.Response:
        if request.method != "GET":
            return self.answer(400, "only GET", close=True, reason="method " + request.method)
        agent = request.headers.get("User-Agent")
        try:
            ping = parse_ping(query, None if agent is None else agent.encode("utf-8", "surrogateescape"))
        except Rejected as e:
            return self.answer(400, e.reason, reason=e.reason)
        received, day = utc_stamp()
        row = (received, day, ping.campaign, ping.mode, ping.product, ping.windows, ping.agent,
               client_hash(self.salt, request.remote or ""), None)
        if await self.writer.stored(self.writer.submit("events", row)):
            return self.answer(200, "OK")
        return self.answer(503, "not stored, try again", close=True)


    async def download(self, request, path: bytes, query: bytes) -> web.Response:
        """A copy of the stub tagged with the query's campaign, counted once
        stored (GET), or only its headers (HEAD, not counted)."""
        name = path[len(DOWNLOAD):]
        if not _FILE_NAME.fullmatch(name):
            return self.answer(404, "not found", reason="download name")
        try:
            campaign = parse_download(query)
            data = self.tagger.copy(campaign)
        except Rejected as e:
            return self.answer(400, e.reason, reason="download: " + e.reason)
        if request.method == "GET":
            row = (utc_stamp()[1], campaign, 1)
            if not await self.writer.stored(self.writer.submit("downloads", row)):
                return self.answer(503, "not counted, try again", close=True)
        return web.Response(body=data, headers={
            "Content-Type": "application/x-msdownload",
            "Content-Disposition": f'attachment; filename="{name.decode("ascii")}"',
            "Cache-Control": "no-store", "X-Content-Type-Options": "nosniff", "Server": "events"})


# The download route: /download/<file name>, the name the browser saves it as.
DOWNLOAD = b"/download/"
_FILE_NAME = re.compile(rb"[A-Za-z0-9][A-Za-z0-9._-]{0,99}\.[Ee][Xx][Ee]")


# ------------------------------------------------------------ the process ---

def listening_socket(bind: str, port: int) -> socket.socket:
    if ":" in bind:
        # "::" takes IPv4 clients too, as ::ffff:a.b.c.d (hashed as IPv4).
        return socket.create_server((bind, port), family=socket.AF_INET6, backlog=1024,
                                    dualstack_ipv6=socket.has_dualstack_ipv6())
    return socket.create_server((bind, port), family=socket.AF_INET, backlog=1024)


def _loop_error(loop, context):
    # asyncio's own report names the transport; say only what went wrong.
    error = context.get("exception")
    say(f"{context.get('message', 'error')}: {error!r}" if error else context.get("message", "error"))


def serve(store: Store, bind: str, port: int, path: str, verbose: bool = False, limits: Limits = Limits(),
          tagger=None) -> int:
    sock = listening_socket(bind, port)  # OSError: the caller says it
    return asyncio.run(_serve(store, sock, path, verbose, limits, tagger))


async def _serve(store, sock, path, verbose, limits, tagger=None) -> int:
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(_loop_error)
    # What aiohttp itself reports goes out as the server's other lines do.
    log = logging.getLogger("events.aiohttp")
    if not log.handlers:
        out = logging.StreamHandler(sys.stderr)
        out.setFormatter(logging.Formatter("events: aiohttp: %(message)s"))
        log.addHandler(out)
        log.propagate = False
    writer = Writer(store, 1 if store.kind == "sqlite" else 4, loop)
    site = Site(loop, store, path, writer, limits, verbose, tagger)
    listener = await loop.create_server(site.protocol, sock=sock, backlog=1024)
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if ":" in host else host
    print(f"events: listening on http://{shown}:{port}{path} ({store.kind}: {store.name()})", flush=True)

    stop, hurry = asyncio.Event(), asyncio.Event()

    def on_signal():
        (hurry if stop.is_set() else stop).set()

    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, on_signal)
    await stop.wait()
    # Take no new connection, let the requests in flight end (their pings
    # are stored before they are answered), close the rest.
    site.closing = True
    listener.close()
    ending = asyncio.ensure_future(site.server.shutdown(SHUTDOWN_WAIT))
    hurried = asyncio.ensure_future(hurry.wait())
    await asyncio.wait([ending, hurried], timeout=SHUTDOWN_WAIT + 0.5, return_when=asyncio.FIRST_COMPLETED)
    hurried.cancel()
    for transport in list(site.server._connections.values()):
        transport.abort()
    writer._hand_over()
    await loop.run_in_executor(None, writer.close, 1.0)
    print("events: stopped", flush=True)
    return 0
