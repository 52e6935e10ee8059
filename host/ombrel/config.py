"""The host's configuration (stand-in).

The heartbeat's settings, which the native heartbeat reads, and the few
settings of the reference host, taken from the environment.
"""

from __future__ import annotations

import os
import secrets
from dataclasses import dataclass
from pathlib import Path


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
    #: After a failed beat the next wait doubles, up to this many seconds;
    #: None for a steady interval.
    error_backoff: float | None = None
    #: Up to this many seconds added at random to each wait; None for none.
    jitter_seconds: float | None = None
    #: The IANA time zone quiet hours are read in; None for local time.
    timezone: str | None = None



def data_dir() -> Path:
    """Where the host keeps its own files (the conversation database).

    ``OMBREL_DATA_DIR`` when set, else ``$XDG_DATA_HOME/ombrel``, else
    ``~/.local/share/ombrel``. Nothing is created here: the stores create
    their files on first use.
    """
    if os.environ.get("OMBREL_DATA_DIR"):
        return Path(os.environ["OMBREL_DATA_DIR"]).expanduser()
    base = os.environ.get("XDG_DATA_HOME") or Path.home() / ".local" / "share"
    return Path(base).expanduser() / "ombrel"


def skill_dirs(default: list[Path]) -> list[Path]:
    """The folders searched for Python skills, first match wins:
    ``OMBREL_SKILLS_PATH`` (folders joined by the path separator) when set,
    else ``default``."""
    value = os.environ.get("OMBREL_SKILLS_PATH")
    if value:
        return [Path(part).expanduser() for part in value.split(os.pathsep) if part]
    return list(default)


def model_name() -> str:
    """The chat model the agent and the skills ask (``OMBREL_MODEL``)."""
    return os.environ.get("OMBREL_MODEL") or "gpt-4.1-mini"


def model_configured() -> bool:
    """Whether an OpenAI-compatible endpoint is configured, through the
    client library's own settings (``OPENAI_API_KEY``, ``OPENAI_BASE_URL``).
    Without one the agent works offline."""
    return bool(os.environ.get("OPENAI_API_KEY") or os.environ.get("OPENAI_BASE_URL"))


def allowed_hosts(extra: list[str] | None = None) -> list[str]:
    """Host names the reference host answers besides the loopback ones
    (``localhost``, ``127.0.0.1``, ``[::1]``): ``extra`` and
    ``OMBREL_ALLOWED_HOSTS`` (names joined by commas), lower-cased. A page
    on another site that reaches the host through a DNS name of its own
    (DNS rebinding) sends that name, and is refused."""
    names = list(extra or [])
    names += os.environ.get("OMBREL_ALLOWED_HOSTS", "").split(",")
    return [name.strip().lower() for name in names if name.strip()]


def access_token(given: str | None = None) -> str:
    """The token every client of the reference host must show: ``given``
    (the app's ``--token``), else ``OMBREL_TOKEN``, else a new random one
    for this run of the app."""
    return given or os.environ.get("OMBREL_TOKEN") or secrets.token_urlsafe(24)
