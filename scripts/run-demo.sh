#!/usr/bin/env bash
# Builds korvane and starts it on the demo home, listening on port 8080.
# The demo home is copied to run/demo (kept between runs, so the log and
# uploads stay); delete that folder to start afresh.
#   scripts/run-demo.sh [extra korvane options]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build-release" -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
cmake --build "$top/build-release" -j"$(nproc)"

home="$top/run/demo"
if [ ! -d "$home" ]; then
  mkdir -p "$home"
  cp -r "$top/demo/." "$home/"
fi
# The demo's program entries name korvane-calc and korvane-link-adapter,
# which the gateway finds on PATH.
export PATH="$top/build-release/tools:$PATH"
exec "$top/build-release/korvane" --home "$home" --link-dir "$home/links" "$@" LISTEN 8080
