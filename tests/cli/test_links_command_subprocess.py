"""`veltra links`, `veltra deploys list` and the command line itself, through a real
subprocess each time: one "error:" line per mistake, secrets never echoed and never
taken from the command line unless given there, listings that line up on a terminal
and that a script can read, nothing raw from the store reaching the terminal."""

from __future__ import annotations

import contextlib
import json
import os
import re
import sqlite3
import subprocess
import unicodedata

import pytest
from cli_support import on_terminal, one_error_line, read_until

from veltra.cli import parser as cli_parser

SECRET = "hunter2-very-secret"


def add_row(tmp_path, name: str, credentials: str, scope: str = "") -> None:
    """Store a connection row as another program might have written it."""
    with sqlite3.connect(tmp_path / "data" / "service.sqlite3") as db:
        db.execute(
            "INSERT INTO connections VALUES ('t', ?, ?, 'pg', ?, '2026-01-01T00:00:00+00:00', "
            "'2026-01-01T00:00:00+00:00')",
            (scope, name, credentials),
        )


# --- one clear line per mistake, and never a secret ---------------------------------------------------


@pytest.mark.parametrize(
    "argv",
    [
        ["--credentials", f"password={SECRET}"],  # a prefix of --credentials-file: no abbreviations
        [f"password={SECRET}"],  # --credential forgotten
        [f"--credentials=password={SECRET}"],
        ["--credential", f"={SECRET}"],  # no key
    ],
)
def test_a_mistyped_credential_is_refused_without_echoing_its_value(veltra, tmp_path, argv):
    proc = veltra("links", "add", "db", "--env", "t", "--backend", "pg", *argv)
    line = one_error_line(proc, "(see 'veltra")
    assert proc.returncode == 2 and SECRET not in line
    assert not (tmp_path / "data").exists()


def test_a_value_asked_on_the_terminal_is_neither_shown_nor_echoed(env, tmp_path):
    child, terminal = on_terminal(
        ["links", "add", "db", "--env", "t", "--backend", "pg", "--credential", "user=app", "--credential", "password"],
        env,
        tmp_path,
    )
    seen = bytearray()
    try:
        read_until(terminal, b"Value for password (not shown): ", seen)
        os.write(terminal, f"{SECRET}\n".encode())
        assert child.wait(timeout=60) == 0, bytes(seen)
        with contextlib.suppress(OSError):  # the terminal may be gone with the command
            seen += os.read(terminal, 65536)
    finally:
        os.close(terminal)
    assert SECRET.encode() not in seen  # the terminal did not echo it, nor did the command print it
    with sqlite3.connect(tmp_path / "data" / "service.sqlite3") as db:
        [(stored,)] = db.execute("SELECT credentials FROM connections").fetchall()
    assert json.loads(stored) == {"user": "app", "password": SECRET}


def test_a_value_to_ask_for_without_a_terminal_is_one_error_line(veltra, tmp_path):
    proc = veltra(
        "links", "add", "db", "--env", "t", "--backend", "pg", "--credential", "password", stdin=subprocess.DEVNULL,
        start_new_session=True,  # no controlling terminal to ask on
    )  # fmt: skip
    assert "password" not in one_error_line(
        proc, "a --credential without a value needs a terminal", "--credentials-file -"
    )
    assert proc.returncode == 1


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


@pytest.mark.parametrize(
    "argv, words",
    [
        (
            ["links", "remove", "db", "--env", "t"],
            ["belongs to application 'hello-app'", "--application-name hello-app"],
        ),
        (
            ["links", "change", "db", "--env", "t", "--backend", "mysql"],
            ["belongs to application 'hello-app'", "--application-name hello-app"],
        ),
        (["links", "list", "--env", "t", "--application-name", "helo-app"], ["application 'helo-app' is unknown"]),
        (["deploys", "list", "--application-name", "helo-app"], ["application 'helo-app' is unknown"]),
    ],
)
def test_a_connection_or_application_named_in_the_wrong_scope_is_explained(veltra, app, argv, words):
    assert veltra("deploy", "--env", "t", "--yes", cwd=app).returncode == 0
    add = veltra("links", "add", "db", "--env", "t", "--backend", "pg", "--application-name", "hello-app")
    assert add.returncode == 0, add.stderr
    one_error_line(veltra(*argv), *words)
    assert "db" in veltra("links", "list", "--env", "t").stdout  # nothing was removed or changed


def test_a_usage_mistake_is_one_line(veltra):
    proc = veltra("deploy")
    assert proc.returncode == 2 and one_error_line(proc, "--env", "veltra deploy --help")
    nothing = veltra("links", "change", "db", "--env", "t")
    assert nothing.returncode == 2 and one_error_line(nothing, "nothing to change", "veltra links change --help")


# --- listings ----------------------------------------------------------------------------------------------


@pytest.mark.parametrize("argv", [["links", "list", "--env", "t"], ["deploys", "list"]])
def test_a_listing_whose_reader_has_gone_ends_quietly(veltra, tmp_path, argv):
    for name in ("db", "cache", "queue"):
        veltra("links", "add", name, "--env", "t", "--backend", "pg")
    read_end, write_end = os.pipe()
    os.close(read_end)  # like `| head -1` that has already gone
    try:
        proc = veltra(*argv, stdout=write_end, stderr=subprocess.PIPE)
    finally:
        os.close(write_end)
    assert (proc.returncode, proc.stderr) == (0, "")


def test_listings_as_json_have_stable_keys(veltra, app):
    assert veltra("deploy", "--env", "t", "--yes", cwd=app).returncode == 0
    veltra("links", "add", "db", "--env", "t", "--backend", "pg", "--credential", f"password={SECRET}")
    links = json.loads(veltra("links", "list", "--env", "t", "--json").stdout)
    assert list(links) == ["env_name", "application_uuid", "application_name", "connections"]
    [connection] = links["connections"]
    assert list(connection) == [
        "connection_name",
        "backend",
        "application_uuid",
        "application_name",
        "credential_keys",
        "created_at",
        "updated_at",
        "problem",
    ]
    assert (connection["connection_name"], connection["credential_keys"], connection["problem"]) == (
        "db",
        ["password"],
        None,
    )
    [deploy] = json.loads(veltra("deploys", "list", "--json").stdout)["deploys"]
    assert list(deploy)[:5] == ["application_uuid", "application_name", "env_name", "deploy_number", "redeploy"]
    assert (deploy["application_name"], deploy["deploy_number"], deploy["redeploy"]) == ("hello-app", 1, False)
    assert SECRET not in json.dumps(links)


def test_a_row_that_cannot_be_read_is_flagged_and_can_be_removed(veltra, tmp_path):
    veltra("links", "add", "db", "--env", "t", "--backend", "pg", "--credential", "user=app")
    add_row(tmp_path, "broken", "{not json")
    listed = veltra("links", "list", "--env", "t")
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.splitlines()[1:] == ["broken\tpg\t-\t(unreadable)", "db\tpg\t-\tuser"]
    assert "veltra links remove broken --env t" in listed.stderr
    assert veltra("links", "remove", "broken", "--env", "t").returncode == 0
    assert [line.split("\t")[0] for line in veltra("links", "list", "--env", "t").stdout.splitlines()] == [
        "NAME",
        "db",
    ]


def test_control_characters_from_the_store_or_a_key_never_reach_the_terminal(veltra, tmp_path):
    clear = "\x1b[2J"
    add = veltra("links", "add", "db", "--env", "t", "--backend", "pg", "--credential", f"{clear}k=v")
    assert add.returncode == 0, add.stderr
    add_row(tmp_path, f"x{clear}", json.dumps({"user": "u"}))
    shown = [
        veltra("links", "list", "--env", "t"),
        veltra("links", "list", "--env", "t", "--json"),
        veltra("links", "change", "db", "--env", "t", "--credential", "user=u"),
        veltra("links", "remove", f"x{clear}", "--env", "t"),
        veltra("links", "add", f"y{clear}", "--env", "t", "--backend", "pg"),
    ]
    for proc in shown:
        assert "\x1b" not in proc.stdout + proc.stderr, proc.args
    assert "db\tpg\t-\t\\x1b[2Jk" in shown[0].stdout and "x\\x1b[2J\tpg" in shown[0].stdout
    assert shown[2].stderr == "note: the credentials were replaced as a whole; removed: \\x1b[2Jk\n"


def display_width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def test_links_list_lines_up_wide_characters_on_a_terminal(veltra, app, env, tmp_path):
    wide = "データ処理"
    assert veltra("deploy", "--env", "t", "--yes", "--application-name", wide, cwd=app).returncode == 0
    add = ["links", "add", "db", "--env", "t", "--backend", "postgres", "--credential", "user=u", "--application-name"]
    assert veltra(*add, wide).returncode == 0
    assert (
        veltra("links", "add", "queue", "--env", "t", "--backend", "kafka", "--credential", "token=x").returncode == 0
    )
    child, terminal = on_terminal(
        ["links", "list", "--env", "t"], {**env, "TERM": "xterm", "COLUMNS": "120"}, tmp_path, stdout="terminal"
    )
    seen = bytearray()
    try:
        read_until(terminal, b"token", seen)
        assert child.wait(timeout=60) == 0
    finally:
        os.close(terminal)
    plain = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", seen.decode().replace("\r", ""))  # styles and cursor moves
    lines = [line for line in plain.splitlines() if line.strip()]
    starts = [
        display_width(line[: line.index(key)]) for line, key in zip(lines, ["CREDENTIAL", "user", "token"], strict=True)
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


def test_a_credential_above_the_limit_is_refused_without_repeating_it(veltra):
    add = ["links", "add", "db", "--env", "t", "--backend", "pg", "--credential", "password=0123456789"]
    proc = veltra(*add, extra_env={"VELTRA_MAX_CREDENTIAL_SIZE": "8"})
    assert "0123456789" not in one_error_line(proc, "credentials['password']", "limit of 8 B")
    assert veltra("links", "list", "--env", "t").stdout == "No connections.\n"


# --- help ----------------------------------------------------------------------------------------------


def _parsers(parser):
    yield parser.complete()
    for action in parser._actions:
        for sub in getattr(action, "choices", None) or {}:
            if isinstance(action.choices[sub], type(parser)):
                yield from _parsers(action.choices[sub])


def test_every_option_has_help_and_every_command_an_epilog(veltra):
    for parser in _parsers(cli_parser.build_parser([])):
        for action in parser._actions:
            if action.option_strings or action.dest == "connection_name":
                assert action.help, (parser.prog, action.option_strings or action.dest)
        assert "exit codes:" in parser.format_help(), parser.prog
    top = veltra("--help").stdout
    for word in (
        "VELTRA_DATA_DIR",
        "VELTRA_MAX_ARCHIVE_SIZE",
        "VELTRA_MAX_CREDENTIAL_SIZE",
        "130",
        "head -1",
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
        "not UTF-8",
    ):
        assert word in deploy
    add = " ".join(veltra("links", "add", "--help").stdout.split())
    assert "--credential password asks for the password on the terminal" in add and "(ps)" in add
