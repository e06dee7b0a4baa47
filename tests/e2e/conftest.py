"""Fixtures shared by the end-to-end tests (helpers live in the winehelp package).

A case that cannot hold on one of the two benches says so where it is
defined, with its reason:

    @pytest.mark.bench("win32", reason="64-bit Wine cannot present Windows 95")

On the other bench it is skipped with that reason, and the run's summary
counts such cases; nothing is dropped silently.
"""

import pytest

from winehelp import Bench, bench_name
from winehelp.listeners import listener_guard  # noqa: F401 (autouse: no listener outlives its test)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "bench(name, reason): the case holds only on the named bench (win32 or win64)")


def pytest_collection_modifyitems(config, items):
    current = bench_name()
    for item in items:
        for mark in item.iter_markers("bench"):
            only = mark.args[0]
            reason = mark.kwargs.get("reason") or (mark.args[1] if len(mark.args) > 1 else "")
            if not reason:
                raise pytest.UsageError(f"{item.nodeid}: bench({only!r}) needs a reason")
            if only != current:
                item.add_marker(pytest.mark.skip(reason=f"only on the {only} bench: {reason}"))



def pytest_terminal_summary(terminalreporter, exitstatus, config):
    skipped = [r for r in terminalreporter.stats.get("skipped", [])
               if getattr(r, "longrepr", None) and "only on the win" in str(r.longrepr)]
    terminalreporter.write_line(
        f"bench {bench_name()}: {len(skipped)} case(s) skipped as one-bench-only")


@pytest.fixture(scope="session")
def bench():
    """The Wine bench of this run: the one scripts/test made (WINEPREFIX,
    DISPLAY), or a prefix, display and wineserver of our own, removed at the end."""
    b = Bench.from_environment()
    if b is not None:
        b.prepare()
    else:
        b = Bench.create()
    try:
        yield b
    finally:
        b.close()


@pytest.fixture
def fakesetup_log(bench, tmp_path):
    """An empty log for fakesetup.exe; hand .env to the program that starts it."""
    return bench.fakesetup_log(tmp_path)
