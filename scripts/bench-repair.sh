#!/usr/bin/env bash
# Times a whole repair of a large camera-like movie whose index is lost, next to a plain
# copy of the same file, with peak memory:
#
#   bench-repair.sh [SIZE_MB]        (default 1100)
#
# The movie and its reference come from make-bench-movie.sh: H.264 + AAC, 1280x720, 25 fps,
# 10 Mbit/s with film-grain-like noise, an access unit delimiter before every picture as a
# camera writes it, everything after the media data dropped. Both timings run with the file
# in the page cache; the repair forces its output to disk once at the end, so the copy is
# timed both alone and followed by a sync.
#
# Environment: BUILD_DIR (default build-bench), WORK_DIR (default $BUILD_DIR/bench-repair),
# KEEP=1 keeps the big files afterwards; BENCH_RATE_KBIT, BENCH_FRAME, BENCH_CHUNK_MS and BENCH_AUD
# choose the camera settings (see make-bench-movie.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${1:-1100}
build=${BUILD_DIR:-build-bench}
work=${WORK_DIR:-$build/bench-repair}
[[ $size_mb =~ ^[0-9]+$ ]] && [ "$size_mb" -gt 0 ] || { echo "usage: $0 [SIZE_MB]" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "bench-repair: ffmpeg is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench-repair: /usr/bin/time is not installed" >&2; exit 1; }

build_log=$(mktemp)
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVR_BUILD_TESTS=OFF &&
       cmake --build "$build" --target video-repair -j"$(nproc)"; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  exit 1
fi
rm -f "$build_log"
mkdir -p "$work"
work=$(cd "$work" && pwd)
movie=$work/movie.mov
out=$work/repaired.mov
copy=$work/copy.mov
cleanup() {
  rm -f "$copy" "$out"
  if [ "${KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

# make-bench-movie.sh keeps a movie of the same size (its stamp says so) and makes it otherwise.
bash scripts/make-bench-movie.sh "$movie" "$size_mb"
ref=$movie.ref.mov

bytes=$(stat -c %s "$movie")
echo "bench-repair: movie $((bytes / 1048576)) MiB, ${BENCH_FRAME:-1280x720} at ${BENCH_RATE_KBIT:-10000} kbit/s, chunks ${BENCH_CHUNK_MS:-0} ms, delimiters ${BENCH_AUD:-0}"
# Page cache: read the inputs once before timing, with nothing left to write back.
cat "$movie" "$ref" >/dev/null
sync

# Runs a command REPS times (default 5; output removed and written back before each run)
# and prints the fastest and the median run: wall seconds, peak resident memory of the
# fastest, throughput over the movie's size. On a virtual machine the time to fill fresh
# page-cache pages varies from run to run by a factor of up to five (the host backs them
# anew), for the copy as much as for the repair; the fastest run is the one to compare.
reps=${REPS:-5}
[[ $reps =~ ^[0-9]+$ ]] && [ "$reps" -ge 1 ] || { echo "bench-repair: REPS must be a positive whole number" >&2; exit 2; }
settle() { rm -f "$copy" "$out"; sync; sleep 0.5; }
timed() {  # label command...
  local label=$1 log runs=()
  shift
  log=$(mktemp)
  for ((r = 0; r < reps; r++)); do
    settle
    /usr/bin/time -f "%e %M" -o "$log" "$@" >/dev/null
    runs+=("$(cat "$log")")
  done
  rm -f "$log"
  printf '%s\n' "${runs[@]}" | sort -n | awk -v l="$label" -v b="$bytes" '
    { s[NR] = $1; k[NR] = $2 }
    END {
      m = s[int((NR + 1) / 2)]
      printf "%-12s %8.2f s  (median %.2f s)  %8d KiB peak  %8.1f MB/s\n", l, s[1], m, k[1], (s[1] > 0 ? b / 1e6 / s[1] : 0)
    }'
}

timed "cp" cp "$movie" "$copy"
timed "cp + sync" sh -c 'cp "$1" "$2" && sync "$2"' sh "$movie" "$copy"
timed "repair" "$build/video-repair" repair "$movie" -r "$ref" -o "$out" --force --quiet

ffprobe -v error -show_entries stream=codec_name,nb_frames,duration -of compact=p=0 "$out" | sed 's/^/bench-repair: repaired /'
