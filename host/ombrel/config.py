"""The host's configuration records (stand-in).

Only what the native modules read is here: the heartbeat's settings.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass
class HeartbeatConfig:
    """Settings of the heartbeat that wakes the agent between user messages."""

    #: Whether the heartbeat should run; a runner given a disabled
    #: configuration through ``update_config`` stops.
    enabled: bool = False
    #: Seconds between two ticks (a float is allowed).
    interval_seconds: float = 300
    #: Beats allowed without user interaction before the heartbeat pauses.
    max_consecutive: int = 10
    #: Daily quiet period, "HH:MM" texts; empty or None for none.
    quiet_hours_start: str | None = None
    quiet_hours_end: str | None = None
    #: The check-in prompt; empty or None for the default prompt.
    prompt: str | None = None

