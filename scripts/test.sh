#!/usr/bin/env bash
# Installs what is missing, builds, makes the test media and runs every test: first the
# normal build (unit, command-line and end-to-end tests), then all of them again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
# Tests run ffmpeg; keep it from waiting on a terminal.
exec </dev/null
root=$(pwd)
jobs=$(nproc)

bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
bash scripts/make-test-media.sh "$root/build/test-media"
ctest --test-dir build --output-on-failure -j"$jobs"
echo "Screenshots of the desktop application: $root/build/gui-screenshots/"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVR_SANITIZE=ON \
  -DVR_TEST_MEDIA_DIR="$root/build/test-media" >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
