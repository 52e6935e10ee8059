"""The heartbeat driven from a client over a real connection: the gateway's
"heartbeat_control" on the host's adapter, and the runner's events broadcast
back to the clients, as the host wires them."""

import asyncio
import json
import socket

import pytest
from heartbeat_support import FAST

from ombrel.config import HeartbeatConfig
from ombrel.core.heartbeat import HeartbeatRunner
from ombrel.core.heartbeat_adapter import HeartbeatAdapter

fastapi = pytest.importorskip("fastapi")
uvicorn = pytest.importorskip("uvicorn")
websockets = pytest.importorskip("websockets")
ws = pytest.importorskip("ombrel.gateway.ws")
from ombrel.gateway import server  # noqa: E402


@pytest.fixture
async def url():
    """A uvicorn server on 127.0.0.1 serving the gateway, on the test's loop."""
    app = fastapi.FastAPI()
    app.include_router(ws.create_ws_router())
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    live = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    serving = asyncio.create_task(live.serve(sockets=[sock]))
    while not live.started:
        assert not serving.done()
        await asyncio.sleep(0.01)
    yield f"ws://127.0.0.1:{sock.getsockname()[1]}/ws"
    live.should_exit = True
    await asyncio.wait_for(serving, 10)
    server.set_state()


class Client:
    def __init__(self, connection):
        self.connection = connection
        self.heartbeats = []  # the runner's events, as broadcast

    async def send(self, command):
        await self.connection.send(json.dumps(command))

    async def next(self, type_):
        """The next event of `type_`; heartbeat events met on the way are kept."""
        while True:
            event = json.loads(await asyncio.wait_for(self.connection.recv(), 5))
            if event["type"] == type_:
                return event
            if event["type"].startswith("heartbeat"):
                self.heartbeats.append(event)

    async def control(self, **command):
        await self.send({"type": "heartbeat_control", **command})
        return await self.next("heartbeat_status")


async def test_heartbeat_control_end_to_end(url):
    prompts = []

    async def on_beat(prompt):
        prompts.append(prompt)

    async def on_event(event):
        await ws.manager.broadcast(event)

    runner = HeartbeatRunner(HeartbeatConfig(max_consecutive=2), on_beat, on_event)
    server.set_state(heartbeat=HeartbeatAdapter(runner, min_interval=FAST),
                     agent=server.StandardAgent())

    async with websockets.connect(url) as connection:
        client = Client(connection)
        assert await client.control(action="start", interval=FAST) == {
            "type": "heartbeat_status", "status": "running", "interval": FAST}
        assert runner.running and runner._config.interval_seconds == FAST
        paused = await client.next("heartbeat_paused")
        assert client.heartbeats == [{"type": "heartbeat", "beat": 1, "max": 2},
                                     {"type": "heartbeat", "beat": 2, "max": 2}]
        assert paused == {"type": "heartbeat_paused", "reason": "max_consecutive_reached",
                          "count": 2}
        assert len(prompts) == 2
        assert await client.control(action="status") == {
            "type": "heartbeat_status", "status": "running", "paused": True, "interval": FAST}

        # A chat message counts as user interaction; the runner stays paused.
        await client.send({"type": "chat", "content": "hello"})
        await client.next("done")
        assert runner.consecutive_beats == 0 and runner.paused

        assert await client.control(action="resume") == {
            "type": "heartbeat_status", "status": "running"}
        await client.next("heartbeat_paused")
        assert [e.get("beat") for e in client.heartbeats[-2:]] == [1, 2]

        assert await client.control(action="pause") == {
            "type": "heartbeat_status", "status": "paused"}
        assert runner.paused
        assert await client.control(action="stop") == {
            "type": "heartbeat_status", "status": "stopped"}
        assert not runner.running
        assert await client.control(action="status") == {
            "type": "heartbeat_status", "status": "stopped", "paused": True, "interval": FAST}
