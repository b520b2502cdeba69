#!/usr/bin/env bash
# Installs what is missing, builds the desktop application and starts it. A file given as
# the argument is chosen as the damaged file (for example samples/damaged.mov; its
# reference is samples/reference.mov).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target video-repair-gui
exec ./build/gui/video-repair-gui "$@"
