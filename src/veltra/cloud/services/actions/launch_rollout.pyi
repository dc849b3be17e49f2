import base64 as base64
import shutil as shutil
import tempfile as tempfile
from pathlib import Path as Path
from typing import Any as Any

from veltra.cloud.constants import VELTRA_ENV_SUBDOMAIN as VELTRA_ENV_SUBDOMAIN
from veltra.cloud.models.base import DeployResponse as DeployResponse
from veltra.cloud.services.actions.base import CloudActionBase as CloudActionBase
from veltra.errors import VeltraCloudAlreadyDeployedError as VeltraCloudAlreadyDeployedError

__test__: dict[str, object]

class LaunchRolloutAction(CloudActionBase):
    def want_deploy_input(self) -> str: ...
    def want_redeploy_input(self) -> str: ...
    def action(
        self,
        deploy_type: str,
        lakehouse_type: str,
        env_name: str,
        from_env: str | None = None,
        application_uuid: str | None = None,
        application_name: str | None = None,
        *,
        no_input: bool = False,
    ) -> bool: ...
    def _redeploy(self, deploy_data: dict[str, Any]) -> bool: ...
