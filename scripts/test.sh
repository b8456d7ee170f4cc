#!/usr/bin/env bash
# The whole test suite: native test programs, then the Python suite against the installed
# SDK and the simulated controller. Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
export PATH="$root/.venv/bin:$PATH"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

build="$root/build/native-tests"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARVEK_PYTHON_MODULES=OFF -DTARVEK_CPP_TESTS=ON >/dev/null
cmake --build "$build" >/dev/null
ctest --test-dir "$build" --output-on-failure

cd "$root"
python -m pytest "$@"
