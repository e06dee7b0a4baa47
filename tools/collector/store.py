"""The database: one schema on SQLite (a file) and on PostgreSQL (an address),
created on first use and versioned, and the few statements the tools run.

Every connection is used by one thread at a time; the server's writers and
the report each open their own.
"""

import os
import re
import secrets
import sqlite3
import threading
from contextlib import closing
from pathlib import Path

SCHEMA_VERSION = 2

# Per schema version, the statements that make it from the one before.
# {id} and {received}/{day} stand for the backend's own types.
_MIGRATIONS = {
    1: [
        "CREATE TABLE settings (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
        """CREATE TABLE events (
               id {id},
               received {received} NOT NULL,
               day {day} NOT NULL,
               campaign TEXT NOT NULL,
               mode SMALLINT NOT NULL CHECK (mode IN (0, 1)),
               product TEXT,
               windows TEXT,
               user_agent TEXT,
               client TEXT,
               source TEXT UNIQUE)""",
        "CREATE INDEX events_report ON events (day, campaign, windows, mode)",
        """CREATE TABLE rejects (
               day {day} NOT NULL,
               reason TEXT NOT NULL,
               count BIGINT NOT NULL,
               PRIMARY KEY (day, reason))""",
    ],
    # Copies of the stub handed out by serve --stub, per campaign and day.
    2: [
        """CREATE TABLE downloads (
               day {day} NOT NULL,
               campaign TEXT NOT NULL,
               count BIGINT NOT NULL,
               PRIMARY KEY (day, campaign))""",
    ],
}

from typing import NamedTuple


class Write(NamedTuple):
    """How the server's writer stores one kind of item: rows of `values`
    after `head`, many in one statement, then `tail`. A counted kind's rows
    end in a count; rows of one key are summed first, as a statement may
    not update one row twice."""
    head: str
    values: str
    tail: str = ""
    counted: bool = False


INSERT_EVENT = ("INSERT INTO events (received, day, campaign, mode, product, windows, user_agent, client, source)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
INSERT_IMPORTED = INSERT_EVENT + " ON CONFLICT (source) DO NOTHING"
ADD_REJECTS = ("INSERT INTO rejects (day, reason, count) VALUES (?, ?, ?)"
               " ON CONFLICT (day, reason) DO UPDATE SET count = rejects.count + excluded.count")


class StoreError(Exception):
    """The database cannot be opened or used; the message says why."""


def open_store(db: str) -> "Store":
    # libpq's URL, or its key=value form ("host=... dbname=...").
    if db.startswith(("postgresql://", "postgres://")) or \
            re.match(r"\s*(?:host|hostaddr|port|dbname|user|password|passfile|service)\s*=", db):
        return PostgresStore(db)
    return SqliteStore(db)


class Store:
    kind = ""
    types: dict[str, str] = {}

    def __init__(self, db: str):
        self.db = db
        self.salt = b""

    # -- backend specifics
    def connect(self):
        raise NotImplementedError

    def sql(self, statement: str) -> str:
        return statement

    def _lock_schema(self, cur) -> None:
        pass

    def _has_settings(self, cur) -> bool:
        raise NotImplementedError

    # -- shared
    def prepare(self) -> None:
        """Creates or upgrades the schema; loads the salt, made on first use."""
        try:
            with closing(self.connect()) as conn:
                cur = conn.cursor()
                self._begin(cur)
                try:
                    self._lock_schema(cur)
                    version = 0
                    if self._has_settings(cur):
                        cur.execute(self.sql("SELECT value FROM settings WHERE name = 'schema'"))
                        row = cur.fetchone()
                        version = int(row[0]) if row else 0
                    if version > SCHEMA_VERSION:
                        raise StoreError(f"{self.name()}: schema version {version} is newer than this "
                                         f"tool's ({SCHEMA_VERSION}); use a newer tools/events")
                    for step in range(version + 1, SCHEMA_VERSION + 1):
                        for statement in _MIGRATIONS[step]:
                            cur.execute(statement.format(**self.types))
                    if version < SCHEMA_VERSION:
                        cur.execute(self.sql("INSERT INTO settings (name, value) VALUES ('schema', ?)"
                                             " ON CONFLICT (name) DO UPDATE SET value = excluded.value"),
                                    (str(SCHEMA_VERSION),))
                    cur.execute(self.sql("INSERT INTO settings (name, value) VALUES ('salt', ?)"
                                         " ON CONFLICT (name) DO NOTHING"), (secrets.token_hex(32),))
                    cur.execute(self.sql("SELECT value FROM settings WHERE name = 'salt'"))
                    self.salt = bytes.fromhex(cur.fetchone()[0])
                    conn.commit()
                except BaseException:
                    conn.rollback()
                    raise
        except StoreError:
            raise
        except Exception as e:
            raise StoreError(f"{self.name()}: {type(e).__name__}: {str(e).strip()}") from e

    def _begin(self, cur) -> None:
        pass

    def name(self) -> str:
        return self.db

    def redact(self, text: str) -> str:
        """text without the secrets of the address (for messages)."""
        return text

    def add_events(self, conn, rows, imported: bool = False) -> int:
        """Inserts rows (received, day, campaign, mode, product, windows,
        agent, client, source) in one transaction; the number stored. An
        imported row whose source is already there is left out."""
        cur = conn.cursor()
        self._begin(cur)
        stored = 0
        try:
            statement = self.sql(INSERT_IMPORTED if imported else INSERT_EVENT)
            for row in rows:
                cur.execute(statement, row)
                stored += cur.rowcount
            conn.commit()
        except BaseException:
            conn.rollback()
            raise
        return stored

    def add_rejects(self, conn, counts: dict[tuple[str, str], int]) -> None:
        cur = conn.cursor()
        self._begin(cur)
        try:
            statement = self.sql(ADD_REJECTS)
            for (day, reason), count in sorted(counts.items()):
                cur.execute(statement, (day, reason, count))
            conn.commit()
        except BaseException:
            conn.rollback()
            raise

    # What the server's writers store, per kind of item. A new kind adds
    # its table to the schema and its Write here; the writer batches items
    # of every kind together.
    WRITES = {
        "events": Write("INSERT INTO events (received, day, campaign, mode, product, windows, user_agent, "
                        "client, source) VALUES", "(?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        "rejects": Write("INSERT INTO rejects (day, reason, count) VALUES", "(?, ?, ?)",
                         "ON CONFLICT (day, reason) DO UPDATE SET count = rejects.count + excluded.count",
                         counted=True),
        "downloads": Write("INSERT INTO downloads (day, campaign, count) VALUES", "(?, ?, ?)",
                           "ON CONFLICT (day, campaign) DO UPDATE SET count = downloads.count + excluded.count",
                           counted=True),
    }
    PARAMETERS = 30000  # per statement: SQLite takes up to 32766

    def add_batch(self, conn, batch: dict[str, list], rejects=None) -> None:
        """Rows of each kind in WRITES, and reject counts {(day, reason):
        count}, in one transaction (the server's writer): all are stored or
        none. Few statements, as each one costs the writer a turn at
        Python's lock against the busy server."""
        batch = dict(batch)
        if rejects:
            batch["rejects"] = list(batch.get("rejects", [])) + [k + (n,) for k, n in sorted(rejects.items())]
        cur = conn.cursor()
        self._begin(cur)
        try:
            for kind, rows in batch.items():
                write = self.WRITES[kind]
                if write.counted:
                    summed: dict = {}
                    for row in rows:
                        summed[row[:-1]] = summed.get(row[:-1], 0) + row[-1]
                    rows = [k + (n,) for k, n in sorted(summed.items())]
                if not rows:
                    continue
                per = max(1, self.PARAMETERS // len(rows[0]))
                for at in range(0, len(rows), per):
                    chunk = rows[at:at + per]
                    cur.execute(self.sql(f"{write.head} {', '.join([write.values] * len(chunk))} {write.tail}"),
                                [v for row in chunk for v in row])
            conn.commit()
        except BaseException:
            conn.rollback()
            raise

    # -- reading (the report): no write, so a read-only file, role or
    # replica will do
    def open_for_reading(self) -> None:
        """Checks, without writing, that the database is there and holds
        this tool's schema; later connections are read-only too."""
        try:
            with closing(self.connect(readonly=True)) as conn:
                cur = conn.cursor()
                version = 0
                if self._has_settings(cur):
                    cur.execute(self.sql("SELECT value FROM settings WHERE name = 'schema'"))
                    row = cur.fetchone()
                    version = int(row[0]) if row else 0
                conn.rollback()
        except StoreError:
            raise
        except Exception as e:
            raise StoreError(f"{self.name()}: {type(e).__name__}: {self.redact(str(e).strip())}") from e
        if version == 0:
            raise StoreError(f"{self.name()}: holds no events (serve or import make the tables)")
        if version > SCHEMA_VERSION:
            raise StoreError(f"{self.name()}: schema version {version} is newer than this "
                             f"tool's ({SCHEMA_VERSION}); use a newer tools/events")
        if version < SCHEMA_VERSION:
            raise StoreError(f"{self.name()}: schema version {version} is older than this tool's "
                             f"({SCHEMA_VERSION}); serve or import upgrade it")
        self.readonly = True

    readonly = False

    def select(self, statement: str, args=(), stream: bool = False):
        """The rows of one SELECT, one by one; stream: without holding them
        all at once in this process."""
        try:
            with closing(self.connect(readonly=self.readonly)) as conn:
                cur = self._cursor(conn, stream)
                cur.execute(self.sql(statement), list(args))
                yield from cur
                conn.rollback()
        except StoreError:
            raise
        except Exception as e:
            if type(e).__module__.startswith(("sqlite3", "psycopg2")):
                raise StoreError(f"{self.name()}: {type(e).__name__}: {self.redact(str(e).strip())}") from e
            raise

    def _cursor(self, conn, stream: bool):
        return conn.cursor()


class SqliteStore(Store):
    kind = "sqlite"
    types = {"id": "INTEGER PRIMARY KEY", "received": "TEXT", "day": "TEXT"}

    def connect(self, readonly: bool = False):
        try:
            if readonly:
                conn = self._reader()
            else:
                conn = sqlite3.connect(self.db, timeout=30, isolation_level=None, check_same_thread=False)
                try:
                    # WAL lets the report read while the server writes; FULL
                    # makes each commit reach the disk before the ping is
                    # answered.
                    conn.execute("PRAGMA journal_mode=WAL")
                    conn.execute("PRAGMA synchronous=FULL")
                except BaseException:
                    conn.close()
                    raise
        except sqlite3.Error as e:
            raise StoreError(f"{self.db}: {e}") from e
        return _SqliteConnection(conn)

    def _reader(self):
        # Opened read-only, so that no typo makes a new file and a file the
        # user may not write still reads.
        if not os.path.isfile(self.db):
            raise StoreError(f"{self.db}: no such database file")
        uri = Path(self.db).resolve().as_uri()
        conn = sqlite3.connect(uri + "?mode=ro", uri=True, timeout=30, isolation_level=None,
                               check_same_thread=False)
        try:
            conn.execute("SELECT 1 FROM sqlite_master LIMIT 1").fetchall()
            return conn
        except sqlite3.OperationalError:
            conn.close()
            if os.path.exists(self.db + "-wal"):
                raise
        # A WAL file whose reader may not make its -shm beside it, with no
        # -wal there: no writer has it open, so every commit is in the file
        # itself, which can then be read as it is.
        return sqlite3.connect(uri + "?immutable=1", uri=True, isolation_level=None, check_same_thread=False)

    def _begin(self, cur) -> None:
        cur.execute("BEGIN IMMEDIATE")

    def _has_settings(self, cur) -> bool:
        cur.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'settings'")
        return cur.fetchone() is not None


class _SqliteConnection:
    """sqlite3 in autocommit mode with explicit transactions, seen through
    the same commit/rollback calls as a psycopg2 connection."""

    def __init__(self, conn):
        self._conn = conn

    def cursor(self):
        return self._conn.cursor()

    def commit(self):
        if self._conn.in_transaction:
            self._conn.execute("COMMIT")

    def rollback(self):
        if self._conn.in_transaction:
            self._conn.execute("ROLLBACK")

    def close(self):
        self._conn.close()


class PostgresStore(Store):
    kind = "postgresql"
    types = {"id": "BIGSERIAL PRIMARY KEY", "received": "TIMESTAMP", "day": "DATE"}
    _lock = threading.Lock()

    def connect(self, readonly: bool = False):
        try:
            import psycopg2
        except ImportError as e:
            raise StoreError("PostgreSQL needs psycopg2 (Debian: python3-psycopg2)") from e
        try:
            conn = psycopg2.connect(self.db, connect_timeout=10, application_name="tools/events")
            if readonly:
                # A SELECT-only role or a replica will do for the report.
                conn.set_session(readonly=True)
            else:
                # A ping is answered only once its commit is on disk,
                # whatever the server's default.
                conn.cursor().execute("SET synchronous_commit TO on")
                conn.commit()
            return conn
        except psycopg2.Error as e:
            raise StoreError(f"{self.name()}: {self.redact(str(e).strip())}") from e

    def _cursor(self, conn, stream: bool):
        if not stream:
            return conn.cursor()
        cur = conn.cursor(name="events_report")  # on the server: fetched a few thousand rows at a time
        cur.itersize = 5000
        return cur

    def sql(self, statement: str) -> str:
        return statement.replace("%", "%%").replace("?", "%s")

    def _lock_schema(self, cur) -> None:
        # Several servers may start on one new database at once.
        cur.execute("SELECT pg_advisory_xact_lock(7300)")

    def _has_settings(self, cur) -> bool:
        cur.execute("SELECT to_regclass('settings') IS NOT NULL")
        return bool(cur.fetchone()[0])

    def _secrets(self) -> list[str]:
        """Every form of a password the address carries: in the URL's user
        part, as ?password=, or as password= of the key=value form."""
        from urllib.parse import parse_qs, unquote, urlsplit
        found = []
        try:
            parts = urlsplit(self.db)
            if parts.password:
                found += [parts.password, unquote(parts.password)]
            for value in parse_qs(parts.query, keep_blank_values=True).get("password", []):
                found.append(value)
            for raw in re.findall(r"(?:^|[?&])password=([^&#]*)", parts.query):
                found += [raw, unquote(raw)]
        except ValueError:
            pass
        for quoted, bare in re.findall(r"password\s*=\s*(?:'((?:[^'\\]|\\.)*)'|(\S+))", self.db):
            found.append(quoted or bare)
        return sorted({f for f in found if f}, key=len, reverse=True)

    def redact(self, text: str) -> str:
        for secret in self._secrets():
            text = text.replace(secret, "***")
        return text

    def name(self) -> str:
        # Never print a password, wherever the address carries it.
        return self.redact(self.db)
