"""Regex matching worker, run as a child process of the local detection server.

Python's ``re`` holds the interpreter lock while it backtracks, so a pathological pattern
would freeze the server's event loop and cannot be interrupted from a thread. The server
therefore matches in this separate process and kills it when a request overruns its time
limit.

Protocol: one JSON object per line on stdin, ``{"patterns": [...], "text": "...",
"max_matches": N}``; one JSON object per line on stdout, ``{"matches": [[index, start,
end], ...], "truncated": bool}`` or ``{"error": "..."}``.

The script is started by file path with ``python -I``, so it imports only the standard
library.
"""

from __future__ import annotations

import functools
import json
import re
import sys
from collections.abc import Sequence


@functools.lru_cache(maxsize=512)
def _compile(pattern: str) -> re.Pattern[str]:
    return re.compile(pattern)


def find_regex_matches(
    patterns: Sequence[str], text: str, max_matches: int
) -> tuple[list[tuple[int, int, int]], bool]:
    """Non-empty matches of every pattern, capped at ``max_matches``; True when capped.

    Runs the matching in the calling thread with no time limit: the server only calls this
    inside this worker process, which it can kill.
    """
    matches: list[tuple[int, int, int]] = []
    for index, pattern in enumerate(patterns):
        for match in _compile(pattern).finditer(text):
            start, end = match.span()
            if start == end:
                continue  # empty matches ("a*") mark no text
            if len(matches) >= max_matches:
                return matches, True
            matches.append((index, start, end))
    return matches, False


def main() -> None:
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
