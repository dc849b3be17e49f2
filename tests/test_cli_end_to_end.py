"""The command line against the embedded service, through the compiled actions,
as a person would use it from a shell."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SECRET = "pa55-never-shown"
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "app"


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
    assert first.stdout.startswith("Do you want to deploy your app? (y/N): Deploy is in progress now.")
    domain = first.stdout.splitlines()[-1]
    assert domain.startswith("Your API domain: https://") and domain.endswith(".env.veltra.app/")

    declined = veltra("deploy", "--env", "demo", input="y\nY\n", cwd=app)
    assert declined.returncode == 1 and "Deploy cancelled." in declined.stdout + declined.stderr
    assert "Deploy already exists. Do you want to redeploy your app? (y/N): " in declined.stdout

    again = veltra("deploy", "--env", "demo", "--yes", cwd=app)
    assert again.returncode == 0 and again.stdout.splitlines()[-1] == domain
    assert sorted(p.name for p in app.iterdir()) == ["pyproject.toml", "requirements.txt", "src"]
