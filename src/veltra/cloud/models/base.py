"""Response models of the cloud transactions.

Each model is built from a service response with ``Model(**response)``. They
are keyword-only and reject unknown fields, so a response that drifts from
what the client expects fails loudly instead of being half-read. Every field
has a default so an empty response still builds a model.

Connection models never hold credential values, only the credential key
names, so printing a model cannot leak a secret.

The models behave as keyword-only data classes (fields, defaults, ``repr``,
equality) but are built by :class:`_Model` rather than :mod:`dataclasses`:
every action module imports this one, and ``dataclasses`` alone (through
``inspect``) costs each command several times what the rest of its start-up
does. For the same reason the names that only annotations use are imported for
the type checker alone, and those annotations are quoted.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, ClassVar


class _Model:
    """Fields are the annotated class attributes, base classes' first; each value defaults to its attribute.

    A list default is copied for each instance, so instances never share one.
    """

    _fields: "ClassVar[tuple[str, ...]]" = ()
    #: Every field with its default, in field order (set for each model class); the fields whose default is a list.
    _defaults: "ClassVar[dict[str, Any]]"
    _copied: "ClassVar[tuple[str, ...]]" = ()

    def __init_subclass__(cls) -> None:
        super().__init_subclass__()
        own = tuple(name for name in vars(cls).get("__annotations__", {}) if not name.startswith("_"))
        cls._fields = (*cls._fields, *(name for name in own if name not in cls._fields))
        cls._defaults = {name: getattr(cls, name) for name in cls._fields}
        cls._copied = tuple(name for name, value in cls._defaults.items() if isinstance(value, list))

    def __init__(self, **fields: "Any") -> None:
        values = self.__dict__
        values.update(self._defaults)
        if fields:
            if not fields.keys() <= values.keys():
                # A loop, not a generator expression: when allocations fail, CPython 3.12 can crash
                # finalizing the generator, and the actions build models while memory may be short.
                for name in fields:
                    if name not in values:
                        raise TypeError(
                            f"{type(self).__qualname__}.__init__() got an unexpected keyword argument {name!r}"
                        )
            values.update(fields)
        for name in self._copied:
            if name not in fields:
                values[name] = list(values[name])

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._fields)
        return f"{type(self).__qualname__}({shown})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self._fields)

    __hash__ = None  # type: ignore[assignment]  # mutable, compared by value


class DeployResponse(_Model):
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


class _Connection(_Model):
    """Which connection a response speaks of."""

    env_name: str = ""
    connection_name: str = ""
    backend: str = ""
    application_uuid: str | None = None
    application_name: str | None = None


class _StoredConnection(_Connection):
    """A connection as the service keeps it: credential key names, never values."""

    credential_keys: list[str] = []  # noqa: RUF012  # copied for each instance
    created_at: str = ""
    updated_at: str = ""


class AttachOuterLinkResponse(_StoredConnection):
    """A connection just added to an environment."""


class AmendOuterLinkResponse(_StoredConnection):
    """A connection after a change; ``changed`` names the fields that were given."""

    changed: list[str] = []  # noqa: RUF012  # copied for each instance


class DetachOuterLinkResponse(_Connection):
    """A connection just removed from an environment."""

    removed: bool = False


class EnumerateOuterLinksResponse(_Model):
    """The connections of an environment, sorted by name.

    Each connection is a dict with the keys ``connection_name``, ``backend``,
    ``application_uuid``, ``application_name``, ``credential_keys``,
    ``created_at``, ``updated_at`` and ``problem`` (None, or why the stored
    connection cannot be read in full).
    """

    env_name: str = ""
    application_uuid: str | None = None
    application_name: str | None = None
    connections: "list[dict[str, Any]]" = []  # noqa: RUF012  # copied for each instance
