#!/usr/bin/env bash
# Refreshes the stub references (tests/stubs/) from a build: builds it (the
# stubs are generated with the modules) and copies every module's stub.
# Run it when a change of a module's public surface or docstrings is meant;
# the change then shows in review as a change of the references, which
# tests/test_stubs.py compares with the stubs of the modules under test.
#   tools/update-stubs.sh [build dir]     (default: build/dev)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/dev}" && pwd)
cd "$root"
cmake --build "$build" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
stubs=$(cd "$build/package" && find ombrel -name '*.pyi' | sort)
if [ -z "$stubs" ]; then
  echo "no stubs in $build/package (configured with OMBREL_STUBS=OFF or OMBREL_SANITIZE=ON?)" >&2
  exit 1
fi
rm -rf tests/stubs/ombrel
for stub in $stubs; do
  mkdir -p "tests/stubs/$(dirname "$stub")"
  cp "$build/package/$stub" "tests/stubs/$stub"
done
git status --short -- tests/stubs || true
