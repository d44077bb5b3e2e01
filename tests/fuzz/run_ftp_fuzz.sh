#!/bin/sh
# Builds and runs only the FTP command fuzzer for SECONDS seconds (default
# 60); run_fuzz.sh runs every target.
#   tests/fuzz/run_ftp_fuzz.sh 300
set -eu
exec "$(cd "$(dirname "$0")" && pwd)/run_fuzz.sh" "${1:-60}" ftp_request_fuzz
