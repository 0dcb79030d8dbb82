"""Time-limited regex matching for the local detection service.

User patterns can backtrack for hours on a short input ("(a+)+$" against forty "a"s and a
"b"), and ``re`` does not release the interpreter lock while it does, so matching in the
server process - on the event loop or in a thread - could stall every other request.
Matching runs instead in a small pool of child processes (``_regex_worker.py``); a request
that overruns its time limit gets its worker killed and replaced, and fails with
:class:`RegexTimeout`. Input length and match count are capped as well so that replies stay
small.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import sys
from collections.abc import Sequence

from .scoring.common import DetectorError

_WORKER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_regex_worker.py")
_STREAM_LIMIT = 16 * 1024 * 1024


class RegexTimeout(Exception):
    """Matching did not finish within the time limit."""


class RegexWorkerError(Exception):
    """The worker process failed (crashed, could not start, or reported an error)."""


class _Worker:
    def __init__(self, process: asyncio.subprocess.Process):
        self.process = process

    @classmethod
    async def start(cls) -> _Worker:
        process = await asyncio.create_subprocess_exec(
            sys.executable,
            "-I",
            _WORKER_SCRIPT,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            limit=_STREAM_LIMIT,
        )
        return cls(process)

    async def exchange(self, line: bytes) -> dict:
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write(line)
        await self.process.stdin.drain()
        reply = await self.process.stdout.readline()
        if not reply:
            raise RegexWorkerError("the regex worker exited unexpectedly")
        try:
            return json.loads(reply)
        except ValueError as exc:
            raise RegexWorkerError(f"the regex worker sent a malformed reply: {exc}") from None

    async def close(self) -> None:
        if self.process.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                self.process.kill()
        await self.process.wait()


class RegexMatcher:
    """Runs regex searches in worker processes with a per-request time limit.

    Bound to the event loop that first uses it; workers start on demand (so a server that
    never sees a regex request never starts one) and are reused between requests.
    """

    def __init__(
        self,
        *,
        workers: int = 2,
        timeout: float = 2.0,
        max_matches: int = 1_000,
        max_input_chars: int = 100_000,
    ):
        self.workers = workers
        self.timeout = timeout
        self.max_matches = max_matches
        self.max_input_chars = max_input_chars
        self._idle: list[_Worker] = []
        self._busy: set[_Worker] = set()
        self._slots: asyncio.Semaphore | None = None

    async def find(self, patterns: Sequence[str], text: str) -> tuple[list[list[int]], bool]:
        """``([pattern index, start, end], ...)`` and whether the match cap cut the list."""
        if len(text) > self.max_input_chars:
            raise DetectorError(
                f"Input of {len(text)} characters is longer than the "
                f"{self.max_input_chars} characters accepted for regex detection.",
                status=413,
                code="input_too_long",
            )
        line = (
            json.dumps({"patterns": list(patterns), "text": text, "max_matches": self.max_matches})
            + "\n"
        ).encode()
        if self._slots is None:
            self._slots = asyncio.Semaphore(self.workers)
        async with self._slots:
            worker = self._idle.pop() if self._idle else await self._start_worker()
            self._busy.add(worker)
            healthy = False
            try:
                reply = await asyncio.wait_for(worker.exchange(line), self.timeout)
                healthy = True
            except TimeoutError:
                raise RegexTimeout(
                    f"regex matching timed out after {self.timeout:g} seconds"
                ) from None
            finally:
                self._busy.discard(worker)
                if healthy:
                    self._idle.append(worker)
                else:
                    # A worker that overran, crashed or was interrupted mid-exchange may still
                    # be matching or hold a half-read reply: never reuse it.
                    await asyncio.shield(worker.close())
        if "error" in reply:
            raise RegexWorkerError(reply["error"])
        return reply["matches"], bool(reply["truncated"])

    async def _start_worker(self) -> _Worker:
        try:
            return await _Worker.start()
        except OSError as exc:
            raise RegexWorkerError(f"could not start the regex worker: {exc}") from exc

    async def close(self) -> None:
        """Stop every worker; the matcher can be used again afterwards."""
        workers, self._idle = [*self._idle, *self._busy], []
        self._busy.clear()
        # The semaphore belongs to the loop that used it; a restarted server runs on another.
        self._slots = None
        for worker in workers:
            await worker.close()
