"""The C++ coroutines behave like `async def` coroutines under asyncio."""

import asyncio
import collections.abc
import gc
import sys
import types
import warnings

import pytest

from zentrix_gov import _coro_probe as probe


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


class TestProtocol:
    def test_is_recognised_as_a_coroutine(self):
        coro = probe.return_value(1)
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert coro.__qualname__ == "return_value"
        coro.close()

    def test_return_value_identity_with_tuples_and_exceptions(self):
        for value in [None, 0, [1], (1, 2), (), StopIteration("x"), ValueError("v")]:
            result = asyncio.run(probe.return_value(value))
            assert result is value

    def test_send_passes_values_through_and_returns_via_stop_iteration(self):
        steps = Steps()
        coro = probe.await_value(steps)
        assert coro.send(None) == "first"
        assert coro.send("a") == "second"
        with pytest.raises(StopIteration) as stop:
            coro.send("b")
        assert stop.value.value == "finished"
        assert steps.seen == [("sent", "a"), ("sent", "b")]

    def test_tuple_result_through_send_is_not_unpacked(self):
        coro = probe.return_value((1, 2))
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == (1, 2)

    def test_non_none_first_send_is_refused(self):
        coro = probe.return_value(1)
        with pytest.raises(TypeError, match="just-started"):
            coro.send(5)
        coro.close()

    def test_finished_coroutine_cannot_be_reused(self):
        coro = probe.return_value(1)
        asyncio.run(coro)
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_await_from_python_coroutine(self):
        async def main():
            return await probe.await_value(later("inner", 0.001))

        assert asyncio.run(main()) == "inner"

    def test_awaits_generator_based_coroutines(self):
        @types.coroutine
        def legacy():
            yield
            return "legacy"

        assert asyncio.run(probe.await_value(legacy())) == "legacy"

    def test_awaiting_a_non_awaitable_is_a_type_error(self):
        with pytest.raises(TypeError, match="can't be used in 'await' expression"):
            asyncio.run(probe.await_value(42))

    def test_nested_native_awaits(self):
        assert asyncio.run(probe.nested(200, later("deep", 0.001))) == "deep"

    def test_sequential_awaits_collect_results(self):
        awaitables = [later(1), later((2, 3), 0.001), probe.return_value("native")]
        assert asyncio.run(probe.await_all(awaitables)) == [1, (2, 3), "native"]


class TestErrors:
    def test_error_of_awaited_coroutine_reaches_cpp_and_can_be_handled(self):
        assert asyncio.run(probe.catch_ordinary(fail("oops"))) == ("caught", "oops")

    def test_raised_error_carries_its_cause(self):
        with pytest.raises(RuntimeError, match="wrapped: oops") as info:
            asyncio.run(probe.wrap_error(fail("oops")))
        assert isinstance(info.value.__cause__, ValueError)
        assert str(info.value.__cause__) == "oops"

    def test_stop_iteration_leaving_the_body_becomes_runtime_error(self):
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
            asyncio.run(probe.raise_stop_iteration())
        assert isinstance(info.value.__cause__, StopIteration)

    def test_cpp_exception_becomes_runtime_error(self):
        with pytest.raises(RuntimeError, match="native failure"):
            asyncio.run(probe.raise_cpp("native failure"))

    def test_throw_is_forwarded_to_the_inner_iterator(self):
        steps = Steps()
        coro = probe.await_value(steps)
        coro.send(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("k"))
        assert steps.seen == [("thrown", "KeyError")]

    def test_three_argument_throw(self):
        steps = Steps()
        coro = probe.await_value(steps)
        coro.send(None)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            with pytest.raises(KeyError, match="k3"):
                coro.throw(KeyError, KeyError("k3"), None)
        assert steps.seen == [("thrown", "KeyError")]

    def test_throw_handled_inside_cpp_continues(self):
        steps = Steps()
        coro = probe.catch_ordinary(steps)
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("handled"))
        assert stop.value.value == ("caught", "handled")

    def test_throw_into_unstarted_coroutine_never_runs_the_body(self):
        log = []
        coro = probe.log_outcome(Steps(), log)
        with pytest.raises(KeyError):
            coro.throw(KeyError("early"))
        assert log == []
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_close_reaches_the_inner_iterator(self):
        steps = Steps()
        coro = probe.await_value(steps)
        coro.send(None)
        coro.close()
        assert steps.seen == [("thrown", "GeneratorExit")]
        assert coro.cr_await is None


class TestAsyncio:
    def test_task_cancellation_reaches_cpp_and_the_inner_coroutine(self):
        inner_log, outer_log = [], []

        async def slow():
            try:
                await asyncio.sleep(10)
            except asyncio.CancelledError:
                inner_log.append("cancelled")
                raise

        async def main():
            task = asyncio.ensure_future(probe.log_outcome(slow(), outer_log))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return task.cancelled()

        assert asyncio.run(main()) is True
        assert inner_log == ["cancelled"]
        assert outer_log == ["CancelledError"]

    def test_cancellation_is_not_swallowed_by_ordinary_handlers(self):
        async def main():
            task = asyncio.ensure_future(probe.catch_ordinary(asyncio.sleep(10)))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())

    def test_gather_of_many_runs_concurrently(self):
        async def main():
            started = asyncio.get_running_loop().time()
            results = await asyncio.gather(
                *(probe.await_value(later(i, 0.05)) for i in range(2000))
            )
            return results, asyncio.get_running_loop().time() - started

        results, elapsed = asyncio.run(main())
        assert results == list(range(2000))
        assert elapsed < 2.0  # sequential would take 100 s

    def test_create_task_and_wait_for_timeout(self):
        async def main():
            task = asyncio.get_running_loop().create_task(probe.await_value(later("t", 0.001)))
            assert await task == "t"
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(probe.await_value(asyncio.sleep(5)), 0.01)

        asyncio.run(main())


class TestLifecycle:
    def test_never_awaited_coroutine_warns(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            coro = probe.return_value(1)
            del coro
            gc.collect()
        messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
        assert "coroutine 'return_value' was never awaited" in messages

    def test_abandoned_suspended_coroutine_closes_its_inner_iterator(self):
        steps = Steps()
        coro = probe.await_value(steps)
        coro.send(None)
        del coro
        gc.collect()
        assert steps.seen == [("thrown", "GeneratorExit")]

    def test_reference_cycle_through_arguments_is_collected(self):
        class Holder:
            pass

        holder = Holder()
        coro = probe.await_value(holder)  # holder is an argument of the frame
        holder.coro = coro
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            del coro, holder
            gc.collect()
            assert not [o for o in gc.get_objects() if type(o).__name__ == "Holder"]

    @pytest.mark.slow
    def test_no_leak_over_100k_coroutines(self):
        async def run(count):
            for i in range(count):
                await probe.await_value(later(i))
                await probe.catch_ordinary(fail())

        asyncio.run(run(1000))
        gc.collect()
        before = sys.getallocatedblocks()
        asyncio.run(run(100_000))
        gc.collect()
        growth = sys.getallocatedblocks() - before
        assert growth < 2000, f"{growth} blocks still allocated after 200k coroutines"


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
