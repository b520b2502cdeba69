#!/usr/bin/env bash
# Makes the real movies the test suites repair and parse, with Debian's ffmpeg.
#
#   make-test-media.sh OUTDIR            the test set (cached: a second run is instant)
#   make-test-media.sh --samples DIR     the demo pair DIR/reference.mov and DIR/damaged.mov
#
# Every set is one camera setting: a short healthy reference (<set>.ref.<ext>), a longer
# recording with other content (<set>.orig.<ext>) and three damaged copies of the
# recording as cameras leave them:
#   <set>.lost.<ext>     the index is lost: the file ends right after the media data
#   <set>.cut.<ext>      the recording stopped early: cut at 60 % of the media-data payload
#   <set>.garbage.<ext>  the .lost copy with 64 KiB of fixed-seed random bytes written over
#                        the middle of the media-data payload
# OUTDIR/manifest.txt lists the sets, one a line: <set> <codec> <audio> <container> <variant>.
# OUTDIR/phones-manifest.txt lists, in the same form, sets laid out as phones and action
# cameras write (see the phone sets below).
#
# Files for the movie-file-model tests (healthy unless named otherwise):
#   faststart.mov           the index before the media data
#   mdat64.mov              the media data under a 16-byte header with a 64-bit size
#   moovtext.mov            "moov" (after a plausible size) inside the media data, followed
#                           by text that is no child atom type
#   moovtext-badmdat.mov    the same with the media-data type overwritten, so a scan walks
#                           through the media bytes
#   big-damaged-mdat.mov    more than 100 windows of 65535 bytes, media-data type
#                           overwritten, index at the end
# A stamp with a hash of this script marks a complete set; it is written last.
set -euo pipefail

die() { echo "make-test-media: $*" >&2; exit 1; }
usage() { die "usage: $0 OUTDIR | --samples DIR"; }

mode=media
if [ "${1:-}" = "--samples" ]; then
  mode=samples
  shift
fi
[ $# -eq 1 ] || usage
out=$1
command -v ffmpeg >/dev/null || die "ffmpeg is not installed (scripts/install-deps.sh installs it)"
command -v python3 >/dev/null || die "python3 is not installed"

script_path=$(readlink -f "$0")
script_dir=$(dirname "$script_path")
mkdir -p "$out"
out=$(cd "$out" && pwd)

# ---------------------------------------------------------------------------------------
# Byte surgery on finished movies (movie-surgery.py). Top-level atoms are walked with their
# 32- or 64-bit sizes; every change keeps the chunk offsets of the index valid unless it is
# meant to break the file.
surgery() { python3 "$script_dir/movie-surgery.py" "$@"; }

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# Camera-like encoder settings: fixed GOP of 15, no scene-cut keyframes, no B-frames
# unless a variant asks for them, constant-ish bit rate. Like a camera's, every picture
# starts with an access unit delimiter, so even a chunk of a single picture (the muxer
# writes one picture per chunk when audio is interleaved) holds two NAL units or more.
# H.264 keeps its parameter sets in the sample description except in the in-band variant;
# H.265 repeats them before every IDR picture, as cameras do, but without x265's banner SEI
# (kilobytes of encoder settings, which no camera writes and the scan does not take).
#
# The "mux" variants are written the way editors, screen recorders and conversion tools
# write through ffmpeg's muxer by default: no delimiters and parameter sets only in the
# sample description, so a picture of one slice is a single NAL unit alone in its chunk
# between two pieces of audio. muxbf adds B-frames, muxgop repeats SPS/PPS in front of
# every IDR picture, muxmono has single-channel AAC. The hirate variants hold 1080p
# keyframes of several megabytes (a still noise picture coded almost losslessly), in
# half-second chunks (hirate) and picture by picture (hiratemux). mux2 and mux1 store the
# pictures with 2-byte and 1-byte NAL length prefixes (rewritten after muxing); mux2 records
# like mux, while mux1 needs every NAL unit under 256 bytes: H.264 slices of at most 200
# bytes without x264's settings SEI, H.265 in twelve slices of 16x16 blocks at the coarsest
# quantiser.
x264_args() {  # $1 = variant
  local a=(-c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -threads 1
           -g 15 -keyint_min 15 -sc_threshold 0)
  case $1 in
    hirate*) a=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p -threads 1 -g 8 -keyint_min 8
                -sc_threshold 0 -qp 4) ;;
    *) a+=(-b:v 400k -maxrate 500k -bufsize 500k) ;;
  esac
  case $1 in
    bframes|muxbf) a+=(-bf 2) ;;
    *) a+=(-bf 0) ;;
  esac
  case $1 in
    inband) a+=(-x264-params aud=1:repeat-headers=1) ;;
    mux1) a+=(-x264-params slice-max-size=200 -bsf:v filter_units=remove_types=6) ;;
    short) a+=(-g 1000 -keyint_min 1) ;;
    slices) a+=(-slices 4 -x264-params aud=1) ;;
    muxgop) a+=(-x264-params repeat-headers=1) ;;
    mux*|hirate*|short|vfr) ;;
    *) a+=(-x264-params aud=1) ;;
  esac
  printf '%s\n' "${a[@]}"
}
x265_args() {  # $1 = variant
  local p="keyint=15:min-keyint=15:scenecut=0:pools=1:frame-threads=1:info=0:log-level=error"
  case $1 in
    muxbf) p+=":bframes=3" ;;
    mux1) p+=":bframes=0:ctu=16:slices=12:qp=51" ;;
    mux*) p+=":bframes=0" ;;
    short) p="keyint=1000:min-keyint=1:scenecut=0:pools=1:frame-threads=1:info=0:log-level=error:bframes=0" ;;
    *) p+=":bframes=0:aud=1:repeat-headers=1" ;;
  esac
  printf '%s\n' -c:v libx265 -preset fast -pix_fmt yuv420p -b:v 300k -x265-params "$p"
}

# Runs jobs in the background, at most one per core; a failed job leaves a marker and
# its log in the work folder.
max_jobs=$(nproc 2>/dev/null || echo 2)
job() {  # name command...
  local name=$1
  shift
  while [ "$(jobs -rp | wc -l)" -ge "$max_jobs" ]; do wait -n || true; done
  ( "$@" >"$work/$name.log" 2>&1 || touch "$work/$name.failed" ) &
}
drain() {
  wait
  local f failed=0
  for f in "$work"/*.failed; do
    [ -e "$f" ] || continue
    failed=1
    echo "make-test-media: step $(basename "$f" .failed) failed:" >&2
    cat "${f%.failed}.log" >&2 || true
  done
  [ $failed -eq 0 ] || exit 1
}

# Video-only recordings with the given settings and content.
encode_video() {  # out codec variant size fps seconds source
  local dst=$1 codec=$2 variant=$3 size=$4 fps=$5 secs=$6 src=$7 args
  if [ "$codec" = h264 ]; then mapfile -t args < <(x264_args "$variant"); else mapfile -t args < <(x265_args "$variant"); fi
  if [ "$variant" = hirate ]; then
    # One noise picture, held: keyframes of about 3.5 MB, P pictures of a few bytes.
    local seed=3
    [ "$src" = testsrc2 ] && seed=7
    ff -f lavfi -i "color=gray:s=1920x1080:r=$fps:d=1,noise=alls=60:allf=u:all_seed=$seed,format=yuv420p" \
       -frames:v 1 "$dst.png"
    ff -loop 1 -framerate "$fps" -i "$dst.png" -t "$secs" "${args[@]}" -an "$dst"
    rm -f "$dst.png"
    return
  fi
  if [ "$variant" = vfr ]; then
    # 12 pictures at 15 fps, then 12 at 30 fps, and so on: on average 20 fps.
    local n
    n=$(python3 -c "print(round($secs * 20))")
    ff -f lavfi -i "$src=size=$size:rate=$fps,trim=end_frame=$n,settb=1/600,setpts='if(eq(N,0),0,PREV_OUTPTS+if(lt(mod(N,24),12),1/15,1/30)/TB)'" \
       -fps_mode vfr "${args[@]}" -an -video_track_timescale 600 "$dst"
    return
  fi
  ff -f lavfi -i "$src=size=$size:rate=$fps:duration=$secs" "${args[@]}" -an "$dst"
}

# Subtitle tracks standing in for an action camera's further tracks: telemetry of
# variable size once a second, and a 16-byte descriptor sample every 40 ms.
make_srt() {  # out kind seconds
  python3 - "$@" <<'PY'
import sys
out, kind, secs = sys.argv[1], sys.argv[2], float(sys.argv[3])
def ts(t):
    ms = int(round(t * 1000))
    return "%02d:%02d:%02d,%03d" % (ms // 3600000, ms // 60000 % 60, ms // 1000 % 60, ms % 1000)
step = 1.0 if kind == "tele" else 0.04
with open(out, "w") as f:
    for i in range(int(round(secs / step))):
        text = "GPS %d %s" % (i, "x" * (7 * i + 3)) if kind == "tele" else "DESC%010d" % i
        f.write("%d\n%s --> %s\n%s\n\n" % (i + 1, ts(i * step), ts((i + 1) * step), text))
PY
}

# Muxes a recorded video track with freshly encoded audio of the given kind.
mux() {  # out container codec audio variant video seconds hz [extra output options...]
  local dst=$1 container=$2 codec=$3 audio=$4 variant=$5 video=$6 secs=$7 hz=$8
  shift 8
  local a=(-i "$video") o=(-map 0:v)
  local stereo="aevalsrc=0.4*sin($hz*2*PI*t)|0.4*sin($((hz * 3 / 2))*2*PI*t):s=48000:d=$secs"
  local mono="aevalsrc=0.4*sin($hz*2*PI*t):s=48000:d=$secs"
  case $audio in
    aac)  if [ "$variant" = mono ] || [ "$variant" = muxmono ]; then
            a+=(-f lavfi -i "$mono") o+=(-map 1:a -c:a aac -b:a 64k)
          else
            a+=(-f lavfi -i "$stereo") o+=(-map 1:a -c:a aac -b:a 128k)
          fi ;;
    sowt) a+=(-f lavfi -i "$stereo") o+=(-map 1:a -c:a pcm_s16le) ;;
    twos) a+=(-f lavfi -i "$mono") o+=(-map 1:a -c:a pcm_s16be) ;;
  esac
  o+=(-c:v copy)
  case $variant in
    extra) make_srt "$dst.tele.srt" tele "$secs"
           make_srt "$dst.desc.srt" desc "$secs"
           a+=(-i "$dst.tele.srt" -i "$dst.desc.srt") o+=(-map 2 -map 3 -c:s mov_text) ;;
    # A phone's motion photo: a still-image track beside the recording.
    twovideo) a+=(-f lavfi -i "testsrc=size=160x120:rate=1:duration=$secs") o+=(-map 2:v -c:v:1 mjpeg) ;;
    vfr) o+=(-chunk_duration 200000) ;;
  esac
  [ "$codec" = h265 ] && o+=(-tag:v:0 hvc1)
  case $variant in tmcd|extra) o+=(-timecode 01:00:00:00) ;; esac
  [ "$variant" = hirate ] && o+=(-chunk_duration 500000)
  ff "${a[@]}" "${o[@]}" "$@" -f "$container" "$dst"
}

# ---------------------------------------------------------------------------------------
if [ "$mode" = samples ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/vr-samples.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  # A 640x360, 25 fps clip of moderate bit rate: a short reference and a six-second
  # recording with other content, like two clips from one camera (access unit delimiters
  # included, as in the test set).
  settings=(-c:v libx264 -preset medium -profile:v high -pix_fmt yuv420p -threads 1 -g 25 -keyint_min 25
            -sc_threshold 0 -bf 0 -b:v 600k -maxrate 800k -bufsize 1200k -x264-params aud=1
            -c:a aac -b:a 96k)
  ff -f lavfi -i "testsrc2=size=640x360:rate=25:duration=2" \
     -f lavfi -i "aevalsrc=0.3*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=48000:d=2" \
     "${settings[@]}" -f mov "$work/reference.mov"
  ff -f lavfi -i "mandelbrot=size=640x360:rate=25:end_scale=0.05:end_pts=300,trim=duration=6" \
     -f lavfi -i "aevalsrc=0.3*sin(330*2*PI*t)*(1+0.5*sin(2*PI*t))|0.3*sin(495*2*PI*t):s=48000:d=6" \
     "${settings[@]}" -f mov "$work/recording.mov"
  surgery cutmoov "$work/recording.mov"
  mv "$work/reference.mov" "$out/reference.mov"
  mv "$work/recording.mov" "$out/damaged.mov"
  ls -l "$out/reference.mov" "$out/damaged.mov"
  exit 0
fi

# ---------------------------------------------------------------------------------------
# Test set. Concurrent callers (test programs that make the media on demand) wait for
# each other; the first one builds, the others find the stamp.
exec 9>"$out/.lock"
flock 9

stamp=$( { sha256sum <"$script_path"; sha256sum <"$script_dir/movie-surgery.py"; ffmpeg -version | head -n1; } | sha256sum | cut -c1-16)
# Complete when the stamp matches and no listed file has gone missing since.
complete() {
  [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$stamp" ] && [ -f "$out/manifest.txt" ] || return 1
  local name container f
  while read -r name _ _ container _; do
    for f in ref orig lost cut garbage; do [ -f "$out/$name.$f.$container" ] || return 1; done
  done < <(cat "$out/manifest.txt" "$out/phones-manifest.txt" 2>/dev/null)
  [ -f "$out/phones-manifest.txt" ] || return 1
  for f in faststart mdat64 moovtext moovtext-badmdat big-damaged-mdat; do [ -f "$out/$f.mov" ] || return 1; done
}
if complete; then
  touch "$out/.stamp"  # newer than the script: test programs then skip calling it
  exit 0
fi
rm -f "$out/.stamp"
work="$out/.work"
rm -rf "$work"
mkdir -p "$work/video"
trap 'rm -rf "$work"' EXIT
start=$(date +%s)

# set codec audio container variant
sets=(
  "h264-aac-mov h264 aac mov plain"
  "h264-sowt-mov h264 sowt mov plain"
  "h264-twos-mov h264 twos mov plain"
  "h264-none-mov h264 none mov plain"
  "h264-aac-mp4 h264 aac mp4 plain"
  "h264-none-mp4 h264 none mp4 plain"
  "h265-aac-mov h265 aac mov plain"
  "h265-sowt-mov h265 sowt mov plain"
  "h265-twos-mov h265 twos mov plain"
  "h265-none-mov h265 none mov plain"
  "h265-aac-mp4 h265 aac mp4 plain"
  "h265-none-mp4 h265 none mp4 plain"
  "h264-aac-mov-inband h264 aac mov inband"
  "h264-aac-mov-slices h264 aac mov slices"
  "h264-aac-mov-bframes h264 aac mov bframes"
  "h264-aac-mov-tmcd h264 aac mov tmcd"
  "h264-aac-mp4-mono h264 aac mp4 mono"
  "h264-aac-mov-mux h264 aac mov mux"
  "h264-aac-mp4-muxbf h264 aac mp4 muxbf"
  "h264-aac-mov-muxgop h264 aac mov muxgop"
  "h264-aac-mp4-muxmono h264 aac mp4 muxmono"
  "h264-sowt-mov-mux h264 sowt mov mux"
  "h264-twos-mov-mux h264 twos mov mux"
  "h265-aac-mp4-mux h265 aac mp4 mux"
  "h265-aac-mov-muxbf h265 aac mov muxbf"
  "h265-sowt-mov-mux h265 sowt mov mux"
  "h264-aac-mov-mux2 h264 aac mov mux2"
  "h264-aac-mov-mux1 h264 aac mov mux1"
  "h265-aac-mp4-mux2 h265 aac mp4 mux2"
  "h265-aac-mp4-mux1 h265 aac mp4 mux1"
  "h264-aac-mov-hirate h264 aac mov hirate"
  "h264-aac-mov-hiratemux h264 aac mov hiratemux"
)
# Phone and action-camera layouts: all audio in front of the video (audiofirst); a
# timecode, a telemetry and a descriptor track between the chunks (extra); a still-image
# track beside the recording (twovideo); an H.264 prefix unit in front of every slice
# (prefix); clips of a few pictures with a single keyframe (short); variable frame rate,
# five or six pictures a chunk (vfr).
phone_sets=(
  "h264-aac-mov-audiofirst h264 aac mov audiofirst"
  "h264-twos-mov-audiofirst h264 twos mov audiofirst"
  "h264-aac-mov-extra h264 aac mov extra"
  "h264-aac-mov-twovideo h264 aac mov twovideo"
  "h264-aac-mov-prefix h264 aac mov prefix"
  "h264-aac-mov-short h264 aac mov short"
  "h265-aac-mp4-short h265 aac mp4 short"
  "h264-aac-mov-vfr h264 aac mov vfr"
)

# H.264 at 320x240, 25 fps; H.265 at 320x180 (not a multiple of 16), 30 fps. AAC and
# "sowt" PCM are stereo (AAC mono in the mono variant), "twos" PCM is mono; all audio is
# 48 kHz.
geometry() { if [ "$1" = h264 ]; then echo "320x240 25"; else echo "320x180 30"; fi; }
# The tmcd and mono variants record video like the plain one; the timecode is added by the
# muxer, the mono variant has single-channel AAC. muxmono and mux2 record like mux,
# hiratemux like hirate: only the audio, the interleaving or the length prefixes differ.
video_kind() {
  case $2 in
    tmcd|mono|extra) echo "$1-plain" ;;
    muxmono|mux2|audiofirst|twovideo|prefix) echo "$1-mux" ;;
    hiratemux) echo "$1-hirate" ;;
    *) echo "$1-$2" ;;
  esac
}
# Seconds of the reference and of the recording; the high-rate recordings are short.
durations() {
  case ${1#*-} in
    hirate) echo "0.32 0.64" ;;
    short) echo "0.2 0.6" ;;
    *) echo "1 4" ;;
  esac
}

# 1. One video recording per codec, variant and role.
declare -A kinds=()
for s in "${sets[@]}" "${phone_sets[@]}"; do
  read -r _ codec _ _ variant <<<"$s"
  kinds[$(video_kind "$codec" "$variant")]=1
done
for kind in "${!kinds[@]}"; do
  codec=${kind%%-*} variant=${kind#*-}
  read -r size fps < <(geometry "$codec")
  read -r ref_s orig_s < <(durations "$kind")
  job "$kind-ref" encode_video "$work/video/$kind.ref.mp4" "$codec" "$variant" "$size" "$fps" "$ref_s" testsrc
  job "$kind-orig" encode_video "$work/video/$kind.orig.mp4" "$codec" "$variant" "$size" "$fps" "$orig_s" testsrc2
done
drain

# 2. The movies of every set, and the special files.
: >"$work/manifest.txt"
: >"$work/phones-manifest.txt"
for s in "${sets[@]}" "${phone_sets[@]}"; do
  read -r name codec audio container variant <<<"$s"
  kind=$(video_kind "$codec" "$variant")
  read -r ref_s orig_s < <(durations "$kind")
  job "$name-ref" mux "$work/$name.ref.$container" "$container" "$codec" "$audio" "$variant" \
    "$work/video/$kind.ref.mp4" "$ref_s" 440
  job "$name-orig" mux "$work/$name.orig.$container" "$container" "$codec" "$audio" "$variant" \
    "$work/video/$kind.orig.mp4" "$orig_s" 660
  list=manifest
  [[ " ${phone_sets[*]} " == *" $name "* ]] && list=phones-manifest
  echo "$name $codec $audio $container $variant" >>"$work/$list.txt"
done
job faststart mux "$work/faststart.mov" mov h264 aac plain "$work/video/h264-plain.orig.mp4" 4 550 \
  -movflags +faststart
drain

# 3. Damaged copies and byte-level special files. The mux2 and mux1 sets first get their
# short length prefixes, reference and recording alike.
damage_set() {  # name container variant seed
  local name=$1 container=$2 variant=$3 seed=$4 f
  case $variant in
    mux2|mux1)
      for f in ref orig; do surgery nalsize "$work/$name.$f.$container" "${variant#mux}"; done ;;
    prefix|audiofirst)
      for f in ref orig; do surgery "$variant" "$work/$name.$f.$container"; done ;;
  esac
  surgery damage "$work/$name.orig.$container" "$work/$name.lost.$container" \
    "$work/$name.cut.$container" "$work/$name.garbage.$container" "$seed"
}
seed=1
while read -r name _ _ container variant; do
  job "$name-damage" damage_set "$name" "$container" "$variant" "$seed"
  seed=$((seed + 1))
done < <(cat "$work/manifest.txt" "$work/phones-manifest.txt")
job mdat64 surgery mdat64 "$work/h264-aac-mov.orig.mov" "$work/mdat64.mov"
job moovtext surgery moovtext "$work/h264-aac-mov.orig.mov" "$work/moovtext.mov" "$work/moovtext-badmdat.mov"
job bigpad surgery bigpad "$work/h264-aac-mov.orig.mov" "$work/big-damaged-mdat.mov" $((7 * 1024 * 1024 + 12345)) 99
drain

# 4. Publish: the movies first, the manifest next, the stamp last.
mv "$work"/*.mov "$work"/*.mp4 "$out/"
mv "$work/phones-manifest.txt" "$out/phones-manifest.txt"
mv "$work/manifest.txt" "$out/manifest.txt"
echo "$stamp" >"$out/.stamp"
echo "make-test-media: made $(wc -l <"$out/manifest.txt") sets in $out in $(( $(date +%s) - start )) s"
