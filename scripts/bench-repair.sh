#!/usr/bin/env bash
# Times a whole repair of a large camera-like movie whose index is lost, next to a plain
# copy of the same file, with peak memory:
#
#   bench-repair.sh [SIZE_MB]        (default 1100)
#
# The movie is H.264 + AAC, 1280x720, 25 fps, 10 Mbit/s with film-grain-like noise; like a
# camera's, every picture starts with an access unit delimiter. (The scan takes runs of two
# NAL units or more, and ffmpeg's muxer writes one picture per chunk, so a movie without
# delimiters would leave it nothing to find.) One segment is encoded and repeated without
# re-encoding, then everything after the media data is dropped. Both timings run with the
# file in the page cache; the repair forces its output to disk once at the end, so the copy
# is timed both alone and followed by a sync.
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
ref=$work/reference.mov
out=$work/repaired.mov
copy=$work/copy.mov
cleanup() {
  rm -f "$copy" "$out"
  if [ "${KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
rate_kbit=10000
fps=25
settings=(-c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -g "$fps" -keyint_min "$fps"
          -sc_threshold 0 -bf 0 -b:v "${rate_kbit}k" -maxrate "${rate_kbit}k" -bufsize "$((rate_kbit * 2))k"
          -x264-params aud=1 -c:a aac -b:a 128k)
encode() {  # out seconds video-source hz
  ff -f lavfi -i "$3=size=1280x720:rate=$fps:duration=$2,noise=alls=12:allf=t+u" \
     -f lavfi -i "aevalsrc=0.3*sin($4*2*PI*t)|0.3*sin($(($4 * 3 / 2))*2*PI*t):s=48000:d=$2" \
     "${settings[@]}" -f mov "$1"
}

if [ ! -f "$movie" ] || [ "$(( $(stat -c %s "$movie") / 1048576 ))" -lt "$size_mb" ]; then
  echo "bench-repair: making a ${size_mb} MiB camera-like movie in $work"
  encode "$work/segment.mov" 20 testsrc2 660
  encode "$ref" 2 testsrc 440
  segment_bytes=$(stat -c %s "$work/segment.mov")
  copies=$(( (size_mb * 1048576 + segment_bytes - 1) / segment_bytes ))
  for ((i = 0; i < copies; i++)); do echo "file 'segment.mov'"; done >"$work/list.txt"
  ff -f concat -safe 0 -i "$work/list.txt" -map 0 -c copy -f mov "$movie"
  rm -f "$work/segment.mov" "$work/list.txt"
  # Drop everything after the media data, as a camera does when it loses power.
  python3 - "$movie" <<'EOF'
import os, struct, sys
with open(sys.argv[1], "r+b") as f:
    total, pos = os.fstat(f.fileno()).st_size, 0
    while pos + 8 <= total:
        f.seek(pos)
        hdr = f.read(16)
        size, typ = struct.unpack(">I4s", hdr[:8])
        head = 8
        if size == 1:
            size, head = struct.unpack(">Q", hdr[8:16])[0], 16
        elif size == 0:
            size = total - pos
        if size < head:
            sys.exit("bad atom size at %d" % pos)
        if typ == b"mdat":
            f.truncate(pos + size)
            sys.exit(0)
        pos += size
sys.exit("no mdat")
EOF
fi

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
