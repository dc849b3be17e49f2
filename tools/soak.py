#!/usr/bin/env python
"""Leak soak: every path of every method, many times over, in one process.

For each path (tests/support/cases.py: successes, binding errors of each kind, entry
checks, collaborators raising, missing or returning the wrong type, module
globals removed or wrong, responses the model cannot take) the soak warms the
path up, then calls it N times and prints how much three measures grew:

  traced   memory traced by tracemalloc (every allocation of the interpreter's
           allocators, objects and raw buffers alike)
  blocks   sys.getallocatedblocks(): live small-object blocks, which grows by
           one for every object that a call forgets to release
  rss      the resident set size of the process

A path fails when any measure grows past its limit (see --help); the exit
status is then 1. A second part imports each module again and again in a child
process: failing imports (a name missing from the outside package, the base
module unimportable, the class statement failing) and, after a good import,
re-imports of the stored module.

    .venv/bin/python tools/soak.py                 # 200,000 calls per path
    .venv/bin/python tools/soak.py -n 2000 -k attach
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
import tracemalloc
from dataclasses import asdict, dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))  # the case table, tests/support/cases.py
from support import cases as cases_mod

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


@dataclass
class Limits:
    traced_bytes: int = 16 * 1024  # plus traced_per_call per call
    traced_per_call: float = 0.1
    blocks: int = 64  # plus blocks_per_call per call
    blocks_per_call: float = 0.01
    rss_bytes: int = 2 * 1024 * 1024

    def traced(self, n: int) -> float:
        return self.traced_bytes + self.traced_per_call * n

    def block_limit(self, n: int) -> float:
        return self.blocks + self.blocks_per_call * n


@dataclass
class Result:
    label: str
    iterations: int
    seconds: float
    traced: int
    blocks: int
    rss: int
    error: str | None = None
    ok: bool = True


def _settle() -> None:
    # The interpreter's type-attribute cache keeps, in each slot, the name of the
    # last lookup made there, and CPython's own extension loading looks up
    # `spec.name` with a new string at every import: how many of those strings
    # a reading finds depends on where memory was reused, not on the module.
    sys._clear_type_cache()
    gc.collect()
    gc.collect()


def measure(call, expect, iterations: int, warmup: int) -> tuple[float, int, int, int]:
    """Calls `call` `iterations` times after `warmup` calls; returns the time and
    the growth of traced memory, live blocks and RSS."""

    def loop(n: int) -> None:
        if expect is None:
            for _ in range(n):
                call()
        else:
            for _ in range(n):
                # A bare try costs less than contextlib.suppress in the measured loop.
                try:  # noqa: SIM105
                    call()
                except expect:
                    pass

    loop(warmup)
    _settle()
    traced0 = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
    blocks0 = sys.getallocatedblocks()
    rss0 = rss_bytes()
    t0 = time.perf_counter()
    loop(iterations)
    seconds = time.perf_counter() - t0
    _settle()
    traced1 = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
    blocks1 = sys.getallocatedblocks()
    rss1 = rss_bytes()
    return seconds, traced1 - traced0, blocks1 - blocks0, rss1 - rss0


def soak_case(case: cases_mod.Case, n: int, limits: Limits, warmup: int = 2000) -> Result:
    iterations = max(1, int(n * case.weight))
    warm = min(warmup, iterations)
    with case.prepared() as call:
        error = case.check(call)
        if error:
            return Result(case.label, 0, 0.0, 0, 0, 0, f"wrong outcome: {error}", False)
        if case.control is None:
            seconds, traced, blocks, rss = measure(call, case.expect, iterations, warm)
        else:
            # What the same work costs in plain Python, measured alike before
            # and after (the lesser of the two: a first run also fills caches);
            # only growth beyond it belongs to the module.
            before = measure(case.control, None, iterations, warm)
            seconds, traced, blocks, rss = measure(call, case.expect, iterations, warm)
            after = measure(case.control, None, iterations, warm)
            traced -= min(before[1], after[1])
            blocks -= min(before[2], after[2])
            rss -= min(before[3], after[3])
    result = Result(case.label, iterations, seconds, traced, blocks, rss)
    problems = []
    if traced > limits.traced(iterations):
        problems.append(f"traced memory grew by {traced} bytes")
    if blocks > limits.block_limit(iterations):
        problems.append(f"{blocks} more live blocks")
    if rss > limits.rss_bytes:
        problems.append(f"RSS grew by {rss // 1024} KiB")
    if problems:
        result.ok = False
        result.error = "; ".join(problems)
    return result


def print_header(out=sys.stdout) -> None:
    print(f"{'path':<72} {'calls':>8} {'us/call':>8} {'traced B':>9} {'blocks':>7} {'rss KiB':>8}  verdict", file=out)


def print_result(r: Result, out=sys.stdout) -> None:
    per = r.seconds / r.iterations * 1e6 if r.iterations else 0.0
    verdict = "ok" if r.ok else f"FAIL: {r.error}"
    print(
        f"{r.label:<72} {r.iterations:>8} {per:>8.2f} {r.traced:>9} {r.blocks:>7} {r.rss // 1024:>8}  {verdict}",
        file=out,
        flush=True,
    )


# ---------------------------------------------------------------------------
# Imports, in a child process per module (a module imported once stays stored
# for the life of the process, so failing imports must come first).

IMPORT_CHILD = r"""
import gc, importlib, json, sys, tracemalloc
sys.path.insert(0, {tools!r})
import soak
short, n = sys.argv[1], int(sys.argv[2])
name = "veltra.cloud.services.actions." + short
import veltra.cloud.models.base as models
import veltra.cloud.services.actions.base as base
import base64, typing, shutil, tempfile, pathlib
from support import cases
model = cases.CONNECTIONS[short].model if short in cases.CONNECTIONS else "DeployResponse"
results = []

def attempt():
    sys.modules.pop(name, None)
    try:
        importlib.import_module(name)
    except ImportError:
        pass
    except TypeError:
        pass

def run(label, setup, undo):
    setup()
    try:
        sys.modules.pop(name, None)
        try:
            importlib.import_module(name)
            raise SystemExit(label + ": the import did not fail")
        except (ImportError, TypeError):
            pass
        seconds, traced, blocks, rss = soak.measure(attempt, None, n, min(n, 200))
    finally:
        undo()
    results.append(dict(label=label, iterations=n, seconds=seconds, traced=traced, blocks=blocks, rss=rss))

saved_model = getattr(models, model)
saved_base = base.CloudActionBase
tracemalloc.start(1)
run(short + ":import-fails-name-missing", lambda: delattr(models, model), lambda: setattr(models, model, saved_model))
run(short + ":import-fails-class-statement", lambda: setattr(base, "CloudActionBase", 5),
    lambda: setattr(base, "CloudActionBase", saved_base))
saved_entry = sys.modules["veltra.cloud.services.actions.base"]
def block(): sys.modules["veltra.cloud.services.actions.base"] = None
def unblock(): sys.modules["veltra.cloud.services.actions.base"] = saved_entry
run(short + ":import-fails-base-unimportable", block, unblock)

module = importlib.import_module(name)
def again():
    del sys.modules[name]
    assert importlib.import_module(name) is module
seconds, traced, blocks, rss = soak.measure(again, None, n, min(n, 200))
results.append(
    dict(label=short + ":import-again", iterations=n, seconds=seconds, traced=traced, blocks=blocks, rss=rss)
)
print(json.dumps(results))
"""


def soak_imports(short: str, n: int, limits: Limits) -> list[Result]:
    # An import makes and drops hundreds of objects; free lists and collector
    # generations move the count of live blocks by a few dozen from one round to
    # the next. A block kept per import still shows as n.
    limits = Limits(
        limits.traced_bytes, limits.traced_per_call, limits.blocks, max(limits.blocks_per_call, 0.1), limits.rss_bytes
    )
    tools = str(Path(__file__).resolve().parent)
    proc = subprocess.run(
        [sys.executable, "-c", IMPORT_CHILD.format(tools=tools), short, str(n)], capture_output=True, text=True
    )
    if proc.returncode != 0:
        return [
            Result(
                f"{short}:imports",
                0,
                0.0,
                0,
                0,
                0,
                f"child failed ({proc.returncode}): {proc.stderr.strip()[-2000:]}",
                False,
            )
        ]
    results = []
    for d in json.loads(proc.stdout.strip().splitlines()[-1]):
        r = Result(**d)
        problems = []
        if r.traced > limits.traced(r.iterations):
            problems.append(f"traced memory grew by {r.traced} bytes")
        if r.blocks > limits.block_limit(r.iterations):
            problems.append(f"{r.blocks} more live blocks")
        if r.rss > limits.rss_bytes:
            problems.append(f"RSS grew by {r.rss // 1024} KiB")
        if problems:
            r.ok, r.error = False, "; ".join(problems)
        results.append(r)
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", "--iterations", type=int, default=200_000, help="calls per path (default 200000)")
    parser.add_argument(
        "-k", "--filter", action="append", default=[], help="only paths whose label contains this text (repeatable)"
    )
    parser.add_argument("--modules", nargs="*", help="modules to soak (default: every importable one)")
    parser.add_argument("--import-iterations", type=int, help="imports per import path (default n/100)")
    parser.add_argument("--no-imports", action="store_true", help="skip the import paths")
    parser.add_argument("--imports-only", action="store_true", help="only the import paths")
    parser.add_argument("--no-tracemalloc", action="store_true", help="measure blocks and RSS only (faster)")
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args(argv)

    limits = Limits()
    modules = args.modules or cases_mod.available_modules()
    selected = [
        c
        for c in cases_mod.all_cases(modules)
        if not args.imports_only and (not args.filter or any(f in c.label for f in args.filter))
    ]
    print(
        f"soak: {len(selected)} paths of {', '.join(modules)}, {args.iterations} calls each "
        f"(limits: traced {limits.traced_bytes} B + {limits.traced_per_call} B/call, "
        f"blocks {limits.blocks} + {limits.blocks_per_call}/call, RSS {limits.rss_bytes // 1024} KiB)"
    )
    if not args.no_tracemalloc:
        tracemalloc.start(1)
    results: list[Result] = []
    t0 = time.perf_counter()
    print_header()
    for case in selected:
        r = soak_case(case, args.iterations, limits)
        results.append(r)
        print_result(r)
    if not args.no_imports and not args.filter:
        n_imports = args.import_iterations or max(100, args.iterations // 100)
        for short in modules:
            for r in soak_imports(short, n_imports, limits):
                results.append(r)
                print_result(r)
    failed = [r for r in results if not r.ok]
    print(f"soak: {len(results)} paths, {len(failed)} failed, {time.perf_counter() - t0:.0f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump([asdict(r) for r in results], f, indent=1)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
