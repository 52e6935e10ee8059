"""The command and event vocabulary of "/ws", through Starlette's test client."""
from __future__ import annotations

import math
import types

import pytest
from starlette.websockets import WebSocketDisconnect

from ombrel.gateway import server, ws
from ws_support import client, host, messages, ombrel_log, wait_until  # noqa: F401

STANDARD_MODE = {"type": "mode", "mode": "standard",
                 "message": "\U0001F5A5\uFE0F Computer Use mode \u2014 I can see and control your screen"}
CU_MODE = {"type": "mode", "mode": "computer_use",
           "message": "Using Computer Use mode \u2014 I can see and control your screen"}


def exchange(client, *commands, raw: bool = False) -> list[dict]:
    """Sends the commands, then a ping; returns every event before the pong."""
    with client.websocket_connect("/ws") as socket_:
        for command in commands:
            socket_.send_text(command) if raw else socket_.send_json(command)
        socket_.send_json({"type": "ping"})
        events = []
        while (event := socket_.receive_json()) != {"type": "pong"}:
            events.append(event)
    return events


def ordered(events: list[dict]) -> list[list]:
    return [list(event.items()) for event in events]


def test_ping(client, host):
    with client.websocket_connect("/ws") as socket_:
        socket_.send_json({"type": "ping", "extra": 1})
        assert socket_.receive_text() == '{"type":"pong"}'


@pytest.mark.parametrize("command, reply", [
    ({}, [{"type": "error", "message": "Unknown message type: None"}]),
    ({"type": "bogus"}, [{"type": "error", "message": "Unknown message type: bogus"}]),
    ({"type": 5}, [{"type": "error", "message": "Unknown message type: 5"}]),
    ({"type": {"a": [1]}}, [{"type": "error", "message": "Unknown message type: {'a': [1]}"}]),
])
def test_dispatch_of_plain_commands(client, host, command, reply):
    assert ordered(exchange(client, command)) == ordered(reply)


def test_frames_are_decoded_as_python_does(client, host):
    # The last of duplicate keys counts; NaN is accepted and passed on.
    events = exchange(client, '{"type": "bogus", "type": "heartbeat_control", "action": "start",'
                      ' "interval": NaN}', raw=True)
    assert events[0]["status"] == "running" and math.isnan(events[0]["interval"])
    assert math.isnan(host.heartbeat.calls[0][1])


@pytest.mark.parametrize("present, command, mode, handled_by", [
    ("agent cu_agent", {"content": "hello there"}, "standard", "agent"),
    ("agent cu_agent", {"content": "Please USE VISION now"}, "computer_use", "cu_agent"),
    ("agent cu_agent", {"content": "because visionaries"}, "computer_use", "cu_agent"),
    ("agent cu_agent", {"content": "use vision", "computer_use": False}, "standard", "agent"),
    ("agent cu_agent", {"content": "hello", "computer_use": True}, "computer_use", "cu_agent"),
    ("agent cu_agent", {"content": "hello", "computer_use": 1}, "computer_use", "cu_agent"),
    ("agent", {"content": "hello", "computer_use": True}, "standard", "agent"),
    ("agent", {"content": "enable computer use"}, "standard", "agent"),
    ("cu_agent", {"content": "switch to computer use please"}, "computer_use", "cu_agent"),
    ("cu_agent", {"content": "hello"}, "No suitable agent available", None),
    ("cu_agent", {"content": "use vision", "computer_use": False}, "No suitable agent available", None),
])
def test_chat_routing(client, host, present, command, mode, handled_by):
    for name in {"agent", "cu_agent"} - set(present.split()):
        server.get_state().pop(name)
    events = exchange(client, {"type": "chat", **command})
    expected = {"standard": STANDARD_MODE, "computer_use": CU_MODE}.get(
        mode, {"type": "error", "message": mode})
    assert ordered(events[:1]) == ordered([expected])
    text = command["content"]
    assert host.agent.messages == ([(text, None)] if handled_by == "agent" else [])
    assert host.cu_agent.tasks == ([text] if handled_by == "cu_agent" else [])
    assert host.heartbeat.calls == [("reset_consecutive",)]


@pytest.mark.parametrize("content", ["", "  \t\n ", None])
@pytest.mark.parametrize("agents", [True, False])
def test_empty_chat(client, host, content, agents):
    if not agents:
        server.get_state().update(agent=None, cu_agent=None)
    command = {"type": "chat"} if content is None else {"type": "chat", "content": content}
    expected = [] if agents else [{"type": "error", "message": "Agent not initialized"}]
    assert exchange(client, command) == expected
    assert host.heartbeat.calls == []


def test_standard_turn_streams_the_agents_events(client, host, ombrel_log):
    text = "\u00e9" * 79 + "\u00df" + "tail"
    attachments = [{"name": "a.txt", "content": "x"}]
    events = exchange(client, {"type": "chat", "content": f"  {text}\n", "attachments": attachments})
    assert ordered(events) == ordered([
        STANDARD_MODE, {"type": "thinking", "content": "Reading your message"},
        {"type": "text", "content": text}, {"type": "text", "content": " (1 attachment(s))"},
        {"type": "done", "content": "You said: " + text}])
    assert host.agent.messages == [(text, attachments)]
    assert f"Standard agent handling: {text[:80]}" in messages(ombrel_log, "INFO")


def test_approval_request_reaches_the_requester_twice(client, host):
    request = {"type": "tool_approval_needed", "approval_id": "ap-1", "tool": "shell"}
    host.agent.script = lambda text, attachments: [
        server.AgentEvent(request["type"], {"approval_id": "ap-1", "tool": "shell"}),
        server.AgentEvent("done")]
    events = exchange(client, {"type": "chat", "content": "run it"})
    assert events == [STANDARD_MODE, request, request, {"type": "done"}]


async def failing_stream(*args):
    yield server.AgentEvent("text", {"content": "partial"})
    raise RuntimeError("model unreachable")


@pytest.mark.parametrize("agent, prefix, log", [
    ("agent", "Agent error: ", "Standard agent error"),
    ("cu_agent", "Computer Use error: ", "Computer Use agent error"),
])
def test_agent_failure_becomes_an_error_event(client, host, ombrel_log, agent, prefix, log):
    getattr(host, agent).script = failing_stream
    events = exchange(client, {"type": "chat", "content": "go", "computer_use": agent == "cu_agent"})
    assert events[1:] == [{"type": "text", "content": "partial"},
                          {"type": "error", "message": prefix + "model unreachable"}]
    [record] = [r for r in ombrel_log.records if r.levelname == "ERROR"]
    assert record.getMessage() == log
    assert str(record.exc_info[1]) == "model unreachable"
    assert "failing_stream" in ombrel_log.text  # the traceback of the agent's frame


def tool_call(**data):
    return server.ComputerUseEvent("tool_call", data)


def tool_result(**data):
    return server.ComputerUseEvent("tool_result", data)


@pytest.mark.parametrize("agent_event, sent", [
    (tool_call(tool="computer", input={"action": "screenshot"}, id="t1"),
     {"type": "tool_call", "id": "t1", "tool": "computer.screenshot", "arguments": {"action": "screenshot"}}),
    (tool_call(tool="computer", input="click"),
     {"type": "tool_call", "id": "", "tool": "computer.", "arguments": "click"}),
    (tool_call(tool="computer", input=["action", "x"]),
     {"type": "tool_call", "id": "", "tool": "computer.", "arguments": ["action", "x"]}),
    (tool_call(tool="bash", input={"command": "ls"}, id="t2"),
     {"type": "tool_call", "id": "t2", "tool": "bash", "arguments": {"command": "ls"}}),
    (tool_call(), {"type": "tool_call", "id": "", "tool": "", "arguments": {}}),
    (tool_result(id="t1", tool="computer", result={"type": "image", "base64": "iVBO"}),
     {"type": "tool_result", "id": "t1", "tool": "computer", "screenshot": True,
      "image_base64": "iVBO", "result": "Screenshot captured"}),
    (tool_result(result={"type": "error"}),
     {"type": "tool_result", "id": "", "tool": "", "result": "Unknown error", "error": True}),
    (tool_result(result={"type": "error", "error": "denied"}),
     {"type": "tool_result", "id": "", "tool": "", "result": "denied", "error": True}),
    (tool_result(result=types.MappingProxyType({"type": "error"})),
     {"type": "tool_result", "id": "", "tool": "", "result": "Unknown error", "error": True}),
    (tool_result(result="plain"), {"type": "tool_result", "id": "", "tool": "", "result": "plain"}),
    (tool_result(result={"type": "text", "text": "ok"}),
     {"type": "tool_result", "id": "", "tool": "", "result": "ok"}),
    (tool_result(result={"output": 1}),
     {"type": "tool_result", "id": "", "tool": "", "result": "{'output': 1}"}),
    (tool_result(result=None), {"type": "tool_result", "id": "", "tool": "", "result": "None"}),
    (tool_result(), {"type": "tool_result", "id": "", "tool": "", "result": "{}"}),
    (server.ComputerUseEvent("text"), {"type": "text", "content": ""}),
    (server.ComputerUseEvent("thinking"), {"type": "thinking", "message": ""}),
    (server.ComputerUseEvent("iteration"), {"type": "iteration", "number": 0, "max": 50}),
    (server.ComputerUseEvent("done"), {"type": "done", "iterations": 0}),
    (server.ComputerUseEvent("error"), {"type": "error", "message": "Unknown error"}),
    (server.ComputerUseEvent("cancelled"), {"type": "cancelled", "message": "Task cancelled"}),
    (server.ComputerUseEvent("progress", {"message": "x"}), {}),
])
def test_computer_use_events_are_translated(client, host, ombrel_log, agent_event, sent):
    host.cu_agent.script = lambda text: [agent_event, server.ComputerUseEvent("done", {"iterations": 1})]
    events = exchange(client, {"type": "chat", "content": "look", "computer_use": True})
    assert events[0] == CU_MODE
    assert ordered(events[1:]) == ordered(([sent] if sent else []) + [{"type": "done", "iterations": 1}])
    assert "Computer Use agent handling: look" in messages(ombrel_log, "INFO")


@pytest.mark.parametrize("command, reply, decisions", [
    ({"approval_id": "ap-1", "approved": True},
     {"type": "approval_resolved", "approval_id": "ap-1", "approved": True, "success": True},
     [("ap-1", True)]),
    ({"approval_id": "unknown"},
     {"type": "approval_resolved", "approval_id": "unknown", "approved": False, "success": False},
     [("unknown", False)]),
    ({}, {"type": "error", "message": "Missing approval_id"}, []),
    ({"approval_id": "", "approved": True}, {"type": "error", "message": "Missing approval_id"}, []),
])
def test_approve(client, host, command, reply, decisions):
    assert ordered(exchange(client, {"type": "approve", **command})) == ordered([reply])
    assert host.guardrails.decisions == decisions


@pytest.mark.parametrize("entry, command, error", [
    ("guardrails", {"type": "approve", "approval_id": "ap-1"}, "Guardrails not initialized"),
    ("heartbeat", {"type": "heartbeat_control", "action": "status"}, "Heartbeat not initialized"),
])
def test_control_without_its_host_object(client, host, entry, command, error):
    server.get_state()[entry] = None
    assert exchange(client, command) == [{"type": "error", "message": error}]


def test_conversations(client, host):
    events = exchange(client, {"type": "new_conversation"},
                      {"type": "resume_conversation", "conversation_id": "c-7"},
                      {"type": "resume_conversation"}, {"type": "resume_conversation", "conversation_id": ""})
    assert ordered(events) == ordered([
        {"type": "conversation_started", "conversation_id": "conv-1"},
        {"type": "conversation_resumed", "conversation_id": "c-7", "messages": [{"role": "user"}]}])
    assert host.agent.conversation.resumed == ["c-7"]
    server.get_state()["agent"] = None
    assert exchange(client, {"type": "new_conversation"},
                    {"type": "resume_conversation", "conversation_id": "c-7"}) == []


@pytest.mark.parametrize("agent, cu_running, reply", [
    (True, False, {"type": "task_stopped", "message": "Task stopped"}),
    (False, True, {"type": "task_stopped", "message": "Task stopped"}),
    (False, False, {"type": "info", "message": "No task is currently running"}),
    (True, True, {"type": "task_stopped", "message": "Task stopped"}),
])
def test_stop_task(client, host, agent, cu_running, reply):
    if not agent:
        server.get_state()["agent"] = None
    host.cu_agent.is_running = cu_running
    assert ordered(exchange(client, {"type": "stop_task"})) == ordered([reply])
    assert (host.agent.cancelled, host.cu_agent.stopped) == (int(agent), int(cu_running))


@pytest.mark.parametrize("command, config, reply, calls", [
    ({"action": "start", "interval": 30}, server.config(120),
     {"status": "running", "interval": 30}, [("start", 30)]),
    ({"action": "start", "interval": 0}, server.config(120),
     {"status": "running", "interval": 120}, [("start", 120)]),
    ({"action": "start", "interval": None}, None, {"status": "running", "interval": 300}, [("start", 300)]),
    ({"action": "start"}, types.SimpleNamespace(heartbeat=types.SimpleNamespace(interval_seconds=45)),
     {"status": "running", "interval": 45}, [("start", 45)]),
    ({"action": "stop"}, None, {"status": "stopped"}, [("stop",)]),
    ({"action": "pause"}, None, {"status": "paused"}, [("pause",)]),
    ({"action": "resume"}, None, {"status": "running"}, [("resume",)]),
])
def test_heartbeat_actions(client, host, command, config, reply, calls):
    server.get_state()["config"] = config
    [event] = exchange(client, {"type": "heartbeat_control", **command})
    assert list(event.items()) == [("type", "heartbeat_status"), *reply.items()]
    assert host.heartbeat.calls == calls


def test_heartbeat_status_and_unknown_actions(client, host):
    host.heartbeat.is_running, host.heartbeat.is_paused, host.heartbeat.interval = True, True, 90
    events = exchange(client, *({"type": "heartbeat_control", **extra} for extra in
                                ({"action": "status"}, {"action": "dance"}, {}, {"action": None})))
    assert ordered(events) == ordered([
        {"type": "heartbeat_status", "status": "running", "paused": True, "interval": 90},
        {"type": "error", "message": "Unknown heartbeat action: dance"},
        {"type": "error", "message": "Unknown heartbeat action: "},
        {"type": "error", "message": "Unknown heartbeat action: None"}])
    assert host.heartbeat.calls == []


def test_a_host_failure_ends_only_that_connection(client, host, ombrel_log):
    del server.get_state()["memory"]
    with client.websocket_connect("/ws") as broken:
        broken.send_json({"type": "resume_conversation", "conversation_id": "c-7"})
        wait_until(lambda: "WebSocket error" in messages(ombrel_log))
        wait_until(lambda: not ws.manager._connections)
    [record] = [r for r in ombrel_log.records if r.levelname == "ERROR"]
    assert isinstance(record.exc_info[1], KeyError)
    assert exchange(client, {"type": "new_conversation"})[0]["type"] == "conversation_started"


def test_refused_origin_is_closed_before_accepting(client, host, ombrel_log):
    with pytest.raises(WebSocketDisconnect) as refused:
        with client.websocket_connect("/ws", headers={"origin": "https://evil.example"}):
            pass
    assert refused.value.code == 1008
    assert messages(ombrel_log) == ["Rejected WebSocket connection from origin https://evil.example"]
