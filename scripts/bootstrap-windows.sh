#!/usr/bin/env bash
# Installs what the Windows 32-bit cross build and its Wine test run need: the mingw-w64 i686
# compilers (posix threads: the win32 variant has no std::mutex or std::thread), Wine with its
# 32-bit loader, googletest's sources, llvm-dlltool (the MSVC import library), the tools
# `apt-get source` needs to unpack libusb, hidapi and fmt, and what libwdi's build needs (autoconf,
# automake, libtool, and the mingw-w64 x86_64 C compiler for the 64-bit installer that libwdi embeds
# so that it can install on 64-bit Windows). Safe to run again: it installs only what is missing.
#
# Wine is optional for the build itself. If it cannot be installed, the script says so and
# returns 0; scripts/run-wine-tests.sh then reports loudly that the tests did not run.
set -euo pipefail

build_packages=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 llvm dpkg-dev googletest make
                cmake file autoconf automake libtool gcc-mingw-w64-x86-64-posix)
wine_packages=(wine wine32:i386)

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

missing() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || echo "$pkg"
  done
}

export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi

mapfile -t todo_build < <(missing "${build_packages[@]}")
mapfile -t todo_wine < <(missing "${wine_packages[@]}")

wine_loud() {
  echo "##################################################################" >&2
  echo "bootstrap-windows: $*" >&2
  echo "The Windows build still works; its tests cannot run under Wine."    >&2
  echo "##################################################################" >&2
}

# Wine's 32-bit loader must also be able to run: on kernels without 32-bit emulation this
# fetches and registers an emulator (scripts/enable-i386-exec.sh says why and how).
enable_i386() {
  bash "$(dirname "${BASH_SOURCE[0]}")/enable-i386-exec.sh" --install ||
    wine_loud "WINE'S 32-BIT LOADER CANNOT RUN ON THIS MACHINE."
}

if (( ${#todo_build[@]} + ${#todo_wine[@]} == 0 )); then
  echo "bootstrap-windows: everything is installed"
  enable_i386
  exit 0
fi

# The i386 package lists only appear after an update, so one is needed whenever anything is
# missing, not only after adding the architecture.
as_root apt-get update -qq || echo "bootstrap-windows: apt-get update failed; trying the install anyway" >&2

if (( ${#todo_build[@]} )); then
  echo "bootstrap-windows: installing ${todo_build[*]}"
  as_root apt-get install -y -qq --no-install-recommends "${todo_build[@]}"
fi

if (( ${#todo_wine[@]} )); then
  echo "bootstrap-windows: installing ${todo_wine[*]}"
  if ! as_root apt-get install -y -qq --no-install-recommends "${todo_wine[@]}"; then
    wine_loud "WINE COULD NOT BE INSTALLED (${todo_wine[*]})."
    exit 0
  fi
fi
enable_i386
