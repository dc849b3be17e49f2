"""What a deploy will pack from the project folder, checked before anything is packed.

The deploy action packs ``src/``, ``requirements.txt`` and, when present,
``pyproject.toml`` and ``.veltra-cli`` from the working directory into
``app.zip`` there, following symbolic links as it copies. :func:`scan` walks
the same files first, so that the command line can refuse, in one line per
problem, what the action would trip over or should not send: a missing
source folder, a user's own ``app.zip``, a folder it cannot write, files it
cannot read, names the service cannot take, folders nested too deep, and
symbolic links that leave what is packed, dangle or loop.

The walk keeps every file it would pack with its size (:attr:`Project.sizes`),
so that the archive can be compared with it before it is sent.
"""

from __future__ import annotations

import errno
import os
import stat
from dataclasses import dataclass, field
from pathlib import Path

from veltra.cli.errors import CliError

#: The archive the deploy action writes into the working directory, then deletes.
ARCHIVE_NAME = "app.zip"
#: What the deploy action packs, in this order; the first two must exist.
SOURCE_DIR = "src"
REQUIRED_FILE = "requirements.txt"
OPTIONAL_FILES = ("pyproject.toml", ".veltra-cli")
PACKED = (SOURCE_DIR, REQUIRED_FILE, *OPTIONAL_FILES)
#: How it is said to the user.
PACKED_TEXT = "src/, requirements.txt, pyproject.toml and .veltra-cli"
#: Deepest nesting of folders packed, counted from the project folder (src/a is 2). The action copies
#: the tree recursively, one level per call, and Python's recursion limit ends that near 500.
MAX_DEPTH = 256


class ProjectError(CliError):
    """The project cannot be deployed as it is; ``lines`` holds one message per problem."""


@dataclass
class Link:
    """A symbolic link found among what is packed."""

    path: str  # relative to the project, e.g. "src/app/data"
    target: str  # what the link holds, as written
    problem: str  # "points outside the project", "is dangling", "makes a loop", ...

    def __str__(self) -> str:
        return f"symbolic link {self.path} -> {self.target} {self.problem}"


@dataclass
class Project:
    """What a deploy of ``root`` packs and leaves out."""

    root: Path
    packed: list[str] = field(default_factory=list)  # top-level names, folders with a trailing "/"
    left_out: list[str] = field(default_factory=list)
    sizes: dict[str, int] = field(default_factory=dict)  # every file packed, by path, with its size
    folders: set[str] = field(default_factory=set)  # every folder packed, by path
    followed: list[Link] = field(default_factory=list)  # links out of what is packed, followed only when asked

    @property
    def archive(self) -> Path:
        return self.root / ARCHIVE_NAME

    @property
    def files(self) -> int:
        return len(self.sizes)

    @property
    def size(self) -> int:
        """Bytes of every file packed, before compression."""
        return sum(self.sizes.values())


def _strerror(exc: OSError) -> str:
    return exc.strerror or str(exc)


def _bad_name(name: str) -> str | None:
    """Why the service cannot take ``name`` as part of an archive entry, or None."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "its name is not valid UTF-8"
    if "\\" in name:
        return "its name holds a backslash"
    return None


class _Walker:
    """Walks what will be packed the way the copy does (following links), noting every problem.

    The walk keeps its own stack, so that a deep tree is refused with a clear line
    instead of ending the command with a RecursionError.
    """

    def __init__(self, root: Path, follow: bool, project: Project) -> None:
        self.root = root
        self.real_root = os.path.realpath(root)
        self.packed_real = [os.path.realpath(root / name) for name in PACKED if os.path.lexists(root / name)]
        self.follow = follow
        self.project = project
        self.problems: list[str] = []
        self.bad_links: list[Link] = []

    @staticmethod
    def _within(real: str, top: str) -> bool:
        return real == top or real.startswith(top.rstrip(os.sep) + os.sep)

    def _leaves(self, real: str) -> str | None:
        """Where a link to ``real`` leads out of what is packed, said as a problem, or None."""
        if not self._within(real, self.real_root):
            return "points outside the project"
        if any(self._within(real, top) for top in self.packed_real):
            return None
        part = os.path.relpath(real, self.real_root)
        if part == os.curdir:
            return "points to the project folder itself, most of which is not packed"
        first = part.split(os.sep)[0]
        shown = f"{first}/" if os.path.isdir(os.path.join(self.real_root, first)) else first
        return f"points into {shown}, a part of the project that is not packed"

    def walk(self, name: str, ancestors: frozenset[tuple[int, int]]) -> None:
        stack: list[tuple[Path, str, frozenset[tuple[int, int]]]] = [(self.root / name, name, ancestors)]
        while stack:
            path, rel, above = stack.pop()
            folder = self._entry(path, rel, above)
            if folder is None:
                continue
            st, names = folder
            below = above | {(st.st_dev, st.st_ino)}
            for child in reversed(names):
                stack.append((path / child, f"{rel}/{child}", below))

    def _entry(
        self, path: Path, rel: str, ancestors: frozenset[tuple[int, int]]
    ) -> tuple[os.stat_result, list[str]] | None:
        """Account for one entry; for a folder to walk into, return its status and its names."""
        try:
            lst = os.lstat(path)
        except OSError as exc:
            self.problems.append(f"cannot read {rel}: {_strerror(exc)}")
            return None
        if stat.S_ISLNK(lst.st_mode):
            target = os.readlink(path)
            try:
                st = os.stat(path)
            except OSError as exc:
                if exc.errno not in (errno.ELOOP, errno.ENOENT, errno.ENOTDIR):
                    self.problems.append(f"cannot read {rel}: {_strerror(exc)}")
                    return None
                self.bad_links.append(Link(rel, target, "makes a loop" if exc.errno == errno.ELOOP else "is dangling"))
                return None
            if stat.S_ISDIR(st.st_mode) and (st.st_dev, st.st_ino) in ancestors:
                self.bad_links.append(Link(rel, target, "makes a loop"))
                return None
            leaves = self._leaves(os.path.realpath(path))
            if leaves is not None:
                self.project.followed.append(Link(rel, target, leaves))
                if not self.follow:
                    return None
        else:
            st = lst
        if stat.S_ISDIR(st.st_mode):
            return self._folder(path, rel, st)
        if stat.S_ISREG(st.st_mode):
            try:
                os.close(os.open(path, os.O_RDONLY))
            except OSError as exc:
                self.problems.append(f"cannot read {rel}: {_strerror(exc)}")
                return None
            self.project.sizes[rel] = st.st_size
        else:
            self.problems.append(f"cannot pack {rel}: not a regular file or folder")
        return None

    def _folder(self, path: Path, rel: str, st: os.stat_result) -> tuple[os.stat_result, list[str]] | None:
        depth = rel.count("/") + 1
        if depth > MAX_DEPTH:
            head = "/".join(rel.split("/")[:3])
            self.problems.append(
                f"cannot pack {head}/...: its folders nest more than {MAX_DEPTH} levels deep, deeper than a"
                " deploy can copy"
            )
            return None
        try:
            with os.scandir(path) as entries:
                names = sorted(entry.name for entry in entries)
        except OSError as exc:
            self.problems.append(f"cannot read {rel}/: {_strerror(exc)}")
            return None
        self.project.folders.add(rel)
        good = []
        for name in names:
            why = _bad_name(name)
            if why is None:
                good.append(name)
            else:
                self.problems.append(f"cannot pack {rel}/{name}: {why}, which the service cannot take; rename it")
        return st, good


def scan(root: Path, *, follow_symlinks: bool = False, max_problems: int = 20) -> Project:
    """Check ``root`` for a deploy and describe what it packs; raise :class:`ProjectError` if it cannot go.

    Links that point outside the project, or into a part of it that is not
    packed (``.env``, ``.git/``), are refused unless ``follow_symlinks``; dangling
    links and loops are always refused, since they cannot be packed.
    """
    root = Path(root).absolute()
    project = Project(root)
    try:
        with os.scandir(root) as entries:
            top = {entry.name: entry for entry in entries}
    except OSError as exc:
        raise ProjectError(f"cannot read the project folder {root}: {_strerror(exc)}") from None

    # Every problem is reported at once: whoever fixes one should not meet the next only on the next try.
    lines: list[str] = []
    if ARCHIVE_NAME in top:
        lines.append(
            f"{root / ARCHIVE_NAME} already exists; the deploy writes its archive under that name and deletes it"
            " afterwards, so move or rename yours and deploy again"
        )
    missing = [
        f"{SOURCE_DIR}/" if name == SOURCE_DIR else name for name in (SOURCE_DIR, REQUIRED_FILE) if name not in top
    ]
    if missing:
        lines.append(
            f"{' and '.join(missing)} not found in {root}; run the deploy from the application's folder,"
            f" which holds {SOURCE_DIR}/ and {REQUIRED_FILE}"
        )
    kinds = {SOURCE_DIR: (stat.S_ISDIR, "a folder"), REQUIRED_FILE: (stat.S_ISREG, "a file")}
    kinds.update({name: (stat.S_ISREG, "a file") for name in OPTIONAL_FILES})
    walked = [name for name in PACKED if name in top]
    for name, (is_kind, kind) in kinds.items():
        if name in top:
            try:
                mode = os.stat(root / name).st_mode
            except OSError:
                continue  # a dangling or looping link: the walk below reports it
            if not is_kind(mode):
                lines.append(f"{name} in {root} must be {kind}")
                walked.remove(name)
    if not os.access(root, os.W_OK | os.X_OK):
        lines.append(
            f"cannot write into {root}: the deploy packs the application into {ARCHIVE_NAME} there;"
            " make the folder writable or deploy from a writable copy"
        )

    walker = _Walker(root, follow_symlinks, project)
    root_stat = os.stat(root)
    for name in walked:
        walker.walk(name, frozenset({(root_stat.st_dev, root_stat.st_ino)}))
        project.packed.append(f"{name}/" if name == SOURCE_DIR else name)
    project.left_out = sorted(
        f"{name}/" if entry.is_dir() else name for name, entry in top.items() if name not in PACKED
    )

    lines += walker.problems
    refused = walker.bad_links + ([] if follow_symlinks else project.followed)
    lines += [str(link) for link in refused]
    if lines:
        shown = lines[:max_problems]
        if len(lines) > max_problems:
            shown.append(f"... and {len(lines) - max_problems} more problems like these")
        if refused:
            hint = f"refused {len(refused)} symbolic link{'s' if len(refused) > 1 else ''} before packing anything"
            if not follow_symlinks and project.followed:
                hint += (
                    "; --follow-symlinks packs what links outside the project, or into a part of it that is not"
                    " packed, point to"
                )
            shown.append(hint)
        raise ProjectError(*shown)
    return project
