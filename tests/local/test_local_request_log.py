"""The request log keeps the latest requests only, so a long-running server stays small."""

from __future__ import annotations

import asyncio

import aiohttp
import pytest
from multidict import CIMultiDict

from tests.support.local_services import detection_server, post_json
from zentrix_gov.local.detection import RecordedRequest, RequestLog


def recorded(n: int) -> RecordedRequest:
    return RecordedRequest("POST", "/p", CIMultiDict(), f'{{"n": {n}}}')


class TestBoundedLog:
    def test_oldest_entries_give_way_and_are_counted(self):
        log = RequestLog(max_requests=3)
        for n in range(5):
            log.append(recorded(n))
        assert [r.json()["n"] for r in log] == [2, 3, 4]
        assert len(log) == 3 and log[0].json()["n"] == 2
        assert log.dropped == 2
        log.clear()
        assert len(log) == 0 and log.dropped == 0

    def test_zero_keeps_nothing(self):
        log = RequestLog(max_requests=0)
        log.append(recorded(1))
        assert list(log) == [] and log.dropped == 1

    @pytest.mark.parametrize("bad", [-1, 2.5, None, True])
    def test_size_must_be_a_count(self, bad):
        with pytest.raises((TypeError, ValueError)):
            RequestLog(max_requests=bad)

    def test_server_keeps_its_latest_requests(self):
        with detection_server(request_log_size=4) as server:

            async def go():
                async with aiohttp.ClientSession() as session:
                    for n in range(10):
                        body = {"detectors": {"hap": {}}, "input": f"text {n}"}
                        assert (await post_json(session, server, body)).status == 200

            asyncio.run(go())
            assert [r.json()["input"] for r in server.requests] == [
                f"text {n}" for n in range(6, 10)
            ]
            assert server.requests.dropped == 6
