"""A run exported to a real Phoenix server and read back through Phoenix's client."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("phoenix.server", reason="the 'phoenix' extra is not installed")
pytest.importorskip("phoenix.client", reason="the 'phoenix' extra is not installed")

from tests.support.phoenix import phoenix_server

pytestmark = [pytest.mark.phoenix, pytest.mark.slow]
ROOT = Path(__file__).resolve().parents[2]


def read_spans(client, expected: int, seconds: float = 60) -> list[dict]:
    """The default project's spans, once Phoenix has stored ``expected`` of them."""
    deadline = time.monotonic() + seconds
    while True:
        spans = client.spans.get_spans(project_identifier="default", limit=1000)
        if len(spans) >= expected or time.monotonic() > deadline:
            return spans
        time.sleep(1)


def test_a_run_exported_to_phoenix_reads_back_whole(tmp_path):
    from phoenix.client import Client

    with phoenix_server(tmp_path) as url:
        env = {**os.environ, "OTEL_EXPORTER_OTLP_ENDPOINT": url,
               "ZENTRIX_STORE": str(tmp_path / "runs.sqlite")}  # fmt: skip
        done = subprocess.run(
            [sys.executable, "-m", "zentrix_gov", "evaluate", "examples/records.jsonl",
             "--config", "examples/columns.json", "-m", "hap",
             "--criteria", "examples/criteria/answer_grounding.yaml", "--judge", "local",
             "--concurrent", "--otel", "-q"],
            env=env, capture_output=True, text=True, timeout=600, cwd=ROOT,
        )  # fmt: skip
        assert done.returncode == 0, done.stderr[-2000:]
        # run + 2 units + 13 detection requests + 9 judge requests (4 records lack contexts)
        spans = read_spans(Client(base_url=url), 25)
        if os.environ.get("ZENTRIX_TRACE_SCREENSHOT"):
            screenshot(url, spans, Path(os.environ["ZENTRIX_TRACE_SCREENSHOT"]))
    assert len(spans) == 25
    by_id = {span["context"]["span_id"]: span for span in spans}
    (run,) = [span for span in spans if span["name"] == "run"]
    assert run["attributes"]["zentrix.run.metrics"] == ["hap", "answer_grounding"]
    units = {span["name"]: span for span in spans if span["name"].startswith("unit ")}
    assert set(units) == {"unit hap", "unit answer_grounding"}
    assert all(unit["parent_id"] == run["context"]["span_id"] for unit in units.values())
    for name, count in (("POST", 13), ("chat judge", 9)):
        requests = [span for span in spans if span["name"] == name]
        assert len(requests) == count
        assert {by_id[span["parent_id"]]["name"] for span in requests} == {
            "unit hap" if name == "POST" else "unit answer_grounding"
        }
    chat = next(span for span in spans if span["name"] == "chat judge")
    assert chat["attributes"]["gen_ai.operation.name"] == "chat"
    assert chat["attributes"]["gen_ai.usage.input_tokens"] > 0
    events = [(unit, event) for unit in units.values() for event in unit.get("events", [])]
    assert len(events) == 13 + 9
    assert {event["name"] for _, event in events} == {"gen_ai.evaluation.result"}
    assert {event["attributes"]["gen_ai.evaluation.name"] for _, event in events} == {
        "hap", "answer_grounding"
    }  # fmt: skip


def screenshot(url: str, spans: list[dict], path: Path) -> None:
    """The run's trace in Phoenix's UI, as docs/tracing.md shows it."""
    from phoenix.client import Client

    from tests.support.browser import headless_chromium

    trace_id = next(span for span in spans if span["name"] == "run")["context"]["trace_id"]
    project = Client(base_url=url).projects.get(project_name="default")["id"]
    with headless_chromium(1400, 900) as browser:
        browser.get(f"{url}/projects/{project}/traces/{trace_id}")
        time.sleep(10)  # the page draws the trace after loading it
        browser.save_screenshot(str(path))
