"""The tests of the hardening tools import the tools themselves (tools/soak.py,
tools/faults.py, tools/stress.py): tools/ is on the path for this folder alone."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
