"""Quiet hours against the process's local time, set through TZ."""

import os
import time

import pytest
from heartbeat_support import ticks, until

from ombrel.config import HeartbeatConfig
from ombrel.core import heartbeat


@pytest.fixture
def local_time():
    """set(hh_mm): puts the process in a time zone whose local time is now
    hh:mm:30 (half a minute away from either neighbour minute)."""
    saved = os.environ.get("TZ")

    def set_local(hh_mm):
        hours, minutes = map(int, hh_mm.split(":"))
        wanted = hours * 3600 + minutes * 60 + 30
        delta = (wanted - int(time.time()) % 86400) % 86400
        if delta > 43200:
            delta -= 86400
        # POSIX zones count the offset west of UTC: "QHT+1" is UTC-1.
        west = -delta
        sign = "+" if west >= 0 else "-"
        west = abs(west)
        os.environ["TZ"] = f"QHT{sign}{west // 3600}:{west // 60 % 60:02}:{west % 60:02}"
        time.tzset()
        assert time.strftime("%H:%M") == hh_mm

    yield set_local
    if saved is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = saved
    time.tzset()


async def on_beat(prompt):
    pass


@pytest.mark.parametrize("start, end, now, quiet", [
    ("22:00", "07:00", "23:30", True),
    ("22:00", "07:00", "06:59", True),
    ("22:00", "07:00", "22:00", True),
    ("22:00", "07:00", "00:00", True),
    ("22:00", "07:00", "07:00", False),
    ("22:00", "07:00", "21:59", False),
    ("09:00", "17:00", "09:00", True),
    ("09:00", "17:00", "16:59", True),
    ("09:00", "17:00", "17:00", False),
    ("09:00", "17:00", "08:59", False),
    ("12:00", "12:00", "12:00", False),
    ("12:00", "12:00", "03:00", False),
    ("22:00", "", "23:30", False),
    ("22:00", None, "23:30", False),
    ("", "07:00", "03:00", False),
    (None, "07:00", "03:00", False),
])
def test_quiet_hours_boundaries(local_time, start, end, now, quiet):
    config = HeartbeatConfig(quiet_hours_start=start, quiet_hours_end=end)
    runner = heartbeat.HeartbeatRunner(config, on_beat)
    local_time(now)
    assert runner._in_quiet_hours() is quiet


def test_local_time_is_read_at_every_check(local_time):
    runner = heartbeat.HeartbeatRunner(
        HeartbeatConfig(quiet_hours_start="09:00", quiet_hours_end="17:00"), on_beat)
    local_time("10:00")
    assert runner._in_quiet_hours()
    local_time("18:00")
    assert not runner._in_quiet_hours()


async def test_quiet_ticks_send_nothing_and_do_not_count(host, make_runner, local_time):
    local_time("23:30")
    # Quiet hours come before the valve: even a limit of 0 does not trip it.
    runner = make_runner(max_consecutive=0, quiet_hours_start="22:00",
                         quiet_hours_end="07:00")
    runner.start()
    await until(lambda: len(host.logs("DEBUG")) >= 3)
    assert set(host.logs("DEBUG")) == {"Skipping heartbeat \u2014 quiet hours"}
    assert host.events == [] and host.prompts == [] and not runner.paused
    assert runner.consecutive_beats == 0

    # Paused ticks are skipped before quiet hours are looked at.
    runner.pause()
    skipped = len(host.logs("DEBUG"))
    await ticks(5)
    assert len(host.logs("DEBUG")) == skipped

    # Out of quiet hours the next tick trips the valve.
    runner.resume()
    runner._config.quiet_hours_end = "23:00"
    await until(lambda: runner.paused)
    runner.stop()
    assert host.events == [{"type": "heartbeat_paused",
                            "reason": "max_consecutive_reached", "count": 0}]
