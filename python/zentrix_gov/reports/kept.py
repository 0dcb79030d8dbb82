"""Which records keep their texts on a report page that would be too large with them all.

A record keeps its texts and what the metrics said about it whole, or leaves them all out;
a cut text helps nobody. The records a reader opens first come first: the worst records of
each metric, the table's first page, the records with an error; then the others in file
order, as far as the room goes. The rest show their ids, values and status, and the page
says where their texts are.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np


@dataclass(frozen=True)
class Share:
    """How many of a group of records keep their texts."""

    kept: int
    of: int


@dataclass
class KeptTexts:
    """The records whose texts the page keeps (``mask``; None: every record's)."""

    mask: np.ndarray | None
    records: int
    kept: int
    through: int  # records 1 to ``through`` all keep theirs
    worst: Share  # the worst records shown per metric
    first_page: Share
    errors: Share  # records with an error in some metric

    @property
    def left_out(self) -> int:
        return self.records - self.kept

    def kept_text(self) -> str:
        """Which records keep their texts, in a few words ("" when all do)."""
        if not self.left_out:
            return ""
        parts = []
        if self.through:
            parts.append(f"records 1 to {self.through:,}")
        if self.first_page.of > self.through:
            parts.append(
                _share(self.first_page, "the table's first page", "records of its first page")
            )
        if self.worst.of:
            parts.append(_share(self.worst, "the worst records of each metric", "worst records"))
        if self.errors.of:
            many = f"the {self.errors.of:,} records" if self.errors.of > 1 else "the record"
            parts.append(_share(self.errors, many + " with an error", "records with an error"))
        return ", ".join(parts[:-1]) + (" and " if len(parts) > 1 else "") + parts[-1]


def _share(share: Share, whole: str, records: str) -> str:
    if share.kept == share.of:
        return whole
    return f"{share.kept:,} of the {share.of:,} {records}"


def keep_texts(
    extra: np.ndarray,
    room: int,
    worst: Sequence[int],
    first_page: int,
    errors: np.ndarray,
) -> KeptTexts:
    """Keep records' texts while they fit in ``room`` bytes, each record costing its
    ``extra``: first the ``worst`` records, the ``first_page`` records and those with
    ``errors`` (positions), each group in order, a record too large for what is left
    skipped; then the others in file order up to the first that does not fit."""
    import numpy as np

    count = len(extra)
    if int(extra.sum()) <= room:
        every = Share(0, 0)
        return KeptTexts(None, count, count, count, every, every, every)
    mask = np.zeros(count, dtype=bool)
    spent = 0
    shares = []
    for group in (worst, range(min(first_page, count)), errors.tolist()):
        positions = list(dict.fromkeys(group))
        for position in positions:
            if not mask[position] and spent + int(extra[position]) <= room:
                mask[position] = True
                spent += int(extra[position])
        shares.append(Share(int(mask[positions].sum()) if positions else 0, len(positions)))
    rest = np.flatnonzero(~mask)
    fitting = int(np.searchsorted(np.cumsum(extra[rest]), room - spent, side="right"))
    mask[rest[:fitting]] = True
    through = int(np.argmin(mask)) if not mask.all() else count
    return KeptTexts(mask, count, int(mask.sum()), through, *shares)
