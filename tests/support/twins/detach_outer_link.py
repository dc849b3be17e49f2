import base64

from veltra.cloud.models.base import DetachOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase


class DetachOuterLinkAction(CloudActionBase):
    """
    Class to handle the removal of an external connection.

    This class provides functionality to remove a specified external connection
    from a given environment.
    """

    def action(
        self, connection_name: "str", env_name: "str", application_uuid: "str | None" = None,
        application_name: "str | None" = None,
    ) -> "DetachOuterLinkResponse":
        """
        Executes the external connection removal action with the given parameters.

        Args:
            connection_name (str): The name of the connection to remove.
            env_name (str): The name of the environment.
            application_uuid (str | None, optional): The UUID of the application. Defaults to None.
            application_name (str | None, optional): The name of the application. Defaults to None.

        Returns:
            DetachOuterLinkResponse: The response containing the removed connection details.
        """
        if type(connection_name) is not str: raise TypeError(f"Argument 'connection_name' has incorrect type (expected str, got {type(connection_name).__name__})")  # entry check
        if type(env_name) is not str: raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")  # entry check

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

        return DetachOuterLinkResponse(**dict(response_data))
