#!/usr/bin/env bash
# Installs what is missing, builds the program and repairs the bundled damaged movie with
# its healthy reference, then shows what came out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target video-repair
out=build/demo
mkdir -p "$out"
rm -f "$out/damaged_repaired.mov"
echo "== What the damaged movie still offers"
./build/video-repair info samples/damaged.mov || true
echo
echo "== Repairing samples/damaged.mov with samples/reference.mov"
./build/video-repair repair samples/damaged.mov --reference samples/reference.mov -o "$out/damaged_repaired.mov"
echo
echo "== The repaired movie"
./build/video-repair info "$out/damaged_repaired.mov"
if command -v ffprobe >/dev/null; then
  echo
  echo "== ffprobe"
  ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,nb_frames,duration -of compact=p=0 \
    "$out/damaged_repaired.mov"
fi
