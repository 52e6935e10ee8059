#!/usr/bin/env bash
# Sets up everything the tests need on a fresh machine (Debian packages,
# venvs, the builds) and runs the whole test suite three times:
#  - on CPython 3.11 against its wheel, installed into a fresh venv with no
#    compiler in reach, as a host installs it (tools/test-wheel.sh);
#  - on CPython 3.12 against the stable-ABI wheel, the same way;
#  - on CPython 3.13 against a source build that aborts at interpreter exit
#    when a nanobind object leaked, so that run doubles as the leak check.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_debian_packages
status=0

echo "=== CPython 3.11, its wheel"
tools/test-wheel.sh 3.11 "$@" || status=$?

echo "=== CPython 3.12, the stable-ABI wheel"
tools/test-wheel.sh 3.12 "$@" || status=$?

echo "=== CPython 3.13, a source build with the leak check"
prepare_venv 3.13
install_package 3.13 OMBREL_TESTING=ON OMBREL_ABORT_ON_LEAK=ON
".venv-3.13/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
exit $status
