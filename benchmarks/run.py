#!/usr/bin/env python
"""Benchmarks of the compiled actions against the same classes in plain Python.

Every figure is measured in this one run, the compiled module and its plain
Python twin (tests/support/twins/) side by side, with the same trivial
collaborators (a payload, an empty response, the real response models). The
figures are printed, never asserted:

  per call     EnumerateOuterLinksAction.action and AttachOuterLinkAction.action
               on the success path, on a binding error (a required argument
               missing), on an entry-check error (None for a str), and on a
               failing call (the service raises; the exception leaves the
               action with its traceback entry);
  own cost     the success path minus the collaborators called alone (each
               collaborator call timed by itself), i.e. what the action itself
               adds: binding, checks, the request dictionary, the calls;
  import       importing each module in a fresh interpreter that has already
               loaded what the module imports (median of several processes).

The targets the figures are read against: compiled never slower than plain
Python; own cost at most half of plain Python's; entry checks at least twice as
fast.

The same paths' instructions per call, counted by callgrind (a figure that does
not move with the machine's load): benchmarks/instructions.py.

    .venv/bin/python benchmarks/run.py [--quick] [--json FILE]
"""

from __future__ import annotations

import argparse
import base64
import gc
import importlib
import json
import statistics
import subprocess
import sys
import timeit
from typing import Any

from paths import (
    ACTIONS,
    BENCHMARKED,
    CALLS,
    CLASSES,
    MODELS,
    NAMESPACE,
    PAYLOAD,
    RESPONSE,
    TESTS,
    TRANSACTIONS,
    TWINS,
    classes,
    instance,
    paths,
)

MODULES = ("enumerate_outer_links", "attach_outer_link", "amend_outer_link", "detach_outer_link", "launch_rollout")


def best(stmt: str, namespace: dict, repeat: int, target: float) -> float:
    """Seconds per execution of stmt: the best of `repeat` rounds of about
    `target` seconds each."""
    timer = timeit.Timer(stmt, globals=namespace)
    number, _ = timer.autorange()
    number = max(1, int(number * target / 0.2))
    gc.collect()
    return min(timer.repeat(repeat, number)) / number


def compare(stmt: str, compiled: Any, plain: Any, extra: dict, repeat: int, target: float) -> tuple[float, float]:
    """Times stmt with `a` bound to the compiled and then the plain instance,
    alternating, so that both see the same machine."""
    tc, tp = [], []
    for _ in range(3):
        tc.append(best(stmt, {"a": compiled, **extra}, repeat, target))
        tp.append(best(stmt, {"a": plain, **extra}, repeat, target))
    return min(tc), min(tp)


def per_call(repeat: int, target: float) -> list[dict]:
    rows = []
    for short in BENCHMARKED:
        compiled_cls, plain_cls = classes(short)
        c, p = instance(compiled_cls), instance(plain_cls)
        label = f"{CLASSES[short]}.action"
        # Make sure the two do the same before timing them.
        assert c.action(*CALLS[short].args) == p.action(*CALLS[short].args)
        for path, stmt, mixin in paths(short):
            tc, tp = compare(stmt, instance(compiled_cls, mixin), instance(plain_cls, mixin), NAMESPACE, repeat, target)
            rows.append({"what": f"{label}: {path}", "compiled_ns": tc * 1e9, "plain_ns": tp * 1e9, "ratio": tc / tp})
        # The collaborators alone, each call timed by itself.
        model = getattr(importlib.import_module("veltra.cloud.models.base"), MODELS[short])
        encoded = base64.b64encode(PAYLOAD)
        request = {"data": "x"}
        ns = {
            "cd": c._credentials_data,
            "ex": c.execute_transaction,
            "enc": base64.b64encode,
            "p": PAYLOAD,
            "b": encoded,
            "M": model,
            "r": RESPONSE,
            "d": request,
            "name": TRANSACTIONS[short],
        }
        empty = best("pass", ns, repeat, target)
        parts = {
            "_credentials_data()": best("cd()", ns, repeat, target),
            "base64.b64encode()": best("enc(p)", ns, repeat, target),
            "bytes.decode()": best('b.decode("utf-8")', ns, repeat, target),
            "execute_transaction()": best("ex(name, d)", ns, repeat, target),
            "Model(**response)": best("M(**r)", ns, repeat, target),
        }
        collaborators = sum(t - empty for t in parts.values())
        whole_c = next(r for r in rows if r["what"] == f"{label}: success")["compiled_ns"] / 1e9
        whole_p = next(r for r in rows if r["what"] == f"{label}: success")["plain_ns"] / 1e9
        rows.append(
            {
                "what": f"{label}: collaborators alone",
                "compiled_ns": collaborators * 1e9,
                "plain_ns": collaborators * 1e9,
                "ratio": 1.0,
                "parts_ns": {k: (v - empty) * 1e9 for k, v in parts.items()},
            }
        )
        own_c, own_p = whole_c - collaborators, whole_p - collaborators
        rows.append(
            {
                "what": f"{label}: own cost on the success path",
                "compiled_ns": own_c * 1e9,
                "plain_ns": own_p * 1e9,
                "ratio": own_c / own_p,
            }
        )
    return rows


IMPORT_SCRIPT = """
import sys, time
sys.path.insert(0, {tests!r})
import support.twins
import base64, typing, shutil, tempfile, pathlib
import veltra.cloud.constants, veltra.errors, veltra.cloud.models.base, veltra.cloud.services.actions.base
import importlib.util
importlib.util.find_spec({name!r})
t0 = time.perf_counter()
import {name}
print(time.perf_counter() - t0)
"""


def import_times(runs: int) -> list[dict]:
    rows = []
    for short in MODULES:
        try:
            importlib.import_module(f"{ACTIONS}.{short}")
        except ImportError:
            continue
        row: dict[str, Any] = {"what": f"import {short}"}
        for kind, name in (("compiled", f"{ACTIONS}.{short}"), ("plain", f"support.twins.{short}")):
            if kind == "plain" and not (TWINS / f"{short}.py").exists():
                continue
            script = IMPORT_SCRIPT.format(tests=str(TESTS), name=name)
            times = []
            for _ in range(runs + 1):  # the first run writes the plain module's bytecode cache
                out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
                times.append(float(out.stdout.strip()))
            row[f"{kind}_ns"] = statistics.median(times[1:]) * 1e9
        if "plain_ns" in row:
            row["ratio"] = row["compiled_ns"] / row["plain_ns"]
        rows.append(row)
    return rows


def fmt_ns(ns: float | None) -> str:
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e4:
        return f"{ns / 1e3:.1f} us"
    return f"{ns:.0f} ns"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="shorter rounds, fewer import runs")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)
    repeat, target, runs = (3, 0.05, 5) if args.quick else (5, 0.2, 15)

    print(f"Python {sys.version.split()[0]}; best of {repeat} rounds x 3 alternations per figure\n")
    rows = per_call(repeat, target) + import_times(runs)
    print(f"{'':<64} {'compiled':>10} {'plain':>10} {'ratio':>7}")
    for r in rows:
        ratio = f"{r['ratio']:.2f}" if "ratio" in r else "-"
        print(f"{r['what']:<64} {fmt_ns(r.get('compiled_ns')):>10} {fmt_ns(r.get('plain_ns')):>10} {ratio:>7}")
        for k, v in r.get("parts_ns", {}).items():
            print(f"    {k:<60} {fmt_ns(v):>10}")
    print(
        "\nratio = compiled / plain: below 1 the compiled module is faster. Targets: every ratio <= 1;"
        "\n'own cost' ratio <= 0.5; 'entry-check error' ratio <= 0.5."
    )
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
