#!/usr/bin/env bash
# Installs what is missing, builds, makes the test media and runs every test: first the
# normal build (unit, command-line and end-to-end tests, the benchmarks built but not run),
# then all of them again under AddressSanitizer and UndefinedBehaviorSanitizer (neither the
# benchmarks nor the desktop screenshot run a second time). The blob emulator that the
# error-report tests upload to runs on a loopback port for the whole run and is stopped at
# the end, also when a test fails. Every phase prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
# Tests run ffmpeg; keep it from waiting on a terminal.
exec </dev/null
root=$(pwd)
jobs=$(nproc)
# Many tests wait on ffmpeg, ffprobe or the disk: one more of them than processors keeps
# both busy.
testJobs=$((jobs + 1))
start=$SECONDS
phase=""
phaseStart=$SECONDS
# Ends the running phase, printing its time, and starts the named one.
next() {
  [ -n "$phase" ] && printf '== %-18s %4d s\n' "$phase:" $((SECONDS - phaseStart))
  phase=$1
  phaseStart=$SECONDS
}
# The compiler cache is shared by every clone of the project on this machine: paths are
# hashed relative to the clone's root.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true
# Ninja for a new build folder (a folder keeps the generator it was made with), the
# compiler cache where it is installed, and unity builds: each target's sources compiled
# a few at a time, so a machine without a warm cache parses the large headers (the test
# framework, Qt) far fewer times.
configure() {
  local dir=$1
  shift
  local options=(-DCMAKE_UNITY_BUILD=ON)
  [ -f "$dir/CMakeCache.txt" ] || ! command -v ninja >/dev/null || options+=(-G Ninja)
  ! command -v ccache >/dev/null ||
    options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$dir" "${options[@]}" "$@" >/dev/null
}

next install
bash scripts/install-deps.sh

next build
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR_BUILD_BENCH=ON
cmake --build build -j"$jobs"

next "test media"
bash scripts/make-test-media.sh "$root/build/test-media"
bash scripts/make-inband-media.sh "$root/build/inband-media"
eval "$(bash scripts/azurite.sh start "$root/build/azurite")"
trap 'bash scripts/azurite.sh stop "$root/build/azurite"' EXIT

next tests
ctest --test-dir build --output-on-failure -j"$testJobs"
echo "Screenshots of the desktop application: $root/build/gui-screenshots/"

next "sanitizer build"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DVR_SANITIZE=ON -DVR_BUILD_BENCH=OFF \
  -DVR_TEST_MEDIA_DIR="$root/build/test-media" -DVR_INBAND_MEDIA_DIR="$root/build/inband-media"
cmake --build build-asan -j"$jobs"

next "sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$testJobs"
next ""
printf '== %-18s %4d s\n' "total:" $((SECONDS - start))
