"""The runner takes part in garbage collection, and start/stop cycles leave
nothing behind."""

import asyncio
import gc
import tracemalloc
import weakref

from heartbeat_support import FAST

from ombrel.config import HeartbeatConfig
from ombrel.core import heartbeat


def collected(ref):
    for _ in range(3):
        gc.collect()
    return ref() is None


async def test_cycle_through_the_callables_is_collected():
    class Host:
        async def on_beat(self, prompt):
            pass

    host = Host()
    runner = heartbeat.HeartbeatRunner(HeartbeatConfig(), host.on_beat, host.on_beat)
    host.runner = runner  # runner -> bound method -> host -> runner
    ref = weakref.ref(runner)
    del runner, host
    assert collected(ref)


async def test_cycle_through_a_suspended_task_is_collected():
    # The loop waits on a future that only the cycle itself holds:
    # runner -> task -> coroutine -> runner, and nothing else.
    loop = asyncio.get_running_loop()
    reported = []
    loop.set_exception_handler(lambda loop, context: reported.append(context["message"]))
    try:
        future = loop.create_future()
        called = asyncio.Event()

        def on_beat(prompt):
            called.set()
            return future

        runner = heartbeat.HeartbeatRunner(HeartbeatConfig(interval_seconds=FAST), on_beat)
        runner.start()
        await asyncio.wait_for(called.wait(), 3)
        await asyncio.sleep(0)
        ref = weakref.ref(runner)
        task_ref = weakref.ref(runner._task)
        del runner, future, on_beat
        assert collected(ref) and task_ref() is None
        assert reported == ["Task was destroyed but it is pending!"]
    finally:
        loop.set_exception_handler(None)


async def test_start_stop_cycles_leave_nothing_behind():
    async def on_beat(prompt):
        pass

    runner = heartbeat.HeartbeatRunner(HeartbeatConfig(interval_seconds=60), on_beat)
    current = asyncio.current_task()

    async def cycles(n):
        for i in range(n):
            runner.start()
            if i % 2:
                await asyncio.sleep(0)  # let the task reach its sleep
            runner.stop()
        for _ in range(3):
            await asyncio.sleep(0)
        gc.collect()

    await cycles(100)  # warm-up: caches, free lists
    objects = len(gc.get_objects())
    await cycles(1000)
    assert len(gc.get_objects()) - objects < 50
    # asyncio's and the allocator's bookkeeping wobbles by some ten
    # kilobytes before it settles; a leak of even one small object per
    # cycle would cost over 150 kB in 5000 cycles.
    tracemalloc.start()
    try:
        await cycles(1000)
        before = tracemalloc.get_traced_memory()[0]
        await cycles(5000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024
    assert asyncio.all_tasks() == {current}
    assert not runner.running and runner._task is None
