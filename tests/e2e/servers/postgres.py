"""Postgres: Debian's PostgreSQL server in a temporary directory of its own,
run as an unprivileged user (the tests run as root, which the server
refuses), reachable only through a Unix socket in that directory, and
removed again at stop().
"""

import glob
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path


def server_binaries() -> Path:
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"), key=lambda p: int(p.split("/")[4]))
    if not found:
        raise RuntimeError("no PostgreSQL server in /usr/lib/postgresql (scripts/deps installs postgresql)")
    return Path(found[-1]).parent


class Postgres:
    def __init__(self):
        self.bin = server_binaries()
        self.dir: Path | None = None
        self.proc: subprocess.Popen | None = None
        self._count = 0

    def _user(self):
        for name in ("postgres", "nobody"):
            try:
                entry = pwd.getpwnam(name)
                return entry.pw_uid, entry.pw_gid
            except KeyError:
                continue
        raise RuntimeError("no unprivileged user (postgres or nobody) to run PostgreSQL as")

    def _as_user(self, uid, gid) -> list[str]:
        if os.getuid() != 0:
            return []
        return ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "--"]

    def start(self) -> "Postgres":
        uid, gid = self._user()
        # /tmp, not $TMPDIR: the server's user must reach the directory, and
        # the socket's path must stay short.
        self.dir = Path(tempfile.mkdtemp(prefix="events-pg.", dir="/tmp"))
        try:
            if os.getuid() == 0:
                os.chown(self.dir, uid, gid)
            data, log = self.dir / "data", self.dir / "server.log"
            run_as = self._as_user(uid, gid)
            env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
            subprocess.run(run_as + [str(self.bin / "initdb"), "-D", str(data), "-U", "postgres",
                                     "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync"],
                           cwd=self.dir, env=env, check=True, capture_output=True, timeout=120)
            with open(log, "wb") as out:
                if os.getuid() == 0:
                    os.chown(log, uid, gid)
                self.proc = subprocess.Popen(
                    run_as + [str(self.bin / "postgres"), "-D", str(data), "-k", str(self.dir),
                              "-c", "listen_addresses=", "-c", "max_connections=100"],
                    cwd=self.dir, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                    start_new_session=True)
            self._wait_ready(log)
        except BaseException:
            self.stop()
            raise
        return self

    def _wait_ready(self, log: Path) -> None:
        import psycopg2
        deadline = time.monotonic() + 60
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError(f"PostgreSQL ended at start: {log.read_text(errors='replace')[-2000:]}")
            try:
                psycopg2.connect(self.address("postgres")).close()
                return
            except psycopg2.OperationalError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def address(self, database: str) -> str:
        return f"postgresql:///{database}?host={self.dir}&user=postgres"

    def new_database(self, prefix: str = "events") -> str:
        """The address of a new, empty database."""
        import psycopg2
        self._count += 1
        name = f"{prefix}{self._count}"
        conn = psycopg2.connect(self.address("postgres"))
        try:
            conn.autocommit = True
            conn.cursor().execute(f'CREATE DATABASE "{name}"')
        finally:
            conn.close()
        return self.address(name)

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)  # fast shutdown
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
