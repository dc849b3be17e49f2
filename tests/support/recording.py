"""A recording fake of the base class's collaborators, and the traceback entries a
call leaves."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any


class Recording:
    """Mixin that replaces every collaborator of CloudActionBase with a recorder.

    `calls` lists each collaborator call as (name, args, kwargs), in order. A
    collaborator's behaviour is set through the attributes below; a value that is
    an exception instance is raised instead of returned.
    """

    payload: Any = b"secret-payload"
    response: Any = None
    answers: Iterable[Any] = ()

    def __init__(self, **settings: Any) -> None:
        self.calls: list[tuple[str, tuple, dict]] = []
        for key, value in settings.items():
            setattr(self, key, value)
        self._answers = iter(self.answers)

    def _record(self, name: str, args: tuple, kwargs: dict, result: Any) -> Any:
        self.calls.append((name, args, kwargs))
        if isinstance(result, BaseException):
            raise result
        if callable(result) and not isinstance(result, type):
            return result(*args, **kwargs)
        return result

    def _credentials_data(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("_credentials_data", args, kwargs, self.payload)

    def execute_transaction(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("execute_transaction", args, kwargs, self.response)

    def _input(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("_input", args, kwargs, next(self._answers))

    def _print(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("_print", args, kwargs, None)

    def names(self) -> list[str]:
        return [name for name, _, _ in self.calls]

    def transactions(self) -> list[tuple]:
        return [args for name, args, _ in self.calls if name == "execute_transaction"]


_recording_classes: dict[type, type] = {}


def recording(action_class: type, **settings: Any) -> Any:
    """An instance of `action_class` whose collaborators are recorders."""
    cls = _recording_classes.get(action_class)
    if cls is None:
        cls = type(f"Recording{action_class.__name__}", (Recording, action_class), {})
        _recording_classes[action_class] = cls
    return cls(**settings)


def tb_entries(exc: BaseException) -> list[tuple[str, int, str]]:
    """(function name, line, file name) of every traceback entry, innermost last."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, tb.tb_lineno, code.co_filename))
        tb = tb.tb_next
    return entries
