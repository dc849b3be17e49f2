"""Every path of every method of the built modules, as the case table
(tests/support/cases.py) describes it, ends as documented: its result, or its
exception with its message and the traceback entries of the module's methods."""

from __future__ import annotations

import pytest
from support import cases

MODULES = cases.available_modules()


def test_every_module_is_there():
    # The deploy module joins in by itself once it is built; the four
    # connection modules must be there.
    assert set(cases.CONNECTION_MODULES) <= set(MODULES)


@pytest.mark.parametrize("short", MODULES)
def test_every_path_ends_as_documented(short):
    wrong = []
    all_cases = cases.all_cases([short])
    assert all_cases
    for case in all_cases:
        with case.prepared() as call:
            error = case.check(call)
        if error:
            wrong.append(f"{case.label}: {error}")
    assert not wrong
