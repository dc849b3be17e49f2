import base64 as base64
from typing import Any as Any

from veltra.cloud.models.base import AmendOuterLinkResponse as AmendOuterLinkResponse
from veltra.cloud.services.actions.base import CloudActionBase as CloudActionBase

__test__: dict[str, object]

class AmendOuterLinkAction(CloudActionBase):
    def action(
        self,
        connection_name: str,
        env_name: str,
        backend: str | None = None,
        credentials: dict[str, Any] | None = None,
        application_uuid: str | None = None,
        application_name: str | None = None,
    ) -> AmendOuterLinkResponse: ...
