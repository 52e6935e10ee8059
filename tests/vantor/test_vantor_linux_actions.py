"""Linux refs that act (LINUX_ACTIONS), the long-lived walker (LINUX_WORKER)
and LINUX_PYTHON, against the real desktop of the session helper."""

import asyncio
import gc
import logging
import os
import signal
import subprocess
import sys

import pytest

from ombrel.pc import vantor


def elements(result):
    return [line.strip() for line in result["snapshot"].split("\n")[2:]]


def children():
    """Pids of this process's living children (zombies included)."""
    me, found = os.getpid(), set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == me:
                found.add(int(entry))
    return found


@pytest.fixture(params=[False, True], ids=["one-shot", "worker"])
async def acting(request, linux, monkeypatch):
    """A controller whose Linux refs act, with or without the long-lived
    walker; no child of it is left after the test."""
    monkeypatch.setattr(vantor, "LINUX_ACTIONS", True)
    monkeypatch.setattr(vantor, "LINUX_WORKER", request.param)
    before = children()
    controller = vantor.Vantor()
    yield controller
    await controller.aclose()
    assert children() <= before


async def test_refs_act_on_the_window(acting, action_window):
    shot = await acting.snapshot(window_title=action_window)
    assert elements(shot)[1:6] == ['[1] push button "Press me"', '[2] text',
                                   '[3] check box "Tick me"', '[4] spin button value="42.0"',
                                   '[5] combo box "Red"']
    assert acting._ref_map[1]["path"] == (0, 0)

    click = await acting.click_ref(1)
    assert click["success"] and click["method"] == "action", click
    typed = await acting.type_ref(2, " more", clear_first=False)
    assert typed["value"] == "typed text more", typed
    entered = await acting.type_ref(2, "hello", press_enter=True)
    assert entered["success"] and entered["value"] == "hello", entered
    toggled = await acting.toggle_ref(3)
    assert toggled["success"] and toggled["checked"] is True, toggled
    assert (await acting.select_ref(5, "Blue"))["success"]

    shot = await acting.snapshot(window_title=action_window, details=True)
    lines = elements(shot)
    assert lines[1].startswith('[1] push button "Pressed 1 time"')
    assert lines[3].startswith('[3] check box "Tick me" [checked]')
    assert lines[5].startswith('[5] combo box "Blue"')
    assert lines[-1].startswith("label: Entered: hello")
    assert not any("-2147483648" in line for line in lines)
    missing = await acting.select_ref(5, "Mauve")
    assert not missing["success"] and missing["choices"] == ["Red", "Green", "Blue"], missing


async def test_a_stale_ref_is_refused_and_nothing_is_done(acting, action_window):
    await acting.snapshot(window_title=action_window)
    assert (await acting.click_ref(1))["success"]
    again = await acting.click_ref(1)   # its name is "Pressed 1 time" now
    assert again == {"success": False, "ref": 1, "stale": True, "error":
                     "Ref [1] is stale: the element changed since the snapshot. "
                     "Take a new snapshot."}
    shot = await acting.snapshot(window_title=action_window)
    assert elements(shot)[1] == '[1] push button "Pressed 1 time"'


async def test_the_worker_is_restarted_after_a_kill(linux, monkeypatch):
    monkeypatch.setattr(vantor, "LINUX_WORKER", True)
    before = children()
    controller = vantor.Vantor()
    assert (await controller.snapshot())["success"]
    (worker,) = children() - before
    pending = asyncio.ensure_future(controller.snapshot())
    await asyncio.sleep(0)
    os.kill(worker, signal.SIGKILL)
    killed = await pending     # answered or failed, never raised
    assert killed["success"] or killed["error"].startswith("AT-SPI2 failed: "), killed
    assert (await controller.snapshot())["success"]
    assert worker not in children()
    del controller         # collected without aclose(): its walker goes too
    gc.collect()
    for _ in range(50):
        if children() <= before:
            break
        await asyncio.sleep(0.02)
    assert children() <= before


@pytest.mark.parametrize("worker", [False, True], ids=["one-shot", "worker"])
async def test_a_hung_walker_leaves_no_child(linux, tmp_path, monkeypatch, worker):
    hanging = tmp_path / "python-hangs"
    hanging.write_text('#!/bin/sh\ncase "$2" in "import gi;"*) exec /usr/bin/python3 "$@";; '
                       'esac\nexec sleep 600\n')
    hanging.chmod(0o755)
    monkeypatch.setattr(vantor, "LINUX_PYTHON", str(hanging))
    monkeypatch.setattr(vantor, "LINUX_ACTIONS", True)
    monkeypatch.setattr(vantor, "LINUX_WORKER", worker)
    before = children()
    controller = vantor.Vantor()
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(controller.snapshot(), 0.5)
    assert children() <= before
    await controller.aclose()


def test_the_probe_names_the_interpreter_that_lacks_gi(linux, monkeypatch, caplog):
    monkeypatch.setattr(vantor, "LINUX_PYTHON", os.path.basename(sys.executable))
    monkeypatch.setenv("PATH", os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    monkeypatch.setattr(vantor, "LINUX_ACTIONS", True)
    controller = vantor.Vantor()
    with caplog.at_level(logging.WARNING, "ombrel.pc.desktop"):
        controller._init_linux()
    assert not controller._linux_atspi_available
    (warning,) = [r.getMessage() for r in caplog.records if "AT-SPI2" in r.getMessage()]
    assert sys.executable in warning and "No module named 'gi'" in warning, warning


async def test_a_listed_window_without_an_accessible_name_is_found(linux, monkeypatch):
    """gtk3-widget-factory's frame has no accessible name: xdotool lists it
    under its application's name, which the snapshot then matches."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}   # not ours to check
    factory = subprocess.Popen(["gtk3-widget-factory"], stderr=subprocess.DEVNULL, env={
        **env, "NO_AT_BRIDGE": "0", "GTK_A11Y": "atspi", "GSETTINGS_BACKEND": "memory"})
    try:
        controller = vantor.Vantor()
        for _ in range(150):
            listed = await controller.list_windows()
            if any(w["title"] == "gtk3-widget-factory" for w in listed["windows"]):
                break
            await asyncio.sleep(0.1)
        plain = await controller.snapshot(window_title="gtk3-widget-factory")
        assert plain["window"] == "Vantor test window"      # as before: another window
        monkeypatch.setattr(vantor, "LINUX_WORKER", True)
        for _ in range(100):
            found = await controller.snapshot(window_title="gtk3-widget-factory")
            if found["success"] and found["element_count"] > 20:
                break
            await asyncio.sleep(0.1)
        assert found["window"] == "Unknown" and found["element_count"] > 20, found
        await controller.aclose()
        # A walker of its own reads the first elements one at a time, then
        # the application's cache: the same text.
        monkeypatch.setattr(vantor, "LINUX_WORKER", False)
        monkeypatch.setattr(vantor, "LINUX_ACTIONS", True)
        one_shot = await controller.snapshot(window_title="gtk3-widget-factory")
        assert one_shot["snapshot"] == found["snapshot"]
    finally:
        factory.terminate()
        factory.wait(10)
        subprocess.run(["xdotool", "windowfocus", "--sync", linux["window_id"]], timeout=10)
