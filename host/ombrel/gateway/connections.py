"""Which WebSocket connection a host call comes from.

The gateway calls the host objects (``agent.conversation.start_conversation()``,
``agent.process_message(...)``, ...) without saying for which connection. It
handles each connection's commands one after another in that connection's
own task, so the connection can travel in a context variable:
``ConnectionScope``, an ASGI middleware around the app, gives every
WebSocket connection a ``Connection`` for the whole of its life, and what
the gateway calls while handling its commands (and the tasks those calls
start, which copy the context) reads it with ``current()``. Outside a
connection (the heartbeat's beats, scripts, tests) ``current()`` is None.

A ``Connection`` is only an identity: keep what belongs to it in a
``weakref.WeakKeyDictionary``, and it goes when the connection and the
tasks it started have ended.
"""
from __future__ import annotations

import itertools
from contextvars import ContextVar
from typing import Any

_numbers = itertools.count(1)
_current: ContextVar[Connection | None] = ContextVar("ombrel_connection", default=None)


class Connection:
    __slots__ = ("number", "__weakref__")

    def __init__(self) -> None:
        self.number = next(_numbers)

    def __repr__(self) -> str:
        return f"<Connection {self.number}>"


def current() -> Connection | None:
    """The connection whose command is being handled, or None."""
    return _current.get()


class ConnectionScope:
    """ASGI middleware: each WebSocket connection runs with a ``Connection``
    of its own as ``current()``."""

    def __init__(self, app: Any) -> None:
        self.app = app

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] != "websocket":
            await self.app(scope, receive, send)
            return
        token = _current.set(Connection())
        try:
            await self.app(scope, receive, send)
        finally:
            _current.reset(token)
