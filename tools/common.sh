# Shared by the scripts in tools/: finding interpreters and preparing venvs.
# Source it; it defines functions only.

# find_python 3.11 -> path of a CPython 3.11 interpreter
find_python() {
  local version=$1 candidate
  for candidate in "python$version" /root/.pyenv/versions/"$version"*/bin/python "$HOME"/.pyenv/versions/"$version"*/bin/python /usr/bin/"python$version"; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "import sys, venv; assert sys.version.startswith('$version')" 2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "no CPython $version found (looked on PATH and under ~/.pyenv/versions)" >&2
  return 1
}

# prepare_venv 3.11 -> creates .venv-3.11 (once) with the build and test requirements
prepare_venv() {
  local version=$1 venv=".venv-$1" python
  if [ ! -x "$venv/bin/python" ]; then
    python=$(find_python "$version")
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -U pip
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    -r tools/requirements-build.txt -r tools/requirements-test.txt
}

# install_package 3.11 [cmake definitions...] -> builds and installs ombrel-native
# into .venv-3.11; the build directory build/<wheel tag> is kept, so rebuilds
# are incremental.
install_package() {
  local version=$1 define args=()
  shift
  for define in "$@"; do args+=("-Ccmake.define.$define"); done
  ".venv-$version/bin/python" -m pip install -q --disable-pip-version-check \
    --no-build-isolation --no-deps --force-reinstall "${args[@]}" .
}

# Debian packages the tests need (a desktop session for the accessibility
# tests, a browser for the skill browser, ...); installed when missing.
DEBIAN_PACKAGES=(g++ procps chromium
  # a desktop session: X server, D-Bus, AT-SPI, a GTK window, xdotool
  xvfb xdotool dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0 gir1.2-gtk-3.0
  # an application whose window has no accessible name (gtk3-widget-factory)
  gtk-3-examples)

# Debian packages the reference host uses (tools/run-example.sh): a compiler
# for the build, Chromium for the browser skill, what the desktop commands
# read and drive a desktop with (AT-SPI through Debian's python3, GTK for
# screenshots, xdotool for windows and keys) and a desktop session of its
# own for --desktop (Xvfb, D-Bus).
EXAMPLE_DEBIAN_PACKAGES=(g++ chromium
  xdotool at-spi2-core python3-gi gir1.2-atspi-2.0 gir1.2-gtk-3.0
  xvfb dbus-daemon)

# install_debian_packages [package...] -> installs those of the packages
# (default: DEBIAN_PACKAGES) that are missing, through sudo when not root.
install_debian_packages() {
  local missing=() package packages=("$@") as_root=()
  [ ${#packages[@]} -gt 0 ] || packages=("${DEBIAN_PACKAGES[@]}")
  for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "missing Debian packages; as root: apt-get install ${missing[*]}" >&2
      return 1
    fi
    as_root=(sudo)
  fi
  echo "installing Debian packages: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}
