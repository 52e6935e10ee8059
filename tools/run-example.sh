#!/usr/bin/env bash
# Sets up everything on a fresh machine (Debian packages, a venv, the build)
# and serves Ombrel's reference host on http://127.0.0.1:8765/: open the
# address it prints, which carries its access token
# (http://127.0.0.1:8765/?token=...), in a browser. No key and no
# configuration are needed: the agent works offline.
#
#   tools/run-example.sh [--desktop] [--port 9000] [--token TOKEN] [--data-dir DIR] [--skills-dir DIR] ...
#
# --desktop serves it inside a desktop session of its own (Xvfb, D-Bus with
# the accessibility bus, a GTK window to drive: tools/desktop-session.sh),
# for trying the desktop commands on a machine without a desktop. Other
# arguments go to the app.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

desktop=0
if [ "${1:-}" = --desktop ]; then
  desktop=1
  shift
fi

install_debian_packages "${EXAMPLE_DEBIAN_PACKAGES[@]}"
prepare_venv 3.11
.venv-3.11/bin/python -m pip install -q --disable-pip-version-check -r examples/reference_host/requirements.txt
install_package 3.11 OMBREL_TESTING=OFF OMBREL_ABORT_ON_LEAK=OFF

app=(.venv-3.11/bin/python examples/reference_host/app.py "$@")
if [ $desktop = 1 ]; then
  exec tools/desktop-session.sh "${app[@]}"
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "note: no display: the desktop commands will say so (tools/run-example.sh --desktop gives them one)"
fi
exec "${app[@]}"
