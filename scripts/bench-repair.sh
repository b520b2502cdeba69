#!/usr/bin/env bash
# Times whole repairs of movies whose index is lost, next to a plain copy of the same file
# (alone, followed by a sync, and written straight to the disk past the page cache, since
# the repair forces its output to disk before it reports completion), and prints one table:
#
#   bench-repair.sh [KIND...]          (default: every kind, in the order below)
#
#   pbp          1 GB 1080p H.264 + AAC at 16 Mbit/s, picture by picture, no delimiters
#                (as ffmpeg's muxer writes x264's output)
#   camera       1 GB 1080p H.264 + AAC at 50 Mbit/s, half-second chunks, a delimiter
#                before every picture (as cameras write)
#   hbr-pbp      1 GB 4K H.264 + AAC at 150 Mbit/s with keyframes of 4-6 MB, picture by picture
#   hbr-camera   the same in half-second chunks
#   random       200 MB of random bytes (repaired with the pbp reference)
#   video-only   200 MB 1080p H.264 without sound, picture by picture
#   audio-only   200 MB of AAC alone (repaired with the pbp reference, whose sound is alike)
#   pcm          200 MB 1080p H.264 + 16-bit PCM, picture by picture
#
# Columns: input, size, fastest repair of REPS (default 3) in seconds and the processor
# seconds it used (what counts when other work shares the machine), MB/s, repair time
# over cp, over cp + sync and over a copy written to the disk directly (dd with direct
# output: the least time in which the disk takes the bytes), pictures in the repaired file
# over those of the movie before its index was lost, peak resident memory of the repair,
# smallest and largest keyframe of the repaired file in MB.
# Every run starts with the input in the page cache and nothing left to write back.
#
# Environment: BUILD_DIR (default build-bench), WORK_DIR (default $BUILD_DIR/bench-repair),
# BIG_MB / SMALL_MB (default 1024 / 200) the sizes, KEEP=1 keeps the movies afterwards
# (about 4.8 GB), REPS the runs per command.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-bench}
work=${WORK_DIR:-$build/bench-repair}
big=${BIG_MB:-1024}
small=${SMALL_MB:-200}
reps=${REPS:-3}
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(pbp camera hbr-pbp hbr-camera random video-only audio-only pcm)
[[ $reps =~ ^[1-9][0-9]*$ && $big =~ ^[1-9][0-9]*$ && $small =~ ^[1-9][0-9]*$ ]] ||
  { echo "bench-repair: REPS, BIG_MB and SMALL_MB must be positive whole numbers" >&2; exit 2; }
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
out=$work/repaired.mov
copy=$work/copy.mov
cleanup() {
  rm -f "$copy" "$out"
  if [ "${KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

# Makes the movie of a kind (kept while its settings are unchanged) and names it in $movie.
make_kind() {
  local hd=(BENCH_FRAME=1920x1080 BENCH_RATE_KBIT=16000) hbr=(BENCH_FRAME=3840x2160 BENCH_RATE_KBIT=150000
            BENCH_NOISE=30 BENCH_IPRATIO=4 BENCH_SEGMENT_S=4)
  movie=$work/$1.mov
  case $1 in
    pbp) env "${hd[@]}" bash scripts/make-bench-movie.sh "$movie" "$big" ;;
    camera) env "${hd[@]}" BENCH_RATE_KBIT=50000 BENCH_CHUNK_MS=500 BENCH_AUD=1 \
              bash scripts/make-bench-movie.sh "$movie" "$big" ;;
    hbr-pbp) env "${hbr[@]}" bash scripts/make-bench-movie.sh "$movie" "$big" ;;
    hbr-camera) env "${hbr[@]}" BENCH_CHUNK_MS=500 BENCH_AUD=1 bash scripts/make-bench-movie.sh "$movie" "$big" ;;
    video-only) env "${hd[@]}" BENCH_AUDIO=none bash scripts/make-bench-movie.sh "$movie" "$small" ;;
    pcm) env "${hd[@]}" BENCH_AUDIO=pcm bash scripts/make-bench-movie.sh "$movie" "$small" ;;
    audio-only) env BENCH_VIDEO=0 BENCH_FRAME=320x240 bash scripts/make-bench-movie.sh "$movie" "$small"
                make_kind pbp
                movie=$work/audio-only.mov
                cp "$work/pbp.mov.ref.mov" "$movie.ref.mov" ;;
    random)
      make_kind pbp
      movie=$work/random.mov
      if [ ! -f "$movie" ] || [ "$(stat -c %s "$movie")" != $((small << 20)) ]; then
        head -c $((small << 20)) /dev/urandom >"$movie"
      fi
      cp "$work/pbp.mov.ref.mov" "$movie.ref.mov"
      echo "0 0" >"$movie.counts" ;;
    *) echo "bench-repair: unknown kind $1" >&2; exit 2 ;;
  esac
}

# Runs a command REPS times (output removed and written back before each run) and prints
# the fastest run's wall seconds, peak resident KiB and user and system seconds. On a
# virtual machine the time to fill fresh page-cache pages varies from run to run by a
# factor of up to five: the fastest run is the one to compare.
settle() { rm -f "$copy" "$out"; sync; sleep 0.5; }
fastest() {
  local log best="" r
  log=$(mktemp)
  for ((r = 0; r < reps; r++)); do
    settle
    /usr/bin/time -f "%e %M %U %S" -o "$log" "$@" >/dev/null 2>&1 || true
    best=$(printf '%s\n%s\n' "$best" "$(tail -n1 "$log")" | sed '/^$/d' | sort -n | head -n1)
  done
  rm -f "$log"
  echo "$best"
}

printf '%-11s %7s %8s %6s %8s %6s %8s %6s %13s %8s %9s\n' input MB "repair s" "cpu s" "MB/s" "÷cp" "÷cp+sync" "÷dd" \
  pictures "peak MiB" "keys MB"
for kind in "${kinds[@]}"; do
  make_kind "$kind" >&2
  ref=$movie.ref.mov
  bytes=$(stat -c %s "$movie")
  cat "$movie" "$ref" >/dev/null
  read -r cp_s _ <<<"$(fastest cp "$movie" "$copy")"
  read -r cps_s _ <<<"$(fastest sh -c 'cp "$1" "$2" && sync "$2"' sh "$movie" "$copy")"
  read -r dd_s _ <<<"$(fastest dd if="$movie" of="$copy" bs=16M oflag=direct status=none)"
  read -r rep_s rep_kib rep_user rep_sys <<<"$(fastest "$build/video-repair" repair "$movie" -r "$ref" -o "$out" --force --quiet)"
  # The last repair's output is still there: its pictures and the sizes of its keyframes.
  read -r orig _ <"$movie.counts"
  packets=$( [ ! -f "$out" ] || ffprobe -v error -select_streams v -show_entries packet=size,flags -of csv=p=0 "$out" 2>/dev/null)
  awk -F, -v k="$kind" -v b="$bytes" -v r="$rep_s" -v cpu="$(awk "BEGIN { print $rep_user + $rep_sys }")" -v c="$cp_s" -v cs="$cps_s" -v d="$dd_s" -v o="$orig" -v m="$rep_kib" '
    function q(x, y) { return y > 0 ? x / y : 0 }
    NF { ++g; if ($2 ~ /K/) { lo = (lo == "" || $1 < lo) ? $1 : lo; hi = $1 > hi ? $1 : hi } }
    END { printf "%-11s %7.0f %8.2f %6.2f %8.0f %6.2f %8.2f %6.2f %13s %8.0f %4.1f-%.1f\n", k, b / 1e6, r, cpu, q(b / 1e6, r),
                 q(r, c), q(r, cs), q(r, d), g + 0 "/" o, m / 1024, lo / 1e6, hi / 1e6 }' <<<"$packets"
  rm -f "$out" "$copy"
  [ "${KEEP:-0}" = 1 ] || [ "$kind" = pbp ] || rm -f "$movie" "$movie".*
done
