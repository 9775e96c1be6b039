#!/usr/bin/env bash
# Makes the Debian package from a clean build, with Debian's hardening flags:
#
#   bash scripts/package.sh [output folder]    (default: ./build-package)
#
# and prints the path of orvanetavo_<version>_<arch>.deb. Install it with
# `sudo apt install ./orvanetavo_<version>_<arch>.deb`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_PACKAGE_BUILD_DIR:-$root/build-package}
out=$(mkdir -p "${1:-$build}" && cd "${1:-$build}" && pwd)
bash "$root/scripts/bootstrap.sh"

# Clean: nothing of an earlier configuration or a developer's build may reach the package.
rm -rf "$build/tree"
export CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S "$root" -B "$build/tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build/tree" -- -j"$(nproc)"
(cd "$build/tree" && cpack -G DEB -B "$build/cpack" >/dev/null)
deb=$(find "$build/cpack" -maxdepth 1 -name '*.deb' -printf '%p\n' | head -n1)
[ -n "$deb" ] || { echo "package: cpack made no .deb" >&2; exit 1; }
mv -f "$deb" "$out/"
echo "$out/$(basename "$deb")"
