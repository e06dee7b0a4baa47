"""Fault soak: one setup file fetched over many broken runs, each run going on
from what the last one left, until a final run of the real install.exe
completes and starts it.

Before every run the plan (from a seeded random generator) may replace the
file on the server (a new Last-Modified or modification time), let the HTTP
server ignore the range, refuse it (403 or 501) or answer it with a lie (a 206
of a part that starts before the asked place, a 206 whose Content-Range names
another total, a 200 or a 206 without Content-Range of the rest's length from
the start of the file), let the FTP server forget the REST offset at the TYPE
or PORT that follows it, cut the transfer at a random offset or let it
complete, so that the next run finds a complete partial file (HTTP: only the
overlap is fetched; FTP: nothing to fetch).
After every run the partial file, the resume record and the driver's report
are compared with a model of what the rules allow; the server's byte log is
accounted for byte by byte:

- restart bytes: sent again, or sent and thrown away, because a rule demands a
  restart (a replaced file, an ignored or refused range, a lie about the
  range, a forgotten REST whose data the overlap disproves);
- proof bytes: the kept bytes a continuation asks for again (the overlap) and
  compares with the file;
- lost bytes: sent before a cut but never in the client's file (they were in
  flight when the connection broke), so the next run asks for them again;
- redundant bytes: bytes the client already held and fetched again. Any such
  byte, any corrupt partial file, a missing error report or a stale record
  after the final launch is a fault.

The short form runs here (scripts/test); bench/soak runs the long form and
prints the figures.
"""

from __future__ import annotations

import json
import os
import random
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from servers import FaultServer, FtpFaults, FtpServer
from winehelp import (Bench, FakeSetupLog, WineTimeout, box_text, helper_exe, resume_from,
                      resume_range, stamp, stub_exe)

SETUP_PATH = "/soak/Setup.exe"
TITLE = "Soak Setup"
# Modification times of the versions of the server's file: an hour apart, as
# the resume record keeps the time to the minute only.
FIRST_VERSION_TIME = 1_600_000_000


# ------------------------------------------------------------ figures ---

@dataclass
class Figures:
    protocol: str
    runs: int = 0
    real_runs: int = 0
    cuts: int = 0                 # runs whose transfer the server broke off
    completed: int = 0            # runs that ended with the whole file
    replaced: int = 0             # new versions put on the server
    ignored_range_runs: int = 0
    lying_runs: int = 0           # runs whose server lied about a range or forgot REST
    restarts: dict = field(default_factory=lambda: {"replaced": 0, "ignored-range": 0,
                                                    "refused-range": 0, "lied-range": 0,
                                                    "forgotten-rest": 0})
    body_bytes: int = 0           # body bytes the server sent
    thrown_away: int = 0          # of them, in replies a restart rule discarded
    sent_twice: int = 0           # bytes of one version sent more than once, split into:
    restart_bytes: int = 0        #   ... again because a rule demanded a restart
    lost_bytes: int = 0           #   ... again because they never reached the file
    proof_bytes: int = 0          #   ... again as a continuation's overlap, to prove it
    redundant_bytes: int = 0      #   ... again although the client held them (a fault)
    in_flight_lost: int = 0       # sent before a cut, not in the file afterwards
    headers_lost: int = 0         # cuts that came before the client had read the headers
    crashes: int = 0              # runs whose program died
    corrupt_files: int = 0
    faults: list = field(default_factory=list)

    def fault(self, run: int, text: str) -> None:
        self.faults.append(f"{self.protocol} run {run}: {text}")

    def lines(self) -> list[str]:
        r = self.restarts
        return [
            f"{self.protocol}: {self.runs} runs ({self.real_runs} of the real install.exe), "
            f"{self.cuts} cut, {self.completed} ended complete before the last",
            f"  server file replaced {self.replaced} times; range ignored in {self.ignored_range_runs} runs; "
            f"server lied in {self.lying_runs} runs",
            f"  restarts: {sum(r.values())} (replaced {r['replaced']}, ignored range {r['ignored-range']}, "
            f"refused range {r['refused-range']}, lied range {r['lied-range']}, "
            f"forgotten REST {r['forgotten-rest']})",
            f"  body bytes sent {self.body_bytes}, of them {self.thrown_away} in discarded replies",
            f"  sent twice {self.sent_twice} = restart {self.restart_bytes} + lost in a cut "
            f"{self.lost_bytes} + overlap proof {self.proof_bytes} + redundant "
            f"{self.redundant_bytes}",
            f"  bytes lost in flight at cuts: {self.in_flight_lost} "
            f"({self.headers_lost} cuts before the reply's headers were read)",
            f"  corrupt files: {self.corrupt_files}; crashes: {self.crashes}; faults: {len(self.faults)}",
        ]


def overlap_and_add(sent: dict, version: int, start: int, end: int) -> int:
    """Bytes of [start, end) of a version already in `sent`; adds the range."""
    ranges = sent.setdefault(version, [])
    twice = sum(max(0, min(e, end) - max(s, start)) for s, e in ranges)
    ranges.append((start, end))
    ranges.sort()
    merged: list = []
    for s, e in ranges:
        if merged and s <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], e))
        else:
            merged.append((s, e))
    sent[version] = merged
    return twice


def pack(epoch: float) -> tuple[int, int]:
    """The resume record's Date and Time of a modification time (GMT)."""
    t = time.gmtime(epoch)
    return (t.tm_year * 10000 + t.tm_mon * 100 + t.tm_mday, 10000 + t.tm_hour * 100 + t.tm_min)


# ------------------------------------------------------------- common ---

def setup_version(rng: random.Random, size: int) -> bytes:
    """A runnable setup (the fake one) padded with seeded random bytes."""
    program = helper_exe("fakesetup.exe").read_bytes()
    return program + rng.randbytes(max(0, size - len(program)))


def find_error_box(bench: Bench, timeout: float) -> dict | None:
    """The stub's error box: a visible dialog of its title with an error text."""
    deadline = time.monotonic() + timeout
    while True:
        left = max(0.0, deadline - time.monotonic())
        found = bench.find_window(cls="#32770", title=TITLE, visible=True, all=True,
                                  timeout=min(left, 5.0)) or []
        for w in found:
            if "Error" in box_text(w):
                return w
        if time.monotonic() >= deadline:
            return None


class Soak:
    """State shared by the HTTP and FTP soaks: the bench, the product's names
    and the model of the client's partial file."""

    def __init__(self, bench: Bench, seed: int, workdir: Path, protocol: str,
                 code: str, number: int, sizes: tuple[int, int], real_every: int,
                 lie_rate: float = 0.4):
        self.bench, self.workdir = bench, workdir
        self.lie_rate = lie_rate                # the share of runs whose server lies
        # The plan has a generator of its own, so that it does not depend on
        # the sizes of the files or on how far the runs got.
        self.rng = random.Random(seed)
        self.data_rng = random.Random(seed * 7919 + 1)
        # The server's lies draw from a generator of their own, so that the
        # rest of the plan is what it was before they were added.
        self.lie_rng = random.Random(seed * 104729 + 3)
        self.lie: str | None = None             # the lie of the current run
        self.ignoring = False                   # whether the current run ignores the range
        self.fig = Figures(protocol)
        self.code, self.number = code, number
        self.key = rf"Software\SoakTest\{code}"
        self.sizes = sizes
        self.real_every = real_every
        self.versions: dict[int, bytes] = {}
        self.mtimes: dict[int, int] = {}
        self.held_version: int | None = None   # the version the partial file is a prefix of
        self.record_version: int | None = None  # the version the resume record names
        self.sent: dict = {}                    # version -> byte ranges the server sent
        self.sent_kept: dict = {}               # the same, of replies the client kept since
                                                # its file last started from zero
        self.winfile = f"{bench.temp_dir_win}\\~{code}{number}.exe"
        self.partial = bench.temp_dir / f"~{code}{number}.exe"
        self.stub: Path | None = None
        self.before_real: tuple | None = None  # file_state() before a run of install.exe

    # -- state of the client

    def clean(self) -> None:
        self.bench.clean_stub_state(self.code, self.key)
        self.partial.unlink(missing_ok=True)

    def kept(self) -> int:
        return self.partial.stat().st_size if self.partial.exists() else 0

    def new_version(self, number: int) -> bytes:
        data = setup_version(self.data_rng, self.data_rng.randrange(*self.sizes))
        self.versions[number] = data
        self.mtimes[number] = FIRST_VERSION_TIME + 3600 * number
        return data

    def cut_offset(self, version: int, kept: int, fraction: float) -> int:
        """An offset at which the reply that carries the data is surely cut:
        a reply of the rest (past its overlap), or of the whole file after a
        restart."""
        size = len(self.versions[version])
        if kept < size:
            return kept - resume_from(kept) + int(fraction * (size - kept))
        return int(fraction * size)

    def plan(self, run: int, runs: int) -> dict:
        last = run == runs - 1
        real = last or (self.real_every > 0 and run % self.real_every == self.real_every - 1)
        replace, ignore, cut = (self.rng.random() for _ in range(3))
        lie, pick = self.lie_rng.random(), self.lie_rng.random()
        return {
            # A lie of the server, by its place in the protocol's list (the
            # last run hears none).
            "lie": None if last or lie >= self.lie_rate else pick,
            "replace": run > 0 and replace < 0.25,
            "ignore_range": ignore < 0.2,
            # A run of the real stub before the last one is always broken off:
            # a complete one would start the setup and end the soak.
            "cut": not last and (real or cut < 0.8),
            "fraction": self.rng.random(),
            "real": real,
            "last": last,
        }

    # -- one run of the driver or of the real stub

    def run_once(self, run: int, plan: dict, url: str, log: FakeSetupLog) -> dict | None:
        """The run the plan asks for; the driver's report, None for install.exe."""
        self.fig.runs += 1
        if plan["real"]:
            self.fig.real_runs += 1
            self.run_real(run, plan.get("box", plan["cut"]), log)
            return None
        return self.run_driver(run, url)

    def run_driver(self, run: int, url: str) -> dict | None:
        r = self.bench.run(helper_exe("stubdriver.exe"), "transfer", url, self.winfile,
                           "--resume", "1", "--product", self.code, "--regkey", self.key,
                           "--install", self.number, timeout=180)
        lines = [line for line in r.out.splitlines() if line.startswith("{")]
        if r.code != 0 or not lines:
            self.fig.crashes += 1
            crash = [line for line in r.err.splitlines() if "Unhandled" in line]
            self.fig.fault(run, f"the driver died without its report (exit {r.code}): "
                                f"{crash[0] if crash else r.err[-300:]}")
            return None
        return json.loads(lines[-1])

    def run_real(self, run: int, expect_cut: bool, log: FakeSetupLog) -> None:
        """The stamped install.exe: a cut run (or one that must fail
        otherwise) must end in the error box, the final run must start the
        setup without one."""
        self.before_real = self.file_state()
        proc = self.bench.start(self.stub, env=log.env)
        try:
            box = None
            deadline = time.monotonic() + 90
            while proc.running() and time.monotonic() < deadline:
                box = find_error_box(self.bench, 1)
                if box:
                    self.bench.click(box["hwnd"], 1)
                    break
            if expect_cut and not box:
                self.fig.fault(run, "a cut run of install.exe showed no error box")
            elif box and not expect_cut:
                self.fig.fault(run, f"install.exe showed an error box: {box_text(box)!r}")
            try:
                result = proc.wait(timeout=30)
            except WineTimeout:
                self.fig.fault(run, "install.exe did not end")
                return
            if result.code != 0:
                self.fig.crashes += result.code != 255
                crash = [line for line in result.err.splitlines() if "Unhandled" in line]
                self.fig.fault(run, f"install.exe exited {result.code}" + (f": {crash[0]}" if crash else ""))
        finally:
            proc.kill()
            proc.discard_output()

    def file_state(self) -> tuple | None:
        """Size and time of the last write of the partial file."""
        if not self.partial.exists():
            return None
        st = self.partial.stat()
        return st.st_size, st.st_mtime_ns

    def record(self) -> tuple:
        values = self.bench.reg_values(rf"HKLM\{self.key}\Install\{self.number:08d}") or {}
        return tuple(values.get(k, (None, None))[1] for k in ("Date", "Time", "Size", "File"))

    def identity(self, version: int | None) -> tuple:
        """What the resume record holds for a version: Date, Time, Size and
        the partial file's name."""
        if version is None:
            return (None, None, None, None)
        return pack(self.mtimes[version]) + (len(self.versions[version]), self.winfile)

    def check_after(self, run: int, report: dict | None, outcome: dict, cut: bool) -> None:
        """The partial file, the driver's report and the record after a run,
        against the reply the client kept (outcome: version, start and end of
        what the server handed over, whether a restart came first, the bytes
        held before the run)."""
        fig = self.fig
        kept, record = self.kept(), self.record()
        version = outcome["version"]
        if outcome.get("emptied"):
            # The data outgrew the file: the transfer fails with
            # ERROR_INVALID_DATA (13) and empties the partial file, so the
            # next run starts afresh; the record names the server's file.
            if kept:
                fig.fault(run, f"{kept} bytes left after data beyond the file's size")
            if record != self.identity(version):
                fig.fault(run, f"resume record {record}, expected {self.identity(version)}")
            if report is not None and (report["result"], report["errorCode"], report["doneBytes"]) != (0, 13, 0):
                fig.fault(run, f"data beyond the file's size reported as {report}")
            self.record_version, self.held_version = version, None
            return
        if report is not None:
            read = report["totalBytes"] != 0
        else:
            # install.exe reports nothing: the record tells a reply whose
            # headers were read, unless it already named that file. Then a
            # file that no write touched says the reset came first (a read
            # reply that carries the file writes it or empties it).
            read = version is not None and record == self.identity(version) and not (
                self.record_version == version and self.file_state() == self.before_real)
        if version is not None and not read:
            # The connection broke before the reply's headers were read (the
            # reset dropped what had not been read yet): the transfer failed
            # to open the URL, so nothing of this reply counts.
            fig.headers_lost += 1
            fig.in_flight_lost += outcome["end"] - outcome["start"]
            version = None
            # A restart empties the file when the data disproved the kept
            # bytes; one the headers called for leaves it as it was until a
            # reply that carries the file is read.
            if outcome["restarted"] and kept == 0:
                self.held_version = None
            elif kept != outcome["held"]:
                fig.fault(run, f"the reply was never read, yet the file went from {outcome['held']} to {kept} bytes")
        if version is None:
            version = self.held_version if kept else None
            if record != self.identity(self.record_version):
                fig.fault(run, f"resume record {record} changed without a reply, "
                               f"expected {self.identity(self.record_version)}")
        else:
            if record != self.identity(version):
                fig.fault(run, f"resume record {record}, expected {self.identity(version)}")
            self.record_version = version
            if kept > outcome["end"]:
                fig.fault(run, f"{kept} bytes on disk, the server sent up to {outcome['end']}")
            else:
                fig.in_flight_lost += outcome["end"] - max(kept, outcome["start"])
        self.held_version = version
        if version is None:
            if kept:
                fig.fault(run, f"{kept} bytes on disk, but no reply was kept")
            if report is not None and (report["result"] or not report["errorCode"]):
                fig.fault(run, f"a failed transfer reported {report}")
            fig.cuts += cut
            return
        data = self.versions[version]
        on_disk = self.partial.read_bytes() if self.partial.exists() else b""
        if on_disk != data[:len(on_disk)]:
            fig.corrupt_files += 1
            first = next((i for i, (a, b) in enumerate(zip(on_disk, data)) if a != b), len(data))
            fig.fault(run, f"partial file corrupt: {len(on_disk)} bytes, first difference at {first}")
        complete = kept == len(data)
        if complete:
            fig.completed += 1
        elif cut:
            fig.cuts += 1
        else:
            fig.fault(run, f"uncut run ended with {kept} of {len(data)} bytes")
        if report is not None:
            if read:
                want = (1 if complete else 0, len(data), kept)
                got = (report["result"], report["totalBytes"], report["doneBytes"])
                if got != want:
                    fig.fault(run, f"driver reported result/total/done {got}, expected {want}: {report}")
            if not complete and report["errorCode"] == 0:
                fig.fault(run, "a broken transfer left errorCode 0 (no error for the user)")
            if read:
                open_handles = [k for k in ("internetHandle", "requestHandle", "fileHandle")
                                if report[k] != "none"]
                if open_handles:
                    fig.fault(run, f"handles left open after the data loop: {open_handles}")

    def check_final(self, run: int, log: FakeSetupLog, current: bytes) -> None:
        """After the final launch: the setup that ran is the server's file and
        nothing of the download is left but the started copy."""
        fig = self.fig
        runs = log.wait(1)
        if len(runs) != 1:
            fig.fault(run, f"the setup ran {len(runs)} times")
            return
        launched = self.bench.to_unix(runs[0]["path"])
        data = launched.read_bytes() if launched.exists() else b""
        if data != current:
            fig.corrupt_files += 1
            fig.fault(run, f"launched file differs from the server's file ({len(data)} / {len(current)} bytes)")
        if self.bench.reg_key_exists(rf"HKLM\{self.key}\Install\{self.number:08d}"):
            fig.fault(run, "the resume record is still there after the launch")
        if self.partial.exists():
            fig.fault(run, "the download file is still in the temporary directory")
        leftovers = [p.name for p in self.bench.stub_files()
                     if (p.name.lower().startswith(f"~{self.code}{self.number}".lower())
                         or p.name.lower().startswith(f"~mi{self.number}$"))
                     and p.name.lower() != launched.name.lower()]
        if leftovers:
            fig.fault(run, f"stale files in the temporary directory: {leftovers}")
        pending = [src for src, dst in self.bench.pending_renames()
                   if src.lower().endswith(launched.name.lower()) and dst == ""]
        if not pending:
            fig.fault(run, "the started copy is not set for deletion at reboot")
        launched.unlink(missing_ok=True)


# --------------------------------------------------------------- HTTP ---

def soak_http(bench: Bench, runs: int, seed: int, workdir: Path, sizes=(150_000, 500_000),
              real_every: int = 0, code: str = "SOAKHTTP", number: int = 4711,
              lie_rate: float = 0.4) -> Figures:
    soak = Soak(bench, seed, workdir, "http", code, number, sizes, real_every, lie_rate)
    fig = soak.fig
    soak.clean()
    plan: dict = {}
    with FaultServer() as server:
        version = 1
        server.add_file(SETUP_PATH, soak.new_version(version), last_modified=soak.mtimes[version],
                        cut_after=lambda index, request: plan.get("cut_at"))
        soak.stub = stamp(workdir / "soak-http.exe", download_url=server.url(SETUP_PATH), event_url="",
                          product_code=code, registry_key=soak.key, title=TITLE, install_number=number)
        for run in range(runs):
            plan.clear()
            plan.update(soak.plan(run, runs))
            if plan["replace"]:
                version += 1
                fig.replaced += 1
                server.replace_file(SETUP_PATH, soak.new_version(version),
                                    last_modified=soak.mtimes[version])
            kept = soak.kept()
            if soak.held_version == version and kept == len(soak.versions[version]) \
                    and not plan["last"]:
                # The whole file is there: the run only proves it with the
                # overlap and cannot be cut; the real stub would start the
                # setup, so the driver makes this run.
                plan.update(cut=False, real=False)
            lie = None if plan["lie"] is None else HTTP_LIES[int(plan["lie"] * len(HTTP_LIES))]
            # A lie is told only in reply to a range, and not by a server
            # that ignores ranges.
            soak.lie = lie if 0 < kept and not plan["ignore_range"] else None
            soak.ignoring = plan["ignore_range"]
            server.set_options(SETUP_PATH, ignore_range=plan["ignore_range"],
                               range_shift=-4096 if soak.lie == "shift" else None,
                               range_total_shift=1 if soak.lie == "total" else None,
                               range_head_200=soak.lie == "head-200",
                               range_head_206=soak.lie == "head-206",
                               range_status={"403": 403, "501": 501}.get(soak.lie))
            fig.ignored_range_runs += plan["ignore_range"]
            fig.lying_runs += soak.lie is not None
            plan["cut_at"] = soak.cut_offset(version, kept, plan["fraction"]) if plan["cut"] else None
            before = len(server.requests_for(SETUP_PATH))
            log = bench.fakesetup_log(workdir)
            report = soak.run_once(run, plan, server.url(SETUP_PATH), log)
            server.wait_for_requests(before + 1, SETUP_PATH, timeout=10)
            replies = [r for r in server.requests_for(SETUP_PATH)[before:] if r.done]
            outcome = account_http(soak, run, replies, kept)
            if plan["last"]:
                soak.check_final(run, log, server.data(SETUP_PATH))
            else:
                if log.entries():
                    fig.fault(run, "a broken run started the setup")
                soak.check_after(run, report, outcome, plan["cut"])
        twice = server.bytes_sent_twice(SETUP_PATH)
        if twice != fig.sent_twice:
            fig.fault(runs, f"server counts {twice} bytes sent twice, the accounting {fig.sent_twice}")
    soak.clean()
    return fig


# What a lying HTTP server answers to a range: a 206 of a part that starts
# 4096 bytes before the asked place (as long as the rest), the honest 206
# with a Content-Range total one more than the size, a 200 of the rest's
# length from the start of the file, the same as a 206 without Content-Range
# (only the overlap tells), or a refusal (403, 501) where the whole file is
# served.
HTTP_LIES = ["shift", "total", "head-200", "head-206", "403", "501"]


def account_http(soak: Soak, run: int, replies: list, kept: int) -> dict:
    """Walks the replies of one run against the rules; returns what the client
    should hold afterwards (see Soak.check_after)."""
    fig = soak.fig
    held = soak.held_version if kept else None
    holding = kept                      # bytes the client holds at this point
    reason = None                       # the restart a rule demanded in this run
    kept_reply = None
    for i, r in enumerate(replies):
        start, end, version = r.body_start, r.body_start + r.body_sent, r.file_version
        fig.body_bytes += end - start
        twice = overlap_and_add(soak.sent, version, start, end) if end > start else 0
        fig.sent_twice += twice
        expected_range = (resume_range(kept) if kept else None) if i == 0 else None
        if r.range != expected_range:
            fig.fault(run, f"request {i + 1} asked for range {r.range!r}, expected {expected_range!r}")
        refused = r.range and r.status not in (200, 206)
        lied = r.range and r.status == 206 and (r.body_start != resume_from(kept)
                                                 or soak.lie == "total")
        if refused or (r.range and (r.status == 200 or version != held or lied)):
            # The rules discard this reply and fetch the whole file again.
            reason = ("replaced" if version != held else "refused-range" if refused
                      else "ignored-range" if r.status == 200 and soak.ignoring else "lied-range")
            fig.restarts[reason] += 1
            fig.thrown_away += end - start
            fig.restart_bytes += twice
            holding = 0
            soak.sent_kept.clear()      # the client's file starts again from zero
            continue
        if i > 0 and reason is None:
            fig.fault(run, f"request {i + 1} without a reason to ask again")
        if r.status not in (200, 206):
            fig.fault(run, f"unexpected status {r.status}")
        held_before = holding if version == held else 0
        if r.range is None and holding:
            fig.fault(run, f"started from zero while holding {holding} bytes of the same file")
        split_twice(soak, version, start, end, twice, held_before, reason is not None)
        kept_reply = r
    if len(replies) > 2:
        fig.fault(run, f"{len(replies)} requests in one run")
    outcome = {"version": None, "start": 0, "end": 0, "restarted": reason is not None, "held": kept}
    if kept_reply is not None:
        outcome.update(version=kept_reply.file_version, start=kept_reply.body_start,
                       end=kept_reply.body_start + kept_reply.body_sent)
    return outcome


def split_twice(soak: Soak, version: int, start: int, end: int, twice: int, held: int,
                restarted: bool) -> None:
    """Accounts for the bytes of a kept reply that the server had sent before:
    held by the client (redundant), sent in an earlier kept reply but lost on
    the way (lost), or sent in a reply that a restart rule threw away, or
    fetched again after such a restart (restart)."""
    fig = soak.fig
    # Held bytes from the overlap's start on prove the continuation; any
    # before it were fetched for nothing.
    proof = max(0, min(end, held) - max(start, resume_from(held))) if held else 0
    redundant = max(0, min(end, held) - start) - proof
    lost = 0 if restarted else max(0, overlap_and_add(soak.sent_kept, version, start, end)
                                   - redundant - proof)
    if restarted:
        overlap_and_add(soak.sent_kept, version, start, end)
    fig.proof_bytes += proof
    fig.redundant_bytes += redundant
    fig.lost_bytes += lost
    fig.restart_bytes += twice - redundant - lost - proof


# ---------------------------------------------------------------- FTP ---

def soak_ftp(bench: Bench, runs: int, seed: int, workdir: Path, sizes=(150_000, 500_000),
             real_every: int = 0, code: str = "SOAKFTP", number: int = 4712,
             lie_rate: float = 0.4) -> Figures:
    soak = Soak(bench, seed, workdir, "ftp", code, number, sizes, real_every, lie_rate)
    fig = soak.fig
    soak.clean()
    root = workdir / "ftproot"
    root.mkdir(exist_ok=True)
    served = root / "Setup.exe"
    plan: dict = {}

    def publish(version: int) -> None:
        tmp = root / "Setup.new"
        tmp.write_bytes(soak.new_version(version))
        os.utime(tmp, (soak.mtimes[version], soak.mtimes[version]))
        tmp.replace(served)

    version = 1
    publish(version)
    by_identity = {}                    # (size, mtime) at RETR -> version
    with FtpServer(str(root)) as ftp:
        url = ftp.url("/Setup.exe")
        soak.stub = stamp(workdir / "soak-ftp.exe", download_url=url, event_url="",
                          product_code=code, registry_key=soak.key, title=TITLE, install_number=number)
        for run in range(runs):
            plan.clear()
            plan.update(soak.plan(run, runs))
            plan["ignore_range"] = False
            if plan["replace"]:
                version += 1
                fig.replaced += 1
                publish(version)
            by_identity[(len(soak.versions[version]), soak.mtimes[version])] = version
            kept = soak.kept()
            size = len(soak.versions[version])
            continuing = soak.held_version == version and 0 < kept
            complete = continuing and kept == size
            if complete and not plan["last"]:
                # The whole file is there: the run only confirms it (no REST,
                # no data) and cannot be cut; the real stub would start the
                # setup, so the driver makes this run.
                plan.update(cut=False, real=False)
            # The server forgets the REST offset at the TYPE or the PORT that
            # follows it and sends the file from its start. The overlap
            # disproves it at once and the run fetches the whole file on a
            # second connection, which may be cut like any other (the first
            # is not: a cut before its first bytes would only fail the run).
            forget = FTP_LIES[int(plan["lie"] * len(FTP_LIES))] if plan["lie"] is not None else None
            soak.lie = forget if continuing and not complete and resume_from(kept) else None
            fig.lying_runs += soak.lie is not None
            plan["cut_at"] = soak.cut_offset(version, kept, plan["fraction"]) if plan["cut"] else None
            if soak.lie and plan["cut_at"] is not None:
                plan["cut_at"] = int(plan["fraction"] * size)
            ftp.set_faults(FtpFaults(
                cut_after=lambda index, transfer: None if soak.lie and index == 0
                else plan.get("cut_at"),
                forget_rest=(forget,) if forget else ()))
            before = len(ftp.transfers)
            log = bench.fakesetup_log(workdir)
            report = soak.run_once(run, plan, url, log)
            transfers = ftp.wait_for_transfers(before + (0 if complete else 2 if soak.lie else 1),
                                               timeout=10)[before:]
            outcome = account_ftp(soak, run, transfers, kept, by_identity, version if complete else None)
            if plan["last"]:
                soak.check_final(run, log, served.read_bytes())
            else:
                if log.entries():
                    fig.fault(run, "a broken run started the setup")
                soak.check_after(run, report, outcome, plan["cut"])
    soak.clean()
    return fig


# The command after which a forgetful FTP server drops the REST offset.
FTP_LIES = ["TYPE", "PORT"]


def account_ftp(soak: Soak, run: int, transfers: list, kept: int, by_identity: dict,
                complete: int | None) -> dict:
    """As account_http; `complete` is the version the client holds whole
    (None: it does not), which is confirmed without any data."""
    fig = soak.fig
    outcome = {"version": None, "start": 0, "end": 0, "restarted": False, "held": kept}
    held = soak.held_version if kept else None
    if complete is not None:
        if transfers:
            fig.fault(run, f"{len(transfers)} RETR transfers for a file held whole")
        outcome.update(version=complete, start=kept, end=kept)
        return outcome
    if len(transfers) != (2 if soak.lie else 1):
        fig.fault(run, f"{len(transfers)} RETR transfers in one run")
        if not transfers:
            return outcome
    if soak.lie:
        # A forgotten REST: the server sent from the start whatever was
        # asked; the overlap disproves it and the data is thrown away.
        t = transfers[0]
        if t.rest != 0:
            fig.fault(run, f"a forgetful server sent from {t.rest}")
        twice = overlap_and_add(soak.sent, held, 0, t.sent) if t.sent else 0
        fig.body_bytes += t.sent
        fig.sent_twice += twice
        fig.restarts["forgotten-rest"] += 1
        fig.thrown_away += t.sent
        fig.restart_bytes += twice
        soak.sent_kept.clear()
        outcome["restarted"] = True
        held, kept = None, 0
    t = transfers[-1]
    version = by_identity.get((t.size, int(t.mtime)))
    if version is None:
        fig.fault(run, f"RETR of an unknown file ({t.size} bytes, mtime {t.mtime})")
        return outcome
    same = version == held
    expected_rest = resume_from(kept) if same and kept else 0
    if t.rest != expected_rest:
        fig.fault(run, f"REST {t.rest}, expected {expected_rest}")
    if held is not None and not same:
        fig.restarts["replaced"] += 1
        outcome["restarted"] = True
        soak.sent_kept.clear()
    start, end = t.rest, t.rest + t.sent
    fig.body_bytes += end - start
    twice = overlap_and_add(soak.sent, version, start, end) if end > start else 0
    fig.sent_twice += twice
    split_twice(soak, version, start, end, twice, kept if same else 0, outcome["restarted"])
    outcome.update(version=version, start=start, end=end)
    return outcome


# ---------------------------------------------------- retries profile ---

@dataclass
class RetryFigures:
    protocol: str
    retries: int
    runs: int = 0
    cuts: int = 0                 # transfers the server broke off, each a failed try
    transfers: int = 0            # transfers asked for the file, cut or not
    replaced: int = 0             # files replaced on the server during a wait
    lying_runs: int = 0           # runs whose server lied about every range or forgot REST
    launches: int = 0
    corrupt_files: int = 0
    faults: list = field(default_factory=list)

    def fault(self, run: int, text: str) -> None:
        self.faults.append(f"{self.protocol} retries run {run}: {text}")

    def lines(self) -> list[str]:
        return [
            f"{self.protocol} with {self.retries} retries: {self.runs} runs of the real "
            f"install.exe, {self.transfers} transfers, {self.cuts} cut (each followed by a "
            f"retry where the run ended by itself), {self.replaced} files replaced during a "
            f"wait, server lied in {self.lying_runs} runs",
            f"  setups started {self.launches} (one per run wanted); corrupt files: "
            f"{self.corrupt_files}; faults: {len(self.faults)}",
        ]


def soak_retries(bench: Bench, runs: int, seed: int, workdir: Path, protocol: str,
                 retries: int = 3, sizes=(150_000, 500_000), lie_rate: float = 0.3,
                 replace_rate: float = 0.3) -> RetryFigures:
    """Runs of the real install.exe with retries within the run: each run's
    server cuts its transfers at most `retries` times (at random offsets),
    may lie about every range (HTTP: a 206 of the file's start; FTP: REST
    forgotten) and may replace the file during a wait. Every run must start
    the server's current file in that one run, without an error box."""
    rng = random.Random(seed)
    fig = RetryFigures(protocol, retries)
    code, number = "SOAKRETRY", 4714
    key = rf"Software\SoakTest\{code}"
    partial = bench.temp_dir / f"~{code}{number}.exe"
    record = rf"HKLM\{key}\Install\{number:08d}"
    bench.clean_stub_state(code, key)
    mtime = FIRST_VERSION_TIME
    root = workdir / "retryroot"
    root.mkdir(exist_ok=True)
    served = root / "Setup.exe"

    def publish_ftp(data: bytes, when: int) -> None:
        tmp = root / "Setup.new"
        tmp.write_bytes(data)
        os.utime(tmp, (when, when))
        tmp.replace(served)

    server = FaultServer() if protocol == "http" else FtpServer(str(root))
    with server:
        url = server.url(SETUP_PATH if protocol == "http" else "/Setup.exe")
        stub = stamp(workdir / f"soak-retry-{protocol}.exe", download_url=url, event_url="",
                     product_code=code, registry_key=key, title=TITLE, install_number=number,
                     retries=retries)
        for run in range(runs):
            fig.runs += 1
            mtime += 3600
            data = setup_version(rng, rng.randint(*sizes))
            cuts = rng.randint(0, retries)
            lie = rng.random() < lie_rate
            fig.lying_runs += lie
            replace_after = rng.randrange(cuts) if cuts and rng.random() < replace_rate else None
            replacement = setup_version(rng, rng.randint(*sizes)) if replace_after is not None \
                else None
            fractions = [rng.uniform(0.05, 0.9) for _ in range(cuts)]
            given = []
            swap = {}        # after which cut's end the file was replaced, and when

            def asked_from(what) -> int:
                # The offset the client asked for, whatever the server made
                # of it (a forgotten REST shows as 0 in the transfer).
                if protocol == "http":
                    return int((what.range or "bytes=0-")[6:].split("-")[0] or 0)
                asked = 0
                session = [c for c in server.commands if c.session == what.session]
                for command in session[:-1]:        # the last one is this RETR
                    if command.cmd in ("RETR", "REST"):
                        asked = int(command.arg) if command.cmd == "REST" and \
                            command.arg.isdigit() else 0
                return asked

            def cut_after(index, what):
                # Somewhere in what this transfer has to send. A continuation
                # the client drops at its overlap or its date check (a lying
                # reply, or one after the file was replaced) is never cut:
                # that would be no failure of the client's, and no wait
                # would follow it.
                asked = asked_from(what)
                if protocol == "http":
                    start, total = asked, len(server.data(SETUP_PATH))
                else:
                    start, total = what.rest, what.size or 0
                if len(given) >= cuts or (asked and (lie or swap)):
                    return None
                given.append(index)
                return max(1_000, int(fractions[len(given) - 1] * (total - start)))

            if protocol == "http":
                server.add_file(SETUP_PATH, data, last_modified=mtime, cut_after=cut_after,
                                range_head_206=lie)
                server.clear()
            else:
                publish_ftp(data, mtime)
                server.set_faults(FtpFaults(cut_after=cut_after,
                                            forget_rest=("TYPE",) if lie else ()))

            def ended():
                # (outcome, end) of this run's transfers that have ended
                if protocol == "http":
                    return [(r.outcome, r.t_done) for r in server.requests_for(SETUP_PATH)
                            if r.done]
                return [(t.outcome, t.t_end) for t in server.transfers[before:]
                        if t.t_end is not None]

            def starts():
                # When the client began each try of this run: an HTTP request,
                # or the first command of an FTP session (a retry's MDTM and
                # SIZE come before its RETR).
                if protocol == "http":
                    return [r.t_mono for r in server.requests_for(SETUP_PATH)]
                first = {}
                for command in server.commands[commands_before:]:
                    first.setdefault(command.session, command.t_mono)
                return list(first.values())

            stop = threading.Event()

            def replace_in_wait():
                # Watches the server's records, not the windows, so the file
                # is replaced early in the wait after that cut however long
                # a look for the error box takes.
                while not stop.wait(0.02):
                    cut = sorted(end for outcome, end in ended() if outcome == "cut")
                    if len(cut) > replace_after:
                        if protocol == "http":
                            server.replace_file(SETUP_PATH, replacement,
                                                last_modified=mtime + 1800)
                        else:
                            publish_ftp(replacement, mtime + 1800)
                        swap.update(after=cut[replace_after], at=time.monotonic())
                        return

            log = bench.fakesetup_log(workdir / f"run{run}")
            (workdir / f"run{run}").mkdir(exist_ok=True)
            before = len(server.transfers) if protocol == "ftp" else 0
            commands_before = len(server.commands) if protocol == "ftp" else 0
            watcher = threading.Thread(target=replace_in_wait, daemon=True)
            if replacement is not None:
                watcher.start()
            proc = bench.start(stub, env=log.env)
            try:
                deadline = time.monotonic() + 180
                while proc.running() and time.monotonic() < deadline:
                    box = find_error_box(bench, 0.2)
                    if box:
                        fig.fault(run, f"error box: {box_text(box)!r}")
                        bench.click(box["hwnd"], 1)
                try:
                    result = proc.wait(timeout=30)
                    if result.code != 0:
                        fig.fault(run, f"install.exe exited {result.code}")
                except WineTimeout:
                    fig.fault(run, "install.exe did not end")
            finally:
                stop.set()
                if watcher.is_alive():
                    watcher.join()
                proc.kill()
                proc.discard_output()
            outcomes = [outcome for outcome, _ in ended()]
            fig.cuts += outcomes.count("cut")
            fig.transfers += len(outcomes)
            late = False
            if swap:
                # The try after that cut must have begun after the new file
                # was in place, or this run tested no change during a wait.
                later = [t for t in starts() if t > swap["after"]]
                late = not later or min(later) < swap["at"]
                if later and late:
                    fig.fault(run, "the file was replaced only after the next try had begun "
                                   "(the bench was too slow to replace it during the wait)")
                elif not late:
                    fig.replaced += 1
            current = server.data(SETUP_PATH) if protocol == "http" else served.read_bytes()
            started = log.wait(1, timeout=10)
            fig.launches += len(started)
            if len(started) != 1:
                fig.fault(run, f"the setup ran {len(started)} times")
            for entry in started:
                launched = bench.to_unix(entry["path"])
                got = launched.read_bytes() if launched.exists() else b""
                # A replacement that came late may have missed a try that
                # was already fetching the first file whole.
                if got != current and not (late and got == data):
                    fig.corrupt_files += 1
                    which = ("the first file" if got == data else
                             "the replacement" if got == replacement else "neither file")
                    fig.fault(run, f"started {which} ({len(got)} bytes) where the server has "
                                   f"{len(current)} bytes")
                launched.unlink(missing_ok=True)
            if bench.reg_key_exists(record):
                fig.fault(run, "the resume record is still there after the launch")
            if partial.exists():
                fig.fault(run, "the download file is still there after the launch")
    bench.clean_stub_state(code, key)
    return fig


@pytest.mark.parametrize("protocol, seed", [("http", 4), ("ftp", 9)])
def test_retries_soak(bench, tmp_path, protocol, seed):
    # Three runs each; with these seeds the servers cut, lie and replace
    # the file during a wait. Each run starts the right setup by itself.
    fig = soak_retries(bench, runs=3, seed=seed, workdir=tmp_path, protocol=protocol,
                       retries=2, sizes=(150_000, 300_000), lie_rate=0.5, replace_rate=0.5)
    print("\n".join(fig.lines()))
    assert not fig.faults, "\n".join(fig.faults)
    assert fig.launches == 3 and fig.corrupt_files == 0
    assert fig.cuts >= 2 and fig.replaced >= 1 and fig.lying_runs >= 1


# The waits before each retry, and what a loaded bench may add to a run.
RETRY_WAITS = [2, 4, 8, 16, 32] + [60] * 15
STALL_SLACK = 20


@dataclass
class StallFigures:
    protocol: str
    retries: int
    limit: int
    runs: int = 0
    stalls: int = 0               # tries the server left silent (body, data or no answer)
    cuts: int = 0                 # tries the server broke off
    launches: int = 0
    corrupt_files: int = 0
    overshoot: float = 0.0        # the most a run took beyond its stalls and waits
    faults: list = field(default_factory=list)

    def fault(self, run: int, text: str) -> None:
        self.faults.append(f"{self.protocol} stalls run {run}: {text}")

    def lines(self) -> list[str]:
        return [
            f"{self.protocol} with {self.retries} retries, stall limit {self.limit} s: "
            f"{self.runs} runs of the real install.exe, {self.stalls} stalls and {self.cuts} "
            f"cuts, each followed by a retry",
            f"  setups started {self.launches} (one per run wanted); corrupt files: "
            f"{self.corrupt_files}; longest run beyond its stalls and waits "
            f"{self.overshoot:.1f} s; faults: {len(self.faults)}",
        ]


def soak_stalls(bench: Bench, runs: int, seed: int, workdir: Path, protocol: str,
                retries: int = 3, limit: int | None = None,
                sizes=(150_000, 300_000)) -> StallFigures:
    """Runs of install.exe with retries whose server fails each run's tries
    up to `retries` times, each failure a silence (HTTP: the body stops, or
    no answer at all; FTP: the data stops) or a cut, at random offsets.
    Every run must start the setup by itself, byte for byte, within its
    stalls (limit each) and waits. limit: the shortened stall limit of
    install-stall.exe; None: the real image and its real minute."""
    rng = random.Random(seed)
    fig = StallFigures(protocol, retries, limit or 60)
    code, number = "SOAKSTALL", 4715
    key = rf"Software\SoakTest\{code}"
    partial = bench.temp_dir / f"~{code}{number}.exe"
    record = rf"HKLM\{key}\Install\{number:08d}"
    bench.clean_stub_state(code, key)
    root = workdir / "stallroot"
    root.mkdir(exist_ok=True)
    kinds = ["stall", "silent", "cut"] if protocol == "http" else ["stall", "cut"]
    server = FaultServer() if protocol == "http" else FtpServer(str(root))
    with server:
        url = server.url(SETUP_PATH if protocol == "http" else "/Setup.exe")
        image = stub_exe() if limit is None else stub_exe().parent / "install-stall.exe"
        stub = stamp(workdir / f"soak-stall-{protocol}.exe", base=image, download_url=url,
                     event_url="", product_code=code, registry_key=key, title=TITLE,
                     install_number=number, retries=retries)
        for run in range(runs):
            fig.runs += 1
            data = setup_version(rng, rng.randint(*sizes))
            plan = [(rng.choice(kinds), rng.uniform(0.05, 0.9))
                    for _ in range(rng.randint(1, retries))]

            def failing(kind):
                # The offset in this try's part where it fails this way.
                def at(index, what):
                    if index >= len(plan) or plan[index][0] != kind:
                        return None
                    part = len(data) - (what.body_start if protocol == "http" else what.rest)
                    return max(1_000, int(plan[index][1] * part))
                return at

            if protocol == "http":
                server.add_file(SETUP_PATH, data, last_modified=FIRST_VERSION_TIME + run,
                                cut_after=failing("cut"), stall_after=failing("stall"),
                                silent=lambda index, what: index < len(plan) and
                                plan[index][0] == "silent")
                server.clear()
            else:
                (root / "Setup.exe").write_bytes(data)
                os.utime(root / "Setup.exe", (FIRST_VERSION_TIME + run,) * 2)
                server.set_faults(FtpFaults(
                    cut_after=lambda index, what: failing(plan[index][0])(index, what)
                    if index < len(plan) else None,
                    cut_mode=lambda index, what: "stall" if index < len(plan) and
                    plan[index][0] == "stall" else "reset"))
            stalls = sum(kind != "cut" for kind, _ in plan)
            fig.stalls += stalls
            fig.cuts += len(plan) - stalls
            allowed = stalls * fig.limit + sum(RETRY_WAITS[:len(plan)])

            log = bench.fakesetup_log(workdir / f"run{run}")
            (workdir / f"run{run}").mkdir(exist_ok=True)
            env = dict(log.env, STUB_STALL_SECONDS=str(limit or 1))  # the real image ignores it
            started = time.monotonic()
            proc = bench.start(stub, env=env)
            try:
                deadline = started + allowed + 120
                while proc.running() and time.monotonic() < deadline:
                    box = find_error_box(bench, 0.2)
                    if box:
                        fig.fault(run, f"error box: {box_text(box)!r}")
                        bench.click(box["hwnd"], 1)
                try:
                    result = proc.wait(timeout=30)
                    if result.code != 0:
                        fig.fault(run, f"install.exe exited {result.code}")
                except WineTimeout:
                    fig.fault(run, "install.exe did not end")
            finally:
                proc.kill()
                proc.discard_output()
            took = time.monotonic() - started
            fig.overshoot = max(fig.overshoot, took - allowed)
            if took > allowed + STALL_SLACK:
                fig.fault(run, f"took {took:.1f} s for {stalls} stalls and {len(plan)} waits "
                               f"({allowed} s)")
            started_runs = log.wait(1, timeout=10)
            fig.launches += len(started_runs)
            if len(started_runs) != 1:
                fig.fault(run, f"the setup ran {len(started_runs)} times (plan {plan})")
            for entry in started_runs:
                launched = bench.to_unix(entry["path"])
                got = launched.read_bytes() if launched.exists() else b""
                if got != data:
                    fig.corrupt_files += 1
                    fig.fault(run, f"started {len(got)} bytes that are not the setup "
                                   f"({len(data)} bytes)")
                launched.unlink(missing_ok=True)
            if bench.reg_key_exists(record):
                fig.fault(run, "the resume record is still there after the launch")
            if partial.exists():
                fig.fault(run, "the download file is still there after the launch")
    bench.clean_stub_state(code, key)
    return fig


@pytest.mark.parametrize("protocol, seed", [("http", 8), ("ftp", 4)])
def test_stalls_soak(bench, tmp_path, protocol, seed):
    # Three runs each with the stall limit shortened to 3 s; with these
    # seeds the servers both stall (HTTP: also never answer) and cut. Each run starts the setup by
    # itself, within its stalls and waits.
    fig = soak_stalls(bench, runs=3, seed=seed, workdir=tmp_path, protocol=protocol,
                      retries=2, limit=3)
    print("\n".join(fig.lines()))
    assert not fig.faults, "\n".join(fig.faults)
    assert fig.launches == 3 and fig.corrupt_files == 0
    assert fig.stalls >= 2 and fig.cuts >= 1


# ------------------------------------------------------------ the test ---

@pytest.mark.parametrize("soak, seed", [(soak_http, 293), (soak_ftp, 83)], ids=["http", "ftp"])
def test_short_soak(bench, tmp_path, soak, seed):
    # Seven runs. With these seeds the HTTP soak meets every restart rule
    # (replaced file, ignored range, a refused range, a lie about the range),
    # the FTP soak replaced files and a forgotten REST, and both several
    # cuts. The fourth run is the real install.exe broken off (its error
    # box), the last one the real install.exe completing and starting the
    # setup.
    fig = soak(bench, runs=7, seed=seed, workdir=tmp_path, real_every=4)
    print("\n".join(fig.lines()))
    assert not fig.faults, "\n".join(fig.faults)
    assert fig.corrupt_files == 0 and fig.redundant_bytes == 0
    assert fig.cuts >= 3 and fig.real_runs == 2 and fig.replaced >= 2
    wanted = (["replaced", "ignored-range", "lied-range", "refused-range"] if fig.protocol == "http"
              else ["replaced", "forgotten-rest"])
    assert all(fig.restarts[kind] >= 1 for kind in wanted), fig.restarts


# An FTP data connection reset before the client has taken it up: Wine's
# FtpOpenFileA, which accepts the data connection (active mode), then
# dereferences a null pointer. The server can get that far whenever the cut
# comes before the socket buffers are full, so the scripted server holds its
# cuts back until half a second after the connection opened (cut_grace);
# these cases ask for the crash with a grace of 0. The transfer code never
# gets its answer back; install.exe still reports it (the test after these).
WINE_EARLY_CUT_CRASH = pytest.mark.xfail(
    strict=True, reason="Wine's FtpOpenFileA crashes when the data connection is reset "
                        "before it is taken up")

# (protocol, bytes before the cut, FTP cut grace in seconds)
EARLY_CUTS = [
    ("http", 0, None), ("http", 100, None), ("http", 20_000, None),
    pytest.param("ftp", 0, 0, marks=WINE_EARLY_CUT_CRASH),
    pytest.param("ftp", 5_000, 0, marks=WINE_EARLY_CUT_CRASH),
    ("ftp", 0, 0.5), ("ftp", 5_000, 0.5), ("ftp", 70_000, 0.5),
]
EARLY = {"code": "SOAKEARLY", "key": r"Software\SoakTest\SOAKEARLY", "number": 4713}


@pytest.fixture(scope="module")
def early_data():
    return setup_version(random.Random(3), 300_000)


@pytest.fixture(scope="module")
def early_web(early_data):
    with FaultServer() as server:
        server.add_file(SETUP_PATH, early_data)
        yield server


@pytest.fixture(scope="module")
def early_ftp(early_data, tmp_path_factory):
    root = tmp_path_factory.mktemp("early")
    (root / "Setup.exe").write_bytes(early_data)
    with FtpServer(str(root)) as server:
        yield server


@pytest.fixture
def early_clean(bench):
    bench.clean_stub_state(EARLY["code"], EARLY["key"])
    yield
    bench.clean_stub_state(EARLY["code"], EARLY["key"])


@pytest.mark.parametrize("protocol, cut, grace", EARLY_CUTS)
def test_transfer_cut_in_its_first_bytes_is_reported(bench, early_web, early_ftp, early_data, early_clean,
                                                     protocol, cut, grace):
    code, key, number = EARLY["code"], EARLY["key"], EARLY["number"]
    if protocol == "http":
        early_web.set_options(SETUP_PATH, cut_after=cut)
        url = early_web.url(SETUP_PATH)
    else:
        early_ftp.set_faults(FtpFaults(cut_after=cut, cut_grace=grace))
        url = early_ftp.url("/Setup.exe")
    winfile = f"{bench.temp_dir_win}\\~{code}{number}.exe"
    r = bench.run(helper_exe("stubdriver.exe"), "transfer", url, winfile, "--resume", "0",
                  "--product", code, "--regkey", key, "--install", number, timeout=60)
    crash = [line for line in r.err.splitlines() if "Unhandled" in line]
    assert r.code == 0 and r.out.startswith("{"), f"the driver died: {crash or r.err[-300:]}"
    report = json.loads(r.out)
    assert report["result"] == 0 and report["errorCode"] != 0, report
    written = bench.to_unix(winfile).read_bytes()
    assert written == early_data[:len(written)] and len(written) <= cut


def test_install_exe_reports_a_fault_in_the_ftp_client_and_resumes(bench, early_ftp, early_data,
                                                                    early_clean, tmp_path):
    """The transfer code cannot survive a cut before the client has taken up
    the data connection (above), so the program's last line of defence must:
    the error box names the fault, and what an earlier run left stays for the
    next run to continue."""
    stub = stamp(tmp_path / "install.exe", download_url=early_ftp.url("/Setup.exe"), event_url="",
                 product_code=EARLY["code"], registry_key=EARLY["key"], title=TITLE,
                 install_number=EARLY["number"])
    partial = bench.to_unix(f"{bench.temp_dir_win}\\~{EARLY['code']}{EARLY['number']}.exe")
    log = bench.fakesetup_log(tmp_path)
    # An ordinary cut that leaves a partial file, the cut that makes the
    # client fault, then an undisturbed run.
    for step, faults in enumerate([FtpFaults(cut_after=100_000), FtpFaults(cut_after=1000, cut_grace=0),
                                   None]):
        early_ftp.set_faults(faults)
        early_ftp.clear()
        proc = bench.start(stub, env=log.env)
        try:
            box = None
            deadline = time.monotonic() + 60
            while proc.running() and not box and time.monotonic() < deadline:
                box = find_error_box(bench, 1)
            if box:
                bench.click(box["hwnd"], 1)
            result = proc.wait(timeout=30)
        finally:
            proc.kill()
            proc.discard_output()
        crash = [line for line in result.err.splitlines() if "Unhandled" in line]
        assert result.code == 0, f"install.exe exited {result.code}: {crash}"
        if step == 0:
            assert box, "no error box for the cut"
            kept = len(partial.read_bytes())
            assert 0 < kept <= 100_000 and partial.read_bytes() == early_data[:kept]
        elif step == 1:
            assert box, "no error box for the fault"
            # An access violation, by the code everyone searches for.
            assert box_text(box).endswith("Error Code: 0xC0000005"), box_text(box)
            assert [c.arg for c in early_ftp.commands if c.cmd == "REST"] == [str(resume_from(kept))]
            assert partial.read_bytes() == early_data[:kept], "the fault changed the partial file"
        else:
            assert not box, box_text(box)
            [ran] = log.wait(1)
            assert [c.arg for c in early_ftp.commands if c.cmd == "REST"] == [str(resume_from(kept))]
            assert bench.to_unix(ran["path"]).read_bytes() == early_data
