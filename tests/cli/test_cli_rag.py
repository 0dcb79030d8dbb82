"""Template-library metrics from the command line: methods, the judge options, the example."""

from __future__ import annotations

import json

import pytest

from zentrix_gov.cli import OFFLINE_ENVIRONMENT, main

from .conftest import COLUMNS, RECORDS, clean_env, run_cli

RAG = ["rag_faithfulness", "rag_context_relevance", "rag_answer_relevance", "answer_correctness"]


@pytest.fixture
def no_judge_env(monkeypatch):
    for key in ("ZENTRIX_JUDGE_URL", "ZENTRIX_JUDGE_MODEL", "ZENTRIX_JUDGE_API_KEY"):
        monkeypatch.delenv(key, raising=False)
    for key in ("ZNG_API_KEY", "ZNG_SERVICE_INSTANCE_ID", "ZNG_URL", "ZNG_VERSION"):
        monkeypatch.delenv(key, raising=False)


def offline_switches_unset() -> dict[str, str]:
    """The command line sets the offline switches itself."""
    env = clean_env()
    for key in (*OFFLINE_ENVIRONMENT, "TRANSFORMERS_OFFLINE"):
        env.pop(key, None)
    return env


def results(path) -> dict[str, dict]:
    return {entry["metric"]: entry for entry in json.loads(path.read_text())["metrics"]}


def test_judge_metrics_against_the_local_judge_service(
    tmp_path, capsys, no_judge_env, plain_config
):
    output = tmp_path / "out.json"
    code = main(
        [
            "evaluate", str(RECORDS), "--config", str(plain_config), "--metrics", ",".join(RAG),
            "--rag-method", "llm_as_judge", "--judge", "local", "-o", str(output),
        ]
    )  # fmt: skip
    captured = capsys.readouterr()
    assert code == 0, captured.err
    assert "local judge service" in captured.err
    by_name = results(output)
    assert set(by_name) == set(RAG)
    faithfulness = by_name["rag_faithfulness"]
    assert faithfulness["method"] == "llm_as_judge"
    values = {r["record_id"]: r["value"] for r in faithfulness["record_level_metrics"]}
    # The baggage answer repeats its context; the wifi answer contradicts it.
    assert values["rag-baggage"] > values["rag-wifi"]


@pytest.fixture
def plain_config(tmp_path):
    """The example's columns without its per-metric parameters."""
    document = json.loads(COLUMNS.read_text())
    del document["metric_params"]
    path = tmp_path / "columns.json"
    path.write_text(json.dumps(document))
    return path


def test_methods_from_the_config_file_and_the_option(tmp_path, capsys, no_judge_env):
    document = json.loads(COLUMNS.read_text())
    document["metric_params"] = {"rag_faithfulness": {"method": "sentence_bert_mini_lm"}}
    config = tmp_path / "columns.json"
    config.write_text(json.dumps(document))
    output = tmp_path / "out.json"
    command = ["evaluate", str(RECORDS), "--config", str(config), "-q", "-o", str(output)]
    command += ["--metrics", "rag_faithfulness,rag_answer_relevance"]
    assert main(command) == 0, capsys.readouterr().err
    by_name = results(output)
    assert by_name["rag_faithfulness"]["method"] == "sentence_bert_mini_lm"
    assert by_name["rag_answer_relevance"]["method"] == "token_recall"
    # The option wins over the config file, for every template-library metric.
    assert main([*command, "--rag-method", "token_recall"]) == 2
    assert "'rag_faithfulness': unknown method 'token_recall'" in capsys.readouterr().err
    assert main([*command[:-2], "--metrics", "rag_answer_relevance", "--rag-method",
                 "sentence_bert_mini_lm"]) == 0  # fmt: skip
    assert results(output)["rag_answer_relevance"]["method"] == "sentence_bert_mini_lm"


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--rag-method", "llm_as_judge"], "with method llm_as_judge needs a judge"),
        (["--rag-method", "cosine"], "unknown method 'cosine'"),
        (
            ["--rag-method", "llm_as_judge", "--judge", "http://127.0.0.1:9/v1"],
            "needs an API key: set ZENTRIX_JUDGE_API_KEY",
        ),
    ],
)
def test_judge_mistakes_are_usage_errors(
    capsys, no_judge_env, monkeypatch, plain_config, args, message
):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    command = ["evaluate", str(RECORDS), "--config", str(plain_config), "-m", "rag_faithfulness"]
    assert main(command + args) == 2
    assert message in capsys.readouterr().err


def test_detector_and_library_metrics_side_by_side():
    done = run_cli(
        "evaluate", RECORDS, "--config", COLUMNS, "-m", "faithfulness,rag_faithfulness",
        env=offline_switches_unset(),
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    rows = [line.split()[0] for line in done.stdout.splitlines()[2:4]]
    assert rows == ["faithfulness", "rag_faithfulness"]


def test_quiet_runs_draw_no_progress_bars(plain_config):
    args = ["evaluate", RECORDS, "--config", plain_config, "-m", "rag_answer_relevance"]
    args += ["--rag-method", "llm_as_judge", "--judge", "local"]
    env = clean_env()
    env.pop("TQDM_DISABLE", None)
    loud, quiet = run_cli(*args, env=env), run_cli(*args, "-q", env=env)
    assert loud.returncode == quiet.returncode == 0, loud.stderr + quiet.stderr
    # The judge (the SDK's engine) draws no bar; the run's own progress lines go with -q.
    assert "[1/1] rag_answer_relevance" in loud.stderr
    assert quiet.stderr == ""
