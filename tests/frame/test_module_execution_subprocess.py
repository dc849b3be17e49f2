"""Module creation and execution, each case in a pristine interpreter: the guards,
the version warning, the imports of the module body and the class statement."""

from __future__ import annotations

import json

import pytest
from support.interpreters import run_python

MOD = "veltra.cloud.services.actions.enumerate_outer_links"
SOURCE = "src/veltra/cloud/services/actions/enumerate_outer_links"
BASE = "veltra.cloud.services.actions.base"
MODELS = "veltra.cloud.models.base"

# Runs the case's `setup` code, imports the module and prints what happened as JSON.
PROBE = """
import importlib, json, sys, traceback, types
{setup}
def entries(exc):
    out, tb = [], exc.__traceback__
    while tb is not None:
        out.append([tb.tb_frame.f_code.co_name, tb.tb_lineno, tb.tb_frame.f_code.co_filename])
        tb = tb.tb_next
    return out
try:
    module = importlib.import_module({mod!r})
    result = {{"ok": True, "names": list(vars(module))}}
except BaseException as exc:
    result = {{"ok": False, "type": type(exc).__name__, "message": str(exc), "entries": entries(exc),
              "in_sys_modules": {mod!r} in sys.modules}}
{after}
print(json.dumps(result))
"""


def probe(setup: str = "", after: str = "", python: str | None = None, args=()) -> dict:
    proc = run_python(PROBE.format(setup=setup, after=after, mod=MOD), python=python, args=args)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def init_entry(line: int) -> list:
    return [f"init {MOD}", line, SOURCE]


def init_entries(result: dict) -> list:
    return [entry for entry in result["entries"] if entry[0].startswith("init ")]


def test_namespace_in_order():
    result = probe()
    assert result["names"] == [
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "__builtins__",
        "base64",
        "EnumerateOuterLinksResponse",
        "CloudActionBase",
        "EnumerateOuterLinksAction",
        "__test__",
    ]


def test_second_import_and_reload_give_the_same_objects():
    proc = run_python(f"""
        import importlib, sys
        import {MOD} as first
        cls = first.EnumerateOuterLinksAction
        first.base64 = "rebound"
        del sys.modules["{MOD}"]
        second = importlib.import_module("{MOD}")
        third = importlib.reload(second)
        assert first is second is third, (first, second, third)
        assert second.EnumerateOuterLinksAction is cls and second.base64 == "rebound"
        assert second.__doc__ is None and second.__test__ == {{}}
        print("same")
    """)
    assert proc.stdout.strip() == "same", proc.stderr


@pytest.mark.parametrize(
    "setup, kind, message, line",
    [
        (f"sys.modules[{BASE!r}] = None", "ModuleNotFoundError", f"import of {BASE} halted; None in sys.modules", 4),
        (f"sys.modules[{BASE!r}] = types.ModuleType({BASE!r})", "ImportError", "cannot import name CloudActionBase", 4),
        (
            f"import {MODELS} as m; del m.EnumerateOuterLinksResponse",
            "ImportError",
            "cannot import name EnumerateOuterLinksResponse",
            3,
        ),
        # The second lookup (ours, after the import system's own) raises something else.
        (
            f"import {MODELS} as m; del m.EnumerateOuterLinksResponse; seen = []\n"
            "def lookup(name):\n    seen.append(name)\n"
            "    raise (AttributeError if len(seen) == 1 else ZeroDivisionError)(name)\n"
            "m.__getattr__ = lookup",
            "ImportError",
            "cannot import name EnumerateOuterLinksResponse",
            3,
        ),
        (
            "sys.modules.pop('base64', None)\nclass Block:\n    def find_spec(self, name, *a):\n"
            "        if name == 'base64': raise ImportError('blocked')\nsys.meta_path.insert(0, Block())",
            "ImportError",
            "blocked",
            1,
        ),
        (f"import {BASE} as b; b.CloudActionBase = 5", "TypeError", None, 7),
    ],
)
def test_failed_import_leaves_no_module_and_can_be_retried(setup, kind, message, line):
    after = f"""
if sys.modules.get({BASE!r}) is None or not hasattr(sys.modules[{BASE!r}], 'CloudActionBase'):
    sys.modules.pop({BASE!r}, None)
sys.meta_path[:] = [f for f in sys.meta_path if type(f).__name__ != "Block"]
for name in [n for n in sys.modules if n.startswith('veltra.cloud')]:
    del sys.modules[name]
result["retry"] = importlib.import_module({MOD!r}).EnumerateOuterLinksAction.__name__
"""
    result = probe(setup, after)
    assert result["ok"] is False and result["type"] == kind
    if message is not None:
        assert result["message"] == message
    assert init_entries(result) == [init_entry(line)]
    assert result["in_sys_modules"] is False
    assert result["retry"] == "EnumerateOuterLinksAction"


def test_name_import_falls_back_to_a_loaded_submodule():
    result = probe(
        f"import {MODELS} as m; sub = types.ModuleType('x'); del m.EnumerateOuterLinksResponse\n"
        f"sys.modules[{MODELS + '.EnumerateOuterLinksResponse'!r}] = sub",
        f"import {MOD} as a; result['is_sub'] = a.EnumerateOuterLinksResponse is sub",
    )
    assert result["ok"] and result["is_sub"]


def test_whole_module_import_takes_sys_modules_entry():
    result = probe(
        "fake = types.ModuleType('base64'); sys.modules['base64'] = fake",
        f"import {MOD} as a; result['is_fake'] = a.base64 is fake",
    )
    assert result["ok"] and result["is_fake"]


FAKE_BASE = f"""
base = types.ModuleType({BASE!r})
sys.modules[{BASE!r}] = base
log = []
class Recorder(dict):
    def __setitem__(self, key, value):
        log.append(key)
        super().__setitem__(key, value)
"""


def test_class_statement_through_the_base_metaclass():
    setup = (
        FAKE_BASE
        + """
class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases, **kw):
        log.append(("prepare", name, [b.__name__ for b in bases], kw))
        return Recorder()
    def __new__(mcs, name, bases, ns, **kw):
        log.append(("new", type(ns).__name__))
        return super().__new__(mcs, name, bases, dict(ns))
class Real(metaclass=Meta):
    def __init_subclass__(cls, **kw):
        log.append(("init_subclass", cls.__name__))
class Proxy:
    def __mro_entries__(self, bases):
        log.append(("mro_entries", len(bases)))
        return (Real,)
base.CloudActionBase = Proxy()
log.clear()
"""
    )
    after = (
        f"import {MOD} as a; C = a.EnumerateOuterLinksAction; result['log'] = log; "
        "result['bases'] = [b.__name__ for b in C.__bases__]; result['orig'] = type(C.__orig_bases__[0]).__name__;"
        "result['meta'] = type(C).__name__"
    )
    result = probe(setup, after)
    assert result["log"] == [
        ["mro_entries", 1],
        ["prepare", "EnumerateOuterLinksAction", ["Real"], {}],
        "__module__",
        "__qualname__",
        "__doc__",
        "__orig_bases__",
        "action",
        ["new", "Recorder"],
        ["init_subclass", "EnumerateOuterLinksAction"],
    ]
    assert (result["bases"], result["orig"], result["meta"]) == (["Real"], "Proxy", "Meta")


@pytest.mark.parametrize(
    "entries, message",
    [
        ("[A]", "__mro_entries__ must return a tuple"),
        (
            "(A, B)",
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
            "of the metaclasses of all its bases",
        ),
    ],
)
def test_class_statement_errors(entries, message):
    setup = (
        FAKE_BASE
        + f"""
class MA(type): pass
class MB(type): pass
class A(metaclass=MA): pass
class B(metaclass=MB): pass
class Proxy:
    def __mro_entries__(self, bases): return {entries}
base.CloudActionBase = Proxy()
"""
    )
    result = probe(setup)
    assert (result["type"], result["message"]) == ("TypeError", message)
    assert init_entries(result) == [init_entry(7)]


def test_namespace_failure_reports_the_def_line():
    setup = (
        FAKE_BASE
        + """
class NoAction(dict):
    def __setitem__(self, key, value):
        if key == "action":
            raise KeyError("no methods here")
        super().__setitem__(key, value)
class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return NoAction()
base.CloudActionBase = Meta("Base", (), {})
"""
    )
    result = probe(setup)
    assert result["type"] == "KeyError" and init_entries(result) == [init_entry(14)]


SUBINTERP = f"""
import os, _testcapi
import {MOD} as first
r, w = os.pipe()
code = '''
import os
try:
    import {MOD}
    msg = "imported"
except ImportError as exc:
    msg = type(exc).__name__ + ": " + str(exc)
os.write(%d, msg.encode())
''' % w
_testcapi.run_in_subinterp(code)
os.close(w)
print(os.read(r, 1000).decode())
import {MOD} as again
print(again is first)
"""


def test_second_interpreter_is_refused():
    proc = run_python(SUBINTERP)
    assert proc.stdout.splitlines() == [
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process.",
        "True",
    ], proc.stderr


def test_reinitialisation_with_another_module_object_is_refused():
    # Only a C caller can hand the execution slot another module object.
    proc = run_python(f"""
        import ctypes, types
        import {MOD} as first
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(first)
        assert api.PyModule_ExecDef(first, definition) == 0
        try:
            api.PyModule_ExecDef(types.ModuleType("{MOD}"), definition)
        except RuntimeError as exc:
            print(exc)
    """)
    assert proc.stdout.strip() == (
        "Module 'enumerate_outer_links' has already been imported. Re-initialisation is not supported."
    ), proc.stderr


def test_version_warning(py313):
    result = probe(
        "import warnings; warnings.simplefilter('always'); caught = []\n"
        "warnings.showwarning = lambda m, c, *a, **k: caught.append([c.__name__, str(m)])",
        "result['caught'] = caught",
        python=py313,
    )
    assert result["ok"]
    assert result["caught"] == [
        ["RuntimeWarning", f"compile time Python version 3.12 of module '{MOD}' does not match runtime version 3.13"]
    ]


def test_version_warning_as_error_fails_the_import(py313):
    result = probe(python=py313, args=["-W", "error::RuntimeWarning"])
    assert (result["ok"], result["type"], result["in_sys_modules"]) == (False, "RuntimeWarning", False)
    assert result["message"].startswith("compile time Python version 3.12")
    assert init_entries(result) == []
