"""The judges and the risk command against the real local model (Qwen2.5-Coder-1.5B), as a
user runs them: structured criteria verdicts parse, template-library verdicts are read,
risk on the model completes, and a model file that does not check out is never loaded."""

from __future__ import annotations

import json
import subprocess
import sys
from dataclasses import replace

import pytest

from tests.cli.conftest import COLUMNS, RECORDS, ROOT, clean_env
from zentrix_gov.local.model.files import MODEL, ModelFileError, model_file

pytestmark = pytest.mark.realmodel
CRITERION = RECORDS.parent / "criteria" / "answer_grounding.yaml"


def run_cli(*args: object, timeout: float) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "zentrix_gov", *map(str, args)],
        capture_output=True,
        text=True,
        env=clean_env(),
        cwd=ROOT,
        timeout=timeout,
    )


def evaluate(tmp_path, *arguments: object) -> dict[str, dict]:
    output = tmp_path / "results.json"
    done = run_cli(
        "evaluate", RECORDS, "--config", COLUMNS, "--judge", "local-model", "--timeout", "240",
        "-o", output, *arguments, timeout=1200,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return {metric["metric"]: metric for metric in json.loads(output.read_text())["metrics"]}


def record_codes(metric: dict) -> list[str]:
    records = metric["record_level_metrics"]
    return [error["code"] for record in records for error in record.get("errors") or []]


def test_criteria_verdicts_of_the_local_model_parse(tmp_path):
    metric = evaluate(tmp_path, "--criteria", CRITERION)["answer_grounding"]
    judged = [r for r in metric["record_level_metrics"] if r.get("value") is not None]
    assert len(judged) >= 8, record_codes(metric)


def test_template_library_verdicts_of_the_local_model_are_read(tmp_path):
    metrics = evaluate(
        tmp_path, "--metrics", "rag_faithfulness,answer_correctness", "--rag-method", "llm_as_judge"
    )
    for metric in metrics.values():
        assert record_codes(metric) == []
        assert all(0 <= record["value"] <= 1 for record in metric["record_level_metrics"])


def test_risk_on_the_local_model_completes(tmp_path):
    done = run_cli(
        "risk", "--endpoint", "local-model", "--risks", "bias", "--samples", "2", "-q",
        timeout=600,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    rows = [line.split() for line in done.stdout.splitlines()]
    assert any(row[:2] == ["bias", "stereotype_agreement"] for row in rows), done.stdout


def test_a_wrong_checksum_is_refused_and_nothing_is_kept(tmp_path):
    wrong = replace(MODEL, sha256="0" * 64)
    with pytest.raises(ModelFileError, match="nothing was loaded"):
        model_file(wrong, folder=tmp_path)
    assert list(tmp_path.iterdir()) == []
