"""`async def` twins of the native probe coroutines (tests/native/coro_probe.cpp).

Each function here does what its native namesake does, so a test can run the
same behaviour against both and expect the same outcome.
"""


async def await_value(awaitable):
    return await awaitable


async def await_all(awaitables):
    return [await awaitable for awaitable in awaitables]


async def return_value(value):
    return value


async def nested(depth, awaitable):
    if depth == 0:
        return await awaitable
    return await nested(depth - 1, awaitable)


async def catch_ordinary(awaitable):
    try:
        return await awaitable
    except Exception as error:
        return ("caught", str(error))


async def wrap_error(awaitable):
    try:
        return await awaitable
    except Exception as error:
        raise RuntimeError(f"wrapped: {error}") from error


async def log_outcome(awaitable, log):
    try:
        value = await awaitable
    except BaseException as error:
        log.append(type(error).__name__)
        raise
    log.append("done")
    return value


async def raise_stop_iteration():
    raise StopIteration("leaked")


async def inside_context(manager, awaitable):
    async with manager:
        return await awaitable
