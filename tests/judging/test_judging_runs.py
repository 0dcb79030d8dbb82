"""Repeats, swapped options and juries end to end against the local judge service: a
verdict that flips with the seed, one that flips with the order of the options, a juror
that fails, a quorum not met, and a resumed unit that asks only what it lacks."""

from __future__ import annotations

import json
import sqlite3

import pytest

from zentrix_gov import runs
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.cli.verdict_progress import verdict_count
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.llm_judge import JudgeRequestOptions
from zentrix_gov.judging import Judging
from zentrix_gov.metrics import CriteriaMetric
from zentrix_gov.runs.store import RunStore
from zentrix_gov.runs.summary import summarize

from .conftest import RECORDS, criterion, judged_by

UNREACHABLE = "http://127.0.0.1:9/v1"  # nothing listens on the discard port


def stored(path):
    """The last run's results of the criterion, its summary, and its verdicts."""
    with RunStore(path) as store:
        run = store.find_run("last")
        results = store.read(
            "SELECT value, label, error_code, human_label FROM results "
            "WHERE run_id = ? AND metric = 'grounding' ORDER BY position",
            (run.id,),
        ).fetchall()
        summary = summarize(store, run, ["grounding"])[0]
        verdicts = store.read("SELECT count(*) FROM verdicts WHERE run_id = ?", (run.id,))
        return results, summary, verdicts.fetchone()[0]


def request_bodies(server) -> list[dict]:
    return [json.loads(request.body) for request in server.requests if request.body]


@pytest.mark.parametrize(
    ("repeats", "flipped", "values", "stability"),
    [
        (3, [], [1, 0, 1, 1], 1.0),
        (3, [37], [1, 0, 1, 1], 2 / 3),  # the second repeat flips: the majority stands
        (2, [37], [0, 0, 0, 0], 1 / 2),  # one of two flips: a tie goes to "No", of lower value
    ],
)
def test_repeated_verdicts_are_stored_and_combined(
    cli, labelled, judge_service, run_store, repeats, flipped, values, stability
):
    judge_service.faults.flip_seeds(flipped)
    arguments = [*labelled(), *judged_by(judge_service), "--judge-repeats", repeats, "-q"]
    assert cli("evaluate", *arguments) == 0
    results, summary, verdicts = stored(run_store)
    assert [row[0] for row in results] == values
    assert [row[3] for row in results] == ["Yes", "No", "No", None]  # labels, as options spell them
    assert verdicts == 4 * repeats
    assert summary.judging.stability == pytest.approx(stability)
    assert summary.judging.not_unanimous == (1.0 if flipped else 0.0)
    bodies = request_bodies(judge_service)
    assert {body["seed"] for body in bodies} == set(range(36, 36 + repeats))
    assert {body["temperature"] for body in bodies} == {0.7}


@pytest.mark.parametrize(
    ("options", "unstable", "exit_code", "flip_rate", "codes"),
    [
        (("Yes", "No"), "keep", 0, 0.0, [None] * 4),
        # options that read neither way: the stand-in takes the best to be the first listed
        (("Blue", "Red"), "keep", 0, 1.0, [None] * 4),
        (("Blue", "Red"), "drop", 1, 1.0, ["UNSTABLE_VERDICT"] * 4),
    ],
)
def test_swapped_options_find_verdicts_that_follow_the_order(
    cli, labelled, judge_service, run_store, options, unstable, exit_code, flip_rate, codes
):
    names = dict(zip(("yes", "no"), options, strict=True))
    records = [{**r, "grounded": names.get((r["grounded"] or "").lower())} for r in RECORDS]
    arguments = [*labelled(records, options), *judged_by(judge_service)]
    assert cli("evaluate", *arguments, "--judge-swap-options", "--unstable", unstable) == exit_code
    results, summary, verdicts = stored(run_store)
    assert [row[2] for row in results] == codes
    assert summary.judging.flip_rate == flip_rate and verdicts == 8
    schemas = [body["response_format"]["json_schema"]["schema"] for body in
               request_bodies(judge_service)]  # fmt: skip
    orders = {tuple(schema["properties"]["selected_option"]["enum"]) for schema in schemas}
    assert orders == {options, options[::-1]}


@pytest.mark.parametrize(
    ("quorum", "exit_code", "values", "code"),
    [([], 1, [None] * 4, "JURY_NO_QUORUM"), (["--jury-quorum", "1"], 0, [1, 0, 1, 1], None)],
)
def test_a_juror_that_fails_leaves_the_verdict_to_the_quorum(
    cli, labelled, judge_service, run_store, quorum, exit_code, values, code
):
    jury = [*judged_by(judge_service), "--judge", UNREACHABLE, "--judge-model", "judge"]
    assert cli("evaluate", *labelled(), *jury, *quorum, "-q") == exit_code
    results, summary, _ = stored(run_store)
    assert [row[0] for row in results] == values
    assert {row[2] for row in results} == {code}
    assert any(note["code"] == "JUROR_FAILED" for note in summary.notes)


def test_jurors_that_disagree_tie_to_the_lower_option_and_their_agreement_is_measured(
    cli, labelled, judge_service, run_store
):
    judge_service.faults.flip_seeds([37])  # the second juror's seed
    jury = [*judged_by(judge_service, "judge-a"), *judged_by(judge_service, "judge-b")]
    assert cli("evaluate", *labelled(), *jury, "-q") == 0
    results, summary, verdicts = stored(run_store)
    assert [row[0] for row in results] == [0, 0, 0, 0] and verdicts == 8
    assert {body["model"] for body in request_bodies(judge_service)} == {"judge-a", "judge-b"}
    # every record: one juror says Yes, the other No
    assert summary.judging.juror_statistic == "fleiss_kappa"
    assert summary.judging.juror_agreement == pytest.approx(-1.0)


def test_a_resumed_unit_asks_only_the_repeats_it_lacks(judge_service, run_store):
    judge = judge_for(judge_service.openai_base_url, judge_service.token, "judge",
                      JudgeRequestOptions(max_parallel=4))  # fmt: skip
    configuration = GenAIConfiguration(
        input_fields=[], output_fields=["answer"], context_fields=["contexts"],
        record_id_field="id", label_fields={"grounding": "grounded"}, llm_judge=judge,
    )  # fmt: skip
    metric = CriteriaMetric.model_validate(criterion())
    full = runs.evaluate(RECORDS, [metric], configuration, judging=Judging(repeats=3))
    with full.open_store() as store:
        expected = list(store.results(full.id, "grounding"))
    # As a run killed after two of the unit's three repeats were stored leaves it.
    with sqlite3.connect(run_store) as db:
        for table in ("units", "results", "judgements"):
            db.execute(f"DELETE FROM {table} WHERE run_id = ?", (full.id,))
        db.execute("DELETE FROM verdict_units WHERE run_id = ? AND repeat = 2", (full.id,))
        db.execute("UPDATE runs SET status = 'interrupted' WHERE id = ?", (full.id,))
    judge_service.requests.clear()
    resumed = runs.resume(full.id, records=RECORDS, judge=judge)
    assert {body["seed"] for body in request_bodies(judge_service)} == {38}
    assert len(judge_service.requests) == len(RECORDS)
    with resumed.open_store() as store:
        assert list(store.results(full.id, "grounding")) == expected
        assert store.find_run(full.id).status == "complete"


def test_verdicts_are_counted_as_they_arrive(judge_service):
    judge = judge_for(judge_service.openai_base_url, judge_service.token, "judge",
                      JudgeRequestOptions(max_parallel=2))  # fmt: skip
    configuration = GenAIConfiguration(input_fields=[], output_fields=["answer"],
                                       context_fields=["contexts"], record_id_field="id",
                                       llm_judge=judge)  # fmt: skip
    metric = CriteriaMetric.model_validate(criterion())
    judging = Judging(repeats=2, swap_options=True)
    plan = runs.plan_run(RECORDS, [metric], configuration, judging=judging)
    count = verdict_count(plan.planned, judging, 1, [judge])
    count.start(len(RECORDS), {})
    with RunStore() as store:
        import asyncio

        asyncio.run(runs.execute(plan, store))
    assert (count.heard_count, count.expected) == (16, 16)
    assert count.text().startswith("judge: 16 of about 16 verdicts")
