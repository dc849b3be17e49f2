"""Coverage-guided fuzzing of the compiled actions with atheris (libFuzzer).

    tools/fuzz.sh [--smoke] [libFuzzer flags and corpus directories]

Run it through tools/fuzz.sh, which builds the modules with clang's ASan and
UBSan plus libFuzzer's coverage instrumentation and preloads the matching
runtime. The inputs are turned into calls by tools/fuzz_targets.py; the Python
code of the harness, of tests/support/cases.py, of the local `veltra` package and of
the modules' twins (tests/support/twins/) is instrumented for coverage too, so
the fuzzer steers by the edges of both the compiled modules and the Python code
around them.
"""

from __future__ import annotations

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(
    include=["fuzz_targets", "support.cases", "veltra", "support.twins"], exclude=["support.observe"]
):
    import fuzz_targets

    # Importing the modules here (not in the first input) registers their
    # coverage counters before the fuzzer starts.
    harness = fuzz_targets.Harness()


def main() -> None:
    atheris.Setup(sys.argv, harness.one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
