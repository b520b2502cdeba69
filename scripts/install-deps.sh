#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Idempotent:
# apt-get update runs only when something is missing.
set -euo pipefail
packages=(build-essential cmake ninja-build ccache pkg-config libfaad-dev libxml2-dev libgtest-dev libgmock-dev googletest
          libbenchmark-dev ffmpeg python3 time libcurl4-openssl-dev libssl-dev)
# The blob emulator of the tests runs on Node.js; a Node.js from elsewhere brings its own npm.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
# The desktop application and its tests: Qt 6 Widgets and Multimedia, a virtual X display,
# and the GStreamer plugins with which the preview plays H.264/H.265 movies with AAC or PCM.
packages+=(qt6-base-dev qt6-multimedia-dev qt6-qpa-plugins xvfb xauth gstreamer1.0-plugins-base
           gstreamer1.0-plugins-good gstreamer1.0-libav)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
