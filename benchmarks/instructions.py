#!/usr/bin/env python
"""Instructions per call, counted by callgrind: the deterministic figure next to
the wall-clock one.

The paths are run.py's (benchmarks/paths.py): EnumerateOuterLinksAction.action
and AttachOuterLinkAction.action on the success path, on a binding error, on an
entry-check error and on a failing call (the service raises; the exception
leaves with its traceback entry), each compiled and as its plain Python twin,
with the same trivial collaborators. All of them are counted in one run.

How: a child process (this file with --child) makes every instance, compiles a
loop per path (`for _ in range(n): <statement>`), warms every loop, turns the
garbage collector off and runs each loop a given number of times. It runs under
`valgrind --tool=callgrind` with PYTHONHASHSEED=0 and, where `setarch` exists,
without address randomisation: once with every loop at N1 calls, then once per
loop with that loop at N2. A loop's instructions per call are the difference of
the two totals divided by N2 - N1, so that start-up, imports, warming and exit
cancel; an empty loop gives the loop's own instructions, which are subtracted.
The wall clock of the same paths (run.py's timing, shorter rounds) is measured
first, in this process, unless --no-wall.

--rev REV (repeatable) also counts the compiled modules of an earlier commit in
the same run: REV's sources are exported with `git archive` into
build/bench/<commit>/ and built there (kept for later runs); its five shared
objects are put beside a copy of this checkout's Python package, so that only
the compiled modules differ, and the child runs with that copy first on its
path. Only the compiled loops are counted again for a REV.

    .venv/bin/python benchmarks/instructions.py [--calls N1 N2] [-j JOBS] [--no-wall] [--json FILE] [--rev REV]...
"""

from __future__ import annotations

import gc
import sys
import textwrap

from paths import BENCHMARKED, CLASSES, NAMESPACE, Trivial, classes, instance, paths

WARM = 300  # calls of every loop before counting: the specialising interpreter settles in far fewer
LOOP = "the loop alone (subtracted)"


def jobs() -> list[tuple[str, str, str, type | None, type]]:
    """(row, kind, statement, class, collaborators) of every loop, in a fixed order."""
    out: list[tuple[str, str, str, type | None, type]] = [(LOOP, "loop", "pass", None, Trivial)]
    for short in BENCHMARKED:
        compiled, plain = classes(short)
        for path, stmt, mixin in paths(short):
            row = f"{CLASSES[short]}.action: {path}"
            out += [(row, "compiled", stmt, compiled, mixin), (row, "plain", stmt, plain, mixin)]
    return out


def loops() -> list:
    made = []
    for _, _, stmt, cls, mixin in jobs():
        ns = {"a": instance(cls, mixin) if cls is not None else None, **NAMESPACE}
        exec(f"def loop(n):\n    for _ in range(n):\n{textwrap.indent(stmt, ' ' * 8)}\n", ns)
        made.append(ns["loop"])
    return made


def child(counts: list[int]) -> None:
    made = loops()
    for loop in made:
        loop(WARM)
    # The calls allocate and free the same objects over and over; a collection
    # would only add instructions that depend on what the process did before.
    gc.collect()
    gc.disable()
    for loop, n in zip(made, counts, strict=True):
        loop(n)


# ---------------------------------------------------------------------------
# The parent. Its imports stay out of the child, which starts under callgrind
# once per loop.


def callgrind(counts: list[int], out: str, path: str | None = None) -> int:
    """Total instructions of one child run under callgrind, with `path` (a
    folder holding a `veltra` package) first on the child's module path."""
    import os
    import shutil
    import subprocess

    # Fixed-width counts: the child's argument vector has the same size in
    # every run, so nothing else moves.
    arg = ",".join(f"{n:09d}" for n in counts)
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        sys.executable,
        "-B",
        __file__,
        "--child",
        arg,
    ]
    if shutil.which("setarch"):
        cmd = ["setarch", os.uname().machine, "-R", *cmd]
    env = dict(os.environ, PYTHONHASHSEED="0")
    if path:
        env["PYTHONPATH"] = path
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, check=False)
    if proc.returncode != 0:
        raise RuntimeError(f"child failed ({proc.returncode}): {proc.stderr[-2000:]}")
    with open(out) as f:
        totals = [line.split()[1] for line in f if line.startswith(("totals:", "summary:"))]
    return int(totals[-1])


def count(n1: int, n2: int, workers: int, path: str | None = None, kinds: tuple[str, ...] = ()) -> dict[int, float]:
    """Instructions per call of the loops of jobs() (all of them, or those of
    `kinds` and the empty loop), by their index in jobs()."""
    import tempfile
    from concurrent.futures import ThreadPoolExecutor

    table = jobs()
    size = len(table)
    which = [j for j, job in enumerate(table) if not kinds or job[1] in ("loop", *kinds)]
    plans = [[n1] * size] + [[n2 if i == j else n1 for i in range(size)] for j in which]
    with tempfile.TemporaryDirectory(prefix="veltra-callgrind-") as tmp, ThreadPoolExecutor(workers) as pool:
        totals = list(pool.map(lambda k: callgrind(plans[k], f"{tmp}/callgrind.{k:03d}", path), range(len(plans))))
    base = totals[0]
    return {j: (t - base) / (n2 - n1) for j, t in zip(which, totals[1:], strict=True)}


def build_rev(rev: str) -> tuple[str, str]:
    """(short commit, folder) of the compiled modules of commit `rev`, next to a
    copy of this checkout's Python package. The modules are built on first use,
    then kept; the package is copied afresh for every run, so that the
    collaborators and models are always this checkout's."""
    import importlib.util
    import shutil
    import subprocess
    from pathlib import Path

    root = Path(__file__).resolve().parents[1]
    sha = subprocess.run(
        ["git", "-C", str(root), "rev-parse", "--verify", f"{rev}^{{commit}}"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    home = root / "build" / "bench" / sha[:12]
    site, src, built = home / "site", home / "src", home / "install"
    actions = Path("veltra", "cloud", "services", "actions")
    modules = sorted((built / actions).glob("*.so"))
    if len(modules) != 5:
        for folder in (src, built):
            shutil.rmtree(folder, ignore_errors=True)
        src.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(root), "archive", sha], capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
        print(f"building {rev} ({sha[:12]}) in {home}", file=sys.stderr)
        subprocess.run(
            [
                *(sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check"),
                *("--no-build-isolation", "--no-deps", "--target", str(built), f"-Cbuild-dir={home / 'build'}"),
                str(src),
            ],
            check=True,
        )
        modules = sorted((built / actions).glob("*.so"))
        assert len(modules) == 5, modules
    spec = importlib.util.find_spec("veltra")
    assert spec is not None and spec.submodule_search_locations, "veltra is not installed"
    ours = Path(next(iter(spec.submodule_search_locations)))
    shutil.rmtree(site, ignore_errors=True)
    shutil.copytree(ours, site / "veltra", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    for module in modules:
        shutil.copy2(module, site / actions / module.name)
    return sha[:12], str(site)


def wall_clock() -> dict[tuple[str, str], float]:
    """Seconds per call of every path, compiled and plain, timed alternately (run.py's way)."""
    import run

    times: dict[tuple[str, str], float] = {}
    table = jobs()
    for k in range(1, len(table), 2):
        (row, _, stmt, compiled, mixin), (_, _, _, plain, _) = table[k], table[k + 1]
        tc, tp = run.compare(stmt, instance(compiled, mixin), instance(plain, mixin), NAMESPACE, 3, 0.05)
        times[(row, "compiled")], times[(row, "plain")] = tc, tp
    return times


def main(argv: list[str] | None = None) -> int:
    import argparse
    import json

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--calls",
        nargs=2,
        type=int,
        default=(300, 2300),
        metavar=("N1", "N2"),
        help="calls of a loop in the two runs (default 300 2300); from 256 on, every further "
        "call's loop counter is a new int object, as in the long runs",
    )
    parser.add_argument("-j", "--jobs", type=int, default=1, help="callgrind runs at once (default 1)")
    parser.add_argument("--no-wall", action="store_true", help="count instructions only")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument(
        "--rev",
        action="append",
        default=[],
        metavar="REV",
        help="also count the compiled modules of this commit (repeatable; built into build/bench/)",
    )
    args = parser.parse_args(argv)
    n1, n2 = args.calls
    if not 256 <= n1 < n2:
        parser.error("--calls needs 256 <= N1 < N2")

    built = [build_rev(rev) for rev in args.rev]
    wall = {} if args.no_wall else wall_clock()
    per_call = count(n1, n2, args.jobs)
    by_rev = {}
    for name, path in built:
        figures = count(n1, n2, args.jobs, path, ("compiled",))
        by_rev[name] = {k: figures[k] - figures[0] for k in figures if k}
    table = jobs()
    loop = per_call[0]
    rows: list[dict] = [{"what": LOOP, "instructions": loop}]
    for k in range(1, len(table), 2):
        row = table[k][0]
        r = {"what": row, "compiled_instructions": per_call[k] - loop, "plain_instructions": per_call[k + 1] - loop}
        r["instructions_ratio"] = r["compiled_instructions"] / r["plain_instructions"]
        if wall:
            r["compiled_ns"], r["plain_ns"] = wall[(row, "compiled")] * 1e9, wall[(row, "plain")] * 1e9
            r["wall_ratio"] = r["compiled_ns"] / r["plain_ns"]
        if by_rev:
            r["compiled_instructions_at"] = {name: figures[k] for name, figures in by_rev.items()}
        rows.append(r)

    print(
        f"Python {sys.version.split()[0]}; instructions per call from callgrind ({n2 - n1} calls: "
        f"runs of {n2} less runs of {n1}), the loop's own {loop:.0f} subtracted"
    )
    if wall:
        print("wall clock: best of 3 rounds x 3 alternations, in this process\n")
    print(f"{'':<66} {'instructions':^26}" + (f" {'wall clock':^26}" if wall else ""))
    print(
        f"{'':<66} {'compiled':>9} {'plain':>9} {'ratio':>6}"
        + (f" {'compiled':>9} {'plain':>9} {'ratio':>6}" if wall else "")
    )
    for r in rows[1:]:
        line = (
            f"{r['what']:<66} {r['compiled_instructions']:>9.0f} {r['plain_instructions']:>9.0f} "
            f"{r['instructions_ratio']:>6.3f}"
        )
        if wall:
            line += f" {r['compiled_ns']:>6.0f} ns {r['plain_ns']:>6.0f} ns {r['wall_ratio']:>6.2f}"
        print(line)
    print("\nratio = compiled / plain: below 1 the compiled module does less.")
    if by_rev:
        names = list(by_rev)
        print("\ncompiled instructions per call at each commit, and this checkout's change against each")
        print(
            f"{'':<66}"
            + "".join(f" {n:>12}" for n in names)
            + f" {'checkout':>9}"
            + "".join(f" {'vs ' + n[:7]:>10}" for n in names)
        )
        for r in rows[1:]:
            at, now = r["compiled_instructions_at"], r["compiled_instructions"]
            print(
                f"{r['what']:<66}"
                + "".join(f" {at[n]:>12.0f}" for n in names)
                + f" {now:>9.0f}"
                + "".join(f" {100 * (now - at[n]) / at[n]:>+9.1f}%" for n in names)
            )
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        sys.exit(child([int(n) for n in sys.argv[2].split(",")]))
    sys.exit(main())
