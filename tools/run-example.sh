#!/usr/bin/env bash
# Sets up everything on a fresh machine and serves the example chat on
# http://127.0.0.1:8765/ (open it in a browser). Extra arguments go to the
# example (e.g. --port 9000).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

prepare_venv 3.11
install_package 3.11 OMBREL_TESTING=OFF OMBREL_ABORT_ON_LEAK=OFF
exec .venv-3.11/bin/python examples/chat/app.py "$@"
