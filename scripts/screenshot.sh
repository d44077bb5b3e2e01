#!/usr/bin/env bash
# Makes docs/window.png: the operator window on a virtual X display (Xvfb)
# while three clients are connected, after two requests were answered.
# Needs Xvfb and ImageMagick's import (apt-get install xvfb imagemagick)
# and a korvane built with the window (Qt 6).
#   scripts/screenshot.sh [BUILD_DIR] [OUTPUT]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-release}
out=${2:-$top/docs/window.png}
for tool in Xvfb import python3; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing" >&2; exit 2; }
done
if [ ! -x "$build/korvane" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF -DKORVANE_QT=ON >/dev/null
  cmake --build "$build" -j2 --target korvane
fi

work=$(mktemp -d)
cp -r "$top/demo/." "$work/"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1000x720x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=":$n"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
ctl() { "$build/korvane" --home "$work" ctl "$@"; }
"$build/korvane" --home "$work" --link-dir "$work/links" --bind "127.0.0.1:$port" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do ctl settings >/dev/null 2>&1 && break; sleep 0.1; done
ctl listen >/dev/null

# Two answered requests, then three clients that stay connected mid-request.
python3 - "$port" <<'PY' &
import socket, sys, time
port = int(sys.argv[1])
for path in ("/programs.htm", "/missing.htm"):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(b"GET %s HTTP/1.0\r\nUser-Agent: screenshot\r\n\r\n" % path.encode())
        while s.recv(65536):
            pass
held = []
for i in range(3):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /page%d.htm HTTP/1.0\r\nUser-Agent: screenshot\r\n" % i)
    held.append(s)
time.sleep(15)
PY
pids+=($!)
sleep 3
mkdir -p "$(dirname "$out")"
# The window by its title; the whole screen if it cannot be found by name.
import -window "Tarnwick Version 3.0g" "$out" 2>/dev/null || import -window root "$out"
ctl exit >/dev/null || true
echo "$out"
