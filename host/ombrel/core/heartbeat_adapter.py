"""The host's heartbeat entry in the server state (stand-in).

The gateway drives the object under ``get_state()["heartbeat"]`` with
``start(interval)``, ``stop()``, ``pause()``, ``resume()``,
``reset_consecutive()`` and reads ``is_running``, ``is_paused`` and
``interval``. :class:`HeartbeatAdapter` offers exactly that on top of a
:class:`ombrel.core.heartbeat.HeartbeatRunner`, whose interval comes from its
configuration.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
from typing import Any


class HeartbeatAdapter:
    """Bridges the gateway's heartbeat controls to a ``HeartbeatRunner``.

    An interval from the client must be at least ``min_interval`` seconds
    (one second unless the host says otherwise): the gateway passes on any
    truthy interval, and a tiny one would make a paused runner wake
    without pause, spinning the event loop.
    """

    def __init__(self, runner: Any, min_interval: float = 1.0) -> None:
        self.runner = runner
        # Without a positive floor nothing stops the spinning.
        self.min_interval = _seconds(min_interval, "min_interval")

    @property
    def is_running(self) -> bool:
        return self.runner.running

    @property
    def is_paused(self) -> bool:
        return self.runner.paused

    @property
    def interval(self) -> Any:
        """The runner's configured ``interval_seconds``."""
        return self.runner.status()["interval_seconds"]

    def start(self, interval: float | None = None) -> None:
        """Set the interval (when given) and start the runner.

        On a running runner the new interval takes effect from the next
        sleep: restarting would cancel an agent call in progress.
        """
        if interval is not None:
            self._set_interval(interval)
        if not self.runner.running:
            self.runner.start()

    def stop(self) -> None:
        self.runner.stop()

    def pause(self) -> None:
        self.runner.pause()

    def resume(self) -> None:
        """Resume beating. Asking for it is user interaction, so the count of
        unanswered beats starts again from 0: after the safety valve tripped,
        a bare resume would trip it again at the very next tick."""
        self.runner.reset_consecutive()
        self.runner.resume()

    def reset_consecutive(self) -> None:
        self.runner.reset_consecutive()

    def _set_interval(self, interval: Any) -> None:
        # A bad value would end the runner's loop at its next sleep, silently:
        # refuse it here, before anything changes.
        _seconds(interval, "interval")
        if interval < self.min_interval:
            raise ValueError(f"interval must be at least {self.min_interval} seconds, "
                             f"not {interval!r}")
        config = self.runner._config
        try:
            config.interval_seconds = interval
        except AttributeError:  # a frozen record: the runner gets an updated copy
            if not dataclasses.is_dataclass(config):
                raise
            self.runner._config = dataclasses.replace(config, interval_seconds=interval)


def _seconds(value: Any, name: str) -> float:
    """``value`` as a positive, finite number of seconds: TypeError for what
    is not a number, ValueError for any number that is not usable (zero,
    negative, NaN, infinite, or beyond a float)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        seconds = float(value)
    except OverflowError:
        seconds = math.inf
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
    return seconds
