#!/usr/bin/env bash
# Coverage-guided fuzzing of the action modules (atheris, i.e. libFuzzer, on
# CPython 3.12), built with clang's ASan and UBSan and libFuzzer's coverage
# instrumentation. See docs/hardening.md.
#
#   tools/fuzz.sh --smoke             a seeded run of 5,000 inputs (CI)
#   tools/fuzz.sh [libFuzzer args]    anything else, e.g.
#   tools/fuzz.sh -max_total_time=1800 -print_final_stats=1 build/fuzz-corpus
#
# Environment:
#   VELTRA_FUZZ_VENV   the virtual environment (default .venv-fuzz)
#   VELTRA_FUZZ_BUILD  the CMake build directory (default build/fuzz)
#   VELTRA_PYTHON      the CPython 3.12 to make the environment with
#   CXX                the clang++ to build with (default clang++-16; as root,
#                      clang-16 is installed from Debian when it is missing)
#
# The modules are built with -fsanitize=address,undefined,fuzzer-no-link
# (CMake options VELTRA_SANITIZE and VELTRA_FUZZ), and atheris's ASan runtime
# with libFuzzer in it is preloaded (the interpreter is not instrumented).
# PYTHONMALLOC=malloc puts every object allocation where ASan sees it. A crash,
# a sanitizer report or a broken invariant (tools/fuzz_targets.py) stops the run
# with the input saved as crash-*/oom-*/timeout-* in tools/fuzz_findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
venv=${VELTRA_FUZZ_VENV:-.venv-fuzz}
build=${VELTRA_FUZZ_BUILD:-build/fuzz}
atheris_version="3.1.0"  # its runtime must match what clang emits: pinned

# shellcheck source=tools/find_python.sh
source tools/find_python.sh

find_clang() {
  local c
  # clang 16 exactly (or CXX): what it emits must match atheris's runtime.
  for c in "${CXX:-}" clang++-16; do
    if [ -n "$c" ] && command -v "$c" >/dev/null 2>&1 && "$c" --version 2>/dev/null | grep -q clang; then
      command -v "$c"; return 0
    fi
  done
  return 1
}

start=$(date +%s)
if ! cxx=$(find_clang); then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "fuzz: installing clang-16 from Debian" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-16 >&2
    cxx=$(find_clang) || { echo "fuzz: clang++ still not found" >&2; exit 1; }
  else
    echo "fuzz: clang++ not found (install clang-16, or set CXX)" >&2; exit 1
  fi
fi
if [ ! -x "$venv/bin/python" ]; then
  py=$(find_python 3.12) || { echo "fuzz: CPython 3.12 not found (set VELTRA_PYTHON)" >&2; exit 1; }
  echo "fuzz: creating $venv with $py" >&2
  "$py" -m venv "$venv"
fi
# The package is installed with --no-deps below; its run-time dependencies come from pyproject.toml.
mapfile -t deps < <("$venv/bin/python" -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"], sep="\n")')
"$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "atheris==$atheris_version" \
  "${deps[@]}"
echo "fuzz: building with $cxx (ASan+UBSan+fuzzer coverage) into $build" >&2
CXX=$cxx "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall \
  --no-deps -Cbuild-dir="$build" -Ccmake.define.VELTRA_SANITIZE=ON -Ccmake.define.VELTRA_FUZZ=ON .

site=$("$venv/bin/python" -c 'import atheris; print(atheris.path())')
runtime=$site/asan_with_fuzzer.so
[ -f "$runtime" ] || { echo "fuzz: $runtime not found" >&2; exit 1; }
# Every module must carry the sanitizers and the fuzzer's counters.
for so in "$site"/veltra/cloud/services/actions/*.so; do
  syms=$(nm -D "$so")
  for s in __asan_init __ubsan_handle __sanitizer_cov_8bit_counters_init; do
    grep -q "$s" <<<"$syms" || { echo "fuzz: $so lacks $s" >&2; exit 1; }
  done
done

# The preloaded runtime must see a use-after-free in this very setup, or a
# quiet run proves nothing.
if LD_PRELOAD="$runtime" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 "$venv/bin/python" -c '
import ctypes
buf = ctypes.create_string_buffer(4096); address = ctypes.addressof(buf); del buf
ctypes.string_at(address, 4096)' 2>/dev/null; then
  echo "fuzz: the sanitizer runtime did not see a use-after-free" >&2; exit 1
fi

findings=$root/tools/fuzz_findings
mkdir -p "$findings"
export LD_PRELOAD="$runtime${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1

args=(-max_len=512 -len_control=0 -detect_leaks=0 -timeout=10 -rss_limit_mb=3072 "-artifact_prefix=$findings/")
fixed=()
if [ "${1:-}" = "--smoke" ]; then
  shift
  # Seeded, from an empty corpus, with fixed string hashes and without address
  # randomisation: the fuzzer also mutates with the operands of the comparisons
  # it sees, pointers among them, so only fixed addresses give the same inputs
  # every time.
  corpus=$(mktemp -d "${TMPDIR:-/tmp}/veltra-fuzz-smoke.XXXXXX")
  trap 'rm -rf "$corpus"' EXIT
  args+=(-seed=1 -runs=5000 -print_final_stats=1 "$corpus")
  export PYTHONHASHSEED=0
  if setarch "$(uname -m)" -R true 2>/dev/null; then fixed=(setarch "$(uname -m)" -R); fi
fi
status=0
"${fixed[@]}" "$venv/bin/python" tools/fuzz.py "${args[@]}" "$@" || status=$?
echo "fuzz: finished in $(( $(date +%s) - start )) s, status $status" >&2
exit $status
