"""Shared fixtures: a recording fake of the base class's collaborators and helpers
for running code in a pristine interpreter."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterable
from typing import Any

import pytest

# The command-line tests' fixtures (tests/cli/cli_fixtures.py).
pytest_plugins = ["cli_fixtures"]

ACTIONS = "veltra.cloud.services.actions"


class Recording:
    """Mixin that replaces every collaborator of CloudActionBase with a recorder.

    `calls` lists each collaborator call as (name, args, kwargs), in order. A
    collaborator's behaviour is set through the attributes below; a value that is
    an exception instance is raised instead of returned.
    """

    payload: Any = b"secret-payload"
    response: Any = None
    answers: Iterable[Any] = ()

    def __init__(self, **settings: Any) -> None:
        self.calls: list[tuple[str, tuple, dict]] = []
        for key, value in settings.items():
            setattr(self, key, value)
        self._answers = iter(self.answers)

    def _record(self, name: str, args: tuple, kwargs: dict, result: Any) -> Any:
        self.calls.append((name, args, kwargs))
        if isinstance(result, BaseException):
            raise result
        if callable(result) and not isinstance(result, type):
            return result(*args, **kwargs)
        return result

    def _credentials_data(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("_credentials_data", args, kwargs, self.payload)

    def execute_transaction(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("execute_transaction", args, kwargs, self.response)

    def _input(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("_input", args, kwargs, next(self._answers))

    def _print(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("_print", args, kwargs, None)

    def names(self) -> list[str]:
        return [name for name, _, _ in self.calls]

    def transactions(self) -> list[tuple]:
        return [args for name, args, _ in self.calls if name == "execute_transaction"]


_recording_classes: dict[type, type] = {}


def recording(action_class: type, **settings: Any) -> Any:
    """An instance of `action_class` whose collaborators are recorders."""
    cls = _recording_classes.get(action_class)
    if cls is None:
        cls = type(f"Recording{action_class.__name__}", (Recording, action_class), {})
        _recording_classes[action_class] = cls
    return cls(**settings)


@pytest.fixture
def make_recording() -> Callable[..., Any]:
    return recording


def tb_entries(exc: BaseException) -> list[tuple[str, int, str]]:
    """(function name, line, file name) of every traceback entry, innermost last."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, tb.tb_lineno, code.co_filename))
        tb = tb.tb_next
    return entries


def run_python(
    code: str,
    *,
    python: str | None = None,
    args: Iterable[str] = (),
    env: dict[str, str] | None = None,
    cwd: str | os.PathLike | None = None,
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter and returns the finished process."""
    full_env = dict(os.environ)
    full_env.pop("PYTHONWARNINGS", None)
    if env:
        full_env.update(env)
    return subprocess.run(
        [python or sys.executable, *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        cwd=cwd,
        timeout=120,
    )


def python313() -> str | None:
    """A CPython 3.13 with this package built and installed for it, if there is one."""
    path = os.environ.get("VELTRA_PY313")
    return path if path and os.path.exists(path) else None


@pytest.fixture
def py313() -> str:
    path = python313()
    if path is None:
        if os.environ.get("CI"):
            pytest.fail("CI must provide the 3.13 build: VELTRA_PY313 is not set to an interpreter")
        pytest.skip(
            "no CPython 3.13 build of the package: set VELTRA_PY313 to a 3.13 interpreter "
            "that has it installed (the README's test command does this)"
        )
    return path
