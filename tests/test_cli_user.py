"""The `veltra` command as its users meet it, through a real subprocess each time:
their files are never lost or left behind, every ordinary mistake is one
"error:" line, and a deploy shows what it packs, leaves out and sends."""

from __future__ import annotations

import ctypes
import hashlib
import json
import os
import pty
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
import unicodedata
from pathlib import Path

import pytest

from veltra import cli

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "app"
DEPLOY_LINES = [
    "Deploy is in progress now. After a few minutes, you can check the status of your deploy.",
    "Your API domain: ",
]


@pytest.fixture
def env(tmp_path):
    staging = tmp_path / "tmp"
    staging.mkdir()
    values = {**os.environ, "VELTRA_DATA_DIR": str(tmp_path / "data"), "TMPDIR": str(staging), "TERM": "dumb"}
    for name in ("VELTRA_MAX_ARCHIVE_SIZE", "VELTRA_MAX_CREDENTIAL_SIZE", "VELTRA_DEBUG"):
        values.pop(name, None)
    return values


@pytest.fixture
def veltra(tmp_path, env):
    def run(*argv: str, cwd=None, input: str | None = None, extra_env=None, **options) -> subprocess.CompletedProcess:
        if "stdout" not in options:
            options["capture_output"] = True
        return subprocess.run(
            [sys.executable, "-m", "veltra", *argv],
            check=False,
            text=True,
            env={**env, **(extra_env or {})},
            input=input,
            cwd=cwd or tmp_path,
            timeout=120,
            **options,
        )

    return run


@pytest.fixture
def app(tmp_path):
    """A copy of the example application, with a few things a deploy leaves out."""
    root = tmp_path / "app"
    shutil.copytree(EXAMPLE, root)
    (root / "static").mkdir()
    (root / "static" / "logo.svg").write_text("<svg/>")
    (root / "README.md").write_text("# hello\n")
    return root


def snapshot(root: Path) -> dict[str, str]:
    """Every entry under root (links not followed) with its content's hash or link target."""
    result = {}
    for path in sorted(root.rglob("*")):
        rel = str(path.relative_to(root))
        if path.is_symlink():
            result[rel] = "-> " + os.readlink(path)
        elif path.is_file():
            result[rel] = hashlib.sha256(path.read_bytes()).hexdigest()
        else:
            result[rel] = "dir"
    return result


def one_error_line(proc: subprocess.CompletedProcess, *words: str) -> str:
    assert proc.returncode != 0
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: "), proc.stderr
    assert all(word in lines[0] for word in words), lines[0]
    return lines[0]


def stored_deploys(tmp_path: Path) -> list[tuple[int, list[str]]]:
    db = tmp_path / "data" / "service.sqlite3"
    if not db.exists():
        return []
    with sqlite3.connect(db) as conn:
        try:
            rows = conn.execute("SELECT number, entries FROM deploys ORDER BY deployed_at, number").fetchall()
        except sqlite3.OperationalError:  # the first transaction was refused, so not even the tables were made
            return []
    return [(number, json.loads(entries)) for number, entries in rows]


def without_file_override() -> None:
    """In the child: drop root's power to ignore file permissions, so that modes count as for anyone."""
    if os.geteuid() != 0:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "cannot drop capabilities")


@pytest.fixture
def as_plain_user():
    probe = subprocess.run(["true"], preexec_fn=without_file_override, check=False)
    if probe.returncode != 0:
        pytest.skip("cannot drop file-permission override for the child")
    return without_file_override


# --- never lose or leave a user's files ------------------------------------------


@pytest.mark.parametrize("kind", ["file", "folder", "link"])
def test_a_users_own_app_zip_is_refused_and_left_alone(veltra, app, tmp_path, kind):
    if kind == "file":
        (app / "app.zip").write_text("mine")
    elif kind == "folder":
        (app / "app.zip").mkdir()
        (app / "app.zip" / "inside.txt").write_text("mine")
    else:
        (tmp_path / "elsewhere.zip").write_text("mine")
        (app / "app.zip").symlink_to(tmp_path / "elsewhere.zip")
    before = snapshot(app)
    proc = veltra("deploy", "--env", "t", "--yes", cwd=app)
    one_error_line(proc, "app.zip already exists", "move or rename yours")
    assert proc.returncode == 1 and proc.stdout == ""
    assert snapshot(app) == before and stored_deploys(tmp_path) == []
    if kind == "link":
        assert (tmp_path / "elsewhere.zip").read_text() == "mine"


@pytest.fixture
def big_app(tmp_path):
    """An application large enough that packing it takes a good part of a second."""
    root = tmp_path / "big"
    (root / "src" / "blobs").mkdir(parents=True)
    (root / "requirements.txt").write_text("")
    (root / "notes.txt").write_text("keep me")
    for i in range(4):
        (root / "src" / "blobs" / f"b{i}.bin").write_bytes(os.urandom(10_000_000))
    return root


@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupted_deploy_removes_its_own_archive_and_says_so(env, big_app, tmp_path, signum, code):
    before = snapshot(big_app)
    child = subprocess.Popen(
        [sys.executable, "-m", "veltra", "deploy", "--env", "t", "--yes"],
        cwd=big_app,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    archive = big_app / "app.zip"
    deadline = time.monotonic() + 60
    while not (archive.exists() and archive.stat().st_size > 0):  # the action is packing now
        assert child.poll() is None and time.monotonic() < deadline, "the deploy never started packing"
        time.sleep(0.005)
    child.send_signal(signum)
    out, err = child.communicate(timeout=60)
    assert child.returncode == code, err
    assert out == ""
    assert err.splitlines() == [
        "note: not packed: notes.txt (a deploy packs only src/, requirements.txt, pyproject.toml and .veltra-cli)",
        "deploy interrupted; nothing was sent (the partial app.zip was removed)",
    ]
    assert not archive.exists() and snapshot(big_app) == before
    assert list((tmp_path / "tmp").iterdir()) == []  # the staging folder went too
    assert stored_deploys(tmp_path) == []


def test_a_failing_deploy_removes_its_partial_archive_in_one_line(veltra, tmp_path):
    root = tmp_path / "app"
    (root / "src").mkdir(parents=True)
    (root / "requirements.txt").write_text("")
    for i in range(8):
        (root / "src" / f"part{i}.bin").write_bytes(os.urandom(200_000))
    before = snapshot(root)

    def small_files():  # the archive outgrows what the process may write; the staged copies do not
        import resource

        resource.setrlimit(resource.RLIMIT_FSIZE, (1_000_000, 1_000_000))

    proc = veltra("deploy", "--env", "t", "--yes", cwd=root, preexec_fn=small_files)
    line = one_error_line(proc, "File too large", "the partial app.zip was removed")
    assert proc.returncode == 1 and "Traceback" not in line
    assert snapshot(root) == before and stored_deploys(tmp_path) == []


# --- symbolic links ----------------------------------------------------------------


def make_links(app: Path, outside: Path, kinds: list[str]) -> list[str]:
    """Make the named links under app/src/hello_app; return the lines expected for them."""
    where = app / "src" / "hello_app"
    (outside / "secret.txt").write_text("outside-secret")
    (outside / "tree").mkdir(exist_ok=True)
    (outside / "tree" / "x.txt").write_text("outside-tree")
    links = {
        "outside-file": ("hostname", outside / "secret.txt", "points outside the project"),
        "outside-folder": ("shared", outside / "tree", "points outside the project"),
        "dangling": ("gone", "no-such-file", "is dangling"),
        "loop": ("again", "..", "makes a loop"),
        "self": ("self", "self", "makes a loop"),
        "inside": ("logo.svg", "../../static/logo.svg", None),
    }
    expected = []
    for kind in kinds:
        name, target, problem = links[kind]
        (where / name).symlink_to(target)
        if problem:
            expected.append(f"error: symbolic link src/hello_app/{name} -> {target} {problem}")
    return expected


@pytest.mark.parametrize(
    "kinds",
    [
        ["outside-file"],
        ["outside-folder"],
        ["dangling"],
        ["loop"],
        ["self"],
        ["outside-file", "dangling", "loop", "inside"],
    ],
)
def test_links_that_leave_the_project_dangle_or_loop_are_refused_one_line_each(veltra, app, tmp_path, kinds):
    expected = make_links(app, tmp_path, kinds)
    before = snapshot(app)
    proc = veltra("deploy", "--env", "t", "--yes", cwd=app)
    lines = proc.stderr.splitlines()
    assert proc.returncode == 1 and proc.stdout == ""
    assert sorted(lines[:-1]) == sorted(expected)
    assert lines[-1].startswith(f"error: refused {len(expected)} symbolic link")
    assert ("--follow-symlinks" in lines[-1]) == any(k.startswith("outside") for k in kinds)
    assert snapshot(app) == before and stored_deploys(tmp_path) == []
    assert list((tmp_path / "tmp").iterdir()) == []


def test_follow_symlinks_packs_what_outside_links_point_to_but_never_dangling_ones(veltra, app, tmp_path):
    make_links(app, tmp_path, ["outside-file", "outside-folder", "inside"])
    proc = veltra("deploy", "--env", "t", "--yes", "--follow-symlinks", cwd=app)
    assert proc.returncode == 0, proc.stderr
    assert "note: following symbolic link src/hello_app/hostname -> " in proc.stderr
    [(_, entries)] = stored_deploys(tmp_path)
    assert {"app/src/hello_app/hostname", "app/src/hello_app/shared/x.txt", "app/src/hello_app/logo.svg"} <= set(
        entries
    )

    make_links(app, tmp_path, ["dangling"])
    proc = veltra("deploy", "--env", "t", "--yes", "--follow-symlinks", cwd=app)
    assert proc.returncode == 1 and "is dangling" in proc.stderr and len(stored_deploys(tmp_path)) == 1


# --- one clear line per error -----------------------------------------------------------


@pytest.mark.parametrize(
    "case, words",
    [
        ("no src", ["src/ not found", "application's folder"]),
        ("no requirements", ["requirements.txt not found"]),
        ("src is a file", ["src", "must be a folder"]),
        ("unreadable file", ["cannot read src/hello_app/main.py", "Permission denied"]),
        ("unreadable folder", ["cannot read src/hello_app/", "Permission denied"]),
        ("read-only folder", ["cannot write into", "app.zip"]),
    ],
)
def test_deploy_problems_are_one_error_line(veltra, app, tmp_path, as_plain_user, case, words):
    if case == "no src":
        shutil.rmtree(app / "src")
    elif case == "no requirements":
        (app / "requirements.txt").unlink()
    elif case == "src is a file":
        shutil.rmtree(app / "src")
        (app / "src").write_text("")
    elif case == "unreadable file":
        (app / "src" / "hello_app" / "main.py").chmod(0)
    elif case == "unreadable folder":
        (app / "src" / "hello_app").chmod(0)
    elif case == "read-only folder":
        app.chmod(0o555)
    try:
        proc = veltra("deploy", "--env", "t", "--yes", cwd=app, preexec_fn=as_plain_user)
        one_error_line(proc, *words)
        assert proc.returncode == 1 and proc.stdout == "" and not (app / "app.zip").exists()
    finally:
        app.chmod(0o755)
        if (app / "src" / "hello_app").is_dir():
            (app / "src" / "hello_app").chmod(0o755)
    assert stored_deploys(tmp_path) == []


@pytest.mark.parametrize("argv", [["links", "list", "--env", "x"], ["deploys", "list"]])
def test_a_closed_output_is_one_error_line(veltra, tmp_path, argv):
    veltra("links", "add", "db", "--env", "x", "--backend", "pg")
    read_end, write_end = os.pipe()
    os.close(read_end)  # like `| head -1` that has already gone
    try:
        proc = veltra(*argv, stdout=write_end, stderr=subprocess.PIPE)
    finally:
        os.close(write_end)
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == ["error: the output was closed before everything was written (broken pipe)"]


def test_data_dir_is_checked_and_expanded(veltra, tmp_path):
    proc = veltra("--data-dir", "", "links", "list", "--env", "x")
    assert proc.returncode == 2 and one_error_line(proc, "--data-dir", "must not be empty")
    home = tmp_path / "home"
    proc = veltra(
        "--data-dir", "~/vd", "links", "add", "db", "--env", "x", "--backend", "pg", extra_env={"HOME": str(home)}
    )
    assert proc.returncode == 0, proc.stderr
    assert (home / "vd" / "service.sqlite3").is_file() and not (tmp_path / "~").exists()


def test_a_connection_for_an_unknown_application_is_refused(veltra, app):
    assert veltra("deploy", "--env", "t", "--yes", cwd=app).returncode == 0
    proc = veltra("links", "add", "db", "--env", "t", "--backend", "pg", "--application-name", "helo-app")
    one_error_line(proc, "application 'helo-app' does not exist")
    ok = veltra("links", "add", "db", "--env", "t", "--backend", "pg", "--application-name", "hello-app")
    assert ok.returncode == 0, ok.stderr
    assert "helo-app" not in veltra("links", "list", "--env", "t").stdout


def test_a_usage_mistake_is_one_line(veltra):
    proc = veltra("deploy")
    assert proc.returncode == 2 and one_error_line(proc, "--env", "veltra deploy --help")


# --- show what happens ---------------------------------------------------------------------------


def test_a_piped_deploy_prints_the_actions_lines_unchanged_and_notes_on_stderr(veltra, app):
    first = veltra("deploy", "--env", "t", "--yes", cwd=app)
    assert first.returncode == 0, first.stderr
    out = first.stdout.splitlines()
    assert len(out) == 2 and out[0] == DEPLOY_LINES[0] and out[1].startswith(DEPLOY_LINES[1])
    assert first.stderr.splitlines() == [
        (
            "note: not packed: README.md, static/ (a deploy packs only src/, requirements.txt, pyproject.toml"
            " and .veltra-cli)"
        ),
        "First deploy of 'hello-app' to environment 't'. See it with: veltra deploys list --env t",
    ]
    second = veltra("deploy", "--env", "t", "--yes", cwd=app)
    assert second.stdout == first.stdout  # the action's own words, unchanged
    assert second.stderr.splitlines()[-1] == "Redeployed 'hello-app' to environment 't': deploy 2 replaces deploy 1."
    assert "\x1b" not in first.stderr + second.stderr  # no live status when not on a terminal

    listed = veltra("deploys", "list", "--env", "t").stdout.splitlines()
    assert listed[0].split()[:4] == ["APPLICATION", "ENVIRONMENT", "DEPLOY", "KIND"]
    assert listed[1].split()[:5] == ["hello-app", "t", "1", "first", "deploy"]
    assert listed[2].split()[:4] == ["hello-app", "t", "2", "redeploy"]
    assert veltra("deploys", "list", "--env", "other").stdout == "No deploys.\n"


def test_on_a_terminal_a_live_status_shows_what_is_packed(env, app):
    controller, terminal = pty.openpty()
    try:
        child = subprocess.Popen(
            [sys.executable, "-m", "veltra", "deploy", "--env", "t", "--yes"],
            cwd=app,
            env={**env, "TERM": "xterm", "COLUMNS": "200"},
            stdout=subprocess.PIPE,
            stderr=terminal,
            text=True,
        )
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        out = child.communicate(timeout=60)[0]
    finally:
        os.close(controller)
    text = shown.decode("utf-8", "replace")
    assert child.returncode == 0, text
    assert "Packing src/, requirements.txt, pyproject.toml: " in text
    assert "to a staging folder" in text or "written" in text or "Sending" in text
    assert out.splitlines()[0] == DEPLOY_LINES[0] and len(out.splitlines()) == 2


def display_width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def test_links_list_lines_up_wide_characters(veltra, app):
    wide = "データ処理"
    assert veltra("deploy", "--env", "t", "--yes", "--application-name", wide, cwd=app).returncode == 0
    add = ["links", "add", "db", "--env", "t", "--backend", "postgres", "--credential", "user=u", "--application-name"]
    assert veltra(*add, wide).returncode == 0
    assert (
        veltra(*["links", "add", "queue", "--env", "t", "--backend", "kafka", "--credential", "token=x"]).returncode
        == 0
    )
    lines = veltra("links", "list", "--env", "t").stdout.splitlines()
    starts = [
        display_width(line[: line.index(key)])
        for line, key in zip(lines, ["CREDENTIAL", "user", "token"], strict=False)
    ]
    assert len(set(starts)) == 1, lines


def test_links_change_names_the_credentials_it_removed(veltra):
    veltra(
        *["links", "add", "db", "--env", "t", "--backend", "pg", "--credential", "user=u", "--credential", "password=p"]
    )
    proc = veltra("links", "change", "db", "--env", "t", "--credential", "password=new")
    assert proc.returncode == 0 and proc.stderr == "note: the credentials were replaced as a whole; removed: user\n"
    assert "password" in veltra("links", "list", "--env", "t").stdout
    assert "REPLACE" in veltra("links", "change", "--help").stdout


# --- limits ----------------------------------------------------------------------------------------


def test_an_archive_above_the_limit_is_announced_then_refused(veltra, app, tmp_path):
    (app / "src" / "hello_app" / "data.bin").write_bytes(os.urandom(4096))
    proc = veltra("deploy", "--env", "t", "--yes", cwd=app, extra_env={"VELTRA_MAX_ARCHIVE_SIZE": "2K"})
    lines = proc.stderr.splitlines()
    assert proc.returncode == 1 and proc.stdout == ""
    assert "more than the local service accepts (2 KiB, VELTRA_MAX_ARCHIVE_SIZE)" in lines[-2]
    assert lines[-1].startswith("error: the deploy archive is ") and "above the local service's limit" in lines[-1]
    assert not (app / "app.zip").exists() and stored_deploys(tmp_path) == []


def test_a_credential_above_the_limit_is_refused_without_repeating_it(veltra):
    add = ["links", "add", "db", "--env", "t", "--backend", "pg", "--credential", "password=0123456789"]
    proc = veltra(*add, extra_env={"VELTRA_MAX_CREDENTIAL_SIZE": "8"})
    assert "0123456789" not in one_error_line(proc, "credentials['password']", "limit of 8 B")
    assert veltra("links", "list", "--env", "t").stdout == "No connections.\n"


# --- help ----------------------------------------------------------------------------------------------


def _parsers(parser):
    yield parser
    for action in parser._actions:
        for sub in getattr(action, "choices", None) or {}:
            if isinstance(action.choices[sub], type(parser)):
                yield from _parsers(action.choices[sub])


def test_every_option_has_help_and_every_command_an_epilog(veltra):
    for parser in _parsers(cli.build_parser()):
        for action in parser._actions:
            if action.option_strings or action.dest == "connection_name":
                assert action.help, (parser.prog, action.option_strings or action.dest)
        assert "exit codes:" in parser.epilog, parser.prog
    top = veltra("--help").stdout
    for word in (
        "VELTRA_DATA_DIR",
        "VELTRA_MAX_ARCHIVE_SIZE",
        "VELTRA_MAX_CREDENTIAL_SIZE",
        "130",
        "broken pipe",
        "data folder",
    ):
        assert word in top
    deploy = veltra("deploy", "--help").stdout
    for word in (
        "src/, requirements.txt, pyproject.toml and .veltra-cli",
        "--follow-symlinks",
        "app.zip already",
        "cannot read",
        "dangling",
    ):
        assert word in deploy
