#!/usr/bin/env bash
# Installs what korvane needs to build, run and test, from Debian's packages.
# Safe to run again: only missing packages are installed.
#   install-deps.sh          build and run
#   install-deps.sh --test   also what the test suite uses (curl, lftp, Chromium, clang for the fuzzer,
#                            nginx for the balancer test, systemd-analyze, man and dpkg-dev
#                            for the service and package tests)
#   install-deps.sh --qt     also the Qt operator window (qt6-base-dev); scripts/test.sh
#                            always asks for it
#   install-deps.sh --screenshot   also Xvfb and ImageMagick for scripts/screenshot.sh
set -euo pipefail

packages=(cmake g++ make libasio-dev libcrypt-dev python3 pkg-config)
for arg in "$@"; do
  case "$arg" in
    --test) packages+=(libgtest-dev libgmock-dev curl lftp chromium clang libclang-rt-14-dev nginx-light libnginx-mod-stream pkg-config systemd man-db dpkg-dev openssl) ;;
    --qt) packages+=(qt6-base-dev) ;;
    --screenshot) packages+=(xvfb imagemagick) ;;
    *) echo "unknown option: $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
