"""Throughput of the WebSocket gateway over a real uvicorn connection.

    python bench/bench_gateway.py [--repeat 5] [--only stream|broadcast|churn|endpoint]

(1) stream: one chat turn whose standard agent yields 20,000 small events;
    figure: events per second received by the client.
(2) broadcast: 100 connected clients, 1,000 broadcasts of the connection
    manager; figure: messages per second delivered to the clients.
(3) churn: 1,000 cycles of connect, "ping" / "pong", close; figure: cycles
    per second.
(4) endpoint: the churn cycle in this process, the "/ws" endpoint called
    directly on fake WebSockets (ours against the plain-Python endpoint):
    the endpoint's own cost, which uvicorn's share swamps in (3).

(1) and (2) run against our gateway and against a plain FastAPI app whose
endpoint does nothing but `send_json` in a loop (the ceiling); (3) against
our gateway and a plain-Python rendering of the same endpoint, connection
manager and dispatch (`plain()` below). Our figure is printed as a share of
the other, both as received by the clients (which may be limited by the
Python client itself) and per CPU second of the server process (which the
client does not limit). The servers run in turns, several rounds; the best
figures count, and the median and range of the round-by-round shares show
how much a loaded machine scattered them. The servers run in child
processes on 127.0.0.1; the clients run here. Build the module in Release
for meaningful figures.

The stream ceiling has no agent: per event our gateway also takes the next
item of the agent's async generator (on CPython 3.11 each item comes back
through a StopIteration raised and caught inside the interpreter), calls
`to_dict()` and reads `type`, which a Python rendering pays just the same.
"""
import argparse
import asyncio
import json
import os
import socket
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EVENTS = 20_000
CLIENTS = 100
BROADCASTS = 1_000
SMALL_EVENT = {"type": "text", "content": "token"}
BROADCAST = {"type": "heartbeat", "message": "still here"}
CYCLES = 1_000


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


def ours():
    sys.path.insert(0, str(ROOT / "host"))
    from fastapi import FastAPI

    from ombrel.gateway import server, ws

    server.set_state(agent=StreamingAgent())
    app = FastAPI()
    app.include_router(ws.create_ws_router())

    add_cpu_route(app)

    @app.post("/broadcast")
    async def broadcast(count: int) -> dict:
        for _ in range(count):
            await ws.manager.broadcast(BROADCAST)
        return {"connections": len(ws.manager._connections)}

    return app


def ceiling():
    from fastapi import FastAPI, WebSocket, WebSocketDisconnect

    app = FastAPI()
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

    add_cpu_route(app)

    @app.post("/broadcast")
    async def broadcast(count: int) -> dict:
        for _ in range(count):
            for ws in list(connections):
                await ws.send_json(BROADCAST)
        return {"connections": len(connections)}

    return app


def plain():
    """The endpoint, its connection manager and the dispatch of a "ping" in
    plain Python: what churn exercises."""
    import logging
    from urllib.parse import urlsplit

    from fastapi import APIRouter, FastAPI, WebSocket, WebSocketDisconnect

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

    async def handle_message(ws: WebSocket, message: dict) -> None:
        msg_type = message.get("type")
        if msg_type == "chat":
            pass
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

    app = FastAPI()
    app.include_router(create_ws_router())
    add_cpu_route(app)
    return app


def serve(kind: str, port: int) -> None:
    import uvicorn

    app = {"ours": ours, "ceiling": ceiling, "plain": plain}[kind]()
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False)


# --------------------------------------------------------------------------
# Clients (run here)

class Server:
    def __init__(self, kind: str) -> None:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", kind, "--port", str(self.port)],
            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
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


async def stream(port: int) -> float:
    from websockets.asyncio.client import connect

    async with connect(f"ws://127.0.0.1:{port}/ws", max_queue=None) as client:
        start = time.perf_counter()
        await client.send(json.dumps({"type": "chat", "content": "go"}))
        received = 0
        while received < EVENTS:
            if json.loads(await client.recv())["type"] == "text":
                received += 1
        return EVENTS / (time.perf_counter() - start)


async def broadcast(port: int) -> float:
    from websockets.asyncio.client import connect

    clients = [await connect(f"ws://127.0.0.1:{port}/ws", max_queue=None) for _ in range(CLIENTS)]
    await asyncio.sleep(0.5)

    async def drain(client) -> None:
        for _ in range(BROADCASTS):
            json.loads(await client.recv())

    def trigger() -> None:
        request = urllib.request.Request(f"http://127.0.0.1:{port}/broadcast?count={BROADCASTS}",
                                         method="POST")
        answer = json.load(urllib.request.urlopen(request, timeout=600))
        assert answer["connections"] == CLIENTS, answer

    try:
        start = time.perf_counter()
        await asyncio.gather(asyncio.to_thread(trigger), *(drain(c) for c in clients))
        return CLIENTS * BROADCASTS / (time.perf_counter() - start)
    finally:
        for client in clients:
            await client.close()


async def churn(port: int) -> float:
    from websockets.asyncio.client import connect

    start = time.perf_counter()
    for _ in range(CYCLES):
        async with connect(f"ws://127.0.0.1:{port}/ws") as client:
            await client.send('{"type": "ping"}')
            assert json.loads(await client.recv()) == {"type": "pong"}
    return CYCLES / (time.perf_counter() - start)


def run(server: Server, scenario, count: int) -> tuple[float, float]:
    """Rate seen by the clients, and the count per second of server CPU."""
    cpu = server.cpu()
    rate = asyncio.run(scenario(server.port))
    return rate, count / (server.cpu() - cpu)


def measure(scenario, count: int, repeat: int,
            other: str = "ceiling") -> dict[str, list[tuple[float, float]]]:
    """Figures of our gateway and of the other server for each round, run in
    turns so that both see the same load of the machine."""
    rounds: dict[str, list[tuple[float, float]]] = {"ours": [], other: []}
    with Server("ours") as ours, Server(other) as theirs:
        servers = {"ours": ours, other: theirs}
        for server in servers.values():
            asyncio.run(scenario(server.port))  # warm-up
        for _ in range(repeat):
            for kind, server in servers.items():
                rounds[kind].append(run(server, scenario, count))
    return rounds


def shares(ours: list[float], theirs: list[float]) -> str:
    """The share of the best figures, and the median and range of the
    round-by-round shares (on a loaded machine the best figures of a few
    rounds scatter; the rounds' shares show by how much)."""
    per_round = sorted(a / b for a, b in zip(ours, theirs))
    return (f"share {max(ours) / max(theirs):.0%} "
            f"(by round: median {statistics.median(per_round):.0%}, "
            f"{per_round[0]:.0%}-{per_round[-1]:.0%})")


class FakeWebSocket:
    """Just enough of a WebSocket for one connect, "ping", close cycle in
    this process: what the endpoint itself costs, without uvicorn's and the
    network's share, which swamps it in the churn figures."""

    headers: dict = {}

    def __init__(self, disconnect) -> None:
        self._disconnect = disconnect
        self._texts = ['{"type": "ping"}']

    async def accept(self) -> None:
        pass

    async def receive_text(self) -> str:
        if self._texts:
            return self._texts.pop()
        raise self._disconnect(1000)

    async def send_json(self, data) -> None:
        pass


def endpoint_cycles(kind: str, cycles: int) -> float:
    """Connect/ping/close cycles of the "/ws" endpoint per CPU second,
    called directly on fake WebSockets."""
    from fastapi import WebSocketDisconnect

    app = {"ours": ours, "plain": plain}[kind]()

    def routes(router):
        for route in router.routes:
            inner = getattr(route, "original_router", None)  # newer FastAPI
            yield from routes(inner) if inner is not None else [route]

    endpoint = next(route.endpoint for route in routes(app) if getattr(route, "path", "") == "/ws")

    async def run() -> float:
        started = time.process_time()
        for _ in range(cycles):
            await endpoint(FakeWebSocket(WebSocketDisconnect))
        return cycles / (time.process_time() - started)

    return asyncio.run(run())


def endpoint_rounds(repeat: int) -> None:
    figures = {"ours": [], "plain": []}
    for index in range(repeat):
        for kind in (("ours", "plain") if index % 2 == 0 else ("plain", "ours")):
            figures[kind].append(endpoint_cycles(kind, 20_000))
    print(f"endpoint in process: 20,000 x connect, ping, close on fake WebSockets:\n"
          f"  ours {max(figures['ours']):>10,.0f} cycles/CPU s; plain-Python endpoint "
          f"{max(figures['plain']):>10,.0f}; {shares(figures['ours'], figures['plain'])}",
          flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description="Gateway throughput over a real uvicorn connection.")
    parser.add_argument("--repeat", type=int, default=5,
                        help="rounds per figure; the best counts, the rounds' shares are shown too")
    parser.add_argument("--serve", choices=("ours", "ceiling", "plain"), help=argparse.SUPPRESS)
    parser.add_argument("--only", choices=("stream", "broadcast", "churn", "endpoint"),
                        help="run one scenario only")
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve, args.port)
        return

    import ombrel.gateway.ws as ws

    print(f"module: {ws.__file__}")
    rows = [("stream: one turn of 20,000 events", "events/s", stream, EVENTS, "ceiling",
             "plain send_json loop"),
            ("broadcast: 100 clients x 1,000 broadcasts", "messages/s", broadcast,
             CLIENTS * BROADCASTS, "ceiling", "plain send_json loop"),
            ("churn: 1,000 x connect, ping, close", "cycles/s", churn, CYCLES, "plain",
             "plain-Python endpoint")]
    for title, unit, scenario, count, other, other_name in rows:
        if args.only and not title.startswith(args.only):
            continue
        rounds = measure(scenario, count, args.repeat, other)
        gateway, gateway_cpu = (list(figures) for figures in zip(*rounds["ours"]))
        plain_rate, plain_cpu = (list(figures) for figures in zip(*rounds[other]))
        print(f"{title}:\n"
              f"  received  {max(gateway):>10,.0f} {unit}; {other_name} {max(plain_rate):>10,.0f}; "
              f"{shares(gateway, plain_rate)}\n"
              f"  per server CPU second {max(gateway_cpu):>10,.0f}; {other_name} "
              f"{max(plain_cpu):>10,.0f}; {shares(gateway_cpu, plain_cpu)}", flush=True)
    if args.only in (None, "endpoint"):
        endpoint_rounds(args.repeat)

if __name__ == "__main__":
    main()
