"""The deploy request as the local service reads it: every refusal, and what a refusal leaves alive."""

from __future__ import annotations

import base64
import io
import sqlite3
import zipfile

import pytest

from veltra.cloud.services.actions.base import CloudActionBase
from veltra.cloud.services.local import LocalService
from veltra.errors import (
    VeltraCloudAlreadyDeployedError,
    VeltraCloudAuthError,
    VeltraCloudConflictError,
    VeltraCloudError,
    VeltraCloudRequestError,
    VeltraCloudTooLargeError,
)

DATA = base64.b64encode(CloudActionBase(credentials="t0ken")._credentials_data()).decode()
APP_UUID = "0b0e8f0c-8e49-4a4c-9a57-3c7e0f1d2a11"
OTHER_UUID = "7d1f5c1e-2f0a-4c55-8d0e-6f3b9a1c2d44"
PYPROJECT = '[project]\nname = "hello-app"\n'


def zip_bytes(entries: dict[str, str | bytes], *, flags: int = 0, method: int | None = None) -> bytes:
    """A zip of ``entries``; ``flags`` or-ed into, and ``method`` written over, every entry's headers."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as archive:
        for name, text in entries.items():
            archive.writestr(name, text)
    data = bytearray(buf.getvalue())
    for signature, flag_at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        at = data.find(signature)
        while at >= 0:
            data[at + flag_at] |= flags
            if method is not None:
                data[at + flag_at + 2 : at + flag_at + 4] = method.to_bytes(2, "little")
            at = data.find(signature, at + 4)
    return bytes(data)


def b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode()


APP = {"app/pyproject.toml": PYPROJECT, "app/src/main.py": "print(1)\n"}
APP_ZIP = b64(zip_bytes(APP))
ARCHIVE_BYTES = len(zip_bytes(APP))
# The same application with the stored bytes of main.py changed: its CRC no longer matches.
CORRUPT_ZIP = b64(zip_bytes(APP).replace(b"print(1)", b"print(2)"))
REQUEST = {
    "data": DATA,
    "zip_archive": APP_ZIP,
    "deploy_type": "app",
    "env_name": "prod",
    "from_env": None,
    "lakehouse_type": "default",
    "application_uuid": None,
    "application_name": None,
}
NAME_RULE = "must be 1-63 letters, digits, '.', '_' or '-' starting with a letter or digit, got"
UNREADABLE = "zip_archive is not a readable zip file: "
BAD_TOML = "app/pyproject.toml is not valid TOML: "


def stored(service: LocalService) -> list[list[tuple]]:
    with sqlite3.connect(service.db_path) as db:
        return [sorted(db.execute(f"SELECT * FROM {table}")) for table in ("applications", "deploys", "connections")]


@pytest.fixture
def service(tmp_path):
    """A service where hello-app (APP_UUID) is deployed once, to environment dev."""
    service = LocalService(tmp_path / "data", max_archive_size=4096)
    service.execute_transaction("CreateAppDeploy", {**REQUEST, "env_name": "dev", "application_uuid": APP_UUID})
    return service


def without(key):
    return lambda request: {k: v for k, v in request.items() if k != key}


# Each request differs from a valid first deploy (to environment prod) in one way only.
@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda request: list(request), VeltraCloudRequestError, "CreateAppDeploy request must be a dict, got list"),
        (
            {"env_name": b"prod"},
            VeltraCloudRequestError,
            "CreateAppDeploy request is not JSON-serialisable: Object of type bytes is not JSON serializable",
        ),
        (
            {"zip_archive": APP_ZIP.encode()},
            VeltraCloudRequestError,
            "CreateAppDeploy request is not JSON-serialisable: Object of type bytes is not JSON serializable",
        ),
        (
            {("key",): 1},
            VeltraCloudRequestError,
            "CreateAppDeploy request is not JSON-serialisable: keys must be str, int, float, bool or None, not tuple",
        ),
        (
            without("lakehouse_type"),
            VeltraCloudRequestError,
            "CreateAppDeploy request is missing key(s): lakehouse_type",
        ),
        ({7: None}, VeltraCloudRequestError, "CreateAppDeploy request has unknown key(s): 7"),
        ({"data": 5}, VeltraCloudAuthError, "data must be base64 text of the caller's credentials"),
        ({"data": "%%%"}, VeltraCloudAuthError, "data is not base64 of a JSON credentials document"),
        ({"data": b64(b'{"user": "u"}')}, VeltraCloudAuthError, "data holds no token"),
        ({"env_name": "dev env"}, VeltraCloudRequestError, f"env_name {NAME_RULE} 'dev env'"),
        ({"deploy_type": None}, VeltraCloudRequestError, f"deploy_type {NAME_RULE} None"),
        ({"lakehouse_type": ""}, VeltraCloudRequestError, f"lakehouse_type {NAME_RULE} ''"),
        ({"from_env": "-x"}, VeltraCloudRequestError, f"from_env {NAME_RULE} '-x'"),
        ({"application_uuid": "abc"}, VeltraCloudRequestError, "application_uuid must be a UUID, got 'abc'"),
        ({"application_name": " "}, VeltraCloudRequestError, "application_name must be a non-empty string, got ' '"),
        (
            {"application_name": "x" * 101},
            VeltraCloudRequestError,
            "application_name must be at most 100 printable characters",
        ),
        ({"redeploy": "yes"}, VeltraCloudRequestError, "redeploy must be true or false, got 'yes'"),
        ({"zip_archive": None}, VeltraCloudRequestError, "zip_archive must be base64 text of a zip file"),
        (
            {"zip_archive": b64(b"x" * 4097)},
            VeltraCloudTooLargeError,
            "the deploy archive is 4 KiB, above the local service's limit of 4 KiB (VELTRA_MAX_ARCHIVE_SIZE)",
        ),
        ({"zip_archive": "not base64!"}, VeltraCloudRequestError, "zip_archive is not valid base64"),
        ({"zip_archive": APP_ZIP[:-1]}, VeltraCloudRequestError, "zip_archive is not valid base64"),
        ({"zip_archive": APP_ZIP + "\n"}, VeltraCloudRequestError, "zip_archive is not valid base64"),
        ({"zip_archive": APP_ZIP[:8] + "é" + APP_ZIP[9:]}, VeltraCloudRequestError, "zip_archive is not valid base64"),
        (
            {"zip_archive": APP_ZIP[:40] + "=" + APP_ZIP[41:]},
            VeltraCloudRequestError,
            "zip_archive is not valid base64",
        ),
        ({"zip_archive": ""}, VeltraCloudRequestError, UNREADABLE + "File is not a zip file"),
        ({"zip_archive": b64(b"plain text")}, VeltraCloudRequestError, UNREADABLE + "File is not a zip file"),
        (
            {"zip_archive": b64(zip_bytes(APP)[:-30])},
            VeltraCloudRequestError,
            UNREADABLE + "File is not a zip file",
        ),
        (
            {"zip_archive": b64(zip_bytes({**APP, "../evil.py": ""}))},
            VeltraCloudRequestError,
            "zip_archive entry '../evil.py' is outside the top-level folder 'app/'",
        ),
        (
            {"zip_archive": b64(zip_bytes({"app/": ""}))},
            VeltraCloudRequestError,
            "zip_archive holds no files under 'app/'",
        ),
        (
            {"zip_archive": b64(zip_bytes({**APP, "app/a.py": "", "app/b.py": ""}).replace(b"app/b.py", b"app/a.py"))},
            VeltraCloudRequestError,
            "zip_archive entry 'app/a.py' appears more than once",
        ),
        ({"zip_archive": CORRUPT_ZIP}, VeltraCloudRequestError, "zip_archive entry 'app/src/main.py' is corrupt"),
        (
            {"zip_archive": b64(zip_bytes(APP).replace(b'"hello-app"', b'"hello-apq"'))},
            VeltraCloudRequestError,
            "zip_archive entry 'app/pyproject.toml' is corrupt",
        ),
        (
            {"zip_archive": b64(zip_bytes(APP, flags=1))},
            VeltraCloudRequestError,
            UNREADABLE + "File 'app/pyproject.toml' is encrypted, password required for extraction",
        ),
        (
            {"zip_archive": b64(zip_bytes(APP, method=99))},
            VeltraCloudRequestError,
            UNREADABLE + "That compression method is not supported",
        ),
        (
            {"zip_archive": b64(zip_bytes({**APP, "app/pyproject.toml": "[project\n"}))},
            VeltraCloudRequestError,
            f"{BAD_TOML}Expected ']' at the end of a table declaration (at line 1, column 9)",
        ),
        (
            {"zip_archive": b64(zip_bytes({**APP, "app/pyproject.toml": b"\xff"}))},
            VeltraCloudRequestError,
            f"{BAD_TOML}'utf-8' codec can't decode byte 0xff in position 0: invalid start byte",
        ),
        (
            {"application_uuid": APP_UUID, "application_name": "other"},
            VeltraCloudConflictError,
            f"application {APP_UUID} is named 'hello-app', not 'other'",
        ),
        (
            {"application_uuid": OTHER_UUID},
            VeltraCloudConflictError,
            f"application name 'hello-app' already belongs to application {APP_UUID}",
        ),
        (
            {"env_name": "dev"},
            VeltraCloudAlreadyDeployedError,
            f"application 'hello-app' ({APP_UUID}) is already deployed in environment 'dev'; redeploy to replace it",
        ),
    ],
)
def test_every_refusal_keeps_its_class_and_text_and_stores_nothing(service, change, error, message):
    before = stored(service)
    request = change(dict(REQUEST)) if callable(change) else {**REQUEST, **change}
    with pytest.raises(VeltraCloudError) as caught:
        service.execute_transaction("CreateAppDeploy", request)
    assert (type(caught.value), str(caught.value)) == (error, message)
    assert stored(service) == before
