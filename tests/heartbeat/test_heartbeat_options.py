"""The opt-in settings: a busy check, backoff after failed beats, jitter and
a time zone for quiet hours, and what status() reports with them."""

import asyncio
import datetime
import math
import random
import time
import zoneinfo

import pytest
from heartbeat_support import FAST, until

from ombrel.config import HeartbeatConfig
from ombrel.core import heartbeat

PART_KEYS = ["enabled", "running", "paused", "interval_seconds", "consecutive_beats",
             "max_consecutive", "quiet_hours_start", "quiet_hours_end"]
TIMING_KEYS = ["last_beat", "next_beat", "skipped_beats", "last_skip", "last_skip_reason"]


async def test_busy_beats_are_skipped_reported_and_not_counted(host):
    busy = [True]
    runner = heartbeat.HeartbeatRunner(
        HeartbeatConfig(enabled=True, interval_seconds=FAST, max_consecutive=2), host.on_beat,
        host.on_event, skip_if_busy=lambda: busy[0])
    assert list(runner.status()) == PART_KEYS + TIMING_KEYS
    runner.start()
    await until(lambda: len(host.events) >= 3)
    assert host.prompts == [] and runner.consecutive_beats == 0 and not runner.paused
    assert host.events[:3] == [{"type": "heartbeat_skipped", "reason": "busy", "skipped": n}
                               for n in (1, 2, 3)]
    status = runner.status()
    assert status["skipped_beats"] >= 3 and status["last_skip_reason"] == "busy"
    assert status["last_beat"] is None and status["next_beat"] > status["last_skip"]
    busy[0] = False
    await until(lambda: runner.paused)  # the valve counts real beats only
    assert len(host.prompts) == 2 and runner.status()["last_beat"] <= time.time()
    runner.stop()


async def test_a_failing_busy_check_lets_beats_through_and_logs_once(host):
    def broken():
        raise RuntimeError("no idea")

    runner = heartbeat.HeartbeatRunner(HeartbeatConfig(interval_seconds=FAST, max_consecutive=99),
                                       host.on_beat, skip_if_busy=broken)
    runner.start()
    await until(lambda: len(host.prompts) >= 4)
    runner.stop()
    assert host.logs("ERROR") == ["Heartbeat busy check failed; beating anyway"]


async def test_failed_beats_back_off_up_to_the_ceiling(host):
    loop = asyncio.get_running_loop()
    times = []

    async def failing(prompt):
        times.append(loop.time())
        if len(times) <= 4:
            raise ConnectionError("agent down")

    config = HeartbeatConfig(interval_seconds=0.02, max_consecutive=99, error_backoff=0.08)
    runner = heartbeat.HeartbeatRunner(config, failing)
    runner.start()
    await until(lambda: len(times) >= 7)
    runner.stop()
    gaps = [b - a for a, b in zip(times, times[1:])]
    # Never early: 0.04, 0.08, 0.08 (the ceiling), 0.08, then the interval.
    for gap, least in zip(gaps, [0.04, 0.08, 0.08, 0.08, 0.02, 0.02]):
        assert gap >= least * 0.95
    assert gaps[-1] < 0.08  # back to the interval after a success


async def test_jitter_adds_to_the_wait(host, monkeypatch):
    drawn = []

    def uniform(low, high):
        drawn.append((low, high))
        return high

    monkeypatch.setattr(random, "uniform", uniform)
    config = HeartbeatConfig(interval_seconds=FAST, max_consecutive=99, jitter_seconds=0.05)
    runner = heartbeat.HeartbeatRunner(config, host.on_beat)
    started = time.time()
    runner.start()
    await until(lambda: runner.status()["next_beat"] is not None)
    assert runner.status()["next_beat"] >= started + FAST + 0.05
    await until(lambda: host.prompts)
    runner.stop()
    assert drawn[0] == (0.0, 0.05)


def zone_and_time():
    """A zone, and its time of day now as HH:MM (half a minute clear of a
    minute's change)."""
    while datetime.datetime.now().second in (0, 59):
        time.sleep(0.5)
    zone = "Pacific/Kiritimati"
    return zone, datetime.datetime.now(zoneinfo.ZoneInfo(zone))


@pytest.mark.parametrize("shift, quiet", [(0, True), (12, False)])
def test_quiet_hours_in_a_named_time_zone(host, shift, quiet):
    zone, now = zone_and_time()
    start = (now - datetime.timedelta(minutes=30) + datetime.timedelta(hours=shift))
    end = start + datetime.timedelta(hours=1)
    config = HeartbeatConfig(quiet_hours_start=start.strftime("%H:%M"),
                             quiet_hours_end=end.strftime("%H:%M"), timezone=zone)
    runner = heartbeat.HeartbeatRunner(config, host.on_beat)
    assert runner._in_quiet_hours() is quiet


@pytest.mark.parametrize("setting, value, error", [
    ("error_backoff", 0, ValueError), ("error_backoff", -1, ValueError),
    ("error_backoff", math.nan, ValueError), ("error_backoff", "5", TypeError),
    ("error_backoff", True, TypeError), ("jitter_seconds", -0.5, ValueError),
    ("jitter_seconds", math.inf, ValueError), ("timezone", "Mars/Olympus_Mons", ValueError),
    ("timezone", 3, TypeError)])
async def test_unusable_settings_are_refused_by_start(host, setting, value, error):
    runner = heartbeat.HeartbeatRunner(HeartbeatConfig(**{setting: value}), host.on_beat)
    with pytest.raises(error, match=setting):
        runner.start()
    assert not runner.running


def test_a_busy_check_must_be_callable(host):
    with pytest.raises(TypeError, match="skip_if_busy must be callable or None, not int"):
        heartbeat.HeartbeatRunner(HeartbeatConfig(), host.on_beat, skip_if_busy=5)
