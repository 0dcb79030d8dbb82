"""A budget stops a run cleanly and a resume with a new one finishes it as if nothing
happened; ``--estimate`` tells the requests, tokens and cost before any request."""

from __future__ import annotations

import json
import sqlite3

import pytest

from tests.support.local_services import judge_server
from zentrix_gov.cli import main
from zentrix_gov.local.judge.openai_shapes import chat_prompt, count_tokens

RECORDS = 30
CRITERION = {
    "name": "grounded",
    "criteria": "Is the {answer} supported by the {contexts}?",
    "context_fields": ["contexts"],
    "options": [{"name": "Yes", "value": 1}, {"name": "No", "value": 0}],
}


@pytest.fixture
def inputs(tmp_path, monkeypatch):
    """The records, config and criteria of the runs, as ``evaluate`` arguments."""
    records = tmp_path / "records.jsonl"
    with records.open("w") as handle:
        for index in range(RECORDS):
            record = {"id": f"r{index}", "answer": f"Fare {index} has {index % 4} bags.",
                      "contexts": [f"Fare {index} includes one checked bag."],
                      "record_timestamp": "2026-01-01T00:00:00"}  # fmt: skip
            handle.write(json.dumps(record) + "\n")
    config = tmp_path / "columns.json"
    columns = {"output_fields": ["answer"], "context_fields": ["contexts"], "record_id_field": "id"}
    config.write_text(json.dumps({"input_fields": [], **columns}))
    criteria = tmp_path / "grounded.json"
    criteria.write_text(json.dumps(CRITERION))
    with judge_server() as server:
        monkeypatch.setenv("ZENTRIX_JUDGE_API_KEY", server.token)
        base = [str(records), "-c", str(config), "--criteria", str(criteria), "--judge",
                server.openai_base_url, "--judge-model", "judge", "--judge-price", "1,2",
                "--chunk-size", "5", "--max-concurrency", "2"]  # fmt: skip
        yield server, base


def comparable(path) -> tuple[dict, str]:
    # The records carry their timestamps: two runs of them export alike.
    return json.loads(path.read_text()), path.with_suffix(".csv").read_text()


def test_a_budget_stops_the_run_and_a_resume_finishes_it(inputs, tmp_path, capsys):
    _, base = inputs
    store = str(tmp_path / "runs.sqlite")
    whole = tmp_path / "whole.json"
    assert main(["evaluate", *base, "--store", str(tmp_path / "other.sqlite"), "-q",
                 "-o", str(whole)]) == 0  # fmt: skip
    budget = 0.01  # about a third of the run
    assert main(["evaluate", *base, "--store", store, "--budget-usd", str(budget)]) == 1
    last = capsys.readouterr().err.strip().splitlines()[-1]
    with sqlite3.connect(store) as db:
        run_id, status, reason = db.execute("SELECT id, status, error FROM runs").fetchone()
        units = db.execute("SELECT chunk, records FROM units").fetchall()
        stored = db.execute("SELECT count(*) FROM results").fetchone()[0]
        spent, in_flight = db.execute(
            "SELECT cost, in_flight_at_stop FROM spend_sessions"
        ).fetchone()
        dearest = db.execute("SELECT max(cost) FROM record_usage").fetchone()[0]
    assert status == "interrupted" and reason.startswith("budget reached: spent $")
    assert last.startswith("error: budget reached: spent $")
    assert f"resume with: python -m zentrix_gov evaluate --resume {run_id}" in last
    # Units are stored whole or not at all, and the rest is left for the resume.
    assert 0 < stored < RECORDS and stored == sum(records for _, records in units) == 5 * len(units)
    # Past the budget by no more than the requests in flight at the stop could spend.
    assert spent - budget <= in_flight * dearest
    # The stop shows with the run.
    assert main(["runs", "show", run_id, "--store", store]) == 0
    assert f"the budget of ${budget:g} stopped the start of" in capsys.readouterr().out
    resumed = tmp_path / "resumed.json"
    assert main(["evaluate", "--resume", run_id, "--store", store, "--budget-usd", "1", "-q",
                 "-o", str(resumed)]) == 0  # fmt: skip
    assert comparable(resumed) == comparable(whole)


def test_an_estimate_sends_nothing_and_stores_nothing(inputs, tmp_path, capsys):
    server, base = inputs
    store = tmp_path / "runs.sqlite"
    assert main(["evaluate", *base, "--store", str(store), "--estimate"]) == 0
    assert len(server.requests) == 0 and not store.exists()
    shown = capsys.readouterr().out
    row = next(line for line in shown.splitlines() if line.startswith("grounded")).split()
    records, requests, prompt_tokens = (int(cell.replace(",", "")) for cell in row[1:4])
    assert (records, requests) == (RECORDS, RECORDS)
    assert int(row[4].replace(",", "")) == RECORDS * 1024  # the answer cap, per request
    # The prompts are the ones the judge gets: their tokens match what it counts, closely.
    assert main(["evaluate", *base, "--store", str(store), "-q"]) == 0
    served = sum(count_tokens(chat_prompt(request.json())) for request in server.requests)
    assert abs(prompt_tokens / served - 1) < 0.15
    low, high = (float(cell.lstrip("$")) for cell in (row[5], row[7]))
    assert low == pytest.approx(prompt_tokens / 1e6, rel=0.01)
    assert high == pytest.approx((prompt_tokens + 2 * RECORDS * 1024) / 1e6, rel=0.01)


@pytest.mark.parametrize(
    ("asked", "per_record"),
    [(["--judge-repeats", "3"], 3), (["--judge-repeats", "2", "--judge-swap-options"], 4)],
    ids=["repeats", "repeats and swapped options"],
)
def test_an_estimate_counts_every_variant_of_a_verdict(inputs, tmp_path, capsys, asked, per_record):
    server, base = inputs
    assert main(["evaluate", *base, "--store", str(tmp_path / "runs.sqlite"), "--estimate",
                 *asked]) == 0  # fmt: skip
    row = next(line for line in capsys.readouterr().out.splitlines() if line.startswith("ground"))
    assert int(row.split()[2].replace(",", "")) == RECORDS * per_record
    assert len(server.requests) == 0
