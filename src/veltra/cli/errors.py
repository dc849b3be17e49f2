"""The command's exit codes, each written once with what it means, and its own errors."""

from __future__ import annotations

import enum


class ExitCode(enum.IntEnum):
    """How the command ends; ``veltra --help`` lists these with their meanings."""

    meaning: str

    def __new__(cls, value: int, meaning: str) -> ExitCode:
        member = int.__new__(cls, value)
        member._value_ = value
        member.meaning = meaning
        return member

    OK = 0, "success; also when whoever reads the output stops early (veltra deploys list | head -1)"
    ERROR = (
        1,
        'an error, reported as one line (or one per problem) starting with "error:": the service'
        " refused a request; a file or folder is missing, unreadable or read-only; a symbolic link"
        " or a file name is refused; another deploy is running in the folder; the data folder is"
        ' not private; also a declined deploy, which prints "Deploy cancelled." instead',
    )
    USAGE = 2, "a wrong command line"
    INTERRUPTED = (
        130,
        "interrupted (Ctrl-C); an interrupted deploy removes its partial app.zip first and says"
        " whether the service had the request",
    )
    TERMINATED = 143, "terminated (SIGTERM) during a deploy, after the same clean-up"


class CliError(Exception):
    """An ordinary problem, reported as one "error:" line per line given, with exit code 1."""

    def __init__(self, *lines: str) -> None:
        super().__init__("\n".join(lines))
        self.lines = list(lines)


class UsageError(CliError):
    """A wrong command line that only the command itself can tell; exit code 2, like the parser's."""

    def __init__(self, message: str, prog: str) -> None:
        super().__init__(f"{message} (see '{prog} --help')")


class Interrupted(Exception):
    """The command was interrupted; the message says what was and was not done."""

    def __init__(self, message: str, code: ExitCode = ExitCode.INTERRUPTED) -> None:
        super().__init__(message)
        self.code = code
