"""The attach action written in plain Python, for comparison in the benchmarks."""

import base64

from veltra.cloud.models.base import AttachOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase


class AttachOuterLinkAction(CloudActionBase):
    """
    Action class for adding an external connection to an environment.
    """

    def action(
        self,
        connection_name: "str",
        backend: "str",
        credentials: "dict[str, str]",
        env_name: "str",
        application_uuid: "str | None" = None,
        application_name: "str | None" = None,
    ) -> "AttachOuterLinkResponse":
        """
        Executes the action to add an external connection to an environment.
        """
        if type(connection_name) is not str:
            raise TypeError(
                f"Argument 'connection_name' has incorrect type (expected str, got {type(connection_name).__name__})"
            )
        if type(backend) is not str:
            raise TypeError(f"Argument 'backend' has incorrect type (expected str, got {type(backend).__name__})")
        if type(credentials) is not dict:
            raise TypeError(
                f"Argument 'credentials' has incorrect type (expected dict, got {type(credentials).__name__})"
            )
        if type(env_name) is not str:
            raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")
        encrypted_data = self._credentials_data()
        response_data = self.execute_transaction(
            "AttachOuterLink",
            {
                "data": base64.b64encode(encrypted_data).decode("utf-8"),
                "env_name": env_name,
                "connection_name": connection_name,
                "backend": backend,
                "credentials": credentials,
                "application_uuid": application_uuid,
                "application_name": application_name,
            },
        )
        return AttachOuterLinkResponse(**response_data)
