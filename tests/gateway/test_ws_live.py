"""The gateway on a real uvicorn server on 127.0.0.1, with real WebSocket
clients: several connections at once, broken and misbehaving clients, the
order of one connection's commands and the Origin check."""
from __future__ import annotations

import asyncio
import socket

import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidStatus

from ombrel.gateway import server, ws
from ws_support import (STRICT_ORIGIN, Gate, host, live, messages, ombrel_log,  # noqa: F401
                        receive, registry, wait_until)

APPROVAL = {"type": "tool_approval_needed", "approval_id": "ap-1"}


def approval_script(text, attachments):
    return [server.AgentEvent(APPROVAL["type"], {"approval_id": "ap-1"}), server.AgentEvent("done")]


async def test_two_clients_share_approval_requests(live, host, registry, ombrel_log):
    host.agent.script = approval_script
    async with connect(live.url()) as first:
        async with connect(live.url()) as second:
            await first.send('{"type": "chat", "content": "delete the file"}')
            assert [await receive(first) for _ in range(4)] == [
                {"type": "mode", "mode": "standard",
                 "message": "\U0001F5A5\uFE0F Computer Use mode \u2014 I can see and control your screen"},
                APPROVAL, APPROVAL, {"type": "done"}]
            assert await receive(second) == APPROVAL
            # Either connection may answer.
            await second.send('{"type": "approve", "approval_id": "ap-1", "approved": true}')
            assert (await receive(second))["success"] is True
        wait_until(lambda: len(registry) == 1)
    wait_until(lambda: not registry)
    assert [m for m in messages(ombrel_log) if m.startswith("Client")] == [
        "Client connected (1 total)", "Client connected (2 total)",
        "Client disconnected (1 total)", "Client disconnected (0 total)"]


async def test_broken_client_during_a_broadcast(live, host, registry, ombrel_log):
    gate = Gate()

    async def script(text, attachments):
        if text == "wait":
            await gate.wait()
            yield server.AgentEvent("text", {"content": "late"})
        else:
            yield server.AgentEvent(APPROVAL["type"], {"approval_id": "ap-1"})

    host.agent.script = script
    async with connect(live.url()) as first, connect(live.url()) as third:
        broken = await connect(live.url())
        wait_until(lambda: len(registry) == 3)
        # The broken client's loop is busy in a turn, so only a send can
        # find out that it is gone.
        await broken.send('{"type": "chat", "content": "wait"}')
        await receive(broken)
        wait_until(gate.reached.is_set)
        broken.transport.abort()
        await asyncio.sleep(0.2)

        await first.send('{"type": "chat", "content": "approve"}')
        assert [(await receive(first))["type"] for _ in range(3)] == ["mode", APPROVAL["type"], APPROVAL["type"]]
        assert await receive(third) == APPROVAL
        wait_until(lambda: len(registry) == 2)
        assert broken.protocol.state.name == "CLOSED"
        gate.opened.set()
        await asyncio.sleep(0.2)
        await third.send('{"type": "ping"}')
        assert await receive(third) == {"type": "pong"}
        assert len(registry) == 2
    wait_until(lambda: "Client disconnected (0 total)" in messages(ombrel_log))


@pytest.mark.parametrize("frame", [
    "not json", "[1, 2]", "5", '"chat"', b'{"type": "ping"}',
    '{"type": "chat", "content": 5}',
    '{"type": "chat", "content": "hi", "attachments": "notes.txt"}',
    '{"type": "resume_conversation", "conversation_id": "missing-memory"}',
])
async def test_malformed_frames_end_only_their_connection(live, host, registry, ombrel_log, frame):
    server.get_state().pop("memory")
    async with connect(live.url()) as bystander, connect(live.url()) as offender:
        await offender.send(frame)
        with pytest.raises(ConnectionClosed):
            await receive(offender)
        wait_until(lambda: len(registry) == 1)
        await bystander.send('{"type": "ping"}')
        assert await receive(bystander) == {"type": "pong"}
    [record] = [r for r in ombrel_log.records if r.levelname == "ERROR"]
    assert record.getMessage() == "WebSocket error" and record.exc_info[1] is not None
    assert host.agent.messages == []


async def test_commands_wait_for_their_connections_chat_turn(live, host, registry):
    gate = Gate()

    async def script(text, attachments):
        yield server.AgentEvent("text", {"content": "first"})
        await gate.wait()
        yield server.AgentEvent("done")

    host.agent.script = script
    async with connect(live.url()) as chatting, connect(live.url()) as other:
        await chatting.send('{"type": "chat", "content": "long job"}')
        await chatting.send('{"type": "stop_task"}')
        await chatting.send('{"type": "ping"}')
        assert [(await receive(chatting))["type"] for _ in range(2)] == ["mode", "text"]
        with pytest.raises(asyncio.TimeoutError):
            await receive(chatting, timeout=0.3)
        assert host.agent.cancelled == 0
        # Another connection is served meanwhile.
        await other.send('{"type": "stop_task"}')
        assert (await receive(other))["type"] == "task_stopped"
        assert host.agent.cancelled == 1
        gate.opened.set()
        assert [(await receive(chatting))["type"] for _ in range(3)] == ["done", "task_stopped", "pong"]
        assert host.agent.cancelled == 2


def handshake(port: int, path: str, headers: dict[str, str]) -> int:
    """The HTTP status of a WebSocket upgrade with exactly these headers."""
    lines = [f"GET {path} HTTP/1.1", "Upgrade: websocket", "Connection: Upgrade",
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13",
             *(f"{name}: {value}" for name, value in headers.items())]
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
        conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        return int(conn.recv(4096).split(b" ", 2)[1])


LOCAL = "127.0.0.1:{port}"


@pytest.mark.parametrize("path, host_header, origin, status", [
    ("/ws", LOCAL, None, 101),
    ("/ws", LOCAL, "http://localhost:5173", 101),
    ("/ws", LOCAL, "http://chat.localhost:3000", 101),
    ("/ws", LOCAL, "http://127.9.8.7", 101),
    ("/ws", LOCAL, "http://[::1]:8080", 101),
    ("/ws", LOCAL, "http://[::ffff:127.0.0.1]", 101),
    ("/ws", LOCAL, "https://evil.example", 403),
    ("/ws", LOCAL, "http://localhost.evil.example", 403),
    ("/ws", LOCAL, "http://128.0.0.1", 403),
    ("/ws", LOCAL, "null", 403),
    ("/ws", LOCAL, "", 403),
    ("/ws", LOCAL, "http://[::1", 403),
    ("/ws", LOCAL, STRICT_ORIGIN, 403),
    ("/strict/ws", LOCAL, STRICT_ORIGIN, 101),
    ("/strict/ws", LOCAL, "null", 403),
    ("/strict/ws", LOCAL, "http://localhost", 101),
    # A page served by this server at an IP address of the machine.
    ("/ws", "192.0.2.10:8765", "http://192.0.2.10:8765", 101),
    ("/ws", "192.0.2.10", "http://192.0.2.10", 101),
    ("/ws", "192.0.2.10:80", "http://192.0.2.10", 101),
    ("/ws", "[2001:db8::1]:8765", "http://[2001:DB8:0::1]:8765", 101),
    ("/ws", "192.0.2.10:8765", "http://192.0.2.10:9999", 403),
    ("/ws", "192.0.2.10:8765", "http://192.0.2.11:8765", 403),
    ("/ws", "192.0.2.10", "https://192.0.2.10", 403),
    ("/ws", "chat.example:8765", "http://chat.example:8765", 403),
])
def test_origin_check(live, host, registry, ombrel_log, path, host_header, origin, status):
    headers = {"Host": host_header.format(port=live.port)}
    if origin is not None:
        headers["Origin"] = origin
    assert handshake(live.port, path, headers) == status
    # The handshake's answer may come before the server registers the client.
    wait_until(lambda: status == 403 or "Client disconnected (0 total)" in messages(ombrel_log))
    wait_until(lambda: not registry)
    logged = messages(ombrel_log)
    if status == 403:
        assert logged == [f"Rejected WebSocket connection from origin {origin}"]
    else:
        assert logged[0] == "Client connected (1 total)"


async def test_refused_browser_client_is_never_registered(live, host, registry, ombrel_log):
    with pytest.raises(InvalidStatus) as refused:
        async with connect(live.url(), origin="http://evil.example"):
            pass
    assert refused.value.response.status_code == 403
    async with connect(live.url(), origin=f"http://127.0.0.1:{live.port}") as allowed:
        await allowed.send('{"type": "ping"}')
        assert await receive(allowed) == {"type": "pong"}
    wait_until(lambda: not registry)
    assert messages(ombrel_log, "WARNING") == ["Rejected WebSocket connection from origin http://evil.example"]
    assert "Client connected (1 total)" in messages(ombrel_log)


async def test_a_client_that_stops_reading_does_not_stall_a_broadcast(live, host, registry,
                                                                      monkeypatch):
    """Each broadcast approval request is large: the silent client's buffers
    fill at once, and its send blocks until the time limit drops it."""
    monkeypatch.setattr(ws, "BROADCAST_SEND_TIMEOUT", 0.5)
    bulk = "x" * 250_000  # sent uncompressed to the silent client: ~10 MB in all
    count = 40

    async def script(text, attachments):
        for number in range(count):
            yield server.AgentEvent(APPROVAL["type"], {"approval_id": "ap-1", "n": number, "bulk": bulk})

    host.agent.script = script
    # A small receive window, set before connecting: the silent client's
    # buffers fill at once, and it can still read its backlog quickly later.
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    sock.setblocking(False)
    await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", live.port))
    silent = await connect(live.url(), sock=sock, max_queue=1, max_size=None, compression=None)
    async with connect(live.url(), max_size=None) as healthy:
        wait_until(lambda: len(registry) == 2)
        await healthy.send('{"type": "chat", "content": "go"}')
        started = asyncio.get_running_loop().time()
        received = [await receive(healthy, timeout=10) for _ in range(1 + 2 * count)]
        assert [m.get("n") for m in received[1:]] == [n for n in range(count) for _ in (0, 1)]
        assert asyncio.get_running_loop().time() - started < 15
        assert len(registry) == 1  # the silent one is gone
    # ... and closed, so that it knows: once it reads again, its backlog ends
    # with the close frame.
    with pytest.raises(ConnectionClosed):
        while True:
            await asyncio.wait_for(silent.recv(), 10)
    assert (silent.close_code, silent.close_reason) == (
        1008, "Too slow: a message could not be delivered in time")
    wait_until(lambda: not registry)
