#!/usr/bin/env bash
# Copy-to-clean latency (median and worst over 20 copies) and idle cost (the application's
# context switches over 10 s with nothing copied) of the real binary, on the two clipboards:
# X11 (a private X server), X11 with xfce4-clipman as clipboard manager, and Wayland data
# control (headless sway, run as `nobody` when root). Then whether the cleaned copy's bytes are
# exact (text/plain and text/plain;charset=utf-8 both UTF-8) and whether it outlives the quit.
#   bash bench/clipboard-sessions.sh [x11|x11-manager|wayland]...     (x11 and wayland by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}
app=$build/src/app/orvanetavo
copies=${COPIES:-20}
idle=${IDLE_SECONDS:-10}

home=$(mktemp -d)
chmod 700 "$home"
pids=""
trap 'kill ${pids:-} 2>/dev/null; rm -rf "$home"' EXIT
mkdir -p "$home/.config/OrvaneTavo"
echo '{"OTOnboarded": true, "OTMenuBarMode": true}' >"$home/.config/OrvaneTavo/OrvaneTavo.json"
as=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$home"
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
base=(env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home"
  ORVANE_UPDATE_FEED_URL=https://127.0.0.1:9/update.json ORVANE_SERVICE_URL=https://127.0.0.1:9)

switches() { # total context switches of a process's threads
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { n += $2 } END { print n + 0 }'
}

outcome() { # app-pid paste-command...: the cleaned copy's bytes, then after the quit
  local want plain utf8 after
  want=$(printf 'été 日本語' | od -An -tx1)
  plain=$("${@:2}" text/plain 2>/dev/null | od -An -tx1)
  utf8=$("${@:2}" 'text/plain;charset=utf-8' 2>/dev/null | od -An -tx1)
  local start=$(date +%s%N)
  kill -TERM "$1" 2>/dev/null; wait "$1" 2>/dev/null || true
  local quit=$((($(date +%s%N) - start) / 1000000)); sleep 1
  after=$(timeout 5 "${@:2}" text/plain 2>/dev/null | od -An -tx1)
  printf '         bytes exact: %s; last copy after quit: %s (quit took %s ms, %s)\n' \
    "$([ "$plain" = "$want" ] && [ "$utf8" = "$want" ] && echo yes || echo "no ($plain /$utf8)")" \
    "$([ "$after" = "$want" ] && echo yes || echo "no (${after:-nothing})")" "$quit" \
    "$(pgrep -f "^$app --keep-clipboard" >/dev/null && echo 'keeper running' || echo 'no keeper')"
}

measure() { # label app-pid copier-command...
  local label=$1 pid=$2; shift 2
  local times=()
  for _ in $(seq "$copies"); do
    local start end line
    coproc COPIER { "$@" "text/html=<b>été</b> 日本語" "text/plain=été 日本語"; }
    local copier=$COPIER_PID
    read -r line <&"${COPIER[0]}"; start=$(date +%s%N)
    read -r -t 5 line <&"${COPIER[0]}" || line=timeout; end=$(date +%s%N)
    wait "$copier" 2>/dev/null || true
    [ "${line%% *}" = lost ] && times+=($(((end - start) / 1000000))) || times+=(9999)
    sleep 0.3
  done
  sorted=$(printf '%s\n' "${times[@]}" | sort -n)
  before=$(switches "$pid"); sleep "$idle"; after=$(switches "$pid")
  printf '%-8s copy-to-clean over %s copies: median %s ms, worst %s ms; idle: %s context switches in %s s\n' \
    "$label" "$copies" "$(echo "$sorted" | sed -n "$(((copies + 1) / 2))p")" "$(echo "$sorted" | tail -1)" \
    "$((after - before))" "$idle"
}

for session in "${@:-x11 wayland}"; do
  for kind in $session; do
    case $kind in
      x11 | x11-manager)
        display=:$((200 + $$ % 500))
        Xvfb "$display" -nolisten tcp -noreset >/dev/null 2>&1 & pids="$pids $!"; sleep 1
        manager=0
        [ "$kind" = x11 ] || { "${as[@]}" "${base[@]}" DISPLAY="$display" xfce4-clipman >/dev/null 2>&1 &
          manager=$!; pids="$pids $!"; sleep 2; }
        "${as[@]}" "${base[@]}" DISPLAY="$display" QT_QPA_PLATFORM=xcb "$app" >/dev/null 2>&1 & appPid=$!
        sleep 3
        measure "$kind" "$appPid" "${as[@]}" "${base[@]}" DISPLAY="$display" "$build/tests/e2e/tavo-clipboard-owner"
        outcome "$appPid" "${as[@]}" "${base[@]}" DISPLAY="$display" xclip -o -selection clipboard -t
        # Without a tray to hold its icon, xfce4-clipman leaves after about a minute.
        [ "$manager" = 0 ] || echo "         manager still running after the quit: $(kill -0 "$manager" 2>/dev/null && echo yes || echo no)" ;;
      wayland)
        "${as[@]}" "${base[@]}" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
          sway -c /dev/null >/dev/null 2>&1 & pids="$pids $!"; sleep 2
        socket=$(cd "$home" && ls wayland-? | head -1)
        "${as[@]}" "${base[@]}" WAYLAND_DISPLAY="$socket" "$app" >/dev/null 2>&1 & appPid=$!
        sleep 3
        measure Wayland "$appPid" "${as[@]}" "${base[@]}" WAYLAND_DISPLAY="$socket" "$build/tests/e2e/tavo-wayland-copier"
        outcome "$appPid" "${as[@]}" "${base[@]}" WAYLAND_DISPLAY="$socket" wl-paste -n -t ;;
    esac
    kill "$appPid" ${pids:-} 2>/dev/null || true; pids=""; sleep 1 # the next kind starts afresh
  done
done
