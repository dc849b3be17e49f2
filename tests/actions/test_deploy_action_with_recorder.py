"""The deploy action: staging and packing the working directory, the request, the
prompts, the redeploy path, the failure lines and what a failure leaves behind."""

from __future__ import annotations

import base64
import builtins
import io
import os
import shutil
import sys
import tempfile
import traceback
import types
import zipfile
from collections.abc import Callable
from typing import ClassVar, NamedTuple

import pytest
from support.cases import DEPLOY_AT as AT
from support.cases import DEPLOY_MESSAGES, DEPLOY_METHODS, DEPLOY_PROMPT, DEPLOY_REQUEST, REDEPLOY_PROMPT, StrSub
from support.recording import recording

from veltra.cloud.services.actions import launch_rollout as mod
from veltra.errors import VeltraCloudAlreadyDeployedError

Action = mod.LaunchRolloutAction
SOURCE = "src/veltra/cloud/services/actions/launch_rollout"
PREFIX = "veltra.cloud.services.actions.launch_rollout.LaunchRolloutAction."
IN_PROGRESS = DEPLOY_MESSAGES[0]
DEF = {name: method.def_line for name, method in DEPLOY_METHODS.items()}
DETAILS = {"domain_url": "https://given.example/", "application_uuid": "u-1"}
FILES = {
    "src/pkg/main.py": b"print('hi')\n",
    "src/pkg/data/blob.bin": bytes(range(256)),
    "requirements.txt": b"requests\n",
}
KEYS = list(DEPLOY_REQUEST)


class LaterError(VeltraCloudAlreadyDeployedError):
    pass


@pytest.fixture(autouse=True)
def work(tmp_path, monkeypatch):
    """A working directory holding an application, and an empty private TMPDIR."""
    (tmp_path / "tmp").mkdir()
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    monkeypatch.setattr(tempfile, "tempdir", None)
    cwd = tmp_path / "work"
    for name, content in FILES.items():
        (cwd / name).parent.mkdir(parents=True, exist_ok=True)
        (cwd / name).write_bytes(content)
    monkeypatch.chdir(cwd)
    return tmp_path


def rec(**settings):
    settings.setdefault("response", {"details": dict(DETAILS)})
    return recording(Action, **settings)


def ours(exc_or_tb):
    """(method, line) of this module's traceback entries, outermost first."""
    tb = getattr(exc_or_tb, "__traceback__", exc_or_tb)
    return [(e.name.removeprefix(PREFIX), e.lineno) for e in traceback.extract_tb(tb) if e.filename == SOURCE]


def archive_of(request):
    with zipfile.ZipFile(io.BytesIO(base64.b64decode(request["zip_archive"], validate=True))) as z:
        return {n: z.read(n) for n in z.namelist() if not n.endswith("/")}


def replies(*items):
    """A collaborator answering each call with the next item: raised when it is an
    exception, called with the call's arguments when callable, else returned."""
    it = iter(items)

    def reply(*args):
        item = next(it)
        if isinstance(item, BaseException):
            raise item
        return item(*args) if callable(item) else item

    return reply


def leftovers(work):
    return sorted(os.listdir()), os.listdir(work / "tmp")


@pytest.mark.parametrize(
    "extra, args, kwargs, sent",
    [
        ({}, (), {}, (None, None, None)),
        ({"pyproject.toml": b"[project]\n", ".veltra-cli": b"k=v\n"}, ("f", "u", "n"), {}, ("f", "u", "n")),
        ({".veltra-cli": b"k=v\n"}, (), {"application_name": 5, "from_env": "f"}, ("f", None, 5)),
        ({"pyproject.toml": b"x", "app.zip": b"stale"}, (), {}, (None, None, None)),
    ],
)
def test_archive_and_request(work, extra, args, kwargs, sent):
    for name, content in extra.items():
        (work / "work" / name).write_bytes(content)
    seen = []
    r = rec(payload=lambda: seen.append(os.path.exists("app.zip")) or b"\x00secret")
    assert r.action("dt", "lt", "env", *args, no_input=True, **kwargs) is True
    assert r.names() == ["_credentials_data", "execute_transaction", "_print", "_print"]
    assert seen == [False]
    ((name, request),) = r.transactions()
    assert name == "CreateAppDeploy"
    assert list(request) == KEYS
    assert request["data"] == base64.b64encode(b"\x00secret").decode()
    assert [request[k] for k in KEYS[2:]] == ["dt", "env", sent[0], "lt", sent[1], sent[2]]
    expected = {f"app/{k}": v for k, v in {**FILES, **extra}.items() if k != "app.zip"}
    assert archive_of(request) == expected
    assert leftovers(work) == (sorted(["requirements.txt", "src", *extra.keys() - {"app.zip"}]), [])
    assert [c[1] for c in r.calls[-2:]] == [(IN_PROGRESS,), ("Your API domain: https://given.example/",)]


@pytest.mark.parametrize(
    "no_input, answer, proceeds",
    [
        (False, "y", True),
        (False, "Y", True),
        (False, "yes", False),
        (False, "n", False),
        (False, "", False),
        (0, " y", False),
        (None, "y", True),
        (1, None, True),
        ("x", None, True),
    ],
)
def test_deploy_prompt(work, no_input, answer, proceeds):
    r = rec(answers=[answer])
    assert r.action("dt", "lt", "env", no_input=no_input) is proceeds
    asked = [("_input", (DEPLOY_PROMPT,), {})] if answer is not None else []
    assert r.calls[: len(asked)] == asked
    assert ("execute_transaction" in r.names()) == proceeds
    assert leftovers(work) == (["requirements.txt", "src"], [])


@pytest.mark.parametrize(
    "no_input, answers, result",
    [
        (True, [], True),
        (False, ["y", "y"], True),
        (False, ["y", "Y"], False),
        (False, ["Y", "n"], False),
    ],
)
def test_redeploy_path(work, no_input, answers, result):
    first = LaterError("there")
    handled = []
    r = rec(
        answers=answers, response=replies(first, lambda *a: handled.append(sys.exception()) or {"details": DETAILS})
    )
    before = KeyError("outer")
    try:
        raise before
    except KeyError:
        assert r.action("dt", "lt", "env", no_input=no_input) is result
        assert sys.exception() is before
    prompts = [a[0] for n, a, _ in r.calls if n == "_input"]
    assert prompts == [DEPLOY_PROMPT, REDEPLOY_PROMPT][2 - len(answers) :]
    sent = r.transactions()
    assert len(sent) == 1 + result
    assert all(s[1] is sent[0][1] for s in sent)
    if result:
        assert list(sent[0][1]) == [*KEYS, "redeploy"]
        assert sent[0][1]["redeploy"] is True
        assert handled == [first]
        assert r.calls[-1][1] == ("Your API domain: https://given.example/",)


@pytest.mark.parametrize(
    "second, entries",
    [
        (LaterError("again"), [("action", AT.redeploy_call), ("_redeploy", AT.resend)]),
        ({"details": None}, [("action", AT.redeploy_call), ("_redeploy", AT.redeploy_model)]),
    ],
)
def test_redeploy_failure_has_first_error_as_context(work, second, entries):
    first = VeltraCloudAlreadyDeployedError("first")
    r = rec(response=replies(first, second))
    with pytest.raises(Exception) as info:
        r.action("dt", "lt", "env", no_input=True)
    assert info.value.__context__ is first
    assert ours(info.value) == entries
    assert r.transactions()[1][1]["redeploy"] is True
    assert ours(first) == [("action", AT.send)]
    assert sys.exception() is None


def drop(name):
    return lambda mp: mp.delitem(vars(mod), name)


def put(name, value):
    return lambda mp: mp.setitem(vars(mod), name, value)


def in_work(fn):
    return lambda mp: fn()


class Failure(NamedTuple):
    """A deploy that fails, and what it must leave."""

    setup: Callable | None  # what breaks the deploy, given pytest's monkeypatch
    settings: dict  # the recorder's collaborators
    raised: type[BaseException]
    message: str | None
    lines: list[int]  # of this module's traceback entries, all in `action`
    zip_left: bool  # "app.zip" still in the working directory


FAILURES = {
    "no src": Failure(in_work(lambda: shutil.rmtree("src")), {}, FileNotFoundError, None, [AT.sources], False),
    "no requirements": Failure(
        in_work(lambda: os.remove("requirements.txt")), {}, FileNotFoundError, None, [AT.requirements], False
    ),
    "cli is a dir": Failure(
        in_work(lambda: os.mkdir(".veltra-cli")), {}, IsADirectoryError, None, [AT.cli_settings], False
    ),
    "archive unwritable": Failure(
        in_work(lambda: os.mkdir("app.zip")), {}, IsADirectoryError, None, [AT.make_archive], True
    ),
    "no tempfile": Failure(drop("tempfile"), {}, NameError, "name 'tempfile' is not defined", [AT.temp_dir], False),
    "no Path": Failure(drop("Path"), {}, NameError, "name 'Path' is not defined", [AT.app_dir], False),
    "no shutil": Failure(drop("shutil"), {}, NameError, "name 'shutil' is not defined", [AT.sources], False),
    "no base64": Failure(drop("base64"), {}, NameError, "name 'base64' is not defined", [AT.encode], True),
    "credentials fail": Failure(None, {"payload": OSError("creds")}, OSError, "creds", [AT.credentials], False),
    "str credentials": Failure(None, {"payload": "text"}, TypeError, None, [AT.request], False),
    "send fails": Failure(None, {"response": RuntimeError("down")}, RuntimeError, "down", [AT.send], False),
    "no error class": Failure(
        drop("VeltraCloudAlreadyDeployedError"),
        {"response": RuntimeError("x")},
        NameError,
        "name 'VeltraCloudAlreadyDeployedError' is not defined",
        [AT.except_clause],
        False,
    ),
    "bad error class": Failure(
        put("VeltraCloudAlreadyDeployedError", 42),
        {"response": RuntimeError("x")},
        TypeError,
        "catching classes that do not inherit from BaseException is not allowed",
        [AT.except_clause],
        False,
    ),
    "details None": Failure(
        None,
        {"response": {"details": None}},
        TypeError,
        "argument after ** must be a mapping, not NoneType",
        [AT.model],
        False,
    ),
    "no details": Failure(None, {"response": {}}, KeyError, "'details'", [AT.model], False),
    "no model": Failure(
        drop("DeployResponse"), {}, NameError, "name 'DeployResponse' is not defined", [AT.model], False
    ),
    "no subdomain": Failure(
        drop("VELTRA_ENV_SUBDOMAIN"),
        {"response": {"details": {}}},
        NameError,
        "name 'VELTRA_ENV_SUBDOMAIN' is not defined",
        [AT.domain_compose],
        False,
    ),
    "first print fails": Failure(
        None, {"_print": replies(ValueError("p1"))}, ValueError, "p1", [AT.first_message], False
    ),
    "second print fails": Failure(
        None, {"_print": replies(None, ValueError("p2"))}, ValueError, "p2", [AT.second_message], False
    ),
}


@pytest.mark.parametrize("case", FAILURES.values(), ids=FAILURES)
def test_failure_lines_and_leftovers(work, monkeypatch, case):
    if case.setup:
        case.setup(monkeypatch)
    r = rec(**case.settings)
    with pytest.raises(case.raised) as info:
        r.action("dt", "lt", "env", no_input=True)
    assert case.message is None or str(info.value) == case.message
    assert ours(info.value) == [("action", line) for line in case.lines]
    if case.raised is NameError:
        assert traceback.extract_tb(info.value.__traceback__)[-1][:3] == (SOURCE, case.lines[-1], PREFIX + "action")
    assert os.path.exists("app.zip") is case.zip_left
    assert os.listdir(work / "tmp") == []
    assert isinstance(info.value.__context__, RuntimeError) == (case.lines == [AT.except_clause])
    sent = r.names().count("execute_transaction")
    assert sent == (case.lines[0] >= AT.send)
    assert ("_credentials_data" in r.names()) == (case.lines[0] >= AT.credentials)


@pytest.mark.parametrize(
    "answers, exc_type, message, entries",
    [
        ([42], TypeError, "Expected unicode, got int", [("action", AT.ask), ("want_deploy_input", AT.deploy_prompt)]),
        (
            [StrSub("y")],
            TypeError,
            "Expected unicode, got StrSub",
            [("action", AT.ask), ("want_deploy_input", AT.deploy_prompt)],
        ),
        ([None], AttributeError, None, [("action", AT.answer)]),
        (
            ["y", 42],
            TypeError,
            "Expected unicode, got int",
            [("action", AT.redeploy_answer), ("want_redeploy_input", AT.redeploy_prompt)],
        ),
    ],
)
def test_prompt_failures(work, answers, exc_type, message, entries):
    r = rec(answers=answers, response=VeltraCloudAlreadyDeployedError("x"))
    with pytest.raises(exc_type) as info:
        r.action("dt", "lt", "env")
    assert message is None or str(info.value) == message
    assert ours(info.value) == entries
    assert os.listdir(work / "tmp") == []


@pytest.mark.parametrize(
    "domain, uuid, subdomain, shown",
    [
        ("https://given/", "u", "env", "https://given/"),
        ("", "u", "env", "https://u.env.veltra.app/"),
        (None, None, 7, "https://None.7.veltra.app/"),
    ],
)
def test_domain_url(work, monkeypatch, domain, uuid, subdomain, shown):
    monkeypatch.setitem(vars(mod), "VELTRA_ENV_SUBDOMAIN", subdomain)
    r = rec(response={"details": {"domain_url": domain, "application_uuid": uuid}})
    assert r.action("dt", "lt", "env", no_input=True) is True
    assert r.calls[-1][1] == (f"Your API domain: {shown}",)
    assert r._redeploy({}) is True
    assert r.calls[-1][1] == (f"Your API domain: {shown}",)


class FakeTemporaryDirectory:
    """Records what the `with` statement does; its exit may raise or swallow."""

    log: ClassVar[list] = []
    exit_result = None

    def __init__(self):
        self.path = tempfile.mkdtemp()

    def __getattribute__(self, name):
        if name in ("__enter__", "__exit__"):
            FakeTemporaryDirectory.log.append(name)
        return object.__getattribute__(self, name)

    def __enter__(self):
        return self.path

    def __exit__(self, *exc_info):
        shutil.rmtree(self.path)
        FakeTemporaryDirectory.log.append(exc_info)
        if isinstance(self.exit_result, BaseException):
            raise self.exit_result
        return self.exit_result


@pytest.mark.parametrize(
    "has_src, exit_result, exc_type, entries",
    [
        (True, OSError("exit"), OSError, [AT.temp_dir]),
        (False, None, FileNotFoundError, [AT.sources]),
        (False, OSError("exit"), OSError, [AT.temp_dir]),
        (False, True, FileNotFoundError, [AT.open]),  # swallowed: "app.zip" was never written
        (False, 1, FileNotFoundError, [AT.open]),  # any true result swallows, as in Python
    ],
)
def test_with_protocol(work, monkeypatch, has_src, exit_result, exc_type, entries):
    monkeypatch.setitem(vars(mod), "tempfile", types.SimpleNamespace(TemporaryDirectory=FakeTemporaryDirectory))
    monkeypatch.setattr(FakeTemporaryDirectory, "exit_result", exit_result)
    monkeypatch.setattr(FakeTemporaryDirectory, "log", [])
    if not has_src:
        shutil.rmtree("src")
    with pytest.raises(exc_type) as info:
        rec().action("dt", "lt", "env", no_input=True)
    assert ours(info.value) == [("action", line) for line in entries]
    log = FakeTemporaryDirectory.log
    assert log[:2] == ["__exit__", "__enter__"]
    if has_src:
        assert log[2] == (None, None, None)
        assert info.value.__context__ is None
    else:
        exc_type_, value, tb = log[2]
        assert exc_type_ is FileNotFoundError
        assert ours(tb) == [("action", AT.sources)]
        if exit_result is None:
            assert info.value is value
        else:  # replaced by exit's error, or a later one once exit swallowed the first
            swallowed = not isinstance(exit_result, BaseException)
            assert info.value.__context__ is (None if swallowed else value)


def test_open_kept_at_import(work, monkeypatch):
    real_open = builtins.open
    monkeypatch.setattr(builtins, "open", lambda f, *a, **k: 1 / 0 if f == "app.zip" else real_open(f, *a, **k))
    assert rec().action("dt", "lt", "env", no_input=True) is True


@pytest.mark.parametrize(
    "name, defaults, kwdefaults, doc",
    [
        ("want_deploy_input", None, None, "\n        Prompts the user to confirm if they want to deploy the app.\n"),
        (
            "want_redeploy_input",
            None,
            None,
            "\n        Prompts the user to confirm if they want to redeploy the app.\n",
        ),
        ("action", (None, None, None), {"no_input": False}, "\n        Executes the deploy action with the given"),
        ("_redeploy", None, None, None),  # no docstring at all, not an empty one
    ],
)
def test_method_defaults_and_docstrings(name, defaults, kwdefaults, doc):
    method = vars(Action)[name]
    assert method.__defaults__ == defaults
    assert method.__kwdefaults__ == kwdefaults
    assert method.__doc__ is None if doc is None else method.__doc__.startswith(doc)


@pytest.mark.parametrize(
    "data, keys",
    [
        (dict.fromkeys(KEYS, "v"), [*KEYS, "redeploy"]),
        ({"a": 1, "redeploy": False, "b": 2}, ["a", "redeploy", "b"]),
    ],
)
def test_redeploy_flags_the_given_dict(data, keys):
    r = rec()
    assert r._redeploy(data) is True
    assert r.transactions() == [("CreateAppDeploy", data)]
    assert r.transactions()[0][1] is data
    assert list(data) == keys
    assert data["redeploy"] is True


@pytest.mark.parametrize(
    "call, message, entries",
    [
        (lambda r: r.action("a", "b"), "action() takes at least 4 positional arguments (3 given)", [DEF["action"]]),
        (lambda r: r.action(*"abcdefg"), "action() takes at most 7 positional arguments (8 given)", [DEF["action"]]),
        (
            lambda r: r.action(env_name="e", deploy_type="d", x=1),
            "action() takes at least 4 positional arguments (2 given)",
            [DEF["action"]],
        ),
        (
            lambda r: r.action("a", "b", "c", deploy_type="d"),
            "action() got multiple values for keyword argument 'deploy_type'",
            [DEF["action"]],
        ),
        (
            lambda r: r.action("a", "b", "c", bogus=1),
            "action() got an unexpected keyword argument 'bogus'",
            [DEF["action"]],
        ),
        (
            lambda r: r.want_deploy_input(1),
            "want_deploy_input() takes exactly 1 positional argument (2 given)",
            [DEF["want_deploy_input"]],
        ),
        (
            lambda r: Action.want_redeploy_input(),
            "want_redeploy_input() takes exactly 1 positional argument (0 given)",
            [DEF["want_redeploy_input"]],
        ),
        (lambda r: r._redeploy(), "_redeploy() takes exactly 2 positional arguments (1 given)", [DEF["_redeploy"]]),
        (
            lambda r: r.action(None, "b", "c"),
            "Argument 'deploy_type' has incorrect type (expected str, got NoneType)",
            [],
        ),
        (
            lambda r: r.action("a", "b", StrSub("c")),
            "Argument 'env_name' has incorrect type (expected str, got StrSub)",
            [],
        ),
        (
            lambda r: r._redeploy(type("D", (dict,), {})()),
            "Argument 'deploy_data' has incorrect type (expected dict, got D)",
            [],
        ),
    ],
)
def test_binding_messages(call, message, entries):
    r = rec(answers=["y"])
    with pytest.raises(TypeError) as info:
        call(r)
    assert str(info.value) == message
    assert [line for _, line in ours(info.value)] == entries
    assert r.calls == []
