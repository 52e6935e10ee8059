"""The coroutine bridge as asyncio sees it: results, errors, cancellation."""

import asyncio
import collections.abc
import gc
import sys
import itertools
import traceback
import types
import warnings

import pytest

bt = pytest.importorskip("_bridge_test", reason="built with OMBREL_TESTING=ON only")


async def test_is_a_coroutine_for_asyncio():
    coro = bt.echo(1)
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert coro.__qualname__ == "echo" and coro.__name__ == "echo"
    assert repr(coro).startswith("<coroutine object echo at 0x")
    assert await coro == 1


async def test_results_of_every_kind():
    assert await bt.echo((1, 2)) == (1, 2)  # a tuple stays one value
    assert await bt.echo(None) is None
    assert await bt.nothing() is None
    assert await bt.count_down(200) == 200  # nested C++ coroutines


async def test_runaway_nesting_is_a_recursion_error():
    with pytest.raises(RecursionError):
        await bt.count_down(100_000)


async def test_awaits_any_python_awaitable():
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    loop.call_later(0.01, future.set_result, "future")
    task = asyncio.create_task(asyncio.sleep(0.01, "task"))

    class Custom:
        def __await__(self):
            yield from asyncio.sleep(0).__await__()
            return "custom"

    async def native():
        await asyncio.sleep(0)
        return "native"

    results = await bt.await_all(
        [future, task, Custom(), native(), asyncio.sleep(0.01, "sleep"), bt.echo("bridge")]
    )
    assert results == ["future", "task", "custom", "native", "sleep", "bridge"]


async def test_async_iteration():
    async def numbers(fail=False):
        for number in range(3):
            await asyncio.sleep(0)
            yield number
        yield None  # an item that is None does not end the loop
        if fail:
            raise KeyError("stream broke")

    assert await bt.collect(numbers()) == [0, 1, 2, None]
    with pytest.raises(KeyError, match="stream broke"):
        await bt.collect(numbers(fail=True))
    with pytest.raises(TypeError):
        await bt.collect([1, 2])


async def test_task_gather_and_wait_for():
    task = asyncio.create_task(bt.count_down(3), name="counting")
    assert task.get_name() == "counting"
    assert await task == 3
    assert await asyncio.gather(bt.echo(1), bt.count_down(2), bt.nothing()) == [1, 2, None]
    assert await asyncio.wait_for(bt.echo("fast"), 1) == "fast"
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(bt.await_one(asyncio.sleep(10)), 0.02)


async def test_not_awaitable_is_a_type_error():
    with pytest.raises(TypeError, match="can't be used in 'await' expression"):
        await bt.await_one(5)


class TestErrors:
    async def test_python_error_keeps_object_and_traceback(self):
        error = KeyError("k")

        async def fail():
            await asyncio.sleep(0)
            raise error

        with pytest.raises(KeyError) as caught:
            await bt.await_one(fail())
        assert caught.value is error
        names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
        assert "fail" in names

    @pytest.mark.parametrize(
        "kind, exception, message",
        [
            ("runtime", RuntimeError, "runtime failure"),
            ("value", ValueError, "bad value"),
            ("range", IndexError, "out of range"),
            ("python", TypeError, "typed failure"),
        ],
    )
    async def test_cpp_exceptions_become_python_exceptions(self, kind, exception, message):
        with pytest.raises(exception, match=message):
            await bt.raise_cpp(kind)

    async def test_stop_iteration_cannot_end_the_coroutine(self):
        async def stop():
            raise StopIteration("early")

        # Like a native coroutine: StopIteration inside becomes RuntimeError.
        with pytest.raises((RuntimeError, StopIteration)):
            await bt.await_one(stop())

    def test_errors_in_describe(self):
        class Broken(Exception):
            def __str__(self):
                raise ValueError("no text")

        class Nameless(type):
            @property
            def __name__(cls):
                raise RuntimeError("no name")

        class Interrupting(Exception):
            def __str__(self):
                raise KeyboardInterrupt

        assert bt.describe(ValueError("x")) == "ValueError: x"
        assert bt.describe(Broken()) == "Broken: <exception str() failed>"
        assert bt.describe(Nameless("N", (Exception,), {})("x")) == "<exception type name failed>: x"
        with pytest.raises(KeyboardInterrupt):  # not the exception's to swallow
            bt.describe(Interrupting())


class TestCancellation:
    async def test_at_a_future(self):
        future = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(bt.await_one(future))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert future.cancelled()

    async def test_at_a_sleep_and_a_nested_coroutine(self):
        task = asyncio.create_task(bt.await_one(bt.await_one(asyncio.sleep(10))))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    async def test_at_a_task(self):
        inner = asyncio.create_task(asyncio.sleep(10))
        task = asyncio.create_task(bt.await_one(inner))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert inner.cancelled()

    async def test_caught_in_cpp(self):
        task = asyncio.create_task(bt.catch_cancel(asyncio.sleep(10), "caught"))
        await asyncio.sleep(0.01)
        task.cancel()
        assert await task == "caught"

    async def test_cleanup_awaits_then_propagates(self):
        cleaned = []

        async def cleanup():
            await asyncio.sleep(0)
            cleaned.append(True)

        task = asyncio.create_task(bt.with_cleanup(asyncio.sleep(10), cleanup()))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert cleaned == [True]

    async def test_inside_python_code_awaiting_the_bridge(self):
        async def outer():
            return await bt.await_one(asyncio.sleep(10))

        task = asyncio.create_task(outer())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task


class TestProtocol:
    def test_send_throw_close_by_hand(self):
        coro = bt.await_one(asyncio.sleep(0))
        assert coro.send(None) is None  # sleep(0) yields once
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value is None
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_non_none_to_a_new_coroutine(self):
        coro = bt.echo(1)
        with pytest.raises(TypeError, match="just-started"):
            coro.send(1)
        coro.close()

    def test_throw_forms(self):
        loop = asyncio.new_event_loop()
        try:
            coro = bt.await_one(loop.create_future())
            coro.send(None)
            with pytest.raises(ValueError, match="one"):
                coro.throw(ValueError("one"))

            coro = bt.await_one(loop.create_future())
            coro.send(None)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                with pytest.raises(ValueError, match="two"):
                    coro.throw(ValueError, "two", None)
        finally:
            loop.close()

    def test_throw_into_a_new_coroutine_ends_it(self):
        coro = bt.echo(1)
        with pytest.raises(KeyError):
            coro.throw(KeyError("x"))
        with pytest.raises(RuntimeError):
            coro.send(None)

    def test_close_of_suspended_and_stubborn(self):
        loop = asyncio.new_event_loop()
        try:
            future = loop.create_future()
            coro = bt.await_one(future)
            coro.send(None)
            assert coro.cr_suspended and coro.cr_await is not None
            assert coro.close() is None
            assert not coro.cr_suspended

            # Awaiting again after GeneratorExit: refused, and the coroutine
            # stays suspended at that new await, as a Python coroutine does.
            coro = bt.stubborn(_Steps())
            coro.send(None)
            with pytest.raises(RuntimeError, match="ignored GeneratorExit"):
                coro.close()
            assert coro.cr_suspended and type(coro.cr_await).__name__ == "generator"
            assert coro.close() is None  # the second GeneratorExit ends it
            assert not coro.cr_suspended
        finally:
            loop.close()

    def test_yield_from_await_iterator(self):
        @types.coroutine
        def generator_based(coro):
            return (yield from coro.__await__())

        coro = generator_based(bt.await_one(_Steps()))
        assert coro.send(None) == "step 1"
        assert coro.send("a") == ("step 2", "a")
        with pytest.raises(StopIteration) as stop:
            coro.send("b")
        assert stop.value.value == ("done", "b")
        iterator = bt.echo(1).__await__()
        assert iter(iterator) is iterator
        with pytest.raises(StopIteration):
            next(iterator)
        iterator = bt.await_one(_Steps()).__await__()
        assert iterator.send(None) == "step 1"
        with pytest.raises(KeyError):
            iterator.throw(KeyError("k"))
        assert iterator.close() is None

    def test_never_awaited_warns(self):
        with pytest.warns(RuntimeWarning, match="coroutine 'echo' was never awaited"):
            bt.echo(1)
            gc.collect()

    async def test_second_send_while_running(self):
        holder = {}

        async def reenter():
            holder["coro"].send(None)

        coro = bt.await_one(reenter())
        holder["coro"] = coro
        with pytest.raises(ValueError, match="already executing"):
            await coro


class _Steps:
    """An awaitable object: two steps, then a result built from what was sent."""

    def __await__(self):
        first = yield "step 1"
        second = yield ("step 2", first)
        return ("done", second)


@types.coroutine
def _generator_based():
    value = yield "gen step"
    return ("gen done", value)


async def _native_inner():
    return ("native", await _Steps())


class _WithoutThrow:
    def __await__(self):
        return self

    def __next__(self):
        return "plain"

    def send(self, value):
        return ("plain", value)


class _ThrowSwallows(_WithoutThrow):
    """Swallows whatever is thrown in (a cancellation, say) and goes on."""

    def throw(self, *exc):
        return "swallowed"

    def close(self):
        pass


class _ThrowAndCloseFail(_WithoutThrow):
    def throw(self, *exc):
        raise KeyError("from throw")

    def close(self):
        raise IndexError("from close")


async def _n_await_one(awaitable):
    return await awaitable


async def _n_catch_cancel(awaitable, instead):
    try:
        return await awaitable
    except asyncio.CancelledError:
        pass
    return instead


async def _n_swallow(awaitable, instead):
    try:
        return await awaitable
    except BaseException:
        pass
    return instead


async def _n_stubborn(awaitable):
    caught = False
    try:
        await awaitable
    except BaseException:
        caught = True
    if caught:
        await awaitable


_SHAPES = {
    "await_one": (bt.await_one, _n_await_one),
    "catch_cancel": (lambda a: bt.catch_cancel(a, "caught"), lambda a: _n_catch_cancel(a, "caught")),
    # The same without C++ exceptions: an error ending the frame directly,
    # an error taken as an outcome.
    "propagating": (bt.propagate, _n_await_one),
    "catch_cancel outcome": (lambda a: bt.catch_cancel_outcome(a, "caught"),
                             lambda a: _n_catch_cancel(a, "caught")),
    "swallow": (lambda a: bt.swallow(a, "swallowed all"), lambda a: _n_swallow(a, "swallowed all")),
    "stubborn": (bt.stubborn, _n_stubborn),
}

_AWAITABLES = {
    "future": lambda loop: loop.create_future(),
    "__await__": lambda loop: _Steps(),
    "generator-based": lambda loop: _generator_based(),
    "native": lambda loop: _native_inner(),
    "bridge": lambda loop: bt.await_one(_Steps()),
    "no throw": lambda loop: _WithoutThrow(),
    "throw swallows": lambda loop: _ThrowSwallows(),
    "throw and close fail": lambda loop: _ThrowAndCloseFail(),
}


def _traceback():
    try:
        raise ZeroDivisionError
    except ZeroDivisionError as error:
        return error.__traceback__


_OPERATIONS = {
    "send None": lambda coro: coro.send(None),
    "send 1": lambda coro: coro.send(1),
    "throw instance": lambda coro: coro.throw(ValueError("v")),
    "throw class": lambda coro: coro.throw(ValueError),
    "throw cancel": lambda coro: coro.throw(asyncio.CancelledError("c")),
    "throw GeneratorExit": lambda coro: coro.throw(GeneratorExit()),
    "throw StopIteration": lambda coro: coro.throw(StopIteration("s")),
    "throw type value": lambda coro: coro.throw(ValueError, "three", None),
    "throw type instance tb": lambda coro: coro.throw(KeyError, KeyError("i"), _traceback()),
    "close": lambda coro: coro.close(),
}


def _suspended(coro):
    """`coro.cr_suspended`; an async def's before CPython 3.11, which has no
    such attribute, read from its frame (started, not running, not done)."""
    if hasattr(coro, "cr_suspended"):
        return coro.cr_suspended
    frame = coro.cr_frame
    return frame is not None and frame.f_lasti >= 0 and not coro.cr_running


def _observe(coro, operations):
    """What each operation does, as far as the caller can see it."""
    seen = []
    for name in operations:
        context = KeyError("earlier")
        try:
            try:
                raise context  # the thrown exception must not be chained to it
            except KeyError:
                outcome = ("value", repr(_OPERATIONS[name](coro)))
        except BaseException as error:
            outcome = (
                type(error).__name__,
                repr(error.args) if not isinstance(error, StopIteration) else repr(error.value),
                type(error.__context__).__name__,
                type(error.__cause__).__name__,
            )
        # A bridge coroutine awaited by another one is driven as it is (as
        # await drives a native coroutine); an async def drives it through
        # its __await__ iterator.
        awaiting = type(coro.cr_await).__name__.replace("_CoroutineAwait", "_Coroutine")
        seen.append((name, outcome, coro.cr_running, _suspended(coro), awaiting))
    return seen


class TestSideBySide:
    """Every sequence of up to two send/throw/close calls, at every kind of
    await point, does to a bridge coroutine what it does to an async def."""

    @pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
    @pytest.mark.parametrize("awaitable", list(_AWAITABLES))
    @pytest.mark.parametrize("shape", list(_SHAPES))
    def test_send_throw_close_sequences(self, shape, awaitable):
        bridge, native = _SHAPES[shape]
        make = _AWAITABLES[awaitable]
        loop = asyncio.new_event_loop()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for length in (1, 2):
                    for operations in itertools.product(_OPERATIONS, repeat=length):
                        expected = _observe(native(make(loop)), operations)
                        assert _observe(bridge(make(loop)), operations) == expected, operations
                gc.collect()
        finally:
            loop.close()

    def test_thrown_exception_keeps_its_traceback_and_context(self):
        for started in (False, True):
            coro = bt.await_one(_WithoutThrow())
            if started:
                coro.send(None)
            error = ValueError("x")
            error.__context__ = IndexError("before")
            tb = _traceback()
            try:
                raise KeyError("being handled")
            except KeyError:
                with pytest.raises(ValueError) as caught:
                    coro.throw(ValueError, error, tb)
            assert caught.value is error
            chain = caught.value.__traceback__
            while chain is not None and chain is not tb:
                chain = chain.tb_next
            assert chain is tb  # the given traceback, under the caller's frame
            assert type(error.__context__) is IndexError


class TestGarbage:
    def test_cycle_through_a_suspended_coroutine_is_collected(self):
        loop = asyncio.new_event_loop()
        try:

            class Owner:
                pass

            owner = Owner()
            future = loop.create_future()
            owner.coro = bt.hold(owner, future)
            owner.coro.send(None)
            ref = __import__("weakref").ref(owner)
            del owner, future
            gc.collect()
            assert ref() is None
        finally:
            loop.close()

    def test_borrowed_parameter_is_not_reported_to_the_collector(self):
        # The frame does not own a borrowed handle: counting it as a reference
        # of the coroutine would let the collector free an object in use.
        loop = asyncio.new_event_loop()
        try:

            class Owner:
                pass

            owner = Owner()
            owner.coro = bt.hold_borrowed(owner, loop.create_future())
            owner.coro.send(None)
            owner.payload = [1, 2, 3]
            keep = owner  # noqa: F841 - the one real reference from outside
            del owner
            gc.collect()
            assert keep.payload == [1, 2, 3] and keep.coro.cr_suspended
            keep.coro.close()
        finally:
            loop.close()

    @pytest.mark.parametrize("make", [bt.with_cleanup, "native"])
    def test_cycle_through_a_suspended_coroutine_runs_its_cleanup(self, make):
        # Collected as a cycle, the coroutine is closed first, as Python does
        # for coroutines: its clean-up runs while what it holds is intact.
        ran = []

        class Owner:
            pass

        class Pending:
            def __init__(self, owner):
                self.owner = owner

            def __await__(self):
                try:
                    yield
                finally:
                    ran.append(("awaited closed", self.owner.tag))

        async def cleanup():
            ran.append("cleanup")

        async def native(awaitable, cleanup):
            try:
                return await awaitable
            except BaseException as error:
                failure = error
            await cleanup
            raise failure

        owner = Owner()
        owner.tag = "intact"
        owner.coro = (native if make == "native" else make)(Pending(owner), cleanup())
        owner.coro.send(None)
        del owner
        gc.collect()
        assert ran == [("awaited closed", "intact"), "cleanup"]

    def test_no_growth_over_many_awaits_and_cancellations(self):
        async def churn():
            for _ in range(100_000 // 50):
                await bt.count_down(50)
            for _ in range(10_000):
                task = asyncio.create_task(bt.await_one(asyncio.get_running_loop().create_future()))
                await asyncio.sleep(0)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task

        def live():
            gc.collect()
            return len(gc.get_objects())

        asyncio.run(churn())  # warm-up: caches, interned names
        before = live()
        asyncio.run(churn())
        assert live() - before < 100

        import tracemalloc

        tracemalloc.start()
        start = tracemalloc.get_traced_memory()[0]
        asyncio.run(churn())
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
        tracemalloc.stop()
        assert grown < 256 * 1024


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX process groups")
class TestProcesses:
    async def test_argv_and_shell(self):
        assert await bt.run_process([sys.executable, "-c", "print('hi')"], 10, False, False) == (
            0,
            b"hi\n",
            b"",
        )
        code, out, err = await bt.run_process("echo out; echo err >&2; exit 3", 10, True, True)
        assert (code, out, err) == (3, b"out\n", b"err\n")

    async def test_a_limit_of_zero_has_expired(self):
        with pytest.raises(asyncio.TimeoutError):
            await bt.run_process("sleep 5", 0, True, True)

    async def test_time_out_kills_the_whole_session(self, tmp_path):
        pid_file = tmp_path / "pid"
        with pytest.raises(asyncio.TimeoutError):
            await bt.run_process(f"sleep 100 & echo $! > {pid_file}; wait", 0.5, True, True)
        await _gone(int(pid_file.read_text()))

    async def test_cancellation_kills_and_reaps(self, tmp_path):
        pid_file = tmp_path / "pid"
        task = asyncio.create_task(
            bt.run_process(f"sleep 100 & echo $! > {pid_file}; wait", None, True, True)
        )
        while not pid_file.exists() or not pid_file.read_text().strip():
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await _gone(int(pid_file.read_text()))


async def _gone(pid):
    """The group was sent SIGKILL; its members end as soon as they run."""
    for _ in range(200):
        if not _alive(pid):
            return
        await asyncio.sleep(0.01)
    raise AssertionError(f"{pid} still runs")


def _alive(pid):
    import os

    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/stat") as stat:  # a zombie is as good as gone
        return stat.read().split(")")[1].split()[0] != "Z"


class TestHelpers:
    async def test_executor_runs_off_the_loop_thread(self):
        import threading

        loop_thread = threading.get_ident()
        assert await bt.in_executor(threading.get_ident) != loop_thread
        work = lambda: "done"  # noqa: E731
        for _ in range(5):  # the callable's references stay intact
            assert await bt.in_executor(work) == "done"

    def test_logging_passes_template_and_values(self, caplog):
        caplog.set_level("DEBUG", logger="ombrel.bridge_test")
        bt.log_info("x", 2.9)
        record = caplog.records[-1]
        assert (record.msg, record.args, record.getMessage()) == ("value %s and %d", ("x", 2.9), "value x and 2")
        try:
            raise KeyError("boom")
        except KeyError as error:
            bt.log_exception(error)
        record = caplog.records[-1]
        assert record.levelname == "ERROR" and record.exc_info[1].args == ("boom",)
        assert record.getMessage() == "failed here"

    @pytest.mark.parametrize(
        "check, value, expected",
        [
            (bt.expect_str, "a", "a"),
            (bt.expect_int, 2.9, 2),
            (bt.expect_int, True, 1),
            (bt.expect_int, __import__("decimal").Decimal("-2.9"), -2),
            (bt.expect_int, __import__("fractions").Fraction(7, 2), 3),
            (bt.expect_dict, {"a": 1}, {"a": 1}),
        ],
    )
    def test_argument_checks_accept(self, check, value, expected):
        assert check(value) == expected

    @pytest.mark.parametrize(
        "check, value, message",
        [
            (bt.expect_str, type("S", (str,), {})("a"), "text must be str, not S"),
            (bt.expect_str, 1, "text must be str, not int"),
            (bt.expect_int, "1", "ref must be a number, not str"),
            (bt.expect_int, 1j, "ref must be a number, not complex"),
            (bt.expect_dict, [], "params must be dict, not list"),
        ],
    )
    def test_argument_checks_refuse(self, check, value, message):
        with pytest.raises(TypeError, match=message):
            check(value)
