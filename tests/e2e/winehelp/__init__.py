"""The Wine bench for the end-to-end tests and the helpers that drive it.

One Wine prefix, one Xvfb display and one persistent wineserver serve a whole
test run. scripts/test makes them and passes WINEPREFIX and DISPLAY in the
environment; a pytest run started by hand (``pytest tests/e2e/x.py``) gets its
own, made the same way and removed at the end (see ``Bench.create``).

Windows programs run through ``wine``. Their exit code arrives as the Unix
status, so an exit code of -1 reads 255. Windows of other processes are read
and driven with the probe (tests/probe), which runs under the same wineserver.
"""

from .bench import Bench, TransferDriver, run_driver  # noqa: F401
from .files import (BIG, BIG_FROM, BIG_HEAD, BIG_TAIL, STAMP_MARKER, FakeSetupLog,  # noqa: F401
                    GiB, assert_big_file, big_file, copy_stub, find_stamp, patch_stamp,
                    read_at, read_stamp, resume_from, resume_range, sparse_file,
                    RESUME_OVERLAP)
from .processes import (REPO, WINE_ENV, Result, WineProcess, WineTimeout,  # noqa: F401
                        bench_name, closed_port, free_port, helper_exe, runs_32bit_programs, settle,
                        shipped_build, stub_build, stub_exe, wine_env, wine_loader, wineserver)
from .registry import REG_TYPES, full_key, parse_reg_export  # noqa: F401
from .windows import (IDCANCEL, IDNO, IDOK, IDYES, PROBE_NOT_FOUND, PROBE_USAGE,  # noqa: F401
                      WM_CLOSE, WM_COMMAND, box_code, box_text, child, child_text,
                      find_failure_box, finish_run, is_failure_box, run_to_end)
from .stamping import STAMP, stamp  # noqa: F401
