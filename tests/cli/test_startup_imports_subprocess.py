"""What the command loads to start, in a pristine interpreter each time: a listing loads
neither the deploy's modules nor the heavy ones of the standard library, an action module
loads only the local layer's small modules, and the parser, the help and the deploy's
status display never load the service."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

HEAVY = {"dataclasses", "inspect", "typing", "rich", "pathlib", "shutil", "zipfile", "tomllib", "platformdirs"}


def loaded_after(code: str, tmp_path, prelude: str = "") -> set[str]:
    """The modules that running ``code`` loads in a fresh interpreter that has run ``prelude``."""
    probe = (
        f"{prelude}\nimport sys\nbefore = set(sys.modules)\n{code}\nprint(' '.join(sorted(set(sys.modules) - before)))"
    )
    done = subprocess.run(
        [sys.executable, "-c", probe],
        env={**os.environ, "VELTRA_DATA_DIR": str(tmp_path / "data")},
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    )
    return set(done.stdout.split())


def test_a_listing_loads_neither_the_deploy_nor_the_heavy_modules(tmp_path):
    loaded = loaded_after('from veltra.cli.main import main\nmain(["links", "list", "--env", "t"])', tmp_path)
    assert "veltra.cloud.services.actions.enumerate_outer_links" in loaded
    assert {name.partition(".")[0] for name in loaded} & HEAVY == set()
    assert {"veltra.cli.deploy", "veltra.cli.project", "veltra.cli.progress"} & loaded == set()


@pytest.mark.parametrize(
    "own_imports, module",
    [("base64, typing, shutil, tempfile, pathlib", "launch_rollout"), ("base64", "attach_outer_link")],
)
def test_an_action_module_loads_only_the_local_layer_beyond_its_own_imports(tmp_path, own_imports, module):
    loaded = loaded_after(f"import veltra.cloud.services.actions.{module}", tmp_path, f"import {own_imports}")
    assert {name.partition(".")[0] for name in loaded} == {"veltra"}, sorted(loaded)


def test_the_parser_help_and_status_display_never_load_the_service(tmp_path):
    code = (
        "from veltra.cli import parser, progress, output\n"
        "from veltra import sizes\n"
        "parser.build_parser([]).parse_args(['links', 'list', '--env', 't'])"
    )
    assert "veltra.cloud.services.local" not in loaded_after(code, tmp_path)
