#!/usr/bin/env bash
# Proves that the repaired wheel needs nothing from the system beyond the C and C++
# runtimes: builds it (scripts/build_wheel.sh), installs it alone into a new virtual
# environment, and then, in private mount and network namespaces where the system's
# Cyclone DDS and iceoryx libraries and the Cyclone tools are hidden, imports both modules,
# starts the wheel's simulator and runs a short get_obs / do_action / Joystick exchange
# (scripts/wheel_smoke.py). Fails if anything is loaded from outside the wheel.
#
#   scripts/check_wheel.sh [--no-build]     --no-build: check the wheel already in dist/
#
# Needs root (CI runs as root) or unprivileged user namespaces, for unshare.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
start=$SECONDS

[ "${1:-}" = "--no-build" ] || ./scripts/build_wheel.sh
wheel="$(ls -t dist/tarvek_sdk-*-manylinux*_"$(uname -m)".whl | head -1)"

venv="$root/build/wheel/venv-check"
python="${PYTHON:-python3}"
"$python" -m venv --clear "$venv"
# The wheel, and from the index the dependencies it declares (the recorder's MCAP library);
# nothing of the SDK's own comes from anywhere but the wheel.
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" 2>&1 \
  | { grep -v "^WARNING: Location .* is ignored" || true; }

# A control that the check can fail: the same wheel before repair links the system's
# libraries, and must be caught both by the hiding and by the loaded-library check.
control="$root/build/wheel/venv-unrepaired"
raw="$(ls build/wheel/raw-"$(uname -m)"/*.whl 2>/dev/null | head -1 || true)"
if [ -n "$raw" ]; then
  "$python" -m venv --clear "$control"
  "$control/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$raw" 2>&1 \
    | { grep -v "^WARNING: Location .* is ignored" || true; }
else
  control=""
fi

# Every installed file of the Cyclone DDS and iceoryx packages that a process could load
# or run: shared objects and programs.
hidden=()
while read -r pkg; do
  while read -r f; do
    if [ -f "$f" ] && [ ! -L "$f" ] && { [[ "$f" == *.so* ]] || [[ "$f" == */bin/* ]]; }; then
      hidden+=("$f")
    fi
  done < <(dpkg -L "$pkg" 2>/dev/null)
done < <(dpkg-query -W -f='${binary:Package} ${Status}\n' 2>/dev/null \
  | awk '$NF == "installed" && $1 ~ /^(libddsc|libcyclonedds|cyclonedds|libiceoryx)/ && $1 !~ /:arm64$/ {print $1}')
if ((${#hidden[@]} == 0)); then
  echo "check_wheel: no Cyclone DDS package installed; nothing to hide"
fi

userns=()
[ "$(id -u)" -eq 0 ] || userns=(--map-root-user)
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
workdir="$(mktemp -d)"
trap 'rm -rf "$workdir"' EXIT

# In the namespaces: a private copy of the mount table in which /dev/null covers each
# hidden file (so loading one fails with "file too short" instead of finding it), and a
# network of our own with only loopback, so nobody else's DDS traffic can answer.
unshare "${userns[@]}" --mount --net --fork bash -s -- "$venv" "$control" "$root" "${hidden[@]}" <<'INNER'
set -euo pipefail
venv="$1"; control="$2"; root="$3"; shift 3
smoke() {
  "$1/bin/python" -I "$root/scripts/wheel_smoke.py" \
    --domain "$((RANDOM % 200 + 1))" --ros-domain "$((RANDOM % 30 + 201))"
}
ip link set lo up
# Run from an empty directory so that nothing but the environment provides the modules.
cd "$(mktemp -d)"
if [ -n "$control" ]; then
  if out="$(smoke "$control" 2>&1)" || [[ "$out" != *"outside the wheel"* ]]; then
    echo "$out" >&2
    echo "check_wheel: FAIL: the unrepaired wheel was not caught loading system libraries" >&2
    exit 1
  fi
  echo "check_wheel: control: the unrepaired wheel is caught: ${out:0:160}..."
fi
mount --make-rprivate /
for f in "$@"; do
  mount --bind /dev/null "$f"
done
echo "check_wheel: hid $# files of the Cyclone DDS and iceoryx packages"

# The hiding must bite, or the check below would prove nothing.
if "$venv/bin/python" -I -c 'import ctypes; ctypes.CDLL("libddsc.so.0")' 2>/dev/null; then
  echo "check_wheel: FAIL: the system's libddsc is still loadable" >&2
  exit 1
fi
if command -v idlc >/dev/null && idlc -v >/dev/null 2>&1; then
  echo "check_wheel: FAIL: the system's idlc still runs" >&2
  exit 1
fi
if [ -n "$control" ] && "$control/bin/python" -I -c 'import robot' 2>/dev/null; then
  echo "check_wheel: FAIL: the unrepaired wheel still imports with Cyclone DDS hidden" >&2
  exit 1
fi
smoke "$venv"
INNER
echo "check_wheel: $(basename "$wheel") is self-contained ($((SECONDS - start)) s)"
