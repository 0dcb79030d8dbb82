"""Labelled records and a command line against the local judge service, for the tests of
judges asked several times."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from tests.support.local_services import TEST_TOKEN
from zentrix_gov.cli import main

# Each answer's words are all in its context (the stand-in rates it 1: "Yes") or none are
# (rated 0: "No"), so a judge that gets a verdict the other way round changes it.
RECORDS = [
    {"id": "r1", "question": "Bags?", "answer": "Economy includes one checked bag.",
     "contexts": ["Economy includes one checked bag."], "grounded": "Yes", "support": 1},
    {"id": "r2", "question": "Dogs?", "answer": "Dogs fly free anywhere.",
     "contexts": ["Economy includes one checked bag."], "grounded": "No", "support": 0},
    {"id": "r3", "question": "Wifi?", "answer": "Wifi costs five euro.",
     "contexts": ["Wifi costs five euro."], "grounded": "no", "support": 0.5},
    {"id": "r4", "question": "Refunds?", "answer": "Refunds take ten days.",
     "contexts": ["Refunds take ten days."], "grounded": None, "support": None},
]  # fmt: skip


def criterion(options: tuple[str, str] = ("Yes", "No")) -> dict:
    return {
        "name": "grounding",
        "criteria": "Is the {answer} supported by the {contexts}?",
        "context_fields": ["contexts"],
        "options": [{"name": options[0], "value": 1}, {"name": options[1], "value": 0}],
    }


@pytest.fixture
def labelled(tmp_path: Path):
    """``labelled(records=RECORDS, options=("Yes", "No"))``: the records, config and
    criterion files, as the arguments ``evaluate`` takes before its judge."""

    def write(records: list[dict] = RECORDS, options: tuple[str, str] = ("Yes", "No")) -> list:
        path = tmp_path / "records.jsonl"
        path.write_text("".join(json.dumps(record) + "\n" for record in records))
        config = tmp_path / "config.json"
        config.write_text(
            json.dumps(
                {
                    "input_fields": ["question"],
                    "output_fields": ["answer"],
                    "context_fields": ["contexts"],
                    "record_id_field": "id",
                    "label_fields": {"grounding": "grounded", "rag_faithfulness": "support"},
                }
            )
        )
        criteria = tmp_path / "criterion.json"
        criteria.write_text(json.dumps(criterion(options)))
        return [path, "--config", config, "--criteria", criteria]

    return write


@pytest.fixture
def cli(monkeypatch, judge_service):
    """``cli(*args)``: the command line's exit code, with the local judge service's key."""
    monkeypatch.setenv("ZENTRIX_JUDGE_API_KEY", TEST_TOKEN)

    def run(*args: object) -> int:
        return main([str(arg) for arg in args])

    return run


def judged_by(server, model: str = "judge") -> list[str]:
    """``--judge`` options naming the local judge service with ``model``."""
    return ["--judge", server.openai_base_url, "--judge-model", model]
