"""Base class of the cloud actions.

An action is a small object that asks the user what it needs, sends one or
more transactions to the cloud service and reports the outcome. This base
holds the collaborators an action talks to -- the transport, the caller's
credentials and the terminal -- so actions can be run against the embedded
local service or driven from tests with fakes.

Every action module imports this one when it is imported, so it imports no
more than it must: typing names only for the type checker (the annotations
that use them are quoted), ``json`` when the credentials are first encoded.
"""

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Mapping
    from typing import Any, Protocol

    class Transport(Protocol):
        """Anything that can carry a named transaction to the service."""

        def execute_transaction(self, name: str, data: dict[str, Any]) -> Any: ...


#: Token used when neither the constructor nor VELTRA_TOKEN provides one.
DEFAULT_TOKEN = "local-development-token"
#: User name used when the credentials do not name one.
DEFAULT_USER = "local"


class CloudActionBase:
    """Collaborators and helpers shared by every action.

    All arguments are optional:

    * ``transport`` carries transactions; by default the embedded
      :class:`~veltra.cloud.services.local.LocalService`, created on first use
      so that building an action touches nothing on disk.
    * ``credentials`` is either a token string or a mapping with ``token`` and
      optionally ``user``; by default the token comes from ``VELTRA_TOKEN``.
    * ``input_func`` and ``print_func`` talk to the user (``input``/``print``).
    """

    def __init__(
        self,
        *,
        transport: "Transport | None" = None,
        credentials: "str | Mapping[str, str] | None" = None,
        input_func: "Callable[[str], str] | None" = None,
        print_func: "Callable[[str], None] | None" = None,
    ) -> None:
        self._transport = transport
        self._credentials = credentials
        self._input_func = input_func if input_func is not None else input
        self._print_func = print_func if print_func is not None else print

    @property
    def transport(self) -> "Transport":
        """The transport in use, creating the local service if none was given."""
        if self._transport is None:
            from veltra.cloud.services.local import LocalService

            self._transport = LocalService()
        return self._transport

    def _credentials_data(self) -> bytes:
        """Return the caller's credentials as a UTF-8 JSON document.

        The document is ``{"token": ..., "user": ...}``. The token comes from
        the ``credentials`` argument, else ``VELTRA_TOKEN``, else a fixed local
        token; the user from the mapping, else ``VELTRA_USER``, else "local".
        """
        import json

        creds = self._credentials
        if creds is None or isinstance(creds, str):
            token, user = creds, None
        else:
            token, user = creds.get("token"), creds.get("user")
        payload = {
            "token": token or os.environ.get("VELTRA_TOKEN") or DEFAULT_TOKEN,
            "user": user or os.environ.get("VELTRA_USER") or DEFAULT_USER,
        }
        return json.dumps(payload, sort_keys=True).encode("utf-8")

    def execute_transaction(self, name: str, data: "dict[str, Any]") -> "Any":
        """Send transaction ``name`` with request ``data``; return the response data."""
        return self.transport.execute_transaction(name, data)

    def _input(self, prompt: str) -> str | None:
        """Ask the user; return the answer stripped, or "" at end of input.

        Answering "" at end of input makes yes/no prompts decline instead of
        crashing when the client runs without a terminal.
        """
        try:
            answer = self._input_func(prompt)
        except EOFError:
            return ""
        return None if answer is None else answer.strip()

    def _print(self, text: str) -> None:
        """Show one message to the user."""
        self._print_func(text)
