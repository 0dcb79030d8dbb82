"""Notes to the user on standard error: things a run adapted to (a judge server that
refuses structured answers), not failures; ``note_once`` says each once per process.
``quiet_notes()`` keeps them to itself (the command line's ``-q``)."""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager

_lock = threading.Lock()
_said: set[str] = set()
_quiet = 0


def note_once(key: str, text: str) -> bool:
    """Print ``text`` on standard error the first time ``key`` is noted; True then."""
    with _lock:
        if key in _said:
            return False
        _said.add(key)
    note(text)
    return True


def note(text: str) -> None:
    """Print ``text`` on standard error now (unless notes are quiet); for notes whose owner
    keeps track of having said them."""
    with _lock:
        quiet = _quiet > 0
    if not quiet:
        print(f"note: {text}", file=sys.stderr, flush=True)


@contextmanager
def quiet_notes(quiet: bool = True) -> Iterator[None]:
    """No notes are printed in the ``with`` block (when ``quiet``)."""
    global _quiet
    if not quiet:
        yield
        return
    with _lock:
        _quiet += 1
    try:
        yield
    finally:
        with _lock:
            _quiet -= 1
