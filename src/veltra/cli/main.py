"""``main()``: parse the command line and run the command; ``run()``: the one place exceptions become exit codes."""

from __future__ import annotations

import importlib
import os
import sys

from veltra.cli import output
from veltra.cli.errors import CliError, ExitCode, Interrupted, UsageError

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``veltra`` command; return its exit code."""
    from veltra.cli.parser import build_parser

    args = build_parser(argv).parse_args(argv)
    return run(args)


def run(args: argparse.Namespace) -> int:
    """Run the command that ``args`` names and return its exit code.

    Every way a command can end is mapped here and nowhere else: an ordinary
    error is its "error:" lines, an interruption the line that says what was
    done, standard output gone is a quiet ending (whoever read it has what they
    wanted), and anything unexpected one line, or its traceback with
    VELTRA_DEBUG set.
    """
    module, _, name = args.handler.partition(":")
    handler = getattr(importlib.import_module(module), name)
    try:
        code: int = handler(args)
        sys.stdout.flush()
        return code
    except Interrupted as exc:
        output.note(str(exc))
        return exc.code
    except KeyboardInterrupt:
        output.note("interrupted")
        return ExitCode.INTERRUPTED
    except BrokenPipeError:
        output.quiet_stdout()
        return ExitCode.OK
    except Exception as exc:
        lines = error_lines(exc)
        if lines is None:
            if os.environ.get("VELTRA_DEBUG"):
                raise
            lines = [f"unexpected {type(exc).__name__}: {exc} (set VELTRA_DEBUG=1 to see where)"]
        for line in lines:
            output.error(line)
        return ExitCode.USAGE if isinstance(exc, UsageError) else ExitCode.ERROR


def error_lines(exc: BaseException) -> list[str] | None:
    """The lines that report an ordinary error (each after "error: "); None for an unexpected one."""
    from veltra.errors import VeltraCloudError

    if isinstance(exc, CliError):
        return exc.lines
    if isinstance(exc, VeltraCloudError):
        return [str(exc)]
    if isinstance(exc, OSError):
        return [_describe_os_error(exc)]
    return None


def _describe_os_error(exc: OSError) -> str:
    """One line for a failed file operation: what failed, and on which file."""
    import shutil

    if isinstance(exc, shutil.Error) and exc.args and isinstance(exc.args[0], list) and exc.args[0]:
        failures = exc.args[0]
        source, _, why = failures[0]
        more = f" (and {len(failures) - 1} more files)" if len(failures) > 1 else ""
        return f"cannot copy {source}: {why}{more}"
    what = exc.strerror or str(exc)
    if exc.filename is not None:
        return f"{what}: {exc.filename}"
    return what
