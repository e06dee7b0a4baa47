"""HTTPS through the real install.exe under Wine: nginx with TLS on loopback,
and a certificate authority that the tests make and trust inside the test
prefix alone (never the machine's own store). Every distribution here is
pinned, as a vendor's should be.
"""

import contextlib
import hashlib
import random
import re
import socket
import threading
import time
from pathlib import Path

import pytest

from servers import Nginx, TestCA
from winehelp import finish_run, helper_exe, resume_from, resume_range, stamp

TITLE = "Secure Test"
NUMBER = 5150


@pytest.fixture(scope="module")
def setup_bytes():
    data = helper_exe("fakesetup.exe").read_bytes()
    return data + random.Random(443).randbytes(2_000_000 - len(data))


@pytest.fixture(scope="module")
def www(tmp_path_factory, setup_bytes):
    root = tmp_path_factory.mktemp("www")
    (root / "Setup.exe").write_bytes(setup_bytes)
    return root


@pytest.fixture(scope="module")
def certificates(bench, tmp_path_factory):
    """Server certificates: {"trusted", "untrusted", "wrong host"} -> (cert, key).
    Only the first CA is trusted, and only in the test prefix."""
    where = tmp_path_factory.mktemp("pki")
    ours, stranger = TestCA(where, "Stub Test CA"), TestCA(where, "Stranger CA")
    certs = {"trusted": ours.issue("localhost"), "untrusted": stranger.issue("localhost"),
             "wrong host": ours.issue("elsewhere.test")}
    bench.trust_root_certificate(ours.der)
    yield certs
    bench.forget_root_certificate(ours.der)


@pytest.fixture
def product(bench, request):
    """A product code and registry key of this test alone, cleaned before and after."""
    with bench.own_product(request.node.name, "TLS", "HttpsTest") as product:
        yield product


def distribution(out, url, product, setup_bytes, **more):
    code, key = product
    return stamp(out, download_url=url, event_url="", product_code=code, registry_key=key,
                 title=TITLE, install_number=NUMBER,
                 sha256=hashlib.sha256(setup_bytes).hexdigest(), **more)


class CountingRelay:
    """Counts the connections made to it and relays each to a port of
    127.0.0.1: a refused handshake never shows in the server's access log.
    Stopping shuts the listener down (a bare close would leave its accept
    blocked, the port still taking connections) and joins every thread."""

    def __init__(self, port):
        self.target, self.connections = port, 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.open = []
        self.threads = []
        self.lock = threading.Lock()

    def __enter__(self):
        self._start(self._accept)
        return self

    def __exit__(self, *exc):
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        with self.lock:
            socks, threads = list(self.open), list(self.threads)
        for sock in socks:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        for thread in threads:
            thread.join(5)
        for sock in socks:
            sock.close()

    def _start(self, target, *args):
        thread = threading.Thread(target=target, args=args, name="countingrelay", daemon=True)
        with self.lock:
            self.threads.append(thread)
        thread.start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            try:
                server = socket.create_connection(("127.0.0.1", self.target))
            except OSError:
                client.close()
                continue
            with self.lock:
                self.open += [client, server]
            for a, b in ((client, server), (server, client)):
                self._start(self._pump, a, b)

    @staticmethod
    def _pump(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def serve(www, certificates, which="trusted", **options):
    return Nginx(str(www), tls=certificates[which], url_host="localhost", **options)


def started(bench, log, setup_bytes):
    runs = log.wait(1)
    assert len(runs) == 1, runs
    return Path(bench.to_unix(runs[0]["path"])).read_bytes() == setup_bytes


def test_fresh_download(bench, www, certificates, product, setup_bytes, tmp_path, fakesetup_log):
    with serve(www, certificates) as web:
        stub = distribution(tmp_path / "install.exe", web.url("/Setup.exe"), product, setup_bytes)
        assert finish_run(bench, bench.start(stub, env=fakesetup_log.env), TITLE) == (0, None)
        assert [(e.status, e.range) for e in web.access_log(wait_for=1)] == [(200, None)]
    assert started(bench, fakesetup_log, setup_bytes)


def test_resume_after_a_cut(bench, www, certificates, product, setup_bytes, tmp_path, fakesetup_log):
    code, key = product
    partial = bench.temp_dir / f"~{code}{NUMBER}.exe"
    # Slow enough to be stopped in the middle; the server goes away as a
    # dropped connection would take it.
    with serve(www, certificates, extra_server="limit_rate 200k;") as web:
        stub = distribution(tmp_path / "install.exe", web.url("/Setup.exe"), product, setup_bytes)
        run = bench.start(stub, env=fakesetup_log.env)
        deadline = time.monotonic() + 60
        while not (partial.exists() and partial.stat().st_size >= 300_000):
            assert time.monotonic() < deadline and run.running(), "the download did not get going"
            time.sleep(0.1)
    exit_code, text = finish_run(bench, run, TITLE)
    assert exit_code == 0 and text and "Error" in text, text
    kept = partial.stat().st_size
    assert 300_000 <= kept < len(setup_bytes) and partial.read_bytes() == setup_bytes[:kept]
    assert not fakesetup_log.entries()

    # The server comes back on a port of its own choosing, as another
    # process may hold the old one by now: the same distribution stamped
    # with its address (the record does not depend on it).
    with serve(www, certificates) as web:
        stub = distribution(tmp_path / "install.exe", web.url("/Setup.exe"), product, setup_bytes)
        assert finish_run(bench, bench.start(stub, env=fakesetup_log.env), TITLE) == (0, None)
        log = web.access_log(wait_for=1)
    assert [(e.status, e.range) for e in log] == [(206, resume_range(kept))]
    assert log[0].body_bytes_sent == len(setup_bytes) - resume_from(kept)
    assert started(bench, fakesetup_log, setup_bytes)
    assert not bench.reg_key_exists(rf"HKLM\{key}\Install\{NUMBER:08d}")


# The client's codes: a wrong name is 12038 (ERROR_INTERNET_SEC_CERT_CN_INVALID).
# A root nobody trusts is 12045 (ERROR_INTERNET_INVALID_CA) on Windows; Wine's
# client reports 12057 (ERROR_INTERNET_SEC_CERT_REV_FAILED) for it, its
# revocation check failing first on a chain that ends at no trusted root.
REFUSED = [("untrusted", r"12045|12057"), ("wrong host", r"12038")]


@pytest.mark.parametrize("which, codes", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_certificate_keeps_the_partial_file(bench, www, certificates, product, setup_bytes,
                                                    tmp_path, fakesetup_log, which, codes):
    code, key = product
    record = rf"HKLM\{key}\Install\{NUMBER:08d}"
    partial = bench.temp_dir / f"~{code}{NUMBER}.exe"
    partial.write_bytes(setup_bytes[:300_000])
    for name, value in (("Date", 20240102), ("Time", 11234), ("Size", len(setup_bytes))):
        bench.reg_add(record, name, value, "REG_DWORD")
    before = bench.reg_values(record)
    with serve(www, certificates, which) as web:
        stub = distribution(tmp_path / "install.exe", web.url("/Setup.exe"), product, setup_bytes)
        exit_code, text = finish_run(bench, bench.start(stub, env=fakesetup_log.env), TITLE)
        # The handshake failed: no request reached the server.
        assert web.access_log() == []
    assert exit_code == 0
    assert text and re.search(rf"Error( Code:)? ({codes})\b", text), text
    assert not fakesetup_log.entries()
    assert partial.read_bytes() == setup_bytes[:300_000]
    assert bench.reg_values(record) == before


@pytest.mark.parametrize("which, codes", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_certificate_is_not_retried_and_falls_back(bench, www, certificates, product,
                                                           setup_bytes, tmp_path, fakesetup_log,
                                                           which, codes):
    """With retries, a refused certificate is still one connection and the
    error box at once; with a second server as well, that server is asked
    at once and its file started."""
    with serve(www, certificates, which) as bad, CountingRelay(bad.port) as relay:
        url = "https://localhost:%d/Setup.exe" % relay.port
        stub = distribution(tmp_path / "install.exe", url, product, setup_bytes, retries=3)
        started_at = time.monotonic()
        exit_code, text = finish_run(bench, bench.start(stub, env=fakesetup_log.env), TITLE)
        took = time.monotonic() - started_at
        assert (exit_code, relay.connections) == (0, 1), (exit_code, relay.connections)
        assert text and re.search(rf"Error( Code:)? ({codes})\b", text), text
        # No wait: the first one would be 2 s.
        assert took < 2 + 10, took
        assert not fakesetup_log.entries()

        with serve(www, certificates) as good:
            stub = distribution(tmp_path / "fallback.exe", url, product, setup_bytes, retries=3,
                                fallback_url=good.url("/Setup.exe"))
            exit_code, text = finish_run(bench, bench.start(stub, env=fakesetup_log.env), TITLE)
            assert (exit_code, text) == (0, None)
            assert relay.connections == 2
            assert [r.status for r in good.access_log(wait_for=1)] == [200]
    assert started(bench, fakesetup_log, setup_bytes)
