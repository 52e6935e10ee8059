"""OmbrelContext.shell: real commands through the system shell, time-outs
and cancellation that leave no process behind."""

import asyncio
import os
import time
import types

import pytest


@pytest.fixture
def ctx(corvex):
    return corvex.OmbrelContext("sh")


def is_gone(pid):
    """True once `pid` has ended (a zombie waiting for its reaper counts)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


async def wait_for_lines(path, count):
    for _ in range(500):
        if path.exists() and len(path.read_text().split()) >= count:
            return [int(x) for x in path.read_text().split()]
        await asyncio.sleep(0.01)
    raise AssertionError("the command never started")


async def assert_all_gone(pids):
    for _ in range(200):
        if all(is_gone(pid) for pid in pids):
            return
        await asyncio.sleep(0.01)
    raise AssertionError(f"still running: {[p for p in pids if not is_gone(p)]}")


@pytest.mark.parametrize("command, output, counted", [
    ("echo out", "out", 4),  # the count is taken before stripping
    ("echo err >&2", "err", 5),
    ("echo out; echo err >&2", "out\n\nerr", 9),
    ("printf '  padded  '", "padded", 10),
    ("printf 'bad \\377 byte'", "bad \ufffd byte", 10),
    ("echo 'ünï'; exit 3", "ünï", 4),
    ("true", "", 0),
    ("echo " + "x" * 55, "x" * 55, 56),  # 60 characters: logged by the first 50
    ("echo " + "é" * 55, "é" * 55, 56),  # characters, not bytes
])
async def test_output_joining_decoding_and_stripping(ctx, command, output, counted):
    assert await ctx.shell(command) == output
    assert ctx.get_logs()[-1].split("] ", 1)[1] == f"Shell: {command[:50]}... → {counted} chars"


async def test_timeout_kills_the_whole_group_and_logs_nothing(ctx, tmp_path):
    pids = tmp_path / "pids"
    command = f"sleep 100 & echo $! > {pids}; echo $$ >> {pids}; wait"
    started = time.monotonic()
    assert await ctx.shell(command, timeout=0.5) == "[TIMEOUT] Command timed out after 0.5s"
    assert time.monotonic() - started < 5
    background, shell = [int(x) for x in pids.read_text().split()]
    assert not os.path.exists(f"/proc/{shell}")  # the shell itself was reaped
    await assert_all_gone([background])
    assert ctx.get_logs() == []


@pytest.mark.parametrize("timeout, text", [(1, "1.0"), (0, "0.0"), (-2, "-2.0"), (True, "1.0")])
async def test_timeout_text_reads_as_a_float(ctx, timeout, text):
    assert await ctx.shell("sleep 5", timeout) == f"[TIMEOUT] Command timed out after {text}s"


async def test_errors_become_marker_text(ctx):
    assert await ctx.shell("echo a\0b") == "[ERROR] embedded null byte"
    assert ctx.get_logs() == []
    with pytest.raises(TypeError, match="^timeout must be a number, not str$"):
        await ctx.shell("true", "5")
    with pytest.raises(TypeError, match="^command must be str, not list$"):
        await ctx.shell(["true"])


async def test_cancellation_kills_the_command_and_propagates(ctx, tmp_path):
    pids = tmp_path / "pids"
    task = asyncio.create_task(ctx.shell(f"sleep 100 & echo $! > {pids}; echo $$ >> {pids}; wait"))
    started = await wait_for_lines(pids, 2)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    await assert_all_gone(started)
    assert ctx.get_logs() == []


async def test_shell_does_not_block_the_loop(ctx):
    ticks = 0

    async def tick():
        nonlocal ticks
        while True:
            ticks += 1
            await asyncio.sleep(0.01)

    ticker = asyncio.create_task(tick())
    assert await ctx.shell("sleep 0.3; echo done") == "done"
    ticker.cancel()
    assert ticks >= 10


@pytest.mark.parametrize("steps", [1, 2, 3])
async def test_cancellation_while_the_command_starts(ctx, tmp_path, steps):
    """Cancelled before the pipes are connected: the command must not be left
    running, nor the cancellation wait for what the command started."""
    pids = tmp_path / "pids"
    task = asyncio.create_task(ctx.shell(f"sleep 100 & echo $! > {pids}; wait"))
    for _ in range(steps):
        await asyncio.sleep(0)
    time.sleep(0.3)  # the loop is busy while the shell starts its child
    task.cancel()
    started = time.monotonic()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert time.monotonic() - started < 5
    # The shell may have been killed between creating the file and writing it.
    if pids.exists() and pids.read_text().strip():
        await assert_all_gone([int(pids.read_text())])


def processes_with(marker):
    """Pids of the live (not zombie) processes whose command line holds `marker`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if marker.encode() not in cmdline.read():
                    continue
            if not is_gone(int(entry)):
                found.append(int(entry))
        except OSError:
            pass
    return found


def our_zombies():
    zombies = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] == "Z" and int(fields[1]) == os.getpid():
            zombies.append(int(entry))
    return zombies


@pytest.fixture
def marker(request):
    """A unique sleep duration to find a test's processes by; whatever still
    runs at the end is killed."""
    text = f"30.{os.getpid()}{abs(hash(request.node.nodeid)) % 10**6:06d}"
    yield text
    for pid in processes_with(text):
        os.kill(pid, 9)


# Children that hold the output pipes open after the shell is gone: escaped
# from the session (setsid), deaf to SIGTERM, the shell replaced (exec), the
# shell gone at once while its job keeps the pipe.
HOLDERS = {
    "setsid": "setsid sleep {m} & sleep {m}",
    "sigterm-ignored": "setsid sh -c \"trap '' TERM; sleep {m}\" & sleep {m}",
    "exec": "exec sleep {m}",
    "shell-exits-at-once": "setsid sleep {m} &",
}


@pytest.mark.parametrize("holder", HOLDERS)
@pytest.mark.parametrize("ending", ["timeout", "cancel"])
async def test_time_out_and_cancel_bound_the_call(ctx, marker, holder, ending):
    fds = len(os.listdir("/proc/self/fd"))
    ticks = 0

    async def tick():
        nonlocal ticks
        while True:
            ticks += 1
            await asyncio.sleep(0.01)

    ticker = asyncio.create_task(tick())
    command = HOLDERS[holder].format(m=marker)
    started = time.monotonic()
    if ending == "timeout":
        assert await ctx.shell(command, 0.5) == "[TIMEOUT] Command timed out after 0.5s"
    else:
        task = asyncio.create_task(ctx.shell(command))
        await asyncio.sleep(0.5)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    elapsed = time.monotonic() - started
    ticker.cancel()
    assert elapsed < 2
    assert ticks >= 5  # the loop went on meanwhile (a blocked one ticks once)
    assert our_zombies() == []
    assert len(os.listdir("/proc/self/fd")) == fds
    # Only what escaped from the session may live on.
    assert bool(processes_with(marker)) == (holder != "exec")


@pytest.mark.parametrize("timeout", [float("nan"), -float("inf")])
async def test_a_nan_time_limit_has_expired_whatever_the_loop_holds(ctx, timeout):
    other_timer = asyncio.create_task(asyncio.sleep(100))
    started = time.monotonic()
    assert await ctx.shell("sleep 5", timeout) == f"[TIMEOUT] Command timed out after {timeout}s"
    assert time.monotonic() - started < 2
    other_timer.cancel()


async def test_an_infinite_time_limit_is_no_limit(ctx):
    assert await ctx.shell("sleep 0.1; echo done", float("inf")) == "done"


@types.coroutine
def drive(coro, action):
    """Awaits `coro` as a task would, applying `action` (throw) right after
    its first step, while the command is still starting."""
    yielded = coro.send(None)
    try:
        yielded = action(coro)
        while True:
            yielded = coro.send((yield yielded))
    except StopIteration as stop:
        return stop.value


@pytest.mark.parametrize("ending", ["close", "throw ValueError", "throw CancelledError",
                                    "throw KeyboardInterrupt"])
async def test_whatever_ends_the_start_the_child_is_killed(ctx, marker, ending):
    coro = ctx.shell(f"sleep {marker}")
    if ending == "close":
        coro.send(None)
        coro.close()
    elif ending == "throw ValueError":
        # Caught as any failure of the command.
        assert await drive(coro, lambda c: c.throw(ValueError("thrown in"))) == "[ERROR] thrown in"
    else:
        error = getattr(asyncio, ending[6:], None) or KeyboardInterrupt
        with pytest.raises(error):
            await drive(coro, lambda c: c.throw(error()))
    for _ in range(200):
        await asyncio.sleep(0.01)
        if not processes_with(marker) and not our_zombies():
            break
    assert processes_with(marker) == []
    assert our_zombies() == []
