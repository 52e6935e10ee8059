"""The example chat app, run as a user runs it."""
from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest
from websockets.asyncio.client import connect

from ws_support import receive

APP = Path(__file__).resolve().parents[2] / "examples" / "chat" / "app.py"


@pytest.fixture
def example():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    process = subprocess.Popen([sys.executable, str(APP), "--port", str(port)], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.monotonic() + 30
    while True:
        try:
            page = urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=2).read().decode()
            break
        except OSError:
            assert process.poll() is None and time.monotonic() < deadline, process.stdout.read()
            time.sleep(0.1)
    yield port, page
    process.terminate()
    process.wait(10)


async def test_example_serves_a_working_chat(example):
    port, page = example
    assert "<title>Ombrel chat</title>" in page and "/ws" in page
    async with connect(f"ws://127.0.0.1:{port}/ws", origin=f"http://127.0.0.1:{port}") as chat:
        await chat.send(json.dumps({"type": "chat", "content": "/approve ls"}))
        events = [await receive(chat) for _ in range(4)]
        assert [e["type"] for e in events] == ["mode", "tool_approval_needed", "tool_approval_needed", "thinking"]
        await chat.send(json.dumps({"type": "approve", "approval_id": events[1]["approval_id"], "approved": True}))
        while (event := await receive(chat))["type"] != "approval_resolved":
            pass
        assert event["success"] is True
