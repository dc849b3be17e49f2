"""The deploy end to end: the real base class against the embedded local service."""

from __future__ import annotations

import os

import pytest
from support.cases import REDEPLOY_PROMPT as REDEPLOY

from veltra.cloud.services.actions.launch_rollout import LaunchRolloutAction
from veltra.cloud.services.local import LocalService


class RecordingService(LocalService):
    """The local service, noting each transaction's outcome."""

    def __init__(self, data_dir):
        super().__init__(data_dir)
        self.log = []

    def execute_transaction(self, name, data):
        try:
            response = super().execute_transaction(name, data)
        except Exception as exc:
            self.log.append((name, data.get("redeploy"), type(exc).__name__))
            raise
        self.log.append((name, data.get("redeploy"), response["details"]["deploy_number"]))
        return response


@pytest.fixture
def deploy(tmp_path, monkeypatch):
    """Runs one deploy of a small application; returns (result, prompts, printed)."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    app = tmp_path / "app"
    (app / "src" / "hello").mkdir(parents=True)
    (app / "src" / "hello" / "__init__.py").write_text("print('hello')\n")
    (app / "requirements.txt").write_text("")
    (app / "pyproject.toml").write_text('[project]\nname = "hello"\n')
    monkeypatch.chdir(app)
    service = RecordingService(tmp_path / "data")

    def run(*answers, **kwargs):
        prompts, printed, replies = [], [], iter(answers)
        action = LaunchRolloutAction(
            transport=service, input_func=lambda p: prompts.append(p) or next(replies), print_func=printed.append
        )
        return action.action("standard", "basic", "dev", **kwargs), prompts, printed

    run.log = service.log
    return run


def test_deploy_then_redeploy(deploy):
    result, prompts, printed = deploy(" Y ")
    assert result is True and len(prompts) == 1
    assert sorted(os.listdir()) == ["pyproject.toml", "requirements.txt", "src"]
    domain = printed[1].removeprefix("Your API domain: ")
    assert domain.startswith("https://") and domain.endswith(".env.veltra.app/")

    assert deploy("y", "n") == (False, [prompts[0], REDEPLOY], [])
    assert deploy("y", "y")[0] is True
    assert deploy(no_input=True)[2] == printed
    assert deploy.log == [
        ("CreateAppDeploy", None, 1),
        ("CreateAppDeploy", None, "VeltraCloudAlreadyDeployedError"),
        ("CreateAppDeploy", None, "VeltraCloudAlreadyDeployedError"),
        ("CreateAppDeploy", True, 2),
        ("CreateAppDeploy", None, "VeltraCloudAlreadyDeployedError"),
        ("CreateAppDeploy", True, 3),
    ]
