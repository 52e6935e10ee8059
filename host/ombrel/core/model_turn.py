"""A turn of the standard agent answered by a chat model.

The model is reached through the OpenAI client library (``AsyncOpenAI()``,
configured by the library's own environment settings), with the desktop and
skill operations offered as tools. The answer is streamed; tool calls run
through the agent (approvals included) and their results go back to the
model, for a few rounds at most. A failing endpoint ends the turn with an
"error" event that says what failed.
"""

from __future__ import annotations

import json
import logging
from typing import Any, Callable

from ombrel.core.tools import SCHEMAS
from ombrel.gateway.server import AgentEvent

logger = logging.getLogger("ombrel.host.model")

SYSTEM = """You are Ombrel, an assistant that runs on the user's own computer.
You can read and operate the desktop through accessibility snapshots: take a
desktop_snapshot, then act on elements by their ref numbers. You can run the
user's Python skills with run_skill. Keep answers short."""

MAX_ROUNDS = 8
HISTORY = 20


class ModelTurn:
    def __init__(self, model: str, client: Any = None) -> None:
        self.model_name = model
        self._client = client

    def client(self) -> Any:
        if self._client is None:
            from openai import AsyncOpenAI  # imported when first needed
            self._client = AsyncOpenAI()
        return self._client

    async def run(self, agent: Any, text: str, attachments: list | None,
                  emit: Callable[[AgentEvent], None], say: Callable[[str], None]) -> None:
        messages: list[dict[str, Any]] = [{"role": "system", "content": SYSTEM}]
        store = agent.conversation
        if store.current is not None:
            history = [m for m in await store.get_messages(store.current) if m["role"] in ("user", "assistant")]
            # The latest entry is this turn's message, added before the turn.
            messages += [{"role": m["role"], "content": m["content"]} for m in history[-HISTORY:-1]]
        messages.append({"role": "user", "content": text})
        for _ in range(MAX_ROUNDS):
            try:
                content, calls = await self._ask(messages, say)
            except Exception as e:  # the endpoint's failures are the user's to see, not a crash
                logger.warning("Model request failed: %s", e)
                emit(AgentEvent("error", {"message": f"The model request failed ({type(e).__name__}): {e}"}))
                return
            if not calls:
                return
            messages.append({"role": "assistant", "content": content or None, "tool_calls": [
                {"id": c["id"], "type": "function", "function": {"name": c["name"], "arguments": c["arguments"]}}
                for c in calls]})
            for call in calls:
                try:
                    arguments = json.loads(call["arguments"] or "{}")
                except json.JSONDecodeError:
                    arguments = None
                if not isinstance(arguments, dict):
                    result = {"success": False, "error": "The tool arguments were not a JSON object"}
                else:
                    result = await agent.use_tool(call["name"], arguments, emit)
                messages.append({"role": "tool", "tool_call_id": call["id"], "content": _for_model(result)})
        emit(AgentEvent("error", {"message": f"Stopped after {MAX_ROUNDS} rounds of tool calls"}))

    async def _ask(self, messages: list[dict[str, Any]], say: Callable[[str], None]):
        """One streamed completion: its text (already said) and its tool calls."""
        stream = await self.client().chat.completions.create(
            model=self.model_name, messages=messages, tools=SCHEMAS, stream=True)
        content: list[str] = []
        calls: dict[int, dict[str, str]] = {}
        async for chunk in stream:
            if not chunk.choices:
                continue
            delta = chunk.choices[0].delta
            if delta.content:
                content.append(delta.content)
                say(delta.content)
            for part in delta.tool_calls or []:
                call = calls.setdefault(part.index, {"id": "", "name": "", "arguments": ""})
                call["id"] = part.id or call["id"]
                if part.function is not None:
                    call["name"] += part.function.name or ""
                    call["arguments"] += part.function.arguments or ""
        return "".join(content), [calls[i] for i in sorted(calls)]


def _for_model(result: dict[str, Any], limit: int = 8000) -> str:
    """A tool's result as the model reads it: pictures are replaced by a note."""
    if result.get("image_base64"):
        result = {k: v for k, v in result.items() if k != "image_base64"}
        result["note"] = "The screenshot was shown to the user."
    text = json.dumps(result, ensure_ascii=False, default=str)
    return text if len(text) <= limit else text[:limit] + "…"
