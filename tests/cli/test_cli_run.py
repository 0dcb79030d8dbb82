"""The command line end to end against the built-in local service: a few runs in a
subprocess, the rest in-process through ``main``."""

from __future__ import annotations

import csv
import json
import math
import os

import pytest

from zentrix_gov.cli import main
from zentrix_gov.entities.enums import MetricGroup

from .conftest import COLUMNS, EXAMPLE_METRICS, RECORDS, example_records, run_cli

METRICS = EXAMPLE_METRICS.split(",")


def table_rows(stdout: str) -> dict[str, dict[str, str]]:
    """Rows of the summary table by metric name, each a dict by column heading."""
    lines = stdout.splitlines()
    header = lines[0].split()
    assert header == [
        "metric", "value", "min", "max", "records", "coverage", "errors", "unreadable", "skipped"
    ]  # fmt: skip
    rows = {}
    for line in lines[2:]:
        if not line.strip():
            break
        cells = dict(zip(header, line.split(), strict=True))
        rows[cells["metric"]] = cells
    return rows


@pytest.fixture
def local_env(monkeypatch):
    """No governance service configured: runs use the built-in local service."""
    for key in ("ZNG_API_KEY", "ZNG_SERVICE_INSTANCE_ID", "ZNG_URL", "ZNG_VERSION"):
        monkeypatch.delenv(key, raising=False)


def is_number(value) -> bool:
    return isinstance(value, int | float) and not isinstance(value, bool) and math.isfinite(value)


@pytest.fixture(scope="module")
def example_run(tmp_path_factory):
    output = tmp_path_factory.mktemp("run") / "results.json"
    done = run_cli(
        "evaluate", RECORDS, "--config", COLUMNS, "--metrics", EXAMPLE_METRICS, "--output", output
    )
    return done, output


class TestExampleRun:
    def test_succeeds_and_says_once_that_the_local_service_is_used(self, example_run):
        done, _ = example_run
        assert done.returncode == 0, done.stderr
        notes = [line for line in done.stderr.splitlines() if "local detection service" in line]
        assert len(notes) == 1
        assert "http://127.0.0.1:" in notes[0]
        assert "Traceback" not in done.stderr

    def test_progress_has_one_line_per_metric(self, example_run):
        done, _ = example_run
        progress = [line for line in done.stderr.splitlines() if line.startswith("[")]
        assert len(progress) == len(METRICS)
        assert {line.split("]")[1].split()[0] for line in progress} == set(METRICS)

    def test_table_has_a_numeric_value_for_every_metric(self, example_run):
        done, _ = example_run
        rows = table_rows(done.stdout)
        assert list(rows) == METRICS
        for name, row in rows.items():
            assert float(row["min"]) <= float(row["value"]) <= float(row["max"]), name
            assert row["errors"] == "0", name
        total = len(example_records())
        assert rows["hap"]["records"] == str(total)
        with_tool_calls = sum("tool_calls" in record for record in example_records())
        assert rows["tool_call_accuracy"]["records"] == f"{with_tool_calls}/{total}"

    def test_json_holds_aggregates_and_record_results(self, example_run):
        _, output = example_run
        document = json.loads(output.read_text())
        records = example_records()
        assert document["status"] == "complete"
        assert document["total_records"] == len(records)
        assert document["detection_service"]["local"] is True
        assert [metric["name"] for metric in document["metrics"]] == METRICS
        for metric in document["metrics"]:
            assert is_number(metric["value"]), metric["name"]
            evaluated = len(metric["record_level_metrics"])
            assert metric["total_records"] == evaluated
            assert evaluated + len(metric["skipped_record_ids"]) == len(records)
            for record in metric["record_level_metrics"]:
                assert is_number(record["value"]), (metric["name"], record["record_id"])
        by_name = {metric["name"]: metric for metric in document["metrics"]}
        with_tool_calls = {record["id"] for record in records if "tool_calls" in record}
        tool_metric = by_name["tool_call_accuracy"]
        assert {r["record_id"] for r in tool_metric["record_level_metrics"]} == with_tool_calls
        without_contexts = [record["id"] for record in records if "contexts" not in record]
        assert by_name["faithfulness"]["skipped_record_ids"] == without_contexts
        # Retrieval evidences and detection spans are kept.
        assert any(r.get("evidences") for r in by_name["faithfulness"]["record_level_metrics"])
        assert any(r.get("evidences") for r in by_name["pii"]["record_level_metrics"])

    def test_csv_has_one_row_per_record_and_one_column_per_metric(self, example_run):
        _, output = example_run
        with output.with_suffix(".csv").open(newline="") as handle:
            rows = list(csv.DictReader(handle))
        records = example_records()
        assert [row["id"] for row in rows] == [record["id"] for record in records]
        assert list(rows[0]) == ["id", *METRICS]
        for record, row in zip(records, rows, strict=True):
            assert row["hap"] != ""
            # Only records with tool calls are scored for tool-call accuracy.
            assert (row["tool_call_accuracy"] != "") == ("tool_calls" in record)
            for name in METRICS:
                if row[name] != "":
                    assert 0.0 <= float(row[name]) <= 1.0

    def test_values_follow_the_records(self, example_run):
        _, output = example_run
        with output.with_suffix(".csv").open(newline="") as handle:
            rows = {row["id"]: row for row in csv.DictReader(handle)}
        hap = {key: float(row["hap"]) for key, row in rows.items()}
        assert max(hap, key=hap.get) == "abuse"
        assert float(rows["pii-card"]["pii"]) > 0 and float(rows["pii-contact"]["pii"]) > 0
        assert float(rows["rag-baggage"]["pii"]) == 0
        assert float(rows["rag-baggage"]["faithfulness"]) > float(rows["rag-pets"]["faithfulness"])
        accuracy = {key: row["tool_call_accuracy"] for key, row in rows.items()}
        assert float(accuracy["tool-weather"]) > float(accuracy["tool-rebook"])
        assert float(accuracy["tool-seat"]) > float(accuracy["tool-currency"])
        topic = {key: float(row["topic_relevance"]) for key, row in rows.items()}
        assert min(topic, key=topic.get) == "off-topic"
        assert float(rows["threat"]["harm"]) > float(rows["rag-baggage"]["harm"])


def test_concurrent_run_gives_the_same_values(example_run, tmp_path):
    _, sequential_output = example_run
    output = tmp_path / "concurrent.json"
    done = run_cli(
        "evaluate",
        RECORDS,
        "--config",
        COLUMNS,
        "--metrics",
        EXAMPLE_METRICS,
        "--output",
        output,
        "--concurrent",
        "--max-concurrency",
        "3",
    )
    assert done.returncode == 0, done.stderr

    def values(path):
        document = json.loads(path.read_text())
        return {
            metric["name"]: {r["record_id"]: r["value"] for r in metric["record_level_metrics"]}
            for metric in document["metrics"]
        }

    assert values(output) == values(sequential_output)
    assert list(table_rows(done.stdout)) == METRICS


def test_csv_records_with_generated_ids(tmp_path, capsys, local_env):
    records = tmp_path / "records.csv"
    with records.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["input_text", "generated_text", "contexts"])
        writer.writerow(
            [
                "What is the baggage allowance?",
                "One bag of 23 kg is included.",
                json.dumps(["One checked bag of 23 kg is included in every ticket."]),
            ]
        )
        writer.writerow(["You idiot, call me on +1 415 555 0132.", "Sorry.", ""])
    config = tmp_path / "columns.json"
    config.write_text(json.dumps({"context_fields": ["contexts"]}))
    output = tmp_path / "out" / "results.json"
    argv = ["evaluate", records, "-c", config, "-m", "hap,faithfulness", "-o", output, "-q"]
    assert main(list(map(str, argv))) == 0
    # --quiet leaves standard error empty, the note about the local service included.
    assert capsys.readouterr().err == ""
    with output.with_suffix(".csv").open(newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert [row["record_id"] for row in rows] == ["1", "2"]
    assert float(rows[1]["hap"]) > float(rows[0]["hap"])
    assert rows[0]["faithfulness"] != "" and rows[1]["faithfulness"] == ""


def test_json_list_records_and_group_names(tmp_path, capsys, local_env):
    records = tmp_path / "records.json"
    records.write_text(json.dumps(example_records()[:4]))
    argv = ["evaluate", records, "-c", COLUMNS, "-m", "retrieval_quality", "-m", "hap,faithfulness"]
    assert main(list(map(str, argv))) == 0
    # Group members first, then the other names; each metric once.
    assert list(table_rows(capsys.readouterr().out)) == [
        metric.name for metric in MetricGroup.RETRIEVAL_QUALITY.get_metrics()
    ] + ["hap"]


def test_metric_without_any_usable_record_is_reported_not_failed(tmp_path, capsys, local_env):
    records = tmp_path / "records.jsonl"
    records.write_text(
        json.dumps({"id": "a", "question": "Hello", "tool_calls": None})
        + "\n"
        + json.dumps({"id": "b", "question": "Hi there"})
        + "\n"
    )
    argv = ["evaluate", records, "--config", COLUMNS, "--metrics", "hap,tool_call_accuracy"]
    assert main(list(map(str, argv))) == 0
    out, err = capsys.readouterr()
    rows = table_rows(out)
    assert rows["tool_call_accuracy"]["value"] == "-"
    assert rows["tool_call_accuracy"]["records"] == "0/2"
    assert rows["hap"]["records"] == "2"
    assert "not evaluated" in err


def test_the_command_line_keeps_hubs_and_model_clients_offline(monkeypatch, capsys):
    from zentrix_gov.cli import OFFLINE_ENVIRONMENT

    for variable in OFFLINE_ENVIRONMENT:
        monkeypatch.delenv(variable, raising=False)
    monkeypatch.setenv("LITELLM_OFFLINE_MODE", "false")  # a user's own choice is kept
    assert main(["metrics"]) == 0
    assert os.environ["LITELLM_LOCAL_MODEL_COST_MAP"] == "True"
    assert os.environ["HF_HUB_OFFLINE"] == "1"
    assert os.environ["LITELLM_OFFLINE_MODE"] == "false"


def test_metrics_command_lists_metrics_and_groups(capsys):
    assert main(["metrics"]) == 0
    out = capsys.readouterr().out
    listed = {line.split()[0] for line in out.splitlines() if line.startswith("  ")}
    assert set(METRICS) <= listed
    assert {"prompt_safety_risk", "jailbreak", "content_safety", "retrieval_quality"} <= listed


def test_help_documents_the_options_and_the_config_file(capsys):
    assert main(["evaluate", "--help"]) == 0
    out = capsys.readouterr().out
    for text in ("--metrics", "--config", "--output", "--concurrent", "--timeout",
                 "metric_params", "tool_calls_field", "ZNG_API_KEY", "exit codes"):  # fmt: skip
        assert text in out
