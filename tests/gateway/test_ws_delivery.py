"""The router's options on a real uvicorn server with real WebSocket clients:
per-client queues, the token, sessions with replay, close codes."""
from __future__ import annotations

import asyncio
import json
import socket

import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidStatus

from ombrel.gateway import server, ws
from ws_support import (OPTIONS, TOKEN, Gate, host, live, messages, ombrel_log,  # noqa: F401
                        receive, registry, wait_until)


@pytest.fixture(autouse=True)
def forget_sessions():
    """Sessions and approvals are the module's: each test starts without."""
    yield
    store = ws._deliveries
    for kept in (store.sessions, store.approvals):
        kept.clear()
    del store.detached[:]


def url(live, token=TOKEN, **query):
    params = ([f"token={token}"] if token is not None else []) + [f"{k}={v}" for k, v in query.items()]
    return live.url("/opts/ws") + ("?" + "&".join(params) if params else "")


async def session_of(connection):
    greeting = await receive(connection)
    assert greeting["type"] == "session"
    return greeting


@pytest.mark.parametrize("token", [None, "", "wrong", "s3cret-tokenX", "x" * 7_000])
async def test_a_handshake_without_the_token_is_refused(live, registry, ombrel_log, token):
    with pytest.raises(InvalidStatus) as refused:
        async with connect(url(live, token)):
            pass
    assert refused.value.response.status_code == 403
    assert not registry
    logged = messages(ombrel_log)
    assert logged == ["Rejected WebSocket connection without the token"]
    assert not any(TOKEN in m or (token and token in m) for m in logged)


async def test_the_token_as_a_subprotocol_and_numbered_events(live, host, registry):
    async with connect(url(live, None), subprotocols=["ombrel", f"token.{TOKEN}"]) as client:
        assert client.subprotocol == "ombrel"
        greeting = await session_of(client)
        assert greeting["resumed"] is False and len(greeting["session"]) >= 20
        for seq in (1, 2):
            await client.send('{"type": "ping"}')
            assert await receive(client) == {"type": "pong", "seq": seq}


@pytest.mark.parametrize("turn_running", [True, False])
async def test_a_reconnect_gets_the_rest_of_the_turn_once_and_in_order(live, host, registry,
                                                                      turn_running):
    """The page comes back while the turn still waits (it takes the session
    over, and the rest arrives live) or after the turn ended (all of it is
    replayed)."""
    gate = Gate()

    async def script(text, attachments):
        for n in range(3):
            yield server.AgentEvent("text", {"content": f"early {n}"})
        await gate.wait()
        for n in range(3):
            yield server.AgentEvent("text", {"content": f"late {n}"})
        yield server.AgentEvent("done")

    host.agent.script = script
    first = await connect(url(live))
    session = (await session_of(first))["session"]
    await first.send('{"type": "chat", "content": "go"}')
    seen = [await receive(first) for _ in range(3)]  # mode, early 0, early 1
    await first.close()  # the page reloads mid-turn; the turn goes on
    gate.reached.wait(5)
    if not turn_running:
        gate.opened.set()
    await asyncio.sleep(0.2)
    async with connect(url(live, session=session, last_seq=seen[-1]["seq"])) as second:
        greeting = await session_of(second)
        assert greeting == {"type": "session", "session": session, "resumed": True, "lost": 0}
        gate.opened.set()
        rest = []
        while not rest or rest[-1]["type"] != "done":
            rest.append(await receive(second))
    events = seen + rest
    assert [e["seq"] for e in events] == list(range(1, len(events) + 1))
    assert [e.get("content") for e in events[1:-1]] == [
        "early 0", "early 1", "early 2", "late 0", "late 1", "late 2"]


@pytest.mark.parametrize("query, reason", [
    ({"session": "unknown", "last_seq": 0}, "unknown session"),
    ({"last_seq": "999"}, "last_seq out of range"), ({"last_seq": "-1"}, "last_seq out of range"),
    ({"last_seq": "x"}, "last_seq out of range"), ({}, "last_seq out of range")])
async def test_a_resume_that_cannot_be_honoured_starts_a_new_session(live, host, registry, query,
                                                                     reason):
    async with connect(url(live)) as first:
        session = (await session_of(first))["session"]
    query = {"session": session, **query}
    async with connect(url(live, **query)) as second:
        greeting = await session_of(second)
        assert greeting["resumed"] is False and greeting["session"] != session
        assert greeting["refused"] == reason


async def test_pending_approvals_are_sent_again_to_a_new_page(live, host, registry):
    host.agent.script = lambda text, attachments: [
        server.AgentEvent("tool_approval_needed", {"approval_id": "ap-1"}),
        server.AgentEvent("done")]
    async with connect(url(live)) as first:
        await session_of(first)
        await first.send('{"type": "chat", "content": "delete it"}')
        events = [await receive(first) for _ in range(4)]
        assert [e["type"] for e in events] == ["mode", "tool_approval_needed",
                                               "tool_approval_needed", "done"]
        async with connect(url(live)) as reloaded:
            await session_of(reloaded)
            again = await receive(reloaded)
            assert again["approval_id"] == "ap-1" and again["resent"] is True
            await reloaded.send('{"type": "approve", "approval_id": "ap-1", "approved": true}')
            assert (await receive(reloaded))["type"] == "approval_resolved"
        async with connect(url(live)) as later:
            await session_of(later)
            await later.send('{"type": "ping"}')
            assert (await receive(later))["type"] == "pong"  # nothing pending any more


async def test_a_client_that_stops_reading_delays_nobody_and_is_closed(live, host, registry,
                                                                     ombrel_log):
    bulk = "x" * 200_000
    count = 80  # 16 MB for each client: more than the silent one's buffers hold

    async def script(text, attachments):
        for n in range(count):
            yield server.AgentEvent("tool_approval_needed", {"approval_id": f"ap-{n}", "bulk": bulk})

    host.agent.script = script
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    sock.setblocking(False)
    await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", live.port))
    silent = await connect(url(live), sock=sock, max_queue=1, max_size=None, compression=None)
    async with connect(url(live), max_size=None) as healthy:
        await session_of(healthy)
        await healthy.send('{"type": "chat", "content": "go"}')
        started = asyncio.get_running_loop().time()
        received = [await receive(healthy, timeout=10) for _ in range(1 + 2 * count)]
        assert asyncio.get_running_loop().time() - started < 10
        assert [e["seq"] for e in received] == list(range(1, 2 + 2 * count))
    wait_until(lambda: "Closed a client too slow to take its events (8 queued)" in messages(ombrel_log))
    with pytest.raises(ConnectionClosed):
        while True:
            await asyncio.wait_for(silent.recv(), 10)
    assert silent.close_code == 1008
    wait_until(lambda: not registry)


@pytest.mark.parametrize("frame, code", [
    ("not json", 1007), ("5", 1007), (json.dumps({"type": "ping", "pad": "x" * 2000}), 1009)])
async def test_protocol_errors_close_with_a_code(live, host, registry, frame, code):
    async with connect(url(live)) as client:
        await session_of(client)
        await client.send(frame)
        with pytest.raises(ConnectionClosed):
            await asyncio.wait_for(client.recv(), 5)
        assert client.close_code == code


async def test_a_failing_host_object_closes_with_1011(live, host, registry):
    def broken():
        raise RuntimeError("heartbeat broke")

    host.heartbeat.stop = broken
    async with connect(url(live)) as client:
        await session_of(client)
        await client.send('{"type": "heartbeat_control", "action": "stop"}')
        with pytest.raises(ConnectionClosed):
            await asyncio.wait_for(client.recv(), 5)
        assert (client.close_code, client.close_reason) == (1011, "Internal error")


async def test_a_refused_command_is_answered_and_the_connection_goes_on(live, host, registry,
                                                                     ombrel_log):
    def refuse(interval=None):
        raise ValueError("interval must be at least 1.0 seconds, not 0.5")

    host.heartbeat.start = refuse
    async with connect(live.url("/lenient/ws")) as client:
        await client.send('{"type": "heartbeat_control", "action": "start", "interval": 0.5}')
        assert await receive(client) == {
            "type": "error", "message": "interval must be at least 1.0 seconds, not 0.5"}
        await client.send('{"type": "ping"}')
        assert await receive(client) == {"type": "pong"}
    assert "Command failed" in messages(ombrel_log, "ERROR")


async def test_many_clients_and_many_cycles_stay_bounded(live, host, registry):
    clients = [await connect(url(live)) for _ in range(200)]
    for client in clients:
        await session_of(client)
    await ws.manager.broadcast({"type": "hello"})
    assert [(await receive(c))["type"] for c in clients] == ["hello"] * 200
    for client in clients:
        await client.close()
    for _ in range(300):
        async with connect(url(live)) as client:
            await session_of(client)
    wait_until(lambda: not registry)
    store = ws._deliveries
    wait_until(lambda: not store.clients)
    assert len(store.detached) <= 64 and len(store.sessions) <= 64


@pytest.mark.parametrize("kwargs, error", [
    ({"queue_size": 0}, ValueError), ({"replay": -1}, ValueError), ({"queue_size": 1.5}, TypeError),
    ({"token": ""}, ValueError), ({"token": 5}, TypeError), ({"max_message_size": True}, TypeError)])
def test_unusable_options_are_refused(kwargs, error):
    with pytest.raises(error, match=next(iter(kwargs))):
        ws.create_ws_router(**kwargs)
