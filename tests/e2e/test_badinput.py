"""Hostile servers: overlong header lines, a Content-Length of 4 GiB and more,
a Last-Modified that is no date, FTP replies of 8192+ bytes, with a bare line
feed or with no line end at all.

Each reply goes through the real transfer code (the test driver) and some
through the real install.exe. Nothing may crash: the driver prints its
report and exits 0, the file holds nothing but bytes of the server's file,
and a reply the transfer cannot use ends with a non-zero error code, which
install.exe shows in its error box.

What Wine 8.0's WinINet does with these replies, as seen on this bench:
- header lines of 20 KB and 100 KB are read whole; the download completes;
- a Content-Length of 2^32 or more (5 GiB; 2^32 plus the true length) fails
  the number query with ERROR_HTTP_INVALID_HEADER (12153): no wrap-around;
- a Content-Length that is no number reads as 0, and one of 2^31 or more
  stops at 2^31 - 1: the transfer reads the header as text instead, and
  refuses one that is no number below 4 GiB, or 0, with
  ERROR_HTTP_INVALID_HEADER (12153) before anything is written;
- an empty Last-Modified would read as 1 January 1970, 00:00 (refused, see below);
- a Last-Modified that is not an RFC 1123 date within 1970 to 2038 (not a
  date at all, the RFC 850 and asctime forms, a date from 2038-01-19 on)
  crashes the date query inside WinINet (a null pointer from gmtime), so the
  transfer checks the header's text before that query and refuses such a
  date with ERROR_HTTP_INVALID_HEADER (12153);
- an FTP reply line longer than about 1.4 KB, or one the server leaves
  unterminated, fails the command with ERROR_INTERNET_EXTENDED_ERROR (12003);
- an FTP reply ended by a bare line feed is accepted;
- a SIZE reply that is no number below 4 GiB leaves the size unknown: the
  whole file is fetched, complete only on the server's 226 or 250, and no
  record is left that a later run could continue.
"""

import json
import signal

import pytest

from servers import (FaultServer, FtpFaults, FtpServer, NO_CRLF, UNTERMINATED, http_date,
                     overlong_reply)
from winehelp import box_code, helper_exe, run_to_end, stamp

SETUP = "/hostile/Setup.exe"
PRODUCT, REGKEY, NUMBER = "BADINPUT", r"Software\BadInputTest", 606
TITLE = "Bad Input Setup"
LAST_MODIFIED = 1_500_000_000

@pytest.fixture(scope="module")
def payload():
    data = helper_exe("fakesetup.exe").read_bytes()
    return data + bytes((i * 7 + 3) & 0xFF for i in range(300_000 - len(data)))


@pytest.fixture(scope="module")
def web():
    with FaultServer() as server:
        yield server


@pytest.fixture(scope="module")
def ftp(payload, tmp_path_factory):
    root = tmp_path_factory.mktemp("ftproot")
    (root / "Setup.exe").write_bytes(payload)
    with FtpServer(str(root)) as server:
        yield server


@pytest.fixture(scope="module", autouse=True)
def clean_module(bench):
    # The driver runs start from an empty file (no resume) and overwrite the
    # record; only the module as a whole leaves nothing behind.
    bench.clean_stub_state(PRODUCT, REGKEY)
    yield
    bench.clean_stub_state(PRODUCT, REGKEY)


@pytest.fixture
def clean(bench):
    """install.exe resumes: no partial file or record of an earlier test."""
    bench.clean_stub_state(PRODUCT, REGKEY)
    yield
    bench.clean_stub_state(PRODUCT, REGKEY)


def transfer(bench, url):
    """One run of the transfer code: its report and the bytes it wrote."""
    out = out_file(bench)
    r = bench.run(helper_exe("stubdriver.exe"), "transfer", url, out, "--resume", "0",
                  "--product", PRODUCT, "--regkey", REGKEY, "--install", NUMBER, timeout=120)
    crash = [line for line in r.err.splitlines() if "Unhandled" in line]
    # Wine now and then dies of SIGSEGV in its own thread teardown after the
    # driver's report is out (see run_driver); a fault of the transfer code
    # leaves no report, or Wine's "Unhandled" line.
    assert r.code in (0, -signal.SIGSEGV) and r.out.startswith("{") and not crash, \
        f"the driver died (exit {r.code}): {crash[0] if crash else r.err[-500:]}"
    path = bench.to_unix(out)
    return json.loads(r.out.splitlines()[0]), path.read_bytes() if path.exists() else b""


def out_file(bench):
    """The output file of the transfer runs, as the stub names it."""
    return f"{bench.temp_dir_win}\\~{PRODUCT}{NUMBER}.exe"


RECORD_KEY = rf"HKLM\{REGKEY}\Install\{NUMBER:08d}"


def record(bench):
    values = bench.reg_values(RECORD_KEY) or {}
    return {k: v[1] for k, v in values.items()}


def check(report, written, payload, outcome):
    """complete: the whole file, result 1. error: result 0 with a code for the
    error box; a number: result 0 with that code. Only bytes of the server's
    file may be in the output."""
    assert written == payload[:len(written)], "bytes that are not the server's"
    if outcome == "complete":
        assert (report["result"], report["errorCode"], written) == (1, 0, payload)
    elif isinstance(outcome, int):
        assert (report["result"], report["errorCode"]) == (0, outcome), report
    else:
        assert report["result"] == 0 and report["errorCode"] != 0, report


# The record a row leaves (a column, so that no row escapes its check):
# NO_RECORD; (date, time) packed, for a record of the whole payload and the
# output file; a dict, values the record must hold.
NO_RECORD = {}
STORED = (20170714, 10240)     # LAST_MODIFIED, packed

HTTP_CASES = [
    ("header line of 20 KB", {"extra_headers": [("X-Long", "a" * 20_000)]}, "complete", STORED),
    ("header line of 100 KB", {"extra_headers": [("X-Long", "b" * 100_000)]}, "complete", STORED),
    ("many long header lines", {"extra_headers": [(f"X-Pad-{i}", "c" * 8_000) for i in range(40)]},
     "complete", STORED),
    # Refused before the record: nothing vouches for these bytes.
    ("Content-Length 5 GiB", {"content_length_override": 5 * 2**30}, 12153, NO_RECORD),
    # Taken modulo 2^32 this would be the true length.
    ("Content-Length 2^32 plus the length", {"content_length_override": 2**32 + 300_000}, 12153,
     NO_RECORD),
    ("Content-Length 2^32", {"content_length_override": 2**32}, 12153, NO_RECORD),
    ("Content-Length of 30 digits", {"content_length_override": "9" * 30}, 12153, NO_RECORD),
    ("Content-Length of 40 digits", {"content_length_override": "9" * 40}, 12153, NO_RECORD),
    ("Content-Length negative", {"content_length_override": -5}, 12153, NO_RECORD),
    ("Content-Length without digits", {"content_length_override": "many"}, 12153, NO_RECORD),
    ("Content-Length with a tail", {"content_length_override": "300000x"}, 12153, NO_RECORD),
    ("Content-Length 0", {"content_length_override": 0}, 12153, NO_RECORD),
    # Read by the client as a signed number it would stop at 2^31 - 1; read
    # as text it is the size recorded, and a body that ends short fails.
    ("Content-Length 3 GiB", {"content_length_override": 3 * 2**30}, "error",
     {"Size": 3 * 2**30}),
    # The client converts the date with the C library and dies on one it
    # cannot place: only the RFC 1123 form, dated 2 January 1970 to 2037,
    # reaches that conversion; anything else is an invalid header.
    ("Last-Modified empty", {"last_modified": ""}, 12153, NO_RECORD),
    ("Last-Modified not a date", {"last_modified": "not a date"}, 12153, NO_RECORD),
    ("Last-Modified RFC 850 form", {"last_modified": "Sunday, 06-Nov-94 08:49:37 GMT"}, 12153,
     NO_RECORD),
    ("Last-Modified asctime form", {"last_modified": "Sun Nov  6 08:49:37 1994"}, 12153, NO_RECORD),
    ("Last-Modified in 2040", {"last_modified": http_date(2_220_000_000)}, 12153, NO_RECORD),
    ("Last-Modified 1 January 1970", {"last_modified": http_date(0)}, 12153, NO_RECORD),
    ("Last-Modified 2 January 1970", {"last_modified": http_date(86_400)}, "complete",
     (19700102, 10000)),
    ("Last-Modified 31 December 2037", {"last_modified": http_date(2_145_916_740)}, "complete",
     (20371231, 12359)),
    ("Last-Modified with a tail", {"last_modified": http_date(LAST_MODIFIED) + " x"}, "complete",
     STORED),
    # Longer than any date: a value that does not fit its buffer is a bad header.
    ("Last-Modified of 40 characters", {"last_modified": http_date(LAST_MODIFIED) + " " + "x" * 10},
     12153, NO_RECORD),
]


def check_record(bench, payload, written, expected):
    if expected == NO_RECORD:
        assert record(bench) == {} and written == b""
    elif isinstance(expected, tuple):
        date, time_ = expected
        assert record(bench) == {"Date": date, "Time": time_, "Size": len(payload),
                                 "File": out_file(bench)}
    else:
        got = record(bench)
        assert {k: got.get(k) for k in expected} == expected, got


@pytest.mark.parametrize("options, outcome, kept", [c[1:] for c in HTTP_CASES],
                         ids=[c[0] for c in HTTP_CASES])
def test_http_reply(bench, web, payload, options, outcome, kept):
    bench.reg_delete(RECORD_KEY)
    options = dict(options)
    web.add_file(SETUP, payload, last_modified=options.pop("last_modified", LAST_MODIFIED), **options)
    report, written = transfer(bench, web.url(SETUP))
    check(report, written, payload, outcome)
    check_record(bench, payload, written, kept)
    if "Size" in kept:
        assert report["totalBytes"] == kept["Size"], report


# The FTP client's code for a reply line too long for it, or one left
# without its line end.
EXTENDED = 12003

# name, the server's replies, the outcome, the record (see HTTP_CASES; the
# run starts with a record of the size only, which an unknown size must drop)
FTP_CASES = [
    ("SIZE reply of 9000 bytes", {"SIZE": overlong_reply(213, 9000)}, EXTENDED, {"Size": 300_000}),
    ("SIZE reply of 8192 bytes", {"SIZE": overlong_reply(213, 8192)}, EXTENDED, {"Size": 300_000}),
    # Lines the client reads, but no number: the size is unknown.
    ("SIZE reply of 2000 bytes", {"SIZE": overlong_reply(213, 2000)}, "complete", NO_RECORD),
    ("MDTM reply of 9000 bytes", {"MDTM": overlong_reply(213, 9000)}, EXTENDED, {"Size": 300_000}),
    ("SIZE reply with a bare LF", {"SIZE": NO_CRLF("213 300000")}, "complete", {"Size": 300_000}),
    ("MDTM reply with a bare LF", {"MDTM": NO_CRLF("213 20030709140559")}, "complete",
     (20030709, 11405)),
    ("SIZE reply unterminated", {"SIZE": UNTERMINATED("213 300000")}, EXTENDED, {"Size": 300_000}),
    ("MDTM reply unterminated", {"MDTM": UNTERMINATED("213 20030709140559")}, EXTENDED,
     {"Size": 300_000}),
    # No size below 4 GiB: unknown, so the whole file on the server's word.
    ("SIZE above 4 GiB", {"SIZE": "213 5368709120"}, "complete", NO_RECORD),
    ("SIZE of 40 digits", {"SIZE": "213 " + "7" * 40}, "complete", NO_RECORD),
    ("SIZE without digits", {"SIZE": "213 unknown"}, "complete", NO_RECORD),
]


@pytest.mark.parametrize("replies, outcome, kept", [c[1:] for c in FTP_CASES],
                         ids=[c[0] for c in FTP_CASES])
def test_ftp_reply(bench, ftp, payload, replies, outcome, kept):
    # A record of an earlier run that an unknown size must not leave behind.
    bench.reg_add(RECORD_KEY, "Size", len(payload), "REG_DWORD")
    ftp.set_faults(FtpFaults(replies=replies))
    report, written = transfer(bench, ftp.url("/Setup.exe"))
    check(report, written, payload, outcome)
    if kept == NO_RECORD:
        assert record(bench) == {}
    else:
        check_record(bench, payload, written, kept)


# ---------------------------------------------------- the real install.exe ---

def distribution(out, url):
    return stamp(out, download_url=url, event_url="", product_code=PRODUCT, registry_key=REGKEY,
                 title=TITLE, install_number=NUMBER)


REAL_CASES = [
    ("http", "Content-Length 5 GiB", {"content_length_override": 5 * 2**30}, 12153),
    ("http", "header line of 100 KB and no number in Content-Length",
     {"extra_headers": [("X-Long", "d" * 100_000)], "content_length_override": "many"}, 12153),
    ("ftp", "SIZE reply of 9000 bytes", {"SIZE": overlong_reply(213, 9000)}, 12003),
    ("http", "Last-Modified not a date", {"last_modified": "not a date"}, 12153),
]


@pytest.mark.parametrize("protocol, name, options, code", REAL_CASES, ids=[
    (c.values if hasattr(c, "values") else c)[1] for c in REAL_CASES])
def test_install_exe_reports_the_bad_reply(bench, web, ftp, payload, clean, tmp_path, fakesetup_log,
                                           protocol, name, options, code):
    options = dict(options)
    if protocol == "http":
        web.add_file(SETUP, payload, last_modified=options.pop("last_modified", LAST_MODIFIED), **options)
        url = web.url(SETUP)
    else:
        ftp.set_faults(FtpFaults(replies=options))
        url = ftp.url("/Setup.exe")
    text = run_to_end(bench, distribution(tmp_path / "install.exe", url), TITLE, fakesetup_log.env)
    assert box_code(text) == code, text
    assert not fakesetup_log.entries()
    # Refused before the hand-over: nothing was renamed to a launch name.
    assert not [p for p in bench.stub_files() if p.name.startswith(f"~mi{NUMBER}$")]
    assert not [p for p in bench.pending_renames() if f"~mi{NUMBER}$" in p[0]]
