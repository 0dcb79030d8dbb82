"""Ctrl-C (and SIGTERM): the first one cancels the run and ends it within a grace period,
the second one ends the process at once.

The interpreter runs Python signal handlers on the main thread only between bytecodes, so a
busy main thread (native code, a crowded event loop) may see the signal late. A watcher
thread therefore learns of every SIGINT straight from the interpreter's C-level handler,
through ``signal.set_wakeup_fd``: after the first it gives the run ``grace_seconds``
(``GRACE_SECONDS`` unless the command needs longer, e.g. to stop a Ray cluster) to wind
down, and a second one ends the process immediately. Either way the process ends with exit
code 130 and one ``error: interrupted`` line (followed by ``note``, how to resume, when
a run has set one), and no results file is written. SIGTERM is handled as Ctrl-C.
"""

from __future__ import annotations

import asyncio
import os
import select
import signal
import socket
import sys
import threading
import time
from collections.abc import Awaitable
from contextlib import suppress
from typing import Any, TypeVar

from zentrix_gov.cli.errors import EXIT_INTERRUPTED

T = TypeVar("T")

GRACE_SECONDS = 1.0
MESSAGE = "error: interrupted\n"
SIGNALS = (signal.SIGINT, signal.SIGTERM)


class Interrupts:
    """The process's SIGINT handling while the command runs."""

    def __init__(self) -> None:
        self.fired = False
        self.grace_seconds = GRACE_SECONDS  # after the first Ctrl-C, to wind down
        self.note = ""  # said on the interrupt line, e.g. how to resume the run
        self._announced = False
        # Re-entrant: the main thread's signal handler may announce while the main thread
        # itself is announcing.
        self._lock = threading.RLock()
        self._installed = False
        self._previous_handlers: dict[int, Any] = {}
        self._previous_fd = -1
        self._reader: socket.socket | None = None
        self._writer: socket.socket | None = None
        self._task: asyncio.Future[Any] | None = None
        self._loop: asyncio.AbstractEventLoop | None = None

    def install(self) -> None:
        """Take over SIGINT (only possible on the main thread)."""
        if threading.current_thread() is not threading.main_thread():
            return
        self._reader, self._writer = socket.socketpair()
        self._writer.setblocking(False)
        self._previous_handlers = {sig: signal.signal(sig, self._on_signal) for sig in SIGNALS}
        self._previous_fd = signal.set_wakeup_fd(self._writer.fileno(), warn_on_full_buffer=False)
        self._installed = True
        threading.Thread(target=self._watch, args=(self._reader,), daemon=True).start()

    def uninstall(self) -> None:
        """Give SIGINT back. After an interrupt the handler stays: a second Ctrl-C while
        the process winds down still ends it with the line and exit code 130."""
        if not self._installed:
            return
        self._installed = False
        with suppress(ValueError):
            signal.set_wakeup_fd(self._previous_fd)
        if not self.fired:
            for sig, handler in self._previous_handlers.items():
                signal.signal(sig, handler)
        for sock in (self._writer, self._reader):
            if sock is not None:
                with suppress(OSError):
                    sock.shutdown(socket.SHUT_RDWR)
                sock.close()

    # ------------------------------------------------------------------ main thread

    def _on_signal(self, signum: int, frame: Any) -> None:
        if self.fired:
            # A second Ctrl-C. The watcher ends the process too, unless it is gone already
            # (uninstalled) or the interpreter came first.
            self.announce()
            os._exit(EXIT_INTERRUPTED)
        self.fired = True
        task, loop = self._task, self._loop
        if task is not None and loop is not None and not task.done():
            loop.call_soon_threadsafe(task.cancel)
            return
        raise KeyboardInterrupt

    async def run(self, work: Awaitable[T]) -> T:
        """Await ``work``; the first SIGINT cancels it, and KeyboardInterrupt is raised here
        whatever the cancelled work raised."""
        task = asyncio.ensure_future(work)
        self._task, self._loop = task, asyncio.get_running_loop()
        try:
            result = await task
        except BaseException:
            if self.fired:
                raise KeyboardInterrupt from None
            raise
        finally:
            self._task = self._loop = None
        if self.fired:  # the work had just finished when the interrupt came
            raise KeyboardInterrupt
        return result

    # ------------------------------------------------------------------ any thread

    def announce(self) -> None:
        """Write the one line about the interrupt (once, whoever comes first). The line is
        written before the lock is let go: a second Ctrl-C that ends the process meanwhile
        (from another thread) waits for it instead of leaving without it."""
        with self._lock:
            if self._announced:
                return
            self._announced = True
            with suppress(OSError, ValueError):
                sys.stderr.write(MESSAGE[:-1] + f"; {self.note}\n" if self.note else MESSAGE)
                sys.stderr.flush()

    def _watch(self, reader: socket.socket) -> None:
        give_up_at: float | None = None
        while True:
            timeout = None if give_up_at is None else max(0.0, give_up_at - time.monotonic())
            try:
                ready, _, _ = select.select([reader], [], [], timeout)
                data = reader.recv(64) if ready else None
            except (OSError, ValueError):
                return  # uninstalled
            if data is None:
                break  # the grace period is over
            if not data:
                return  # uninstalled
            interrupts = sum(data.count(sig) for sig in SIGNALS)
            if (interrupts and give_up_at is not None) or interrupts > 1:
                break  # a second Ctrl-C
            if interrupts:
                give_up_at = time.monotonic() + self.grace_seconds
        self.announce()
        os._exit(EXIT_INTERRUPTED)
