"""The whole run of a stamped install.exe: start event, download, launch of
the setup under its own name, deletion at reboot, finish event; and every
way the hand-over can end.
"""

import hashlib
import json
import re
import shutil
import time
from pathlib import Path

import pytest

from servers import SIZE_EMPTY, FaultServer, FtpFaults, FtpServer, Nginx, SilentPort
from winehelp import (box_text, closed_port, finish_run, helper_exe, resume_from, resume_range,
                      stamp)

SETUP = "/products/qrbl7300/QuorbelSetup.exe"
EVENT = "/products/qrbl7300/scripts/event.php"


@pytest.fixture(scope="module")
def setup_bytes():
    # The fake setup with a tail of filler: a valid program of a size worth
    # resuming.
    data = helper_exe("fakesetup.exe").read_bytes()
    return data + bytes(range(256)) * ((600_000 - len(data)) // 256)


@pytest.fixture(scope="module")
def web():
    with FaultServer() as server:
        yield server


@pytest.fixture
def product(bench, request):
    """A product code and registry key of this test alone, cleaned before and after."""
    with bench.own_product(request.node.name, "T", "LaunchTest") as product:
        yield product


def box(bench, title, timeout=30):
    found = bench.find_window(cls="#32770", title=title, visible=True, timeout=timeout)
    assert found, f"no message box titled {title!r}"
    return found


def launched(bench, number):
    return [p for p in bench.pending_renames() if f"~mi{number}$" in p[0]]


def check_clean_finish(bench, code, key, number, log, events, before_download):
    """What a successful run leaves: the setup ran under the launch name, the
    record is gone, the copy is set for deletion, both events went out."""
    runs = log.wait(1)
    assert len(runs) == 1, runs
    launch = runs[0]["path"]
    assert re.fullmatch(r".*\\~mi%d\$[0-9a-f]+\.exe" % number, launch), launch
    assert [e.params.get("mode") for e in events] == ["1", "0"]
    assert events[0].t_mono <= before_download
    assert bench.reg_query(rf"HKLM\{key}", "Campaign") is not None
    assert not bench.reg_key_exists(rf"HKLM\{key}\Install\{number:08d}")
    pending = launched(bench, number)
    assert pending and pending[0][0].endswith(launch.split("\\")[-1]), pending
    assert pending[0][1] == ""
    # The download file itself is gone: it became the launch file.
    assert not (bench.temp_dir / f"~{code}{number}.exe").exists()
    return launch


def test_http_run_from_start_to_finish(bench, web, product, setup_bytes, tmp_path, fakesetup_log):
    code, key = product
    # Sent in pieces, so that the server hands its last byte over well after
    # its first: otherwise the whole file sits in the socket's buffers before
    # the client has read any of it.
    web.add_file(SETUP, setup_bytes, trickle=(65_536, 0.1))
    web.add_event(EVENT, body_chunks=[20])
    web.clear()
    stub = stamp(tmp_path / "install.exe", download_url=web.url(SETUP), event_url=web.url(EVENT),
                 product_code=code, registry_key=key, campaign="spring", install_number=31)
    run = bench.start(stub, env=fakesetup_log.env)
    # The relay window tells this run's process id, which the launch name carries.
    relay = bench.find_window(cls=f"MiniMutex.{code}", timeout=20)
    assert run.wait(timeout=60).code == 0

    events = web.requests_for(EVENT)
    download = web.requests_for(SETUP)
    assert len(download) == 1 and download[0].body_sent == len(setup_bytes)
    # The finish event after the download's last byte, not merely its first.
    assert download[0].done and events[-1].t_mono >= download[0].t_done
    assert all(e.params.get("camp") == "spring" for e in events)
    launch = check_clean_finish(bench, code, key, 31, fakesetup_log, events, download[0].t_mono)
    assert relay, "no relay window while the run was on"
    assert launch.endswith("$%x.exe" % relay["pid"])
    assert Path(bench.to_unix(launch)).read_bytes() == setup_bytes
    # No window of the run is left.
    assert not bench.find_window(cls=f"MiniMutex.{code}", timeout=0)


def test_ftp_run_from_start_to_finish(bench, web, product, setup_bytes, tmp_path, fakesetup_log):
    code, key = product
    (tmp_path / "ftproot").mkdir()
    (tmp_path / "ftproot" / "Setup.exe").write_bytes(setup_bytes)
    web.add_event(EVENT, body_chunks=[20])
    web.clear()
    with FtpServer(str(tmp_path / "ftproot")) as ftp:
        stub = stamp(tmp_path / "install.exe", download_url=ftp.url("/Setup.exe"),
                     event_url=web.url(EVENT), product_code=code, registry_key=key, install_number=32)
        assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
        retr = [t for t in ftp.transfers if t.outcome == "complete"]
        assert len(retr) == 1 and retr[0].sent == len(setup_bytes)
        [asked] = [c for c in ftp.commands if c.cmd == "RETR"]
    events = web.requests_for(EVENT)
    # The start event before the download was asked for, the finish event
    # after its data.
    launch = check_clean_finish(bench, code, key, 32, fakesetup_log, events, asked.t_mono)
    assert events[-1].t_mono >= retr[0].t_end
    assert Path(bench.to_unix(launch)).read_bytes() == setup_bytes


def test_nginx_run_launches_the_setup(bench, product, setup_bytes, tmp_path, fakesetup_log):
    code, key = product
    (tmp_path / "www").mkdir()
    (tmp_path / "www" / "Setup.exe").write_bytes(setup_bytes)
    with Nginx(str(tmp_path / "www")) as nginx:
        stub = stamp(tmp_path / "install.exe", download_url=nginx.url("/Setup.exe"),
                     event_url="", product_code=code, registry_key=key, install_number=33)
        assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
        assert [e.status for e in nginx.access_log(wait_for=1)] == [200]
    [ran] = fakesetup_log.wait(1)
    assert Path(bench.to_unix(ran["path"])).read_bytes() == setup_bytes
    assert launched(bench, 33)


def test_cut_download_resumes_in_the_next_run(bench, web, product, setup_bytes, tmp_path, fakesetup_log):
    code, key = product
    number = 12345
    web.add_file(SETUP, setup_bytes, cut_after=[200_000])
    web.clear()
    stub = stamp(tmp_path / "install.exe", download_url=web.url(SETUP), event_url="",
                 product_code=code, registry_key=key, install_number=number)

    first = bench.start(stub, env=fakesetup_log.env)
    err = box(bench, "Quorbel")
    # The broken transfer is reported, not swallowed.
    assert "Error" in box_text(err)
    partial = bench.temp_dir / f"~{code}{number}.exe"
    record = bench.reg_values(rf"HKLM\{key}\Install\00012345")
    bench.click(err["hwnd"], 1)
    assert first.wait(timeout=30).code == 0
    kept = partial.stat().st_size
    assert 0 < kept <= 200_000 and partial.read_bytes() == setup_bytes[:kept]
    assert record and record["Size"][1] == len(setup_bytes)
    assert not fakesetup_log.entries()

    assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
    second = web.requests_for(SETUP)[-1]
    assert second.range == resume_range(kept)
    assert second.body_sent == len(setup_bytes) - resume_from(kept)
    launch = fakesetup_log.wait(1)[0]["path"]
    assert Path(bench.to_unix(launch)).read_bytes() == setup_bytes
    assert not bench.reg_key_exists(rf"HKLM\{key}\Install\00012345")


@pytest.mark.parametrize("protocol", ["http", "ftp", "ftp-without-size"])
def test_cancel_starts_nothing_and_keeps_the_partial_file(bench, web, product, setup_bytes, tmp_path,
                                                          fakesetup_log, protocol):
    code, key = product
    web.add_file(SETUP, setup_bytes, trickle=(4096, 0.05))
    web.add_event(EVENT, body_chunks=[10])
    web.clear()
    (tmp_path / "ftproot").mkdir()
    (tmp_path / "ftproot" / "Setup.exe").write_bytes(setup_bytes)
    # Without a size the FTP transfer cannot tell a cancelled file from a
    # complete one by the counters; it must not start it all the same.
    faults = FtpFaults(slow=(4096, 0.05),
                       replies={"SIZE": SIZE_EMPTY} if protocol == "ftp-without-size" else {})
    with FtpServer(str(tmp_path / "ftproot"), handler_faults=faults) as ftp:
        url = web.url(SETUP) if protocol == "http" else ftp.url("/Setup.exe")
        stub = stamp(tmp_path / "install.exe", download_url=url, event_url=web.url(EVENT),
                     product_code=code, registry_key=key, title="Cancel Me", install_number=34)
        run = bench.start(stub, env=fakesetup_log.env)
        dialog = bench.find_window(cls="#32770", title="Cancel Me", visible=True, timeout=30)
        assert dialog and any(c["id"] == 2 for c in dialog["children"])
        bench.click(dialog["hwnd"], 2)
        question = bench.find_window(cls="#32770", title="Cancel Me", visible=True, timeout=10,
                                     owner=dialog["hwnd"])
        assert question and "cancel download" in box_text(question)
        bench.click(question["hwnd"], 6)
        # An error box of the run's title would hold it open; one that showed
        # is pressed and its text kept.
        code_, shown = finish_run(bench, run, "Cancel Me", timeout=30)
        assert code_ == 0

    # No finish event, no error box, nothing started.
    assert shown is None, shown
    assert [e.params.get("mode") for e in web.requests_for(EVENT)] == ["1"]
    assert not fakesetup_log.entries()
    assert not launched(bench, 34)
    partial = bench.temp_dir / f"~{code}34.exe"
    size = partial.stat().st_size
    record = bench.reg_values(rf"HKLM\{key}\Install\00000034")
    if protocol == "ftp-without-size":
        # Without a size nothing can be continued: emptied, and no record.
        assert size == 0 and record is None, record
    else:
        assert 0 < size < len(setup_bytes) and partial.read_bytes() == setup_bytes[:size]
        assert record["Size"][1] == len(setup_bytes)


@pytest.mark.parametrize("case", ["404", "not-a-program"])
def test_failures_show_the_error_box(bench, web, product, tmp_path, fakesetup_log, case):
    code, key = product
    if case == "404":
        web.add_file(SETUP, b"", status=404)
    else:
        web.add_file(SETUP, b"This is no program." * 1000)
    web.add_event(EVENT, body_chunks=[10])
    web.clear()
    stub = stamp(tmp_path / "install.exe", download_url=web.url(SETUP), event_url=web.url(EVENT),
                 product_code=code, registry_key=key, install_number=35)
    run = bench.start(stub, env=fakesetup_log.env)
    err = box(bench, "Quorbel")
    text = box_text(err)
    bench.click(err["hwnd"], 1)
    assert run.wait(timeout=30).code == 0
    assert [e.params.get("mode") for e in web.requests_for(EVENT)] == ["1"]
    if case == "404":
        assert text.endswith("The server answered with HTTP status 404."), text
        assert not launched(bench, 35)
    else:
        assert "Error 193" in text or "Error Code: 193" in text, text
        # The copy that would not start is still set for deletion; the record
        # stays for the next run.
        assert launched(bench, 35)
        assert bench.reg_key_exists(rf"HKLM\{key}\Install\00000035")
        assert not fakesetup_log.entries()


def test_stale_file_of_the_launch_name_is_replaced(bench, web, product, setup_bytes, tmp_path,
                                                   fakesetup_log):
    code, key = product
    web.add_file(SETUP, setup_bytes)
    stub = stamp(tmp_path / "install.exe", download_url=web.url(SETUP), event_url="",
                 product_code=code, registry_key=key, install_number=36)
    # Wine's process ids are small multiples of 4: leave a stale copy under
    # every launch name this run could get.
    stale = [bench.temp_dir / ("~mi36$%x.exe" % pid) for pid in range(0x20, 0x2000, 4)]
    for path in stale:
        path.write_bytes(b"stale")
    try:
        assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
        launch = fakesetup_log.wait(1)[0]["path"]
        # The run's own name was one of the stale files, now the setup.
        assert launch.split("\\")[-1].lower() in {p.name.lower() for p in stale}, launch
        assert Path(bench.to_unix(launch)).read_bytes() == setup_bytes
    finally:
        for path in stale:
            path.unlink(missing_ok=True)


def test_events_go_out_as_configured(bench, web, product, setup_bytes, tmp_path, fakesetup_log):
    code, key = product
    web.add_file(SETUP, setup_bytes)
    web.add_event(EVENT, body_chunks=[10])
    web.clear()
    # No event URL: no request at all, the download still runs.
    stub = stamp(tmp_path / "a.exe", download_url=web.url(SETUP), omit_text=[4],
                 product_code=code, registry_key=key, install_number=37)
    assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
    assert [r.path for r in web.requests] == [SETUP]
    assert len(fakesetup_log.wait(1)) == 1

    # An event URL with a query of its own and a campaign with a blank and an
    # ampersand go out as they are.
    web.clear()
    stub = stamp(tmp_path / "b.exe", download_url=web.url(SETUP), event_url=web.url(EVENT) + "?x=1",
                 campaign="a b&c", product_code=code, registry_key=key, install_number=37)
    assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
    targets = [r.target for r in web.requests_for(EVENT)]
    assert len(targets) == 2
    for target, mode in zip(targets, "10"):
        assert target.replace("%20", " ") == f"{EVENT}?x=1?camp=a b&c&mode={mode}", target


@pytest.mark.parametrize("tmp_setting, directory", [
    ("C:\\", "C:"),
    # Wine tidies a doubled trailing backslash before the stub sees it; the
    # run must still work and end up in the same directory.
    ("{temp}\\\\", "{temp}"),
])
def test_temporary_directory_forms(bench, web, product, setup_bytes, tmp_path, fakesetup_log,
                                   tmp_setting, directory):
    code, key = product
    temp = bench.default_temp_win
    directory = directory.format(temp=temp)
    web.add_file(SETUP, setup_bytes)
    stub = stamp(tmp_path / "install.exe", download_url=web.url(SETUP), event_url="",
                 product_code=code, registry_key=key, install_number=38)
    bench.set_temp(tmp_setting.format(temp=temp))
    try:
        # One trailing backslash goes, and only one.
        r = bench.run(helper_exe("stubdriver.exe"), "tempdir", timeout=30)
        assert json.loads(r.out) == {"dir": directory, "cached": 1}
        assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
    finally:
        bench.set_temp(None)
    launch = fakesetup_log.wait(1)[0]["path"]
    # The system tidies a doubled backslash in the name it reports.
    expected = directory.rstrip("\\") + "\\~mi38$"
    assert launch.lower().startswith(expected.lower()), launch
    Path(bench.to_unix(launch)).unlink(missing_ok=True)


# The run waits for a ping at most PING_LIMIT seconds and, after a confirmed
# cancel, for the transfer at most CANCEL_GRACE seconds. Starting a program
# under Wine and a loaded machine add to both: the margin is generous.
PING_LIMIT, CANCEL_GRACE, MARGIN = 10, 3, 15


@pytest.mark.parametrize("accept", [True, False], ids=["never-answers", "drops-packets"])
def test_silent_event_host_holds_the_run_a_bounded_time(bench, web, product, setup_bytes, tmp_path,
                                                         fakesetup_log, accept):
    code, key = product
    web.add_file(SETUP, setup_bytes)
    web.clear()
    with SilentPort(accept=accept) as silent:
        stub = stamp(tmp_path / "install.exe", download_url=web.url(SETUP),
                     event_url=silent.url(EVENT), product_code=code, registry_key=key,
                     install_number=39)
        started = time.monotonic()
        result = bench.run(stub, env=fakesetup_log.env, timeout=PING_LIMIT * 2 + MARGIN * 3)
        ended = time.monotonic()
        pings = [line for _, line in silent.requests]
    assert result.code == 0
    [download] = web.requests_for(SETUP)
    assert download.body_sent == len(setup_bytes)
    assert len(fakesetup_log.wait(1)) == 1
    # The download began once the start ping was given up, and the run
    # ended once the finish ping was.
    assert download.t_mono - started < PING_LIMIT + MARGIN
    assert ended - download.t_done < PING_LIMIT + MARGIN
    if accept:
        # Both pings were sent and went unanswered.
        assert [re.search(r"mode=(\d)", line).group(1) for line in pings] == ["1", "0"], pings


def test_cancel_while_the_server_holds_the_body_ends_the_run(bench, web, product, setup_bytes, tmp_path,
                                                             fakesetup_log):
    code, key = product
    number, first = 40, 100_000
    # The first 100,000 bytes at once, then nothing for an hour.
    web.add_file(SETUP, setup_bytes, trickle=(first, 3600))
    web.clear()
    stub = stamp(tmp_path / "install.exe", download_url=web.url(SETUP), event_url="",
                 product_code=code, registry_key=key, title="Held Download", install_number=number)
    partial = bench.temp_dir / f"~{code}{number}.exe"
    run = bench.start(stub, env=fakesetup_log.env)
    try:
        dialog = bench.find_window(cls="#32770", title="Held Download", visible=True, timeout=30)
        assert dialog
        deadline = time.monotonic() + 20
        while not (partial.exists() and partial.stat().st_size == first) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert partial.stat().st_size == first, "the bytes sent were not written"
        bench.click(dialog["hwnd"], 2)
        question = bench.find_window(cls="#32770", title="Held Download", visible=True, timeout=10,
                                     owner=dialog["hwnd"])
        assert question
        bench.click(question["hwnd"], 6)
        confirmed = time.monotonic()
        code_, shown = finish_run(bench, run, "Held Download", timeout=60)
        gone = time.monotonic()
    finally:
        run.kill()
    assert code_ == 0
    assert gone - confirmed < CANCEL_GRACE + MARGIN
    # Ended as any cancel ends: no box, nothing started, the written bytes
    # and the record of the whole file kept.
    assert shown is None, shown
    assert not fakesetup_log.entries()
    assert partial.read_bytes() == setup_bytes[:first]
    assert bench.reg_values(rf"HKLM\{key}\Install\{number:08d}")["Size"][1] == len(setup_bytes)

    # The single-instance guard went with the process: the next run starts
    # and continues from the kept bytes.
    assert not bench.find_window(cls=f"MiniMutex.{code}", timeout=0)
    web.set_options(SETUP, trickle=None)
    assert bench.run(stub, env=fakesetup_log.env, timeout=60).code == 0
    assert web.requests_for(SETUP)[-1].range == resume_range(first)
    launch = fakesetup_log.wait(1)[0]["path"]
    assert Path(bench.to_unix(launch)).read_bytes() == setup_bytes


def test_setup_gets_its_path_in_quotes_as_command_line(bench, web, product, setup_bytes,
                                                       fakesetup_log):
    """Under a temporary directory with blanks (every NT 5 user profile) a
    bare path would reach the setup as several arguments. Wine quotes such a
    path itself when no command line is given, so what the hand-over passes
    to CreateProcessA is read at the call."""
    code, key = product
    spaced = bench.default_temp_win + "\\Local Settings\\Temp dir"
    place = bench.to_unix(bench.default_temp_win) / "Local Settings"
    (place / "Temp dir").mkdir(parents=True, exist_ok=True)
    web.add_file(SETUP, setup_bytes)
    bench.set_temp(spaced)
    try:
        r = bench.run(helper_exe("stubdriver.exe"), "launch", web.url(SETUP), "--product", code,
                      "--regkey", key, "--install", 41, env=fakesetup_log.env, timeout=60)
        got = json.loads([line for line in r.out.splitlines() if line.startswith("{")][-1])
        assert (got["result"], got["errorCode"], got["createCalls"]) == (1, 0, 1), got
        assert re.fullmatch(re.escape(spaced) + r"\\~mi41\$[0-9a-f]+\.exe", got["application"],
                            re.IGNORECASE), got
        assert got["commandLine"] == '"' + got["application"] + '"', got
        [ran] = fakesetup_log.wait(1)
        assert ran["cmdline"] == got["commandLine"]
        assert Path(bench.to_unix(ran["path"])).read_bytes() == setup_bytes
    finally:
        bench.set_temp(None)
        shutil.rmtree(place, ignore_errors=True)


ERROR_SHARING_VIOLATION = 32


@pytest.mark.parametrize("pinned", [False, True], ids=["unpinned", "pinned"])
def test_started_file_is_held_from_its_check_to_its_start(bench, web, product, setup_bytes,
                                                          fakesetup_log, pinned):
    """At the call that starts it, the renamed download is open for reading
    to all, but nobody may write, rename or delete it; the start itself gets
    through the hold."""
    code, key = product
    web.add_file(SETUP, setup_bytes)
    pin = ["--pin", hashlib.sha256(setup_bytes).hexdigest()] if pinned else []
    r = bench.run(helper_exe("stubdriver.exe"), "launch", web.url(SETUP), "--product", code,
                  "--regkey", key, "--install", 42, *pin, env=fakesetup_log.env, timeout=60)
    got = json.loads([line for line in r.out.splitlines() if line.startswith("{")][-1])
    assert (got["result"], got["errorCode"], got["createCalls"]) == (1, 0, 1), got
    held = got["held"]
    assert (held["write"], held["rename"], held["delete"]) == (ERROR_SHARING_VIOLATION,) * 3, held
    assert held["read"] == 0, held
    [ran] = fakesetup_log.wait(1)
    assert Path(bench.to_unix(ran["path"])).read_bytes() == setup_bytes


def test_fault_on_a_ping_thread_ends_that_thread_silently(bench, web):
    """A ping whose thread faults inside the client: no error box (it could
    come after the setup started), and the run waits no longer for it."""
    web.add_event("/fault", body_chunks=[10])
    r = bench.run(helper_exe("stubdriver.exe"), "event", web.url("/fault"), "c", "0",
                  "--fault-in-ping", timeout=60)
    got = json.loads(r.out.strip().splitlines()[-1])
    assert (got["result"], got["errorBox"]) == (0, 0), got
    assert got["ms"] < 5000, got


def test_event_reply_is_read_to_its_end(bench, web):
    driver = helper_exe("stubdriver.exe")
    web.add_event("/grow", body_chunks=[300, 400, 325], delay_between_chunks=0.3)
    web.add_event("/empty", body_chunks=[])
    web.add_file("/missing", b"", status=404)
    cases = [("/grow", 1, 1025), ("/empty", 0, 0), ("/missing", 1, None)]
    for path, result, length in cases:
        web.clear()
        r = bench.run(driver, "event", web.url(path), "c", "1", timeout=30)
        assert json.loads(r.out)["result"] == result, path
        # The server handed over its whole reply, the pieces it paused
        # between included, before the client went away.
        [seen] = web.wait_for_requests(1, path)
        assert seen.outcome == "complete", (path, seen)
        if length is not None:
            assert seen.body_sent == length, (path, seen)
    # Nobody listening: no reply, no harm.
    with closed_port() as port:
        closed = web.url("/").replace(str(web.port), str(port))
        r = bench.run(driver, "event", closed, "c", "1", timeout=60)
    assert json.loads(r.out)["result"] == 0


def test_delete_at_reboot_falls_back_to_wininit(bench, tmp_path):
    driver = helper_exe("stubdriver.exe")
    target = bench.temp_dir / "~mi99$abc.exe"
    target.write_bytes(b"MZ")
    ini = bench.wininit_ini
    ini.unlink(missing_ok=True)
    bench.clear_pending_renames()
    win = bench.to_windows(target)
    try:
        # Where the system call works, wininit.ini is not touched.
        r = bench.run(driver, "reboot", win, timeout=30)
        assert '"result": 1' in r.out
        assert any(p[0].endswith("~mi99$abc.exe") for p in bench.pending_renames())
        assert not ini.exists()
        # Where it is missing (Windows 95), the entry goes into wininit.ini.
        ini.write_bytes(b"[boot]\r\nx=1\r\n")
        r = bench.run(driver, "reboot", win, "--no-movefileex", timeout=30)
        assert '"result": 1' in r.out
        text = ini.read_bytes().decode("latin-1")
        assert re.fullmatch(r"\[boot\]\r\nx=1\r\n\[Rename\]\r\nNUL=[^\r\n]+\r\n", text), text
        short = text.split("NUL=")[1].strip()
        assert short.upper().endswith(".EXE") and "\\" in short
    finally:
        ini.unlink(missing_ok=True)
        target.unlink(missing_ok=True)
        bench.clear_pending_renames()
