#!/usr/bin/env bash
# Installs what the build needs, builds selection-bridge, and shows an exchange with it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ >/dev/null
ninja -C build/gcc selection-bridge >/dev/null
requests='{"id":"1","op":"permissions"}
{"id":"2","op":"capture"}
{"id":"3","op":"release"}
not json'
while IFS= read -r line; do
  printf '> %s\n' "$line"
done <<<"$requests"
printf '%s\n' "$requests" | ./build/gcc/selection-bridge | sed 's/^/< /'
