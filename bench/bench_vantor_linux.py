"""Cost of a Linux AT-SPI snapshot.

    PYTHONPATH=build/rel/package python bench/bench_vantor_linux.py [--repeat 7]

(1) document: a fake `python3` (a shell script that prints a file) answers
    with an AT-SPI walker document of 50,000 element records (realistic
    roles, names, values and depths). Figures: the time from the call of
    `_snapshot_linux_atspi` to its result; the time of the child alone (the
    same process started and read by asyncio directly); their difference,
    which is our own share (decoding, parsing, the text and the ref table);
    and, measured in the same run, a plain-Python rendering of the same
    document-to-text conversion (decode, json.loads, the lines and the
    entries), with the ratio of the two. Each is given as wall time and as
    this process's CPU time (the child's own CPU is not counted), which a
    busy machine disturbs far less.
(2) real: snapshots (depth 8) of the GTK test window of the end-to-end
    tests and of Debian's gtk3-widget-factory, on a real Xvfb + D-Bus +
    AT-SPI session (tests/vantor/desktop/session.py), taken in turns: the
    long-lived walker (LINUX_WORKER) warm, our one-shot snapshot (a process
    each), and the walker as it was, in plain Python (a process each); the
    median time per snapshot and per listed element, and how many times
    faster than as it was. The warm walker's window does not change its
    tree between snapshots; after a change of the tree it reads the
    application's cache again, as the one-shot snapshot does.

Without PYTHONPATH the Release build in build/rel is used. Build it with
    cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release
    ninja -C build/rel vantor
"""
import argparse
import asyncio
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import timing

ROOT = Path(__file__).resolve().parents[1]
ELEMENTS = 50_000
SESSION = ROOT / "tests" / "vantor" / "desktop" / "session.py"

try:
    from ombrel.pc import vantor
except ImportError:
    sys.path.insert(0, str(ROOT / "build" / "rel" / "package"))
    from ombrel.pc import vantor

INTERACTIVE = ["push button", "check box", "combo box", "text", "link", "menu item",
               "radio button", "list item", "toggle button", "entry"]
CONTEXT = ["label", "panel", "filler", "heading", "paragraph", "section"]


def make_document(rng):
    """A walker document: records in pre-order with consistent depths."""
    records, ref, depth = [], 0, 0
    for i in range(ELEMENTS):
        depth = max(1, min(depth + rng.choice((-2, -1, 0, 0, 1, 1)), 9))
        if rng.random() < 0.55:
            ref += 1
            role = rng.choice(INTERACTIVE)
            name = rng.choice(["", f"Item {i}", f"Open the file number {i}", "OK"])
            value = f"value {i} " * rng.randint(1, 20) if role in ("text", "entry") else ""
            records.append({"ref": ref, "role": role, "name": name, "value": value,
                            "depth": depth})
        else:
            name = rng.choice(["", f"Label {i}", "Lorem ipsum dolor sit amet " * 10])
            records.append({"ref": 0, "role": rng.choice(CONTEXT), "name": name, "value": "",
                            "depth": depth})
    return json.dumps({"success": True, "window": "Big window", "app": "bench",
                       "elements": records, "element_count": ref})


def python_conversion(stdout):
    """The document-to-text conversion in plain Python."""
    text = stdout.decode("utf-8", errors="replace").strip()
    data = json.loads(text)
    if not data.get("success"):
        return data
    ref_map, counter = {}, 0
    lines = [f"Window: {data['window']}", ""]
    for el in data.get("elements", []):
        indent = "  " * min(el["depth"], 4)
        if el["ref"] > 0:
            counter += 1
            ref_map[counter] = {"role": el["role"], "name": el["name"], "value": el["value"],
                                "backend": "linux_atspi"}
            line = f"{indent}[{counter}] {el['role']}"
            if el["name"]:
                line += f' "{el["name"]}"'
            if el["value"] and el["value"] != el["name"]:
                line += f' value="{el["value"][:100]}"'
            lines.append(line)
        elif el["name"]:
            lines.append(f"{indent}{el['role']}: {el['name'][:200]}")
    return {"success": True, "window": data["window"], "snapshot": "\n".join(lines),
            "element_count": counter, "platform": "linux_atspi"}, ref_map


def ready_controller():
    controller = vantor.Vantor()
    controller._initialized = True
    controller._linux_atspi_available = controller._linux_xdotool_available = True
    return controller


async def child_alone(command):
    process = await asyncio.create_subprocess_exec(
        *command, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
    stdout, _ = await process.communicate()
    return stdout


def ms(seconds):
    return f"{seconds * 1e3:8.2f} ms"


async def document_figures(repeat):
    workdir = Path(tempfile.mkdtemp(prefix="bench-vantor-"))
    document = make_document(random.Random(11))
    (workdir / "doc.json").write_text(document)
    fake = workdir / "bin" / "python3"
    fake.parent.mkdir()
    fake.write_text(f"#!/bin/sh\nexec /bin/cat {workdir / 'doc.json'}\n")
    fake.chmod(0o755)
    os.environ["PATH"] = f"{fake.parent}{os.pathsep}{os.environ['PATH']}"

    controller = ready_controller()
    first = await controller._snapshot_linux_atspi(None, 8)
    stdout = await child_alone([str(fake)])
    expected, table = python_conversion(stdout)
    assert all(first[k] == expected[k] for k in expected), "the conversions differ"
    assert controller._ref_map == table

    laps = timing.Laps()
    for _ in range(repeat):
        with laps.take("call"):
            await controller._snapshot_linux_atspi(None, 8)
        with laps.take("child"):
            stdout = await child_alone([str(fake)])
        with laps.take("python"):
            python_conversion(stdout)
    print(f"document: {ELEMENTS:,} records, {first['element_count']:,} refs, "
          f"{len(document) / 1e6:.1f} MB of JSON, {len(first['snapshot']) / 1e6:.1f} MB of text "
          f"(medians of {repeat}; wall time, and this process's CPU time)")
    for clock in ("wall", "cpu"):
        call, child, plain = (statistics.median(getattr(laps, clock)(what))
                              for what in ("call", "child", "python"))
        ours = max(call - child, 1e-9)
        print(f"  [{clock}] call to result {ms(call)}, the child alone {ms(child)}")
        print(f"  [{clock}] ours (parse, text, table) {ms(ours)} = {ours / call:5.1%} of the "
              f"call, {ours / ELEMENTS * 1e9:5.0f} ns per record")
        print(f"  [{clock}] plain Python conversion  {ms(plain)} = "
              f"{plain / ELEMENTS * 1e9:5.0f} ns per record;  ratio Python / ours "
              f"{plain / ours:5.1f}x")


# Today's one-shot snapshot before the cache and the worker, in plain Python:
# the walker as it was, run by a new python3 per snapshot that imports gi and
# asks the bus for each property of each element, one call at a time (its
# window also found by its application's name, as ours now is).
PLAIN_WALKER = r"""
import json, sys, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi
target_title, max_depth = sys.argv[1], int(sys.argv[2])
INTERACTIVE = {"push button", "check box", "combo box", "text", "link", "menu item",
               "menu bar", "radio button", "slider", "page tab", "tree item", "list item",
               "toggle button", "spin button", "entry", "password text"}
CONTEXT = {"label", "status bar", "panel", "frame", "filler", "heading", "section",
           "paragraph"}

def children(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield child

def choose_window(desktop):
    title = target_title.lower()
    for app in children(desktop):
        for window in children(app):
            name = (window.get_name() or "") + " " + (app.get_name() or "")
            if (window.get_role_name() or "") in ("frame", "window", "dialog") \
                    and title in name.lower():
                return app, window
    return None, None

def value_text(node):
    try:
        value = node.get_value_iface()
        return str(value.get_current_value()) if value is not None else ""
    except Exception:
        return ""

def is_enabled(node):
    try:
        states = node.get_state_set()
        return states.contains(Atspi.StateType.SENSITIVE) or states.contains(
            Atspi.StateType.ENABLED)
    except Exception:
        return True

def walk(root):
    elements, ref, path, node, depth = [], 0, [], root, 0
    while True:
        if node is not None and depth <= max_depth:
            try:
                role = node.get_role_name() or ""
                name = node.get_name() or ""
                shown = name or node.get_description() or ""
                if role in INTERACTIVE and is_enabled(node):
                    ref += 1
                    elements.append({"ref": ref, "role": role, "name": shown,
                                     "value": value_text(node), "depth": depth})
                elif role in CONTEXT and shown:
                    elements.append({"ref": 0, "role": role, "name": shown, "value": "",
                                     "depth": depth})
                if depth < max_depth:
                    path.append([node, depth, 0, node.get_child_count()])
            except Exception:
                pass
        node = None
        while node is None and path:
            top = path[-1]
            if top[2] >= top[3]:
                path.pop()
                continue
            index = top[2]
            top[2] += 1
            try:
                node, depth = top[0].get_child_at_index(index), top[1] + 1
            except Exception:
                path.pop()
        if node is None:
            return elements, ref

app, window = choose_window(Atspi.get_desktop(0))
elements, count = walk(window) if window is not None else ([], 0)
print(json.dumps({"success": window is not None, "elements": elements,
                  "element_count": count}, ensure_ascii=False))
"""


async def plain_snapshot(title, depth):
    stdout = await child_alone(["/usr/bin/python3", "-c", PLAIN_WALKER, title, str(depth)])
    return json.loads(stdout)


def gtk_env():
    env = dict(os.environ, NO_AT_BRIDGE="0", GTK_A11Y="atspi", GNOME_ACCESSIBILITY="1",
               GSETTINGS_BACKEND="memory")
    env.pop("LD_PRELOAD", None)
    return env


async def window_figures(title, repeat):
    """The warm snapshot of the long-lived walker against our one-shot
    snapshot and the plain-Python one, in turns."""
    one_shot, worker = ready_controller(), ready_controller()
    vantor.LINUX_WORKER = True
    first = await worker.snapshot(window_title=title, max_depth=8)
    assert first["success"], first
    vantor.LINUX_WORKER = False
    assert (await one_shot.snapshot(window_title=title, max_depth=8)) == first
    plain = await plain_snapshot(title, 8)
    assert plain["success"] and plain["element_count"] == first["element_count"], plain
    listed = first["snapshot"].count("\n") - 1
    laps = timing.Laps()
    for _ in range(repeat):
        vantor.LINUX_WORKER = True
        with laps.take("worker"):
            await worker.snapshot(window_title=title, max_depth=8)
        vantor.LINUX_WORKER = False
        with laps.take("one-shot"):
            await one_shot.snapshot(window_title=title, max_depth=8)
        with laps.take("plain"):
            await plain_snapshot(title, 8)
    await worker.aclose()
    medians = {kind: statistics.median(laps.wall(kind)) for kind in laps}
    print(f"{title}: {listed} listed elements, {first['element_count']} refs, depth 8 "
          f"(medians of {repeat})")
    names = {"worker": "long-lived walker (warm)", "one-shot": "one-shot (a process each)",
             "plain": "the walker as it was (plain Python, a process each)"}
    for kind in ("worker", "one-shot", "plain"):
        print(f"  {names[kind]:52} {ms(medians[kind])}, "
              f"{medians[kind] / listed * 1e3:6.3f} ms per listed element; as it was / this "
              f"{medians['plain'] / medians[kind]:5.1f}x")


async def real_figures(repeat):
    if not os.path.exists("/usr/bin/python3"):
        print("real: skipped (no /usr/bin/python3)")
        return
    session = subprocess.Popen(["/usr/bin/python3", str(SESSION), "Vantor bench window"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    factory = None
    try:
        info = json.loads(session.stdout.readline())
        if "error" in info:
            print(f"real: skipped ({info['error']})")
            return
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = info[name]
        vantor.LINUX_PYTHON = "/usr/bin/python3"
        await window_figures("Vantor bench window", repeat)
        if not shutil.which("gtk3-widget-factory"):
            print("gtk3-widget-factory: skipped (apt install gtk-3-examples)")
            return
        factory = subprocess.Popen(["gtk3-widget-factory"], env=gtk_env(),
                                   stderr=subprocess.DEVNULL)
        # Its frame has no name: it is found by its application's name, as
        # with LINUX_ACTIONS (which the figures keep).
        vantor.LINUX_ACTIONS = True
        for _ in range(100):
            found = await ready_controller().snapshot(window_title="gtk3-widget-factory")
            if found["success"] and found["element_count"] > 20:
                break
            await asyncio.sleep(0.2)
        await window_figures("gtk3-widget-factory", repeat)
    finally:
        if factory is not None:
            factory.terminate()
            factory.wait(10)
        session.stdin.close()
        session.wait(15)


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    await document_figures(args.repeat)
    await real_figures(args.repeat)


if __name__ == "__main__":
    asyncio.run(main())
