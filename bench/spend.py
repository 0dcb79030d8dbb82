"""Spend under control: the judge's adaptive rate, budgets, the estimate, and connections
shared across a run's units. Prints one JSON line per case, with the machine's load.

- rate: 2,000 criteria records through `evaluate` (a subprocess) against the local judge
  service limited to 20 requests a second (`JudgeServer(rate_limit=20)`, as
  `judge-service --rate-limit 20`), --max-concurrency 64: verdicts a second over the run,
  verdicts lost (records with an error), and 429s as a share of the requests the service
  received; then the same with a fixed concurrency of 64 (the judge's `adaptive` off: the
  behaviour before, where a 429 counts against --max-retries), for comparison.
- budget: the same records, priced at $1 in and $2 out per million tokens, with
  --judge-max-tokens 256; a budget of half the estimate's upper cost (`--estimate`) stops
  the run; the overshoot (spend beyond the budget) against what the requests in flight at
  the stop could spend; the run resumed with a new budget, and its export against an
  uninterrupted run's.
- estimate: `--estimate`'s prompt tokens against the prompt tokens the judge service
  counted for the uninterrupted run.
- latency: 10,000 records through one detector metric at 50 ms service latency, through
  `runs.evaluate` with the default chunk size (1,000), against the bound
  ceil(N / 100) x 50 ms; with the run's units sharing one session (now), and with each
  unit opening its own (before), in the same process.

Usage: python bench/spend.py [case ...]
"""

from __future__ import annotations

import asyncio
import json
import math
import os
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from _support import emit

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("UNITXT_USE_ONLY_LOCAL_CATALOGS", "True")
os.environ.setdefault("LITELLM_LOCAL_MODEL_COST_MAP", "True")

RECORDS = int(os.environ.get("BENCH_SPEND_RECORDS", "2000"))
TOKEN = "bench-token"
PRICE = "1,2"  # dollars per million tokens in, out
CRITERION = {
    "name": "grounded",
    "criteria": "Is every claim of the {answer} supported by the retrieved {contexts}?",
    "context_fields": ["contexts"],
    "options": [{"name": "Yes", "value": 1}, {"name": "No", "value": 0}],
}
WORK = Path(tempfile.mkdtemp(prefix="bench-spend-"))


def criteria_inputs(count: int = RECORDS) -> tuple[Path, Path, Path]:
    records = WORK / f"records-{count}.jsonl"
    with records.open("w") as handle:
        for index in range(count):
            record = {
                "id": f"r{index}",
                "question": f"How many bags does fare {index} include?",
                "answer": f"Fare {index} includes {index % 3 + 1} checked bags of 23 kg.",
                "contexts": [f"Fare {index} includes one checked bag of up to 23 kg."],
                # A timestamp of its own: runs of the records export alike.
                "record_timestamp": "2026-01-01T00:00:00",
            }
            handle.write(json.dumps(record) + "\n")
    config = WORK / "columns.json"
    config.write_text(
        json.dumps(
            {
                "input_fields": ["question"],
                "output_fields": ["answer"],
                "context_fields": ["contexts"],
                "record_id_field": "id",
            }
        )
    )
    criteria = WORK / "grounded.json"
    criteria.write_text(json.dumps(CRITERION))
    return records, config, criteria


def evaluate(
    url: str, store: Path, *extra: str, records: int = RECORDS, resume: str | None = None
) -> tuple[int, str, float]:
    """Run `evaluate` against the judge at ``url`` (or resume the run ``resume``); exit code,
    output, seconds."""
    env = {**os.environ, "ZENTRIX_STORE": str(store), "ZENTRIX_JUDGE_API_KEY": TOKEN}
    if resume is None:
        data, config, criteria = criteria_inputs(records)
        what = [str(data), "-c", str(config), "--criteria", str(criteria)]
    else:
        what = ["--resume", resume]
    command = [sys.executable, "-m", "zentrix_gov", "evaluate", *what, "--judge", url + "/v1",
               "--judge-model", "judge", *extra]  # fmt: skip
    started = time.perf_counter()
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=3600)
    return done.returncode, done.stdout + done.stderr, time.perf_counter() - started


def stored(store: Path, query: str) -> list[tuple]:
    with sqlite3.connect(store) as db:
        return db.execute(query).fetchall()


def run_seconds(store: Path) -> float:
    """The judging time of the store's only run, from its stored start and end."""
    from datetime import datetime

    started, ended = stored(store, "SELECT started, ended FROM runs")[0]
    return (datetime.fromisoformat(ended) - datetime.fromisoformat(started)).total_seconds()


def bench_rate() -> None:
    from zentrix_gov.local.judge.server import JudgeServer

    figures = {}
    for mode, extra in (("adaptive", ()), ("fixed_64", ("--judge-fixed-concurrency",))):
        store = WORK / f"rate-{mode}.sqlite"
        with JudgeServer(token=TOKEN, request_log_size=0, rate_limit=20) as server:
            code, output, seconds = evaluate(
                server.url, store, "--max-concurrency", "64", "-q", *extra
            )
            traffic = server.traffic
            sent, limited = traffic.requests, traffic.rate_limited
        assert code in (0, 1), output[-2000:]
        lost = stored(store, "SELECT count(*) FROM results WHERE status = 'error'")[0][0]
        judged = run_seconds(store)
        figures[mode] = {
            "verdicts_per_second": round((RECORDS - lost) / judged, 1),
            "command_seconds": round(seconds, 1),
            "run_seconds": round(judged, 1),
            "verdicts_lost": lost,
            "requests": sent,
            "answered_429": limited,
            "share_429": round(limited / sent, 3) if sent else None,
        }
    emit("rate", records=RECORDS, rate_limit=20, max_concurrency=64, **figures,
         targets={"verdicts_per_second": 18, "verdicts_lost": 0, "share_429": 0.10})  # fmt: skip


def estimate_figures(url: str, *extra: str) -> dict[str, float]:
    """--estimate's prompt tokens and upper cost for the criteria records."""
    code, output, _ = evaluate(url, WORK / "never.sqlite", "--estimate", *extra)
    assert code == 0, output[-2000:]
    assert not (WORK / "never.sqlite").exists(), "--estimate stored a run"
    row = next(line for line in output.splitlines() if line.startswith("grounded"))
    cells = row.split()
    return {
        "prompt_tokens": int(cells[3].replace(",", "")),
        "cost_high": float(cells[-1].lstrip("$").replace(",", "")),
    }


def comparable(path: Path) -> tuple[dict, str]:
    document = json.loads(path.read_text())
    document.pop("detection_service", None)
    return document, path.with_suffix(".csv").read_text()


def bench_budget_and_estimate() -> None:
    from zentrix_gov.local.judge.server import JudgeServer

    priced = ("--judge-price", PRICE, "--judge-max-tokens", "256", "--max-concurrency", "16")
    with JudgeServer(token=TOKEN, request_log_size=RECORDS * 3) as server:
        estimate = estimate_figures(server.url, *priced)
        sent_by_estimate = len(server.requests)
        whole = WORK / "whole.sqlite"
        code, output, _ = evaluate(server.url, whole, *priced, "-q", "-o", str(WORK / "whole.json"))
        assert code == 0, output[-2000:]
        served = [request.json() for request in server.requests]
        budget = round(estimate["cost_high"] / 2, 6)
        halted = WORK / "halted.sqlite"
        code, stopped_output, _ = evaluate(server.url, halted, *priced, "--budget-usd", str(budget))
        run_id, status, reason = stored(halted, "SELECT id, status, error FROM runs")[0]
        session = stored(halted, "SELECT cost, in_flight_at_stop, requests FROM spend_sessions")[0]
        done_before = stored(halted, "SELECT count(*) FROM results")[0][0]
        code_resumed, resumed_output, _ = evaluate(
            server.url, halted, "--budget-usd", "100", "-q", "-o", str(WORK / "resumed.json"),
            resume=run_id,
        )  # fmt: skip
        assert code_resumed == 0, resumed_output[-2000:]
    # What the service counted for the uninterrupted run (it answers prompts as their
    # words and punctuation, the usage it returns).
    from zentrix_gov.local.judge.openai_shapes import chat_prompt, count_tokens

    real_prompt_tokens = sum(count_tokens(chat_prompt(body)) for body in served)
    spent, in_flight, requests = session
    per_request = (spent or 0) / requests if requests else 0.0
    emit(
        "budget",
        records=RECORDS,
        estimate_cost_high_usd=estimate["cost_high"],
        budget_usd=budget,
        stop_exit=code,
        stop_status=status,
        stop_reason=reason,
        last_line=stopped_output.strip().splitlines()[-1],
        records_stored_at_stop=done_before,
        spent_usd=spent,
        overshoot_usd=round(max(0.0, (spent or 0) - budget), 6),
        in_flight_at_stop=in_flight,
        in_flight_cost_bound_usd=round(in_flight * per_request, 6) if in_flight else 0.0,
        resumed_exit=code_resumed,
        export_identical=comparable(WORK / "resumed.json") == comparable(WORK / "whole.json"),
    )
    emit(
        "estimate",
        records=RECORDS,
        requests_sent_by_estimate=sent_by_estimate,
        estimated_prompt_tokens=estimate["prompt_tokens"],
        served_prompt_tokens=real_prompt_tokens,
        ratio=round(estimate["prompt_tokens"] / real_prompt_tokens, 3),
        target="within 15%",
    )


# The detection service in a process of its own (as a deployed one would be): it prints its
# URL, serves until a line comes on its standard input, then prints the connections it saw.
_SERVICE = """
import sys
from zentrix_gov.local.server import DetectionServer
with DetectionServer(token=sys.argv[1], latency=float(sys.argv[2]), request_log_size=0) as s:
    print(s.url, flush=True)
    for line in sys.stdin:
        print(s.connections.opened, flush=True)
        s.connections.clear()
"""


def bench_latency(records: int = 10_000, latency: float = 0.05, repeats: int = 3) -> None:
    import pandas as pd

    from zentrix_gov import runs
    from zentrix_gov.config import GenAIConfiguration
    from zentrix_gov.providers import detectwire

    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from tests.plugin_services import client_for

    questions = [f"What does clause {index} say about fees?" for index in range(records)]
    frame = pd.DataFrame({"question": questions})
    configuration = GenAIConfiguration(input_fields=["question"])
    bound = math.ceil(records / 100) * latency
    shared = detectwire.run_session
    walls: dict[str, list[float]] = {"shared": [], "per_unit": []}
    connections: dict[str, int] = {}
    command = [sys.executable, "-c", _SERVICE, TOKEN, str(latency)]
    service = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        url = service.stdout.readline().strip()
        client = client_for(SimpleNamespace(url=url, token=TOKEN, instance_id="local-instance"))
        for _ in range(repeats):
            for mode in walls:
                detectwire.run_session = shared if mode == "shared" else (lambda timeout: None)
                store = WORK / f"latency-{mode}-{len(walls[mode])}.sqlite"
                started = time.perf_counter()
                work = runs.evaluate_async(
                    frame, ["hap"], configuration, store=store, api_client=client
                )
                run = asyncio.run(work)
                walls[mode].append(time.perf_counter() - started)
                assert run.status == "complete"
                service.stdin.write("count\n")
                service.stdin.flush()
                connections[mode] = int(service.stdout.readline())
    finally:
        detectwire.run_session = shared
        service.stdin.close()
        service.wait(timeout=30)
    medians = {mode: sorted(values)[len(values) // 2] for mode, values in walls.items()}
    emit("latency", records=records, latency_s=latency, chunk_size=1000, bound_s=bound,
         wall_s=round(medians["shared"], 2), ratio=round(medians["shared"] / bound, 3),
         per_unit_sessions_wall_s=round(medians["per_unit"], 2),
         per_unit_sessions_ratio=round(medians["per_unit"] / bound, 3),
         connections_shared=connections["shared"], connections_per_unit=connections["per_unit"],
         target=1.25)  # fmt: skip


CASES = {"rate": bench_rate, "budget": bench_budget_and_estimate, "latency": bench_latency}

if __name__ == "__main__":
    for case in sys.argv[1:] or list(CASES):
        CASES[case]()
