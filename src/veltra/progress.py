"""What a deploy is doing, as the command line sees it from outside the action.

:class:`DeployWatch` stands between the deploy action and its transport and
notes what is sent and what the service answers, without changing either.
:class:`DeployStatus` shows a live status line on a terminal (standard error):
what is being staged, packed and sent. It reads the growing archive's size and
the watch at each refresh, so the action itself is never slowed or changed;
when standard error is not a terminal it shows nothing.
"""

from __future__ import annotations

import os
from typing import Any

from rich.console import Console
from rich.live import Live
from rich.spinner import Spinner
from rich.text import Text

from veltra.cloud.services.local import format_size
from veltra.errors import VeltraCloudAlreadyDeployedError
from veltra.project import ARCHIVE_NAME, Project

DEPLOY_TRANSACTION = "CreateAppDeploy"


def base64_size(text: Any) -> int:
    """Bytes that base64 ``text`` decodes to, without decoding it."""
    if not isinstance(text, str):
        return 0
    return len(text) // 4 * 3 - (len(text[-2:]) - len(text[-2:].rstrip("=")))


class DeployWatch:
    """A transport that passes every transaction on unchanged and remembers the deploy's."""

    def __init__(self, transport: Any) -> None:
        self.transport = transport
        self.sending = False  # a deploy request is with the service right now
        self.redeploy = False  # the latest deploy request carried the redeploy flag
        self.already_deployed = False  # the service answered the first request with "already deployed"
        self.archive_size = 0
        self.accepted: dict[str, Any] | None = None  # "details" of the deploy the service accepted

    def execute_transaction(self, name: str, data: Any) -> Any:
        if name != DEPLOY_TRANSACTION or not isinstance(data, dict):
            return self.transport.execute_transaction(name, data)
        self.redeploy = bool(data.get("redeploy"))
        self.archive_size = base64_size(data.get("zip_archive"))
        self.sending = True
        try:
            response = self.transport.execute_transaction(name, data)
        except Exception as exc:
            self.already_deployed = self.already_deployed or isinstance(exc, VeltraCloudAlreadyDeployedError)
            raise
        finally:
            self.sending = False
        details = response.get("details") if isinstance(response, dict) else None
        self.accepted = details if isinstance(details, dict) else {}
        return response


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
        if watch.sending:
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
