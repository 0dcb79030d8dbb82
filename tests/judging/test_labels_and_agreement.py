"""Labels as data: refused before any request, stored with the results (a store of schema
version 1 upgraded), measured by ``runs agreement`` and gated by ``--min-agreement``, and
shown in the run's report."""

from __future__ import annotations

import json
import sqlite3

import pytest

from zentrix_gov.cli import main
from zentrix_gov.runs.schema import FIRST_TABLES, MIGRATIONS, SCHEMA_VERSION
from zentrix_gov.runs.store import RunStore

from .conftest import RECORDS, judged_by


@pytest.mark.parametrize(
    ("record", "said"),
    [
        ({"grounded": "Maybe"}, "record 'r2': the label 'Maybe' in column 'grounded' cannot be "
         "compared with grounding, which takes one of the options Yes, No"),
        ({"support": "good"}, "record 'r2': the label 'good' in column 'support' cannot be "
         "compared with rag_faithfulness, which takes a number, or 0/1 or true/false"),
    ],
)  # fmt: skip
def test_a_label_the_metric_cannot_take_is_refused_before_any_request(
    cli, labelled, judge_service, capsys, record, said
):
    records = [RECORDS[0], {**RECORDS[1], **record}, *RECORDS[2:]]
    arguments = [*labelled(records), "-m", "rag_faithfulness", *judged_by(judge_service)]
    assert cli("evaluate", *arguments) == 2
    assert said in capsys.readouterr().err
    assert not judge_service.requests


def test_a_version_1_store_gains_the_label_column_and_keeps_its_results(tmp_path):
    path = tmp_path / "v1.sqlite"
    with sqlite3.connect(path) as db:
        for statement in FIRST_TABLES:
            db.execute(statement)
        db.execute("PRAGMA user_version = 1")
        db.execute(
            "INSERT INTO results (run_id, metric, position, record_id, status, value) "
            "VALUES ('old', 'hap', 0, '1', 'ok', 0.25)"
        )
    with RunStore(path) as store:
        row = store.read("SELECT value, human_label FROM results WHERE run_id = 'old'")
        assert row.fetchall() == [(0.25, None)]
        tables = {name for (name,) in store.read("SELECT name FROM sqlite_master")}
    assert {"verdicts", "verdict_units", "judgements"} <= tables
    with sqlite3.connect(path) as db:
        applied = db.execute("SELECT version, name FROM migrations ORDER BY version").fetchall()
    assert [version for version, _ in applied] == list(range(2, len(MIGRATIONS) + 2))
    # Later migrations (the judge's spend) follow it.
    assert applied[1] == (3, "judge_measures") and applied[-1][0] == SCHEMA_VERSION


@pytest.fixture
def labelled_run(cli, labelled, judge_service):
    """A run of the criterion and rag_faithfulness over the labelled records."""
    arguments = [*labelled(), "-m", "rag_faithfulness", *judged_by(judge_service), "-q"]
    assert cli("evaluate", *arguments) == 0


def test_agreement_counts_what_it_leaves_out_and_prints_every_figure(labelled_run, capsys):
    assert main(["runs", "agreement", "last", "--json"]) == 0
    figures = {entry["metric"]: entry for entry in json.loads(capsys.readouterr().out)}
    grounding = figures["grounding"]
    # r1 Yes/Yes, r2 No/No, r3 no/Yes; r4 has no label
    assert (grounding["labelled"], grounding["unlabelled"], grounding["with_verdict"]) == (3, 1, 3)
    assert grounding["accuracy"]["value"] == pytest.approx(2 / 3)
    assert grounding["confusion"]["counts"] == [[1, 0, 0], [1, 1, 0]]
    assert grounding["kappa"]["n"] == 3 and grounding["kappa"]["low"] is not None
    faithfulness = figures["rag_faithfulness"]
    assert faithfulness["kind"] == "scores"
    assert {"spearman", "mae", "alpha", "missing_as_disagreement"} <= set(faithfulness)


@pytest.mark.parametrize(
    ("rule", "exit_code", "said"),
    [
        ("grounding=accuracy:0", 0, ""),
        ("grounding=kappa:0.9", 1, "grounding: kappa interval's lower end"),
        ("rag_faithfulness=auc:0.5", 2, "rag_faithfulness has scores labels: auc is not"),
    ],
)
def test_min_agreement_gates_on_the_lower_end_of_the_interval(
    labelled_run, capsys, rule, exit_code, said
):
    assert main(["runs", "agreement", "last", "--min-agreement", rule]) == exit_code
    assert said in capsys.readouterr().err


def test_the_report_shows_agreement_per_labelled_metric(labelled_run, tmp_path):
    page = tmp_path / "report.html"
    assert main(["report", "last", "-o", str(page)]) == 0
    text = page.read_text()
    assert text.count('class="agreement"') == 2
    assert 'class="confusion"' in text and 'data-figure="kappa"' in text
    assert "Where judge and label disagree most" in text and "<strong>r3</strong>" in text
