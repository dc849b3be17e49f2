"""Errors raised by the cloud service and the client.

Every error the service raises is a :class:`VeltraCloudError`, so callers
(the command line in particular) can report them all in one place.
"""


class VeltraCloudError(Exception):
    """Base class of every error reported by the cloud service."""


class VeltraCloudRequestError(VeltraCloudError):
    """The request is malformed: a missing, unknown or invalid field."""


class VeltraCloudAuthError(VeltraCloudRequestError):
    """The request's credentials payload ("data") is missing or unusable."""


class VeltraCloudNotFoundError(VeltraCloudError):
    """The request names something (a connection, an application) that does not exist."""


class VeltraCloudConflictError(VeltraCloudError):
    """The request clashes with what already exists, e.g. a duplicate connection."""


class VeltraCloudAlreadyDeployedError(VeltraCloudError):
    """The application is already deployed in the environment and no redeploy was asked for."""


class VeltraCloudTooLargeError(VeltraCloudRequestError):
    """An archive or a credential value is larger than the service accepts; nothing was stored."""
