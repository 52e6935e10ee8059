"""Fixtures of the skill runner tests: the module pointed at a temporary
home, a way to write skill files and the module's log records (the local
OpenAI-compatible server, `chat_server`, is shared: tests/conftest.py)."""

import logging
import textwrap

import pytest

from ombrel.skills import corvex as corvex_module


@pytest.fixture
def corvex(tmp_path, monkeypatch):
    """The module, with its three directories and the user's home (where the
    browser session lives) under `tmp_path`."""
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setattr(corvex_module, "SKILLS_DIR", tmp_path / "skills")
    monkeypatch.setattr(corvex_module, "STATE_DIR", tmp_path / "skill_state")
    monkeypatch.setattr(corvex_module, "OUTPUT_DIR", tmp_path / "skill_output")
    (tmp_path / "skills").mkdir()
    return corvex_module


@pytest.fixture
def write_skill(corvex):
    """write_skill(name, source, directory=SKILLS_DIR) -> path text."""

    def write(name, source, directory=None):
        path = (directory or corvex.SKILLS_DIR) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))
        return str(path)

    return write


@pytest.fixture
def runner(corvex):
    return corvex.PythonSkillRunner()


@pytest.fixture
def records(caplog):
    """Messages of the module's logger, in order."""
    caplog.set_level(logging.DEBUG, logger="ombrel.skills.corvex")

    def messages(level=None):
        return [r.getMessage() for r in caplog.records
                if r.name == "ombrel.skills.corvex" and (level is None or r.levelno == level)]

    return messages
