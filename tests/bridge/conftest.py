import asyncio

import pytest

from tests.bridge import twins
from zentrix_gov import _coro_probe as native


@pytest.fixture(params=["native", "async def"])
def impl(request):
    """The native probe coroutines, or their `async def` twins."""
    return native if request.param == "native" else twins


async def later(value, delay=0.0):
    await asyncio.sleep(delay)
    return value


async def fail(message="bad"):
    await asyncio.sleep(0)
    raise ValueError(message)


class Steps:
    """An awaitable whose iterator records what is sent and thrown into it."""

    def __init__(self):
        self.seen = []

    def __await__(self):
        try:
            self.seen.append(("sent", (yield "first")))
            self.seen.append(("sent", (yield "second")))
            return "finished"
        except BaseException as error:
            self.seen.append(("thrown", type(error).__name__))
            raise


class Recorder:
    """An async context manager that records what __aexit__ receives and
    awaits during its exit, as a real session's close does."""

    def __init__(self, suppress=False):
        self.suppress = suppress
        self.exits = []

    async def __aenter__(self):
        await asyncio.sleep(0)
        return self

    async def __aexit__(self, exc_type, exc, tb):
        self.exits.append((exc_type, exc, tb is None or hasattr(tb, "tb_frame")))
        await asyncio.sleep(0)
        return self.suppress
