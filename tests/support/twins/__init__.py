"""The five action modules written again in plain Python, one twin per module.

Each twin is the same module as Python source: the same imports on the same
lines, the same class, docstrings, annotations (kept as strings), defaults and
local variables, and every statement that can fail on the source line that the
compiled module reports for it, so that a twin's traceback entries carry the
lines of the module's. Where the compiled module does more than a plain `def`
(the exact-type checks on entry, the prompts' check of their answer), the twin
does it in Python on lines of its own or on the statement's line; what still
differs is listed, with the reason, in `support.observe.DECLARED`.

The files are laid out by line, so the formatter leaves them alone
(pyproject.toml).
"""

import importlib
import types

NAMES = ("enumerate_outer_links", "attach_outer_link", "amend_outer_link", "detach_outer_link", "launch_rollout")


def load(short: str) -> types.ModuleType:
    """The twin of the module with this short name."""
    return importlib.import_module(f"{__name__}.{short}")
