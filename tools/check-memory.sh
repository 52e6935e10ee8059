#!/usr/bin/env bash
# Memory checks of the native code, on CPython 3.11:
#  1. an AddressSanitizer + UndefinedBehaviorSanitizer build, run under the
#     whole test suite (Python itself is not instrumented: the sanitizer
#     runtime is preloaded, and leak detection is left to step 2);
#  2. a build that aborts at interpreter exit when nanobind objects leaked.
# Extra arguments go to pytest (e.g. a test folder).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_debian_packages
prepare_venv 3.11
python=$PWD/.venv-3.11/bin/python

build() {  # build <dir> <cmake definitions...>
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBREL_TESTING=ON \
    -DOMBREL_STUBS=OFF -DPython_EXECUTABLE="$python" "$@" >/dev/null
  cmake --build "$dir"
}

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DOMBREL_SANITIZE=ON
# libstdc++ is preloaded too: the sanitizer must find the real __cxa_throw.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH=build/asan/package "$python" -m pytest -q -p no:cacheprovider --capture=sys "$@"

echo "=== nanobind leak check"
build build/leak -DOMBREL_ABORT_ON_LEAK=ON
PYTHONPATH=build/leak/package "$python" -m pytest -q -p no:cacheprovider "$@"
