"""What a deploy will pack from the project folder, checked before anything is packed.

The deploy action packs ``src/``, ``requirements.txt`` and, when present,
``pyproject.toml`` and ``.veltra-cli`` from the working directory into
``app.zip`` there, following symbolic links as it copies. :func:`scan` walks
the same files first, so that the command line can refuse, in one line per
problem, what the action would trip over or should not send: a missing
source folder, a user's own ``app.zip``, a folder it cannot write, files it
cannot read, and symbolic links that leave the project, dangle or loop.
"""

from __future__ import annotations

import errno
import os
import stat
from dataclasses import dataclass, field
from pathlib import Path

#: The archive the deploy action writes into the working directory, then deletes.
ARCHIVE_NAME = "app.zip"
#: What the deploy action packs, in this order; the first two must exist.
SOURCE_DIR = "src"
REQUIRED_FILE = "requirements.txt"
OPTIONAL_FILES = ("pyproject.toml", ".veltra-cli")
PACKED = (SOURCE_DIR, REQUIRED_FILE, *OPTIONAL_FILES)
#: How it is said to the user.
PACKED_TEXT = "src/, requirements.txt, pyproject.toml and .veltra-cli"


class ProjectError(Exception):
    """The project cannot be deployed as it is; ``lines`` holds one message per problem."""

    def __init__(self, *lines: str) -> None:
        super().__init__("\n".join(lines))
        self.lines = list(lines)


@dataclass
class Link:
    """A symbolic link found among what is packed."""

    path: str  # relative to the project, e.g. "src/app/data"
    target: str  # what the link holds, as written
    problem: str  # "points outside the project", "is dangling", "makes a loop"

    def __str__(self) -> str:
        return f"symbolic link {self.path} -> {self.target} {self.problem}"


@dataclass
class Project:
    """What a deploy of ``root`` packs and leaves out."""

    root: Path
    packed: list[str] = field(default_factory=list)  # top-level names, folders with a trailing "/"
    left_out: list[str] = field(default_factory=list)
    files: int = 0
    size: int = 0  # bytes of every file packed, before compression
    outside_links: list[Link] = field(default_factory=list)  # followed only when asked to

    @property
    def archive(self) -> Path:
        return self.root / ARCHIVE_NAME


def _strerror(exc: OSError) -> str:
    return exc.strerror or str(exc)


class _Walker:
    """Walks what will be packed the way the copy does (following links), noting every problem."""

    def __init__(self, root: Path, follow_outside: bool, project: Project) -> None:
        self.root = root
        self.real_root = os.path.realpath(root)
        self.follow_outside = follow_outside
        self.project = project
        self.problems: list[str] = []
        self.bad_links: list[Link] = []

    def _inside(self, real: str) -> bool:
        return real == self.real_root or real.startswith(self.real_root.rstrip(os.sep) + os.sep)

    def entry(self, path: Path, rel: str, ancestors: frozenset[tuple[int, int]]) -> None:
        """Account for one entry: a file, a folder (walked), or a link (checked, then followed)."""
        try:
            lst = os.lstat(path)
        except OSError as exc:
            self.problems.append(f"cannot read {rel}: {_strerror(exc)}")
            return
        if stat.S_ISLNK(lst.st_mode):
            target = os.readlink(path)
            try:
                st = os.stat(path)
            except OSError as exc:
                problem = "makes a loop" if exc.errno == errno.ELOOP else "is dangling"
                if exc.errno not in (errno.ELOOP, errno.ENOENT, errno.ENOTDIR):
                    self.problems.append(f"cannot read {rel}: {_strerror(exc)}")
                    return
                self.bad_links.append(Link(rel, target, problem))
                return
            if not self._inside(os.path.realpath(path)):
                link = Link(rel, target, "points outside the project")
                self.project.outside_links.append(link)
                if not self.follow_outside:
                    return
            if stat.S_ISDIR(st.st_mode) and (st.st_dev, st.st_ino) in ancestors:
                self.bad_links.append(Link(rel, target, "makes a loop"))
                return
        else:
            st = lst
        if stat.S_ISDIR(st.st_mode):
            self.folder(path, rel, ancestors | {(st.st_dev, st.st_ino)})
        elif stat.S_ISREG(st.st_mode):
            try:
                os.close(os.open(path, os.O_RDONLY))
            except OSError as exc:
                self.problems.append(f"cannot read {rel}: {_strerror(exc)}")
                return
            self.project.files += 1
            self.project.size += st.st_size
        else:
            self.problems.append(f"cannot pack {rel}: not a regular file or folder")

    def folder(self, path: Path, rel: str, ancestors: frozenset[tuple[int, int]]) -> None:
        try:
            with os.scandir(path) as entries:
                names = sorted(entry.name for entry in entries)
        except OSError as exc:
            self.problems.append(f"cannot read {rel}/: {_strerror(exc)}")
            return
        for name in names:
            self.entry(path / name, f"{rel}/{name}", ancestors)


def scan(root: Path, *, follow_symlinks: bool = False, max_problems: int = 20) -> Project:
    """Check ``root`` for a deploy and describe what it packs; raise :class:`ProjectError` if it cannot go.

    Links that point outside the project are refused unless ``follow_symlinks``;
    dangling links and loops are always refused, since they cannot be packed.
    """
    root = Path(root).absolute()
    project = Project(root)
    try:
        with os.scandir(root) as entries:
            top = {entry.name: entry for entry in entries}
    except OSError as exc:
        raise ProjectError(f"cannot read the project folder {root}: {_strerror(exc)}") from None

    if ARCHIVE_NAME in top:
        raise ProjectError(
            f"{root / ARCHIVE_NAME} already exists; the deploy writes its archive under that name and deletes it"
            " afterwards, so move or rename yours and deploy again"
        )
    missing = [
        f"{SOURCE_DIR}/" if name == SOURCE_DIR else name for name in (SOURCE_DIR, REQUIRED_FILE) if name not in top
    ]
    if missing:
        raise ProjectError(
            f"{' and '.join(missing)} not found in {root}; run the deploy from the application's folder,"
            f" which holds {SOURCE_DIR}/ and {REQUIRED_FILE}"
        )
    kinds = {SOURCE_DIR: (stat.S_ISDIR, "a folder"), REQUIRED_FILE: (stat.S_ISREG, "a file")}
    kinds.update({name: (stat.S_ISREG, "a file") for name in OPTIONAL_FILES})
    for name, (is_kind, kind) in kinds.items():
        if name in top:
            try:
                mode = os.stat(root / name).st_mode
            except OSError:
                continue  # a dangling or looping link: the walk below reports it
            if not is_kind(mode):
                raise ProjectError(f"{name} in {root} must be {kind}")
    if not os.access(root, os.W_OK | os.X_OK):
        raise ProjectError(
            f"cannot write into {root}: the deploy packs the application into {ARCHIVE_NAME} there;"
            " make the folder writable or deploy from a writable copy"
        )

    walker = _Walker(root, follow_symlinks, project)
    root_stat = os.stat(root)
    for name in PACKED:
        if name in top:
            walker.entry(root / name, name, frozenset({(root_stat.st_dev, root_stat.st_ino)}))
            project.packed.append(f"{name}/" if name == SOURCE_DIR else name)
    project.left_out = sorted(
        f"{name}/" if entry.is_dir() else name for name, entry in top.items() if name not in PACKED
    )

    lines = list(walker.problems)
    refused = walker.bad_links + ([] if follow_symlinks else project.outside_links)
    lines += [str(link) for link in refused]
    if lines:
        shown = lines[:max_problems]
        if len(lines) > max_problems:
            shown.append(f"... and {len(lines) - max_problems} more problems like these")
        if refused:
            hint = f"refused {len(refused)} symbolic link{'s' if len(refused) > 1 else ''} before packing anything"
            if not follow_symlinks and project.outside_links:
                hint += "; --follow-symlinks packs what links outside the project point to"
            shown.append(hint)
        raise ProjectError(*shown)
    return project
