"""The statistics of a comparison between two runs over the same records.

``bootstrap_intervals`` gives the percentile interval of the mean of paired differences by
resampling records with replacement; ``mcnemar`` the exact two-sided p-value of McNemar's
test for a verdict that some records gained and others lost.
"""

from __future__ import annotations

import contextlib
import math
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np

RESAMPLES = 2000
CONFIDENCE = 0.95
# Resampled record indexes drawn at once (bounds the memory of a batch to some 50 MB).
_BATCH_CELLS = 4_000_000


def bootstrap_intervals(
    differences: np.ndarray,
    *,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
    seed: int | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The ``confidence`` percentile bootstrap interval of the mean of each row of
    ``differences`` (series x records).

    Each resample draws the records with replacement; all rows share the draws, so series
    over the same records (several metrics) cost one set of draws. The mean of a resample
    is its count per record times the differences, which makes many rows cheap.
    """
    import numpy as np

    if not 0 < confidence < 1:
        raise ValueError(f"confidence must lie between 0 and 1, got {confidence}")
    if resamples < 1:
        raise ValueError(f"resamples must be at least 1, got {resamples}")
    rows = np.atleast_2d(np.asarray(differences, dtype=np.float64))
    series, records = rows.shape
    if records == 0:
        nan = np.full(series, np.nan)
        return nan, nan.copy()
    rng = np.random.default_rng(seed)
    means = np.empty((series, resamples))
    batch = max(1, _BATCH_CELLS // records)
    with _one_thread():
        for start in range(0, resamples, batch):
            size = min(batch, resamples - start)
            drawn = rng.integers(0, records, size=(size, records))
            drawn += np.arange(size)[:, None] * records
            counts = np.bincount(drawn.ravel(), minlength=size * records)
            counts = counts.reshape(size, records).T.astype(np.float64)
            means[:, start : start + size] = rows @ counts / records
    tail = (1 - confidence) / 2
    low, high = np.quantile(means, [tail, 1 - tail], axis=1)
    return low, high


def _one_thread() -> contextlib.AbstractContextManager[object]:
    """The products above are small: the linear algebra library's threads cost more than
    they give, and much more on a busy machine. Where threadpoolctl is installed, they are
    held to one for the block."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return contextlib.nullcontext()
    return threadpool_limits(1, user_api="blas")


def mcnemar(lost: int, gained: int) -> float:
    """Exact two-sided p-value of McNemar's test: of the records whose verdict changed,
    ``lost`` went one way and ``gained`` the other; under no change either way is as
    likely."""
    changed = lost + gained
    if changed == 0:
        return 1.0
    fewer = min(lost, gained)
    log_half = -changed * math.log(2)
    log_all = math.lgamma(changed + 1)
    tail = sum(
        math.exp(log_all - math.lgamma(k + 1) - math.lgamma(changed - k + 1) + log_half)
        for k in range(fewer + 1)
    )
    return min(1.0, 2 * tail)
