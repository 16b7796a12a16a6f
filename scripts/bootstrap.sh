#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian 12 machine, from Debian's packages:
# the compilers and build tools, libusb, hidapi, zlib, {fmt}, spdlog, GoogleTest, Google Benchmark,
# dfu-util and fwupd (third-party DFU hosts that are run against the virtual device), clang-format-15
# (the layout check), Python 3 with pytest and setuptools (the Python binding's tests and
# packaging), umockdev (the real-stack tests: the virtual device at the kernel interface), and,
# with --windows, the mingw-w64 cross compilers and Wine for the Windows 32-bit build.
# Safe to run again: it installs only what is missing.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

packages=(build-essential g++ cmake ninja-build pkg-config git file
          libusb-1.0-0-dev libhidapi-dev libudev-dev zlib1g-dev umockdev libumockdev-dev libfmt-dev
          libspdlog-dev libgtest-dev libgmock-dev googletest libbenchmark-dev dfu-util fwupd
          clang-format-15 python3 python3-pytest python3-setuptools)
# Releases: the Debian packages (debian/: debhelper, dh-python with pybuild's pyproject plugin,
# checked by lintian) and their test in a clean root (debootstrap, autopkgtest); clang and lld
# link an MSVC-style host against the Windows zip's velk.lib.
packages+=(dpkg-dev debhelper dh-python python3-all pybuild-plugin-pyproject python3-wheel lintian
           autopkgtest debootstrap clang-15 lld)
# libFuzzer for clang-15: the fuzz targets (scripts/fuzz.sh).
packages+=(libfuzzer-15-dev)

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$pkg")
done
if (( ${#missing[@]} )); then
  echo "bootstrap: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "bootstrap: Linux packages are installed"
fi

if [[ "${1:-}" == "--windows" ]]; then
  bash "$here/bootstrap-windows.sh"
fi
