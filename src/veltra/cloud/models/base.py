"""Response models of the cloud transactions.

Each model is built from a service response with ``Model(**response)``. They
are keyword-only and reject unknown fields, so a response that drifts from
what the client expects fails loudly instead of being half-read. Every field
has a default so an empty response still builds a model.

Connection models never hold credential values, only the credential key
names, so printing a model cannot leak a secret.
"""

from dataclasses import dataclass, field
from typing import Any


@dataclass(kw_only=True)
class DeployResponse:
    """Outcome of deploying an application to an environment."""

    domain_url: str = ""
    application_uuid: str = ""
    application_name: str = ""
    env_name: str = ""
    deploy_uuid: str = ""
    deploy_number: int = 0
    deploy_type: str = ""
    lakehouse_type: str = ""
    from_env: str | None = None
    status: str = ""


@dataclass(kw_only=True)
class _Connection:
    """Which connection a response speaks of."""

    env_name: str = ""
    connection_name: str = ""
    backend: str = ""
    application_uuid: str | None = None
    application_name: str | None = None


@dataclass(kw_only=True)
class _StoredConnection(_Connection):
    """A connection as the service keeps it: credential key names, never values."""

    credential_keys: list[str] = field(default_factory=list)
    created_at: str = ""
    updated_at: str = ""


@dataclass(kw_only=True)
class AttachOuterLinkResponse(_StoredConnection):
    """A connection just added to an environment."""


@dataclass(kw_only=True)
class AmendOuterLinkResponse(_StoredConnection):
    """A connection after a change; ``changed`` names the fields that were given."""

    changed: list[str] = field(default_factory=list)


@dataclass(kw_only=True)
class DetachOuterLinkResponse(_Connection):
    """A connection just removed from an environment."""

    removed: bool = False


@dataclass(kw_only=True)
class EnumerateOuterLinksResponse:
    """The connections of an environment, sorted by name.

    Each connection is a dict with the keys ``connection_name``, ``backend``,
    ``application_uuid``, ``application_name``, ``credential_keys``,
    ``created_at`` and ``updated_at``.
    """

    env_name: str = ""
    application_uuid: str | None = None
    application_name: str | None = None
    connections: list[dict[str, Any]] = field(default_factory=list)
