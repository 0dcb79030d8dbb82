"""How the provider spreads one evaluation's requests over the connection
limit: order, per-record errors, cancellation and the session's options."""

import asyncio
from types import SimpleNamespace

import pytest

from zentrix_gov.providers import detectwire


class FakeSession:
    """Stands in for aiohttp.ClientSession; records how it was opened and closed."""

    opened = []

    def __init__(self, limit, **options):
        self.connector = SimpleNamespace(limit=limit)
        self.options = options
        self.closed = False
        FakeSession.opened.append(self)

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        self.closed = True


@pytest.fixture
def session_limit(monkeypatch):
    """Replaces the provider's HTTP library by one whose sessions allow `limit` connections."""
    FakeSession.opened = []

    def use(limit):
        fake = SimpleNamespace(
            ClientSession=lambda **options: FakeSession(limit, **options),
            ClientTimeout=lambda total: ("timeout", total),
        )
        monkeypatch.setattr(detectwire, "aiohttp", fake)

    return use


class Flight:
    """A send_with_retries that counts the requests in flight."""

    def __init__(self, fail_on=(), delay=0.001):
        self.now = self.peak = 0
        self.fail_on = set(fail_on)
        self.delay = delay
        self.cancelled = 0

    async def __call__(self, payload, session):
        self.now += 1
        self.peak = max(self.peak, self.now)
        try:
            await asyncio.sleep(self.delay * (1 + int(payload[1:]) % 3))
        except asyncio.CancelledError:
            self.cancelled += 1
            raise
        finally:
            self.now -= 1
        if payload in self.fail_on:
            raise ValueError(f"broken {payload}")
        return {"reply": payload}


def compute(provider, payloads):
    return asyncio.run(provider._Detectwire__compute_metric(payloads))


@pytest.mark.parametrize(("limit", "expected_peak"), [(3, 3), (100, 20), (0, 20)])
def test_in_flight_requests_never_exceed_the_connection_limit(
    provider_for, session_limit, limit, expected_peak
):
    session_limit(limit)
    provider = provider_for("hap")
    provider.send_with_retries = flight = Flight()
    payloads = [f"p{i}" for i in range(20)]
    responses = compute(provider, payloads)
    assert flight.peak == expected_peak
    assert responses == [{"reply": payload} for payload in payloads]
    (session,) = FakeSession.opened
    assert session.closed


def test_an_escaping_error_takes_its_records_place_and_the_rest_go_on(provider_for, session_limit):
    session_limit(2)
    provider = provider_for("hap")
    provider.send_with_retries = Flight(fail_on={"p1", "p4"})
    responses = compute(provider, [f"p{i}" for i in range(6)])
    assert [type(r).__name__ for r in responses] == [
        "dict",
        "ValueError",
        "dict",
        "dict",
        "ValueError",
        "dict",
    ]
    assert str(responses[4]) == "broken p4"
    assert responses[5] == {"reply": "p5"}


def test_cancellation_reaches_every_request_in_flight_and_closes_the_session(
    provider_for, session_limit
):
    session_limit(4)
    provider = provider_for("hap")
    provider.send_with_retries = flight = Flight(delay=10)

    async def main():
        task = asyncio.ensure_future(
            provider._Detectwire__compute_metric([f"p{i}" for i in range(50)])
        )
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert flight.cancelled == 4 and flight.now == 0
    assert FakeSession.opened[0].closed


def test_the_time_out_is_given_to_the_session_only_when_set(
    provider_for, session_limit, monkeypatch
):
    session_limit(10)
    provider = provider_for("hap")
    provider.send_with_retries = Flight()
    compute(provider, ["p0"])
    monkeypatch.setattr(detectwire.Detectwire, "REQUEST_TIMEOUT", 2.5)
    compute(provider, ["p0"])
    assert [session.options for session in FakeSession.opened] == [
        {},
        {"timeout": ("timeout", 2.5)},
    ]


def test_no_payloads_open_and_close_a_session_without_sending(provider_for, session_limit):
    session_limit(100)
    provider = provider_for("hap")
    provider.send_with_retries = flight = Flight()
    assert compute(provider, []) == []
    assert flight.peak == 0 and FakeSession.opened[0].closed
