"""Sleeps on the bridge's shared timer behave as asyncio.sleep does."""

import asyncio
import random
import subprocess
import sys
import threading

import pytest

bt = pytest.importorskip("_bridge_test", reason="built with OMBREL_TESTING=ON only")


async def test_sleeps_wake_in_deadline_order_and_never_early():
    loop = asyncio.get_running_loop()
    woken = []

    async def sleeper(delay):
        started = loop.time()
        await bt.sleep_then(delay, None)
        woken.append((delay, loop.time() - started))

    delays = [0.03, 0.01, 0.05, 0.02, 0.04, 1 / 50]
    random.Random(7).shuffle(delays)
    # Sleeps with earlier deadlines than the one the timer is armed for
    # re-arm it: they do not wait for the long one.
    long = asyncio.create_task(bt.sleep_then(30.0, None))
    await asyncio.sleep(0)
    tasks = []
    for delay in delays:
        tasks.append(asyncio.create_task(sleeper(delay)))
        await asyncio.sleep(0)
    await asyncio.wait_for(asyncio.gather(*tasks), 10)
    long.cancel()
    assert [d for d, _ in woken] == sorted(delays)
    assert all(elapsed >= delay - loop._clock_resolution for delay, elapsed in woken)


async def test_cancelled_sleeps_leave_the_timer_at_once():
    loop = asyncio.get_running_loop()
    scheduled_before = len(loop._scheduled)
    for _ in range(300):
        task = asyncio.create_task(bt.sleep_then(60.0, None))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    # One armed timer at most, not one per sleep.
    assert len(loop._scheduled) <= scheduled_before + 1

    # The earliest sleep cancelled: a later one still wakes on time.
    early = asyncio.create_task(bt.sleep_outcome(0.02, None))
    late = asyncio.create_task(bt.sleep_outcome(0.04, "late"))
    await asyncio.sleep(0)
    early.cancel()
    kind, error = await early
    assert kind == "failed" and isinstance(error, asyncio.CancelledError)
    assert await asyncio.wait_for(late, 1.0) == ("slept", "late")


@pytest.mark.parametrize("delay", [0, -1, 0.0, float("inf"), True, "soon", None])
async def test_odd_delays_go_through_asyncio_sleep(delay):
    async def reference():
        await asyncio.sleep(delay)
        return "done"

    async def outcome(awaitable):
        try:
            return await asyncio.wait_for(awaitable, 0.05)
        except Exception as e:  # noqa: BLE001 - compared by type and text
            return type(e), str(e)

    assert await outcome(bt.sleep_then(delay, "done")) == await outcome(reference())


async def test_a_replaced_asyncio_sleep_is_used(monkeypatch):
    seen = []

    async def instant(seconds):
        seen.append(seconds)

    await bt.sleep_then(0.001, None)  # the shared timer was in use before
    monkeypatch.setattr(asyncio, "sleep", instant)
    assert await asyncio.wait_for(bt.sleep_then(3600.0, "at once"), 1.0) == "at once"
    assert seen == [3600.0]


def test_an_asyncio_sleep_replaced_before_the_first_sleep_is_used():
    # A fresh interpreter: the replacement is in place before the module
    # ever sleeps.
    script = """if True:
        import asyncio, _bridge_test as bt
        seen = []
        async def instant(seconds):
            seen.append(seconds)
        asyncio.sleep = instant
        async def main():
            return await asyncio.wait_for(bt.sleep_then(3600.0, "at once"), 1.0)
        print(asyncio.run(main()), seen)
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.stdout, done.stderr) == ("at once [3600.0]\n", "")


def test_loops_in_turn_and_in_threads():
    async def sleeps():
        return [await bt.sleep_then(0.002 * i, i) for i in range(1, 6)]

    assert asyncio.run(sleeps()) == asyncio.run(sleeps()) == [1, 2, 3, 4, 5]
    results = []
    threads = [threading.Thread(target=lambda: results.append(asyncio.run(sleeps())))
               for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert results == [[1, 2, 3, 4, 5]] * 3
