#!/usr/bin/env bash
# Brings a fresh Debian machine to a working checkout: system packages, a virtual
# environment in .venv, and the SDK installed into it. Safe to run again: it only
# does what is missing, and reinstalls the SDK so that source changes take effect.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

packages=(cyclonedds-dev cyclonedds-tools nlohmann-json3-dev libcli11-dev libgtest-dev g++ python3-venv)
# Mesa's offscreen OpenGL (EGL, OSMesa as the fallback) for rendering simulated runs.
packages+=(libegl1 libegl-mesa0 libgl1-mesa-dri libosmesa6)
. "$root/scripts/apt_install.sh"
apt_install setup "${packages[@]}"

python="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  "$python" -m venv .venv
fi
# Build requirements live in the environment and the build directory persists, so a
# second run rebuilds only what changed. MuJoCo goes in first: the build looks for it in
# the environment to make the simulator's rigid-body backend.
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" cmake ninja \
  "mujoco-core>=4.0,<4.1; python_version >= '3.11'" 2>&1 \
  | { grep -v "^WARNING: Location .* is ignored" || true; }
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation ".[test,physics,render]" 2>&1 \
  | { grep -v "^WARNING: Location .* is ignored" || true; }
echo "setup: ready ($(.venv/bin/python -c 'import robot, sys; print(robot.__file__)'))"
