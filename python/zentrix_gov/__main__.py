"""``python -m zentrix_gov``: the command line (see ``zentrix_gov.cli``)."""

import sys

from zentrix_gov.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
