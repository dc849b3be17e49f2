"""Entry point for ``python -m veltra``."""

import sys

from veltra.cli.main import main

if __name__ == "__main__":
    sys.exit(main())
