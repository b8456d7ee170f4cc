#!/usr/bin/env bash
# Regenerates stubs/robot.pyi and stubs/joystick.pyi from the installed modules: those of
# $PYTHON's environment, else .venv's. The test suite fails when the committed stubs differ
# from what this produces.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/stubs}"
"${PYTHON:-$root/.venv/bin/python}" -m pybind11_stubgen robot joystick -o "$out" >/dev/null
