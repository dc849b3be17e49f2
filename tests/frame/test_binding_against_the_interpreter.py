"""Argument binding, searched: random calls of every method, through every way of
calling, checked against the interpreter itself.

For each method a plain `def` with the same signature is made; the same call
of it (the same way, the same objects) and `inspect.Signature.bind` say whether
the call binds and to what. The compiled method must agree: refuse exactly the
calls Python refuses, and otherwise hand its body the very objects Python binds,
unless the exact-type checks on entry refuse one. Where the frame binds
differently on purpose (a keyword name repeated through vectorcall binds its last
value; see support.observe.DECLARED), the call is given to Python as the frame
reads it. The frame's TypeError texts are its own: a model of the binding rules
written here (`model`) gives their wording, and only that.

The calls come in four ways: a Python call through the class, a call of the
bound method, PyObject_Vectorcall with any objects as keyword names (repeated
names, names that are not str), and the type's call slot with an argument tuple
and a keyword dict (which may hold keys that are not str)."""

from __future__ import annotations

import base64
import collections
import functools
import inspect
from typing import Any

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from support import cases
from support.cases import DictSub, StrSub, count_message, entry_message, slot_call, vectorcall

SETTINGS = settings(
    max_examples=50,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# --- the wording of the frame's messages ---------------------------------------------


class Bound(dict):
    """Parameter name -> the object bound to it."""


def _matches(key: Any, name: str) -> bool:
    # Identity first (interned names), then equality of str data; a str subclass
    # matches on its text, anything else never matches.
    return key is name or (isinstance(key, str) and str.__eq__(key, name))


def model(method: cases.Method, args: list, keywords: list[tuple[Any, Any]]) -> tuple[str, Any]:
    """("error", message) or ("ok", Bound) for a call with these positional
    arguments (self included) and keywords (in the order given), by the binding
    rules as the modules document them. Only its messages are used: which calls bind,
    and to what, the interpreter says (`python_binds`)."""
    params = method.all_params
    positional = [p for p in params if not p.kwonly]
    n, nkw = len(args), len(keywords)
    lo, hi = method.min_positional, method.max_positional
    if nkw == 0:
        if n < lo or n > hi:
            return "error", count_message(method, n)
    elif n > hi:
        return "error", count_message(method, n)
    bound = Bound({params[i].name: args[i] for i in range(n)})

    def find(name: str) -> Any:
        for key, value in keywords:
            if _matches(key, name):
                return True, value
        return False, None

    used = 0
    for i in range(n, hi):
        if positional[i].required:
            found, value = find(positional[i].name)
            if not found:
                return "error", count_message(method, i)
            bound[positional[i].name] = value
            used += 1
    for i in range(n, hi):
        if used >= nkw:
            break
        if not positional[i].required:
            found, value = find(positional[i].name)
            if found:
                bound[positional[i].name] = value
                used += 1
    kwonly = [p for p in params if p.kwonly]
    if kwonly and nkw - used == 1:
        found, value = find(kwonly[0].name)
        if found:
            bound[kwonly[0].name] = value
            used += 1
    if used < nkw:
        for key, value in keywords:
            if not isinstance(key, str):
                return "error", f"{method.name}() keywords must be strings"
            j = next((j for j, p in enumerate(params) if _matches(key, p.name)), None)
            if j is None:
                return "error", f"{method.name}() got an unexpected keyword argument '{str.__str__(key)}'"
            if j < n:
                return "error", f"{method.name}() got multiple values for keyword argument '{str.__str__(key)}'"
            bound[params[j].name] = value
    for p in params:
        if p.name not in bound:
            bound[p.name] = p.default
    for p in params:
        if p.check == "str" and type(bound[p.name]) is not str:
            return "error", entry_message(p.name, "str", bound[p.name])
        if p.check == "dict" and type(bound[p.name]) is not dict:
            return "error", entry_message(p.name, "dict", bound[p.name])
    return "ok", bound


def test_the_model_follows_the_documented_examples():
    enum = cases.CONNECTIONS["enumerate_outer_links"].method
    detach = cases.CONNECTIONS["detach_outer_link"].method
    deploy = cases.DEPLOY_METHODS["action"]
    s = object()
    assert model(enum, [], []) == ("error", "action() takes at least 2 positional arguments (0 given)")
    assert model(enum, [s, "a", "b", "c", "d"], []) == (
        "error",
        "action() takes at most 4 positional arguments (5 given)",
    )
    assert model(deploy, [s], [("env_name", "e"), ("deploy_type", "d"), ("bogus", 1)]) == (
        "error",
        "action() takes at least 4 positional arguments (2 given)",
    )
    assert model(detach, [s, "c", "e"], [("env_name", "x")]) == (
        "error",
        "action() got multiple values for keyword argument 'env_name'",
    )
    assert model(detach, [s, "c", "e"], [("nope", 1)]) == (
        "error",
        "action() got an unexpected keyword argument 'nope'",
    )
    kind, bound = model(deploy, [s, "d", "l", "e"], [("no_input", True)])
    assert kind == "ok" and bound["no_input"] is True
    assert model(deploy, [s, "d", "l", "e", None, None, None, True], []) == (
        "error",
        "action() takes at most 7 positional arguments (8 given)",
    )
    assert model(cases.DEPLOY_METHODS["want_deploy_input"], [s, 1], []) == (
        "error",
        "want_deploy_input() takes exactly 1 positional argument (2 given)",
    )


# --- the interpreter as the oracle ---------------------------------------------------


@functools.cache
def plain_def(method: cases.Method) -> Any:
    """A plain def with the method's signature that returns what it was bound to."""
    params = []
    for p in method.all_params:
        if p.kwonly and "*" not in params:
            params.append("*")
        params.append(p.name if p.required else f"{p.name}={p.default!r}")
    namespace: dict[str, Any] = {}
    exec(f"def {method.name}({', '.join(params)}):\n    return dict(locals())\n", namespace)
    func = namespace[method.name]
    func.__qualname__ = f"{method.cls}.{method.name}"
    return func


@functools.cache
def signature(method: cases.Method) -> inspect.Signature:
    return inspect.signature(plain_def(method))


def as_the_frame_reads(route: str, keywords: list[tuple[Any, Any]]) -> list[tuple[Any, Any]]:
    """The keywords as the frame binds them: through vectorcall a name given
    more than once binds its last value (observe.DECLARED, "repeated keyword
    names"). Python refuses the repeat, so it is asked with each name once."""
    if route != "vectorcall":
        return keywords
    merged: dict[Any, Any] = {}
    for key, value in keywords:
        merged[str.__str__(key) if isinstance(key, str) else key] = value
    return list(merged.items())


def python_binds(method: cases.Method, inst: Any, route: str, args: list, keywords: list) -> tuple[str, Any]:
    """("ok", Bound) or ("error", None): what the interpreter does with the same
    call of a plain def, checked against inspect.Signature.bind where a
    signature can be asked (every keyword name a str)."""
    func = plain_def(method)
    keywords = as_the_frame_reads(route, keywords)
    try:
        verdict: tuple[str, Any] = ("ok", Bound(invoke(func, inst, route, args, keywords)))
    except TypeError:
        verdict = ("error", None)
    if all(isinstance(k, str) for k, _ in keywords):
        try:
            bound = signature(method).bind(*args, **dict(keywords))
            bound.apply_defaults()
            by_signature: tuple[str, Any] = ("ok", Bound(bound.arguments))
        except TypeError:
            by_signature = ("error", None)
        assert by_signature[0] == verdict[0], (by_signature, verdict)
        if verdict[0] == "ok":
            assert all(by_signature[1][k] is v for k, v in verdict[1].items())
    return verdict


def expected(method: cases.Method, inst: Any, route: str, args: list, keywords: list) -> tuple[str, Any]:
    """What the compiled method must do: bind as Python binds, then apply the
    exact-type checks; a refusal in the frame's words (`model`)."""
    verdict, bound = python_binds(method, inst, route, args, keywords)
    if verdict == "ok":
        for p in method.all_params:
            if p.check and type(bound[p.name]) is not {"str": str, "dict": dict}[p.check]:
                return "error", entry_message(p.name, p.check, bound[p.name])
        return "ok", bound
    wording = model(method, args, keywords)
    assert wording[0] == "error", f"Python refuses the call, the model of the messages binds it: {wording}"
    return wording


# --- what the calls are made of ---------------------------------------------------------


def _value(draw: Any, p: cases.Param) -> Any:
    """A fresh object for a parameter: mostly of the right type, sometimes not."""
    tag = draw(st.integers(0, 10**6))
    good = draw(st.integers(0, 9)) < 8
    if p.check == "str":
        return f"text-{tag}" if good else draw(st.sampled_from([StrSub(f"sub-{tag}"), None, tag, b"bytes"]))
    if p.check == "dict":
        return (
            {"k": f"v{tag}"}
            if good
            else draw(st.sampled_from([DictSub(k=tag), collections.OrderedDict(k=tag), None, [("k", "v")]]))
        )
    if p.kwonly:
        return draw(st.sampled_from([True, False, 0, 1, None, "yes"]))
    return draw(st.sampled_from([None, f"opt-{tag}", tag, [tag]]))


def _spelling(draw: Any, name: str) -> Any:
    """The name as the interned str, an equal str that is another object, or a
    str subclass instance."""
    return draw(st.sampled_from([name, name, "".join(list(name)), StrSub(name)]))


@st.composite
def calls(draw: Any, method: cases.Method, inst: Any, route: str) -> tuple[list, list[tuple[Any, Any]]]:
    """Positional arguments (self first) and keywords: mostly calls that could
    bind, with noise: counts out of range, names unknown, repeated, missing,
    not str (only where a non-str name can be passed)."""
    params = method.all_params
    positional = [p for p in params if not p.kwonly]
    if draw(st.integers(0, 3)) == 0:
        n = draw(st.integers(1 if route == "bound" else 0, method.max_positional + 2))
    else:
        n = draw(st.integers(max(1 if route == "bound" else 0, 0), method.max_positional))
    args: list[Any] = [inst] if n else []
    for i in range(1, n):
        args.append(_value(draw, positional[i] if i < len(positional) else cases.Param(f"extra{i}")))
    keywords: list[tuple[Any, Any]] = []
    for i, p in enumerate(params):
        if i < n and not p.kwonly:
            continue
        keep = 9 if p.required else 5
        if draw(st.integers(0, 9)) < keep:
            keywords.append((_spelling(draw, p.name), inst if p.name == "self" else _value(draw, p)))
    keywords = draw(st.permutations(keywords))
    noise = [
        st.sampled_from(["bogus", "", "Env_name", "self_", "no_inputs", "éñv"]),
        st.sampled_from([p.name for p in params]).map(lambda s: s),
    ]
    if route in ("vectorcall", "slot"):
        noise.append(st.sampled_from([7, None, b"env_name", ("env_name",)]))
    for _ in range(draw(st.integers(0, 2)) if draw(st.booleans()) else 0):
        key = draw(st.one_of(*noise))
        match = next((p for p in params if isinstance(key, str) and key == p.name), None)
        value = inst if match is not None and match.name == "self" else _value(draw, match or cases.Param("x"))
        keywords.insert(draw(st.integers(0, len(keywords))), (key, value))
    if route in ("python", "bound", "slot"):
        # A dict: one entry per name (the first key object, the last value).
        merged: dict = {}
        for key, value in keywords:
            merged[key] = value
        keywords = list(merged.items())
    return args, keywords


def invoke(func: Any, inst: Any, route: str, args: list, keywords: list) -> Any:
    if route == "python":
        return func(*args, **dict(keywords))
    if route == "bound":
        return func.__get__(inst, type(inst))(*args[1:], **dict(keywords))
    if route == "vectorcall":
        return vectorcall(func, tuple(args), tuple(k for k, _ in keywords), tuple(v for _, v in keywords))
    return slot_call(func, tuple(args), dict(keywords))


def outcome(call: Any) -> tuple[str, Any]:
    try:
        result = "ok", call()
        event("bound")
        return result
    except TypeError as exc:
        text = str(exc)
        event(
            next(
                (
                    kind
                    for kind in ("takes", "multiple values", "unexpected keyword", "must be strings", "incorrect type")
                    if kind in text
                ),
                "other TypeError",
            )
        )
        return "error", text


ROUTES = ("python", "bound", "vectorcall", "slot")


# --- the connection actions ----------------------------------------------------------


class Recorder:
    def __init__(self) -> None:
        self.sent: list[tuple[str, dict]] = []

    def _credentials_data(self) -> bytes:
        return b"binding"

    def execute_transaction(self, name: str, data: dict) -> dict:
        self.sent.append((name, data))
        return {}


def _connection_case(short: str, route: str):
    conn = cases.CONNECTIONS[short]
    module = cases.load(short)
    cls = type(f"Recording{conn.method.cls}", (Recorder, getattr(module, conn.method.cls)), {})
    inst = cls()
    func = vars(getattr(module, conn.method.cls))["action"]

    @SETTINGS
    @given(calls(conn.method, inst, route))
    def check(call: tuple[list, list]) -> None:
        args, keywords = call
        inst.sent.clear()
        want = expected(conn.method, inst, route, args, keywords)
        got = outcome(lambda: invoke(func, inst, route, args, keywords))
        if want[0] == "error":
            assert got == want
            assert inst.sent == []
            return
        bound = want[1]
        assert bound["self"] is inst
        assert got[0] == "ok", got
        assert type(got[1]).__name__ == conn.model
        [(name, data)] = inst.sent
        assert name == conn.transaction
        assert list(data) == ["data", *conn.request]
        assert data["data"] == base64.b64encode(b"binding").decode()
        for key in conn.request:
            assert data[key] is bound[key], key

    return check


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("short", cases.CONNECTION_MODULES)
def test_connection_binding(short, route):
    if cases.load(short) is None:
        pytest.skip(f"{short} is not built")
    _connection_case(short, route)()


# --- the deploy's methods ------------------------------------------------------------

DEPLOY = cases.load(cases.DEPLOY_MODULE)


def _deploy_recorder():
    already = __import__("veltra.errors", fromlist=["x"]).VeltraCloudAlreadyDeployedError

    class Deploy(DEPLOY.LaunchRolloutAction):
        def __init__(self) -> None:
            self.prompts: list[str] = []
            self.sent: list[dict] = []

        def _input(self, prompt: str) -> str:
            self.prompts.append(prompt)
            return "y"

        def _print(self, text: str) -> None:
            return None

        def _credentials_data(self) -> bytes:
            return b"binding"

        def execute_transaction(self, name: str, data: dict) -> Any:
            self.sent.append(data)
            return {"details": {"domain_url": "https://d.example/"}}

    del already
    return Deploy()


@pytest.mark.skipif(DEPLOY is None, reason="launch_rollout is not built")
@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name", list(cases.DEPLOY_METHODS))
def test_deploy_binding(name, route):
    method = cases.DEPLOY_METHODS[name]
    inst = _deploy_recorder()
    func = vars(DEPLOY.LaunchRolloutAction)[name]

    @SETTINGS
    @given(calls(method, inst, route))
    def check(call: tuple[list, list]) -> None:
        args, keywords = call
        inst.prompts.clear()
        inst.sent.clear()
        want = expected(method, inst, route, args, keywords)
        got = outcome(lambda: invoke(func, inst, route, args, keywords))
        if want[0] == "error":
            assert got == want
            assert inst.sent == [] and inst.prompts == []
            return
        bound = want[1]
        assert bound["self"] is inst
        assert got[0] == "ok", got
        if name in ("want_deploy_input", "want_redeploy_input"):
            assert got[1] == "y" and len(inst.prompts) == 1
        elif name == "_redeploy":
            assert got[1] is True
            [data] = inst.sent
            assert data is bound["deploy_data"] and data["redeploy"] is True
        else:
            assert got[1] is True
            assert inst.prompts == ([] if bound["no_input"] else [cases.DEPLOY_PROMPT])
            [data] = inst.sent
            assert list(data) == list(cases.DEPLOY_REQUEST)
            for key in cases.DEPLOY_REQUEST[2:]:
                assert data[key] is bound[key], key

    with cases.working_directory("fake"), cases.replaced_globals(DEPLOY, **cases.FAKE_FS):
        check()
