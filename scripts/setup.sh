#!/usr/bin/env bash
# Brings a fresh Debian machine to a working checkout: system packages, a virtual
# environment in .venv, and the SDK installed into it. Safe to run again: it only
# does what is missing, and reinstalls the SDK so that source changes take effect.
#
#   scripts/setup.sh [--python X.Y]
#
# --python X.Y: the environment is .venv-X.Y on that CPython (see scripts/python_versions.sh
# for where it is looked for) instead of .venv on $PYTHON, else python3.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. "$root/scripts/python_versions.sh"

python="${PYTHON:-python3}"
venv=.venv
if [ "${1:-}" = "--python" ]; then
  python="$(find_python "$2")" || {
    echo "setup: no CPython $2 found (looked in $(pyenv_versions_dir), on PATH and at python3)" >&2
    exit 1
  }
  venv=".venv-$2"
fi

packages=(cyclonedds-dev cyclonedds-tools nlohmann-json3-dev libcli11-dev libgtest-dev g++ python3-venv)
# Mesa's offscreen OpenGL (EGL, OSMesa as the fallback) for rendering simulated runs.
packages+=(libegl1 libegl-mesa0 libgl1-mesa-dri libosmesa6)
# The doctor's tests build a controller on the other DDS implementation with its own code
# generator.
packages+=(fastddsgen libfastrtps-dev)
. "$root/scripts/apt_install.sh"
apt_install setup "${packages[@]}"

if [ ! -x "$venv/bin/python" ]; then
  echo "setup: creating $venv"
  "$python" -m venv "$venv"
fi
# Build requirements live in the environment and the build directory persists, so a
# second run rebuilds only what changed. MuJoCo goes in first: the build looks for it in
# the environment to make the simulator's rigid-body backend; it has no wheel for Python
# 3.10, where the simulator is built with the toy model only.
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" cmake ninja \
  "mujoco-core>=4.0,<4.1; python_version >= '3.11'" 2>&1 \
  | { grep -v "^WARNING: Location .* is ignored" || true; }
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation ".[test,physics,render]" 2>&1 \
  | { grep -v "^WARNING: Location .* is ignored" || true; }
echo "setup: ready ($("$venv/bin/python" -c 'import robot, sys; print(robot.__file__)'))"
