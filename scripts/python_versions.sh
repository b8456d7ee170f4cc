# Sourced by the scripts here: where the CPython interpreters the SDK supports are found.
# ALL_PYTHONS lists the versions; `find_python X.Y` prints the newest pyenv X.Y.* (pyenv's
# root from `pyenv root`, else ~/.pyenv), else pythonX.Y on PATH, else python3 when it is
# X.Y, and fails when there is none; `python_version EXE` prints an interpreter's X.Y.
ALL_PYTHONS=(3.10 3.11 3.12 3.13)

pyenv_versions_dir() {
  local r
  r="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
  echo "$r/versions"
}

python_version() {
  "$1" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")'
}

find_python() {
  local want=$1 d exe
  # Newest patch release first; a prefix match must not take 3.1 for 3.10.
  for d in $(ls -d "$(pyenv_versions_dir)/$want".* 2>/dev/null | sort -rV); do
    exe="$d/bin/python$want"
    if [ -x "$exe" ] && [ "$(python_version "$exe" 2>/dev/null)" = "$want" ]; then
      echo "$exe"
      return 0
    fi
  done
  for exe in "python$want" python3; do
    if command -v "$exe" >/dev/null && [ "$(python_version "$exe" 2>/dev/null)" = "$want" ]; then
      command -v "$exe"
      return 0
    fi
  done
  return 1
}
