"""Ctrl-C: the first one cancels the run and ends it within a grace period, the second one
ends the process at once.

After the first SIGINT the default action is restored, so a second one is handled by the
operating system and cannot be caught or delayed by anything still running. Should
cancelling take longer than ``GRACE_SECONDS``, a watchdog ends the process with the same
exit code and the same single line.
"""

from __future__ import annotations

import asyncio
import os
import signal
import sys
import threading
from collections.abc import Awaitable
from contextlib import suppress
from typing import Any, TypeVar

from zentrix_gov.cli.errors import EXIT_INTERRUPTED

T = TypeVar("T")

GRACE_SECONDS = 1.5
MESSAGE = "error: interrupted\n"


class Interrupts:
    """The process's SIGINT handling while the command runs."""

    def __init__(self) -> None:
        self.fired = False
        self._announced = False
        self._lock = threading.Lock()
        self._previous: Any = None
        self._installed = False

    def install(self) -> None:
        """Take over SIGINT (only possible on the main thread)."""
        if threading.current_thread() is not threading.main_thread():
            return
        self._previous = signal.getsignal(signal.SIGINT)
        signal.signal(signal.SIGINT, self._on_signal)
        self._installed = True

    def uninstall(self) -> None:
        """Give SIGINT back; after an interrupt the default action stays."""
        if self._installed and not self.fired:
            signal.signal(signal.SIGINT, self._previous)
        self._installed = False

    def _on_signal(self, signum: int, frame: Any) -> None:
        self.first()
        raise KeyboardInterrupt

    def first(self) -> None:
        """Note the first interrupt: restore the default action and start the watchdog."""
        if self.fired:
            return
        self.fired = True
        with suppress(ValueError):  # not on the main thread
            signal.signal(signal.SIGINT, signal.SIG_DFL)
        watchdog = threading.Timer(GRACE_SECONDS, self._give_up)
        watchdog.daemon = True
        watchdog.start()

    def announce(self) -> None:
        """Write the one line about the interrupt (once, whoever comes first)."""
        with self._lock:
            if self._announced:
                return
            self._announced = True
        with suppress(OSError, ValueError):
            sys.stderr.write(MESSAGE)
            sys.stderr.flush()

    def _give_up(self) -> None:
        self.announce()
        os._exit(EXIT_INTERRUPTED)

    async def run(self, work: Awaitable[T]) -> T:
        """Await ``work`` on the running loop; the first SIGINT cancels it and raises
        KeyboardInterrupt here, whatever the cancelled work raised."""
        loop = asyncio.get_running_loop()
        task = asyncio.ensure_future(work)

        def on_sigint() -> None:
            self.first()
            task.cancel()

        handled = False
        if self._installed and not self.fired:
            try:
                loop.add_signal_handler(signal.SIGINT, on_sigint)
                handled = True
            except (NotImplementedError, RuntimeError, ValueError):
                pass
        try:
            result = await task
        except BaseException:
            if self.fired:
                raise KeyboardInterrupt from None
            raise
        finally:
            if handled:
                with suppress(Exception):
                    loop.remove_signal_handler(signal.SIGINT)
                signal.signal(signal.SIGINT, signal.SIG_DFL if self.fired else self._on_signal)
        if self.fired:  # the work had just finished when the interrupt came
            raise KeyboardInterrupt
        return result
