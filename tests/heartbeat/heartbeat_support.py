"""Helpers of the heartbeat tests: waiting, and a host that records what
the runner does."""

import asyncio
import logging
import time

LOGGER = "ombrel.heartbeat"
FAST = 0.01  # seconds between ticks in the tests


async def until(predicate, timeout=3.0):
    """Waits until `predicate()` is true; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        await asyncio.sleep(0.002)


def cancel_requested(task):
    """`task.cancelling()`: whether the task was asked to stop; before
    CPython 3.11, which has no such count, read from the task's state."""
    if hasattr(task, "cancelling"):
        return task.cancelling() > 0
    waiter = task._fut_waiter
    return task._must_cancel or (waiter is not None and waiter.cancelled())


async def ticks(n):
    """Lets about `n` ticks of a FAST runner pass."""
    await asyncio.sleep(FAST * n)


class Host:
    """The host side of a runner. `trail` records, in order, the runner's log
    lines ("log", level, message), its events ("event", dict) and the prompts
    handed to the agent ("beat", prompt)."""

    def __init__(self):
        self.trail = []
        self.agent = None  # optional coroutine function run for each prompt

    async def on_beat(self, prompt):
        self.trail.append(("beat", prompt))
        if self.agent is not None:
            await self.agent(prompt)

    async def on_event(self, event):
        self.trail.append(("event", event))

    @property
    def prompts(self):
        return [entry[1] for entry in self.trail if entry[0] == "beat"]

    @property
    def events(self):
        return [entry[1] for entry in self.trail if entry[0] == "event"]

    def logs(self, level=None):
        return [entry[2] for entry in self.trail
                if entry[0] == "log" and (level is None or entry[1] == level)]


class TrailHandler(logging.Handler):
    def __init__(self, host):
        super().__init__(logging.DEBUG)
        self.host = host
        self.records = []

    def emit(self, record):
        self.records.append(record)
        self.host.trail.append(("log", record.levelname, record.getMessage()))
