from __future__ import annotations

from collections.abc import Iterator

import pytest

from tests.risk.fake_platform import FakePlatform, fake_platform


@pytest.fixture(scope="module")
def shared_platform() -> Iterator[FakePlatform]:
    with fake_platform() as platform:
        yield platform


@pytest.fixture
def platform(shared_platform: FakePlatform) -> Iterator[FakePlatform]:
    shared_platform.requests.clear()
    shared_platform.delay = 0.0
    shared_platform.most_in_flight = 0
    yield shared_platform
