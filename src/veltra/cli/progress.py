"""What a deploy is doing, as the command line sees it from outside the action.

:class:`DeployWatch` stands between the deploy action and its transport. It
passes every transaction on unchanged and notes what is sent and what the
service answers; before the first deploy request goes, it compares the
archive with the files the command checked, and sends nothing if they differ.
:class:`DeployStatus` shows a live status line on a terminal (standard error):
what is being staged, packed and sent. It reads the growing archive's size and
the watch at each refresh, so the action itself is never slowed or changed;
when standard error is not a terminal it shows nothing.
"""

from __future__ import annotations

import binascii
import io
import os
from typing import Any

from rich.console import Console
from rich.live import Live
from rich.spinner import Spinner
from rich.text import Text

from veltra.cli.project import ARCHIVE_NAME, Project, ProjectError
from veltra.errors import VeltraCloudAlreadyDeployedError
from veltra.sizes import base64_size, format_size

DEPLOY_TRANSACTION = "CreateAppDeploy"
#: The top-level folder of every entry of the deploy's archive.
ARCHIVE_ROOT = "app/"


class _Base64File(io.RawIOBase):
    """The bytes that base64 ``text`` stands for, as a seekable file that decodes only what is read.

    A zip file's directory sits at its end, so reading it this way decodes a few
    kilobytes of the archive, not all of it.
    """

    def __init__(self, text: str) -> None:
        super().__init__()
        self._text = text
        self._size = base64_size(text)
        self._pos = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._pos, io.SEEK_END: self._size}[whence]
        self._pos = max(0, base + offset)
        return self._pos

    def readinto(self, buffer: Any) -> int:
        count = max(0, min(len(buffer), self._size - self._pos))
        if count == 0:
            return 0
        first, skip = divmod(self._pos, 3)
        end = -(-(self._pos + count) // 3) * 4
        data = binascii.a2b_base64(self._text[first * 4 : end])[skip : skip + count]
        buffer[: len(data)] = data
        self._pos += len(data)
        return len(data)


def check_archive(text: object, project: Project) -> None:
    """Refuse an archive that holds anything but what ``project`` checked, at the sizes it saw.

    The checks run before packing, and the files can change while the action
    stages and packs them: a link made in a folder not yet copied, a file
    replaced or written to. What was packed is read from the zip's directory.
    An archive that is not a readable zip is left to the service to refuse.
    """
    import zipfile

    if not isinstance(text, str):
        return
    try:
        with zipfile.ZipFile(_Base64File(text)) as archive:
            entries = archive.infolist()
    except (zipfile.BadZipFile, binascii.Error, ValueError, EOFError):
        return
    changed = []
    for info in entries:
        name = info.filename
        rel = name[len(ARCHIVE_ROOT) :] if name.startswith(ARCHIVE_ROOT) else None
        if rel is None:
            same = False
        elif info.is_dir():
            same = rel == "" or rel.rstrip("/") in project.folders
        else:
            same = project.sizes.get(rel) == info.file_size
        if not same:
            changed.append(name.removeprefix(ARCHIVE_ROOT))
    if changed:
        shown = ", ".join(changed[:5]) + (f" and {len(changed) - 5} more" if len(changed) > 5 else "")
        raise ProjectError(
            f"the project changed while the deploy packed it: {shown} {'is' if len(changed) == 1 else 'are'}"
            " not as checked; nothing was sent, deploy again"
        )


class DeployWatch:
    """A transport that passes every transaction on unchanged and remembers the deploy's."""

    def __init__(self, transport: Any, project: Project) -> None:
        self.transport = transport
        self.project = project  # what was checked: the archive must hold these files, nothing else
        self.sent = False  # a deploy request has been handed to the service
        self.in_flight = False  # ... and it has not answered: the request may or may not have arrived
        self.redeploy = False  # the latest deploy request carried the redeploy flag
        self.already_deployed = False  # the service answered the first request with "already deployed"
        self.archive_size = 0
        self.accepted: dict[str, Any] | None = None  # "details" of the deploy the service accepted

    def execute_transaction(self, name: str, data: Any) -> Any:
        if name != DEPLOY_TRANSACTION or not isinstance(data, dict):
            return self.transport.execute_transaction(name, data)
        if not self.sent:
            check_archive(data.get("zip_archive"), self.project)
        self.redeploy = bool(data.get("redeploy"))
        self.archive_size = base64_size(data.get("zip_archive"))
        self.sent = self.in_flight = True
        # An interruption (BaseException) leaves in_flight set: then nobody knows whether it arrived.
        try:
            response = self.transport.execute_transaction(name, data)
        except Exception as exc:
            self.in_flight = False  # the service answered, with a refusal
            self.already_deployed = self.already_deployed or isinstance(exc, VeltraCloudAlreadyDeployedError)
            raise
        self.in_flight = False
        details = response.get("details") if isinstance(response, dict) else None
        self.accepted = details if isinstance(details, dict) else {}
        return response

    def interrupted(self, env: str) -> str:
        """What is known when the deploy is interrupted: not sent, with the service, or accepted."""
        if self.accepted is not None:
            n, app = self.accepted.get("deploy_number"), self.accepted.get("application_name")
            return f"deploy interrupted after the service accepted deploy {n} of {app!r} to environment {env!r}"
        if self.in_flight:
            return (
                "deploy interrupted while the service had the request; see whether it arrived with:"
                f" veltra deploys list --env {env}"
            )
        if self.already_deployed:
            return "deploy interrupted before redeploying; nothing was deployed"
        return "deploy interrupted; nothing was sent"


class DeployStatus:
    """A transient live status line on standard error while the deploy runs, on a terminal only."""

    def __init__(self, console: Console, project: Project, watch: DeployWatch, env_name: str) -> None:
        self.project = project
        self.watch = watch
        self.env_name = env_name
        self.seen_archive = False
        self._spinner = Spinner("dots")
        interactive = console.is_terminal and not console.is_dumb_terminal
        self._live = (
            Live(
                self,
                console=console,
                transient=True,
                refresh_per_second=8,
                redirect_stdout=False,
                redirect_stderr=False,
            )
            if interactive
            else None
        )
        self._running = False

    def text(self) -> str:
        """The current status, worked out from the archive on disk and the watch."""
        watch, project = self.watch, self.project
        what = f"{project.files} file{'s' if project.files != 1 else ''} ({format_size(project.size)})"
        if watch.accepted is not None:
            return "Deploy accepted"
        if watch.in_flight:
            verb = "Redeploying" if watch.redeploy else "Sending"
            return f"{verb} {format_size(watch.archive_size)} to environment {self.env_name!r}"
        if watch.already_deployed:
            return f"Already deployed in {self.env_name!r}; redeploying"
        try:
            written = os.stat(project.archive).st_size
        except OSError:
            written = None
        if written is not None:
            self.seen_archive = True
            return f"Packing {what} into {ARCHIVE_NAME}: {format_size(written)} written"
        if self.seen_archive:
            return "Encoding the archive"
        return f"Copying {what} to a staging folder"

    def __rich__(self) -> Spinner:
        self._spinner.text = Text(self.text() + " ...")
        return self._spinner

    def start(self) -> None:
        if self._live is not None and not self._running:
            self._live.start(refresh=True)
            self._running = True

    def stop(self) -> None:
        if self._live is not None and self._running:
            self._running = False
            self._live.stop()
