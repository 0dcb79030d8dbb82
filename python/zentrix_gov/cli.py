"""The command line: evaluate detector metrics over a file of records.

    python -m zentrix_gov evaluate records.jsonl --metrics hap,pii,faithfulness \\
        --config columns.json --output build/results.json

Progress goes to standard error, the summary table to standard output. Every problem ends
with one ``error: ...`` line on standard error: exit code 2 for mistakes in the command,
the configuration or the records file, 1 when the evaluation itself fails.
"""

from __future__ import annotations

import argparse
import ast
import asyncio
import csv
import difflib
import json
import math
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

if TYPE_CHECKING:
    import pandas as pd

    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.entities.metric import GenAIMetric

PROG = "python -m zentrix_gov"
EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Settings of the configuration that a --config file may hold, besides "metric_params".
LIST_SETTINGS = ("input_fields", "output_fields", "context_fields", "reference_fields")
TEXT_SETTINGS = ("record_id_field", "record_timestamp_field", "tool_calls_field")
CONFIG_SETTINGS = (*LIST_SETTINGS, *TEXT_SETTINGS, "tools")
METRIC_PARAMS = "metric_params"

RECORD_FORMATS = {".csv": "csv", ".json": "json", ".jsonl": "jsonl", ".ndjson": "jsonl"}

# Texts of the exceptions aiohttp raises when no connection could be made at all.
_CONNECT_FAILURES = (
    "cannot connect to host",
    "connect call failed",
    "connection refused",
    "name or service not known",
    "temporary failure in name resolution",
    "nodename nor servname",
    "no address associated",
    "network is unreachable",
)


class UsageError(Exception):
    """A mistake in the command, the configuration or the records (exit code 2)."""


class EvaluationFailed(Exception):
    """The evaluation could not be completed (exit code 1)."""


# --------------------------------------------------------------------------- arguments

DESCRIPTION = """\
Evaluate detector metrics (HAP, PII, keywords, faithfulness, tool-call accuracy, ...) over
a file of records and print a summary table.

Without ZNG_API_KEY and ZNG_SERVICE_INSTANCE_ID in the environment, the records are
evaluated by a built-in local detection service started on 127.0.0.1 for the run. With
them, the governance service named by ZNG_URL (and ZNG_VERSION for a self-hosted service)
is used."""

EVALUATE_EPILOG = """\
records file:
  .csv               one record per row; list cells (contexts, tool calls) as JSON text
  .json              a JSON list of objects, one per record
  .jsonl / .ndjson   one JSON object per line

config file (--config), a JSON object; every key is optional:
  input_fields        column(s) of the question or prompt         default ["input_text"]
  output_fields       column(s) of the generated answer           default ["generated_text"]
  context_fields      column(s) of the retrieved contexts: one column holding a list of
                      texts, or several columns holding one text each
  record_id_field     column of the record ids (filled with row numbers when absent)
  tool_calls_field    column of the tool calls the model made (needed by
                      tool_call_accuracy)
  tools               the tool catalogue: a list of tool schemas in the OpenAI format
  metric_params       parameters per metric, for example
                        {"keyword": {"keywords": ["refund"]},
                         "regex": {"patterns": ["\\\\b[A-Z]{2}\\\\d{4}\\\\b"]},
                         "topic_relevance": {"system_prompt": "You are ..."},
                         "hap": {"thresholds": [{"type": "upper_limit", "value": 0.3}]}}

  A record is evaluated for a metric only when it has the values the metric reads (for
  example tool calls for tool_call_accuracy, an answer and contexts for faithfulness);
  other records are reported as skipped for that metric.

output (--output FILE.json):
  FILE.json   every metric's aggregate and per-record results, with evidences and errors
  FILE.csv    one row per record, one column per metric value

environment:
  ZNG_API_KEY, ZNG_SERVICE_INSTANCE_ID   both set: use the governance service instead of
                                         the built-in local detection service
  ZNG_URL        governance service URL (default: the US South region)
  ZNG_VERSION    set for a self-hosted service: ZNG_URL is then used as the detection URL
  ZNG_DISABLE_SSL=true                   do not verify the service's TLS certificate

exit codes:
  0  the evaluation finished (a metric no record has values for is shown as "-")
  1  the evaluation failed (service unreachable, a metric produced no value)
  2  a mistake in the command, the config file or the records file

example:
  python -m zentrix_gov evaluate examples/records.jsonl --config examples/columns.json \\
      --metrics hap,pii,faithfulness,tool_call_accuracy --output build/results.json"""


class _Parser(argparse.ArgumentParser):
    """An argument parser that reports mistakes in one ``error:`` line."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    evaluate = commands.add_parser(
        "evaluate",
        help="evaluate metrics over a file of records",
        description="Evaluate metrics over a file of records and print a summary table.",
        epilog=EVALUATE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    evaluate.add_argument("records", metavar="RECORDS", help="records file (.csv, .json, .jsonl)")
    evaluate.add_argument(
        "-m",
        "--metrics",
        action="append",
        required=True,
        metavar="NAMES",
        help="comma-separated metric or metric group names (repeatable); "
        f"see '{PROG} metrics' for the list",
    )
    evaluate.add_argument(
        "-c", "--config", metavar="FILE", help="JSON file naming the columns and metric parameters"
    )
    evaluate.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write the full results to FILE (JSON) and per-record values next to it (.csv)",
    )
    evaluate.add_argument(
        "--concurrent", action="store_true", help="evaluate several metrics at the same time"
    )
    evaluate.add_argument(
        "--max-concurrency",
        type=_positive_int,
        default=10,
        metavar="N",
        help="with --concurrent: at most N metrics at a time (default 10)",
    )
    evaluate.add_argument(
        "-q", "--quiet", action="store_true", help="no progress lines on standard error"
    )

    commands.add_parser(
        "metrics",
        help="list the metrics and metric groups",
        description="List the metrics and metric groups that --metrics accepts.",
    )
    return parser


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


# --------------------------------------------------------------------------- entry point


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "evaluate":
            return run_evaluate(args)
        if args.command == "metrics":
            print_metric_list(sys.stdout)
            return EXIT_OK
        return _fail(
            EXIT_USAGE,
            "name a command: 'evaluate' (evaluate metrics over a file of records) or "
            f"'metrics' (list the metrics); see {PROG} --help",
        )
    except UsageError as exc:
        return _fail(EXIT_USAGE, str(exc))
    except EvaluationFailed as exc:
        return _fail(EXIT_FAILED, str(exc))
    except KeyboardInterrupt:
        return _fail(EXIT_INTERRUPTED, "interrupted")
    except Exception as exc:  # the user gets one line, never a traceback
        return _fail(EXIT_FAILED, f"unexpected failure: {type(exc).__name__}: {_one_line(exc)}")


def _fail(code: int, message: str) -> int:
    print(f"error: {message}", file=sys.stderr, flush=True)
    return code


def _one_line(value: Any, limit: int = 400) -> str:
    text = " ".join(str(value).split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


# --------------------------------------------------------------------------- metric list


def print_metric_list(out: TextIO) -> None:
    from zentrix_gov.entities.detector_catalog import DETECTOR_METRICS
    from zentrix_gov.entities.enums import MetricGroup
    from zentrix_gov.metrics import METRICS_BY_NAME

    width = max(map(len, METRICS_BY_NAME)) + 2
    print("Metrics:", file=out)
    for name in METRICS_BY_NAME:
        print(f"  {name:<{width}}{DETECTOR_METRICS[name].summary}", file=out)
    print("\nMetric groups (evaluate all their metrics):", file=out)
    for group in MetricGroup:
        members = _group_members(group)
        if members:
            print(f"  {group.value:<{width}}{', '.join(members)}", file=out)


# --------------------------------------------------------------------------- configuration


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
    document = _load_json(_read_text(path, "config file"), f"config file {path}")
    if not isinstance(document, dict):
        raise UsageError(f"config file {path} must hold a JSON object, not {_json_kind(document)}")
    unknown = [key for key in document if key not in (*CONFIG_SETTINGS, METRIC_PARAMS)]
    if unknown:
        raise UsageError(
            f"config file {path}: unknown setting {_quoted(unknown)}; known settings: "
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
    try:
        configuration = GenAIConfiguration(**fields)
    except ValidationError as exc:
        raise UsageError(f"config file {path}: {_one_line(exc)}") from None
    return Settings(configuration, _metric_params(document.get(METRIC_PARAMS), path))


def _column_list(value: Any, key: str, path: str) -> list[str]:
    if isinstance(value, str):
        value = [value]  # a single column may be named without a list
    if not isinstance(value, list) or not all(isinstance(v, str) and v.strip() for v in value):
        raise UsageError(f"config file {path}: {key} must be a list of column names")
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
            raise UsageError(f"config file {path}: {METRIC_PARAMS} names {_unknown_metric(name)}")
        if not isinstance(params, dict):
            raise UsageError(
                f"config file {path}: {METRIC_PARAMS}.{name} must be an object of parameters"
            )
    return value


def _read_text(path: str, what: str) -> str:
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


def _load_json(text: str, what: str) -> Any:
    """The JSON document in `text`; a usage error naming `what` and the position otherwise."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise UsageError(
            f"{what} is not valid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})"
        ) from None


def _json_kind(value: Any) -> str:
    kinds = {dict: "an object", list: "a list", str: "a string", bool: "a boolean"}
    if value is None:
        return "null"
    return kinds.get(type(value), "a number")


def _quoted(names: Sequence[str]) -> str:
    return ", ".join(repr(name) for name in names)


# --------------------------------------------------------------------------- metrics


def _unknown_metric(name: str) -> str:
    from zentrix_gov.entities.enums import MetricGroup
    from zentrix_gov.metrics import known_metrics

    choices = [*known_metrics(), *(group.value for group in MetricGroup)]
    close = difflib.get_close_matches(name, choices, n=1)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    return f"unknown metric {name!r}{hint}. Known metrics: {', '.join(known_metrics())}"


def _group_members(group: Any) -> list[str]:
    # Only metrics this command can build by name (other parts of the SDK may register
    # metrics that need a judge model or other set-up).
    from zentrix_gov.metrics import known_metrics

    return [metric.name for metric in group.get_metrics() if metric.name in known_metrics()]


def build_metrics(entries: Sequence[str], settings: Settings) -> list[GenAIMetric]:
    """The metrics named in ``--metrics`` (group names expanded), in order, without repeats."""
    from zentrix_gov.entities.enums import MetricGroup
    from zentrix_gov.metrics import MetricParameterError, known_metrics, metric_from_name

    names: list[str] = []
    for entry in entries:
        for part in entry.split(","):
            name = part.strip().lower()
            if not name:
                continue
            if name in known_metrics():
                expanded = [name]
            elif name in {group.value for group in MetricGroup}:
                expanded = _group_members(MetricGroup(name))
            else:
                raise UsageError(_unknown_metric(name))
            names += [item for item in expanded if item not in names]
    if not names:
        raise UsageError("--metrics names no metric")
    metrics = []
    for name in names:
        try:
            metrics.append(metric_from_name(name, **settings.metric_params.get(name, {})))
        except MetricParameterError as exc:
            raise UsageError(
                f"metric {name!r}: {'; '.join(exc.problems)} "
                f"(set its parameters under {METRIC_PARAMS}.{name} in the --config file)"
            ) from None
    return metrics


# --------------------------------------------------------------------------- records


def read_records(path: str) -> pd.DataFrame:
    """The records of a CSV, JSON or JSON Lines file as a data frame."""
    import pandas as pd

    kind = RECORD_FORMATS.get(Path(path).suffix.lower())
    if kind is None:
        raise UsageError(
            f"cannot tell the format of {path}: name it .csv, .json or .jsonl "
            "(one JSON object per line)"
        )
    if kind == "csv":
        frame = _read_csv(path)
    else:
        text = _read_text(path, "records file")
        records = _json_records(text, path) if kind == "json" else _jsonl_records(text, path)
        frame = pd.DataFrame(records)
    if frame.empty:
        raise UsageError(f"records file {path} holds no records")
    return frame


def _read_csv(path: str) -> pd.DataFrame:
    import pandas as pd

    _read_text(path, "records file")  # clear messages for missing or non-UTF-8 files
    try:
        # Everything as text and empty cells as "", so that nothing is guessed from the cells.
        return pd.read_csv(path, dtype=str, keep_default_na=False, encoding="utf-8-sig")
    except pd.errors.EmptyDataError:
        raise UsageError(f"records file {path} holds no records") from None
    except (pd.errors.ParserError, ValueError) as exc:
        raise UsageError(f"records file {path} is not valid CSV: {_one_line(exc)}") from None


def _json_records(text: str, path: str) -> list[dict[str, Any]]:
    document = _load_json(text, f"records file {path}")
    if not isinstance(document, list):
        raise UsageError(
            f"records file {path} must hold a JSON list of objects, not {_json_kind(document)}"
        )
    for position, record in enumerate(document, 1):
        if not isinstance(record, dict):
            raise UsageError(
                f"records file {path}: record {position} is {_json_kind(record)}, not an object"
            )
    return document


def _jsonl_records(text: str, path: str) -> list[dict[str, Any]]:
    records = []
    for line_number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except json.JSONDecodeError as exc:
            raise UsageError(
                f"records file {path}, line {line_number}: not valid JSON: {exc.msg} "
                f"(column {exc.colno})"
            ) from None
        if not isinstance(record, dict):
            raise UsageError(
                f"records file {path}, line {line_number}: {_json_kind(record)}, not a JSON object"
            )
        records.append(record)
    return records


def is_missing(value: Any) -> bool:
    """Whether a cell holds no value: None, NaN, pandas NA or blank text.

    Empty lists are values: a record whose model made no tool calls says so explicitly.
    """
    if value is None:
        return True
    if isinstance(value, str):
        return not value.strip()
    if isinstance(value, float):
        return math.isnan(value)
    return type(value).__name__ in {"NAType", "NaTType"}


# --------------------------------------------------------------------------- the plan


@dataclass
class MetricRun:
    """One metric of the run: the records it is evaluated on and, later, its result."""

    metric: GenAIMetric
    rows: list[int]
    skipped_ids: list[str]
    skip_reason: str
    result: Any = None
    seconds: float = 0.0

    @property
    def name(self) -> str:
        return self.metric.name


def _needed_columns(
    metric: GenAIMetric, configuration: GenAIConfiguration
) -> tuple[list[tuple[str, str]], list[tuple[str, ...]]]:
    """The columns ``metric`` reads, as (column, setting) pairs that must exist, and the
    groups of columns of which every evaluated record needs at least one value."""
    from zentrix_gov.metrics import DetectorMetric

    required = metric.required_fields if isinstance(metric, DetectorMetric) else ("input_fields",)
    name = metric.name
    if not configuration.input_fields:
        raise UsageError("input_fields in the config file must name at least one column")
    # The provider reads the input column for every metric, so it must exist.
    exist: list[tuple[str, str]] = [(configuration.input_fields[0], "input_fields")]
    filled: list[tuple[str, ...]] = []
    for setting in required:
        if setting == "input_fields":
            filled.append((configuration.input_fields[0],))
        elif setting == "output_fields":
            if not configuration.output_fields:
                raise UsageError(f"{name} needs output_fields (the answer column) in the config")
            exist.append((configuration.output_fields[0], "output_fields"))
            filled.append((configuration.output_fields[0],))
        elif setting == "context_fields":
            if not configuration.context_fields:
                raise UsageError(
                    f"{name} needs the context column(s): set context_fields in the --config file"
                )
            exist += [(column, "context_fields") for column in configuration.context_fields]
            filled.append(tuple(configuration.context_fields))
        elif setting == "tool_calls_field":
            if not configuration.tool_calls_field:
                raise UsageError(
                    f"{name} needs the column of the tool calls: set tool_calls_field in the "
                    "--config file"
                )
            exist.append((configuration.tool_calls_field, "tool_calls_field"))
            filled.append((configuration.tool_calls_field,))
        elif setting == "tools" and not configuration.tools:
            raise UsageError(
                f"{name} checks tool calls against the tool catalogue: set tools in the "
                "--config file"
            )
    return exist, filled


def plan_runs(
    metrics: list[GenAIMetric],
    frame: pd.DataFrame,
    configuration: GenAIConfiguration,
    records_path: str,
    file_columns: Sequence[str],
) -> list[MetricRun]:
    """Check the columns every metric needs and pick the records it can be evaluated on.

    ``file_columns`` are the columns of the records file, named in error messages.
    """
    columns = [str(column) for column in frame.columns]
    ids = frame[configuration.record_id_field].tolist()
    runs = []
    for metric in metrics:
        exist, filled = _needed_columns(metric, configuration)
        for column, setting in exist:
            if column not in columns:
                raise UsageError(
                    f"{records_path} has no column {column!r} ({setting}, needed by "
                    f"{metric.name}); its columns are: {', '.join(file_columns)}. Name the "
                    "columns in a --config file"
                )
        rows, skipped, lacking = [], [], []
        for row in range(len(frame)):
            empty = [
                group
                for group in filled
                if all(is_missing(frame.at[row, column]) for column in group)
            ]
            if not empty:
                rows.append(row)
                continue
            skipped.append(ids[row])
            lacking += [group for group in empty if group not in lacking]
        lacking.sort(key=filled.index)
        reason = "no " + " or ".join("/".join(group) for group in lacking)
        runs.append(MetricRun(metric, rows, skipped, reason))
    return runs


def prepare_records(frame: pd.DataFrame, configuration: GenAIConfiguration) -> pd.DataFrame:
    """Give every record a unique text id and make the text columns hold text."""
    frame = frame.reset_index(drop=True)
    id_field = configuration.record_id_field
    if id_field not in frame.columns or all(is_missing(v) for v in frame[id_field]):
        frame[id_field] = [str(row + 1) for row in range(len(frame))]
    else:
        frame[id_field] = [
            str(row + 1) if is_missing(value) else str(value).strip()
            for row, value in enumerate(frame[id_field])
        ]
    counts = frame[id_field].value_counts()
    repeated = counts[counts > 1]
    if len(repeated):
        raise UsageError(
            f"record ids in column {id_field!r} must be unique; {repeated.index[0]!r} is used "
            f"by {repeated.iloc[0]} records"
        )
    text_columns = [
        *configuration.input_fields[:1],
        *configuration.output_fields[:1],
        *configuration.context_fields,
    ]
    single_context = len(configuration.context_fields) == 1
    for column in text_columns:
        if column not in frame.columns:
            continue
        keep_lists = single_context and column == configuration.context_fields[0]
        frame[column] = [_text_cell(value, keep_lists) for value in frame[column]]
    return frame


def _text_cell(value: Any, keep_lists: bool) -> Any:
    # Empty cells become "" (the service wants text); numbers become their text.
    if is_missing(value):
        return ""
    if isinstance(value, str) or (keep_lists and isinstance(value, list | tuple)):
        return value
    if isinstance(value, bool | int | float):
        return str(value)
    return value


# --------------------------------------------------------------------------- the service


@dataclass
class Service:
    api_client: Any
    url: str
    local: bool


def detection_service_url(api_client: Any) -> str:
    """The base URL the detection provider will send requests to for ``api_client``."""
    credentials = api_client.credentials
    if credentials.version:
        return credentials.url
    from zentrix_gov.utils.regionmap import EVS_REGIONMAP

    row = EVS_REGIONMAP.get(credentials.url)
    if row is None:
        raise UsageError(
            f"ZNG_URL {credentials.url!r} is not a known governance service URL; for a "
            "self-hosted service set ZNG_VERSION as well"
        )
    return row.mlp_url


@contextmanager
def open_service() -> Iterator[Service]:
    """The configured governance service, or a local detection service for this run."""
    from zentrix_gov.clients.api_client import APIClient

    if APIClient.is_configured_from_env():
        try:
            api_client = APIClient()
        except (ValueError, TypeError) as exc:
            raise UsageError(f"the ZNG_* environment is not usable: {_one_line(exc)}") from None
        yield Service(api_client, detection_service_url(api_client), local=False)
        return

    from evs_sdk.authenticators import BearerTokenAuthenticator
    from zentrix_gov.entities.credentials import Credentials
    from zentrix_gov.local.detection import DetectionServer

    server = DetectionServer().start()
    try:
        api_client = APIClient(
            # A version marks the service as self-hosted: its URL is used as is.
            credentials=Credentials(
                url=server.url, version="local", api_key=server.token, disable_ssl=False
            ),
            service_instance_id=server.instance_id,
            authenticator=BearerTokenAuthenticator(server.token),
        )
        print(
            "note: ZNG_API_KEY / ZNG_SERVICE_INSTANCE_ID not set; using the built-in local "
            f"detection service at {server.url}",
            file=sys.stderr,
            flush=True,
        )
        yield Service(api_client, server.url, local=True)
    finally:
        server.stop()


# --------------------------------------------------------------------------- running


class Progress:
    """One line per metric on standard error as it finishes."""

    def __init__(self, runs: list[MetricRun], total_records: int, quiet: bool):
        self.total = len(runs)
        self.total_records = total_records
        self.quiet = quiet
        self.done = 0
        self.width = max(len(run.name) for run in runs)

    def report(self, run: MetricRun) -> None:
        self.done += 1
        if self.quiet:
            return
        counter = f"[{self.done:>{len(str(self.total))}}/{self.total}]"
        if run.result is None:
            detail = (
                f"{'-':>8}  not evaluated: all {self.total_records} records have {run.skip_reason}"
            )
        else:
            value = _format_value(getattr(run.result, "value", None))
            detail = f"{value:>8}  {_records(len(run.rows))}"
            errors = _error_count(run.result)
            if errors:
                detail += f", {errors} with errors"
            if run.skipped_ids:
                detail += f" ({len(run.skipped_ids)} skipped: {run.skip_reason})"
            detail += f"  {run.seconds:.2f}s"
        print(f"{counter} {run.name:<{self.width}} {detail}", file=sys.stderr, flush=True)


def _records(count: int) -> str:
    return f"{count} record" if count == 1 else f"{count} records"


def _subset(frame: pd.DataFrame, run: MetricRun) -> pd.DataFrame:
    # A copy per metric: the provider may rewrite cells (tool calls) in the table it gets.
    return frame.iloc[run.rows].reset_index(drop=True).copy()


def _single_result(evaluation: Any) -> Any:
    results = list(getattr(evaluation, "metrics_result", []) or [])
    return results[0] if results else None


def run_sequentially(
    runs: list[MetricRun],
    frame: pd.DataFrame,
    configuration: Any,
    service: Service,
    progress: Progress,
) -> None:
    from zentrix_gov.evaluation import evaluate

    for run in runs:
        if run.rows:
            started = time.perf_counter()
            try:
                evaluation = evaluate(
                    _subset(frame, run), [run.metric], configuration, api_client=service.api_client
                )
            except Exception as exc:
                raise EvaluationFailed(_metric_failure(run, exc)) from None
            run.result = _single_result(evaluation)
            run.seconds = time.perf_counter() - started
            _check_reachable(run, service)
        progress.report(run)


async def _run_concurrently(
    runs: list[MetricRun],
    frame: pd.DataFrame,
    configuration: Any,
    service: Service,
    progress: Progress,
    max_concurrency: int,
) -> None:
    from zentrix_gov.evaluation import evaluate_async

    limit = asyncio.Semaphore(max_concurrency)

    async def one(run: MetricRun) -> MetricRun:
        if not run.rows:
            return run
        async with limit:
            started = time.perf_counter()
            try:
                evaluation = await evaluate_async(
                    _subset(frame, run), [run.metric], configuration, api_client=service.api_client
                )
            except Exception as exc:
                raise EvaluationFailed(_metric_failure(run, exc)) from None
            run.result = _single_result(evaluation)
            run.seconds = time.perf_counter() - started
        return run

    tasks = [asyncio.ensure_future(one(run)) for run in runs]
    try:
        for finished in asyncio.as_completed(tasks):
            run = await finished
            _check_reachable(run, service)
            progress.report(run)
    finally:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


def _metric_failure(run: MetricRun, exc: BaseException) -> str:
    message = _one_line(exc)
    # The provider's own wording repeats the metric name; keep only its reason.
    prefix = f"Error while computing metrics: {run.name}. Reason: "
    return f"metric {run.name!r} failed: {message.removeprefix(prefix)}"


def _check_reachable(run: MetricRun, service: Service) -> None:
    """Stop the run when no request of a metric could even connect to the service."""
    result = run.result
    if result is None or getattr(result, "value", None) != "Error":
        return
    errors = list(getattr(result, "errors", None) or [])
    if errors and all(
        error.code == "REQUEST_FAILED"
        and any(marker in error.message_en.lower() for marker in _CONNECT_FAILURES)
        for error in errors
    ):
        raise EvaluationFailed(
            f"cannot connect to the detection service at {service.url} "
            f"({_one_line(errors[0].message_en, 200)})"
        )


# --------------------------------------------------------------------------- reporting


def _format_value(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool) or not isinstance(value, int | float):
        return str(value)
    return f"{value:.4f}"


def _error_count(result: Any) -> int:
    records = getattr(result, "record_level_metrics", None) or []
    count = sum(1 for record in records if getattr(record, "errors", None))
    return count or len(getattr(result, "errors", None) or [])


def print_table(runs: list[MetricRun], total_records: int, out: TextIO) -> None:
    header = ("metric", "value", "min", "max", "records", "errors")
    rows = []
    for run in runs:
        result = run.result
        records = str(len(run.rows)) if not run.skipped_ids else f"{len(run.rows)}/{total_records}"
        rows.append(
            (
                run.name,
                _format_value(getattr(result, "value", None)),
                _format_value(getattr(result, "min", None)),
                _format_value(getattr(result, "max", None)),
                records,
                str(_error_count(result)) if result is not None else "-",
            )
        )
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header))]

    def line(cells: Sequence[str]) -> str:
        first = f"{cells[0]:<{widths[0]}}"
        rest = [f"{cell:>{width}}" for cell, width in zip(cells[1:], widths[1:], strict=True)]
        return "  ".join([first, *rest])

    print(line(header), file=out)
    print("  ".join("-" * width for width in widths), file=out)
    for row in rows:
        print(line(row), file=out)
    if any(run.skipped_ids for run in runs):
        print(
            "\nrecords n/N: the metric was computed for n of the N records; the others lack "
            "a value it reads.",
            file=out,
        )
    out.flush()


def _error_text(error: Any) -> str:
    """A short reading of a record error; service replies are shown by their message."""
    message = error.message_en
    try:
        reply = ast.literal_eval(message)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        reply = None
    if isinstance(reply, dict):
        errors = reply.get("errors")
        if isinstance(errors, list) and errors and isinstance(errors[0], dict):
            message = errors[0].get("message", message)
        elif isinstance(reply.get("message"), str):
            message = reply["message"]
    return f"{error.code}: {_one_line(message, 200)}"


def write_outputs(
    output: Path,
    runs: list[MetricRun],
    frame: pd.DataFrame,
    records_path: str,
    service: Service,
    configuration: GenAIConfiguration,
) -> Path:
    """Write the JSON results to ``output`` and the per-record CSV next to it."""
    metrics = []
    for run in runs:
        if run.result is not None and hasattr(run.result, "model_dump"):
            entry = run.result.model_dump(mode="json")
        else:
            entry = {"name": run.name, "value": None, "total_records": 0}
        entry["skipped_record_ids"] = list(run.skipped_ids)
        metrics.append(entry)
    document = {
        "records_file": records_path,
        "total_records": len(frame),
        "detection_service": {"url": service.url, "local": service.local},
        "metrics": metrics,
    }
    id_field = configuration.record_id_field
    values: dict[str, dict[str, Any]] = {run.name: {} for run in runs}
    for run in runs:
        for record in getattr(run.result, "record_level_metrics", None) or []:
            values[run.name][str(record.record_id)] = record.value
    csv_path = output.with_suffix(".csv")
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
        output.write_text(json.dumps(document, indent=2, ensure_ascii=False) + "\n", "utf-8")
        with csv_path.open("w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow([id_field, *(run.name for run in runs)])
            for record_id in frame[id_field]:
                row = [values[run.name].get(record_id) for run in runs]
                writer.writerow([record_id, *("" if v is None else v for v in row)])
    except OSError as exc:
        raise EvaluationFailed(
            f"cannot write the results to {exc.filename}: {exc.strerror}"
        ) from None
    return csv_path


def _check_output(path: str | None) -> Path | None:
    if path is None:
        return None
    output = Path(path)
    if output.is_dir():
        raise UsageError(f"--output {path} is a directory; name the JSON file to write")
    if output.suffix.lower() == ".csv":
        raise UsageError(
            f"--output names the JSON results file (the CSV is written next to it), not {path}"
        )
    return output


# --------------------------------------------------------------------------- evaluate


def run_evaluate(args: argparse.Namespace) -> int:
    output = _check_output(args.output)
    settings = load_settings(args.config)
    metrics = build_metrics(args.metrics, settings)
    configuration = settings.configuration
    frame = read_records(args.records)
    file_columns = [str(column) for column in frame.columns]
    frame = prepare_records(frame, configuration)
    runs = plan_runs(metrics, frame, configuration, args.records, file_columns)
    progress = Progress(runs, len(frame), args.quiet)
    started = time.perf_counter()
    with open_service() as service:
        if args.concurrent:
            asyncio.run(
                _run_concurrently(
                    runs, frame, configuration, service, progress, args.max_concurrency
                )
            )
        else:
            run_sequentially(runs, frame, configuration, service, progress)
    elapsed = time.perf_counter() - started

    print_table(runs, len(frame), sys.stdout)
    if output is not None:
        csv_path = write_outputs(output, runs, frame, args.records, service, configuration)
        if not args.quiet:
            print(f"wrote {output} and {csv_path}", file=sys.stderr)
    if not args.quiet:
        print(
            f"{len(frame)} records, {len(runs)} metrics in {elapsed:.1f}s",
            file=sys.stderr,
            flush=True,
        )

    failed = [run for run in runs if getattr(run.result, "value", None) == "Error"]
    if failed:
        details = []
        for run in failed:
            errors = list(getattr(run.result, "errors", None) or [])
            details.append(f"{run.name} ({_error_text(errors[0])})" if errors else run.name)
        raise EvaluationFailed(
            f"{len(failed)} metric{'s' if len(failed) > 1 else ''} produced no value: "
            + "; ".join(details)
        )
    return EXIT_OK


if __name__ == "__main__":  # pragma: no cover - use ``python -m zentrix_gov``
    sys.exit(main())
