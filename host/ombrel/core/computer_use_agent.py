"""The host's computer-use agent (stand-in).

A real computer-use agent sends screenshots to a vision model and carries
out the mouse and keyboard actions it answers with. This one plays a short
scripted task with the same events (``type`` and ``data``, as the gateway
translates them): an iteration, a thought, a screenshot tool call with a
real picture of the display (or a placeholder when there is none), a text
and "done". ``stop()`` ends a running task at its next step.
"""

from __future__ import annotations

import asyncio
import base64
from dataclasses import dataclass, field
from typing import Any, AsyncIterator

from ombrel.core import screen


@dataclass
class ComputerUseEvent:
    type: str
    data: dict[str, Any] = field(default_factory=dict)


class ComputerUseAgent:
    def __init__(self, step_delay: float = 0.4, max_iterations: int = 3) -> None:
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
        try:
            async for event in self._script(text):
                if self._stopped:
                    yield ComputerUseEvent("cancelled", {"message": "Task stopped by the user"})
                    return
                yield event
                await asyncio.sleep(self.step_delay)
        finally:
            self._running -= 1

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
