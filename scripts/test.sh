#!/usr/bin/env bash
# Sets everything up, builds, and runs the tests: the Linux build, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets under libFuzzer, the threaded
# tests under ThreadSanitizer, and the Windows 32-bit build under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${VELK_JOBS:-2}

started=$(date +%s)
# Each step's heading, with the time taken so far.
step() { echo "=== $* (at $(($(date +%s) - started)) s)"; }

bash scripts/bootstrap.sh --windows

step "Layout"
bash scripts/check-format.sh

step "Linux build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" -LE realstack

step "The shipped library with the real libusb and hidapi, under umockdev (real time)"
ctest --test-dir build --output-on-failure -j "$jobs" -L realstack

step "Linux tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=address,undefined -DVELK_BUILD_BENCH=OFF -DVELK_WERROR=ON
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

step "Fuzz targets under libFuzzer (clang-15), each for a bounded time on its corpus"
bash scripts/fuzz.sh

step "Tests that run threads, under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_SANITIZE=thread \
  -DVELK_BUILD_BENCH=OFF -DVELK_BUILD_DROVIN=OFF -DVELK_WERROR=ON
mapfile -t threaded < <(ctest --test-dir build-tsan -N -L threads | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build build-tsan -j "$jobs" --target "${threaded[@]}"
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads

step "Debian packages (dpkg-buildpackage, lintian), installed into a clean Debian 12 root" \
  "and tested there with autopkgtest"
# The tests ran above on the same tree; the package build skips building and running them again.
DEB_BUILD_OPTIONS=nocheck bash scripts/make-debs.sh
bash tests/packaging/clean_root_test.sh build-deb

step "Windows 32-bit build; the DLL and the zip checked, the tests run under Wine"
bash scripts/build-windows.sh
bash scripts/run-wine-tests.sh
step "All passed"
