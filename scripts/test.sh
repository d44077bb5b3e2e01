#!/usr/bin/env bash
# Builds korvane with AddressSanitizer and UBSan and runs the whole test
# suite, then the FTP fuzzer for a minute. Exits non-zero when anything fails.
#   scripts/test.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" --test
build="$top/build-test"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j2
if [ -x "$top/tests/fuzz/run_ftp_fuzz.sh" ]; then
  "$top/tests/fuzz/run_ftp_fuzz.sh" 60
fi
