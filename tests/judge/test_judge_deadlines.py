"""A verdict of the SDK's judge engine within its timeout, as a whole: retries, back-offs and
the server's Retry-After included, waiting for one of the judge's request slots not; built
as the judge providers build it, against the judge stand-in."""

from __future__ import annotations

import email.utils
import pickle
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from tests.support.local_services import judge_server
from zentrix_gov.cli.judge import judge_for
from zentrix_gov.engines.openai_judge import judge_engine
from zentrix_gov.entities.llm_judge import JudgeRequestOptions
from zentrix_gov.local.faults import Fault
from zentrix_gov.local.judge import PATH_CHAT
from zentrix_gov.utils.judge_answers import TIMEOUT, read_failure

# What a verdict may take beyond its timeout: thread start-up and a loaded machine.
MARGIN = 0.75


def judge_of(server, **options):
    return judge_for(server.openai_base_url, server.token, "judge", JudgeRequestOptions(**options))


def verdict(engine) -> tuple[str | None, float]:
    """The failure code of one verdict (None: answered), and its wall time."""
    started = time.perf_counter()
    (answer,) = engine.infer([{"source": "Is the sky blue?"}])
    failed = read_failure(answer)
    return (failed[0] if failed else None), time.perf_counter() - started


def http_date(seconds_from_now: int) -> str:
    return email.utils.formatdate(time.time() + seconds_from_now, usegmt=True)


@pytest.mark.parametrize(
    ("script", "latency", "timeout", "code", "least"),
    [
        # The server's wait fits before the deadline: honoured, then answered.
        (lambda: [Fault.status_code(429, retry_after="1")], 0.0, 3.0, None, 1.0),
        (lambda: [Fault.status_code(429, retry_after=http_date(2))], 0.0, 4.0, None, 1.0),
        # It does not: the verdict ends at once, without waiting.
        (lambda: [Fault.status_code(503, retry_after="30")], 0.0, 1.0, TIMEOUT, 0.0),
        (lambda: [Fault.status_code(429, retry_after=http_date(30))], 0.0, 1.0, TIMEOUT, 0.0),
        # Slow failures and back-offs share one deadline rather than a timeout each.
        (lambda: [503] * 6, 0.4, 1.0, TIMEOUT, 0.9),
    ],
    ids=["seconds fit", "date fits", "seconds too late", "date too late", "retries"],
)
def test_a_verdict_ends_within_its_timeout(judge_service, script, latency, timeout, code, least):
    judge_service.faults.script(script(), path=PATH_CHAT)
    judge_service.faults.latency = latency
    engine = judge_engine(judge_of(judge_service, timeout=timeout, max_retries=5), False)
    answered, elapsed = verdict(engine)
    assert answered == code
    assert least <= elapsed < timeout + MARGIN


def test_waiting_for_a_slot_of_the_judge_is_not_counted():
    # A model server answering one request at a time, 0.6 s each; three units at once.
    with judge_server(slots=1, latency=0.6) as server:
        judge = judge_of(server, timeout=1.0, max_parallel=1)
        engines = [judge_engine(judge, False) for _ in range(3)]
        with ThreadPoolExecutor(3) as pool:
            codes = [code for code, _ in pool.map(verdict, engines)]
        # A Ray worker's copy of the judge has slots of its own, and works.
        copied = judge_engine(pickle.loads(pickle.dumps(judge)), False)
        assert verdict(copied)[0] is None
    assert codes == [None] * 3
