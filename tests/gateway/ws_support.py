"""Shared set-up of the gateway tests: the stand-in host's state, the web
application that mounts the gateway, a real uvicorn server on 127.0.0.1 and
a real Starlette WebSocket over an in-memory ASGI channel."""
from __future__ import annotations

import asyncio
import json
import logging
import socket
import threading
import time
from types import SimpleNamespace

import pytest
import uvicorn
from fastapi import FastAPI
from fastapi.testclient import TestClient
from starlette.websockets import WebSocket

from ombrel.gateway import server, ws

STRICT_ORIGIN = "https://app.example"
TOKEN = "s3cret-token"
# The router with every option, at "/opts/ws".
OPTIONS = {"queue_size": 8, "token": TOKEN, "replay": 50, "close_codes": True,
           "max_message_size": 1000}


def make_app() -> FastAPI:
    """The gateway as a host mounts it, plus a router with allowed origins
    and one with every option."""
    app = FastAPI()
    app.include_router(ws.create_ws_router())
    app.include_router(ws.create_ws_router(allowed_origins=[STRICT_ORIGIN, "null"]),
                       prefix="/strict")
    app.include_router(ws.create_ws_router(**OPTIONS), prefix="/opts")
    app.include_router(ws.create_ws_router(errors_as_events=True), prefix="/lenient")
    return app


@pytest.fixture
def host():
    """Every host object present; tests remove or replace entries."""
    parts = SimpleNamespace(
        agent=server.StandardAgent(), cu_agent=server.ComputerUseAgent(),
        guardrails=server.Guardrails(("ap-1",)), heartbeat=server.Heartbeat(),
        config=server.config(120), memory=server.Memory({"c-7": [{"role": "user"}]}))
    server.set_state(**vars(parts))
    yield parts
    server.set_state()


@pytest.fixture
def client():
    with TestClient(make_app()) as test_client:
        yield test_client
    wait_until(lambda: not ws.manager._connections)


@pytest.fixture
def ombrel_log(caplog):
    caplog.set_level(logging.INFO, logger="ombrel.ws")
    return caplog


def messages(caplog, level: str | None = None) -> list[str]:
    return [r.getMessage() for r in caplog.records
            if r.name == "ombrel.ws" and (level is None or r.levelname == level)]


def wait_until(condition, timeout: float = 5.0) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.005)


class Gate:
    """Holds an agent's stream until the test opens it (across threads)."""

    def __init__(self) -> None:
        self.reached = threading.Event()
        self.opened = threading.Event()

    async def wait(self) -> None:
        self.reached.set()
        while not self.opened.is_set():
            await asyncio.sleep(0.002)


class LiveServer:
    def __init__(self) -> None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.1", 0))
        self.port = sock.getsockname()[1]
        self.server = uvicorn.Server(uvicorn.Config(make_app(), log_level="warning"))
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [sock]},
                                       daemon=True)
        self.thread.start()
        wait_until(lambda: self.server.started, timeout=20)

    def url(self, path: str = "/ws") -> str:
        return f"ws://127.0.0.1:{self.port}{path}"

    def stop(self) -> None:
        self.server.should_exit = True
        self.thread.join(10)


@pytest.fixture(scope="module")
def live():
    live_server = LiveServer()
    yield live_server
    live_server.stop()


@pytest.fixture
def registry():
    """The shared registry, empty before and after the test."""
    wait_until(lambda: not ws.manager._connections)
    yield ws.manager._connections
    wait_until(lambda: not ws.manager._connections)


async def receive(connection, timeout: float = 5.0) -> dict:
    return json.loads(await asyncio.wait_for(connection.recv(), timeout))


def asgi_socket(fail_send: bool = False):
    """A real Starlette WebSocket whose client end is in memory: the ASGI
    messages it sends are collected; `fail_send` makes the transport break."""
    sent: list[dict] = []
    incoming: asyncio.Queue = asyncio.Queue()
    incoming.put_nowait({"type": "websocket.connect"})

    async def send(message):
        if fail_send and message["type"] == "websocket.send":
            raise ConnectionResetError("connection reset by peer")
        sent.append(message)

    scope = {"type": "websocket", "path": "/ws", "headers": [], "query_string": b"",
             "scheme": "ws", "server": ("127.0.0.1", 80), "client": ("127.0.0.1", 5)}
    socket_ = WebSocket(scope, incoming.get, send)
    socket_.events = lambda: [json.loads(m["text"]) for m in sent if m["type"] == "websocket.send"]
    socket_.incoming = incoming
    return socket_
