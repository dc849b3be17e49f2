"""The last check before a deploy is sent, in this process: the archive the action packed must
hold exactly the files the command checked, at the sizes it saw; the files may have changed
while the action staged them. And what the command checks and names as packed is what the
action packs."""

from __future__ import annotations

import base64
import io
import shutil
import zipfile

import pytest
from cli_support import EXAMPLE
from support.recording import recording

from veltra.cli.progress import check_archive
from veltra.cli.project import PACKED, ProjectError, scan
from veltra.cloud.services.actions.launch_rollout import LaunchRolloutAction


def packed(project_root, tmp_path) -> str:
    """Stage and pack the project as the deploy action does, and return the archive as base64 text."""
    stage = tmp_path / "stage"
    shutil.copytree(project_root / "src", stage / "app" / "src")
    shutil.copy(project_root / "requirements.txt", stage / "app" / "requirements.txt")
    archive = shutil.make_archive(str(tmp_path / "app"), "zip", stage)
    with open(archive, "rb") as handle:
        return base64.b64encode(handle.read()).decode()


@pytest.fixture
def project_root(tmp_path):
    root = tmp_path / "project"
    (root / "src" / "pkg" / "empty").mkdir(parents=True)
    (root / "src" / "pkg" / "main.py").write_text("print('hello')\n")
    (root / "src" / "big.bin").write_bytes(bytes(range(256)) * 4000)
    (root / "requirements.txt").write_text("rich\n")
    return root


@pytest.mark.parametrize(
    "change, named",
    [
        (None, None),
        (lambda root: (root / "src" / "pkg" / "late.py").write_text("x = 1\n"), "src/pkg/late.py"),
        (lambda root: (root / "src" / "pkg" / "main.py").write_text("print('changed')\n"), "src/pkg/main.py"),
        (lambda root: (root / "src" / "new").mkdir(), "src/new/"),
    ],
)
def test_an_archive_that_differs_from_what_was_checked_is_refused(project_root, tmp_path, change, named):
    project = scan(project_root)
    if change is not None:
        change(project_root)  # while the action stages the files
    text = packed(project_root, tmp_path)
    if named is None:
        check_archive(text, project)
        return
    with pytest.raises(ProjectError) as refused:
        check_archive(text, project)
    assert str(refused.value) == (
        f"the project changed while the deploy packed it: {named} is not as checked; nothing was sent, deploy again"
    )


def test_the_deploy_action_packs_exactly_what_the_command_says_it_packs(tmp_path, monkeypatch):
    # The command checks and names PACKED; the compiled action decides what it packs on its
    # own. The example application, with the optional file it lacks and one the action leaves out.
    root = tmp_path / "app"
    shutil.copytree(EXAMPLE, root)
    (root / ".veltra-cli").write_text("key=value\n")
    (root / "README.md").write_text("# not packed\n")
    monkeypatch.chdir(root)
    action = recording(LaunchRolloutAction, response={"details": {"domain_url": "https://app.example/"}})
    assert action.action("standard", "basic", "dev", no_input=True) is True
    ((_, request),) = action.transactions()
    with zipfile.ZipFile(io.BytesIO(base64.b64decode(request["zip_archive"]))) as archive:
        names = archive.namelist()
    assert {name.split("/")[0] for name in names} == {"app"}
    assert {name.split("/")[1] for name in names if name != "app/"} == set(PACKED)
