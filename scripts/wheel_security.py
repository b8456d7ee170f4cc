"""Adds Cyclone DDS's three security plugins to a repaired wheel, beside the libddsc it
carries, so that a configuration naming them without a path (dds_security_auth,
dds_security_ac, dds_security_crypto) finds them wherever the wheel is installed.

    python wheel_security.py WHEEL PLUGIN_DIR

Cyclone loads a plugin with dlopen("lib<name>.so") from inside libddsc, so the loader
searches libddsc's own search path: auditwheel gives the grafted libddsc "$ORIGIN", and the
plugins go into that same directory. Each plugin is linked, like libddsc, against libddsc
itself and libcrypto: its needed entries are pointed at the wheel's renamed copies (the ones
already loaded, so one libddsc and one OpenSSL serve the process), and its search path is
"$ORIGIN". libddsc's search path is made a DT_RPATH, which the loader consults before
LD_LIBRARY_PATH: a ROS 2 installation on LD_LIBRARY_PATH carries plugins of the same names,
built against another libddsc, and must not be picked instead. The wheel's RECORD is
rewritten for the files added and changed. Needs patchelf on PATH.
"""

from __future__ import annotations

import base64
import csv
import hashlib
import io
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

PLUGINS = ("libdds_security_auth.so", "libdds_security_ac.so", "libdds_security_crypto.so")
# What the plugins link besides the C library: libddsc and OpenSSL's libcrypto.
LINKED = {"libddsc.so.0debian": "libddsc-", "libcrypto.so.3": "libcrypto-"}


def patchelf(*args: str) -> str:
    return subprocess.run(["patchelf", *args], check=True, capture_output=True, text=True).stdout


def record_line(root: Path, path: Path) -> list[str]:
    data = path.read_bytes()
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [path.relative_to(root).as_posix(), f"sha256={digest}", str(len(data))]


def main() -> None:
    wheel, plugin_dir = Path(sys.argv[1]), Path(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        with zipfile.ZipFile(wheel) as zf:
            zf.extractall(root)
            # extractall drops the modes, which the programs' executable bits live in.
            modes = {i.filename: i.external_attr for i in zf.infolist()}
        libs = next(root.glob("*.libs"))
        grafted = {}
        for soname, prefix in LINKED.items():
            found = [p.name for p in libs.iterdir() if p.name.startswith(prefix)]
            if len(found) != 1:
                sys.exit(f"wheel_security: {wheel.name} carries {found or 'no'} {prefix}* in {libs.name}")
            grafted[soname] = found[0]
        libddsc = libs / grafted["libddsc.so.0debian"]
        if patchelf("--print-rpath", str(libddsc)).strip() != "$ORIGIN":
            sys.exit(f"wheel_security: {libddsc.name} does not search its own directory")
        patchelf("--force-rpath", "--set-rpath", "$ORIGIN", str(libddsc))
        for name in PLUGINS:
            source = plugin_dir / name
            if not source.is_file():
                sys.exit(f"wheel_security: no {source}")
            target = libs / name
            shutil.copyfile(source, target)
            needed = patchelf("--print-needed", str(target)).split()
            unknown = [n for n in needed if n not in LINKED and not n.startswith(("libc.so", "ld-linux"))]
            if unknown:
                sys.exit(f"wheel_security: {name} needs {unknown}, which the wheel does not carry")
            for soname in needed:
                if soname in grafted:
                    patchelf("--replace-needed", soname, grafted[soname], str(target))
            patchelf("--set-rpath", "$ORIGIN", str(target))
        dist_info = next(root.glob("*.dist-info"))
        record = dist_info / "RECORD"
        rows = [r for r in csv.reader(io.StringIO(record.read_text())) if r]
        changed = {libddsc.relative_to(root).as_posix()} | {(libs / n).relative_to(root).as_posix() for n in PLUGINS}
        own = record.relative_to(root).as_posix()
        rows = [r for r in rows if r[0] not in changed and r[0] != own]
        rows += [record_line(root, root / p) for p in sorted(changed)] + [[own, "", ""]]
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerows(rows)
        record.write_text(out.getvalue())
        # The RECORD last, as wheels are written; every file keeps its original mode.
        files = sorted(p for p in root.rglob("*") if p.is_file() and p != record)
        tmp_wheel = wheel.with_suffix(".tmp")
        with zipfile.ZipFile(tmp_wheel, "w", zipfile.ZIP_DEFLATED) as zf:
            for path in [*files, record]:
                info = zipfile.ZipInfo(path.relative_to(root).as_posix(), date_time=(1980, 1, 1, 0, 0, 0))
                name = path.relative_to(root).as_posix()
                info.external_attr = modes.get(name, (0o100755 if path.suffix == ".so" else 0o100644) << 16)
                info.compress_type = zipfile.ZIP_DEFLATED
                zf.writestr(info, path.read_bytes())
        tmp_wheel.replace(wheel)
    print(f"security: {', '.join(PLUGINS)} beside {libddsc.name}")


if __name__ == "__main__":
    main()
