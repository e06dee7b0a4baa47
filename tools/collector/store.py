"""The database: one schema on SQLite (a file) and on PostgreSQL (an address),
created on first use and versioned, and the few statements the tools run.

Every connection is used by one thread at a time; the server's writers and
the report each open their own.
"""

import secrets
import sqlite3
import threading
from contextlib import closing

SCHEMA_VERSION = 1

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
}

INSERT_EVENT = ("INSERT INTO events (received, day, campaign, mode, product, windows, user_agent, client, source)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
INSERT_IMPORTED = INSERT_EVENT + " ON CONFLICT (source) DO NOTHING"
ADD_REJECTS = ("INSERT INTO rejects (day, reason, count) VALUES (?, ?, ?)"
               " ON CONFLICT (day, reason) DO UPDATE SET count = rejects.count + excluded.count")


class StoreError(Exception):
    """The database cannot be opened or used; the message says why."""


def open_store(db: str) -> "Store":
    if db.startswith(("postgresql://", "postgres://")):
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

    # What the server's writers store, per kind of item: a statement that
    # takes one row. A new counted kind adds its table to the schema and its
    # statement here; the writer batches items of every kind together.
    WRITES = {"events": INSERT_EVENT}

    def add_batch(self, conn, batch: dict[str, list], rejects) -> None:
        """Rows of each kind in WRITES and reject counts in one transaction
        (the server's writer): all are stored or none."""
        cur = conn.cursor()
        self._begin(cur)
        try:
            for kind, rows in batch.items():
                if rows:
                    cur.executemany(self.sql(self.WRITES[kind]), rows)
            statement = self.sql(ADD_REJECTS)
            for (day, reason), count in sorted(rejects.items()):
                cur.execute(statement, (day, reason, count))
            conn.commit()
        except BaseException:
            conn.rollback()
            raise

    def counts(self, first: str | None, last: str | None):
        """[(campaign, day, windows, mode, count)] and [(reason, count)] for
        the days first..last (inclusive, YYYY-MM-DD, None = open)."""
        where, args = [], []
        if first:
            where.append("day >= ?")
            args.append(first)
        if last:
            where.append("day <= ?")
            args.append(last)
        cond = (" WHERE " + " AND ".join(where)) if where else ""
        with closing(self.connect()) as conn:
            cur = conn.cursor()
            cur.execute(self.sql("SELECT campaign, day, windows, mode, COUNT(*) FROM events" + cond
                                 + " GROUP BY campaign, day, windows, mode"), args)
            events = [(c, str(d), w, int(m), int(n)) for c, d, w, m, n in cur.fetchall()]
            cur.execute(self.sql("SELECT reason, SUM(count) FROM rejects" + cond + " GROUP BY reason"), args)
            rejects = [(r, int(n)) for r, n in cur.fetchall()]
            conn.rollback()
        return events, rejects


class SqliteStore(Store):
    kind = "sqlite"
    types = {"id": "INTEGER PRIMARY KEY", "received": "TEXT", "day": "TEXT"}

    def connect(self):
        try:
            conn = sqlite3.connect(self.db, timeout=30, isolation_level=None, check_same_thread=False)
            try:
                # WAL lets the report read while the server writes; FULL makes
                # each commit reach the disk before the ping is answered.
                conn.execute("PRAGMA journal_mode=WAL")
                conn.execute("PRAGMA synchronous=FULL")
            except BaseException:
                conn.close()
                raise
        except sqlite3.Error as e:
            raise StoreError(f"{self.db}: {e}") from e
        return _SqliteConnection(conn)

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

    def connect(self):
        try:
            import psycopg2
        except ImportError as e:
            raise StoreError("PostgreSQL needs psycopg2 (Debian: python3-psycopg2)") from e
        try:
            conn = psycopg2.connect(self.db, connect_timeout=10, application_name="tools/events")
            # A ping is answered only once its commit is on disk, whatever
            # the server's default.
            conn.cursor().execute("SET synchronous_commit TO on")
            conn.commit()
            return conn
        except psycopg2.Error as e:
            raise StoreError(f"{self.name()}: {str(e).strip()}") from e

    def sql(self, statement: str) -> str:
        return statement.replace("%", "%%").replace("?", "%s")

    def _lock_schema(self, cur) -> None:
        # Several servers may start on one new database at once.
        cur.execute("SELECT pg_advisory_xact_lock(7300)")

    def _has_settings(self, cur) -> bool:
        cur.execute("SELECT to_regclass('settings') IS NOT NULL")
        return bool(cur.fetchone()[0])

    def name(self) -> str:
        # Never print a password that the address may carry.
        from urllib.parse import urlsplit
        parts = urlsplit(self.db)
        if parts.password:
            netloc = parts.netloc.replace(":" + parts.password + "@", ":***@")
            return parts._replace(netloc=netloc).geturl()
        return self.db
