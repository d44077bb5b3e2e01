#!/bin/sh
# Builds the libFuzzer targets with clang in their own build folder and runs
# each for SECONDS seconds (default 60), one after the other. Any crash,
# sanitizer report or broken invariant fails the script; the reproducer is
# left in the build folder.
#   tests/fuzz/run_fuzz.sh 300                      all targets
#   tests/fuzz/run_fuzz.sh 300 url_codec_fuzz       only the ones named
set -eu
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-ftp_request_fuzz command_reader_fuzz url_codec_fuzz line_framer_fuzz path_resolver_fuzz}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${KORVANE_FUZZ_BUILD:-$root/build-fuzz}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

for target in $targets; do
  case $target in
    ftp_request_fuzz) seeds=corpus; dict=ftp.dict; max_len=512 ;;
    command_reader_fuzz) seeds=corpus_command_reader; dict=http.dict; max_len=65536 ;;
    url_codec_fuzz) seeds=corpus_url_codec; dict=http.dict; max_len=4096 ;;
    line_framer_fuzz) seeds=corpus_command_reader; dict=http.dict; max_len=4096 ;;
    path_resolver_fuzz) seeds=corpus_path_resolver; dict=path.dict; max_len=256 ;;
    *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
  esac
  # The FTP target keeps its corpus folder's old name.
  corpus="$build/corpus"
  [ "$target" = ftp_request_fuzz ] || corpus="$build/corpus_$target"
  mkdir -p "$corpus"
  cp "$here/$seeds"/* "$corpus"/ 2>/dev/null || true
  echo "== $target for $seconds s"
  (cd "$build" &&
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "./$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
      -dict="$here/$dict" "$corpus")
done
