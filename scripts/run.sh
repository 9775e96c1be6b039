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
# The clipboard watcher speaks X11; under Wayland it goes through XWayland.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-xcb}
exec "$build/src/app/orvanetavo" "$@"
