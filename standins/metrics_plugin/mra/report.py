"""The PDF report of a risk evaluation.

Pages: a title page with the model, the date and a summary table of every risk against its
threshold; one page per risk with a chart of its benchmarks' metrics against the threshold
and the metrics as a table; a page of examples of failing answers.

Charts are drawn by matplotlib on its Agg canvas (no display, no pyplot state) and pages
laid out by reportlab; both are imported only when a report is written.
"""

from __future__ import annotations

import contextlib
import datetime
import io
import os
from collections.abc import Sequence
from numbers import Real
from pathlib import Path
from typing import Any
from xml.sax.saxutils import escape

from metrics_plugin.mra import benchmarks
from metrics_plugin.mra import thresholds as risk_thresholds

MAX_EXAMPLES_PER_BENCHMARK = 3
TEXT_LIMIT = 400
PASS_COLOUR = "#1b7f3b"
FAIL_COLOUR = "#b3261e"


def _libraries() -> tuple[Any, Any]:
    try:
        import reportlab.platypus
        from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            "Writing the risk report needs reportlab and matplotlib: "
            "pip install 'zentrix-gov[risk]'."
        ) from exc
    import matplotlib.figure

    return reportlab.platypus, matplotlib.figure


def _checked_results(results: Any) -> dict[str, dict[str, dict[str, Any]]]:
    if not isinstance(results, dict) or not all(
        isinstance(cards, dict) and all(isinstance(metrics, dict) for metrics in cards.values())
        for cards in results.values()
    ):
        raise ValueError(
            "The report needs results of the form risk -> benchmark -> metric -> value."
        )
    return results


def _text(value: Any, limit: int = TEXT_LIMIT) -> str:
    text = " ".join(str(value).split())
    if len(text) > limit:
        text = text[: limit - 3] + "..."
    return escape(text)


def _number(value: Any) -> str:
    if isinstance(value, bool) or not isinstance(value, Real):
        return _text(value, 40)
    return f"{value:.3f}" if isinstance(value, float) else str(value)


def _rate_metrics(metrics: dict[str, Any]) -> dict[str, float]:
    """The metrics drawn in a chart: rates between 0 and 1."""
    return {
        name: float(value)
        for name, value in metrics.items()
        if isinstance(value, Real)
        and not isinstance(value, bool)
        and 0 <= value <= 1
        and name not in ("sample_size", "error_count")
    }


def _chart(figure_module: Any, risk: str, cards: dict[str, dict[str, Any]], limit: float) -> bytes:
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    figure = figure_module.Figure(figsize=(6.6, 3.3), dpi=150)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    names = list(cards)
    metric_names: list[str] = []
    for metrics in cards.values():
        for name in _rate_metrics(metrics):
            if name not in metric_names:
                metric_names.append(name)
    width = 0.8 / max(len(metric_names), 1)
    for index, metric in enumerate(metric_names):
        values = [_rate_metrics(cards[name]).get(metric, 0.0) for name in names]
        positions = [
            group + (index - (len(metric_names) - 1) / 2) * width for group in range(len(names))
        ]
        bars = axes.bar(positions, values, width, label=metric)
        axes.bar_label(bars, fmt="%.2f", fontsize=7, padding=1)
    axes.axhline(
        limit, color=FAIL_COLOUR, linestyle="--", linewidth=1.2, label=f"threshold {limit:.2f}"
    )
    axes.set_xticks(range(len(names)), names, fontsize=8)
    # Headroom above the highest possible rate keeps the legend off the bars.
    axes.set_ylim(0, 1.4)
    axes.set_ylabel("rate")
    axes.set_title(f"{risk}: metrics per benchmark", fontsize=10)
    axes.legend(fontsize=7, loc="upper center", ncol=3, frameon=False)
    figure.tight_layout()
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    return buffer.getvalue()


def _styles() -> Any:
    from reportlab.lib.styles import getSampleStyleSheet

    return getSampleStyleSheet()


def _table(
    platypus: Any, rows: list[list[Any]], widths: Sequence[float], extra: Sequence = ()
) -> Any:
    from reportlab.lib import colors

    table = platypus.Table(rows, colWidths=list(widths), repeatRows=1)
    table.setStyle(
        platypus.TableStyle(
            [
                ("BACKGROUND", (0, 0), (-1, 0), colors.HexColor("#dfe6ee")),
                ("FONTNAME", (0, 0), (-1, 0), "Helvetica-Bold"),
                ("GRID", (0, 0), (-1, -1), 0.4, colors.HexColor("#8a8f96")),
                ("VALIGN", (0, 0), (-1, -1), "MIDDLE"),
                ("FONTSIZE", (0, 0), (-1, -1), 9),
                *extra,
            ]
        )
    )
    return table


def _title_page(
    platypus: Any, styles: Any, model_name: str, outcomes: list, max_sample_size: Any
) -> list:
    from reportlab.lib import colors

    now = datetime.datetime.now().astimezone()
    sampled = f"up to {max_sample_size}" if max_sample_size else "all"
    story = [
        platypus.Paragraph("Model risk report", styles["Title"]),
        platypus.Paragraph(f"<b>Model:</b> {_text(model_name)}", styles["Normal"]),
        platypus.Paragraph(f"<b>Date:</b> {now:%Y-%m-%d %H:%M %Z}", styles["Normal"]),
        platypus.Paragraph(f"<b>Prompts per benchmark:</b> {sampled}", styles["Normal"]),
        platypus.Spacer(1, 14),
        platypus.Paragraph("Summary", styles["Heading2"]),
    ]
    rows: list[list[Any]] = [["Risk", "Worst failure rate", "Threshold", "Result"]]
    extra = []
    for row, outcome in enumerate(outcomes, 1):
        score = "-" if outcome.score is None else f"{outcome.score:.3f}"
        rows.append(
            [outcome.risk, score, f"{outcome.threshold:.3f}", "PASS" if outcome.passed else "FAIL"]
        )
        colour = colors.HexColor(PASS_COLOUR if outcome.passed else FAIL_COLOUR)
        extra += [
            ("TEXTCOLOR", (3, row), (3, row), colour),
            ("FONTNAME", (3, row), (3, row), "Helvetica-Bold"),
        ]
    story.append(_table(platypus, rows, (150, 120, 90, 70), extra))
    story += [
        platypus.Spacer(1, 10),
        platypus.Paragraph(
            "A risk passes when, for every one of its benchmarks, the rate of failing answers is "
            "at most the risk's threshold. The worst failure rate is the highest of these rates. "
            "An answer that is missing, empty or not text is an error (error_count) and counts "
            "as a failing answer, never as a safe one.",
            styles["Normal"],
        ),
        platypus.PageBreak(),
    ]
    return story


def _risk_page(
    platypus: Any, figure_module: Any, styles: Any, risk: str, cards: dict, limit: float
) -> list:
    catalogue = benchmarks.catalogue()
    story = [platypus.Paragraph(f"Risk: {_text(risk)}", styles["Heading1"])]
    if risk in catalogue:
        story.append(platypus.Paragraph(_text(catalogue[risk]["description"]), styles["Normal"]))
    story.append(platypus.Spacer(1, 8))
    if any(_rate_metrics(metrics) for metrics in cards.values()):
        png = io.BytesIO(_chart(figure_module, risk, cards, limit))
        story.append(platypus.Image(png, width=460, height=230))
    else:
        story.append(platypus.Paragraph("No rate to chart for this risk.", styles["Italic"]))
    rows: list[list[Any]] = [["Benchmark", "Metric", "Value"]]
    for benchmark, metrics in cards.items():
        for name, value in metrics.items():
            rows.append([_text(benchmark, 60), _text(name, 60), _number(value)])
    story += [platypus.Spacer(1, 8), _table(platypus, rows, (170, 170, 90)), platypus.PageBreak()]
    return story


def _examples_page(platypus: Any, styles: Any, results: dict, failures: Sequence) -> list:
    story = [platypus.Paragraph("Examples of failing answers", styles["Heading1"])]
    shown = 0
    for risk, cards in results.items():
        for benchmark in cards:
            chosen = [
                failure
                for failure in failures
                if failure.risk == risk and failure.benchmark == benchmark
            ][:MAX_EXAMPLES_PER_BENCHMARK]
            if not chosen:
                continue
            story.append(
                platypus.Paragraph(f"{_text(risk)} / {_text(benchmark)}", styles["Heading3"])
            )
            for failure in chosen:
                story += [
                    platypus.Paragraph(f"<b>Prompt:</b> {_text(failure.prompt)}", styles["Normal"]),
                    platypus.Paragraph(f"<b>Answer:</b> {_text(failure.answer)}", styles["Normal"]),
                    platypus.Paragraph(
                        f"<b>Why it failed:</b> {_text(failure.reason)}", styles["Normal"]
                    ),
                    platypus.Spacer(1, 6),
                ]
                shown += 1
    if not shown:
        story.append(platypus.Paragraph("No answer failed its check.", styles["Normal"]))
    return story


def write_report(
    path: str | os.PathLike[str],
    *,
    model_name: str,
    results: Any,
    thresholds: Any,
    failures: Sequence[Any] = (),
    max_sample_size: int | None = None,
) -> str:
    """Writes the report to ``path`` (its folder is created) and returns the path as text.

    The file appears complete or not at all: pages go to a temporary file next to it first.
    """
    platypus, figure_module = _libraries()
    results = _checked_results(results)
    outcomes = risk_thresholds.outcomes(results, thresholds)
    limits = {outcome.risk: outcome.threshold for outcome in outcomes}
    styles = _styles()

    story = _title_page(platypus, styles, model_name, outcomes, max_sample_size)
    for risk, cards in results.items():
        story += _risk_page(platypus, figure_module, styles, risk, cards, limits[risk])
    story += _examples_page(platypus, styles, results, failures)

    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    partial = target.with_name(f".{target.name}.{os.getpid()}.partial")
    try:
        document = platypus.SimpleDocTemplate(
            str(partial), title=f"Model risk report: {model_name}", author="zentrix-gov"
        )
        document.build(story)
        os.replace(partial, target)
    finally:
        with contextlib.suppress(FileNotFoundError):
            partial.unlink()
    return str(target)
