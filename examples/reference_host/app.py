"""Ombrel's reference host: the four native modules wired together behind a
chat page.

    python examples/reference_host/app.py [--port 8765] [--token TOKEN] [--data-dir DIR] [--skills-dir DIR ...]

then open the address it prints (http://127.0.0.1:8765/?token=...) in a
browser: every client must show the app's token, a new random one at each
start unless given (``--token``, ``OMBREL_TOKEN``). It needs no key and no
configuration: the agent works offline with a small command language
("help" lists it). With an OpenAI-compatible endpoint configured through
the client library's settings (OPENAI_API_KEY, OPENAI_BASE_URL; the model
from OMBREL_MODEL) the agent asks the model instead.

What is wired here, and what a real host puts in its place:
- the gateway (``ombrel.gateway.ws``), mounted as a router with every
  option: the token, a queue per client, sessions that a page resumes after
  a reload or a lost connection, close codes, a bound on a message's size
  and refused commands answered as errors;
- the standard agent (``ombrel.core.agent``) with its tools: the desktop
  controller (``ombrel.pc.vantor``) and the skill runner
  (``ombrel.skills.corvex``) on the skill folders;
- the guardrails (``ombrel.core.guardrails``): shell-running skills wait for
  the user's approval;
- the computer-use agent (``ombrel.core.computer_use_agent``), a scripted
  stand-in;
- the heartbeat (``ombrel.core.heartbeat``) behind its adapter, its beats
  answered by the agent and broadcast to every page;
- conversations in SQLite (``ombrel.core.memory``) under the data directory,
  a current one for each connection (``ombrel.gateway.connections``);
- the answers' Markdown rendered and sanitised for the page (``rendering``).
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import hashlib
import ipaddress
import logging
import re
import secrets
import sys
import urllib.parse
from pathlib import Path
from types import SimpleNamespace
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
# The stand-in host's modules (ombrel.gateway.server, ombrel.core.agent, ...)
# sit beside the native ones in the ombrel namespace package.
sys.path.insert(0, str(ROOT / "host"))

import uvicorn  # noqa: E402
from fastapi import Body, FastAPI, HTTPException  # noqa: E402
from fastapi.responses import FileResponse, JSONResponse, PlainTextResponse, Response  # noqa: E402
from fastapi.staticfiles import StaticFiles  # noqa: E402
from starlette.datastructures import Headers, MutableHeaders  # noqa: E402
from starlette.requests import cookie_parser  # noqa: E402

from ombrel import config as host_config  # noqa: E402
from ombrel.config import HeartbeatConfig  # noqa: E402
from ombrel.core.agent import StandardAgent  # noqa: E402
from ombrel.core.computer_use_agent import ComputerUseAgent  # noqa: E402
from ombrel.core.guardrails import Guardrails  # noqa: E402
from ombrel.core.heartbeat import HeartbeatRunner  # noqa: E402
from ombrel.core.heartbeat_adapter import HeartbeatAdapter  # noqa: E402
from ombrel.core.memory import ConversationBusy, ConversationStore  # noqa: E402
from ombrel.core.model_turn import ModelTurn  # noqa: E402
from ombrel.core.screen import display_missing  # noqa: E402
from ombrel.core.tools import Tools  # noqa: E402
from ombrel.gateway import server  # noqa: E402
from ombrel.gateway.connections import ConnectionScope  # noqa: E402
from ombrel.gateway.ws import create_ws_router, manager  # noqa: E402
from ombrel.pc import vantor  # noqa: E402
from ombrel.skills import corvex  # noqa: E402
from ombrel.skills.system_chromium import use_system_chromium  # noqa: E402

import rendering  # noqa: E402

EXAMPLE_SKILLS = ROOT / "examples" / "skills"
logger = logging.getLogger("ombrel.host.app")

# The gateway's options. A page's two connections each keep a queue of
# their own; a session keeps enough events for a long turn (a model's
# answer streams in thousands of pieces), so that a page that comes back
# gets it all.
QUEUE_SIZE = 1000
REPLAY = 5000
#: Characters a client's message may have (the page checks before sending).
MAX_MESSAGE_SIZE = 256 * 1024


def host_name(header: str) -> str:
    """The name in a Host header, without its port: "[::1]:8765" gives
    "::1", "Example.org:80" gives "example.org"."""
    header = header.strip().lower()
    if header.startswith("["):
        return header[1:header.find("]")] if "]" in header else ""
    return header.rsplit(":", 1)[0] if header.count(":") == 1 else header


def is_loopback_name(name: str) -> bool:
    if name == "localhost":
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


class LocalHostsOnly:
    """ASGI middleware: requests and WebSocket handshakes whose Host header
    names neither a loopback host nor one of ``allowed`` are refused (400,
    or a closed handshake), so that a page of another site cannot reach the
    host through a name of its own (DNS rebinding)."""

    def __init__(self, app: Any, allowed: list[str]) -> None:
        self.app = app
        self.allowed = set(allowed)

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] in ("http", "websocket"):
            header = dict(scope["headers"]).get(b"host", b"").decode("latin-1")
            name = host_name(header)
            if not (is_loopback_name(name) or name in self.allowed):
                logger.warning("Refused a request for host %r", header)
                if scope["type"] == "websocket":
                    await send({"type": "websocket.close", "code": 1008})
                    return
                await PlainTextResponse("Invalid host header", status_code=400)(scope, receive, send)
                return
        await self.app(scope, receive, send)


#: What anyone may fetch: the page and its assets, the same for everyone and
#: holding nothing of a user's, so that a page opened without the token can
#: say what to do.
OPEN_PATHS = frozenset({"/", "/favicon.ico", "/highlight.css"})
OPEN_PREFIX = "/static/"


def token_cookie(scope: dict) -> str:
    """The name of the token's cookie: one per port, since cookies are
    shared by every port of a host and two apps may run side by side."""
    server = scope.get("server")
    return f"ombrel_token_{server[1]}" if server else "ombrel_token"


class TokenRequired:
    """ASGI middleware: an HTTP request for anything but the page and its
    assets (``OPEN_PATHS``) must carry the app's token, as
    ``Authorization: Bearer <token>`` (the page's own requests, programs:
    when given, it alone decides) or in the cookie that such a request gets
    (for what the page shows by URL: pictures, links to files); without it,
    403 and nothing else. WebSocket
    handshakes go on to the gateway, which checks the token itself."""

    def __init__(self, app: Any, token: str) -> None:
        self.app = app
        self.token = token
        # The cookie holds a digest: any token may be given, not every
        # character may stand in a cookie.
        self.cookie = hashlib.sha256(b"ombrel-cookie:" + token.encode()).hexdigest()

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] != "http" or scope["path"] in OPEN_PATHS or scope["path"].startswith(OPEN_PREFIX):
            await self.app(scope, receive, send)
            return
        headers = Headers(scope=scope)
        name = token_cookie(scope)
        cookie = cookie_parser(headers.get("cookie", "")).get(name, "")
        scheme, _, given = headers.get("authorization", "").partition(" ")
        if scheme.lower() == "bearer":
            granted = secrets.compare_digest(given.strip().encode(), self.token.encode())
        else:
            granted = secrets.compare_digest(cookie.encode(), self.cookie.encode())
        if not granted:
            await JSONResponse({"detail": "This needs the app's access token: open the address the app "
                                          "printed when it started (http://127.0.0.1:PORT/?token=...)."},
                               status_code=403)(scope, receive, send)
            return
        if scheme.lower() == "bearer" and not secrets.compare_digest(cookie.encode(), self.cookie.encode()):
            send = self._setting_cookie(send, name)
        await self.app(scope, receive, send)

    def _setting_cookie(self, send: Any, name: str) -> Any:
        async def sending(message: dict) -> None:
            if message["type"] == "http.response.start":
                MutableHeaders(scope=message).append(
                    "set-cookie", f"{name}={self.cookie}; Path=/; HttpOnly; SameSite=Strict")
            await send(message)
        return sending


class HideTokens(logging.Filter):
    """Keeps the token out of the server's log, which shows each request's
    address with its query ("/?token=...", "/ws?token=...")."""

    TOKEN = re.compile(r"(?<=token=)[^&\s\"]+")

    def filter(self, record: logging.LogRecord) -> bool:
        if isinstance(record.args, tuple):
            record.args = tuple(self.TOKEN.sub("…", a) if isinstance(a, str) else a for a in record.args)
        return True


def plain_name(name: str) -> bool:
    """Whether ``name`` names an entry of a folder: not empty, not "." or
    "..", no separator."""
    return name not in ("", ".", "..") and "/" not in name and "\\" not in name


class Announcer:
    """Broadcasts events to every page from code that cannot wait for the
    sends (plain functions, callbacks)."""

    def __init__(self) -> None:
        self._sends: set[asyncio.Task] = set()

    def __call__(self, event: dict[str, Any]) -> None:
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:  # no page to tell outside the server's loop
            return
        task = loop.create_task(manager.broadcast(event))
        self._sends.add(task)
        task.add_done_callback(self._sends.discard)


class BroadcastingHeartbeat(HeartbeatAdapter):
    """The adapter, telling every page when the heartbeat changes state (the
    gateway answers only the page that asked)."""

    def __init__(self, runner: HeartbeatRunner) -> None:
        super().__init__(runner)
        self._announcer = Announcer()

    def status(self) -> dict[str, Any]:
        state = "paused" if self.is_running and self.is_paused else "running" if self.is_running else "stopped"
        return {"type": "heartbeat_status", "status": state, "interval": self.interval,
                "paused": self.is_paused, "beats": self.runner.consecutive_beats,
                "max": self.runner._config.max_consecutive}

    def _announce(self) -> None:
        self._announcer({**self.status(), "announced": True})

    def start(self, interval: float | None = None) -> None:
        super().start(interval)
        self._announce()

    def stop(self) -> None:
        super().stop()
        self._announce()

    def pause(self) -> None:
        super().pause()
        self._announce()

    def resume(self) -> None:
        super().resume()
        self._announce()


def desktop_controller() -> vantor.Vantor:
    """The desktop controller. On Linux its refs act (a click presses the
    button) and one long-lived walker reads the windows, run by an
    interpreter that has gi (``OMBREL_DESKTOP_PYTHON``, else the first
    found); without one, the controller says which interpreter lacked it."""
    if vantor.SYSTEM == "Linux":
        vantor.LINUX_ACTIONS = True
        vantor.LINUX_WORKER = True
        python = host_config.desktop_python()
        if python:
            vantor.LINUX_PYTHON = python
    return vantor.Vantor()


def create_app(token: str, data_dir: Path | None = None, skill_dirs: list[Path] | None = None,
               allowed_hosts: list[str] | None = None) -> FastAPI:
    """The reference host. Its clients must show ``token``; ``data_dir``
    holds the conversation database (default: ``ombrel.config.data_dir()``);
    ``skill_dirs`` are searched for skills (default: ``OMBREL_SKILLS_PATH``,
    else the user's skills folder and examples/skills); ``allowed_hosts``
    are host names it answers besides the loopback ones (with
    ``OMBREL_ALLOWED_HOSTS``)."""
    data_dir = Path(data_dir) if data_dir else host_config.data_dir()
    skill_dirs = skill_dirs or host_config.skill_dirs([corvex.SKILLS_DIR, EXAMPLE_SKILLS])
    use_system_chromium(data_dir / "ms-playwright")

    # Every page refreshes its list of conversations when it changes.
    memory = ConversationStore(data_dir / "conversations.sqlite3", on_change=Announcer())
    guardrails = Guardrails(manager.broadcast)
    model = ModelTurn(host_config.model_name()) if host_config.model_configured() else None
    # A skill may run for two minutes and show 50,000 characters of output.
    skills = corvex.PythonSkillRunner(host_config.model_name(), time_limit=120, output_limit=50_000)
    controller = desktop_controller()
    tools = Tools(controller, skills, skill_dirs)
    agent = StandardAgent(tools, guardrails, memory, model=model)

    async def on_event(event: dict[str, Any]) -> None:
        await manager.broadcast(event)

    async def on_beat(prompt: str) -> None:
        """A beat: the agent answers the check-in; every page sees it."""
        async for event in agent.process_message(prompt, remember=False):
            await manager.broadcast({**event.to_dict(), "source": "heartbeat"})

    heartbeat_config = HeartbeatConfig(enabled=True, interval_seconds=30, max_consecutive=5)
    # A beat that falls due while a turn runs waits for the next one.
    runner = HeartbeatRunner(heartbeat_config, on_beat, on_event, skip_if_busy=lambda: agent.is_running)
    heartbeat = BroadcastingHeartbeat(runner)
    server.set_state(agent=agent, cu_agent=ComputerUseAgent(conversation=memory), guardrails=guardrails,
                     # The gateway reads the heartbeat's default interval from "config".
                     heartbeat=heartbeat, config=SimpleNamespace(heartbeat=heartbeat_config), memory=memory)

    @contextlib.asynccontextmanager
    async def lifespan(app: FastAPI):
        yield
        runner.stop()
        await controller.aclose()
        memory.close()

    app = FastAPI(title="Ombrel reference host", lifespan=lifespan)
    # The outermost middleware comes last: the host's name is checked first,
    # then the token.
    app.add_middleware(TokenRequired, token=token)
    app.add_middleware(LocalHostsOnly, allowed=host_config.allowed_hosts(allowed_hosts))
    # Each WebSocket connection has its own current conversation.
    app.add_middleware(ConnectionScope)
    app.include_router(create_ws_router(queue_size=QUEUE_SIZE, token=token, replay=REPLAY, close_codes=True,
                                        max_message_size=MAX_MESSAGE_SIZE, errors_as_events=True))
    app.mount("/static", StaticFiles(directory=HERE / "static"), name="static")

    @app.get("/", include_in_schema=False)
    async def index() -> FileResponse:
        return FileResponse(HERE / "static" / "index.html")

    @app.get("/api/info")
    async def info() -> dict[str, Any]:
        return {"mode": "model" if model else "offline",
                "model": model.model_name if model else None,
                "display": display_missing() or "available",
                "skills": tools.skill_names(),
                "heartbeat": heartbeat.status(),
                "max_message_size": MAX_MESSAGE_SIZE}

    @app.get("/api/token")
    async def access_token() -> dict[str, str]:
        """The token, for a page that has its cookie but not the token itself
        (a tab opened without it), to open its WebSocket connections."""
        return {"token": token}

    @app.get("/favicon.ico", include_in_schema=False)
    async def favicon() -> FileResponse:
        return FileResponse(HERE / "static" / "favicon.svg", media_type="image/svg+xml")

    highlight_css = rendering.highlight_css()

    @app.get("/highlight.css", include_in_schema=False)
    async def highlight() -> Response:
        return Response(highlight_css, media_type="text/css")

    @app.post("/api/render")
    def render(texts: list[str] = Body(..., embed=True, max_length=rendering.MAX_TEXTS)) -> dict[str, Any]:
        """The answers' Markdown as sanitised HTML, one for each text."""
        if any(len(text) > rendering.MAX_TEXT for text in texts):
            raise HTTPException(413, f"A text is longer than {rendering.MAX_TEXT} characters")
        return {"html": [rendering.to_html(text) for text in texts]}

    @app.get("/api/conversations")
    async def conversations() -> dict[str, Any]:
        return {"conversations": memory.list()}

    @app.patch("/api/conversations/{conversation_id}")
    async def rename_conversation(conversation_id: str,
                                  title: str = Body(..., embed=True, min_length=1, max_length=200)) -> dict[str, Any]:
        if not title.strip():
            raise HTTPException(422, "A title cannot be blank")
        if not memory.rename(conversation_id, title):
            raise HTTPException(404, "No such conversation")
        return {"conversations": memory.list()}

    @app.delete("/api/conversations/{conversation_id}")
    async def delete_conversation(conversation_id: str) -> dict[str, Any]:
        try:
            if not memory.delete(conversation_id):
                raise HTTPException(404, "No such conversation")
        except ConversationBusy:
            raise HTTPException(409, "A turn is running in this conversation: stop it first") from None
        return {"conversations": memory.list()}

    @app.get("/api/pictures/{number}")
    async def picture(number: int) -> Response:
        """A picture kept with a conversation (a screenshot of a turn)."""
        found = memory.picture(number)
        if found is None:
            raise HTTPException(404, "No such picture")
        return Response(found[0], media_type=found[1], headers={"Cache-Control": "private, max-age=86400"})

    @app.get("/api/approvals")
    async def approvals() -> list[dict[str, Any]]:
        return guardrails.pending()

    @app.get("/files/{skill}/{name}")
    async def skill_file(skill: str, name: str) -> FileResponse:
        """A file that a skill wrote into its output folder."""
        if not (plain_name(skill) and plain_name(name)):
            raise HTTPException(404, "No such skill output file")
        folder = (Path(corvex.OUTPUT_DIR) / skill).resolve()
        path = (folder / name).resolve()
        if path.parent != folder or not path.is_file():
            raise HTTPException(404, "No such skill output file")
        return FileResponse(path, filename=path.name)

    return app


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8765)
    parser.add_argument("--token", help="the token clients must show (default: OMBREL_TOKEN, else a new random one)")
    parser.add_argument("--data-dir", type=Path, help="where the conversations are kept")
    parser.add_argument("--skills-dir", type=Path, action="append",
                        help="a folder of Python skills (repeat for more; replaces the defaults)")
    parser.add_argument("--allowed-host", action="append",
                        help="a host name to answer besides the loopback ones (repeat for more)")
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(levelname)s:     %(name)s: %(message)s")
    token = host_config.access_token(args.token)
    app = create_app(token, args.data_dir, args.skills_dir, args.allowed_host)
    server_config = uvicorn.Config(app, host="127.0.0.1", port=args.port, log_level="info")
    for name in ("uvicorn.access", "uvicorn.error"):
        logging.getLogger(name).addFilter(HideTokens())
    print(f"Ombrel on http://127.0.0.1:{args.port}/?token={urllib.parse.quote(token, safe='')}", flush=True)
    uvicorn.Server(server_config).run()


if __name__ == "__main__":
    main()
