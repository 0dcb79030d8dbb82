"""``python -m zentrix_gov``: the command line (see ``zentrix_gov.cli``)."""

import contextlib
import os
import sys

from zentrix_gov.cli import EXIT_INTERRUPTED, main

__all__ = ["main"]

if __name__ == "__main__":
    code = main()
    if code == EXIT_INTERRUPTED:
        # Interrupted: leave without the interpreter's shutdown, during which a further
        # Ctrl-C would kill the process by the signal instead of ending it with this code.
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):
                stream.flush()
        os._exit(code)
    sys.exit(code)
