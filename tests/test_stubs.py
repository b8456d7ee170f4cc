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


@pytest.mark.parametrize("module", ["robot", "joystick"])
def test_every_member_has_a_reference_beyond_its_signature(module):
    # help() on the robot is the reference: a member added without one shows a bare signature.
    cls = getattr(__import__(module), module.capitalize())
    members = ["__init__"] + [n for n in vars(cls) if not n.startswith("_")]
    bare = [n for n in members if len(getattr(cls, n).__doc__.strip().splitlines()) < 3]
    assert not bare
