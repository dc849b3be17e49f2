"""``veltra links list|add|change|remove``: the connections of an environment.

Credential values never reach standard output or an error message. They come
from a hidden question on the terminal (``--credential KEY``), a JSON file or
standard input (``--credentials-file``), or, least safely, the command line
(``--credential KEY=VALUE``).
"""

from __future__ import annotations

import json
import os
import sys

from veltra.cli import output
from veltra.cli.actions import local_service, make_action
from veltra.cli.errors import CliError, ExitCode, UsageError
from veltra.cli.output import printable

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any

#: The keys of each connection in ``links list --json``, in this order.
CONNECTION_KEYS = (
    "connection_name",
    "backend",
    "application_uuid",
    "application_name",
    "credential_keys",
    "created_at",
    "updated_at",
    "problem",
)


def _app(args: argparse.Namespace) -> tuple[str | None, str | None]:
    return args.application_uuid, args.application_name


def _enumerate(transport: Any, env: str, app: tuple[str | None, str | None]) -> Any:
    """The enumerate action's answer for ``env`` (narrowed to ``app`` when one is given)."""
    return make_action("links list", transport=transport).action(env, *app)


def _connections(answer: Any) -> list[dict[str, Any]]:
    return list(getattr(answer, "connections", None) or [])


def list_links(args: argparse.Namespace) -> int:
    result = _enumerate(local_service(args), args.env_name, _app(args))
    connections = [{key: item.get(key) for key in CONNECTION_KEYS} for item in _connections(result)]
    if args.json:
        output.json_document(
            {
                "env_name": result.env_name,
                "application_uuid": result.application_uuid,
                "application_name": result.application_name,
                "connections": connections,
            }
        )
        return ExitCode.OK
    output.table(
        ("NAME", "BACKEND", "APPLICATION", "CREDENTIAL KEYS"),
        (
            (
                item["connection_name"],
                item["backend"],
                item["application_name"] or item["application_uuid"] or "-",
                "(unreadable)" if item["problem"] else ", ".join(item["credential_keys"] or []) or "-",
            )
            for item in connections
        ),
        empty="No connections.",
    )
    for item in connections:
        if item["problem"]:
            app = item["application_name"] or item["application_uuid"]
            hint = f" --application-uuid {item['application_uuid']}" if app else ""
            output.note(
                f"note: connection {item['connection_name']!r}: {item['problem']}; remove it with:"
                f" veltra links remove {item['connection_name']} --env {args.env_name}{hint}"
            )
    return ExitCode.OK


def add(args: argparse.Namespace) -> int:
    credentials = read_credentials(args) or {}
    make_action("links add", transport=local_service(args)).action(
        args.connection_name, args.backend, credentials, args.env_name, *_app(args)
    )
    output.line(f"Connection {args.connection_name!r} added to environment {args.env_name!r}.")
    return ExitCode.OK


def change(args: argparse.Namespace) -> int:
    name, env, app = args.connection_name, args.env_name, _app(args)
    if args.backend is None and args.credential == [] and args.credentials_file is None:
        raise UsageError("nothing to change: give --backend, --credential or --credentials-file", "veltra links change")
    credentials = read_credentials(args)
    transport = local_service(args)
    before = _credential_keys(transport, name, env, app) if credentials is not None else None
    result = _scoped(
        transport,
        args,
        lambda: make_action("links change", transport=transport).action(name, env, args.backend, credentials, *app),
    )
    output.line(f"Connection {name!r} in environment {env!r} changed.")
    removed = sorted(set(before or ()) - set(getattr(result, "credential_keys", None) or ()))
    if removed:
        output.note(f"note: the credentials were replaced as a whole; removed: {', '.join(removed)}")
    return ExitCode.OK


def remove(args: argparse.Namespace) -> int:
    name, env, app = args.connection_name, args.env_name, _app(args)
    transport = local_service(args)
    _scoped(transport, args, lambda: make_action("links remove", transport=transport).action(name, env, *app))
    output.line(f"Connection {name!r} removed from environment {env!r}.")
    return ExitCode.OK


def _scoped(transport: Any, args: argparse.Namespace, call: Any) -> Any:
    """Run ``call``; when the connection is not found in the whole environment but belongs to an
    application, say which one and how to name it, instead of only that it does not exist."""
    from veltra.errors import VeltraCloudNotFoundError

    try:
        return call()
    except VeltraCloudNotFoundError:
        if _app(args) != (None, None):
            raise
        name, env = args.connection_name, args.env_name
        owners = [
            item["application_name"] or item["application_uuid"]
            for item in _connections(_enumerate(transport, env, (None, None)))
            if item["connection_name"] == name and item["application_uuid"]
        ]
        if not owners:
            raise
        import shlex

        which = " or ".join(repr(owner) for owner in owners)
        raise CliError(
            f"connection {name!r} in environment {env!r} belongs to application {which}, not to the whole"
            f" environment; add --application-name {shlex.quote(owners[0])}"
        ) from None


def _credential_keys(transport: Any, name: str, env: str, app: tuple[str | None, str | None]) -> list[str] | None:
    """The key names a connection holds now, or None when it cannot be found."""
    from veltra.errors import VeltraCloudError

    try:
        result = _enumerate(transport, env, app)
    except VeltraCloudError:
        return None  # the change itself reports what is wrong
    scoped = app != (None, None)
    for item in _connections(result):
        if item["connection_name"] == name and (scoped or item["application_uuid"] is None):
            return list(item["credential_keys"] or [])
    return None


def read_credentials(args: argparse.Namespace) -> dict[str, str] | None:
    """Merge --credentials-file and --credential (asking for the values not given); None when neither was given."""
    if args.credentials_file is None and not args.credential:
        return None
    credentials: dict[str, str] = {}
    if args.credentials_file is not None:
        credentials.update(_credentials_file(args.credentials_file))
    for key, value in args.credential:
        credentials[key] = value if value is not None else ask_secret(key)
    return credentials


def _credentials_file(path: str) -> dict[str, str]:
    source = "standard input" if path == "-" else path
    try:
        if path == "-":
            document = json.load(sys.stdin)
        else:
            with open(path, encoding="utf-8") as handle:
                document = json.load(handle)
    except OSError as exc:
        raise CliError(f"cannot read credentials file {source}: {exc.strerror}") from None
    except ValueError as exc:  # the message gives a position, not the content
        raise CliError(f"credentials file {source} is not valid JSON: {exc}") from None
    if not isinstance(document, dict) or not all(isinstance(v, str) for v in document.values()):
        raise CliError(f"credentials file {source} must hold a JSON object of string values")
    return document


def ask_secret(key: str) -> str:
    """Ask for the value of ``key`` on the terminal, without showing what is typed."""
    import getpass

    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        raise CliError(  # the key is not repeated: it may be a value given without its key
            "a --credential without a value needs a terminal to ask for it on; give the values in a JSON"
            " file, or on standard input with --credentials-file -"
        ) from None
    try:
        return getpass.getpass(f"Value for {printable(key)} (not shown): ")
    except EOFError:
        raise CliError("no value was given at the question") from None
