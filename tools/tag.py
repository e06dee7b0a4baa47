"""Campaign tags inside the Authenticode signature of a signed stub (standard library only).

The Authenticode hash leaves the certificate table out, so what is written
there does not break the signature. A tag is one unauthenticated attribute
of the signer, so it sits inside the PKCS#7 structure (Windows refuses data
appended behind it where its padding check is on):

    Attribute ::= SEQUENCE { type OID 2.25.69121043752023339471097667153161547427,
                             values SET { OCTET STRING (ROOM = 1024 bytes) } }

The OID is a UUID-based identifier (X.667, arc 2.25), which anyone may form
without registering it. The OCTET STRING always has ROOM bytes, so a tagged
copy is re-tagged in place, and the whole attribute up to the payload's
magic is one fixed run of bytes, which the stub finds by a plain search:

    offset  size  content
    0       8     magic "QRBLTAG" and layout version 1
    8       1     flags: bit 0 = an install number is given; no other bit set
    9       1     campaign length n: 0 = an empty tag (room only), else 1..64
    10      4     install number, little-endian, 0..2^31-1 (0 when not given)
    14      n     campaign: letters, digits, "-", "_", "." only
    14+n    1     terminator 0
    15+n    ...   zeros up to ROOM

The stub takes a tag only when every rule holds, and otherwise keeps its
stamped values; the tag never changes what is downloaded or started.

    tag_image(signed_bytes, "spring", 4242) -> tagged bytes (StampError on refusal)
    reserve_image(signed_bytes) -> bytes with an empty tag
    Tagger(reserved_bytes).tagged("spring", 4242) -> bytes, in place (serving speed)
    read_tag(bytes) -> TagInfo or None
"""

import array
import re
import struct
import sys
from dataclasses import dataclass

import pe

TAG_OID = "2.25.69121043752023339471097667153161547427"
ROOM = 1024
MAGIC = b"QRBLTAG\x01"
MAX_CAMPAIGN = 64
CAMPAIGN_RULE = re.compile(rb"[A-Za-z0-9._-]{1,%d}" % MAX_CAMPAIGN)
FLAG_NUMBER = 1
HEADER = 14             # magic, flags, length, install number

SIGNED_DATA_OID = "1.2.840.113549.1.7.2"
WIN_CERT_REVISION = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2

# Exit statuses of the tag commands (beside those of pe.py).
EXIT_UNSIGNED = 19        # the input carries no Authenticode signature
EXIT_SIGNATURE = 20       # the signature cannot be read or rewritten
EXIT_CAMPAIGN = 21        # the campaign is not one a tag can carry


def _encode_oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    out = bytearray()
    for n in [40 * arcs[0] + arcs[1]] + arcs[2:]:
        chunk = [n & 0x7F]
        n >>= 7
        while n:
            chunk.append(0x80 | (n & 0x7F))
            n >>= 7
        out += bytes(reversed(chunk))
    return bytes(out)


def _length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def _tlv(tag, content):
    return bytes([tag]) + _length(len(content)) + content


OID_BYTES = _tlv(0x06, _encode_oid(TAG_OID))
SIGNED_DATA_OID_BYTES = _tlv(0x06, _encode_oid(SIGNED_DATA_OID))


def _octets_header():
    # Always the long form with two length bytes, so the prefix is fixed.
    return b"\x04\x82" + struct.pack(">H", ROOM)


def _attribute(payload):
    assert len(payload) == ROOM
    values = b"\x31\x82" + struct.pack(">H", 4 + ROOM) + _octets_header() + payload
    body = OID_BYTES + values
    return b"\x30\x82" + struct.pack(">H", len(body)) + body


# The bytes in front of every payload, magic included: what the stub looks for.
PREFIX = _attribute(bytes(ROOM))[:-ROOM] + MAGIC
PAYLOAD_AT = len(PREFIX) - len(MAGIC)     # where the payload starts in the attribute


def payload(campaign=None, install_number=None):
    """The ROOM bytes of a tag; no campaign: the empty tag of `reserve`."""
    out = bytearray(ROOM)
    out[:8] = MAGIC
    if campaign is not None:
        out[8] = FLAG_NUMBER if install_number is not None else 0
        out[9] = len(campaign)
        struct.pack_into("<I", out, 10, install_number or 0)
        out[HEADER:HEADER + len(campaign)] = campaign
    return bytes(out)


def check_campaign(campaign):
    """The campaign as bytes, or StampError: what the stub would take."""
    if isinstance(campaign, str):
        raw = campaign.encode("latin-1", "replace") if campaign.isascii() else None
    else:
        raw = bytes(campaign)
    if raw is None or not CAMPAIGN_RULE.fullmatch(raw):
        raise pe.StampError(EXIT_CAMPAIGN, "campaign %r cannot be carried in a tag: 1 to %d "
                            "characters, only letters, digits, \"-\", \"_\" and \".\"" % (
                                campaign, MAX_CAMPAIGN))
    return raw


def check_install_number(value):
    if value is None:
        return None
    return pe.parse_install_number(value)


@dataclass
class TagInfo:
    """A tag found in a signature (read_tag)."""
    offset: int              # file offset of the payload
    campaign: bytes = None   # None: empty or not valid
    install_number: int = None
    problem: str = None      # why the stub would ignore it; None: valid or empty

    @property
    def empty(self):
        return self.problem is None and self.campaign is None


def decode_payload(data):
    """(campaign, install number, problem) by the stub's rules; an empty tag
    is (None, None, None)."""
    if len(data) != ROOM or data[:8] != MAGIC:
        return None, None, "no tag magic"
    flags, n = data[8], data[9]
    number = struct.unpack_from("<I", data, 10)[0]
    if flags & ~FLAG_NUMBER:
        return None, None, "unknown flags 0x%02x" % flags
    if n == 0:
        if flags or number or any(data[HEADER:]):
            return None, None, "an empty tag with data in it"
        return None, None, None
    if n > MAX_CAMPAIGN:
        return None, None, "campaign length %d over %d" % (n, MAX_CAMPAIGN)
    campaign = data[HEADER:HEADER + n]
    if not CAMPAIGN_RULE.fullmatch(campaign):
        return None, None, "campaign %s holds characters a tag may not" % pe.quote_text(campaign)
    if data[HEADER + n] != 0:
        return None, None, "no terminator after the campaign"
    if any(data[HEADER + n + 1:]):
        return None, None, "data after the terminator"
    if flags & FLAG_NUMBER:
        if number > pe.MAX_INSTALL_NUMBER:
            return None, None, "install number %d over %d" % (number, pe.MAX_INSTALL_NUMBER)
    elif number:
        return None, None, "an install number without its flag"
    return campaign, number if flags & FLAG_NUMBER else None, None


# ----------------------------------------------------------------- DER

def _read(data, pos, end):
    """(tag, content start, content end) of the DER element at pos."""
    if pos + 2 > end:
        raise ValueError("element runs past its parent at %d" % pos)
    tag, first = data[pos], data[pos + 1]
    if tag & 0x1F == 0x1F:
        raise ValueError("high tag number at %d" % pos)
    pos += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + count > end:
            raise ValueError("bad length at %d" % pos)
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if pos + length > end:
        raise ValueError("element runs past its parent at %d" % pos)
    return tag, pos, pos + length


def _children(data, start, end):
    """[(tag, element start, content start, content end)] of a constructed element."""
    out, pos = [], start
    while pos < end:
        tag, cs, ce = _read(data, pos, end)
        out.append((tag, pos, cs, ce))
        pos = ce
    return out


@dataclass
class _Signature:
    table: int            # file offset of the certificate table
    table_size: int
    pkcs7: int            # file offset of the ContentInfo
    pkcs7_end: int
    path: list            # (element start, tag) from ContentInfo down to SignerInfo
    unauth: tuple         # (element start, content start, content end) or None
    insert_at: int        # where a new [1] goes (end of the SignerInfo)
    attributes: list      # (element start, element end, is ours)


def _signature(data, what):
    try:
        img = pe.PEImage(data)
        table, size = img.directory(pe.DIR_SECURITY)
    except (pe.PEError, struct.error, IndexError, ValueError) as e:
        raise pe.StampError(pe.EXIT_NOT_PE32, "%s is not a PE program: %s" % (what, e)) from None
    if not size:
        raise pe.StampError(EXIT_UNSIGNED, "%s carries no Authenticode signature: sign it first "
                            "(osslsigncode sign or signtool), then tag it" % what)
    bad = lambda why: pe.StampError(EXIT_SIGNATURE, "%s: the signature cannot be tagged: %s" % (
        what, why))
    if table + size > len(data) or size < 8:
        raise bad("the certificate table runs past the end of the file")
    length, revision, kind = struct.unpack_from("<IHH", data, table)
    if revision != WIN_CERT_REVISION or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        raise bad("the certificate table holds no PKCS#7 signature (revision 0x%x, type %d)" % (
            revision, kind))
    if length < 8 or length > size or pe._pad(length, 8) != size:
        raise bad("the certificate table holds more or less than one signature")
    start, end = table + 8, table + length
    try:
        tag, cs, ce = _read(data, start, end)
        if tag != 0x30:
            raise ValueError("no ContentInfo")
        if any(data[ce:end]):
            raise ValueError("data behind the PKCS#7 structure")
        info = _children(data, cs, ce)
        if len(info) != 2 or data[info[0][1]:info[0][3]] != SIGNED_DATA_OID_BYTES or info[1][0] != 0xA0:
            raise ValueError("not a SignedData")
        explicit = _children(data, info[1][2], info[1][3])
        if len(explicit) != 1 or explicit[0][0] != 0x30:
            raise ValueError("not a SignedData")
        signed = _children(data, explicit[0][2], explicit[0][3])
        if not signed or signed[-1][0] != 0x31:
            raise ValueError("no signer infos")
        signers = _children(data, signed[-1][2], signed[-1][3])
        if len(signers) != 1 or signers[0][0] != 0x30:
            raise ValueError("%d signers (one is needed)" % len(signers))
        fields = _children(data, signers[0][2], signers[0][3])
        digest = next((i for i, f in enumerate(fields) if f[0] == 0x04 and i >= 3), None)
        if digest is None:
            raise ValueError("the signer has no encrypted digest")
        rest = fields[digest + 1:]
        if len(rest) > 1 or (rest and rest[0][0] != 0xA1):
            raise ValueError("unexpected fields after the signer's digest")
        unauth, attributes = None, []
        if rest:
            unauth = rest[0][1:]
            for t, at, acs, ace in _children(data, unauth[1], unauth[2]):
                parts = _children(data, acs, ace) if t == 0x30 else []
                if not parts or parts[0][0] != 0x06:
                    raise ValueError("an unauthenticated attribute without a type")
                ours = data[parts[0][1]:parts[0][3]] == OID_BYTES
                attributes.append((at, ace, ours))
            if sum(1 for a in attributes if a[2]) > 1:
                raise ValueError("more than one tag")
    except ValueError as e:
        raise bad(str(e)) from None
    path = [(start, 0x30), (info[1][1], 0xA0), (explicit[0][1], 0x30), (signed[-1][1], 0x31),
            (signers[0][1], 0x30)]
    return _Signature(table, size, start, ce, path, unauth, signers[0][3], attributes)


def _our_payload(data, sig):
    """File offset of our attribute's payload when it has the fixed shape, else None."""
    for at, end, ours in sig.attributes:
        if ours and end - at == PAYLOAD_AT + ROOM and data[at:at + PAYLOAD_AT] == PREFIX[:PAYLOAD_AT]:
            return at + PAYLOAD_AT
    return None


def _rebuild(data, sig, attribute):
    """The file with the signer's unauthenticated attributes holding `attribute`
    in place of any tag (DER order kept: a SET OF is sorted by encoding)."""
    others = [bytes(data[at:end]) for at, end, ours in sig.attributes if not ours]
    pos = 0
    while pos < len(others) and others[pos] < attribute:
        pos += 1
    others.insert(pos, attribute)
    new = _tlv(0xA1, b"".join(others))
    if sig.unauth:
        old_start, old_end = sig.unauth[0], sig.unauth[2]
    else:
        old_start = old_end = sig.insert_at
    # Re-wrap every element from the SignerInfo up with its new length.
    inner = new
    left, right = old_start, old_end
    for start, tag in reversed(sig.path):
        _, cs, ce = _read(data, start, sig.pkcs7_end)
        content = bytes(data[cs:left]) + inner + bytes(data[right:ce])
        inner = _tlv(tag, content)
        left, right = start, ce
    pkcs7 = inner
    length = 8 + len(pkcs7)
    table = struct.pack("<IHH", length, WIN_CERT_REVISION, WIN_CERT_TYPE_PKCS_SIGNED_DATA) + pkcs7
    table += bytes(pe._pad(length, 8) - length)
    if sig.table + sig.table_size != len(data):
        raise pe.StampError(EXIT_SIGNATURE, "the certificate table is not at the end of the file, "
                            "so it cannot grow")
    out = bytearray(data[:sig.table]) + table
    img = pe.PEImage(data)
    struct.pack_into("<II", out, img.directories_offset + 8 * pe.DIR_SECURITY, sig.table, len(table))
    return out, img


def _finish(out, img):
    if img.checksum:
        struct.pack_into("<I", out, img.checksum_offset, pe.pe_checksum(out, img.checksum_offset))
    return bytes(out)


def _write_payload(data, sig, body):
    at = _our_payload(data, sig)
    if at is not None:
        out = bytearray(data)
        out[at:at + ROOM] = body
        return _finish(out, pe.PEImage(data))
    out, img = _rebuild(data, sig, _attribute(body))
    return _finish(out, img)


def _check_stub(data, what):
    pe._open_stub(bytes(data), what)   # a stub, not any signed program


def tag_image(data, campaign, install_number=None, what="input"):
    """The signed stub `data` with a tag for `campaign` (and install number):
    in place where it has room, else with the room added."""
    body = payload(check_campaign(campaign), check_install_number(install_number))
    _check_stub(data, what)
    return _write_payload(data, _signature(data, what), body)


def reserve_image(data, what="input"):
    """The signed stub `data` with an empty tag of ROOM bytes (a tag there is emptied)."""
    _check_stub(data, what)
    return _write_payload(data, _signature(data, what), payload())


def read_tag(data, what="input"):
    """The TagInfo of a signed stub, or None when it carries none.
    StampError when there is no signature or it cannot be read."""
    sig = _signature(data, what)
    for at, end, ours in sig.attributes:
        if not ours:
            continue
        if end - at != PAYLOAD_AT + ROOM or data[at:at + PAYLOAD_AT] != PREFIX[:PAYLOAD_AT]:
            return TagInfo(at, problem="the tag's attribute is not of the fixed shape")
        campaign, number, problem = decode_payload(bytes(data[at + PAYLOAD_AT:end]))
        return TagInfo(at + PAYLOAD_AT, campaign, number, problem)
    return None


class Tagger:
    """Copies of one reserved (or tagged) stub, each tagged by an overwrite
    of its room: the signature is parsed once, here."""

    def __init__(self, data, what="input"):
        self.data = bytes(data)
        _check_stub(self.data, what)
        sig = _signature(self.data, what)
        self.at = _our_payload(self.data, sig)
        if self.at is None:
            raise pe.StampError(EXIT_SIGNATURE, "%s has no room for a tag: make it with "
                                "stamp reserve" % what)
        img = pe.PEImage(self.data)
        self.checksum_offset = img.checksum_offset if img.checksum else None
        if self.checksum_offset is not None:
            # The checksum is a sum of 16-bit words: the sum of everything
            # but the room is taken once, the room's is added per copy.
            base = bytearray(self.data)
            base[self.at:self.at + ROOM] = bytes(ROOM)
            base[self.checksum_offset:self.checksum_offset + 4] = bytes(4)
            self.base_sum = _word_sum(base)

    def tagged(self, campaign, install_number=None):
        body = payload(check_campaign(campaign), check_install_number(install_number))
        out = bytearray(self.data)
        out[self.at:self.at + ROOM] = body
        if self.checksum_offset is not None:
            start = self.at & ~1
            total = self.base_sum + _word_sum(bytes(self.at - start) + body)
            folded = 0 if total == 0 else (total - 1) % 0xFFFF + 1
            struct.pack_into("<I", out, self.checksum_offset, folded + len(out))
        return bytes(out)


def _word_sum(data):
    """The plain sum of the little-endian 16-bit words of data (an odd end padded)."""
    if len(data) % 2:
        data = bytes(data) + b"\0"
    words = array.array("H")
    words.frombytes(bytes(data))
    if sys.byteorder == "big":
        words.byteswap()
    return sum(words)
