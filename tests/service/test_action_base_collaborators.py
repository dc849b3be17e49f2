import base64
import json

import pytest

from veltra.cloud.services.actions.base import DEFAULT_TOKEN, CloudActionBase


@pytest.fixture(autouse=True)
def clean_env(monkeypatch, tmp_path):
    for var in ("VELTRA_TOKEN", "VELTRA_USER"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("VELTRA_DATA_DIR", str(tmp_path / "data"))


@pytest.mark.parametrize(
    "credentials, env, expected",
    [
        ("abc", {"VELTRA_TOKEN": "env-token"}, {"token": "abc", "user": "local"}),
        ({"token": "abc", "user": "ann"}, {"VELTRA_USER": "bob"}, {"token": "abc", "user": "ann"}),
        (None, {"VELTRA_TOKEN": "env-token", "VELTRA_USER": "bob"}, {"token": "env-token", "user": "bob"}),
        (None, {}, {"token": DEFAULT_TOKEN, "user": "local"}),
    ],
)
def test_credentials_data_precedence(monkeypatch, credentials, env, expected):
    for var, value in env.items():
        monkeypatch.setenv(var, value)
    data = CloudActionBase(credentials=credentials)._credentials_data()
    assert isinstance(data, bytes) and json.loads(data) == expected


def test_default_transport_is_the_local_service_and_accepts_the_payload(tmp_path):
    action = CloudActionBase()
    assert not (tmp_path / "data").exists()  # building an action touches nothing
    data = base64.b64encode(action._credentials_data()).decode()
    request = {"data": data, "env_name": "dev", "application_uuid": None, "application_name": None}
    assert action.execute_transaction("EnumerateOuterLinks", request)["connections"] == []
    assert (tmp_path / "data").is_dir()


def test_given_collaborators_replace_the_local_service_and_the_console(tmp_path):
    calls = []
    shown = []

    class Transport:
        def execute_transaction(self, name, data):
            calls.append((name, data))
            return {"ok": True}

    action = CloudActionBase(transport=Transport(), print_func=shown.append)
    assert action.execute_transaction("X", {"a": 1}) == {"ok": True}
    action._print("done")
    assert calls == [("X", {"a": 1})]
    assert shown == ["done"]
    assert not (tmp_path / "data").exists()  # the local service was never opened


@pytest.mark.parametrize("answer, expected", [("  yes \n", "yes"), (EOFError, ""), ("", "")])
def test_input_strips_and_declines_at_end_of_input(answer, expected):
    prompts = []

    def fake_input(prompt):
        prompts.append(prompt)
        if answer is EOFError:
            raise EOFError
        return answer

    assert CloudActionBase(input_func=fake_input)._input("Deploy? ") == expected
    assert prompts == ["Deploy? "]
