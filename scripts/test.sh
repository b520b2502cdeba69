#!/usr/bin/env bash
# Installs what is missing, builds, makes the test media and runs every test: first the
# normal build (unit, command-line and end-to-end tests), then all of them again under
# AddressSanitizer and UndefinedBehaviorSanitizer. The blob emulator that the error-report
# tests upload to runs on a loopback port for the whole run and is stopped at the end,
# also when a test fails.
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
bash scripts/make-inband-media.sh "$root/build/inband-media"
eval "$(bash scripts/azurite.sh start "$root/build/azurite")"
trap 'bash scripts/azurite.sh stop "$root/build/azurite"' EXIT
ctest --test-dir build --output-on-failure -j"$jobs"
echo "Screenshots of the desktop application: $root/build/gui-screenshots/"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVR_SANITIZE=ON \
  -DVR_TEST_MEDIA_DIR="$root/build/test-media" >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
