#!/usr/bin/env bash
# Builds and starts OrvaneTavo. Without a graphical session it starts on a private X server,
# which is only useful to see that it runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no graphical session, starting on a private X server (xvfb-run)" >&2
  exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "$build/src/app/orvanetavo" "$@"
fi
# The program chooses its window system and clipboard itself (see README, Platform).
exec "$build/src/app/orvanetavo" "$@"
