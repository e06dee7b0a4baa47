"""pyftpdlib on a loopback port, stock or with scripted faults, run in a thread.

    with FtpServer(root_dir, user="joe", password="pw") as ftp:
        url = ftp.url("/setup.exe")                    # ftp://127.0.0.1:PORT/setup.exe
        url = ftp.url("/setup.exe", user="joe", password="pw")
        ...
        ftp.command_names()      # ['USER', 'PASS', 'TYPE', 'SIZE', 'MDTM', 'PORT', 'RETR', ...]
        ftp.commands[-1]         # Command(t_mono, session, cmd, arg, line, replies)
        ftp.transfers[-1]        # Transfer(path, rest, size, mtime, sent, outcome, ...)
        ftp.wait_for_command("RETR"), ftp.wait_for_transfers(n), ftp.clear()

Command: t_mono, session (1, 2, ... per control connection), cmd, arg, line (PASS too),
replies (every reply sent while it was the latest command, e.g. RETR: 150/125 then 226/426).
Transfer (one per RETR whose file opened): session, path, rest (REST offset), size and
mtime of the file at RETR (tells versions apart for the soak), cut_after, sent (bytes),
outcome: complete, cut, stalled, aborted (the client closed or the server stopped), None
(no data connection yet).

Stock behaviour: anonymous read access to root_dir (anonymous=False turns it off) and,
when user is given, that account with the password, also read-only. Sessions start in
ASCII mode, where SIZE and REST are refused ("550 SIZE not allowed in ASCII mode",
"501 ..."); after "TYPE I" SIZE, MDTM (14-digit GMT time) and REST work. Active mode
(PORT) and passive mode both work. A failed login is answered at once (stock waits
3 s). port=21 (or any fixed port) listens there; bind
errors raise OSError (FtpServer.can_bind(21) tells beforehand).

Faults: handler_faults=FtpFaults(...) or a dict of its fields; set_faults(...) changes
them between sessions or commands (RETR counting starts again).
    replies={"MDTM": MDTM_SHORT, "SIZE": SIZE_EMPTY, "RETR": RETR_REFUSED, ...}
        a canned reply instead of the stock handling of that command: a str is sent
        followed by CRLF, bytes are sent exactly as given (e.g. b"213 100\\n" without CR),
        a callable(handler, arg) returns either of those or None for stock handling.
    cut_after=N       a RETR data connection is reset (RST) once the client has N bytes of
                      this transfer (counted from the REST offset); the control
                      connection gets "426 Connection closed; transfer aborted."
                      Also a list (one entry per RETR, in order) or callable(index, transfer).
    cut_mode="close"  end the data connection with a plain close (FIN) instead of a reset
                      (also a callable(index, transfer) like cut_after);
                      "stall": send nothing more and keep it open, silent, until the client
                      closes it or the server stops (outcome "stalled")
    cut_grace=S       no cut before S seconds after the data connection opened (default
                      0.5): in active mode Wine's FtpOpenFileA crashes when the connection
                      is reset before it has accepted it, which only tests of that crash
                      want (cut_grace=0)
    slow=(n, secs)    RETR data in pieces of n bytes every secs seconds; stop() ends it at once
    forget_rest=("TYPE", "PORT")  the REST offset is dropped when one of these commands
                      arrives after it (REST is still answered 350): RETR then sends the
                      whole file, as a server does that resets its restart marker there
    end_reply="250 Done."  said in place of the 226 that ends a whole transfer
Canned replies: MDTM_MISSING, MDTM_NOT_IMPLEMENTED, MDTM_SHORT, SIZE_EMPTY, SIZE_BARE,
REST_REFUSED, REST_BAD_PARAM, RETR_REFUSED, overlong_reply(code, length), NO_CRLF(text)
(ends in a bare LF), UNTERMINATED(text) (no line end; the connection is closed after it).
"""

import logging
import socket
import struct
import threading
import time
import warnings
from dataclasses import dataclass, field

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)   # asynchat/asyncore inside pyftpdlib
    import asynchat
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import DTPHandler, FTPHandler
    from pyftpdlib.ioloop import IOLoop
    from pyftpdlib.log import logger as _ftplog
    from pyftpdlib.servers import FTPServer

from .httpfault import unacked_bytes

__all__ = ["FtpServer", "FtpFaults", "Command", "Transfer",
           "MDTM_MISSING", "MDTM_NOT_IMPLEMENTED", "MDTM_SHORT", "SIZE_EMPTY", "SIZE_BARE",
           "REST_REFUSED", "REST_BAD_PARAM", "RETR_REFUSED", "overlong_reply", "NO_CRLF",
           "UNTERMINATED"]

MDTM_MISSING = '500 Command "MDTM" not understood.'    # what a server without MDTM says
MDTM_NOT_IMPLEMENTED = "502 Command not implemented."
MDTM_SHORT = "213 2003"
SIZE_EMPTY = "213 "
SIZE_BARE = "213"
REST_REFUSED = "502 Command not implemented."
REST_BAD_PARAM = "504 Command not implemented for that parameter."
RETR_REFUSED = "550 No such file or directory."


def overlong_reply(code=213, length=9000, fill="9"):
    """A single-line reply of `length` characters before the CRLF (8192+ by default)."""
    head = "%d " % code
    return head + fill * (length - len(head))


def NO_CRLF(text):
    """The reply ended by a bare LF instead of CRLF."""
    return text.encode("latin-1") + b"\n"


class UNTERMINATED(bytes):
    """The reply with no line end at all; the control connection is closed after it,
    so the client sees the text and then the end of the connection."""

    def __new__(cls, text):
        return super().__new__(cls, text.encode("latin-1"))


if not logging.getLogger("pyftpdlib").handlers:
    # keeps pyftpdlib from installing its own stderr logging
    logging.getLogger("pyftpdlib").addHandler(logging.NullHandler())


@dataclass
class Command:
    """A command line received, with the replies sent while it was the latest."""
    t_mono: float
    session: int
    cmd: str
    arg: str
    line: str
    replies: list = field(default_factory=list)


@dataclass
class Transfer:
    """A RETR whose file could be opened."""
    session: int
    path: str            # the argument of RETR
    fs_path: str
    rest: int            # REST offset in effect
    size: int            # file size and mtime when RETR was received
    mtime: float
    cut_after: int = None
    sent: int = 0        # bytes handed to the data connection
    outcome: str = None  # complete, cut, aborted (client went away), or None (never connected)
    t_start: float = 0.0
    t_end: float = None


@dataclass
class FtpFaults:
    replies: dict = field(default_factory=dict)
    cut_after: object = None
    cut_mode: str = "reset"
    cut_grace: float = 0.5
    slow: tuple = None
    forget_rest: tuple = ()
    end_reply: str = None        # said in place of the 226 that ends a whole transfer
    retr_count: int = 0          # RETRs started since these faults were set

    def __post_init__(self):
        self.replies = {k.upper(): v for k, v in self.replies.items()}


def _as_faults(value):
    if value is None:
        return FtpFaults()
    if isinstance(value, FtpFaults):
        return value
    return FtpFaults(**value)


class _Plan:
    def __init__(self, transfer, cut, mode, slow, grace):
        self.transfer, self.cut, self.mode, self.slow = transfer, cut, mode, slow
        self.grace = grace


class _DTP(DTPHandler):
    """Data channel that can trickle or cut a RETR."""

    def __init__(self, sock, cmd_channel):
        self._plan = None
        self._cutting = False
        self._was_cut = False
        super().__init__(sock, cmd_channel)

    def use_sendfile(self):
        if self._plan is not None and (self._plan.cut is not None or self._plan.slow):
            return False
        return super().use_sendfile()

    def push_with_producer(self, producer):
        self._plan = self.cmd_channel._take_plan()
        if self._plan is not None:
            self._plan.transfer.t_start = time.monotonic()
        super().push_with_producer(producer)
        if self._plan is not None and self._plan.cut == 0:
            self.ioloop.call_later(0, self._start_cut)

    def send(self, data):
        plan = self._plan
        if plan is None:
            return super().send(data)
        if self._cutting:
            return 0
        if plan.cut is not None:
            room = plan.cut - self.tot_bytes_sent
            if room <= 0:
                self.ioloop.call_later(0, self._start_cut)
                return 0
            data = data[:room]
        if plan.slow:
            data = data[:plan.slow[0]]
        sent = super().send(data)
        plan.transfer.sent = self.tot_bytes_sent
        if plan.cut is not None and self.tot_bytes_sent >= plan.cut:
            self._start_cut()
        elif plan.slow and sent and not self._closed:
            self.del_channel()
            self.call_later(plan.slow[1], self._resume)
        return sent

    def _resume(self):
        if not self._closed and not self._cutting:
            self.add_channel(events=self.ioloop.WRITE)

    def _start_cut(self):
        if self._cutting or self._closed:
            return
        self._cutting = True
        if self._plan.mode == "stall":
            # Still read, so a client's close ends it; never written to again.
            self._was_cut = "stalled"
            self._plan.transfer.outcome = "stalled"
            self.modify_ioloop_events(self.ioloop.READ)
            return
        self.del_channel()
        self._cut_deadline = time.monotonic() + 10
        self._finish_cut()

    def _finish_cut(self):
        # wait until the client holds every byte sent: a reset drops unsent data
        if self._closed:
            return
        try:
            pending = unacked_bytes(self.socket)
        except OSError:
            pending = 0
        if pending > 0 and time.monotonic() < self._cut_deadline:
            self.call_later(0.005, self._finish_cut)
            return
        left = self._plan.transfer.t_start + self._plan.grace - time.monotonic()
        if left > 0:
            self.call_later(left, self._finish_cut)
            return
        if self._plan.mode == "reset":
            try:
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            except OSError:
                pass
        self._was_cut = True
        self.transfer_finished = False
        self._resp = ("426 Connection closed; transfer aborted.", _ftplog.info)
        self.close()

    def close(self):
        plan = self._plan
        if plan is not None and plan.transfer.t_end is None and not self._closed:
            t = plan.transfer
            t.sent = self.tot_bytes_sent
            t.t_end = time.monotonic()
            if self._was_cut:
                t.outcome = "stalled" if self._was_cut == "stalled" else "cut"
            elif not self.receive and len(self.producer_fifo) == 0 and self.transfer_finished:
                t.outcome = "complete"
            else:
                t.outcome = "aborted"
        super().close()


class _Handler(FTPHandler):
    """Records every command; answers from the fault table where one is set."""
    dtp_handler = _DTP
    owner = None     # the FtpServer, set per server subclass
    auth_failed_timeout = 0     # stock waits 3 s after a failed login

    def __init__(self, conn, server, ioloop=None):
        self._session = self.owner._new_session()
        self._current = None
        self._pending_plan = None
        super().__init__(conn, server, ioloop=ioloop)

    def pre_process_command(self, line, cmd, arg):
        rec = Command(time.monotonic(), self._session, cmd, arg, line)
        self.owner._record(rec)
        self._current = rec
        faults = self.owner.faults
        canned = faults.replies.get(cmd)
        if callable(canned):
            canned = canned(self, arg)
        if canned is None:
            result = super().pre_process_command(line, cmd, arg)
            if cmd in faults.forget_rest:
                self._restart_position = 0
            return result
        if isinstance(canned, bytes):
            rec.replies.append(canned.decode("latin-1"))
            asynchat.async_chat.push(self, bytes(canned))
            if isinstance(canned, UNTERMINATED):
                self.close_when_done()
        else:
            self.respond(canned)

    def respond(self, resp, logfun=None):
        end = self.owner.faults.end_reply
        if end is not None and resp.startswith("226 Transfer complete"):
            resp = end
        if self._current is not None:
            self._current.replies.append(resp)
        if logfun is None:
            super().respond(resp)
        else:
            super().respond(resp, logfun=logfun)

    def ftp_RETR(self, file):
        faults = self.owner.faults
        try:
            st = self.fs.stat(file)
            size, mtime = st.st_size, st.st_mtime
        except OSError:
            size, mtime = None, None
        transfer = Transfer(self._session, self.fs.fs2ftp(file), file,
                            self._restart_position, size, mtime)
        index = faults.retr_count
        cut = faults.cut_after
        if callable(cut):
            cut = cut(index, transfer)
        elif isinstance(cut, (list, tuple)):
            cut = cut[index] if index < len(cut) else None
        transfer.cut_after = cut
        mode = faults.cut_mode(index, transfer) if callable(faults.cut_mode) else faults.cut_mode
        self._pending_plan = _Plan(transfer, cut, mode, faults.slow, faults.cut_grace)
        result = super().ftp_RETR(file)
        if result is None:          # refused: nothing was sent
            self._pending_plan = None
        else:
            faults.retr_count += 1
            self.owner._record_transfer(transfer)
        return result

    def _take_plan(self):
        plan, self._pending_plan = self._pending_plan, None
        return plan


class FtpServer:
    """pyftpdlib serving root_dir on host:port (port 0: chosen at start), in a thread."""

    def __init__(self, root_dir, user=None, password=None, port=0, host="127.0.0.1",
                 anonymous=True, handler_faults=None):
        self.root_dir = root_dir
        self.user, self.password = user, password
        self.host = host
        self._want_port = port
        self.port = None
        self.anonymous = anonymous
        self.faults = _as_faults(handler_faults)
        self._lock = threading.Lock()
        self._commands = []
        self._transfers = []
        self._sessions = 0
        self._stop = threading.Event()
        self._thread = None
        self._server = None

    @staticmethod
    def can_bind(port, host="127.0.0.1"):
        s = socket.socket()
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((host, port))
            return True
        except OSError:
            return False
        finally:
            s.close()

    def start(self):
        auth = DummyAuthorizer()
        if self.anonymous:
            auth.add_anonymous(self.root_dir, perm="elr")
        if self.user is not None:
            auth.add_user(self.user, self.password or "", self.root_dir, perm="elr")
        handler = type("Handler", (_Handler,), {"owner": self, "authorizer": auth,
                                                "banner": "test ftpd ready."})
        ioloop = IOLoop()       # one per server: the shared instance is not thread-safe
        try:
            self._server = FTPServer((self.host, self._want_port), handler, ioloop=ioloop)
        except BaseException:
            ioloop.close()
            raise
        self.port = self._server.address[1]
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, name="ftpserver", daemon=True)
        self._thread.start()
        return self

    def _run(self):
        try:
            while not self._stop.is_set():
                self._server.serve_forever(timeout=0.02, blocking=False, handle_exit=False)
        finally:
            self._server.close_all()

    def stop(self):
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join(5)
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path="/", user=None, password=None, port=True):
        """ftp URL of path; port=False leaves the port out (for a server on 21)."""
        auth = ""
        if user is not None:
            auth = user + (":" + password if password is not None else "") + "@"
        hostport = self.host if not port else "%s:%d" % (self.host, self.port)
        return "ftp://%s%s%s" % (auth, hostport, path)

    def set_faults(self, handler_faults=None, **fields):
        """Replace the fault table (a FtpFaults, a dict, or its fields as keywords)."""
        self.faults = _as_faults(handler_faults if handler_faults is not None else fields)

    # --- records
    def _new_session(self):
        with self._lock:
            self._sessions += 1
            return self._sessions

    def _record(self, rec):
        with self._lock:
            self._commands.append(rec)

    def _record_transfer(self, t):
        with self._lock:
            self._transfers.append(t)

    @property
    def commands(self):
        with self._lock:
            return list(self._commands)

    def command_names(self, session=None):
        return [c.cmd for c in self.commands if session is None or c.session == session]

    @property
    def transfers(self):
        with self._lock:
            return list(self._transfers)

    def wait_for_command(self, cmd, count=1, timeout=10.0):
        """Wait until `count` commands named cmd arrived; returns them."""
        deadline = time.monotonic() + timeout
        while True:
            got = [c for c in self.commands if c.cmd == cmd]
            if len(got) >= count or time.monotonic() > deadline:
                return got
            time.sleep(0.01)

    def wait_for_transfers(self, n, timeout=10.0):
        """Wait until n RETR transfers have ended; returns all transfers."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.transfers
            if sum(t.t_end is not None for t in got) >= n or time.monotonic() > deadline:
                return got
            time.sleep(0.01)

    def clear(self):
        with self._lock:
            self._commands.clear()
            self._transfers.clear()
