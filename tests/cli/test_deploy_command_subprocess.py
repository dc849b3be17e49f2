"""The `veltra deploy` command as its users meet it, through a real subprocess each time:
their files are never lost or left behind, what is shipped is what was checked, every
ordinary mistake is one "error:" line, and a deploy shows what it packs, leaves out and
sends."""

from __future__ import annotations

import os
import pty
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cli_support import one_error_line, snapshot, stored_deploys
from support.cases import DEPLOY_MESSAGES

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
    (app / ".env").write_text("TOKEN=inside-secret\n")  # inside the project, and never packed
    (app / ".git").mkdir(exist_ok=True)
    (app / ".git" / "config").write_text("[remote]\n")
    links = {
        "outside-file": ("hostname", outside / "secret.txt", "points outside the project"),
        "outside-folder": ("shared", outside / "tree", "points outside the project"),
        "dangling": ("gone", "no-such-file", "is dangling"),
        "loop": ("again", "..", "makes a loop"),
        "self": ("self", "self", "makes a loop"),
        "inside": ("logo.svg", "../../static/logo.svg", None),  # static/ is left out; logo.svg is a file
        "into-env": ("settings.env", "../../.env", "points into .env, a part of the project that is not packed"),
        "into-git": ("vcs", "../../.git", "points into .git/, a part of the project that is not packed"),
        "into-packed": ("reqs.txt", "../../requirements.txt", None),
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
        ["into-env"],
        ["into-git"],
        ["outside-file", "dangling", "loop", "into-env", "into-packed"],
    ],
)
def test_links_that_leave_what_is_packed_dangle_or_loop_are_refused_one_line_each(veltra, app, tmp_path, kinds):
    expected = make_links(app, tmp_path, kinds)
    before = snapshot(app)
    proc = veltra("deploy", "--env", "t", "--yes", cwd=app)
    lines = proc.stderr.splitlines()
    assert proc.returncode == 1 and proc.stdout == ""
    assert sorted(lines[:-1]) == sorted(expected)
    assert lines[-1].startswith(f"error: refused {len(expected)} symbolic link")
    assert ("--follow-symlinks" in lines[-1]) == any(k.startswith(("outside", "into-env", "into-git")) for k in kinds)
    assert snapshot(app) == before and stored_deploys(tmp_path) == []
    assert list((tmp_path / "tmp").iterdir()) == []


def test_follow_symlinks_packs_what_outside_links_point_to_but_never_dangling_ones(veltra, app, tmp_path):
    make_links(app, tmp_path, ["outside-file", "outside-folder", "inside", "into-env"])
    proc = veltra("deploy", "--env", "t", "--yes", "--follow-symlinks", cwd=app)
    assert proc.returncode == 0, proc.stderr
    assert "note: following symbolic link src/hello_app/hostname -> " in proc.stderr
    assert (
        "note: following symbolic link src/hello_app/settings.env -> ../../.env, which points into .env,"
        " a part of the project that is not packed"
    ) in proc.stderr.splitlines()
    [(_, entries)] = stored_deploys(tmp_path)
    assert {
        "app/src/hello_app/hostname",
        "app/src/hello_app/shared/x.txt",
        "app/src/hello_app/logo.svg",
        "app/src/hello_app/settings.env",
    } <= set(entries)

    make_links(app, tmp_path, ["dangling"])
    proc = veltra("deploy", "--env", "t", "--yes", "--follow-symlinks", cwd=app)
    assert proc.returncode == 1 and "is dangling" in proc.stderr and len(stored_deploys(tmp_path)) == 1


@pytest.mark.parametrize(
    "name, shown, why",
    [
        (b"caf\xe9.txt", "src/hello_app/caf\\xe9.txt", "its name is not valid UTF-8"),
        (b"win\\dows.py", "src/hello_app/win\\dows.py", "its name holds a backslash"),
    ],
)
def test_names_the_service_cannot_take_are_refused_before_packing(veltra, app, tmp_path, name, shown, why):
    with open(os.fsencode(app / "src" / "hello_app") + b"/" + name, "w") as handle:
        handle.write("x = 1\n")
    proc = veltra("deploy", "--env", "t", "--yes", cwd=app)
    one_error_line(proc, f"cannot pack {shown}: {why}, which the service cannot take; rename it")
    assert stored_deploys(tmp_path) == [] and not (app / "app.zip").exists()
    assert list((tmp_path / "tmp").iterdir()) == []  # refused before the action staged anything


@pytest.mark.parametrize("depth, deployed", [(256, True), (500, False)])
def test_a_deep_tree_deploys_or_is_refused_in_one_line(veltra, app, tmp_path, depth, deployed):
    folder = app / "src"  # depth 1
    for _ in range(depth - 1):
        folder = folder / "d"
    folder.mkdir(parents=True)
    (folder / "deep.py").write_text("")
    proc = veltra("deploy", "--env", "t", "--yes", cwd=app)
    if deployed:
        assert proc.returncode == 0, proc.stderr[-2000:]
        [(_, entries)] = stored_deploys(tmp_path)
        assert "app/" + str((folder / "deep.py").relative_to(app)) in entries
    else:
        one_error_line(proc, "cannot pack src/d/d/...: its folders nest more than 256 levels deep")
        assert stored_deploys(tmp_path) == []


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


def test_every_problem_of_a_folder_is_reported_at_once(veltra, app, tmp_path, as_plain_user):
    """Whoever fixes one problem must not meet the next one only on the next try."""
    (app / "app.zip").write_text("mine")
    (app / "requirements.txt").unlink()
    (app / "pyproject.toml").unlink()
    (app / "pyproject.toml").mkdir()
    (app / ".veltra-cli").mkdir()
    (app / "src" / "hello_app" / "main.py").chmod(0)
    (app / "src" / "hello_app" / "gone.py").symlink_to("missing.py")
    app.chmod(0o555)
    try:
        proc = veltra("deploy", "--env", "t", "--yes", cwd=app, preexec_fn=as_plain_user)
    finally:
        app.chmod(0o755)
    expected = [
        "app.zip already exists",
        "requirements.txt not found in",
        "pyproject.toml in ",
        ".veltra-cli in ",
        "cannot write into",
        "cannot read src/hello_app/main.py: Permission denied",
        "symbolic link src/hello_app/gone.py -> missing.py is dangling",
        "refused 1 symbolic link before packing anything",
    ]
    lines = proc.stderr.splitlines()
    assert (proc.returncode, proc.stdout, len(lines)) == (1, "", len(expected)), proc.stderr
    for line, words in zip(lines, expected, strict=True):
        assert line.startswith("error: ") and words in line, (line, words)
    assert stored_deploys(tmp_path) == [] and (app / "app.zip").read_text() == "mine"


# --- show what happens ---------------------------------------------------------------------------


def test_a_piped_deploy_prints_the_actions_lines_unchanged_and_notes_on_stderr(veltra, app):
    first = veltra("deploy", "--env", "t", "--yes", cwd=app)
    assert first.returncode == 0, first.stderr
    out = first.stdout.splitlines()
    assert len(out) == 2 and out[0] == DEPLOY_MESSAGES[0] and out[1].startswith(DEPLOY_MESSAGES[1])
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
    assert out.splitlines()[0] == DEPLOY_MESSAGES[0] and len(out.splitlines()) == 2


# --- limits ----------------------------------------------------------------------------------------


def test_an_archive_above_the_limit_is_announced_then_refused(veltra, app, tmp_path):
    (app / "src" / "hello_app" / "data.bin").write_bytes(os.urandom(4096))
    proc = veltra("deploy", "--env", "t", "--yes", cwd=app, extra_env={"VELTRA_MAX_ARCHIVE_SIZE": "2K"})
    lines = proc.stderr.splitlines()
    assert proc.returncode == 1 and proc.stdout == ""
    assert "more than the local service accepts (2 KiB, VELTRA_MAX_ARCHIVE_SIZE)" in lines[-2]
    assert lines[-1].startswith("error: the deploy archive is ") and "above the local service's limit" in lines[-1]
    assert not (app / "app.zip").exists() and stored_deploys(tmp_path) == []
