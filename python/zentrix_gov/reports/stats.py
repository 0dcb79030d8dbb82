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
    weights: np.ndarray | None = None,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
    seed: int | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The ``confidence`` percentile bootstrap interval of the mean of each row of
    ``differences`` (series x records).

    Each resample draws the records with replacement; all rows share the draws, so many
    series (several metrics, or many simulated runs) cost one set of draws. ``weights``
    (0 or 1, the shape of ``differences``) leaves out the records a series does not have:
    its mean is then over the drawn records it has. The mean of a resample is the count of
    each record drawn times the differences, which makes many rows cheap.
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
    mask = None if weights is None else np.atleast_2d(np.asarray(weights, dtype=np.float64))
    if mask is not None:
        rows = rows * mask
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
            drawn_per_row = records if mask is None else mask @ counts
            with np.errstate(invalid="ignore", divide="ignore"):
                means[:, start : start + size] = rows @ counts / drawn_per_row
    tail = (1 - confidence) / 2
    # A resample that drew none of a series' records has no mean: it is left out.
    low, high = np.nanquantile(means, [tail, 1 - tail], axis=1)
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
