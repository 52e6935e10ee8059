"""
The WebSocket gateway between the browser chat client and the agents: the "/ws" route, its connection registry, chat routing, approvals, conversations, task stops and heartbeat control.
"""

from collections.abc import Coroutine, Iterable
from typing import Any

import fastapi


class ConnectionManager:
    """Manages active WebSocket connections."""

    def __init__(self) -> None:
        """An empty registry."""

    def connect(self, ws: fastapi.WebSocket) -> Coroutine[Any, Any, None]:
        """
        Accept the WebSocket handshake and register the connection.

        Logs "Client connected (<n> total)".

        Args:
            ws: The connection to accept.
        """

    def disconnect(self, ws: fastapi.WebSocket) -> None:
        """
        Unregister a connection (it is not closed).

        Logs "Client disconnected (<n> total)" whether or not it was registered.

        Args:
            ws: The connection; only its first registration is removed.
        """

    def broadcast(self, message: dict[str, Any]) -> Coroutine[Any, Any, None]:
        """
        Send a message to every registered connection, one after another.

        A connection whose send fails is unregistered; one whose send does not
        complete within ``BROADCAST_SEND_TIMEOUT`` seconds is unregistered too and
        closed (code 1008, "Too slow: a message could not be delivered in time"),
        so that it knows and can reconnect.

        Args:
            message: The event, sent as JSON.

        Raises:
            TypeError: message is not a dict, or the time limit is not a number.
            ValueError: the time limit is not positive and finite.
        """

manager: ConnectionManager = ...

BROADCAST_SEND_TIMEOUT: float = 5.0

def create_ws_router(allowed_origins: Iterable[str] | None = None) -> fastapi.APIRouter:
    """
    Create the router carrying the WebSocket route "/ws".

    Browser pages may connect only from the origins in ``allowed_origins``, from
    a loopback host, or from the server's own IP address and port; clients that
    send no Origin header (other programs) always may.

    Args:
        allowed_origins: Exact origins ("https://app.example:8443") allowed
            besides those.

    Returns:
        A new ``fastapi.APIRouter``; every router shares the module's
        ``manager``.
    """
