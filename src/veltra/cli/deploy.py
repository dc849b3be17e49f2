"""``veltra deploy``: pack the application in the current folder and send it, protecting the folder.

The compiled action does the packing and sending exactly as it is written to:
it writes ``app.zip`` into the folder, reads it, deletes it, sends it, and
asks its two questions through the function it is given. Around it, this
command:

* holds the folder's deploy lock (an advisory lock on the folder itself, so
  nothing is created there): a second deploy in the same folder is refused;
* checks the folder before anything is packed, and again once the user has
  answered the question, so that what was checked is what gets packed; the
  watch on the transport then sends nothing unless the archive holds exactly
  the files checked;
* asks the action's questions on standard error and reads "y", "Y", "yes" ...
  as yes at both, and prints the action's own lines, unchanged, on standard
  output (on standard error once standard output has gone);
* on Ctrl-C or SIGTERM removes the archive the action itself wrote and says
  whether the service had the request.
"""

from __future__ import annotations

import os
import signal
import sys
from contextlib import contextmanager
from pathlib import Path

from veltra.cli import output
from veltra.cli.actions import local_service, make_action
from veltra.cli.errors import CliError, ExitCode, Interrupted
from veltra.cli.project import PACKED_TEXT, Project, scan

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Iterator, Sequence
    from typing import Any, Self


class _Terminated(BaseException):
    """SIGTERM during a deploy, raised like Ctrl-C so that the same clean-up runs."""


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

    def exit_code(self, exc: BaseException) -> ExitCode | None:
        """The exit code of an interruption, or None when ``exc`` ended the deploy for another reason."""
        if isinstance(exc, _Terminated) or signal.SIGTERM in self.received:
            return ExitCode.TERMINATED
        if isinstance(exc, KeyboardInterrupt) or self.received:
            return ExitCode.INTERRUPTED
        return None

    def __exit__(self, *exc_info: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)


@contextmanager
def _folder_lock(root: Path) -> Iterator[None]:
    """Hold the folder's deploy lock for the whole deploy, or refuse: another deploy is running there.

    The lock is taken on the folder itself (``flock`` on its descriptor), so it
    creates nothing that could take the place of a file of the user's, and it
    goes with the process however that ends.
    """
    import fcntl

    try:
        fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        yield  # an unreadable folder: the checks say so
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise CliError("another deploy is running in this folder; wait for it to finish") from None
        except OSError:
            pass  # a file system without locks; the checks still hold up to the moment of packing
        yield
    finally:
        os.close(fd)


def _names(names: Sequence[str], limit: int = 8) -> str:
    shown = ", ".join(names[:limit])
    return shown + (f" and {len(names) - limit} more" if len(names) > limit else "")


def _announce(project: Project, limit: int, interactive: bool) -> None:
    """Say, on standard error, what the deploy packs, leaves out and follows, and whether it is too large."""
    from veltra.cloud.services.local import MAX_ARCHIVE_SIZE_VAR
    from veltra.sizes import format_size

    if interactive:
        output.note(f"Packing {', '.join(project.packed)}: {project.files} files, {format_size(project.size)}")
    if project.left_out:
        output.note(f"note: not packed: {_names(project.left_out)} (a deploy packs only {PACKED_TEXT})")
    for link in project.followed:
        output.note(f"note: following symbolic link {link.path} -> {link.target}, which {link.problem}")
    if project.size > limit:
        output.note(
            f"note: the sources hold {format_size(project.size)}, more than the local service accepts"
            f" ({format_size(limit)}, {MAX_ARCHIVE_SIZE_VAR}); the deploy is refused unless they compress"
            " below that"
        )


def _answer(prompt: str) -> str:
    """Ask ``prompt`` on standard error; read the answer, with "y", "Y", "yes" ... all read as "y"."""
    sys.stderr.write(prompt)
    sys.stderr.flush()
    line = sys.stdin.readline()
    if not line:
        sys.stderr.write("\n")
        raise EOFError  # the base class reads the end of input as "", which declines
    answer = line.strip().lower()
    return "y" if answer in ("y", "yes") else answer


def deploy(args: argparse.Namespace) -> int:
    from rich.console import Console

    from veltra.cli.progress import DeployStatus, DeployWatch

    root = Path.cwd()
    with _folder_lock(root):
        project = scan(root, follow_symlinks=args.follow_symlinks)
        transport = local_service(args)
        console = Console(stderr=True, highlight=False)
        _announce(project, transport.max_archive_size, console.is_terminal)
        watch = DeployWatch(transport, project)
        status = DeployStatus(console, project, watch, args.env_name)
        stdout_gone = False
        # Once the last check has passed, an app.zip in the folder is the action's own: until then,
        # one there is the user's, and a failure or an interruption must leave it alone.
        checked = args.yes

        def ask(prompt: str) -> str:
            nonlocal checked
            status.stop()
            try:
                answer = _answer(prompt)
            finally:
                status.start()
            if answer == "y" and not watch.sent:
                # The folder may have changed while the question waited: check it again, just before packing.
                watch.project = status.project = scan(root, follow_symlinks=args.follow_symlinks)
                checked = True
            return answer

        def say(text: str) -> None:
            nonlocal stdout_gone
            status.stop()
            if not stdout_gone:
                try:
                    output.line(text)
                    return
                except BrokenPipeError:
                    output.quiet_stdout()
                    stdout_gone = True
            output.note(text)  # standard output has gone; the deploy goes on, and says so here

        action = make_action("deploy", transport=watch, input_func=ask, print_func=say)
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
                removed = _remove_own_archive(project.archive) if checked else ""
                code = signals.exit_code(exc)
                if code is not None:
                    message = watch.interrupted(args.env_name) + (f" ({removed})" if removed else "")
                    raise Interrupted(message, code) from None
                if removed and isinstance(exc, Exception):
                    from veltra.cli.main import error_lines

                    lines = error_lines(exc)
                    if lines is not None:
                        raise CliError(*lines[:-1], f"{lines[-1]} ({removed})") from exc
                raise
            finally:
                status.stop()
    if done is not True:
        output.note("Deploy cancelled.")
        return ExitCode.ERROR
    details = watch.accepted or {}
    number, app = details.get("deploy_number"), details.get("application_name")
    if isinstance(number, int) and number > 1:
        output.note(
            f"Redeployed {app!r} to environment {args.env_name!r}: deploy {number} replaces deploy {number - 1}."
        )
    elif number == 1:
        output.note(
            f"First deploy of {app!r} to environment {args.env_name!r}."
            f" See it with: veltra deploys list --env {args.env_name}"
        )
    return ExitCode.OK


def _remove_own_archive(archive: Path) -> str:
    """Remove the archive the action's own call made (there was none before it); say what happened."""
    try:
        if not os.path.lexists(archive):
            return ""
        archive.unlink()
    except OSError as exc:
        return f"could not remove the partial {archive.name}: {exc.strerror}"
    return f"the partial {archive.name} was removed"
