from collections.abc import Coroutine, Iterable
from typing import Any

import fastapi


class ConnectionManager:
    """Manages active WebSocket connections."""

    def __init__(self) -> None:
        """An empty registry."""

    def connect(self, ws: fastapi.WebSocket) -> Coroutine[Any, Any, None]:
        """Accept the WebSocket handshake and register the connection."""

    def disconnect(self, ws: fastapi.WebSocket) -> None:
        """Unregister a connection (it is not closed)."""

    def broadcast(self, message: dict[str, Any]) -> Coroutine[Any, Any, None]:
        """
        Send a message to every registered connection, one after another; connections whose send fails, or does not complete within ``BROADCAST_SEND_TIMEOUT`` seconds, are unregistered.
        """

manager: ConnectionManager = ...

BROADCAST_SEND_TIMEOUT: float = 5.0

def create_ws_router(allowed_origins: Iterable[str] | None = None) -> fastapi.APIRouter:
    """
    Create the router carrying the WebSocket route "/ws".

    Browser pages may connect only from the origins in ``allowed_origins``, from a loopback host, or from the server's own IP address and port.
    """
