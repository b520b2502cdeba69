#!/usr/bin/env bash
# Makes the movies that are repaired without a reference: recordings whose parameter sets
# travel in the stream in front of every keyframe, as action cameras, drones and many
# phones write them, muxed picture by picture by ffmpeg's muxer, with the index lost.
#
#   make-inband-media.sh OUTDIR     (cached: a second run is instant)
#
# Every set leaves <set>.orig.<ext> (the healthy recording, to compare with) and
# <set>.lost.<ext> (the same file ending right after its media data).
# OUTDIR/manifest.txt lists the sets, one a line: <set> <container> <fps> <audio> <repair options...>
# where <fps> is the rate the SPS carries ("-" when it carries none) and <audio> the
# recording's audio ("aac:RATE:CHANNELS", "pcm:RATE:CHANNELS:le" or "none"). The
# "noinband" set keeps its parameter sets only in the index and cannot be repaired alone.
set -euo pipefail

die() { echo "make-inband-media: $*" >&2; exit 1; }
[ $# -eq 1 ] || die "usage: $0 OUTDIR"
command -v ffmpeg >/dev/null || die "ffmpeg is not installed (scripts/install-deps.sh installs it)"
script_path=$(readlink -f "$0")
script_dir=$(dirname "$script_path")
mkdir -p "$1"
out=$(cd "$1" && pwd)

exec 9>"$out/.lock"
flock 9
stamp=$( { sha256sum <"$script_path"; sha256sum <"$script_dir/movie-surgery.py"; ffmpeg -version | head -n1; } | sha256sum | cut -c1-16)
if [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$stamp" ] && [ -f "$out/manifest.txt" ]; then
  touch "$out/.stamp"
  exit 0
fi
rm -f "$out/.stamp"
work="$out/.work"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
surgery() { python3 "$script_dir/movie-surgery.py" "$@"; }

# name container video fps audio [extra repair options]
#   video: x264 (repeated headers), x264chunks (the same in half-second chunks, as action
#   cameras write), x264dump (headers copied to keyframes by a bitstream
#   filter), x264nal2 (repeated headers, 2-byte NAL lengths), x264plain (headers only in the
#   index), x265 (repeated headers, no timing in the SPS), x265t (with timing)
sets=(
  "h264-aac48s mov x264 25 aac:48000:2"
  "h264-aac48s-chunks mov x264chunks 30 aac:48000:2"
  "h264-aac44m mp4 x264dump 25 aac:44100:1"
  "h264-aac48m-nal2 mov x264nal2 30 aac:48000:1"
  "h264-pcm mov x264 25 pcm:48000:2:le --audio pcm:48000:2:le"
  "h265-aac48m mp4 x265 25 aac:48000:1 --fps 25"
  "h265-aac44s mov x265t 30 aac:44100:2"
  "h265-none mp4 x265 30 none"
  "h264-noinband mov x264plain 25 aac:48000:2"
)

make_set() {  # name container video fps audio
  local name=$1 container=$2 video=$3 fps=$4 audio=$5
  local secs=3
  local v=(-c:v libx264 -preset veryfast -pix_fmt yuv420p -threads 1 -g 15 -keyint_min 15 -sc_threshold 0
           -bf 2 -b:v 300k)
  case $video in
    x264|x264nal2) v+=(-x264-params repeat-headers=1) ;;
    x264chunks) v+=(-x264-params repeat-headers=1 -chunk_duration 500000) ;;
    x264dump) v+=(-bsf:v dump_extra=freq=keyframe) ;;
    x265*) local p="keyint=15:min-keyint=15:scenecut=0:pools=1:frame-threads=1:info=0:log-level=error:repeat-headers=1"
           [ "$video" = x265 ] && p+=":no-vui-timing-info=1"
           v=(-c:v libx265 -preset fast -pix_fmt yuv420p -b:v 200k -x265-params "$p" -tag:v hvc1) ;;
  esac
  local a=(-an)
  local rate channels
  case $audio in
    aac:*|pcm:*) IFS=: read -r _ rate channels _ <<<"$audio"
      local wave="0.4*sin(660*2*PI*t)"
      [ "$channels" = 2 ] && wave+="|0.4*sin(990*2*PI*t)"
      a=(-f lavfi -i "aevalsrc=$wave:s=$rate:d=$secs" -map 0:v -map 1:a)
      case $audio in aac:*) a+=(-c:a aac -b:a 64k) ;; *) a+=(-c:a pcm_s16le) ;; esac ;;
  esac
  ff -f lavfi -i "testsrc2=size=192x108:rate=$fps:duration=$secs" "${a[@]}" "${v[@]}" \
     -f "$container" "$work/$name.orig.$container"
  [ "$video" = x264nal2 ] && surgery nalsize "$work/$name.orig.$container" 2
  surgery damage "$work/$name.orig.$container" "$work/$name.lost.$container" "$work/$name.cut" "$work/$name.garbage" 1
  rm -f "$work/$name.cut" "$work/$name.garbage"
}

: >"$work/manifest.txt"
for s in "${sets[@]}"; do
  read -r name container video fps audio extra <<<"$s"
  make_set "$name" "$container" "$video" "$fps" "$audio" &
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n; done
  sps_fps=$fps
  case $video in x265) sps_fps=- ;; esac
  echo "$name $container $sps_fps $audio ${extra:-}" >>"$work/manifest.txt"
done
wait
for s in "${sets[@]}"; do
  read -r name container _ <<<"$s"
  [ -f "$work/$name.lost.$container" ] || die "set $name was not made"
done
mv "$work"/*.mov "$work"/*.mp4 "$out/"
mv "$work/manifest.txt" "$out/manifest.txt"
echo "$stamp" >"$out/.stamp"
echo "make-inband-media: made ${#sets[@]} sets in $out"
