"""Judge verdicts counted as they arrive, for the waiting line of a run in progress.

A unit of 100 records of a slow judge (the local model takes some 10 s a verdict on two
cores) moves the record count only when it ends; the judge's channel
(:class:`zentrix_gov.engines.judge_channel.JudgeChannel`) calls :meth:`VerdictCount.heard`
for every verdict (each repeat, swapped order and juror's), so the line can say how many
came, at what rate, and about how long the rest will take. Verdicts asked on Ray workers
are not heard here: their units' ends are.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Mapping, Sequence
from typing import Any


class VerdictCount:
    """Verdicts heard so far, of about how many the run still asks."""

    def __init__(self, per_record: Mapping[str, int]):
        self.per_record = dict(per_record)  # judge metric -> verdicts per record
        self.expected = 0
        self.heard_count = 0
        self.started = time.perf_counter()
        self._lock = threading.Lock()

    def start(self, total_records: int, records_done: Mapping[str, int]) -> None:
        """The run started (or resumed) with ``records_done`` of each metric."""
        self.expected = sum(
            max(total_records - records_done.get(name, 0), 0) * count
            for name, count in self.per_record.items()
        )
        self.started = time.perf_counter()

    def heard(self) -> None:
        with self._lock:
            self.heard_count += 1

    def text(self) -> str:
        """E.g. "judge: 35 of about 300 verdicts, 0.10/s, about 44m left"."""
        if not self.expected:
            return ""
        seconds = time.perf_counter() - self.started
        heard = self.heard_count
        text = f"judge: {heard} of about {self.expected} verdicts"
        if heard and seconds > 0:
            rate = heard / seconds
            left = max(self.expected - heard, 0) / rate
            text += f", {rate:.2f}/s, about {_duration(left)} left"
        return text


def _duration(seconds: float) -> str:
    if seconds < 90:
        return f"{seconds:.0f}s"
    if seconds < 5400:
        return f"{seconds / 60:.0f}m"
    return f"{seconds / 3600:.1f}h"


def verdict_count(
    planned: Sequence[Any], judging: Any, jurors: int, judges: Sequence[Any]
) -> VerdictCount | None:
    """A count of the run's verdicts (``judging``: a ``Judging`` or None; ``jurors``: how
    many), listening to every judge's channel; None when no metric asks a judge, or no
    judge has a channel (request options)."""
    from zentrix_gov.engines.judge_channel import channel_of
    from zentrix_gov.judging.settings import Judging, variants
    from zentrix_gov.runs.planning import judges as asks_judge

    per_record = {
        entry.name: len(variants(entry.metric, judging or Judging(), jurors if jurors > 1 else 1))
        for entry in planned
        if asks_judge(entry.metric)
    }
    options = {
        id(judge.request_options): judge.request_options
        for judge in judges
        if judge is not None and getattr(judge, "request_options", None) is not None
    }
    if not per_record or not options:
        return None
    count = VerdictCount(per_record)
    for request_options in options.values():
        channel_of(request_options).listen(count.heard)
    return count
