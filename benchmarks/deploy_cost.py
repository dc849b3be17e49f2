#!/usr/bin/env python
"""What a deploy of a large application costs, against what packing it alone costs.

One run builds a project whose src/ holds one incompressible file (random
bytes, 60 MB by default) and, in alternating rounds, runs as separate processes:

  zip          python -m zipfile -c of the files a deploy packs (the floor a
               deploy cannot go below: it packs the same bytes the same way);
  links list   a bare `veltra links list`: the interpreter, the command line and
               the service with nothing to do (the memory baseline);
  first deploy `veltra deploy --yes` into an empty data folder;
  redeploy     the same command again: the service refuses the first request as
               already deployed and the action sends it again as a redeploy.

It prints each process's best wall time over the rounds (the run least
disturbed by whatever else the machine runs) and its median peak resident
memory, and the four figures read against the targets:

  peak memory of a deploy above `links list`, as a multiple of the archive size
  (the zip file's bytes); wall time of a deploy as a multiple of the zip's.

Figures are printed, never asserted. The archive size is the one the service
recorded for the deploy.

    .venv/bin/python benchmarks/deploy_cost.py [--size-mb 60] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

#: (figure, target) per deploy kind: peak memory in archives, wall time in zips.
TARGETS = {"first deploy": (3.9, 1.3), "redeploy": (3.9, 1.5)}


def run(argv: list[str], cwd: Path, env: dict[str, str]) -> tuple[float, int]:
    """Wall seconds and peak resident bytes of one child process, which must succeed.

    Linux counts in a child's peak the parent's image it was forked from, so this
    process imports nothing large and stays below every child measured.
    """
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        child = subprocess.Popen(
            argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors
        )
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            errors.seek(0)
            raise SystemExit(f"{' '.join(argv)} failed with exit code {code}:\n{errors.read().decode()}")
    return wall, usage.ru_maxrss * 1024


def make_project(root: Path, size: int) -> Path:
    project = root / "project"
    (project / "src").mkdir(parents=True)
    with open(project / "src" / "payload.bin", "wb") as out:
        for _ in range(0, size, 1 << 20):
            out.write(os.urandom(min(1 << 20, size - out.tell())))
    (project / "src" / "main.py").write_text("print('hello')\n")
    (project / "requirements.txt").write_text("")
    (project / "pyproject.toml").write_text('[project]\nname = "bench-app"\n')
    return project


ARCHIVE_SIZE = """
import sys
from veltra.cloud.services.local import LocalService
request = {"data": "eyJ0b2tlbiI6ICJ4In0=", "env_name": None, "application_uuid": None, "application_name": None}
print(LocalService(sys.argv[1]).execute_transaction("ListDeploys", request)["deploys"][-1]["archive_size"])
"""


def archive_size(data_dir: Path) -> int:
    """The size of the archive the service recorded (asked in a child: this process stays small, see run())."""
    out = subprocess.run(
        [sys.executable, "-c", ARCHIVE_SIZE, str(data_dir)], capture_output=True, text=True, check=True
    )
    return int(out.stdout)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=60, help="size of the incompressible file (default 60)")
    parser.add_argument("--rounds", type=int, default=5, help="alternating rounds (default 5)")
    args = parser.parse_args(argv)

    veltra = [sys.executable, "-m", "veltra"]
    with tempfile.TemporaryDirectory(prefix="veltra-deploy-cost-") as tmp:
        root = Path(tmp)
        project = make_project(root, args.size_mb * 1000 * 1000)
        env = {**os.environ, "TMPDIR": str(root), "VELTRA_MAX_ARCHIVE_SIZE": "1G"}
        env.pop("VELTRA_DATA_DIR", None)
        commands = {
            "zip": [
                sys.executable,
                "-m",
                "zipfile",
                "-c",
                str(root / "z.zip"),
                "src",
                "requirements.txt",
                "pyproject.toml",
            ],
            "links list": [*veltra, "links", "list", "--env", "bench"],
            "first deploy": [*veltra, "deploy", "--env", "bench", "--yes"],
            "redeploy": [*veltra, "deploy", "--env", "bench", "--yes"],
        }
        figures: dict[str, list[tuple[float, int]]] = {what: [] for what in commands}
        size = 0
        for n in range(args.rounds):
            data_dir = root / f"data{n}"
            for what, command in commands.items():
                figures[what].append(run(command, project, {**env, "VELTRA_DATA_DIR": str(data_dir)}))
            size = archive_size(data_dir)

    wall = {what: min(w for w, _ in runs) for what, runs in figures.items()}
    peak = {what: statistics.median(m for _, m in runs) for what, runs in figures.items()}
    print(
        f"Python {sys.version.split()[0]}; {args.size_mb} MB incompressible file in src/;"
        f" archive {size / 1e6:.1f} MB; {args.rounds} rounds: the best wall time, the median peak\n"
    )
    print(f"{'':<14} {'wall':>8} {'peak RSS':>10}   wall of each round")
    for what in commands:
        rounds = " ".join(f"{w:.2f}" for w, _ in figures[what])
        print(f"{what:<14} {wall[what]:>7.2f}s {peak[what] / 2**20:>7.1f} MiB   {rounds}")
    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"{'(this process)':<14} {'':>8} {own / 2**20:>7.1f} MiB")
    print(f"\n{'':<14} {'memory (archives)':>18} {'target':>7} {'wall (zips)':>12} {'target':>7}")
    for what, (memory_target, wall_target) in TARGETS.items():
        memory = (peak[what] - peak["links list"]) / size
        ratio = wall[what] / wall["zip"]
        print(f"{what:<14} {memory:>17.2f}x {memory_target:>6}x {ratio:>11.2f}x {wall_target:>6}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
