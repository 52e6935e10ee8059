"""The reference host run as a user runs it: a child process on 127.0.0.1,
restartable on the same port. Page screenshots go to SCREENSHOTS."""
from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
APP = ROOT / "examples" / "reference_host" / "app.py"
SCREENSHOTS = Path(os.environ.get("OMBREL_SCREENSHOTS") or ROOT / "build" / "screenshots")

BROKEN_SKILL = "async def run(ctx, params):\n    return {'oops': \n"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class App:
    """The reference host in a child process; ``restart()`` keeps the port."""

    def __init__(self, env: dict[str, str], data_dir: Path) -> None:
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.env = env
        self.data_dir = data_dir
        self.process: subprocess.Popen | None = None
        self.output = data_dir.parent / "app.log"

    def start(self) -> None:
        with open(self.output, "a") as log:
            self.process = subprocess.Popen(
                [sys.executable, str(APP), "--port", str(self.port), "--data-dir", str(self.data_dir)],
                env=self.env, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while True:
            try:
                urllib.request.urlopen(self.url + "api/info", timeout=2).read()
                return
            except OSError:
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
