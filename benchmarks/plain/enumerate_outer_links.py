"""The listing action written in plain Python, for comparison in the benchmarks."""

import base64

from veltra.cloud.models.base import EnumerateOuterLinksResponse
from veltra.cloud.services.actions.base import CloudActionBase


class EnumerateOuterLinksAction(CloudActionBase):
    """
    Class to handle the listing of external connections.
    """

    def action(
        self, env_name: "str", application_uuid: "str | None" = None, application_name: "str | None" = None
    ) -> "EnumerateOuterLinksResponse":
        """
        Executes the action to list external connections with the given parameters.
        """
        if type(env_name) is not str:
            raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")
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
        return EnumerateOuterLinksResponse(**response_data)
