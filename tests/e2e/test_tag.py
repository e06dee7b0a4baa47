"""Campaign tags in the signature: tools/stamp reserve and tag on stubs signed
with osslsigncode by a code-signing certificate of the test's own CA; the
signed stub under Wine taking a valid tag's campaign and install number and
ignoring every malformed one; and the collector's download route handing out
a tagged copy per campaign, counted once stored.
"""

import contextlib
import http.client
import re
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import pe  # noqa: E402
import tag  # noqa: E402

from servers import FaultServer  # noqa: E402
from servers.collector import EVENTS, EventCollector  # noqa: E402
from servers.testca import CodeSigner  # noqa: E402
from winehelp import free_port, helper_exe, run_to_end, stamp, stub_exe  # noqa: E402

STAMP = REPO / "tools" / "stamp"
SETUP = "/tagged/Setup.exe"
EVENT = "/tagged/event.php"

def run_stamp(*args):
    return subprocess.run([sys.executable, str(STAMP), *map(str, args)], capture_output=True,
                          timeout=120)


def stamp_ok(*args):
    r = run_stamp(*args)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r.stdout.decode()


def digests(output):
    """The signatures' (current, calculated) message digests and signer subjects."""
    current = re.findall(r"Current message digest\s*:\s*([0-9A-F]+)", output)
    calculated = re.findall(r"Calculated message digest\s*:\s*([0-9A-F]+)", output)
    subjects = re.findall(r"Signer #0:\s*Subject:\s*(.+)", output)
    return current, calculated, subjects


def table_span(data):
    img = pe.PEImage(data)
    offset, size = img.directory(pe.DIR_SECURITY)
    return offset, size, img


def outside_table(data):
    """The bytes the signature covers or leaves alone: everything but the
    certificate table, its directory entry and the checksum."""
    offset, _, img = table_span(data)
    out = bytearray(data[:offset])
    out[img.checksum_offset:img.checksum_offset + 4] = bytes(4)
    entry = img.directories_offset + 8 * pe.DIR_SECURITY
    out[entry:entry + 8] = bytes(8)
    return bytes(out)


@pytest.fixture(scope="module")
def signer(tmp_path_factory):
    return CodeSigner(tmp_path_factory.mktemp("signer"), "Quorbel Test Signer")


@pytest.fixture(scope="module")
def signed(signer, tmp_path_factory):
    """The built stub, signed."""
    d = tmp_path_factory.mktemp("signed")
    return signer.sign(stub_exe(), d / "signed.exe")


# ------------------------------------------------------------- the tool

def test_tag_keeps_the_signature_and_touches_only_the_table(signer, signed, tmp_path):
    ok, before = signer.verify(signed)
    assert ok, before
    tagged = tmp_path / "tagged.exe"
    stamp_ok("tag", signed, "-o", tagged, "--campaign", "spring-2027", "--install-number", 4242)
    ok, after = signer.verify(tagged)
    assert ok, after
    # The same signer and message digest, and the digest still matches the file.
    assert digests(after) == digests(before) and digests(after)[0] == digests(after)[1]
    assert digests(after)[2][0] == "/CN=" + signer.name
    data, base = tagged.read_bytes(), signed.read_bytes()
    assert outside_table(data) == outside_table(base)
    assert table_span(data)[0] == table_span(base)[0]
    assert table_span(data)[1] - table_span(base)[1] == pe._pad(len(tag.PREFIX) - 8 + tag.ROOM, 8)
    # The checksum osslsigncode set is kept right.
    img = pe.PEImage(data)
    assert img.checksum == pe.pe_checksum(data, img.checksum_offset)
    assert 'campaign "spring-2027", install number 4242' in stamp_ok("show", tagged)
    # The control: one byte of code changed, and the same check fails.
    text = next(s for s in img.sections if s.name == ".text")
    broken = bytearray(data)
    broken[text.raw_pointer + 64] ^= 0x01
    control = tmp_path / "control.exe"
    control.write_bytes(bytes(broken))
    ok, out = signer.verify(control)
    assert not ok, out

    # A tagged copy is tagged again in place: only the payload (and the checksum) differ.
    retagged = tmp_path / "retagged.exe"
    stamp_ok("tag", tagged, "-o", retagged, "--campaign", "autumn")
    new = retagged.read_bytes()
    assert len(new) == len(data)
    at = tag.read_tag(data).offset
    changed = {i for i in range(len(new)) if new[i] != data[i]}
    assert changed and all(at <= i < at + tag.ROOM or
                           img.checksum_offset <= i < img.checksum_offset + 4 for i in changed)
    assert signer.verify(retagged)[0]
    assert 'campaign "autumn", install number as stamped' in stamp_ok("show", retagged)
    info = tag.read_tag(new)
    assert (info.campaign, info.install_number) == (b"autumn", None)


def test_reserve_then_tag_in_place(signer, signed, tmp_path):
    # A second signer whose name is one character longer moves the room by
    # one byte: the per-copy checksum is checked at an odd and an even offset.
    other = CodeSigner(tmp_path / "other", signer.name + "X")
    parities = set()
    for who, base in ((signer, signed), (other, other.sign(stub_exe(), tmp_path / "other.exe"))):
        reserved = tmp_path / "reserved.exe"
        stamp_ok("reserve", base, "-o", reserved)
        assert "empty, 1024 bytes of room" in stamp_ok("show", reserved)
        assert who.verify(reserved)[0]
        data = reserved.read_bytes()
        at = tag.read_tag(data).offset
        parities.add(at % 2)
        img = pe.PEImage(data)
        for campaign, number in (("partner-a", 20001), ("b.2", None), ("x" * tag.MAX_CAMPAIGN, 0)):
            out = tmp_path / ("t-%s.exe" % campaign[:10])
            args = ["--install-number", number] if number is not None else []
            stamp_ok("tag", reserved, "-o", out, "--campaign", campaign, *args)
            new = out.read_bytes()
            assert len(new) == len(data) and table_span(new)[:2] == table_span(data)[:2]
            assert all(at <= i < at + tag.ROOM or img.checksum_offset <= i < img.checksum_offset + 4
                       for i in range(len(new)) if new[i] != data[i])
            ok, output = who.verify(out)
            assert ok, output
            assert img.checksum and pe.PEImage(new).checksum == pe.pe_checksum(new, img.checksum_offset)
            # What the collector does per download gives the same bytes.
            assert tag.Tagger(data).tagged(campaign, number) == new
            assert 'campaign "%s"' % campaign in stamp_ok("show", out)
    assert parities == {0, 1}


def test_a_second_signature_and_the_tag_live_side_by_side(signer, signed, tmp_path):
    """A nested signature is an unauthenticated attribute too: tagging keeps
    it, and both signatures still verify."""
    dual = signer.sign(signed, tmp_path / "dual.exe", nest=True)
    ok, before = signer.verify(dual)
    assert ok and "Number of verified signatures: 2" in before, before
    tagged = tmp_path / "dual-tagged.exe"
    stamp_ok("tag", dual, "-o", tagged, "--campaign", "nested", "--install-number", 9)
    ok, after = signer.verify(tagged)
    assert ok and "Number of verified signatures: 2" in after, after
    assert digests(after) == digests(before)
    info = tag.read_tag(tagged.read_bytes())
    assert (info.campaign, info.install_number) == (b"nested", 9)


def _fake_table(stub, tmp_path):
    # A certificate table that is no PKCS#7 structure.
    data = bytearray(stub.read_bytes())
    img = pe.PEImage(bytes(data))
    cert = struct.pack("<IHH", 24, 0x0200, 2) + b"\x30\x82notasignature"[:16]
    struct.pack_into("<II", data, img.directories_offset + 8 * pe.DIR_SECURITY, len(data), 24)
    out = tmp_path / "fake.exe"
    out.write_bytes(bytes(data) + cert)
    return out


@pytest.mark.parametrize("case, args, status, message", [
    ("unsigned", ["--campaign", "a"], 19, "no Authenticode signature"),
    ("fake table", ["--campaign", "a"], 20, "signature cannot be tagged"),
    ("blank", ["--campaign", "spring camp"], 21, "cannot be carried in a tag"),
    ("empty", ["--campaign", ""], 21, "cannot be carried in a tag"),
    ("too long", ["--campaign", "x" * 65], 21, "cannot be carried in a tag"),
    ("url", ["--campaign", "http://evil.example/Setup.exe"], 21, "cannot be carried in a tag"),
    ("control", ["--campaign", "a\x01b"], 21, "cannot be carried in a tag"),
    ("not ascii", ["--campaign", "caf\u00e9"], 21, "cannot be carried in a tag"),
    ("number 2^31", ["--campaign", "a", "--install-number", 2 ** 31], 8, "install number"),
    ("number 2^32", ["--campaign", "a", "--install-number", 2 ** 32], 8, "install number"),
    ("number text", ["--campaign", "a", "--install-number", "12a"], 8, "install number"),
    ("same file", ["--campaign", "a"], 11, "is the input"),
])
def test_refusals_leave_no_output(signed, tmp_path, case, args, status, message):
    src = {"unsigned": stub_exe(), "fake table": None}.get(case, signed)
    if case == "fake table":
        src = _fake_table(stub_exe(), tmp_path)
    work = tmp_path / "in.exe"
    shutil.copyfile(src, work)
    out = work if case == "same file" else tmp_path / "out.exe"
    r = run_stamp("tag", work, "-o", out, *args)
    err = r.stderr.decode(errors="replace")
    assert r.returncode == status and message in err, (r.returncode, err)
    assert case == "same file" or not out.exists()
    assert work.read_bytes() == Path(src).read_bytes()
    if case in ("unsigned", "fake table"):
        r = run_stamp("reserve", work, "-o", out)
        assert r.returncode == status and not out.exists()


# ------------------------------------------------------------ under Wine

def raw_payload(flags=0, campaign=b"", number=0, after=b"", length=None):
    body = bytearray(tag.ROOM)
    body[:8] = tag.MAGIC
    body[8] = flags
    body[9] = len(campaign) if length is None else length
    struct.pack_into("<I", body, 10, number)
    body[14:14 + len(campaign)] = campaign
    body[14 + len(campaign) + 1:14 + len(campaign) + 1 + len(after)] = after
    return bytes(body)


# (case, how the copy is made, the campaign and install number the stub must use:
# None = the stamped one). Malformed payloads are written straight into the room,
# as anyone can: the signature still verifies.
RUNS = [
    ("tagged", ("tag", "tagcamp", 31337), "tagcamp", 31337),
    ("campaign only", ("tag", "only-camp", None), "only-camp", None),
    ("unsigned", ("unsigned",), None, None),
    ("signed untagged", ("signed",), None, None),
    ("reserved empty", ("reserved",), None, None),
    ("truncated", ("raw", raw_payload(1, b"short", 77, length=12)), None, None),
    ("oversized", ("raw", raw_payload(0, b"x" * 65)), None, None),
    ("blank", ("raw", raw_payload(0, b"spring camp")), None, None),
    ("control character", ("raw", raw_payload(0, b"spring\x07")), None, None),
    ("no terminator", ("raw", raw_payload(0, b"abc", after=b"", length=3)[:17] + b"d"
                       + bytes(tag.ROOM - 18)), None, None),
    ("extra fields", ("raw", raw_payload(1, b"extra", 55, after=b"url=http://evil.example/x.exe")),
     None, None),
    ("field naming a URL", ("raw", raw_payload(0, b"http://evil.example/Setup.exe")), None, None),
    ("number over 2^31-1", ("raw", raw_payload(1, b"big", 0x80000000)), None, None),
    ("number without its flag", ("raw", raw_payload(0, b"noflag", 5)), None, None),
    ("unknown flag", ("raw", raw_payload(3, b"flags", 5)), None, None),
    ("another layout version", ("raw", b"QRBLTAG\x02" + raw_payload(0, b"v2")[8:]), None, None),
    ("room of another size", ("prefix", b"\x04\x82\x03\xff"), None, None),
]


def make_copy(how, base, signer, directory):
    """The copy of the stamped stub `base` a run starts."""
    kind = how[0]
    if kind == "unsigned":
        return base
    signed = signer.sign(base, directory / "signed.exe")
    if kind == "signed":
        return signed
    reserved = directory / "reserved.exe"
    stamp_ok("reserve", signed, "-o", reserved)
    if kind == "reserved":
        return reserved
    out = directory / "copy.exe"
    if kind == "tag":
        number = ["--install-number", how[2]] if how[2] is not None else []
        stamp_ok("tag", reserved, "-o", out, "--campaign", how[1], *number)
        return out
    data = bytearray(reserved.read_bytes())
    at = tag.Tagger(bytes(data)).at
    if kind == "raw":
        data[at:at + tag.ROOM] = how[1]
    else:   # the OCTET STRING's header in front of the payload
        data[at - 4:at] = how[1]
    out.write_bytes(bytes(data))
    return out


def run_copy(bench, request, signer, tmp_path, fakesetup_log, how, want_campaign, want_number,
             stamped_number, version=None):
    """A whole run of a copy made by `how` from a stub stamped with campaign
    "stamped": the campaign and install number it must use (None: the stamped ones)."""
    stamped_campaign = "stamped"
    setup = helper_exe("fakesetup.exe").read_bytes()
    with bench.own_product(request.node.name, "G", "TagTest") as (code, key), FaultServer() as web:
        web.add_file(SETUP, setup)
        web.add_event(EVENT, body_chunks=(16,), delay_between_chunks=0)
        base = stamp(tmp_path / "stamped.exe", download_url=web.url(SETUP),
                     event_url=web.url(EVENT), product_code=code, registry_key=key,
                     campaign=stamped_campaign, title="Tag " + code,
                     install_number=stamped_number)
        copy = make_copy(how, base, signer, tmp_path)
        if how[0] == "raw":
            # Nobody needs the key to change the tag: the signature still holds.
            assert signer.verify(copy)[0]
        campaign = want_campaign or stamped_campaign
        number = want_number if want_number is not None else stamped_number
        if version:
            bench.set_win_version(copy.name, version)
        try:
            assert run_to_end(bench, copy, "Tag " + code, fakesetup_log.env, timeout=90) is None
        finally:
            if version:
                bench.set_win_version(copy.name, None)
        ran = fakesetup_log.wait(1)
        assert len(ran) == 1, "the setup was not started"
        # The launch name carries the install number.
        assert re.search(r"\\~mi%d\$[0-9a-f]+\.exe$" % number, ran[0]["path"]), ran[0]["path"]
        pings = web.wait_for_requests(2, path=EVENT, timeout=20)
        assert [p.params for p in pings] == [{"camp": campaign, "mode": "1"},
                                             {"camp": campaign, "mode": "0"}]
        assert bench.reg_query("HKLM\\" + key, "Campaign") == ("REG_SZ", campaign)
        # What is fetched never comes from the tag.
        assert [r.path for r in web.requests_for(SETUP)] == [SETUP]


@pytest.mark.parametrize("case, how, want_campaign, want_number", RUNS, ids=[r[0] for r in RUNS])
def test_the_stub_uses_a_valid_tag_and_ignores_any_other(bench, request, signer, tmp_path,
                                                        fakesetup_log, case, how, want_campaign,
                                                        want_number):
    stamped_number = 600 + [r[0] for r in RUNS].index(case)
    run_copy(bench, request, signer, tmp_path, fakesetup_log, how, want_campaign, want_number,
             stamped_number)


@pytest.mark.parametrize("version", ["win95", "win98", "nt40"])
def test_older_windows_read_the_tag_of_the_running_file(bench, request, signer, tmp_path,
                                                        fakesetup_log, version):
    run_copy(bench, request, signer, tmp_path, fakesetup_log, ("tag", "old-" + version, 777),
             "old-" + version, 777, 650, version)


def test_the_tag_names_the_download_file_and_its_record(bench, request, signer, tmp_path,
                                                       fakesetup_log):
    """While the download runs, its hidden file and resume record carry the
    tag's install number; the stamped number names nothing."""
    setup = helper_exe("fakesetup.exe").read_bytes()
    setup += bytes(-len(setup) % 4096) + bytes(64 * 1024)
    with bench.own_product(request.node.name, "G", "TagTest") as (code, key), FaultServer() as web:
        web.add_file(SETUP, setup, trickle=(8192, 0.2))
        base = stamp(tmp_path / "stamped.exe", download_url=web.url(SETUP), omit_text=4,
                     product_code=code, registry_key=key, campaign="stamped",
                     title="Tag " + code, install_number=4100)
        copy = make_copy(("tag", "names", 4242), base, signer, tmp_path)
        with bench.start(copy, env=fakesetup_log.env) as run:
            record, download = None, bench.temp_dir / ("~%s4242.exe" % code)
            for _ in range(100):
                record = bench.reg_values("HKLM\\%s\\Install\\%08d" % (key, 4242))
                if record and download.exists():
                    break
                time.sleep(0.1)
            assert record and record.get("Size") == ("REG_DWORD", len(setup)), record
            assert download.exists(), [p.name for p in bench.stub_files()]
            assert not (bench.temp_dir / ("~%s4100.exe" % code)).exists()
            assert bench.reg_values("HKLM\\%s\\Install\\%08d" % (key, 4100)) is None
            assert run.wait(timeout=90).code == 0
        ran = fakesetup_log.wait(1)
        assert ran and re.search(r"\\~mi4242\$", ran[0]["path"]), ran


# ------------------------------------------------------- the download route

def download(port, target, method="GET"):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request(method, target)
        r = conn.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        conn.close()


def counted(db):
    with contextlib.closing(sqlite3.connect(db)) as conn:
        return dict(conn.execute("SELECT campaign, SUM(count) FROM downloads GROUP BY campaign").fetchall())


@pytest.fixture(scope="module")
def reserved(signed, tmp_path_factory):
    out = tmp_path_factory.mktemp("reserved") / "reserved.exe"
    stamp_ok("reserve", signed, "-o", out)
    return out


def check_copy(signer, reserved_bytes, body, campaign, tmp_path):
    """A downloaded copy: the reserved stub with the campaign's tag, and a
    signature that verifies."""
    info = tag.read_tag(body)
    assert (info.campaign, info.install_number, info.problem) == (campaign.encode(), None, None)
    assert len(body) == len(reserved_bytes)
    assert body[:info.offset] == reserved_bytes[:info.offset] or \
        outside_table(body) == outside_table(reserved_bytes)
    path = tmp_path / ("dl-%s.exe" % campaign[:20])
    path.write_bytes(body)
    ok, out = signer.verify(path)
    assert ok, out


GOOD = ["spring", "partner-b.2", "A_b-c.d", "x" * 64]
REFUSED = [  # (query, reason counted)
    ("camp=a%20b", "campaign not taggable"),
    ("camp=", "campaign not taggable"),
    ("camp=" + "x" * 65, "campaign not taggable"),
    ("camp=http%3A%2F%2Fevil.example%2FSetup.exe", "campaign not taggable"),
    ("camp=caf%C3%A9", "campaign not taggable"),
    ("camp=a%01b", "control character in campaign"),
    ("camp=%FF", "campaign not UTF-8"),
    ("camp=" + "y" * 101, "campaign too long"),
    ("x=1", "no campaign"),
    ("camp=a&camp=b", "camp given twice"),
]


def test_the_download_route_hands_out_a_tagged_copy_per_campaign(signer, reserved, tmp_path):
    db = str(tmp_path / "events.sqlite")
    base = reserved.read_bytes()
    with EventCollector(db, extra=["--stub", str(reserved)]) as collector:
        for campaign in GOOD:
            status, headers, body = download(collector.port, "/download/QuorbelSetup.exe?camp=" + campaign)
            assert status == 200, body[:200]
            assert headers["Content-Type"] == "application/x-msdownload"
            assert headers["Content-Disposition"] == 'attachment; filename="QuorbelSetup.exe"'
            assert int(headers["Content-Length"]) == len(body) == len(base)
            check_copy(signer, base, body, campaign, tmp_path)
            # HEAD: the same headers, no body, not counted.
            status, head, body = download(collector.port, "/download/QuorbelSetup.exe?camp=" + campaign, "HEAD")
            assert status == 200 and body == b"" and head["Content-Length"] == headers["Content-Length"]
            assert head["Content-Disposition"] == headers["Content-Disposition"]
        # Another name is only another file name to save as.
        status, headers, body = download(collector.port, "/download/Partner_Setup-2.EXE?camp=spring")
        assert status == 200 and headers["Content-Disposition"] == 'attachment; filename="Partner_Setup-2.EXE"'
        for query, reason in REFUSED:
            for method in ("GET", "HEAD"):
                status, _, body = download(collector.port, "/download/QuorbelSetup.exe?" + query, method)
                assert status == 400 and (method == "HEAD" or body.decode().strip() == reason), (query, body)
        for name in ("Setup.zip", "..%2FSetup.exe", ".exe", "a/b.exe", "Setup.exe.", "%2E%2E.exe"):
            status, _, _ = download(collector.port, "/download/%s?camp=spring" % name)
            assert status == 404, name
        # The ping route stays as it was: GET only.
        assert download(collector.port, "/event?camp=a&mode=1", "HEAD")[0] == 400
        assert collector.running()
    assert collector.exit_code == 0 and "Traceback" not in collector.errors()
    want = {c: 1 for c in GOOD}
    want["spring"] = 2
    assert counted(db) == want
    with contextlib.closing(sqlite3.connect(db)) as conn:
        rejects = dict(conn.execute("SELECT reason, SUM(count) FROM rejects GROUP BY reason").fetchall())
    for _, reason in REFUSED:
        assert rejects.get("download: " + reason, 0) >= 2, (reason, rejects)


def test_concurrent_downloads_each_carry_their_own_campaign(signer, reserved, tmp_path):
    db = str(tmp_path / "events.sqlite")
    base = reserved.read_bytes()
    got, errors = {}, []
    with EventCollector(db, extra=["--stub", str(reserved)]) as collector:
        def one(n):
            try:
                campaign = "c%02d" % n
                status, _, body = download(collector.port, "/download/QuorbelSetup.exe?camp=" + campaign)
                assert status == 200
                got[campaign] = body
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))
        threads = [threading.Thread(target=one, args=(n,)) for n in range(24)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    assert not errors and len(got) == 24, errors
    for campaign, body in sorted(got.items()):
        check_copy(signer, base, body, campaign, tmp_path)
    assert counted(db) == {c: 1 for c in got}


def test_a_download_count_survives_a_kill_after_the_answer(reserved, tmp_path):
    db = str(tmp_path / "events.sqlite")
    collector = EventCollector(db, extra=["--stub", str(reserved)]).start()
    try:
        status, _, body = download(collector.port, "/download/QuorbelSetup.exe?camp=killed")
        assert status == 200 and len(body) == reserved.stat().st_size
        collector.proc.send_signal(signal.SIGKILL)
        collector.proc.wait(30)
    finally:
        collector.stop()
    assert counted(db) == {"killed": 1}


def test_serve_refuses_a_stub_it_cannot_hand_out(signed, tmp_path):
    for stub, message in ((stub_exe(), "no Authenticode signature"), (signed, "no room for a tag"),
                          (tmp_path / "missing.exe", "cannot read")):
        r = subprocess.run([sys.executable, str(EVENTS), "serve", "--db", str(tmp_path / "e.sqlite"),
                            "--port", "0", "--stub", str(stub)], capture_output=True, text=True, timeout=60)
        assert r.returncode == 2 and message in r.stderr, (stub, r.stderr)


def test_a_copy_from_the_route_pings_its_campaign(bench, request, signer, tmp_path, fakesetup_log):
    """The whole way: a reserved stub served by the collector, downloaded
    for a campaign and run under Wine; the collector counts the download and
    stores the copy's start and finish under that campaign."""
    db = str(tmp_path / "events.sqlite")
    port = free_port()
    setup = helper_exe("fakesetup.exe").read_bytes()
    with bench.own_product(request.node.name, "G", "TagTest") as (code, key), FaultServer() as web:
        web.add_file(SETUP, setup)
        base = stamp(tmp_path / "stamped.exe", download_url=web.url(SETUP),
                     event_url="http://127.0.0.1:%d/event" % port, product_code=code,
                     registry_key=key, campaign="stamped", title="Tag " + code)
        reserved = tmp_path / "reserved.exe"
        stamp_ok("reserve", signer.sign(base, tmp_path / "signed.exe"), "-o", reserved)
        with EventCollector(db, extra=["--port", str(port), "--stub", str(reserved)]) as collector:
            status, _, body = download(collector.port, "/download/QuorbelSetup.exe?camp=link-7")
            assert status == 200
            copy = tmp_path / "QuorbelSetup.exe"
            copy.write_bytes(body)
            assert run_to_end(bench, copy, "Tag " + code, fakesetup_log.env, timeout=90) is None
            assert len(fakesetup_log.wait(1)) == 1
        assert bench.reg_query("HKLM\\" + key, "Campaign") == ("REG_SZ", "link-7")
    assert collector.exit_code == 0
    r = subprocess.run([sys.executable, str(EVENTS), "report", "--db", db], capture_output=True, text=True,
                       timeout=60, check=True)
    assert r.stdout.splitlines() == ["campaign,downloads,starts,finishes,rate,note",
                                     "link-7,1,1,1,1.0000,too few starts (< 30)"]
