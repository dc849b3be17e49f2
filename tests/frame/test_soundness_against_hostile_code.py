"""What plain Python code can do to the frame without crashing it or leaving state
behind: code objects run as functions, traceback entries made under hostile
globals, handled exceptions inside generators, a second runtime in an embedding
program, a failed import under another name, and debuggers writing to frames."""

from __future__ import annotations

import gc
import os
import shutil
import subprocess
import sys
import sysconfig
import weakref
from pathlib import Path

import pytest
from support.cases import ACTIONS
from support.interpreters import python313, run_python
from support.recording import recording, tb_entries

from veltra.cloud.services.actions import enumerate_outer_links, launch_rollout
from veltra.errors import VeltraCloudAlreadyDeployedError

ENUMERATE_TB = f"{ACTIONS}.enumerate_outer_links.EnumerateOuterLinksAction.action"
ENUMERATE_SOURCE = "src/veltra/cloud/services/actions/enumerate_outer_links"

INTERPRETERS = [
    pytest.param(None, id="3.12"),
    pytest.param(
        "3.13",
        id="3.13",
        marks=pytest.mark.skipif(python313() is None, reason="no CPython 3.13 build of the package (VELTRA_PY313)"),
    ),
]


@pytest.mark.parametrize("version", INTERPRETERS)
def test_a_function_made_from_a_method_code_object_raises(version):
    result = run_python(
        """
        import importlib, types, warnings
        warnings.simplefilter("ignore")
        CLASSES = {"launch_rollout": "LaunchRolloutAction", "attach_outer_link": "AttachOuterLinkAction",
                   "amend_outer_link": "AmendOuterLinkAction", "detach_outer_link": "DetachOuterLinkAction",
                   "enumerate_outer_links": "EnumerateOuterLinksAction"}
        for short, cls in CLASSES.items():
            for name, method in vars(getattr(importlib.import_module("veltra.cloud.services.actions." + short),
                                             cls)).items():
                code = getattr(method, "__code__", None)
                if code is None:
                    continue
                assert code.co_flags == 3 and 1 <= code.co_stacksize and len(code.co_code) <= 16, code
                f = types.FunctionType(code, {})
                args = [object()] * code.co_argcount
                kwargs = {n: None for n in code.co_varnames[code.co_argcount:][:code.co_kwonlyargcount]}
                for run in (lambda: f(*args, **kwargs), lambda: exec(code, {})):
                    try:
                        run()
                    except (AssertionError, TypeError) as e:
                        print(short, name, type(e).__name__)
                    else:
                        raise SystemExit(f"{short}.{name} ran without raising")
    """,
        python=python313() if version else None,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    # Every call with the right arguments reaches the stub and raises from it.
    assert sum(line.endswith("AssertionError") for line in lines) == 8
    assert len(lines) == 16


@pytest.mark.parametrize("version", INTERPRETERS)
def test_a_cleared_method_keeps_str_names_as_a_function_does(version):
    # The collector clears what is in a garbage cycle (tp_clear), and what still
    # reaches a cleared object, a finaliser say, reads its names.
    result = run_python(
        """
        import ctypes, warnings
        warnings.simplefilter("ignore")
        from veltra.cloud.services.actions.enumerate_outer_links import EnumerateOuterLinksAction
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
        get_slot.restype = ctypes.c_void_p
        TP_CLEAR = 51
        def function():
            pass
        method = vars(EnumerateOuterLinksAction)["action"]
        for obj in (function, method):
            ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), TP_CLEAR))(obj)
            print(repr(obj.__name__), repr(obj.__qualname__))
        print(repr(method).startswith("<compiled function  at "), repr(method.__reduce__()))
        """,
        python=python313() if version else None,
    )
    assert result.returncode == 0, result.stderr
    function, method, shown = result.stdout.splitlines()
    assert method == function == "'' ''"
    assert shown == "True ''"


ENTRY_UNDER_HOSTILE_GLOBALS = """
    import traceback
    from veltra.cloud.services.actions import enumerate_outer_links as mod
    {setup}

    class Rec(mod.EnumerateOuterLinksAction):
        def _credentials_data(self):
            return b"p"
        def execute_transaction(self, name, request):
            raise LookupError("refused")

    try:
        Rec().action("env")
    except LookupError as e:
        entries = [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)]
        print(type(e).__name__, e, entries[1])
"""


@pytest.mark.parametrize(
    "setup",
    [
        "del mod.__dict__['__builtins__']",
        # A key whose hash meets "__builtins__" and whose __eq__ is Python code, ahead
        # of the real key in the lookup: the frame's builtins lookup runs that code.
        """
class Key(str):
    def __hash__(self):
        return hash("__builtins__")
    def __eq__(self, other):
        return str.__eq__(self, other)
    __ne__ = str.__ne__
saved = mod.__dict__.pop("__builtins__")
mod.__dict__[Key("other")] = 1
mod.__dict__["__builtins__"] = saved
""",
        """
class Key(str):
    armed = False
    def __hash__(self):
        return hash("__builtins__")
    def __eq__(self, other):
        if Key.armed:
            raise ValueError("no comparing")
        return str.__eq__(self, other)
saved = mod.__dict__.pop("__builtins__")
mod.__dict__[Key("other")] = 1
mod.__dict__["__builtins__"] = saved
Key.armed = True
""",
    ],
    ids=["builtins-removed", "key-eq-runs-python", "key-eq-raises"],
)
def test_the_entry_is_made_with_the_exception_set_aside(setup):
    result = run_python(ENTRY_UNDER_HOSTILE_GLOBALS.format(setup=setup.strip().replace("\n", "\n    ")))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"LookupError refused ('{ENUMERATE_TB}', 32)"


@pytest.fixture
def app_dir(tmp_path, monkeypatch):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "main.py").write_text("print('hi')\n")
    (tmp_path / "requirements.txt").write_text("")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def redeploy_path():
    """A deploy that the service first refuses as already deployed."""
    calls = []

    def reply(*args):
        calls.append(args)
        if len(calls) == 1:
            raise VeltraCloudAlreadyDeployedError("there")
        return {"details": {"domain_url": "https://d/"}}

    inst = recording(launch_rollout.LaunchRolloutAction, response=reply)
    return lambda: inst.action("t", "l", "e", no_input=True)


def with_block_left_by_an_exception():
    """A deploy whose staging fails inside the temporary-directory block."""
    inst = recording(launch_rollout.LaunchRolloutAction)

    def call():
        try:
            os.remove("requirements.txt")
            inst.action("t", "l", "e", no_input=True)
        except FileNotFoundError:
            pass

    return call


class CallersError(Exception):
    pass


@pytest.mark.parametrize("make_call", [redeploy_path, with_block_left_by_an_exception])
def test_a_generator_does_not_keep_its_callers_handled_exception(app_dir, make_call):
    call = make_call()

    def steps():
        yield
        call()
        yield
        yield sys.exception()
        try:
            raise
        except RuntimeError as e:
            yield str(e)

    gen = steps()
    next(gen)
    try:
        raise CallersError
    except CallersError as caught:
        seen = weakref.ref(caught)
        gen.send(None)
    # The caller has finished handling it; the generator never handled it.
    assert next(gen) is None
    gc.collect()  # the refusal's traceback holds a cycle, as it would in Python
    assert seen() is None
    assert next(gen) == "No active exception to reraise"


EMBEDDING_HOST = r"""
#include <Python.h>
int main(int argc, char** argv) {
  if (argc < 2) return 3;
  for (int round = 0; round < 2; ++round) {
    Py_Initialize();
    int failed = PyRun_SimpleString(argv[1]);
    if (Py_FinalizeEx() < 0 || failed) return 1;
  }
  return 0;
}
"""

IN_EACH_RUNTIME = """
import importlib, types
from veltra.cloud.services.actions import enumerate_outer_links as mod
# base64's own argument parser does not survive a second runtime in every 3.12
# release; this check is about the module, so it takes a stand-in.
mod.base64 = types.SimpleNamespace(b64encode=lambda payload: b"cA==")

class Rec(mod.EnumerateOuterLinksAction):
    def _credentials_data(self):
        return b"p"
    def execute_transaction(self, name, request):
        return {"env_name": request["env_name"], "connections": []}

assert importlib.import_module(mod.__name__) is mod
print(type(mod.EnumerateOuterLinksAction).__name__, Rec().action("env").env_name)
"""


def test_a_second_runtime_in_an_embedding_program_imports_afresh(tmp_path):
    config = Path(sysconfig.get_config_var("BINDIR")) / f"python{sys.version_info[0]}.{sys.version_info[1]}-config"
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None or not config.exists():
        pytest.skip("no C compiler or python-config to build an embedding host with")
    flags = subprocess.run(
        [str(config), "--embed", "--cflags", "--ldflags"], capture_output=True, text=True, check=True
    ).stdout.split()
    (tmp_path / "host.c").write_text(EMBEDDING_HOST)
    subprocess.run([compiler, str(tmp_path / "host.c"), "-o", str(tmp_path / "host"), *flags], check=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p and os.path.isdir(p)))
    result = subprocess.run(
        [str(tmp_path / "host"), IN_EACH_RUNTIME], capture_output=True, text=True, env=env, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["type env", "type env"]


def test_a_failed_import_under_another_name_removes_only_its_own_entry():
    result = run_python("""
        import importlib, importlib.util, sys
        dotted = "veltra.cloud.services.actions.enumerate_outer_links"
        path = importlib.util.find_spec(dotted).origin
        sys.modules["veltra.cloud.services.actions.base"] = None
        spec = importlib.util.spec_from_file_location("alias.enumerate_outer_links", path)
        alias = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(alias)
        except ImportError as e:
            print("failed:", type(e).__name__)
        print("left:", dotted in sys.modules)
        del sys.modules["veltra.cloud.services.actions.base"]
        mod = importlib.import_module(dotted)
        print("class:", mod.EnumerateOuterLinksAction.__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "failed: ModuleNotFoundError",
        "left: False",
        "class: EnumerateOuterLinksAction",
    ]


def test_a_plain_import_keeps_the_entry_under_the_same_name():
    result = run_python("""
        import importlib, sys
        dotted = "veltra.cloud.services.actions.enumerate_outer_links"
        sys.modules["veltra.cloud.services.actions.base"] = None
        try:
            importlib.import_module(dotted)
        except ImportError:
            pass
        print(dotted in sys.modules)
        del sys.modules["veltra.cloud.services.actions.base"]
        print(importlib.import_module(dotted).EnumerateOuterLinksAction.__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["False", "EnumerateOuterLinksAction"]


def failing_entry():
    inst = recording(enumerate_outer_links.EnumerateOuterLinksAction, response=LookupError("refused"))
    with pytest.raises(LookupError) as info:
        inst.action("env")
    tb = info.value.__traceback__
    while tb.tb_frame.f_code.co_name != ENUMERATE_TB:
        tb = tb.tb_next
    return info.value, tb


@pytest.mark.parametrize(
    "tamper",
    [
        lambda frame: setattr(frame, "f_trace", lambda *args: None),
        lambda frame: frame.f_locals.update(leaked=1),
        lambda frame: frame.clear(),
    ],
    ids=["f_trace", "f_locals", "clear"],
)
def test_what_a_debugger_leaves_on_an_entry_does_not_reach_the_next(tamper):
    _first, first_tb = failing_entry()
    tamper(first_tb.tb_frame)
    second, second_tb = failing_entry()
    frame = second_tb.tb_frame
    assert frame.f_trace is None and frame.f_locals == {}
    assert frame.f_globals is enumerate_outer_links.__dict__
    assert (second_tb.tb_lineno, frame.f_code.co_filename) == (32, ENUMERATE_SOURCE)
    assert tb_entries(second)[-3][:2] == (ENUMERATE_TB, 32)
    with pytest.raises(ValueError):
        frame.f_lineno = 1


# --- every entry has a frame of its own ------------------------------------------

PDB_ON_ONE_OF_TWO = r"""
import builtins, gc, io, pdb, warnings, weakref
warnings.simplefilter("ignore")
from veltra.cloud.services.actions import enumerate_outer_links as mod

class Rec(mod.EnumerateOuterLinksAction):
    def __init__(self):
        pass
    def _credentials_data(self):
        return b"p"
    def execute_transaction(self, name, request):
        return None  # the model's ** fails in the module: its entry is the innermost

def failed():
    try:
        Rec().action("env")
    except TypeError as e:
        return e

written = []
class Written:
    pass
def make_written():
    w = Written()
    written.append(weakref.ref(w))
    return w
builtins.make_written = make_written

def entry(e):
    tb = e.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb

older, debugged = failed(), failed()
# What pdb.post_mortem(tb) does, answering `!x = ...` and `q` at its prompt.
debugger = pdb.Pdb(stdin=io.StringIO("!x = make_written()\nq\n"), stdout=io.StringIO(), readrc=False)
debugger.use_rawinput = False
debugger.reset()
debugger.interaction(None, entry(debugged))
print(entry(debugged).tb_frame.f_code.co_name.rsplit(".", 1)[-1], entry(debugged).tb_lineno)
print("debugged:", sorted(entry(debugged).tb_frame.f_locals))
print("older:", sorted(entry(older).tb_frame.f_locals), entry(older).tb_frame is entry(debugged).tb_frame)
del debugged, debugger
gc.collect()
print("written value alive:", written[0]() is not None)
later = failed()
print("later:", sorted(entry(later).tb_frame.f_locals), entry(later).tb_lineno)
"""


@pytest.mark.parametrize("version", INTERPRETERS)
def test_what_pdb_writes_into_one_entry_reaches_no_other_and_dies_with_it(version):
    result = run_python(PDB_ON_ONE_OF_TWO, python=python313() if version else None)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "action 42",
        "debugged: ['x']",
        "older: [] False",
        "written value alive: False",
        "later: [] 42",
    ]


def frame_of_a_failed_entry():
    try:
        # The model's ** fails in the module, with a new exception each time.
        recording(enumerate_outer_links.EnumerateOuterLinksAction, response=None).action("env")
    except TypeError as e:
        frame = e.__traceback__.tb_next.tb_frame
    return frame  # the exception and its traceback are gone: no cycle holds the frame


class Written:
    pass


def test_a_written_frame_goes_as_soon_as_the_next_entry_replaces_it():
    gc.disable()  # no collection may free it instead
    try:
        written = Written()
        gone = weakref.ref(written)
        frame = frame_of_a_failed_entry()
        frame.f_locals["x"] = written  # what pdb's `!x = ...` does
        del written, frame
        assert gone() is not None
        later = frame_of_a_failed_entry()
        assert gone() is None and later.f_locals == {}
    finally:
        gc.enable()


# --- the handled exception, exactly as plain Python keeps it ------------------------

HANDLED_IN_A_GENERATOR = r"""
import contextlib, os, sys, tempfile, warnings
warnings.simplefilter("ignore")
from veltra.cloud.services.actions import launch_rollout
from veltra.errors import VeltraCloudAlreadyDeployedError

os.chdir(tempfile.mkdtemp())
os.mkdir("src")
open("src/main.py", "w").close()
open("requirements.txt", "w").close()

class Deploy(launch_rollout.LaunchRolloutAction):
    def __init__(self):
        self.sent = 0
    def _credentials_data(self):
        return b"p"
    def _print(self, text):
        pass
    def execute_transaction(self, name, request):
        self.sent += 1
        if self.sent == 1:
            raise VeltraCloudAlreadyDeployedError("there")
        return {"details": {"domain_url": "https://d/"}}

# Two roads through the module that take up an exception of their own and drop
# it, each beside what plain Python does in its place.
def redeploy():
    Deploy().action("t", "l", "e", no_input=True)

def plain_redeploy():
    try:
        raise VeltraCloudAlreadyDeployedError("there")
    except VeltraCloudAlreadyDeployedError:
        pass

def with_block():
    os.rename("requirements.txt", "moved")
    try:
        Deploy().action("t", "l", "e", no_input=True)
    except FileNotFoundError:
        pass
    finally:
        os.rename("moved", "requirements.txt")

def plain_with_block():
    try:
        with tempfile.TemporaryDirectory():
            raise FileNotFoundError
    except FileNotFoundError:
        pass

class CallersError(Exception):
    pass

def resumed_outside(gen):
    # The caller no longer handles anything: what the generator sees now is
    # what its own handled-exception slot holds.
    seen = next(gen)
    try:
        next(gen)
    except BaseException as reraised:
        return seen is thrown[0], reraised is thrown[0], type(reraised).__name__

thrown = []

def handler(call):
    # Handles the exception its caller handles too, runs the call, and yields
    # inside its `except` block.
    try:
        yield
    except CallersError:
        call()
        yield
        yield sys.exception()
        raise

def after_throw(call):
    # gen.throw(e) from inside `except e`.
    gen = handler(call)
    next(gen)
    try:
        raise CallersError
    except CallersError as e:
        thrown[:] = [e]
        gen.throw(e)
    return resumed_outside(gen)

def in_contextmanager(call):
    # contextlib.contextmanager throws the `with` block's exception into the
    # generator while the `with` statement handles it.
    seen = []

    @contextlib.contextmanager
    def managed():
        try:
            yield
        except CallersError:
            call()
            seen.append(sys.exception())
            raise

    try:
        with managed():
            thrown[:] = [CallersError()]
            raise thrown[0]
    except BaseException as reraised:
        return seen[0] is thrown[0], reraised is thrown[0], type(reraised).__name__

for case in (after_throw, in_contextmanager):
    for call, plain in ((redeploy, plain_redeploy), (with_block, plain_with_block)):
        print(case.__name__, call.__name__, case(call), case(plain))
"""


@pytest.mark.parametrize("version", INTERPRETERS)
def test_a_generator_keeps_the_exception_it_handles_when_its_caller_handles_it_too(version):
    result = run_python(HANDLED_IN_A_GENERATOR, python=python313() if version else None)
    assert result.returncode == 0, result.stderr
    handled = "(True, True, 'CallersError')"  # sys.exception() is e, and a bare `raise` raises e
    assert result.stdout.splitlines() == [
        f"{case} {call} {handled} {handled}"
        for case in ("after_throw", "in_contextmanager")
        for call in ("redeploy", "with_block")
    ]


# --- a body holds what it was lent ------------------------------------------------

LENDER_DROPS_ITS_ARGUMENTS = r"""
import functools, warnings
warnings.simplefilter("ignore")
from veltra.cloud.services.actions.attach_outer_link import AttachOuterLinkAction

class Rec(AttachOuterLinkAction):
    def __init__(self):
        self.sent = []
        self.kept = []
    def _credentials_data(self):
        # functools.partial calls with pointers into its own arguments tuple and
        # holds no reference for the call: replacing its state frees the tuple
        # and the only reference to the credentials dict.
        call.__setstate__((call.func, (), None, None))
        self.kept.append({"filler": 49})  # a new dict, where a freed one would be
        return b"p"
    def execute_transaction(self, name, request):
        self.sent.append((request["connection_name"], dict(request["credentials"])))
        return {}

inst = Rec()
call = functools.partial(AttachOuterLinkAction.action, inst, "conn", "postgres", {"only": "here"}, "env")
call()
print(inst.sent)
"""


@pytest.mark.parametrize("version", INTERPRETERS)
def test_a_body_holds_what_its_caller_lent_for_the_whole_call(version):
    result = run_python(LENDER_DROPS_ITS_ARGUMENTS, python=python313() if version else None)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[('conn', {'only': 'here'})]"


# --- what a failed execution leaves behind ---------------------------------------------


def test_a_failed_import_under_another_name_leaves_an_entry_another_module_took():
    result = run_python("""
        import importlib.util, sys, types
        dotted = "veltra.cloud.services.actions.enumerate_outer_links"
        path = importlib.util.find_spec(dotted).origin
        other = types.ModuleType(dotted)

        class Models(types.ModuleType):
            def __getattr__(self, name):
                if name == "EnumerateOuterLinksResponse":
                    # While the module runs, another module takes its dotted name.
                    sys.modules[dotted] = other
                raise AttributeError(name)

        sys.modules["veltra.cloud.models.base"] = Models("veltra.cloud.models.base")
        spec = importlib.util.spec_from_file_location("alias.enumerate_outer_links", path)
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError as e:
            print("failed:", e)
        print("kept:", sys.modules.get(dotted) is other)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["failed: cannot import name EnumerateOuterLinksResponse", "kept: True"]


def test_a_method_outliving_a_failed_execution_reports_on_its_own_globals():
    result = run_python("""
        import warnings
        warnings.simplefilter("ignore")
        from veltra.cloud.services.actions import base

        kept = []
        def refuse(cls, **kwargs):
            kept.append(cls.__dict__["action"])
            raise LookupError("refused")
        base.CloudActionBase.__init_subclass__ = classmethod(refuse)
        try:
            import veltra.cloud.services.actions.enumerate_outer_links
        except LookupError as e:
            print("failed:", e)
        del base.CloudActionBase.__init_subclass__

        method = kept[0]
        namespace = method.__globals__
        del namespace["__builtins__"]  # a frame on these globals takes the running builtins
        try:
            method()
        except TypeError as e:
            tb = e.__traceback__.tb_next
            print(e)
            print(tb.tb_frame.f_globals is namespace, tb.tb_lineno, tb.tb_next is None)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "failed: refused",
        "action() takes at least 2 positional arguments (0 given)",
        "True 14 True",
    ]
