"""Starting, stopping, reconfiguring, status and the error paths of the loop."""

import asyncio
import gc
import os
import pathlib
import subprocess
import sys
import warnings

import pytest
from heartbeat_support import FAST, cancel_requested, ticks, until

from ombrel.config import HeartbeatConfig
from ombrel.core import heartbeat


def heartbeat_tasks():
    return [t for t in asyncio.all_tasks() if t.get_name() == "heartbeat"]


async def test_status_and_fields(host, make_runner):
    config = HeartbeatConfig(enabled=True, interval_seconds=FAST, max_consecutive=7,
                             quiet_hours_start="22:00", quiet_hours_end="07:00")
    runner = make_runner(config)
    status = runner.status()
    assert list(status.items()) == [
        ("enabled", True), ("running", False), ("paused", False),
        ("interval_seconds", FAST), ("consecutive_beats", 0), ("max_consecutive", 7),
        ("quiet_hours_start", "22:00"), ("quiet_hours_end", "07:00")]
    assert runner.status() is not status
    assert runner._config is config and runner._on_beat == host.on_beat
    assert runner._task is None and runner._consecutive_beats == 0 and runner._paused is False
    assert isinstance(runner._stop_event, asyncio.Event) and not runner._stop_event.is_set()
    assert heartbeat.HeartbeatRunner(config, host.on_beat)._on_event is None

    runner._consecutive_beats = 4
    runner._paused = True
    assert (runner.consecutive_beats, runner.paused) == (4, True)
    runner.reset_consecutive()
    assert runner.consecutive_beats == 0 and runner.paused  # not resumed

    runner.start()
    assert runner.status()["running"] is True
    assert runner._task is heartbeat_tasks()[0]


async def test_start_twice_creates_one_task_and_logs_once(host, make_runner):
    runner = make_runner()
    runner.start()
    task = runner._task
    runner.start()
    assert runner._task is task and heartbeat_tasks() == [task]
    assert task.get_name() == "heartbeat"
    await until(lambda: host.prompts)
    runner.start()
    assert heartbeat_tasks() == [task]
    assert sum(m.startswith("Heartbeat started") for m in host.logs()) == 1


async def test_stop_during_an_agent_call_cancels_it(host, make_runner):
    called = asyncio.Event()
    outcome = []

    async def agent(prompt):
        called.set()
        try:
            await asyncio.sleep(60)
        except asyncio.CancelledError:
            outcome.append("cancelled")
            raise

    host.agent = agent
    runner = make_runner()
    runner.start()
    await asyncio.wait_for(called.wait(), 3)
    task = runner._task
    runner.stop()
    assert runner._task is None and not runner.running and runner._stop_event.is_set()
    await asyncio.wait({task}, timeout=3)
    # The loop ends quietly: the task finishes without being cancelled.
    assert not task.cancelled() and task.result() is None
    assert outcome == ["cancelled"]
    assert host.trail[-2:] == [("log", "INFO", "Heartbeat stopped"),
                               ("log", "DEBUG", "Heartbeat loop cancelled")]
    assert "Heartbeat agent call failed" not in host.logs()


async def test_cancelling_the_task_in_its_sleep_ends_the_loop(host, make_runner):
    runner = make_runner(interval_seconds=60)
    runner.start()
    await asyncio.sleep(0)
    runner._task.cancel()
    await asyncio.wait({runner._task}, timeout=3)
    assert not runner.running and runner._task.result() is None
    assert host.logs("DEBUG") == ["Heartbeat loop cancelled"]


@pytest.mark.parametrize("rounds", [0, 1])
async def test_stop_right_after_start(host, make_runner, rounds):
    runner = make_runner()
    runner.start()
    task = runner._task
    for _ in range(rounds):
        await asyncio.sleep(0)
    runner.stop()
    await asyncio.wait({task}, timeout=3)
    await ticks(3)
    assert task.done() and host.prompts == [] and not runner.running
    # A stopped runner starts again.
    runner.start()
    await until(lambda: host.prompts)


async def test_stop_when_nothing_runs(host, make_runner):
    runner = make_runner()
    runner.stop()
    assert runner._stop_event.is_set() and runner._task is None
    assert host.logs() == ["Heartbeat stopped"]


def test_start_without_a_running_loop_fails_cleanly(host):
    runner = heartbeat.HeartbeatRunner(HeartbeatConfig(), host.on_beat)
    runner._stop_event.set()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(RuntimeError, match="no running event loop"):
            runner.start()
        gc.collect()
    assert [str(w.message) for w in caught] == []  # no never-awaited coroutine
    assert runner._task is None and not runner._stop_event.is_set()
    assert host.logs() == []


async def test_an_agent_error_is_logged_and_the_beat_counts(host, make_runner):
    failure = ValueError("agent down")

    async def agent(prompt):
        raise failure

    host.agent = agent
    runner = make_runner(max_consecutive=3)
    runner.start()
    await until(lambda: runner.paused)
    runner.stop()
    assert len(host.prompts) == 3 and runner.consecutive_beats == 3
    failed = [r for r in host.records if r.msg == "Heartbeat agent call failed"]
    assert len(failed) == 3
    assert failed[0].levelname == "ERROR" and failed[0].exc_info[1] is failure
    assert failed[0].exc_info[2] is not None  # with its traceback


async def test_a_cancelled_error_from_the_agent_is_cancellation(host, make_runner):
    async def agent(prompt):
        raise asyncio.CancelledError()

    host.agent = agent
    runner = make_runner()
    runner.start()
    task = runner._task
    await asyncio.wait({task}, timeout=3)
    assert not runner.running and task.result() is None
    assert len(host.prompts) == 1
    assert host.logs()[-1] == "Heartbeat loop cancelled"
    assert "Heartbeat agent call failed" not in host.logs()


class FailingQuietHours(HeartbeatConfig):
    @property
    def quiet_hours_start(self):
        raise LookupError("configuration unreadable")

    @quiet_hours_start.setter
    def quiet_hours_start(self, value):
        pass


@pytest.mark.parametrize("failing", ["on_event", "configuration"])
async def test_an_event_or_configuration_error_ends_the_loop_silently(host, make_runner,
                                                                      failing):
    failure = LookupError("configuration unreadable")
    if failing == "on_event":
        runner = make_runner()

        async def on_event(event):
            raise failure
        runner._on_event = on_event
    else:
        runner = make_runner(FailingQuietHours(interval_seconds=FAST))
    runner.start()
    task = runner._task
    await asyncio.wait({task}, timeout=3)
    assert not runner.running and runner._task is task
    error = task.exception()
    assert type(error) is LookupError and str(error) == "configuration unreadable"
    if failing == "on_event":
        assert error is failure
    logged = [m for m in host.logs() if not m.startswith("Heartbeat started")]
    assert logged in ([], ["Heartbeat #1 firing"])
    assert host.prompts == []

    # A later start() runs a new loop.
    runner._on_event = host.on_event
    runner._config = HeartbeatConfig(interval_seconds=FAST)
    runner.start()
    assert runner._task is not task
    await until(lambda: host.prompts)


async def test_a_count_too_large_to_hold_ends_the_loop_with_an_overflow(host, make_runner):
    runner = make_runner(max_consecutive=2**64)
    runner._consecutive_beats = 2**63 - 1
    runner.start()
    task = runner._task
    await asyncio.wait({task}, timeout=3)
    assert type(task.exception()) is OverflowError
    assert runner.consecutive_beats == 2**63 - 1 and host.prompts == []


async def test_none_is_taken_where_python_takes_it(host):
    # As in Python, None is kept and fails only where it is used.
    runner = heartbeat.HeartbeatRunner(None, None)
    assert runner._config is None and runner._on_beat is None
    runner.update_config(None)  # not running: only replaced
    runner.update_config(HeartbeatConfig(interval_seconds=FAST, max_consecutive=1))
    runner.start()
    await until(lambda: runner.paused)
    runner.stop()
    failed = [r for r in host.records if r.msg == "Heartbeat agent call failed"]
    assert len(failed) == 1 and type(failed[0].exc_info[1]) is TypeError


@pytest.mark.parametrize("running, enabled", [(True, True), (True, False),
                                              (False, True), (False, False)])
async def test_update_config(host, make_runner, running, enabled):
    runner = make_runner(max_consecutive=2)
    if running:
        runner.start()
        await until(lambda: host.prompts)
    old_task = runner._task
    new_config = HeartbeatConfig(enabled=enabled, interval_seconds=FAST, max_consecutive=9,
                                 prompt="new")
    runner.update_config(new_config)
    assert runner._config is new_config
    assert runner.running == (running and enabled)
    if running:
        assert cancel_requested(old_task) or old_task.done()
        assert host.logs("INFO")[-1 - enabled] == "Heartbeat stopped"
    if running and enabled:
        assert runner._task is not old_task
        await asyncio.wait({old_task}, timeout=3)
        assert heartbeat_tasks() == [runner._task]
        assert host.logs("INFO")[-1] == (
            "Heartbeat started (interval=0s, max_consecutive=9)")
        await until(lambda: host.prompts[-1] == "new")
    else:
        assert runner._task is None and heartbeat_tasks() in ([], [old_task])


def test_imports_and_runs_without_the_host_configuration_module():
    package = pathlib.Path(heartbeat.__file__).parents[2]
    script = """
import asyncio, importlib.util, sys, types
from ombrel.core.heartbeat import HeartbeatRunner
assert importlib.util.find_spec("ombrel.config") is None
prompts = []
async def on_beat(prompt):
    prompts.append(prompt)
async def main():
    config = types.SimpleNamespace(enabled=True, interval_seconds=0.01, max_consecutive=2,
                                   quiet_hours_start="", quiet_hours_end="", prompt="hi")
    runner = HeartbeatRunner(config, on_beat)
    runner.start()
    while not runner.paused:
        await asyncio.sleep(0.01)
    runner.stop()
asyncio.run(main())
print(prompts)
"""
    env = {**os.environ, "PYTHONPATH": str(package)}
    result = subprocess.run([sys.executable, "-c", script], env=env, cwd=package,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['hi', 'hi']"
