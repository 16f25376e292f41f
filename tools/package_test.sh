#!/usr/bin/env bash
# Builds selection-bridge as a packager would (Release, tests off, so without GoogleTest),
# installs it into a staging prefix, packages it with CPack as a .deb, and checks that the
# package names its runtime libraries and that its binary runs.
# Usage: tools/package_test.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" >/dev/null
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr/local" >/dev/null
test -x "$stage/usr/local/bin/selection-bridge"
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$build"/selection-bridge_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libatspi2.0-0 libicu libx11-6 libxtst6 libxi6 libglib2.0-0 libstdc++6; do
  if ! grep -q "$library" <<<"$depends"; then
    echo "$deb: Depends lacks $library: $depends"
    exit 1
  fi
done
dpkg-deb -x "$deb" "$stage/deb"
# With no input it ends at once, with status 0 and nothing written.
out=$(env -i "$stage/deb/usr/bin/selection-bridge" </dev/null 2>&1)
test -z "$out"
echo "package: $(basename "$deb") installs bin/selection-bridge; Depends: $depends"
