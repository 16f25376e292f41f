#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests and the demo need and is missing.
set -euo pipefail
packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev python3
  libicu-dev nlohmann-json3-dev libgtest-dev
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
