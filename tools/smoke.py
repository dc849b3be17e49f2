"""Smoke test of an installed veltra-actions: what a user gets from the wheel.

Run it with the interpreter of a fresh environment that has only the wheel (and
mypy, for the stub check) installed, from a directory outside the source tree,
in isolated mode so that nothing but site-packages is importable:

    python -I tools/smoke.py EXAMPLE_APP_DIR

It imports all five action modules and checks they come from site-packages,
deploys a copy of the example application through the `veltra` command, adds,
lists and removes a connection, and runs mypy's stubtest over the five modules.
The embedded service keeps its state in a temporary folder. Exits non-zero on
the first failure, saying what failed.
"""

from __future__ import annotations

import importlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import warnings
from pathlib import Path

ACTIONS = "veltra.cloud.services.actions"
MODULES = ("enumerate_outer_links", "attach_outer_link", "amend_outer_link", "detach_outer_link", "launch_rollout")
CLASSES = (
    "EnumerateOuterLinksAction",
    "AttachOuterLinkAction",
    "AmendOuterLinkAction",
    "DetachOuterLinkAction",
    "LaunchRolloutAction",
)


class SmokeError(Exception):
    pass


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SmokeError(what)


def import_all() -> None:
    site = Path(sysconfig.get_paths()["purelib"]).resolve()
    with warnings.catch_warnings():
        # Off the target interpreter the modules warn on import; that is expected here.
        warnings.simplefilter("ignore", RuntimeWarning)
        for short, cls in zip(MODULES, CLASSES, strict=True):
            module = importlib.import_module(f"{ACTIONS}.{short}")
            where = Path(module.__file__ or "").resolve()
            check(where.is_relative_to(site), f"{module.__name__} imported from {where}, not from {site}")
            check(where.suffix == ".so", f"{module.__name__} is not the compiled module: {where}")
            check(isinstance(getattr(module, cls, None), type), f"{module.__name__} has no class {cls}")
    print(f"smoke: imported the five modules from {site}")


def veltra(*args: str, cwd: Path, env: dict[str, str]) -> str:
    """Runs the installed `veltra` command; returns its output, fails on a non-zero exit."""
    command = Path(sys.executable).parent / "veltra"
    done = subprocess.run(
        [str(command), *args], cwd=cwd, env=env, input="", capture_output=True, text=True, timeout=120
    )
    check(done.returncode == 0, f"veltra {' '.join(args)} exited {done.returncode}:\n{done.stdout}{done.stderr}")
    return done.stdout


def cli_round_trip(example: Path, work: Path) -> None:
    app = work / "app"
    shutil.copytree(example, app)
    env = {**os.environ, "VELTRA_DATA_DIR": str(work / "data")}
    out = veltra("deploy", "--env", "demo", "--yes", cwd=app, env=env)
    check("Your API domain: https://" in out, f"deploy printed no API domain:\n{out}")
    veltra(
        "links", "add", "smoke-db", "--env", "demo", "--backend", "postgres", "--credential", "user=app",
        cwd=work, env=env,
    )  # fmt: skip
    out = veltra("links", "list", "--env", "demo", cwd=work, env=env)
    check("smoke-db" in out and "postgres" in out, f"the added connection is not listed:\n{out}")
    veltra("links", "remove", "smoke-db", "--env", "demo", cwd=work, env=env)
    out = veltra("links", "list", "--env", "demo", cwd=work, env=env)
    check("smoke-db" not in out, f"the removed connection is still listed:\n{out}")
    print("smoke: deployed the example, added, listed and removed a connection")


def stubtest(work: Path) -> None:
    names = [f"{ACTIONS}.{short}" for short in MODULES]
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *names], cwd=work, capture_output=True, text=True, timeout=600
    )
    check(done.returncode == 0, f"stubtest found differences:\n{done.stdout}{done.stderr}")
    print("smoke: stubtest agrees with the five modules")


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print("usage: python -I tools/smoke.py EXAMPLE_APP_DIR", file=sys.stderr)
        return 2
    example = Path(argv[0]).resolve()
    try:
        with tempfile.TemporaryDirectory(prefix="veltra-smoke-") as tmp:
            work = Path(tmp)
            os.chdir(work)
            import_all()
            cli_round_trip(example, work)
            stubtest(work)
    except SmokeError as e:
        print(f"smoke: FAILED: {e}", file=sys.stderr)
        return 1
    print(f"smoke: passed on Python {sys.version.split()[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
