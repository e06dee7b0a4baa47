#!/usr/bin/python3
"""A whole run of the stub, shown end to end on this machine.

Stamps a distribution of build/install.exe that fetches its setup over
https from a loopback nginx, pinned to the setup's SHA-256, serves the sample
setup (slowly enough that the progress dialog shows) and an event script,
runs the stub under Wine on the virtual display made by scripts/demo, saves a
screenshot of the progress dialog, and prints what happened. The event URL
points at tools/events serve (SQLite in build/demo/events.sqlite, made
afresh); at the end the funnel report is written beside it
(events-report.html, .csv) and screenshotted in chromium. The server's
certificate comes from a CA made for the demo and trusted only inside the
demo's Wine prefix. Exits 0 only when every step happened.
"""
import hashlib
import os
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from servers import Nginx, TestCA  # noqa: E402
from servers.collector import EVENTS, EventCollector  # noqa: E402
from winehelp import Bench, helper_exe, stub_exe, child_text  # noqa: E402

PRODUCT, REGKEY, CAMPAIGN, TITLE, NUMBER = "QRBLDEMO", r"Software\Quorbel Demo", "demo", "Quorbel Demo", 4242
SETUP_NAME, EVENT_PATH = "QuorbelSetup.exe", "/products/demo/scripts/event.php"


def main() -> int:
    out_dir = ROOT / "build" / "demo"
    out_dir.mkdir(parents=True, exist_ok=True)
    bench = Bench.from_environment() or Bench.create()
    checks = []

    def check(what, ok, detail=""):
        checks.append(ok)
        print(f"  [{'ok' if ok else 'FAILED'}] {what}{': ' + detail if detail else ''}")

    # The sample setup: the tests' fake setup, grown to 6 MB (the extra
    # bytes ride behind the program and change nothing when it runs).
    setup = helper_exe("fakesetup.exe").read_bytes()
    setup += b"\0" * (6 * 1024 * 1024 - len(setup))

    with tempfile.TemporaryDirectory() as tmp:
        www = Path(tmp) / "www"
        www.mkdir()
        (www / SETUP_NAME).write_bytes(setup)
        ca = TestCA(Path(tmp) / "pki", "Quorbel Demo CA")
        bench.trust_root_certificate(ca.der)
        try:
            # About 1 MB/s, so the download outlasts the dialog's grace period.
            db = out_dir / "events.sqlite"
            for old in out_dir.glob("events.sqlite*"):
                old.unlink()
            with EventCollector(str(db), path=EVENT_PATH) as server, \
                    Nginx(str(www), tls=ca.issue("localhost"), url_host="localhost",
                          extra_server="limit_rate 1000k;") as web:
                run_demo(bench, server, web, setup, out_dir, tmp, check)
            check("collector stopped cleanly", server.exit_code == 0 and "Traceback" not in server.errors(),
                  server.errors().strip()[-200:])
            write_report(db, out_dir, check)
        finally:
            bench.forget_root_certificate(ca.der)

    if bench.owned:
        bench.close()
    ok = all(checks)
    print(f"\nDemo {'passed' if ok else 'FAILED'} ({sum(checks)} of {len(checks)} checks).")
    return 0 if ok else 1


def run_demo(bench, server, web, setup, out_dir, tmp, check):
    """The run itself: the stub fetches the pinned setup over https from web."""
    stub = out_dir / "install.exe"
    pin = hashlib.sha256(setup).hexdigest()
    subprocess.run([sys.executable, str(ROOT / "tools" / "stamp"), "set", str(stub_exe()), "-o", str(stub),
                    "--download-url", web.url("/" + SETUP_NAME), "--sha256", pin,
                    "--event-url", server.url(),
                    "--product-code", PRODUCT, "--registry-key", REGKEY, "--campaign", CAMPAIGN,
                    "--title", TITLE, "--install-number", str(NUMBER)], check=True)
    print(f"Distribution: {stub}")
    subprocess.run([sys.executable, str(ROOT / "tools" / "stamp"), "show", str(stub)], check=True)

    bench.clean_stub_state(PRODUCT, REGKEY)
    bench.clear_pending_renames()
    log = bench.fakesetup_log(tmp)
    print("\nRunning the stub under Wine ...")
    run = bench.start(stub, env=log.env)

    dialog = bench.find_window(cls="#32770", title=TITLE, visible=True, timeout=30)
    shot = out_dir / "progress.png"
    if dialog:
        time.sleep(1.0)  # let a refresh or two land
        dialog = bench.window(dialog["hwnd"]) or dialog
        r = dialog["rect"]
        geometry = f"{r[2] - r[0]}x{r[3] - r[1]}+{r[0]}+{r[1]}" if isinstance(r, list) else None
        cmd = ["import", "-window", "root"] + (["-crop", geometry] if geometry else []) + [str(shot)]
        subprocess.run(cmd, env={**os.environ, "DISPLAY": bench.display}, check=False)
    check("progress dialog shown", bool(dialog),
          f"{child_text(dialog, 1002)!r}, {child_text(dialog, 1003)!r}" if dialog else "")
    check("screenshot saved", shot.exists(), str(shot))

    result = run.wait(timeout=120)
    check("stub exited with code 0", result.code == 0, str(result.code))

    conn = sqlite3.connect(server.db)
    events = conn.execute("SELECT campaign, mode, product, windows, user_agent FROM events ORDER BY id").fetchall()
    conn.close()
    print("\nEvents stored by the collector:")
    for campaign, mode, product, windows, agent in events:
        print(f"  camp={campaign} mode={mode}  User-Agent: {agent}")
    modes = [e[1] for e in events]
    check("start and finish events", modes == [1, 0], str(modes))
    check("campaign sent", all(e[0] == CAMPAIGN for e in events))
    check("product code and Windows name in the User-Agent",
          all(e[2] == PRODUCT and e[3] for e in events), ", ".join(sorted({str(e[3]) for e in events})))
    downloads = web.access_log(wait_for=1)
    served = sum(e.body_bytes_sent for e in downloads)
    check("bytes served over https", served == len(setup) and web.url("/").startswith("https:"),
          f"{served} of {len(setup)} from {web.url('/' + SETUP_NAME)}")

    runs = log.wait(1, timeout=20)
    started = runs[0]["path"] if runs else ""
    check("setup started", bool(runs), started)
    check("setup runs under its launch name", f"~mi{NUMBER}$" in started)
    same = bool(runs) and Path(bench.to_unix(started)).read_bytes() == setup
    check("the started setup is the pinned one, byte for byte", same, pin[:16] + "...")

    values = bench.reg_values(rf"HKLM\{REGKEY}") or {}
    print("\nLeft behind:")
    print(f"  HKLM\\{REGKEY}: {values}")
    check("campaign stored", values.get("Campaign") == ("REG_SZ", CAMPAIGN))
    check("resume record gone", not bench.reg_key_exists(rf"HKLM\{REGKEY}\Install\{NUMBER:08d}"))
    pending = [p for p in bench.pending_renames() if f"~mi{NUMBER}$" in p[0]]
    print(f"  deleted at reboot: {[p[0] for p in pending]}")
    check("launch file scheduled for deletion at reboot", bool(pending))
    left = [p.name for p in bench.stub_files()]
    print(f"  files in the temporary directory: {left}")
    check("no partial download left", not any(n.startswith(f"~{PRODUCT}") for n in left))
    bench.clean_stub_state(PRODUCT, REGKEY)


def write_report(db, out_dir, check):
    """The vendor's view of the run: the funnel report, and its picture."""
    html, table = out_dir / "events-report.html", out_dir / "events-report.csv"
    r = subprocess.run([sys.executable, str(EVENTS), "report", "--db", str(db), "--html", str(html),
                        "--csv", str(table)], capture_output=True, text=True)
    print(f"\nReport: {html}")
    rows = table.read_text().splitlines() if r.returncode == 0 and table.exists() else []
    for line in rows:
        print(f"  {line}")
    check("report counts one start and one finish", rows[1:2] == [f"{CAMPAIGN},1,1,1.0000,too few starts (< 30)"],
          r.stderr.strip())
    shot = out_dir / "events-report.png"
    shot.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run(["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                        "--disable-background-networking", "--disable-component-update", "--disable-sync",
                        "--no-first-run", f"--user-data-dir={profile}", "--window-size=1020,860",
                        f"--screenshot={shot}", html.as_uri()], capture_output=True, timeout=120)
    check("report screenshot saved", shot.exists(), str(shot))


if __name__ == "__main__":
    sys.exit(main())
