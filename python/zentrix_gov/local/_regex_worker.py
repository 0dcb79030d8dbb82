"""Regex matching worker, run as a child process of the local detection server.

Python's ``re`` holds the interpreter lock while it backtracks, so a pathological pattern
would freeze the server's event loop and cannot be interrupted from a thread. The server
therefore matches in this separate process and kills it when a request overruns its time
limit.

Protocol: one JSON object per line on stdin, ``{"patterns": [...], "text": "...",
"max_matches": N}``; one JSON object per line on stdout, ``{"matches": [[index, start,
end], ...], "truncated": bool}`` or ``{"error": "..."}``.

The script is started by file path with ``python -I``, so it imports only the standard
library and its sibling ``detectors`` module.
"""

import json
import os
import sys


def main() -> None:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from detectors import find_regex_matches

    for line in sys.stdin:
        try:
            job = json.loads(line)
            matches, truncated = find_regex_matches(
                job["patterns"], job["text"], int(job["max_matches"])
            )
            reply = {"matches": matches, "truncated": truncated}
        except Exception as exc:  # report, keep serving
            reply = {"error": f"{type(exc).__name__}: {exc}"}
        sys.stdout.write(json.dumps(reply) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
