"""Beats, their events and log lines, the prompt, pausing and the safety valve."""

import asyncio
import logging

import pytest
from heartbeat_support import FAST, LOGGER, ticks, until

from ombrel.config import HeartbeatConfig
from ombrel.core import heartbeat

DEFAULT = heartbeat.DEFAULT_HEARTBEAT_PROMPT


def test_default_prompt_text():
    assert DEFAULT == (
        "[HEARTBEAT] This is an automatic check-in. Review your current plan (if any) "
        "and continue working on the next pending step. If there is nothing to do, "
        "respond briefly that you're standing by. Do NOT ask the user for input \u2014 "
        "just continue autonomously or confirm you're idle.")


async def test_each_beat_logs_then_sends_its_event_then_the_prompt(host, make_runner):
    runner = make_runner(max_consecutive=5, prompt="check in")
    runner.start()
    await until(lambda: len(host.prompts) == 3)
    runner.stop()

    expected = [("log", "INFO", "Heartbeat started (interval=0s, max_consecutive=5)")]
    for beat in (1, 2, 3):
        expected += [("log", "INFO", f"Heartbeat #{beat} firing"),
                     ("event", {"type": "heartbeat", "beat": beat, "max": 5}),
                     ("beat", "check in")]
    assert host.trail[:len(expected)] == expected
    assert [list(event) for event in host.events] == [["type", "beat", "max"]] * 3
    assert all(type(event["beat"]) is int for event in host.events)
    assert runner.consecutive_beats == 3


async def test_first_beat_comes_one_interval_after_start(host, make_runner):
    loop = asyncio.get_running_loop()
    runner = make_runner(interval_seconds=0.2)
    started = loop.time()
    runner.start()
    await until(lambda: host.prompts)
    runner.stop()
    assert loop.time() - started >= 0.19


async def test_a_float_interval_is_slept_as_is_and_logged_as_an_integer(host, make_runner):
    runner = make_runner(interval_seconds=2.9, max_consecutive=3)
    runner.start()
    runner.stop()
    started = next(r for r in host.records if r.msg.startswith("Heartbeat started"))
    assert started.msg == "Heartbeat started (interval=%ds, max_consecutive=%d)"
    assert started.args == (2.9, 3)
    assert started.getMessage() == "Heartbeat started (interval=2s, max_consecutive=3)"


@pytest.mark.parametrize("prompt, sent", [("Do the next step", "Do the next step"),
                                          ("", DEFAULT), (None, DEFAULT)])
async def test_prompt_choice(host, make_runner, prompt, sent):
    runner = make_runner(prompt=prompt)
    runner.start()
    await until(lambda: host.prompts)
    runner.stop()
    assert host.prompts[0] == sent


async def test_configuration_is_read_at_every_tick(host, make_runner):
    config = HeartbeatConfig(interval_seconds=FAST, max_consecutive=100, prompt="first")
    runner = make_runner(config)
    runner.start()
    await until(lambda: host.prompts)
    config.prompt = "second"
    config.max_consecutive = 3
    await until(lambda: runner.paused)
    runner.stop()
    assert host.prompts[0] == "first" and host.prompts[-1] == "second"
    assert len(host.prompts) == 3
    assert host.events[-1] == {"type": "heartbeat_paused",
                               "reason": "max_consecutive_reached", "count": 3}


async def test_the_event_reads_the_count_and_configuration_after_the_log_line(host, make_runner):
    # The host's log handlers run between the log line and the event.
    runner = make_runner(max_consecutive=5)
    replaced = HeartbeatConfig(interval_seconds=FAST, max_consecutive=7)

    class Meddler(logging.Handler):
        def emit(self, record):
            if record.getMessage() == "Heartbeat #1 firing":
                runner.reset_consecutive()
                runner._config = replaced

    meddler = Meddler()
    logging.getLogger(LOGGER).addHandler(meddler)
    try:
        runner.start()
        await until(lambda: host.prompts)
    finally:
        logging.getLogger(LOGGER).removeHandler(meddler)
    runner.stop()
    assert host.events[0] == {"type": "heartbeat", "beat": 0, "max": 7}


@pytest.mark.parametrize("limit", [0, 1, 3])
async def test_valve_trips_after_max_consecutive_beats(host, make_runner, limit):
    runner = make_runner(max_consecutive=limit)
    runner.start()
    await until(lambda: runner.paused)
    await ticks(5)
    assert runner.running and runner.paused
    assert len(host.prompts) == limit
    assert host.events == (
        [{"type": "heartbeat", "beat": n, "max": limit} for n in range(1, limit + 1)]
        + [{"type": "heartbeat_paused", "reason": "max_consecutive_reached", "count": limit}])
    assert list(host.events[-1]) == ["type", "reason", "count"]
    assert host.logs("INFO")[-1] == (
        f"Heartbeat paused \u2014 {limit} consecutive beats with no user interaction")

    # A user message resets the count but does not resume the runner.
    runner.reset_consecutive()
    assert runner.consecutive_beats == 0
    await ticks(5)
    assert runner.paused and len(host.prompts) == limit

    # Once resumed it beats again, up to the limit.
    runner.resume()
    await until(lambda: runner.paused)
    runner.stop()
    assert len(host.prompts) == 2 * limit


async def test_resume_without_a_user_message_trips_the_valve_again(host, make_runner):
    runner = make_runner(max_consecutive=2)
    runner.start()
    await until(lambda: runner.paused)
    runner.resume()
    assert not runner.paused
    await until(lambda: runner.paused)
    runner.stop()
    paused = {"type": "heartbeat_paused", "reason": "max_consecutive_reached", "count": 2}
    assert host.events[-2:] == [paused, paused]
    assert len(host.prompts) == 2


async def test_valve_works_without_on_event(host, make_runner):
    runner = make_runner(max_consecutive=1, on_event=False)
    runner.start()
    await until(lambda: runner.paused)
    runner.stop()
    assert host.events == [] and len(host.prompts) == 1


async def test_pause_and_resume(host, make_runner):
    runner = make_runner(max_consecutive=100)
    runner.start()
    await until(lambda: host.prompts)
    runner.pause()
    assert runner.paused
    before = len(host.prompts)
    trail = len(host.trail)
    await ticks(6)
    # Paused ticks send and log nothing; the loop keeps running.
    assert runner.running and len(host.prompts) == before
    assert host.trail[trail:] == []
    runner.resume()
    await until(lambda: len(host.prompts) > before)
    runner.stop()
    # The count goes on from where it was.
    assert host.events[before]["beat"] == before + 1
    assert ("log", "INFO", "Heartbeat paused") in host.trail
    assert ("log", "INFO", "Heartbeat resumed") in host.trail

