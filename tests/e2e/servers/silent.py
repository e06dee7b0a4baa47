"""A loopback port that never answers, for the time-outs of the clients.

    with SilentPort() as port:                 # accepts, reads, never answers
        url = port.url("/event.php")
        ...
        port.requests                          # request lines received, in order
    with SilentPort(accept=False) as port:     # no connection ever completes
        ...

accept=True: connections are accepted and what they send is read and kept; nothing
is ever sent back, and they stay open until stop().
accept=False: the port's listen queue is kept full, so the system drops every new
connection attempt (its SYN) without a word, as a host behind a firewall that drops
packets does; a client's connect waits for its own time-out.
"""

import socket
import threading
import time

__all__ = ["SilentPort"]


class SilentPort:
    def __init__(self, accept=True, host="127.0.0.1"):
        self.accept = accept
        self.host = host
        self.port = None
        self._lock = threading.Lock()
        self._requests = []
        self._socks = []
        self._stop = threading.Event()
        self._listener = None
        self._thread = None
        self._readers = []

    def start(self):
        self._stop.clear()
        listener = socket.socket()
        listener.bind((self.host, 0))
        self.port = listener.getsockname()[1]
        self._listener = listener
        if self.accept:
            listener.listen(16)
            listener.settimeout(0.1)
            self._thread = threading.Thread(target=self._serve, name="silentport", daemon=True)
            self._thread.start()
        else:
            # A queue of one, filled by connections of our own that are never
            # accepted: the next attempt finds no room and is dropped.
            listener.listen(0)
            for _ in range(2):
                filler = socket.socket()
                filler.setblocking(False)
                try:
                    filler.connect((self.host, self.port))
                except BlockingIOError:
                    pass
                self._socks.append(filler)
            self._check_full()
        return self

    def _check_full(self):
        probe = socket.socket()
        probe.settimeout(1.0)
        try:
            probe.connect((self.host, self.port))
        except (socket.timeout, TimeoutError):
            return
        finally:
            probe.close()
        raise RuntimeError("the listen queue is not full: connections still complete")

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except (socket.timeout, TimeoutError):
                continue
            except OSError:
                return
            reader = threading.Thread(target=self._read, args=(conn,), daemon=True)
            with self._lock:
                self._socks.append(conn)
                self._readers.append(reader)
            reader.start()

    def _read(self, conn):
        data = b""
        conn.settimeout(0.1)
        while not self._stop.is_set():
            try:
                piece = conn.recv(4096)
            except (socket.timeout, TimeoutError):
                continue
            except OSError:
                return
            if not piece:
                return
            data += piece
            while b"\r\n" in data:
                line, _, data = data.partition(b"\r\n")
                if line.split(b" ")[0] in (b"GET", b"HEAD", b"POST"):
                    with self._lock:
                        self._requests.append((time.monotonic(), line.decode("latin-1")))

    @property
    def requests(self):
        """[(monotonic time, request line)] of every request received."""
        with self._lock:
            return list(self._requests)

    def stop(self):
        # The accept and the reads poll the stop signal: none is left blocked.
        self._stop.set()
        if self._thread:
            self._thread.join(2.0)
            self._thread = None
        with self._lock:
            socks, self._socks = self._socks, []
            readers, self._readers = self._readers, []
        for reader in readers:
            reader.join(2.0)
        for s in socks:
            s.close()
        if self._listener:
            self._listener.close()
            self._listener = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path="/"):
        return "http://%s:%d%s" % (self.host, self.port, path)
