"""The argument parser of the ``veltra`` command, with every help text.

Each command names the function that runs it (``module:function`` under
:mod:`veltra.cli`), imported only when that command runs. The epilog (data
folder, environment variables, exit codes) is written when help is shown, not
on every run: it names the data folder the command line would use, which takes
the service's module to work out.
"""

from __future__ import annotations

import argparse
import os
import sys

from veltra import __version__
from veltra.cli.errors import ExitCode
from veltra.cli.output import printable

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from pathlib import Path
    from typing import Any, NoReturn

HIDDEN = "<hidden>"


def _redact(message: str, words: Sequence[str]) -> str:
    """``message`` with the value of every KEY=VALUE word of the command line it repeats hidden.

    Such a word is most likely a credential given to the wrong option, or
    without one; a mistake must not print it.
    """
    candidates = set()
    for word in words:
        _, sep, value = word.partition("=")
        if sep and value:
            candidates.add(word)
            if word.startswith("-") and "=" in value:  # --option=KEY=VALUE: argparse may show KEY=VALUE alone
                candidates.add(value)
    for word in sorted(candidates, key=len, reverse=True):
        message = message.replace(word, f"{word.partition('=')[0]}={HIDDEN}")
    return message


_width: list[int] = []


def _terminal_width() -> int:
    """The width help is laid out for: $COLUMNS, else the terminal's, else 80; worked out once."""
    if not _width:
        try:
            width = int(os.environ["COLUMNS"])
        except (KeyError, ValueError):
            try:
                width = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
            except (AttributeError, ValueError, OSError):
                width = 80
        _width.append(width)
    return _width[0]


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Help laid out for the terminal's width, worked out without importing shutil.

    argparse makes a formatter for every argument it adds, and its own asks
    shutil for the width each time; for a command that only lists, that import
    and those questions are a good part of its start-up.
    """

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24, width: int | None = None):
        super().__init__(prog, indent_increment, max_help_position, _terminal_width() - 2 if width is None else width)


class _Parser(argparse.ArgumentParser):
    """No abbreviated options; a mistake is one "error:" line that never repeats a KEY=VALUE word."""

    def __init__(
        self, *args: Any, words: list[str], epilog_text: Callable[[Sequence[str]], str] | None = None, **kwargs: Any
    ) -> None:
        super().__init__(*args, allow_abbrev=False, formatter_class=_HelpFormatter, **kwargs)
        self.words = words  # the command line, shared by the parser and its subcommands
        self.epilog_text = epilog_text
        self.pending_options: Callable[[_Parser], None] | None = None

    def complete(self) -> _Parser:
        """Add the command's options, if that is still to do."""
        if self.pending_options is not None:
            options, self.pending_options = self.pending_options, None
            options(self)
        return self

    def parse_known_args(self, args: Sequence[str] | None = None, namespace: Any = None) -> Any:
        self.complete()
        return super().parse_known_args(args, namespace)

    def format_help(self) -> str:
        self.complete()
        if self.epilog_text is not None and self.epilog is None:
            self.epilog = self.epilog_text(self.words)
        return super().format_help()

    def error(self, message: str) -> NoReturn:
        text = printable(_redact(message, self.words))
        self.exit(ExitCode.USAGE, f"error: {text} (see '{self.prog} --help')\n")


def _credential(text: str) -> tuple[str, str | None]:
    """``KEY=VALUE``, or ``KEY`` alone (asked for later). The error never repeats the text: it may be a secret."""
    key, sep, value = text.partition("=")
    if not key.strip():
        raise argparse.ArgumentTypeError("expected KEY=VALUE, or KEY alone to be asked for the value")
    return key.strip(), value if sep else None


def _data_dir(text: str) -> Path:
    """``--data-dir``: not empty; ``~`` expanded as for VELTRA_DATA_DIR; a relative path taken from here, once."""
    from pathlib import Path

    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    return Path(text).expanduser().absolute()


def _data_dir_given(words: Sequence[str]) -> str | None:
    """The ``--data-dir`` of a command line, as the parser reads it: an option of ``veltra`` itself,
    before the command, the last one given counting; None without one."""
    given = None
    rest = iter(words)
    for word in rest:
        if word == "--data-dir":
            given = next(rest, None)
        elif word.startswith("--data-dir="):
            given = word.partition("=")[2]
        elif word == "--" or not word.startswith("-"):
            break
    return given


def _folder_in_use(words: Sequence[str]) -> str:
    """The data folder the command line ``words`` would use, and what chose it, as the help says it."""
    from veltra.cloud.services.local import DATA_DIR_VAR, data_dir_from_environment
    from veltra.errors import VeltraCloudError

    given = _data_dir_given(words)
    if given is not None and given.strip():  # an empty one is refused when the command runs
        return f"{_data_dir(given)} (from --data-dir)"
    try:
        folder, source = data_dir_from_environment()
    except VeltraCloudError as exc:
        return f"none, since {exc}"
    return f"{folder} (from ${source})" if source == DATA_DIR_VAR else f"{folder} ({source})"


def _wrap(text: str, indent: int, width: int = 88) -> list[str]:
    """``text`` in lines of ``width``, never breaking a word such as a path, at a hyphen or otherwise."""
    import textwrap

    return textwrap.wrap(
        text,
        width=width,
        initial_indent=" " * indent,
        subsequent_indent=" " * indent,
        break_long_words=False,
        break_on_hyphens=False,
    )


def epilog(words: Sequence[str] = ()) -> str:
    """The data folder that the command line ``words`` would use, the environment variables and the exit
    codes, as ``--help`` ends with them."""
    from veltra.cloud.services.local import DEFAULT_MAX_ARCHIVE_SIZE, DEFAULT_MAX_CREDENTIAL_SIZE
    from veltra.sizes import format_size

    codes = []
    for code in ExitCode:
        lines = _wrap(code.meaning, 7)
        codes.append(f"  {code.value:<4} {lines[0].lstrip()}")
        codes.extend(lines[1:])
    folder = (
        "The embedded local service keeps deploys and connections in one SQLite file in the data folder:"
        " --data-dir DIR (a relative path is taken from the current folder), else $VELTRA_DATA_DIR (an"
        " absolute path; empty counts as unset), else the user data folder. This command line uses"
        f" {printable(_folder_in_use(words))}. It must be private: owned by you, and neither readable nor"
        " writable by other users; a new one is made with mode 0700."
    )
    return "\n".join(
        [
            "data folder:",
            *_wrap(folder, 2),
            "",
            "environment variables:",
            "  VELTRA_DATA_DIR             the data folder: an absolute path (~ is expanded); empty counts",
            "                              as unset",
            "  XDG_DATA_HOME               base of the default data folder on Linux",
            "  VELTRA_TOKEN, VELTRA_USER   the caller's token and user name sent with each request",
            "  VELTRA_MAX_ARCHIVE_SIZE     largest deploy archive the local service accepts, e.g. 200M",
            f"                              (default {format_size(DEFAULT_MAX_ARCHIVE_SIZE)})",
            "  VELTRA_MAX_CREDENTIAL_SIZE  largest credential value it accepts"
            f" (default {format_size(DEFAULT_MAX_CREDENTIAL_SIZE)})",
            "  VELTRA_DEBUG                set to any non-empty value (0 too) to see the traceback of an",
            "                              unexpected error",
            "",
            "exit codes:",
            *codes,
            "",
        ]
    )


DEPLOY_DESCRIPTION = """\
Deploy the application in the current folder to an environment.

Only src/, requirements.txt, pyproject.toml and .veltra-cli are packed; everything
else in the folder is left out, and each deploy names what it left out (the first
8 names, then how many more). The deploy writes its archive app.zip into the
folder, reads it, deletes it, then sends it.

Before anything is packed, the command refuses, with one "error:" line per
problem (every problem at once, at most 20 lines) and exit code 1:
  - a folder without src/ or requirements.txt, or where src is not a folder, or
    requirements.txt, pyproject.toml or .veltra-cli not a file;
  - an app.zip already in the folder (the deploy would overwrite it, then delete it);
  - a folder it cannot write app.zip into, a file or folder it cannot read;
  - a file name the service cannot take (not UTF-8, or holding a backslash),
    and folders nested more than 256 deep;
  - a symbolic link that points outside the project, or into a part of it that is
    not packed such as .env or .git (unless --follow-symlinks), a dangling link,
    or a link that makes a loop;
  - another deploy running in the same folder.
It checks again once you have answered the question, and it sends nothing unless
the archive holds exactly the files it checked.

Standard output carries only the deploy's own messages. The questions, the notes
(what was left out, whether this was a first deploy or a redeploy) and, on a
terminal, a live status go to standard error. "y" or "yes", in any case, answers
a question with yes; anything else, or the end of the input, declines: the
command prints "Deploy cancelled." (not an error line) and exits with 1.
"""

CHANGE_DESCRIPTION = """\
Change a connection's backend or its credentials.

--credential and --credentials-file REPLACE the connection's stored credentials as
a whole: a key you do not give again is removed (the command names the keys it
removed). To keep a key, give it again. Without them the credentials are kept.
"""

ADD_DESCRIPTION = """\
Add a connection to an environment, or to one of its deployed applications.

  veltra links add db --env dev --backend postgres --credential user=app --credential password

asks for the password on the terminal without showing it. A value written as
--credential KEY=VALUE stays in the shell's history and is visible to every user
of the machine while the command runs (ps); keep secrets to the question, or to a
file or standard input with --credentials-file.
"""

CREDENTIAL_HELP = (
    "one credential to {verb}; repeat for more. KEY alone asks for its value on the terminal without"
    " showing it; KEY=VALUE puts the value where other users can see it (ps) and the shell history"
    " keeps it. Overrides the same key from --credentials-file"
)


class _Commands:
    """Adds subcommands that share the parser's settings."""

    def __init__(self, parser: _Parser, dest: str) -> None:
        self.parser = parser
        self.group = parser.add_subparsers(dest=dest, required=True, metavar="COMMAND")

    def add(
        self,
        name: str,
        handler: str | None,
        help: str,
        description: str,
        options: Callable[[_Parser], None] | None = None,
    ) -> _Parser:
        sub: _Parser = self.group.add_parser(
            name, help=help, description=description, words=self.parser.words, epilog_text=epilog
        )
        sub.pending_options = options
        if handler is not None:
            sub.set_defaults(handler=f"veltra.cli.{handler}")
        return sub


def _env_option(parser: _Parser, what: str, *, required: bool = True) -> None:
    parser.add_argument("--env", required=required, dest="env_name", metavar="NAME", help=what)


def _app_options(parser: _Parser, what: str) -> None:
    parser.add_argument("--application-uuid", metavar="UUID", help=f"{what}, by id")
    parser.add_argument("--application-name", metavar="NAME", help=f"{what}, by name")


def _json_option(parser: _Parser) -> None:
    parser.add_argument(
        "--json", action="store_true", help="print one JSON document with stable keys instead of a table"
    )


def _credential_options(parser: _Parser, verb: str) -> None:
    parser.add_argument(
        "--credential",
        action="append",
        type=_credential,
        default=[],
        metavar="KEY[=VALUE]",
        help=CREDENTIAL_HELP.format(verb=verb),
    )
    parser.add_argument(
        "--credentials-file",
        metavar="FILE",
        help="JSON object of credential keys to string values; '-' reads it from standard input",
    )


def _deploy_options(deploy: _Parser) -> None:
    _env_option(deploy, "environment to deploy to")
    deploy.add_argument("--deploy-type", default="app", metavar="T", help="kind of deploy (default: app)")
    deploy.add_argument("--lakehouse-type", default="default", metavar="L", help="lakehouse type (default: default)")
    deploy.add_argument("--from-env", metavar="E", help="environment the deploy is promoted from")
    _app_options(deploy, "application to deploy (default: the name in pyproject.toml)")
    deploy.add_argument(
        "-y", "--yes", action="store_true", help="answer every question with yes, the redeploy question included"
    )
    deploy.add_argument(
        "--follow-symlinks",
        action="store_true",
        help="pack what symbolic links outside the project, or into a part of it that is not packed, point to,"
        " instead of refusing them (dangling links and loops are always refused)",
    )


def _deploys_list_options(history: _Parser) -> None:
    _env_option(history, "only this environment", required=False)
    _app_options(history, "only this application")
    _json_option(history)


def _links_list_options(listing: _Parser) -> None:
    _env_option(listing, "environment whose connections to list")
    _app_options(listing, "only the connections of this application")
    _json_option(listing)


def _links_add_options(add: _Parser) -> None:
    add.add_argument("connection_name", metavar="NAME", help="name of the new connection")
    _env_option(add, "environment to add the connection to")
    add.add_argument("--backend", required=True, metavar="B", help="kind of service connected to, e.g. postgres")
    _credential_options(add, "store")
    _app_options(add, "deployed application the connection belongs to (default: the whole environment)")


def _links_change_options(change: _Parser) -> None:
    change.add_argument("connection_name", metavar="NAME", help="name of the connection to change")
    _env_option(change, "environment of the connection")
    change.add_argument("--backend", metavar="B", help="new backend")
    _credential_options(change, "store; all credentials given replace all stored ones")
    _app_options(change, "application the connection belongs to")


def _links_remove_options(remove: _Parser) -> None:
    remove.add_argument("connection_name", metavar="NAME", help="name of the connection to remove")
    _env_option(remove, "environment of the connection")
    _app_options(remove, "application the connection belongs to")


def build_parser(argv: Sequence[str] | None = None) -> _Parser:
    """The parser of the ``veltra`` command; ``argv`` (by default ``sys.argv[1:]``) is what its errors hide.

    A command's options are added when that command is parsed or its help shown, so that a run
    builds only its own.
    """
    words = list(sys.argv[1:] if argv is None else argv)
    parser = _Parser(
        prog="veltra",
        description="Deploy applications and manage their connections.",
        words=words,
        epilog_text=epilog,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--data-dir",
        metavar="DIR",
        type=_data_dir,
        help="data folder of the local service (overrides VELTRA_DATA_DIR; ~ is expanded, a relative path is"
        " taken from the current folder; must not be empty)",
    )
    commands = _Commands(parser, "command")
    commands.add(
        "deploy", "deploy:deploy", "deploy the application in the current folder", DEPLOY_DESCRIPTION, _deploy_options
    )
    deploys = _Commands(
        commands.add(
            "deploys", None, "list the deploys the service has recorded", "List the deploys the service has recorded."
        ),
        "deploys_command",
    )
    deploys.add(
        "list",
        "deploys:list_deploys",
        "deploys with their application, environment, number, time and kind",
        "List deploys, oldest first per application and environment: a deploy numbered 2 or more is a"
        " redeploy. An application that was never deployed is an error, not an empty list.",
        _deploys_list_options,
    )
    links = _Commands(
        commands.add(
            "links",
            None,
            "list and manage the connections of an environment",
            "List and manage the connections of an environment.",
        ),
        "links_command",
    )
    links.add(
        "list",
        "links:list_links",
        "list connections",
        "List connections. An application that was never deployed is an error, not an empty list.",
        _links_list_options,
    )
    links.add("add", "links:add", "add a connection", ADD_DESCRIPTION, _links_add_options)
    links.add(
        "change",
        "links:change",
        "change a connection's backend or replace its credentials",
        CHANGE_DESCRIPTION,
        _links_change_options,
    )
    links.add("remove", "links:remove", "remove a connection", "Remove a connection.", _links_remove_options)
    return parser
