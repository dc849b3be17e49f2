"""The deploy request as the local service reads it: every refusal, and what a refusal leaves alive."""

from __future__ import annotations

import binascii
import gc
import io
import os
import re
import sqlite3
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support.service_requests import APP_UUID, DATA, PYPROJECT, b64, zip_bytes

from veltra.cloud.services import local
from veltra.cloud.services.local import LocalService
from veltra.errors import (
    VeltraCloudAlreadyDeployedError,
    VeltraCloudAuthError,
    VeltraCloudConflictError,
    VeltraCloudError,
    VeltraCloudRequestError,
    VeltraCloudTooLargeError,
)

OTHER_UUID = "7d1f5c1e-2f0a-4c55-8d0e-6f3b9a1c2d44"

APP = {"app/pyproject.toml": PYPROJECT, "app/src/main.py": "print(1)\n"}
APP_ZIP = b64(zip_bytes(APP))
ARCHIVE_BYTES = len(zip_bytes(APP))
# The same application with the stored bytes of main.py changed: its CRC no longer matches.
CORRUPT_ZIP = b64(zip_bytes(APP).replace(b"print(1)", b"print(2)"))
IN_MAIN = 4 * (zip_bytes(APP).index(b"print(1)") // 3 + 1)  # a character of APP_ZIP within main.py's data
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
            {"zip_archive": b64(zip_bytes({**APP, "app/pyproject.toml": f'[project]\nname = "{"x" * 101}"\n'}))},
            VeltraCloudRequestError,
            "the [project] name in app/pyproject.toml must be at most 100 printable characters",
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


@pytest.mark.parametrize(
    "archive, damage",
    [
        (CORRUPT_ZIP, "zip_archive entry 'app/src/main.py' is corrupt"),
        (APP_ZIP[:IN_MAIN] + "!" + APP_ZIP[IN_MAIN + 1 :], "zip_archive is not valid base64"),
    ],
)
def test_an_application_already_deployed_is_refused_before_its_whole_archive_is_read(service, archive, damage):
    """Only the zip directory and app/pyproject.toml are read before the application is known; the
    damage elsewhere is met by the redeploy."""
    request = {**REQUEST, "zip_archive": archive, "env_name": "dev"}
    with pytest.raises(VeltraCloudAlreadyDeployedError):
        service.execute_transaction("CreateAppDeploy", request)
    with pytest.raises(VeltraCloudRequestError, match=f"^{re.escape(damage)}$"):
        service.execute_transaction("CreateAppDeploy", {**request, "redeploy": True})


def test_base64_is_decoded_exactly_as_strictly_as_the_standard_library():
    valid = st.binary(max_size=40).map(b64)
    mangled = st.tuples(valid, st.integers(0, 60), st.sampled_from(["=", "==", "A", "\n", " ", "é", "-", ""]))
    texts = st.one_of(
        valid,
        mangled.map(lambda t: t[0][: t[1]] + t[2] + t[0][t[1] :]),
        st.text("QUJDRA=+/ \n\x00é", max_size=14),
    )

    def outcome(decode, text):
        try:
            return decode(text)
        except (binascii.Error, ValueError):
            return "refused"

    @settings(max_examples=3000, deadline=None)
    @given(texts)
    def same(text):
        assert outcome(local._b64decode, text) == outcome(lambda t: binascii.a2b_base64(t, strict_mode=True), text)

    same()


@settings(max_examples=500, deadline=None)
@given(
    st.binary(max_size=80),
    st.booleans(),
    st.lists(st.tuples(st.sampled_from(["seek", "read"]), st.integers(-100, 100), st.sampled_from([0, 1, 2]))),
)
def test_the_archive_file_reads_as_bytesio_does(raw, decoded, steps):
    """The file zipfile reads the archive through, lazily decoding or decoded whole, against io.BytesIO."""
    ours, theirs = local._Base64File(b64(raw), len(raw)), io.BytesIO(raw)
    if decoded:
        ours.decode_all()
    for step, number, whence in steps:
        if step == "read":
            assert ours.read(number) == theirs.read(number)
        elif whence == 0 and number < 0:
            with pytest.raises(ValueError):
                theirs.seek(number, whence)
            with pytest.raises(ValueError):
                ours.seek(number, whence)
        else:
            assert ours.seek(number, whence) == theirs.seek(number, whence)
        assert ours.tell() == theirs.tell()


LARGE = b64(zip_bytes({**APP, "app/src/data.bin": os.urandom(1 << 20)}))
MIDDLE = len(LARGE) // 2


# Refusals raised before the handler runs, in its checks of the request, deep in the archive,
# and by the stored state (what a redeploy meets first).
@pytest.mark.parametrize(
    "change",
    [
        {"extra": 1},
        {"from_env": "-x"},
        {"zip_archive": LARGE[:-8] + "!" + LARGE[-7:]},
        {"zip_archive": LARGE[:MIDDLE] + ("B" if LARGE[MIDDLE] == "A" else "A") + LARGE[MIDDLE + 1 :]},
        {"zip_archive": LARGE[:1000] + "=" + LARGE[1001:]},
        {"application_uuid": OTHER_UUID},
        {"env_name": "dev"},
    ],
)
def test_a_refusal_keeps_neither_the_request_nor_the_archive_alive(tmp_path, change):
    service = LocalService(tmp_path / "data")
    service.execute_transaction("CreateAppDeploy", {**REQUEST, "env_name": "dev", "application_uuid": APP_UUID})
    request = {**REQUEST, "zip_archive": "".join(LARGE), **change}  # an archive text of this test's own
    references = sys.getrefcount(request), sys.getrefcount(request["zip_archive"])
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        with pytest.raises(VeltraCloudError) as caught:
            service.execute_transaction("CreateAppDeploy", request)
        # The caller holds the refusal, as the deploy action does while it redeploys.
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert caught.value.__traceback__ is not None
    assert held < 64 * 1024  # neither a copy of the text, nor the decoded archive (both above 1 MiB)
    assert (sys.getrefcount(request), sys.getrefcount(request["zip_archive"])) == references
