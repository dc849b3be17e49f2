"""The modules run inside other people's processes: these tests look for leaks,
fail allocations one by one, and run the actions from many threads at once,
through the tools in tools/ (soak.py, faults.py, stress.py) in their short
forms, and show that each tool sees the fault it is there for."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

import faults
import pytest
import soak
import stress
from support import cases

ROOT = Path(__file__).resolve().parents[2]

MODULES = cases.available_modules()
SANITIZED = os.environ.get("VELTRA_SANITIZED") == "1"
# Under PYTHONMALLOC=malloc (the sanitizer run) there are no small-object blocks to count.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0


@pytest.mark.skipif(not SANITIZED, reason="only in the sanitizer run (tools/sanitize.sh)")
def test_the_sanitizer_run_is_instrumented():
    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan" in maps
    for short in MODULES:
        module = cases.load(short)
        out = subprocess.run(["nm", "-D", module.__file__], capture_output=True, text=True).stdout
        assert "__asan_init" in out and "__ubsan_handle" in out, short


# --- leaks ----------------------------------------------------------------------

SOAK_PATHS = (
    "ok-required-positional",
    "ok-no-input",
    "ok-answer",
    ":ok",
    "bind-unexpected",
    "bind-nonstr-slot",
    "entry-",
    "execute-raise",
    "credentials-str",
    "response-none",
    "details-none",
    "global-model-removed",
    "global-tempfile-removed",
    "return-int",
    "ok-redeploy-yes",
)


def _soak_cases(short):
    chosen, seen = [], set()
    for case in cases.all_cases([short]):
        key = next((p for p in SOAK_PATHS if p in case.label), None)
        if key and (case.method.name, key) not in seen and case.workdir != "real":
            seen.add((case.method.name, key))
            chosen.append(case)
    return chosen


@pytest.fixture
def traced():
    tracemalloc.start(1)
    yield
    tracemalloc.stop()


@pytest.mark.slow
@pytest.mark.parametrize("short", MODULES)
def test_short_soak_does_not_grow(short, traced):
    n = 500 if SANITIZED else 2000
    # ASan keeps freed memory in quarantine, so the resident size grows there
    # by design; the traced memory still tells.
    limits = soak.Limits(rss_bytes=1 << 40) if SANITIZED else soak.Limits()
    results = [soak.soak_case(case, n, limits, warmup=500) for case in _soak_cases(short)]
    assert len(results) >= 6
    assert [f"{r.label}: {r.error}" for r in results if not r.ok] == []


def test_the_soak_sees_a_leak(traced):
    kept = []
    method = cases.CONNECTIONS["enumerate_outer_links"].method

    def setup():
        return (lambda: kept.append(object())), (lambda: None)

    leaky = cases.Case(method, "leaks-on-purpose", "success", None, setup)
    result = soak.soak_case(leaky, 2000, soak.Limits(), warmup=100)
    assert not result.ok
    assert result.traced >= 2000 * 16
    assert result.blocks >= 2000 or not COUNTS_BLOCKS
    kept.clear()


def _reimport_blocks(short, n=300):
    name = f"{cases.ACTIONS}.{short}"
    module = cases.load(short)
    for _ in range(20):
        del sys.modules[name]
        __import__(name)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(n):
        del sys.modules[name]
        __import__(name)
    gc.collect()
    assert sys.modules[name] is module
    return sys.getallocatedblocks() - before


@pytest.mark.skipif(not COUNTS_BLOCKS, reason="needs the small-object allocator to count blocks")
def test_importing_again_keeps_no_memory():
    # Create hands back the stored module, whose state block the import system
    # then forgets before Execute's caller allocates a new one: Create must free
    # the old one, or every re-import keeps a block.
    # A leak keeps a block on every import of every round; the least of three
    # rounds discards blocks that the rest of the process (earlier tests' garbage,
    # caches) happens to allocate meanwhile.
    assert min(_reimport_blocks("enumerate_outer_links") for _ in range(3)) < 30


# --- fault injection -------------------------------------------------------------


def _faults(*args, timeout=600):
    proc = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "faults.py"), *args], capture_output=True, text=True, timeout=timeout
    )
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.slow
@pytest.mark.skipif(faults._testcapi is None, reason="no _testcapi in this interpreter")
def test_failing_each_allocation_of_every_call():
    code, out = _faults("--only", "calls")
    assert code == 0, out
    assert "DIED" not in out and " 0 problems" in out


@pytest.mark.slow
@pytest.mark.skipif(faults._testcapi is None, reason="no _testcapi in this interpreter")
def test_failing_each_allocation_of_an_import():
    modules = [m for m in ("enumerate_outer_links", "launch_rollout") if m in MODULES]
    code, out = _faults("--only", "imports", "--modules", *modules)
    assert code == 0, out
    assert " 0 problems" in out


def test_a_fault_run_sees_a_lost_exception():
    # The classification must name the modules' own SystemErrors.
    exc = SystemError("<compiled function X.action at 0x1> returned NULL without setting an exception")
    assert faults.system_error(exc) == (f"SystemError: {exc}", True)
    assert faults.system_error(SystemError("error return without exception set"))[1] is False
    assert faults.system_error(ValueError()) is None


# --- threads -----------------------------------------------------------------------


@pytest.mark.slow
def test_eight_threads_get_their_own_requests(monkeypatch, tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "main.py").write_text("print('hello')\n")
    (tmp_path / "requirements.txt").write_text("\n")
    monkeypatch.chdir(tmp_path)
    report = stress.run_stress(seconds=1.0 if SANITIZED else 2.0, threads=8)
    assert report["errors"] == []
    workers = {k: v for k, v in report["calls"].items() if k != "stress-deploy"}
    assert len(workers) == 8 and min(workers.values()) > 50
    if "launch_rollout" in MODULES:
        assert report["calls"]["stress-deploy"] >= 2


def test_the_stress_check_sees_a_wrong_request():
    short = "detach_outer_link"
    cls = stress.stress_class(getattr(cases.load(short), cases.CONNECTIONS[short].method.cls))

    class Swapping(cls):
        def execute_transaction(self, name, data):
            data = dict(data, env_name="someone else's")
            stress._record(self, name, data)
            return {"env_name": data["env_name"]}

    errors = []
    worker = stress.Worker(0, None, {short: Swapping}, 0.0, errors)
    worker.call(short, 1)
    assert errors and "env_name" in errors[0]
