"""The commands in this process, against fake action modules: which action each command
runs, with which arguments and collaborators, and how its outcome becomes an exit code."""

import json
import sys
import types

import pytest

from veltra.cli.actions import ACTIONS, PACKAGE
from veltra.cli.main import main
from veltra.cloud.services.local import LocalService
from veltra.errors import VeltraCloudNotFoundError

SECRET = "hunter2-very-secret"


@pytest.fixture
def fake_actions(monkeypatch):
    """Install fake action modules; return the list of (class, init kwargs, args, kwargs) calls."""
    calls = []
    results = {}

    def install(module, class_name):
        class FakeAction:
            def __init__(self, **kwargs):
                self.init = kwargs

            def action(self, *args, **kwargs):
                calls.append((class_name, self.init, args, kwargs))
                result = results.get(class_name)
                if isinstance(result, Exception):
                    raise result
                return result

        monkeypatch.setitem(sys.modules, f"{PACKAGE}.{module}", types.SimpleNamespace(**{class_name: FakeAction}))

    for module, class_name in ACTIONS.values():
        install(module, class_name)
    return calls, results


@pytest.mark.parametrize(
    "result, code, message", [(True, 0, ""), (False, 1, "Deploy cancelled."), (None, 1, "Deploy cancelled.")]
)
def test_deploy_passes_arguments_and_maps_the_outcome(
    fake_actions, capsys, monkeypatch, tmp_path, result, code, message
):
    calls, results = fake_actions
    results["LaunchRolloutAction"] = result
    (tmp_path / "src").mkdir()
    (tmp_path / "requirements.txt").write_text("")
    monkeypatch.chdir(tmp_path)
    assert (
        main(
            [
                "--data-dir",
                str(tmp_path / "data"),
                "deploy",
                "--env",
                "dev",
                "--from-env",
                "test",
                "--application-name",
                "hello",
                "-y",
            ]
        )
        == code
    )
    [(name, init, args, kwargs)] = calls
    assert (name, args, kwargs) == (
        "LaunchRolloutAction",
        ("app", "default", "dev", "test", None, "hello"),
        {"no_input": True},
    )
    # The action talks to the service through a watch that passes everything on, and to the user
    # through functions that pause the live status.
    assert sorted(init) == ["input_func", "print_func", "transport"]
    assert init["transport"].transport.data_dir == tmp_path / "data"
    assert message in capsys.readouterr().err


def test_links_add_merges_credentials_and_never_prints_them(fake_actions, capsys, tmp_path):
    calls, _ = fake_actions
    creds = tmp_path / "creds.json"
    creds.write_text(json.dumps({"user": "app", "password": "old"}))
    argv = [
        "links",
        "add",
        "db",
        "--env",
        "dev",
        "--backend",
        "postgres",
        "--credentials-file",
        str(creds),
        "--credential",
        f"password={SECRET}",
        "--application-uuid",
        "u1",
    ]
    assert main(argv) == 0
    assert calls[0][2] == ("db", "postgres", {"user": "app", "password": SECRET}, "dev", "u1", None)
    out = capsys.readouterr()
    assert SECRET not in out.out + out.err and "'db'" in out.out


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--backend", "mysql"], ("db", "dev", "mysql", None, None, None)),
        (["--credential", "k=a=b"], ("db", "dev", None, {"k": "a=b"}, None, None)),
    ],
)
def test_links_change_passes_none_for_what_is_kept(fake_actions, argv, expected):
    calls, _ = fake_actions
    assert main(["links", "change", "db", "--env", "dev", *argv]) == 0
    assert calls[-1][0] == "AmendOuterLinkAction" and calls[-1][2] == expected


@pytest.mark.parametrize(
    "argv",
    [
        ["links", "change", "db", "--env", "dev"],
        ["links", "add", "db", "--env", "dev", "--backend", "pg", "--credential", f"={SECRET}"],
        ["links", "add", "db", "--env", "dev", "--backend", "pg", f"--credentials=password={SECRET}"],
    ],
)
def test_bad_credential_arguments_are_refused_without_echoing(fake_actions, capsys, argv):
    calls, _ = fake_actions
    try:
        code = main(argv)
    except SystemExit as caught:  # the parser's own refusals end the program
        code = caught.code
    assert code == 2 and calls == []
    assert SECRET not in capsys.readouterr().err


def test_links_list_prints_tab_separated_rows_into_a_pipe(fake_actions, capsys):
    _, results = fake_actions
    results["EnumerateOuterLinksAction"] = types.SimpleNamespace(
        connections=[
            {
                "connection_name": "db",
                "backend": "postgres",
                "application_uuid": None,
                "credential_keys": ["password", "user"],
            },
            {"connection_name": "store", "backend": "s3", "application_name": "hello-app", "credential_keys": []},
        ]
    )
    assert main(["links", "list", "--env", "dev"]) == 0
    assert capsys.readouterr().out.splitlines() == [  # not a terminal: tab-separated, for scripts
        "NAME\tBACKEND\tAPPLICATION\tCREDENTIAL KEYS",
        "db\tpostgres\t-\tpassword, user",
        "store\ts3\thello-app\t-",
    ]


def test_service_errors_are_reported_without_traceback(fake_actions, capsys):
    _, results = fake_actions
    results["DetachOuterLinkAction"] = VeltraCloudNotFoundError("connection 'db' in environment 'dev' does not exist")
    assert main(["links", "remove", "db", "--env", "dev"]) == 1
    err = capsys.readouterr().err
    assert err == "error: connection 'db' in environment 'dev' does not exist\n"


def test_data_dir_gives_the_action_a_local_service_on_that_folder(fake_actions, tmp_path):
    calls, _ = fake_actions
    assert main(["--data-dir", str(tmp_path), "links", "remove", "db", "--env", "dev"]) == 0
    transport = calls[0][1]["transport"]
    assert isinstance(transport, LocalService) and transport.data_dir == tmp_path


def test_missing_action_module_is_a_clear_error(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, f"{PACKAGE}.detach_outer_link", None)  # import fails as if not built
    assert main(["links", "remove", "db", "--env", "dev"]) == 1
    assert "not available" in capsys.readouterr().err
