"""What a run evaluates, as objects and as the data stored with the run.

A run stores its definition as data: every metric (its class and fields), the
configuration, the caller's options (how the command line asked its judge, ...) and what the
run was told about its services. Hashes of the configuration and of the metrics are kept
beside it, so that a resumed run refuses to mix results of different definitions and names
what changed. :meth:`RunBlueprint.from_definition` rebuilds the metrics and the configuration from
the stored data, whoever started the run. A judge is never stored (it holds a key): only
its model, URL and request options; a resumed run is given its judge anew.
"""

from __future__ import annotations

import hashlib
import json
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit, urlunsplit

from zentrix_gov.runs import DEFAULT_CHUNK_SIZE

# Settings of the configuration that only say where a traced run's events go.
TRACE_SETTINGS = ("trace_fields", "response_id_field")

if TYPE_CHECKING:
    from zentrix_gov.entities.metric import GenAIMetric
    from zentrix_gov.runs.types import PlannedMetric


@dataclass
class RunBlueprint:
    """What a run evaluates and how it was asked for."""

    metrics: list[GenAIMetric]
    names: list[str]  # the metrics' names in results (command-line names)
    configuration: Any
    chunk_size: int = DEFAULT_CHUNK_SIZE  # the run's; see planning.default_chunk_size
    command: list[str] | str = ""
    options: dict[str, Any] = field(default_factory=dict)  # the caller's, stored as given
    details: dict[str, Any] = field(default_factory=dict)  # e.g. the detection service used
    planned: list[PlannedMetric] = field(default_factory=list)
    judging: Any = None  # a zentrix_gov.judging.Judging: repeats, swapped options, jury
    jurors: list[Any] = field(default_factory=list)  # a jury's judges (never stored)

    def judging_definition(self) -> dict[str, Any] | None:
        """How the run asks its judges, as data (the jurors by model and URL only)."""
        if self.judging is None and len(self.jurors) < 2:
            return None
        from zentrix_gov.judging.settings import Judging, juror_identity

        jurors = []
        for juror in self.jurors if len(self.jurors) > 1 else ():
            model, url = juror_identity(juror)
            jurors.append({"model": model, "url": without_userinfo(url) if url else None})
        return {"settings": (self.judging or Judging()).model_dump(), "jurors": jurors}

    def judge(self) -> tuple[str | None, str | None]:
        """The judge model's id and URL (never its key)."""
        model = getattr(getattr(self.configuration, "llm_judge", None), "model", None)
        for metric in self.metrics:
            own = getattr(getattr(metric, "llm_judge", None), "model", None)
            model = model or own
        if model is None:
            return None, None
        credentials = getattr(getattr(model, "provider", None), "credentials", None)
        url = getattr(credentials, "api_url", None) or getattr(credentials, "url", None)
        return getattr(model, "model_id", None), without_userinfo(url) if url else None

    def config_hash(self) -> str:
        dumped = _configuration_data(self.configuration)
        # Where a run's traces go does not change what it computes.
        for name in TRACE_SETTINGS:
            dumped.pop(name, None)
        dumped["judge_model"] = self.judge()[0]
        return digest(dumped)

    def metrics_hash(self) -> str:
        return digest(
            [
                {"as": name, "kind": type(metric).__name__, **_metric_data(metric)}
                for name, metric in zip(self.names, self.metrics, strict=True)
            ]
        )

    def definition(self) -> dict[str, Any]:
        """The run's definition as data, stored with the run."""
        from zentrix_gov.runs.planning import judges

        metrics = []
        for name, metric in zip(self.names, self.metrics, strict=True):
            data = _metric_data(metric)
            kind = type(metric).__name__
            metrics.append(
                {
                    "as": name,
                    "kind": kind,
                    "method": data.get("method"),
                    "judged": judges(metric),
                    "digest": digest({"kind": kind, **data})[:16],
                    "fields": data,
                }
            )
        judge = getattr(self.configuration, "llm_judge", None)
        options = getattr(judge, "request_options", None)
        model, url = self.judge()
        return {
            **self.details,
            "id_field": self.configuration.record_id_field,
            "metrics": metrics,
            "configuration": _configuration_data(self.configuration),
            "judge": {
                "model": model,
                "url": url,
                "request_options": options.model_dump(mode="json") if options else None,
            },
            "options": dict(self.options),
            **({"judging": judging} if (judging := self.judging_definition()) else {}),
        }

    @classmethod
    def from_definition(
        cls, definition: dict[str, Any], *, chunk_size: int, command: list[str] | str
    ) -> RunBlueprint:
        """The run's metrics and configuration rebuilt from its stored definition."""
        import zentrix_gov.metrics as metric_classes
        from zentrix_gov.config import GenAIConfiguration

        metrics, names = [], []
        for entry in definition["metrics"]:
            metric_class = getattr(metric_classes, entry["kind"], None)
            if metric_class is None:
                raise ValueError(f"no metric class {entry['kind']!r} in zentrix_gov.metrics")
            metrics.append(metric_class.model_validate(entry["fields"]))
            names.append(entry["as"])
        judging = definition.get("judging")
        if judging is not None:
            from zentrix_gov.judging.settings import Judging

            judging = Judging.model_validate(judging["settings"])
        return cls(
            metrics=metrics,
            names=names,
            configuration=GenAIConfiguration.model_validate(definition["configuration"]),
            chunk_size=chunk_size,
            command=command,
            options=dict(definition.get("options") or {}),
            judging=judging,
        )


def stored_metrics(definition: dict[str, Any]) -> dict[str, dict[str, Any]]:
    """The stored definition of each metric of a run, by its name in the results."""
    return {entry["as"]: entry for entry in definition.get("metrics") or []}


def can_rebuild(definition: dict[str, Any]) -> bool:
    """Whether the definition holds what :meth:`RunBlueprint.from_definition` rebuilds from (runs
    stored by versions before this one hold only hashes)."""
    entries = definition.get("metrics")
    return (
        isinstance(entries, list)
        and all(isinstance(entry, dict) and "fields" in entry for entry in entries)
        and isinstance(definition.get("configuration"), dict)
    )


def _metric_data(metric: GenAIMetric) -> dict[str, Any]:
    return metric.model_dump(mode="json", exclude={"llm_judge"})


def _configuration_data(configuration: Any) -> dict[str, Any]:
    # Without labels, as before labels existed: the hashes of earlier runs still match.
    unset = set() if getattr(configuration, "label_fields", None) else {"label_fields"}
    return configuration.model_dump(mode="json", exclude={"llm_judge", *unset})


def digest(value: Any) -> str:
    text = json.dumps(value, sort_keys=True, ensure_ascii=False, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()


def without_userinfo(url: str) -> str:
    parts = urlsplit(url)
    if parts.username is None and parts.password is None:
        return url
    host = parts.hostname or ""
    netloc = f"{host}:{parts.port}" if parts.port else host
    return urlunsplit(parts._replace(netloc=netloc))
