"""`veltra deploy` racing with its user, with itself and with interruptions, through real
processes: what changes while the question waits is checked before packing, a second
deploy in the folder is refused without harming the first, an interruption says what
reached the service, and a deploy the service accepted is reported as such."""

from __future__ import annotations

import os
import signal
import sqlite3
import subprocess
import sys
import time

import pytest
from cli_support import read_until, snapshot, stored_deploys
from support.cases import DEPLOY_MESSAGES, DEPLOY_PROMPT


def start(argv: list[str], env: dict[str, str], cwd, **options) -> subprocess.Popen:
    options.setdefault("stdout", subprocess.PIPE)
    return subprocess.Popen(
        [sys.executable, "-m", "veltra", *argv], cwd=cwd, env=env, stderr=subprocess.PIPE, **options
    )


def wait_for(condition, what: str, timeout: float = 60) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting: {what}"
        time.sleep(0.01)


@pytest.mark.parametrize("change", ["app.zip", "link"])
def test_what_changes_while_the_question_waits_is_checked_before_packing(env, app, tmp_path, change):
    (tmp_path / "outside.txt").write_text("outside-secret")
    child = start(["deploy", "--env", "t"], env, app, stdin=subprocess.PIPE)
    seen = bytearray()
    read_until(child.stderr.fileno(), DEPLOY_PROMPT.encode(), seen)
    # The user, while the question waits:
    if change == "app.zip":
        (app / "app.zip").write_text("the user's own archive")
    else:
        (app / "src" / "hello_app" / "notes.txt").symlink_to(tmp_path / "outside.txt")
    before = snapshot(app)
    out, err = child.communicate(b"y\n", timeout=60)
    lines = (bytes(seen) + err).decode().split(DEPLOY_PROMPT, 1)[1].splitlines()
    assert child.returncode == 1 and out == b""
    if change == "app.zip":
        assert len(lines) == 1 and "app.zip already exists" in lines[0], lines
        assert (app / "app.zip").read_text() == "the user's own archive"
    else:
        assert "error: symbolic link src/hello_app/notes.txt -> " in lines[-2] and "outside" in lines[-2], lines
    assert snapshot(app) == before and stored_deploys(tmp_path) == []


@pytest.fixture
def many_files(tmp_path):
    """An application of 5,000 small files: a deploy of it takes a while."""
    root = tmp_path / "many"
    (root / "src").mkdir(parents=True)
    (root / "requirements.txt").write_text("")
    for i in range(50):
        folder = root / "src" / f"pkg{i}"
        folder.mkdir()
        for j in range(100):
            (folder / f"m{j}.py").write_text(f"VALUE = {i * 100 + j}\n")
    return root


def test_a_second_deploy_in_the_same_folder_is_refused_and_the_first_unharmed(env, many_files, tmp_path):
    before = snapshot(many_files)
    subprocess.run([sys.executable, "-m", "veltra", "deploys", "list"], env=env, check=True, capture_output=True)
    store = sqlite3.connect(tmp_path / "data" / "service.sqlite3", isolation_level=None)
    try:
        store.execute("BEGIN EXCLUSIVE")  # holds the first deploy at the service, in the middle of its work
        first = start(["deploy", "--env", "t", "--yes"], env, many_files)
        seen = bytearray()
        read_until(first.stderr.fileno(), b"waiting for another process that is using", seen)
        second = start(["deploy", "--env", "t", "--yes"], env, many_files)
        out2, err2 = second.communicate(timeout=120)
        store.execute("ROLLBACK")
    finally:
        store.close()
    out1, err1 = first.communicate(timeout=120)
    assert first.returncode == 0, bytes(seen) + err1
    assert out1.decode().splitlines()[0] == DEPLOY_MESSAGES[0]
    assert (second.returncode, out2) == (1, b"")
    assert err2.decode().splitlines() == ["error: another deploy is running in this folder; wait for it to finish"]
    [(number, entries)] = stored_deploys(tmp_path)
    assert number == 1 and len([e for e in entries if e.endswith(".py")]) == 5000
    assert snapshot(many_files) == before  # no app.zip left behind, nothing of the user's touched


def writing_to_standard_output(pid: int) -> bool:
    """Whether the process waits in a write() to its standard output (x86-64 Linux: system call 1, fd 1)."""
    try:
        with open(f"/proc/{pid}/syscall") as status:
            return status.read().split()[:2] == ["1", "0x1"]
    except OSError:
        return False


def full_pipe() -> tuple[int, int]:
    """A pipe whose buffer is already full: whoever writes to it next waits until it is read."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"x" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    return read_end, write_end


@pytest.mark.parametrize("moment", ["while the service has the request", "after the service accepted it"])
def test_an_interrupted_deploy_says_what_reached_the_service(env, app, tmp_path, moment):
    data = tmp_path / "data" / "service.sqlite3"
    subprocess.run([sys.executable, "-m", "veltra", "deploys", "list"], env=env, check=True, capture_output=True)
    store = sqlite3.connect(data, isolation_level=None)
    read_end = write_end = None
    try:
        if moment == "while the service has the request":
            store.execute("BEGIN EXCLUSIVE")  # another process holds the store: the request waits there
            child = start(["deploy", "--env", "t", "--yes"], env, app)
            seen = bytearray()
            read_until(child.stderr.fileno(), b"waiting for another process that is using", seen)
        else:
            read_end, write_end = full_pipe()  # the deploy's own lines cannot be written: it waits after the send
            child = start(["deploy", "--env", "t", "--yes"], env, app, stdout=write_end)
            os.close(write_end)
            seen = bytearray()
            wait_for(lambda: writing_to_standard_output(child.pid), "the deploy to print its first line")
            assert len(stored_deploys(tmp_path)) == 1
        child.send_signal(signal.SIGINT)
        if read_end is not None:
            while os.read(read_end, 65536):  # let the deploy write, and end
                pass
        _, err = child.communicate(timeout=60)
        if moment == "while the service has the request":
            store.execute("ROLLBACK")
    finally:
        store.close()
        if read_end is not None:
            os.close(read_end)
    last = (bytes(seen) + err).decode().splitlines()[-1]
    assert child.returncode == 130
    if moment == "while the service has the request":
        assert last == (
            "deploy interrupted while the service had the request; see whether it arrived with:"
            " veltra deploys list --env t"
        )
        assert stored_deploys(tmp_path) == []  # here it had not: the store rolled it back
    else:
        assert last == "deploy interrupted after the service accepted deploy 1 of 'hello-app' to environment 't'"
        assert len(stored_deploys(tmp_path)) == 1
    assert not (app / "app.zip").exists()


def test_an_accepted_deploy_whose_output_has_gone_succeeds_and_says_so(veltra, app, tmp_path):
    read_end, write_end = os.pipe()
    os.close(read_end)  # whoever read the output has gone
    try:
        proc = veltra("deploy", "--env", "t", "--yes", cwd=app, stdout=write_end, stderr=subprocess.PIPE)
    finally:
        os.close(write_end)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert lines[-3] == DEPLOY_MESSAGES[0] and lines[-2].startswith(DEPLOY_MESSAGES[1])
    assert lines[-1].startswith("First deploy of 'hello-app' to environment 't'.")
    assert len(stored_deploys(tmp_path)) == 1
