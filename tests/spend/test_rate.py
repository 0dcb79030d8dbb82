"""The judge's rate adapts: its concurrency halves on 429/503 and grows back, and a
Retry-After (seconds, an HTTP date, or retry-after-ms) holds every request of the judge;
seen from the local judge service, which counts what arrives."""

from __future__ import annotations

import email.utils
import time

import pytest

from tests.support.local_services import judge_server
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.engines.judge_channel import channel_of
from zentrix_gov.engines.openai_judge import judge_engine
from zentrix_gov.entities.llm_judge import JudgeRequestOptions
from zentrix_gov.local.faults import Fault
from zentrix_gov.local.judge import PATH_CHAT
from zentrix_gov.utils.judge_answers import read_failure


def judge_of(server, **options):
    return judge_for(server.openai_base_url, server.token, "judge", JudgeRequestOptions(**options))


def prompts(count: int) -> list[dict[str, str]]:
    return [{"source": f"Question: is {index} even?\nPrediction: yes"} for index in range(count)]


@pytest.mark.parametrize("status", [429, 503])
def test_the_limit_halves_on_overload_and_grows_back(status):
    # Answers take long enough for the client to send all eight first tries, however busy.
    with judge_server(latency=0.3) as server:
        judge = judge_of(server, max_parallel=8, timeout=30)
        # The first eight requests are all turned away, with no wait asked for.
        server.faults.script([Fault.status_code(status, retry_after="0")] * 8, path=PATH_CHAT)
        answers = judge_engine(judge, False).infer(prompts(80))
        arrivals = [in_flight for _, in_flight in server.traffic.arrivals]
    assert not any(read_failure(answer) for answer in answers)
    limit = channel_of(judge.request_options).limit
    # One halving for the whole turned-away round, not one per answer.
    assert [entry.limit for entry in limit.lowered] == [4]
    assert max(arrivals[:8]) == 8
    # The tries that follow wait for the lowered limit ...
    assert max(arrivals[8:12]) <= 4
    assert max(arrivals[8:16]) <= 5
    # ... which grows back by one after each stretch of successes, up to --max-concurrency.
    assert limit.limit == 8
    assert max(arrivals[-16:]) > 4


def http_date(seconds_from_now: float) -> str:
    return email.utils.formatdate(time.time() + seconds_from_now, usegmt=True)


@pytest.mark.parametrize(
    "fault",
    [
        lambda: Fault.status_code(429, retry_after="2"),
        lambda: Fault.status_code(429, retry_after=http_date(3)),
        lambda: Fault("status", 429, headers=(("retry-after-ms", "1500"),)),
    ],
    ids=["seconds", "http date", "milliseconds"],
)
def test_a_retry_after_holds_every_request_of_the_judge(fault):
    with judge_server() as server:
        judge = judge_of(server, max_parallel=2, timeout=30)
        # The request beside the turned-away one is answered half a second later: by then
        # the client has read the 429, however busy the machine.
        server.faults.script([fault(), Fault.delayed(0.5)], path=PATH_CHAT)
        started = time.monotonic()
        answers = judge_engine(judge, False).infer(prompts(6))
        arrivals = [at - started for at, _ in server.traffic.arrivals]
    assert not any(read_failure(answer) for answer in answers)
    # The turned-away request and the one beside it arrive at once; everything sent after
    # the 429 waits out the hold (at least 1.4 s), not only the request that got it.
    assert len(arrivals) == 7
    assert arrivals[1] < 1.0
    assert min(arrivals[2:]) >= 1.4


def test_a_fixed_concurrency_keeps_its_limit():
    with judge_server(latency=0.05) as server:
        judge = judge_of(server, max_parallel=4, timeout=30, adaptive=False, max_retries=3)
        server.faults.script([Fault.status_code(429, retry_after="0")] * 4, path=PATH_CHAT)
        judge_engine(judge, False).infer(prompts(20))
        arrivals = [in_flight for _, in_flight in server.traffic.arrivals]
    assert channel_of(judge.request_options).limit.lowered == []
    assert max(arrivals[4:12]) == 4


def test_the_summary_says_when_the_limit_was_lowered_and_to_what(tmp_path):
    from tests.spend.test_usage import CONFIGURATION, CRITERION, frame
    from zentrix_gov import runs
    from zentrix_gov.metrics import CriteriaMetric
    from zentrix_gov.runs.store import RunStore
    from zentrix_gov.runs.usage import spend_lines

    with judge_server(latency=0.05) as server:
        judge = judge_of(server, max_parallel=4, timeout=30)
        server.faults.script([Fault.status_code(429, retry_after="0")] * 4, path=PATH_CHAT)
        metric = CriteriaMetric(**CRITERION, llm_judge=judge)
        run = runs.evaluate(frame(), [metric], CONFIGURATION, store=tmp_path / "runs.sqlite")
    with RunStore(tmp_path / "runs.sqlite") as store:
        (line,) = [line for line in spend_lines(store, run.id) if "429" in line]
    assert line.startswith("grounded: the judge answered 4 requests 429/503")
    assert "lowered first at 20" in line and "down to 2 requests at once" in line
