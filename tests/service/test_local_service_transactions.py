import base64
import json
from pathlib import Path

import pytest
from support.service_requests import APP_UUID, DATA, b64, zip_bytes

from veltra.cloud.constants import VELTRA_ENV_SUBDOMAIN
from veltra.cloud.models import base as models
from veltra.cloud.services import local
from veltra.cloud.services.local import LocalService, default_data_dir, list_deploys
from veltra.errors import (
    VeltraCloudAlreadyDeployedError,
    VeltraCloudAuthError,
    VeltraCloudConflictError,
    VeltraCloudError,
    VeltraCloudNotFoundError,
    VeltraCloudRequestError,
    VeltraCloudTooLargeError,
)

SECRET = "hunter2-very-secret"


def zip_b64(entries: dict[str, str]) -> str:
    return b64(zip_bytes(entries))


APP_ZIP = zip_b64({"app/pyproject.toml": '[project]\nname = "hello-app"\n', "app/src/main.py": "x = 1\n"})

DEFAULTS = {
    "EnumerateOuterLinks": dict(env_name="dev", application_uuid=None, application_name=None),
    "AttachOuterLink": dict(
        env_name="dev",
        connection_name="db",
        backend="postgres",
        credentials={"password": SECRET},
        application_uuid=None,
        application_name=None,
    ),
    "AmendOuterLink": dict(
        env_name="dev",
        connection_name="db",
        backend=None,
        credentials=None,
        application_uuid=None,
        application_name=None,
    ),
    "DetachOuterLink": dict(env_name="dev", connection_name="db", application_uuid=None, application_name=None),
    "CreateAppDeploy": dict(
        zip_archive=APP_ZIP,
        deploy_type="app",
        env_name="dev",
        from_env=None,
        lakehouse_type="default",
        application_uuid=None,
        application_name=None,
    ),
    "ListDeploys": dict(env_name=None, application_uuid=None, application_name=None),
}
MODELS = {
    "EnumerateOuterLinks": models.EnumerateOuterLinksResponse,
    "AttachOuterLink": models.AttachOuterLinkResponse,
    "AmendOuterLink": models.AmendOuterLinkResponse,
    "DetachOuterLink": models.DetachOuterLinkResponse,
}


@pytest.fixture
def service(tmp_path):
    return LocalService(tmp_path / "data")


def send(service, name, **fields):
    return service.execute_transaction(name, {"data": DATA, **DEFAULTS[name], **fields})


def listed(service, **fields):
    return send(service, "EnumerateOuterLinks", **fields)["connections"]


def test_connection_lifecycle_persists_and_never_returns_secrets(service, tmp_path):
    responses = [send(service, "AttachOuterLink")]
    responses.append(send(service, "AmendOuterLink", backend="mysql"))
    again = LocalService(tmp_path / "data")  # a later process on the same folder
    responses.append(send(again, "EnumerateOuterLinks"))
    assert [(c["connection_name"], c["backend"], c["credential_keys"]) for c in listed(again)] == [
        ("db", "mysql", ["password"])
    ]
    responses.append(send(again, "DetachOuterLink"))
    assert listed(service) == []
    for (name, model), response in zip(
        MODELS.items(), [responses[2], responses[0], responses[1], responses[3]], strict=True
    ):
        model(**response)  # every response fits its model
        assert SECRET not in json.dumps(response), name


def test_amend_keeps_what_is_not_given_and_replaces_credentials(service):
    send(service, "AttachOuterLink", credentials={"user": "u", "password": SECRET})
    response = send(service, "AmendOuterLink", credentials={"token": "x"})
    assert (response["backend"], response["credential_keys"], response["changed"]) == (
        "postgres",
        ["token"],
        ["credentials"],
    )


@pytest.mark.parametrize(
    "name, fields, error, words",
    [
        (
            "AttachOuterLink",
            {"backend": "s3", "credentials": {"k": "v"}},
            VeltraCloudConflictError,
            ["'db'", "'dev'", "already exists"],
        ),
        (
            "AmendOuterLink",
            {"connection_name": "cache", "backend": "redis"},
            VeltraCloudNotFoundError,
            ["'cache'", "'dev'"],
        ),
        ("DetachOuterLink", {"env_name": "prod"}, VeltraCloudNotFoundError, ["'db'", "'prod'"]),
        ("AmendOuterLink", {}, VeltraCloudRequestError, ["nothing to change"]),
    ],
)
def test_refusals_name_the_connection_and_change_nothing(service, name, fields, error, words):
    send(service, "AttachOuterLink")
    with pytest.raises(error) as caught:
        send(service, name, **fields)
    assert all(word in str(caught.value) for word in words)
    assert [(c["backend"], c["credential_keys"]) for c in listed(service)] == [("postgres", ["password"])]


def test_application_scope_separates_connections_and_narrows_listing(service):
    details = send(service, "CreateAppDeploy")["details"]
    send(service, "AttachOuterLink")
    send(service, "AttachOuterLink", application_name="hello-app", backend="s3")
    scoped = listed(service, application_name="hello-app")
    assert [(c["backend"], c["application_name"]) for c in scoped] == [("s3", "hello-app")]
    assert [c["application_uuid"] for c in listed(service)] == [None, details["application_uuid"]]
    for name in ("EnumerateOuterLinks", "ListDeploys"):  # a mistyped name is not an empty list
        with pytest.raises(VeltraCloudNotFoundError, match="'no-such-app' is unknown"):
            send(service, name, application_name="no-such-app")


@pytest.mark.parametrize("app", [{"application_name": "hello-ap"}, {"application_uuid": APP_UUID}])
def test_a_connection_for_an_application_never_deployed_is_refused(service, app):
    send(service, "CreateAppDeploy")
    with pytest.raises(VeltraCloudNotFoundError, match="does not exist; deploy it first"):
        send(service, "AttachOuterLink", **app)
    assert listed(service) == []


@pytest.mark.parametrize("not_a_redeploy", [{}, {"redeploy": None}, {"redeploy": False}])  # null: not given
def test_deploy_redeploy_and_url(service, not_a_redeploy):
    first = models.DeployResponse(**send(service, "CreateAppDeploy", **not_a_redeploy)["details"])
    assert first.application_name == "hello-app"
    assert first.domain_url.startswith(f"https://{first.application_uuid}.{VELTRA_ENV_SUBDOMAIN}.")
    with pytest.raises(VeltraCloudAlreadyDeployedError, match=r"hello-app.*already deployed.*'dev'"):
        send(service, "CreateAppDeploy", **not_a_redeploy)
    second = send(service, "CreateAppDeploy", redeploy=True)["details"]
    assert (second["application_uuid"], second["deploy_number"]) == (first.application_uuid, 2)
    assert send(service, "CreateAppDeploy", env_name="prod")["details"]["deploy_number"] == 1


@pytest.mark.parametrize(
    "fields, expected_name",
    [
        ({"application_name": "named"}, "named"),
        ({"application_uuid": APP_UUID.upper()}, "hello-app"),
        ({"zip_archive": zip_b64({"app/main.py": ""})}, "app"),
        ({"zip_archive": zip_b64({"app/pyproject.toml": "[tool.x]\n", "app/a.py": ""})}, "app"),
    ],
)
def test_deploy_identifies_the_application(service, fields, expected_name):
    details = send(service, "CreateAppDeploy", **fields)["details"]
    assert details["application_name"] == expected_name
    if "application_uuid" in fields:
        assert details["application_uuid"] == APP_UUID


@pytest.mark.parametrize(
    "archive, words",
    [
        ("not base64!", "base64"),
        (base64.b64encode(b"plain text").decode(), "not a readable zip"),
        (zip_b64({"app/a.py": "", "../evil.py": ""}), "../evil.py"),
        (zip_b64({"/etc/passwd": ""}), "outside"),
        (zip_b64({"app/../../x": ""}), "outside"),
        (zip_b64({"src/a.py": ""}), "outside"),
        (zip_b64({"app/..\\evil.py": ""}), "outside"),
        (zip_b64({"app/": ""}), "no files"),
        (zip_b64({"app/pyproject.toml": "[project\n", "app/a.py": ""}), "not valid TOML"),
    ],
)
def test_bad_archives_are_refused_and_nothing_is_stored(service, archive, words):
    with pytest.raises(VeltraCloudRequestError, match=words.replace(".", r"\.")):
        send(service, "CreateAppDeploy", zip_archive=archive)
    assert send(service, "CreateAppDeploy")["details"]["deploy_number"] == 1


def test_failure_mid_transaction_rolls_everything_back(service, monkeypatch):
    def broken(_uuid):
        raise RuntimeError("boom")

    monkeypatch.setattr(local, "domain_url", broken)
    with pytest.raises(RuntimeError):
        send(service, "CreateAppDeploy", application_name="fresh")
    monkeypatch.undo()
    # Neither the application nor the deploy survived: a plain deploy is the first one.
    assert send(service, "CreateAppDeploy", application_name="fresh")["details"]["deploy_number"] == 1


@pytest.mark.parametrize(
    "name, fields, error, words",
    [
        ("Launch", {}, VeltraCloudRequestError, "unknown transaction"),
        ("EnumerateOuterLinks", {"data": 5}, VeltraCloudAuthError, "data"),
        ("EnumerateOuterLinks", {"data": "%%%"}, VeltraCloudAuthError, "base64"),
        ("EnumerateOuterLinks", {"data": base64.b64encode(b'{"user": "x"}').decode()}, VeltraCloudAuthError, "token"),
        ("EnumerateOuterLinks", {"extra": 1}, VeltraCloudRequestError, "unknown key.*extra"),
        ("EnumerateOuterLinks", {"env_name": b"dev"}, VeltraCloudRequestError, "JSON"),
        ("EnumerateOuterLinks", {"env_name": "dev env"}, VeltraCloudRequestError, "env_name"),
        ("EnumerateOuterLinks", {"application_uuid": "abc"}, VeltraCloudRequestError, "UUID"),
        ("AttachOuterLink", {"credentials": {"password": 7}}, VeltraCloudRequestError, "password"),
        ("CreateAppDeploy", {"redeploy": "yes"}, VeltraCloudRequestError, "redeploy"),
    ],
)
def test_unusable_requests_are_refused(service, name, fields, error, words):
    defaults = DEFAULTS.get(name, {})
    with pytest.raises(error, match=words):
        service.execute_transaction(name, {"data": DATA, **defaults, **fields})


def test_missing_key_and_name_mismatch_are_refused(service):
    request = {"data": DATA, **DEFAULTS["DetachOuterLink"]}
    del request["application_name"]
    with pytest.raises(VeltraCloudRequestError, match=r"missing key.*application_name"):
        service.execute_transaction("DetachOuterLink", request)
    send(service, "CreateAppDeploy", application_uuid=APP_UUID)
    with pytest.raises(VeltraCloudConflictError, match="hello-app"):
        send(service, "EnumerateOuterLinks", application_uuid=APP_UUID, application_name="other")


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"VELTRA_DATA_DIR": "/srv/v", "XDG_DATA_HOME": "/x"}, "/srv/v"),
        ({"XDG_DATA_HOME": "/x"}, "/x/veltra"),
        ({"XDG_DATA_HOME": "relative"}, "HOME/.local/share/veltra"),
        ({"VELTRA_DATA_DIR": "", "XDG_DATA_HOME": "/x"}, "/x/veltra"),  # an empty variable is an unset one
        ({"VELTRA_DATA_DIR": "~/v"}, "HOME/v"),
        ({"VELTRA_DATA_DIR": "v"}, None),  # relative: refused, not read from wherever the command runs
    ],
)
def test_data_dir_follows_environment(monkeypatch, tmp_path, env, expected):
    for var in ("VELTRA_DATA_DIR", "XDG_DATA_HOME"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    for var, value in env.items():
        monkeypatch.setenv(var, value)
    if expected is None:
        with pytest.raises(VeltraCloudError, match=r"VELTRA_DATA_DIR must be an absolute path, got 'v'"):
            LocalService()
    else:
        assert default_data_dir() == Path(expected.replace("HOME", str(tmp_path)))
        assert LocalService().data_dir == default_data_dir()


@pytest.mark.parametrize("model", [*MODELS.values(), models.DeployResponse])
def test_models_build_empty_and_reject_unknown_fields(model):
    model()
    with pytest.raises(TypeError):
        model(surprise=1)


def test_list_deploys_tells_first_deploys_from_redeploys_and_narrows(service):
    send(service, "CreateAppDeploy")
    send(service, "CreateAppDeploy", redeploy=True)
    send(service, "CreateAppDeploy", env_name="prod", application_name="other")
    every = send(service, "ListDeploys")["deploys"]
    assert [(d["application_name"], d["env_name"], d["deploy_number"], d["redeploy"]) for d in every] == [
        ("hello-app", "dev", 1, False),
        ("hello-app", "dev", 2, True),
        ("other", "prod", 1, False),
    ]
    assert all(d["deployed_by"] == "local" and d["deployed_at"] and d["archive_size"] > 0 for d in every)
    assert [d["env_name"] for d in send(service, "ListDeploys", env_name="prod")["deploys"]] == ["prod"]
    assert len(send(service, "ListDeploys", application_name="hello-app")["deploys"]) == 2
    assert list_deploys(service, env_name="prod") == send(service, "ListDeploys", env_name="prod")["deploys"]


ARCHIVE_BYTES = len(base64.b64decode(APP_ZIP))


@pytest.mark.parametrize(
    "name, fields, limits, refused",
    [
        ("CreateAppDeploy", {}, {"max_archive_size": ARCHIVE_BYTES}, False),
        ("CreateAppDeploy", {}, {"max_archive_size": ARCHIVE_BYTES - 1}, True),
        ("AttachOuterLink", {"credentials": {"password": "x" * 100}}, {"max_credential_size": 100}, False),
        ("AttachOuterLink", {"credentials": {"user": "u", "password": "é" * 51}}, {"max_credential_size": 100}, True),
    ],
)
def test_sizes_above_the_limit_are_refused_and_nothing_is_stored(tmp_path, name, fields, limits, refused):
    service = LocalService(tmp_path / "data", **limits)
    if not refused:
        send(service, name, **fields)
        return
    with pytest.raises(VeltraCloudTooLargeError, match=r"above the local service's limit of \d+ B") as caught:
        send(service, name, **fields)
    assert "é" not in str(caught.value)  # a credential's value is never repeated
    assert listed(service) == [] and send(service, "ListDeploys")["deploys"] == []


@pytest.mark.parametrize(
    "text, size",
    [
        ("1024", 1024),
        ("64K", 65536),
        ("100m", 100 << 20),
        ("2GiB", 2 << 30),
        (" 3 MB ", 3 << 20),
        ("", None),
        ("-1", None),
        ("1.5M", None),
        ("M", None),
    ],
)
def test_limits_come_from_the_environment(monkeypatch, tmp_path, text, size):
    monkeypatch.setenv("VELTRA_MAX_ARCHIVE_SIZE", text)
    monkeypatch.setenv("VELTRA_MAX_CREDENTIAL_SIZE", "5")
    if size is None and text:
        with pytest.raises(VeltraCloudError, match=r"VELTRA_MAX_ARCHIVE_SIZE.*expected a size"):
            LocalService(tmp_path)
        return
    service = LocalService(tmp_path)
    assert service.max_archive_size == (size or local.DEFAULT_MAX_ARCHIVE_SIZE)
    assert service.max_credential_size == 5
    assert LocalService(tmp_path, max_archive_size=7).max_archive_size == 7
