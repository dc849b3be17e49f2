#!/usr/bin/env python
"""Stress: eight threads calling the connection actions at once.

Half the threads share one instance per action, the others use their own. Each
call has arguments no other call has, so every request the fake service sees
can be checked against what the calling thread passed: the transaction name,
the keys in order, the credentials payload of that instance, and every value
the very object the thread handed in. Now and then a thread takes a failing
road (an entry check, a refusing service) and checks the exception. When the
deploy module is there, one more thread deploys a real application directory
over and over meanwhile.

The interpreter's switch interval is cut to a few microseconds so that threads
change hands inside calls as often as possible.

    .venv/bin/python tools/stress.py [--seconds 5] [--threads 8]
"""

from __future__ import annotations

import argparse
import base64
import io
import itertools
import random
import sys
import threading
import time
import zipfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))  # the case table, tests/support/cases.py
from support import cases as cases_mod


class Refused(Exception):
    pass


_seen = threading.local()


def _record(inst: Any, name: str, data: dict) -> None:
    log = getattr(_seen, "log", None)
    if log is None:
        log = _seen.log = []
    log.append((inst, name, data))


def stress_class(action_cls: type) -> type:
    """An action whose service records each request for the calling thread and
    answers with the environment it was sent, so the result can be checked."""

    class Stress(action_cls):  # type: ignore[misc, valid-type]
        def __init__(self, tag: str, refuse: bool = False) -> None:
            self.tag = tag
            self.payload = f"payload of {tag}".encode()
            self.refuse = refuse

        def _credentials_data(self) -> bytes:
            return self.payload

        def execute_transaction(self, name: str, data: dict) -> Any:
            _record(self, name, data)
            if random.random() < 0.05:
                time.sleep(0)  # hand over the interpreter in the middle of a call
            if self.refuse:
                raise Refused(data["env_name"])
            return {"env_name": data["env_name"]}

    Stress.__name__ = f"Stress{action_cls.__name__}"
    return Stress


class Worker(threading.Thread):
    def __init__(
        self, index: int, shared: dict[str, Any] | None, classes: dict[str, type], deadline: float, errors: list[str]
    ) -> None:
        super().__init__(name=f"stress-{index}", daemon=True)
        self.index = index
        self.shared = shared
        self.classes = classes
        self.deadline = deadline
        self.errors = errors
        self.calls = 0
        self.rng = random.Random(index)
        self.own = {short: cls(f"thread {index} {short}") for short, cls in classes.items()}
        self.refusing = {short: cls(f"thread {index} {short} refusing", refuse=True) for short, cls in classes.items()}

    def fail(self, text: str) -> None:
        self.errors.append(f"{self.name} call {self.calls}: {text}")

    def run(self) -> None:
        try:
            for i in itertools.count():
                if time.perf_counter() > self.deadline or len(self.errors) > 20:
                    break
                short = cases_mod.CONNECTION_MODULES[i % len(cases_mod.CONNECTION_MODULES)]
                if short not in self.classes:
                    continue
                road = self.rng.random()
                if road < 0.1:
                    self.entry_check(short, i)
                elif road < 0.2:
                    self.refused(short, i)
                else:
                    self.call(short, i)
                self.calls += 1
        except BaseException as exc:  # noqa: BLE001
            self.fail(f"worker died: {type(exc).__name__}: {exc}")

    def arguments(self, conn: cases_mod.Connection, i: int) -> tuple[tuple, dict, dict[str, Any]]:
        """Fresh objects for every parameter; some positional, some by keyword,
        optional ones sometimes left out."""
        values: dict[str, Any] = {}
        for p in conn.method.params:
            if p.check == "dict":
                values[p.name] = {"user": f"u{self.index}-{i}"}
            elif p.required or self.rng.random() < 0.6:
                values[p.name] = f"{p.name}/{self.index}/{i}"
        n_pos = self.rng.randint(0, len(conn.method.params))
        pos: list[Any] = []
        for p in conn.method.params[:n_pos]:
            if p.name not in values:
                break
            pos.append(values[p.name])
        kw = {k: v for k, v in values.items() if k not in [p.name for p in conn.method.params[: len(pos)]]}
        return tuple(pos), kw, values

    def call(self, short: str, i: int) -> None:
        conn = cases_mod.CONNECTIONS[short]
        inst = self.shared[short] if self.shared is not None else self.own[short]
        pos, kw, values = self.arguments(conn, i)
        log = getattr(_seen, "log", None)
        before = len(log) if log else 0
        result = inst.action(*pos, **kw)
        log = _seen.log
        if len(log) != before + 1:
            return self.fail(f"{short}: {len(log) - before} requests recorded for one call")
        who, name, data = log[-1]
        del log[:]
        if who is not inst:
            return self.fail(f"{short}: the request went to another instance")
        if name != conn.transaction:
            return self.fail(f"{short}: transaction {name!r}")
        if list(data) != ["data", *conn.request]:
            return self.fail(f"{short}: request keys {list(data)}")
        if data["data"] != base64.b64encode(inst.payload).decode():
            return self.fail(f"{short}: payload of another instance: {data['data']!r}")
        for key in conn.request:
            if data[key] is not values.get(key):
                return self.fail(f"{short}: {key} is {data[key]!r}, the thread passed {values.get(key)!r}")
        if type(result).__name__ != conn.model or result.env_name is not values["env_name"]:
            return self.fail(f"{short}: result {result!r}")

    def entry_check(self, short: str, i: int) -> None:
        conn = cases_mod.CONNECTIONS[short]
        inst = self.shared[short] if self.shared is not None else self.own[short]
        _, _, values = self.arguments(conn, i)
        values["env_name"] = None
        try:
            inst.action(**values)
        except TypeError as exc:
            first_bad = next(p.name for p in conn.method.params if p.check and values.get(p.name) is None)
            want = f"Argument '{first_bad}' has incorrect type (expected str, got NoneType)"
            if str(exc) != want:
                self.fail(f"{short}: {exc}")
        else:
            self.fail(f"{short}: env_name None accepted")

    def refused(self, short: str, i: int) -> None:
        conn = cases_mod.CONNECTIONS[short]
        inst = self.refusing[short]
        _, _, values = self.arguments(conn, i)
        try:
            inst.action(**values)
        except Refused as exc:
            if exc.args != (values["env_name"],):
                self.fail(f"{short}: refusal of another call: {exc.args}")
            entries = []
            tb = exc.__traceback__
            while tb is not None:
                entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
                tb = tb.tb_next
            if (conn.method.tb_name, conn.transaction_line) not in entries:
                self.fail(f"{short}: no traceback entry for the action: {entries}")
        else:
            self.fail(f"{short}: a refused transaction returned")
        del _seen.log[:]


class Deployer(threading.Thread):
    """Deploys the application in the working directory again and again."""

    def __init__(self, module: Any, deadline: float, errors: list[str]) -> None:
        super().__init__(name="stress-deploy", daemon=True)
        self.deadline = deadline
        self.errors = errors
        self.calls = 0
        errors_mod = __import__("veltra.errors", fromlist=["VeltraCloudAlreadyDeployedError"])
        already = errors_mod.VeltraCloudAlreadyDeployedError
        sent: list[dict] = []
        self.sent = sent

        class Deploy(module.LaunchRolloutAction):
            def __init__(self) -> None:
                self.count = 0

            def _credentials_data(self) -> bytes:
                return b"deployer"

            def _input(self, prompt: str) -> str:
                return "y"

            def _print(self, text: str) -> None:
                return None

            def execute_transaction(self, name: str, data: dict) -> Any:
                sent.append(dict(data))
                self.count += 1
                if self.count % 3 == 0 and "redeploy" not in data:
                    raise already("deployed before")
                return {"details": {"domain_url": f"https://d{self.count}.example/"}}

        self.action = Deploy()

    def run(self) -> None:
        try:
            while time.perf_counter() < self.deadline and len(self.errors) <= 20:
                del self.sent[:]
                no_input = self.calls % 2 == 0
                result = self.action.action("standard", "lake", f"env-{self.calls}", no_input=no_input)
                self.calls += 1
                if result is not True:
                    self.errors.append(f"deploy {self.calls}: returned {result!r}")
                    continue
                last = self.sent[-1]
                keys = list(cases_mod.DEPLOY_REQUEST) + (["redeploy"] if len(self.sent) == 2 else [])
                if list(last) != keys or last["env_name"] != f"env-{self.calls - 1}":
                    self.errors.append(f"deploy {self.calls}: request {list(last)}")
                    continue
                names = zipfile.ZipFile(io.BytesIO(base64.b64decode(last["zip_archive"]))).namelist()
                if "app/requirements.txt" not in names or "app/src/main.py" not in names:
                    self.errors.append(f"deploy {self.calls}: archive holds {names}")
        except BaseException as exc:  # noqa: BLE001
            self.errors.append(f"deploy {self.calls}: {type(exc).__name__}: {exc}")


def run_stress(
    seconds: float = 5.0, threads: int = 8, deploy: bool = True, switch_interval: float = 5e-6
) -> dict[str, Any]:
    """Runs the stress; returns the calls made per thread and the errors found.
    With `deploy`, the working directory must be a deployable application
    (see cases.working_directory("real"))."""
    classes = {}
    for short in cases_mod.CONNECTION_MODULES:
        module = cases_mod.load(short)
        if module is not None:
            classes[short] = stress_class(getattr(module, cases_mod.CONNECTIONS[short].method.cls))
    shared = {short: cls(f"shared {short}") for short, cls in classes.items()}
    errors: list[str] = []
    deadline = time.perf_counter() + seconds
    workers: list[threading.Thread] = [
        Worker(i, shared if i % 2 == 0 else None, classes, deadline, errors) for i in range(threads)
    ]
    deploy_module = cases_mod.load(cases_mod.DEPLOY_MODULE) if deploy else None
    if deploy_module is not None:
        workers.append(Deployer(deploy_module, deadline, errors))
    old = sys.getswitchinterval()
    sys.setswitchinterval(switch_interval)
    try:
        for w in workers:
            w.start()
        for w in workers:
            w.join(seconds + 60)
            if w.is_alive():
                errors.append(f"{w.name} did not finish")
    finally:
        sys.setswitchinterval(old)
    return {"calls": {w.name: getattr(w, "calls", 0) for w in workers}, "errors": errors}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--no-deploy", action="store_true")
    args = parser.parse_args(argv)
    t0 = time.perf_counter()
    with cases_mod.working_directory("real"):
        report = run_stress(args.seconds, args.threads, not args.no_deploy)
    total = sum(report["calls"].values())
    for name, n in report["calls"].items():
        print(f"  {name:<16} {n:>8} calls")
    print(f"stress: {total} calls in {time.perf_counter() - t0:.1f} s, {len(report['errors'])} errors")
    for e in report["errors"]:
        print(f"  ERROR {e}")
    return 1 if report["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
