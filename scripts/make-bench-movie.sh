#!/usr/bin/env bash
# Makes a large camera-like H.264 + AAC movie whose index is lost, for the benchmarks:
#
#   make-bench-movie.sh OUT SIZE_MB
#
# writes OUT (at least SIZE_MB MiB of media data, file ending right after it) and the
# matching healthy reference OUT.ref.mov (two seconds, same settings, other content).
# One segment of 1280x720, 25 fps, 10 Mbit/s video with film-grain-like noise is encoded
# once and repeated with the concat demuxer without re-encoding, so a gigabyte takes about
# as long as copying it. Like a camera's, every picture starts with an access unit
# delimiter: the repair takes runs of two NAL units or more, and the muxer writes one
# picture per chunk between the audio, so a movie without delimiters would leave it
# nothing to find. A stamp beside OUT makes a repeated call with the same size free.
set -euo pipefail

die() { echo "make-bench-movie: $*" >&2; exit 1; }
[ $# -eq 2 ] || die "usage: $0 OUT SIZE_MB"
out=$1
size_mb=$2
if ! [[ $size_mb =~ ^[0-9]+$ ]] || [ "$size_mb" -eq 0 ]; then die "SIZE_MB must be a positive whole number"; fi
command -v ffmpeg >/dev/null || die "ffmpeg is not installed (scripts/install-deps.sh installs it)"

script_path=$(readlink -f "$0")
stamp="$(sha256sum <"$script_path" | cut -c1-16) $size_mb"
if [ -f "$out" ] && [ -f "$out.ref.mov" ] && [ -f "$out.stamp" ] && [ "$(cat "$out.stamp")" = "$stamp" ]; then
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

rate_kbit=10000
fps=25
# A segment of at most 20 s; shorter when the whole movie is small.
segment_s=$(( (size_mb * 8 * 1024 + rate_kbit - 1) / rate_kbit + 1 ))
[ "$segment_s" -gt 20 ] && segment_s=20
settings=(-c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -g "$fps" -keyint_min "$fps"
          -sc_threshold 0 -bf 0 -b:v "${rate_kbit}k" -maxrate "${rate_kbit}k" -bufsize "$((rate_kbit * 2))k"
          -x264-params aud=1 -c:a aac -b:a 128k)
encode() {  # out seconds video-source hz
  ff -f lavfi -i "$3=size=1280x720:rate=$fps:duration=$2,noise=alls=12:allf=t+u" \
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
ff -f concat -safe 0 -i "$work/list.txt" -map 0 -c copy -f mov "$work/movie.mov"

# Drop everything after the media data, as a camera does when it loses power.
python3 "$(dirname "$script_path")/movie-surgery.py" cutmoov "$work/movie.mov"

mv "$work/ref.mov" "$out.ref.mov"
mv "$work/movie.mov" "$out"
echo "$stamp" >"$out.stamp"
echo "make-bench-movie: $out: $(( $(stat -c %s "$out") / 1024 / 1024 )) MiB, $copies x ${segment_s} s, in $(( $(date +%s) - start )) s"
