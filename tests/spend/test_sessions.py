"""A run's units share one HTTP session with the detection service, counted as the
connections the local service saw; a direct caller of the provider still gets a session
of its own per call."""

from __future__ import annotations

import asyncio

import pandas as pd

from zentrix_gov import runs
from zentrix_gov.config import GenAIConfiguration
from zentrix_gov.providers.detectwire import Detectwire

RECORDS, CHUNK = 300, 100
CONFIGURATION = GenAIConfiguration(input_fields=["question"])


def frame() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "question": [f"Is fare {index} refundable?" for index in range(RECORDS)],
            "record_id": [str(index) for index in range(RECORDS)],
        }
    )


def test_the_units_of_a_run_share_their_connections(server, api_client, tmp_path):
    # Slow replies: every one of a session's 100 connections is in use at once.
    server.faults.latency = 0.05
    server.connections.clear()
    run = runs.evaluate(frame(), ["hap"], CONFIGURATION, store=tmp_path / "runs.sqlite",
                        chunk_size=CHUNK, api_client=api_client)  # fmt: skip
    assert run.status == "complete"
    shared = server.connections.opened

    server.connections.clear()

    async def one_call_per_chunk() -> None:
        for first in range(0, RECORDS, CHUNK):
            chunk = frame().iloc[first : first + CHUNK].reset_index(drop=True)
            provider = Detectwire(CONFIGURATION, "hap", "HAP", api_client=api_client)
            await provider.evaluate_async(chunk)

    asyncio.run(one_call_per_chunk())
    per_call = server.connections.opened
    # The run's three units together open no more than one session's worth (its pool of
    # 100); three direct calls open a session, and its connections, each.
    assert 0 < shared <= CHUNK
    assert per_call > 2 * CHUNK
