"""Every type the four modules expose, used from plain Python the way a
careless or hostile caller would: made without its constructor, then poked.
Each probe runs in a child interpreter, so that a crash is a failure here."""

import subprocess
import sys
import textwrap
import weakref

import pytest

MODULES = ["ombrel.gateway.ws", "ombrel.core.heartbeat", "ombrel.skills.corvex",
           "ombrel.pc.vantor"]

PROBE = textwrap.dedent("""
    import asyncio, gc, importlib, sys
    module = importlib.import_module(sys.argv[1])
    from ombrel.gateway import ws
    coroutine = ws.ConnectionManager().broadcast({})
    types = {name: getattr(module, name) for name in dir(module)
             if isinstance(getattr(module, name), type)}
    types["coroutine"], types["await iterator"] = type(coroutine), type(coroutine.__await__())
    coroutine.close()

    def attempt(action):
        try:
            action()
        except Exception:
            pass

    async def awaiting(obj):
        await obj

    for name, cls in types.items():
        try:
            obj = cls.__new__(cls)
        except TypeError:
            print(name, "refused")
            continue
        for action in (lambda: repr(obj), lambda: next(obj), lambda: iter(obj), lambda: hash(obj),
                       lambda: asyncio.run(awaiting(obj)), lambda: obj.send(None),
                       lambda: obj.throw(ValueError), lambda: obj.close(), gc.collect):
            attempt(action)
        for attribute in dir(cls):
            attempt(lambda: getattr(obj, attribute)())
            attempt(lambda: getattr(obj, attribute)(None))
        del obj
        gc.collect()
        print(name, "survived")
""")


@pytest.mark.parametrize("module", MODULES)
def test_objects_made_without_a_constructor_cannot_crash(module):
    probe = subprocess.run([sys.executable, "-c", PROBE, module], capture_output=True,
                           text=True, timeout=120)
    assert probe.returncode == 0, probe.stderr[-2000:]
    results = dict(line.rsplit(" ", 1) for line in probe.stdout.splitlines())
    # The bridge's own objects only ever come from the bridge, as CPython's
    # coroutine wrappers only from coroutines.
    assert results["coroutine"] == results["await iterator"] == "refused"


def test_bridge_coroutines_refuse_construction_and_are_weakly_referenceable():
    from ombrel.gateway import ws
    coroutine = ws.ConnectionManager().broadcast({})
    iterator = coroutine.__await__()
    for cls in (type(coroutine), type(iterator)):
        with pytest.raises(TypeError, match=f"^cannot create '{cls.__name__}' instances$"):
            cls.__new__(cls)
    reference = weakref.ref(coroutine)
    assert reference() is coroutine
    coroutine.close()
    del coroutine, iterator
    assert reference() is None
