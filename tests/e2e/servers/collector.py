"""EventCollector: tools/events serve as its own process on a port it picks
itself, with the database given; stop() ends it as an operator would
(SIGTERM) and tells how it ended.
"""

import os
import selectors
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EVENTS = Path(__file__).resolve().parents[3] / "tools" / "events"


class EventCollector:
    def __init__(self, db: str, path: str = "/event", bind: str = "127.0.0.1", extra=()):
        self.db, self.path, self.bind, self.extra = db, path, bind, list(extra)
        self.proc: subprocess.Popen | None = None
        self.port = 0
        self.exit_code: int | None = None
        self.first_line = ""
        self._err = None

    def start(self) -> "EventCollector":
        self._err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([sys.executable, str(EVENTS), "serve", "--db", self.db, "--port", "0",
                                      "--bind", self.bind, "--path", self.path, *self.extra],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._err,
                                     start_new_session=True)
        line = self.first_line = self._first_line(20)
        if "listening on http://" not in line:
            self.stop()
            raise RuntimeError(f"tools/events serve did not start: {line!r} {self.errors()!r}")
        self.port = int(line.split("listening on http://", 1)[1].split("/", 1)[0].rsplit(":", 1)[1])
        return self

    def _first_line(self, timeout: float) -> str:
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        data = b""
        while b"\n" not in data and time.monotonic() < deadline:
            if sel.select(timeout=0.2):
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                data += chunk
        sel.close()
        return data.decode("utf-8", "replace")

    def url(self, path: str | None = None) -> str:
        return f"http://{self.bind}:{self.port}{self.path if path is None else path}"

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def errors(self) -> str:
        """What the server printed on stderr so far."""
        if self._err is None:
            return ""
        self._err.seek(0)
        return self._err.read().decode("utf-8", "replace")

    def stop(self) -> int | None:
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(30)
                except subprocess.TimeoutExpired:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                    self.proc.wait()
            self.exit_code = self.proc.returncode
            self.proc.stdout.close()
            self.proc = None
        return self.exit_code

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
