#!/usr/bin/env bash
# Installs what the build needs, builds selection-bridge, and shows it at work: on the desktop
# session this runs in, or, where there is none, on a private headless one that it starts. The
# exchange is printed; screenshots before and after go to out/.
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo's text holds CJK characters: a font that has them, so the screenshots show them.
tools/install-deps.sh imagemagick fonts-wqy-microhei
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ >/dev/null
ninja -C build/gcc selection-bridge >/dev/null
if [ -n "${DISPLAY:-}" ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  python3 tools/demo.py build/gcc/selection-bridge out
else
  python3 tools/desktop_session.py -- python3 tools/demo.py build/gcc/selection-bridge out
fi
