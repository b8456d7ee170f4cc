"""The committed type stubs are the ones generated from the built modules."""

import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("module", ["robot", "joystick"])
def test_committed_stubs_are_current(tmp_path, module):
    subprocess.run([str(ROOT / "scripts" / "stubs.sh"), str(tmp_path)], check=True)
    generated = (tmp_path / f"{module}.pyi").read_text()
    committed = (ROOT / "stubs" / f"{module}.pyi").read_text()
    assert generated == committed, "stubs are stale: run scripts/stubs.sh and commit the result"
