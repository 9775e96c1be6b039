#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing OrvaneTavo need.
# Idempotent and quiet: when everything is present it does nothing at all.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev libxcb1-dev libxcb-xfixes0-dev libxcb-xtest0-dev
  libwayland-dev libwayland-bin qt6-wayland sway wl-clipboard
  fonts-dejavu-core fonts-noto-color-emoji
  xvfb xauth xclip xdotool x11-utils trayer dbus-daemon imagemagick
  libsodium-dev openssl libssl3 libsystemd-dev systemd-journal-remote
  dpkg-dev file lintian appstream desktop-file-utils
  libqt6sql6-sqlite libqt6sql6-psql postgresql
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
