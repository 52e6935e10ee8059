#!/usr/bin/env bash
# Sets up everything the tests need on a fresh machine (Debian packages,
# a venv per interpreter, the build) and runs the whole test suite on
# CPython 3.11 and 3.13. The 3.13 build aborts at interpreter exit when a
# nanobind object leaked, so that run doubles as the leak check.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_debian_packages
status=0
for version in 3.11 3.13; do
  echo "=== CPython $version"
  prepare_venv "$version"
  if [ "$version" = 3.13 ]; then
    install_package "$version" OMBREL_TESTING=ON OMBREL_ABORT_ON_LEAK=ON
  else
    install_package "$version" OMBREL_TESTING=ON OMBREL_ABORT_ON_LEAK=OFF
  fi
  ".venv-$version/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
done
exit $status
