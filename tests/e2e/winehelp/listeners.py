"""A watch over the listening sockets of the test process, so that a server
or relay that outlives its test is caught in that test and not three modules
later: on Linux, closing a listening socket does not wake a thread blocked in
accept(), which keeps taking connections on its port, and with SO_REUSEADDR a
later server of this process may be given that very port.

Every socket.listen() and socket.accept() of the process is seen (the socket
class is wrapped once, on import). listener_guard, an autouse fixture of the
suite, fails the test after which a thread that accepted connections is still
alive (one accepting on a socket listened on during the test: the servers of
wider fixtures may serve on), or a socket listened on during the test is
still open.
"""

from __future__ import annotations

import socket
import threading
import time
import weakref

import pytest

SETTLE = 3.0    # seconds a stopping server gets to end its threads

_lock = threading.Lock()
_serial = 0
_listened: "weakref.WeakKeyDictionary[socket.socket, int]" = weakref.WeakKeyDictionary()
# thread -> (address, serial of the socket it accepted on)
_accepting: "weakref.WeakKeyDictionary[threading.Thread, tuple[str, int]]" = \
    weakref.WeakKeyDictionary()
_in_accept: "weakref.WeakKeyDictionary[threading.Thread, bool]" = weakref.WeakKeyDictionary()

_listen = socket.socket.listen
_accept = socket.socket.accept


def _address(sock: socket.socket) -> str:
    try:
        host, port = sock.getsockname()[:2]
        return f"{host}:{port}"
    except OSError:
        return "a closed socket"


def _watched_listen(self, *args):
    global _serial
    _listen(self, *args)
    with _lock:
        _serial += 1
        _listened[self] = _serial


def _watched_accept(self):
    me = threading.current_thread()
    with _lock:
        _accepting[me] = (_address(self), _listened.get(self, 0))
        _in_accept[me] = True
    try:
        return _accept(self)
    finally:
        with _lock:
            _in_accept[me] = False


if getattr(socket.socket.listen, "__name__", "") != "_watched_listen":
    socket.socket.listen = _watched_listen
    socket.socket.accept = _watched_accept


def _serving_threads(after: int) -> dict[threading.Thread, str]:
    """Live threads, other than the main one, that accept on a socket listened
    on since serial `after` (a server of a wider fixture accepts on one
    listened on before, whenever its first connection comes)."""
    main = threading.main_thread()
    with _lock:
        return {t: a for t, (a, n) in _accepting.items()
                if n > after and t.is_alive() and t is not main}


def _open_listeners(after: int) -> list[socket.socket]:
    with _lock:
        return [s for s, n in _listened.items() if n > after and s.fileno() != -1]


def leftovers(serial_before: int, settle: float = SETTLE) -> list[str]:
    """What the listeners opened since serial_before left behind, once they
    had `settle` seconds to stop: a line for each."""
    deadline = time.monotonic() + settle
    while True:
        threads = _serving_threads(serial_before)
        sockets = _open_listeners(serial_before)
        if (not threads and not sockets) or time.monotonic() >= deadline:
            break
        time.sleep(0.05)
    lines = [f"thread {t.name!r} that accepted on {a} is still running"
             + (" (blocked in accept)" if _in_accept.get(t) else "")
             for t, a in threads.items()]
    lines += [f"listening socket {_address(s)} is still open" for s in sockets]
    return lines


def snapshot() -> int:
    """The serial of the last listen() so far."""
    with _lock:
        return _serial


@pytest.fixture(autouse=True)
def listener_guard():
    """Fails the test after which a listener it started is still there."""
    serial = snapshot()
    yield
    left = leftovers(serial)
    if left:
        pytest.fail("a listener outlived its test:\n  " + "\n  ".join(left), pytrace=False)
