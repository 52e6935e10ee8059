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

def create_ws_router(allowed_origins: Iterable[str] | None = None, *, queue_size: int | None = None, token: str | None = None, replay: int | None = None, close_codes: bool = False, max_message_size: int | None = None, errors_as_events: bool = False) -> fastapi.APIRouter:
    """
    Create the router carrying the WebSocket route "/ws".

    Browser pages may connect only from the origins in ``allowed_origins``, from
    a loopback host, or from the server's own IP address and port; clients that
    send no Origin header (other programs) always may. Everything after it is
    off unless given.

    Args:
        allowed_origins: Exact origins ("https://app.example:8443") allowed
            besides those.
        queue_size: Each connection gets a queue of this many events and one
            writer: a turn's events and broadcasts are queued and never wait on
            a socket, in order per connection. A connection whose queue is full
            (or holds 16 Mi characters) is closed with 1008 "Too slow: a message
            could not be delivered in time".
        token: The handshake must carry it, as the query parameter ``token`` or
            a Sec-WebSocket-Protocol entry ``token.<token>`` (the server then
            answers the first other protocol offered); otherwise the connection
            is closed (1008, an HTTP 403 to the client) before it is registered.
            Compared in constant time, never logged.
        replay: Each connection belongs to a session. Its first event is
            {"type": "session", "session": <id>, "resumed": <bool>}; every
            later one carries "seq", numbered per session, and the session keeps
            its last ``replay`` events (16 Mi characters of them at most); 64
            sessions without a connection are kept at most. A client that reconnects with the query
            parameters ``session`` and ``last_seq`` gets the events it missed
            ("resumed": true, and "lost": how many were no longer kept), then
            the live ones; approvals still pending are sent again with
            "resent": true. A turn whose connection drops goes on, its events
            kept for the session: a client that comes back while it runs takes
            the session over and gets the rest live. Without a valid session and
            seq, a new session, and "refused" says why ("unknown session",
            "session in use", "last_seq out of range").
        close_codes: A connection ended by a protocol error is closed with a
            code that says why: 1007 for a frame that is not a JSON object, 1009
            for one over ``max_message_size``, 1011 for a failure while handling
            a command.
        max_message_size: Characters a frame may have; a longer one ends its
            connection.
        errors_as_events: A command whose handling fails with an Exception (a
            host object refusing it, say a heartbeat interval below its floor)
            is answered with {"type": "error", "message": <its text>}, logged
            ("Command failed", with the traceback), and the connection goes on.

    Returns:
        A new ``fastapi.APIRouter``; every router shares the module's
        ``manager``.
    """
