#!/usr/bin/env bash
# Makes a large H.264 movie (with AAC, PCM or no sound, or sound alone) whose index is
# lost, for the benchmarks:
#
#   make-bench-movie.sh OUT SIZE_MB
#
# writes OUT (at least SIZE_MB MiB of media data, file ending right after it) and the
# matching healthy reference OUT.ref.mov (two seconds, same settings, other content).
# One segment of 25 fps video with film-grain-like noise and stereo sound is encoded once
# and repeated with the concat demuxer without re-encoding, so a gigabyte takes about as
# long as copying it.
#
# Camera settings, from the environment:
#   BENCH_RATE_KBIT   video bit rate (default 10000: 10 Mbit/s)
#   BENCH_FRAME       frame size (default 1280x720)
#   BENCH_CHUNK_MS    how much of each stream is written before the other: 0 (the
#                     default) interleaves picture by picture, the worst case for the
#                     repair; cameras write about half a second (500) at a time.
#   BENCH_AUD         1: an access unit delimiter before every picture, as cameras write
#                     them; 0 (the default): none, as ffmpeg's muxer writes x264's output,
#                     so a picture of one slice is a single NAL unit alone in its chunk.
#   BENCH_AUDIO       aac (the default), pcm (16-bit little-endian, "sowt") or none
#   BENCH_VIDEO       1 (the default), or 0 for a movie of sound alone
#   BENCH_NOISE       strength of the noise (default 12); BENCH_IPRATIO how much larger a
#                     keyframe is than the pictures after it (x264's ipratio, default 1.4)
#   BENCH_SEGMENT_S   longest segment encoded, in seconds (default 20)
# OUT.counts gets the pictures and audio frames of the movie before its index was dropped.
# A stamp beside OUT makes a repeated call with the same settings free.
set -euo pipefail

die() { echo "make-bench-movie: $*" >&2; exit 1; }
[ $# -eq 2 ] || die "usage: $0 OUT SIZE_MB"
out=$1
size_mb=$2
if ! [[ $size_mb =~ ^[0-9]+$ ]] || [ "$size_mb" -eq 0 ]; then die "SIZE_MB must be a positive whole number"; fi
command -v ffmpeg >/dev/null || die "ffmpeg is not installed (scripts/install-deps.sh installs it)"

rate_kbit=${BENCH_RATE_KBIT:-10000}
frame=${BENCH_FRAME:-1280x720}
chunk_ms=${BENCH_CHUNK_MS:-0}
aud=${BENCH_AUD:-0}
[[ $rate_kbit =~ ^[0-9]+$ ]] && [ "$rate_kbit" -ge 100 ] || die "BENCH_RATE_KBIT must be a whole number of at least 100"
[[ $frame =~ ^[0-9]+x[0-9]+$ ]] || die "BENCH_FRAME must be WIDTHxHEIGHT"
audio=${BENCH_AUDIO:-aac}
video=${BENCH_VIDEO:-1}
noise=${BENCH_NOISE:-12}
ipratio=${BENCH_IPRATIO:-1.4}
max_segment_s=${BENCH_SEGMENT_S:-20}
[[ $chunk_ms =~ ^[0-9]+$ ]] || die "BENCH_CHUNK_MS must be a whole number"
[[ $audio =~ ^(aac|pcm|none)$ ]] || die "BENCH_AUDIO must be aac, pcm or none"
[[ $video =~ ^[01]$ ]] && [[ $video$audio != 0none ]] || die "BENCH_VIDEO must be 0 or 1, with sound when 0"
[[ $noise =~ ^[0-9]+$ && $max_segment_s =~ ^[1-9][0-9]*$ && $ipratio =~ ^[0-9.]+$ ]] ||
  die "BENCH_NOISE, BENCH_SEGMENT_S and BENCH_IPRATIO must be numbers"

script_path=$(readlink -f "$0")
stamp="$(sha256sum <"$script_path" | cut -c1-16) $size_mb $rate_kbit $frame $chunk_ms $aud $audio $video $noise $ipratio $max_segment_s"
if [ -f "$out" ] && [ -f "$out.ref.mov" ] && [ -f "$out.counts" ] && [ -f "$out.stamp" ] && [ "$(cat "$out.stamp")" = "$stamp" ]; then
  exit 0
fi
rm -f "$out.stamp"

out_dir=$(dirname "$out")
mkdir -p "$out_dir"
avail_mb=$(df --output=avail -BM "$out_dir" | tail -n1 | tr -dc '0-9')
[ "$avail_mb" -gt $((size_mb + size_mb / 10 + 200)) ] || die "not enough space in $out_dir for $size_mb MiB"

work=$(mktemp -d "$out_dir/.bench-movie.XXXXXX")
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

fps=25
# A segment of at most BENCH_SEGMENT_S; shorter when the whole movie is small.
total_kbit=$(( video == 1 ? rate_kbit : 0 ))
case $audio in aac) total_kbit=$((total_kbit + 128)) ;; pcm) total_kbit=$((total_kbit + 1536)) ;; esac
segment_s=$(( (size_mb * 8 * 1024 + total_kbit - 1) / total_kbit + 1 ))
[ "$segment_s" -gt "$max_segment_s" ] && segment_s=$max_segment_s
x264=ipratio=$ipratio
[ "$aud" = 1 ] && x264+=:aud=1
settings=(-c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -g "$fps" -keyint_min "$fps"
          -sc_threshold 0 -bf 0 -b:v "${rate_kbit}k" -maxrate "${rate_kbit}k" -bufsize "$((rate_kbit * 2))k"
          -x264-params "$x264")
case $audio in aac) settings+=(-c:a aac -b:a 128k) ;; pcm) settings+=(-c:a pcm_s16le) ;; none) settings+=(-an) ;; esac
[ "$video" = 0 ] && settings+=(-vn)
encode() {  # out seconds video-source hz
  ff -f lavfi -i "$3=size=$frame:rate=$fps:duration=$2,noise=alls=$noise:allf=t+u" \
     -f lavfi -i "aevalsrc=0.3*sin($4*2*PI*t)|0.3*sin($(($4 * 3 / 2))*2*PI*t):s=48000:d=$2" \
     "${settings[@]}" -f mov "$1"
}

start=$(date +%s)
encode "$work/segment.mov" "$segment_s" testsrc2 660
encode "$work/ref.mov" 2 testsrc 440

segment_bytes=$(stat -c %s "$work/segment.mov")
copies=$(( (size_mb * 1024 * 1024 + segment_bytes - 1) / segment_bytes ))
[ "$copies" -ge 1 ] || copies=1
for ((i = 0; i < copies; i++)); do echo "file 'segment.mov'"; done >"$work/list.txt"
interleave=()
[ "$chunk_ms" -gt 0 ] && interleave=(-chunk_duration "$((chunk_ms * 1000))")
ff -f concat -safe 0 -i "$work/list.txt" -map 0 -c copy "${interleave[@]}" -f mov "$work/movie.mov"

count() {
  local n
  n=$(ffprobe -v error -select_streams "$1" -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$work/movie.mov" | head -n1)
  echo "${n:-0}"
}
echo "$(count v) $(count a)" >"$work/counts"

# Drop everything after the media data, as a camera does when it loses power.
python3 "$(dirname "$script_path")/movie-surgery.py" cutmoov "$work/movie.mov"

mv "$work/counts" "$out.counts"
mv "$work/ref.mov" "$out.ref.mov"
mv "$work/movie.mov" "$out"
echo "$stamp" >"$out.stamp"
echo "make-bench-movie: $out: $(( $(stat -c %s "$out") / 1024 / 1024 )) MiB, $frame at $rate_kbit kbit/s, chunks ${chunk_ms} ms, $copies x ${segment_s} s, in $(( $(date +%s) - start )) s"
