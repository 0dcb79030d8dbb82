"""Bridges between synchronous and asynchronous code."""

from __future__ import annotations

import asyncio
import contextvars
import inspect
import threading
from collections.abc import Awaitable, Callable, Iterable
from typing import Any, TypeVar

T = TypeVar("T")


def _running_loop() -> asyncio.AbstractEventLoop | None:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


def run_in_event_loop(function: Callable[..., Awaitable[T]], *args: Any, **kwargs: Any) -> T:
    """Run the coroutine function ``function(*args, **kwargs)`` to completion and return its result.

    Without a running event loop (a plain script) the coroutine runs with ``asyncio.run``.
    Inside a running loop (a notebook cell, an async application) the calling thread cannot
    wait on its own loop, so the coroutine runs on a fresh loop in a worker thread and this
    call blocks until it finishes. Exceptions propagate unchanged.
    """
    if _running_loop() is None:
        return asyncio.run(_as_coroutine(function, args, kwargs))
    return _on_worker_thread(
        lambda: asyncio.run(_as_coroutine(function, args, kwargs)), "zentrix-run-in-event-loop"
    )


def _on_worker_thread(call: Callable[[], T], name: str) -> T:
    """``call()`` on a new thread, waited for; its result or exception comes back here.

    Context variables of the caller stay visible to the call.
    """
    outcome: dict[str, Any] = {}

    def worker() -> None:
        try:
            outcome["result"] = call()
        except BaseException as exc:  # handed back to the caller's thread below
            outcome["error"] = exc

    context = contextvars.copy_context()
    thread = threading.Thread(target=context.run, args=(worker,), name=name, daemon=True)
    thread.start()
    thread.join()
    if "error" in outcome:
        error = outcome.pop("error")
        try:
            raise error
        finally:
            del error
    return outcome["result"]


async def _as_coroutine(
    function: Callable[..., Awaitable[T]], args: tuple[Any, ...], kwargs: dict[str, Any]
) -> T:
    # asyncio.run needs a coroutine; accept any callable returning an awaitable.
    return await function(*args, **kwargs)


async def gather_with_concurrency(coros: Iterable[Awaitable[T]], max_concurrency: int) -> list[T]:
    """Await ``coros`` with at most ``max_concurrency`` of them in flight.

    Results come back in the order of ``coros``. When one awaitable fails, the others are
    cancelled (and awaited, so no task is left behind) and the error propagates.
    """
    if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int):
        raise ValueError(f"max_concurrency must be a positive integer, got {max_concurrency!r}.")
    if max_concurrency < 1:
        raise ValueError(f"max_concurrency must be a positive integer, got {max_concurrency}.")

    awaitables = list(coros)
    if not awaitables:
        return []
    semaphore = asyncio.Semaphore(max_concurrency)

    async def limited(awaitable: Awaitable[T]) -> T:
        async with semaphore:
            return await awaitable

    tasks = [asyncio.ensure_future(limited(awaitable)) for awaitable in awaitables]
    try:
        return list(await asyncio.gather(*tasks))
    except BaseException:
        for task in tasks:
            task.cancel()
        # Let cancelled tasks finish; their outcomes are irrelevant once one has failed.
        await asyncio.gather(*tasks, return_exceptions=True)
        _close_unstarted(awaitables)
        raise


def _close_unstarted(awaitables: list[Awaitable[Any]]) -> None:
    # A coroutine cancelled before its task first ran was never started; close it so that
    # Python does not warn that it was never awaited. By now every other one has finished,
    # and closing a finished coroutine does nothing. Native coroutines count too.
    for awaitable in awaitables:
        if asyncio.iscoroutine(awaitable):
            awaitable.close()


def start_event_loop_run_func(func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """Call ``func(*args, **kwargs)`` on an executor thread with an event loop of its own.

    The loop is the thread's current loop while ``func`` runs, so code that calls
    ``asyncio.get_event_loop()`` there (model clients do) finds one. If the call returns an
    awaitable, it is run to completion on that loop. The result is returned unchanged;
    exceptions propagate. The loop is closed afterwards; tasks still pending on it (model
    clients leave background workers behind) are cancelled first, as ``asyncio.run`` does.
    """
    loop = asyncio.new_event_loop()
    try:
        asyncio.set_event_loop(loop)
        result = func(*args, **kwargs)
        if not inspect.isawaitable(result):
            return result

        async def wait() -> Any:
            return await result

        return loop.run_until_complete(wait())
    finally:
        try:
            _cancel_pending_tasks(loop)
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.run_until_complete(loop.shutdown_default_executor())
        finally:
            asyncio.set_event_loop(None)
            loop.close()


def _cancel_pending_tasks(loop: asyncio.AbstractEventLoop) -> None:
    # Closing a loop under a pending task destroys it mid-await ("Task was destroyed but
    # it is pending!"); cancel and await them instead, reporting failures other than the
    # cancellation to the loop's exception handler.
    pending = [task for task in asyncio.all_tasks(loop) if not task.done()]
    if not pending:
        return
    for task in pending:
        task.cancel()
    loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
    for task in pending:
        if not task.cancelled() and task.exception() is not None:
            loop.call_exception_handler(
                {
                    "message": "unhandled exception in a task left when its loop closed",
                    "exception": task.exception(),
                    "task": task,
                }
            )


def run_with_own_loop(func: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """Call ``func(*args, **kwargs)`` synchronously, with an event loop of the call's own.

    Model clients (litellm's among them) call ``asyncio.get_event_loop()`` and run their
    requests to completion on it, which fails on a thread without a current loop (the main
    thread after any ``asyncio.run``) and on one whose loop is already running. The call
    runs through :func:`start_event_loop_run_func` on this thread, or on a worker thread
    when a loop is running here. The result is returned unchanged; exceptions propagate.
    """
    if _running_loop() is None:
        return start_event_loop_run_func(func, *args, **kwargs)
    return _on_worker_thread(
        lambda: start_event_loop_run_func(func, *args, **kwargs), "zentrix-own-loop"
    )
