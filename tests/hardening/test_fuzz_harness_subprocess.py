"""The fuzz harness (tools/fuzz_targets.py) without the fuzzer: the inputs it
kept and a few hundred random ones run through the compiled modules and their
twins, and each of its checks shown to catch the fault it is there for. The fuzzer itself runs
in tools/fuzz.sh (CI: `tools/fuzz.sh --smoke`). Every run is a subprocess: the
harness swaps module globals and the unraisable hook of its interpreter."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TOOLS = ROOT / "tools"
FINDINGS = TOOLS / "fuzz_findings"


def run(code: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", code, *args], check=False, capture_output=True, text=True, timeout=timeout, cwd=ROOT
    )


REPLAY = f"import sys; sys.path.insert(0, {str(TOOLS)!r}); import fuzz_targets; sys.exit(fuzz_targets.main())"


def test_random_inputs_keep_every_invariant():
    done = run(REPLAY, "--random", "400", "--seed", "1")
    assert done.returncode == 0, done.stderr
    assert "400 inputs, no violation" in done.stdout


def kept_findings() -> list[Path]:
    if not FINDINGS.is_dir():
        return []
    return sorted(p for p in FINDINGS.iterdir() if p.is_file() and not p.name.endswith((".md", ".py")))


@pytest.mark.parametrize("finding", kept_findings(), ids=lambda p: p.name)
def test_kept_finding_no_longer_fails(finding):
    done = run(REPLAY, str(finding))
    assert done.returncode == 0, done.stderr[-3000:]


# Each fault planted in the method objects under fuzzing (a Python wrapper,
# `call`, in place of the compiled method `real`): the wrapper's body, and what
# the harness must say about it.
PLANTED = {
    # Binding that looks at a collaborator before it refuses the call.
    "binding-reaches-collaborator": (
        """
        getattr(args[0] if args else kwargs.get("self"), "_credentials_data", None)
        return real(*args, **kwargs)
        """,
        "reached the collaborators",
    ),
    # A C function that returned NULL without an exception looks like this.
    "system-error": (
        """
        real(*args, **kwargs)
        raise SystemError("error return without exception set")
        """,
        "SystemError",
    ),
    # A valid call refused with a binding message.
    "valid-call-refused": (
        'raise TypeError("action() takes at least 2 positional arguments (1 given)")',
        "a valid call was refused",
    ),
    # An invalid call that goes through.
    "invalid-call-accepted": ("return None", "a call built invalid returned"),
    # A call whose result is not what the same text gives in Python (the second
    # oracle: only the twin knows what the result should be).
    "differs-from-its-twin": (
        """
        result = real(*args, **kwargs)
        return result if result is None else None
        """,
        "the module and its twin differ",
    ),
    # A generator's handled exception lost when it is also its caller's (the
    # caller threw it in): the slot emptied, which the public API cannot tell
    # from one that holds the caller's object until the caller's handler ends.
    "loses-an-exception-thrown-into-a-generator": (
        """
        handled = sys.exception()
        try:
            return real(*args, **kwargs)
        finally:
            tb = handled.__traceback__ if handled is not None else None
            if tb is not None and tb.tb_next is not None and tb.tb_frame.f_code.co_flags & 0x20:  # CO_GENERATOR
                import ctypes

                ctypes.pythonapi.PyErr_SetHandledException(None)
        """,
        "a generator resumed after the call lost the exception thrown into it",
    ),
    # A call that leaves something in its module's namespace.
    "changes-a-global": (
        """
        sys.modules[real.__module__].__dict__["leftover"] = 1
        return real(*args, **kwargs)
        """,
        "changed the globals",
    ),
}

PLANT = """
import sys, textwrap
sys.path.insert(0, {tools!r})
import fuzz_targets

def planted(real):
    def call(*args, **kwargs):
{planted}
    return call

harness = fuzz_targets.Harness()
for t in harness.targets:
    if t.method.name == "action":
        t.func = planted(t.func)
harness.targets = [t for t in harness.targets if t.method.name == "action"]
# A Python function refuses keyword names that are not str by itself, a
# violation of its own: every violation is listed, the test looks for its own.
for name, data in fuzz_targets.inputs([], 1000, 7):
    try:
        harness.one_input(data)
    except fuzz_targets.Violation as exc:
        print("VIOLATION", exc)
"""


@pytest.mark.parametrize("fault", list(PLANTED), ids=str)
def test_the_harness_sees_a_planted_fault(fault):
    source, expect = PLANTED[fault]
    body = textwrap.indent(textwrap.dedent(source).strip(), " " * 8)
    code = PLANT.format(tools=str(TOOLS), planted=body)
    done = run(code)
    assert done.returncode == 0, done.stderr[-3000:]
    found = [line for line in done.stdout.splitlines() if line.startswith("VIOLATION") and expect in line]
    assert found, done.stdout[-2000:]
