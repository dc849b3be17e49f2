import base64

from veltra.cloud.models.base import EnumerateOuterLinksResponse
from veltra.cloud.services.actions.base import CloudActionBase


class EnumerateOuterLinksAction(CloudActionBase):
    """
    Class to handle the listing of external connections.

    This class provides functionality to list external connections for a given environment.
    """

    def action(
        self, env_name: "str", application_uuid: "str | None" = None, application_name: "str | None" = None
    ) -> "EnumerateOuterLinksResponse":
        """
        Executes the action to list external connections with the given parameters.

        Args:
            env_name (str): The name of the environment.
            application_uuid (str | None, optional): The UUID of the application. Defaults to None.
            application_name (str | None, optional): The name of the application. Defaults to None.

        Returns:
            EnumerateOuterLinksResponse: The response containing the list of external connections.
        """
        if type(env_name) is not str: raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")  # entry check


        encrypted_data = self._credentials_data()
        response_data = self.execute_transaction(
            "EnumerateOuterLinks",
            {
                "data": base64.b64encode(encrypted_data).decode("utf-8"),
                "env_name": env_name,
                "application_uuid": application_uuid,
                "application_name": application_name,
            },
        )

        return EnumerateOuterLinksResponse(**dict(response_data))
