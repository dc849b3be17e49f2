"""The detach action written in plain Python, for comparison in the benchmarks."""

import base64

from veltra.cloud.models.base import DetachOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase


class DetachOuterLinkAction(CloudActionBase):
    """
    Class to handle the removal of an external connection.
    """

    def action(
        self,
        connection_name: "str",
        env_name: "str",
        application_uuid: "str | None" = None,
        application_name: "str | None" = None,
    ) -> "DetachOuterLinkResponse":
        """
        Executes the external connection removal action with the given parameters.
        """
        if type(connection_name) is not str:
            raise TypeError(
                f"Argument 'connection_name' has incorrect type (expected str, got {type(connection_name).__name__})"
            )
        if type(env_name) is not str:
            raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")
        encrypted_data = self._credentials_data()
        response_data = self.execute_transaction(
            "DetachOuterLink",
            {
                "data": base64.b64encode(encrypted_data).decode("utf-8"),
                "env_name": env_name,
                "connection_name": connection_name,
                "application_uuid": application_uuid,
                "application_name": application_name,
            },
        )
        return DetachOuterLinkResponse(**response_data)
