"""The reference host run as a user runs it: a child process on 127.0.0.1,
restartable on the same port, with an access token. Page screenshots go to
SCREENSHOTS."""
from __future__ import annotations

import os
import re
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
APP = ROOT / "examples" / "reference_host" / "app.py"
SCREENSHOTS = Path(os.environ.get("OMBREL_SCREENSHOTS") or ROOT / "build" / "screenshots")

BROKEN_SKILL = "async def run(ctx, params):\n    return {'oops': \n"
#: The token the tests give the app.
TOKEN = "test-token-Zq8w"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class App:
    """The reference host in a child process; ``restart()`` keeps the port.
    ``token`` is given to it (``--token``); None lets it make one, read from
    the address it prints. ``page_url`` is that address, token included."""

    def __init__(self, env: dict[str, str], data_dir: Path, token: str | None = TOKEN) -> None:
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.env = env
        self.data_dir = data_dir
        self.given_token = token
        self.token = token
        self.process: subprocess.Popen | None = None
        self.output = data_dir.parent / "app.log"

    @property
    def page_url(self) -> str:
        return f"{self.url}?token={self.token}"

    def get(self, path: str, timeout: float = 5) -> str:
        """GET ``path`` with the token."""
        request = urllib.request.Request(self.url + path, headers={"Authorization": f"Bearer {self.token}"})
        return urllib.request.urlopen(request, timeout=timeout).read().decode()

    def start(self) -> None:
        self.output.parent.mkdir(parents=True, exist_ok=True)
        self.output.touch()
        start = self.output.stat().st_size
        token = ["--token", self.given_token] if self.given_token else []
        with open(self.output, "a") as log:
            self.process = subprocess.Popen(
                [sys.executable, str(APP), "--port", str(self.port), "--data-dir", str(self.data_dir), *token],
                env=self.env, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while True:
            printed = re.search(rf"Ombrel on http://127\.0\.0\.1:{self.port}/\?token=(\S+)",
                                self.output.read_bytes()[start:].decode(errors="replace"))
            try:
                if printed:
                    self.token = urllib.parse.unquote(printed.group(1))
                    self.get("api/info", timeout=2)
                    return
            except OSError:
                pass
            assert self.process.poll() is None and time.monotonic() < deadline, self.output.read_text()
            time.sleep(0.1)

    def stop(self) -> None:
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def restart(self) -> None:
        self.stop()
        self.start()
