"""Fixtures of the skill runner tests: the module pointed at a temporary
home, a way to write skill files, the module's log records and a local
OpenAI-compatible server."""

import http.server
import json
import logging
import textwrap
import threading

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


class ChatServer(http.server.ThreadingHTTPServer):
    """Answers POST /v1/chat/completions with the next of `replies`: a text
    (or None) as the message content, an int as that HTTP error status.
    Request bodies are kept in `requests`."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), ChatHandler)
        self.replies = []
        self.requests = []


class ChatHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        self.server.requests.append((self.path, body))
        reply = self.server.replies.pop(0)
        if isinstance(reply, int):
            status, answer = reply, {"error": {"message": f"status {reply}", "type": "test"}}
        else:
            status, answer = 200, {
                "id": "chatcmpl-test", "object": "chat.completion", "created": 0,
                "model": body["model"],
                "choices": [{"index": 0, "finish_reason": "stop",
                             "message": {"role": "assistant", "content": reply}}]}
        data = json.dumps(answer).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


@pytest.fixture
def chat_server(monkeypatch):
    """A ChatServer on 127.0.0.1 that the OpenAI client library is pointed
    at through its own environment settings."""
    server = ChatServer()
    thread = threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True)
    thread.start()
    monkeypatch.setenv("OPENAI_BASE_URL", f"http://127.0.0.1:{server.server_port}/v1")
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    yield server
    server.shutdown()
    server.server_close()
    thread.join()
