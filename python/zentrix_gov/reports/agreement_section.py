"""The run report's agreement sections: per labelled metric, the figures with their
intervals, the confusion matrix (options) or the ROC curve (pass/fail labels), and the
records where judge and label disagree most, with their texts."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from zentrix_gov.reports.table import RunTable
    from zentrix_gov.runs.schema import RunRecord
    from zentrix_gov.runs.store import RunStore

# The ROC curve's plot, in the page's pixels.
_SIZE, _MARGIN = 220, 30


def roc_path(points: list[tuple[float, float]]) -> str:
    """The ROC curve as an SVG polyline's points (false positive rate to the right)."""
    return " ".join(
        f"{_MARGIN + fpr * _SIZE:.1f},{_MARGIN + (1 - tpr) * _SIZE:.1f}" for fpr, tpr in points
    )


def agreement_sections(store: RunStore, run: RunRecord, table: RunTable) -> list[dict[str, Any]]:
    """One section per labelled metric of ``run``, in the run's order."""
    from zentrix_gov.judging.agreement import run_agreement

    sections = []
    for agreement in run_agreement(store, run, seed=0):
        rows = [
            {
                "name": name,
                "figure": figure,
                "strict": agreement.strict[name],
            }
            for name, figure in agreement.figures.items()
        ]
        disagreements = []
        for entry in agreement.disagreements:
            texts = table.texts[entry["position"]] or []
            shown = [(name, text) for name, text in zip(table.fields, texts, strict=False) if text]
            disagreements.append({**entry, "texts": shown})
        points = agreement.extra.get("roc") or []
        confusion = agreement.extra.get("confusion")
        sections.append(
            {
                "agreement": agreement,
                "rows": rows,
                "confusion": confusion,
                "confusion_rows": (
                    list(zip(confusion["labels"], confusion["counts"], strict=True))
                    if confusion
                    else []
                ),
                "roc": roc_path(points) if points else "",
                "roc_size": _SIZE + 2 * _MARGIN,
                "roc_margin": _MARGIN,
                "disagreements": disagreements,
            }
        )
    return sections
