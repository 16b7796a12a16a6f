#!/usr/bin/env bash
# Builds the Debian packages with CPack: libvelk0, libvelk-dev, velkctl and velk-sim, from a
# Release build for the prefix /usr (the library in /usr/lib/<multiarch>), into <build>/debs.
#
# Usage: scripts/make-debs.sh
# Environment: VELK_DEB_BUILD (build folder, default build-deb), VELK_JOBS (default 2).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELK_DEB_BUILD:-$root/build-deb}
jobs=${VELK_JOBS:-2}

generator=()
command -v ninja >/dev/null && [[ ! -f $build/CMakeCache.txt ]] && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVELK_WERROR=ON -DVELK_BUILD_TESTS=OFF -DVELK_BUILD_BENCH=OFF -DVELK_BUILD_DROVIN=OFF \
  -DVELK_BUILD_SIM=ON -DVELK_DEBIAN_COPYRIGHT=ON
cmake --build "$build" -j "$jobs"
rm -rf "$build/debs"
(cd "$build" && cpack -G DEB -B "$build/debs" >/dev/null)
rm -rf "$build/debs/_CPack_Packages"
for deb in "$build"/debs/*.deb; do
  printf 'make-debs: %-34s %6s KiB  %s\n' "$(basename "$deb")" "$(($(stat -c %s "$deb") / 1024))" \
    "$(dpkg-deb -f "$deb" Depends)"
done
