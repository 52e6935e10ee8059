"""A chat with the gateway: a FastAPI app on 127.0.0.1 that mounts the "/ws"
route of ombrel.gateway.ws with the stand-in host (whose standard agent echoes
each message back as a few streamed events) and serves a small chat page.

    python examples/chat/app.py [--port 8765]

then open http://127.0.0.1:8765/ in a browser.
"""
from __future__ import annotations

import argparse
import asyncio
import itertools
import logging
import sys
from functools import partial
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
# The stand-in host's modules (ombrel.gateway.server) sit beside ours in the
# ombrel namespace package.
sys.path.insert(0, str(HERE.parent.parent / "host"))

import uvicorn  # noqa: E402
from fastapi import FastAPI  # noqa: E402
from fastapi.responses import FileResponse  # noqa: E402

from ombrel.config import HeartbeatConfig  # noqa: E402
from ombrel.core.heartbeat import HeartbeatRunner  # noqa: E402
from ombrel.core.heartbeat_adapter import HeartbeatAdapter  # noqa: E402
from ombrel.gateway import server  # noqa: E402
from ombrel.gateway.ws import create_ws_router, manager  # noqa: E402

# A 1x1 PNG standing in for a screenshot.
PIXEL = ("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhf"
         "DwAChwGA60e6kgAAAABJRU5ErkJggg==")


GUARDRAILS = server.Guardrails()
APPROVAL_IDS = itertools.count(1)


async def standard_agent(text: str, attachments: list | None = None):
    """Echoes the message; "/approve ..." asks for an approval first."""
    if text.startswith("/approve"):
        approval_id = f"demo-{next(APPROVAL_IDS)}"
        GUARDRAILS.pending.add(approval_id)
        yield server.AgentEvent("tool_approval_needed", {
            "approval_id": approval_id, "tool": "shell", "arguments": {"command": text[8:].strip()}})
    async for event in server.echo(text, attachments, delay=0.12):
        yield event


async def computer_use_agent(text: str):
    """Pretends to look at the screen."""
    steps = [
        server.ComputerUseEvent("iteration", {"number": 1, "max": 5}),
        server.ComputerUseEvent("thinking", {"message": "Taking a screenshot"}),
        server.ComputerUseEvent("tool_call", {"id": "t1", "tool": "computer", "input": {"action": "screenshot"}}),
        server.ComputerUseEvent("tool_result", {"id": "t1", "tool": "computer",
                                                "result": {"type": "image", "base64": PIXEL}}),
        server.ComputerUseEvent("text", {"content": f"I looked at the screen for: {text}"}),
        server.ComputerUseEvent("done", {"iterations": 1}),
    ]
    for step in steps:
        await asyncio.sleep(0.15)
        yield step


async def heartbeat_event(event: dict) -> None:
    """The heartbeat's "heartbeat" and "heartbeat_paused" events go to every client."""
    await manager.broadcast(event)


async def heartbeat_beat(prompt: str) -> None:
    """A beat hands the check-in prompt to the agent; its answer goes to every client."""
    agent = server.get_state()["agent"]
    async for event in agent.process_message(prompt):
        await manager.broadcast(event.to_dict())


def create_app() -> FastAPI:
    heartbeat_config = HeartbeatConfig(enabled=True, interval_seconds=60, max_consecutive=3)
    runner = HeartbeatRunner(heartbeat_config, heartbeat_beat, heartbeat_event)
    server.set_state(
        agent=server.StandardAgent(standard_agent),
        cu_agent=server.ComputerUseAgent(computer_use_agent),
        guardrails=GUARDRAILS,
        heartbeat=HeartbeatAdapter(runner),
        config=SimpleNamespace(heartbeat=heartbeat_config),
        memory=server.Memory({"conv-1": [{"role": "user", "content": "hello"}]}),
    )
    app = FastAPI(title="Ombrel gateway example", on_shutdown=[runner.stop])
    app.include_router(create_ws_router())
    page = HERE / "index.html"

    @app.get("/", include_in_schema=False)
    async def index() -> FileResponse:
        return FileResponse(page)

    return app


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8765)
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(levelname)s:     %(name)s: %(message)s")
    print(f"Chat on http://127.0.0.1:{args.port}/", flush=True)
    uvicorn.run(create_app(), host="127.0.0.1", port=args.port, log_level="info")


if __name__ == "__main__":
    main()
