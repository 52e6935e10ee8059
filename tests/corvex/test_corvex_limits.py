"""Limits of a run: its time, the characters of shell answers and logs, and
the browser, closed whatever ends the run."""

import asyncio
import math
import os
import resource
import subprocess

import pytest


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


SLOW = """
async def run(ctx, params):
    await ctx.shell(f"echo $$ > {params['pid']}; exec sleep 60")
    return {"finished": True}
"""


@pytest.mark.parametrize("runner_limit, run_limit", [(0.3, None), (60, 0.3)])
async def test_a_run_past_its_time_limit_fails_and_leaves_no_child(
        corvex, write_skill, records, tmp_path, runner_limit, run_limit):
    runner = corvex.PythonSkillRunner(time_limit=runner_limit)
    pid_file = tmp_path / "pid"
    result = await runner.run("slow", {"pid": str(pid_file)}, write_skill("slow.py", SLOW),
                              time_limit=run_limit)
    assert result.success is False
    assert result.error == "TimeoutError: the skill ran past its time limit of 0.3 seconds"
    assert result.logs[-1].endswith("FATAL ERROR: the skill ran past its time limit of 0.3 seconds")
    assert not alive(int(pid_file.read_text()))
    assert records()[-1] == "[slow] Browser closed"
    assert asyncio.current_task().cancelling() == 0  # its own cancellation was taken back


async def test_a_run_within_its_limit_and_outer_cancellation(corvex, write_skill):
    runner = corvex.PythonSkillRunner(time_limit=5)
    path = write_skill("quick.py", "async def run(ctx, params):\n    return {'ok': 1}\n")
    assert (await runner.run("quick", {}, path)).result == {"ok": 1}
    # A cancellation from outside stays a cancellation.
    write_skill("held.py", "import asyncio\nasync def run(ctx, params):\n    await asyncio.sleep(60)\n")
    task = asyncio.create_task(runner.run("held", {}))
    await asyncio.sleep(0.05)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


@pytest.mark.parametrize("kwargs, error", [
    ({"time_limit": 0}, ValueError), ({"time_limit": -1}, ValueError),
    ({"time_limit": math.nan}, ValueError), ({"time_limit": math.inf}, ValueError),
    ({"time_limit": "5"}, TypeError), ({"output_limit": 0}, ValueError),
    ({"output_limit": -3}, ValueError), ({"output_limit": 1.5}, TypeError),
    ({"output_limit": True}, TypeError)])
async def test_unusable_limits_are_refused(corvex, write_skill, kwargs, error):
    with pytest.raises(error, match=next(iter(kwargs))):
        corvex.PythonSkillRunner(**kwargs)
    if "time_limit" in kwargs:
        path = write_skill("any.py", "async def run(ctx, params):\n    return {}\n")
        with pytest.raises(error, match="time_limit"):
            await corvex.PythonSkillRunner().run("any", {}, path, **kwargs)


FLOOD = """
async def run(ctx, params):
    out = await ctx.shell(params["command"], timeout=120)
    for n in range(params["entries"]):
        ctx.log("entry %d " % n + "x" * 50)
    return {"out": out}
"""


@pytest.mark.parametrize("size, cut", [(300_000_000, True), (100, False)])
async def test_output_is_capped_and_says_how_much_was_cut(corvex, write_skill, size, cut):
    runner = corvex.PythonSkillRunner(output_limit=1000)
    command = f"yes a | tr -d '\\n' | head -c {size}; echo oops >&2"
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = await runner.run("flood", {"command": command, "entries": 100},
                              write_skill("flood.py", FLOOD))
    grown_mb = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    assert result.success is True, result.error
    out = result.result["out"]
    if cut:
        kept, marker = out.rsplit("\n", 1)
        assert kept == "a" * 1000
        assert marker == f"[... {size + len(chr(10) + 'oops') - 1000} characters cut]"
        if "LD_PRELOAD" not in os.environ:  # the sanitizer keeps freed memory a while
            assert grown_mb < 100
    else:
        assert out == "a" * size + "\noops"
    # The log keeps 1000 characters in all, then one line says what was cut.
    assert sum(map(len, result.logs[:-1])) == 1000
    assert result.logs[-1].startswith("[... ") and result.logs[-1].endswith(" characters cut]")


CLOSED_HALFWAY = """
import asyncio, pathlib
async def run(ctx, params):
    await ctx.browser_open()
    pathlib.Path(params["flag"]).write_text("open")
    await asyncio.Future()
"""


def chromium_pids():
    found = subprocess.run(["pgrep", "-f", "chrom"], capture_output=True, text=True).stdout
    return set(map(int, found.split()))


async def drive_until(coroutine, done):
    """Steps `coroutine` as a task would, until `done()`."""
    while not done():
        waiting = coroutine.send(None)
        if waiting is None:
            await asyncio.sleep(0)
            continue
        waiting._asyncio_future_blocking = False
        while not waiting.done() and not done():
            await asyncio.wait([waiting], timeout=0.05)


async def test_a_closed_run_still_closes_its_browser(
        corvex, runner, write_skill, browsers_path, monkeypatch, tmp_path):
    monkeypatch.setenv("PLAYWRIGHT_BROWSERS_PATH", str(browsers_path))
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    before = chromium_pids()
    flag = tmp_path / "flag"
    coroutine = runner.run("halfway", {"flag": str(flag)}, write_skill("halfway.py", CLOSED_HALFWAY))
    await asyncio.wait_for(drive_until(coroutine, flag.exists), 60)
    started = chromium_pids() - before
    assert started
    coroutine.close()  # it cannot await any more: the loop closes the browser
    for _ in range(200):
        if not (chromium_pids() & started) and not corvex._pending_cleanups:
            break
        await asyncio.sleep(0.05)
    assert not (chromium_pids() & started)
