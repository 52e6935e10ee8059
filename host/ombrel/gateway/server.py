"""Stand-in for the host application's server module.

The gateway reaches the host only through ``get_state()``: a mapping with the
entries "agent", "cu_agent", "guardrails", "heartbeat", "config" and
"memory". ``set_state()`` replaces what it returns. The small host objects
below do what the gateway asks of the real ones and record every call, so
that tests and the example can set up any situation.
"""
from __future__ import annotations

import asyncio
import inspect
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, Callable

_state: dict[str, Any] = {}


def get_state() -> dict[str, Any]:
    """The server state the gateway reads."""
    return _state


def set_state(**entries: Any) -> dict[str, Any]:
    """Replace the server state with ``entries``; returns it."""
    _state.clear()
    _state.update(entries)
    return _state


@dataclass
class AgentEvent:
    """An event of the standard agent; its dictionary form is sent as is."""

    type: str
    data: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        return {"type": self.type, **self.data}


@dataclass
class ComputerUseEvent:
    """An event of the computer-use agent: a kind and its values."""

    type: str
    data: Any = field(default_factory=dict)


async def _events(produced: Any):
    """Yields what a script produced: an iterable or an async iterable."""
    if inspect.isawaitable(produced):
        produced = await produced
    if hasattr(produced, "__aiter__"):
        async for event in produced:
            yield event
    else:
        for event in produced:
            yield event


async def echo(text: str, attachments: list | None = None, delay: float = 0.0):
    """The standard agent's default answer: the message streamed back."""
    yield AgentEvent("thinking", {"content": "Reading your message"})
    words = text.split(" ")
    for index, word in enumerate(words):
        await asyncio.sleep(delay)
        yield AgentEvent("text", {"content": word if index == 0 else " " + word})
    if attachments:
        yield AgentEvent("text", {"content": f" ({len(attachments)} attachment(s))"})
    yield AgentEvent("done", {"content": "You said: " + text})


class Conversations:
    """The agent's conversation store."""

    def __init__(self) -> None:
        self.started: list[str] = []
        self.resumed: list[Any] = []

    async def start_conversation(self) -> str:
        conversation_id = f"conv-{len(self.started) + 1}"
        self.started.append(conversation_id)
        return conversation_id

    async def resume_conversation(self, conversation_id: Any) -> None:
        self.resumed.append(conversation_id)


class StandardAgent:
    """Answers a message with the events of ``script(text, attachments)``."""

    def __init__(self, script: Callable[..., Any] = echo) -> None:
        self.script = script
        self.messages: list[tuple[str, Any]] = []
        self.cancelled = 0
        self.conversation = Conversations()

    async def process_message(self, text: str, attachments: list | None = None):
        self.messages.append((text, attachments))
        async for event in _events(self.script(text, attachments)):
            yield event

    def cancel(self) -> None:
        self.cancelled += 1


class ComputerUseAgent:
    """Answers a task with the events of ``script(text)``."""

    def __init__(self, script: Callable[[str], Any] = lambda text: []) -> None:
        self.script = script
        self.tasks: list[str] = []
        self.is_running = False
        self.stopped = 0

    async def run_task(self, text: str):
        self.tasks.append(text)
        async for event in _events(self.script(text)):
            yield event

    def stop(self) -> None:
        self.stopped += 1
        self.is_running = False


class Guardrails:
    """Pending tool approvals; a decision on an unknown id fails."""

    def __init__(self, pending: tuple[str, ...] = ()) -> None:
        self.pending = set(pending)
        self.decisions: list[tuple[Any, Any]] = []

    def resolve_approval(self, approval_id: Any, approved: Any) -> bool:
        self.decisions.append((approval_id, approved))
        if approval_id in self.pending:
            self.pending.discard(approval_id)
            return True
        return False


class Memory:
    """Stored messages by conversation id."""

    def __init__(self, conversations: dict[str, list] | None = None) -> None:
        self.conversations = dict(conversations or {})

    async def get_messages(self, conversation_id: Any) -> list:
        return self.conversations.get(conversation_id, [])


class Heartbeat:
    """The heartbeat as the gateway drives it; records each call."""

    def __init__(self, interval: float = 300) -> None:
        self.interval = interval
        self.is_running = False
        self.is_paused = False
        self.calls: list[tuple] = []

    def start(self, interval: float) -> None:
        self.calls.append(("start", interval))
        self.interval, self.is_running, self.is_paused = interval, True, False

    def stop(self) -> None:
        self.calls.append(("stop",))
        self.is_running = self.is_paused = False

    def pause(self) -> None:
        self.calls.append(("pause",))
        self.is_paused = True

    def resume(self) -> None:
        self.calls.append(("resume",))
        self.is_paused = False

    def reset_consecutive(self) -> None:
        self.calls.append(("reset_consecutive",))


def config(interval: float = 300) -> SimpleNamespace:
    """A configuration whose heartbeat record has ``interval``."""
    return SimpleNamespace(heartbeat=SimpleNamespace(interval=interval))
