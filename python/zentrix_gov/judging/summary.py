"""What a metric's judges asked several times came to: stability, flips and the jurors'
agreement, from the records' judgements.

- stability: per record, the share of its verdicts that agree with its verdict; per
  metric, the mean over the records with a verdict, and the share of those records whose
  verdicts were not unanimous;
- flip rate: of the records whose verdict was asked with the options in both orders, the
  share whose verdict changed;
- jurors' agreement: Fleiss' kappa of the jurors' options (over the records every juror
  judged), Krippendorff's alpha (interval) of their scores (missing verdicts allowed).
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zentrix_gov.judging.verdicts import judgement_rows

if TYPE_CHECKING:
    from zentrix_gov.runs.schema import RunRecord
    from zentrix_gov.runs.store import RunStore


@dataclass
class JudgingSummary:
    """One metric's judgements."""

    records: int  # records judged (with a judgement)
    verdicts: int  # verdicts asked per record
    stability: float | None
    not_unanimous: float | None
    compared: int  # records asked with the options both ways
    flipped: int
    jurors: int
    juror_statistic: str | None  # "fleiss_kappa" or "alpha"
    juror_agreement: float | None
    juror_records: int  # records the jurors' agreement is computed on

    @property
    def flip_rate(self) -> float | None:
        return self.flipped / self.compared if self.compared else None

    def as_dict(self) -> dict[str, Any]:
        return {
            "records": self.records,
            "verdicts_per_record": self.verdicts,
            "stability": self.stability,
            "not_unanimous": self.not_unanimous,
            "flip_rate": self.flip_rate,
            "flipped": self.flipped,
            "compared": self.compared,
            "jurors": self.jurors,
            "juror_statistic": self.juror_statistic,
            "juror_agreement": self.juror_agreement,
            "juror_records": self.juror_records,
        }


def juror_table(rows: list[tuple[Any, ...]]) -> tuple[str | None, list[list[Any]]]:
    """Each record's juror verdicts, and whether they are options or scores."""
    cells = [json.loads(row[6]) if row[6] else [] for row in rows]
    labels = any(cell and cell[0] is not None for record in cells for cell in record if cell)
    return ("options" if labels else "scores"), cells


def juror_agreement(kind: str, cells: list[list[Any]]) -> tuple[str, float | None, int]:
    """The jurors' agreement over the records' juror verdicts: (statistic, value, records)."""
    import numpy as np

    from zentrix_gov.judging import stats

    if kind == "options":
        complete = [record for record in cells if record and all(record)]
        categories = sorted({cell[0] for record in complete for cell in record})
        index = {name: i for i, name in enumerate(categories)}
        counts = np.zeros((len(complete), len(categories)))
        for row, record in enumerate(complete):
            for cell in record:
                counts[row, index[cell[0]]] += 1
        value = stats.fleiss_kappa(counts)
        return "fleiss_kappa", (value if value == value else None), len(complete)
    values = np.array(
        [[np.nan if cell is None else float(cell[1]) for cell in record] for record in cells]
    )
    if not values.size:
        return "alpha", None, 0
    value = stats.alpha_units(values)
    paired = int(((~np.isnan(values)).sum(axis=1) >= 2).sum())
    return "alpha", (value if value == value else None), paired


def judging_summary(store: RunStore, run: RunRecord, metric: str) -> JudgingSummary | None:
    """The metric's judgements summed up; None when its judge was asked once per record."""
    rows = judgement_rows(store, run.id, metric)
    if not rows:
        return None
    shares = [agreeing / answered for _, _, answered, agreeing, *_ in rows if agreeing is not None]
    compared = [row[5] for row in rows if row[5] is not None]
    jurors = max((len(json.loads(row[6])) for row in rows if row[6]), default=1)
    statistic = agreement = None
    paired = 0
    if jurors > 1:
        kind, cells = juror_table(rows)
        statistic, agreement, paired = juror_agreement(kind, cells)
    return JudgingSummary(
        records=len(rows),
        verdicts=max(row[1] for row in rows),
        stability=sum(shares) / len(shares) if shares else None,
        not_unanimous=(sum(share < 1 for share in shares) / len(shares) if shares else None),
        compared=len(compared),
        flipped=sum(compared),
        jurors=jurors,
        juror_statistic=statistic,
        juror_agreement=agreement,
        juror_records=paired,
    )


# The summary table's columns of judges asked several times.
TABLE_HEADER = ("verdicts", "stability", "not unanimous", "flip rate", "jurors agree")


def _share(value: float | None) -> str:
    return "-" if value is None else f"{value:.1%}"


def table_columns(
    summaries: list[Any], header: tuple[str, ...], rows: list[tuple[str, ...]]
) -> tuple[tuple[str, ...], list[tuple[str, ...]]]:
    """The summary table with the columns of judges asked several times."""
    extended = []
    for summary, row in zip(summaries, rows, strict=True):
        judged: JudgingSummary | None = summary.judging
        if judged is None:
            extended.append((*row, *("-",) * len(TABLE_HEADER)))
            continue
        agreement = "-"
        if judged.juror_agreement is not None:
            short = "kappa" if judged.juror_statistic == "fleiss_kappa" else "alpha"
            agreement = f"{short} {judged.juror_agreement:.2f}"
        extended.append(
            (
                *row,
                str(judged.verdicts),
                _share(judged.stability),
                _share(judged.not_unanimous),
                _share(judged.flip_rate),
                agreement,
            )
        )
    return (*header, *TABLE_HEADER), extended
