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
# KEEP=1 keeps the big files afterwards.
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
echo "bench-repair: movie $((bytes / 1048576)) MiB"
# Page cache: read the inputs once before timing, with nothing left to write back.
cat "$movie" "$ref" >/dev/null
sync

# Runs a command twice (output removed and written back before each run) and prints the
# faster run: wall seconds, peak resident memory and throughput over the movie's size.
settle() { rm -f "$copy" "$out"; sync; }
timed() {  # label command...
  local label=$1 log best_s="" best_kb=0 secs kb
  shift
  log=$(mktemp)
  for _ in 1 2; do
    settle
    /usr/bin/time -f "%e %M" -o "$log" "$@" >/dev/null
    read -r secs kb <"$log"
    if [ -z "$best_s" ] || awk -v a="$secs" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then
      best_s=$secs
      best_kb=$kb
    fi
  done
  rm -f "$log"
  awk -v l="$label" -v s="$best_s" -v k="$best_kb" -v b="$bytes" \
    'BEGIN { printf "%-12s %8.2f s  %8d KiB peak  %8.1f MB/s\n", l, s, k, (s > 0 ? b / 1e6 / s : 0) }'
}

timed "cp" cp "$movie" "$copy"
timed "cp + sync" sh -c 'cp "$1" "$2" && sync "$2"' sh "$movie" "$copy"
timed "repair" "$build/video-repair" repair "$movie" -r "$ref" -o "$out" --force --quiet

ffprobe -v error -show_entries stream=codec_name,nb_frames,duration -of compact=p=0 "$out" | sed 's/^/bench-repair: repaired /'
