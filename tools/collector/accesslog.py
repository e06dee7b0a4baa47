"""tools/events import: the pings found in web servers' access logs in the
combined format (nginx, Apache), stored like live ones.

Each stored line carries a key made of the line's bytes and how often the
same line came before it in that file, so importing a log again (or a log
that grew since) adds only what is new, while two identical pings within
one second both count.
"""

import gzip
import hashlib
import re
from datetime import datetime

from .ping import Rejected, client_hash, parse_ping, utc_stamp

# host ident user [time] "request" status bytes "referer" "agent"
_LINE = re.compile(rb'(\S+) \S+ \S+ \[([^\]]+)\] "((?:[^"\\]|\\.)*)" (\d{3}) \S+ '
                   rb'"(?:[^"\\]|\\.)*" "((?:[^"\\]|\\.)*)"')
_ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]{2}|.)", re.S)
BATCH = 5000


def _unescape(field: bytes) -> bytes:
    # nginx writes \xHH for '"', '\' and bytes outside ASCII; Apache \" and \\.
    def one(m):
        e = m.group(1)
        return bytes([int(e[1:], 16)]) if len(e) == 3 and e[:1] in b"xX" else e
    return _ESCAPE.sub(one, field)


class Tally:
    def __init__(self):
        self.pings = self.stored = self.rejected = self.failed = self.other = self.broken = 0

    def line(self) -> str:
        return (f"{self.pings} pings found, {self.stored} stored ({self.pings - self.stored} already there), "
                f"{self.failed} not answered 2xx, {self.rejected} malformed, {self.other} other requests, "
                f"{self.broken} unreadable lines")


class NotAnswered(Exception):
    """A ping that the web server did not answer with success: the client
    saw a failure, and a client that retries sends it again."""


def read_line(raw: bytes, path: bytes | None):
    """(received, day, ping, host) of a log line, None for another request,
    NotAnswered or Rejected; ValueError for a line that is not in the
    format."""
    m = _LINE.match(raw)
    if not m:
        raise ValueError("not a combined log line")
    host, when, request, status, agent = m.groups()
    try:
        stamp = datetime.strptime(when.decode("ascii"), "%d/%b/%Y:%H:%M:%S %z")
        received, day = utc_stamp(stamp)
    except (UnicodeDecodeError, ValueError, OverflowError):
        # Also a time whose UTC form falls outside the years 1 to 9999.
        raise ValueError("bad time") from None
    parts = _unescape(request).split(b" ")
    if len(parts) != 3 or parts[0] != b"GET":
        return None
    target_path, _, query = parts[1].partition(b"?")
    if path is not None and target_path != path:
        return None
    if b"camp=" not in query and b"mode=" not in query:
        return None
    if not status.startswith(b"2"):
        raise NotAnswered()
    agent = _unescape(agent)
    ping = parse_ping(query, None if agent == b"-" else agent)
    return received, day, ping, host.decode("latin-1")


def import_logs(store, files, path: str | None = None, out=None) -> Tally:
    tally = Tally()
    want = path.encode("utf-8") if path else None
    conn = store.connect()
    try:
        for name in files:
            seen: dict[bytes, int] = {}
            rows = []
            opener = gzip.open if name.endswith(".gz") else open
            with opener(name, "rb") as f:
                for raw in f:
                    raw = raw.rstrip(b"\r\n")
                    if not raw:
                        continue
                    try:
                        found = read_line(raw, want)
                    except NotAnswered:
                        tally.failed += 1
                        continue
                    except Rejected:
                        tally.rejected += 1
                        continue
                    except ValueError:
                        tally.broken += 1
                        continue
                    if found is None:
                        tally.other += 1
                        continue
                    received, day, ping, host = found
                    digest = hashlib.sha256(raw).digest()
                    seen[digest] = seen.get(digest, 0) + 1
                    source = f"log:{digest.hex()[:40]}:{seen[digest]}"
                    rows.append((received, day, ping.campaign, ping.mode, ping.product, ping.windows,
                                 ping.agent, client_hash(store.salt, host), source))
                    tally.pings += 1
                    if len(rows) >= BATCH:
                        tally.stored += store.add_events(conn, rows, imported=True)
                        rows = []
            if rows:
                tally.stored += store.add_events(conn, rows, imported=True)
    finally:
        conn.close()
    return tally
