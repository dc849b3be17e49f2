"""Which data folder a command uses, and that its --help names that very folder: the run
itself is the oracle for what the help says."""

from __future__ import annotations

import pytest
from cli_support import one_error_line

# (options before the command, environment, the folder used under tmp_path, what chose it)
CASES = [
    (["--data-dir", "given"], {"VELTRA_DATA_DIR": "{tmp}/env"}, "work/given", "from --data-dir"),
    (["--data-dir=~/tilde"], {}, "home/tilde", "from --data-dir"),
    ([], {"VELTRA_DATA_DIR": "{tmp}/env"}, "env", "from $VELTRA_DATA_DIR"),
    ([], {"VELTRA_DATA_DIR": "~/tilde"}, "home/tilde", "from $VELTRA_DATA_DIR"),
    ([], {"VELTRA_DATA_DIR": "", "XDG_DATA_HOME": "{tmp}/xdg"}, "xdg/veltra", "the user data folder"),
]


@pytest.mark.parametrize("options, variables, folder, chosen_by", CASES)
def test_help_names_the_folder_the_command_uses(veltra, env, tmp_path, options, variables, folder, chosen_by):
    work, home = tmp_path / "work", tmp_path / "home"
    work.mkdir()
    home.mkdir()
    env.pop("XDG_DATA_HOME", None)
    extra = {"HOME": str(home), **{k: v.format(tmp=tmp_path) for k, v in variables.items()}}
    assert veltra(*options, "links", "list", "--env", "e", cwd=work, extra_env=extra).returncode == 0
    [store] = [p.relative_to(tmp_path) for p in tmp_path.rglob("service.sqlite3")]
    assert str(store.parent) == folder
    for argv in ([*options, "links", "list", "--help"], ["--help", *options]):
        shown = " ".join(veltra(*argv, cwd=work, extra_env=extra).stdout.split())
        assert f"This command line uses {tmp_path / folder} ({chosen_by})." in shown, shown


def test_a_relative_data_dir_variable_is_refused_and_the_help_says_so(veltra, tmp_path):
    extra = {"VELTRA_DATA_DIR": "data"}
    proc = veltra("links", "add", "db", "--env", "e", "--backend", "pg", extra_env=extra)
    one_error_line(proc, "VELTRA_DATA_DIR must be an absolute path, got 'data'", '"$PWD/data"')
    assert proc.returncode == 1 and not (tmp_path / "data").exists()
    shown = " ".join(veltra("--help", extra_env=extra).stdout.split())
    assert "This command line uses none, since VELTRA_DATA_DIR must be an absolute path" in shown
