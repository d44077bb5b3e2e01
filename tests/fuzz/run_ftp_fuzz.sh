#!/bin/sh
# Builds the FTP command fuzzer with clang in its own build folder and runs
# it for SECONDS seconds (default 60). Any crash, sanitizer report or broken
# invariant fails the script; the reproducer is left in the build folder.
#   tests/fuzz/run_ftp_fuzz.sh 300
set -eu
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${KORVANE_FUZZ_BUILD:-$root/build-fuzz}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2 --target ftp_request_fuzz

corpus="$build/corpus"
mkdir -p "$corpus"
cp "$here"/corpus/* "$corpus"/ 2>/dev/null || true
cd "$build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ./ftp_request_fuzz -max_total_time="$seconds" -max_len=512 -timeout=20 \
  -dict="$here/ftp.dict" "$corpus"
