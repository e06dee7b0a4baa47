"""tools/events serve: an HTTP server that stores each ping before it
answers 200.

Handler threads parse and check the request; writer threads (one for SQLite,
which has one writer anyway, a few for PostgreSQL) take the waiting pings in
batches, store each batch in one transaction and only then release their
handlers. Many pings share one commit, so durability costs little under load.
"""

import queue
import signal
import socket
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

from .ping import Rejected, client_hash, parse_ping, utc_stamp
from .store import Store

BATCH = 500             # pings per transaction at most
ANSWER_WAIT = 30.0      # s a handler waits for its commit before 503
MAX_CONNECTIONS = 256   # open connections; more are closed at once
IDLE_TIMEOUT = 15       # s a connection may sit without a complete request


class Writer:
    """Stores pings in batches; store() returns once the ping is committed."""

    def __init__(self, store: Store, threads: int):
        self.store = store
        self.queue: queue.Queue = queue.Queue(maxsize=20000)
        self.rejects: dict[tuple[str, str], int] = {}
        self.rejects_lock = threading.Lock()
        self.failures = 0
        self.closing = threading.Event()
        self.threads = [threading.Thread(target=self._run, name=f"writer{i}", daemon=True)
                        for i in range(threads)]
        for t in self.threads:
            t.start()

    def store_ping(self, row) -> bool:
        item = [row, threading.Event(), False]
        try:
            self.queue.put(item, timeout=ANSWER_WAIT)
        except queue.Full:
            return False
        return item[1].wait(ANSWER_WAIT) and item[2]

    def count_reject(self, reason: str) -> None:
        key = (utc_stamp()[1], reason)
        with self.rejects_lock:
            self.rejects[key] = self.rejects.get(key, 0) + 1

    def close(self) -> None:
        """Stores what is queued, then ends the writers."""
        self.closing.set()
        for t in self.threads:
            t.join(60)

    def _run(self) -> None:
        conn = None
        while True:
            try:
                items = [self.queue.get(timeout=0.2)]
            except queue.Empty:
                items = []
            while items and len(items) < BATCH:
                try:
                    items.append(self.queue.get_nowait())
                except queue.Empty:
                    break
            with self.rejects_lock:
                rejects, self.rejects = self.rejects, {}
            if not items and not rejects:
                if self.closing.is_set():
                    break
                continue
            ok = False
            try:
                if conn is None:
                    conn = self.store.connect()
                self.store.add_both(conn, [i[0] for i in items], rejects)
                ok = True
            except Exception as e:
                self.failures += 1
                with self.rejects_lock:  # keep the counts for the next batch
                    for key, n in rejects.items():
                        self.rejects[key] = self.rejects.get(key, 0) + n
                print(f"events: storing {len(items)} ping(s) failed: {type(e).__name__}: {str(e).strip()}",
                      file=sys.stderr, flush=True)
                try:
                    if conn is not None:
                        conn.close()
                except Exception:
                    pass  # the connection is dropped either way
                conn = None  # a new one for the next batch
            for i in items:
                i[2] = ok
                i[1].set()
        if conn is not None:
            conn.close()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "events"
    sys_version = ""
    timeout = IDLE_TIMEOUT
    # Head and body leave in one segment: two small writes on a kept-alive
    # connection would wait out the client's delayed acknowledgement.
    wbufsize = 8192
    disable_nagle_algorithm = True

    def handle_one_request(self):
        try:
            self.raw_requestline = self.rfile.readline(65537)
            if not self.raw_requestline:
                self.close_connection = True
                return
            if len(self.raw_requestline) > 65536:
                self.requestline = self.request_version = self.command = ""
                self.send_error(414)
                return
            if not self.raw_requestline.endswith(b"\n"):
                # The client went away in mid-line: nobody to answer.
                self.server.writer.count_reject("incomplete")
                self.close_connection = True
                return
            if not self.parse_request():
                return  # parse_request answered through send_error
            self.answer()
            self.wfile.flush()
        except (TimeoutError, socket.timeout, ConnectionError):
            self.close_connection = True

    def answer(self):
        collector = self.server
        if self.command != "GET":
            # A body may follow that we will not read: end the connection.
            known = self.command in ("POST", "PUT", "HEAD", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE")
            return self.reply(400, "only GET", close=True, reason="method " + (self.command if known else "other"))
        if self.headers.get("Content-Length", "0").strip() != "0" or "Transfer-Encoding" in self.headers:
            return self.reply(400, "no body expected", close=True, reason="body")
        target = self.path.encode("latin-1")  # the request line as its bytes
        path, _, query = target.partition(b"?")
        if path.startswith((b"http://", b"https://")):
            path = urlsplit(path).path or b"/"
        if path != collector.ping_path:
            return self.reply(404, "not found", reason="path")
        agent = self.headers.get("User-Agent")
        try:
            ping = parse_ping(query, None if agent is None else agent.encode("latin-1"))
        except Rejected as e:
            return self.reply(400, e.reason, reason=e.reason)
        received, day = utc_stamp()
        row = (received, day, ping.campaign, ping.mode, ping.product, ping.windows, ping.agent,
               client_hash(collector.salt, self.client_address[0]), None)
        if collector.writer.store_ping(row):
            self.reply(200, "OK")
        else:
            self.reply(503, "not stored, try again", close=True)

    def reply(self, code: int, text: str, close: bool = False, reason: str | None = None):
        if reason is not None:
            self.server.writer.count_reject(reason)
        body = (text + "\n").encode("utf-8", "replace")
        self.send_response(code)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)

    def send_error(self, code, message=None, explain=None):
        # Requests the HTTP layer refuses (bad request line, headers) are
        # counted like every other refusal, and the connection ends. Every
        # answer gets a status line, also where the request line had no
        # version to go by.
        if not self.request_version.startswith("HTTP/1."):
            self.request_version = "HTTP/1.0"
        self.reply(code, message or self.responses.get(code, ("error",))[0], close=True,
                   reason=f"http {code}")

    def log_message(self, format, *args):
        if self.server.verbose:
            super().log_message(format, *args)


class Collector(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 1024

    def __init__(self, address, store: Store, path: str, writers: int, verbose: bool = False):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.ping_path = path.encode("utf-8")
        self.salt = store.salt
        self.verbose = verbose
        self.slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self.writer = Writer(store, writers)
        super().__init__(address, Handler)

    def process_request(self, request, client_address):
        if not self.slots.acquire(blocking=False):
            self.writer.count_reject("busy")
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self.slots.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.slots.release()

    def handle_error(self, request, client_address):
        # One broken exchange must not stop the others; say what happened.
        print(f"events: request from {client_address[0]} failed: {sys.exc_info()[1]!r}",
              file=sys.stderr, flush=True)

    def server_close(self):
        super().server_close()
        self.writer.close()


def serve(store: Store, bind: str, port: int, path: str, verbose: bool = False) -> int:
    writers = 1 if store.kind == "sqlite" else 4
    server = Collector((bind, port), store, path, writers, verbose)
    host, port = server.server_address[:2]
    shown = f"[{host}]" if ":" in host else host
    print(f"events: listening on http://{shown}:{port}{path} ({store.kind}: {store.name()})", flush=True)

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
    print("events: stopped", flush=True)
    return 0
