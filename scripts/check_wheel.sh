#!/usr/bin/env bash
# Proves that each repaired wheel needs nothing from the system beyond the C and C++
# runtimes: builds it (scripts/build_wheel.sh), installs it alone into a new virtual
# environment of its interpreter, and then, in private mount and network namespaces where
# the system's Cyclone DDS and iceoryx libraries and the Cyclone tools are hidden, imports
# both modules, starts the wheel's simulator and runs a short get_obs / do_action /
# Joystick exchange, then one secured by DDS Security with the wheel's own plugins
# (scripts/wheel_smoke.py). Fails if anything is loaded from outside the wheel. Each wheel's modules must also refuse to load into every other supported
# interpreter that is found, with the version guard's ImportError.
# The aarch64 wheels, which cannot run here, are checked without running them
# (scripts/inspect_wheel.py): a manylinux policy, aarch64 ELF files only, no library needed
# from outside the wheel but the C and C++ runtimes, and no Python symbol that their
# interpreter version does not define. Each check has a control that it must fail.
#
#   scripts/check_wheel.sh [--no-build] [--python X.Y ... | --all] [--arch x86_64|aarch64 ...]
#
# --no-build checks the wheels already in dist/. --python and --all choose the interpreters
# as for build_wheel.sh (default: python3's); --arch the architectures (default: both).
# Needs root (CI runs as root) or unprivileged user namespaces, for unshare.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/python_versions.sh"
start=$SECONDS

build=1
select=()
archs=()
while (($#)); do
  case "$1" in
    --no-build) build=""; shift ;;
    --python) select+=(--python "$2"); shift 2 ;;
    --all) select+=(--all); shift ;;
    --arch) archs+=("$2"); shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "check_wheel: unknown argument: $1" >&2; exit 2 ;;
  esac
done
((${#archs[@]})) || archs=(x86_64 aarch64)
native=""
foreign=()
for a in "${archs[@]}"; do
  if [ "$a" = "$(uname -m)" ]; then native=1; else foreign+=("$a"); fi
done
if [ -n "$build" ]; then
  arch_args=()
  for a in "${archs[@]}"; do arch_args+=(--arch "$a"); done
  ./scripts/build_wheel.sh "${select[@]}" "${arch_args[@]}"
fi
built=$SECONDS

# The interpreters to check, as build_wheel.sh chose them.
pythons=()
if ((${#select[@]} == 0)); then
  pythons=("${PYTHON:-python3}")
else
  for ((i = 0; i < ${#select[@]}; i++)); do
    case "${select[i]}" in
      --all) wanted=("${ALL_PYTHONS[@]}") ;;
      --python) i=$((i + 1)); wanted=("${select[i]}") ;;
    esac
    for v in "${wanted[@]}"; do
      if exe="$(find_python "$v")"; then
        pythons+=("$exe")
      elif [ "${CI:-}" = "true" ]; then
        echo "check_wheel: no CPython $v found (looked in $(pyenv_versions_dir), on PATH and at python3)" >&2
        exit 1
      else
        echo "check_wheel: no CPython $v here; its wheel is not checked"
      fi
    done
  done
fi
# The wheels for another architecture, inspected with the packaging tools of their
# interpreter (build_wheel.sh made them).
for arch in "${foreign[@]}"; do
  checked=()
  for python in "${pythons[@]}"; do
    pyver="$(python_version "$python")"
    tag="cp${pyver/./}"
    wheel="$(ls -t dist/tarvek_sdk-*-"$tag"-"$tag"-manylinux*_"$arch".whl 2>/dev/null | head -1 || true)"
    if [ -z "$wheel" ]; then
      echo "check_wheel: no $tag wheel for $arch in dist/" >&2
      exit 1
    fi
    inspect=("$root/build/wheel-tools-$pyver/bin/python" "$root/scripts/inspect_wheel.py" --arch "$arch")
    "${inspect[@]}" "$wheel" --interpreter "$python"
    checked+=("$python:$wheel")
    # Control: the same wheel before repair needs the system's Cyclone DDS.
    raw="$(ls build/wheel/raw-"$arch-$tag"/*.whl 2>/dev/null | head -1 || true)"
    if [ -n "$raw" ]; then
      if out="$("${inspect[@]}" "$raw" --interpreter "$python" --no-policy 2>&1)" \
        || [[ "$out" != *"from outside the wheel"* ]]; then
        echo "$out" >&2
        echo "check_wheel: FAIL: the unrepaired $arch wheel $raw was not caught needing system libraries" >&2
        exit 1
      fi
      echo "check_wheel: control: the unrepaired $arch wheel is caught: $(grep -m1 'from outside' <<<"$out" | sed 's/^ *//')"
    fi
  done
  # Control: a module compiled against the newest version's headers, taken for the oldest
  # version's, references symbols that version's libpython lacks.
  if ((${#checked[@]} > 1)); then
    oldest="${checked[0]%%:*}"; newest="${checked[-1]#*:}"
    if out="$("$root/build/wheel-tools-$(python_version "$oldest")/bin/python" "$root/scripts/inspect_wheel.py" \
      --arch "$arch" --no-policy "$newest" --interpreter "$oldest" 2>&1)" || [[ "$out" != *"undefined symbol"* ]]; then
      echo "$out" >&2
      echo "check_wheel: FAIL: $newest was not caught referencing symbols CPython $(python_version "$oldest") lacks" >&2
      exit 1
    fi
    echo "check_wheel: control: $(basename "$newest") taken for CPython $(python_version "$oldest") is caught:" \
      "$(grep -c 'undefined symbol' <<<"$out") symbols, e.g. $(grep -m1 'undefined symbol' <<<"$out" | sed 's/^ *//')"
  fi
done
# Each wheel checked, with its platform tag and size.
summary() {
  local a python pyver w
  for a in "${archs[@]}"; do
    for python in "${pythons[@]}"; do
      pyver="$(python_version "$python")"
      w="$(ls -t dist/tarvek_sdk-*-"cp${pyver/./}-cp${pyver/./}"-manylinux*_"$a".whl | head -1)"
      printf 'check_wheel: %-40s %6.1f MB\n' "$(basename "$w" .whl | cut -d- -f3-)" "$(($(stat -c %s "$w") / 1000))e-3"
    done
  done
  echo "check_wheel: built in $((built - start)) s, checked in $((SECONDS - built)) s"
}
if [ -z "$native" ]; then
  summary
  exit 0
fi

# Every supported interpreter present takes part in the version guard check.
others=()
for v in "${ALL_PYTHONS[@]}"; do
  exe="$(find_python "$v")" && others+=("$exe")
done

arch="$(uname -m)"
venvs=()
controls=()
for python in "${pythons[@]}"; do
  pyver="$(python_version "$python")"
  tag="cp${pyver/./}"
  wheel="$(ls -t dist/tarvek_sdk-*-"$tag"-"$tag"-manylinux*_"$arch".whl 2>/dev/null | head -1 || true)"
  if [ -z "$wheel" ]; then
    echo "check_wheel: no $tag wheel for $arch in dist/" >&2
    exit 1
  fi
  venv="$root/build/wheel/venv-check-$pyver"
  # The environments get no pip of their own (installing one costs seconds each); the
  # packaging tools' pip of the same version installs into them.
  pip=("$root/build/wheel-tools-$pyver/bin/python" -m pip --disable-pip-version-check)
  [ -x "${pip[0]}" ] || pip=("$python" -m pip --disable-pip-version-check)
  "$python" -m venv --clear --without-pip "$venv"
  # The wheel, and from the index the dependencies it declares (the recorder's MCAP library);
  # nothing of the SDK's own comes from anywhere but the wheel.
  "${pip[@]}" --python "$venv/bin/python" install -q "$wheel" 2>&1 \
    | { grep -v "^WARNING: Location .* is ignored" || true; }
  echo "check_wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) kB) installed for CPython $pyver"
  venvs+=("$venv")

  # A control that the check can fail: the same wheel before repair links the system's
  # libraries, and must be caught both by the hiding and by the loaded-library check.
  raw="$(ls build/wheel/raw-"$arch-$tag"/*.whl 2>/dev/null | head -1 || true)"
  control="$root/build/wheel/venv-unrepaired-$pyver"
  if [ -n "$raw" ]; then
    "$python" -m venv --clear --without-pip "$control"
    "${pip[@]}" --python "$control/bin/python" install -q --no-index --no-deps "$raw" 2>&1 \
      | { grep -v "^WARNING: Location .* is ignored" || true; }
    controls+=("$control")
  else
    controls+=("")
  fi

  # The version guard, as a user meets it: the wheel's own modules, loaded by path into
  # each other interpreter.
  platlib="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
  for other in "${others[@]}"; do
    [ "$(python_version "$other")" != "$pyver" ] || continue
    "$other" -I "$root/scripts/wheel_smoke.py" --refuse "$platlib" --compiled "$pyver"
  done
done

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

# In the namespaces: a private copy of the mount table in which /dev/null covers each
# hidden file (so loading one fails with "file too short" instead of finding it), and a
# network of our own with only loopback, so nobody else's DDS traffic can answer.
unshare "${userns[@]}" --mount --net --fork bash -s -- "$root" "${#venvs[@]}" \
  "${venvs[@]}" "${controls[@]}" "${hidden[@]}" <<'INNER'
set -euo pipefail
root="$1"; n="$2"; shift 2
venvs=("${@:1:n}"); controls=("${@:n+1:n}"); shift $((2 * n))
smoke() {
  "$1/bin/python" -I "$root/scripts/wheel_smoke.py" \
    --domain "$((RANDOM % 200 + 1))" --ros-domain "$((RANDOM % 30 + 201))"
}
ip link set lo up
# Run from an empty directory so that nothing but the environment provides the modules.
cd "$(mktemp -d)"
for control in "${controls[@]}"; do
  [ -n "$control" ] || continue
  if out="$(smoke "$control" 2>&1)" || [[ "$out" != *"outside the wheel"* ]]; then
    echo "$out" >&2
    echo "check_wheel: FAIL: the unrepaired wheel in $control was not caught loading system libraries" >&2
    exit 1
  fi
  echo "check_wheel: control: the unrepaired wheel is caught: ${out:0:160}..."
done
mount --make-rprivate /
for f in "$@"; do
  mount --bind /dev/null "$f"
done
echo "check_wheel: hid $# files of the Cyclone DDS and iceoryx packages"

# The hiding must bite, or the checks below would prove nothing.
if "${venvs[0]}/bin/python" -I -c 'import ctypes; ctypes.CDLL("libddsc.so.0")' 2>/dev/null; then
  echo "check_wheel: FAIL: the system's libddsc is still loadable" >&2
  exit 1
fi
if command -v idlc >/dev/null && idlc -v >/dev/null 2>&1; then
  echo "check_wheel: FAIL: the system's idlc still runs" >&2
  exit 1
fi
for control in "${controls[@]}"; do
  if [ -n "$control" ] && "$control/bin/python" -I -c 'import robot' 2>/dev/null; then
    echo "check_wheel: FAIL: the unrepaired wheel in $control still imports with Cyclone DDS hidden" >&2
    exit 1
  fi
done
for venv in "${venvs[@]}"; do
  echo "check_wheel: $venv"
  smoke "$venv"
done
INNER
echo "check_wheel: ${#venvs[@]} wheel(s) self-contained, each refused by the other interpreters"
summary
