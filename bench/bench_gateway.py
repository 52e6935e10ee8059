"""Throughput of the WebSocket gateway over a real uvicorn connection.

    python bench/bench_gateway.py [--repeat 5] [--only stream|broadcast|churn|endpoint]

(1) stream: one chat turn whose standard agent yields 20,000 small events;
    figure: events per second received by a client that only counts frames.
(2) broadcast: 100 connected clients, 1,000 broadcasts of the connection
    manager; figure: messages per second delivered to clients that only
    count frames.
(3) churn: 1,000 cycles of connect, "ping" / "pong", close; figure: cycles
    per second.
(5) options: (1) and (2) against a router made with every option
    (`queue_size`, `token`, `replay`, `close_codes`), as a share of the
    default router; and (2) on that router with one more client that never
    reads (its queue fills, it is closed), as a share of (2) without it.
(4) endpoint: the churn cycle and the chat turn's loop over the agent's
    events in this process, the "/ws" endpoint called directly on fake
    WebSockets (ours against the plain-Python endpoint): the endpoint's own
    cost, which uvicorn's share swamps in (1) and (3).

(1) and (2) run against our gateway and against a plain FastAPI app whose
endpoint does nothing but `send_json` in a loop (the ceiling); (1) and (3)
also against a plain-Python rendering of the same endpoint, connection
manager and dispatch (`plain()` below). Every server process loads the same
modules and host state, so that only the "/ws" endpoint differs. Our figure is printed as a share of
the other, both as received by the clients (which may be limited by the
Python client itself) and per CPU second of the server process (which the
client does not limit). The servers run in turns, several rounds; the
share over all rounds together counts, with the share of the best figures
and the median and range of the round-by-round shares showing how much a
loaded machine scattered them. The servers run in child
processes on 127.0.0.1; the clients run here. Build the module in Release
for meaningful figures.

The stream ceiling has no agent: per event our gateway also takes the next
item of the agent's async generator (on CPython 3.11 each item comes back
through a StopIteration raised and caught inside the interpreter), calls
`to_dict()` and reads `type`, which the plain-Python rendering pays just
the same.
"""
import argparse
import asyncio
import base64
import json
import os
import socket
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import timing

ROOT = Path(__file__).resolve().parents[1]
EVENTS = 20_000
CLIENTS = 100
BROADCASTS = 1_000
SMALL_EVENT = {"type": "text", "content": "token"}
BROADCAST = {"type": "heartbeat", "message": "still here"}
CYCLES = 1_000
TOKEN = "bench-token"
# The router with every option on, served by the "options" server.
OPTIONS = {"queue_size": 1_000, "token": TOKEN, "replay": 1_000, "close_codes": True}


# --------------------------------------------------------------------------
# Servers (run in the child process)

class Event:
    """A standard-agent event that costs next to nothing to produce."""

    __slots__ = ("type", "_dict")

    def __init__(self, data: dict) -> None:
        self.type = data["type"]
        self._dict = data

    def to_dict(self) -> dict:
        return self._dict


class StreamingAgent:
    def __init__(self) -> None:
        self.events = [Event(SMALL_EVENT)] * EVENTS

    async def process_message(self, text, attachments=None):
        for event in self.events:
            yield event


def add_cpu_route(app) -> None:
    @app.get("/cpu")
    async def cpu() -> dict:
        """CPU seconds the server process has used so far."""
        return {"cpu": time.process_time()}


def host_process():
    """The host's modules and state, loaded alike by every server: whichever
    endpoint serves "/ws", the processes differ in nothing else (the number
    of live objects alone changes what the garbage collector costs)."""
    sys.path.insert(0, str(ROOT / "host"))
    from fastapi import FastAPI

    from ombrel.gateway import server, ws

    server.set_state(agent=StreamingAgent())
    app = FastAPI()
    add_cpu_route(app)
    return app, server, ws


def ours(**options):
    app, _, ws = host_process()
    app.include_router(ws.create_ws_router(**options))

    @app.post("/broadcast")
    async def broadcast(count: int) -> dict:
        for _ in range(count):
            await ws.manager.broadcast(BROADCAST)
        return {"connections": len(ws.manager._connections)}

    return app


def ceiling():
    from fastapi import WebSocket, WebSocketDisconnect

    app, _, _ = host_process()
    connections: list[WebSocket] = []

    @app.websocket("/ws")
    async def endpoint(ws: WebSocket) -> None:
        await ws.accept()
        connections.append(ws)
        try:
            while True:
                json.loads(await ws.receive_text())
                for _ in range(EVENTS):
                    await ws.send_json(SMALL_EVENT)
        except WebSocketDisconnect:
            connections.remove(ws)

    @app.post("/broadcast")
    async def broadcast(count: int) -> dict:
        for _ in range(count):
            for ws in list(connections):
                await ws.send_json(BROADCAST)
        return {"connections": len(connections)}

    return app


def plain():
    """The endpoint, its connection manager and the dispatch of a "ping" and
    of a chat turn with the standard agent in plain Python: what churn and
    stream exercise."""
    import logging
    from urllib.parse import urlsplit

    from fastapi import APIRouter, WebSocket, WebSocketDisconnect

    app, server, _ = host_process()
    logger = logging.getLogger("ombrel.ws.plain")

    class ConnectionManager:
        def __init__(self) -> None:
            self._connections: list[WebSocket] = []

        async def connect(self, ws: WebSocket) -> None:
            await ws.accept()
            self._connections.append(ws)
            logger.info("Client connected (%d total)", len(self._connections))

        def disconnect(self, ws: WebSocket) -> None:
            if ws in self._connections:
                self._connections.remove(ws)
            logger.info("Client disconnected (%d total)", len(self._connections))

        async def broadcast(self, message: dict) -> None:
            for ws in list(self._connections):
                await ws.send_json(message)

    manager = ConnectionManager()

    def origin_allowed(ws: WebSocket, allowed) -> bool:
        origin = ws.headers.get("origin")
        if origin is None:
            return True
        if origin == "null":
            return False
        if allowed is not None and origin in allowed:
            return True
        return (urlsplit(origin).hostname or "") in ("localhost", "127.0.0.1")

    async def handle_standard_chat(ws: WebSocket, agent, text: str, attachments) -> None:
        logger.info("Standard agent handling: %s", text[:80])
        await ws.send_json({"type": "mode", "mode": "standard", "message": "Using standard agent"})
        try:
            async for event in agent.process_message(text, attachments=attachments):
                await ws.send_json(event.to_dict())
                if event.type == "tool_approval_needed":
                    await manager.broadcast(event.to_dict())
        except Exception as error:
            logger.exception("Standard agent error")
            await ws.send_json({"type": "error", "message": f"Agent error: {error}"})

    async def handle_chat(ws: WebSocket, message: dict) -> None:
        state = server.get_state()
        agent, cu_agent = state.get("agent"), state.get("cu_agent")
        heartbeat = state.get("heartbeat")
        if not agent and not cu_agent:
            await ws.send_json({"type": "error", "message": "Agent not initialized"})
            return
        text = message.get("content", "").strip()
        if not text:
            return
        attachments = message.get("attachments")
        if heartbeat:
            heartbeat.reset_consecutive()
        await handle_standard_chat(ws, agent, text, attachments)

    async def handle_message(ws: WebSocket, message: dict) -> None:
        msg_type = message.get("type")
        if msg_type == "chat":
            await handle_chat(ws, message)
        elif msg_type == "approve":
            pass
        elif msg_type == "new_conversation":
            pass
        elif msg_type == "resume_conversation":
            pass
        elif msg_type == "heartbeat_control":
            pass
        elif msg_type == "stop_task":
            pass
        elif msg_type == "ping":
            await ws.send_json({"type": "pong"})
        else:
            await ws.send_json({"type": "error", "message": f"Unknown message type: {msg_type}"})

    def create_ws_router(allowed_origins=None) -> APIRouter:
        allowed = None if allowed_origins is None else frozenset(allowed_origins)
        router = APIRouter()

        @router.websocket("/ws")
        async def websocket_endpoint(ws: WebSocket) -> None:
            if not origin_allowed(ws, allowed):
                await ws.close(code=1008)
                return
            await manager.connect(ws)
            try:
                while True:
                    data = json.loads(await ws.receive_text())
                    await handle_message(ws, data)
            except WebSocketDisconnect:
                manager.disconnect(ws)
            except Exception:
                logger.exception("WebSocket error")
                manager.disconnect(ws)

        return router

    app.include_router(create_ws_router())
    return app


def serve(kind: str, port: int) -> None:
    import uvicorn

    app = {"ours": ours, "options": lambda: ours(**OPTIONS), "ceiling": ceiling,
           "plain": plain}[kind]()
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False)


# --------------------------------------------------------------------------
# Clients (run here)

class Server:
    def __init__(self, kind: str) -> None:
        self.kind = kind
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", kind, "--port", str(self.port)],
            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
                     PYTHONHASHSEED="0"))
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"{kind} server did not start")
                time.sleep(0.05)

    def cpu(self) -> float:
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/cpu", timeout=10) as answer:
            return json.load(answer)["cpu"]

    def __enter__(self) -> "Server":
        return self

    def __exit__(self, *exc) -> None:
        self.process.terminate()
        self.process.wait(10)


class RawClient:
    """A WebSocket client that only counts the frames it receives: cheap
    enough that the server, not the client, sets the pace (a full client
    parses frames about as fast as the server sends them, and the two
    then scatter each other's figures)."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader, self.writer = reader, writer

    @classmethod
    async def connect(cls, port: int, *, stalled: bool = False) -> "RawClient":
        """A client of "/ws" (with the token: servers without one ignore it);
        a `stalled` one has a tiny receive window and never reads."""
        sock = socket.socket()
        if stalled:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.setblocking(False)
        await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", port))
        reader, writer = await asyncio.open_connection(sock=sock)
        key = base64.b64encode(os.urandom(16)).decode()
        writer.write(f"GET /ws?token={TOKEN} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                     f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                     f"Sec-WebSocket-Version: 13\r\n\r\n".encode())
        answer = await reader.readuntil(b"\r\n\r\n")
        assert answer.startswith(b"HTTP/1.1 101"), answer
        return cls(reader, writer)

    def send(self, opcode: int, payload: bytes) -> None:
        mask = os.urandom(4)
        masked = bytes(byte ^ mask[i % 4] for i, byte in enumerate(payload))
        assert len(payload) < 126
        self.writer.write(bytes([0x80 | opcode, 0x80 | len(payload)]) + mask + masked)

    async def count(self, wanted: int, marker: bytes) -> None:
        """Reads frames until `wanted` of them hold `marker` (the events of
        a router with sessions end with their "seq")."""
        buffer, position, seen = b"", 0, 0
        while seen < wanted:
            buffer = buffer[position:] + await self.reader.read(1 << 20)
            position = 0
            while len(buffer) - position >= 4:
                length, header = buffer[position + 1] & 0x7F, 2
                if length == 126:
                    length, header = int.from_bytes(buffer[position + 2:position + 4], "big"), 4
                end = position + header + length
                if end > len(buffer):
                    break
                seen += buffer.find(marker, position + header, end) >= 0
                position = end

    async def close(self) -> None:
        self.send(0x8, (1000).to_bytes(2, "big"))
        await self.writer.drain()
        self.writer.close()


async def stream(port: int) -> float:
    client = await RawClient.connect(port)
    with timing.Stopwatch() as took:
        client.send(0x1, json.dumps({"type": "chat", "content": "go"}).encode())
        await client.count(EVENTS, b'"token"')
    await client.close()
    return EVENTS / took.wall


async def broadcast(port: int, stalled: bool = False) -> float:
    clients = [await RawClient.connect(port) for _ in range(CLIENTS)]
    if stalled:
        stuck = await RawClient.connect(port, stalled=True)
    await asyncio.sleep(0.5)

    def trigger() -> None:
        request = urllib.request.Request(f"http://127.0.0.1:{port}/broadcast?count={BROADCASTS}",
                                         method="POST")
        answer = json.load(urllib.request.urlopen(request, timeout=600))
        assert answer["connections"] >= CLIENTS, answer

    try:
        with timing.Stopwatch() as took:
            await asyncio.gather(asyncio.to_thread(trigger),
                                 *(client.count(BROADCASTS, b'still here"') for client in clients))
        return CLIENTS * BROADCASTS / took.wall
    finally:
        for client in clients:
            await client.close()
        if stalled:
            stuck.writer.transport.abort()


async def broadcast_stalled(port: int) -> float:
    return await broadcast(port, stalled=True)


async def churn(port: int) -> float:
    from websockets.asyncio.client import connect

    with timing.Stopwatch() as took:
        for _ in range(CYCLES):
            async with connect(f"ws://127.0.0.1:{port}/ws") as client:
                await client.send('{"type": "ping"}')
                assert json.loads(await client.recv()) == {"type": "pong"}
    return CYCLES / took.wall


def run(server: Server, scenario, count: int) -> tuple[float, float]:
    """Rate seen by the clients, and the count per second of server CPU."""
    cpu = server.cpu()
    rate = asyncio.run(scenario(server.port))
    return rate, count / (server.cpu() - cpu)


def measure(scenario, count: int, repeat: int,
            kinds: tuple[str, ...]) -> dict[str, list[tuple[float, float]]]:
    """Figures of each server for each round, run in turns (the order
    rotating from round to round) so that all see the same load of the
    machine."""
    servers = [Server(kind) for kind in kinds]
    try:
        for server in servers:
            asyncio.run(scenario(server.port))  # warm-up
        return timing.in_turns({server.kind: server for server in servers}, repeat,
                               lambda server: run(server, scenario, count), rotate=True)
    finally:
        for server in servers:
            server.__exit__()


def shares(ours: list[float], theirs: list[float]) -> str:
    """Our share of the other figure: over all rounds together (the harmonic
    mean of the rates: the total count over the total time), of the best
    figures, and the median and range of the round-by-round shares (on a
    loaded machine single rounds scatter widely; all rounds together
    scatter least)."""
    per_round = sorted(a / b for a, b in zip(ours, theirs))
    overall = statistics.harmonic_mean(ours) / statistics.harmonic_mean(theirs)
    return (f"share {overall:.0%} over all rounds, {max(ours) / max(theirs):.0%} best "
            f"(by round: median {statistics.median(per_round):.0%}, "
            f"{per_round[0]:.0%}-{per_round[-1]:.0%})")


class FakeWebSocket:
    """Just enough of a WebSocket for one connection in this process that
    sends `text` and leaves: what the endpoint itself costs, without
    uvicorn's and the network's share, which swamps it over a socket."""

    headers: dict = {}

    def __init__(self, disconnect, text: str) -> None:
        self._disconnect = disconnect
        self._texts = [text]

    async def accept(self) -> None:
        pass

    async def receive_text(self) -> str:
        if self._texts:
            return self._texts.pop()
        raise self._disconnect(1000)

    async def send_json(self, data) -> None:
        pass


def endpoint_rate(kind: str, text: str, connections: int) -> float:
    """Connections per CPU second of the "/ws" endpoint called directly on
    fake WebSockets, each sending `text` and leaving."""
    from fastapi import WebSocketDisconnect

    app = {"ours": ours, "plain": plain}[kind]()

    def routes(router):
        for route in router.routes:
            inner = getattr(route, "original_router", None)  # newer FastAPI
            yield from routes(inner) if inner is not None else [route]

    endpoint = next(route.endpoint for route in routes(app) if getattr(route, "path", "") == "/ws")

    async def run() -> float:
        with timing.Stopwatch() as took:
            for _ in range(connections):
                await endpoint(ws=FakeWebSocket(WebSocketDisconnect, text))  # as FastAPI calls it
        return connections / took.cpu

    return asyncio.run(run())


def endpoint_rounds(repeat: int) -> None:
    """(4): the churn cycle, and a chat turn's loop over the agent's events
    with a `send_json` that costs nothing (the loop's own cost per event)."""
    scenarios = [("20,000 x connect, ping, close", "cycles", '{"type": "ping"}', 20_000, 1),
                 ("10 chat turns of 20,000 events, sends that cost nothing", "events",
                  '{"type": "chat", "content": "go"}', 10, EVENTS)]
    for title, unit, text, connections, per_connection in scenarios:
        def rate(kind):
            return endpoint_rate(kind, text, connections) * per_connection

        figures = timing.in_turns({"ours": "ours", "plain": "plain"}, repeat, rate, rotate=True)
        print(f"endpoint in process: {title}, on fake WebSockets:\n"
              f"  ours {max(figures['ours']):>10,.0f} {unit}/CPU s; plain-Python endpoint "
              f"{max(figures['plain']):>10,.0f}; {shares(figures['ours'], figures['plain'])}",
              flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description="Gateway throughput over a real uvicorn connection.")
    parser.add_argument("--repeat", type=int, default=5,
                        help="rounds per figure; the best counts, the rounds' shares are shown too")
    parser.add_argument("--serve", choices=("ours", "options", "ceiling", "plain"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--only", choices=("stream", "broadcast", "churn", "options", "endpoint"),
                        help="run one scenario only")
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve, args.port)
        return

    import ombrel.gateway.ws as ws

    timing.header(ws)
    names = {"ceiling": "plain send_json loop", "plain": "plain-Python endpoint"}
    rows = [("stream: one turn of 20,000 events", "events/s", stream, EVENTS, ("ceiling", "plain")),
            ("broadcast: 100 clients x 1,000 broadcasts", "messages/s", broadcast,
             CLIENTS * BROADCASTS, ("ceiling",)),
            ("churn: 1,000 x connect, ping, close", "cycles/s", churn, CYCLES, ("plain",))]
    for title, unit, scenario, count, others in rows:
        if args.only and not title.startswith(args.only):
            continue
        rounds = measure(scenario, count, args.repeat, ("ours", *others))
        rate, cpu = ({kind: [figures[i] for figures in rounds[kind]] for kind in rounds}
                     for i in (0, 1))
        print(f"{title}:", flush=True)
        for other in others:
            print(f"  received  {max(rate['ours']):>10,.0f} {unit}; {names[other]} "
                  f"{max(rate[other]):>10,.0f}; {shares(rate['ours'], rate[other])}\n"
                  f"  per server CPU second {max(cpu['ours']):>10,.0f}; {names[other]} "
                  f"{max(cpu[other]):>10,.0f}; {shares(cpu['ours'], cpu[other])}", flush=True)
    if args.only in (None, "options"):
        options_rounds(args.repeat)
    if args.only in (None, "endpoint"):
        endpoint_rounds(args.repeat)


def options_rounds(repeat: int) -> None:
    """(5): every option on against the default router, and a stalled
    client against none."""
    for title, unit, scenario, count in (
            ("stream", "events/s", stream, EVENTS),
            ("broadcast", "messages/s", broadcast, CLIENTS * BROADCASTS)):
        rounds = measure(scenario, count, repeat, ("options", "ours"))
        cpu = {kind: [figures[1] for figures in rounds[kind]] for kind in rounds}
        print(f"options: {title} with every option, per server CPU second "
              f"{max(cpu['options']):>10,.0f} {unit}; default router {max(cpu['ours']):>10,.0f}; "
              f"{shares(cpu['options'], cpu['ours'])}", flush=True)
    with Server("options") as server:
        asyncio.run(broadcast(server.port))  # warm-up
        scenarios = {"stalled": broadcast_stalled, "none": broadcast}
        rates = timing.in_turns(scenarios, repeat, lambda scenario: asyncio.run(scenario(server.port)),
                                rotate=True)
    print(f"options: broadcast with a stalled client, received {max(rates['stalled']):>10,.0f} "
          f"messages/s; none stalled {max(rates['none']):>10,.0f}; "
          f"{shares(rates['stalled'], rates['none'])}", flush=True)

if __name__ == "__main__":
    main()
