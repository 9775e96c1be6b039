#!/usr/bin/env bash
# Builds and runs the whole test suite headless: widget tests paint offscreen, end-to-end tests
# run under private X servers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
