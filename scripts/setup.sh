#!/usr/bin/env bash
# Brings a fresh Debian machine to a working checkout: system packages, a virtual
# environment in .venv, and the SDK installed into it. Safe to run again: it only
# does what is missing, and reinstalls the SDK so that source changes take effect.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

packages=(cyclonedds-dev cyclonedds-tools nlohmann-json3-dev g++ python3-venv libgtest-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  "$python" -m venv .venv
fi
# Build requirements live in the environment and the build directory persists, so a
# second run rebuilds only what changed.
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" cmake ninja 2>&1 \
  | { grep -v "^WARNING: Location .* is ignored" || true; }
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]" 2>&1 \
  | { grep -v "^WARNING: Location .* is ignored" || true; }
echo "setup: ready ($(.venv/bin/python -c 'import robot, sys; print(robot.__file__)'))"
