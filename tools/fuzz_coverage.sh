#!/usr/bin/env bash
# Line and branch coverage of the compiled modules reached by a set of inputs:
# builds the modules with gcc's coverage instrumentation (no sanitizers) into
# their own environment, replays the inputs through the fuzz harness without a
# fuzzer, and reports per source file with gcovr. The frame is one object
# library linked into all five modules; gcov adds up their counts per source.
#
#   tools/fuzz_coverage.sh CORPUS_DIR_OR_FILE... [--random N]
#   tools/fuzz_coverage.sh --cases      the hand-written paths of tests/support/cases.py instead
#
# Environment: VELTRA_COV_VENV (default .venv-cov), VELTRA_COV_BUILD (default
# build/cov), VELTRA_PYTHON.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VELTRA_COV_VENV:-.venv-cov}
build=${VELTRA_COV_BUILD:-build/cov}

if [ ! -x "$venv/bin/python" ]; then
  py=${VELTRA_PYTHON:-$( (pyenv prefix 3.12 2>/dev/null || true) | head -n1)/bin/python3.12}
  "$py" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "gcovr>=7"
CXX=${CXX:-g++} "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  --force-reinstall --no-deps -Cbuild-dir="$build" -Ccmake.define.CMAKE_BUILD_TYPE=Debug \
  -Ccmake.define.CMAKE_CXX_FLAGS="--coverage -O0" -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="--coverage" .
find "$build" -name '*.gcda' -delete
find "$build" -path '*CompilerId*' -name '*.gcno' -delete  # CMake's compiler probe

if [ "${1:-}" = "--cases" ]; then
  "$venv/bin/python" - <<'PY'
import sys
sys.path.insert(0, "tests")
from support import cases
paths = cases.all_cases()
for case in paths:
    with case.prepared() as call:
        case.check(call)
print(f"{len(paths)} paths of tests/support/cases.py")
PY
else
  "$venv/bin/python" tools/fuzz_targets.py "$@"
fi
# Per file: branches (the paths through the code) with the lines where one is missed; then the totals.
"$venv/bin/gcovr" "$build" -r . --object-directory "$build" --filter 'src/' --exclude-throw-branches \
  --exclude-unreachable-branches --txt-metric branch --print-summary | sed -n '/^File/,$p'
