"""Benchmarks of the heartbeat runner (ombrel.core.heartbeat).

    python bench/bench_heartbeat.py [--rounds 5] [--cycles 20000] [--beats 2000]

(1) start/stop: `start()`, one turn of the loop (the task reaches its sleep),
    `stop()`, one turn of the loop (the cancelled task ends), for batches of
    100 runners at a time; figure: cycles per second.
(2) beats at a 1 ms interval with trivial `on_beat` and `on_event`; figures:
    the mean interval error (time between beats minus 1 ms) and the loop lag
    (how late a probe callback scheduled every 0.5 ms runs).

Each figure is measured for the native runner and for `PlainRunner` below, a
plain-Python `async def` rendering of the same behaviour, in alternating
rounds in this process; the best round of each is printed with their ratio
(and the range of the per-round ratios). Build in Release and put the
package directory on PYTHONPATH, with host/ on it for `ombrel.config`.
"""

import argparse
import asyncio
import logging
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

import timing  # noqa: E402
from ombrel.config import HeartbeatConfig  # noqa: E402
from ombrel.core import heartbeat  # noqa: E402

logger = logging.getLogger("ombrel.heartbeat.plain")
DEFAULT_PROMPT = heartbeat.DEFAULT_HEARTBEAT_PROMPT


class PlainRunner:
    """The runner's behaviour as a plain-Python rendering (the baseline)."""

    def __init__(self, config, on_beat, on_event=None):
        self._config = config
        self._on_beat = on_beat
        self._on_event = on_event
        self._task = None
        self._consecutive_beats = 0
        self._paused = False
        self._stop_event = asyncio.Event()

    @property
    def running(self):
        return self._task is not None and not self._task.done()

    def start(self):
        if self.running:
            return
        self._stop_event.clear()
        asyncio.get_running_loop()
        self._task = asyncio.create_task(self._loop(), name="heartbeat")
        logger.info("Heartbeat started (interval=%ds, max_consecutive=%d)",
                    self._config.interval_seconds, self._config.max_consecutive)

    def stop(self):
        self._stop_event.set()
        if self._task and not self._task.done():
            self._task.cancel()
        self._task = None
        logger.info("Heartbeat stopped")

    def _in_quiet_hours(self):
        start, end = self._config.quiet_hours_start, self._config.quiet_hours_end
        if not start or not end:
            return False
        now = time.strftime("%H:%M")
        if start <= end:
            return start <= now < end
        return now >= start or now < end

    async def _loop(self):
        try:
            while not self._stop_event.is_set():
                await asyncio.sleep(self._config.interval_seconds)
                if self._stop_event.is_set():
                    break
                if self._paused:
                    continue
                if self._in_quiet_hours():
                    logger.debug("Skipping heartbeat \u2014 quiet hours")
                    continue
                if self._consecutive_beats >= self._config.max_consecutive:
                    logger.info("Heartbeat paused \u2014 %d consecutive beats with no user "
                                "interaction", self._consecutive_beats)
                    self._paused = True
                    if self._on_event:
                        await self._on_event({"type": "heartbeat_paused",
                                              "reason": "max_consecutive_reached",
                                              "count": self._consecutive_beats})
                    continue
                prompt = self._config.prompt or DEFAULT_PROMPT
                self._consecutive_beats += 1
                logger.info("Heartbeat #%d firing", self._consecutive_beats)
                if self._on_event:
                    await self._on_event({"type": "heartbeat",
                                          "beat": self._consecutive_beats,
                                          "max": self._config.max_consecutive})
                try:
                    await self._on_beat(prompt)
                except Exception:
                    logger.exception("Heartbeat agent call failed")
        except asyncio.CancelledError:
            logger.debug("Heartbeat loop cancelled")


async def on_beat(prompt):
    return None


async def on_event(event):
    return None


async def start_stop(cls, cycles, batch=100):
    """Cycles per CPU second of this process (the machine may be shared,
    and time spent waiting for a core is not the runners'). A batch of runners goes through each step together,
    so that the event loop's own turns (the same for both kinds) are shared
    by the batch and the figure is the runners' work."""
    runners = [cls(HeartbeatConfig(enabled=True, interval_seconds=60), on_beat, on_event)
               for _ in range(batch)]
    with timing.Stopwatch() as took:
        for _ in range(cycles // batch):
            for runner in runners:
                runner.start()
            tasks = [runner._task for runner in runners]
            await asyncio.sleep(0)   # each task runs up to its sleep
            for runner in runners:
                runner.stop()
            await asyncio.sleep(0)   # the cancellations reach the loops
            assert all(task.done() for task in tasks)
    return cycles // batch * batch / took.cpu


async def beats(cls, count, interval=0.001):
    """(mean interval error in µs, mean loop lag in µs, max loop lag in µs)"""
    times = []
    done = asyncio.get_running_loop().create_future()

    async def beat(prompt):
        times.append(time.perf_counter())
        if len(times) == count and not done.done():
            done.set_result(None)

    lags = []
    loop = asyncio.get_running_loop()

    def probe(scheduled):
        lags.append(loop.time() - scheduled)
        if not done.done():
            loop.call_later(0.0005, probe, loop.time() + 0.0005)

    config = HeartbeatConfig(enabled=True, interval_seconds=interval, max_consecutive=10**9)
    runner = cls(config, beat, on_event)
    loop.call_later(0.0005, probe, loop.time() + 0.0005)
    runner.start()
    await done
    runner.stop()
    await asyncio.sleep(0)
    gaps = [b - a for a, b in zip(times, times[1:])]
    error = sum(gaps) / len(gaps) - interval
    return error * 1e6, sum(lags) / len(lags) * 1e6, max(lags) * 1e6


def report(title, unit, native, plain, higher_is_better=True):
    comparison = timing.Comparison(native, plain, higher_is_better=higher_is_better)
    print(f"{title}:\n  {comparison.line(unit, '>12,.1f')}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--cycles", type=int, default=10000)
    parser.add_argument("--beats", type=int, default=2000)
    args = parser.parse_args()
    timing.header(heartbeat)
    kinds = {"native": heartbeat.HeartbeatRunner, "plain": PlainRunner}

    asyncio.run(start_stop(heartbeat.HeartbeatRunner, 1000))  # warm-up
    asyncio.run(start_stop(PlainRunner, 1000))
    cycles = timing.in_turns(kinds, args.rounds,
                             lambda cls: asyncio.run(start_stop(cls, args.cycles)))
    report("start/stop cycles", "cycles/s", cycles["native"], cycles["plain"])

    figures = timing.in_turns(kinds, max(3, args.rounds // 2),
                              lambda cls: asyncio.run(beats(cls, args.beats)))
    for index, title in enumerate(("beats at 1 ms: mean interval error",
                                   "beats at 1 ms: mean loop lag",
                                   "beats at 1 ms: max loop lag")):
        report(title, "us", [f[index] for f in figures["native"]],
               [f[index] for f in figures["plain"]], higher_is_better=False)


if __name__ == "__main__":
    main()
