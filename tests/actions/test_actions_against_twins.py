"""Every path of tests/support/cases.py through each compiled module and through its
plain-Python twin (tests/support/twins/), with the same collaborators, compared
on everything a caller can observe (tests/support/observe.py): the result or the
exception with its message, traceback entries and context; every lookup and
call of a collaborator with its arguments (the request's keys in order, the
caller's objects by identity) and the exception being handled meanwhile; every
use of a module global; the exception being handled afterwards, also in
generators. The rules where module and twin differ by design are
observe.DECLARED."""

from __future__ import annotations

import functools
import inspect
import sys
import types
from pathlib import Path
from typing import Any

import pytest
from support import cases, observe, twins

GLOBALS = {short: ("base64", conn.model) for short, conn in cases.CONNECTIONS.items()}
GLOBALS[cases.DEPLOY_MODULE] = ("base64", "tempfile", "shutil", "Path", "DeployResponse", "VELTRA_ENV_SUBDOMAIN")
BUILT = [short for short in twins.NAMES if cases.load(short) is not None]


def case_list(short: str, module: types.ModuleType) -> list[cases.Case]:
    if short == cases.DEPLOY_MODULE:
        return cases.deploy_cases(module, mixin=observe.Spy)
    return cases.connection_cases(short, module, mixin=observe.Spy)


@functools.cache
def paths(short: str) -> tuple[list[cases.Case], list[cases.Case]]:
    """The paths of the compiled module and of its twin, in the same order."""
    return case_list(short, cases.load(short)), case_list(short, twins.load(short))


def events(case: cases.Case, module: types.ModuleType, situation: str, side: str) -> list[tuple]:
    log = observe.Log(side)
    with case.prepared() as call, observe.standins(module, GLOBALS[case.method.module]), observe.active(log):
        observe.run(log, call, situation)
    return log.events


def _params() -> list[Any]:
    out = []
    for short in BUILT:
        for index, case in enumerate(paths(short)[0]):
            for situation in observe.SITUATIONS:
                out.append(pytest.param(short, index, situation, id=f"{case.label}:{situation}"))
    return out


@pytest.mark.parametrize(("short", "index", "situation"), _params())
def test_module_and_twin_agree(short, index, situation):
    compiled, twin = paths(short)
    case, twin_case = compiled[index], twin[index]
    assert case.label == twin_case.label
    got = events(case, cases.load(short), situation, "module")
    want = events(twin_case, twins.load(short), situation, "twin")
    assert got, "nothing was observed"
    difference = observe.first_difference(got, want)
    assert difference is None, f"{case.label} ({situation}): module and twin differ at {difference}"


# --- the twins are the modules' likeness ------------------------------------------------

INTROSPECTED = ("__name__", "__annotations__", "__defaults__", "__kwdefaults__")


def same_doc(doc: str | None, twin_doc: str | None) -> bool:
    # observe.DECLARED: "class statements and docstrings under 3.13".
    if sys.version_info >= (3, 13) and doc is not None and twin_doc is not None:
        return inspect.cleandoc(doc) == inspect.cleandoc(twin_doc)
    return doc == twin_doc


CODE = ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_varnames", "co_firstlineno", "co_name")


@pytest.mark.parametrize("short", BUILT)
def test_twin_has_the_modules_names_docstrings_and_signatures(short):
    module, twin = cases.load(short), twins.load(short)
    public = [k for k in vars(module) if not k.startswith("__")]
    assert public == [k for k in vars(twin) if not k.startswith("__")]
    cls = next(v for v in vars(module).values() if isinstance(v, type) and v.__module__ == module.__name__)
    twin_cls = getattr(twin, cls.__name__)
    twin_names = [k for k in vars(twin_cls) if k not in ("__firstlineno__", "__static_attributes__")]
    assert list(vars(cls)) == twin_names and same_doc(cls.__doc__, twin_cls.__doc__)
    for name in [k for k in vars(cls) if not k.startswith("__")]:
        method, twin_method = vars(cls)[name], vars(twin_cls)[name]
        assert method.__qualname__ == twin_method.__qualname__
        assert same_doc(method.__doc__, twin_method.__doc__), name
        for attr in INTROSPECTED:
            assert getattr(method, attr) == getattr(twin_method, attr), (name, attr)
        # co_qualname: see observe.DECLARED, "the code objects' qualified names".
        for attr in CODE:
            assert getattr(method.__code__, attr) == getattr(twin_method.__code__, attr), (name, attr)


# --- the check sees what it is for ----------------------------------------------------------

ATTACH = "attach_outer_link"
KEYS = '"env_name": env_name,\n                "connection_name": connection_name,'
# Twins that depart from the module in one observable each: the check must see every one.
MUTANTS = {
    "request keys reordered": (KEYS, '"connection_name": connection_name,\n                "env_name": env_name,'),
    "credentials copied": ('"credentials": credentials,', '"credentials": dict(credentials),'),
    "a statement a line lower": ("        encrypted_data = self", "\n        encrypted_data = self"),
    "the response expanded as Python does": ("**dict(response_data)", "**response_data"),
    "base64 not read from the globals": ("base64.b64encode(", '__import__("base64").b64encode('),
}


def _mutant(old: str, new: str) -> types.ModuleType:
    path = Path(twins.__file__).parent / f"{ATTACH}.py"
    source = path.read_text()
    assert source.count(old) == 1
    module = types.ModuleType(f"support.twins.mutant_{ATTACH}")
    exec(compile(source.replace(old, new), str(path), "exec"), module.__dict__)
    return module


@pytest.mark.skipif(ATTACH not in BUILT, reason="attach_outer_link is not built")
@pytest.mark.parametrize("mutation", list(MUTANTS))
def test_a_twin_that_departs_is_caught(mutation):
    mutant = _mutant(*MUTANTS[mutation])
    compiled = paths(ATTACH)[0]
    for index, case in enumerate(case_list(ATTACH, mutant)):
        got = events(compiled[index], cases.load(ATTACH), "plain", "module")
        if observe.first_difference(got, events(case, mutant, "plain", "twin")) is not None:
            return
    pytest.fail(f"no path tells the module from a twin with {mutation}")
