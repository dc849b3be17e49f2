"""Byte counts for people and for settings.

Shared by the local service, the command line and the deploy's status display;
it imports nothing of them, so that none of them has to import another for it.
"""

from __future__ import annotations

import re

_SIZE_RE = re.compile(r"\s*(\d+)\s*([kmg]?)(?:i?b)?\s*", re.IGNORECASE)


def parse_size(text: str) -> int:
    """Parse a byte count such as ``1048576``, ``512K``, ``100M`` or ``2GiB`` (powers of 1024)."""
    match = _SIZE_RE.fullmatch(text)
    if match is None:
        raise ValueError(f"expected a size such as 100M or 65536, got {text!r}")
    return int(match[1]) * 1024 ** " kmg".index(match[2].lower() or " ")


def format_size(size: int) -> str:
    """A byte count for people: ``512 B``, ``3.4 KiB``, ``100 MiB``."""
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            break
        value /= 1024
    return f"{size} B" if unit == "B" else f"{value:.1f} {unit}".replace(".0 ", " ")


def base64_size(text: object) -> int:
    """Bytes that the base64 ``text`` decodes to, worked out without decoding it (0 for a non-text)."""
    if not isinstance(text, str):
        return 0
    return len(text) // 4 * 3 - (len(text[-2:]) - len(text[-2:].rstrip("=")))
