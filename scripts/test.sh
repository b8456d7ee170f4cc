#!/usr/bin/env bash
# The whole test suite: native test programs, then the Python suite against the installed
# SDK and the simulated controller. Extra arguments go to pytest.
#
#   scripts/test.sh [--python X.Y] [pytest arguments]
#
# --python X.Y runs the Python suite on that CPython, in .venv-X.Y (scripts/setup.sh), and
# leaves out the native test programs, which do not depend on the interpreter.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
native=1
if [ "${1:-}" = "--python" ]; then
  "$root/scripts/setup.sh" --python "$2"
  venv="$root/.venv-$2"
  native=""
  shift 2
else
  "$root/scripts/setup.sh"
fi
export PATH="$venv/bin:$PATH"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

if [ -n "$native" ]; then
  build="$root/build/native-tests"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTARVEK_PYTHON_MODULES=OFF -DTARVEK_CPP_TESTS=ON >/dev/null
  cmake --build "$build" >/dev/null
  ctest --test-dir "$build" --output-on-failure
fi

cd "$root"
python -m pytest "$@"
