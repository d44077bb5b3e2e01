#!/bin/bash
# Line coverage of the gateway, the link library and the tools over every
# test that ctest runs. Prints gcovr's summary; with --json FILE it also
# writes each line's count, to compare two runs line by line.
#
#   scripts/coverage.sh [--json FILE] [BUILD_DIR]     (default build-coverage)
#
# Built with clang, not GCC: GCC 12's gcov records only the first and last
# line of a coroutine, and most of the gateway's handlers are coroutines
# (about 2,100 lines that a GCC build leaves out of the count). Asio sees
# clang's coroutine support only when told, hence the two ASIO_HAS_ defines.
set -euo pipefail
cd "$(dirname "$0")/.."

json=""
if [ "${1:-}" = "--json" ]; then
  json=$2
  shift 2
fi
build=${1:-build-coverage}

for tool in clang++ llvm-cov gcovr; do
  command -v "$tool" > /dev/null || { echo "coverage.sh: $tool is missing (apt-get install clang llvm gcovr)" >&2; exit 1; }
done

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=--coverage -DASIO_HAS_CO_AWAIT=1 -DASIO_HAS_STD_COROUTINE=1" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage > /dev/null
cmake --build "$build" -j"$(nproc)"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
gcovr -r . "$build" --gcov-executable "llvm-cov gcov" -f src/ -f link/ -f tools/ -s ${json:+--json "$json"}
