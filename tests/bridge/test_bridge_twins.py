"""Every behaviour here runs against a native coroutine and its `async def`
twin; both must behave the same."""

import asyncio
import collections.abc
import gc
import inspect
import types
import warnings
import weakref

import pytest

from tests.bridge.conftest import Recorder, Steps, fail, later
from zentrix_gov import _coro_probe as native


def finished_value(coro):
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    return stop.value.value


class TestObject:
    def test_is_a_coroutine_with_its_names(self, impl):
        coro = impl.return_value(1)
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert (coro.__name__, coro.__qualname__) == ("return_value", "return_value")
        assert repr(coro).startswith("<coroutine object return_value at 0x")
        coro.close()

    def test_names_can_be_set_to_text_only(self, impl):
        coro = impl.return_value(1)
        coro.__name__ = "renamed"
        coro.__qualname__ = "Owner.renamed"
        assert (coro.__name__, coro.__qualname__) == ("renamed", "Owner.renamed")
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            coro.__name__ = 3
        coro.close()

    def test_is_not_iterable(self, impl):
        coro = impl.return_value(1)
        assert not hasattr(coro, "__iter__") and not hasattr(coro, "__next__")
        with pytest.raises(TypeError, match="object is not iterable"):
            list(coro)
        coro.close()

    def test_await_returns_a_separate_iterator(self, impl):
        coro = impl.return_value((1, 2))
        iterator = coro.__await__()
        assert iterator is not coro and iter(iterator) is iterator
        assert all(hasattr(iterator, name) for name in ("send", "throw", "close", "__next__"))
        with pytest.raises(StopIteration) as stop:
            next(iterator)
        assert stop.value.value == (1, 2)

    def test_can_be_weakly_referenced(self, impl):
        coro = impl.return_value(1)
        gone = []
        reference = weakref.ref(coro, gone.append)
        assert reference() is coro
        coro.close()
        del coro
        gc.collect()
        assert reference() is None and gone == [reference]


class TestStates:
    def test_inspect_follows_every_state(self, impl):
        steps = Steps()
        seen_inside = []

        class Probe:
            def __await__(self):
                seen_inside.append(inspect.getcoroutinestate(coro))
                return (yield from steps.__await__())

        coro = impl.await_value(Probe())
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
        assert coro.cr_frame is not None and coro.cr_await is None
        assert coro.send(None) == "first"
        assert seen_inside == [inspect.CORO_RUNNING]
        assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
        assert (coro.cr_running, coro.cr_suspended) == (False, True)
        assert type(coro.cr_await).__name__ == "generator"
        coro.close()
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
        assert coro.cr_frame is None and coro.cr_await is None

    def test_code_names_the_function(self, impl):
        coro = impl.return_value(1)
        assert coro.cr_code.co_name == "return_value"
        assert coro.cr_origin is None
        coro.close()

    def test_finished_coroutine_cannot_be_reused(self, impl):
        coro = impl.return_value(1)
        assert finished_value(coro) == 1
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
        for resume in (lambda: coro.send(None), lambda: coro.throw(ValueError("late"))):
            with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
                resume()
        assert coro.close() is None

    def test_non_none_first_send_is_refused(self, impl):
        coro = impl.return_value(1)
        with pytest.raises(
            TypeError, match="can't send non-None value to a just-started coroutine"
        ):
            coro.send(5)
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
        coro.close()

    def test_close_before_start_is_silent(self, impl):
        coro = impl.return_value(1)
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            coro.close()
            del coro
            gc.collect()


class TestValues:
    @pytest.mark.parametrize(
        "value", [None, 0, [1], (1, 2), (), StopIteration("x"), ValueError("v")]
    )
    def test_return_value_identity(self, impl, value):
        assert asyncio.run(impl.return_value(value)) is value

    def test_send_passes_values_through(self, impl):
        steps = Steps()
        coro = impl.await_value(steps)
        assert coro.send(None) == "first"
        assert coro.send("a") == "second"
        assert finished_value_after(coro, "b") == "finished"
        assert steps.seen == [("sent", "a"), ("sent", "b")]

    def test_awaits_every_kind_of_awaitable(self, impl):
        @types.coroutine
        def legacy():
            yield
            return "legacy"

        async def main():
            return [
                await impl.await_value(later("coroutine", 0.001)),
                await impl.await_value(legacy()),
                await impl.await_value(asyncio.ensure_future(later("task"))),
                await impl.await_value(impl.return_value("twin")),
            ]

        assert asyncio.run(main()) == ["coroutine", "legacy", "task", "twin"]

    def test_awaiting_a_non_awaitable_is_a_type_error(self, impl):
        with pytest.raises(TypeError, match="can't be used in 'await' expression"):
            asyncio.run(impl.await_value(42))

    def test_deep_nesting(self, impl):
        assert asyncio.run(impl.nested(200, later("deep", 0.001))) == "deep"


def finished_value_after(coro, value):
    with pytest.raises(StopIteration) as stop:
        coro.send(value)
    return stop.value.value


class TestErrors:
    def test_error_of_awaited_coroutine_can_be_handled(self, impl):
        assert asyncio.run(impl.catch_ordinary(fail("oops"))) == ("caught", "oops")

    def test_raised_error_carries_its_cause(self, impl):
        with pytest.raises(RuntimeError, match="wrapped: oops") as info:
            asyncio.run(impl.wrap_error(fail("oops")))
        assert isinstance(info.value.__cause__, ValueError)
        assert info.value.__context__ is info.value.__cause__

    def test_stop_iteration_leaving_the_body_becomes_runtime_error(self, impl):
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
            asyncio.run(impl.raise_stop_iteration())
        assert isinstance(info.value.__cause__, StopIteration)

    @pytest.mark.parametrize(
        "thrown", [KeyError("k"), asyncio.CancelledError(), KeyboardInterrupt()]
    )
    def test_throw_reaches_the_inner_iterator_and_comes_out_unchanged(self, impl, thrown):
        steps = Steps()
        coro = impl.await_value(steps)
        coro.send(None)
        with pytest.raises(type(thrown)) as info:
            coro.throw(thrown)
        assert info.value is thrown
        assert steps.seen == [("thrown", type(thrown).__name__)]
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED

    def test_three_argument_throw(self, impl):
        steps = Steps()
        coro = impl.await_value(steps)
        coro.send(None)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            with pytest.raises(KeyError, match="k3"):
                coro.throw(KeyError, KeyError("k3"), None)
            with pytest.raises(RuntimeError, match="cannot reuse"):
                coro.throw(KeyError, None, None)

    def test_bad_throw_arguments_are_raised_through_the_awaited_iterator(self, impl):
        steps = Steps()
        coro = impl.await_value(steps)
        coro.send(None)
        with pytest.raises(
            TypeError, match="exceptions must be classes or instances deriving from BaseException"
        ):
            coro.throw(42)
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED

    def test_throw_handled_in_the_body_continues(self, impl):
        coro = impl.catch_ordinary(Steps())
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("handled"))
        assert stop.value.value == ("caught", "handled")

    def test_throw_before_start_never_runs_the_body(self, impl):
        log = []
        coro = impl.log_outcome(Steps(), log)
        with pytest.raises(KeyError):
            coro.throw(KeyError("early"))
        assert log == []
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED

    def test_close_reaches_the_inner_iterator(self, impl):
        steps = Steps()
        coro = impl.await_value(steps)
        coro.send(None)
        assert coro.close() is None
        assert steps.seen == [("thrown", "GeneratorExit")]


class TestAsyncWith:
    @pytest.mark.parametrize(
        "thrown", [ValueError("v"), asyncio.CancelledError(), KeyboardInterrupt()]
    )
    def test_error_thrown_inside_leaves_unchanged_after_the_exit_awaits(self, impl, thrown):
        manager = Recorder()
        coro = impl.inside_context(manager, Steps())
        assert coro.send(None) is None  # __aenter__'s sleep(0)
        assert coro.send(None) == "first"
        assert coro.throw(thrown) is None  # __aexit__ awaits before the error leaves
        with pytest.raises(type(thrown)) as info:
            coro.send(None)
        assert info.value is thrown
        assert manager.exits == [(type(thrown), thrown, True)]

    def test_manager_may_suppress_the_error(self, impl):
        manager = Recorder(suppress=True)
        coro = impl.inside_context(manager, fail("swallowed"))
        assert asyncio.run(coro) is None
        ((exc_type, exc, _),) = manager.exits
        assert exc_type is ValueError and str(exc) == "swallowed"

    def test_clean_exit_gets_no_error(self, impl):
        manager = Recorder()
        assert asyncio.run(impl.inside_context(manager, later("v"))) == "v"
        assert manager.exits == [(None, None, True)]

    def test_task_cancelled_inside_runs_the_exit(self, impl):
        manager = Recorder()

        async def main():
            task = asyncio.ensure_future(impl.inside_context(manager, asyncio.sleep(10)))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
        assert [entry[0] for entry in manager.exits] == [asyncio.CancelledError]


class TestAsyncio:
    def test_cancellation_reaches_the_inner_coroutine(self, impl):
        inner_log, outer_log = [], []

        async def slow():
            try:
                await asyncio.sleep(10)
            except asyncio.CancelledError:
                inner_log.append("cancelled")
                raise

        async def main():
            task = asyncio.ensure_future(impl.log_outcome(slow(), outer_log))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return task.cancelled()

        assert asyncio.run(main()) is True
        assert inner_log == ["cancelled"] and outer_log == ["CancelledError"]

    def test_an_inner_coroutine_may_await_its_cleanup_after_a_cancellation(self, impl):
        """The awaited coroutine handles the cancellation by awaiting more (closing its
        tasks): it runs to the end before the cancellation comes out."""
        log = []

        async def closes_its_tasks():
            try:
                await asyncio.sleep(10)
            except asyncio.CancelledError:
                log.append("cancelled")
                await asyncio.sleep(0.01)  # e.g. gathering the tasks it cancelled
                log.append("cleaned up")
                raise

        async def main():
            task = asyncio.ensure_future(impl.await_value(closes_its_tasks()))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
        assert log == ["cancelled", "cleaned up"]

    def test_cancellation_is_not_swallowed_by_ordinary_handlers(self, impl):
        async def main():
            task = asyncio.ensure_future(impl.catch_ordinary(asyncio.sleep(10)))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())

    def test_gather_of_many_runs_concurrently(self, impl):
        async def main():
            started = asyncio.get_running_loop().time()
            results = await asyncio.gather(*(impl.await_value(later(i, 0.05)) for i in range(2000)))
            return results, asyncio.get_running_loop().time() - started

        results, elapsed = asyncio.run(main())
        assert results == list(range(2000))
        assert elapsed < 2.0  # one after another would take 100 s

    def test_task_repr_and_wait_for(self, impl):
        async def main():
            task = asyncio.get_running_loop().create_task(impl.await_value(later("t", 0.001)))
            assert "await_value()" in repr(task)
            assert await task == "t"
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(impl.await_value(asyncio.sleep(5)), 0.01)

        asyncio.run(main())


class TestLifecycle:
    def test_never_awaited_coroutine_warns(self, impl):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            coro = impl.return_value(1)
            del coro
            gc.collect()
        messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
        assert "coroutine 'return_value' was never awaited" in messages

    def test_abandoned_suspended_coroutine_closes_its_inner_iterator(self, impl):
        steps = Steps()
        coro = impl.await_value(steps)
        coro.send(None)
        del coro
        gc.collect()
        assert steps.seen == [("thrown", "GeneratorExit")]

    def test_finaliser_keeps_the_exception_in_flight(self, impl):
        steps = Steps()
        holder = [impl.await_value(steps)]
        holder[0].send(None)
        # Sets KeyError("in flight"), then drops the last reference to the
        # suspended coroutine while that error is pending.
        with pytest.raises(KeyError, match="in flight") as info:
            native.drop_while_failing(holder)
        assert info.value.__context__ is None
        assert steps.seen == [("thrown", "GeneratorExit")]

    def test_reference_cycle_through_arguments_is_collected(self, impl):
        class Holder:
            pass

        holder = Holder()
        coro = impl.await_value(holder)
        holder.coro = coro
        alive = weakref.ref(holder)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            del coro, holder
            gc.collect()
        assert alive() is None
