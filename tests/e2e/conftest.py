"""Fixtures shared by the end-to-end tests (helpers live in winehelp.py)."""

import pytest

from winehelp import Bench


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
