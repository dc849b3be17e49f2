"""Embedded stand-in for the Veltra cloud service.

:class:`LocalService` answers the same transactions as the hosted service,
in-process, keeping its state in a SQLite file so that it survives between
runs of the command line. It behaves like a service across a network:

* a request must be a JSON-serialisable dict and is copied on the way in;
  responses are fresh JSON-shaped objects, never shared with the service;
* every request is checked in full before anything is stored, and each
  transaction is one SQLite transaction, so a refused request changes nothing;
* refusals are :class:`~veltra.errors.VeltraCloudError` subclasses whose
  message names what is wrong.

The data folder is the one given to the constructor, else ``$VELTRA_DATA_DIR``
(an absolute path; empty counts as unset), else the user data folder that
platformdirs names for "veltra" (on Linux ``$XDG_DATA_HOME/veltra``, else
``~/.local/share/veltra``).

The service refuses an archive or a credential value above a size limit
(:data:`DEFAULT_MAX_ARCHIVE_SIZE`, :data:`DEFAULT_MAX_CREDENTIAL_SIZE`), which
``VELTRA_MAX_ARCHIVE_SIZE`` and ``VELTRA_MAX_CREDENTIAL_SIZE`` or the
constructor change.

The store keeps connection credentials, so it is treated like a private key:

* a data folder or database file that another user owns, or that other users
  can read or write, is refused with a line that says how to fix it; a new
  folder is made 0700 and a new file 0600;
* ``secure_delete`` is on, so a removed or replaced secret is overwritten in
  the file instead of lingering in a free page;
* reads (listing connections or deploys) never take the write lock, so they
  do not wait for a writer; a wait that does happen is announced once through
  the ``notify`` function (standard error by default) and can be interrupted;
* when SQLite has already rolled a failed transaction back (a full disk, an
  I/O error), its own error is the one reported;
* a stored connection whose credentials cannot be read is listed, flagged in
  its ``problem`` field, and can still be removed.
"""

from __future__ import annotations

import base64
import binascii
import functools
import json
import os
import re
import sqlite3
import sys
import time
import zlib
from contextlib import closing, contextmanager, suppress
from datetime import UTC, datetime

from veltra.cloud.constants import VELTRA_CLOUD_DOMAIN, VELTRA_ENV_SUBDOMAIN
from veltra.errors import (
    VeltraCloudAlreadyDeployedError,
    VeltraCloudAuthError,
    VeltraCloudConflictError,
    VeltraCloudError,
    VeltraCloudNotFoundError,
    VeltraCloudRequestError,
    VeltraCloudTooLargeError,
)
from veltra.sizes import format_size, parse_size

TYPE_CHECKING = False
if TYPE_CHECKING:
    import hashlib
    import tomllib
    import traceback
    import uuid
    import zipfile
    from collections.abc import Callable, Iterator
    from pathlib import Path
    from typing import Any, ClassVar

    import platformdirs
    import pybase64
else:

    class _OnFirstUse:
        """Stands for a module until one of its attributes is first read, then imports it.

        Listing connections needs none of these modules and a deploy needs them all;
        importing them up front would make every command pay for the deploy's.
        """

        def __init__(self, name: str) -> None:
            self._name = name

        def __getattr__(self, attribute: str) -> object:
            return getattr(__import__(self._name), attribute)

    hashlib, tomllib, traceback, uuid, zipfile, platformdirs, pybase64 = map(
        _OnFirstUse, ("hashlib", "tomllib", "traceback", "uuid", "zipfile", "platformdirs", "pybase64")
    )

DB_FILE = "service.sqlite3"
SCHEMA_VERSION = 1
#: Name given to an application the request and its archive do not name.
DEFAULT_APPLICATION_NAME = "app"
#: Top-level folder every entry of a deploy archive must live under.
ARCHIVE_ROOT = "app"

# Environment, connection, backend and type names: one DNS-friendly word.
#: Largest deploy archive (zip bytes) the service accepts, unless configured otherwise.
DEFAULT_MAX_ARCHIVE_SIZE = 100 * 1024 * 1024
#: Largest credential value (UTF-8 bytes) the service accepts, unless configured otherwise.
DEFAULT_MAX_CREDENTIAL_SIZE = 64 * 1024
#: The environment variable that names the data folder.
DATA_DIR_VAR = "VELTRA_DATA_DIR"
#: Environment variables that set the two limits, e.g. ``200M`` or ``1024``.
MAX_ARCHIVE_SIZE_VAR = "VELTRA_MAX_ARCHIVE_SIZE"
MAX_CREDENTIAL_SIZE_VAR = "VELTRA_MAX_CREDENTIAL_SIZE"

_NAME_RE = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,62}")
_MAX_APP_NAME = 100

_SCHEMA = """
CREATE TABLE applications (
    uuid TEXT PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    created_at TEXT NOT NULL
);
CREATE TABLE connections (
    env_name TEXT NOT NULL,
    scope TEXT NOT NULL,            -- application uuid, '' for the whole environment
    name TEXT NOT NULL,
    backend TEXT NOT NULL,
    credentials TEXT NOT NULL,      -- JSON object of str -> str
    created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL,
    PRIMARY KEY (env_name, scope, name)
);
CREATE TABLE deploys (
    deploy_uuid TEXT PRIMARY KEY,
    application_uuid TEXT NOT NULL REFERENCES applications (uuid),
    env_name TEXT NOT NULL,
    number INTEGER NOT NULL,        -- 1, 2, ... per application and environment
    deploy_type TEXT NOT NULL,
    lakehouse_type TEXT NOT NULL,
    from_env TEXT,
    archive_sha256 TEXT NOT NULL,
    archive_size INTEGER NOT NULL,
    entries TEXT NOT NULL,          -- JSON list of archive entry names
    deployed_by TEXT NOT NULL,
    deployed_at TEXT NOT NULL,
    UNIQUE (application_uuid, env_name, number)
);
"""

_APP_KEYS = ("application_uuid", "application_name")
#: The request key of the deploy archive: base64 text, the one large value a request carries.
_ARCHIVE_KEY = "zip_archive"
_CONNECTION_KEYS = ("data", "env_name", "connection_name", "backend", "credentials", *_APP_KEYS)

#: Request keys of each transaction: (always present, may be present).
_REQUEST_KEYS: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "EnumerateOuterLinks": (("data", "env_name", *_APP_KEYS), ()),
    "AttachOuterLink": (_CONNECTION_KEYS, ()),
    "AmendOuterLink": (_CONNECTION_KEYS, ()),
    "DetachOuterLink": (("data", "env_name", "connection_name", *_APP_KEYS), ()),
    "CreateAppDeploy": (
        ("data", _ARCHIVE_KEY, "deploy_type", "env_name", "from_env", "lakehouse_type", *_APP_KEYS),
        ("redeploy",),
    ),
    "ListDeploys": (("data", "env_name", *_APP_KEYS), ()),
}


def default_data_dir() -> Path:
    """Return the data folder chosen by ``VELTRA_DATA_DIR``, else the platform's user data folder."""
    from pathlib import Path

    return Path(_default_data_dir())


def data_dir_from_environment() -> tuple[str, str]:
    """The data folder of a service given none, and what chose it: ``DATA_DIR_VAR`` or the user data folder.

    An empty ``VELTRA_DATA_DIR`` counts as unset, as an empty variable usually
    does; ``~`` is expanded. A relative one is refused rather than read from
    wherever a command happens to run: a deploy runs in the application's folder,
    and a store of credentials there is one step from being shipped with it.
    """
    explicit = os.environ.get(DATA_DIR_VAR)
    if not explicit:
        return platformdirs.user_data_dir("veltra", appauthor=False), "the user data folder"
    expanded = os.path.expanduser(explicit)
    if not os.path.isabs(expanded):
        raise VeltraCloudError(
            f"{DATA_DIR_VAR} must be an absolute path, got {explicit!r}: a relative one would mean another"
            f' folder wherever a command runs; set it to one such as "$PWD/{explicit}"'
        )
    return expanded, DATA_DIR_VAR


def _default_data_dir() -> str:
    return data_dir_from_environment()[0]


def _limit(given: int | None, variable: str, default: int) -> int:
    if given is not None:
        return given
    text = os.environ.get(variable)
    if not text:
        return default
    try:
        return parse_size(text)
    except ValueError as exc:
        raise VeltraCloudError(f"{variable}: {exc}") from None


def _now() -> str:
    return datetime.now(UTC).replace(microsecond=0).isoformat()


# --- request checks --------------------------------------------------------


def _over_the_wire(name: str, data: Any) -> dict[str, Any]:
    """Copy ``data`` as a network would, refusing what JSON cannot carry.

    A deploy archive's text, the one large value, is not copied: an exact ``str``
    cannot change, so the copy refers to the caller's text (a JSON round trip of
    it would hold a second copy of the archive and take most of a second).
    """
    if not isinstance(data, dict):
        raise VeltraCloudRequestError(f"{name} request must be a dict, got {type(data).__name__}")
    text = data.get(_ARCHIVE_KEY) if type(data) is dict else None
    carried = {**data, _ARCHIVE_KEY: ""} if type(text) is str else data
    try:
        request = json.loads(json.dumps(carried, allow_nan=False))
    except (TypeError, ValueError) as exc:
        raise VeltraCloudRequestError(f"{name} request is not JSON-serialisable: {exc}") from None
    if carried is not data:
        request[_ARCHIVE_KEY] = text
    return request


def _refusals_hold_no_request(
    execute: Callable[[LocalService, str, Any], dict[str, Any]],
) -> Callable[[LocalService, str, Any], dict[str, Any]]:
    """Make a refusal forget the request: clear the locals of the frames its traceback carries.

    A caller may keep a refusal while it sends the same request again (a redeploy);
    the refusal must not keep the first attempt's request, archive or decoded bytes
    alive meanwhile. The frames stay in the traceback, with their lines.
    """

    @functools.wraps(execute)
    def execute_transaction(self: LocalService, name: str, data: Any) -> dict[str, Any]:
        try:
            return execute(self, name, data)
        except VeltraCloudError as exc:
            del data
            _clear_frames(exc)
            raise

    return execute_transaction


def _clear_frames(error: BaseException) -> None:
    """Clear the locals of the finished frames of ``error``'s traceback and of the errors it chains to."""
    pending: list[BaseException | None] = [error]
    seen: set[int] = set()
    while pending:
        chained = pending.pop()
        if chained is not None and id(chained) not in seen:
            seen.add(id(chained))
            traceback.clear_frames(chained.__traceback__)
            pending += (chained.__cause__, chained.__context__)


def _check_keys(name: str, request: dict[str, Any]) -> None:
    required, optional = _REQUEST_KEYS[name]
    missing = [k for k in required if k not in request]
    unknown = sorted(k for k in request if k not in required and k not in optional)
    if missing:
        raise VeltraCloudRequestError(f"{name} request is missing key(s): {', '.join(missing)}")
    if unknown:
        raise VeltraCloudRequestError(f"{name} request has unknown key(s): {', '.join(unknown)}")


def _caller(data: Any) -> str:
    """Check the base64 credentials payload; return the caller's user name."""
    if not isinstance(data, str):
        raise VeltraCloudAuthError("data must be base64 text of the caller's credentials")
    try:
        payload = json.loads(base64.b64decode(data, validate=True))
    except (binascii.Error, ValueError):
        raise VeltraCloudAuthError("data is not base64 of a JSON credentials document") from None
    if not isinstance(payload, dict) or not isinstance(payload.get("token"), str) or not payload["token"]:
        raise VeltraCloudAuthError("data holds no token")
    user = payload.get("user")
    return user if isinstance(user, str) and user else "unknown"


def _name(request: dict[str, Any], key: str, *, optional: bool = False) -> str | None:
    """Return a name field, which must be one word of letters, digits, '.', '_' or '-'."""
    value = request[key]
    if value is None and optional:
        return None
    if not isinstance(value, str) or not _NAME_RE.fullmatch(value):
        raise VeltraCloudRequestError(
            f"{key} must be 1-63 letters, digits, '.', '_' or '-' starting with a letter or digit, got {value!r}"
        )
    return value


def _app_ref(request: dict[str, Any]) -> tuple[str | None, str | None]:
    """Return the request's (application_uuid, application_name), checked and normalised."""
    app_uuid, app_name = request["application_uuid"], request["application_name"]
    if app_uuid is not None:
        try:
            app_uuid = str(uuid.UUID(app_uuid))
        except (TypeError, ValueError, AttributeError):
            raise VeltraCloudRequestError(f"application_uuid must be a UUID, got {app_uuid!r}") from None
    if app_name is not None:
        if not isinstance(app_name, str) or not app_name.strip():
            raise VeltraCloudRequestError(f"application_name must be a non-empty string, got {app_name!r}")
        app_name = app_name.strip()
        _check_app_name(app_name, "application_name")
    return app_uuid, app_name


def _check_app_name(name: str, what: str) -> None:
    """An application name, however it is given, is at most 100 printable characters (spaces around it stripped)."""
    if len(name) > _MAX_APP_NAME or not name.isprintable():
        raise VeltraCloudRequestError(f"{what} must be at most {_MAX_APP_NAME} printable characters")


def _credentials(request: dict[str, Any], limit: int, *, optional: bool = False) -> dict[str, str] | None:
    """Return the credentials field. Messages name keys only, never values."""
    value = request["credentials"]
    if value is None and optional:
        return None
    if not isinstance(value, dict):
        raise VeltraCloudRequestError("credentials must be a dict of strings")
    for key, secret in value.items():
        if not key:
            raise VeltraCloudRequestError("credentials must not have an empty key")
        if not isinstance(secret, str):
            raise VeltraCloudRequestError(f"credentials[{key!r}] must be a string")
        size = len(secret.encode("utf-8", "surrogatepass"))
        if size > limit:
            raise VeltraCloudTooLargeError(
                f"credentials[{key!r}] is {format_size(size)}, above the local service's limit of"
                f" {format_size(limit)} per value ({MAX_CREDENTIAL_SIZE_VAR})"
            )
    return value


def _b64decode(text: str) -> bytes:
    """Decode base64 ``text`` exactly as strictly as ``base64.b64decode(text, validate=True)``.

    pybase64 decodes about nine times faster, straight from the ``str``. It refuses a
    few texts that the standard library accepts (padding after a whole group of four):
    whatever it refuses, the standard library decides.
    """
    try:
        return pybase64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return binascii.a2b_base64(text, strict_mode=True)


class _Base64File:
    """The bytes that base64 ``text`` stands for, as a read-only file that decodes only what is read.

    Until :meth:`decode_all`, each read decodes just the characters that hold the
    bytes asked for, so reading a zip file's directory costs about the directory's
    size; the text as a whole is checked by :meth:`decode_all`, and later reads come
    from its result. Seeking and reading behave as on :class:`io.BytesIO` of the
    decoded bytes.
    """

    def __init__(self, text: str, size: int) -> None:
        self._text = text
        self._size = size
        self._raw: bytes | None = None
        self._pos = 0

    def decode_all(self) -> bytes:
        """Check and decode the whole text."""
        try:
            self._raw = _b64decode(self._text)
        except (binascii.Error, ValueError):
            raise VeltraCloudRequestError(f"{_ARCHIVE_KEY} is not valid base64") from None
        self._size = len(self._raw)
        return self._raw

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        if whence == os.SEEK_SET and offset < 0:
            raise ValueError(f"negative seek value {offset}")
        self._pos = max(0, offset + (0, self._pos, self._size)[whence])
        return self._pos

    def read(self, n: int | None = -1) -> bytes:
        start = self._pos
        if start >= self._size:
            return b""
        end = self._size if n is None or n < 0 else min(self._size, start + n)
        self._pos = end
        if self._raw is not None:
            return self._raw[start:end]
        first, last = start // 3, -(-end // 3)  # the groups of 4 characters that hold them
        decoded = _b64decode(self._text[4 * first : 4 * last])
        return decoded[start - 3 * first : end - 3 * first]


class _DeployArchive:
    """A deploy archive, read in two steps: what identifies the application, then the rest.

    :func:`_read_archive` reads only the zip file's directory and ``app/pyproject.toml``:
    enough to name the application, so that a deploy refused as already deployed costs
    next to nothing. :meth:`verify` then decodes and checks the whole archive, once.
    """

    def __init__(self, text: str, size: int) -> None:
        self._file = _Base64File(text, size)
        self._zip: zipfile.ZipFile | None = None
        self.names: list[str] = []
        self.project_name: str | None = None

    def read_head(self, *, whole: bool) -> None:
        """Check the entry names and read the project name; with ``whole``, check every byte first.

        The checks come in one order: base64, the zip directory, the entry names, every
        entry's data, then ``app/pyproject.toml``.
        """
        with _unreadable_zip():
            if whole:
                self._file.decode_all()
            self._zip = zipfile.ZipFile(self._file)
            self.names = [info.filename for info in self._zip.infolist()]
            _check_entries(self.names)
            if whole:
                self._check_entries_data()
            project = f"{ARCHIVE_ROOT}/pyproject.toml"
            pyproject = self._zip.read(project) if project in self.names else None
        self.project_name = _project_name(pyproject)

    def verify(self) -> tuple[str, int]:
        """Check the whole archive: base64, then every entry's data. Return its SHA-256 and size."""
        with _unreadable_zip():
            raw = self._file.decode_all()
            self._check_entries_data()
        return hashlib.sha256(raw).hexdigest(), len(raw)

    def _check_entries_data(self) -> None:
        """Inflate every entry and check its CRC-32, a megabyte at a time."""
        assert self._zip is not None
        corrupt = self._zip.testzip()
        if corrupt is not None:
            raise VeltraCloudRequestError(f"{_ARCHIVE_KEY} entry {corrupt!r} is corrupt")


@contextmanager
def _unreadable_zip() -> Iterator[None]:
    try:
        yield
    except (zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, EOFError, NotImplementedError, RuntimeError) as exc:
        raise VeltraCloudRequestError(f"{_ARCHIVE_KEY} is not a readable zip file: {exc}") from None


def _read_archive(text: Any, limit: int) -> _DeployArchive:
    """Check the size of a deploy archive of at most ``limit`` bytes, its entry names and project name.

    The rest (every byte of the base64 text, every entry's data) is checked by
    :meth:`_DeployArchive.verify`. An archive that fails here is read again whole, so
    that its refusal is the first in the order of :meth:`_DeployArchive.read_head`.
    """
    if not isinstance(text, str):
        raise VeltraCloudRequestError("zip_archive must be base64 text of a zip file")
    size = len(text) // 4 * 3 - len(text[-2:]) + len(text[-2:].rstrip("="))  # before decoding anything
    if size > limit:
        raise VeltraCloudTooLargeError(
            f"the deploy archive is {format_size(size)}, above the local service's limit of"
            f" {format_size(limit)} ({MAX_ARCHIVE_SIZE_VAR})"
        )
    archive = _DeployArchive(text, size)
    try:
        archive.read_head(whole=False)
    except Exception:  # noqa: BLE001 - refused or unreadable: the whole read below decides, in order
        archive = _DeployArchive(text, size)
    else:
        return archive
    archive.read_head(whole=True)
    return archive


def _check_entries(names: list[str]) -> None:
    """Refuse archives with entries outside ``app/``, repeated entries, or no file."""
    seen: set[str] = set()
    for name in names:
        parts = name.split("/")
        inner, last = parts[1:-1], parts[-1]
        if (
            "\\" in name
            or len(parts) < 2
            or parts[0] != ARCHIVE_ROOT
            or any(p in ("", ".", "..") for p in inner)
            or last in (".", "..")
        ):
            raise VeltraCloudRequestError(
                f"zip_archive entry {name!r} is outside the top-level folder '{ARCHIVE_ROOT}/'"
            )
        if name in seen:
            raise VeltraCloudRequestError(f"zip_archive entry {name!r} appears more than once")
        seen.add(name)
    if not any(not name.endswith("/") for name in names):
        raise VeltraCloudRequestError(f"zip_archive holds no files under '{ARCHIVE_ROOT}/'")


def _project_name(pyproject: bytes | None) -> str | None:
    if pyproject is None:
        return None
    try:
        document = tomllib.loads(pyproject.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as exc:
        raise VeltraCloudRequestError(f"{ARCHIVE_ROOT}/pyproject.toml is not valid TOML: {exc}") from None
    project = document.get("project")
    name = project.get("name") if isinstance(project, dict) else None
    return name.strip() if isinstance(name, str) and name.strip() else None


def domain_url(application_uuid: str) -> str:
    """Public URL at which an application is served."""
    return f"https://{application_uuid}.{VELTRA_ENV_SUBDOMAIN}.{VELTRA_CLOUD_DOMAIN}/"


def list_deploys(
    transport: Any = None,
    *,
    env_name: str | None = None,
    application_uuid: str | None = None,
    application_name: str | None = None,
) -> list[dict[str, Any]]:
    """Every deploy the service recorded, oldest first per application and environment (``ListDeploys``).

    Each filter left at None does not narrow the list; an application the
    service does not know is refused (:class:`VeltraCloudNotFoundError`). The
    request carries the caller's credentials as an action's does, and goes
    through ``transport`` (by default a :class:`LocalService` on the default
    data folder).
    """
    from veltra.cloud.services.actions.base import CloudActionBase

    caller = CloudActionBase(transport=transport)
    request = {
        "data": base64.b64encode(caller._credentials_data()).decode("ascii"),
        "env_name": env_name,
        "application_uuid": application_uuid,
        "application_name": application_name,
    }
    deploys: list[dict[str, Any]] = caller.execute_transaction("ListDeploys", request)["deploys"]
    return deploys


# --- the store -------------------------------------------------------------------

#: Transactions that only read; they run without the write lock.
_READ_ONLY = frozenset({"EnumerateOuterLinks", "ListDeploys"})
#: Seconds a transaction waits for another process's lock on the store before it gives up.
LOCK_TIMEOUT = 30.0
#: Seconds of each wait inside SQLite; between two waits an interrupt (Ctrl-C) gets through.
_LOCK_STEP = 0.1


def _notify_stderr(text: str) -> None:
    print(f"note: {text}", file=sys.stderr, flush=True)


def _refuse_shared(path: str, what: str) -> None:
    """Refuse, as ssh refuses a private key, a store that another user owns or can read or write."""
    st = os.stat(path)
    if st.st_uid != os.geteuid():
        raise VeltraCloudError(
            f"the local service's {what} {path} belongs to another user (uid {st.st_uid}); it holds connection"
            " credentials, so use a data folder of your own (VELTRA_DATA_DIR)"
        )
    if st.st_mode & 0o066:
        import shlex
        import stat

        raise VeltraCloudError(
            f"the local service's {what} {path} can be read or written by other users"
            f" (mode {stat.S_IMODE(st.st_mode):o}); it holds connection credentials:"
            f" run chmod go-rw {shlex.quote(str(path))}"
        )


class _Connection(sqlite3.Connection):
    """A connection that waits for another process's lock in short steps, and says so once.

    SQLite's own wait is one long call that an interrupt cannot cut short and
    that nobody sees; here each step is short and the first one to fail is
    announced through ``notify``.
    """

    notify: Callable[[str], None] = staticmethod(_notify_stderr)
    lock_timeout = LOCK_TIMEOUT
    waiting_note = "waiting for another process that is using the local service's storage"
    announced = False

    def execute(self, sql: str, parameters: Any = (), /) -> sqlite3.Cursor:
        deadline = None
        while True:
            try:
                return super().execute(sql, parameters)
            except sqlite3.OperationalError as exc:
                if exc.sqlite_errorcode & 0xFF != sqlite3.SQLITE_BUSY:
                    raise
                now = time.monotonic()
                if deadline is None:
                    deadline = now + self.lock_timeout
                    if not self.announced:
                        self.announced = True
                        self.notify(self.waiting_note)
                elif now >= deadline:
                    raise


# --- the service ---------------------------------------------------------------


class LocalService:
    """In-process cloud service keeping its state under ``data_dir``.

    ``notify`` receives the one line that says the service waits for another
    process's lock (by default it goes to standard error); ``lock_timeout`` is
    how long it waits, in seconds.
    """

    def __init__(
        self,
        data_dir: str | os.PathLike[str] | None = None,
        *,
        max_archive_size: int | None = None,
        max_credential_size: int | None = None,
        notify: Callable[[str], None] | None = None,
        lock_timeout: float = LOCK_TIMEOUT,
    ) -> None:
        # Paths are kept as text: a listing should not have to import pathlib to start. A relative
        # folder is taken from the current folder once, here, not again at each transaction.
        self._dir = os.path.join(os.getcwd(), os.fspath(data_dir)) if data_dir is not None else _default_data_dir()
        self._db = os.path.join(self._dir, DB_FILE)
        #: Largest archive (zip bytes) and credential value (UTF-8 bytes) accepted; from the
        #: arguments, else VELTRA_MAX_ARCHIVE_SIZE / VELTRA_MAX_CREDENTIAL_SIZE, else the defaults.
        self.max_archive_size = _limit(max_archive_size, MAX_ARCHIVE_SIZE_VAR, DEFAULT_MAX_ARCHIVE_SIZE)
        self.max_credential_size = _limit(max_credential_size, MAX_CREDENTIAL_SIZE_VAR, DEFAULT_MAX_CREDENTIAL_SIZE)
        self.notify = notify if notify is not None else _notify_stderr
        self.lock_timeout = lock_timeout

    @property
    def data_dir(self) -> Path:
        """The data folder."""
        from pathlib import Path

        return Path(self._dir)

    @property
    def db_path(self) -> Path:
        """The SQLite file in the data folder."""
        from pathlib import Path

        return Path(self._db)

    @_refusals_hold_no_request
    def execute_transaction(self, name: str, data: dict[str, Any]) -> dict[str, Any]:
        """Run transaction ``name`` on request ``data`` and return its response.

        Raises a :class:`VeltraCloudError` subclass when the request is
        refused; nothing is stored in that case.
        """
        handler = self._HANDLERS.get(name) if isinstance(name, str) else None
        if handler is None:
            known = ", ".join(sorted(self._HANDLERS))
            raise VeltraCloudRequestError(f"unknown transaction {name!r}; known transactions: {known}")
        request = _over_the_wire(name, data)
        _check_keys(name, request)
        user = _caller(request["data"])
        with self._transaction(write=name not in _READ_ONLY) as db:
            response = handler(self, db, request, user)
        return json.loads(json.dumps(response))

    # -- storage

    @contextmanager
    def _transaction(self, *, write: bool = True) -> Iterator[sqlite3.Connection]:
        """One SQLite transaction: committed on success, rolled back on any error.

        A write takes the write lock at once (``BEGIN IMMEDIATE``), so two writers
        never meet half-way; a read takes no lock until it reads, and then only a
        shared one, which a writer's pending work does not block.
        """
        try:
            self._open_store()
            with closing(self._connect()) as db:
                db.row_factory = sqlite3.Row
                db.execute("PRAGMA foreign_keys = ON")
                # Removed and replaced credentials are overwritten in the file, on every build.
                db.execute("PRAGMA secure_delete = ON")
                self._begin(db, write)
                try:
                    yield db
                except BaseException:
                    # SQLite rolls a transaction back by itself on some errors (a full disk, an
                    # I/O error); then there is nothing left to roll back, and its error stands.
                    if db.in_transaction:
                        with suppress(sqlite3.Error):
                            db.execute("ROLLBACK")
                    raise
                db.execute("COMMIT")
        except sqlite3.Error as exc:
            if isinstance(exc, sqlite3.OperationalError) and exc.sqlite_errorcode & 0xFF == sqlite3.SQLITE_BUSY:
                raise VeltraCloudError(
                    f"local service storage {self._db} stayed locked by another process for"
                    f" {self.lock_timeout:g} s; try again when it has finished"
                ) from exc
            raise VeltraCloudError(f"local service storage {self._db} failed: {exc}") from exc
        except OSError as exc:
            raise VeltraCloudError(f"local service data folder {self._dir} is unusable: {exc}") from exc

    def _open_store(self) -> None:
        """Make the data folder (0700) and the database file (0600) when they are new; check them always."""
        os.makedirs(self._dir, mode=0o700, exist_ok=True)
        _refuse_shared(self._dir, "data folder")
        with suppress(FileExistsError):
            os.close(os.open(self._db, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))
        _refuse_shared(self._db, "database")

    def _connect(self) -> _Connection:
        db = sqlite3.connect(self._db, timeout=_LOCK_STEP, isolation_level=None, factory=_Connection)
        db.notify = self.notify
        db.lock_timeout = self.lock_timeout
        db.waiting_note = f"waiting for another process that is using {self._db} (at most {self.lock_timeout:g} s)"
        return db

    def _begin(self, db: sqlite3.Connection, write: bool) -> None:
        """Begin a read or a write transaction; a read of a store not yet made makes it first."""
        if not write:
            db.execute("BEGIN")
            if db.execute("PRAGMA user_version").fetchone()[0] != 0:
                self._ensure_schema(db)
                return
            db.execute("ROLLBACK")
        db.execute("BEGIN IMMEDIATE")
        self._ensure_schema(db)

    def _ensure_schema(self, db: sqlite3.Connection) -> None:
        version = db.execute("PRAGMA user_version").fetchone()[0]
        if version == 0:
            for statement in _SCHEMA.split(";"):
                if statement.strip():
                    db.execute(statement)
            db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        elif version != SCHEMA_VERSION:
            raise VeltraCloudError(
                f"local service storage {self._db} has schema version {version}, expected {SCHEMA_VERSION}"
            )

    # -- applications

    @staticmethod
    def _find_app(db: sqlite3.Connection, app_uuid: str | None, app_name: str | None) -> sqlite3.Row | None:
        """Look an application up by uuid, else by name; check the two agree."""
        if app_uuid is not None:
            row = db.execute("SELECT * FROM applications WHERE uuid = ?", (app_uuid,)).fetchone()
            if row is not None and app_name is not None and row["name"] != app_name:
                raise VeltraCloudConflictError(f"application {app_uuid} is named {row['name']!r}, not {app_name!r}")
            return row
        if app_name is not None:
            return db.execute("SELECT * FROM applications WHERE name = ?", (app_name,)).fetchone()
        return None

    def _known_app(self, db: sqlite3.Connection, app_uuid: str | None, app_name: str | None) -> sqlite3.Row:
        """The application a listing is narrowed to; one never deployed is refused, not shown as empty."""
        app = self._find_app(db, app_uuid, app_name)
        if app is None:
            raise VeltraCloudNotFoundError(f"application {app_name or app_uuid!r} is unknown: it was never deployed")
        return app

    def _get_or_create_app(
        self, db: sqlite3.Connection, app_uuid: str | None, app_name: str | None, fallback_name: str
    ) -> sqlite3.Row:
        """Return the application, registering it (named ``app_name`` or ``fallback_name``) when new."""
        name = app_name or fallback_name
        row = self._find_app(db, app_uuid, app_name if app_uuid is not None else name)
        if row is not None:
            return row
        if app_name is None:  # a name from the archive follows the rule of a name given in the request
            _check_app_name(name, f"the [project] name in {ARCHIVE_ROOT}/pyproject.toml")
        owner = db.execute("SELECT uuid FROM applications WHERE name = ?", (name,)).fetchone()
        if owner is not None:
            raise VeltraCloudConflictError(f"application name {name!r} already belongs to application {owner['uuid']}")
        db.execute(
            "INSERT INTO applications (uuid, name, created_at) VALUES (?, ?, ?)",
            (app_uuid or str(uuid.uuid4()), name, _now()),
        )
        return db.execute("SELECT * FROM applications WHERE name = ?", (name,)).fetchone()

    # -- connections

    @staticmethod
    def _connection_view(row: sqlite3.Row) -> dict[str, Any]:
        """What the service tells about a connection: everything but credential values.

        ``problem`` is None, or says why the stored connection cannot be read in
        full: a row written by something else must not hide the others, nor
        resist its own removal.
        """
        try:
            stored = json.loads(row["credentials"])
        except (TypeError, ValueError):
            stored = None
        readable = isinstance(stored, dict) and all(isinstance(key, str) for key in stored)
        return {
            "connection_name": row["name"],
            "backend": row["backend"],
            "application_uuid": row["scope"] or None,
            "application_name": row["app_name"],
            "credential_keys": sorted(stored) if readable else [],
            "created_at": row["created_at"],
            "updated_at": row["updated_at"],
            "problem": None if readable else "its stored credentials cannot be read",
        }

    @staticmethod
    def _select_connections(db: sqlite3.Connection, where: str, params: tuple[Any, ...]) -> list[sqlite3.Row]:
        return db.execute(
            "SELECT c.*, a.name AS app_name FROM connections c"
            " LEFT JOIN applications a ON a.uuid = c.scope"
            f" WHERE {where} ORDER BY c.name, c.scope",
            params,
        ).fetchall()

    def _connection_target(self, db: sqlite3.Connection, request: dict[str, Any], *, app_must_exist: bool):
        """Resolve env, connection name and scope; also return the existing row or None.

        With ``app_must_exist``, naming an application that was never deployed is refused: a
        mistyped name must not create an application of its own.
        """
        env = _name(request, "env_name")
        conn_name = _name(request, "connection_name")
        app_uuid, app_name = _app_ref(request)
        if app_uuid is None and app_name is None:
            scope = ""
        else:
            app = self._find_app(db, app_uuid, app_name)
            if app is None and app_must_exist:
                raise VeltraCloudNotFoundError(
                    f"application {app_name or app_uuid!r} does not exist; deploy it first,"
                    " or add the connection to the whole environment"
                )
            scope = app["uuid"] if app is not None else None
        rows = (
            []
            if scope is None
            else self._select_connections(db, "c.env_name = ? AND c.scope = ? AND c.name = ?", (env, scope, conn_name))
        )
        where = f"connection {conn_name!r} in environment {env!r}"
        if app_uuid is not None or app_name is not None:
            where += f" for application {app_name or app_uuid!r}"
        return env, conn_name, scope, (rows[0] if rows else None), where

    def _enumerate(self, db: sqlite3.Connection, request: dict[str, Any], user: str) -> dict[str, Any]:
        env = _name(request, "env_name")
        app_uuid, app_name = _app_ref(request)
        if app_uuid is None and app_name is None:
            rows = self._select_connections(db, "c.env_name = ?", (env,))
        else:
            app = self._known_app(db, app_uuid, app_name)
            app_uuid, app_name = app["uuid"], app["name"]
            rows = self._select_connections(db, "c.env_name = ? AND c.scope = ?", (env, app_uuid))
        return {
            "env_name": env,
            "application_uuid": app_uuid,
            "application_name": app_name,
            "connections": [self._connection_view(row) for row in rows],
        }

    def _attach(self, db: sqlite3.Connection, request: dict[str, Any], user: str) -> dict[str, Any]:
        backend = _name(request, "backend")
        credentials = _credentials(request, self.max_credential_size)
        env, conn_name, scope, existing, where = self._connection_target(db, request, app_must_exist=True)
        if existing is not None:
            raise VeltraCloudConflictError(f"{where} already exists")
        now = _now()
        db.execute(
            "INSERT INTO connections (env_name, scope, name, backend, credentials, created_at, updated_at)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            (env, scope, conn_name, backend, json.dumps(credentials), now, now),
        )
        return self._connection_response(db, env, scope, conn_name)

    def _amend(self, db: sqlite3.Connection, request: dict[str, Any], user: str) -> dict[str, Any]:
        backend = _name(request, "backend", optional=True)
        credentials = _credentials(request, self.max_credential_size, optional=True)
        env, conn_name, scope, existing, where = self._connection_target(db, request, app_must_exist=False)
        if backend is None and credentials is None:
            raise VeltraCloudRequestError(f"nothing to change for {where}: give a backend or credentials")
        if existing is None:
            raise VeltraCloudNotFoundError(f"{where} does not exist")
        db.execute(
            "UPDATE connections SET backend = ?, credentials = ?, updated_at = ?"
            " WHERE env_name = ? AND scope = ? AND name = ?",
            (
                backend if backend is not None else existing["backend"],
                json.dumps(credentials) if credentials is not None else existing["credentials"],
                _now(),
                env,
                scope,
                conn_name,
            ),
        )
        response = self._connection_response(db, env, scope, conn_name)
        response["changed"] = [k for k, v in (("backend", backend), ("credentials", credentials)) if v is not None]
        return response

    def _detach(self, db: sqlite3.Connection, request: dict[str, Any], user: str) -> dict[str, Any]:
        env, conn_name, scope, existing, where = self._connection_target(db, request, app_must_exist=False)
        if existing is None:
            raise VeltraCloudNotFoundError(f"{where} does not exist")
        db.execute("DELETE FROM connections WHERE env_name = ? AND scope = ? AND name = ?", (env, scope, conn_name))
        view = self._connection_view(existing)
        return {
            "env_name": env,
            "connection_name": conn_name,
            "backend": view["backend"],
            "application_uuid": view["application_uuid"],
            "application_name": view["application_name"],
            "removed": True,
        }

    def _connection_response(self, db: sqlite3.Connection, env: str, scope: str, conn_name: str) -> dict[str, Any]:
        row = self._select_connections(db, "c.env_name = ? AND c.scope = ? AND c.name = ?", (env, scope, conn_name))[0]
        view = self._connection_view(row)
        del view["problem"]  # a listing's flag; the add and change answers carry the stored fields only
        return {"env_name": env, **view}

    # -- deploys

    def _deploy(self, db: sqlite3.Connection, request: dict[str, Any], user: str) -> dict[str, Any]:
        env = _name(request, "env_name")
        deploy_type = _name(request, "deploy_type")
        lakehouse_type = _name(request, "lakehouse_type")
        from_env = _name(request, "from_env", optional=True)
        app_uuid, app_name = _app_ref(request)
        redeploy = request.get("redeploy")
        if redeploy is None:  # null, like a key left out, means "not given": a first deploy
            redeploy = False
        if not isinstance(redeploy, bool):
            raise VeltraCloudRequestError(f"redeploy must be true or false, got {redeploy!r}")
        archive = _read_archive(request[_ARCHIVE_KEY], self.max_archive_size)

        app = self._get_or_create_app(db, app_uuid, app_name, archive.project_name or DEFAULT_APPLICATION_NAME)
        deployed = db.execute(
            "SELECT COALESCE(MAX(number), 0) FROM deploys WHERE application_uuid = ? AND env_name = ?",
            (app["uuid"], env),
        ).fetchone()[0]
        if deployed and not redeploy:
            raise VeltraCloudAlreadyDeployedError(
                f"application {app['name']!r} ({app['uuid']}) is already deployed in environment {env!r};"
                " redeploy to replace it"
            )
        sha256, size = archive.verify()
        deploy_uuid = str(uuid.uuid4())
        db.execute(
            "INSERT INTO deploys (deploy_uuid, application_uuid, env_name, number, deploy_type, lakehouse_type,"
            " from_env, archive_sha256, archive_size, entries, deployed_by, deployed_at)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (
                deploy_uuid,
                app["uuid"],
                env,
                deployed + 1,
                deploy_type,
                lakehouse_type,
                from_env,
                sha256,
                size,
                json.dumps(archive.names),
                user,
                _now(),
            ),
        )
        return {
            "details": {
                "domain_url": domain_url(app["uuid"]),
                "application_uuid": app["uuid"],
                "application_name": app["name"],
                "env_name": env,
                "deploy_uuid": deploy_uuid,
                "deploy_number": deployed + 1,
                "deploy_type": deploy_type,
                "lakehouse_type": lakehouse_type,
                "from_env": from_env,
                "status": "deployed",
            }
        }

    def _list_deploys(self, db: sqlite3.Connection, request: dict[str, Any], user: str) -> dict[str, Any]:
        """Every deploy, oldest first per application and environment; optionally narrowed."""
        env = _name(request, "env_name", optional=True)
        app_uuid, app_name = _app_ref(request)
        where, params = ["1"], []
        if env is not None:
            where.append("d.env_name = ?")
            params.append(env)
        if app_uuid is not None or app_name is not None:
            where.append("d.application_uuid = ?")
            params.append(self._known_app(db, app_uuid, app_name)["uuid"])
        rows = db.execute(
            "SELECT d.*, a.name AS application_name FROM deploys d JOIN applications a ON a.uuid = d.application_uuid"
            f" WHERE {' AND '.join(where)} ORDER BY a.name, d.env_name, d.number",
            params,
        ).fetchall()
        return {
            "deploys": [
                {
                    "application_uuid": row["application_uuid"],
                    "application_name": row["application_name"],
                    "env_name": row["env_name"],
                    "deploy_number": row["number"],
                    "redeploy": row["number"] > 1,
                    "deploy_uuid": row["deploy_uuid"],
                    "deploy_type": row["deploy_type"],
                    "lakehouse_type": row["lakehouse_type"],
                    "from_env": row["from_env"],
                    "archive_size": row["archive_size"],
                    "deployed_by": row["deployed_by"],
                    "deployed_at": row["deployed_at"],
                }
                for row in rows
            ]
        }

    _HANDLERS: ClassVar[dict[str, Callable[..., dict[str, Any]]]] = {
        "EnumerateOuterLinks": _enumerate,
        "AttachOuterLink": _attach,
        "AmendOuterLink": _amend,
        "DetachOuterLink": _detach,
        "CreateAppDeploy": _deploy,
        "ListDeploys": _list_deploys,
    }
