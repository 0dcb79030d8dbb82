"""Which metrics a run evaluates, in which order, and which columns each one reads."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from zentrix_gov.runs.errors import RunError
from zentrix_gov.runs.types import PlannedMetric

if TYPE_CHECKING:
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.entities.metric import GenAIMetric

# What a configuration setting the metric needs but that is not set is called in messages.
_UNSET_SETTING = {
    "input_fields": "input_fields in the config file must name at least one column",
    "output_fields": "{name} needs output_fields (the answer column) in the config",
    "context_fields": "{name} needs the context column(s): set context_fields in the --config file",
    "reference_fields": "{name} needs the reference column(s): set reference_fields in the config",
    "tool_calls_field": (
        "{name} needs the column of the tool calls: set tool_calls_field in the --config file"
    ),
    "prediction_field": (
        "{name} needs the column of the text to judge: set prediction_field in the criterion "
        "or output_fields in the --config file"
    ),
}


class PlanError(RunError, ValueError):
    """The metrics cannot be evaluated on these records as configured."""


class MissingExtra(PlanError):
    """A metric's method needs an extra of zentrix-gov that is not installed."""

    def __init__(self, metric: str, method: str, extra: str, modules: list[str]):
        self.metric = metric
        self.method = method
        self.extra = extra
        self.modules = modules
        super().__init__(
            f"{metric} with the method {method} needs {', '.join(modules)}, which "
            f"{'is' if len(modules) == 1 else 'are'} not installed: pip install "
            f"'zentrix-gov[{extra}]'"
        )


def result_name(metric: GenAIMetric) -> str:
    """The name results of ``metric`` are filed under (``rag_faithfulness`` reports
    ``faithfulness`` results, beside the detector metric of that name)."""
    info = getattr(metric, "info", None)
    return getattr(info, "command_name", metric.name)


def needed_columns(
    metric: GenAIMetric, configuration: GenAIConfiguration
) -> tuple[list[tuple[str, str]], list[tuple[str, ...]]]:
    """The columns ``metric`` reads, as (column, setting) pairs that must exist, and the
    groups of columns of which every evaluated record needs at least one value. A metric
    that does not describe its columns reads every record."""
    info = getattr(metric, "info", None)
    if info is None or not hasattr(info, "column_uses"):
        return [], []
    exist: list[tuple[str, str]] = []
    filled: list[tuple[str, ...]] = []
    for use in info.column_uses(configuration):
        if not use.columns:
            raise PlanError(_UNSET_SETTING[use.setting].format(name=metric.name))
        exist += [(column, use.setting) for column in use.columns]
        if use.needs_value:
            filled.append(use.columns)
    if "tools" in getattr(info, "reads", ()) and not configuration.tools:
        raise PlanError(
            f"{metric.name} checks tool calls against the tool catalogue: set tools in the "
            "--config file"
        )
    return exist, filled


def plan_metrics(
    metrics: Sequence[GenAIMetric],
    configuration: GenAIConfiguration,
    columns: Iterable[str],
    records_path: str,
) -> list[PlannedMetric]:
    """Check that the records have every column the metrics read, and order the metrics by
    their dependencies (a dependency first)."""
    from zentrix_gov.evaluation import resolve_metric_dependencies

    ordered = resolve_metric_dependencies(metrics)
    available = [str(column) for column in columns]
    names = [result_name(metric) for metric in ordered]
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise PlanError(
            f"two metrics report results named {repeated[0]!r}: give each criterion a name no "
            "other metric of the run has"
        )
    planned = []
    for name, metric in zip(names, ordered, strict=True):
        exist, filled = needed_columns(metric, configuration)
        for column, setting in exist:
            if column not in available:
                raise PlanError(
                    f"{records_path} has no column {column!r} ({setting}, needed by "
                    f"{metric.name}); its columns are: {', '.join(available)}. Name the "
                    "columns in a --config file"
                )
        depends_on = [result_name(dependency) for dependency in metric.metric_dependencies]
        planned.append(PlannedMetric(name, metric, filled, [n for n in depends_on if n in names]))
    for entry in planned:
        check_installed(entry.name, entry.metric)
    return planned


def check_installed(name: str, metric: GenAIMetric) -> None:
    """Raise :class:`MissingExtra` when ``metric``'s method needs modules that are not
    installed: found before any record is sent, not by the library after some metrics ran."""
    from zentrix_gov.metrics.rag import METHODS

    method = METHODS.get(getattr(metric, "method", None) or "")
    if method is None or method.extra is None:
        return
    missing = method.missing()
    if missing:
        raise MissingExtra(name, method.name, method.extra, missing)


def judges(metric: GenAIMetric) -> bool:
    """Whether ``metric`` asks an LLM judge for every record."""
    from zentrix_gov.metrics.criteria import CriteriaMetric
    from zentrix_gov.metrics.rag import JUDGE, RagMetric

    return isinstance(metric, CriteriaMetric) or (
        isinstance(metric, RagMetric) and metric.method == JUDGE
    )


def default_chunk_size(metrics: Sequence[GenAIMetric]) -> int:
    """Records per unit for a run of ``metrics``: small when a judge is asked per record."""
    from zentrix_gov.runs import DEFAULT_CHUNK_SIZE, JUDGE_CHUNK_SIZE

    return JUDGE_CHUNK_SIZE if any(judges(metric) for metric in metrics) else DEFAULT_CHUNK_SIZE


def unit_metric(metric: GenAIMetric) -> Any:
    """The metric as a unit evaluates it: its dependencies are units of their own, so the
    driver must not evaluate them again inside this one."""
    if not metric.metric_dependencies:
        return metric
    return metric.model_copy(update={"metric_dependencies": []})
