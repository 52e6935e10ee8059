"""Fixtures of the heartbeat tests: a recording host and runners wired to it."""

import asyncio
import logging

import pytest
from heartbeat_support import FAST, LOGGER, Host, TrailHandler

from ombrel.config import HeartbeatConfig
from ombrel.core import heartbeat


@pytest.fixture
def host():
    host = Host()
    handler = TrailHandler(host)
    logger = logging.getLogger(LOGGER)
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    host.records = handler.records
    yield host
    logger.removeHandler(handler)
    logger.setLevel(old_level)


@pytest.fixture
async def make_runner(host):
    """Builds runners wired to `host`; stops them all at the end."""
    runners = []

    def make(config=None, on_event=True, **settings):
        if config is None:
            settings.setdefault("interval_seconds", FAST)
            config = HeartbeatConfig(enabled=True, **settings)
        runner = heartbeat.HeartbeatRunner(
            config, host.on_beat, host.on_event if on_event else None)
        runners.append(runner)
        return runner

    yield make
    for runner in runners:
        if runner.running:
            runner.stop()
    await asyncio.sleep(0)
