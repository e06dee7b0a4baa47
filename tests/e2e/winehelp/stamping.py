"""Distributions of the built stub, stamped with tools/stamp as a publisher
stamps them."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import Any

from .processes import REPO, stub_exe

STAMP = REPO / "tools" / "stamp"


def stamp(out: str | os.PathLike, base: str | os.PathLike | None = None, *,
          forced_texts: dict[int, bytes] | None = None, **values: Any) -> Path:
    """Writes out: base (the built stub when None) stamped with `stamp set`.
    values are its options by keyword (download_url="...", install_number=7;
    a list repeats the option: omit_text=[2008, 2009]; None leaves it out).
    forced_texts {id: bytes} are then written as they are, past the tool's
    checks, as a hand-edited distribution would carry them."""
    args = [sys.executable, str(STAMP), "set", str(base or stub_exe()), "-o", str(out)]
    for name, value in values.items():
        option = "--" + name.replace("_", "-")
        for one in (value if isinstance(value, (list, tuple)) else [value]):
            if one is not None:
                args += [option, str(one)]
    r = subprocess.run(args, capture_output=True, text=True)
    assert r.returncode == 0, f"stamp set failed ({r.returncode}): {r.stderr.strip()}"
    if forced_texts:
        sys.path.insert(0, str(REPO / "tools"))
        try:
            import pe
        finally:
            sys.path.pop(0)
        changes = pe.prepare_changes()
        changes.texts.update(forced_texts)
        Path(out).write_bytes(pe.stamp_image(Path(out).read_bytes(), changes)[0])
    return Path(out)
