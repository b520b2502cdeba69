#!/usr/bin/env bash
# Starts or stops the Blob service emulator (Azurite, from the npm registry) for the tests.
#   azurite.sh start DIR   installs Azurite into the cache folder if missing, starts its blob
#                          service on a free loopback port with the documented development
#                          account, keeps its data, log and process id in DIR and prints
#                          "export VR_TEST_BLOB_ENDPOINT=..." for eval
#   azurite.sh stop DIR    stops the emulator started with DIR
# The cache folder is $VR_AZURITE_CACHE, by default ~/.cache/video-repair/azurite.
set -euo pipefail
cmd=${1:?start or stop}
dir=$(mkdir -p "${2:?folder}" && cd "$2" && pwd)
cache=${VR_AZURITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/video-repair/azurite}

case "$cmd" in
  start)
    if [ ! -x "$cache/node_modules/.bin/azurite-blob" ]; then
      mkdir -p "$cache"
      npm install --no-audit --no-fund --silent --prefix "$cache" azurite >"$dir/npm.log" 2>&1 ||
        { cat "$dir/npm.log" >&2; exit 1; }
    fi
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    rm -rf "$dir/data"
    mkdir -p "$dir/data"
    "$cache/node_modules/.bin/azurite-blob" --blobHost 127.0.0.1 --blobPort "$port" \
      --location "$dir/data" --silent --disableTelemetry --skipApiVersionCheck \
      >"$dir/azurite.log" 2>&1 </dev/null &
    echo $! >"$dir/azurite.pid"
    for _ in $(seq 150); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        echo "export VR_TEST_BLOB_ENDPOINT=http://127.0.0.1:$port/devstoreaccount1"
        exit 0
      fi
      kill -0 "$(cat "$dir/azurite.pid")" 2>/dev/null || break
      sleep 0.2
    done
    echo "the blob emulator did not start:" >&2
    cat "$dir/azurite.log" >&2
    exit 1
    ;;
  stop)
    if [ -f "$dir/azurite.pid" ]; then
      kill "$(cat "$dir/azurite.pid")" 2>/dev/null || true
      rm -f "$dir/azurite.pid"
    fi
    ;;
  *)
    echo "usage: azurite.sh start|stop DIR" >&2
    exit 2
    ;;
esac
