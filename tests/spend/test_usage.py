"""Tokens as the judge's server counted them, stored per record and shown per metric; the
cost from litellm's price map, an override or a prices file, 0 for a local model, and no
cost (with the reason) for a model without a price."""

from __future__ import annotations

import json
import sqlite3

import pandas as pd
import pytest

from tests.support.local_services import judge_server
from zentrix_gov import runs
from zentrix_gov.cli import main
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.entities.llm_judge import JudgeRequestOptions
from zentrix_gov.local.faults import NO_USAGE
from zentrix_gov.local.judge import PATH_CHAT
from zentrix_gov.local.judge.openai_shapes import chat_prompt, count_tokens
from zentrix_gov.metrics import CriteriaMetric
from zentrix_gov.spend import NoPrice, Price, PriceBook, Spend, read_prices_file
from zentrix_gov.spend.usage import count_tokens as tokenizer_count

RECORDS = 6
CRITERION = {
    "name": "grounded",
    "criteria": "Is the {answer} supported by the {contexts}?",
    "context_fields": ["contexts"],
    "options": [{"name": "Yes", "value": 1}, {"name": "No", "value": 0}],
}


def frame() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "id": [f"r{index}" for index in range(RECORDS)],
            "answer": [f"Fare {index} includes {index % 3} bags." for index in range(RECORDS)],
            "contexts": [[f"Fare {index} includes one bag."] for index in range(RECORDS)],
        }
    )


CONFIGURATION = GenAIConfiguration(
    input_fields=[], output_fields=["answer"], context_fields=["contexts"], record_id_field="id"
)


@pytest.mark.parametrize("usage", ["from the server", "counted here"])
def test_each_record_stores_the_tokens_of_its_requests(tmp_path, usage):
    store = tmp_path / "runs.sqlite"
    with judge_server() as server:
        if usage == "counted here":
            server.faults.script([NO_USAGE] * RECORDS, path=PATH_CHAT)
        judge = judge_for(server.openai_base_url, server.token, "judge", JudgeRequestOptions())
        metric = CriteriaMetric(**CRITERION, llm_judge=judge)
        prices = PriceBook(Price(1.0, 2.0, "test"))
        run = runs.evaluate(frame(), [metric], CONFIGURATION, store=store, chunk_size=4,
                            spend=Spend(prices))  # fmt: skip
        bodies = {json.loads(request.body)["messages"][1]["content"]: request.json()
                  for request in server.requests}  # fmt: skip
    with sqlite3.connect(store) as db:
        rows = db.execute(
            "SELECT position, requests, input_tokens, output_tokens, counted, cost "
            "FROM record_usage WHERE run_id = ? ORDER BY position",
            (run.id,),
        ).fetchall()
    assert [row[0] for row in rows] == list(range(RECORDS))
    for position, requests, sent, received, counted, cost in rows:
        record = frame().iloc[position]
        (body,) = [body for text, body in bodies.items() if record["answer"] in text]
        prompt = chat_prompt(body)
        if usage == "from the server":
            # What the service said it counted (its own tokeniser), not ours.
            assert (sent, counted) == (count_tokens(prompt), 0)
        else:
            assert (sent, counted) == (tokenizer_count(prompt), 1)
        assert requests == 1 and received > 0
        assert cost == pytest.approx((sent * 1.0 + received * 2.0) / 1e6)
    spend = {summary.name: summary.spend for summary in run.summary()}["grounded"]
    assert (spend.input, spend.counted) == (
        sum(row[2] for row in rows),
        sum(row[4] for row in rows),
    )


@pytest.mark.parametrize(
    ("book", "model", "expected"),
    [
        (PriceBook(), "gpt-4o-mini", (0.15, 0.6)),  # litellm's bundled map
        (PriceBook(), "openai/gpt-4o-mini", (0.15, 0.6)),  # filed under its provider
        (PriceBook(Price(3.0, 4.0, "--judge-price")), "gpt-4o-mini", (3.0, 4.0)),
        (PriceBook(by_model={"mine": Price(5.0, 6.0, "file")}), "mine", (5.0, 6.0)),
        (PriceBook(local_models={"judge"}), "judge", (0.0, 0.0)),
        (PriceBook(), "no-such-model-anywhere", "litellm's price map has no model"),
        (PriceBook(), "mistral/gpt-4o-mini", "has no model 'mistral/gpt-4o-mini'"),
    ],
    ids=["map", "provider", "override", "file", "local", "unknown", "other provider"],
)
def test_prices(book, model, expected):
    price = book.price(model)
    if isinstance(expected, str):
        # Never a guess: no price, and why.
        assert isinstance(price, NoPrice) and expected in price.reason
        assert "--judge-price" in price.reason
        assert book.cost(model, 1000, 1000) is None
    else:
        assert (price.input_per_mtok, price.output_per_mtok) == pytest.approx(expected)
        assert book.cost(model, 2_000_000, 1_000_000) == pytest.approx(
            2 * expected[0] + expected[1]
        )


def test_a_prices_file_takes_every_spelling(tmp_path):
    path = tmp_path / "prices.json"
    path.write_text(
        json.dumps({"a": "1,2", "b": [3, 4], "c": {"input_per_mtok": 5, "output_per_mtok": 6}})
    )
    prices = read_prices_file(path)
    assert {name: (p.input_per_mtok, p.output_per_mtok) for name, p in prices.items()} == {
        "a": (1, 2), "b": (3, 4), "c": (5, 6)
    }  # fmt: skip


def test_the_command_line_shows_tokens_and_why_a_cost_is_unknown(tmp_path, capsys, monkeypatch):
    records = tmp_path / "records.jsonl"
    records.write_text(frame().to_json(orient="records", lines=True))
    config = tmp_path / "columns.json"
    columns = {"output_fields": ["answer"], "context_fields": ["contexts"], "record_id_field": "id"}
    config.write_text(json.dumps({"input_fields": [], **columns}))
    criteria = tmp_path / "grounded.json"
    criteria.write_text(json.dumps(CRITERION))
    store = tmp_path / "runs.sqlite"
    report = tmp_path / "report.html"
    with judge_server() as server:
        monkeypatch.setenv("ZENTRIX_JUDGE_API_KEY", server.token)
        assert main(["evaluate", str(records), "-c", str(config), "--criteria", str(criteria),
                     "--judge", server.openai_base_url, "--judge-model", "in-house-judge",
                     "--store", str(store), "-q"]) == 0  # fmt: skip
        served = sum(count_tokens(chat_prompt(request.json())) for request in server.requests)
    shown = capsys.readouterr().out
    header, _, row = shown.splitlines()[:3]
    assert header.split()[-2:] == ["tokens", "cost"]
    assert row.split()[-1] == "-"  # no price: no cost
    assert "cost of in-house-judge: unknown: litellm's price map has no model" in shown
    assert main(["runs", "--json", "--store", str(store)]) == 0
    (listed,) = json.loads(capsys.readouterr().out)
    assert listed["input_tokens"] == served and listed["judge_requests"] == RECORDS
    assert listed["cost_usd"] is None
    assert "in-house-judge: litellm's price map has no model" in listed["cost_unknown"]
    assert main(["report", "last", "-o", str(report), "--store", str(store)]) == 0
    assert f'data-field="tokens">{int(row.split()[-2].replace(",", "")):,}<' in report.read_text()
