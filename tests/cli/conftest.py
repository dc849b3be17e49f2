"""Fixtures of the command-line tests: a private data folder and staging folder, the `veltra`
command run as a real subprocess, and a copy of the example application."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest
from cli_support import EXAMPLE, without_file_override


@pytest.fixture
def env(tmp_path):
    staging = tmp_path / "tmp"
    staging.mkdir()
    values = {**os.environ, "VELTRA_DATA_DIR": str(tmp_path / "data"), "TMPDIR": str(staging), "TERM": "dumb"}
    for name in ("VELTRA_MAX_ARCHIVE_SIZE", "VELTRA_MAX_CREDENTIAL_SIZE", "VELTRA_DEBUG", "COLUMNS"):
        values.pop(name, None)
    return values


@pytest.fixture
def veltra(tmp_path, env):
    """Runs `python -m veltra ARGS` to the end; returns the finished process (text output)."""

    def run(*argv: str, cwd=None, input: str | None = None, extra_env=None, **options) -> subprocess.CompletedProcess:
        if "stdout" not in options:
            options["capture_output"] = True
        return subprocess.run(
            [sys.executable, "-m", "veltra", *argv],
            check=False,
            text=True,
            env={**env, **(extra_env or {})},
            input=input,
            cwd=cwd or tmp_path,
            timeout=120,
            **options,
        )

    return run


@pytest.fixture
def app(tmp_path):
    """A copy of the example application, with a few things a deploy leaves out."""
    root = tmp_path / "app"
    shutil.copytree(EXAMPLE, root)
    (root / "static").mkdir()
    (root / "static" / "logo.svg").write_text("<svg/>")
    (root / "README.md").write_text("# hello\n")
    return root


@pytest.fixture
def as_plain_user():
    probe = subprocess.run(["true"], preexec_fn=without_file_override, check=False)
    if probe.returncode != 0:
        pytest.skip("cannot drop file-permission override for the child")
    return without_file_override
