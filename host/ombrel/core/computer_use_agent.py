"""The host's computer-use agent (stand-in).

A real computer-use agent sends screenshots to a vision model and carries
out the mouse and keyboard actions it answers with. This one plays a short
scripted task with the same events (``type`` and ``data``, as the gateway
translates them): an iteration, a thought, a screenshot tool call with a
real picture of the display (or a placeholder when there is none), a text
and "done". ``stop()`` ends a running task at its next step.

Given the conversation store, it keeps each task in the current
conversation like the standard agent's turns: the user's message, then the
events in the form the gateway gives them to the page (``page_event``).
"""

from __future__ import annotations

import asyncio
import base64
from dataclasses import dataclass, field
from typing import Any, AsyncIterator

from ombrel.core import screen
from ombrel.core.memory import ConversationStore


@dataclass
class ComputerUseEvent:
    type: str
    data: dict[str, Any] = field(default_factory=dict)


class ComputerUseAgent:
    def __init__(self, step_delay: float = 0.4, max_iterations: int = 3,
                 conversation: ConversationStore | None = None) -> None:
        self.conversation = conversation
        self.step_delay = step_delay
        self.max_iterations = max_iterations
        self._running = 0
        self._stopped = False

    @property
    def is_running(self) -> bool:
        return self._running > 0

    def stop(self) -> None:
        self._stopped = True

    async def run_task(self, text: str) -> AsyncIterator[ComputerUseEvent]:
        self._running += 1
        self._stopped = False
        transcript = self.conversation.transcript(text, mode="computer_use") if self.conversation else None
        try:
            async for event in self._script(text):
                if self._stopped:
                    event = ComputerUseEvent("cancelled", {"message": "Task stopped by the user"})
                if transcript is not None:
                    transcript.record(page_event(event))
                yield event
                if event.type == "cancelled":
                    return
                await asyncio.sleep(self.step_delay)
        finally:
            self._running -= 1
            if transcript is not None:
                transcript.close()

    async def _script(self, text: str) -> AsyncIterator[ComputerUseEvent]:
        yield ComputerUseEvent("iteration", {"number": 1, "max": self.max_iterations})
        yield ComputerUseEvent("thinking", {"message": "Taking a screenshot to see the screen"})
        yield ComputerUseEvent("tool_call", {"id": "cu-1", "tool": "computer", "input": {"action": "screenshot"}})
        png, reason = await screen.capture()
        if png is None:
            png = screen.placeholder()
        yield ComputerUseEvent("tool_result", {"id": "cu-1", "tool": "computer",
                                               "result": {"type": "image", "base64": base64.b64encode(png).decode()}})
        seen = "the screen" if not reason else f"a placeholder ({reason})"
        yield ComputerUseEvent("thinking", {"message": "Deciding the next action"})
        yield ComputerUseEvent("text", {"content": (
            f"I looked at {seen}. This stand-in stops here; a real computer-use agent "
            f"would now act on the screen for: {text}")})
        yield ComputerUseEvent("done", {"iterations": 1})


def page_event(event: ComputerUseEvent) -> dict[str, Any]:
    """The event as the gateway gives it to the page: the computer tool's
    calls named "computer.<action>", pictures as "screenshot" results."""
    data = event.data if isinstance(event.data, dict) else {}
    if event.type == "tool_call":
        arguments = data.get("input") or {}
        action = arguments.get("action", "") if isinstance(arguments, dict) else ""
        tool = data.get("tool", "")
        return {"type": "tool_call", "id": data.get("id", ""),
                "tool": f"computer.{action}" if tool == "computer" else tool, "arguments": arguments}
    if event.type == "tool_result":
        result = data.get("result")
        page = {"type": "tool_result", "id": data.get("id", ""), "tool": data.get("tool", "")}
        if isinstance(result, dict) and result.get("type") == "image":
            page.update(screenshot=True, image_base64=result.get("base64", ""), result="Screenshot captured")
        elif isinstance(result, dict) and result.get("type") == "error":
            page.update(result=result.get("error", "Unknown error"), error=True)
        else:
            page["result"] = result.get("text", result) if isinstance(result, dict) else result
        return page
    return {"type": event.type, **data}
