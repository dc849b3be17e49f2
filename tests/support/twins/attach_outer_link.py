import base64

from veltra.cloud.models.base import AttachOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase


class AttachOuterLinkAction(CloudActionBase):
    """
    Action class for adding an external connection to an environment.
    """

    def action(
        self, connection_name: "str", backend: "str", credentials: "dict[str, str]", env_name: "str",
        application_uuid: "str | None" = None, application_name: "str | None" = None,
    ) -> "AttachOuterLinkResponse":
        """
        Executes the action to add an external connection to an environment.

        Args:
            connection_name (str): The name of the connection.
            backend (str): The backend type (e.g., 'postgres', 'mysql', 'redis').
            credentials (dict[str, str]): Dictionary of connection credentials.
            env_name (str): The name of the environment.
            application_uuid (str, optional): The UUID of the application. Defaults to None.
            application_name (str, optional): The name of the application. Defaults to None.

        Returns:
            AttachOuterLinkResponse: The response containing the added connection details.
        """
        if type(connection_name) is not str: raise TypeError(f"Argument 'connection_name' has incorrect type (expected str, got {type(connection_name).__name__})")  # entry check
        if type(backend) is not str: raise TypeError(f"Argument 'backend' has incorrect type (expected str, got {type(backend).__name__})")  # entry check
        if type(credentials) is not dict: raise TypeError(f"Argument 'credentials' has incorrect type (expected dict, got {type(credentials).__name__})")  # entry check
        if type(env_name) is not str: raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")  # entry check

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

        return AttachOuterLinkResponse(**dict(response_data))
