"""Debian's nginx serving a directory on a loopback port, for real-server tests.

    with Nginx(root_dir) as web:
        url = web.url("/setup.exe")
        ...
        entries = web.access_log(wait_for=1)   # waits until at least that many lines are logged
        e = entries[-1]
        e.method, e.path, e.range, e.user_agent, e.status, e.body_bytes_sent

nginx runs as a single foreground process (daemon off, master_process off) with
its config, pid file, logs and temp paths in a temporary directory of its own; the
port is picked at start (a free one, retried if another process takes it first).
sendfile is on; Range requests get 206, a range at or past the end 416, and static
files carry Last-Modified and Content-Length. `extra_http` / `extra_server` add
config text inside the http and server blocks. With tls=(certificate file, key
file) it speaks HTTPS, and url() names `url_host` (default: host), the name the
certificate is for. The access log stays readable
after stop(). nginx is ended with the thread that started it (PR_SET_PDEATHSIG), so
a killed test run leaves no server behind.
"""

import ctypes
import http.client
import os
import secrets
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
from dataclasses import dataclass

__all__ = ["Nginx", "AccessEntry"]

NGINX = "/usr/sbin/nginx"

# One line per request, tab-separated; nginx escapes tabs, quotes and
# non-printable bytes inside values as \xHH, so the split is unambiguous.
_LOG_FORMAT = ("$msec\\t$connection\\t$request\\t$http_range\\t$http_user_agent\\t"
               "$status\\t$body_bytes_sent\\t$bytes_sent\\t$sent_http_content_length")

_CONFIG = """\
daemon off;
master_process off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log info;
events {{ worker_connections 256; }}
http {{
    default_type application/octet-stream;
    types {{ text/html html; text/plain txt; }}
    log_format stub '{fmt}';
    access_log {tmp}/access.log stub;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    sendfile on;
    server_tokens off;
    {extra_http}
    server {{
        listen {host}:{port}{ssl};
        {tls}
        server_name localhost;
        root {root};
        location / {{ }}
        location = /.ready-{token} {{ access_log off; return 200 "{token}"; }}
        {extra_server}
    }}
}}
"""


@dataclass
class AccessEntry:
    """One access-log line. range and user_agent are None when the request had none."""
    time: float
    connection: int
    request: str
    method: str
    path: str
    range: str
    user_agent: str
    status: int
    body_bytes_sent: int
    bytes_sent: int
    content_length: str


def _unescape(value):
    if value == "-":
        return None
    raw = value.encode("latin-1")
    out = bytearray()
    i = 0
    while i < len(raw):
        if raw[i:i + 2] == b"\\x" and i + 4 <= len(raw):
            try:
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
            except ValueError:
                pass
        out.append(raw[i])
        i += 1
    return out.decode("latin-1")


def _die_with_parent():
    # nginx must not outlive a test run that is killed; the signal comes when the
    # thread that started it ends, so start it from a thread that lives as long.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)   # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _free_port(host):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class Nginx:
    """nginx serving `root_dir` on host:port (port 0: chosen at start)."""

    def __init__(self, root_dir, host="127.0.0.1", port=0, extra_http="", extra_server="",
                 tls=None, url_host=None):
        self.root_dir = os.path.abspath(root_dir)
        self.host = host
        self.tls = tls
        self.url_host = url_host or host
        self._want_port = port
        self.port = None
        self.extra_http = extra_http
        self.extra_server = extra_server
        self.tmp = None
        self.proc = None
        self._final_log = None

    def url(self, path="/"):
        return "%s://%s:%d%s" % ("https" if self.tls else "http", self.url_host, self.port, path)

    def start(self, timeout=10.0):
        self.tmp = tempfile.mkdtemp(prefix="nginx-")
        self._token = secrets.token_hex(8)
        self._final_log = None
        last_error = ""
        try:
            for _ in range(5):
                port = self._want_port or _free_port(self.host)
                if self._launch(port, timeout):
                    self.port = port
                    return self
                last_error = self.error_log()
                if "Address already in use" not in last_error or self._want_port:
                    break
        except BaseException:
            self._terminate()
            self._cleanup()
            raise
        self._cleanup()
        raise RuntimeError("nginx did not start:\n" + last_error)

    def _launch(self, port, timeout):
        conf = os.path.join(self.tmp, "nginx.conf")
        with open(conf, "w") as f:
            tls = ""
            if self.tls:
                tls = "ssl_certificate %s; ssl_certificate_key %s;" % tuple(
                    os.path.abspath(p) for p in self.tls)
            f.write(_CONFIG.format(tmp=self.tmp, fmt=_LOG_FORMAT, host=self.host, port=port,
                                   ssl=" ssl" if self.tls else "", tls=tls,
                                   token=self._token,
                                   root=self.root_dir, extra_http=self.extra_http,
                                   extra_server=self.extra_server))
        for name in ("error.log", "access.log"):
            open(os.path.join(self.tmp, name), "w").close()
        out = open(os.path.join(self.tmp, "stderr.txt"), "ab")
        self.proc = subprocess.Popen(
            [NGINX, "-p", self.tmp + "/", "-e", os.path.join(self.tmp, "error.log"), "-c", conf],
            stdin=subprocess.DEVNULL, stdout=out, stderr=out, preexec_fn=_die_with_parent)
        out.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            if "bind() to" in self.error_log():     # nginx would retry for seconds
                self._terminate()
                return False
            if self._ready(port):
                return True
            time.sleep(0.02)
        self._terminate()
        return False

    def _ready(self, port):
        # Only our nginx knows the token: a connection alone could reach
        # another process that holds the port.
        if self.tls:
            conn = http.client.HTTPSConnection(self.host, port, timeout=0.5,
                                               context=ssl._create_unverified_context())
        else:
            conn = http.client.HTTPConnection(self.host, port, timeout=0.5)
        try:
            conn.request("GET", "/.ready-" + self._token)
            resp = conn.getresponse()
            return resp.status == 200 and resp.read() == self._token.encode()
        except (OSError, http.client.HTTPException):
            return False
        finally:
            conn.close()

    def _terminate(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)   # fast shutdown, also of open transfers
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def stop(self):
        if self.proc is None:
            return
        self._terminate()
        self._final_log = self._read_access_log()
        self._cleanup()

    def _cleanup(self):
        self.proc = None
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)
            self.tmp = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def error_log(self):
        text = ""
        if self.tmp:
            for name in ("error.log", "stderr.txt"):
                try:
                    with open(os.path.join(self.tmp, name), errors="replace") as f:
                        text += f.read()
                except OSError:
                    pass
        return text

    def _read_access_log(self):
        if self._final_log is not None:
            return self._final_log
        try:
            with open(os.path.join(self.tmp, "access.log"), encoding="latin-1") as f:
                return [line for line in f.read().split("\n") if line]
        except (OSError, TypeError):
            return []

    def access_log(self, wait_for=0, timeout=10.0):
        """Parsed access-log entries, oldest first. nginx logs a request when it has
        finished with it, so wait_for=n polls until at least n entries exist."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self._read_access_log()
            if len(lines) >= wait_for or time.monotonic() > deadline:
                break
            time.sleep(0.02)
        entries = []
        for line in lines:
            f = line.split("\t")
            if len(f) != 9:
                continue
            request = _unescape(f[2]) or ""
            parts = request.split(" ")
            entries.append(AccessEntry(
                time=float(f[0]), connection=int(f[1]), request=request,
                method=parts[0] if parts else "", path=parts[1] if len(parts) > 1 else "",
                range=_unescape(f[3]), user_agent=_unescape(f[4]), status=int(f[5]),
                body_bytes_sent=int(f[6]), bytes_sent=int(f[7]), content_length=_unescape(f[8])))
        return entries
