#!/usr/bin/env bash
# The Debian packages that dpkg-buildpackage made (scripts/make-debs.sh) in a clean Debian 12
# root, as a user gets them: debootstrap makes a minimal root with a C compiler, pkg-config and
# CMake, plus what the packages say they depend on; dpkg installs the packages there (and refuses
# when a dependency is missing). Inside the root, a tiny C host is built against the installed
# header through pkg-config and through find_package(velk) and run on the virtual device;
# velkctl runs from the installed copy and carries no path of the build; then autopkgtest runs
# debian/tests against the installed packages, through its chroot runner. Last, without velk-sim,
# velkctl --sim says what is missing. Needs root (debootstrap, chroot). The root is removed at
# the end, whatever happened.
#
# Usage: tests/packaging/clean_root_test.sh DEB_FOLDER
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tree=$(cd "$here/../.." && pwd)
debs=$(cd "$1" && pwd)
suite=bookworm

work=$(mktemp -d "${TMPDIR:-/tmp}/velk-clean-root.XXXXXX")
root=$work/root
cleanup() {
  mountpoint -q "$root/dev/pts" && umount "$root/dev/pts"
  mountpoint -q "$root/proc" && umount "$root/proc"
  # Never remove a folder that still has something mounted inside it.
  if grep -q " $root/" /proc/mounts; then
    echo "clean-root: $root still has mounts; left in place" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

source "$here/../support/check.sh"
in_root() { chroot "$root" env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME=/root "$@"; }

# The machine's own Debian mirror, through the apt entry that scripts/apt-private.sh derives.
source "$here/../../scripts/apt-private.sh"
apt_private_init "$work/apt" deb "$suite" >/dev/null
mirror=$(sed -n 's/^URIs:[[:space:]]*//p' "$work/apt/sources.list.d/private.sources" 2>/dev/null | head -1)
[[ -n $mirror ]] || mirror=$(awk '{for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) {print $i; exit}}' \
  "$work/apt/sources.list.d/private.list")

# What the packages depend on, outside themselves, without versions: dpkg checks those.
ours=" $(for d in "$debs"/*.deb; do dpkg-deb -f "$d" Package; done | tr '\n' ' ')"
needed=$(for d in "$debs"/*.deb; do dpkg-deb -f "$d" Depends; done | tr ',' '\n' |
  sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g' | sort -u | while read -r p; do
    [[ -n $p && $ours != *" $p "* ]] && echo "$p"; done | paste -sd, -)
echo "clean-root: debootstrap $suite (minbase) with gcc, make, pkg-config, cmake, $needed"

t0=$(date +%s)
bootstrap() {
  debootstrap --variant=minbase --include="gcc,libc6-dev,make,pkg-config,cmake,$needed" \
    "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1
}
# A download can fail now and then; one more try from scratch.
if ! bootstrap; then
  tail -5 "$work/debootstrap.log" >&2
  echo "clean-root: debootstrap failed; trying once more" >&2
  rm -rf "$root"
  bootstrap || { tail -20 "$work/debootstrap.log" >&2; exit 1; }
fi
echo "clean-root: root made in $(($(date +%s) - t0)) s"
mount -t proc proc "$root/proc"
# Pseudo-terminals, for the session test's progress bar on a terminal (script).
mount --bind /dev/pts "$root/dev/pts"

mkdir -p "$root/tmp/debs" "$root/tmp/host"
cp "$debs"/*.deb "$root/tmp/debs/"
# dpkg refuses a package whose dependencies are not there.
if ! in_root sh -c 'dpkg -i /tmp/debs/*.deb' >"$work/dpkg.log" 2>&1; then
  cat "$work/dpkg.log"
  echo "FAIL: dpkg could not install the packages"
  exit 1
fi
check "dpkg installs the packages" true

multiarch=$(in_root gcc -print-multiarch)
libdir=/usr/lib/$multiarch
soname() { in_root readelf -d "$libdir/libvelk.so.0" | grep -q 'Library soname: \[libvelk.so.0\]'; }
check "libvelk.so.0 has the SONAME libvelk.so.0" soname
check "the udev rules are in the udev rules folder" test -f "$root/usr/lib/udev/rules.d/70-vexo.rules"
for p in libvelk0 libvelk-dev velkctl velk-sim python3-velk; do
  check "$p has its copyright file" test -f "$root/usr/share/doc/$p/copyright"
done

cat >"$root/tmp/host/host.c" <<'C'
#include <stdio.h>
#include <velk.h>

int main(void) {
  velk_handle device = velk_open();
  if (device == NULL) return 1;
  printf("mode %d\n", (int)velk_status(device));
  velk_close(device);
  return 0;
}
C
cat >"$root/tmp/host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(host C)
find_package(velk 0.1 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE velk::velk)
CMAKE

# prints PROGRAM...: runs a program inside the root with the virtual device preloaded and checks
# what it prints.
prints() {
  local want=$1
  shift
  [[ $(in_root env LD_PRELOAD="$libdir/velk/libvelk_sim_preload.so" VELK_SIM=vexo "$@") == "$want" ]]
}
check "a host builds through pkg-config" \
  in_root sh -c 'cd /tmp/host && cc -Wall -Werror host.c $(pkg-config --cflags --libs velk) -o host-pc'
check "the pkg-config host runs on the virtual device" prints "mode 1" /tmp/host/host-pc
check "a host builds through find_package(velk)" \
  in_root sh -c 'cmake -S /tmp/host -B /tmp/host/b >/dev/null && cmake --build /tmp/host/b >/dev/null'
check "the find_package host runs on the virtual device" prints "mode 1" /tmp/host/b/host
# velkctl preloads the virtual device itself.
velkctl_prints() { [[ $(in_root /usr/bin/velkctl "${@:2}") == "$1" ]]; }
check "velkctl --sim status from the installed copy" velkctl_prints "mode: 1 BTM" --sim status
version=$(dpkg-deb -f "$(ls "$debs"/velkctl_*.deb)" Version)
check "velkctl --version" velkctl_prints "velkctl ${version%-*}" --version
check "the man page and the bash completion are installed" \
  test -f "$root/usr/share/man/man1/velkctl.1.gz" -a -f "$root/usr/share/bash-completion/completions/velkctl"
# A shipped binary names no folder of the build or of this tree (velkctl used to carry the build
# tree's path to the virtual device).
no_build_path() {
  local file
  for file in usr/bin/velkctl "$libdir/libvelk.so.0" "$libdir/velk/libvelk_sim_preload.so"; do
    if strings "$root/${file#/}" | grep -F -e "$tree" -e "$debs" -e obj-; then
      echo "  ^ in /${file#/}"
      return 1
    fi
  done
}
check "no build path in the shipped binaries (strings)" no_build_path

# debian/tests against the installed packages; autopkgtest copies the tree's debian/ and tests/.
mkdir -p "$work/src"
cp -r "$tree/debian" "$tree/tests" "$work/src/"
# The session test checks velkctl's man page and completion in the tree against its --help.
mkdir -p "$work/src/tools" && cp -r "$tree/tools/velkctl" "$work/src/tools/"
autopkgtest_run() {
  autopkgtest --no-built-binaries --output-dir "$work/autopkgtest" "$work/src" -- chroot "$root" \
    >"$work/autopkgtest.log" 2>&1
  local status=$?
  sed -n '/^autopkgtest \[[0-9:]*\]: @@@@@@@@@@@@@@@@@@@@ summary/,$p' "$work/autopkgtest.log"
  [[ $status -eq 0 ]] || tail -40 "$work/autopkgtest.log"
  return $status
}
check "autopkgtest (debian/tests) passes in the root" autopkgtest_run

# Without velk-sim, --sim finds no virtual device, and says so.
no_sim() {
  local out
  in_root dpkg -r velk-sim-dbgsym velk-sim >/dev/null 2>&1 || return 1
  out=$(in_root /usr/bin/velkctl --sim status 2>&1)
  [[ $? -eq 2 && $out == *"which is not installed (Debian package velk-sim"* ]]
}
check "velkctl --sim without velk-sim says it is not installed" no_sim

echo "clean-root: $(($(date +%s) - t0)) s in all"
finish
