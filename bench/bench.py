#!/usr/bin/python3
"""The measurements behind bench/run; run through bench/run, which builds,
makes the Wine prefix and display, and passes them in the environment
(WINEPREFIX, DISPLAY, STUB_BUILD, BARELOOP).

What is measured, all on loopback, all under the same Wine and wineserver:

- throughput of the stub's download (the stamped install.exe, end to end,
  and the stubdriver's transfer, which runs the same transfer code without
  the rest of the run) against bench/bareloop.exe, a bare WinINet read loop,
  and native curl for reference; HTTP from nginx and FTP from pyftpdlib,
  the same file for all; runs interleaved, medians;
- CPU seconds per 100 MB and peak resident memory (/usr/bin/time -v);
- the size of install.exe against its budget, and its sections with their
  rights (none may be both writable and executable);
- what the SHA-256 check of the download adds to the size (against a build
  without it, STUB_SHA256_CHECK=OFF), and what the retries within the run
  and the second server add (against STUB_RETRY=OFF);
- the speed of the stub's SHA-256 (stubdriver hash, the stub's own code built
  the same way) as a ratio to sha256sum on the same file, in one run;
- the time from process start to the setup's start for a 1 MB download;
- what the proof of a continuation costs: a download cancelled at half its
  size, then continued (the driver, HTTP and FTP), with the kept bytes it
  asks for again (the overlap) and their share of the continuation's time.

Transfer time is taken at the server: nginx's $request_time (from the
request's first byte to the last byte handed to the socket) and pyftpdlib's
data connection (from the first byte queued to its close). It leaves out the
program's own start-up, so the programs are compared on the transfer alone;
the whole-process wall time is printed too.
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from servers import FtpServer, Nginx  # noqa: E402
from winehelp import (RESUME_OVERLAP, Bench, bench_name, resume_from, shipped_build,  # noqa: E402
                      stamp, wine_loader)

MB = 1024 * 1024
BUDGET_TOTAL = 44 * 1024
SLOWER_LIMIT = 1.05
# install.exe against the bare loop that reads the way the stub must: at
# most this ratio in transfer time and in CPU time per 100 MB.
STUB_GOAL = 1.10
SECTIONS = ("size", "hash", "http", "ftp", "resume", "start", "breakdown")
PRODUCT = "BENCH"
REGKEY = r"Software\StubBench"
INSTALL_NUMBER = 10000
RUN_TIMEOUT = 300
CLK_TCK = os.sysconf("SC_CLK_TCK")


class BenchError(RuntimeError):
    pass


# ------------------------------------------------------------------ output

class Report:
    """Lines go to the screen as they come and to the results file at the end."""

    def __init__(self, path):
        self.path = Path(path)
        self.lines = []

    def __call__(self, text=""):
        for line in str(text).split("\n"):
            self.lines.append(line)
            print(line, flush=True)

    def table(self, header, rows):
        widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
        fmt = lambda r: "  ".join(str(c).rjust(w) if i else str(c).ljust(w)
                                  for i, (c, w) in enumerate(zip(r, widths)))
        self("  " + fmt(header))
        for r in rows:
            self("  " + fmt(r))

    def save(self):
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.path.write_text("\n".join(self.lines) + "\n")


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, spec=".2f", none="-"):
    return none if value is None else format(value, spec)


# ------------------------------------------------------------------- size

SCN_MEM_EXECUTE, SCN_MEM_READ, SCN_MEM_WRITE = 0x20000000, 0x40000000, 0x80000000


def pe_layout(path):
    """(total bytes, headers bytes, [(name, raw size, virtual size, rights)]) of a
    PE image; rights as "r", "w" and "x" letters."""
    data = Path(path).read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise BenchError(f"{path} is not a PE image")
    count, opt_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    headers = struct.unpack_from("<I", data, pe + 24 + 60)[0]
    sections = []
    at = pe + 24 + opt_size
    for i in range(count):
        name = data[at:at + 8].rstrip(b"\0").decode("latin-1")
        vsize, _, raw, pointer = struct.unpack_from("<IIII", data, at + 8)
        flags = struct.unpack_from("<I", data, at + 36)[0]
        rights = "".join(c for c, bit in (("r", SCN_MEM_READ), ("w", SCN_MEM_WRITE),
                                          ("x", SCN_MEM_EXECUTE)) if flags & bit)
        sections.append((name, raw if pointer else 0, vsize, rights))   # no pointer: nothing in the file
        at += 40
    return len(data), headers, sections


def size_section(report, exe, nocheck=None, noretry=None, notag=None):
    total, headers, sections = pe_layout(exe)
    rsrc = sum(raw for name, raw, _, _ in sections if name == ".rsrc")
    rest = total - rsrc
    report("Size of install.exe")
    rows = [["headers", headers, "", ""]]
    rows += [[name, raw, vsize, rights] for name, raw, vsize, rights in sections]
    extra = total - headers - sum(raw for _, raw, _, _ in sections)
    if extra:
        rows.append(["(after the sections)", extra, "", ""])
    report.table(["part", "file bytes", "memory bytes", "rights"], rows)
    report(f"  total     {total:6d} bytes ({total / 1024:.1f} KB)   budget {BUDGET_TOTAL} ({BUDGET_TOTAL // 1024} KB)")
    report(f"  resources {rsrc:6d} bytes ({rsrc / 1024:.1f} KB)   (.rsrc raw size)")
    report(f"  rest      {rest:6d} bytes ({rest / 1024:.1f} KB)   (headers + code + constants + data)")
    for what, other in (("the SHA-256 check", nocheck), ("retries and the second server", noretry),
                        ("the campaign tag's reader", notag)):
        if not other or not Path(other).exists():
            continue
        # Code and data in memory (the sections' virtual sizes) tell the exact
        # bytes; the file grows in steps of its alignment.
        base_total, _, base_sections = pe_layout(other)
        memory = sum(v for n, _, v, _ in sections if n != ".rsrc")
        base_memory = sum(v for n, _, v, _ in base_sections if n != ".rsrc")
        report(f"  {what}: {memory - base_memory} bytes of code and data, "
               f"{total - base_total} bytes of file (against a build without it)")
    failures = []
    if total > BUDGET_TOTAL:
        failures.append(f"total {total} bytes is over the {BUDGET_TOTAL // 1024} KB budget by {total - BUDGET_TOTAL}")
    # A writable and executable section is what packers leave, and what
    # heuristic virus scanners look for.
    for name, _, _, rights in sections:
        if "w" in rights and "x" in rights:
            failures.append(f"section {name} is both writable and executable")
    for f in failures:
        report(f"  BUDGET FAILS: {f}")
    if not failures:
        report("  budget holds; no section is both writable and executable")
    return failures


# ------------------------------------------------------------ measurement

def wineserver_pid(prefix):
    """The wineserver of our prefix (the persistent one bench_start left)."""
    want = b"WINEPREFIX=" + os.fsencode(prefix)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            # wineserver32 on Debian's 32-bit Wine
            if not Path(f"/proc/{entry}/comm").read_text().startswith("wineserver"):
                continue
            env = Path(f"/proc/{entry}/environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if want in env:
            return int(entry)
    return None


def cpu_seconds(pid):
    """utime + stime of a live process, in seconds; None when it is gone."""
    if pid is None:
        return None
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def parse_time_v(text):
    out = {}
    for line in text.splitlines():
        key, _, value = line.strip().rpartition(": ")
        if key == "User time (seconds)":
            out["user"] = float(value)
        elif key == "System time (seconds)":
            out["sys"] = float(value)
        elif key == "Maximum resident set size (kbytes)":
            out["maxrss_kb"] = int(value)
        elif key == "Exit status":
            out["exit"] = int(value)
    return out


class Sample(dict):
    """One run: wall, user, sys, maxrss_kb, ws_cpu, server_s, exit, out, ok, why."""


class BenchRun:
    """The servers, the files and the programs of one bench run."""

    def __init__(self, args, work):
        self.args = args
        self.work = Path(work)
        self.build = Path(os.environ["STUB_BUILD"])
        self.bareloop = Path(os.environ["BARELOOP"])
        self.wine = Bench.from_environment()
        if self.wine is None:
            raise BenchError("no Wine prefix in WINEPREFIX/DISPLAY (run bench/run)")
        self.ws_pid = wineserver_pid(self.wine.prefix)
        self.temp = self.wine.to_unix(self.wine.default_temp_win)
        self.temp_win = self.wine.default_temp_win
        self.www = self.work / "www"
        self.www.mkdir()
        self.http_log = self.work / "bench-access.log"
        self.setup_log = self.work / "fakesetup.log"
        self.setup_log_win = self.wine.to_windows(self.setup_log)
        self.http_log_at = 0

    # -- files and servers

    def make_files(self):
        setup = (self.build / "tests" / "fakesetup.exe").read_bytes()
        self.size = self.args.size_mb * MB
        for name, size in (("setup.exe", self.size), ("small.exe", MB)):
            with open(self.www / name, "wb") as f:
                f.write(setup)
                f.truncate(size)     # zeros after the program: still a valid setup
        fake = self.work / "fakesetup.exe"
        shutil.copyfile(self.build / "tests" / "fakesetup.exe", fake)
        self.fakesetup = fake

    def start_servers(self, stack):
        fmt = "$request_time\\t$status\\t$body_bytes_sent\\t$uri"
        self.nginx = Nginx(self.www, extra_http=f"log_format bench '{fmt}'; "
                                                f"access_log {self.http_log} bench;")
        self.nginx.start()
        stack.append(self.nginx.stop)
        self.ftp = FtpServer(str(self.www))
        self.ftp.start()
        stack.append(self.ftp.stop)
        self.urls = {"http": self.nginx.url("/setup.exe"), "ftp": self.ftp.url("/setup.exe"),
                     "small": self.nginx.url("/small.exe"), "ftp-small": self.ftp.url("/small.exe")}
        self.sizes = {"http": self.size, "ftp": self.size, "small": MB, "ftp-small": MB}
        self.dists = {name: self.stamp(f"install-{name}.exe", url) for name, url in self.urls.items()}

    def stamp(self, name, url):
        return stamp(self.work / name, self.build / "install.exe", download_url=url, event_url="",
                     product_code=PRODUCT, registry_key=REGKEY, install_number=INSTALL_NUMBER)

    # -- one run

    def clean_temp(self):
        for p in list(self.temp.glob("~*.exe")) + list(self.temp.glob("bench-*.bin")):
            p.unlink(missing_ok=True)

    def setup_runs(self):
        try:
            return self.setup_log.read_text("latin-1").count("ran|")
        except OSError:
            return 0

    def run(self, argv, wine=True, env=None, setup=None):
        """Runs argv (under wine unless wine=False) inside /usr/bin/time -v.

        setup="poll": watch the setup log every millisecond for the time the
        setup started (setup_at, from the start of the command); "check":
        after the exit, wait for the setup's line (setup_at is then only
        whether it came). The wait for the setup is not part of wall.
        """
        tfile = self.work / "time.txt"
        ofile, efile = self.work / "out.txt", self.work / "err.txt"
        cmd = ["/usr/bin/time", "-v", "-o", str(tfile)] + ([wine_loader()] if wine else []) + list(map(str, argv))
        full_env = dict(self.wine.env)
        full_env.update(env or {})
        runs_before = self.setup_runs() if setup else 0
        setup_at = None
        ws0 = cpu_seconds(self.ws_pid)
        with open(ofile, "wb") as out, open(efile, "wb") as err:
            t0 = time.monotonic()
            p = subprocess.Popen(cmd, env=full_env, stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=err, start_new_session=True)
            watchdog = threading.Timer(RUN_TIMEOUT, os.killpg, (p.pid, signal.SIGKILL))
            watchdog.start()
            wall = None
            try:
                if setup == "poll":
                    while True:
                        now = time.monotonic()
                        if setup_at is None and self.setup_runs() > runs_before:
                            setup_at = now - t0
                        if wall is None and p.poll() is not None:
                            wall = now - t0
                        # A setup that has not come 10 s after the stub ended never will.
                        if wall is not None and (setup_at is not None or now - t0 - wall > 10):
                            break
                        time.sleep(0.001)
                else:
                    p.wait()            # no polling here: the FTP server shares this process
                    wall = time.monotonic() - t0
            finally:
                watchdog.cancel()
        if p.returncode == -signal.SIGKILL:
            raise BenchError(f"{' '.join(cmd)} still running after {RUN_TIMEOUT} s")
        ws1 = cpu_seconds(self.ws_pid)
        if setup == "check":
            deadline = time.monotonic() + 10
            while self.setup_runs() <= runs_before and time.monotonic() < deadline:
                time.sleep(0.02)
            setup_at = wall if self.setup_runs() > runs_before else None
        s = Sample(wall=wall, setup_at=setup_at, out=ofile.read_text("utf-8", "replace"),
                   err=efile.read_text("utf-8", "replace"))
        s.update(parse_time_v(tfile.read_text()))
        s["ws_cpu"] = None if ws0 is None or ws1 is None else ws1 - ws0
        return s

    def http_server_time(self, path):
        """The bench log's entry of the last request for path: (seconds, bytes sent)."""
        deadline = time.monotonic() + 10
        while True:
            with open(self.http_log, "rb") as f:
                f.seek(self.http_log_at)
                chunk = f.read()
            lines = chunk.decode("latin-1").split("\n")
            done = [l.split("\t") for l in lines[:-1]]
            hits = [d for d in done if len(d) == 4 and d[3] == path]
            if hits or time.monotonic() > deadline:
                self.http_log_at += len(chunk) - len(lines[-1])
                break
            time.sleep(0.02)
        if not hits:
            return None, 0
        t, status, sent, _ = hits[-1]
        return float(t), int(sent)

    def ftp_server_time(self, count_before):
        got = self.ftp.wait_for_transfers(count_before + 1, timeout=10)
        if len(got) <= count_before or got[-1].t_end is None:
            return None, 0, None
        t = got[-1]
        return t.t_end - t.t_start, t.sent, t.outcome

    # -- the programs

    def program(self, kind, target, extra=()):
        """A callable that runs one program once on target (http, ftp or small,
        the 1 MB file over HTTP) and returns its Sample."""
        url, size = self.urls[target], self.sizes[target]
        proto = "ftp" if target.startswith("ftp") else "http"
        out_win = self.temp_win + "\\bench-out.bin"

        def check_json(s, key_ok):
            try:
                j = json.loads(s["out"].strip().splitlines()[-1])
            except (ValueError, IndexError):
                return f"no JSON output: {s['out'][-200:]} {s['err'][-200:]}"
            return key_ok(j)

        def once():
            self.clean_temp()
            ftp_before = len(self.ftp.transfers)
            if kind == "install":
                s = self.run([self.dists[target]], env={"FAKESETUP_LOG": self.setup_log_win},
                             setup="check")
                why = None if s["setup_at"] is not None else "the setup was not started"
            elif kind == "driver":
                s = self.run([self.build / "tests" / "stubdriver.exe", "transfer", url, out_win,
                              "--resume", "0", "--product", PRODUCT, "--regkey", REGKEY + "\\driver",
                              *extra])
                why = check_json(s, lambda j: None if j.get("result") == 1 and j.get("doneBytes") == size
                                 else f"transfer failed: {j}")
            elif kind == "bare":
                s = self.run([self.bareloop, proto, url, out_win, *extra])
                why = check_json(s, lambda j: None if j.get("result") == 1 and j.get("bytes") == size
                                 else f"bare loop failed: {j}")
                if not why:
                    s["reads"] = json.loads(s["out"].strip().splitlines()[-1])["reads"]
            elif kind == "curl":
                curl_out = self.work / "curl-out.bin"
                s = self.run(["curl", "-s", "-S", "-o", curl_out, url], wine=False)
                why = None if s.get("exit") == 0 and curl_out.stat().st_size == size else "curl failed"
                curl_out.unlink(missing_ok=True)
            else:
                raise ValueError(kind)
            if proto == "ftp":
                s["server_s"], sent, outcome = self.ftp_server_time(ftp_before)
                if not why and (sent != size or outcome != "complete"):
                    why = f"server sent {sent} of {size} bytes ({outcome})"
            else:
                s["server_s"], sent = self.http_server_time(url[url.index("/", 8):])
                if not why and sent != size:
                    why = f"server sent {sent} of {size} bytes"
            s["ok"], s["why"] = why is None, why
            self.clean_temp()
            time.sleep(self.args.settle)
            return s
        return once

    def interleave(self, cases, runs, report, label):
        """cases: [(name, callable)]; runs each in turn, order rotating per round."""
        samples = {name: [] for name, _ in cases}
        for r in range(runs):
            order = cases[r % len(cases):] + cases[:r % len(cases)]
            for name, fn in order:
                s = fn()
                if not s["ok"]:
                    raise BenchError(f"{label}: {name}: {s['why']}")
                samples[name].append(s)
            print(f"  ... {label}: round {r + 1}/{runs} done", file=sys.stderr, flush=True)
        return samples


# --------------------------------------------------------------- sections

def hash_section(report, b, runs):
    """The stub's SHA-256 against sha256sum, on the bench's download file."""
    path = b.www / "setup.exe"
    size = path.stat().st_size
    want = hashlib.sha256(path.read_bytes()).hexdigest()
    driver = b.build / "tests" / "stubdriver.exe"
    stub, native = [], []
    for r in range(runs):
        # Interleaved, the file in the page cache for both.
        s = b.run([driver, "hash", b.wine.to_windows(path)])
        got = json.loads(s["out"].strip().splitlines()[-1])
        if got.get("digest") != want:
            raise BenchError(f"stubdriver hash gave {got}, hashlib {want}")
        stub.append(got["ms"] / 1000)
        s = b.run(["sha256sum", path], wine=False)
        if not s["out"].startswith(want):
            raise BenchError(f"sha256sum gave {s['out'][:80]!r}")
        native.append(s["wall"])
    ts, tn = median(stub), median(native)
    report(f"SHA-256 of the download: {size // MB} MB, {runs} runs each, interleaved, medians")
    report.table(["program", "seconds", "MB/s"],
                 [["stub (stubdriver hash, under Wine)", fmt(ts, ".3f"), fmt(size / MB / ts if ts else None, ".0f")],
                  ["sha256sum (native)", fmt(tn, ".3f"), fmt(size / MB / tn if tn else None, ".0f")]])
    report(f"  the stub takes {ts / tn:.1f} times as long as sha256sum (its own time, read from "
           "the file; sha256sum's whole process)" if tn else "  sha256sum took no measurable time")
    report("  (the stub's hash is plain 32-bit C for i486; sha256sum uses the processor's "
           "SHA instructions where it has them)")


def summarise(samples, size):
    """Per program: medians of server time, wall, CPU and peak memory."""
    out = {}
    per100 = size / (100 * MB)
    for name, runs in samples.items():
        t = median([s["server_s"] for s in runs])
        cpu = median([s["user"] + s["sys"] for s in runs])
        ws = median([s["ws_cpu"] for s in runs])
        out[name] = dict(
            server_s=t, mbps=(size / MB / t) if t else None, wall=median([s["wall"] for s in runs]),
            cpu100=cpu / per100 if cpu is not None else None,
            ws100=ws / per100 if ws is not None else None,
            both100=median([s["user"] + s["sys"] + (s["ws_cpu"] or 0) for s in runs]) / per100,
            rss=median([s["maxrss_kb"] for s in runs]) / 1024,
            rss_max=max(s["maxrss_kb"] for s in runs) / 1024,
            spread=(min(s["server_s"] for s in runs), max(s["server_s"] for s in runs)),
            n=len(runs))
    return out


# The bare loop reading the way the stub must: over HTTP each chunk is what
# InternetQueryDataAvailable announces, in a zero-filled buffer allocated for
# it; over FTP a query (answer unused) before each read of up to 64 KB.
DESIGN_READS = {"http": ("--query", "--alloc"), "ftp": ("--query-only",)}


def throughput_section(report, b, proto, runs):
    size = b.size
    small = "small" if proto == "http" else "ftp-small"
    cases = [("install.exe", b.program("install", proto)),
             ("stubdriver", b.program("driver", proto)),
             ("bare loop", b.program("bare", proto)),
             ("bare loop, stub's reads", b.program("bare", proto, DESIGN_READS[proto])),
             ("curl (native)", b.program("curl", proto)),
             # The same two on 1 MB: the CPU a run costs whatever its size.
             ("install.exe, 1 MB", b.program("install", small)),
             ("bare loop, stub's reads, 1 MB", b.program("bare", small, DESIGN_READS[proto]))]
    samples = b.interleave(cases, runs, report, proto.upper())
    fixed = {name: median([s["user"] + s["sys"] for s in samples.pop(name + ", 1 MB")])
             for name in ("install.exe", "bare loop, stub's reads")}
    summ = summarise(samples, size)
    server = "nginx" if proto == "http" else "pyftpdlib"
    report(f"{proto.upper()} throughput: {size // MB} MB from {server} on loopback, "
           f"{runs} runs each, interleaved, medians")
    rows = []
    for name, x in summ.items():
        rows.append([name, fmt(x["server_s"], ".3f"), f"{fmt(x['spread'][0], '.2f')}..{fmt(x['spread'][1], '.2f')}",
                     fmt(x["mbps"], ".0f"), fmt(x["wall"], ".2f"), fmt(x["cpu100"], ".3f"),
                     fmt(x["ws100"], ".3f"), fmt(x["both100"], ".3f"), fmt(x["rss"], ".1f")])
    report.table(["program", "transfer s", "min..max", "MB/s", "wall s", "CPU s/100MB",
                  "+wineserver", "together", "max RSS MB"], rows)
    if proto == "http":
        report("  transfer s: nginx's $request_time, from the request's first byte to the last byte "
               "handed to the socket;")
    else:
        report("  transfer s: pyftpdlib's data connection, from the first byte queued to its close;")
    report("  wall s: the whole process (Wine's start, the program's own start-up, for install.exe "
           "also the launch).")
    bare, design = summ["bare loop"], summ["bare loop, stub's reads"]
    ratios = {}
    for against, ref in (("bare loop", bare), ("bare loop with the stub's reads", design)):
        for name in ("install.exe", "stubdriver"):
            r = summ[name]["server_s"] / ref["server_s"]
            best = summ[name]["spread"][0] / ref["spread"][0]
            w = summ[name]["wall"] / ref["wall"]
            c = summ[name]["cpu100"] / ref["cpu100"] if ref["cpu100"] else None
            ratios[(name, against)] = (r, best, c)
            report(f"  {name} / {against}: transfer time x{r:.2f} ({(r - 1) * 100:+.0f} %), "
                   f"throughput x{1 / r:.2f}; best runs x{best:.2f}; whole process wall time x{w:.2f}; "
                   f"CPU per 100 MB x{fmt(c, '.2f')}")
    # The transfer's own CPU: the run's CPU less that of a 1 MB run (start-up,
    # window, launch), per 100 MB of the difference.
    loop = "bare loop, stub's reads"
    per100 = (size - MB) / (100 * MB)
    own = {name: (median([s["user"] + s["sys"] for s in samples[name]]) - fixed[name]) / per100
           for name in fixed}
    c = own["install.exe"] / own[loop] if own[loop] > 0 else None
    ratios[("install.exe", "transfer CPU")] = (None, None, c)
    report(f"  CPU of a 1 MB run: install.exe {fixed['install.exe']:.2f} s, {loop} "
           f"{fixed[loop]:.2f} s; the rest per 100 MB: install.exe {own['install.exe']:.3f} s, "
           f"{loop} {own[loop]:.3f} s: x{fmt(c, '.2f')}")
    r = design["server_s"] / bare["server_s"]
    report(f"  bare loop with the stub's reads / bare loop: transfer time x{r:.2f} (what the read "
           "rule itself costs on this client)")
    c = summ["curl (native)"]
    report(f"  bare loop / curl: transfer time x{bare['server_s'] / c['server_s']:.1f} "
           "(Wine's WinINet against a native client, for reference)")
    return summ, ratios


def resume_section(report, b, runs):
    """A download cancelled at half its size, then continued by the driver:
    the continuation asks for the overlap again and compares it with the
    kept bytes before it writes. Its cost: those bytes, and their time at the
    continuation's own rate."""
    out_win = b.temp_win + "\\bench-out.bin"
    rows = []
    for proto in ("http", "ftp"):
        url, size = b.urls[proto], b.sizes[proto]
        regkey = REGKEY + "\\resume-" + proto
        walls, servers, sent_all, kept_all = [], [], [], []
        for _ in range(runs):
            b.clean_temp()
            b.wine.reg_delete(rf"HKLM\{regkey}")
            first = b.run([b.build / "tests" / "stubdriver.exe", "transfer", url, out_win,
                           "--resume", "0", "--cancel-at", size // 2, "--product", PRODUCT,
                           "--regkey", regkey])
            kept = (b.temp / "bench-out.bin").stat().st_size
            if proto == "http":
                b.http_server_time(url[url.index("/", 8):])
            ftp_before = len(b.ftp.transfers)
            s = b.run([b.build / "tests" / "stubdriver.exe", "transfer", url, out_win,
                       "--resume", "1", "--product", PRODUCT, "--regkey", regkey])
            j = json.loads(s["out"].strip().splitlines()[-1])
            if (j.get("result"), j.get("doneBytes"), j.get("baseBytes")) != (1, size, kept):
                raise BenchError(f"resume {proto}: continuation failed: {j} (first: {first['out'][-200:]})")
            if proto == "ftp":
                server_s, sent, _ = b.ftp_server_time(ftp_before)
            else:
                server_s, sent = b.http_server_time(url[url.index("/", 8):])
            if sent != size - resume_from(kept):
                raise BenchError(f"resume {proto}: server sent {sent} bytes, expected "
                                 f"{size - resume_from(kept)}")
            walls.append(s["wall"])
            servers.append(server_s)
            sent_all.append(sent)
            kept_all.append(kept)
            b.clean_temp()
            time.sleep(b.args.settle)
        b.wine.reg_delete(rf"HKLM\{regkey}")
        server_s, kept, sent = median(servers), median(kept_all), median(sent_all)
        overlap = kept - resume_from(kept)
        rate = sent / server_s if server_s else None
        rows.append([proto.upper(), int(kept), int(sent), overlap,
                     f"{overlap / sent * 100:.3f}", fmt(server_s, ".3f"), fmt(median(walls), ".2f"),
                     fmt(overlap / rate * 1000 if rate else None, ".2f")])
    report(f"Continuation: {b.size // MB} MB, cancelled at half, then continued by the driver; "
           f"{runs} runs each, medians")
    report.table(["protocol", "kept bytes", "bytes sent", "overlap", "overlap %", "transfer s",
                  "wall s", "overlap ms"], rows)
    report(f"  overlap: the kept bytes asked for again ({RESUME_OVERLAP} at most) and compared with "
           "the file before anything is written;")
    report("  overlap ms: their time at the continuation's own rate (bytes sent / transfer s).")


def start_section(report, b, runs):
    direct = b.fakesetup

    def setup_direct():
        s = b.run([direct], env={"FAKESETUP_LOG": b.setup_log_win}, setup="poll")
        s["ok"], s["why"] = s["setup_at"] is not None, "fakesetup did not log"
        s["server_s"] = None
        time.sleep(b.args.settle)
        return s

    def stub():
        b.clean_temp()
        s = b.run([b.dists["small"]], env={"FAKESETUP_LOG": b.setup_log_win}, setup="poll")
        s["ok"], s["why"] = s["setup_at"] is not None, "the setup was not started"
        b.http_server_time("/small.exe")
        b.clean_temp()
        time.sleep(b.args.settle)
        return s

    samples = b.interleave([("install.exe, 1 MB download", stub),
                            ("fakesetup.exe started directly", setup_direct),
                            ("bare loop, 1 MB download (no setup)", b.program("bare", "small"))],
                           runs, report, "start")
    report(f"Time from process start to the setup's start ({runs} runs each, medians)")
    report("  from the start of `wine install.exe` to fakesetup's log line appearing (polled every 1 ms)")
    rows = []
    for name, runs_ in samples.items():
        t = [s["setup_at"] for s in runs_ if s["setup_at"] is not None]
        rows.append([name, fmt(median(t), ".3f"), f"{min(t):.3f}..{max(t):.3f}" if t else "-",
                     fmt(median([s["wall"] for s in runs_]), ".3f")])
    report.table(["", "to setup start s", "min..max", "process wall s"], rows)
    a = median([s["setup_at"] for s in samples["install.exe, 1 MB download"]])
    d = median([s["setup_at"] for s in samples["fakesetup.exe started directly"]])
    report(f"  install.exe takes {a - d:.3f} s longer than starting the setup directly: its own "
           "Wine process start, progress thread,")
    report("  internet session, the 1 MB transfer, rename and CreateProcess; the bare loop's "
           "wall time is Wine's start plus WinINet for 1 MB.")


BREAKDOWN_HTTP = [
    ("bare loop, 64 KB reads", "bare", ()),
    ("  the same without WriteFile", "bare", ("--nowrite",)),
    ("bare loop, 8 KB reads", "bare", ("--buffer", "8192")),
    ("query + read what it announces", "bare", ("--query",)),
    ("  the same without WriteFile (announced)", "bare", ("--query", "--nowrite")),
    ("  + GlobalAlloc per chunk", "bare", ("--query", "--alloc")),
    ("  + posts as PostProgress (2 s grace)", "bare", ("--query", "--alloc", "--post", "--grace", "2000")),
    ("stubdriver, no window", "driver", ()),
    ("stubdriver --window", "driver", ("--window",)),
    ("query, then read 64 KB", "bare", ("--query-only",)),
]

BREAKDOWN_FTP = [
    ("bare loop, 64 KB reads", "bare", ()),
    ("  the same without WriteFile", "bare", ("--nowrite",)),
    ("  + query per pass", "bare", ("--query-only",)),
    ("  + posts as PostProgress (2 s grace)", "bare", ("--query-only", "--post", "--grace", "2000")),
    ("stubdriver, no window", "driver", ()),
    ("stubdriver --window", "driver", ("--window",)),
]


BREAKDOWN_NOTES = {
    "http": [
        "The stub's HTTP loop is: query, read what it announces, into a GlobalAlloc'ed chunk, write,",
        "PostProgress. Wine's InternetQueryDataAvailable announces at most 8192 bytes. The bare",
        "variants put one piece back at a time; \"posts\" go to a window whose thread takes no",
        "messages for 2 s, as the progress dialog's grace period, so until then every chunk posts.",
        "The last row asks for 64 KB after the query (not what the stub may do today).",
    ],
    "ftp": [
        "The stub's FTP loop is: query (answer unused), read up to its one 64 KB buffer, write,",
        "PostProgress; so the bare loop differs from it only by the query and the posts.",
    ],
}


def breakdown_section(report, b, proto, runs):
    table = BREAKDOWN_HTTP if proto == "http" else BREAKDOWN_FTP
    cases = [(name, b.program(kind, proto, extra)) for name, kind, extra in table]
    samples = b.interleave(cases, runs, report, f"{proto.upper()} breakdown")
    summ = summarise(samples, b.size)
    report(f"Where the time goes, {proto.upper()} ({b.size // MB} MB, {runs} runs each, interleaved, medians)")
    base = summ[table[0][0]]["server_s"]
    rows = []
    for name, kind, extra in table:
        x = summ[name]
        reads = median([s.get("reads") for s in samples[name]])
        rows.append([name, fmt(x["server_s"], ".3f"),
                     f"{fmt(x['spread'][0], '.2f')}..{fmt(x['spread'][1], '.2f')}",
                     f"x{x['server_s'] / base:.2f}", fmt(x["mbps"], ".0f"), fmt(x["cpu100"], ".3f"),
                     fmt(x["ws100"], ".3f"), fmt(x["both100"], ".3f"),
                     "-" if reads is None else f"{reads:.0f}", fmt(x["rss"], ".1f")])
    report.table(["variant", "transfer s", "min..max", "vs first", "MB/s", "CPU s/100MB",
                  "+wineserver", "together", "reads", "max RSS MB"], rows)
    for line in BREAKDOWN_NOTES[proto]:
        report("  " + line)
    return summ


# ------------------------------------------------------------------- main

def header(report, b, args):
    def cmd(*a):
        try:
            return subprocess.run(a, capture_output=True, text=True, cwd=REPO).stdout.strip()
        except OSError:
            return "?"
    dirty = " (with local changes)" if cmd("git", "status", "--porcelain", "--untracked-files=no") else ""
    report(f"bench/run {' '.join(sys.argv[1:])}".rstrip())
    report(f"  {time.strftime('%Y-%m-%d %H:%M:%S')}  commit {cmd('git', 'rev-parse', '--short', 'HEAD')}{dirty}"
           f"  {cmd(wine_loader(), '--version')}  {os.cpu_count()} CPUs  load {os.getloadavg()[0]:.2f}")
    report(f"  bench {bench_name()}: the programs run are those of {b.build}; the size is of the "
           f"shipped {shipped_build() / 'install.exe'}")
    report("  The machine is shared with other work: figures vary from run to run; compare only "
           "figures of the same run.")
    report("  CPU and memory are of the Windows program's own process as /usr/bin/time -v sees it "
           "(wine -> wine-preloader ->")
    report("  the program, one Unix process: its threads and Wine's DLLs in it). Not in it: the "
           "wineserver (its CPU is shown")
    report("  apart, as the change of its CPU time over the run), Xvfb, Wine's desktop process, "
           "and the setup that")
    report("  install.exe starts (a new process).")
    report()


def main():
    ap = argparse.ArgumentParser(prog="bench/run", description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="50 MB file, 3 runs each")
    ap.add_argument("--runs", type=int, help="runs of each program (default 5, quick 3)")
    ap.add_argument("--size-mb", type=int, help="size of the download (default 200, quick 50)")
    ap.add_argument("--breakdown", choices=("auto", "always", "never"), default="auto",
                    help="the per-step experiments: when the stub is over 5 %% slower (auto)")
    ap.add_argument("--breakdown-runs", type=int, default=3,
                    help="runs of each variant in the experiments (default 3)")
    ap.add_argument("--settle", type=float, default=0.3, help="pause after each run, seconds")
    ap.add_argument("--only", default=",".join(SECTIONS),
                    help="comma-separated sections to run, of: " + ", ".join(SECTIONS))
    ap.add_argument("--out", default=str(REPO / "bench" / "results" / "latest.txt"))
    args = ap.parse_args()
    args.runs = args.runs or (3 if args.quick else 5)
    args.size_mb = args.size_mb or (50 if args.quick else 200)
    sections = set(args.only.split(","))
    if sections - set(SECTIONS):
        ap.error("unknown section: " + ", ".join(sorted(sections - set(SECTIONS))))

    report = Report(args.out)
    work = tempfile.mkdtemp(prefix="stubbench-data.")
    stack = []
    status = 0
    t_start = time.monotonic()
    try:
        b = BenchRun(args, work)
        header(report, b, args)
        budget_failures = []
        if "size" in sections:
            budget_failures = size_section(report, shipped_build() / "install.exe",
                                           os.environ.get("NOCHECK"), os.environ.get("NORETRY"),
                                           os.environ.get("NOTAG"))
            report()
        b.make_files()
        if "hash" in sections:
            hash_section(report, b, args.runs)
            report()
        b.start_servers(stack)
        b.wine.reg_delete(rf"HKLM\{REGKEY}")
        # Warm up: every program once (page cache, Wine's DLLs), not counted.
        for kind in ("install", "driver", "bare"):
            b.program(kind, "small")()
        b.program("bare", "http")()

        results = {}
        for proto in ("http", "ftp"):
            if proto in sections:
                summ, ratios = throughput_section(report, b, proto, args.runs)
                results[proto] = ratios
                report()
        if "resume" in sections:
            resume_section(report, b, args.runs)
            report()
        if "start" in sections:
            start_section(report, b, max(2 * args.runs, 6))
            report()

        slow = {p for p, r in results.items()
                if max(m for m, _, _ in r.values() if m is not None) > SLOWER_LIMIT}
        for proto in ("http", "ftp"):
            if ("breakdown" in sections and (args.breakdown == "always" or proto in slow
                                             or proto not in results)
                    and args.breakdown != "never"):
                breakdown_section(report, b, proto, args.breakdown_runs)
                report()
        verdicts = []
        for proto, r in results.items():
            for (program, against), (x, best, c) in r.items():
                if x is None:
                    continue
                state = "within" if x <= SLOWER_LIMIT else "OVER"
                verdicts.append(f"{proto.upper()} {program} {state} 5 % of the {against} "
                                f"({(x - 1) * 100:+.0f} % transfer time, median; "
                                f"best runs {(best - 1) * 100:+.0f} %; CPU x{fmt(c, '.2f')})")
            x, _, c = r[("install.exe", "bare loop with the stub's reads")]
            own = r[("install.exe", "transfer CPU")][2]
            state = "meets" if x <= STUB_GOAL and own is not None and own <= STUB_GOAL else "MISSES"
            verdicts.append(f"{proto.upper()} install.exe {state} the x{STUB_GOAL:.2f} goal against the "
                            f"bare loop with the stub's reads: transfer time x{x:.2f}, CPU per "
                            f"100 MB x{fmt(c, '.2f')} (the whole run), x{fmt(own, '.2f')} (the transfer, "
                            "without a 1 MB run's CPU)")
        report("Summary")
        for v in verdicts:
            report("  " + v)
        for f in budget_failures:
            report("  BUDGET FAILS: " + f)
        if not budget_failures:
            report("  size budget holds")
        report(f"  bench time {time.monotonic() - t_start:.0f} s")
        if budget_failures:
            status = 1
    except BenchError as e:
        report(f"bench/run: {e}")
        status = 2
    except Exception:
        report(traceback.format_exc())
        status = 2
    finally:
        for stop in reversed(stack):
            try:
                stop()
            except Exception:
                pass
        shutil.rmtree(work, ignore_errors=True)
        report.save()
        print(f"(written to {report.path})", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
