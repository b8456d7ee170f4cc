#!/usr/bin/env bash
# Regenerates stubs/robot.pyi and stubs/joystick.pyi from the installed modules.
# The test suite fails when the committed stubs differ from what this produces.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/stubs}"
"$root/.venv/bin/pybind11-stubgen" robot joystick -o "$out" >/dev/null
