"""Command line of the Veltra cloud client: ``veltra deploy``, ``veltra deploys`` and ``veltra links``.

Each subcommand builds one action and calls it. The action modules are
imported only when their subcommand runs, so ``--help`` and argument errors
work without them. Credential values given on the command line are passed to
the action and never printed.

The command is where the user is protected: it never overwrites, deletes or
leaves a file of the user's, every ordinary mistake is one line starting with
"error:" and a documented exit code, and a deploy shows what it packs, leaves
out and sends.
"""

from __future__ import annotations

import argparse
import base64
import importlib
import json
import os
import shutil
import signal
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn, Self

from veltra import __version__
from veltra.errors import VeltraCloudError

_ACTIONS_PACKAGE = "veltra.cloud.services.actions"

#: Exit codes, as documented in ``--help``.
EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 130, 143


class CliError(Exception):
    """A problem with the command line itself, reported as "error: ..."."""


class Interrupted(Exception):
    """The command was interrupted; the message says what was and was not done."""

    def __init__(self, message: str, code: int = 130) -> None:
        super().__init__(message)
        self.code = code


class _Terminated(BaseException):
    """SIGTERM during a deploy, raised like Ctrl-C so that the same clean-up runs."""


# --- arguments ---------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """An argument parser whose mistakes are one "error:" line, like every other error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"error: {message} (see '{self.prog} --help')\n")


def _key_value(text: str) -> tuple[str, str]:
    """Parse ``KEY=VALUE``. The error message never repeats the text, which may be a secret."""
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError("expected KEY=VALUE")
    return key.strip(), value


def _data_dir(text: str) -> Path:
    """``--data-dir``: not empty; ``~`` expanded as for VELTRA_DATA_DIR."""
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    return Path(text).expanduser().absolute()


def _epilog() -> str:
    from veltra.cloud.services.local import (
        DEFAULT_MAX_ARCHIVE_SIZE,
        DEFAULT_MAX_CREDENTIAL_SIZE,
        default_data_dir,
        format_size,
    )

    return f"""\
data folder:
  The embedded local service keeps deploys and connections in one SQLite file in
  the data folder: --data-dir DIR, else $VELTRA_DATA_DIR, else the user data folder
  (here: {default_data_dir()}).

environment variables:
  VELTRA_DATA_DIR             the data folder (~ is expanded)
  XDG_DATA_HOME               base of the default data folder on Linux
  VELTRA_TOKEN, VELTRA_USER   the caller's token and user name sent with each request
  VELTRA_MAX_ARCHIVE_SIZE     largest deploy archive the local service accepts, e.g. 200M
                              (default {format_size(DEFAULT_MAX_ARCHIVE_SIZE)})
  VELTRA_MAX_CREDENTIAL_SIZE  largest credential value it accepts (default {format_size(DEFAULT_MAX_CREDENTIAL_SIZE)})
  VELTRA_DEBUG                set to 1 to see the traceback of an unexpected error

exit codes:
  0    success
  1    an error, reported as one line (or one per problem) starting with "error:":
       the service refused a request; a file or folder is missing, unreadable or
       read-only; a symbolic link is refused; the output was closed early
       (a broken pipe); also a declined deploy
  2    a wrong command line
  130  interrupted (Ctrl-C); an interrupted deploy removes its partial app.zip first
  143  terminated (SIGTERM) during a deploy, after the same clean-up
"""


_DEPLOY_DESCRIPTION = """\
Deploy the application in the current folder to an environment.

Only src/, requirements.txt, pyproject.toml and .veltra-cli are packed; everything
else in the folder is left out, and each deploy names what it left out. The
deploy writes its archive app.zip into the folder, sends it and deletes it.

Before anything is packed, the command refuses, with one "error:" line per
problem and exit code 1:
  - a folder without src/ or requirements.txt;
  - an app.zip already in the folder (the deploy would overwrite it, then delete it);
  - a folder it cannot write app.zip into, a file or folder it cannot read;
  - a symbolic link that points outside the project (unless --follow-symlinks),
    a dangling link, or a link that makes a loop.

Standard output carries only the deploy's own messages. The command's notes
(what was left out, whether this was a first deploy or a redeploy) go to standard
error; on a terminal a live status there shows what is being packed and sent.
"""

_CHANGE_DESCRIPTION = """\
Change a connection's backend or its credentials.

--credential and --credentials-file REPLACE the connection's stored credentials as
a whole: a key you do not give again is removed (the command names the keys it
removed). To keep a key, give it again. Without them the credentials are kept.
"""


def _add_env_option(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--env", required=True, dest="env_name", metavar="NAME", help=what)


def _add_app_options(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--application-uuid", metavar="UUID", help=f"{what}, by id")
    parser.add_argument("--application-name", metavar="NAME", help=f"{what}, by name")


def _add_credential_options(parser: argparse.ArgumentParser, verb: str) -> None:
    parser.add_argument(
        "--credential",
        action="append",
        type=_key_value,
        default=[],
        metavar="KEY=VALUE",
        help=f"one credential to {verb}; repeat for more (overrides the same key from --credentials-file)",
    )
    parser.add_argument(
        "--credentials-file",
        metavar="FILE",
        help="JSON object of credential keys to string values; '-' reads standard input",
    )


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``veltra`` command."""
    epilog = _epilog()
    common: dict[str, Any] = {"epilog": epilog, "formatter_class": argparse.RawDescriptionHelpFormatter}
    parser = _Parser(prog="veltra", description="Deploy applications and manage their connections.", **common)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--data-dir",
        metavar="DIR",
        type=_data_dir,
        help="data folder of the local service (overrides VELTRA_DATA_DIR; ~ is expanded)",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    deploy = commands.add_parser(
        "deploy", help="deploy the application in the current folder", description=_DEPLOY_DESCRIPTION, **common
    )
    _add_env_option(deploy, "environment to deploy to")
    deploy.add_argument("--deploy-type", default="app", metavar="T", help="kind of deploy (default: app)")
    deploy.add_argument("--lakehouse-type", default="default", metavar="L", help="lakehouse type (default: default)")
    deploy.add_argument("--from-env", metavar="E", help="environment the deploy is promoted from")
    _add_app_options(deploy, "application to deploy (default: the name in pyproject.toml)")
    deploy.add_argument(
        "-y", "--yes", action="store_true", help="answer every question with yes, the redeploy question included"
    )
    deploy.add_argument(
        "--follow-symlinks",
        action="store_true",
        help="pack what symbolic links outside the project point to, instead of refusing them"
        " (dangling links and loops are always refused)",
    )

    deploys = commands.add_parser(
        "deploys",
        help="list the deploys the service has recorded",
        description="List the deploys the service has recorded.",
        **common,
    )
    deploy_commands = deploys.add_subparsers(dest="deploys_command", required=True, metavar="COMMAND")
    history = deploy_commands.add_parser(
        "list",
        help="deploys with their application, environment, number, time and kind",
        **common,
        description="List deploys, oldest first per application and environment: a deploy numbered 2 or more"
        " is a redeploy.",
    )
    history.add_argument("--env", dest="env_name", metavar="NAME", help="only this environment")
    _add_app_options(history, "only this application")

    links = commands.add_parser(
        "links",
        help="list and manage the connections of an environment",
        description="List and manage the connections of an environment.",
        **common,
    )
    link_commands = links.add_subparsers(dest="links_command", required=True, metavar="COMMAND")

    listing = link_commands.add_parser("list", help="list connections", description="List connections.", **common)
    _add_env_option(listing, "environment whose connections to list")
    _add_app_options(listing, "only the connections of this application")

    add = link_commands.add_parser(
        "add",
        help="add a connection",
        **common,
        description="Add a connection to an environment, or to one of its deployed applications.",
    )
    add.add_argument("connection_name", metavar="NAME", help="name of the new connection")
    _add_env_option(add, "environment to add the connection to")
    add.add_argument("--backend", required=True, metavar="B", help="kind of service connected to, e.g. postgres")
    _add_credential_options(add, "store")
    _add_app_options(add, "deployed application the connection belongs to (default: the whole environment)")

    change = link_commands.add_parser(
        "change",
        help="change a connection's backend or replace its credentials",
        description=_CHANGE_DESCRIPTION,
        **common,
    )
    change.add_argument("connection_name", metavar="NAME", help="name of the connection to change")
    _add_env_option(change, "environment of the connection")
    change.add_argument("--backend", metavar="B", help="new backend")
    _add_credential_options(change, "store; all credentials given replace all stored ones")
    _add_app_options(change, "application the connection belongs to")

    remove = link_commands.add_parser(
        "remove", help="remove a connection", description="Remove a connection.", **common
    )
    remove.add_argument("connection_name", metavar="NAME", help="name of the connection to remove")
    _add_env_option(remove, "environment of the connection")
    _add_app_options(remove, "application the connection belongs to")
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


def format_table(rows: Sequence[Sequence[str]]) -> str:
    """Columns aligned by their width on a terminal, so wide (CJK) characters line up too."""
    from rich.cells import cell_len

    widths = [max(cell_len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    lines = []
    for row in rows:
        cells = [cell + " " * (width - cell_len(cell)) for cell, width in zip(row, widths, strict=False)]
        lines.append("  ".join([*cells, row[-1]]).rstrip())
    return "\n".join(lines)


def format_connections(connections: Sequence[Any]) -> str:
    """A small table of connections: name, backend, application and credential key names."""
    if not connections:
        return "No connections."
    rows = [("NAME", "BACKEND", "APPLICATION", "CREDENTIAL KEYS")]
    for item in connections:
        application = _field(item, "application_name") or _field(item, "application_uuid") or "-"
        keys = ", ".join(_field(item, "credential_keys") or []) or "-"
        rows.append((str(_field(item, "connection_name")), str(_field(item, "backend")), str(application), keys))
    return format_table(rows)


def format_deploys(deploys: Sequence[dict[str, Any]]) -> str:
    """A table of deploys: application, environment, number, kind, time and who deployed."""
    if not deploys:
        return "No deploys."
    rows = [("APPLICATION", "ENVIRONMENT", "DEPLOY", "KIND", "DEPLOYED AT (UTC)", "BY")]
    for item in deploys:
        when = str(item.get("deployed_at", "")).replace("T", " ").removesuffix("+00:00")
        kind = "redeploy" if item.get("redeploy") else "first deploy"
        rows.append(
            (
                str(item.get("application_name")),
                str(item.get("env_name")),
                str(item.get("deploy_number")),
                kind,
                when,
                str(item.get("deployed_by")),
            )
        )
    return format_table(rows)


def _note(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def _names(names: Sequence[str], limit: int = 8) -> str:
    shown = ", ".join(names[:limit])
    return shown + (f" and {len(names) - limit} more" if len(names) > limit else "")


def _describe_os_error(exc: OSError) -> str:
    """One line for a failed file operation: what failed, and on which file."""
    if isinstance(exc, shutil.Error) and exc.args and isinstance(exc.args[0], list) and exc.args[0]:
        failures = exc.args[0]
        source, _, why = failures[0]
        more = f" (and {len(failures) - 1} more files)" if len(failures) > 1 else ""
        return f"cannot copy {source}: {why}{more}"
    what = exc.strerror or str(exc)
    if exc.filename is not None:
        return f"{what}: {exc.filename}"
    return what


# --- commands -------------------------------------------------------------------


def _service(args: argparse.Namespace) -> Any:
    """The embedded local service on the chosen data folder."""
    from veltra.cloud.services.local import LocalService

    return LocalService(args.data_dir)


def _action(module: str, class_name: str, **collaborators: Any) -> Any:
    """Import and build an action with the given collaborators (transport, input and print functions)."""
    qualified = f"{_ACTIONS_PACKAGE}.{module}"
    try:
        action_class = getattr(importlib.import_module(qualified), class_name)
    except ModuleNotFoundError as exc:
        if exc.name != qualified:
            raise
        raise CliError(f"action module {qualified} is not available; build the extension modules first") from None
    return action_class(**collaborators)


class _Signals:
    """Ctrl-C and SIGTERM while a deploy runs: noted, then raised as KeyboardInterrupt or _Terminated.

    Noting them means an interruption is recognised even when the exception that
    finally leaves the action is another one, raised while it was unwinding.
    """

    def __enter__(self) -> Self:
        self.received: list[int] = []
        self._previous = {signum: signal.signal(signum, self._on) for signum in (signal.SIGINT, signal.SIGTERM)}
        return self

    def _on(self, signum: int, frame: Any) -> None:
        self.received.append(signum)
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise _Terminated

    def hold(self) -> None:
        """Ignore further signals: the clean-up must run to its end."""
        for signum in self._previous:
            signal.signal(signum, signal.SIG_IGN)

    def exit_code(self, exc: BaseException) -> int | None:
        """The exit code of an interruption, or None when ``exc`` ended the deploy for another reason."""
        if isinstance(exc, _Terminated) or signal.SIGTERM in self.received:
            return EXIT_TERMINATED
        if isinstance(exc, KeyboardInterrupt) or self.received:
            return EXIT_INTERRUPTED
        return None

    def __exit__(self, *exc_info: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)


def _announce(project: Any, service: Any, interactive: bool) -> None:
    """Say, on standard error, what the deploy packs, leaves out and follows, and whether it is too large."""
    from veltra.cloud.services.local import MAX_ARCHIVE_SIZE_VAR, format_size
    from veltra.project import PACKED_TEXT

    if interactive:
        _note(f"Packing {', '.join(project.packed)}: {project.files} files, {format_size(project.size)}")
    if project.left_out:
        _note(f"note: not packed: {_names(project.left_out)} (a deploy packs only {PACKED_TEXT})")
    for link in project.outside_links:
        _note(f"note: following symbolic link {link.path} -> {link.target}, outside the project")
    limit = service.max_archive_size
    if project.size > limit:
        _note(
            f"note: the sources hold {format_size(project.size)}, more than the local service accepts"
            f" ({format_size(limit)}, {MAX_ARCHIVE_SIZE_VAR}); the deploy is refused unless they compress"
            " below that"
        )


def _deploy(args: argparse.Namespace) -> int:
    from rich.console import Console

    from veltra.progress import DeployStatus, DeployWatch
    from veltra.project import scan

    project = scan(Path.cwd(), follow_symlinks=args.follow_symlinks)
    service = _service(args)
    console = Console(stderr=True, highlight=False)
    _announce(project, service, console.is_terminal)
    watch = DeployWatch(service)
    status = DeployStatus(console, project, watch, args.env_name)

    def ask(prompt: str) -> str:
        status.stop()
        try:
            return input(prompt)
        finally:
            status.start()

    def say(text: str) -> None:
        status.stop()
        print(text, flush=True)

    action = _action("launch_rollout", "LaunchRolloutAction", transport=watch, input_func=ask, print_func=say)
    with _Signals() as signals:
        try:
            if args.yes:
                status.start()
            done = action.action(
                args.deploy_type,
                args.lakehouse_type,
                args.env_name,
                args.from_env,
                args.application_uuid,
                args.application_name,
                no_input=args.yes,
            )
        except BaseException as exc:
            signals.hold()
            status.stop()
            removed = _remove_own_archive(project.archive)
            code = signals.exit_code(exc)
            if code is not None:
                message = _interrupted(watch, args.env_name) + (f" ({removed})" if removed else "")
                raise Interrupted(message, code) from None
            message = _error_text(exc) if isinstance(exc, Exception) else None
            if removed and message is not None:
                raise CliError(f"{message} ({removed})") from exc
            raise
        finally:
            status.stop()
    if done is not True:
        print("Deploy cancelled.", file=sys.stderr)
        return EXIT_ERROR
    details = watch.accepted or {}
    number, app = details.get("deploy_number"), details.get("application_name")
    if isinstance(number, int) and number > 1:
        _note(f"Redeployed {app!r} to environment {args.env_name!r}: deploy {number} replaces deploy {number - 1}.")
    elif number == 1:
        _note(
            f"First deploy of {app!r} to environment {args.env_name!r}."
            f" See it with: veltra deploys list --env {args.env_name}"
        )
    return EXIT_OK


def _remove_own_archive(archive: Path) -> str:
    """Remove the archive the action's own call made (there was none before it); say what happened."""
    try:
        if not os.path.lexists(archive):
            return ""
        archive.unlink()
    except OSError as exc:
        return f"could not remove the partial {archive.name}: {exc.strerror}"
    return f"the partial {archive.name} was removed"


def _interrupted(watch: Any, env: str) -> str:
    if watch.accepted is not None:
        n, app = watch.accepted.get("deploy_number"), watch.accepted.get("application_name")
        return f"deploy interrupted after the service accepted deploy {n} of {app!r} to environment {env!r}"
    if watch.sending:
        return f"deploy interrupted while sending; see whether it arrived with: veltra deploys list --env {env}"
    return "deploy interrupted; nothing was sent"


def _deploys(args: argparse.Namespace) -> int:
    from veltra.cloud.services.actions.base import CloudActionBase

    service = _service(args)
    caller = CloudActionBase(transport=service)
    response = caller.execute_transaction(
        "ListDeploys",
        {
            "data": base64.b64encode(caller._credentials_data()).decode("ascii"),
            "env_name": args.env_name,
            "application_uuid": args.application_uuid,
            "application_name": args.application_name,
        },
    )
    print(format_deploys(response["deploys"]))
    return EXIT_OK


def _links(args: argparse.Namespace) -> int:
    app = (args.application_uuid, args.application_name)
    name, env = getattr(args, "connection_name", None), args.env_name
    service = _service(args)
    if args.links_command == "list":
        result = _action("enumerate_outer_links", "EnumerateOuterLinksAction", transport=service).action(env, *app)
        print(format_connections(_field(result, "connections") or []))
    elif args.links_command == "add":
        credentials = read_credentials(args) or {}
        _action("attach_outer_link", "AttachOuterLinkAction", transport=service).action(
            name, args.backend, credentials, env, *app
        )
        print(f"Connection {name!r} added to environment {env!r}.")
    elif args.links_command == "change":
        credentials = read_credentials(args)
        if args.backend is None and credentials is None:
            raise CliError("nothing to change: give --backend, --credential or --credentials-file")
        before = _credential_keys(service, name, env, app) if credentials is not None else None
        result = _action("amend_outer_link", "AmendOuterLinkAction", transport=service).action(
            name, env, args.backend, credentials, *app
        )
        print(f"Connection {name!r} in environment {env!r} changed.")
        removed = sorted(set(before or ()) - set(_field(result, "credential_keys") or ()))
        if removed:
            _note(f"note: the credentials were replaced as a whole; removed: {', '.join(removed)}")
    else:
        _action("detach_outer_link", "DetachOuterLinkAction", transport=service).action(name, env, *app)
        print(f"Connection {name!r} removed from environment {env!r}.")
    return EXIT_OK


def _credential_keys(service: Any, name: str, env: str, app: tuple[Any, Any]) -> list[str] | None:
    """The key names a connection holds now, or None when it cannot be found."""
    try:
        result = _action("enumerate_outer_links", "EnumerateOuterLinksAction", transport=service).action(env, *app)
    except VeltraCloudError:
        return None  # the change itself reports what is wrong
    scoped = app != (None, None)
    for item in _field(result, "connections") or []:
        if _field(item, "connection_name") == name and (scoped or _field(item, "application_uuid") is None):
            return list(_field(item, "credential_keys") or [])
    return None


_COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {"deploy": _deploy, "deploys": _deploys, "links": _links}


def _quiet_stdout() -> None:
    """After a broken pipe, send what is left of standard output nowhere, so exiting stays quiet."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``veltra`` command; return its exit code."""
    from veltra.project import ProjectError

    args = build_parser().parse_args(argv)
    try:
        code = _COMMANDS[args.command](args)
        sys.stdout.flush()
        return code
    except Interrupted as exc:
        print(exc, file=sys.stderr)
        return exc.code
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _quiet_stdout()
        print(f"error: {_error_text(BrokenPipeError())}", file=sys.stderr)
        return EXIT_ERROR
    except ProjectError as exc:
        for line in exc.lines:
            print(f"error: {line}", file=sys.stderr)
        return EXIT_ERROR
    except Exception as exc:
        message = _error_text(exc)
        if message is None:
            if os.environ.get("VELTRA_DEBUG"):
                raise
            message = f"unexpected {type(exc).__name__}: {exc} (set VELTRA_DEBUG=1 to see where)"
        print(f"error: {message}", file=sys.stderr)
        return EXIT_ERROR


def _error_text(exc: Exception) -> str | None:
    """The one line that reports an ordinary error (after "error: "); None for an unexpected one."""
    if isinstance(exc, BrokenPipeError):
        return "the output was closed before everything was written (broken pipe)"
    if isinstance(exc, (VeltraCloudError, CliError)):
        return str(exc)
    if isinstance(exc, OSError):
        return _describe_os_error(exc)
    return None
