"""What every benchmark script shares: its JSON lines and its medians.

Not a benchmark itself: ``./dev.sh bench`` skips the files of bench/ whose names start with
"_". Scripts import it by name (``from _support import emit``): Python puts a script's own
folder first on its path.
"""

from __future__ import annotations

import json
import os
import statistics
import time
from collections.abc import Callable
from typing import Any


def load() -> list[float]:
    """The machine's load over 1, 5 and 15 minutes: a shared machine stretches wall times."""
    return [round(value, 2) for value in os.getloadavg()]


def emit(case: str | None = None, **figures: Any) -> None:
    """One JSON line of figures: the case first (when named), the machine's load last."""
    head = {"case": case} if case is not None else {}
    print(json.dumps({**head, **figures, "load": load()}), flush=True)


def median_seconds(function: Callable[[], object], runs: int) -> float:
    """The median wall time of ``runs`` calls of ``function``."""
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return statistics.median(times)
