"""The ``evaluate`` command's options and help."""

from __future__ import annotations

import argparse
from typing import Any

from zentrix_gov.cli.argtypes import fraction, metric_resources, positive_int, seconds
from zentrix_gov.cli.constants import DEFAULT_TIMEOUT, LOCAL_MODEL_TIMEOUT, PROG
from zentrix_gov.cli.judge import add_judge_options
from zentrix_gov.cli.judging_options import add_judging_options
from zentrix_gov.cli.spend_options import add_spend_options
from zentrix_gov.cli.stores import add_store_option
from zentrix_gov.cli.trace_options import TRACE_EPILOG, add_trace_options
from zentrix_gov.runs import DEFAULT_CHUNK_SIZE, JUDGE_CHUNK_SIZE
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY

EVALUATE_EPILOG = """\
records file:
  .csv               one record per row; list cells (contexts, tool calls) as JSON text;
                     a row with more fields than the header is refused
  .json              a JSON list of objects, one per record
  .jsonl / .ndjson   one JSON object per line
  .parquet           a Parquet table (needs pyarrow: the 'parquet' extra)
  CSV, JSON Lines and Parquet files are read a chunk at a time; a JSON file whole.

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

criteria file (--criteria), YAML (.yaml, .yml) or JSON (.json) of at most 1 MB: one
criterion (a mapping) or several (a list of mappings), each with
  name                  the criterion's name in the results (required)
  criteria              what the judge checks, e.g. "Is {answer} supported by {contexts}?"
  prompt_template       or the whole judge prompt, columns in braces: "Answer: {answer} ..."
  options               at least two: [{name: "Yes", description: ..., value: 1}, ...]
  prediction_field      column of the text to judge (default: the first output_fields)
  context_fields        columns shown as context (default: the first input_fields and the
                        context_fields)
  compute_token_count   true: count the judge's input and output tokens per record
  (and display_name, group, method, thresholds). Records without a value in the column
  to judge (or in a column of prompt_template) are skipped. See examples/criteria/.

output (--output FILE.json):
  FILE.json   every metric's aggregate and per-record results, with evidences and errors;
              "status" is "complete", or "failed" when the run ends with exit 1; texts
              longer than "text_limit" characters are shortened ("truncated_texts" counts
              them)
  FILE.csv    one row per record, one column per metric value; for criteria also the
              label, explanation, feedback and token counts (columns NAME.label, ...)
  Both files are written when the run ends (never part-way); the folder must be writable.
  A name that stands for a device, directory, FIFO or socket is refused; a symbolic link
  is followed and the file it leads to is replaced.

stored runs:
  Every run is stored, a unit (one metric over --chunk-size records) at a time, in the
  run store (--store, $ZENTRIX_STORE, default .zentrix/runs.sqlite). An interrupted run
  keeps its finished units: --resume RUN_ID (or last) evaluates only the rest, with the
  run's own records, metrics and config, refused if they changed. 'runs' lists the runs,
  'runs show RUN_ID' prints one's table, 'runs export RUN_ID -o FILE.json' its files.

environment:
  ZNG_API_KEY, ZNG_SERVICE_INSTANCE_ID   both set: use the governance service instead of
                                         the built-in local detection service
  ZNG_URL        governance service URL (default: the US South region)
  ZNG_VERSION    set for a self-hosted service: ZNG_URL is then used as the detection URL
  ZNG_DISABLE_SSL=true                   do not verify the service's TLS certificate

exit codes:
  0    the evaluation finished (a metric no record has values for is shown as "-")
  1    the evaluation failed (service unreachable, a metric produced no value, a
       coverage below --min-coverage)
  2    a mistake in the command, the config file or the records file
  130  interrupted (Ctrl-C or SIGTERM); no results files, the store keeps the finished
       units and the last line says how to resume. A second Ctrl-C stops at once.

example:
  python -m zentrix_gov evaluate examples/records.jsonl --config examples/columns.json \\
      --metrics hap,pii,faithfulness,tool_call_accuracy --output build/results.json"""


def add_evaluate_parser(commands: Any) -> argparse.ArgumentParser:
    """Add the ``evaluate`` command and its options; returns its parser."""
    evaluate = commands.add_parser(
        "evaluate",
        help="evaluate metrics over a file of records",
        description="Evaluate metrics over a file of records and print a summary table.",
        epilog=EVALUATE_EPILOG.replace("\nexit codes:", f"\n{TRACE_EPILOG}\nexit codes:"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    evaluate.add_argument(
        "records",
        metavar="RECORDS",
        nargs="?",
        help="records file (.csv, .json, .jsonl, .parquet); not with --resume",
    )
    evaluate.add_argument(
        "-m",
        "--metrics",
        action="append",
        metavar="NAMES",
        help="comma-separated metric or metric group names (repeatable); "
        f"see '{PROG} metrics' for the list. Needed unless --criteria is given",
    )
    evaluate.add_argument(
        "--criteria",
        action="append",
        metavar="FILE",
        help="YAML or JSON file of criteria judged by an LLM (repeatable); its criteria are "
        "evaluated besides the metrics of --metrics and need a judge (--judge)",
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
        type=positive_int,
        metavar="N",
        help=f"with --concurrent or --executor ray: at most N units (a metric over a chunk) at "
        f"a time, over all workers; judges: at most N requests at a time "
        f"(default {DEFAULT_MAX_CONCURRENCY})",
    )
    evaluate.add_argument(
        "--timeout",
        type=seconds,
        metavar="SECONDS",
        help="give up on each request to the detection service after SECONDS (each retry gets "
        "SECONDS again), and on a judge verdict after SECONDS in all: connecting, waiting, "
        "retries and back-offs, counted from when it gets one of the judge's request slots; "
        "a verdict that times out is that record's error (default "
        f"{DEFAULT_TIMEOUT:g}, {LOCAL_MODEL_TIMEOUT:g} for --judge local-model; 0: the HTTP "
        "library's own limit, no limit for judges)",
    )
    add_judge_options(evaluate)
    add_spend_options(evaluate)
    add_judging_options(evaluate)
    add_run_options(evaluate)
    add_executor_options(evaluate)
    add_trace_options(evaluate)
    evaluate.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress or note lines on standard error (errors are still shown)",
    )

    return evaluate


def add_executor_options(evaluate: argparse.ArgumentParser) -> None:
    """Where the units run: in this process, or on the workers of a Ray cluster."""
    evaluate.add_argument(
        "--executor",
        choices=("local", "ray"),
        default="local",
        help="run the units in this process (local, the default) or on the workers of a "
        "Ray cluster (ray: needs the 'ray' extra; units run --max-concurrency at a time)",
    )
    evaluate.add_argument(
        "--ray-address",
        metavar="ADDRESS",
        help="with --executor ray: the cluster to use, e.g. head.example:6379 (default "
        "$RAY_ADDRESS; neither: a local cluster started for the run)",
    )
    evaluate.add_argument(
        "--ray-resources",
        action="append",
        type=metric_resources,
        metavar="METRIC=JSON",
        help="with --executor ray: the Ray resources of the workers of METRIC, e.g. "
        "'rag_faithfulness={\"num_gpus\": 1}' (repeatable; default one CPU per worker)",
    )


def add_run_options(evaluate: argparse.ArgumentParser) -> None:
    """Options of the stored run: where it goes, how it is cut, how to resume it."""
    add_store_option(evaluate)
    evaluate.add_argument(
        "--resume",
        metavar="RUN_ID",
        help="evaluate only what the stored run RUN_ID (or 'last') has not finished; the run's "
        "own records, metrics and config are used and must not have changed",
    )
    evaluate.add_argument(
        "--chunk-size",
        type=positive_int,
        metavar="N",
        help=f"records per unit of work (default {DEFAULT_CHUNK_SIZE}, or "
        f"{JUDGE_CHUNK_SIZE} when a metric asks an LLM judge per record): each metric's "
        "results are stored a chunk at a time, and an interruption costs at most one "
        "unfinished chunk per metric",
    )
    evaluate.add_argument(
        "--min-coverage",
        type=fraction,
        metavar="F",
        help="exit 1 when some metric has a value for fewer than F (0 to 1) of the records it read",
    )
