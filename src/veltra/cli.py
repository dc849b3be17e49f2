"""Command line of the Veltra cloud client: ``veltra deploy`` and ``veltra links``.

Each subcommand builds one action and calls it. The action modules are
imported only when their subcommand runs, so ``--help`` and argument errors
work without them. Credential values given on the command line are passed to
the action and never printed.
"""

from __future__ import annotations

import argparse
import importlib
import json
import sys
from collections.abc import Sequence
from typing import Any

from veltra import __version__
from veltra.errors import VeltraCloudError

_ACTIONS_PACKAGE = "veltra.cloud.services.actions"


class CliError(Exception):
    """A problem with the command line itself, reported as "error: ..."."""


# --- arguments ---------------------------------------------------------------


def _key_value(text: str) -> tuple[str, str]:
    """Parse ``KEY=VALUE``. The error message never repeats the text, which may be a secret."""
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError("expected KEY=VALUE")
    return key.strip(), value


def _add_app_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--application-uuid", metavar="UUID", help="application the connection belongs to")
    parser.add_argument("--application-name", metavar="NAME", help="application the connection belongs to, by name")


def _add_credential_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--credential",
        action="append",
        type=_key_value,
        default=[],
        metavar="KEY=VALUE",
        help="one credential; repeat for more (overrides the same key from --credentials-file)",
    )
    parser.add_argument(
        "--credentials-file",
        metavar="FILE",
        help="JSON object of credential keys to string values; '-' reads standard input",
    )


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``veltra`` command."""
    parser = argparse.ArgumentParser(prog="veltra", description="Deploy applications and manage their connections.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--data-dir", metavar="DIR", help="data folder of the local service (overrides VELTRA_DATA_DIR)"
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    deploy = commands.add_parser("deploy", help="deploy the application in the current folder")
    deploy.add_argument("--env", required=True, dest="env_name", metavar="NAME", help="target environment")
    deploy.add_argument("--deploy-type", default="app", metavar="T", help="kind of deploy (default: app)")
    deploy.add_argument("--lakehouse-type", default="default", metavar="L", help="lakehouse type (default: default)")
    deploy.add_argument("--from-env", metavar="E", help="environment the deploy is promoted from")
    deploy.add_argument("--application-uuid", metavar="UUID", help="application to deploy, by id")
    deploy.add_argument("--application-name", metavar="NAME", help="application to deploy, by name")
    deploy.add_argument("-y", "--yes", action="store_true", help="answer every question with yes")

    links = commands.add_parser("links", help="list and manage the connections of an environment")
    link_commands = links.add_subparsers(dest="links_command", required=True, metavar="COMMAND")

    listing = link_commands.add_parser("list", help="list connections")
    listing.add_argument("--env", required=True, dest="env_name", metavar="NAME")
    _add_app_options(listing)

    add = link_commands.add_parser("add", help="add a connection")
    add.add_argument("connection_name", metavar="NAME")
    add.add_argument("--env", required=True, dest="env_name", metavar="NAME")
    add.add_argument("--backend", required=True, metavar="B", help="kind of service connected to")
    _add_credential_options(add)
    _add_app_options(add)

    change = link_commands.add_parser("change", help="change a connection's backend or credentials")
    change.add_argument("connection_name", metavar="NAME")
    change.add_argument("--env", required=True, dest="env_name", metavar="NAME")
    change.add_argument("--backend", metavar="B", help="new backend")
    _add_credential_options(change)
    _add_app_options(change)

    remove = link_commands.add_parser("remove", help="remove a connection")
    remove.add_argument("connection_name", metavar="NAME")
    remove.add_argument("--env", required=True, dest="env_name", metavar="NAME")
    _add_app_options(remove)
    return parser


def read_credentials(args: argparse.Namespace) -> dict[str, str] | None:
    """Merge --credentials-file and --credential; None when neither was given."""
    if args.credentials_file is None and not args.credential:
        return None
    credentials: dict[str, str] = {}
    if args.credentials_file is not None:
        source = "standard input" if args.credentials_file == "-" else args.credentials_file
        try:
            if args.credentials_file == "-":
                document = json.load(sys.stdin)
            else:
                with open(args.credentials_file, encoding="utf-8") as handle:
                    document = json.load(handle)
        except OSError as exc:
            raise CliError(f"cannot read credentials file {source}: {exc.strerror}") from None
        except ValueError as exc:  # the message gives a position, not the content
            raise CliError(f"credentials file {source} is not valid JSON: {exc}") from None
        if not isinstance(document, dict) or not all(isinstance(v, str) for v in document.values()):
            raise CliError(f"credentials file {source} must hold a JSON object of string values")
        credentials.update(document)
    credentials.update(args.credential)
    return credentials


# --- output -------------------------------------------------------------------


def _field(item: Any, name: str) -> Any:
    return item.get(name) if isinstance(item, dict) else getattr(item, name, None)


def format_connections(connections: Sequence[Any]) -> str:
    """A small table of connections: name, backend, application and credential key names."""
    if not connections:
        return "No connections."
    rows = [("NAME", "BACKEND", "APPLICATION", "CREDENTIAL KEYS")]
    for item in connections:
        application = _field(item, "application_name") or _field(item, "application_uuid") or "-"
        keys = ", ".join(_field(item, "credential_keys") or []) or "-"
        rows.append((str(_field(item, "connection_name")), str(_field(item, "backend")), str(application), keys))
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    return "\n".join(
        "  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=False)) + "  " + row[3] for row in rows
    )


# --- commands -------------------------------------------------------------------


def _action(module: str, class_name: str, args: argparse.Namespace) -> Any:
    """Import and build an action; with --data-dir it gets a local service on that folder."""
    qualified = f"{_ACTIONS_PACKAGE}.{module}"
    try:
        action_class = getattr(importlib.import_module(qualified), class_name)
    except ModuleNotFoundError as exc:
        if exc.name != qualified:
            raise
        raise CliError(f"action module {qualified} is not available; build the extension modules first") from None
    if args.data_dir is None:
        return action_class()
    from veltra.cloud.services.local import LocalService

    return action_class(transport=LocalService(args.data_dir))


def _deploy(args: argparse.Namespace) -> int:
    action = _action("launch_rollout", "LaunchRolloutAction", args)
    done = action.action(
        args.deploy_type,
        args.lakehouse_type,
        args.env_name,
        args.from_env,
        args.application_uuid,
        args.application_name,
        no_input=args.yes,
    )
    if done is True:
        return 0
    print("Deploy cancelled.", file=sys.stderr)
    return 1


def _links(args: argparse.Namespace) -> int:
    app = (args.application_uuid, args.application_name)
    name, env = getattr(args, "connection_name", None), args.env_name
    if args.links_command == "list":
        result = _action("enumerate_outer_links", "EnumerateOuterLinksAction", args).action(env, *app)
        print(format_connections(_field(result, "connections") or []))
    elif args.links_command == "add":
        credentials = read_credentials(args) or {}
        _action("attach_outer_link", "AttachOuterLinkAction", args).action(name, args.backend, credentials, env, *app)
        print(f"Connection {name!r} added to environment {env!r}.")
    elif args.links_command == "change":
        credentials = read_credentials(args)
        if args.backend is None and credentials is None:
            raise CliError("nothing to change: give --backend, --credential or --credentials-file")
        _action("amend_outer_link", "AmendOuterLinkAction", args).action(name, env, args.backend, credentials, *app)
        print(f"Connection {name!r} in environment {env!r} changed.")
    else:
        _action("detach_outer_link", "DetachOuterLinkAction", args).action(name, env, *app)
        print(f"Connection {name!r} removed from environment {env!r}.")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``veltra`` command; return its exit code."""
    args = build_parser().parse_args(argv)
    try:
        return _deploy(args) if args.command == "deploy" else _links(args)
    except (VeltraCloudError, CliError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
