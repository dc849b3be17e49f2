"""The benchmarked calls, shared by run.py (wall clock) and instructions.py
(instructions counted by callgrind): the two actions, compiled and as their
plain Python twins (tests/support/twins/, the ones the tests compare the modules
with), the trivial collaborators both get, and the statement of each path.

Kept light on imports: instructions.py runs it under callgrind many times.
"""

from __future__ import annotations

import importlib
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))
TWINS = TESTS / "support" / "twins"

ACTIONS = "veltra.cloud.services.actions"
CLASSES = {
    "enumerate_outer_links": "EnumerateOuterLinksAction",
    "attach_outer_link": "AttachOuterLinkAction",
    "amend_outer_link": "AmendOuterLinkAction",
    "detach_outer_link": "DetachOuterLinkAction",
}
MODELS = {"enumerate_outer_links": "EnumerateOuterLinksResponse", "attach_outer_link": "AttachOuterLinkResponse"}
TRANSACTIONS = {"enumerate_outer_links": "EnumerateOuterLinks", "attach_outer_link": "AttachOuterLink"}

PAYLOAD = b"benchmark-payload"
RESPONSE: dict = {}
CREDS = {"user": "u", "password": "p"}


class Refused(Exception):
    pass


class Trivial:
    """Collaborators that do as little as possible, and keep nothing."""

    def _credentials_data(self) -> bytes:
        return PAYLOAD

    def execute_transaction(self, name: str, data: dict) -> dict:
        return RESPONSE


class Refusing(Trivial):
    def execute_transaction(self, name: str, data: dict) -> dict:
        raise Refused(name)


def instance(cls: type, mixin: type = Trivial) -> Any:
    return type(f"{mixin.__name__}{cls.__name__}", (mixin, cls), {"__init__": lambda self: None})()


def classes(short: str) -> tuple[type, type]:
    """The compiled class and its plain Python twin."""
    compiled = getattr(importlib.import_module(f"{ACTIONS}.{short}"), CLASSES[short])
    plain = getattr(importlib.import_module(f"support.twins.{short}"), CLASSES[short])
    return compiled, plain


@dataclass(frozen=True)
class Calls:
    ok: str  # the success path
    missing: str  # a required argument missing
    unchecked: str  # None for a str
    args: tuple  # the success path's arguments


CALLS = {
    "enumerate_outer_links": Calls('a.action("env")', "a.action()", "a.action(None)", ("env",)),
    "attach_outer_link": Calls(
        'a.action("conn", "postgres", creds, "env")',
        'a.action("conn", "postgres", creds)',
        'a.action("conn", "postgres", creds, None)',
        ("conn", "postgres", CREDS, "env"),
    ),
}
BENCHMARKED = tuple(CALLS)
# The names the statements use besides `a`, the instance.
NAMESPACE = {"creds": CREDS, "TypeError": TypeError, "Refused": Refused}


def _catching(stmt: str, exc: str) -> str:
    return f"try:\n    {stmt}\nexcept {exc}:\n    pass"


def paths(short: str) -> list[tuple[str, str, type]]:
    """(path, statement, collaborators) of every benchmarked path of the module."""
    c = CALLS[short]
    return [
        ("success", c.ok, Trivial),
        ("binding error", _catching(c.missing, "TypeError"), Trivial),
        ("entry-check error", _catching(c.unchecked, "TypeError"), Trivial),
        ("failing call (traceback entry)", _catching(c.ok, "Refused"), Refusing),
    ]
