"""Fixtures of the criteria metric tests: the fake provider."""

from tests.metrics.fake_critwise import fake_critwise  # noqa: F401 - a fixture
