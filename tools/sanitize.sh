#!/usr/bin/env bash
# Builds the action modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into their own virtual environment and runs the whole test suite against that
# build. Any sanitizer report fails the run.
#
#   tools/sanitize.sh [pytest args...]
#
# Environment:
#   VELTRA_ASAN_VENV   the virtual environment to use (default .venv-asan)
#   VELTRA_ASAN_BUILD  the CMake build directory (default build/asan)
#   VELTRA_PYTHON      the CPython 3.12 to make the environment with
#                      (default: found on PATH or through pyenv, as tools/find_python.sh says)
#
# The interpreter itself is not instrumented: the ASan runtime is preloaded so
# that it comes first in the process, and PYTHONMALLOC=malloc sends every object
# allocation through malloc, where ASan sees it (pymalloc would hide
# use-after-free and overflows inside its arenas). Leak detection is off because
# CPython does not free everything at exit; leaks are the soak's business
# (tools/soak.py). UBSan stops at the first report (-fno-sanitize-recover).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
venv=${VELTRA_ASAN_VENV:-.venv-asan}
build=${VELTRA_ASAN_BUILD:-build/asan}

# shellcheck source=tools/find_python.sh
source tools/find_python.sh

start=$(date +%s)
if [ ! -x "$venv/bin/python" ]; then
  py=$(find_python 3.12) || { echo "sanitize: CPython 3.12 not found (set VELTRA_PYTHON)" >&2; exit 1; }
  echo "sanitize: creating $venv with $py" >&2
  "$py" -m venv "$venv"
fi
# The package is installed with --no-deps below; its run-time dependencies come from pyproject.toml.
mapfile -t deps < <("$venv/bin/python" -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"], sep="\n")')
"$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" "pytest>=8" "hypothesis>=6" "${deps[@]}"
echo "sanitize: building with ASan+UBSan into $build" >&2
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
  -Cbuild-dir="$build" -Ccmake.define.VELTRA_SANITIZE=ON .

asan_rt=$(${CXX:-g++} -print-file-name=libasan.so)
ubsan_rt=$(${CXX:-g++} -print-file-name=libubsan.so)
[ -f "$asan_rt" ] || { echo "sanitize: libasan.so not found ($asan_rt)" >&2; exit 1; }

# Every module must really be instrumented, and its assertions live (each failing assert calls
# __assert_fail), or the run proves nothing.
for so in "$venv"/lib/python3.12/site-packages/veltra/cloud/services/actions/*.so; do
  symbols=$(nm -D "$so")
  for wanted in "__asan_init ASan" "__ubsan_handle_ UBSan" "__assert_fail live assertions"; do
    if ! grep -q "${wanted%% *}" <<<"$symbols"; then
      echo "sanitize: $so is not built with ${wanted#* } (no ${wanted%% *} symbol)" >&2; exit 1
    fi
  done
done

# Sanitizer reports go to files as well as stderr, so a report printed by a
# subprocess whose output a test swallows is still seen.
logdir=$(mktemp -d "${TMPDIR:-/tmp}/veltra-sanitize.XXXXXX")
export LD_PRELOAD="$asan_rt${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$logdir/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$logdir/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1
export VELTRA_SANITIZED=1
: "$ubsan_rt"
# The version tests run the 3.13 build that ./dev test makes, when it exists.
if [ -z "${VELTRA_PY313:-}" ] && [ -x .venv313/bin/python ]; then
  export VELTRA_PY313=$root/.venv313/bin/python
fi

status=0
"$venv/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?

unset LD_PRELOAD
reports=$(find "$logdir" -type f -size +0 | sort)
if [ -n "$reports" ]; then
  echo "sanitize: sanitizer reports:" >&2
  for f in $reports; do echo "==== $f" >&2; cat "$f" >&2; done
  status=1
fi
rm -rf "$logdir"
echo "sanitize: finished in $(( $(date +%s) - start )) s, status $status" >&2
exit $status
