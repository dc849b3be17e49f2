"""Which compiled action each command runs, how it is made, and the service it talks to.

The action modules are imported only when their command runs, so ``--help``
and argument errors work without them, and each command loads only its own.
"""

from __future__ import annotations

import importlib

from veltra.cli.errors import CliError

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any

    from veltra.cloud.services.local import LocalService

PACKAGE = "veltra.cloud.services.actions"

#: Command -> (action module, action class).
ACTIONS: dict[str, tuple[str, str]] = {
    "deploy": ("launch_rollout", "LaunchRolloutAction"),
    "links list": ("enumerate_outer_links", "EnumerateOuterLinksAction"),
    "links add": ("attach_outer_link", "AttachOuterLinkAction"),
    "links change": ("amend_outer_link", "AmendOuterLinkAction"),
    "links remove": ("detach_outer_link", "DetachOuterLinkAction"),
}


def make_action(command: str, **collaborators: Any) -> Any:
    """The action of ``command``, built with the given collaborators (transport, input and print functions)."""
    module, class_name = ACTIONS[command]
    qualified = f"{PACKAGE}.{module}"
    try:
        action_class = getattr(importlib.import_module(qualified), class_name)
    except ModuleNotFoundError as exc:
        if exc.name != qualified:
            raise
        raise CliError(f"action module {qualified} is not available; build the extension modules first") from None
    return action_class(**collaborators)


def local_service(args: argparse.Namespace) -> LocalService:
    """The embedded local service on the chosen data folder; a wait for its lock is a note on standard error."""
    from veltra.cli import output
    from veltra.cloud.services.local import LocalService

    return LocalService(args.data_dir, notify=lambda text: output.note(f"note: {text}"))
