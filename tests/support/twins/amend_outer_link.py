import base64
from typing import Any

from veltra.cloud.models.base import AmendOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase


class AmendOuterLinkAction(CloudActionBase):
    """
    Class to handle the update of an external connection.

    This class provides functionality to update an external connection's backend or credentials
    for a given environment.
    """

    def action(
        self, connection_name: "str", env_name: "str", backend: "str | None" = None,
        credentials: "dict[str, Any] | None" = None, application_uuid: "str | None" = None,
        application_name: "str | None" = None,
    ) -> "AmendOuterLinkResponse":
        """
        Executes the action to update an external connection with the given parameters.

        Args:
            connection_name (str): The name of the connection to update.
            env_name (str): The name of the environment.
            backend (str | None, optional): New backend type. Defaults to None (keeps existing).
            credentials (dict[str, Any] | None, optional): New credentials dict. Defaults to None (keeps existing).
            application_uuid (str | None, optional): The UUID of the application. Defaults to None.
            application_name (str | None, optional): The name of the application. Defaults to None.

        Returns:
            AmendOuterLinkResponse: The response containing the updated connection details.
        """
        if type(connection_name) is not str: raise TypeError(f"Argument 'connection_name' has incorrect type (expected str, got {type(connection_name).__name__})")  # entry check
        if type(env_name) is not str: raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")  # entry check


        encrypted_data = self._credentials_data()
        response_data = self.execute_transaction(
            "AmendOuterLink",
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

        return AmendOuterLinkResponse(**dict(response_data))
