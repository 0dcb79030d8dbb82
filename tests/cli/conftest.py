"""Helpers for the command line, the metric classes and ``zentrix_gov.evaluate`` tests.

The server and its ``api_client`` come from ``tests/plugin_services.py``, the fake criteria
provider (``fake_critwise``) from ``tests/metrics/fake_critwise.py``.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tests.metrics.fake_critwise import fake_critwise  # noqa: F401 - a fixture
from tests.plugin_services import closed_port  # noqa: F401 - the tests import it from here
from zentrix_gov.config import GenAIConfiguration

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
RECORDS = EXAMPLES / "records.jsonl"
COLUMNS = EXAMPLES / "columns.json"
EXAMPLE_METRICS = (
    "hap,pii,keyword,regex,topic_relevance,answer_relevance,faithfulness,"
    "context_relevance,tool_call_accuracy,harm"
)


def clean_env(**extra: str) -> dict[str, str]:
    """The process environment without service settings, plus ``extra``."""
    env = {
        key: value
        for key, value in os.environ.items()
        if not key.startswith("ZNG_") and key != "ZENTRIX_SERVER"
    }
    env["PYTHONPATH"] = str(ROOT / "python")
    env.update(extra)
    return env


def run_cli(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "zentrix_gov", *map(str, args)],
        capture_output=True,
        text=True,
        env=env if env is not None else clean_env(),
        cwd=ROOT,
        timeout=120,
    )


def example_records() -> list[dict]:
    return [json.loads(line) for line in RECORDS.read_text().splitlines() if line.strip()]


@pytest.fixture
def configuration() -> GenAIConfiguration:
    return GenAIConfiguration(
        input_fields=["question"],
        output_fields=["answer"],
        context_fields=["contexts"],
        record_id_field="id",
    )
