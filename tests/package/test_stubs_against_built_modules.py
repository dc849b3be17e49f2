"""The typed surface: every compiled module's .pyi stub describes the built module,
and the installed package ships the stubs with its py.typed marker."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
from support.cases import ACTIONS

SOURCES = Path(__file__).resolve().parents[2] / "src" / "veltra" / "cloud" / "services" / "actions"
MODULES = ["enumerate_outer_links", "attach_outer_link", "amend_outer_link", "detach_outer_link", "launch_rollout"]
P = inspect.Parameter


def built(short: str) -> Any:
    """The built module; a module not built yet skips, any other import failure fails."""
    try:
        return importlib.import_module(f"{ACTIONS}.{short}")
    except ModuleNotFoundError as e:
        if e.name != f"{ACTIONS}.{short}":
            raise
        pytest.skip(f"{ACTIONS}.{short} is not built yet: nothing to compare its stub with")


def stub(short: str) -> ast.Module:
    return ast.parse((SOURCES / f"{short}.pyi").read_text(), filename=f"{short}.pyi")


def public(names: Any) -> set[str]:
    return {n for n in names if not (n.startswith("__") and n.endswith("__"))}


def bound_names(tree: ast.Module) -> dict[str, ast.stmt]:
    """Every name the stub binds at module level, with its statement."""
    out: dict[str, ast.stmt] = {}
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            out.update({alias.asname or alias.name: node for alias in node.names})
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            out[node.target.id] = node
        elif isinstance(node, ast.Assign):
            out.update({target.id: node for target in node.targets})
    return out


def text(node: ast.expr | None) -> Any:
    return P.empty if node is None else ast.unparse(node)


def stub_signature(fn: ast.FunctionDef) -> tuple[list[tuple], Any]:
    a = fn.args
    positional = [(arg, P.POSITIONAL_ONLY) for arg in a.posonlyargs] + [
        (arg, P.POSITIONAL_OR_KEYWORD) for arg in a.args
    ]
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    params = [(arg, kind, d) for (arg, kind), d in zip(positional, defaults, strict=True)]
    params += [(a.vararg, P.VAR_POSITIONAL, None)] if a.vararg else []
    params += [(arg, P.KEYWORD_ONLY, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults, strict=True)]
    params += [(a.kwarg, P.VAR_KEYWORD, None)] if a.kwarg else []
    return (
        [
            (arg.arg, kind, repr(P.empty if d is None else ast.literal_eval(d)), text(arg.annotation))
            for arg, kind, d in params
        ],
        text(fn.returns),
    )


def runtime_signature(func: Any) -> tuple[list[tuple], Any]:
    sig = inspect.signature(func)
    return ([(p.name, p.kind, repr(p.default), p.annotation) for p in sig.parameters.values()], sig.return_annotation)


@pytest.mark.parametrize("short", MODULES)
def test_stub_names_exactly_the_public_names(short):
    assert public(bound_names(stub(short))) == public(vars(built(short)))


@pytest.mark.parametrize("short", MODULES)
def test_imports_are_reexported_as_the_module_binds_them(short):
    module = built(short)
    for node in stub(short).body:
        if isinstance(node, ast.Import):
            found = [(alias, importlib.import_module(alias.name)) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            assert node.level == 0
            found = [(alias, getattr(importlib.import_module(node.module), alias.name)) for alias in node.names]
        else:
            continue
        for alias, value in found:
            assert alias.asname == alias.name, f"{alias.name} must be re-exported explicitly"
            assert getattr(module, alias.name) is value, alias.name


@pytest.mark.parametrize("short", MODULES)
def test_classes_and_signatures_follow_the_runtime(short):
    module = built(short)
    classes = [node for node in stub(short).body if isinstance(node, ast.ClassDef)]
    assert classes
    for node in classes:
        cls = getattr(module, node.name)
        assert [getattr(module, ast.unparse(base)) for base in node.bases] == list(cls.__bases__)
        methods = {fn.name: fn for fn in node.body if isinstance(fn, ast.FunctionDef)}
        assert set(methods) == {name for name, value in vars(cls).items() if inspect.isroutine(value)}
        for name, fn in methods.items():
            assert stub_signature(fn) == runtime_signature(getattr(cls, name)), f"{node.name}.{name}"


def test_installed_package_ships_the_typed_surface():
    package = Path(importlib.import_module("veltra").__file__).parent
    if package == SOURCES.parents[2]:
        pytest.skip("veltra is imported from the source tree, not from an installed wheel")
    assert (package / "py.typed").is_file()
    installed = package / "cloud" / "services" / "actions"
    for short in MODULES:
        shipped = installed / f"{short}.pyi"
        assert shipped.is_file(), f"{shipped} missing: the wheel must ship the stubs"
        assert shipped.read_text() == (SOURCES / f"{short}.pyi").read_text(), (
            f"installed {short}.pyi is stale: reinstall the package"
        )


@pytest.mark.slow
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed (optional check)")
def test_mypy_stubtest_agrees(tmp_path):
    names = []
    for short in MODULES:
        try:
            importlib.import_module(f"{ACTIONS}.{short}")
        except ModuleNotFoundError as e:
            if e.name != f"{ACTIONS}.{short}":
                raise
            continue
        names.append(f"{ACTIONS}.{short}")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *names], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stdout + done.stderr
