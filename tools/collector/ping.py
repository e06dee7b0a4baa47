"""What one ping is, and the checks a request must pass before it is stored.

Shared by the server and the access-log import, so that both keep the same
pings and refuse the same junk.
"""

import functools
import hashlib
import hmac
import ipaddress
import re
import unicodedata
from datetime import datetime, timezone
from typing import NamedTuple
from urllib.parse import unquote_to_bytes

MAX_QUERY = 4096      # bytes of the raw query; a stub's is well under 1 KB
MAX_CAMPAIGN = 100    # characters, after percent-decoding
MAX_AGENT = 512       # bytes of the User-Agent

# The stub appends "?camp=<campaign>&mode=<n>" to the event URL without
# escaping the campaign, so "&" may sit inside it and the event URL may bring
# a query of its own in front. Read from the right: the mode closes the query.
_STUB_QUERY = re.compile(rb"(?:\A|[?&])camp=(.*)&mode=([^&?]*)\Z", re.S)
# "<product code> (<Windows name>)"; HTTP drops the blank in front when the
# product code is empty.
_AGENT = re.compile(r"(?:(.*) )?\(([^()]*)\)\Z", re.S)


class Rejected(Exception):
    """A request that is not a ping; reason is a short fixed text."""

    def __init__(self, reason: str):
        super().__init__(reason)
        self.reason = reason


class Ping(NamedTuple):
    campaign: str
    mode: int
    product: str | None
    windows: str | None
    agent: str | None


# Characters that a report would show as nothing, as a blank or as a line
# break, or that turn the text's direction: two names that look alike could
# stand for different campaigns. Only the plain blank stays of the blanks.
_HIDDEN = {"Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}


def _text(raw: bytes, what: str) -> str:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise Rejected(f"{what} not UTF-8") from None
    for c in text:
        if c < " " or "\x7f" <= c < "\xa0":
            raise Rejected(f"control character in {what}")
        if c > "\x7f" and unicodedata.category(c) in _HIDDEN:
            raise Rejected(f"invisible character in {what}")
    return text


def parse_query(query: bytes) -> tuple[str, int]:
    """(campaign, mode) of a raw query, or Rejected."""
    if len(query) > MAX_QUERY:
        raise Rejected("query too long")
    found = _STUB_QUERY.search(query)
    if found:
        camp, mode = found.group(1), found.group(2)
        if b"&mode=" in camp:
            raise Rejected("mode given twice")
    else:
        # Another client may order or add keys freely; each key once.
        fields = {}
        for part in query.split(b"&"):
            key, _, value = part.partition(b"=")
            if key in (b"camp", b"mode"):
                if key in fields:
                    raise Rejected(f"{key.decode()} given twice")
                fields[key] = value
        if b"mode" not in fields:
            raise Rejected("no mode")
        if b"camp" not in fields:
            raise Rejected("no campaign")
        camp, mode = fields[b"camp"], fields[b"mode"]
    if mode not in (b"0", b"1"):
        raise Rejected("bad mode")
    campaign = _text(unquote_to_bytes(camp), "campaign")
    if len(campaign) > MAX_CAMPAIGN:
        raise Rejected("campaign too long")
    return campaign, int(mode)


def parse_download(query: bytes) -> str:
    """The campaign of a download's query "camp=NAME" (other keys are left
    alone, camp once), by the rules of a ping's campaign; or Rejected."""
    if len(query) > MAX_QUERY:
        raise Rejected("query too long")
    values = [part[5:] for part in query.split(b"&") if part.startswith(b"camp=")]
    if not values:
        raise Rejected("no campaign")
    if len(values) > 1:
        raise Rejected("camp given twice")
    campaign = _text(unquote_to_bytes(values[0]), "campaign")
    if len(campaign) > MAX_CAMPAIGN:
        raise Rejected("campaign too long")
    return campaign


def parse_agent(agent: bytes | None) -> tuple[str | None, str | None, str | None]:
    """(product, windows, agent text) of a raw User-Agent; parts the agent
    does not hold in the stub's form are None."""
    if agent is None:
        return None, None, None
    if len(agent) > MAX_AGENT:
        raise Rejected("User-Agent too long")
    text = _text(agent, "User-Agent")
    found = _AGENT.fullmatch(text)
    if not found:
        return None, None, text
    return found.group(1) or "", found.group(2), text


def parse_ping(query: bytes, agent: bytes | None) -> Ping:
    campaign, mode = parse_query(query)
    product, windows, text = parse_agent(agent)
    return Ping(campaign, mode, product, windows, text)


@functools.lru_cache(maxsize=4096)
def client_address(address: str) -> str:
    """An address in one form per client: an IPv4 address that reached an
    IPv6 socket (::ffff:a.b.c.d) as plain IPv4, IPv6 in its short form."""
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        return address
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return str(ip)


def client_key(address: str) -> str:
    """What the server counts connections by: the address, or for IPv6 its
    /64 network, which one host or home usually holds as a whole."""
    address = client_address(address)
    if ":" in address:
        try:
            return str(ipaddress.ip_network(address.split("%")[0] + "/64", strict=False))
        except ValueError:
            pass
    return address


def client_hash(salt: bytes, address: str) -> str:
    """The stored stand-in for a client's address (see README: privacy)."""
    return hmac.new(salt, client_address(address).encode("ascii", "replace"), hashlib.sha256).hexdigest()[:32]


def utc_stamp(when: datetime | None = None) -> tuple[str, str]:
    """(received, day) as stored: UTC, microseconds; the UTC day."""
    when = (when or datetime.now(timezone.utc)).astimezone(timezone.utc)
    return when.strftime("%Y-%m-%d %H:%M:%S.%f"), when.strftime("%Y-%m-%d")
