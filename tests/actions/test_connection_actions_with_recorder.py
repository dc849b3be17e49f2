"""The four connection actions, driven by one table: the request each one sends,
argument binding, the exact-type checks on entry and the traceback entry of every
collaborator failure."""

from __future__ import annotations

import ctypes
import importlib
from collections import OrderedDict
from dataclasses import dataclass, field
from types import MappingProxyType, SimpleNamespace
from typing import Any

import pytest
from support import cases
from support.cases import ACTIONS
from support.recording import Recording, tb_entries

UUID, NAME = "application_uuid", "application_name"
CHECKED = {"str": str, "dict": dict}


@dataclass(frozen=True)
class Conn:
    """One connection action, as the shared table in tests/support/cases.py describes it."""

    table: cases.Connection

    def __str__(self) -> str:
        return self.short

    @property
    def short(self) -> str:
        return self.table.method.module

    @property
    def cls_name(self) -> str:
        return self.table.method.cls

    @property
    def transaction(self) -> str:
        return self.table.transaction

    @property
    def model(self) -> str:
        return self.table.model

    @property
    def params(self) -> tuple[str, ...]:
        """After self, in order."""
        return tuple(p.name for p in self.table.method.params)

    @property
    def required(self) -> int:
        """How many leading params have no default."""
        return self.table.method.min_positional - 1

    @property
    def checks(self) -> tuple[tuple[str, type], ...]:
        """Exact-type checks, in order."""
        return tuple((p.name, CHECKED[p.check]) for p in self.table.method.params if p.check)

    @property
    def keys(self) -> tuple[str, ...]:
        """Request keys after "data", in order."""
        return self.table.request

    @property
    def module(self) -> Any:
        return importlib.import_module(f"{ACTIONS}.{self.short}")

    @property
    def cls(self) -> type:
        return getattr(self.module, self.cls_name)

    def line(self, which: str) -> int:
        """The line of "def", "credentials", "transaction", "request" or "model"."""
        if which == "def":
            return self.table.method.def_line
        return getattr(self.table, f"{which}_line")

    def entries(self, exc: BaseException) -> list[tuple[str, int]]:
        """This action's traceback entries."""
        source = f"src/veltra/cloud/services/actions/{self.short}"
        return [(name, line) for name, line, file in tb_entries(exc) if file == source]

    def entry(self, which: str) -> list[tuple[str, int]]:
        return [(f"{ACTIONS}.{self.short}.{self.cls_name}.action", self.line(which))]


CONNS = [Conn(table) for table in cases.CONNECTIONS.values()]


@pytest.fixture(params=CONNS, ids=str)
def c(request: pytest.FixtureRequest) -> Conn:
    return request.param


class Text(str):
    pass


class Creds(dict):
    pass


class Watched(Recording):
    """A recorder that also logs each lookup of the two collaborators as "get <name>"."""

    def __getattribute__(self, name: str) -> Any:
        if name in ("_credentials_data", "execute_transaction"):
            object.__getattribute__(self, "calls").append((f"get {name}", (), {}))
        return object.__getattribute__(self, name)


def watched(action_class: type, **settings: Any) -> Any:
    return type(f"Watched{action_class.__name__}", (Watched, action_class), {})(**settings)


def values(c: Conn, odd: bool = False) -> dict[str, Any]:
    """A fresh, distinct value for every parameter; with `odd`, unchecked ones get
    objects of other types, which they must accept as they are."""
    checked = dict(c.checks)
    strange = iter([42, OrderedDict(host="h"), Text("t"), ["x"]])
    vals = {}
    for p in c.params:
        if checked.get(p) is dict:
            vals[p] = {"user": p}
        else:
            vals[p] = next(strange) if odd and p not in checked else f"<{p}>"
    return vals


def required(c: Conn, vals: dict[str, Any]) -> list[Any]:
    return [vals[p] for p in c.params[: c.required]]


def only_request(inst: Any, c: Conn) -> dict:
    ((name, request),) = inst.transactions()
    assert name == c.transaction
    assert type(request) is dict and list(request) == ["data", *c.keys]
    return request


# --- the request --------------------------------------------------------------


@pytest.mark.parametrize(
    "payload, text",
    [
        (b"secret-payload", "c2VjcmV0LXBheWxvYWQ="),
        (b"", ""),
        (bytearray(b"\xff\xfe\x00"), "//4A"),  # standard alphabet, not the URL-safe one
        (memoryview(b"x" * 60), "eHh4" * 20),  # no line breaks
    ],
)
def test_request_from_the_required_arguments(c, payload, text):
    inst = watched(c.cls, payload=payload, response={})
    vals = values(c)
    result = inst.action(*required(c, vals))
    model = getattr(c.module, c.model)
    assert type(result) is model and result == model()
    request = only_request(inst, c)
    assert inst.calls == [
        ("get _credentials_data", (), {}),
        ("_credentials_data", (), {}),
        ("get execute_transaction", (), {}),
        ("execute_transaction", (c.transaction, request), {}),
    ]
    assert type(request["data"]) is str and request["data"] == text
    for key in c.keys:
        assert request[key] is (vals[key] if key in c.params[: c.required] else None), key


def test_every_call_sends_a_request_of_its_own(c):
    # What the service does to one request (here: keeps it, changes it, adds a
    # key) reaches no later one.
    kept = []

    def spoil(name, request):
        kept.append(request)
        if len(kept) == 1:
            request[c.keys[0]] = "spoiled"
            request["extra"] = True
        return {}

    inst = watched(c.cls, response=spoil)
    first, second = values(c), values(c)
    inst.action(*required(c, first))
    inst.action(*required(c, second))
    assert kept[0] is not kept[1]
    assert list(kept[1]) == ["data", *c.keys]
    for key in c.keys:
        assert kept[1][key] is (second[key] if key in c.params[: c.required] else None), key


def _positional(c, inst, vals):
    return inst.action, [*vals.values()], {}, vals


def _keywords_reversed(c, inst, vals):
    return inst.action, [], dict(reversed(vals.items())), vals


def _optional_by_keyword(c, inst, vals):
    return inst.action, required(c, vals), dict(reversed(list(vals.items())[c.required :])), vals


def _self_by_keyword(c, inst, vals):
    return type(inst).action, [], {"self": inst, **vals}, vals


def _str_subclass_names(c, inst, vals):
    return inst.action, [], {Text(k): v for k, v in vals.items()}, vals


def _last_optional_only(c, inst, vals):
    given = {p: vals[p] for p in (*c.params[: c.required], NAME)}
    return inst.action, [], given, {p: given.get(p) for p in c.params}


@pytest.mark.parametrize(
    "form",
    [_positional, _keywords_reversed, _optional_by_keyword, _self_by_keyword, _str_subclass_names, _last_optional_only],
    ids=lambda f: f.__name__[1:],
)
def test_every_binding_sends_the_arguments_themselves(c, form):
    inst = watched(c.cls, response={})
    func, args, kwargs, expected = form(c, inst, values(c, odd=True))
    func(*args, **kwargs)
    request = only_request(inst, c)
    assert [(k, request[k]) for k in c.keys] == [(k, expected[k]) for k in c.keys]
    assert all(request[k] is expected[k] for k in c.keys)  # the caller's objects, never copies


# --- entry checks ---------------------------------------------------------------

BAD = {
    str: [(None, "NoneType"), (Text("x"), "Text"), (b"x", "bytes")],
    dict: [
        (None, "NoneType"),
        (Creds(user="u"), "Creds"),
        (OrderedDict(user="u"), "collections.OrderedDict"),
        ([("user", "u")], "list"),
    ],
}


@pytest.mark.parametrize(
    "c, index, bad, got",
    [
        pytest.param(c, i, bad, got, id=f"{c}-{name}-{got}")
        for c in CONNS
        for i, (name, kind) in enumerate(c.checks)
        for bad, got in BAD[kind]
    ],
)
def test_first_failing_check_is_named_before_anything_runs(c, index, bad, got):
    inst = watched(c.cls, response={})
    vals = values(c)
    name, kind = c.checks[index]
    vals[name] = bad
    for later, _ in c.checks[index + 1 :]:
        vals[later] = None
    with pytest.raises(TypeError) as info:
        inst.action(**vals)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {kind.__name__}, got {got})"
    assert inst.calls == []
    assert c.entries(info.value) == []


# --- argument binding -------------------------------------------------------------

_PyObject_Call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)(
    ("PyObject_Call", ctypes.pythonapi)
)

BINDING = {
    "no arguments": (lambda c, inst, req: inst.action(), "action() takes at least {r1} positional arguments (1 given)"),
    "too many": (
        lambda c, inst, req: inst.action(*[""] * (len(c.params) + 1)),
        "action() takes at most {n1} positional arguments ({n2} given)",
    ),
    "required missing": (
        lambda c, inst, req: inst.action(bogus=1, **dict(zip(c.params, req[:-1], strict=False))),
        "action() takes at least {r1} positional arguments ({r} given)",
    ),
    "self missing": (
        lambda c, inst, req: type(inst).action(**dict(zip(c.params, req, strict=False))),
        "action() takes at least {r1} positional arguments (0 given)",
    ),
    "unexpected keyword": (
        lambda c, inst, req: inst.action(*req, bogus=1),
        "action() got an unexpected keyword argument 'bogus'",
    ),
    "multiple values": (
        lambda c, inst, req: inst.action(*req, **{c.params[0]: "again"}),
        "action() got multiple values for keyword argument '{first}'",
    ),
    # Python syntax refuses such a name, and the vectorcall path refuses it before
    # the method sees it; the call slot is reached through the method-wrapper.
    "non-str keyword": (
        lambda c, inst, req: _PyObject_Call(type(inst).action.__call__, (inst, *req), {1: "x"}),
        "action() keywords must be strings",
    ),
}


@pytest.mark.parametrize("case", BINDING)
def test_binding_failure_reports_the_def_line(c, case):
    call, message = BINDING[case]
    inst = watched(c.cls, response={})
    with pytest.raises(TypeError) as info:
        call(c, inst, required(c, values(c)))
    n, r = len(c.params), c.required
    assert str(info.value) == message.format(r=r, r1=r + 1, n1=n + 1, n2=n + 2, first=c.params[0])
    assert inst.calls == []
    assert c.entries(info.value) == c.entry("def")


# --- collaborator failures ------------------------------------------------------------

RAISE = object()  # replaced by a fresh exception that must come back unchanged
STEPS = ("get _credentials_data", "_credentials_data", "get execute_transaction", "execute_transaction")


@dataclass(frozen=True)
class Failure:
    line: str
    exc: type[BaseException] | None  # None: the RAISE exception itself
    message: str = ""
    calls: tuple[str, ...] = STEPS
    settings: dict = field(default_factory=dict)
    delete: str | None = None  # module global removed for the call
    bare_self: dict | None = None  # attributes of a plain object standing in for self


FAILURES = {
    "credentials missing": Failure(
        "credentials",
        AttributeError,
        "'types.SimpleNamespace' object has no attribute '_credentials_data'",
        bare_self={},
    ),
    "credentials raising": Failure("credentials", None, calls=STEPS[:2], settings={"payload": RAISE}),
    "execute_transaction missing": Failure(
        "transaction",
        AttributeError,
        "'types.SimpleNamespace' object has no attribute 'execute_transaction'",
        bare_self={"_credentials_data": lambda: b""},
    ),
    "payload is text": Failure(
        "request", TypeError, "a bytes-like object is required, not 'str'", STEPS[:3], {"payload": "text"}
    ),
    "base64 gone": Failure("request", NameError, "name 'base64' is not defined", STEPS[:3], delete="base64"),
    "transaction raising": Failure("transaction", None, settings={"response": RAISE}),
    "model gone": Failure("model", NameError, "name '{c.model}' is not defined", delete="{c.model}"),
    "response None": Failure(
        "model", TypeError, "argument after ** must be a mapping, not NoneType", settings={"response": None}
    ),
    "response not pairs": Failure("model", TypeError, "'int' object is not iterable", settings={"response": 5}),
    "response key not str": Failure("model", TypeError, "keywords must be strings", settings={"response": {1: "x"}}),
    "response unknown field": Failure(
        "model",
        TypeError,
        "{c.model}.__init__() got an unexpected keyword argument 'bogus'",
        settings={"response": {"bogus": 1}},
    ),
}


@pytest.mark.parametrize("case", FAILURES)
def test_collaborator_failure_reports_its_line(c, case, monkeypatch):
    f = FAILURES[case]
    boom = RuntimeError("refused by the service")
    if f.delete:
        monkeypatch.delattr(c.module, f.delete.format(c=c))
    if f.bare_self is None:
        inst = watched(c.cls, **{"response": {}, **{k: boom if v is RAISE else v for k, v in f.settings.items()}})
    else:
        inst = SimpleNamespace(**f.bare_self)
    with pytest.raises(BaseException) as info:
        c.cls.action(inst, *required(c, values(c)))
    if f.exc is None:
        assert info.value is boom
    else:
        assert type(info.value) is f.exc and str(info.value) == f.message.format(c=c)
    assert c.entries(info.value) == c.entry(f.line)
    if f.bare_self is None:
        assert tuple(inst.names()) == f.calls


@pytest.mark.parametrize(
    "response, kwargs",
    [
        ({}, {}),
        ({"env_name": "e", "extra": [1]}, {"env_name": "e", "extra": [1]}),
        ([("env_name", "e"), ("status", 1)], {"env_name": "e", "status": 1}),
        (MappingProxyType({"env_name": "e"}), {"env_name": "e"}),
    ],
)
def test_response_is_expanded_into_the_current_model(c, response, kwargs, monkeypatch):
    made = []
    result = object()
    monkeypatch.setattr(c.module, c.model, lambda *a, **kw: made.append((a, kw)) or result)
    assert watched(c.cls, response=response).action(*required(c, values(c))) is result
    assert made == [((), kwargs)]
