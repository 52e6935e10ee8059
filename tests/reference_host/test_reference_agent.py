"""The reference host's agent in-process: the model path against a local
OpenAI-compatible server (the real client library, streamed answers and
tool calls), approvals and stops, and conversations kept across restarts."""
from __future__ import annotations

import asyncio
import base64
import json
from pathlib import Path

import pytest

from reference_support import ROOT
from ombrel.core.agent import StandardAgent
from ombrel.core.computer_use_agent import ComputerUseAgent
from ombrel.core.guardrails import Guardrails
from ombrel.core.memory import ConversationStore
from ombrel.core.model_turn import ModelTurn
from ombrel.core.tools import Tools
from ombrel.pc.vantor import Vantor
from ombrel.skills import corvex


@pytest.fixture
def agent(tmp_path, monkeypatch):
    monkeypatch.setattr(corvex, "STATE_DIR", tmp_path / "state")
    monkeypatch.setattr(corvex, "OUTPUT_DIR", tmp_path / "output")
    broadcasts: list = []

    async def broadcast(event):
        broadcasts.append(event)

    tools = Tools(Vantor(), corvex.PythonSkillRunner(), [ROOT / "examples" / "skills"])
    agent = StandardAgent(tools, Guardrails(broadcast), ConversationStore(tmp_path / "data" / "c.sqlite3"),
                          stream_delay=0)
    agent.broadcasts = broadcasts
    yield agent
    agent.conversation.close()


async def turn(agent, text):
    return [event.to_dict() async for event in agent.process_message(text)]


async def test_the_model_streams_its_answer_and_calls_the_tools(agent, chat_server):
    agent.model = ModelTurn("test-model")
    chat_server.replies = [("run_skill", {"name": "visit_counter", "params": {"who": "Ada"}}),
                            "You are visitor number one."]
    events = await turn(agent, "count me in")
    kinds = [e["type"] for e in events]
    assert kinds[:2] == ["tool_call", "tool_result"] and kinds[-1] == "done"
    assert events[0]["arguments"] == {"name": "visit_counter", "params": {"who": "Ada"}}
    assert events[1]["result"]["result"]["count"] == 1
    assert kinds.count("text") == 5 and events[-1]["content"] == "You are visitor number one."

    (_, first), (_, second) = chat_server.requests
    assert first["model"] == "test-model" and first["stream"] is True
    assert {t["function"]["name"] for t in first["tools"]} >= {"desktop_snapshot", "run_skill"}
    assert first["messages"][-1] == {"role": "user", "content": "count me in"}
    tool_message = second["messages"][-1]
    assert tool_message["role"] == "tool" and json.loads(tool_message["content"])["result"]["count"] == 1

    # The next turn sends the conversation so far.
    chat_server.replies = ["Again."]
    await turn(agent, "and again")
    history = chat_server.requests[-1][1]["messages"]
    assert [m["role"] for m in history] == ["system", "user", "assistant", "user"]


async def test_a_failing_model_endpoint_is_reported_and_harmless(agent, monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")  # nothing listens there
    monkeypatch.setenv("OPENAI_MAX_RETRIES", "0")
    agent.model = ModelTurn("test-model", client=__import__("openai").AsyncOpenAI(max_retries=0))
    for _ in range(2):
        events = await turn(agent, "hello")
        assert [e["type"] for e in events] == ["error", "done"]
        assert events[0]["message"].startswith("The model request failed (APIConnectionError)")


async def test_approvals_wait_for_the_user_and_a_stop_ends_the_wait(agent):
    events: list = []

    async def collect(text):
        async for event in agent.process_message(text):
            events.append(event.to_dict())

    # Approved: the shell command runs.
    task = asyncio.create_task(collect('run skill shell_command {"command": "echo yes"}'))
    while not agent.guardrails.pending():
        await asyncio.sleep(0.01)
    request = agent.guardrails.pending()[0]
    assert agent.guardrails.resolve_approval(request["approval_id"], True) is True
    assert agent.guardrails.resolve_approval(request["approval_id"], True) is False  # once only
    await task
    assert next(e for e in events if e["type"] == "tool_result")["result"]["result"]["output"] == "yes"

    # A stop while waiting: the turn ends, every page learns the request expired.
    events.clear()
    task = asyncio.create_task(collect('run skill shell_command {"command": "echo no"}'))
    while not agent.guardrails.pending():
        await asyncio.sleep(0.01)
    agent.cancel()
    await task
    assert [e["type"] for e in events][-2:] == ["cancelled", "done"]
    assert not any(e["type"] == "tool_result" for e in events)
    await asyncio.sleep(0)
    assert [b["type"] for b in agent.broadcasts] == ["approval_resolved", "approval_expired"]
    assert agent.guardrails.resolve_approval(request["approval_id"], True) is False


@pytest.mark.parametrize("text, error", [
    ("run skill ../etc/passwd", "Not a skill name"),
    ("run skill nothing_here", "No skill named nothing_here"),
    ("type 2", "Usage: type N TEXT"),
    ("wait", "Usage: wait NAME"),
    ("run skill visit_counter {oops", "not valid JSON"),
])
async def test_bad_commands_give_a_clear_message(agent, text, error):
    events = await turn(agent, text)
    shown = " ".join(json.dumps(e) for e in events)
    assert error in shown and events[-1]["type"] == "done"


async def test_without_a_display_the_desktop_says_so_and_the_computer_use_agent_shows_a_placeholder(
        agent, monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    for command in ("snapshot", "click 1", "screenshot"):
        events = await turn(agent, command)
        assert events[-1]["content"].startswith("That did not work: No display: DISPLAY is not set")
    cu_events = [e async for e in ComputerUseAgent(step_delay=0).run_task("look")]
    picture = next(e for e in cu_events if e.type == "tool_result").data["result"]
    assert picture["type"] == "image" and base64.b64decode(picture["base64"]).startswith(b"\x89PNG")
    assert "a placeholder (No display" in next(e for e in cu_events if e.type == "text").data["content"]


async def test_conversations_outlive_the_store(agent, tmp_path):
    await turn(agent, "help")
    conversation_id = agent.conversation.current
    agent.conversation.close()
    reopened = ConversationStore(tmp_path / "data" / "c.sqlite3")  # as after a restart
    assert reopened.current is None
    assert [c["id"] for c in reopened.list()] == [conversation_id]
    await reopened.resume_conversation(conversation_id)
    messages = await reopened.get_messages(conversation_id)
    assert [m["role"] for m in messages] == ["user", "assistant"] and messages[0]["content"] == "help"
    await reopened.resume_conversation("c-unknown")
    assert reopened.current == conversation_id and await reopened.get_messages(["not", "an", "id"]) == []
    reopened.close()


async def test_a_skill_run_names_only_the_files_it_wrote(agent):
    if not hasattr(corvex.OmbrelContext, "create_document"):
        pytest.skip("skills without documents")
    await turn(agent, 'run skill write_report {"title": "First", "format": "md"}')
    events = await turn(agent, 'run skill write_report {"title": "Second", "format": "txt"}')
    result = next(e for e in events if e["type"] == "tool_result")["result"]
    assert [Path(path).name for path in result["output_files"]] == ["Second.txt"]
    assert events[-1]["content"].endswith("Files:\n• Second.txt")


async def test_write_report_writes_documents_only(agent):
    events = await turn(agent, 'run skill write_report {"title": "x", "format": "exe"}')
    assert events[-1]["content"].startswith(
        "The skill write_report failed: format must be one of docx, md, txt, not 'exe'")
    assert list((corvex.OUTPUT_DIR / "write_report").glob("*")) == []
