import asyncio
import functools
import inspect
import threading
import time

import pytest

from zentrix_gov.utils.async_util import (
    gather_with_concurrency,
    run_in_event_loop,
    run_with_own_loop,
    start_event_loop_run_func,
)


class Boom(Exception):
    pass


async def add(a, b, *, scale=1):
    await asyncio.sleep(0)
    return (a + b) * scale


async def explode(error):
    await asyncio.sleep(0)
    raise error


class TestRunInEventLoop:
    def test_from_plain_script(self):
        assert run_in_event_loop(add, 2, 3, scale=10) == 50

    def test_from_inside_running_loop(self):
        async def notebook_cell():
            outer_loop = asyncio.get_running_loop()

            async def where():
                return asyncio.get_running_loop(), threading.get_ident()

            inner_loop, thread_id = run_in_event_loop(where)
            return outer_loop, inner_loop, thread_id

        outer_loop, inner_loop, thread_id = asyncio.run(notebook_cell())
        assert inner_loop is not outer_loop
        assert thread_id != threading.get_ident()

    def test_result_inside_running_loop(self):
        async def notebook_cell():
            return run_in_event_loop(add, 1, 1, scale=3)

        assert asyncio.run(notebook_cell()) == 6

    @pytest.mark.parametrize("inside_loop", [False, True])
    def test_exception_propagates_unchanged(self, inside_loop):
        error = Boom("broken")

        def call():
            return run_in_event_loop(explode, error)

        with pytest.raises(Boom) as caught:
            if inside_loop:

                async def cell():
                    return call()

                asyncio.run(cell())
            else:
                call()
        assert caught.value is error


class TestGatherWithConcurrency:
    def test_limit_is_honoured_and_order_kept(self):
        in_flight = 0
        peak = 0

        async def job(index):
            nonlocal in_flight, peak
            in_flight += 1
            peak = max(peak, in_flight)
            # Later jobs finish first, so completion order differs from input order.
            await asyncio.sleep(0.002 * (10 - index))
            in_flight -= 1
            return index * index

        results = asyncio.run(gather_with_concurrency([job(i) for i in range(10)], 3))
        assert results == [i * i for i in range(10)]
        assert peak == 3

    def test_limit_larger_than_work(self):
        async def job(value):
            await asyncio.sleep(0)
            return value

        assert asyncio.run(gather_with_concurrency([job("a"), job("b")], 50)) == ["a", "b"]

    def test_empty(self):
        assert asyncio.run(gather_with_concurrency([], 2)) == []

    def test_failure_cancels_the_rest(self):
        cancelled = []

        async def slow(index):
            try:
                await asyncio.sleep(10)
            except asyncio.CancelledError:
                cancelled.append(index)
                raise
            return index

        async def failing():
            await asyncio.sleep(0.01)
            raise Boom("first failure")

        async def main():
            coros = [slow(0), failing(), slow(2), slow(3), slow(4)]
            with pytest.raises(Boom):
                async with asyncio.timeout(5):
                    await gather_with_concurrency(coros, 3)
            leftover = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            return coros, leftover

        started = time.perf_counter()
        coros, leftover = asyncio.run(main())
        assert time.perf_counter() - started < 2
        assert leftover == []
        # The sleepers running alongside the failure were cancelled, not left running.
        assert {0, 2} <= set(cancelled) <= {0, 2, 3, 4}
        assert all(inspect.getcoroutinestate(c) == inspect.CORO_CLOSED for c in coros)

    @pytest.mark.parametrize("bad", [0, -1, 2.5, True, "3", None])
    def test_rejects_bad_limit(self, bad):
        async def main():
            with pytest.raises(ValueError, match="max_concurrency"):
                await gather_with_concurrency([], bad)

        asyncio.run(main())


class TestStartEventLoopRunFunc:
    def test_runs_sync_and_async_functions_on_executor(self):
        def sync_evaluate(data):
            return ("sync", data, threading.get_ident())

        async def async_evaluate(data):
            await asyncio.sleep(0)
            return ("async", data, threading.get_ident())

        async def main():
            loop = asyncio.get_running_loop()
            first = await loop.run_in_executor(
                None, functools.partial(start_event_loop_run_func, sync_evaluate, data=1)
            )
            second = await loop.run_in_executor(
                None, functools.partial(start_event_loop_run_func, func=async_evaluate, data=2)
            )
            return first, second, threading.get_ident()

        first, second, loop_thread = asyncio.run(main())
        assert first[:2] == ("sync", 1) and first[2] != loop_thread
        assert second[:2] == ("async", 2) and second[2] != loop_thread

    def test_tasks_left_on_the_loop_are_cancelled_before_it_closes(self):
        cleaned = []

        async def background():
            try:
                await asyncio.sleep(3600)
            finally:
                cleaned.append("cleaned up")

        async def leave_a_worker_behind():
            task = asyncio.get_running_loop().create_task(background())
            await asyncio.sleep(0)  # let it start
            return task

        task = start_event_loop_run_func(leave_a_worker_behind)
        assert task.cancelled() and cleaned == ["cleaned up"]

    def test_exception_propagates(self):
        error = Boom("in worker")

        async def main():
            loop = asyncio.get_running_loop()
            await loop.run_in_executor(
                None, functools.partial(start_event_loop_run_func, explode, error)
            )

        with pytest.raises(Boom) as caught:
            asyncio.run(main())
        assert caught.value is error


class TestRunWithOwnLoop:
    @staticmethod
    def needs_a_loop(value):
        # As model clients do: take the thread's loop and run on it.
        loop = asyncio.get_event_loop()
        return loop.run_until_complete(asyncio.sleep(0, result=value)), threading.get_ident()

    def test_on_this_thread_after_asyncio_run(self):
        asyncio.run(asyncio.sleep(0))  # leaves the main thread without a current loop
        with pytest.raises(RuntimeError, match="no current event loop"):
            self.needs_a_loop(1)
        assert run_with_own_loop(self.needs_a_loop, 2) == (2, threading.get_ident())

    def test_inside_a_running_loop_on_a_worker_thread(self):
        async def main():
            return run_with_own_loop(self.needs_a_loop, value=3)

        value, thread = asyncio.run(main())
        assert value == 3 and thread != threading.get_ident()

    def test_exception_propagates(self):
        def fail():
            raise Boom("x")

        with pytest.raises(Boom):
            run_with_own_loop(fail)
