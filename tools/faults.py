#!/usr/bin/env python
"""Fault injection: make allocation number N fail, for every N.

`_testcapi.set_nomemory(N, N + 1)` makes the interpreter's allocators (raw,
mem and object domains) fail the N-th allocation from then on. Before each
sweep the tool counts how many allocations the import or the call makes (T, read
from the counter of the same hooks), then runs it once for every N in 0 .. T+16:

  imports  each module imported in a fresh process: forked from a parent that
           has the outside package loaded but has never loaded the module
           (--spawn starts a new interpreter for every N instead). Afterwards
           the child checks that a failed import left no sys.modules entry and
           that the next import succeeds and a call works.
  calls    every path of every method (tests/support/cases.py), in one process per
           module, the hooks removed after each call. After every run the path
           is called again without faults and must behave exactly as before.
           The calls also get a second sweep where allocation N and every later
           one fail ("from"), and the single-fault sweep is repeated twice while
           live blocks are counted, to catch leaks on error paths.

Every run must end in a Python exception or in the path's normal outcome: never
a crash, an abort, an exception left set, or a SystemError that names a compiled
method ("... returned NULL without setting an exception", "... returned a result
with an exception set"). SystemErrors raised by the interpreter itself are
counted apart (see `system_error`). A summary is printed; the exit status is 1
when anything was wrong.

    .venv/bin/python tools/faults.py
    .venv/bin/python tools/faults.py --only calls --modules attach_outer_link -k entry
"""

from __future__ import annotations

import argparse
import collections
import ctypes
import faulthandler
import gc
import importlib
import importlib.util
import json
import os
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))  # the case table, tests/support/cases.py
from support import cases as cases_mod

TOOLS = Path(__file__).resolve().parent

try:
    import _testcapi
except ImportError:  # pragma: no cover - an interpreter built without its test modules
    _testcapi = None

NEVER = 2**30  # a start that no run reaches: hooks installed, nothing fails


def describe(exc: BaseException | None) -> str:
    if exc is None:
        return "returned"
    return f"{type(exc).__name__}: {str(exc)[:120]}"


def chain(exc: BaseException | None):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__ or exc.__context__


def system_error(exc: BaseException | None) -> tuple[str, bool] | None:
    """The first SystemError in the exception's chain, and whether it names a
    compiled method.

    A method that returned NULL without an exception, or a result with one set,
    is named by the interpreter's check of every call result ("<compiled
    function ...> returned ..."). The 3.12 interpreter also loses exceptions by
    itself on some allocation failures: when it cannot make the frame object of
    a caller while a frame is being cleared, frame.c take_ownership() clears the
    pending exception (CPython gh-131173), and the Python frame that called ends
    in "error return without exception set" (or "<function ...> returned NULL
    ..." for a Python function). Those do not name a compiled method."""
    for e in chain(exc):
        if isinstance(e, SystemError):
            return f"{type(e).__name__}: {e}", "compiled function" in str(e)
    return None


def scrub(exc: BaseException | None) -> None:
    """Drops the tracebacks and chains of a finished run. Short of memory, the
    interpreter raises one preallocated MemoryError over and over and every raise
    adds to its traceback; without this the harness itself would grow."""
    for e in list(chain(exc)):
        e.__traceback__ = None
        e.__context__ = None
        e.__cause__ = None


def inject(n: int, persistent: bool, func: Callable[[], Any]) -> tuple[Any, BaseException | None]:
    """Runs func() with allocation n (persistent: and every later one) failing."""
    result = exc = None
    _testcapi.set_nomemory(n, 0 if persistent else n + 1)
    try:
        result = func()
    except BaseException as e:  # noqa: BLE001
        exc = e
    finally:
        _testcapi.remove_mem_hooks()
    return result, exc


_counter_address: int | None = None


def allocation_counter() -> Callable[[], int] | None:
    """The number of allocations the set_nomemory hooks have seen, read from the
    test module's own counter (found through its symbol table), or None when
    that cannot be found."""
    global _counter_address
    if _counter_address is None:
        path = os.path.realpath(_testcapi.__file__)
        try:
            out = subprocess.run(["nm", path], capture_output=True, text=True, check=True).stdout
            offset = next(int(line.split()[0], 16) for line in out.splitlines() if line.endswith(" FmData"))
        except (OSError, subprocess.CalledProcessError, StopIteration):
            _counter_address = 0
            return None
        with open("/proc/self/maps") as f:
            bases = [int(line.split("-")[0], 16) for line in f if line.rstrip().endswith(path)]
        # struct { int start; int stop; Py_ssize_t count; } FmData;
        _counter_address = min(bases) + offset + 8 if bases else 0
    if not _counter_address:
        return None
    address = _counter_address
    return lambda: ctypes.c_ssize_t.from_address(address).value


def count_allocations(func: Callable[[], Any]) -> tuple[int | None, BaseException | None]:
    """How many allocations func() makes, and how it ended."""
    counter = allocation_counter()
    result = exc = None
    _testcapi.set_nomemory(NEVER, 0)
    try:
        before = counter() if counter else 0
        result = func()
    except BaseException as e:  # noqa: BLE001
        exc = e
    finally:
        after = counter() if counter else 0
        _testcapi.remove_mem_hooks()
    del result
    return (after - before if counter else None), exc


# ---------------------------------------------------------------------------
# Calls.


def _outcome_key(exc: BaseException | None) -> tuple:
    """What a run ended in: the exception's type, text and traceback entries."""
    if exc is None:
        return (None,)
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return (type(exc), str(exc), tuple(entries))


def sweep_case(
    case: cases_mod.Case,
    call: Callable[[], Any],
    persistent: bool,
    stop: int,
    progress: Callable[[str, int], None],
    strict: bool = False,
) -> dict:
    """Runs the call with allocation n failing (persistent: and every later one)
    for n = 0 .. stop - 1; counts the outcomes and lists the problems."""
    _, normal = inject(NEVER, False, call)
    normal_key = _outcome_key(normal)
    scrub(normal)
    normal = None
    counts: collections.Counter = collections.Counter()
    problems: list[str] = []
    unraisable: list[str] = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: unraisable.append(f"{type(u.exc_value).__name__}: {u.exc_value}")
    try:
        for n in range(stop):
            progress(case.label, n)
            result, exc = inject(n, persistent, call)
            del result
            if sys.exc_info()[1] is not None:
                problems.append(f"n={n}: an exception is still being handled after the call")
            bad = system_error(exc)
            if bad and (bad[1] or strict):
                problems.append(f"n={n}: {bad[0]}")
            elif bad:
                counts["interpreter SystemError"] += 1
            key = _outcome_key(exc)
            if key == normal_key:
                counts["normal"] += 1
            else:
                counts[
                    "MemoryError"
                    if any(isinstance(e, MemoryError) for e in chain(exc))
                    else "other exception"
                    if exc is not None
                    else "returned"
                ] += 1
            scrub(exc)
            exc = None
            # The path must behave as before once allocations succeed again.
            after = case.check(call)
            if after:
                problems.append(f"n={n}: afterwards the path {after}")
        # Past the last allocation nothing may change.
        _, exc = inject(stop + 1000, persistent, call)
        if _outcome_key(exc) != normal_key:
            problems.append(f"the call made more than {stop} allocations: {describe(exc)}")
        scrub(exc)
    finally:
        sys.unraisablehook = old_hook
    return {"runs": stop, "counts": dict(counts), "problems": problems, "unraisable": unraisable}


def calls_child(modules: list[str], filters: list[str], progress_path: str | None, strict: bool) -> int:
    """Sweeps every case of the modules; prints one JSON line per case."""
    fd = os.open(progress_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC) if progress_path else None

    def progress(label: str, n: int) -> None:
        if fd is not None:
            os.pwrite(fd, f"{label} {n:<10}\n".encode(), 0)

    for case in cases_mod.all_cases(modules):
        if not case.faults or (filters and not any(f in case.label for f in filters)):
            continue
        # A hang is a failure too: dump the stacks and end the process.
        faulthandler.dump_traceback_later(300, exit=True)
        with case.prepared() as call:
            error = case.check(call)
            if error:
                print(
                    json.dumps({"label": case.label, "problems": [f"wrong outcome without faults: {error}"]}),
                    flush=True,
                )
                continue
            count_allocations(call)  # warm
            total, _ = count_allocations(call)
            stop = (total if total is not None else 200) + 16
            report: dict[str, Any] = {"label": case.label, "allocations": total}
            report["once"] = sweep_case(case, call, False, stop, progress, strict)
            report["from"] = sweep_case(case, call, True, stop, progress, strict)
            # Leaks: the single-fault sweep again, twice, counting live blocks.
            gc.collect()
            b0 = sys.getallocatedblocks()
            sweep_case(case, call, False, stop, progress, strict)
            gc.collect()
            b1 = sys.getallocatedblocks()
            sweep_case(case, call, False, stop, progress, strict)
            gc.collect()
            b2 = sys.getallocatedblocks()
            report["blocks"] = [b1 - b0, b2 - b1]
            print(json.dumps(report), flush=True)
    faulthandler.cancel_dump_traceback_later()
    return 0


def run_calls(
    modules: list[str], filters: list[str], leak_limit: int, verbose: bool, strict: bool
) -> tuple[dict, list[str]]:
    problems: list[str] = []
    totals: collections.Counter = collections.Counter()
    for short in modules:
        t0 = time.perf_counter()
        progress = f"/tmp/veltra-faults-{os.getpid()}-{short}.progress"
        cmd = [sys.executable, str(Path(__file__).resolve()), "--child-calls", short, "--progress", progress]
        cmd += [a for f in filters for a in ("-k", f)] + (["--strict"] if strict else [])
        proc = subprocess.run(cmd, capture_output=True, text=True)
        reports = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
        counts: collections.Counter = collections.Counter()
        for r in reports:
            problems += [f"{r['label']} {p}" for p in r.get("problems", [])]
            for mode in ("once", "from"):
                if mode in r:
                    counts[f"{mode} runs"] += r[mode]["runs"]
                    counts.update({f"{mode} {k}": v for k, v in r[mode]["counts"].items()})
                    problems += [f"{r['label']} [{mode}] {p}" for p in r[mode]["problems"]]
                    counts["unraisable"] += len(r[mode]["unraisable"])
            if "blocks" in r and r["blocks"][1] > leak_limit:
                problems.append(f"{r['label']}: live blocks grew by {r['blocks'][1]} over a repeated sweep")
            if verbose and "once" in r:
                print(
                    f"  {r['label']:<66} T={r['allocations']:<4} once {r['once']['counts']}  "
                    f"from {r['from']['counts']}  blocks {r['blocks']}"
                )
        where = ""
        if os.path.exists(progress):
            with open(progress) as f:
                where = f.read().strip()
            os.unlink(progress)
        if proc.returncode != 0:
            problems.append(
                f"{short}: the call sweep died ({_status(proc.returncode)}) at {where!r}; "
                f"stderr: {proc.stderr.strip()[-1500:]}"
            )
        totals.update(counts)
        print(
            f"calls   {short:<22} {len(reports):>3} paths, {counts['once runs']:>5} single-fault runs "
            f"(MemoryError {counts['once MemoryError']}, other exception {counts['once other exception']}, "
            f"normal {counts['once normal']}, interpreter SystemError {counts['once interpreter SystemError']}), "
            f"{counts['from runs']:>5} from-N runs, {time.perf_counter() - t0:.0f} s"
            + ("" if proc.returncode == 0 else f"  DIED ({_status(proc.returncode)})"),
            flush=True,
        )
    return dict(totals), problems


def _status(code: int) -> str:
    if code < 0:
        return f"signal {signal.Signals(-code).name}"
    return f"exit status {code}"


# ---------------------------------------------------------------------------
# Imports.

PRELOAD = (
    "base64",
    "typing",
    "shutil",
    "tempfile",
    "pathlib",
    "veltra.cloud.constants",
    "veltra.errors",
    "veltra.cloud.models.base",
    "veltra.cloud.services.actions.base",
)
HANG_SECONDS = 20

IMPORT_SCRIPT = r"""
import json, sys
sys.path.insert(0, {tools!r})
import faults
faults.prepare_import({short!r})
print(json.dumps(faults.import_once({short!r}, {n})))
"""


def prepare_import(short: str) -> None:
    """Loads what the module imports and finds its spec, so that a run spends its
    allocations on the module itself."""
    for dep in PRELOAD:
        importlib.import_module(dep)
    importlib.util.find_spec(f"{cases_mod.ACTIONS}.{short}")


def import_once(short: str, n: int | None) -> dict:
    """In a process that has never imported the module: imports it with
    allocation n failing (None: nothing fails, the allocations are counted),
    then checks what the failure left and imports it again."""
    name = f"{cases_mod.ACTIONS}.{short}"
    if n is None:
        total, exc = count_allocations(lambda: importlib.import_module(name))
        return {"n": None, "allocations": total, "outcome": describe(exc), "problems": []}
    _, exc = inject(n, False, lambda: importlib.import_module(name))
    report: dict[str, Any] = {"n": n, "outcome": describe(exc), "problems": []}
    bad = system_error(exc)
    if bad and bad[1]:
        report["problems"].append(bad[0])
    elif bad:
        report["interpreter_system_error"] = bad[0]
    if exc is not None:
        report["memory"] = any(isinstance(e, MemoryError) for e in chain(exc))
        module = sys.modules.get(name)
        if module is not None:
            # The import system can fail after the module was executed (taking
            # its lock back, re-inserting the entry); then the module is whole
            # and stays. Anything less than whole is a module's fault.
            cls = cases_mod.CONNECTIONS[short].method.cls if short in cases_mod.CONNECTIONS else "LaunchRolloutAction"
            if isinstance(vars(module).get("__test__"), dict) and cls in vars(module):
                report["late"] = True
            else:
                report["problems"].append("a failed import left a partial module in sys.modules")
    scrub(exc)
    exc = None
    # Whatever happened, the module must import and work now.
    try:
        module = importlib.import_module(name)
        error = _smoke(short, module)
        if error:
            report["problems"].append(f"after the fault, a call {error}")
    except BaseException as e:  # noqa: BLE001
        report["problems"].append(f"the import after the fault failed: {describe(e)}")
    return report


def _smoke(short: str, module: Any) -> str | None:
    """The first success path of the module, after its import."""
    for case in cases_mod.all_cases([short]):
        if case.kind == "success" and case.workdir is None:
            with case.prepared() as call:
                return case.check(call)
    return None


def _fork_import(short: str, n: int | None) -> tuple[dict | None, int]:
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child
        os.close(r)
        # A run that never ends is killed by SIGALRM (no handler is installed,
        # so its default action ends the process even inside a C loop).
        signal.alarm(HANG_SECONDS)
        code = 0
        try:
            os.write(w, json.dumps(import_once(short, n)).encode())
        except BaseException:  # noqa: BLE001
            code = 3
        os._exit(code)
    os.close(w)
    chunks = []
    while chunk := os.read(r, 65536):
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    data = b"".join(chunks)
    return (json.loads(data) if data else None), os.waitstatus_to_exitcode(status)


def _spawn_import(short: str, n: int | None) -> tuple[dict | None, int]:
    script = IMPORT_SCRIPT.format(tools=str(TOOLS), short=short, n=n)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("{")]
    return (json.loads(lines[-1]) if lines else None), proc.returncode


def imports_child(short: str, spawn: bool, verbose: bool) -> dict:
    """Runs in a process that has the outside package loaded but not the module."""
    prepare_import(short)
    run = _spawn_import if spawn else _fork_import
    summary: dict[str, Any] = {"module": short, "problems": []}
    counted, code = run(short, None)
    if counted is None or counted["outcome"] != "returned":
        summary["problems"].append(f"the import without faults failed ({_status(code)}): {counted}")
        return summary
    total = counted["allocations"]
    if total is None:  # no counter: go until 64 clean runs in a row
        total = 10**6
    summary["allocations"] = counted["allocations"]
    outcomes: collections.Counter = collections.Counter()
    clean = 0
    n = 0
    while n < total + 16:
        if verbose and n % 50 == 0:
            print(f"faults: {short} import n={n}", file=sys.stderr, flush=True)
        report, code = run(short, n)
        if code != 0 or report is None:
            summary["problems"].append(f"n={n}: the process died ({_status(code)})")
            outcomes["died"] += 1
            clean = 0
        else:
            summary["problems"] += [f"n={n}: {p}" for p in report["problems"]]
            if report.get("interpreter_system_error"):
                outcomes["interpreter SystemError"] += 1
            if report["outcome"] == "returned":
                outcomes["imported"] += 1
                clean += 1
            elif report.get("late"):
                outcomes["failed after execution (import system)"] += 1
                clean = 0
            else:
                outcomes["MemoryError" if report.get("memory") else "other exception"] += 1
                clean = 0
        n += 1
        if counted["allocations"] is None and clean >= 64:
            break
    summary["runs"] = n
    summary["outcomes"] = dict(outcomes)
    return summary


def run_imports(modules: list[str], spawn: bool, verbose: bool) -> tuple[dict, list[str]]:
    problems: list[str] = []
    totals: collections.Counter = collections.Counter()
    for short in modules:
        t0 = time.perf_counter()
        cmd = [sys.executable, str(Path(__file__).resolve()), "--child-imports", short]
        cmd += (["--spawn"] if spawn else []) + (["-v"] if verbose else [])
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=None if verbose else subprocess.PIPE, text=True)
        lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("{")]
        if proc.returncode != 0 or not lines:
            problems.append(
                f"{short}: the import sweep failed ({_status(proc.returncode)}): {(proc.stderr or '').strip()[-1500:]}"
            )
            continue
        s = json.loads(lines[-1])
        problems += [f"{short} import {p}" for p in s["problems"]]
        totals["import runs"] += s.get("runs", 0)
        totals.update({f"import {k}": v for k, v in s.get("outcomes", {}).items()})
        print(
            f"imports {short:<22} {s.get('allocations')} allocations, {s.get('runs', 0)} runs "
            f"{s.get('outcomes', {})}, {time.perf_counter() - t0:.0f} s",
            flush=True,
        )
    return dict(totals), problems


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", choices=("imports", "calls"), help="run one part only")
    parser.add_argument("--modules", nargs="*", help="modules (default: every importable one)")
    parser.add_argument(
        "-k",
        "--filter",
        action="append",
        default=[],
        help="calls: only paths whose label contains this text (repeatable)",
    )
    parser.add_argument("--spawn", action="store_true", help="imports: a new interpreter for every run")
    parser.add_argument(
        "--leak-limit",
        type=int,
        default=32,
        help="live blocks a repeated sweep may add (MemoryError keeps a free list of 16)",
    )
    parser.add_argument(
        "--strict", action="store_true", help="count the interpreter's own SystemErrors (gh-131173) as problems too"
    )
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("--child-calls", help=argparse.SUPPRESS)
    parser.add_argument("--child-imports", help=argparse.SUPPRESS)
    parser.add_argument("--progress", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if _testcapi is None:
        print("faults: this interpreter has no _testcapi", file=sys.stderr)
        return 2
    if args.child_calls:
        return calls_child([args.child_calls], args.filter, args.progress, args.strict)
    if args.child_imports:
        print(json.dumps(imports_child(args.child_imports, args.spawn, args.verbose)))
        return 0

    modules = args.modules or cases_mod.available_modules()
    if allocation_counter() is None:
        print(
            "faults: the allocation counter was not found (nm missing?); sweeps stop after 64 clean runs "
            "(imports) or 200 allocations (calls)",
            file=sys.stderr,
        )
    t0 = time.perf_counter()
    problems: list[str] = []
    totals: dict = {}
    if args.only in (None, "imports"):
        t, p = run_imports(modules, args.spawn, args.verbose)
        totals.update(t)
        problems += p
    if args.only in (None, "calls"):
        t, p = run_calls(modules, args.filter, args.leak_limit, args.verbose, args.strict)
        totals.update(t)
        problems += p
    runs = sum(v for k, v in totals.items() if k.endswith("runs"))
    print(f"faults: {runs} runs, {len(problems)} problems, {time.perf_counter() - t0:.0f} s")
    for k, v in sorted(totals.items()):
        print(f"  {k:<40} {v}")
    for p in problems:
        print(f"  PROBLEM {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
