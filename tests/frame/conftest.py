"""The frame's tests run some cases under CPython 3.13 too (the version warning)."""

from __future__ import annotations

import os

import pytest
from support.interpreters import python313


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
