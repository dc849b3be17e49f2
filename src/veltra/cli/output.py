"""Everything the command prints: data on standard output, notes and errors on standard error.

Whatever comes from the store, the file system or the command line may hold
control characters (an escape sequence in a stored name would clear the
screen when listed), so every text passes through :func:`printable` on its way
out. Tables are drawn with rich on a terminal and written tab-separated into
a pipe or a file; ``--json`` gives one JSON document instead.
"""

from __future__ import annotations

import json
import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence
    from typing import Any


def _escape(char: str) -> str:
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a file name that is not UTF-8, as the file system gave it
        return f"\\x{code - 0xDC00:02x}"
    if code <= 0xFF:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"


def printable(value: object) -> str:
    """``value`` as text that is safe on a terminal: every unprintable character escaped, as ``\\x1b``."""
    text = value if isinstance(value, str) else str(value)
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else _escape(char) for char in text)


def note(text: str) -> None:
    """One line for the user on standard error: a note, a prompt's context, what happened."""
    print(printable(text), file=sys.stderr, flush=True)


def error(text: str) -> None:
    """One "error:" line on standard error."""
    note(f"error: {text}")


def line(text: str) -> None:
    """One line of data on standard output."""
    print(printable(text), flush=True)


def quiet_stdout() -> None:
    """After a broken pipe, send what is left of standard output nowhere, so that exiting stays quiet."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def table(headers: Sequence[str], rows: Iterable[Sequence[object]], *, empty: str) -> None:
    """Rows under their headers on standard output; ``empty`` when there are none.

    On a terminal the columns line up by their width on the screen (wide CJK
    characters count twice); otherwise each row is one line of tab-separated
    cells, for ``cut``, ``awk`` and the like.
    """
    cells = [[printable(cell) for cell in row] for row in rows]
    if not cells:
        line(empty)
        return
    if not sys.stdout.isatty():
        sys.stdout.write("".join("\t".join(row) + "\n" for row in [list(headers), *cells]))
        sys.stdout.flush()
        return
    from rich.console import Console
    from rich.table import Table
    from rich.text import Text

    grid = Table(box=None, pad_edge=False, header_style="bold")
    for header in headers:
        grid.add_column(header, overflow="fold")
    for row in cells:
        grid.add_row(*(Text(cell) for cell in row))
    Console(highlight=False).print(grid)


def json_document(document: Any) -> None:
    """One JSON document on standard output; every character outside ASCII is escaped, control ones too."""
    sys.stdout.write(json.dumps(document, indent=2) + "\n")
    sys.stdout.flush()
