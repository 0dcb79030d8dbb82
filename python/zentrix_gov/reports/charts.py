"""Charts as plain data for the page's SVG: a histogram of a metric's values, bars of its
label counts, bars of rates against a limit. The page's template draws them; every text in
them (labels come from judges) is escaped there like any other text."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np

BINS = 20
WIDTH, HEIGHT = 560, 180
_LEFT, _BOTTOM, _TOP = 44, 28, 10
# Room a character of a tick label takes at most (11 px digits are about 6.5 px wide), and
# between a label and the axis.
_CHARACTER, _TICK_GAP = 7, 12


@dataclass
class Bar:
    x: float
    y: float
    width: float
    height: float
    title: str  # shown on hover
    caption: str = ""  # written under or beside the bar
    fail: bool = False


@dataclass
class Chart:
    kind: str  # "histogram" or "bars"
    bars: list[Bar]
    width: int = WIDTH
    height: int = HEIGHT
    x_labels: list[tuple[float, str]] = field(default_factory=list)
    y_labels: list[tuple[float, str]] = field(default_factory=list)
    limit: tuple[float, str] | None = None  # a horizontal line and its caption
    empty: str = ""  # what to say instead of a chart
    left: int = _LEFT  # where the plot starts: room for the longest y label


def histogram(values: np.ndarray) -> Chart:
    """A histogram of the finite ``values``; over [0, 1] when they all lie there."""
    import numpy as np

    finite = values[np.isfinite(values)]
    if not len(finite):
        return Chart("histogram", [], empty="no record has a value")
    low, high = float(finite.min()), float(finite.max())
    if low >= 0 and high <= 1:
        low, high = 0.0, 1.0
    elif low == high:
        low, high = low - 0.5, high + 0.5
    counts, edges = np.histogram(finite, bins=BINS, range=(low, high))
    top = int(counts.max()) or 1
    # The count labels are whole, however many records a bar holds.
    left = max(_LEFT, _TICK_GAP + _CHARACTER * len(f"{top:,}"))
    plot_width = WIDTH - left - 8
    plot_height = HEIGHT - _BOTTOM - _TOP
    step = plot_width / BINS
    bars = []
    for index, count in enumerate(counts.tolist()):
        height = plot_height * count / top
        bars.append(
            Bar(
                x=left + index * step + 1,
                y=_TOP + plot_height - height,
                width=max(step - 2, 1),
                height=height,
                title=f"{edges[index]:.4g} to {edges[index + 1]:.4g}: {count} records",
            )
        )
    x_labels = [
        (left + plot_width * share, f"{low + (high - low) * share:.4g}")
        for share in (0, 0.25, 0.5, 0.75, 1)
    ]
    y_labels = [(_TOP + plot_height, "0"), (_TOP, f"{top:,}")]
    return Chart("histogram", bars, x_labels=x_labels, y_labels=y_labels, left=left)


def label_bars(counts: dict[str, int]) -> Chart:
    """One horizontal bar per label, the most frequent first."""
    if not counts:
        return Chart("bars", [], empty="no record has a label")
    ordered = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    top = ordered[0][1] or 1
    row = 24
    plot_width = WIDTH - 150 - 100  # room for the count after the longest bar
    bars = [
        Bar(
            x=150,
            y=8 + index * row,
            width=max(plot_width * count / top, 1),
            height=row - 6,
            title=f"{label}: {count} records",
            caption=label if len(label) <= 24 else label[:23] + "…",
        )
        for index, (label, count) in enumerate(ordered)
    ]
    return Chart("bars", bars, height=16 + len(ordered) * row)


def rate_bars(rates: list[tuple[str, float | None]], limit: float) -> Chart:
    """Vertical bars of rates between 0 and 1 with the limit they must not pass."""
    plot_height = HEIGHT - _BOTTOM - _TOP
    shown = [(name, value) for name, value in rates if value is not None]
    if not shown:
        return Chart("histogram", [], empty="no rate to draw")
    step = (WIDTH - _LEFT - 8) / len(shown)
    bars = []
    for index, (name, value) in enumerate(shown):
        height = plot_height * min(max(value, 0.0), 1.0)
        bars.append(
            Bar(
                x=_LEFT + index * step + step * 0.2,
                y=_TOP + plot_height - height,
                width=step * 0.6,
                height=height,
                title=f"{name}: {value:.3f}",
                caption=name if len(name) <= 22 else name[:21] + "…",
                fail=value > limit,
            )
        )
    y_labels = [(_TOP + plot_height, "0"), (_TOP + plot_height / 2, "0.5"), (_TOP, "1")]
    line = (_TOP + plot_height * (1 - min(max(limit, 0.0), 1.0)), f"limit {limit:.3f}")
    return Chart("histogram", bars, y_labels=y_labels, limit=line)
