"""What a caller can observe of a call of an action, written down so that a
compiled module and its plain-Python twin can be compared event for event.

One `Log` per run. While it is `active()`:

- `Spy`, mixed into the fake `self` of a path, records every lookup of a
  collaborator (`_credentials_data`, `execute_transaction`, the prompts, ...)
  and every call of it: the arguments, the exception being handled at that
  moment, and what the call returned or raised;
- `standins()` puts logging stand-ins in place of module globals (`base64`, the
  response model, `Path`, `shutil`, `tempfile`, ...): every attribute read,
  call, join, `with` and format of them, and of what their calls return, is
  recorded, with the arguments;
- `observe()` runs the call and records its result or exception.

Objects are written down canonically (`Log.canon`): plain values by value,
dicts with their items in order, exceptions with their type, message,
traceback entries and context, and every other object by the order in which
the run first saw it, so that "the same object" can be compared across two runs
whose objects differ. Traceback entries are (function name, line); a twin's
are named as the module names its own ("veltra.cloud.services.actions.<module>.
<Class>.<method>").

Where the compiled module differs from plain Python because it is documented to,
the rule is in `DECLARED`, with the reason; `Log.canon` applies the rules, so the
two runs' logs are equal exactly when module and twin agree on everything else.
"""

from __future__ import annotations

import contextlib
import functools
import os
import re
import sys
import tempfile
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from support import cases, twins

ACTIONS = cases.ACTIONS
MODULE_SOURCE = "src/veltra/cloud/services/actions/"  # the file name of the modules' traceback entries
TWIN_DIR = Path(twins.__file__).resolve().parent
CLASSES = {m.cls: m.module for m in cases.all_known_methods()}
DEF_LINES = {(m.tb_name, m.def_line) for m in cases.all_known_methods()}


def _marked_lines(marker: str) -> set[tuple[str, int]]:
    """(traceback name, line) of every twin line that ends with `# <marker>`."""
    found = set()
    for short in twins.NAMES:
        path = TWIN_DIR / f"{short}.py"
        method = None
        for lineno, text in enumerate(path.read_text().splitlines(), 1):
            if m := re.match(r"    def (\w+)\(", text):
                method = m.group(1)
            if text.rstrip().endswith(f"# {marker}"):
                cls = next(c for c, mod in CLASSES.items() if mod == short)
                found.add((f"{ACTIONS}.{short}.{cls}.{method}", lineno))
    return found


ENTRY_CHECK_LINES = _marked_lines("entry check")


# ---------------------------------------------------------------------------
# Where module and twin differ by design: one rule each, with the reason.


Seen = tuple[str, list[tuple[str, int]], str]  # an exception's type name, traceback entries and message


@dataclass(frozen=True)
class Difference:
    name: str
    reason: str
    # Applied to every exception written down: (side, exception, (type name,
    # entries, message)) -> (type name, entries, message); side is "module" or
    # "twin". None: nothing to normalize (the rule is kept by the paths).
    normalize: Callable[[str, BaseException, Seen], Seen] | None


_PY_BINDING = re.compile(
    rf"({'|'.join(CLASSES)})\.\w+\(\) "
    r"(missing \d+ required|takes |got an unexpected keyword|got multiple values|keywords must be strings)"
)


def _binding(side: str, exc: BaseException, seen: Seen) -> Seen:
    kind, entries, message = seen
    if not isinstance(exc, TypeError):
        return seen
    if side == "module" and entries and entries[-1] in DEF_LINES:
        return kind, entries[:-1], "<binding error>"
    # Through the call slot with a dict, the interpreter refuses a key that is
    # not a str before it knows which function is called.
    binding = _PY_BINDING.match(message) or message == "keywords must be strings"
    if side == "twin" and binding and not (entries and _in_an_action(entries[-1])):
        return kind, entries, "<binding error>"
    return seen


def _entry_check(side: str, exc: BaseException, seen: Seen) -> Seen:
    kind, entries, message = seen
    if side == "twin" and isinstance(exc, TypeError) and entries and entries[-1] in ENTRY_CHECK_LINES:
        return kind, entries[:-1], message
    return seen


_TYPE_NAME = re.compile(r"^(Argument '\w+' has incorrect type \(expected \w+, got |Expected unicode, got )(.+?)(\)?)$")


def _type_names(side: str, exc: BaseException, seen: Seen) -> Seen:
    kind, entries, message = seen
    if isinstance(exc, TypeError) and (m := _TYPE_NAME.match(message)):
        return kind, entries, m.group(1) + m.group(2).rpartition(".")[2] + m.group(3)
    return seen


_NO_MAPPING = "argument after ** must be a mapping, not NoneType"


def _none_response(side: str, exc: BaseException, seen: Seen) -> Seen:
    kind, entries, message = seen
    if not isinstance(exc, TypeError):
        return seen
    if side == "module" and message == _NO_MAPPING:
        return kind, entries, "<None for **>"
    if side == "twin" and message == "'NoneType' object is not iterable" and entries and _in_an_action(entries[-1]):
        return kind, entries, "<None for **>"
    return seen


_NO_ENTER_EXIT = re.compile(r"'[\w.]+' object has no attribute '__(enter|exit)__'")
_NO_PROTOCOL = re.compile(
    r"'[\w.]+' object does not support the context manager protocol( \(missed __exit__ method\))?"
)


def _with_lookup(side: str, exc: BaseException, seen: Seen) -> Seen:
    _, entries, message = seen
    if not entries or not _in_an_action(entries[-1]):
        return seen
    if side == "module" and isinstance(exc, AttributeError) and _NO_ENTER_EXIT.fullmatch(message):
        return "<not a context manager>", entries, ""
    if side == "twin" and isinstance(exc, TypeError) and _NO_PROTOCOL.fullmatch(message):
        return "<not a context manager>", entries, ""
    return seen


DECLARED = (
    Difference(
        "binding errors",
        "The frame binds the arguments with the messages and the def-line traceback entry that the modules "
        "document; Python raises its own texts before the function's frame exists, so adds no entry.",
        _binding,
    ),
    Difference(
        "entry checks",
        "The exact-type checks of str and dict parameters add no traceback entry in the modules; the twin "
        "checks in its body (lines marked '# entry check'), so its raise carries an entry.",
        _entry_check,
    ),
    Difference(
        "type names in the frame's messages",
        "The entry and return checks name the value's type by its C name (tp_name), which carries the module "
        "for types defined in C (collections.OrderedDict); Python code can only say type(x).__name__.",
        _type_names,
    ),
    Difference(
        "a None response",
        "The modules expand the response with their own rule (None refused with 'argument after ** must be "
        "a mapping, not NoneType', anything else through dict()); the twin writes Model(**dict(response)), "
        "so None fails in dict() with its own text, on the same line.",
        _none_response,
    ),
    Difference(
        "a context manager without __enter__ or __exit__",
        "The modules look a context manager's __exit__ up before its __enter__, as documented, with "
        "getattr: a missing one is an AttributeError. Python 3.12 looks __enter__ up first, on the type, and "
        "raises TypeError. Either way the with line fails before anything is entered.",
        _with_lookup,
    ),
    Difference(
        "repeated keyword names",
        "Through vectorcall a keyword name can come twice; the frame assigns each keyword in turn, so the "
        "last value binds (documented: assigning again is harmless), where Python refuses the repeat. Applied "
        "where calls are built: the twin, and the binding search's plain def, get each name once.",
        None,
    ),
    Difference(
        "str subclasses as keyword names",
        "The frame compares keyword names by identity, then as text; Python calls a str subclass's own "
        "__eq__. Applied where calls are built: the twin gets such names as plain str.",
        None,
    ),
    Difference(
        "the kept builtin open",
        "launch_rollout takes the builtin open once, when it executes; the twin reads it at every call. No "
        "path replaces builtins.open, so both call the same function.",
        None,
    ),
    Difference(
        "class statements and docstrings under 3.13",
        "Python 3.13 adds __firstlineno__ and __static_attributes__ to the namespace of a class statement and "
        "strips the indentation of docstrings when it compiles; the modules keep the namespace and the "
        "docstrings they document, under 3.13 as under 3.12.",
        None,
    ),
    Difference(
        "the code objects' qualified names",
        "A method's code object is named by the plain method name, qualified name included; a def's "
        "co_qualname is Class.method. Only introspection sees it.",
        None,
    ),
)


# ---------------------------------------------------------------------------
# The log.


_TWIN_PREFIX = f"{TWIN_DIR}{os.sep}"


@functools.cache
def entry_name(code: types.CodeType) -> str:
    """A traceback entry's function: the module's own name, a twin's mapped to
    it, anything else as file:qualified name."""
    filename = code.co_filename
    if filename.startswith(MODULE_SOURCE):
        return code.co_name
    if filename.startswith(_TWIN_PREFIX):
        return f"{ACTIONS}.{os.path.basename(filename).removesuffix('.py')}.{code.co_qualname}"
    return f"{os.path.basename(filename)}:{code.co_qualname}"


def _in_an_action(entry: tuple[str, int]) -> bool:
    return entry[0].startswith(ACTIONS) and entry[0].rpartition(".")[0].rpartition(".")[2] in CLASSES


_ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
_TMP = re.compile(re.escape(tempfile.gettempdir()) + r"/[^/\s'\"]+")


def _text(s: str) -> str:
    if s.startswith("UEsDB"):  # a zip archive, as Base64: its times are the file system's, not the call's
        return f"<zip archive, {len(s)} characters>"
    return _TMP.sub("<tmp>", _ADDRESS.sub("0x?", s))


def message(exc: BaseException) -> str:
    try:
        return _text(str(exc))
    except Exception:  # noqa: BLE001 - a hostile object in the message
        return "<unprintable>"


_PLAIN = (type(None), bool, int, float, complex)


class Log:
    """The events of one run, and the canonical form of what they carry."""

    def __init__(self, side: str) -> None:
        self.side = side  # "module" or "twin": which declared rules apply
        self.events: list[tuple] = []
        self._ids: dict[int, str] = {}
        self._keep: list[Any] = []  # objects stay alive, so that ids stay theirs

    def add(self, *event: Any) -> None:
        self.events.append(event)

    def name(self, obj: Any, label: str) -> None:
        """Gives `obj` a name of its own in the log."""
        self._ids[id(obj)] = label
        self._keep.append(obj)

    def ident(self, obj: Any) -> str:
        key = id(obj)
        if key not in self._ids:
            self._ids[key] = f"#{len(self._ids)}"
            self._keep.append(obj)
        return self._ids[key]

    def register(self, root: Any, depth: int = 3) -> None:
        """Numbers what a call is made of (its closure's contents, in order), so
        that an argument passed on is recognised as the caller's object."""
        if depth < 0:
            return
        root = unwrap(root)
        if not isinstance(root, (*_PLAIN, str, bytes, type)):
            self.ident(root)
        if isinstance(root, types.FunctionType):
            for cell in root.__closure__ or ():
                with contextlib.suppress(ValueError):  # an empty cell
                    self.register(cell.cell_contents, depth - 1)
        elif isinstance(root, types.MethodType):
            self.register(root.__self__, depth - 1)
        elif type(root) in (tuple, list):
            for item in root:
                self.register(item, depth - 1)
        elif isinstance(root, dict):
            for value in dict.values(root):
                self.register(value, depth - 1)

    def canon(self, obj: Any, depth: int = 0) -> Any:
        obj = unwrap(obj)
        name = self._ids.get(id(obj))
        if name is not None and not name.startswith("#"):
            return name  # named by the caller (Log.name)
        t = type(obj)
        if t in _PLAIN:
            return repr(obj)
        if t is str:
            return repr(_text(obj[:300]))
        if t is bytes:
            return repr(obj[:300])
        if depth > 6:
            return "..."
        if isinstance(obj, BaseException):
            return self.exception(obj, depth)
        if isinstance(obj, types.TracebackType):
            return ("traceback", tuple(self.entries(obj)))
        if isinstance(obj, dict):
            return self._dict(obj, depth)
        if t in (list, tuple):
            return (t.__name__, self.ident(obj) if t is list else "", tuple(self.canon(v, depth + 1) for v in obj))
        if isinstance(obj, type):
            return ("class", obj.__qualname__)
        if isinstance(obj, str):
            return (t.__qualname__, self.ident(obj), repr(str.__str__(obj)))
        return (t.__qualname__, self.ident(obj))

    def _dict(self, obj: dict, depth: int) -> Any:
        items = tuple((self.canon(k, depth + 1), self.canon(v, depth + 1)) for k, v in list(dict.items(obj)))
        return (type(obj).__qualname__, self.ident(obj), items)

    def entries(self, tb: types.TracebackType | None) -> list[tuple[str, int]]:
        out = []
        while tb is not None:
            out.append((entry_name(tb.tb_frame.f_code), tb.tb_lineno))
            tb = tb.tb_next
        return out

    def which(self, exc: BaseException | None) -> Any:
        """An exception by identity alone (what a handled-exception slot holds):
        its content is written down where it was raised."""
        if exc is None:
            return None
        name = self._ids.get(id(exc))
        if name is not None and not name.startswith("#"):
            return name
        return ("exception", type(exc).__qualname__, self.ident(exc))

    def exception(self, exc: BaseException, depth: int = 0) -> Any:
        seen: Seen = (type(exc).__qualname__, self.entries(exc.__traceback__), message(exc))
        for rule in DECLARED:
            if rule.normalize is not None:
                seen = rule.normalize(self.side, exc, seen)
        kind, entries, text = seen
        more: tuple = ()
        if depth < 4:
            more = (
                self.canon(exc.__context__, depth + 2) if exc.__context__ is not None else None,
                self.canon(exc.__cause__, depth + 2) if exc.__cause__ is not None else None,
                exc.__suppress_context__,
            )
        return ("exception", kind, self.ident(exc), text, tuple(entries), more)


_LOG: Log | None = None


@contextlib.contextmanager
def active(log: Log | None) -> Iterator[Log | None]:
    """Makes `log` the one that records (None: nothing is recorded meanwhile)."""
    global _LOG
    previous, _LOG = _LOG, log
    try:
        yield log
    finally:
        _LOG = previous


def register_now(obj: Any) -> None:
    """Numbers what `obj` is made of in the active log (see Log.register)."""
    if _LOG is not None:
        _LOG.register(obj)


def record(*event: Any) -> None:
    """Writes an event into the active log, if there is one."""
    if _LOG is not None:
        _LOG.add(*event)


def handled_now() -> Any:
    """The exception being handled now, by identity, in the active log."""
    return _LOG.which(sys.exception()) if _LOG is not None else None


def which_now(exc: BaseException | None) -> Any:
    """`exc` by identity (Log.which), in the active log."""
    return _LOG.which(exc) if _LOG is not None else None


def canon_now(obj: Any) -> Any:
    """`obj` written down by the active log."""
    return _LOG.canon(obj) if _LOG is not None else None


# ---------------------------------------------------------------------------
# Collaborators and globals that write down what is done with them.


class Logged:
    """A callable that writes down each call (arguments, the exception being
    handled meanwhile) and its outcome, and passes it on."""

    __slots__ = ("_label", "_target", "_wrap")

    def __init__(self, label: str, target: Any, wrap: bool = False) -> None:
        self._label = label
        self._target = target
        self._wrap = wrap  # hand out what the call returns as a stand-in (see _wrap)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        label = self._label
        record("call", label, canon_now(args), canon_now(tuple(kwargs.items())), handled_now())
        try:
            result = self._target(*map(unwrap, args), **{k: unwrap(v) for k, v in kwargs.items()})
        except BaseException as exc:
            record("raised", label, canon_now(exc))
            raise
        record("returned", label, canon_now(result))
        return _wrap(f"{label}()", result) if self._wrap else result


class Standin:
    """A module global, or what came of one: attribute reads, calls, joins,
    `with`, formatting are written down and passed on."""

    __slots__ = ("_label", "_target")

    def __init__(self, label: str, target: Any) -> None:
        self._label = label
        self._target = target

    def __getattr__(self, name: str) -> Any:
        label = f"{self._label}.{name}"
        try:
            value = getattr(self._target, name)
        except BaseException as exc:
            record("get", label, "raised", canon_now(exc))
            raise
        record("get", label, canon_now(value))
        return _wrap(label, value)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return Logged(self._label, self._target, wrap=True)(*args, **kwargs)

    def __truediv__(self, other: Any) -> Any:
        return Logged(f"{self._label} /", lambda o: self._target / o, wrap=True)(other)

    def __enter__(self) -> Any:
        return Logged(f"{self._label}.__enter__", self._target.__enter__, wrap=True)()

    def __exit__(self, *exc: Any) -> Any:
        return Logged(f"{self._label}.__exit__", self._target.__exit__)(*exc)

    def __format__(self, spec: str) -> str:
        return Logged(f"format({self._label})", lambda s: format(self._target, s))(spec)

    def __bool__(self) -> bool:
        return Logged(f"bool({self._label})", lambda: bool(self._target))()

    def __fspath__(self) -> Any:
        return os.fspath(self._target)


def unwrap(obj: Any) -> Any:
    while type(obj) in (Standin, Logged):
        obj = obj._target
    return obj


def _wrap(label: str, value: Any) -> Any:
    """What a stand-in hands out: plain values as they are, anything else logged."""
    if isinstance(value, (*_PLAIN, str, bytes, bytearray, dict, list, tuple, BaseException, type(NotImplemented))):
        return value
    if callable(value) and not isinstance(value, type):
        return Logged(label, value, wrap=True)
    return Standin(label, value)


@contextlib.contextmanager
def standins(module: types.ModuleType, names: tuple[str, ...]) -> Iterator[None]:
    """The module's globals of these names (those it has now) replaced by
    logging stand-ins, and put back afterwards."""
    ns = module.__dict__
    saved = {name: ns[name] for name in names if name in ns}
    ns.update({name: Standin(name, value) for name, value in saved.items()})
    try:
        yield
    finally:
        ns.update(saved)


COLLABORATORS = frozenset(
    (
        "_credentials_data",
        "execute_transaction",
        "_input",
        "_print",
        "want_deploy_input",
        "want_redeploy_input",
        "_redeploy",
    )
)


class Spy:
    """Mixed into a fake `self` (before the action class): every lookup of a
    collaborator is written down, and what it gives is a `Logged` callable."""

    def __getattribute__(self, name: str) -> Any:
        if name not in COLLABORATORS or _LOG is None:
            return object.__getattribute__(self, name)
        try:
            value = object.__getattribute__(self, name)
        except BaseException as exc:
            record("get", f"self.{name}", "raised", canon_now(exc))
            raise
        record("get", f"self.{name}")
        return Logged(f"self.{name}", value)


# ---------------------------------------------------------------------------
# Running a call, in the situations a caller may be in.


class Around(Exception):
    """The exception a caller handles around the call."""


def observe(log: Log, call: Callable[[], Any]) -> None:
    """Runs the call and writes down its outcome."""
    log.register(call)
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        exc.__traceback__ = exc.__traceback__.tb_next if exc.__traceback__ else None  # not this frame
        log.add("outcome raised", log.canon(exc))
        return
    log.add("outcome returned", log.canon(result))


def _after(log: Log, where: str) -> None:
    log.add(f"handled {where}", log.which(sys.exception()))


def run(log: Log, call: Callable[[], Any], situation: str) -> None:
    """Runs the call in one of SITUATIONS and writes down what the exception
    being handled is afterwards (and, in generators, when resumed elsewhere)."""
    if situation == "plain":
        observe(log, call)
        _after(log, "after the call")
    elif situation == "handling":
        try:
            raise Around("handled around the call")
        except Around as exc:
            log.name(exc, "<around>")
            observe(log, call)
            _after(log, "after the call")
        _after(log, "after the handler")
    elif situation == "generator-throw":
        # What contextlib.contextmanager does when a with block raises: the
        # generator handles the exception that its caller handles too.
        def gen() -> Iterator[None]:
            try:
                yield
            except Around:
                observe(log, call)
                _after(log, "in the generator after the call")
                yield
                _after(log, "in the generator, resumed")

        g = gen()
        next(g)
        try:
            raise Around("thrown into the generator")
        except Around as exc:
            log.name(exc, "<thrown>")
            g.throw(exc)
            _after(log, "by the thrower")
        with contextlib.suppress(StopIteration):
            next(g)
    elif situation == "generator-caller-handles":
        # A generator that handles nothing, first run by a caller that handles
        # an exception, then resumed by one that does not.
        def bare() -> Iterator[None]:
            observe(log, call)
            _after(log, "in the generator after the call")
            yield
            _after(log, "in the generator, resumed")

        b = bare()
        try:
            raise Around("handled by the generator's caller")
        except Around as exc:
            log.name(exc, "<caller's>")
            next(b)
        with contextlib.suppress(StopIteration):
            next(b)
    else:
        raise ValueError(situation)


SITUATIONS = ("plain", "handling", "generator-throw", "generator-caller-handles")


def first_difference(a: list[tuple], b: list[tuple]) -> str | None:
    """Where two logs part, shown with the events before it; None if they agree."""
    for i, (x, y) in enumerate(zip(a, b, strict=False)):
        if x != y:
            before = "".join(f"\n      {e}" for e in a[max(0, i - 3) : i])
            return f"event {i}:{before}\n  module: {x}\n  twin:   {y}"
    if len(a) != len(b):
        i = min(len(a), len(b))
        return f"event {i}: module {a[i] if i < len(a) else '(ends)'}, twin {b[i] if i < len(b) else '(ends)'}"
    return None
