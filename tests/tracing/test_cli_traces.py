"""evaluate --otel as users run it: a collector that is down or never answers leaves the
run as it was, what could not be sent is said once, no key or token reaches a span, and
--otel without an endpoint is refused."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tests.plugin_services import closed_port
from tests.support.local_services import detection_server, judge_server
from zentrix_gov.local.otlp import OTLPReceiver
from zentrix_gov.tracing.export import FLUSH_SECONDS

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
DETECTION_TOKEN = "zng-secret-4f1c2e9d"
JUDGE_KEY = "sk-judge-secret-7d3a91b0"


def evaluate(*args: str, env: dict[str, str], timeout: float = 300) -> tuple[int, str, float]:
    started = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-m", "zentrix_gov", "evaluate", *args],
        env=env, capture_output=True, text=True, timeout=timeout, cwd=ROOT,
    )  # fmt: skip
    return done.returncode, done.stderr, time.perf_counter() - started


def environment(tmp_path: Path, **extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OTEL_", "ZNG_"))}
    return {**env, "ZENTRIX_STORE": str(tmp_path / "runs.sqlite"), **extra}


def results(path: Path) -> dict:
    document = json.loads(path.read_text())
    for key in ("run_id", "detection_service", "started", "finished"):
        document.pop(key, None)
    return document


@pytest.mark.parametrize("collector", ["refuses", "never_answers"])
def test_a_collector_down_or_silent_leaves_the_run_as_it_was(collector, tmp_path):
    args = ["examples/records.jsonl", "--config", "examples/columns.json", "-m", "hap,pii"]
    code, _, plain_seconds = evaluate(*args, "-o", str(tmp_path / "plain.json"),
                                      env=environment(tmp_path))  # fmt: skip
    assert code == 0
    with OTLPReceiver("hang") as silent:
        url = silent.url if collector == "never_answers" else f"http://127.0.0.1:{closed_port()}"
        code, stderr, seconds = evaluate(
            *args, "--otel", "-o", str(tmp_path / "traced.json"),
            env=environment(tmp_path, OTEL_EXPORTER_OTLP_ENDPOINT=url),
        )  # fmt: skip
    assert code == 0, stderr
    assert results(tmp_path / "traced.json") == results(tmp_path / "plain.json")
    # Said once, at the end; nothing else from the exporter.
    dropped = [line for line in stderr.splitlines() if "could not be sent" in line]
    assert len(dropped) == 1 and dropped[0].startswith("note: traces: ")
    assert "Traceback" not in stderr and "opentelemetry" not in stderr
    assert seconds < plain_seconds + FLUSH_SECONDS + 4  # start-up of OpenTelemetry, a busy machine


@pytest.mark.parametrize("key_in", ["environment", "judge_url"])
def test_no_key_or_token_reaches_the_exported_spans(key_in, tmp_path):
    with (
        detection_server(token=DETECTION_TOKEN) as detection,
        judge_server(token=JUDGE_KEY) as judge,
        OTLPReceiver() as receiver,
    ):
        url = judge.url + "/v1"
        if key_in == "judge_url":  # the key as the URL's password (refused by this judge)
            url = url.replace("http://", f"http://user:{JUDGE_KEY}@")
        env = environment(
            tmp_path, OTEL_EXPORTER_OTLP_ENDPOINT=receiver.url, ZENTRIX_JUDGE_API_KEY=JUDGE_KEY,
            ZNG_API_KEY=DETECTION_TOKEN, ZNG_SERVICE_INSTANCE_ID=detection.instance_id,
            ZNG_URL=detection.url, ZNG_VERSION="local",
        )  # fmt: skip
        code, stderr, _ = evaluate(
            "examples/records.jsonl", "--config", "examples/columns.json", "-m", "hap",
            "--criteria", "examples/criteria/answer_grounding.yaml", "--judge", url,
            "--judge-model", "judge", "--otel", "--otel-capture-content", "--concurrent",
            env=env,
        )  # fmt: skip
    assert code == (0 if key_in == "environment" else 1), stderr
    names = {span.name for span in receiver.spans}
    assert {"run", "unit hap", "POST", "chat judge"} <= names
    refused = [s for s in receiver.spans if s.name == "chat judge" and "error.type" in s.attributes]
    assert bool(refused) is (key_in == "judge_url")
    sent = b"".join(receiver.bodies)
    for secret in (DETECTION_TOKEN, JUDGE_KEY):
        assert secret.encode() not in sent


@pytest.mark.parametrize(
    ("args", "env", "message"),
    [
        (["--otel"], {}, "OTEL_EXPORTER_OTLP_ENDPOINT"),
        (["--otel-capture-content"], {"OTEL_EXPORTER_OTLP_ENDPOINT": "http://127.0.0.1:9"},
         "--otel-capture-content goes with --otel"),
    ],
)  # fmt: skip
def test_otel_options_that_cannot_work_are_refused_before_any_request(args, env, message, tmp_path):
    records = ["examples/records.jsonl", "-c", "examples/columns.json", "-m", "hap"]
    code, stderr, _ = evaluate(*records, *args, env=environment(tmp_path, **env))
    assert code == 2
    assert stderr.strip().splitlines()[-1].startswith("error: ")
    assert message in stderr


def test_risk_otel_traces_the_model_calls_and_each_benchmark(tmp_path):
    with OTLPReceiver() as receiver:
        env = environment(tmp_path, OTEL_EXPORTER_OTLP_ENDPOINT=receiver.url)
        done = subprocess.run(
            [sys.executable, "-m", "zentrix_gov", "risk", "--model",
             "examples.rule_based_model:answer", "--risks", "harmful", "--samples", "5",
             "--otel", "-q"],
            env=env, capture_output=True, text=True, timeout=300, cwd=ROOT,
        )  # fmt: skip
    assert done.returncode == 0, done.stderr
    (evaluation,) = [span for span in receiver.spans if span.name == "risk evaluation"]
    calls = [span for span in receiver.spans if span.name == "model call"]
    assert calls and all(call.parent_id == evaluation.span_id for call in calls)
    names = sorted(attributes["gen_ai.evaluation.name"] for _, attributes in receiver.events())
    assert names == ["harmful/harmful_instructions", "harmful/toxic_requests"]
