#!/usr/bin/env bash
# Every test: the suite built with g++ and run on a private headless desktop (so the desktop
# contract and the end-to-end tests run against real GTK applications), a bounded run of the
# handleLine fuzzer, and the suite again built with clang under AddressSanitizer and UBSan, on a
# desktop too.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

jobs=$(nproc)
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DSB_WERROR=ON >/dev/null
ninja -C build/gcc -j "$jobs"
python3 tools/desktop_session.py -- ctest --test-dir build/gcc --output-on-failure

# As a packager builds it: Release, no tests, installed, and packaged as a .deb whose binary runs.
tools/package_test.sh build/package

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DSB_WERROR=ON -DSB_SANITIZE=ON -DSB_FUZZ=ON >/dev/null
ninja -C build/asan -j "$jobs"

fuzz_seconds=${FUZZ_SECONDS:-120}
corpus=$(mktemp -d)
log=$(mktemp)
if ! ./build/asan/fuzz_handle_line -max_total_time="$fuzz_seconds" -max_len=8192 \
  -print_final_stats=1 "$corpus" tests/fuzz/corpus >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "fuzz_handle_line failed"
  exit 1
fi
grep -E "^(Done|stat::number_of_executed_units)" "$log" || true
rm -rf "$corpus" "$log"
echo "fuzz_handle_line: ${fuzz_seconds} s without a failure"

ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
  python3 tools/desktop_session.py -- \
  ctest --test-dir build/asan --output-on-failure
