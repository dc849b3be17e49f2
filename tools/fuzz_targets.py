"""What the fuzzer does with one input: calls of the compiled actions built from
its bytes, and the invariants every such call must keep.

From the bytes (read by `Draw`, so that a replay needs no fuzzer) one input
makes one to three calls of methods of the five modules, and between them swaps,
deletes or restores module globals. Each call is

- a binding: positional and keyword mixes through four roads (the bound method,
  the class with `self` by keyword, `PyObject_Vectorcall` with any objects as
  keyword names, the type's call slot with a keyword dict), with names that are
  exact, equal-but-other, `str` subclasses, not `str`, repeated, unknown; too
  many and too few arguments; built valid, invalid on purpose, with a wrong type
  for a checked parameter, or anything at all;
- on a fake `self` that records every lookup of a collaborator
  (`_credentials_data`, `execute_transaction`, `_input`, `_print`), each of
  which returns what the bytes say: ints, bytes, `str` and `dict` subclasses,
  mappings, None, or objects whose `__eq__`, `__hash__`, `__index__`, `__bool__`
  or `__del__` raise or call an action again;
- with module globals (`base64`, the response model, `tempfile`, `shutil`,
  `Path`, ...) missing, wrong, or fakes that misbehave the same ways.

The invariants (a broken one raises `Violation`, which the fuzzer reports as a
crash; a crash or a sanitizer report ends the process):

- every call returns or raises an ordinary exception (`Exception`, never
  `SystemError`, which is how the interpreter reports a C function that returned
  null without an exception or a result with one set);
- a call built with a binding error or a wrong type for a checked parameter
  raises TypeError with the frame's message and reaches no collaborator; a call
  that reached a collaborator never carries a binding message;
- a valid call never fails with a binding message;
- the exception being handled around a call (`sys.exc_info()`) is the same
  after it, also inside a generator, and in a generator that handles the
  exception its caller handles and threw in (`gen.throw(e)`, and what
  `contextlib.contextmanager` does when a `with` block raises): there it is
  still handled after the call and when the generator is resumed, and a bare
  `raise` re-raises it;
- a call leaves the module globals as they were (the harness's own swaps are
  undone after every input, and checked).

The second oracle: every input runs twice, through the compiled modules and
through their plain-Python twins (tests/support/twins/), each run writing down
what it sees (tests/support/observe.py: every collaborator lookup and call
with its arguments and the exception handled meanwhile, every dunder of the
fuzzer's objects, every use of a faked global, every call's result or exception
with its traceback entries); the two logs must agree, but for the differences
that the modules document (observe.DECLARED). What runs at moments the two
do not share (a finaliser, the reading of a traceback by the standard library)
draws from a second stream of the bytes and writes nothing down.

tools/fuzz.py runs `one_input` under the fuzzer;
tests/hardening/test_fuzz_harness_subprocess.py replays the kept inputs through
it without one.
"""

from __future__ import annotations

import argparse
import atexit
import builtins
import contextlib
import dis
import functools
import importlib
import os
import random
import re
import shutil
import sys
import tempfile
import traceback
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Self

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import cases, observe, twins
from support.cases import DEPLOY_MODULE, FAKE_FS, DictSub, PairsMapping, Refused, StrSub

MAX_DEPTH = 2  # calls of an action from inside a call of one
MAX_CALLS = 3  # calls per input


class Violation(AssertionError):
    """An invariant of the compiled actions is broken."""


class Draw:
    """Choices read from the fuzzer's bytes; once they run out every choice is 0,
    and 0 is always the plain, well-behaved choice, so every input ends."""

    __slots__ = ("data", "pos", "side", "side_pos")

    # Above zero while something runs apart (Plan.apart): then every draw, of
    # any plan, reads its side stream.
    apart = 0

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0
        self.side = data[::-1]  # the second stream: the bytes backwards
        self.side_pos = 0

    def below(self, n: int) -> int:
        if n <= 1:
            return 0
        if Draw.apart:
            if self.side_pos >= len(self.side):
                return 0
            self.side_pos += 1
            return self.side[self.side_pos - 1] % n
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b % n

    def chance(self, one_in: int) -> bool:
        """True for one byte value in `one_in` (never once the bytes are used up)."""
        return self.below(one_in) == one_in - 1

    def pick(self, seq: Any) -> Any:
        return seq[self.below(len(seq))]

    def text(self, most: int = 6) -> str:
        n = self.below(most + 1)
        return "".join(chr(0x61 + self.below(26)) for _ in range(n))

    def raw(self, most: int = 8) -> bytes:
        n = self.below(most + 1)
        return bytes(self.below(256) for _ in range(n))


# ---------------------------------------------------------------------------
# Run-wide state: the call depth and what went wrong where it cannot be raised
# (inside `__del__`, an unraisable exception).


@dataclass
class State:
    depth: int = 0
    problems: list[str] | None = None
    touched: set[tuple[int, str]] = field(default_factory=set)  # (id of module, name) a fake changed mid-call

    def problem(self, text: str) -> None:
        if self.problems is None:
            self.problems = []
        self.problems.append(text)


STATE = State()


def _unraisable(info: Any) -> None:
    # Our `__del__` and the calls it makes may raise anything ordinary; only
    # the interpreter's own complaints about a C function are problems.
    if info.exc_type is not None and issubclass(info.exc_type, SystemError):
        STATE.problem(f"unraisable SystemError: {info.exc_value}")
    elif info.exc_type is not None and not issubclass(info.exc_type, Exception):
        STATE.problem(f"unraisable {info.exc_type.__name__}: {info.exc_value}")


# ---------------------------------------------------------------------------
# Objects that misbehave as the bytes say.

KEYS = ("details", "domain_url", "application_uuid", "env_name", "connection_name", "changed", "no_such_field")
DUNDER_DEFAULTS = {
    "__eq__": NotImplemented,
    "__ne__": NotImplemented,
    "__hash__": 0,
    "__index__": 1,
    "__bool__": True,
    "__del__": None,
    "__len__": 0,
}


class Plan:
    """The bytes, as what collaborators, dunders and fakes do when they run."""

    def __init__(self, draw: Draw, targets: list[Target]) -> None:
        self.draw = draw
        self.targets = targets

    @property
    def isolated(self) -> bool:
        return Draw.apart > 0

    @contextlib.contextmanager
    def apart(self) -> Iterator[None]:
        """For what runs when it runs, not where the call is (a finaliser, the
        standard library reading a traceback), so at other moments in the
        module's run and in its twin's: every choice from the side streams,
        nothing written down, no global swapped, no file removed."""
        with observe.active(None):  # first in, last out: apart means unrecorded
            Draw.apart += 1
            try:
                yield
            finally:
                Draw.apart -= 1

    def dunder(self, name: str) -> Any:
        """What a dunder of an evil object does: its plain result, raise,
        call an action first, or return an object of the wrong type."""
        if name == "__del__" and not self.isolated:
            with self.apart():
                return self.dunder(name)
        choice = self.draw.below(5)
        observe.record("dunder", name, choice)
        if choice == 1:
            raise Refused(name)
        if choice == 2:
            self.reenter()
        elif choice == 3:
            return self.value(2)
        return DUNDER_DEFAULTS.get(name)

    def meddle(self, module: types.ModuleType, names: tuple[str, ...], real: dict[str, Any]) -> None:
        """Deletes or swaps a global of `module` while a call runs (it is put
        back after the input; the check that calls leave globals alone skips it)."""
        if self.isolated:
            return
        name = self.draw.pick(names)
        STATE.touched.add((id(module), name))
        if self.draw.below(2):
            module.__dict__.pop(name, None)
        else:
            module.__dict__[name] = self.value(2)

    def reenter(self) -> None:
        """Calls an action from inside one (any method of any module, built as
        the bytes say; its outcome is checked and dropped)."""
        if STATE.depth >= MAX_DEPTH:
            return
        target = self.draw.pick(self.targets)
        try:
            run_call(target, self)
        except Violation as exc:  # may be inside __del__: keep it for the end of the input
            STATE.problem(str(exc))
        except Exception:  # noqa: BLE001 - what the inner call raised is checked there
            pass

    def value(self, depth: int = 0) -> Any:
        """Any object the bytes choose: what collaborators return, arguments."""
        d = self.draw
        kind = d.below(16)
        if kind == 0:
            return None
        if kind == 1:
            return d.pick((0, 1, -1, 2**64, True, False))
        if kind == 2:
            return d.pick((b"", b"payload")) if d.below(2) == 0 else d.raw()
        if kind == 3:
            return bytearray(d.raw())
        if kind == 4:
            return d.pick(("", "y", "Y", "n", "https://app.example/")) if d.below(2) == 0 else d.text()
        if kind == 5:
            return StrSub(d.text())
        if kind == 6:
            return EvilStr(d.pick((*KEYS, "y")), self)
        if kind == 7 and depth < 3:
            return self.mapping(dict, depth)
        if kind == 8 and depth < 3:
            return self.mapping(DictSub, depth)
        if kind == 9 and depth < 3:
            return PairsMapping(self.mapping(dict, depth))
        if kind == 10 and depth < 3:
            return [(self.key(), self.value(depth + 1)) for _ in range(d.below(3))] + d.pick(([], ["ab", "cde"]))
        if kind == 11:
            return Evil(self)
        if kind == 12:
            return object()
        if kind == 13:
            return memoryview(d.raw())
        if kind == 14:
            return Indexable(self)
        return d.text()

    def key(self) -> Any:
        d = self.draw
        kind = d.below(6)
        if kind == 0 or kind == 1:
            return d.pick(KEYS)
        if kind == 2:
            return StrSub(d.pick(KEYS))
        if kind == 3:
            return d.pick((7, None, b"details"))
        if kind == 4:
            # Hashes as the same text: a lookup of that key compares with it.
            return EvilStr(d.pick((*KEYS, "redeploy")), self)
        return d.text()

    def mapping(self, cls: type, depth: int) -> dict:
        out = cls()
        for _ in range(self.draw.below(4)):
            key = self.key()
            with contextlib.suppress(Exception):  # an evil key may refuse to hash
                out[key] = self.value(depth + 1)
        return out

    def response(self, deploy: bool) -> Any:
        """What `execute_transaction` returns: mostly responses of the right
        shape with odd contents, sometimes anything."""
        d = self.draw
        kind = d.below(4)
        if kind == 0:
            return {"details": {"domain_url": "https://app.example/"}} if deploy else {}
        if kind == 1 and deploy:
            details = self.value(1) if d.below(2) else self.mapping(d.pick((dict, DictSub)), 1)
            return d.pick((dict, DictSub))({"details": details})
        if kind == 2:
            return self.mapping(d.pick((dict, DictSub)), 1)
        return self.value()


class Evil:
    """An object whose comparisons, hash, index, truth and finaliser do what the
    plan says, and that plays a mapping, a model, a prompt answer or a file."""

    def __init__(self, plan: Plan) -> None:
        self._plan = plan

    def __eq__(self, other: object) -> Any:
        return self._plan.dunder("__eq__")

    def __ne__(self, other: object) -> Any:
        return self._plan.dunder("__ne__")

    def __hash__(self) -> Any:
        return self._plan.dunder("__hash__")

    def __index__(self) -> Any:
        return self._plan.dunder("__index__")

    def __bool__(self) -> Any:
        return self._plan.dunder("__bool__")

    def __len__(self) -> Any:
        return self._plan.dunder("__len__")

    def __del__(self) -> None:
        self._plan.dunder("__del__")

    def __format__(self, spec: str) -> Any:
        return self._plan.dunder("__format__") or "evil"

    def __getattr__(self, name: str) -> Any:
        # domain_url, application_uuid, lower, keys, read, decode, ...
        observe.record("getattr", name)
        if self._plan.draw.below(3) == 1:
            raise AttributeError(name)
        return (
            functools.partial(self._plan.dunder, name)
            if name in ("lower", "keys", "read", "decode")
            else self._plan.value(2)
        )

    def __getitem__(self, key: Any) -> Any:
        return self._plan.value(2)

    def __iter__(self) -> Iterator[Any]:
        # A few items; without __iter__ the sequence protocol would index for ever.
        return iter([self._plan.value(2) for _ in range(self._plan.draw.below(3))])


class EvilStr(str):
    """A `str` subclass whose comparisons and hash do what the plan says."""

    def __new__(cls, text: str, plan: Plan) -> Self:
        obj = super().__new__(cls, text)
        obj._plan = plan  # type: ignore[attr-defined]
        return obj

    def __eq__(self, other: object) -> Any:
        r = self._plan.dunder("__eq__")  # type: ignore[attr-defined]
        return str.__eq__(self, other) if r is NotImplemented else r

    def __ne__(self, other: object) -> Any:
        r = self._plan.dunder("__ne__")  # type: ignore[attr-defined]
        return str.__ne__(self, other) if r is NotImplemented else r

    def __hash__(self) -> Any:
        r = self._plan.dunder("__hash__")  # type: ignore[attr-defined]
        return str.__hash__(self) if r == 0 else r

    def lower(self) -> Any:  # type: ignore[override]
        r = self._plan.dunder("lower")  # type: ignore[attr-defined]
        return str.lower(self) if r is None else r


class Indexable:
    """An int-like object (`__index__`) that the plan may make raise."""

    def __init__(self, plan: Plan) -> None:
        self._plan = plan

    def __index__(self) -> Any:
        return self._plan.dunder("__index__")


# ---------------------------------------------------------------------------
# The fake `self`: every collaborator lookup is recorded, every call does what
# the plan says.


def _collaborator(name: str) -> property:
    def get(self: Any) -> Any:
        self.reached.append(name)
        plan: Plan = self.plan
        gone = plan.draw.chance(16)
        observe.record("get", f"self.{name}", gone)
        if gone:
            raise AttributeError(f"collaborator {name} is gone")
        return functools.partial(_collaborate, self, name)

    return property(get)


def _logged(label: str, func: Callable[..., Any]) -> Callable[..., Any]:
    """`func`, writing down each call (arguments, the exception handled
    meanwhile) and what it returned or raised."""

    @functools.wraps(func)
    def logged(*args: Any, **kwargs: Any) -> Any:
        observe.record("call", label, observe.canon_now(args), observe.canon_now(tuple(kwargs.items())))
        observe.record("handled meanwhile", observe.handled_now())
        try:
            result = func(*args, **kwargs)
        except BaseException as exc:
            observe.record("raised", label, observe.canon_now(exc))
            raise
        observe.record("returned", label, observe.canon_now(result))
        return result

    return logged


def _collaborate(self: Any, name: str, *args: Any) -> Any:
    return _logged(f"self.{name}", _collaboration)(self, name, *args)


def _collaboration(self: Any, name: str, *args: Any) -> Any:
    plan: Plan = self.plan
    d = plan.draw
    deploy = self.deploy
    choice = d.below(8)
    if choice == 1:
        raise Refused(f"{name} refused")
    if choice == 2:
        plan.reenter()
    if choice == 3 and name == "execute_transaction" and deploy:
        raise self.already_deployed("already deployed")
    if choice == 4:
        if name == "execute_transaction" and len(args) == 2 and isinstance(args[1], dict) and d.below(2):
            if d.below(2):
                args[1].clear()
            else:
                args[1]["evil"] = Evil(plan)
        return plan.value()
    if name == "_credentials_data":
        return b"payload" if choice != 5 else plan.value()
    if name == "execute_transaction":
        return plan.response(deploy)
    if name == "_input":
        return d.pick(("y", "Y", "n", " y ")) if choice != 5 else plan.value()
    return None  # _print


COLLABORATORS = ("_credentials_data", "execute_transaction", "_input", "_print")


def fuzz_self_class(action_cls: type, deploy: bool, already_deployed: type) -> type:
    namespace: dict[str, Any] = {name: _collaborator(name) for name in COLLABORATORS}

    def __init__(self: Any, plan: Plan) -> None:
        self.plan = plan
        self.reached = []

    namespace.update(__init__=__init__, deploy=deploy, already_deployed=already_deployed)
    return type(f"Fuzz{action_cls.__name__}", (action_cls,), namespace)


# ---------------------------------------------------------------------------
# The methods under fuzzing.


@dataclass
class Target:
    method: cases.Method
    module: types.ModuleType
    func: Any  # the method object, from the class dict
    self_cls: type
    valid: dict[str, Any]
    model: str  # the response model's global name
    globals: tuple[str, ...]  # the module globals the fuzzer swaps
    messages: re.Pattern[str]  # binding and entry-check messages of this method
    source: str  # file name of the module's traceback entries
    twin: Target | None = None  # the same method of the module's twin (None: this is the twin)


def _messages(name: str) -> re.Pattern[str]:
    n = re.escape(name)
    return re.compile(
        rf"{n}\(\) takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)"
        rf"|{n}\(\) keywords must be strings"
        rf"|{n}\(\) got multiple values for keyword argument '.*'"
        rf"|{n}\(\) got an unexpected keyword argument '.*'"
        r"|Argument '\w+' has incorrect type \(expected (str|dict), got .*\)",
        re.DOTALL,
    )


def targets() -> list[Target]:
    """Every method of every importable module, each linked to its twin's."""
    out = []
    for method in cases.all_methods():
        target = _target(method, cases.load(method.module), method.module)
        target.twin = _target(method, twins.load(method.module), f"twins/{method.module}.py")
        out.append(target)
    return out


def _target(method: cases.Method, module: types.ModuleType, source: str) -> Target:
    """A method of `module` (a compiled module or a twin) under fuzzing; `source`
    ends the file name of its traceback entries."""
    already = importlib.import_module("veltra.errors").VeltraCloudAlreadyDeployedError
    deploy = method.module == DEPLOY_MODULE
    cls = getattr(module, method.cls)
    if deploy:
        model = "DeployResponse"
        names = (
            "base64",
            "tempfile",
            "shutil",
            "Path",
            "DeployResponse",
            "VELTRA_ENV_SUBDOMAIN",
            "VeltraCloudAlreadyDeployedError",
        )
    else:
        model = cases.CONNECTIONS[method.module].model
        names = ("base64", model)
    # What the interpreter reads from a module's globals when the frame
    # makes a traceback entry or looks a name up in the builtins.
    names += ("__builtins__", "__name__")
    return Target(
        method,
        module,
        cases.method_object(method, module),
        fuzz_self_class(cls, deploy, already),
        cases.valid_args(method),
        model,
        names,
        _messages(method.name),
        source,
    )


# ---------------------------------------------------------------------------
# Building a call.

MODES = ("valid", "invalid", "entry", "chaos")
ROADS = ("bound", "class", "vectorcall", "slot")


def _name_form(d: Draw, name: str, road: str, plan: Plan) -> Any:
    """The same parameter name as an exact, other-but-equal, subclass or evil str."""
    kind = d.below(4)
    if kind == 1:
        return "".join(list(name))  # equal, not the interned object
    if kind == 2:
        return StrSub(name)
    if kind == 3 and road == "vectorcall":  # only vectorcall takes a name without hashing it
        return EvilStr(name, plan)
    return name


def _checked_value(d: Draw, check: str | None, plan: Plan) -> Any:
    if check == "str":
        return d.pick(("env", "", "y")) if d.below(2) == 0 else d.text()
    if check == "dict":
        return plan.mapping(dict, 1)
    return plan.value()


def _bad_value(d: Draw, check: str, plan: Plan) -> Any:
    if check == "str":
        return d.pick((None, StrSub("env"), EvilStr("env", plan), b"env", 7, Evil(plan)))
    return d.pick((None, DictSub(), PairsMapping({}), [("a", 1)], Evil(plan), "{}"))


def _as_the_frame_reads(names: list[Any], values: list[Any]) -> tuple[list[Any], list[Any]]:
    """Keyword names of a vectorcall as the frame binds them, for the twin: a str
    subclass by its text (the frame compares the text, Python calls the
    subclass's __eq__) and a repeated name once, with its last value (the frame
    assigns each in turn, Python refuses a repeat); see observe.DECLARED."""
    merged: dict[Any, Any] = {}
    for name, value in zip(names, values, strict=True):
        merged[str.__str__(name) if isinstance(name, str) else name] = value
    return list(merged), list(merged.values())


@dataclass
class Built:
    mode: str
    road: str
    invalid: bool  # a binding or entry-check TypeError is certain
    call: Callable[[], Any]
    made_of: tuple = ()  # self, the positional arguments, keyword names and values, as drawn


def build_call(target: Target, plan: Plan, inst: Any) -> Built | None:
    d = plan.draw
    method = target.method
    params = method.all_params
    npos = method.max_positional
    mode = MODES[d.below(4)]
    road = ROADS[d.below(4)]

    # A valid assignment: every required parameter, optional ones by chance.
    values: dict[str, Any] = {"self": inst}
    for p in method.params:
        if p.required or d.below(2):
            values[p.name] = _checked_value(d, p.check, plan) if d.below(2) else target.valid[p.name]
    if mode == "entry":
        checked = [p for p in method.params if p.check]
        if not checked:
            mode = "valid"
        else:
            p = d.pick(checked)
            values[p.name] = _bad_value(d, p.check, plan)

    lowest = 1 if road == "bound" else 0
    k = lowest + d.below(npos - lowest + 1)  # positional count, self included
    positional: list[Any] = []
    for i in range(k):
        p = params[i]
        positional.append(values.get(p.name, None if p.default is cases.REQUIRED else p.default))
    keywords: list[tuple[Any, Any]] = [
        (name, v) for name, v in values.items() if [p.name for p in params].index(name) >= k
    ]

    if mode == "invalid":
        how = d.below(5)
        if how == 0:  # too many positional
            positional = [values.get(p.name, p.default) for p in params[:npos]]
            positional += [plan.value() for _ in range(1 + d.below(2))]
            keywords = [kw for kw in keywords if params[[p.name for p in params].index(kw[0])].kwonly]
        elif how == 1 and any(p.required for p in params[lowest:]):  # one required parameter missing
            gone = d.pick([i for i, p in enumerate(params) if p.required and i >= lowest])
            positional = positional[:gone]
            keywords = [
                (p.name, values[p.name])
                for p in params[len(positional) :]
                if p.name in values and p.name != params[gone].name
            ]
        elif how == 2 and positional:  # a keyword repeating a positional argument (self too)
            keywords.append((params[d.below(len(positional))].name, plan.value()))
        elif how == 3 and road in ("vectorcall", "slot"):  # a name that is not str
            keywords.insert(d.below(len(keywords) + 1), (d.pick((7, None, b"env_name", 2.5)), plan.value()))
        else:  # a name of no parameter
            keywords.insert(d.below(len(keywords) + 1), (d.pick(("bogus", "env", "selff", "noinput")), plan.value()))
    elif mode == "chaos":
        positional = [inst] if road == "bound" or d.below(4) else []
        many = 16 + d.below(4) if d.chance(8) else d.below(npos + 2)  # 16 and more: past the kept messages
        positional += [plan.value() for _ in range(many)]
        pool = [p.name for p in params] + ["bogus", 7, None]
        keywords = []
        for _ in range(d.below(5)):
            name = d.pick(pool)
            if not isinstance(name, str) and road in ("bound", "class"):
                name = "bogus"
            keywords.append((name, plan.value()))

    names = [_name_form(d, n, road, plan) if isinstance(n, str) else n for n, _ in keywords]
    kwvalues = [v for _, v in keywords]
    made_of = (inst, tuple(positional), tuple(names), tuple(kwvalues))
    if target.twin is None and road == "vectorcall":
        names, kwvalues = _as_the_frame_reads(names, kwvalues)
    func = target.func
    invalid = mode in ("invalid", "entry")

    if road == "bound":
        bound = getattr(inst, method.name)
        kw = dict(zip(names, kwvalues, strict=True))
        if len(kw) < len(names):  # repeated names are for vectorcall
            if invalid:
                return None
            names = list(kw)
        args = tuple(positional[1:])
        return Built(mode, road, invalid, lambda: bound(*args, **kw), made_of)
    if road == "class":
        kw = dict(zip(names, kwvalues, strict=True))
        if len(kw) < len(names) and invalid:
            return None
        args = tuple(positional)
        return Built(mode, road, invalid, lambda: func(*args, **kw), made_of)
    if road == "vectorcall":
        args = tuple(positional)
        kwn, kwv = tuple(names), tuple(kwvalues)
        return Built(mode, road, invalid, lambda: cases.vectorcall(func, args, kwn, kwv), made_of)
    try:
        kwd = dict(zip(names, kwvalues, strict=True))
    except Exception:  # noqa: BLE001 - an evil name refused to hash
        return None
    if len(kwd) < len(names) and invalid:
        return None
    args = tuple(positional)
    return Built(mode, road, invalid, lambda: cases.slot_call(func, args, kwd if kwd else None), made_of)


# ---------------------------------------------------------------------------
# One call, checked.


def _module_lines(exc: BaseException, source: str) -> list[int]:
    """The lines of the traceback entries this module added."""
    lines = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.endswith(source):
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    return lines


def _gen_call(call: Callable[[], Any]) -> Iterator[Any]:
    try:
        raise KeyError("handled around the call")
    except KeyError:
        before = sys.exc_info()
        yield call
        yield _outcome(call)
        observe.record("handled in the generator after the call", observe.handled_now())
        if sys.exc_info() != before:
            raise Violation("the exception handled around the call inside a generator changed") from None


def _bare_gen_call(call: Callable[[], Any]) -> Iterator[Any]:
    outcome = _outcome(call)
    yield outcome, sys.exc_info()
    yield sys.exc_info()  # resumed elsewhere: what that caller handles, nothing of the call's


def _thrown_gen_call(call: Callable[[], Any], label: str) -> Iterator[Any]:
    """A generator that handles the exception its caller handles and throws in."""
    try:
        yield None
    except LookupError as thrown:
        outcome = _outcome(call)
        observe.record("handled in the generator after the call", observe.handled_now())
        if sys.exception() is not thrown:
            raise Violation(f"{label}: a generator lost the exception thrown into it, across the call") from None
        yield outcome
        # Resumed after the thrower's handler ended: still handling its own.
        observe.record("handled in the generator, resumed", observe.handled_now())
        if sys.exception() is not thrown:
            raise Violation(f"{label}: a generator resumed after the call lost the exception thrown into it") from None


def _in_thrown_generator(call: Callable[[], Any], label: str) -> tuple[str, Any]:
    """The call in a generator's `except` block, the generator resumed by
    `gen.throw(e)` from inside an `except` block that handles `e`."""
    gen = _thrown_gen_call(call, label)
    next(gen)
    try:
        raise LookupError("thrown into the generator")
    except LookupError as exc:
        outcome = gen.throw(exc)
        observe.record("handled by the thrower", observe.handled_now())
        if sys.exception() is not exc:
            raise Violation(f"{label}: the thrower's handled exception changed across a generator's call") from None
    with contextlib.suppress(StopIteration):
        next(gen)
    return outcome


@contextlib.contextmanager
def _managed_call(call: Callable[[], Any], label: str, box: list[tuple[str, Any]]) -> Iterator[None]:
    try:
        yield
    except LookupError as raised:
        box.append(_outcome(call))
        observe.record("handled in the context manager after the call", observe.handled_now())
        if sys.exception() is not raised:
            raise Violation(f"{label}: a context manager's generator lost the with block's exception") from None
        raise  # contextmanager's __exit__ then lets the with block's exception go on


def _in_context_manager(call: Callable[[], Any], label: str) -> tuple[str, Any]:
    """The call in the `except` block of a `contextlib.contextmanager` generator,
    the `with` block having raised: the bare `raise` after it re-raises the
    with block's exception, which reaches this frame unchanged."""
    box: list[tuple[str, Any]] = []
    raised = LookupError("raised in the with block")
    try:
        with _managed_call(call, label, box):
            raise raised
    except Violation:
        raise
    except Exception as exc:  # noqa: BLE001 - anything else is the violation
        observe.record("raised out of the with block", observe.which_now(exc))
        if exc is not raised:
            raise Violation(f"{label}: the with block's exception came out as {type(exc).__name__}: {exc}") from None
    else:
        raise Violation(f"{label}: the with block's exception was swallowed")
    return box[0]


def run_call(target: Target, plan: Plan) -> None:
    """Builds one call of `target` from the bytes, runs it and checks it."""
    d = plan.draw
    inst = target.self_cls(plan)
    built = build_call(target, plan, inst)
    if built is None:
        return
    label = f"{target.method.label} [{built.mode}, {built.road}]"
    where = d.below(8)
    observe.record("run", label, where)
    observe.register_now(built.made_of)
    STATE.depth += 1
    try:
        if where == 1:  # inside an except block: the handled exception must survive
            try:
                raise LookupError("handled around the call")
            except LookupError:
                before = sys.exc_info()
                outcome = _outcome(built.call)
                observe.record("handled after the call", observe.handled_now())
                if sys.exc_info() != before:
                    raise Violation(f"{label}: the handled exception changed across the call") from None
        elif where == 2:  # the same, in a generator
            gen = _gen_call(built.call)
            next(gen)
            outcome = next(gen)
            with contextlib.suppress(StopIteration):
                next(gen)
        elif where == 3:  # in a generator that handles nothing, run by a caller that does
            try:
                raise LookupError("handled by the generator's caller")
            except LookupError:
                before = sys.exc_info()
                bare = _bare_gen_call(built.call)
                outcome, inside = next(bare)
                observe.record("handled in the generator", observe.which_now(inside[1]))
                if inside != before:
                    raise Violation(f"{label}: in a generator, the caller's handled exception changed") from None
                if sys.exc_info() != before:
                    raise Violation(f"{label}: the handled exception changed across a generator's call") from None
            # The generator handles nothing of its own: resumed from here it must
            # see what this frame handles, not the exception its first caller had.
            resumer = sys.exc_info()
            resumed = next(bare)
            observe.record("handled in the generator, resumed", observe.which_now(resumed[1]))
            if resumed != resumer:
                raise Violation(f"{label}: a generator kept a handled exception after the call")
            bare.close()
        elif where == 4:  # a generator handling what its caller handles and threw in
            outcome = _in_thrown_generator(built.call, label)
        elif where == 5:  # the same through contextlib.contextmanager, a with block raising
            outcome = _in_context_manager(built.call, label)
        else:
            outcome = _outcome(built.call)
    finally:
        STATE.depth -= 1
    _check(target, built, inst, outcome, label, plan)


def _outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001
        observe.record("outcome raised", observe.canon_now(exc))
        return "raised", exc
    except BaseException as exc:
        raise Violation(f"the call raised {type(exc).__name__}, not an ordinary exception: {exc}") from exc
    observe.record("outcome returned", observe.canon_now(result))
    return "ok", result


def _check(target: Target, built: Built, inst: Any, outcome: tuple[str, Any], label: str, plan: Plan) -> None:
    d = plan.draw
    kind, value = outcome
    if target.twin is None:  # a twin: what it does is compared, not checked
        if kind == "raised":
            d.chance(4)  # the choice the module's run makes here
        return
    reached = inst.reached
    if kind == "ok":
        if built.invalid:
            raise Violation(f"{label}: a call built invalid returned {type(value).__name__}")
        return
    exc: BaseException = value
    if isinstance(exc, SystemError):
        raise Violation(f"{label}: SystemError: {exc}") from exc
    binding_shaped = isinstance(exc, TypeError) and target.messages.fullmatch(str(exc)) is not None
    # Binding errors carry the entry of the def line, entry checks none.
    lines = _module_lines(exc, target.source)
    before_body = binding_shaped and set(lines) <= {target.method.def_line}
    if built.invalid:
        if not before_body:
            raise Violation(f"{label}: a call built invalid raised {type(exc).__name__}: {exc} (lines {lines})")
        if reached:
            raise Violation(f"{label}: a binding/entry error reached the collaborators {reached}")
    elif before_body and reached:
        raise Violation(f"{label}: {exc!s} after reaching the collaborators {reached}")
    elif built.mode == "valid" and before_body:
        raise Violation(f"{label}: a valid call was refused: {exc}")
    if d.chance(4):
        with plan.apart():
            _read_traceback(exc)


def _read_traceback(exc: BaseException) -> None:
    """Reads the traceback the way tools do."""
    # The standard library reads the module's globals for the source lines
    # (linecache, by __name__): with hostile globals it may raise, ordinarily.
    with contextlib.suppress(Exception):
        traceback.format_exception(exc)
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        list(code.co_positions())
        list(code.co_lines())
        list(dis.get_instructions(code))
        (tb.tb_lasti, tb.tb_frame.f_lineno, tb.tb_frame.f_lasti)  # noqa: B018
        tb = tb.tb_next


# ---------------------------------------------------------------------------
# Module globals between calls.


class FakeTemporaryDirectory:
    """tempfile.TemporaryDirectory as the plan says: entering or leaving may
    raise, leaving may swallow the exception or answer something odd."""

    def __init__(self, plan: Plan) -> None:
        self._plan = plan

    def __enter__(self) -> Any:
        k = self._plan.draw.below(6)
        if k == 1:
            raise Refused("no temporary directory")
        return "/nonexistent/tmp" if k != 2 else self._plan.value()

    def __exit__(self, *exc: object) -> Any:
        k = self._plan.draw.below(6)
        if k == 1:
            raise Refused("cannot remove the temporary directory")
        if k == 2:
            return True
        if k == 3:
            return Evil(self._plan)
        return None

    __enter__ = _logged("TemporaryDirectory().__enter__", __enter__)  # type: ignore[assignment]
    __exit__ = _logged("TemporaryDirectory().__exit__", __exit__)  # type: ignore[assignment]


class FuzzPath(cases.FakePath):
    """Path whose joins, exists() and unlink() do what the plan says."""

    __slots__ = ("plan",)

    def __init__(self, path: Any, plan: Plan | None = None) -> None:
        super().__init__(path)
        self.plan = plan

    def __truediv__(self, other: Any) -> Any:
        if self.plan is None:
            return FuzzPath(other)
        k = self.plan.draw.below(5)
        if k == 1:
            raise Refused("cannot join")
        return self.plan.value() if k == 2 else FuzzPath(other, self.plan)

    def exists(self) -> Any:
        if self.plan is None:
            return False
        k = self.plan.draw.below(5)
        if k == 4:
            raise Refused("cannot stat")
        return (False, True, Evil(self.plan), self.plan.value())[k]

    def unlink(self, missing_ok: bool = False) -> None:
        if self.plan is not None and self.plan.draw.chance(4):
            raise Refused("cannot unlink")

    __truediv__ = _logged("Path() /", __truediv__)  # type: ignore[assignment]
    exists = _logged("Path().exists", exists)  # type: ignore[assignment]
    unlink = _logged("Path().unlink", unlink)  # type: ignore[assignment]


def _fake_global(name: str, target: Target, plan: Plan, real: dict[str, Any]) -> Any:
    """A replacement of a module global: the real object, or a fake that
    misbehaves as the plan says (and may swap the module's globals mid-call)."""
    d = plan.draw
    module = target.module
    if name == "base64":

        def b64encode(b: Any) -> Any:
            k = d.below(6)
            if k == 4:
                raise Refused("cannot encode")
            if k == 5:
                plan.meddle(module, target.globals, real)
            ok = real["base64"].b64encode(b) if isinstance(b, bytes | bytearray) else b""
            return (ok, plan.value(), Evil(plan), bytearray(b"cGF5"), ok, ok)[k]

        b64encode = _logged("base64.b64encode", b64encode)
        as_module = types.ModuleType("base64")
        if d.below(2):
            as_module.b64encode = b64encode  # type: ignore[attr-defined]
        return d.pick((types.SimpleNamespace(b64encode=b64encode), as_module, types.SimpleNamespace(), real["base64"]))
    if name == target.model:

        def model(**kwargs: Any) -> Any:
            k = d.below(5)
            if k == 1:
                raise Refused("the model refuses")
            if k == 2:
                plan.reenter()
            if k == 3:
                return Evil(plan)
            if k == 4:
                return types.SimpleNamespace(domain_url=plan.value())  # no application_uuid
            return types.SimpleNamespace(domain_url=plan.value(), application_uuid=plan.value())

        return _logged(name, model)
    if name == "tempfile":

        def manager() -> Any:
            k = d.below(4)
            if k == 1:
                return types.SimpleNamespace(__enter__=lambda: "/nonexistent/tmp")  # no __exit__
            if k == 2:
                return types.SimpleNamespace(__exit__=lambda *exc: None)  # no __enter__
            return FakeTemporaryDirectory(plan)

        logged = _logged("tempfile.TemporaryDirectory", manager)
        return d.pick((types.SimpleNamespace(TemporaryDirectory=logged), real.get("tempfile", tempfile)))
    if name == "shutil":

        def copy(*args: Any) -> Any:
            k = d.below(6)
            if k == 1:
                raise Refused("cannot copy")
            if k == 2:
                plan.meddle(module, target.globals, real)
            if k == 3 and not plan.isolated and os.path.exists("app.zip"):
                os.unlink("app.zip")  # the archive is gone before it is read

        fake = types.SimpleNamespace(**{f: _logged(f"shutil.{f}", copy) for f in ("copytree", "copy", "make_archive")})
        if d.chance(4):
            del fake.make_archive
        return d.pick((fake, real.get("shutil", fake)))
    if name == "Path":
        return d.pick((_logged("Path", functools.partial(FuzzPath, plan=plan)), real.get("Path", FuzzPath)))
    if name == "__builtins__":
        with_base64 = dict(builtins.__dict__, base64=real["base64"])
        return d.pick((builtins, builtins.__dict__, {}, DictSub(builtins.__dict__), with_base64, plan.value()))
    if name == "VeltraCloudAlreadyDeployedError":
        return d.pick((Refused, (Refused, KeyError), int, (int,), ()))
    return plan.value()


def change_globals(target: Target, plan: Plan, real: dict[str, Any]) -> None:
    """Swaps or deletes a few globals of the target's module (undone by `restore`)."""
    d = plan.draw
    ns = target.module.__dict__
    for _ in range(d.below(3)):
        name = d.pick(target.globals)
        how = d.below(4)
        if how == 1:
            ns.pop(name, None)
            if name == "base64" and d.below(2):
                builtins.base64 = real["base64"]  # type: ignore[attr-defined]
        elif how == 2:
            ns[name] = plan.value()
        elif how == 3:
            ns[name] = _fake_global(name, target, plan, real)


@contextlib.contextmanager
def kept_globals(modules: list[types.ModuleType]) -> Iterator[None]:
    """Puts every module's globals (and builtins) back as they were, and checks."""
    saved = [(m, dict(m.__dict__)) for m in modules]
    had_base64 = hasattr(builtins, "base64")
    try:
        yield
    finally:
        for module, before in saved:
            ns = module.__dict__
            for name in list(ns):
                if name not in before:
                    del ns[name]
            ns.update(before)
        if not had_base64:
            builtins.__dict__.pop("base64", None)
    for module, before in saved:
        if not _same_namespace(module.__dict__, before):
            raise Violation(f"globals of {module.__name__} not restored")


def _same_namespace(now: dict[str, Any], before: dict[str, Any], skip: set[str] | frozenset = frozenset()) -> bool:
    """The same names bound to the very same objects (but those in `skip`)."""
    return now.keys() - skip == before.keys() - skip and all(now[k] is v for k, v in before.items() if k not in skip)


# ---------------------------------------------------------------------------
# The fuzzer's entry.


class Harness:
    """Everything set up once: the targets, a working directory for the deploy
    (with "app.zip" and a tiny application), its file-system globals faked."""

    def __init__(self) -> None:
        self.targets = targets()
        if not self.targets:
            raise RuntimeError("no compiled action module is importable")
        both = [*self.targets, *(t.twin for t in self.targets if t.twin is not None)]
        self.names = {id(t.module): t.module.__name__ for t in both}  # __name__ may be swapped
        self.workdir = tempfile.mkdtemp(prefix="veltra-fuzz-")
        atexit.register(shutil.rmtree, self.workdir, True)
        os.makedirs(os.path.join(self.workdir, "src"), exist_ok=True)
        with open(os.path.join(self.workdir, "src", "main.py"), "w") as f:
            f.write("print('hello')\n")
        with open(os.path.join(self.workdir, "requirements.txt"), "w") as f:
            f.write("\n")
        self.archive = os.path.join(self.workdir, "app.zip")
        self.archive_written: tuple[int, int] | None = None  # (size, mtime) as the harness left it
        deploy = cases.load(DEPLOY_MODULE)
        self.real: dict[str, Any] = {"base64": __import__("base64")}
        if deploy is not None:
            # The real tempfile/shutil/Path are one of the swaps; by default the
            # deploy stays in memory.
            self.real.update({k: deploy.__dict__[k] for k in FAKE_FS})
            deploy.__dict__.update(FAKE_FS)
            twins.load(DEPLOY_MODULE).__dict__.update(FAKE_FS)
        sys.unraisablehook = _unraisable

    def one_input(self, data: bytes) -> None:
        """The input through the compiled modules, checked, then through their
        twins; what the two runs saw must agree."""
        seen = self.run(data, self.targets, observe.Log("module"))
        twin_targets = [t.twin for t in self.targets]
        if None in twin_targets:  # a harness whose targets were replaced by hand
            return
        twin_seen = self.run(data, twin_targets, observe.Log("twin"))  # type: ignore[arg-type]
        difference = observe.first_difference(seen.events, twin_seen.events)
        if difference is not None:
            raise Violation(f"the module and its twin differ at {difference}")

    def run(self, data: bytes, targets: list[Target], log: observe.Log) -> observe.Log:
        """One run of the input through these targets, written into `log`."""
        d = Draw(data)
        plan = Plan(d, targets)
        STATE.problems = None
        modules = list({id(t.module): t.module for t in targets}.values())
        self.restore_archive()
        # The deploy works in the current directory; the fuzzer's own paths
        # (corpus, artifacts) are relative to the one it was started in.
        home = os.getcwd()
        os.chdir(self.workdir)
        try:
            with kept_globals(modules), observe.active(log):
                for _ in range(1 + d.below(MAX_CALLS)):
                    target = d.pick(targets)
                    change_globals(target, plan, self.real)
                    before = [dict(m.__dict__) for m in modules]
                    STATE.touched.clear()
                    run_call(target, plan)
                    for module, was in zip(modules, before, strict=True):
                        skip = {n for m, n in STATE.touched if m == id(module)}
                        if not _same_namespace(module.__dict__, was, skip):
                            raise Violation(f"a call changed the globals of {self.names[id(module)]}")
        finally:
            os.chdir(home)
        if STATE.problems and log.side == "module":
            raise Violation("; ".join(STATE.problems))
        return log

    def restore_archive(self) -> None:
        """The working directory's "app.zip" as every run starts with it (a real
        deploy replaces or removes it, a fake removes it)."""
        try:
            st = os.stat(self.archive)
            if (st.st_size, st.st_mtime_ns) == self.archive_written:
                return
        except FileNotFoundError:
            pass
        with open(self.archive, "wb") as f:
            f.write(cases.ARCHIVE_BYTES)
        st = os.stat(self.archive)
        self.archive_written = (st.st_size, st.st_mtime_ns)


# ---------------------------------------------------------------------------
# Replaying inputs without the fuzzer.


def inputs(paths: list[str], random_count: int = 0, seed: int = 0) -> Iterator[tuple[str, bytes]]:
    """The inputs in the given files and directories, then `random_count` random ones."""
    for path in paths:
        files = sorted(os.path.join(path, f) for f in os.listdir(path)) if os.path.isdir(path) else [path]
        for name in files:
            try:
                with open(name, "rb") as f:
                    data = f.read()
            except FileNotFoundError:  # a running fuzzer replaced it by a shorter one
                continue
            yield name, data
    rng = random.Random(seed)
    for i in range(random_count):
        yield f"random #{i}", rng.randbytes(rng.randrange(256))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Replay fuzzer inputs through the harness, without a fuzzer.")
    parser.add_argument("paths", nargs="*", help="input files or directories (a corpus, tools/fuzz_findings)")
    parser.add_argument("--random", type=int, default=0, help="also run this many random inputs")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    harness = Harness()
    count = 0
    for name, data in inputs(args.paths, args.random, args.seed):
        try:
            harness.one_input(data)
        except Violation as exc:
            print(f"{name}: {exc}", file=sys.stderr)
            return 1
        count += 1
    print(f"{count} inputs, no violation")
    return 0


if __name__ == "__main__":
    sys.exit(main())
