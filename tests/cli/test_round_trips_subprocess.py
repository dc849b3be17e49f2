"""The command line against the embedded service, through the compiled actions,
as a person would use it from a shell."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest
from cli_support import EXAMPLE
from support.cases import DEPLOY_PROMPT, REDEPLOY_PROMPT

SECRET = "pa55-never-shown"


@pytest.fixture
def veltra(tmp_path):
    env = {**os.environ, "VELTRA_DATA_DIR": str(tmp_path / "data")}

    def run(*argv: str, input: str | None = None, cwd=None) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-m", "veltra", *argv],
            capture_output=True,
            text=True,
            env=env,
            input=input,
            cwd=cwd or tmp_path,
            timeout=120,
        )

    return run


def test_connections_round_trip(veltra):
    add = veltra(
        "links",
        "add",
        "db",
        "--env",
        "demo",
        "--backend",
        "postgres",
        "--credential",
        "user=app",
        "--credential",
        f"password={SECRET}",
    )
    assert add.returncode == 0, add.stderr
    again = veltra("links", "add", "db", "--env", "demo", "--backend", "redis", "--credential", "k=v")
    assert again.returncode == 1 and "db" in again.stderr and "demo" in again.stderr
    assert "Traceback" not in again.stderr

    listed = veltra("links", "list", "--env", "demo")
    assert listed.returncode == 0
    assert "postgres" in listed.stdout and "password, user" in listed.stdout

    change = veltra("links", "change", "db", "--env", "demo", "--backend", "mysql")
    assert change.returncode == 0, change.stderr
    assert "mysql" in veltra("links", "list", "--env", "demo").stdout

    assert veltra("links", "remove", "db", "--env", "demo").returncode == 0
    gone = veltra("links", "remove", "db", "--env", "demo")
    assert gone.returncode == 1 and "db" in gone.stderr
    assert "No connections." in veltra("links", "list", "--env", "demo").stdout

    for proc in (add, again, listed, change, gone):
        assert SECRET not in proc.stdout + proc.stderr


def test_deploy_with_prompts_then_redeploy(veltra, tmp_path):
    app = tmp_path / "app"
    shutil.copytree(EXAMPLE, app)
    first = veltra("deploy", "--env", "demo", input="Y\n", cwd=app)
    assert first.returncode == 0, first.stderr
    assert first.stderr.startswith(DEPLOY_PROMPT)  # the question goes to standard error, the result to standard output
    [progress, domain] = first.stdout.splitlines()
    assert progress.startswith("Deploy is in progress now.")
    assert domain.startswith("Your API domain: https://") and domain.endswith(".env.veltra.app/")

    declined = veltra("deploy", "--env", "demo", input="y\nn\n", cwd=app)
    assert (declined.returncode, declined.stdout) == (1, "")
    assert REDEPLOY_PROMPT in declined.stderr and declined.stderr.endswith("Deploy cancelled.\n")

    again = veltra("deploy", "--env", "demo", input="y\nY\n", cwd=app)  # Y is yes at both questions
    assert again.returncode == 0, again.stderr
    assert again.stdout.splitlines()[-1] == domain and "deploy 2 replaces deploy 1" in again.stderr
    assert sorted(p.name for p in app.iterdir()) == ["pyproject.toml", "requirements.txt", "src"]
