#!/usr/bin/env bash
# Builds korvane with AddressSanitizer and UBSan and runs the whole test
# suite, then each libFuzzer target for a minute. Exits non-zero when anything fails.
#   scripts/test.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# KORVANE_TEST_QT=1 also installs Qt, so the operator window and its
# offscreen test are built and run (they are whenever Qt is installed).
"$top/scripts/install-deps.sh" --test ${KORVANE_TEST_QT:+--qt}
build="$top/build-test"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j2
if [ -x "$top/tests/fuzz/run_fuzz.sh" ]; then
  "$top/tests/fuzz/run_fuzz.sh" 60
fi
