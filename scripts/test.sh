#!/usr/bin/env bash
# Sets everything up, builds, and runs the tests: the Linux build, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows 32-bit build under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${VELK_JOBS:-2}

bash scripts/bootstrap.sh --windows

echo "=== Layout"
bash scripts/check-format.sh

echo "=== Linux build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" -LE realstack

echo "=== The shipped library with the real libusb and hidapi, under umockdev (real time)"
ctest --test-dir build --output-on-failure -j "$jobs" -L realstack

echo "=== Linux tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=address,undefined -DVELK_BUILD_BENCH=OFF -DVELK_WERROR=ON
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "=== Debian packages, installed into a clean Debian 12 root"
bash scripts/make-debs.sh
bash tests/packaging/clean_root_test.sh build-deb/debs

echo "=== Windows 32-bit build; the DLL and the zip checked, the tests run under Wine"
bash scripts/build-windows.sh
bash scripts/run-wine-tests.sh
