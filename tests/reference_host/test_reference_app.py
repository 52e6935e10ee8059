"""The reference host served as a user runs it, spoken to over plain
WebSockets: what the browser tests show, on every interpreter."""
from __future__ import annotations

import asyncio
import http.client
import json
import urllib.request

import pytest

from websockets.asyncio.client import connect


def get(app, path):
    return urllib.request.urlopen(app.url + path, timeout=5).read().decode()


async def receive_until(socket, kind, seen=None):
    while True:
        event = json.loads(await asyncio.wait_for(socket.recv(), 20))
        if seen is not None:
            seen.append(event)
        if event["type"] == kind:
            return event


async def test_the_app_serves_its_page_and_answers_on_every_connection(app):
    assert "<title>Ombrel</title>" in get(app, "") and "new WebSocket" in get(app, "static/app.js")
    assert get(app, "favicon.ico").startswith("<svg") and 'rel="icon"' in get(app, "")
    info = json.loads(get(app, "api/info"))
    assert info["mode"] == "offline" and {"browse_page", "write_report", "visit_counter"} <= set(info["skills"])

    origin = app.url.rstrip("/")
    async with connect(app.url.replace("http", "ws") + "ws", origin=origin) as one, \
            connect(app.url.replace("http", "ws") + "ws", origin=origin) as two:
        await one.send(json.dumps({"type": "chat", "content": 'run skill shell_command {"command": "echo hi"}'}))
        request = await receive_until(two, "tool_approval_needed")  # broadcast to every page
        assert request["arguments"]["params"] == {"command": "echo hi"}
        assert json.loads(get(app, "api/approvals"))[0]["approval_id"] == request["approval_id"]
        await two.send(json.dumps({"type": "approve", "approval_id": request["approval_id"], "approved": True}))
        reply = await receive_until(two, "approval_resolved")
        assert reply["success"] is True
        seen = []
        done = await receive_until(one, "done", seen)
        assert "approval_resolved" in [e["type"] for e in seen]  # the other page learns it too
        assert '"output": "hi"' in done["content"]

        await one.send(json.dumps({"type": "chat", "content": "count 100"}))
        await receive_until(one, "text")
        await two.send(json.dumps({"type": "stop_task"}))
        assert (await receive_until(two, "task_stopped"))["message"] == "Task stopped"
        assert (await receive_until(one, "cancelled"))["message"] == "Stopped by the user"

        await one.send(json.dumps({"type": "heartbeat_control", "action": "status"}))
        status = await receive_until(one, "heartbeat_status")
        assert status["status"] in ("running", "stopped") and status["interval"] > 0


def test_files_come_only_from_skill_output_folders(app):
    home = app.data_dir.parent / "home" / ".ombrel"
    (home / "skill_output" / "notes").mkdir(parents=True, exist_ok=True)
    (home / "skill_output" / "notes" / "a.txt").write_text("mine")
    (home / "skill_output" / "top.txt").write_text("not a skill's")
    (home / "secret.env").write_text("OPENAI_API_KEY=sk-no")
    assert raw_get(app, "/files/notes/a.txt") == (200, "mine")
    for path in ("/files/../secret.env", "/files/%2e%2e/secret.env", "/files/./top.txt",
                 "/files/%2E/top.txt", "/files/notes/..", "/files/notes/."):
        assert raw_get(app, path)[0] == 404, path


@pytest.mark.parametrize("host, status", [
    ("localhost", 200), ("127.0.0.1", 200), ("[::1]", 200), ("evil.example", 400), ("", 400)])
def test_only_loopback_host_names_are_answered(app, host, status):
    header = f"{host}:{app.port}" if host else ""
    assert raw_get(app, "/api/info", host=header)[0] == status


def raw_get(app, path, host=None):
    """GET `path` sent as it stands (no normalising of dot segments)."""
    connection = http.client.HTTPConnection("127.0.0.1", app.port, timeout=5)
    try:
        connection.putrequest("GET", path, skip_host=host is not None)
        if host:
            connection.putheader("Host", host)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()
