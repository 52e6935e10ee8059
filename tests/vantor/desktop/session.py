"""A desktop session for the tests, run by Debian's python3: Xvfb on a free
display, a D-Bus session bus (with the AT-SPI bus it activates) and the GTK
window of gtk_window.py.

    session.py TITLE

Run, it prints one JSON line, {"DISPLAY": ..., "DBUS_SESSION_BUS_ADDRESS": ...,
"XDG_RUNTIME_DIR": ..., "XAUTHORITY": ..., "window_id": ...}, once the window can be read on the accessibility bus (or
{"error": ...}), then waits until its standard input closes and ends every
process it started. It is their child subreaper: the daemons that D-Bus
starts and detach from their parents come back to it and are reaped too.
"""
import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PR_SET_CHILD_SUBREAPER = 36
PROBE = """
import sys, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi
desktop = Atspi.get_desktop(0)
for i in range(desktop.get_child_count()):
    app = desktop.get_child_at_index(i)
    for j in range(app.get_child_count() if app else 0):
        window = app.get_child_at_index(j)
        if window is not None and window.get_name() == sys.argv[1]:
            sys.exit(0)
sys.exit(1)
"""


def descendants():
    """Pids of every living process below this one."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                parents[int(entry)] = int(fields[1])
            except (OSError, IndexError, ValueError):
                pass
    found, frontier = set(), {os.getpid()}
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier} - found
        found |= frontier
    return found


def end_all():
    for sig in (signal.SIGTERM, signal.SIGKILL):
        deadline = time.monotonic() + 2
        for pid in descendants():
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        while time.monotonic() < deadline:
            try:
                while os.waitpid(-1, os.WNOHANG)[0]:
                    pass
            except ChildProcessError:
                return
            if not descendants():
                break
            time.sleep(0.02)
    try:
        while True:
            os.waitpid(-1, 0)
    except ChildProcessError:
        pass


def start(title, env):
    read, write = os.pipe()
    subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                      "-nolisten", "tcp"], pass_fds=[write], stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as displayfd:
        number = displayfd.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start")
    env["DISPLAY"] = f":{number}"
    # Xvfb asks for no authorisation, but X clients that read the authority
    # file (python-xlib, under PyAutoGUI) want one to exist.
    env["XAUTHORITY"] = os.path.join(env["XDG_RUNTIME_DIR"], "Xauthority")
    open(env["XAUTHORITY"], "wb").close()
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
    window = subprocess.Popen([sys.executable, os.path.join(HERE, "gtk_window.py"), title],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                              text=True)
    window_id = window.stdout.readline().strip()
    deadline = time.monotonic() + 30
    while subprocess.run([sys.executable, "-c", PROBE, title], env=env,
                         stderr=subprocess.DEVNULL, timeout=30).returncode:
        if time.monotonic() > deadline:
            raise RuntimeError("the window did not appear on the accessibility bus")
        time.sleep(0.1)
    return {"DISPLAY": env["DISPLAY"], "DBUS_SESSION_BUS_ADDRESS": env["DBUS_SESSION_BUS_ADDRESS"],
            "XDG_RUNTIME_DIR": env["XDG_RUNTIME_DIR"], "XAUTHORITY": env["XAUTHORITY"],
            "window_id": window_id}


def main():
    ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    runtime = tempfile.mkdtemp(prefix="vantor-session-")
    os.chmod(runtime, 0o700)
    env = dict(os.environ, NO_AT_BRIDGE="0", GTK_A11Y="atspi", GNOME_ACCESSIBILITY="1",
               GSETTINGS_BACKEND="memory", XDG_RUNTIME_DIR=runtime)
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    try:
        try:
            print(json.dumps(start(sys.argv[1], env)), flush=True)
        except Exception as error:  # reported to the fixture, which fails with it
            print(json.dumps({"error": f"{type(error).__name__}: {error}"}), flush=True)
        sys.stdin.read()
    finally:
        end_all()
        shutil.rmtree(runtime, ignore_errors=True)


if __name__ == "__main__":
    main()
