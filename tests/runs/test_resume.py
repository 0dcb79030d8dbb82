"""A run resumes from the definition it stored, whoever started it: the command line finishes
a run started from Python, and Python one started by the command line."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from tests.plugin_services import client_for
from zentrix_gov import runs
from zentrix_gov.cli import main
from zentrix_gov.cli.settings import load_settings
from zentrix_gov.runs.executor import LocalExecutor
from zentrix_gov.runs.schema import RunStatus

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RECORDS, COLUMNS = EXAMPLES / "records.jsonl", EXAMPLES / "columns.json"
ORIGINAL_RUN_UNIT = LocalExecutor._run_unit


def interrupt_at(monkeypatch, metric: str, chunk: int) -> None:
    """Ctrl-C just as that unit starts."""

    async def run_unit(self, job, work, store, listener):
        if (work.metric.name, work.chunk) == (metric, chunk):
            raise KeyboardInterrupt
        return await ORIGINAL_RUN_UNIT(self, job, work, store, listener)

    monkeypatch.setattr(LocalExecutor, "_run_unit", run_unit)


def export(run: runs.Run, path: Path) -> dict:
    """The run's results without what differs between any two runs of the same records."""
    run.export(path)
    document = json.loads(path.read_text())
    for key in ("records_file", "detection_service"):
        document.pop(key, None)
    for metric in document["metrics"]:
        for record in metric.get("record_level_metrics", []):
            record.pop("record_timestamp")
    return document


@pytest.mark.parametrize("started_by", ["python", "command line"])
def test_a_run_resumes_from_the_other_side_to_an_uninterrupted_export(
    tmp_path, server, monkeypatch, started_by
):
    for key, value in {"ZNG_API_KEY": server.token, "ZNG_SERVICE_INSTANCE_ID": server.instance_id,
                       "ZNG_URL": server.url, "ZNG_VERSION": "local"}.items():  # fmt: skip
        monkeypatch.setenv(key, value)
    store, client = tmp_path / "runs.sqlite", client_for(server)
    configuration = load_settings(str(COLUMNS)).configuration
    options = {"store": store, "api_client": client, "chunk_size": 3}
    whole = runs.evaluate(RECORDS, ["hap", "pii"], configuration, **options)

    interrupt_at(monkeypatch, "pii", 1)
    if started_by == "python":
        with pytest.raises(KeyboardInterrupt):
            runs.evaluate(RECORDS, ["hap", "pii"], configuration, **options)
    else:
        argv = ["evaluate", str(RECORDS), "-c", str(COLUMNS), "-m", "hap,pii"]
        assert main([*argv, "--chunk-size", "3", "--store", str(store), "-q"]) == 130
    monkeypatch.setattr(LocalExecutor, "_run_unit", ORIGINAL_RUN_UNIT)
    stopped = runs.Run(store, "last")
    assert stopped.status is RunStatus.INTERRUPTED

    if started_by == "python":
        assert main(["evaluate", "--resume", "last", "--store", str(store), "-q"]) == 0
        resumed = runs.Run(store, stopped.record.id)
    else:
        resumed = runs.resume("last", store=store, api_client=client)
    assert resumed.status is RunStatus.COMPLETE and resumed.id == stopped.record.id
    assert export(resumed, tmp_path / "resumed.json") == export(whole, tmp_path / "whole.json")
