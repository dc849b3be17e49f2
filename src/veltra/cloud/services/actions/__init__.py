"""Actions of the command-line client, one compiled submodule per action.

The submodules are imported by name where they are needed; this package
deliberately imports none of them.
"""
