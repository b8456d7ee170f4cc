"""The pyconfig.h the aarch64 wheels are compiled against is made by asking the target
compiler; these check that the answers are right where a true header exists to compare."""

from __future__ import annotations

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "cross_pyconfig.py"
DEBIAN = Path("/usr/include/x86_64-linux-gnu/python3.11/pyconfig.h"), Path("/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h")


def run(*args: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, text=True)


@pytest.mark.parametrize("cc, host, native", [
    # The running interpreter's header, remade for its own machine, must come out unchanged.
    ("gcc", Path(sysconfig.get_path("include")) / "pyconfig.h", Path(sysconfig.get_path("include")) / "pyconfig.h"),
    # Debian's x86_64 header, remade for aarch64, must equal Debian's native aarch64 one.
    ("aarch64-linux-gnu-gcc", *DEBIAN),
], ids=["host", "debian-aarch64"])
def test_made_header_equals_the_native_one(cc: str, host: Path, native: Path) -> None:
    if not shutil.which(cc) or not host.exists() or not native.exists():
        pytest.skip(f"needs {cc}, {host} and {native}")
    r = run("--cc", cc, "--check", host, native)
    assert r.returncode == 0, r.stderr


def test_a_size_it_cannot_measure_is_refused(tmp_path: Path) -> None:
    if not shutil.which("gcc"):
        pytest.skip("needs gcc")
    host = tmp_path / "pyconfig.h"
    host.write_text("#define SIZEOF_INT 4\n#define SIZEOF_FANCY_T 8\n")
    r = run("--cc", "gcc", host, tmp_path / "out.h")
    assert r.returncode != 0 and "SIZEOF_FANCY_T" in r.stderr
    assert not (tmp_path / "out.h").exists()
