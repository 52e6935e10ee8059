#!/usr/bin/env bash
# Runs a command inside a desktop session of its own, for trying the
# desktop commands on a machine without a desktop: Xvfb on a free display,
# a D-Bus session bus with the accessibility (AT-SPI) bus, and a small GTK
# window to read and drive (a button, a text entry, a check box, a spin
# button, a label). The session is the tests' (tests/vantor/desktop/
# session.py); it ends, with every process it started, when the command
# ends.
#
#   tools/desktop-session.sh COMMAND [ARG...]
#
# The window's title is "Ombrel demo window" (OMBREL_DESKTOP_TITLE sets
# another). Needs Debian's python3 with gi, Xvfb, dbus-daemon and
# at-spi2-core (tools/run-example.sh installs them).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
TITLE="${OMBREL_DESKTOP_TITLE:-Ombrel demo window}"
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

coproc SESSION { /usr/bin/python3 "$ROOT/tests/vantor/desktop/session.py" "$TITLE"; }
session_pid=$SESSION_PID
IFS= read -r info <&"${SESSION[0]}" || info='{"error": "the session ended before it started"}'
settings=$(/usr/bin/python3 -c '
import json, shlex, sys
info = json.loads(sys.argv[1])
if "error" in info:
    sys.exit("desktop session: " + info["error"])
for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "XAUTHORITY"):
    print(f"export {name}={shlex.quote(info[name])}")
' "$info") || { exec {SESSION[1]}>&-; wait "$session_pid" || true; exit 1; }
eval "$settings"

# The desktop controller reads windows with the `python3` on PATH: Debian's,
# the one with gi, comes first.
bin=$(mktemp -d)
ln -s /usr/bin/python3 "$bin/python3"
export PATH="$bin:$PATH"
echo "desktop session on $DISPLAY with the window \"$TITLE\" (try: snapshot $TITLE)"

status=0
"$@" || status=$?
exec {SESSION[1]}>&-   # the session ends when its input closes
wait "$session_pid" || true
rm -rf "$bin"
exit $status
