import base64 as base64

from veltra.cloud.models.base import DetachOuterLinkResponse as DetachOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase as CloudActionBase

__test__: dict[str, object]

class DetachOuterLinkAction(CloudActionBase):
    def action(
        self,
        connection_name: str,
        env_name: str,
        application_uuid: str | None = None,
        application_name: str | None = None,
    ) -> DetachOuterLinkResponse: ...
