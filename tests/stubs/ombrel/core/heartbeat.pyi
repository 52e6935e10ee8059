"""
Heartbeat: periodically wakes the agent so that it keeps working without the user, outside quiet hours and up to a limit of consecutive beats without user interaction.
"""

from collections.abc import Awaitable, Callable
from typing import Any

import ombrel
import ombrel.config



DEFAULT_HEARTBEAT_PROMPT: str = ...

class HeartbeatRunner:
    """Background async task that sends periodic heartbeats to the agent."""

    def __init__(self, config: ombrel.config.HeartbeatConfig, on_beat: Callable[[str], Awaitable[Any]], on_event: Callable[[dict[str, Any]], Awaitable[None]] | None = None) -> None:
        """
        Create a runner for `config` that hands its prompt to `on_beat` and its events to `on_event`. Nothing starts until `start()`.
        """

    @property
    def running(self) -> bool:
        """True while the loop task exists and has not finished."""

    @property
    def paused(self) -> bool:
        """True while paused by `pause()` or by the safety valve."""

    @property
    def consecutive_beats(self) -> int:
        """Beats sent since the last real user message."""

    def reset_consecutive(self) -> None:
        """Call this whenever the user sends a real message."""

    def start(self) -> None:
        """
        Start the loop task (named "heartbeat") unless it is running. Must be called while the event loop runs.
        """

    def stop(self) -> None:
        """Stop the loop: cancels its task at once."""

    def pause(self) -> None:
        """Send nothing until `resume()`; the loop keeps ticking."""

    def resume(self) -> None:
        """Send beats again. The count of beats is not reset."""

    def update_config(self, config: ombrel.config.HeartbeatConfig) -> None:
        """
        Replace the configuration. A running loop is restarted, or stopped when the new configuration is disabled; a stopped one stays stopped.
        """

    def status(self) -> dict[str, Any]:
        """The configuration and the state of the runner as a new dictionary."""
