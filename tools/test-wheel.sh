#!/usr/bin/env bash
# Runs the test suite against a wheel as a host installs it: builds the wheel
# for CPython VERSION (tools/build-wheels.sh; from 3.12 on, the stable-ABI
# wheel), installs it into a fresh venv with no compiler in reach (compilers
# and CMake shadowed on PATH, CC=false, CXX=false), checks that the four
# modules are imported from that venv, and runs pytest there. The test-only
# module _bridge_test is built beside the wheel, from the same objects, and
# put on the path: it is no part of the wheel.
#
#   tools/test-wheel.sh VERSION [pytest arguments...]     (VERSION: 3.10 to 3.13)
#
# The Debian packages of the tests are installed by tools/test.sh
# (install_debian_packages in tools/common.sh).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source tools/common.sh

version=${1:?usage: tools/test-wheel.sh VERSION [pytest arguments...]}
shift
case $version in
  3.10 | 3.11) target=$version tag=cp${version/./}-cp${version/./} builder=$version ;;
  *) target=abi3 tag=cp312-abi3 builder=3.12 ;;
esac

tools/build-wheels.sh "$target"
wheel=$(ls -t dist/ombrel_native-*-"$tag"-manylinux*.whl | head -1)

# _bridge_test, from the wheel's own build directory (its bridge objects are
# those of the wheel's modules).
env=$PWD/build/wheel-env-$builder/bin
build_dir=$(ls -d build/wheels/"$tag"-linux_*/ | head -1)
PATH="$env:$PATH" cmake -S . -B "$build_dir" -DOMBREL_TESTING=ON >/dev/null
PATH="$env:$PATH" cmake --build "$build_dir" --target _bridge_test
work=$PWD/build/wheel-test-$version
rm -rf "$work"
mkdir -p "$work/modules" "$work/no-compiler"
cp "$build_dir"/package/_bridge_test*.so "$work/modules/"

# From here on, no compiler: anything that would build code fails.
for tool in cc c++ gcc g++ clang clang++ cmake; do
  printf '#!/bin/sh\necho "%s: no compiler here" >&2\nexit 1\n' "$tool" >"$work/no-compiler/$tool"
  chmod +x "$work/no-compiler/$tool"
done
export PATH="$work/no-compiler:$PATH" CC=false CXX=false

"$(find_python "$version")" -m venv "$work/venv"
python=$work/venv/bin/python
"$python" -m pip install -q --disable-pip-version-check -U pip
"$python" -m pip install -q --disable-pip-version-check "$wheel" -r tools/requirements-test.txt

# The modules are the wheel's (run outside the source tree).
(cd "$work" && "$python" - <<'EOF'
import importlib, pathlib, sysconfig
site = pathlib.Path(sysconfig.get_path("platlib")).resolve()
for name in ("ombrel.gateway.ws", "ombrel.core.heartbeat", "ombrel.skills.corvex", "ombrel.pc.vantor"):
    where = pathlib.Path(importlib.import_module(name).__file__).resolve()
    assert where.parent.parent.parent == site, f"{name} imported from {where}, not from {site}"
    print(f"{name}: {where.relative_to(site.parent.parent.parent.parent)}")
EOF
)

# pytest's own script, not `python -m pytest`: the source tree is not put on
# sys.path (host/, the stand-in host, is: pyproject.toml's pythonpath).
PYTHONPATH=$work/modules "$work/venv/bin/pytest" -q -p no:cacheprovider "$@"
