#!/usr/bin/env bash
# Builds korvane with AddressSanitizer and UBSan and runs the whole test
# suite, then each libFuzzer target for a minute. Exits non-zero when anything fails.
# A compiler warning fails too: both builds below treat warnings as errors,
# the Release one because the optimiser finds warnings the Debug one does not.
#   scripts/test.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# The Qt operator window is always built here (KORVANE_QT=ON fails the
# configure when Qt is missing) and its tests run on Qt's offscreen platform.
"$top/scripts/install-deps.sh" --test --qt
build="$top/build-test"
# The install prefix is where the Debian package puts korvane (the package test).
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON -DKORVANE_WERROR=ON \
  -DKORVANE_QT=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc)"
release="$top/build-test-release"
cmake -S "$top" -B "$release" -DCMAKE_BUILD_TYPE=Release -DKORVANE_WERROR=ON -DKORVANE_QT=ON -DKORVANE_TESTS=OFF \
  >/dev/null
cmake --build "$release" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j2
if [ -x "$top/tests/fuzz/run_fuzz.sh" ]; then
  "$top/tests/fuzz/run_fuzz.sh" 60
fi
