"""Every road through every method of the compiled actions, as data.

Each `Case` is one path through one method: a success, a binding error of some
kind, an entry check, a collaborator that raises or returns the wrong type, a
module global that is gone, a response the model cannot take. `Case.prepare()`
sets the path up (a fake `self`, a global removed, ...) and returns the call
and the undo. The soak (tools/soak.py), the fault injection (tools/faults.py),
the stress run and the tests share these tables, so every tool walks the same
roads.

The tables here are written from the documented behaviour of each method, not
read back from the modules, so they double as an independent check. They build
on a module's plain-Python twin as well (`connection_cases(short, module=twin)`,
`deploy_cases(module=twin)`), with a mixin in the fakes that watches them; that
is how tests/actions/test_actions_against_twins.py compares module and twin.

`launch_rollout` joins in by itself once it is importable.
"""

from __future__ import annotations

import base64
import builtins
import collections
import contextlib
import ctypes
import importlib
import os
import tempfile
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, NamedTuple

from support import twins

ACTIONS = "veltra.cloud.services.actions"
CONNECTION_MODULES = ("enumerate_outer_links", "attach_outer_link", "amend_outer_link", "detach_outer_link")
DEPLOY_MODULE = "launch_rollout"
ALL_MODULES = (*CONNECTION_MODULES, DEPLOY_MODULE)


# ---------------------------------------------------------------------------
# The methods, as their documentation describes them.

REQUIRED = object()


@dataclass(frozen=True)
class Param:
    name: str
    check: str | None = None  # "str" / "dict": exact type required on entry
    default: Any = REQUIRED
    kwonly: bool = False

    @property
    def required(self) -> bool:
        return self.default is REQUIRED


@dataclass(frozen=True)
class Method:
    module: str
    cls: str
    name: str
    def_line: int
    params: tuple[Param, ...]  # without self

    @property
    def all_params(self) -> tuple[Param, ...]:
        return (Param("self"), *self.params)

    @property
    def positional(self) -> tuple[Param, ...]:
        return tuple(p for p in self.all_params if not p.kwonly)

    @property
    def min_positional(self) -> int:
        n = 0
        for p in self.positional:
            if not p.required:
                break
            n += 1
        return n

    @property
    def max_positional(self) -> int:
        return len(self.positional)

    @property
    def label(self) -> str:
        return f"{self.module}.{self.name}"

    @property
    def tb_name(self) -> str:
        return f"{ACTIONS}.{self.module}.{self.cls}.{self.name}"


@dataclass(frozen=True)
class Connection:
    """A connection action: its method, transaction, model, request keys and lines."""

    method: Method
    transaction: str
    model: str
    request: tuple[str, ...]  # keys after "data", in request order
    credentials_line: int
    transaction_line: int
    request_line: int
    model_line: int


def _opt(name: str) -> Param:
    return Param(name, None, None)


CONNECTIONS: dict[str, Connection] = {
    "enumerate_outer_links": Connection(
        Method(
            "enumerate_outer_links",
            "EnumerateOuterLinksAction",
            "action",
            14,
            (Param("env_name", "str"), _opt("application_uuid"), _opt("application_name")),
        ),
        "EnumerateOuterLinks",
        "EnumerateOuterLinksResponse",
        ("env_name", "application_uuid", "application_name"),
        31,
        32,
        35,
        42,
    ),
    "attach_outer_link": Connection(
        Method(
            "attach_outer_link",
            "AttachOuterLinkAction",
            "action",
            12,
            (
                Param("connection_name", "str"),
                Param("backend", "str"),
                Param("credentials", "dict"),
                Param("env_name", "str"),
                _opt("application_uuid"),
                _opt("application_name"),
            ),
        ),
        "AttachOuterLink",
        "AttachOuterLinkResponse",
        ("env_name", "connection_name", "backend", "credentials", "application_uuid", "application_name"),
        35,
        36,
        39,
        49,
    ),
    "amend_outer_link": Connection(
        Method(
            "amend_outer_link",
            "AmendOuterLinkAction",
            "action",
            16,
            (
                Param("connection_name", "str"),
                Param("env_name", "str"),
                _opt("backend"),
                _opt("credentials"),
                _opt("application_uuid"),
                _opt("application_name"),
            ),
        ),
        "AmendOuterLink",
        "AmendOuterLinkResponse",
        ("env_name", "connection_name", "backend", "credentials", "application_uuid", "application_name"),
        39,
        40,
        43,
        53,
    ),
    "detach_outer_link": Connection(
        Method(
            "detach_outer_link",
            "DetachOuterLinkAction",
            "action",
            15,
            (
                Param("connection_name", "str"),
                Param("env_name", "str"),
                _opt("application_uuid"),
                _opt("application_name"),
            ),
        ),
        "DetachOuterLink",
        "DetachOuterLinkResponse",
        ("env_name", "connection_name", "application_uuid", "application_name"),
        34,
        35,
        38,
        46,
    ),
}

DEPLOY_METHODS: dict[str, Method] = {
    "want_deploy_input": Method(DEPLOY_MODULE, "LaunchRolloutAction", "want_deploy_input", 18, ()),
    "want_redeploy_input": Method(DEPLOY_MODULE, "LaunchRolloutAction", "want_redeploy_input", 27, ()),
    "action": Method(
        DEPLOY_MODULE,
        "LaunchRolloutAction",
        "action",
        36,
        (
            Param("deploy_type", "str"),
            Param("lakehouse_type", "str"),
            Param("env_name", "str"),
            _opt("from_env"),
            _opt("application_uuid"),
            _opt("application_name"),
            Param("no_input", None, False, kwonly=True),
        ),
    ),
    "_redeploy": Method(DEPLOY_MODULE, "LaunchRolloutAction", "_redeploy", 118, (Param("deploy_data", "dict"),)),
}
DEPLOY_PROMPT = "Do you want to deploy your app? (y/N): "
REDEPLOY_PROMPT = "Deploy already exists. Do you want to redeploy your app? (y/N): "
# What a deploy prints: the first message, and the start of the second (the API domain follows).
DEPLOY_MESSAGES = (
    "Deploy is in progress now. After a few minutes, you can check the status of your deploy.",
    "Your API domain: ",
)


class DeployLines(NamedTuple):
    """The source line that a failure of each statement of the deploy reports."""

    deploy_prompt: int  # want_deploy_input: return self._input("Do you want to deploy your app? (y/N): ")
    redeploy_prompt: int  # want_redeploy_input: return self._input("Deploy already exists. ...")
    ask: int  # action: want_to_signup = self.want_deploy_input()
    answer: int  # if want_to_signup.lower() != "y":
    temp_dir: int  # with tempfile.TemporaryDirectory() as temp_dir:
    app_dir: int  # app_dir = Path(temp_dir) / "app"
    sources: int  # shutil.copytree("src", app_dir / "src")
    requirements: int  # shutil.copy("requirements.txt", app_dir / "requirements.txt")
    cli_settings: int  # shutil.copy(".veltra-cli", app_dir / ".veltra-cli")
    make_archive: int  # shutil.make_archive("app", "zip", temp_dir)
    open: int  # with open("app.zip", "rb") as f:
    encode: int  # _data = base64.b64encode(f.read()).decode("utf-8")
    credentials: int  # encrypted_data = self._credentials_data()
    request: int  # deploy_data = {...}
    send: int  # response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
    except_clause: int  # except VeltraCloudAlreadyDeployedError:
    redeploy_answer: int  # if not no_input and self.want_redeploy_input() != "y":
    redeploy_call: int  # return self._redeploy(deploy_data)
    model: int  # deploy_response = DeployResponse(**response_data["details"])
    domain_compose: int  # the fallback API domain
    first_message: int  # self._print("Deploy is in progress now. ...")
    second_message: int  # self._print(f"Your API domain: {domain_url}")
    resend: int  # _redeploy: response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
    redeploy_model: int  # deploy_response = DeployResponse(**response_data["details"])
    redeploy_domain_compose: int  # the fallback API domain
    redeploy_first_message: int  # self._print("Deploy is in progress now. ...")


DEPLOY_AT = DeployLines(
    deploy_prompt=25,
    redeploy_prompt=34,
    ask=63,
    answer=65,
    temp_dir=68,
    app_dir=69,
    sources=70,
    requirements=71,
    cli_settings=77,
    make_archive=79,
    open=81,
    encode=82,
    credentials=86,
    request=88,
    send=99,
    except_clause=100,
    redeploy_answer=101,
    redeploy_call=104,
    model=106,
    domain_compose=110,
    first_message=113,
    second_message=114,
    resend=121,
    redeploy_model=123,
    redeploy_domain_compose=127,
    redeploy_first_message=130,
)
DEPLOY_REQUEST = (
    "data",
    "zip_archive",
    "deploy_type",
    "env_name",
    "from_env",
    "lakehouse_type",
    "application_uuid",
    "application_name",
)


def all_known_methods() -> list[Method]:
    """Every method of the five modules, built or not."""
    return [c.method for c in CONNECTIONS.values()] + list(DEPLOY_METHODS.values())


def load(short: str) -> types.ModuleType | None:
    """The compiled module, or None when it is not built (yet)."""
    try:
        return importlib.import_module(f"{ACTIONS}.{short}")
    except ImportError as exc:
        if getattr(exc, "name", None) == f"{ACTIONS}.{short}":
            return None
        raise


def available_modules() -> list[str]:
    return [m for m in ALL_MODULES if load(m) is not None]


def all_methods() -> list[Method]:
    """Every method of every module that is importable."""
    methods = [c.method for c in CONNECTIONS.values() if load(c.method.module) is not None]
    if load(DEPLOY_MODULE) is not None:
        methods += list(DEPLOY_METHODS.values())
    return methods


# ---------------------------------------------------------------------------
# Calling conventions the interpreter does not offer from Python.

_api = ctypes.pythonapi
_vectorcall = _api.PyObject_Vectorcall
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.c_void_p]
_vectorcall.restype = ctypes.py_object
_object_call = _api.PyObject_Call
_object_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
_object_call.restype = ctypes.py_object


def vectorcall(func: Any, args: tuple, kwnames: tuple = (), kwvalues: tuple = ()) -> Any:
    """func(*args, kwnames=kwvalues) through PyObject_Vectorcall, with any objects
    (repeated names, names that are not str) as keyword names."""
    values = (*args, *kwvalues)
    array = (ctypes.py_object * max(len(values), 1))(*values)
    names = tuple(kwnames) if kwnames else None
    return _vectorcall(func, array, len(args), id(names) if names is not None else None)


def slot_call(func: Any, args: tuple, kwargs: dict | None = None) -> Any:
    """func(*args, **kwargs) through the type's tp_call slot with an argument tuple
    and a keyword dict, which may hold keys that are not str."""
    wrapper = type(func).__call__
    full = (func, *args)
    return _object_call(wrapper, full, id(kwargs) if kwargs is not None else None)


def tp_name(tp: type) -> str:
    """The type's C-level tp_name (e.g. "collections.OrderedDict"), as error messages show it."""
    return ctypes.c_char_p.from_address(id(tp) + 3 * ctypes.sizeof(ctypes.c_void_p)).value.decode()


# ---------------------------------------------------------------------------
# Fakes.


class StrSub(str):
    pass


class DictSub(dict):
    pass


class BadMapping:
    """Neither a mapping nor an iterable of pairs."""


class Refused(Exception):
    """What a fake collaborator raises."""


class PairsMapping(collections.abc.Mapping):
    """A mapping that is not a dict: the model gets dict(response)."""

    def __init__(self, data: dict) -> None:
        self._data = data

    def __getitem__(self, key: str) -> Any:
        return self._data[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._data)

    def __len__(self) -> int:
        return len(self._data)


def _missing(self: Any) -> Any:
    raise AttributeError("collaborator is gone")


_EMPTY = object()


def fake_connection_class(action_cls: type) -> type:
    """A subclass of the action whose collaborators are cheap and keep nothing."""

    class Fake(action_cls):  # type: ignore[misc, valid-type]
        def __init__(self, payload: Any = b"payload", response: Any = _EMPTY) -> None:
            self.payload = payload
            self.response = {} if response is _EMPTY else response

        def _credentials_data(self) -> Any:
            return self.payload

        def execute_transaction(self, name: str, data: dict) -> Any:
            return self.response

    Fake.__name__ = Fake.__qualname__ = f"Fake{action_cls.__name__}"
    return Fake


def collaborator_variants(fake: type) -> dict[str, type]:
    """Subclasses of a fake whose collaborators misbehave in each way."""

    class CredentialsRaise(fake):
        def _credentials_data(self) -> Any:
            raise Refused("no credentials")

    class CredentialsMissing(fake):
        _credentials_data = property(_missing)

    class ExecuteRaise(fake):
        def execute_transaction(self, name: str, data: dict) -> Any:
            raise Refused("refused by the service")

    class ExecuteMissing(fake):
        execute_transaction = property(_missing)

    return {
        "credentials-raise": CredentialsRaise,
        "credentials-missing": CredentialsMissing,
        "execute-raise": ExecuteRaise,
        "execute-missing": ExecuteMissing,
    }


# Fake file-system globals for the deploy: the module reads `tempfile`, `shutil`
# and `Path` at every use, so replacing them keeps a deploy in memory. Only the
# kept builtin `open` touches the disk: it reads "app.zip" from the working
# directory, which `deploy_workdir()` provides.


class _FakeTempDir:
    def __enter__(self) -> str:
        return "/nonexistent/tmp"

    def __exit__(self, *exc: Any) -> None:
        return None


class FakePath:
    __slots__ = ("path",)

    def __init__(self, path: Any) -> None:
        self.path = path

    def __truediv__(self, other: Any) -> FakePath:
        return FakePath(other)

    def exists(self) -> bool:
        return False

    def unlink(self, missing_ok: bool = False) -> None:
        return None


def _noop(*args: Any) -> None:
    return None


FAKE_FS = {
    "tempfile": types.SimpleNamespace(TemporaryDirectory=_FakeTempDir),
    "shutil": types.SimpleNamespace(copytree=_noop, copy=_noop, make_archive=_noop),
    "Path": FakePath,
}
ARCHIVE_BYTES = b"PK\x05\x06" + b"\x00" * 18  # an empty zip archive


@contextlib.contextmanager
def replaced_globals(module: types.ModuleType, **values: Any) -> Iterator[None]:
    """Module globals replaced (a value of `REMOVED` deletes the name), then restored."""
    ns = module.__dict__
    saved = {name: ns[name] for name in values if name in ns}
    try:
        for name, value in values.items():
            if value is REMOVED:
                ns.pop(name, None)
            else:
                ns[name] = value
        yield
    finally:
        for name in values:
            if name in saved:
                ns[name] = saved[name]
            else:
                ns.pop(name, None)


REMOVED = object()


def fake_deploy_class(action_cls: type) -> type:
    """A subclass of LaunchRolloutAction with cheap collaborators.

    `answer` is what `_input` returns; `outcome` what the first transaction does:
    a response, or an exception class to raise (a new instance each time); the
    redeploy (a request with "redeploy") always gets `response`."""

    class FakeDeploy(action_cls):  # type: ignore[misc, valid-type]
        def __init__(
            self, answer: Any = "y", payload: Any = b"payload", response: Any = None, first: Any = None
        ) -> None:
            self.answer = answer
            self.payload = payload
            self.response = {"details": {"domain_url": "https://app.example/"}} if response is None else response
            self.first = first

        def _input(self, prompt: str) -> Any:
            return self.answer

        def _print(self, text: str) -> None:
            return None

        def _credentials_data(self) -> Any:
            return self.payload

        def execute_transaction(self, name: str, data: dict) -> Any:
            first = self.first
            if first is not None and "redeploy" not in data:
                raise first("already deployed")
            return self.response

    FakeDeploy.__name__ = FakeDeploy.__qualname__ = f"Fake{action_cls.__name__}"
    return FakeDeploy


# ---------------------------------------------------------------------------
# Cases.

Setup = Callable[[], tuple[Callable[[], Any], Callable[[], None]]]


@dataclass
class Case:
    """One path through one method.

    `setup()` returns `call` (one call of the method on this path) and `undo`.
    `expect` is the exception class the call must raise (None: it must return),
    `message`, when given, its exact text, and `entries` the traceback entries
    the module's methods add to it, outermost first, as (method, line).
    `workdir` asks for a deploy working directory: "fake" (holding "app.zip"),
    "real" (an application) or "empty"."""

    method: Method
    name: str
    kind: str
    expect: type[BaseException] | None
    setup: Setup
    message: str | None = None
    weight: float = 1.0  # share of the soak's iterations (slow paths run fewer)
    workdir: str | None = None
    # False for paths that spend their time in the standard library's file
    # handling (a real deploy): under persistent allocation failures the 3.12
    # interpreter can spin forever unwinding a Python exception handler there.
    faults: bool = True
    # The same work in plain Python, for paths whose standard-library part keeps
    # memory by itself; the soak counts only growth beyond it.
    control: Callable[[], Any] | None = None
    entries: tuple[tuple[str, int], ...] = ()

    @property
    def label(self) -> str:
        return f"{self.method.label}:{self.name}"

    @contextlib.contextmanager
    def prepared(self) -> Iterator[Callable[[], Any]]:
        """The path set up, as a call; undone on leaving."""
        ctx = working_directory(self.workdir) if self.workdir else contextlib.nullcontext()
        with ctx:
            call, undo = self.setup()
            try:
                yield call
            finally:
                undo()

    def check(self, call: Callable[[], Any]) -> str | None:
        """Runs the call once; returns what went wrong, or None."""
        try:
            result = call()
        except BaseException as exc:  # noqa: BLE001
            if self.expect is None:
                return f"raised {type(exc).__name__}: {exc}"
            if not isinstance(exc, self.expect):
                return f"raised {type(exc).__name__}: {exc}, expected {self.expect.__name__}"
            if self.message is not None and str(exc) != self.message:
                return f"message {str(exc)!r}, expected {self.message!r}"
            if (entries := self.entries_of(exc)) != self.entries:
                return f"traceback entries {entries}, expected {self.entries}"
            return None
        if self.expect is not None:
            return f"returned {result!r}, expected {self.expect.__name__}"
        return None

    def entries_of(self, exc: BaseException) -> tuple[tuple[str, int], ...]:
        """(method, line) of the entries of this method's class, a module's or
        its twin's, in the exception's traceback, outermost first."""
        entries = []
        tb = exc.__traceback__
        while tb is not None:
            *_, cls, name = ["", *tb.tb_frame.f_code.co_qualname.split(".")]
            if cls == self.method.cls:
                entries.append((name, tb.tb_lineno))
            tb = tb.tb_next
        return tuple(entries)


def _nothing() -> None:
    return None


def count_message(method: Method, given: int) -> str:
    lo, hi = method.min_positional, method.max_positional
    if lo == hi:
        qual, n = "exactly", lo
    elif given < lo:
        qual, n = "at least", lo
    else:
        qual, n = "at most", hi
    return f"{method.name}() takes {qual} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def entry_message(name: str, expected: str, value: Any) -> str:
    return f"Argument '{name}' has incorrect type (expected {expected}, got {tp_name(type(value))})"


def valid_args(method: Method) -> dict[str, Any]:
    """A valid value for every parameter (the deploy's `no_input` false)."""
    values: dict[str, Any] = {}
    for p in method.params:
        if p.check == "str":
            values[p.name] = f"{p.name}-value"
        elif p.check == "dict":
            values[p.name] = {"user": "u", "password": "p"}
        elif p.kwonly:
            values[p.name] = False
        else:
            values[p.name] = f"{p.name}-opt"
    return values


def method_object(method: Method, module: types.ModuleType | None = None) -> Any:
    """The method object as the class holds it (of `module`: the compiled one by default)."""
    module = module or load(method.module)
    return vars(getattr(module, method.cls))[method.name]


def _simple(
    method: Method,
    make_self: Callable[[], Any],
    name: str,
    kind: str,
    expect: type | None,
    build: Callable[[Any], Callable[[], Any]],
    message: str | None = None,
    context: Callable[[], contextlib.AbstractContextManager] | None = None,
    workdir: str | None = None,
    entries: tuple[tuple[str, int], ...] = (),
) -> Case:
    def setup() -> tuple[Callable[[], Any], Callable[[], None]]:
        undo = _nothing
        if context is not None:
            ctx = context()
            ctx.__enter__()
            undo = lambda: ctx.__exit__(None, None, None)  # noqa: E731
        return build(make_self()), undo

    return Case(method, name, kind, expect, setup, message, 1.0, workdir, entries=entries)


def binding_cases(
    method: Method,
    make_self: Callable[[], Any],
    context: Callable[[], contextlib.AbstractContextManager] | None = None,
    workdir: str | None = None,
    module: types.ModuleType | None = None,
) -> list[Case]:
    """The binding errors of every kind, and call forms that bind."""
    func = method_object(method, module)
    name = method.name
    valid = valid_args(method)
    required = [p for p in method.params if p.required and not p.kwonly]
    optional = [p for p in method.params if not p.required and not p.kwonly]
    kwonly = {p.name: valid[p.name] for p in method.params if p.kwonly}
    req = tuple(valid[p.name] for p in required)
    all_pos = tuple(valid[p.name] for p in method.params if not p.kwonly)
    kw_all = dict(valid)
    hi = method.max_positional
    cases: list[Case] = []

    def case(
        case_name: str,
        kind: str,
        expect: type | None,
        build: Callable[[Any], Callable[[], Any]],
        message: str | None = None,
    ) -> None:
        # A binding error adds the entry of the def line.
        entries = ((name, method.def_line),) if expect is not None else ()
        cases.append(_simple(method, make_self, case_name, kind, expect, build, message, context, workdir, entries))

    case("bind-nothing", "binding", TypeError, lambda s: lambda: func(), count_message(method, 0))
    if required:
        case(
            "bind-too-few",
            "binding",
            TypeError,
            lambda s: lambda: getattr(s, name)(*req[:-1]),
            count_message(method, len(required)),
        )
        kw = {p.name: valid[p.name] for p in required[:-1]} | {"bogus": 1}
        case(
            "bind-missing-required-with-keywords",
            "binding",
            TypeError,
            lambda s: lambda: getattr(s, name)(**kw),
            count_message(method, len(required)),
        )
    too_many = (*all_pos, "extra")
    case(
        "bind-too-many",
        "binding",
        TypeError,
        lambda s: lambda: getattr(s, name)(*too_many),
        count_message(method, hi + 1),
    )
    case(
        "bind-too-many-with-keyword",
        "binding",
        TypeError,
        lambda s: lambda: getattr(s, name)(*too_many, bogus=1),
        count_message(method, hi + 1),
    )
    first = required[0].name if required else "self"
    if required:
        case(
            "bind-multiple-values",
            "binding",
            TypeError,
            lambda s: lambda: getattr(s, name)(*req, **{first: valid[first]}),
            f"{name}() got multiple values for keyword argument '{first}'",
        )
    else:
        case(
            "bind-multiple-values",
            "binding",
            TypeError,
            lambda s: lambda: func(s, self=s),
            f"{name}() got multiple values for keyword argument 'self'",
        )
    case(
        "bind-unexpected",
        "binding",
        TypeError,
        lambda s: lambda: getattr(s, name)(*req, bogus=1),
        f"{name}() got an unexpected keyword argument 'bogus'",
    )
    case(
        "bind-nonstr-vectorcall",
        "binding",
        TypeError,
        lambda s: lambda: vectorcall(func, (s, *req), (7,), (1,)),
        f"{name}() keywords must be strings",
    )
    case(
        "bind-nonstr-slot",
        "binding",
        TypeError,
        lambda s: lambda: slot_call(func, (s, *req), {7: 1}),
        f"{name}() keywords must be strings",
    )
    # Call forms that bind: everything by keyword (self too, through the class),
    # str subclasses as names, the call slot with a dict, vectorcall.
    case("bind-ok-all-keywords", "success", None, lambda s: lambda: func(self=s, **kw_all))
    case(
        "bind-ok-str-subclass-names",
        "success",
        None,
        lambda s: lambda: func(**{StrSub("self"): s}, **{StrSub(k): v for k, v in kw_all.items()}),
    )
    case("bind-ok-slot", "success", None, lambda s: lambda: slot_call(func, (s,), dict(kw_all)))
    names, vals = tuple(kw_all), tuple(kw_all.values())
    case("bind-ok-vectorcall", "success", None, lambda s: lambda: vectorcall(func, (s,), names, vals))
    if optional:
        case("bind-ok-all-positional", "success", None, lambda s: lambda: getattr(s, name)(*all_pos, **kwonly))
    return cases


def entry_cases(method: Method, make_self: Callable[[], Any]) -> list[Case]:
    """Each checked parameter given None and an instance of a subclass."""
    valid = valid_args(method)
    cases = []
    for p in method.params:
        if p.check is None:
            continue
        for label, bad in (("none", None), ("subclass", StrSub("x") if p.check == "str" else DictSub())):
            args = valid | {p.name: bad}
            cases.append(
                _simple(
                    method,
                    make_self,
                    f"entry-{p.name}-{label}",
                    "entry",
                    TypeError,
                    lambda s, args=args: lambda: getattr(s, method.name)(**args),
                    entry_message(p.name, p.check, bad),
                )
            )
    return cases


def _raise_refused(*args: Any, **kwargs: Any) -> Any:
    raise Refused("refused")


def _with_mixin(action_cls: type, mixin: type | None) -> type:
    """The action class, or a subclass of it and `mixin` (which comes first)."""
    return action_cls if mixin is None else type(action_cls.__name__, (mixin, action_cls), {})


def connection_cases(short: str, module: types.ModuleType | None = None, mixin: type | None = None) -> list[Case]:
    """The paths of a connection module: the compiled one, or `module` (its twin),
    on fakes that derive from `mixin` too when it is given."""
    conn = CONNECTIONS[short]
    method = conn.method
    module = module or load(short)
    if module is None:
        return []
    fake = fake_connection_class(_with_mixin(getattr(module, method.cls), mixin))
    variants = collaborator_variants(fake)
    valid = valid_args(method)
    required = tuple(valid[p.name] for p in method.params if p.required)
    all_pos = tuple(valid[p.name] for p in method.params)
    good = {"env_name": "env"}
    cases: list[Case] = []

    def add(
        name: str,
        kind: str,
        expect: type | None,
        *,
        cls: type = fake,
        payload: Any = b"payload",
        response: Any = good,
        args: tuple = required,
        kwargs: dict | None = None,
        glob: dict | None = None,
        message: str | None = None,
        builtin: dict | None = None,
        at: int | None = None,
    ) -> None:
        def setup() -> tuple[Callable[[], Any], Callable[[], None]]:
            bound = cls(payload=payload, response=response).action
            kw = kwargs or {}
            stack = contextlib.ExitStack()
            if glob:
                stack.enter_context(replaced_globals(module, **glob))
            if builtin:
                stack.enter_context(replaced_globals(builtins, **builtin))
            return (lambda: bound(*args, **kw)), stack.close

        cases.append(Case(method, name, kind, expect, setup, message, entries=(("action", at),) if at else ()))

    # Success.
    add("ok-required-positional", "success", None)
    add("ok-all-positional", "success", None, args=all_pos)
    add("ok-keywords", "success", None, args=(), kwargs=dict(valid))
    add("ok-empty-response", "success", None, response={})
    add("ok-mapping-response", "success", None, response=PairsMapping(good))
    add("ok-pairs-response", "success", None, response=[("env_name", "env")])
    add("ok-bytearray-payload", "success", None, payload=bytearray(b"payload"))
    add("ok-empty-payload", "success", None, payload=b"")
    add("ok-base64-from-builtins", "success", None, glob={"base64": REMOVED}, builtin={"base64": base64})
    # Binding and entry checks.
    cases += binding_cases(method, lambda: fake(response=good), module=module)
    cases += entry_cases(method, lambda: fake(response=good))
    # Collaborators raising, missing, returning the wrong type.
    credentials, request = conn.credentials_line, conn.request_line
    add("credentials-raise", "collaborator", Refused, cls=variants["credentials-raise"], at=credentials)
    add("credentials-missing", "collaborator", AttributeError, cls=variants["credentials-missing"], at=credentials)
    add("credentials-str", "collaborator", TypeError, payload="not bytes", at=request)
    add("credentials-none", "collaborator", TypeError, payload=None, at=request)
    add("execute-raise", "collaborator", Refused, cls=variants["execute-raise"], at=conn.transaction_line)
    add("execute-missing", "collaborator", AttributeError, cls=variants["execute-missing"], at=conn.transaction_line)
    # Responses the model cannot take, the model refusing.
    model = conn.model_line
    add(
        "response-none",
        "response",
        TypeError,
        response=None,
        message="argument after ** must be a mapping, not NoneType",
        at=model,
    )
    add("response-int", "response", TypeError, response=42, at=model)
    add("response-object", "response", TypeError, response=BadMapping(), at=model)
    add("response-bad-pairs", "response", ValueError, response=["ab", "cde"], at=model)
    add("model-refuses", "model", TypeError, response={"no_such_field": 1}, at=model)
    add("model-raises", "model", Refused, glob={conn.model: _raise_refused}, at=model)
    # Module globals gone or wrong.
    add(
        "global-base64-removed",
        "global",
        NameError,
        glob={"base64": REMOVED},
        message="name 'base64' is not defined",
        at=request,
    )
    add(
        "global-model-removed",
        "global",
        NameError,
        glob={conn.model: REMOVED},
        message=f"name '{conn.model}' is not defined",
        at=model,
    )
    add("global-base64-wrong", "global", AttributeError, glob={"base64": types.SimpleNamespace()}, at=request)
    add(
        "global-b64encode-returns-str",
        "global",
        AttributeError,
        glob={"base64": types.SimpleNamespace(b64encode=lambda b: "text")},
        at=request,
    )
    add("global-model-not-callable", "global", TypeError, glob={conn.model: 42}, at=model)
    return cases


def deploy_cases(module: types.ModuleType | None = None, mixin: type | None = None) -> list[Case]:
    """The paths of the deploy module's four methods (of `module` and `mixin` as
    in `connection_cases`)."""
    module = module or load(DEPLOY_MODULE)
    if module is None:
        return []
    fake = fake_deploy_class(_with_mixin(module.LaunchRolloutAction, mixin))
    already = importlib.import_module("veltra.errors").VeltraCloudAlreadyDeployedError
    m_action = DEPLOY_METHODS["action"]
    m_redeploy = DEPLOY_METHODS["_redeploy"]
    cases: list[Case] = []

    class InputRaise(fake):
        def _input(self, prompt: str) -> Any:
            raise Refused("no terminal")

    class InputMissing(fake):
        _input = property(_missing)

    class PrintRaise(fake):
        def _print(self, text: str) -> None:
            raise Refused("no screen")

    class PrintMissing(fake):
        _print = property(_missing)

    variants = collaborator_variants(fake)

    class AlwaysDeployed(fake):
        def execute_transaction(self, name: str, data: dict) -> Any:
            raise already("already deployed")

    def fs_globals(glob: dict | None = None, fs: bool = True) -> Callable[[], contextlib.AbstractContextManager]:
        values = (dict(FAKE_FS) if fs else {}) | (glob or {})
        return lambda: replaced_globals(module, **values)

    def add(
        method: Method,
        name: str,
        kind: str,
        expect: type | None,
        call: Callable[[Any], Any],
        *,
        cls: type = fake,
        fs: bool = True,
        glob: dict | None = None,
        message: str | None = None,
        weight: float = 1.0,
        workdir: str | None = "fake",
        entries: tuple[tuple[str, int], ...] = (),
        **fake_kw: Any,
    ) -> None:
        make_ctx = fs_globals(glob, fs)

        def setup() -> tuple[Callable[[], Any], Callable[[], None]]:
            inst = cls(**fake_kw)
            ctx = make_ctx()
            ctx.__enter__()
            return (lambda: call(inst)), (lambda: ctx.__exit__(None, None, None))

        cases.append(Case(method, name, kind, expect, setup, message, weight, workdir, entries=entries))

    def deploy(**kw: Any) -> Callable[[Any], Any]:
        return lambda s: s.action("standard", "lake", "env", **kw)

    def redeploy(s: Any) -> Any:
        return s._redeploy({k: None for k in DEPLOY_REQUEST} | {"data": "cGF5bG9hZA==", "zip_archive": "UEs="})

    def in_action(*lines: int) -> tuple[tuple[str, int], ...]:
        return tuple(("action", line) for line in lines)

    at = DEPLOY_AT

    # The prompts.
    for prompt_name, line in (("want_deploy_input", at.deploy_prompt), ("want_redeploy_input", at.redeploy_prompt)):
        m = DEPLOY_METHODS[prompt_name]
        asked = ((prompt_name, line),)

        def prompt(s: Any, prompt_name: str = prompt_name) -> Any:
            return getattr(s, prompt_name)()

        add(m, "ok-answer", "success", None, prompt, fs=False, workdir=None)
        add(m, "ok-none", "success", None, prompt, fs=False, workdir=None, answer=None)
        add(
            m,
            "return-int",
            "return",
            TypeError,
            prompt,
            fs=False,
            workdir=None,
            answer=42,
            message="Expected unicode, got int",
            entries=asked,
        )
        add(
            m,
            "return-str-subclass",
            "return",
            TypeError,
            prompt,
            fs=False,
            workdir=None,
            answer=StrSub("y"),
            message="Expected unicode, got StrSub",
            entries=asked,
        )
        add(m, "input-raise", "collaborator", Refused, prompt, cls=InputRaise, fs=False, workdir=None, entries=asked)
        add(
            m,
            "input-missing",
            "collaborator",
            AttributeError,
            prompt,
            cls=InputMissing,
            fs=False,
            workdir=None,
            entries=asked,
        )
        cases += binding_cases(m, lambda: fake(), module=module)

    # _redeploy.
    def on_redeploy(name: str, kind: str, expect: type | None, line: int | None = None, **kw: Any) -> None:
        entries = (("_redeploy", line),) if line else ()
        add(m_redeploy, name, kind, expect, redeploy, fs=False, workdir=None, entries=entries, **kw)

    on_redeploy("ok", "success", None)
    on_redeploy(
        "ok-fallback-domain", "success", None, response={"details": {"domain_url": "", "application_uuid": "uuid"}}
    )
    on_redeploy("ok-mapping-details", "success", None, response={"details": PairsMapping({"domain_url": "d"})})
    on_redeploy("ok-mapping-response", "success", None, response=PairsMapping({"details": {"domain_url": "d"}}))
    cases += binding_cases(m_redeploy, lambda: fake(), module=module)
    cases += entry_cases(m_redeploy, lambda: fake())
    on_redeploy("details-missing", "response", KeyError, at.redeploy_model, response={})
    on_redeploy(
        "details-none",
        "response",
        TypeError,
        at.redeploy_model,
        response={"details": None},
        message="argument after ** must be a mapping, not NoneType",
    )
    on_redeploy("details-int", "response", TypeError, at.redeploy_model, response={"details": 5})
    on_redeploy("response-int", "response", TypeError, at.redeploy_model, response=5)
    on_redeploy("model-refuses", "model", TypeError, at.redeploy_model, response={"details": {"no_such_field": 1}})
    on_redeploy(
        "global-model-removed",
        "global",
        NameError,
        at.redeploy_model,
        glob={"DeployResponse": REMOVED},
        message="name 'DeployResponse' is not defined",
    )
    # The subdomain is read only for the fallback domain.
    no_subdomain: dict[str, Any] = {
        "glob": {"VELTRA_ENV_SUBDOMAIN": REMOVED},
        "response": {"details": {"domain_url": ""}},
        "message": "name 'VELTRA_ENV_SUBDOMAIN' is not defined",
    }
    on_redeploy("global-subdomain-removed", "global", NameError, at.redeploy_domain_compose, **no_subdomain)
    on_redeploy("print-raise", "collaborator", Refused, at.redeploy_first_message, cls=PrintRaise)
    on_redeploy("print-missing", "collaborator", AttributeError, at.redeploy_first_message, cls=PrintMissing)
    on_redeploy("execute-raise", "collaborator", Refused, at.resend, cls=variants["execute-raise"])
    on_redeploy("execute-already-deployed", "collaborator", already, at.resend, cls=AlwaysDeployed)

    # action.
    add(m_action, "ok-no-input", "success", None, deploy(no_input=True))
    add(m_action, "ok-prompt-yes", "success", None, deploy(), answer="Y")
    add(m_action, "ok-declined", "success", None, deploy(), answer="n")
    add(
        m_action,
        "ok-fallback-domain",
        "success",
        None,
        deploy(no_input=True),
        response={"details": {"domain_url": None, "application_uuid": None}},
    )
    add(m_action, "ok-redeploy-no-input", "success", None, deploy(no_input=True), first=already)
    add(m_action, "ok-redeploy-yes", "success", None, deploy(), answer="y", first=already)
    add(m_action, "ok-redeploy-declined", "success", None, deploy(), answer="Y", first=already)
    add(m_action, "ok-real-filesystem", "success", None, deploy(no_input=True), fs=False, workdir="real", weight=0.01)
    cases[-1].faults = False
    # pathlib interns every path component (sys.intern), and interned strings
    # live for ever in 3.12: each new temporary directory name stays. The same
    # deploy through the twin, on the same collaborators, is the measure of it.
    plain = fake_deploy_class(twins.load(DEPLOY_MODULE).LaunchRolloutAction)()
    cases[-1].control = lambda: plain.action("standard", "lake", "env", no_input=True)
    cases += binding_cases(m_action, lambda: fake(answer="n"), module=module)
    cases += entry_cases(m_action, lambda: fake(answer="n"))
    # A call that fails at the statements of `lines` (the last one inside
    # `_redeploy` when it is a pair); without a prompt unless `call` says.
    quiet = deploy(no_input=True)

    def failing(name: str, kind: str, expect: type, *lines: Any, call: Callable = quiet, **kw: Any) -> None:
        entries = tuple(line if isinstance(line, tuple) else ("action", line) for line in lines)
        add(m_action, name, kind, expect, call, entries=entries, **kw)

    # A failing prompt adds its own entry below that of the statement that asked.
    asked = (at.ask, ("want_deploy_input", at.deploy_prompt))
    failing("answer-none", "collaborator", AttributeError, at.answer, call=deploy(), answer=None)
    failing("answer-int", "return", TypeError, *asked, call=deploy(), answer=42)
    failing("input-raise", "collaborator", Refused, *asked, call=deploy(), cls=InputRaise)
    failing("credentials-str", "collaborator", TypeError, at.request, payload="text")
    failing("credentials-raise", "collaborator", Refused, at.credentials, cls=variants["credentials-raise"])
    failing("execute-raise", "collaborator", Refused, at.send, cls=variants["execute-raise"])
    failing("execute-missing", "collaborator", AttributeError, at.send, cls=variants["execute-missing"])
    again = (at.redeploy_call, ("_redeploy", at.resend))
    failing("redeploy-raises-again", "collaborator", already, *again, cls=AlwaysDeployed)
    failing("print-raise", "collaborator", Refused, at.first_message, cls=PrintRaise)
    failing(
        "already-deployed-class-removed",
        "global",
        NameError,
        at.except_clause,
        first=already,
        glob={"VeltraCloudAlreadyDeployedError": REMOVED},
        message="name 'VeltraCloudAlreadyDeployedError' is not defined",
    )
    failing("details-missing", "response", KeyError, at.model, response={})
    none_details = "argument after ** must be a mapping, not NoneType"
    failing("details-none", "response", TypeError, at.model, response={"details": None}, message=none_details)
    failing("model-refuses", "model", TypeError, at.model, response={"details": {"no_such_field": 1}})
    # Where each module global is first read: inside the staging `with` for Path
    # and shutil, inside the archive's `with` for base64.
    first_read = {
        "tempfile": at.temp_dir,
        "Path": at.app_dir,
        "shutil": at.sources,
        "base64": at.encode,
        "DeployResponse": at.model,
    }
    for name, line in first_read.items():
        gone = f"name '{name}' is not defined"
        failing(f"global-{name}-removed", "global", NameError, line, glob={name: REMOVED}, message=gone)
    failing("global-subdomain-removed", "global", NameError, at.domain_compose, **no_subdomain)
    copytree_raises = types.SimpleNamespace(copytree=_raise_refused, copy=_noop, make_archive=_noop)
    failing("copytree-raises", "collaborator", Refused, at.sources, glob={"shutil": copytree_raises})
    failing("archive-missing", "collaborator", FileNotFoundError, at.open, workdir="empty")
    failing("real-no-src", "collaborator", FileNotFoundError, at.sources, fs=False, workdir="empty", weight=0.05)
    cases[-1].faults = False
    return cases


def all_cases(modules: Iterator[str] | None = None) -> list[Case]:
    """Every case of the given modules (default: every importable one)."""
    cases: list[Case] = []
    for short in modules or ALL_MODULES:
        if short in CONNECTIONS:
            cases += connection_cases(short)
        elif short == DEPLOY_MODULE:
            cases += deploy_cases()
        else:
            raise ValueError(f"unknown module {short!r}")
    return cases


@contextlib.contextmanager
def working_directory(kind: str) -> Iterator[str]:
    """A temporary working directory: "fake" holds "app.zip", "real" an
    application ("src" and "requirements.txt"), "empty" nothing."""
    old = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="veltra-hardening-") as tmp:
        if kind == "real":
            os.mkdir(os.path.join(tmp, "src"))
            with open(os.path.join(tmp, "src", "main.py"), "w") as f:
                f.write("print('hello')\n")
            with open(os.path.join(tmp, "requirements.txt"), "w") as f:
                f.write("\n")
        elif kind == "fake":
            with open(os.path.join(tmp, "app.zip"), "wb") as f:
                f.write(ARCHIVE_BYTES)
        os.chdir(tmp)
        try:
            yield tmp
        finally:
            os.chdir(old)
