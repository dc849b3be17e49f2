#!/usr/bin/env python
"""How long the `veltra` command and the action modules take to start.

Two figures, printed, never asserted:

  command  the median wall time of `veltra links list --env bench` (an
           environment holding three connections, output to a pipe) against a
           bare `python -c pass` of the same interpreter, the two run in turn in
           this one run so that the machine's load weighs on both alike;
           target: at most 3.5 times the bare interpreter;
  import   for each action module, the median time to import it in a fresh
           interpreter that has already imported the standard-library modules
           the action imports itself (base64, and typing, shutil, tempfile and
           pathlib where it uses them): what the module and the local layer it
           imports add; target: at most 3 ms.

    .venv/bin/python benchmarks/startup.py [--python PYTHON] [--runs N]

--python measures another installation (an interpreter whose environment has
veltra installed and the `veltra` script beside it), e.g. a copy of .venv
made at an older commit.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ACTIONS = "veltra.cloud.services.actions"
#: Each action module with the standard-library modules it imports itself.
STDLIB_IMPORTS = {
    "enumerate_outer_links": ("base64",),
    "attach_outer_link": ("base64",),
    "amend_outer_link": ("base64", "typing"),
    "detach_outer_link": ("base64",),
    "launch_rollout": ("base64", "typing", "shutil", "tempfile", "pathlib"),
}


def wall_time(argv: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, capture_output=True, check=False)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"startup: {' '.join(argv)} failed:\n{done.stderr.decode(errors='replace')}")
    return elapsed


def command_figure(python: str, runs: int) -> None:
    script = str(Path(python).parent / "veltra")
    with tempfile.TemporaryDirectory(prefix="veltra-startup-") as tmp:
        env = {**os.environ, "VELTRA_DATA_DIR": str(Path(tmp) / "data")}
        for name, backend in (("db", "postgres"), ("cache", "redis"), ("queue", "kafka")):
            add = [python, script, "links", "add", name, "--env", "bench", "--backend", backend]
            subprocess.run(
                [*add, "--credentials-file", "-"],
                env=env,
                input=b'{"user": "app"}',
                stdout=subprocess.DEVNULL,
                check=True,
            )
        bare = [python, "-c", "pass"]
        listing = [python, script, "links", "list", "--env", "bench"]
        for argv in (bare, listing):  # warm the file cache and the bytecode caches
            wall_time(argv, env)
        times: dict[str, list[float]] = {"bare": [], "listing": []}
        for _ in range(runs):
            times["bare"].append(wall_time(bare, env))
            times["listing"].append(wall_time(listing, env))
    bare_ms = statistics.median(times["bare"]) * 1000
    listing_ms = statistics.median(times["listing"]) * 1000
    print(f"command: python -c pass {bare_ms:6.1f} ms   veltra links list {listing_ms:6.1f} ms")
    print(f"         ratio {listing_ms / bare_ms:.2f} (target <= 3.5), median of {runs} runs each, in turn")


def import_figure(python: str, runs: int) -> None:
    print("import:  median extra time to import an action module once its standard-library imports are loaded")
    for module, stdlib in STDLIB_IMPORTS.items():
        code = (
            f"import time, {', '.join(stdlib)}\n"
            "start = time.perf_counter_ns()\n"
            f"import {ACTIONS}.{module}\n"
            "print(time.perf_counter_ns() - start)\n"
        )
        samples = []
        for _ in range(runs):
            done = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
            samples.append(int(done.stdout) / 1e6)
        print(f"         {module:24} {statistics.median(samples):5.2f} ms (target <= 3)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable, help="interpreter of the installation to measure")
    parser.add_argument("--runs", type=int, default=31, help="runs of each command (default 31)")
    args = parser.parse_args()
    print(f"startup of {args.python}")
    command_figure(args.python, args.runs)
    import_figure(args.python, max(11, args.runs // 2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
