#!/usr/bin/env bash
# Checks the house style and fails on any finding:
#   clang-format (C++ layout), ruff check and ruff format (Python), clang-tidy
#   (C++, with the compile database of a CMake configure), shellcheck (shell).
#
#   tools/lint.sh            check only
#   tools/lint.sh --fix      first apply clang-format, ruff format and ruff's safe fixes, then check
#   tools/lint.sh --no-tidy  leave out clang-tidy (the slow part)
#
# The tools come pinned from tools/lint-requirements.txt into their own virtual
# environment, so a clean clone needs nothing but CPython 3.12 and a C++ compiler.
#
# Environment:
#   VELTRA_LINT_VENV   the tools' virtual environment (default .venv-lint)
#   VELTRA_LINT_BUILD  the CMake build directory for the compile database (default build/lint)
#   VELTRA_PYTHON      the CPython 3.12 to make the environment with (default: found on PATH or through pyenv)
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VELTRA_LINT_VENV:-.venv-lint}
build=${VELTRA_LINT_BUILD:-build/lint}
fix=0 tidy=1
for arg in "$@"; do
  case "$arg" in
    --fix) fix=1 ;;
    --no-tidy) tidy=0 ;;
    *) echo "usage: tools/lint.sh [--fix] [--no-tidy]" >&2; exit 2 ;;
  esac
done

# shellcheck source=tools/find_python.sh
source tools/find_python.sh

if [ ! -x "$venv/bin/python" ]; then
  py=$(find_python 3.12) || { echo "lint: CPython 3.12 not found (set VELTRA_PYTHON)" >&2; exit 1; }
  "$py" -m venv "$venv"
fi
# Reinstall only when the pins change.
if ! cmp -s tools/lint-requirements.txt "$venv/.pins"; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r tools/lint-requirements.txt
  cp tools/lint-requirements.txt "$venv/.pins"
fi
bin=$venv/bin

files() {  # files PATTERN... -> tracked and new (not ignored) files, one a line
  git ls-files --cached --others --exclude-standard -- "$@" | sort -u | while read -r f; do [ -f "$f" ] && echo "$f"; done
}
mapfile -t cxx < <(files '*.cpp' '*.h')
mapfile -t sources < <(files '*.cpp')
mapfile -t shells < <(files '*.sh' dev .ci/run)

if [ "$fix" = 1 ]; then
  "$bin/clang-format" -i "${cxx[@]}"
  "$bin/ruff" format -q .
  "$bin/ruff" check -q --fix . || true
fi

status=0
step() {  # step NAME COMMAND... : runs a check, remembers a failure, goes on
  local name=$1; shift
  if "$@"; then echo "lint: $name: clean" >&2; else echo "lint: $name: FINDINGS" >&2; status=1; fi
}
step clang-format "$bin/clang-format" --dry-run -Werror "${cxx[@]}"
step "ruff check" "$bin/ruff" check -q .
step "ruff format" "$bin/ruff" format -q --check .
step shellcheck "$bin/shellcheck" "${shells[@]}"

# shellcheck disable=SC2329  # invoked through step
tidy_all() {  # clang-tidy over every C++ source, two at a time
  printf '%s\n' "${sources[@]}" | xargs -P "${VELTRA_LINT_JOBS:-2}" -n 1 \
    "$bin/clang-tidy" -p "$build" --quiet --warnings-as-errors='*' 2>&1 | sed '/^[0-9]* warnings\? generated\.$/d'
}
if [ "$tidy" = 1 ]; then
  # The compile database of a plain configure, against CPython 3.12's headers.
  cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$(cd "$venv" && pwd)/bin/python" >/dev/null
  step clang-tidy tidy_all
fi
exit $status
