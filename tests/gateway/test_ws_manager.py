"""The connection registry and the module's Python interface, driven directly
as a host would, with real Starlette WebSockets over in-memory ASGI channels."""
from __future__ import annotations

import asyncio
import gc
import inspect
import sys

import pytest

from ombrel.gateway import server, ws
from ws_support import asgi_socket, client, host, messages, ombrel_log  # noqa: F401


async def test_connect_and_disconnect_keep_the_registry_and_log(ombrel_log):
    manager = ws.ConnectionManager()
    assert manager._connections == [] and ws.ConnectionManager.__doc__ == "Manages active WebSocket connections."
    first, second, stranger = asgi_socket(), asgi_socket(), asgi_socket()
    await manager.connect(first)
    await manager.connect(second)
    assert manager._connections == [first, second]
    assert first.application_state.name == "CONNECTED"
    manager.disconnect(stranger)
    manager.disconnect(first)
    manager.disconnect(first)
    assert manager._connections == [second]
    assert messages(ombrel_log) == ["Client connected (1 total)", "Client connected (2 total)",
                                    "Client disconnected (2 total)", "Client disconnected (1 total)",
                                    "Client disconnected (1 total)"]


async def test_broadcast_skips_and_drops_broken_connections():
    manager = ws.ConnectionManager()
    await manager.broadcast({"type": "nobody"})
    sockets = [asgi_socket(), asgi_socket(fail_send=True), asgi_socket()]
    for socket_ in sockets:
        await manager.connect(socket_)
    await manager.broadcast({"type": "hello", "n": 1})
    assert [s.events() for s in sockets] == [[{"type": "hello", "n": 1}], [], [{"type": "hello", "n": 1}]]
    assert manager._connections == [sockets[0], sockets[2]]
    with pytest.raises(TypeError, match="message must be dict, not list"):
        await manager.broadcast([1])


@pytest.mark.parametrize("limit", [None, 5.0, 0.05])
async def test_broadcast_time_limit_forms(monkeypatch, limit):
    """Sends that complete at once or after waiting a little, under each form
    of the send time limit: none, ample, short (a stuck send is dropped and
    its client closed as too slow)."""
    monkeypatch.setattr(ws, "BROADCAST_SEND_TIMEOUT", limit)
    sent, closed = [], []

    class Recipient:
        def __init__(self, steps):
            self.steps = steps

        async def send_json(self, message):
            for _ in range(self.steps):
                await asyncio.sleep(0)
            if self.steps > 10:
                await asyncio.get_running_loop().create_future()
            sent.append((self.steps, message["n"]))

        async def close(self, code=1000, reason=None):
            closed.append((self.steps, code, reason))

    quick, waiting, stuck = Recipient(0), Recipient(3), Recipient(11)
    manager = ws.ConnectionManager()
    manager._connections.extend([quick, waiting] + ([stuck] if limit == 0.05 else []))
    await manager.broadcast({"type": "x", "n": 1})
    await asyncio.sleep(0)
    assert sent == [(0, 1), (3, 1)]
    assert manager._connections == [quick, waiting]
    assert closed == ([(11, 1008, "Too slow: a message could not be delivered in time")]
                      if limit == 0.05 else [])


@pytest.mark.parametrize("limit, error", [
    (0, ValueError), (-1.0, ValueError), (float("nan"), ValueError), (float("inf"), ValueError),
    (10**400, ValueError), ("5", TypeError)])
async def test_broadcast_refuses_unusable_time_limits(monkeypatch, limit, error):
    monkeypatch.setattr(ws, "BROADCAST_SEND_TIMEOUT", limit)
    manager = ws.ConnectionManager()
    manager._connections.append(asgi_socket())
    with pytest.raises(error, match="BROADCAST_SEND_TIMEOUT must be"):
        await manager.broadcast({"type": "x"})
    assert len(manager._connections) == 1


async def test_broadcast_survives_the_registry_changing_meanwhile():
    manager = ws.ConnectionManager()
    first, broken, last = asgi_socket(), asgi_socket(fail_send=True), asgi_socket()
    for socket_ in (first, broken, last):
        await manager.connect(socket_)
    original_send = first._send

    async def send_and_leave(message):
        # While this send waits, the first and the broken client's own receive
        # loops unregister them.
        await original_send(message)
        manager.disconnect(first)
        manager.disconnect(broken)
        await asyncio.sleep(0)

    first._send = send_and_leave
    await manager.broadcast({"type": "x"})
    assert [s.events() for s in (first, broken, last)] == [[{"type": "x"}], [], [{"type": "x"}]]
    assert manager._connections == [last]


@pytest.mark.parametrize("operation", ["disconnect", "broadcast"])
async def test_registry_replaced_by_a_comparison(ombrel_log, operation):
    # `ws in self._connections` runs the registered objects' __eq__, which may
    # replace the registry: the list being searched must outlive that.
    manager = ws.ConnectionManager()
    broken, other = asgi_socket(fail_send=True), asgi_socket()
    replacement = [other, broken]

    class Replacing:
        armed = True

        async def send_json(self, message):
            pass

        def __eq__(self, other):
            if Replacing.armed:
                Replacing.armed = False
                manager._connections = replacement
            return False

        __hash__ = object.__hash__

    await broken.accept()
    manager._connections.extend([Replacing() for _ in range(20)] + [broken])
    if operation == "disconnect":
        manager.disconnect(broken)
        assert messages(ombrel_log) == ["Client disconnected (1 total)"]
    else:
        await manager.broadcast({"type": "x"})
    assert manager._connections is replacement and replacement == [other]


async def test_cancellation_is_not_an_agent_error(host, ombrel_log):
    started = asyncio.Event()

    async def endless(*args):
        started.set()
        yield server.AgentEvent("text")
        await asyncio.sleep(3600)

    for handler, agent in ((ws._handle_standard_chat, server.StandardAgent(endless)),
                           (ws._handle_computer_use_chat, server.ComputerUseAgent(endless))):
        socket_ = asgi_socket()
        await socket_.accept()
        started.clear()
        turn = asyncio.create_task(handler(socket_, agent, "go"))
        await started.wait()
        await asyncio.sleep(0.01)
        turn.cancel()
        with pytest.raises(asyncio.CancelledError):
            await turn
        assert [e["type"] for e in socket_.events()] == ["mode", "text"]
    assert messages(ombrel_log, "ERROR") == []


@pytest.mark.parametrize("call, error", [
    (lambda s: ws._handle_message(s, ["chat"]), "message must be dict, not list"),
    (lambda s: ws._handle_chat(s, None), "message must be dict, not NoneType"),
    (lambda s: ws._handle_standard_chat(s, server.StandardAgent(), b"hi"), "user_text must be str, not bytes"),
    (lambda s: ws._handle_standard_chat(s, server.StandardAgent(), "hi", attachments="a.txt"),
     "attachments must be list or None, not str"),
    (lambda s: ws._handle_computer_use_chat(s, server.ComputerUseAgent(), 5), "user_text must be str, not int"),
])
async def test_arguments_are_checked_before_any_work(host, call, error):
    socket_ = asgi_socket()
    with pytest.raises(TypeError, match=error):
        await call(socket_)
    assert socket_.events() == []


@pytest.mark.parametrize("text, expected", [
    ("Could you ENABLE Computer Use for this?", True),
    ("reuse visionary ideas", True),
    ("use  vision", False),
    ("computer", False),
    ("", False),
])
def test_should_use_computer_use(text, expected):
    assert ws._should_use_computer_use(text) is expected


def test_names_are_read_from_the_module_at_use_time(monkeypatch, client, host):
    assert ws._FORCE_CU_KEYWORDS == {"use computer use", "computer use mode", "use screenshots",
                                     "screenshot mode", "vision mode", "use vision",
                                     "switch to computer use", "enable computer use"}
    monkeypatch.setattr(ws, "_FORCE_CU_KEYWORDS", {"robot"})
    assert ws._should_use_computer_use("Hey ROBOT") and not ws._should_use_computer_use("use vision")
    with pytest.raises(TypeError):
        ws._should_use_computer_use(None)

    other = ws.ConnectionManager()
    monkeypatch.setattr(ws, "manager", other)
    with client.websocket_connect("/ws") as socket_:
        socket_.send_json({"type": "ping"})
        socket_.receive_json()
        assert len(other._connections) == 1


def test_the_endpoint_calls_the_managers_methods_as_python_sees_them(monkeypatch, client, host):
    seen = []

    class Subclass(ws.ConnectionManager):
        def disconnect(self, socket_):
            seen.append("subclass")
            super().disconnect(socket_)

    monkeypatch.setattr(ws, "manager", Subclass())
    with client.websocket_connect("/ws"):
        pass
    original = ws.ConnectionManager.connect

    async def connect(self, socket_):
        seen.append("patched class")
        await original(self, socket_)

    monkeypatch.setattr(ws, "manager", ws.ConnectionManager())
    monkeypatch.setattr(ws.ConnectionManager, "connect", connect)
    with client.websocket_connect("/ws"):
        pass
    assert seen == ["subclass", "patched class"] and ws.manager._connections == []


def test_router_and_endpoint_as_fastapi_sees_them():
    from fastapi import APIRouter, WebSocket

    first, second = ws.create_ws_router(), ws.create_ws_router(allowed_origins=("http://a.example",))
    assert isinstance(first, APIRouter) and first is not second
    [route] = first.routes
    assert (route.path, route.name, route.endpoint.__name__) == ("/ws", "websocket_endpoint", "websocket_endpoint")
    signature = inspect.signature(route.endpoint)
    assert list(signature.parameters) == ["ws"] and signature.parameters["ws"].annotation is WebSocket
    iscoroutinefunction = inspect.iscoroutinefunction if sys.version_info >= (3, 12) else asyncio.iscoroutinefunction
    assert iscoroutinefunction(route.endpoint)
    for args, kwargs in (((), {}), ((1, 2), {}), ((), {"socket": 1}), ((1,), {"ws": 1})):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            route.endpoint(*args, **kwargs)
    for wrong, error in (("http://a.example", "iterable of str, not str"), ([1], "must be str, not int"), (5, "not iterable")):
        with pytest.raises(TypeError, match=error):
            ws.create_ws_router(wrong)


def test_registry_takes_part_in_garbage_collection():
    collected = []

    class Marker:
        def __del__(self):
            collected.append(True)

    manager = ws.ConnectionManager()
    manager._connections.extend([manager, Marker()])
    del manager
    gc.collect()
    assert collected == [True]


def test_a_suspended_broadcast_in_a_cycle_is_collected(monkeypatch):
    """The broadcast waits on a recipient that holds the broadcast itself.
    (With a send time limit the loop's timer holds the send until it
    expires: only without one is the cycle all that keeps it.)"""
    import weakref

    monkeypatch.setattr(ws, "BROADCAST_SEND_TIMEOUT", None)

    class Recipient:
        async def send_json(self, message):
            await asyncio.get_running_loop().create_future()

    async def main():
        refs = []
        for _ in range(20):
            manager, recipient = ws.ConnectionManager(), Recipient()
            manager._connections.append(recipient)
            recipient.broadcast = manager.broadcast({"type": "x"})
            recipient.broadcast.send(None)  # suspended in send_json
            manager._connections.clear()
            refs.append(weakref.ref(recipient.broadcast))
            del manager, recipient
        gc.collect()
        return [ref() for ref in refs]

    assert asyncio.run(main()) == [None] * 20
