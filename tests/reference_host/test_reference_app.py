"""The reference host served as a user runs it, spoken to over plain
WebSockets: what the browser tests show, on every interpreter."""
from __future__ import annotations

import asyncio
import http.client
import json
import re

import pytest

from websockets.asyncio.client import connect
from websockets.exceptions import InvalidStatus

from reference_support import App


def get(app, path):
    return app.get(path)


def ws_url(app, token=None):
    return app.url.replace("http", "ws") + f"ws?token={token or app.token}"


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
    async with connect(ws_url(app), origin=origin) as one, connect(ws_url(app), origin=origin) as two:
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

        # An interval the heartbeat refuses is answered, and the connection goes on.
        await two.send(json.dumps({"type": "heartbeat_control", "action": "start", "interval": 0.5}))
        refused = await receive_until(two, "error")
        assert refused["message"] == "interval must be at least 1.0 seconds, not 0.5"
        await two.send(json.dumps({"type": "ping"}))
        await receive_until(two, "pong")


async def test_without_the_token_only_the_page_itself_is_served(app):
    home = app.data_dir.parent / "home" / ".ombrel"
    (home / "skill_output" / "notes").mkdir(parents=True, exist_ok=True)
    (home / "skill_output" / "notes" / "a.txt").write_text("mine")
    for path in ("/", "/static/app.js", "/static/app.css", "/highlight.css", "/favicon.ico"):
        assert raw_get(app, path, token=None)[0] == 200, path
    for path in ("/api/info", "/api/token", "/api/conversations", "/api/approvals", "/api/pictures/1",
                 "/files/notes/a.txt", "/docs", "/openapi.json", "/nowhere", "/static/../api/info"):
        for headers in ({}, {"Authorization": "Bearer wrong"}, {"Cookie": f"ombrel_token_{app.port}=wrong"}):
            status, body = raw_get(app, path, token=None, headers=headers)
            assert status in (403, 404) and "mine" not in body and "conversations" not in body, (path, headers)
        assert raw_get(app, path, token=None)[0] == 403 or path.startswith("/static/"), path
    for token in (None, "wrong"):
        with pytest.raises(InvalidStatus) as refused:
            async with connect(app.url.replace("http", "ws") + "ws" + (f"?token={token}" if token else "")):
                pass
        assert refused.value.response.status_code == 403

    # The page's requests carry the token; their answer sets the cookie that
    # its pictures and file links carry.
    connection = http.client.HTTPConnection("127.0.0.1", app.port, timeout=5)
    connection.request("GET", "/api/info", headers={"Authorization": f"Bearer {app.token}"})
    response = connection.getresponse()
    response.read()
    cookie = response.getheader("Set-Cookie")
    connection.close()
    assert cookie.startswith(f"ombrel_token_{app.port}=") and "HttpOnly" in cookie and "SameSite=Strict" in cookie
    assert app.token not in cookie
    assert raw_get(app, "/files/notes/a.txt", token=None,
                   headers={"Cookie": cookie.split(";")[0]}) == (200, "mine")
    assert json.loads(raw_get(app, "/api/token", token=None, headers={"Cookie": cookie.split(";")[0]})[1]) == {
        "token": app.token}


def test_the_app_makes_a_token_and_prints_its_address(app_env, tmp_path):
    env, _ = app_env
    made = App(env, tmp_path / "data", token=None)
    made.start()
    try:
        assert len(made.token) >= 32 and re.fullmatch(r"[\w-]+", made.token)
        assert json.loads(made.get("api/info"))["mode"] == "offline"
        raw_get(made, "/?token=" + made.token, token=None)
        asyncio.run(ping(ws_url(made)))
    finally:
        made.stop()
    # Printed once, for the person to open; the log of requests hides it.
    log = made.output.read_text()
    assert log.count(made.token) == 1 and "token=…" in log


async def ping(url):
    async with connect(url) as client:
        await client.send(json.dumps({"type": "ping"}))
        await receive_until(client, "pong")


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


def raw_get(app, path, host=None, token="app's", headers=None):
    """GET `path` sent as it stands (no normalising of dot segments), with
    the app's token unless told otherwise."""
    connection = http.client.HTTPConnection("127.0.0.1", app.port, timeout=5)
    headers = dict(headers or {})
    if token:
        headers["Authorization"] = "Bearer " + (app.token if token == "app's" else token)
    try:
        connection.putrequest("GET", path, skip_host=host is not None)
        if host:
            connection.putheader("Host", host)
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()
