"""The command line's judges: the request options it sends, --timeout on a judge that never
answers, and the model-server command's key handling."""

from __future__ import annotations

import json
import stat
import time
from contextlib import contextmanager
from types import SimpleNamespace

import pytest

from tests.support.local_services import TEST_TOKEN, judge_server
from zentrix_gov.cli import main

from .conftest import COLUMNS, RECORDS

CRITERION = RECORDS.parent / "criteria" / "answer_grounding.yaml"
CHAT = "/v1/chat/completions"


@pytest.fixture
def judge_env(monkeypatch):
    for key in ("ZENTRIX_JUDGE_URL", "ZENTRIX_JUDGE_MODEL", "OPENAI_API_KEY", "ZNG_API_KEY"):
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("ZENTRIX_JUDGE_API_KEY", TEST_TOKEN)


def evaluate(server, output, *arguments: str) -> int:
    return main(
        [
            "evaluate", str(RECORDS), "--config", str(COLUMNS), "--criteria", str(CRITERION),
            "--judge", server.openai_base_url, "--judge-model", "judge", "-o", str(output), "-q",
            *arguments,
        ]
    )  # fmt: skip


@pytest.mark.parametrize(
    ("arguments", "structured", "cap", "parallel"),
    [
        ([], True, 1024, 10),
        (["--judge-structured", "off", "--judge-max-tokens", "77"], False, 77, 10),
        (["--max-concurrency", "1", "--judge-rps", "50"], True, 1024, 1),
    ],
)
def test_judge_requests_follow_the_options(
    judge_env, tmp_path, arguments, structured, cap, parallel
):
    with judge_server() as server:
        assert evaluate(server, tmp_path / "r.json", *arguments) == 0
        bodies = [request.json() for request in server.requests if request.path == CHAT]
    assert len(bodies) == 9
    assert all(("response_format" in body) is structured for body in bodies)
    assert all(body["max_tokens"] == cap for body in bodies)


def test_timeout_bounds_a_judge_that_never_answers(judge_env, tmp_path, capsys):
    output = tmp_path / "r.json"
    with judge_server() as server:
        server.faults.script(["hang"] * 9, path=CHAT)
        started = time.perf_counter()
        code = evaluate(server, output, "--timeout", "1")
        elapsed = time.perf_counter() - started
    assert code == 1 and elapsed < 30
    assert "answer_grounding" in capsys.readouterr().err
    (metric,) = json.loads(output.read_text())["metrics"]
    codes = {
        error["code"] for record in metric["record_level_metrics"] for error in record["errors"]
    }
    assert codes == {"JUDGE_TIMEOUT"}
    assert metric["errors"][0]["message_en"].startswith("9 of 9 judge requests timed out")


@pytest.mark.parametrize(
    ("judge", "arguments", "timeout", "parallel"),
    [
        ("local-model", [], 300.0, 2),
        ("local-model", ["--timeout", "20"], 20.0, 2),
        ("local-model", ["--timeout", "0"], None, 2),
        ("http://127.0.0.1:1/v1", [], 60.0, 10),
    ],
)
def test_the_local_models_verdicts_get_a_longer_default_timeout(
    judge_env, monkeypatch, judge, arguments, timeout, parallel
):
    from zentrix_gov.cli import local_services
    from zentrix_gov.cli.judge import open_judge
    from zentrix_gov.cli.parser import build_parser

    @contextmanager
    def fake_server(quiet, **options):
        slots = SimpleNamespace(slots=2)
        yield SimpleNamespace(base_url="u", model_name="m", key="k", settings=slots)

    monkeypatch.setattr(local_services, "local_model_server", fake_server)
    command = ["evaluate", str(RECORDS), "--judge", judge, "--judge-model", "m", *arguments]
    with open_judge(build_parser().parse_args(command), quiet=True) as opened:
        options = opened.request_options
    assert (options.timeout, options.max_parallel) == (timeout, parallel)


def test_model_server_keeps_its_key_out_of_every_output(monkeypatch, tmp_path, capsys):
    from zentrix_gov.cli import local_services
    from zentrix_gov.cli.commands import model_server

    started = {}

    @contextmanager
    def fake_server(quiet, **options):
        started.update(options)
        yield SimpleNamespace(base_url="http://127.0.0.1:1/v1", model_name="local-model")

    monkeypatch.delenv("ZENTRIX_MODEL_API_KEY", raising=False)
    monkeypatch.setattr(local_services, "local_model_server", fake_server)
    monkeypatch.setattr(model_server, "wait_for_interrupt", lambda: None)
    key_file = tmp_path / "keys" / "model.key"
    assert main(["model-server", "--key-file", str(key_file)]) == 0
    key = key_file.read_text().strip()
    assert started["key"] == key and len(key) >= 24
    assert stat.S_IMODE(key_file.stat().st_mode) == 0o600
    said = capsys.readouterr()
    assert key not in said.out + said.err and str(key_file) in said.err
