#!/usr/bin/env bash
# The native tests and the Python suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build directory and environment of their own
# (build/sanitize). Any sanitizer report fails the run, including one from a child
# process such as the simulator. The native tests, among them the construct/destroy
# cycles of Robot and Joystick, run with leak detection; the Python suite runs without,
# since the interpreter itself does not free everything at exit.
# Extra arguments go to pytest (for example -m "not slow").
#
#   scripts/sanitize.sh [--build-only | --no-build] [pytest arguments]
#
# --build-only stops once everything is built; --no-build runs the tests against what an
# earlier run built (CI builds first, then tests beside the other suites).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
phase=all
case "${1:-}" in
  --build-only) phase=build; shift ;;
  --no-build) phase=test; shift ;;
esac
[ "$phase" = test ] || "$root/scripts/setup.sh"  # system packages, and the build tools in .venv
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

out="$root/build/sanitize"
venv="$out/venv"
reports="$out/reports"
rm -rf "$reports"
mkdir -p "$reports"

# Clang, because its address sanitizer runtime also carries the undefined-behaviour
# checks, so both kinds of report honour log_path (with gcc the latter go to stderr only).
# Everything links the runtime as a shared library: the one preloaded into the interpreter
# is then the same one the simulator and other child processes use.
. "$root/scripts/apt_install.sh"
apt_install sanitize clang-14 libclang-rt-14-dev
cc=clang-14
cxx=clang++-14
runtime="$("$cc" -print-file-name=libclang_rt.asan-x86_64.so)"
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
link="-fsanitize=address,undefined -shared-libasan -Wl,-rpath,$(dirname "$runtime")"
# Reports go to files, so that one from a process whose exit nobody checks still counts.
asan_common="log_path=$reports/asan:halt_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"

# Ends the run when a step failed or left a report; the reports are shown either way,
# since a test program that failed only at exit (a leak) says nothing itself.
finish_step() {
  local status=$2
  if compgen -G "$reports/*" >/dev/null; then
    echo "sanitize: reports from $1:" >&2
    cat "$reports"/* >&2
    status=1
  fi
  if ((status != 0)); then
    echo "sanitize: $1 failed" >&2
    exit "$status"
  fi
}

if [ "$phase" != test ]; then
  echo "sanitize: native tests"
  PATH="$root/.venv/bin:$PATH" cmake -S "$root" -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$link" -DCMAKE_SHARED_LINKER_FLAGS="$link" \
    -DTARVEK_PYTHON_MODULES=OFF -DTARVEK_CPP_TESTS=ON -DTARVEK_TEST_PYTHON="$venv/bin/python" >/dev/null

  echo "sanitize: Python modules and simulator in $venv"
  [ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" cmake ninja 2>&1 \
    | { grep -v "^WARNING: Location .* is ignored" || true; }
  CC="$cc" CXX="$cxx" "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C build-dir="$out/wheel" -C cmake.build-type=Debug \
    -C cmake.define.CMAKE_C_FLAGS="$sanitize" -C cmake.define.CMAKE_CXX_FLAGS="$sanitize" \
    -C cmake.define.CMAKE_EXE_LINKER_FLAGS="$link" -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$link" \
    "$root[test]" 2>&1 | { grep -v "^WARNING: Location .* is ignored" || true; }

  PATH="$root/.venv/bin:$PATH" cmake --build "$out/native" >/dev/null
fi
[ "$phase" != build ] || { echo "sanitize: built"; exit 0; }
status=0
ASAN_OPTIONS="$asan_common:detect_leaks=1" PATH="$root/.venv/bin:$PATH" \
  ctest --test-dir "$out/native" --output-on-failure || status=$?
finish_step "the native tests" "$status"

# A build that silently lost its flags would pass without checking anything.
site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
for f in "$site"/robot*.so "$site"/joystick*.so "$venv/bin/tarvek-sim" "$out/native/tests/cpp/dds_layer_test"; do
  readelf -d "$f" | grep -q "libclang_rt.asan" || { echo "sanitize: $f is not instrumented" >&2; exit 1; }
done

echo "sanitize: Python suite"
# The interpreter is not instrumented: the runtime must be loaded first, and libstdc++
# with it, or the runtime's exception interceptor finds no __cxa_throw to forward to.
preload="$runtime:$("$cxx" -print-file-name=libstdc++.so.6)"
cd "$root"
status=0
# This environment has no MuJoCo, so the simulator's rigid-body plugin is not built here;
# the physics tests run against the regular build in the main suite.
# Under the sanitizer a throwing operator new that cannot be met aborts the process instead
# of raising std::bad_alloc, so the hostile-input tests leave out the one lying length that
# only a MemoryError can answer (TARVEK_SANITIZED).
LD_PRELOAD="$preload" ASAN_OPTIONS="$asan_common:detect_leaks=0" PATH="$venv/bin:$PATH" \
  TARVEK_SANITIZED=1 "$venv/bin/python" -m pytest --ignore=tests/test_physics.py "$@" || status=$?
finish_step "the Python suite" "$status"

echo "sanitize: leak check of construct/destroy cycles through the bindings"
# The interpreter leaves some objects of its own unfreed at exit, so the run ends with a
# leak report anyway: only leaks whose allocation passed through our modules, the
# simulator or the DDS library count. Any other kind of report counts as always.
leaks="$out/leaks"
rm -rf "$leaks"
mkdir -p "$leaks"
output="$(LD_PRELOAD="$preload" ASAN_OPTIONS="${asan_common//$reports/$leaks}:detect_leaks=1" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS//$reports/$leaks}" PATH="$venv/bin:$PATH" \
  "$venv/bin/python" tests/leak_cycles.py 10 2>&1)" || true
echo "$output" | grep -v "out of range" || true
"$venv/bin/python" - "$leaks" "$root" <<'PY'
import pathlib, re, sys

leaks, root = pathlib.Path(sys.argv[1]), sys.argv[2]
ours = re.compile("|".join(map(re.escape, [root, "robot.cpython", "joystick.cpython", "libddsc", "tarvek-sim"])))
bad = []
for report in sorted(leaks.iterdir()):
    text = report.read_text(errors="replace")
    if "runtime error:" in text or re.search(r"ERROR: AddressSanitizer", text):
        bad.append(text)
        continue
    for block in re.split(r"\n\s*\n", text):
        if re.match(r"\s*(Direct|Indirect) leak", block) and ours.search(block):
            bad.append(block)
if bad:
    print("sanitize: reports from the construct/destroy cycles:", *bad, sep="\n", file=sys.stderr)
    sys.exit(1)
PY
echo "$output" | grep -q "^leak_cycles: 10 cycles done" || { echo "sanitize: the cycles did not finish" >&2; exit 1; }
echo "sanitize: no reports"
