"""The --config file: the configuration and the metrics' parameters; shared JSON reading."""

from __future__ import annotations

import difflib
import json
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from zentrix_gov.cli.errors import UsageError, one_line

if TYPE_CHECKING:
    from zentrix_gov.config import GenAIConfiguration

# Settings of the configuration that a --config file may hold, besides "metric_params".
LIST_SETTINGS = ("input_fields", "output_fields", "context_fields", "reference_fields")
TEXT_SETTINGS = (
    "record_id_field",
    "record_timestamp_field",
    "tool_calls_field",
    "response_id_field",
)
CONFIG_SETTINGS = (*LIST_SETTINGS, *TEXT_SETTINGS, "tools", "label_fields", "trace_fields")
METRIC_PARAMS = "metric_params"


@dataclass
class Settings:
    """What the config file says: the configuration and the metrics' parameters."""

    configuration: GenAIConfiguration
    metric_params: dict[str, dict[str, Any]] = field(default_factory=dict)


def load_settings(path: str | None) -> Settings:
    from pydantic import ValidationError

    from zentrix_gov.config import GenAIConfiguration

    if path is None:
        return Settings(GenAIConfiguration())
    document = load_json(read_text(path, "config file"), f"config file {path}")
    if not isinstance(document, dict):
        raise UsageError(f"config file {path} must hold a JSON object, not {json_kind(document)}")
    unknown = [key for key in document if key not in (*CONFIG_SETTINGS, METRIC_PARAMS)]
    if unknown:
        raise UsageError(
            f"config file {path}: unknown setting {quoted(unknown)}; known settings: "
            f"{', '.join((*CONFIG_SETTINGS, METRIC_PARAMS))}"
        )
    fields: dict[str, Any] = {}
    for key in LIST_SETTINGS:
        if key in document:
            fields[key] = _column_list(document[key], key, path)
    for key in TEXT_SETTINGS:
        if key in document:
            value = document[key]
            if value is not None and (not isinstance(value, str) or not value.strip()):
                raise UsageError(f"config file {path}: {key} must be a column name")
            fields[key] = value
    if "tools" in document:
        fields["tools"] = _tool_list(document["tools"], path)
    if "label_fields" in document:
        fields["label_fields"] = _label_fields(document["label_fields"], path)
    if document.get("trace_fields") is not None:
        fields["trace_fields"] = _trace_fields(document["trace_fields"], path)
    try:
        configuration = GenAIConfiguration(**fields)
    except ValidationError as exc:
        raise UsageError(f"config file {path}: {one_line(exc)}") from None
    return Settings(configuration, _metric_params(document.get(METRIC_PARAMS), path))


def _column_list(value: Any, key: str, path: str) -> list[str]:
    if isinstance(value, str):
        value = [value]  # a single column may be named without a list
    if not isinstance(value, list) or not all(isinstance(v, str) and v.strip() for v in value):
        raise UsageError(f"config file {path}: {key} must be a list of column names")
    return value


def _label_fields(value: Any, path: str) -> dict[str, str]:
    if not isinstance(value, dict) or not all(
        isinstance(column, str) and column.strip() for column in value.values()
    ):
        raise UsageError(
            f"config file {path}: label_fields must map metric names to the columns of their "
            'labels, e.g. {"answer_grounding": "grounded"}'
        )
    return value


def _trace_fields(value: Any, path: str) -> dict[str, str]:
    if (
        not isinstance(value, dict)
        or set(value) != {"trace_id", "span_id"}
        or not all(isinstance(v, str) and v.strip() for v in value.values())
    ):
        raise UsageError(
            f"config file {path}: trace_fields must name the columns of the trace and span "
            'ids: {"trace_id": COLUMN, "span_id": COLUMN}'
        )
    return value


def _tool_list(value: Any, path: str) -> list[dict[str, Any]] | None:
    if value is None:
        return None
    if not isinstance(value, list) or not all(isinstance(tool, dict) for tool in value):
        raise UsageError(f"config file {path}: tools must be a list of tool schema objects")
    return value


def _metric_params(value: Any, path: str) -> dict[str, dict[str, Any]]:
    from zentrix_gov.metrics import known_metrics

    if value is None:
        return {}
    if not isinstance(value, dict):
        raise UsageError(f"config file {path}: {METRIC_PARAMS} must be an object of objects")
    for name, params in value.items():
        if name not in known_metrics():
            raise UsageError(f"config file {path}: {METRIC_PARAMS} names {unknown_metric(name)}")
        if not isinstance(params, dict):
            raise UsageError(
                f"config file {path}: {METRIC_PARAMS}.{name} must be an object of parameters"
            )
    return value


def unknown_metric(name: str) -> str:
    from zentrix_gov.entities.enums import MetricGroup
    from zentrix_gov.metrics import known_metrics

    choices = [*known_metrics(), *(group.value for group in MetricGroup)]
    close = difflib.get_close_matches(name, choices, n=1)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    return f"unknown metric {name!r}{hint}. Known metrics: {', '.join(known_metrics())}"


def read_text(path: str, what: str) -> str:
    try:
        return Path(path).read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise UsageError(f"{what} {path} does not exist") from None
    except IsADirectoryError:
        raise UsageError(f"{what} {path} is a directory, not a file") from None
    except UnicodeDecodeError as exc:
        raise UsageError(f"{what} {path} is not UTF-8 text ({exc.reason})") from None
    except OSError as exc:
        raise UsageError(f"cannot read {what} {path}: {exc.strerror or exc}") from None


def load_json(text: str, what: str) -> Any:
    """The JSON document in ``text``; a usage error naming ``what`` and the position otherwise."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise UsageError(
            f"{what} is not valid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})"
        ) from None
    except RecursionError:
        raise UsageError(f"{what} nests lists or objects too deeply to be read") from None


def json_kind(value: Any) -> str:
    kinds = {dict: "an object", list: "a list", str: "a string", bool: "a boolean"}
    if value is None:
        return "null"
    return kinds.get(type(value), "a number")


def quoted(names: Sequence[str]) -> str:
    return ", ".join(repr(name) for name in names)
