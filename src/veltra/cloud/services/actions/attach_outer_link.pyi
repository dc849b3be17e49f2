import base64 as base64

from veltra.cloud.models.base import AttachOuterLinkResponse as AttachOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase as CloudActionBase

__test__: dict[str, object]

class AttachOuterLinkAction(CloudActionBase):
    def action(
        self,
        connection_name: str,
        backend: str,
        credentials: dict[str, str],
        env_name: str,
        application_uuid: str | None = None,
        application_name: str | None = None,
    ) -> AttachOuterLinkResponse: ...
