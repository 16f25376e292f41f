#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and is missing, plus any
# package named on the command line.
set -euo pipefail
packages=(
  # build and unit tests
  build-essential dpkg-dev cmake ninja-build pkgconf clang-14 libclang-rt-14-dev python3
  libicu-dev nlohmann-json3-dev libsimdjson-dev libgtest-dev libatspi2.0-dev libxtst-dev libxi-dev
  libx11-dev
  # the headless desktop of the end-to-end tests, and its GTK test application
  jq xvfb openbox x11-utils x11-xkb-utils x11-xserver-utils xdotool dbus-daemon at-spi2-core libglib2.0-bin
  python3-gi python3-gi-cairo gir1.2-gtk-3.0
  # applications people use, for tests/applications_test.py
  gnome-text-editor chromium
  "$@"
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
