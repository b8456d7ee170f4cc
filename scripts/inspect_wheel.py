"""Checks a repaired wheel for another architecture without running any of it: what a machine
of that architecture would need to load it.

- `auditwheel show` names a manylinux policy for it;
- every ELF file in it (modules, programs, carried libraries) is for that architecture;
- every library one of them needs is carried by the wheel, or is one of the C and C++
  runtimes every manylinux system has (MuJoCo, which the simulator's optional plugin takes
  from its own package, aside);
- every `Py*` / `_Py*` symbol a module leaves undefined is defined by the libpython of the
  interpreter version the wheel is for. The C API's exported names do not depend on the
  architecture, so the build machine's interpreter of that version gives the list; a module
  compiled against another version's headers references names that version lacks.

    python inspect_wheel.py WHEEL --arch aarch64 --interpreter PYTHON

PYTHON is a CPython (of any architecture) of the version whose symbols count. Prints one
line per check; on failure every failing item, then exits 1.
"""

from __future__ import annotations

import argparse
import io
import re
import subprocess
import sys
import zipfile
from pathlib import Path, PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

sys.path.insert(0, str(Path(__file__).resolve().parent))
from wheel_smoke import SYSTEM_ALLOWED  # noqa: E402  (one list for both checks)

MACHINES = {"aarch64": "EM_AARCH64", "x86_64": "EM_X86_64"}
FROM_ITS_OWN_PACKAGE = re.compile(r"^libmujoco\.so")
PYTHON_SYMBOL = re.compile(r"^_?Py")


def dynamic_symbols(elf: ELFFile, defined: bool) -> set[str]:
    dynsym = elf.get_section_by_name(".dynsym")
    if not isinstance(dynsym, SymbolTableSection):
        return set()
    return {s.name for s in dynsym.iter_symbols()
            if s.name and (s["st_shndx"] != "SHN_UNDEF") == defined}


def libpython_symbols(interpreter: str) -> tuple[str, str, set[str]]:
    """The interpreter's X.Y, the file its C API comes from (its shared libpython, else the
    executable itself, which exports the API when linked statically) and what it defines."""
    out = subprocess.run(
        [interpreter, "-c", "import sys, sysconfig, os; v = sysconfig.get_config_var;"
         "print(f'{sys.version_info[0]}.{sys.version_info[1]}');"
         "print(os.path.join(v('LIBDIR') or '', v('LDLIBRARY') or ''));"
         "print(os.path.realpath(sys.executable))"],
        capture_output=True, text=True, check=True).stdout.splitlines()
    version, lib, exe = out
    path = lib if lib.endswith(".so") or ".so." in lib else exe
    path = str(Path(path).resolve())
    with open(path, "rb") as f:
        return version, path, dynamic_symbols(ELFFile(f), defined=True)


def auditwheel_policy(wheel: Path) -> str | None:
    auditwheel = Path(sys.executable).with_name("auditwheel")
    r = subprocess.run([str(auditwheel), "show", str(wheel)], capture_output=True, text=True)
    m = re.search(r'platform\s+tag:\s*"?(manylinux_\d+_\d+_\w+)"?', " ".join((r.stdout + r.stderr).split()))
    return m.group(1) if m else None


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("wheel", type=Path)
    ap.add_argument("--arch", required=True, choices=sorted(MACHINES))
    ap.add_argument("--interpreter", required=True)
    ap.add_argument("--no-policy", action="store_true", help="skip auditwheel show (an unrepaired wheel has none)")
    args = ap.parse_args()
    name = args.wheel.name
    failures: list[str] = []

    if not args.no_policy:
        policy = auditwheel_policy(args.wheel)
        if policy:
            print(f"inspect_wheel: {name}: auditwheel: {policy}")
        else:
            failures.append("auditwheel show names no manylinux policy")

    version, libpython, api = libpython_symbols(args.interpreter)
    with zipfile.ZipFile(args.wheel) as zf:
        members = [n for n in zf.namelist() if not n.endswith("/")]
        carried = {PurePosixPath(n).name for n in members}
        elves = {}
        for n in members:
            data = zf.read(n)
            if data.startswith(b"\x7fELF"):
                elves[n] = ELFFile(io.BytesIO(data))
    # Extension modules carry the interpreter's suffix (robot and joystick at the top, the
    # recorder's inside its package); the libraries auditwheel grafted are not modules.
    modules = [n for n in elves if ".cpython-" in PurePosixPath(n).name and not n.startswith("tarvek_sdk.libs/")]
    if not any("/" not in n for n in modules):
        failures.append("no extension module at the top of the wheel")

    for n, elf in elves.items():
        if elf["e_machine"] != MACHINES[args.arch] or elf.elfclass != 64:
            failures.append(f"{n} is {elf['e_machine']} ({elf.elfclass}-bit), not {args.arch}")
        dyn = elf.get_section_by_name(".dynamic")
        needed = [t.needed for t in dyn.iter_tags("DT_NEEDED")] if isinstance(dyn, DynamicSection) else []
        for lib in needed:
            if lib not in carried and not SYSTEM_ALLOWED.match(lib) and not FROM_ITS_OWN_PACKAGE.match(lib):
                failures.append(f"{n} needs {lib}, from outside the wheel")
    print(f"inspect_wheel: {name}: {len(elves)} ELF files, all checked for {args.arch} and for what they need")

    for n in modules:
        wanted = f".cpython-{version.replace('.', '')}-{args.arch}-linux-gnu.so"
        if not n.endswith(wanted):
            failures.append(f"{n} is not named for CPython {version} on {args.arch} (*{wanted})")
        undefined = sorted(s for s in dynamic_symbols(elves[n], defined=False) if PYTHON_SYMBOL.match(s))
        missing = [s for s in undefined if s not in api]
        for s in missing:
            failures.append(f"{n}: undefined symbol {s} is not in {Path(libpython).name} (CPython {version})")
        print(f"inspect_wheel: {name}: {n}: {len(undefined) - len(missing)} of {len(undefined)} "
              f"Python symbols defined by {libpython}")

    if failures:
        print(f"inspect_wheel: FAIL: {name}:\n  " + "\n  ".join(failures))
        return 1
    print(f"inspect_wheel: {name}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
