"""The committed type stubs are the ones generated from the built modules."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("module", ["robot", "joystick"])
def test_committed_stubs_are_current(tmp_path, module):
    # From the modules of the interpreter running the suite, whichever environment it is.
    subprocess.run([str(ROOT / "scripts" / "stubs.sh"), str(tmp_path)], check=True,
                   env={**os.environ, "PYTHON": sys.executable})
    generated = (tmp_path / f"{module}.pyi").read_text()
    committed = (ROOT / "stubs" / f"{module}.pyi").read_text()
    assert generated == committed, "stubs are stale: run scripts/stubs.sh and commit the result"
