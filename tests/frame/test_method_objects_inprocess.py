"""The method objects, argument binding, entry checks, global lookup and traceback
entries, shown through the listing action."""

from __future__ import annotations

import base64
import builtins
import copy
import inspect
import json
import pickle
import pydoc
import sys
import warnings

import pytest
from support.recording import recording, tb_entries

from veltra.cloud.services.actions import enumerate_outer_links as mod

Action = mod.EnumerateOuterLinksAction
METHOD = Action.__dict__["action"]
TB_NAME = "veltra.cloud.services.actions.enumerate_outer_links.EnumerateOuterLinksAction.action"
SOURCE = "src/veltra/cloud/services/actions/enumerate_outer_links"


@pytest.fixture
def method():
    """The action's method object, with every writable attribute restored afterwards."""
    saved = {
        name: getattr(METHOD, name)
        for name in (
            "__name__",
            "__qualname__",
            "__doc__",
            "__module__",
            "__defaults__",
            "__kwdefaults__",
            "__annotations__",
            "__dict__",
        )
    }
    yield METHOD
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, value in saved.items():
            setattr(METHOD, name, value)


# --- the method object --------------------------------------------------------


def test_descriptor_binds_instances_only():
    inst = recording(Action, response={})
    assert Action.action is METHOD
    assert METHOD.__get__(None, Action) is METHOD
    bound = inst.action
    assert bound.__func__ is METHOD and bound.__self__ is inst


def test_read_attributes():
    assert (METHOD.__name__, METHOD.func_name) == ("action", "action")
    assert METHOD.__qualname__ == "EnumerateOuterLinksAction.action"
    assert METHOD.__module__ == mod.__name__
    assert METHOD.__globals__ is mod.__dict__ is METHOD.func_globals
    assert METHOD.__closure__ is None and METHOD.func_closure is None
    assert METHOD._is_coroutine is False
    assert METHOD.__defaults__ == (None, None) and METHOD.__kwdefaults__ is None
    assert list(METHOD.__annotations__.items()) == [
        ("env_name", "str"),
        ("application_uuid", "str | None"),
        ("application_name", "str | None"),
        ("return", "EnumerateOuterLinksResponse"),
    ]
    assert METHOD.__doc__ is METHOD.func_doc and METHOD.__doc__.startswith("\n        Executes the action to list")
    assert METHOD.__doc__.endswith("list of external connections.\n        ")


def test_code_object():
    code = METHOD.__code__
    assert code is METHOD.func_code
    assert code.co_varnames == (
        "self",
        "env_name",
        "application_uuid",
        "application_name",
        "encrypted_data",
        "response_data",
    )
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (4, 0, 0)
    assert code.co_flags == 3 and code.co_nlocals == 6
    assert (code.co_filename, code.co_name, code.co_qualname, code.co_firstlineno) == (SOURCE, "action", "action", 14)


@pytest.mark.parametrize(
    "attr, good, bad, message",
    [
        ("__name__", "renamed", 5, "__name__ must be set to a string object"),
        ("func_name", "renamed", b"x", "__name__ must be set to a string object"),
        ("__qualname__", "A.b", None, "__qualname__ must be set to a string object"),
        ("__dict__", {"x": 1}, [], "setting function's dictionary to a non-dict"),
        ("__annotations__", {"a": "b"}, (), "__annotations__ must be set to a dict object"),
    ],
)
def test_setters_accept_and_refuse(method, attr, good, bad, message):
    setattr(method, attr, good)
    assert getattr(method, attr) == good
    with pytest.raises(TypeError) as info:
        setattr(method, attr, bad)
    assert str(info.value) == message
    assert getattr(method, attr) == good


@pytest.mark.parametrize(
    "attr, message",
    [
        ("__name__", "__name__ must be set to a string object"),
        ("__qualname__", "__qualname__ must be set to a string object"),
        ("__dict__", "function's dictionary may not be deleted"),
    ],
)
def test_deleting_refused(method, attr, message):
    with pytest.raises(TypeError) as info:
        delattr(method, attr)
    assert str(info.value) == message


@pytest.mark.parametrize("attr", ["__globals__", "__closure__", "__code__", "_is_coroutine", "func_code"])
def test_read_only(method, attr):
    with pytest.raises(AttributeError):
        setattr(method, attr, None)


def test_doc_module_dict_and_annotations_lifecycle(method):
    method.__doc__ = 42
    assert method.__doc__ == 42
    del method.__doc__
    assert method.__doc__ is None
    method.__module__ = ["anything"]
    assert method.__module__ == ["anything"]
    method.extra = 1
    assert method.__dict__ == {"extra": 1}
    del method.__annotations__
    fresh = method.__annotations__
    assert fresh == {} and method.__annotations__ is fresh
    method.__annotations__ = None
    assert method.__annotations__ == {}


def test_defaults_are_stored_but_calls_keep_the_table(method):
    inst = recording(Action, response={})
    with pytest.warns(RuntimeWarning):
        method.__defaults__ = ("a", "b")
    assert method.__defaults__ == ("a", "b")
    inst.action("env")
    assert inst.transactions()[0][1]["application_uuid"] is None
    with pytest.warns(RuntimeWarning):
        del method.__defaults__
    assert method.__defaults__ is None
    with pytest.warns(RuntimeWarning):
        method.__kwdefaults__ = {"x": 1}
    assert method.__kwdefaults__ == {"x": 1}
    for attr, bad, message in [
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ]:
        with pytest.raises(TypeError) as info:
            setattr(method, attr, bad)
        assert str(info.value) == message


def test_defaults_warning_as_error_leaves_the_value(method):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            method.__defaults__ = ("x", "y")
    assert method.__defaults__ == (None, None)


def test_signature_and_help():
    text = (
        "(self, env_name: 'str', application_uuid: 'str | None' = None, application_name: 'str | None' = None)"
        " -> 'EnumerateOuterLinksResponse'"
    )
    assert str(inspect.signature(METHOD)) == text
    assert str(inspect.signature(recording(Action).action)).startswith("(env_name: 'str',")
    page = pydoc.render_doc(Action, renderer=pydoc.plaintext)
    assert "action(self, env_name: 'str'" in page and "Executes the action to list" in page


@pytest.mark.parametrize("function", [METHOD, json.JSONEncoder.encode], ids=["compiled", "python"])
def test_copy_and_pickle_take_a_method_by_reference_as_a_function(function):
    holder = {"method": function, "in a list": [function]}
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    assert copy.deepcopy(holder)["in a list"][0] is function
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(holder, protocol)
        # By reference: the module and the qualified name (split in two below protocol 4).
        assert function.__module__.encode() in data
        assert all(part.encode() in data for part in function.__qualname__.split("."))
        assert pickle.loads(data)["in a list"][0] is function


# --- calls and binding -----------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "action() takes at least 2 positional arguments (1 given)"),
        (("e", None, None, None), {}, "action() takes at most 4 positional arguments (5 given)"),
        (("e", None, None, None), {"env_name": "x"}, "action() takes at most 4 positional arguments (5 given)"),
        ((), {"application_uuid": "u"}, "action() takes at least 2 positional arguments (1 given)"),
        ((), {"bogus": 1}, "action() takes at least 2 positional arguments (1 given)"),
        (("e",), {"env_name": "x"}, "action() got multiple values for keyword argument 'env_name'"),
        (("e",), {"bogus": 1}, "action() got an unexpected keyword argument 'bogus'"),
        (
            (),
            {"env_name": "e", "application_name": "n", "self": 1},
            "action() got multiple values for keyword argument 'self'",
        ),
    ],
)
def test_binding_errors(args, kwargs, message):
    inst = recording(Action, response={})
    for call in (
        lambda: inst.action(*args, **kwargs),
        lambda: Action.action(inst, *args, **kwargs),
        lambda: type(METHOD).__call__(METHOD, inst, *args, **kwargs),
    ):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
        assert tb_entries(info.value)[-1] == (TB_NAME, 14, SOURCE)
    assert inst.calls == []


def test_self_is_counted_and_may_come_by_keyword():
    inst = recording(Action, response={})
    with pytest.raises(TypeError, match=r"^action\(\) takes at least 2 positional arguments \(0 given\)$"):
        Action.action(env_name="e")
    Action.action(self=inst, env_name="e")
    assert inst.transactions()[0][1]["env_name"] == "e"


def test_non_string_keyword_through_the_call_slot():
    with pytest.raises(TypeError) as info:
        type(METHOD).__call__(METHOD, recording(Action), "e", **{1: 2})
    assert str(info.value) == "action() keywords must be strings"


def test_keyword_names_match_str_subclasses():
    class Key(str):
        pass

    inst = recording(Action, response={})
    inst.action(**{Key("env_name"): "e", Key("application_name"): "n"})
    assert list(inst.transactions()[0][1].values())[1:] == ["e", None, "n"]


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.action("e", "u", "n"),
        lambda a: a.action(application_name="n", env_name="e", application_uuid="u"),
        lambda a: Action.action(a, "e", application_name="n", application_uuid="u"),
        lambda a: type(METHOD).__call__(METHOD, a, "e", "u", application_name="n"),
    ],
)
def test_every_call_form_binds_alike(call):
    inst = recording(Action, response={})
    call(inst)
    ((name, request),) = inst.transactions()
    assert name == "EnumerateOuterLinks"
    assert list(request.items())[1:] == [("env_name", "e"), ("application_uuid", "u"), ("application_name", "n")]


def refcount_of_args(call):
    """References to the args tuple of the TypeError that `call` raises, once the
    exception is gone (the local and getrefcount's own argument make two)."""
    try:
        call()
    except TypeError as e:
        args = e.args
    return sys.getrefcount(args)


def plain_type_error():
    raise TypeError("a message")


# A count message is kept for up to 15 arguments given, each after its first
# use: one more reference than plain Python's.
@pytest.mark.parametrize("given, kept", [(15, 1), (16, 0), (17, 0), (40, 0)])
def test_a_binding_errors_message_is_held_once_more_only_when_kept(given, kept):
    inst = recording(Action)
    for _ in range(3):
        compiled = refcount_of_args(lambda: inst.action(*range(given - 1)))
    assert compiled == refcount_of_args(plain_type_error) + kept


@pytest.mark.parametrize(
    "value, type_name", [(None, "NoneType"), (type("Sub", (str,), {})("e"), "Sub"), (b"e", "bytes"), (3, "int")]
)
def test_entry_check_adds_no_traceback_entry(value, type_name):
    inst = recording(Action, response={})
    with pytest.raises(TypeError) as info:
        inst.action(value)
    assert str(info.value) == f"Argument 'env_name' has incorrect type (expected str, got {type_name})"
    assert all(name != TB_NAME for name, _, _ in tb_entries(info.value))
    assert inst.calls == []


# --- module globals and traceback entries ------------------------------------------


@pytest.fixture
def restore_globals():
    saved = dict(mod.__dict__)
    yield mod.__dict__
    mod.__dict__.clear()
    mod.__dict__.update(saved)
    for name in ("base64", "EnumerateOuterLinksResponse"):
        if hasattr(builtins, name):
            delattr(builtins, name)


def test_globals_are_read_at_every_use(restore_globals):
    inst = recording(Action, payload=b"p", response={})
    restore_globals["base64"] = type("Fake", (), {"b64encode": staticmethod(lambda p: b"FAKE")})
    inst.action("e")
    del restore_globals["base64"]
    builtins.base64 = base64
    inst.action("e")
    assert [r["data"] for _, r in inst.transactions()] == ["FAKE", "cA=="]


@pytest.mark.parametrize("name, line", [("base64", 35), ("EnumerateOuterLinksResponse", 42)])
def test_missing_global(restore_globals, name, line):
    del restore_globals[name]
    with pytest.raises(NameError) as info:
        recording(Action, response={}).action("e")
    assert str(info.value) == f"name '{name}' is not defined"
    assert tb_entries(info.value)[-1] == (TB_NAME, line, SOURCE)


def test_traceback_code_objects_are_reused_per_line():
    inst = recording(Action, response=None)
    codes = []
    for _ in range(2):
        with pytest.raises(TypeError) as info:
            inst.action("e")
        tb = info.value.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        codes.append(tb.tb_frame.f_code)
        assert tb.tb_frame.f_globals is mod.__dict__
    assert codes[0] is codes[1]
    assert (codes[0].co_name, codes[0].co_firstlineno) == (TB_NAME, 42)


def test_collaborator_exception_passes_unchanged():
    error = LookupError("refused")
    inst = recording(Action, response=error)
    with pytest.raises(LookupError) as info:
        inst.action("e")
    assert info.value is error
    names = [entry[0] for entry in tb_entries(info.value)]
    assert tb_entries(info.value)[names.index(TB_NAME)] == (TB_NAME, 32, SOURCE)
    assert names[names.index(TB_NAME) + 1 :] == ["execute_transaction", "_record"]


def test_runaway_recursion_through_collaborators_is_an_error():
    inst = recording(Action)
    inst.payload = lambda: inst.action("e")
    with pytest.raises(RecursionError):
        inst.action("e")
