#!/usr/bin/env bash
# Makes the Debian package from this build tree and checks it the way apt and the desktop will
# meet it: its files and their modes, its control fields and dependencies, the desktop entry and
# the AppStream data, lintian, and the packaged binary started from an extracted root.
#
#   check-package.sh <build folder> <version> <application id>
set -euo pipefail
build=$1
version=$2
id=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

(cd "$build" && cpack -G DEB -B "$work/cpack" >/dev/null)
arch=$(dpkg --print-architecture)
deb=$work/cpack/orvanetavo_${version}_${arch}.deb
[ -f "$deb" ] || { echo "FAIL: no $deb" >&2; exit 1; }

# Every file, with its mode and owner; anything more (a static library, a header, a test) or
# less is a fault, and so is a file that apt would install outside /usr.
expected="-rwxr-xr-x root/root ./usr/bin/orvanetavo
-rw-r--r-- root/root ./usr/share/applications/$id.desktop
-rw-r--r-- root/root ./usr/share/doc/orvanetavo/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/orvanetavo/copyright"
for size in 16 32 48 64 128 256; do
  expected+="
-rw-r--r-- root/root ./usr/share/icons/hicolor/${size}x${size}/apps/$id.png"
done
expected+="
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/$id.svg
-rw-r--r-- root/root ./usr/share/man/man1/orvanetavo.1.gz
-rw-r--r-- root/root ./usr/share/metainfo/$id.metainfo.xml"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort)
if [ "$actual" != "$(sort <<<"$expected")" ]; then
  fail "file list differs:"
  diff <(sort <<<"$expected") <(echo "$actual") >&2 || true
fi
dirs=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')
[ -z "$dirs" ] || fail "folders not 0755 root/root: $dirs"

# Control fields: name, version and the dependencies that dpkg-shlibdeps found in the binary,
# plus the platform plugins that Qt loads at run time.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvanetavo ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[[ "$(field Maintainer)" =~ ^.+\ \<[^@\ ]+@[^@\ ]+\>$ ]] || fail "Maintainer '$(field Maintainer)'"
for dependency in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libsodium23 libsystemd0 \
  libwayland-client0 qt6-qpa-plugins qt6-wayland; do
  [[ ",$(field Depends | tr -d ' ')," =~ ,$dependency[,\(] ]] || fail "Depends lacks $dependency"
done
[ "$(field Description | wc -l)" -ge 3 ] || fail "Description has no long text"

# The files as installed: the desktop and AppStream validators, and the names that tie the
# menu entry to its icon, its component and the running window.
root=$work/root
dpkg -x "$deb" "$root"
desktop=$root/usr/share/applications/$id.desktop
metainfo=$root/usr/share/metainfo/$id.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" >/dev/null || fail "appstreamcli validate"
key() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(key Icon)" = "$id" ] || fail "the menu entry's icon is '$(key Icon)', not $id"
[ "$(key Exec)" = orvanetavo ] || fail "the menu entry starts '$(key Exec)'"
# Qt names the window's class after the application name that main() sets.
[ "$(key StartupWMClass)" = OrvaneTavo ] || fail "StartupWMClass is '$(key StartupWMClass)'"
release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n1)
[ "$release" = "$version" ] || fail "the newest AppStream release is '$release', not $version"
changelog=$(zcat "$root/usr/share/doc/orvanetavo/changelog.gz" | head -n1)
[[ "$changelog" == "orvanetavo ($version) "* ]] || fail "the changelog starts '$changelog'"
manual=$(zcat "$root/usr/share/man/man1/orvanetavo.1.gz" | head -n1)
[[ "$manual" == *"OrvaneTavo $version"* ]] || fail "the manual page says '$manual'"

# lintian fails on errors only; its warnings are read by whoever makes a release.
if ! lintian --tag-display-limit 0 "$deb" 2>/dev/null >"$work/lintian"; then
  fail "lintian:"
  cat "$work/lintian" >&2
fi

# The packaged binary answers without any display to open.
output=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/orvanetavo" --version) \
  || fail "orvanetavo --version exited $?"
[ "$output" = "OrvaneTavo $version" ] || fail "orvanetavo --version printed '$output'"

[ "$failures" -eq 0 ] || exit 1
echo "orvanetavo_${version}_${arch}.deb: all checks passed"
