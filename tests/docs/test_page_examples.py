"""The pages tell the truth: every example marked in README.md and docs/cli.md runs as
written, in a fresh copy of the example project with a fresh data folder, and prints
what the page shows.

A page marks an example with an HTML comment on the line before its fenced block:

    <!-- example -->                          the block as it stands, from the project's top
    <!-- example
    cwd: examples/app                         where it runs (and its setup)
    setup: touch README.md                    shell commands run first, quietly; they must succeed
    run: veltra deploy --env dev --yes        a command the block shows part of the output of
    -->

A block whose lines start with "$ " is a session: each command runs in turn, and the whole
session, commands and output (standard error within standard output), must read as the
page shows it. A block under `run:` is output: its lines must appear, in that order, among
the lines that command prints. Any other block is a script, run as written: it must
succeed and report no error. A Python block runs with the project's interpreter.

The commands run as a user at a terminal runs them: a terminal of their own answers "y"
to the deploy's questions and types a value at a hidden prompt, and the transcript shows
both as that terminal would. Standard output and standard error are one pipe, so tables
come tab-separated and no live status is drawn. Before comparing, UUIDs, times and runs
of blanks are made alike.
"""

from __future__ import annotations

import fcntl
import os
import pty
import re
import select
import shlex
import shutil
import subprocess
import sys
import termios
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parents[2]
PAGES = ("README.md", "docs/cli.md")
MARKED = re.compile(r"^<!-- example(?P<options>.*?)-->\n```(?P<lang>\w*)\n(?P<body>.*?)^```$", re.M | re.S)
QUESTION = "(y/N): "  # the deploy's two questions end so; the terminal answers "y"
HIDDEN = "(not shown): "  # a value asked for without echo
UUID = re.compile(r"\b[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\b")
TIME = re.compile(r"\b\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\d(?:\+00:00)?")


@dataclass
class Example:
    page: str
    line: int
    lang: str
    body: str
    options: dict[str, str] = field(default_factory=dict)

    def __str__(self) -> str:
        return f"{self.page}:{self.line}"


def marked_examples(page: str) -> list[Example]:
    text = (TOP / page).read_text(encoding="utf-8")
    found = []
    for match in MARKED.finditer(text):
        options = dict(
            (key.strip(), value.strip())
            for key, _, value in (line.partition(":") for line in match["options"].splitlines() if line.strip())
        )
        line = text.count("\n", 0, match.start("body")) + 1
        found.append(Example(page, line, match["lang"], match["body"], options))
    return found


EXAMPLES = [example for page in PAGES for example in marked_examples(page)]


def normalise(text: str) -> list[str]:
    lines = [" ".join(TIME.sub("<time>", UUID.sub("<uuid>", line)).split()) for line in text.splitlines()]
    while lines and not lines[-1]:
        lines.pop()
    return lines


@pytest.fixture
def project(tmp_path):
    """A copy of the project as a reader has it (the example application, .venv), a fresh data
    folder, and the environment of a shell there."""
    top = tmp_path / "project"
    shutil.copytree(TOP / "examples", top / "examples")
    (top / ".venv").symlink_to(sys.prefix)
    (tmp_path / "home").mkdir()
    (tmp_path / "tmp").mkdir()
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(("VELTRA_", "XDG_")) or k.endswith(("_PY313", "_SANITIZED"))
    }
    env |= {
        "PATH": f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}",
        "HOME": str(tmp_path / "home"),
        "TMPDIR": str(tmp_path / "tmp"),
        "VELTRA_DATA_DIR": str(top / ".veltra-data"),  # what ./dev run and the README use
        "DB_PASSWORD": "from-the-environment",
        "TERM": "dumb",
        "SKBUILD_EDITABLE_VERBOSE": "0",  # an editable install (README) rebuilds quietly
    }
    return top, env


def at_a_terminal(script: str, cwd: Path, env: dict[str, str], timeout: float = 120) -> tuple[int, str]:
    """Run ``script`` with bash, on a terminal of its own that answers its questions; return
    its exit status and what a user at that terminal would have seen."""
    controller, terminal = pty.openpty()
    out, out_w = os.pipe()

    def take_terminal() -> None:
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    child = subprocess.Popen(
        ["bash", "--noprofile", "--norc", "-c", script],
        cwd=cwd,
        env=env,
        stdin=terminal,
        stdout=out_w,
        stderr=out_w,
        preexec_fn=take_terminal,
    )
    os.close(terminal)
    os.close(out_w)
    seen, shown, sources = "", "", [out, controller]
    deadline = time.monotonic() + timeout
    try:
        while out in sources:
            assert time.monotonic() < deadline, f"still running after {timeout} s; so far: {seen!r}"
            for fd in select.select(sources, [], [], 0.1)[0]:
                try:
                    chunk = os.read(fd, 65536).decode(errors="backslashreplace")
                except OSError:  # the terminal, once nothing holds it open any more
                    chunk = ""
                if not chunk:
                    sources.remove(fd)
                elif fd == out:
                    seen += chunk
                else:
                    shown += chunk
            if seen.endswith(QUESTION):
                os.write(controller, b"y\n")
                seen += "y\n"  # as the terminal echoes it
            if shown.endswith(HIDDEN):
                os.write(controller, b"typed-at-the-prompt\n")
                seen += shown.replace("\r", "").rpartition("\n")[2] + "\n"  # the prompt; the value is not echoed
                shown = ""
    finally:
        os.close(out)
        os.close(controller)
    return child.wait(timeout=timeout), seen


def session(body: str) -> str:
    """The script that replays a session: each command shown as the page shows it, then run."""
    return "\n".join(
        f"printf '%s\\n' {shlex.quote(line)}\n{line[2:]}" for line in body.splitlines() if line.startswith("$ ")
    )


@pytest.mark.parametrize("page", PAGES)
def test_every_mark_is_read(page):
    assert len(marked_examples(page)) == (TOP / page).read_text(encoding="utf-8").count("<!-- example")


@pytest.mark.parametrize("example", EXAMPLES, ids=str)
def test_a_marked_example_runs_and_shows_what_the_page_shows(project, example):
    top, env = project
    cwd = top / example.options.get("cwd", ".")
    if "setup" in example.options:
        setup = subprocess.run(
            ["bash", "-c", example.options["setup"]], cwd=cwd, env=env, stdin=subprocess.DEVNULL, capture_output=True
        )
        assert setup.returncode == 0, setup.stdout + setup.stderr
    if example.lang == "python":
        proc = subprocess.run([sys.executable, "-c", example.body], cwd=cwd, env=env, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
    elif "run" in example.options:
        _, output = at_a_terminal(example.options["run"], cwd, env)
        shown, lines = normalise(example.body), iter(normalise(output))
        assert all(line in lines for line in shown), f"{shown} is not in order in:\n{output}"
    elif example.body.startswith("$ "):
        _, output = at_a_terminal(session(example.body), cwd, env)
        assert normalise(output) == normalise(example.body)
    else:
        status, output = at_a_terminal(f"set -e\n{example.body}", cwd, env)
        assert status == 0 and not re.search(r"^error:", output, re.M), output


def test_the_exit_codes_on_the_page_are_the_commands():
    from veltra.cli.errors import ExitCode

    text = (TOP / "docs/cli.md").read_text(encoding="utf-8").partition("## Errors and exit codes")[2]
    assert [int(code) for code in re.findall(r"^\| (\d+) \|", text, re.M)] == [int(code) for code in ExitCode]
