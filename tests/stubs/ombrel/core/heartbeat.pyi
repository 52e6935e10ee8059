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

    def __init__(self, config: ombrel.config.HeartbeatConfig, on_beat: Callable[[str], Awaitable[Any]], on_event: Callable[[dict[str, Any]], Awaitable[None]] | None = None, *, skip_if_busy: Callable[[], object] | None = None) -> None:
        """
        A runner that is not started yet.

        Args:
            config: The heartbeat's settings (interval_seconds, max_consecutive,
                quiet_hours_start, quiet_hours_end, prompt, enabled), read at
                each use.
            on_beat: Awaited with the prompt at each beat: hands it to the agent and
                returns once the agent has dealt with it.
            on_event: Awaited with each event: {"type": "heartbeat", "beat", "max"}
                at a beat, {"type": "heartbeat_paused", "reason":
                "max_consecutive_reached", "count"} when the runner pauses itself,
                {"type": "heartbeat_skipped", "reason": "busy", "skipped"} when a
                beat is skipped for a busy agent.
            skip_if_busy: Called (without arguments) when a beat falls due; a true
                answer skips that beat, which then does not count toward
                max_consecutive. A check that raises lets the beat go ahead (the
                error is logged once until the check answers again).

        The configuration may also set, read at each use (absent or None: off):
        error_backoff (after a failed agent call the next wait doubles, up to this
        many seconds; back to the interval after a success), jitter_seconds (up to
        this many seconds added to each wait) and timezone (the IANA zone whose
        time of day quiet hours are read in). Unusable values are refused by
        start(). With any of these, or skip_if_busy, status() also reports
        last_beat, next_beat, skipped_beats, last_skip and last_skip_reason.
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
        Start the loop task unless it is running.

        The task is named "heartbeat". Neither the count of beats nor the paused
        state is reset. Must be called while the event loop runs.
        """

    def stop(self) -> None:
        """
        Stop the loop.

        Its task is cancelled at once (an agent call in progress with it) and
        `_task` becomes None without waiting for the task to end.
        """

    def pause(self) -> None:
        """Send nothing until `resume()`; the loop keeps ticking."""

    def resume(self) -> None:
        """Send beats again. The count of beats is not reset."""

    def update_config(self, config: ombrel.config.HeartbeatConfig) -> None:
        """
        Replace the configuration.

        A running loop is restarted, or stopped when the new configuration is
        disabled; a stopped one stays stopped.

        Args:
            config: The new settings.
        """

    def status(self) -> dict[str, Any]:
        """
        The configuration and the state of the runner.

        Returns:
            A new dict with "enabled", "running", "paused", "interval_seconds",
            "consecutive_beats", "max_consecutive", "quiet_hours_start" and
            "quiet_hours_end"; with skip_if_busy or an opt-in setting of the
            configuration also "last_beat" and "next_beat" (time.time() values or
            None), "skipped_beats", "last_skip" and "last_skip_reason" ("busy" or
            "quiet_hours").
        """
