"""Running code in a pristine interpreter: this one, or the CPython 3.13 that has
the package built for it."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Iterable


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
