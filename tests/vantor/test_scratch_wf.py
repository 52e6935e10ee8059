import asyncio, os, subprocess, time
from ombrel.pc import vantor

async def test_wf(linux, monkeypatch):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env.update(NO_AT_BRIDGE="0", GTK_A11Y="atspi", GNOME_ACCESSIBILITY="1", GSETTINGS_BACKEND="memory")
    p = subprocess.Popen(["gtk3-widget-factory"], env=env, stderr=subprocess.DEVNULL)
    try:
        c = vantor.Vantor()
        await asyncio.sleep(3)
        print(await c.list_windows())
        r = await c.snapshot(window_title="gtk3-widget-factory")
        print(r["success"], r.get("error"), r.get("window"))
        monkeypatch.setattr(vantor, "LINUX_ACTIONS", True)
        c = vantor.Vantor()
        t = time.monotonic()
        r = await c.snapshot(window_title="gtk3-widget-factory", max_depth=8)
        print(time.monotonic() - t, r["success"], r.get("error"), r.get("window"), r.get("element_count"))
        print(r["snapshot"][:800])
    finally:
        p.terminate(); p.wait()
