"""Stored runs from Python, against the local detection service: stable record identity
across formats, exports that survive an interruption and a resume, refused resumes, the
store's schema version and two processes sharing one store."""

from __future__ import annotations

import asyncio
import csv
import json
import sqlite3
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from zentrix_gov import runs
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.runs.errors import ResumeRefused, StoreError
from zentrix_gov.runs.store import SCHEMA_VERSION, RunStore

CONFIG = GenAIConfiguration(
    input_fields=["question"], output_fields=["answer"], context_fields=["context"]
)


def records(count: int) -> list[dict[str, str]]:
    rows = []
    for index in range(count):
        rude = " you idiot" if index % 4 == 0 else ""
        rows.append(
            {
                "question": f"question {index}{rude}",
                "answer": "" if index % 7 == 3 else f"answer {index}, call 555-0100",
                "context": f"context {index}",
            }
        )
    return rows


def write(path: Path, rows: list[dict[str, str]]) -> Path:
    kind = path.suffix
    if kind == ".jsonl":
        path.write_text("".join(json.dumps(row) + "\n" for row in rows))
    elif kind == ".json":
        path.write_text(json.dumps(rows))
    elif kind == ".csv":
        with path.open("w", newline="") as handle:
            writer = csv.DictWriter(handle, fieldnames=list(rows[0]))
            writer.writeheader()
            writer.writerows(rows)
    else:
        pd.DataFrame(rows).to_parquet(path, row_group_size=4)
    return path


def exported(run: runs.Run, folder: Path) -> tuple[dict, str]:
    run.export(folder / "out.json")
    document = json.loads((folder / "out.json").read_text())
    document.pop("records_file")
    return document, (folder / "out.csv").read_text()


@pytest.mark.parametrize("kind", [".csv", ".json", ".parquet", "frame"])
def test_every_format_gives_the_same_run_with_position_ids(tmp_path, api_client, kind):
    rows = records(11)
    baseline = runs.evaluate(
        write(tmp_path / "r.jsonl", rows), ["hap", "answer_relevance"], CONFIG,
        store=tmp_path / "s.sqlite", api_client=api_client, chunk_size=3,
    )  # fmt: skip
    source = rows if kind == "frame" else write(tmp_path / f"r{kind}", rows)
    other = runs.evaluate(
        source, ["hap", "answer_relevance"], CONFIG,
        store=tmp_path / "s.sqlite", api_client=api_client, chunk_size=3,
    )  # fmt: skip
    expected, expected_csv = exported(baseline, tmp_path)
    assert exported(other, tmp_path) == (expected, expected_csv)
    # Ids come from positions, never at random; records without an answer are skipped.
    ids = [line.split(",")[0] for line in expected_csv.splitlines()[1:]]
    assert ids == [str(n) for n in range(1, 12)]
    relevance = expected["metrics"][1]
    assert relevance["skipped_record_ids"] == ["4", "11"]
    assert [summary.units for summary in other.summary()] == [4, 4]


def test_an_interrupted_run_resumes_to_the_export_of_an_uninterrupted_one(
    tmp_path, server, api_client
):
    path = write(tmp_path / "r.jsonl", records(40))
    store = tmp_path / "s.sqlite"
    whole = runs.evaluate(
        path, ["hap", "pii"], CONFIG, store=store, api_client=api_client, chunk_size=5
    )
    server.requests.clear()
    server.faults.latency = 0.2

    async def interrupted() -> None:
        task = asyncio.ensure_future(
            runs.evaluate_async(
                path, ["hap", "pii"], CONFIG, store=store, api_client=api_client, chunk_size=5
            )
        )
        with RunStore(store) as reader:
            while True:
                await asyncio.sleep(0.02)
                latest = reader.find_run("last")
                if latest.id != whole.id and len(reader.committed_units(latest.id)) >= 3:
                    break
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(interrupted())
    with RunStore(store) as reader:
        stopped = reader.find_run("last")
        done = reader.committed_units(stopped.id)
    assert stopped.status == "interrupted"
    assert 3 <= len(done) < 16
    server.faults.latency = 0.0
    sent_before = len(server.requests)
    resumed = runs.evaluate(
        path, ["hap", "pii"], CONFIG, store=store, api_client=api_client, resume="last"
    )
    assert resumed.id == stopped.id and resumed.status == "complete"
    # Committed units are not asked for again; at most the units in flight are repeated.
    resent = len(server.requests) - sent_before
    assert resent <= 2 * 40 - 5 * len(done) + 2 * 5
    assert exported(resumed, tmp_path) == exported(whole, tmp_path)


@pytest.mark.parametrize(
    ("change", "named"),
    [
        ("input", "records file"),
        ("configuration", "configuration changed"),
        ("metrics", "metric definitions changed"),
    ],
)
def test_a_resume_with_other_inputs_is_refused_naming_the_change(
    tmp_path, api_client, change, named
):
    path = write(tmp_path / "r.jsonl", records(6))
    store = tmp_path / "s.sqlite"
    first = runs.evaluate(path, ["hap"], CONFIG, store=store, api_client=api_client)
    with RunStore(store) as writer:
        writer.claim(first.id)
        writer.finish_run(first.id, "interrupted", "now")
    metrics = ["hap"]
    configuration = CONFIG
    if change == "input":
        write(path, records(7))
    elif change == "configuration":
        configuration = CONFIG.model_copy(update={"input_fields": ["answer"]})
    else:
        from zentrix_gov.metrics import metric_from_name

        metrics = [metric_from_name("hap", thresholds=[{"type": "upper_limit", "value": 0.1}])]
    with pytest.raises(ResumeRefused, match=named):
        runs.evaluate(
            path, metrics, configuration, store=store, api_client=api_client, resume=first.id
        )


def test_stores_of_another_schema_or_program_are_refused(tmp_path):
    newer = tmp_path / "newer.sqlite"
    with RunStore(newer):
        pass
    with sqlite3.connect(newer) as db:
        db.execute(f"PRAGMA user_version = {SCHEMA_VERSION + 1}")
    with pytest.raises(StoreError, match=f"schema version {SCHEMA_VERSION + 1}, newer"):
        RunStore(newer)
    foreign = tmp_path / "foreign.sqlite"
    with sqlite3.connect(foreign) as db:
        db.execute("CREATE TABLE notes (text)")
    with pytest.raises(StoreError, match="not a run store"):
        RunStore(foreign)


_CHILD = """
import sys
from zentrix_gov import runs
from zentrix_gov.config import GenAIConfiguration
from tests.plugin_services import client_for

class Server:
    url, token, instance_id = sys.argv[3], sys.argv[4], sys.argv[5]

run = runs.evaluate(sys.argv[1], ["hap", "pii"], GenAIConfiguration(input_fields=["question"]),
                    store=sys.argv[2], api_client=client_for(Server), chunk_size=7)
print(run.id, run.status)
"""


def test_two_processes_write_runs_to_one_store_at_once(tmp_path, server):
    path = write(tmp_path / "r.jsonl", records(200))
    store = tmp_path / "s.sqlite"
    command = [sys.executable, "-c", _CHILD, str(path), str(store), server.url, server.token]
    children = [
        subprocess.Popen([*command, server.instance_id], stdout=subprocess.PIPE, text=True)
        for _ in range(2)
    ]
    outputs = [child.communicate(timeout=120)[0].split() for child in children]
    assert [child.returncode for child in children] == [0, 0]
    assert {status for _, status in outputs} == {"complete"}
    with RunStore(store) as reader:
        for run_id, _ in outputs:
            assert reader.records_done(run_id, ["hap", "pii"]) == 200


def test_neither_the_package_nor_the_command_line_imports_ray():
    code = (
        "import sys\n"
        "from zentrix_gov import runs\n"
        "from zentrix_gov.runs import api, executor, runner\n"
        "from zentrix_gov.cli import main\n"
        "main(['metrics'])\n"
        "print('ray' in sys.modules)\n"
    )
    shown = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert shown.stdout.splitlines()[-1] == "False", shown.stderr
