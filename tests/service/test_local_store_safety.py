"""The local service's store, kept like a private key and robust to what other processes
and a full disk do to it: private folders only, secrets gone once removed, SQLite's own
error kept, readers that never wait for a writer, writers that say when they wait."""

from __future__ import annotations

import os
import sqlite3
import subprocess
import sys
import time

import pytest
from support.service_requests import DATA

from veltra.cloud.services.local import LocalService
from veltra.errors import VeltraCloudError

SECRETS = ("first-secret-3f9a", "second-secret-81bc")


def attach(service, name="db", credentials=None, **fields):
    request = {
        "data": DATA,
        "env_name": "t",
        "connection_name": name,
        "backend": "pg",
        "credentials": credentials or {},
        "application_uuid": None,
        "application_name": None,
    }
    return service.execute_transaction("AttachOuterLink", {**request, **fields})


def veltra(data, *argv, **options):
    env = {**os.environ, "VELTRA_DATA_DIR": str(data)}
    return subprocess.run(
        [sys.executable, "-m", "veltra", *argv], env=env, capture_output=True, text=True, timeout=120, **options
    )


@pytest.mark.parametrize(
    "what, case",
    [
        ("data folder", "writable by all"),
        ("data folder", "readable by all"),
        ("database", "readable by all"),
        ("data folder", "another user's"),
    ],
)
def test_a_store_other_users_can_reach_is_refused_with_the_fix(tmp_path, what, case):
    data = tmp_path / "data"
    assert veltra(data, "links", "list", "--env", "t").returncode == 0  # made private: 0700 and 0600
    assert (data.stat().st_mode & 0o777, (data / "service.sqlite3").stat().st_mode & 0o777) == (0o700, 0o600)
    path = data if what == "data folder" else data / "service.sqlite3"
    if case == "another user's":
        if os.geteuid() != 0:
            pytest.skip("giving the folder to another user takes root")
        os.chown(path, 65534, 65534)
    else:
        path.chmod(0o777 if case == "writable by all" else 0o755 if path.is_dir() else 0o644)
    before = (data / "service.sqlite3").read_bytes()
    proc = veltra(data, "links", "add", "db", "--env", "t", "--backend", "pg", "--credential", "password=x")
    [line] = proc.stderr.splitlines()
    assert proc.returncode == 1 and line.startswith(f"error: the local service's {what} ")
    assert ("chmod go-rw" in line) != ("another user" in line)
    assert (data / "service.sqlite3").read_bytes() == before  # nothing was written into it


def test_removed_and_replaced_secrets_do_not_linger_in_the_file(tmp_path, monkeypatch):
    connect = sqlite3.connect

    def build_without_secure_delete(*args, **kwargs):  # as SQLite is built by most distributions
        db = connect(*args, **kwargs)
        db.execute("PRAGMA secure_delete = OFF")
        return db

    monkeypatch.setattr(sqlite3, "connect", build_without_secure_delete)
    service = LocalService(tmp_path / "data")
    attach(service, credentials={"password": SECRETS[0]})
    attach(service, name="other", credentials={"token": "x" * 2000})  # neighbours on the same page
    amend = {"data": DATA, "env_name": "t", "connection_name": "db", "backend": None}
    service.execute_transaction(
        "AmendOuterLink",
        {**amend, "credentials": {"password": SECRETS[1]}, "application_uuid": None, "application_name": None},
    )
    service.execute_transaction(
        "DetachOuterLink",
        {"data": DATA, "env_name": "t", "connection_name": "db", "application_uuid": None, "application_name": None},
    )
    stored = (tmp_path / "data" / "service.sqlite3").read_bytes()
    assert all(secret.encode() not in stored for secret in SECRETS)


def test_a_full_disk_is_reported_as_such(tmp_path, monkeypatch):
    service = LocalService(tmp_path / "data")
    attach(service)  # the store exists, with its tables
    pages = sqlite3.connect(tmp_path / "data" / "service.sqlite3").execute("PRAGMA page_count").fetchone()[0]
    connect = sqlite3.connect

    def full(*args, **kwargs):  # a disk with no room for one more page
        db = connect(*args, **kwargs)
        db.execute(f"PRAGMA max_page_count = {pages}")
        return db

    monkeypatch.setattr(sqlite3, "connect", full)
    with pytest.raises(VeltraCloudError, match="database or disk is full"):
        attach(service, name="big", credentials={"blob": "x" * 60_000})
    monkeypatch.undo()
    listed = service.execute_transaction(
        "EnumerateOuterLinks", {"data": DATA, "env_name": "t", "application_uuid": None, "application_name": None}
    )
    assert [c["connection_name"] for c in listed["connections"]] == ["db"]


def test_readers_do_not_wait_for_a_writer_and_a_waiting_writer_says_so(tmp_path):
    data = tmp_path / "data"
    assert veltra(data, "links", "add", "db", "--env", "t", "--backend", "pg").returncode == 0
    writer = sqlite3.connect(data / "service.sqlite3", isolation_level=None)
    writer.execute("BEGIN IMMEDIATE")  # another process is writing
    try:
        start = time.monotonic()
        for argv in (["links", "list", "--env", "t"], ["deploys", "list"]):
            proc = veltra(data, *argv)
            assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
        assert time.monotonic() - start < 10  # not the 30 s a writer would wait for the lock
        add = subprocess.Popen(
            [sys.executable, "-m", "veltra", "links", "add", "cache", "--env", "t", "--backend", "redis"],
            env={**os.environ, "VELTRA_DATA_DIR": str(data)},
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        note = add.stderr.readline()
        assert note.startswith("note: waiting for another process that is using ") and "at most 30 s" in note
        writer.execute("COMMIT")  # the other process is done
        _, err = add.communicate(timeout=60)
    finally:
        writer.close()
    assert (add.returncode, err) == (0, ""), err
    assert "cache" in veltra(data, "links", "list", "--env", "t").stdout
