"""What a stored run says per metric, and how its statuses read in summaries and exports."""

from __future__ import annotations

import json
import sys

from tests.support.synthetic_runs import SyntheticMetric, store_run
from zentrix_gov.cli import main
from zentrix_gov.runs import Run, RunStatus
from zentrix_gov.runs.summary import summarize


def test_a_metric_without_any_value_has_no_value_and_says_why(store, tmp_path):
    run = store_run(
        store,
        [
            SyntheticMetric("quality", [0.25, 0.75]),
            SyntheticMetric("broken", [None, None], error_text="the detection service said no"),
        ],
    )
    quality, broken = summarize(store, run)
    assert (quality.value, quality.reason) == (0.5, None)
    assert broken.value is None and broken.reason == "SERVICE_ERROR: the detection service said no"
    # The aggregate record keeps the "Error" its readers know, in Python and in the export.
    results = Run(store.path, run.id).results()
    assert [aggregate.value for aggregate in results.metrics_result] == [0.5, "Error"]
    Run(store.path, run.id).export(tmp_path / "out.json")
    document = json.loads((tmp_path / "out.json").read_text())
    assert document["status"] == "failed" and document["metrics"][1]["value"] == "Error"
    assert Run(store.path, run.id).status is RunStatus.COMPLETE


def test_a_method_whose_extra_is_missing_is_refused_before_any_request(
    monkeypatch, capsys, tmp_path
):
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)  # not installed
    records = tmp_path / "r.jsonl"
    records.write_text('{"question": "q", "answer": "a", "contexts": ["c"]}\n')
    config = tmp_path / "c.json"
    columns = {
        "input_fields": ["question"],
        "output_fields": ["answer"],
        "context_fields": ["contexts"],
    }
    config.write_text(json.dumps(columns))
    code = main(["evaluate", str(records), "-c", str(config), "-m", "hap,rag_faithfulness",
                 "--rag-method", "sentence_bert_mini_lm"])  # fmt: skip
    assert code == 2
    err = capsys.readouterr().err
    assert (
        "rag_faithfulness with the method sentence_bert_mini_lm needs sentence_transformers" in err
    )
    assert "pip install 'zentrix-gov[embeddings]'" in err
    assert "detection service" not in err  # nothing was started, nothing sent
    assert main(["runs", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == []
