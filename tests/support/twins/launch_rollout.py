import base64
import shutil
import tempfile
from pathlib import Path
from typing import Any

from veltra.cloud.constants import VELTRA_ENV_SUBDOMAIN
from veltra.cloud.models.base import DeployResponse
from veltra.cloud.services.actions.base import CloudActionBase
from veltra.errors import VeltraCloudAlreadyDeployedError


class LaunchRolloutAction(CloudActionBase):
    """
    Class to handle the creation of a deploy action.
    """

    def want_deploy_input(self) -> "str":
        """
        Prompts the user to confirm if they want to deploy the app.

        Returns:
            str: The user's input, stripped of leading and trailing whitespace.
        """
        if type(self := self._input("Do you want to deploy your app? (y/N): ")) is not str and self is not None: raise TypeError(f"Expected unicode, got {type(self).__name__}")  # return check
        return self  # the answer: the method has no local variable of its own to keep it in
    def want_redeploy_input(self) -> "str":
        """
        Prompts the user to confirm if they want to redeploy the app.

        Returns:
            str: The user's input, stripped of leading and trailing whitespace.
        """
        if type(self := self._input("Deploy already exists. Do you want to redeploy your app? (y/N): ")) is not str and self is not None: raise TypeError(f"Expected unicode, got {type(self).__name__}")  # return check
        return self
    def action(
        self, deploy_type: "str", lakehouse_type: "str", env_name: "str", from_env: "str | None" = None,
        application_uuid: "str | None" = None, application_name: "str | None" = None, *, no_input: "bool" = False,
    ) -> "bool":
        """
        Executes the deploy action with the given parameters.

        Args:
            deploy_type (str): The type of deploy to perform.
            lakehouse_type (str): The type of lakehouse to deploy.
            env_name (str): The name of the environment to deploy to.
            from_env (str | None, optional): The environment to deploy from. Defaults to None.
            application_uuid (str | None, optional): The UUID of the application. Defaults to None.
            application_name (str | None, optional): The name of the application. Defaults to None.
            no_input (bool, optional): If True, skips user input prompts. Defaults to False.

        Returns:
            bool: True if the deploy action was successful, False otherwise.
        """
        if type(deploy_type) is not str: raise TypeError(f"Argument 'deploy_type' has incorrect type (expected str, got {type(deploy_type).__name__})")  # entry check
        if type(lakehouse_type) is not str: raise TypeError(f"Argument 'lakehouse_type' has incorrect type (expected str, got {type(lakehouse_type).__name__})")  # entry check
        if type(env_name) is not str: raise TypeError(f"Argument 'env_name' has incorrect type (expected str, got {type(env_name).__name__})")  # entry check




        if not no_input:
            want_to_signup = self.want_deploy_input()

            if want_to_signup.lower() != "y":
                return False

        with tempfile.TemporaryDirectory() as temp_dir:
            app_dir = Path(temp_dir) / "app"
            shutil.copytree("src", app_dir / "src")
            shutil.copy("requirements.txt", app_dir / "requirements.txt")

            if Path("pyproject.toml").exists():
                shutil.copy("pyproject.toml", app_dir / "pyproject.toml")

            if Path(".veltra-cli").exists():
                shutil.copy(".veltra-cli", app_dir / ".veltra-cli")

            shutil.make_archive("app", "zip", temp_dir)

        with open("app.zip", "rb") as f:
            _data = base64.b64encode(f.read()).decode("utf-8")

        Path("app.zip").unlink(missing_ok=True)

        encrypted_data = self._credentials_data()

        deploy_data = {"data": base64.b64encode(encrypted_data).decode("utf-8"), "zip_archive": _data,
            "deploy_type": deploy_type,
            "env_name": env_name,
            "from_env": from_env,
            "lakehouse_type": lakehouse_type,
            "application_uuid": application_uuid,
            "application_name": application_name,
        }


        try:
            response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
        except VeltraCloudAlreadyDeployedError:
            if not no_input and self.want_redeploy_input() != "y":
                return False

            return self._redeploy(deploy_data)

        deploy_response = DeployResponse(**dict(response_data["details"]))


        domain_url = deploy_response.domain_url or (
            f"https://{deploy_response.application_uuid}.{VELTRA_ENV_SUBDOMAIN}.veltra.app/"
        )

        self._print("Deploy is in progress now. After a few minutes, you can check the status of your deploy.")
        self._print(f"Your API domain: {domain_url}")
        return True


    def _redeploy(self, deploy_data: "dict[str, Any]") -> "bool":
        if type(deploy_data) is dict: deploy_data["redeploy"] = True
        else: raise TypeError(f"Argument 'deploy_data' has incorrect type (expected dict, got {type(deploy_data).__name__})")  # entry check
        response_data = self.execute_transaction("CreateAppDeploy", deploy_data)

        deploy_response = DeployResponse(**dict(response_data["details"]))


        domain_url = deploy_response.domain_url or (
            f"https://{deploy_response.application_uuid}.{VELTRA_ENV_SUBDOMAIN}.veltra.app/"
        )

        self._print("Deploy is in progress now. After a few minutes, you can check the status of your deploy.")
        self._print(f"Your API domain: {domain_url}")
        return True
