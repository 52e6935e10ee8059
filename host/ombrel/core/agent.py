"""The host's standard agent.

``process_message(text, attachments=None)`` streams the events of one turn,
as the gateway expects them (objects with ``type`` and ``to_dict()``):

    thinking              {"content"}
    tool_call             {"id", "tool", "arguments"}
    tool_approval_needed  {"approval_id", "tool", "arguments", "reason"}
    tool_result           {"id", "tool", "success", "result"; "error";
                           "screenshot", "image_base64" for pictures}
    text                  {"content"}: a piece of the answer
    error                 {"message"}
    cancelled             {"message"}
    done                  {"content": the whole answer, "conversation_id"}

Offline (the default) it understands the commands of ``ombrel.core.commands``;
given a model client it asks the model, offering the tools of
``ombrel.core.tools`` (``ombrel.core.model_turn``). The turn runs as a task
of its own, so ``cancel()`` (the gateway's "stop_task", from any page) ends
it at once, even while it waits for an approval, a skill or the model.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import logging
from pathlib import Path
from typing import Any, AsyncIterator, Callable

from ombrel.core import commands
from ombrel.core.guardrails import Guardrails
from ombrel.core.memory import ConversationStore
from ombrel.core.tools import Tools
from ombrel.gateway.server import AgentEvent

logger = logging.getLogger("ombrel.host.agent")

Emit = Callable[[AgentEvent], None]
_END = object()


class StandardAgent:
    def __init__(self, tools: Tools, guardrails: Guardrails, conversation: ConversationStore,
                 model: Any = None, stream_delay: float = 0.02) -> None:
        self.tools = tools
        self.guardrails = guardrails
        self.conversation = conversation
        self.model = model            # an ombrel.core.model_turn.ModelTurn, or None
        self.stream_delay = stream_delay
        self._turns: set[asyncio.Task] = set()
        self._ids = itertools.count(1)

    @property
    def is_running(self) -> bool:
        return bool(self._turns)

    def cancel(self) -> None:
        """Stop every running turn (the gateway's "stop_task")."""
        for task in list(self._turns):
            task.cancel()

    async def process_message(self, text: str, attachments: list | None = None, *,
                              remember: bool = True) -> AsyncIterator[AgentEvent]:
        """The events of one turn. ``remember`` False (the heartbeat's
        check-ins) keeps the exchange out of the conversation."""
        queue: asyncio.Queue = asyncio.Queue()
        task = asyncio.create_task(self._turn(text, attachments, remember, queue.put_nowait))
        self._turns.add(task)
        task.add_done_callback(lambda _: queue.put_nowait(_END))
        try:
            while (event := await queue.get()) is not _END:
                yield event
            task.result()  # an unexpected failure becomes the gateway's "Agent error: ..."
        finally:
            self._turns.discard(task)
            if not task.done():  # the page went away mid-turn
                task.cancel()

    async def _turn(self, text: str, attachments: list | None, remember: bool, emit: Emit) -> None:
        answer: list[str] = []
        # The turn is kept in the conversation current when it began, as the
        # page is shown it.
        transcript = self.conversation.transcript(text + _attachment_note(attachments)) if remember else None
        send = emit

        def emit(event: AgentEvent) -> None:
            if transcript is not None:
                transcript.record(event.to_dict())
            send(event)

        def say(piece: str) -> None:
            answer.append(piece)
            emit(AgentEvent("text", {"content": piece}))

        try:
            if self.model is not None:
                await self.model.run(self, text, attachments, emit, say)
            else:
                await self._offline(text, emit, say)
        except asyncio.CancelledError:
            emit(AgentEvent("cancelled", {"message": "Stopped by the user"}))
            answer.append(" [stopped]")
        finally:
            if transcript is not None:
                transcript.close()
        conversation_id = transcript.conversation_id if transcript is not None else self.conversation.current
        emit(AgentEvent("done", {"content": "".join(answer), "conversation_id": conversation_id}))

    async def stream(self, text: str, say: Callable[[str], None]) -> None:
        """Say ``text`` in small pieces, as a model would stream it: word by
        word, in at most about 40 pieces."""
        words = text.split(" ")
        size = max(1, len(words) // 40)
        for start in range(0, len(words), size):
            say((" " if start else "") + " ".join(words[start:start + size]))
            await asyncio.sleep(self.stream_delay)

    async def use_tool(self, tool: str, arguments: dict[str, Any], emit: Emit) -> dict[str, Any]:
        """One tool call with its events, through the guardrails when the
        tool needs the user's approval."""
        call_id = f"call-{next(self._ids)}"
        emit(AgentEvent("tool_call", {"id": call_id, "tool": tool, "arguments": arguments}))
        reason = self.tools.needs_approval(tool, arguments)
        if reason and not await self.guardrails.request(tool, arguments, emit, reason):
            result = {"success": False, "error": "Rejected: the user did not approve this action"}
        else:
            result = await self.tools.call(tool, arguments)
        emit(AgentEvent("tool_result", _result_event(call_id, tool, result)))
        return result

    async def _offline(self, text: str, emit: Emit, say: Callable[[str], None]) -> None:
        if text.startswith("[HEARTBEAT]"):
            await self.stream("Standing by: nothing is pending.", say)
            return
        command = commands.parse(text)
        if command is None:
            await self.stream(f"I don't know what to do with “{text[:200]}”.\n{commands.HELP}", say)
        elif command.help:
            await self.stream(commands.HELP, say)
        elif command.error:
            emit(AgentEvent("error", {"message": command.error}))
        elif command.count:
            emit(AgentEvent("thinking", {"content": f"Counting to {command.count}, one number every half second"}))
            for n in range(1, command.count + 1):
                say(f"{n} " if n < command.count else f"{n}.")
                await asyncio.sleep(0.5)
        else:
            emit(AgentEvent("thinking", {"content": f"Running {command.tool}"}))
            result = await self.use_tool(command.tool, command.arguments or {}, emit)
            await self.stream(describe(command.tool, command.arguments or {}, result), say)


def _attachment_note(attachments: list | None) -> str:
    if not attachments:
        return ""
    return f" [{len(attachments)} attachment(s)]"


def _result_event(call_id: str, tool: str, result: dict[str, Any]) -> dict[str, Any]:
    event: dict[str, Any] = {"id": call_id, "tool": tool, "success": bool(result.get("success"))}
    if result.get("image_base64"):
        event.update(screenshot=True, image_base64=result["image_base64"], result="Screenshot captured")
    else:
        event["result"] = result
    if not result.get("success"):
        event["error"] = str(result.get("error") or "failed")
    return event


def describe(tool: str, arguments: dict[str, Any], result: dict[str, Any]) -> str:
    """The offline agent's words for a tool's result."""
    if not result.get("success"):
        if tool == "run_skill" and result.get("skill_name"):
            logs = "\n".join(result.get("logs") or [])
            returned = result.get("result")
            reason = result.get("error") or (returned.get("error") if isinstance(returned, dict) else None)
            return f"The skill {result['skill_name']} failed: {reason or _short(returned)}" + (
                f"\n```\n{logs}\n```" if logs else "")
        return f"That did not work: {result.get('error')}" + (f"\n{result['hint']}" if result.get("hint") else "")
    if tool == "desktop_snapshot":
        return f"{result.get('window')}: {result.get('element_count')} elements.\n```\n{result.get('snapshot')}\n```\n{result.get('hint', '')}".rstrip()
    if tool in ("desktop_find", "desktop_wait_for"):
        lines = "\n".join(match.get("line", "") for match in result.get("matches") or [])
        return f"{result.get('count', 0)} found:\n```\n{lines}\n```" if lines else "Nothing found."
    if tool == "desktop_list_windows":
        titles = "\n".join(f"• {w.get('title')}" for w in result.get("windows", []))
        return f"{result.get('count', 0)} windows:\n{titles}"
    if tool == "desktop_screenshot":
        return "Here is the screen."
    if tool == "list_skills":
        return "Skills: " + (", ".join(result["skills"]) or "none") + "\nRun one with: run skill NAME {\"key\": \"value\"}"
    if tool == "run_skill":
        files = "".join(f"\n• {Path(path).name}" for path in result.get("output_files") or [])
        return (f"The skill {result['skill_name']} finished in {result.get('duration_seconds')} s: "
                f"{_short(result.get('result'))}" + (f"\nFiles:{files}" if files else ""))
    details = {k: v for k, v in result.items() if k != "success"}
    return "Done." + (f" {_short(details)}" if details else "")


def _short(value: Any, limit: int = 600) -> str:
    text = json.dumps(value, ensure_ascii=False, default=str)
    return text if len(text) <= limit else text[:limit] + "…"
