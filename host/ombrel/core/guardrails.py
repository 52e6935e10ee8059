"""The host's guardrails: tool actions that wait for the user's approval.

An agent calls ``await guardrails.request(tool, arguments, emit)``: it hands
a "tool_approval_needed" event to ``emit`` (the gateway streams it to the
requesting page and broadcasts it to every page) and waits for the user's
decision. The gateway delivers the decision with ``resolve_approval(id,
approved)`` from whichever page answered. Every page learns the outcome
through ``broadcast``: "approval_resolved" once decided, "approval_expired"
when nobody answered in time or the turn was stopped.
"""

from __future__ import annotations

import asyncio
import logging
import uuid
from typing import Any, Awaitable, Callable

from ombrel.gateway.server import AgentEvent

logger = logging.getLogger("ombrel.host.guardrails")

Broadcast = Callable[[dict[str, Any]], Awaitable[None]]


class Guardrails:
    def __init__(self, broadcast: Broadcast | None = None, timeout: float = 300) -> None:
        self.broadcast = broadcast
        self.timeout = timeout
        self._pending: dict[str, dict[str, Any]] = {}
        self._sends: set[asyncio.Task] = set()

    def pending(self) -> list[dict[str, Any]]:
        """The requests still waiting, as their "tool_approval_needed" events."""
        return [entry["event"] for entry in self._pending.values()]

    async def request(self, tool: str, arguments: dict[str, Any], emit: Callable[[Any], None],
                      reason: str = "") -> bool:
        """Ask the user; True when approved, False when rejected or expired."""
        approval_id = "ap-" + uuid.uuid4().hex[:10]
        future = asyncio.get_running_loop().create_future()
        event = {"type": "tool_approval_needed", "approval_id": approval_id, "tool": tool,
                 "arguments": arguments, "reason": reason}
        self._pending[approval_id] = {"future": future, "event": event}
        emit(AgentEvent("tool_approval_needed", {k: v for k, v in event.items() if k != "type"}))
        try:
            return await asyncio.wait_for(future, self.timeout)
        except asyncio.TimeoutError:
            self._announce({"type": "approval_expired", "approval_id": approval_id,
                            "message": f"No answer within {self.timeout:g} s: rejected"})
            return False
        except asyncio.CancelledError:
            self._announce({"type": "approval_expired", "approval_id": approval_id,
                            "message": "The turn was stopped"})
            raise
        finally:
            self._pending.pop(approval_id, None)

    def resolve_approval(self, approval_id: Any, approved: Any) -> bool:
        """The gateway's call: False for an id that is not waiting."""
        entry = self._pending.get(approval_id) if isinstance(approval_id, str) else None
        if entry is None or entry["future"].done():
            return False
        entry["future"].set_result(bool(approved))
        self._announce({"type": "approval_resolved", "approval_id": approval_id,
                        "approved": bool(approved), "success": True})
        return True

    def _announce(self, event: dict[str, Any]) -> None:
        if self.broadcast is None:
            return
        task = asyncio.get_running_loop().create_task(self.broadcast(event))
        self._sends.add(task)
        task.add_done_callback(self._sends.discard)
