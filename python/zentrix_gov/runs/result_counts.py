"""What the summary and the exports count in a run's stored results, as queries of the run
store (:class:`~zentrix_gov.runs.store.RunStore` has them)."""

from __future__ import annotations

import sqlite3

from zentrix_gov.runs.schema import ResultStatus


class ResultCounts:
    """Counts over the ``results`` table of the store's connection."""

    _db: sqlite3.Connection

    def counts(self, run_id: str) -> dict[str, dict[str, int]]:
        """Per metric: how many result rows have each status, and how many have a value."""
        counts: dict[str, dict[str, int]] = {}
        rows = self._db.execute(
            "SELECT metric, status, count(*), count(value) FROM results WHERE run_id = ? "
            "GROUP BY metric, status",
            (run_id,),
        )
        for metric, status, number, with_value in rows:
            entry = counts.setdefault(metric, {**dict.fromkeys(ResultStatus, 0), "value": 0})
            entry[status] = number
            entry["value"] += with_value
        return counts

    def detail_counts(self, run_id: str, metric: str) -> dict[str, int]:
        """How many evaluated records of the metric have a label, an explanation, ..."""
        names = ("label", "explanation", "feedback", "input_tokens", "output_tokens")
        row = self._db.execute(
            f"SELECT {', '.join(f'count({name})' for name in names)} FROM results "
            "WHERE run_id = ? AND metric = ? AND status != ?",
            (run_id, metric, ResultStatus.SKIPPED),
        ).fetchone()
        return dict(zip(names, row, strict=True))

    def error_codes(self, run_id: str, metric: str) -> dict[str, int]:
        rows = self._db.execute(
            "SELECT error_code, count(*) FROM results WHERE run_id = ? AND metric = ? AND "
            "status = ? GROUP BY error_code ORDER BY count(*) DESC, error_code",
            (run_id, metric, ResultStatus.ERROR),
        )
        return {code or "": number for code, number in rows}
