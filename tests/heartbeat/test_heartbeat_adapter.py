"""The host's heartbeat adapter: the gateway's controls on a HeartbeatRunner."""

import dataclasses
import math

import pytest
from heartbeat_support import FAST, until

from ombrel.config import HeartbeatConfig
from ombrel.core.heartbeat import HeartbeatRunner
from ombrel.core.heartbeat_adapter import HeartbeatAdapter


@pytest.fixture
async def adapter(host):
    runner = HeartbeatRunner(HeartbeatConfig(max_consecutive=2), host.on_beat, host.on_event)
    adapter = HeartbeatAdapter(runner, min_interval=FAST)
    yield adapter
    adapter.stop()


async def test_start_sets_the_interval_and_runs(host, adapter):
    assert (adapter.is_running, adapter.is_paused, adapter.interval) == (False, False, 300)
    adapter.start(FAST)  # the configured 300 s would give no beat here
    assert adapter.is_running and adapter.interval == FAST
    assert adapter.runner._config.interval_seconds == FAST
    await until(lambda: host.prompts)

    # Starting again only changes the interval: same loop.
    task = adapter.runner._task
    adapter.start(0.02)
    assert adapter.runner._task is task and adapter.interval == 0.02

    adapter.stop()
    assert not adapter.is_running


async def test_pause_resume_and_user_messages(host, adapter):
    adapter.start(FAST)
    await until(lambda: adapter.is_paused)  # the valve tripped after 2 beats
    adapter.reset_consecutive()
    assert adapter.runner.consecutive_beats == 0 and adapter.is_paused
    adapter.pause()
    adapter.resume()
    assert not adapter.is_paused
    await until(lambda: len(host.prompts) == 4)

    # Resuming from the interface counts as user interaction.
    await until(lambda: adapter.is_paused)
    adapter.resume()
    await until(lambda: len(host.prompts) == 6)


async def test_a_frozen_configuration_is_replaced_by_an_updated_copy(host):
    Frozen = dataclasses.make_dataclass(
        "Frozen", [(f.name, f.type, f) for f in dataclasses.fields(HeartbeatConfig)],
        frozen=True)
    config = Frozen(interval_seconds=300, max_consecutive=5)
    adapter = HeartbeatAdapter(HeartbeatRunner(config, host.on_beat), min_interval=FAST)
    adapter.start(FAST)
    await until(lambda: host.prompts)
    adapter.stop()
    assert config.interval_seconds == 300
    assert adapter.runner._config == dataclasses.replace(config, interval_seconds=FAST)


@pytest.mark.parametrize("interval, error", [
    ("10", TypeError), (True, TypeError), ([5], TypeError),
    (0, ValueError), (-1, ValueError), (math.nan, ValueError), (math.inf, ValueError),
    (10**400, ValueError),
])
async def test_a_bad_interval_changes_nothing(adapter, interval, error):
    with pytest.raises(error):
        adapter.start(interval)
    assert not adapter.is_running and adapter.interval == 300


@pytest.mark.parametrize("floor, error", [
    (math.nan, ValueError), (0, ValueError), (-1.0, ValueError), (math.inf, ValueError),
    ("1", TypeError)])
def test_an_unusable_floor_is_refused(host, floor, error):
    runner = HeartbeatRunner(HeartbeatConfig(), host.on_beat)
    with pytest.raises(error, match="^min_interval must be"):
        HeartbeatAdapter(runner, min_interval=floor)


async def test_intervals_below_the_floor_are_refused_and_the_beat_goes_on(host):
    adapter = HeartbeatAdapter(HeartbeatRunner(HeartbeatConfig(), host.on_beat))
    adapter.start(5)
    task = adapter.runner._task
    for interval in (1e-300, 0.999):
        with pytest.raises(ValueError, match=r"^interval must be at least 1\.0 seconds, not "):
            adapter.start(interval)
    assert adapter.is_running and adapter.runner._task is task and adapter.interval == 5
    adapter.start(1)
    assert adapter.interval == 1
    adapter.stop()
