#!/usr/bin/env bash
# Sets up everything on a fresh machine and serves Ombrel's reference host on
# http://127.0.0.1:8765/ (open it in a browser). No key and no configuration
# are needed: the agent works offline. Extra arguments go to the app
# (--port 9000, --data-dir DIR, --skills-dir DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

prepare_venv 3.11
.venv-3.11/bin/python -m pip install -q --disable-pip-version-check -r examples/reference_host/requirements.txt
install_package 3.11 OMBREL_TESTING=OFF OMBREL_ABORT_ON_LEAK=OFF
if ! command -v chromium >/dev/null && ! command -v chromium-browser >/dev/null; then
  echo "note: the browser skill needs Chromium (apt-get install chromium, or .venv-3.11/bin/playwright install chromium)"
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "note: no display: the desktop commands will say so (run inside a desktop session or under Xvfb)"
fi
exec .venv-3.11/bin/python examples/reference_host/app.py "$@"
