"""Stored runs on the command line: resuming after an interruption in each kind of metric,
refused resumes, coverage, Parquet records, an unusable store, and the runs command."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from zentrix_gov.cli import main
from zentrix_gov.runs.executor import LocalExecutor

from .conftest import COLUMNS, EXAMPLES, RECORDS, ROOT, clean_env
from .test_cli_reliability import service_env

KINDS = {
    "detector": ["-m", "hap,pii"],
    "template library": ["-m", "rag_faithfulness", "--rag-method", "token_k_precision"],
    "criteria judge": ["--criteria", str(EXAMPLES / "criteria" / "answer_grounding.yaml"),
                       "--judge", "local"],
}  # fmt: skip


def evaluate(*args) -> int:
    return main(["evaluate", *map(str, args)])


def comparable(output) -> tuple[dict, str]:
    """The results files without what differs between any two runs: times and the ports of
    the local services."""
    document = json.loads(output.read_text())
    document.pop("detection_service", None)
    for metric in document["metrics"]:
        for record in metric.get("record_level_metrics", []):
            record.pop("record_timestamp")
    return document, output.with_suffix(".csv").read_text()


ORIGINAL_RUN_UNIT = LocalExecutor._run_unit


@pytest.fixture
def interrupt_at(monkeypatch):
    """``interrupt_at(metric, chunk)``: Ctrl-C just as that unit starts (``None``: never)."""

    def arm(metric: str | None, chunk: int = 0) -> None:
        async def run_unit(self, job, work, store, listener):
            if (work.metric.name, work.chunk) == (metric, chunk):
                raise KeyboardInterrupt
            return await ORIGINAL_RUN_UNIT(self, job, work, store, listener)

        monkeypatch.setattr(LocalExecutor, "_run_unit", run_unit)

    return arm


@pytest.mark.parametrize("kind", KINDS)
def test_a_run_interrupted_in_a_metric_resumes_to_the_uninterrupted_export(
    kind, tmp_path, monkeypatch, server, interrupt_at, capsys
):
    for key, value in service_env(server).items():
        monkeypatch.setenv(key, value)
    args = [RECORDS, "-c", COLUMNS, *KINDS[kind], "--chunk-size", "3", "-q"]
    assert evaluate(*args, "-o", tmp_path / "whole.json") == 0
    metric = "answer_grounding" if kind == "criteria judge" else KINDS[kind][1].split(",")[-1]
    interrupt_at(metric, 2)
    assert evaluate(*args, "-o", tmp_path / "resumed.json") == 130
    assert not (tmp_path / "resumed.json").exists()
    listing = json.loads(_runs_json(capsys))
    assert [run["status"] for run in listing] == ["complete", "interrupted"]
    assert 0 < listing[1]["records_done"] < listing[1]["records_total"]
    interrupt_at(None)
    assert evaluate("--resume", "last", "-q", "-o", tmp_path / "resumed.json") == 0
    assert comparable(tmp_path / "resumed.json") == comparable(tmp_path / "whole.json")


def _runs_json(capsys) -> str:
    capsys.readouterr()
    assert main(["runs", "--json"]) == 0
    return capsys.readouterr().out


@pytest.mark.parametrize(
    ("change", "named"),
    # The records are read again (and must not have changed); the configuration is the one
    # the run stored, whatever the file holds now.
    [("records", "records file"), ("config", None)],
)
def test_a_resume_reads_the_records_again_and_keeps_its_configuration(
    tmp_path, use_local, capsys, change, named
):
    records = tmp_path / "records.jsonl"
    records.write_text(RECORDS.read_text())
    config = tmp_path / "columns.json"
    config.write_text(COLUMNS.read_text())
    assert evaluate(records, "-c", config, "-m", "hap", "-q") == 0
    with sqlite3.connect(os.environ["ZENTRIX_STORE"]) as db:
        db.execute("UPDATE runs SET status = 'interrupted'")
    if change == "records":
        records.write_text(RECORDS.read_text() + '{"id": "extra", "question": "more?"}\n')
    else:
        settings = json.loads(config.read_text())
        config.write_text(json.dumps({**settings, "input_fields": ["answer"]}))
    capsys.readouterr()
    if named is None:
        assert evaluate("--resume", "last", "-q") == 0
        return
    assert evaluate("--resume", "last") == 2
    assert named in capsys.readouterr().err


@pytest.fixture
def use_local(monkeypatch):
    """The built-in local detection service (no ZNG_* settings)."""
    for key in [key for key in os.environ if key.startswith("ZNG_")]:
        monkeypatch.delenv(key)


def test_coverage_is_shown_and_min_coverage_fails_the_run(server, monkeypatch, capsys):
    for key, value in service_env(server).items():
        monkeypatch.setenv(key, value)
    server.faults.script([500] * 12)  # the first records fail, retries included
    assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap", "--min-coverage", "0.95") == 1
    captured = capsys.readouterr()
    header, _, row = captured.out.splitlines()[:3]
    row = dict(zip(header.split(), row.split(), strict=True))
    assert row["metric"] == "hap" and row["errors"] != "0"
    coverage = float(row["coverage"].rstrip("%")) / 100
    assert coverage < 0.95
    assert captured.err.splitlines()[-1].startswith("error: coverage below 0.95: hap ")
    server.faults.clear()
    assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap", "--min-coverage", "0.95", "-q") == 0


def test_parquet_records_give_what_json_lines_give(tmp_path, use_local):
    rows = [json.loads(line) for line in RECORDS.read_text().splitlines() if line.strip()]
    parquet = tmp_path / "records.parquet"
    frame = pd.DataFrame(rows)
    frame["contexts"] = [json.dumps(value) for value in frame["contexts"]]
    frame.to_parquet(parquet)
    as_text = tmp_path / "records.jsonl"
    as_text.write_text("".join(json.dumps(row) + "\n" for row in frame.to_dict("records")))
    for source, output in ((parquet, "p.json"), (as_text, "j.json")):
        args = ["-c", COLUMNS, "-m", "hap,faithfulness", "-q", "-o", tmp_path / output]
        assert evaluate(source, *args) == 0
    parquet_run, jsonl_run = comparable(tmp_path / "p.json"), comparable(tmp_path / "j.json")
    for document, _ in (parquet_run, jsonl_run):
        document.pop("records_file")
    assert parquet_run == jsonl_run


def test_a_store_that_cannot_be_written_fails_before_any_request(tmp_path, server):
    folder = tmp_path / "read-only"
    folder.mkdir()
    folder.chmod(0o555)
    if os.access(folder, os.W_OK):  # root writes anywhere, but not in /proc
        folder = Path("/proc/self")
    env = clean_env(**service_env(server), ZENTRIX_STORE=str(folder / "runs.sqlite"))
    done = subprocess.run(
        [sys.executable, "-m", "zentrix_gov", "evaluate", RECORDS, "-c", COLUMNS, "-m", "hap"],
        capture_output=True, text=True, env=env, cwd=ROOT, timeout=120,
    )  # fmt: skip
    assert done.returncode == 2, done.stderr
    assert done.stderr.splitlines() == [done.stderr.splitlines()[-1]]
    assert "run store" in done.stderr and str(folder) in done.stderr
    assert len(server.requests) == 0


def test_runs_lists_shows_and_exports_stored_runs(tmp_path, use_local, capsys):
    assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap,pii", "-q", "-o", tmp_path / "o.json") == 0
    (run,) = json.loads(_runs_json(capsys))
    assert run["status"] == "complete" and run["metrics"] == ["hap", "pii"]
    assert run["records_done"] == run["records_total"] == len(RECORDS.read_text().splitlines())
    assert main(["runs", "show", run["id"][:10]]) == 0
    shown = capsys.readouterr().out
    assert f"run {run['id']}: complete" in shown and "\nhap " in shown
    assert main(["runs", "export", "last", "-o", str(tmp_path / "e.json")]) == 0
    assert comparable(tmp_path / "e.json") == comparable(tmp_path / "o.json")
    assert main(["runs", "show", "nothing-like-it"]) == 2


def test_a_judge_only_run_starts_no_detection_service(tmp_path, use_local):
    done = subprocess.run(
        [sys.executable, "-m", "zentrix_gov", "evaluate", RECORDS, "-c", COLUMNS,
         "-m", "rag_faithfulness", "--rag-method", "token_k_precision", "-o", tmp_path / "r.json"],
        capture_output=True, text=True, env=clean_env(), cwd=ROOT, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert "detection service" not in done.stderr
    assert json.loads((tmp_path / "r.json").read_text()).get("detection_service") is None


@pytest.mark.parametrize(
    ("options", "named"),
    [
        (["--ray-address", "127.0.0.1:6379"], "--ray-address go with --executor ray"),
        (["--executor", "ray", "--ray-resources", "hap=[1]"], "must be a JSON object"),
        (["--executor", "ray", "--ray-resources", 'pii={"num_gpus": 1}'], "not a metric of"),
        (["--executor", "ray", "--ray-resources", 'hap={"gpus": 1}'], "unknown option 'gpus'"),
    ],
)
def test_ray_options_are_checked_before_the_run_starts(tmp_path, capsys, options, named):
    pytest.importorskip("ray")
    assert evaluate(RECORDS, "-c", COLUMNS, "-m", "hap", *options) == 2
    assert named in capsys.readouterr().err
    assert not Path(os.environ["ZENTRIX_STORE"]).exists() or json.loads(_runs_json(capsys)) == []


def test_a_ray_cluster_nobody_listens_at_fails_the_run_naming_it(capsys):
    pytest.importorskip("ray")
    from tests.plugin_services import closed_port

    address = f"127.0.0.1:{closed_port()}"
    args = ["-m", "hap", "--executor", "ray", "--ray-address", address]
    assert evaluate(RECORDS, "-c", COLUMNS, *args) == 1
    assert f"cannot connect to the Ray cluster at {address}" in capsys.readouterr().err
