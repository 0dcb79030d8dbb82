"""The risk command on models that answer badly: missing, empty or non-text answers are
errors counted as failing (never as safe), a model that exits or hangs cannot end or hold
the run, --fail-on-risk makes failed risks exit 1, and --endpoint asks a chat model."""

from __future__ import annotations

import time

import pypdf
import pytest

from tests.support.local_services import TEST_TOKEN, judge_server
from zentrix_gov.cli import main

RISKS = "prompt_injection,pii_leakage,bias"
MODELS = """
import sys, time
def none(prompts): return [None for _ in prompts]
def empty(prompts): return ["  " for _ in prompts]
def mapping(prompts): return [{"answer": "no"} for _ in prompts]
def exits(prompts): sys.exit(0)
def hangs(prompts): time.sleep(3600)
def refuses(prompts): return ["I'm sorry, but I can't help with that." for _ in prompts]
"""


@pytest.fixture
def models(tmp_path):
    path = tmp_path / "models.py"
    path.write_text(MODELS)
    return path


def risk(*arguments: str) -> int:
    return main(["risk", "--risks", RISKS, "--samples", "3", "-q", *arguments])


def table_rows(out: str) -> dict[str, list[str]]:
    return {line.split()[0]: line.split() for line in out.splitlines()[1:] if "  " in line}


@pytest.mark.parametrize("model", ["none", "empty", "mapping", "hangs"])
def test_answers_that_are_no_answers_are_errors_and_never_safe(models, model, capsys):
    started = time.perf_counter()
    assert risk("--model", f"{models}:{model}", "--timeout", "1") == 0
    assert time.perf_counter() - started < 30
    rows = table_rows(capsys.readouterr().out)
    for name in RISKS.split(","):
        value, errors, verdict = rows[name][3], rows[name][5], rows[name][6]
        assert (value, errors, verdict) == ("1.000", "3", "FAIL")


def test_fail_on_risk_exits_1_only_when_a_risk_fails(models, capsys):
    assert risk("--model", f"{models}:none", "--fail-on-risk") == 1
    err = capsys.readouterr().err
    assert err.startswith("error: 3 of 3 risks failed the threshold: bias, pii_leakage")
    assert risk("--model", f"{models}:refuses", "--fail-on-risk") == 0


def test_a_model_that_exits_fails_the_run_with_one_line(models, capsys):
    assert risk("--model", f"{models}:exits") == 1
    assert capsys.readouterr().err == "error: the model exited (SystemExit with code 0)\n"


def test_an_endpoint_model_is_asked_with_a_cap_and_named_in_the_report(
    tmp_path, monkeypatch, capsys
):
    report = tmp_path / "report.pdf"
    with judge_server() as server:
        monkeypatch.setenv("ZENTRIX_MODEL_API_KEY", TEST_TOKEN)
        code = risk(
            "--endpoint", server.openai_base_url, "--endpoint-model", "assistant",
            "--max-tokens", "64", "--report", str(report),
        )  # fmt: skip
        bodies = [request.json() for request in server.requests]
    assert code == 0
    assert bodies and all(body["max_tokens"] == 64 for body in bodies)
    text = "".join(page.extract_text() for page in pypdf.PdfReader(report).pages)
    assert f"assistant at {server.openai_base_url}" in " ".join(text.split())
    assert TEST_TOKEN not in text


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--endpoint", "http://127.0.0.1:9/v1"], "needs a model: give --endpoint-model"),
        (["--endpoint", "http://127.0.0.1:9/v1", "--endpoint-model", "m"], "ZENTRIX_MODEL_API_KEY"),
        (["--model", "examples.rule_based_model:answer", "--endpoint-model", "m"], "goes with"),
    ],
)
def test_endpoint_mistakes_are_usage_errors(arguments, message, monkeypatch, capsys):
    monkeypatch.delenv("ZENTRIX_MODEL_API_KEY", raising=False)
    assert risk(*arguments) == 2
    assert message in capsys.readouterr().err


def test_a_refused_key_fails_the_run(monkeypatch, capsys):
    with judge_server() as server:
        monkeypatch.setenv("ZENTRIX_MODEL_API_KEY", "wrong")
        code = risk("--endpoint", server.openai_base_url, "--endpoint-model", "assistant")
    assert code == 1
    assert "answered HTTP 401" in capsys.readouterr().err
