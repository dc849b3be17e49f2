"""Helpers of the command-line tests: what a folder holds, what the service stored, what a
finished command said, and running the command on a terminal of its own."""

from __future__ import annotations

import ctypes
import fcntl
import hashlib
import json
import os
import pty
import sqlite3
import subprocess
import sys
import termios
import time
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "app"


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
    """(number, archive entries) of every deploy in the data folder of tmp_path, oldest first."""
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


def read_until(fd: int, wanted: bytes, seen: bytearray, timeout: float = 60) -> None:
    """Read from ``fd`` into ``seen`` until ``wanted`` shows up; fail after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    os.set_blocking(fd, False)
    while wanted not in seen:
        assert time.monotonic() < deadline, f"never saw {wanted!r}; saw {bytes(seen)!r}"
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            time.sleep(0.01)
            continue
        except OSError:  # a terminal whose other end has gone
            chunk = b""
        assert chunk, f"the output ended before {wanted!r}; saw {bytes(seen)!r}"
        seen += chunk


def on_terminal(argv: list[str], env: dict[str, str], cwd: Path, **options) -> tuple[subprocess.Popen, int]:
    """Start `python -m veltra ARGV` with a terminal of its own as its controlling terminal (so that
    /dev/tty is that terminal), as standard input and error, and with ``stdout="terminal"`` as standard
    output too; return the process and the terminal's other end."""
    controller, terminal = pty.openpty()

    def take_terminal() -> None:
        os.setsid()
        fcntl.ioctl(2, termios.TIOCSCTTY, 0)  # standard error is the terminal by now

    options.setdefault("stdin", terminal)
    options.setdefault("stdout", subprocess.PIPE)
    if options["stdout"] == "terminal":
        options["stdout"] = terminal
    child = subprocess.Popen(
        [sys.executable, "-m", "veltra", *argv],
        cwd=cwd,
        env=env,
        stderr=terminal,
        preexec_fn=take_terminal,
        **options,
    )
    os.close(terminal)
    return child, controller
