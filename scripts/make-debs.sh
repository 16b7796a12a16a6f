#!/usr/bin/env bash
# Builds the Debian packages from debian/ with dpkg-buildpackage (-us -uc -b): libvelk0,
# libvelk-dev, velkctl, velk-sim and python3-velk, with the fast tests; then checks them with
# lintian, which must report no error and no warning. The build runs in a copy of the tree's
# files (what git tracks or would track, as they are now), so that neither the tree nor the folder
# above it collects build products; the packages, .changes and .buildinfo land in <build>.
#
# Usage: scripts/make-debs.sh
# Environment: VELK_DEB_BUILD (build folder, default build-deb), VELK_JOBS (default 2),
#              DEB_BUILD_OPTIONS (e.g. nocheck to skip the tests).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELK_DEB_BUILD:-$root/build-deb}
jobs=${VELK_JOBS:-2}
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
src=$build/src/velk-$version

t0=$(date +%s)
rm -rf "$build"
mkdir -p "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -C "$src" -xf -

echo "make-debs: dpkg-buildpackage -us -uc -b in $src"
# The system's own tools only, as on a Debian build machine: an interpreter first on PATH (pyenv,
# a virtual environment) lacks the Debian modules that pybuild uses.
if ! (cd "$src" && env PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -us -uc -b) >"$build/build.log" 2>&1; then
  tail -30 "$build/build.log" | cut -c1-300
  echo "make-debs: dpkg-buildpackage failed; the whole log: $build/build.log" >&2
  exit 1
fi
mv "$build"/src/*.deb "$build"/src/*.changes "$build"/src/*.buildinfo "$build/"
rm -rf "$build/src"
echo "make-debs: built in $(($(date +%s) - t0)) s"

for deb in "$build"/*.deb; do
  printf 'make-debs: %-40s %6s KiB  %s\n' "$(basename "$deb")" "$(($(stat -c %s "$deb") / 1024))" \
    "$(dpkg-deb -f "$deb" Depends)"
done

changes=$(ls "$build"/velk_"$version"_*.changes)
lintian --display-info --fail-on error,warning "$changes" | tee "$build/lintian.log"
echo "make-debs: lintian: $(grep -c '^E:' "$build/lintian.log") errors," \
  "$(grep -c '^W:' "$build/lintian.log") warnings, $(grep -c '^I:' "$build/lintian.log") info tags"
