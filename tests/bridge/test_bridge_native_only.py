"""What only the native coroutines have: C++ exceptions, registration of
coroutine methods, and memory over many coroutines."""

import asyncio
import gc
import sys
import types
import warnings

import pytest

from tests.bridge.conftest import fail, later
from zentrix_gov import _coro_probe as probe


def test_cpp_exception_becomes_runtime_error():
    with pytest.raises(RuntimeError, match="native failure"):
        asyncio.run(probe.raise_cpp("native failure"))


def test_coroutine_methods_are_named_like_their_async_def_twins():
    from zentrix_gov.providers.detectwire import Detectwire

    provider = object.__new__(Detectwire)
    coro = provider._Detectwire__compute_metric([])
    assert coro.__qualname__ == "Detectwire.__compute_metric"
    assert coro.__name__ == "__compute_metric"
    coro.close()
    with pytest.raises(TypeError, match="api_payloads must be of type list, not tuple"):
        provider._Detectwire__compute_metric(())


def test_gather_with_concurrency_closes_native_coroutines_it_never_started():
    from zentrix_gov.utils.async_util import gather_with_concurrency

    @types.coroutine
    def tick(value):
        yield  # generator-based: dropping one unstarted is silent
        return value

    async def main():
        awaitables = [probe.await_value(fail("first"))] + [
            probe.await_value(tick(i)) for i in range(5)
        ]
        with pytest.raises(ValueError, match="first"):
            await gather_with_concurrency(coros=awaitables, max_concurrency=1)

    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        asyncio.run(main())
        gc.collect()


@pytest.mark.slow
def test_no_leak_over_100k_coroutines():
    async def run(count):
        for i in range(count):
            await probe.await_value(later(i))
            await probe.catch_ordinary(fail())
            await probe.inside_context(asyncio.Lock(), later(i))

    asyncio.run(run(1000))
    gc.collect()
    before = sys.getallocatedblocks()
    asyncio.run(run(100_000))
    gc.collect()
    growth = sys.getallocatedblocks() - before
    assert growth < 2000, f"{growth} blocks still allocated after 300k coroutines"
