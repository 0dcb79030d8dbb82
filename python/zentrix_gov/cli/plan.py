"""Which metrics a run evaluates: the metrics of --metrics (groups expanded) and --criteria."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.errors import UsageError
from zentrix_gov.cli.settings import METRIC_PARAMS, Settings, unknown_metric
from zentrix_gov.metrics.problems import echo

if TYPE_CHECKING:
    from zentrix_gov.entities.metric import GenAIMetric


def group_members(group: Any) -> list[str]:
    # Only metrics this command can build by name (other parts of the SDK may register
    # metrics that need a judge model or other set-up).
    from zentrix_gov.metrics import known_metrics

    return [metric.name for metric in group.get_metrics() if metric.name in known_metrics()]


def build_metrics(
    entries: Sequence[str] | None, settings: Settings, criteria_files: Sequence[str] | None = None
) -> list[GenAIMetric]:
    """The metrics named in ``--metrics`` (group names expanded), in order, without repeats,
    then the criteria of the ``--criteria`` files."""
    if not entries and not criteria_files:
        raise UsageError(
            "name the metrics to evaluate: give --metrics NAMES, --criteria FILE or both"
        )
    metrics = _named_metrics(entries, settings) if entries else []
    for path in criteria_files or ():
        metrics += read_criteria_file(path)
    check_unique_names(metrics)
    return metrics


def read_criteria_file(path: str) -> list[GenAIMetric]:
    from zentrix_gov.metrics import CriteriaFileError, load_criteria

    try:
        return list(load_criteria(path))
    except CriteriaFileError as exc:
        raise UsageError(str(exc)) from None


def run_name(metric: GenAIMetric) -> str:
    """The name the table, the CSV and the JSON's ``metric`` key give ``metric``."""
    from zentrix_gov.runs.planning import result_name

    return result_name(metric)


def check_unique_names(metrics: Sequence[GenAIMetric]) -> None:
    """Results are filed by the command-line name: a second metric of the same name would
    overwrite the first. A criterion's name is the user's to choose, so it must also differ
    from the name other metrics give their results (rag_faithfulness reports
    "faithfulness"); built-in metrics that share a result name are told apart by their
    command-line names."""
    from zentrix_gov.metrics.criteria import CriteriaMetric

    seen: set[str] = set()
    for metric in metrics:
        name = run_name(metric)
        if name in seen:
            raise UsageError(
                f"two metrics are named {echo(name)}: give each criterion a name no other metric "
                "of the run has"
            )
        seen.add(name)
    for criterion in (metric for metric in metrics if isinstance(metric, CriteriaMetric)):
        for other in metrics:
            if other is not criterion and other.name == criterion.name:
                raise UsageError(
                    f"criterion {echo(criterion.name)} has the name of the results of metric "
                    f"{run_name(other)!r}: give the criterion a name no other metric of the "
                    "run has"
                )


def _named_metrics(entries: Sequence[str], settings: Settings) -> list[GenAIMetric]:
    from zentrix_gov.entities.enums import MetricGroup
    from zentrix_gov.metrics import MetricParameterError, known_metrics, metric_from_name
    from zentrix_gov.metrics.catalog import criteria_from_params
    from zentrix_gov.metrics.criteria import COMMAND_NAME as CRITERIA

    names: list[str] = []
    for entry in entries:
        for part in entry.split(","):
            name = part.strip().lower()
            if not name:
                continue
            if name in known_metrics():
                expanded = [name]
            elif name in {group.value for group in MetricGroup}:
                expanded = group_members(MetricGroup(name))
            else:
                raise UsageError(unknown_metric(name))
            names += [item for item in expanded if item not in names]
    if not names:
        raise UsageError("--metrics names no metric")
    metrics: list[GenAIMetric] = []
    for name in names:
        params = settings.metric_params.get(name, {})
        if name == CRITERIA and not params:
            raise UsageError(
                f"metric {CRITERIA!r} needs a definition: give --criteria FILE instead, or set "
                f'{METRIC_PARAMS}.{CRITERIA} in the --config file ({{"file": PATH}} or one '
                "criterion's fields)"
            )
        try:
            if name == CRITERIA:
                metrics += criteria_from_params(params)
            else:
                metrics.append(metric_from_name(name, **params))
        except MetricParameterError as exc:
            raise UsageError(
                f"metric {name!r}: {'; '.join(exc.problems)} "
                f"(set its parameters under {METRIC_PARAMS}.{name} in the --config file)"
            ) from None
    return metrics
