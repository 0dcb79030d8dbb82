"""``EvaluateFMRisk``: runs the built-in risk benchmarks against a model and scores them."""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from metrics_plugin.mra import benchmarks, scoring
from metrics_plugin.mra.models import build_model
from metrics_plugin.mra.progress import current_listener


@dataclass(frozen=True)
class FailedAnswer:
    """One answer that failed its check, kept for the report."""

    risk: str
    benchmark: str
    item_id: str
    prompt: str
    answer: Any  # text, or what the model gave instead (None, ...)
    reason: str


class EvaluateFMRisk:
    """Evaluates a foundation model's risks on the built-in benchmarks.

    The model is ``scoring_function`` (called with a list of prompts, returning a list of
    answers) or, without one, the platform model named by ``system_credentials``. Each
    benchmark of each risk in ``risk_dimensions`` (all risks when None) contributes up to
    ``max_sample_size`` prompts (all when None), drawn with ``seed``. ``evaluate_fm_risks()``
    returns risk -> benchmark -> metric -> value; ``get_pdf_report(...)`` writes the report.
    """

    DEFAULT_SEED = 42
    # Prompts per call of a scoring function, and calls in flight at once.
    BATCH_SIZE = 8
    MAX_PARALLEL = 8

    def __init__(
        self,
        system_credentials: dict[str, Any] | None = None,
        foundation_model_name: str | None = None,
        risk_dimensions: list[str] | None = None,
        scoring_function: Callable[[list[str]], list[str]] | None = None,
        max_sample_size: int | None = None,
        seed: int | None = None,
        max_parallel: int | None = None,
        batch_size: int | None = None,
    ) -> None:
        if max_sample_size is not None and (
            isinstance(max_sample_size, bool)
            or not isinstance(max_sample_size, int)
            or max_sample_size < 1
        ):
            raise ValueError(
                f"max_sample_size must be a positive whole number, got {max_sample_size!r}."
            )
        self.foundation_model_name = foundation_model_name or "unnamed model"
        self.risks = benchmarks.resolve_risks(risk_dimensions)
        self.max_sample_size = max_sample_size
        self.seed = self.DEFAULT_SEED if seed is None else seed
        self.max_parallel = _positive(max_parallel, self.MAX_PARALLEL, "max_parallel")
        self.batch_size = _positive(batch_size, self.BATCH_SIZE, "batch_size")
        # The credential map holds keys: it is used here and never shown.
        self._model = build_model(
            dict(system_credentials or {}), scoring_function, self.batch_size, self.max_parallel
        )
        self.failures: list[FailedAnswer] = []
        self.prompt_count = 0
        self.elapsed_seconds = 0.0

    def plan(self) -> list[tuple[benchmarks.BenchmarkInfo, list[dict[str, Any]]]]:
        """The benchmarks to run and the items drawn from each."""
        return [
            (info, benchmarks.sample_items(info.name, self.max_sample_size, self.seed))
            for risk in self.risks
            for info in benchmarks.benchmarks_of(risk)
        ]

    def evaluate_fm_risks(self) -> dict[str, dict[str, dict[str, Any]]]:
        started = time.perf_counter()
        planned = self.plan()
        prompts = [item["prompt"] for _, items in planned for item in items]
        answers = self._model.answer(prompts, self._progress(len(prompts)))

        results: dict[str, dict[str, dict[str, Any]]] = {risk: {} for risk in self.risks}
        failures: list[FailedAnswer] = []
        position = 0
        for info, items in planned:
            verdicts = []
            for item in items:
                answer = answers[position]
                position += 1
                verdict = scoring.judge(info.check, item, answer)
                verdicts.append(verdict)
                if verdict.failed:
                    failures.append(
                        FailedAnswer(
                            info.risk, info.name, item["id"], item["prompt"], answer, verdict.reason
                        )
                    )
            results[info.risk][info.name] = scoring.summarise(info.check, verdicts)
        self.failures = failures
        self.prompt_count = len(prompts)
        self.elapsed_seconds = time.perf_counter() - started
        return results

    def _progress(self, total: int) -> Callable[[int], None] | None:
        listener = current_listener()
        if listener is None:
            return None
        done = 0
        listener(0, total)

        def answered(count: int) -> None:
            nonlocal done
            done += count
            listener(done, total)

        return answered

    def get_pdf_report(self, results: dict[str, Any], path: Any, thresholds: Any = None) -> str:
        """Writes the PDF report of ``results`` to ``path`` and returns the path as text.

        The failing answers shown are those of this evaluator's last run that belong to the
        risks and benchmarks of ``results``.
        """
        from metrics_plugin.mra.report import write_report

        return write_report(
            path,
            model_name=self.foundation_model_name,
            results=results,
            thresholds=thresholds,
            failures=self.failures,
            max_sample_size=self.max_sample_size,
        )

    def __repr__(self) -> str:
        return (
            f"EvaluateFMRisk(foundation_model_name={self.foundation_model_name!r}, "
            f"risk_dimensions={self.risks!r}, max_sample_size={self.max_sample_size!r})"
        )


def _positive(value: int | None, default: int, name: str) -> int:
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive whole number, got {value!r}.")
    return value
