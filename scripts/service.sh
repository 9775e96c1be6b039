#!/usr/bin/env bash
# Builds the makers' reference server and runs one of its commands; with none, serves
# ./orvanetavo-service.db (SQLite, made on first start) on http://127.0.0.1:8080.
#   bash scripts/service.sh
#   bash scripts/service.sh serve --listen 0.0.0.0:443 --cert fullchain.pem --key key.pem
#   bash scripts/service.sh reports
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}
bash "$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target orvanetavo-service -- -j"$(nproc)" >/dev/null
[ $# -gt 0 ] || set -- serve
exec "$build/service/orvanetavo-service" "$@"
