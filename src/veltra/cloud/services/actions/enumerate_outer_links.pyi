import base64 as base64

from veltra.cloud.models.base import EnumerateOuterLinksResponse as EnumerateOuterLinksResponse
from veltra.cloud.services.actions.base import CloudActionBase as CloudActionBase

__test__: dict[str, object]

class EnumerateOuterLinksAction(CloudActionBase):
    def action(
        self,
        env_name: str,
        application_uuid: str | None = None,
        application_name: str | None = None,
    ) -> EnumerateOuterLinksResponse: ...
