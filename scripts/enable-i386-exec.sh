#!/usr/bin/env bash
# Makes sure 32-bit x86 Linux programs can run, because Wine's 32-bit loader is one.
#
# Some kernels have their 32-bit emulation switched off at boot (dmesg: "32-bit emulation
# disabled"), and then every i386 program fails with "Exec format error". There the programs run
# through qemu's user-mode emulator, registered with binfmt_misc. Debian 12's own qemu (7.2) is no
# use for Wine: it ignores MAP_FIXED_NOREPLACE, so Wine probes the whole address space in 64 KiB
# steps, minutes for every process. The backported qemu (10) runs Wine properly, so that is the one
# fetched, through an apt configuration of our own, and unpacked into a folder of its own; the
# machine's packages and apt set-up stay as they are.
#
# Usage: scripts/enable-i386-exec.sh [--install]
#   --install  fetch the emulator when it is needed and missing (scripts/bootstrap-windows.sh)
#   default    only register an emulator already fetched (the registration does not survive a
#              reboot, so scripts/run-wine-tests.sh calls this every time)
# Exit status 0 when Wine's 32-bit loader runs afterwards.
# Environment: VELK_QEMU_DIR (default /opt/velk-qemu).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
qemu_dir=${VELK_QEMU_DIR:-/opt/velk-qemu}
qemu=$qemu_dir/qemu-i386
probe=/usr/lib/wine/wine
entry=velk-i386
binfmt=/proc/sys/fs/binfmt_misc
say() { echo "enable-i386-exec: $*"; }

install=0
[[ ${1:-} == --install ]] && install=1

runs_i386() { "$probe" --version >/dev/null 2>&1; }

if [[ ! -x $probe ]]; then
  say "no 32-bit Wine loader ($probe): package wine32:i386 is not installed"
  exit 1
fi
if runs_i386; then
  exit 0
fi
say "this kernel does not run 32-bit programs; using qemu's user-mode emulator"

if [[ ! -x $qemu ]]; then
  if ((!install)); then
    say "no emulator at $qemu (run scripts/bootstrap-windows.sh)"
    exit 1
  fi
  source "$root/scripts/apt-private.sh"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  fetched=0
  for suite in "$codename-backports" "$codename"; do
    apt_private_init "$work/apt" deb "$suite" || break
    apt_private -qq update >/dev/null 2>&1 || continue
    # From qemu 8 on, qemu-user itself holds the static emulators.
    if (cd "$work" && apt_private -qq download "qemu-user/$suite" >/dev/null 2>&1); then
      dpkg-deb -x "$work"/qemu-user_*.deb "$work/x"
      if [[ -f $work/x/usr/bin/qemu-i386 ]] &&
        "$work/x/usr/bin/qemu-i386" --version | grep -qE 'version ([89]|[1-9][0-9])\.'; then
        mkdir -p "$qemu_dir"
        install -m 0755 "$work/x/usr/bin/qemu-i386" "$qemu"
        fetched=1
        break
      fi
    fi
    rm -rf "$work/x" "$work"/*.deb
  done
  ((fetched)) || { say "no qemu-user of version 8 or later found"; exit 1; }
  say "$("$qemu" --version | head -1) installed as $qemu"
fi

[[ -f $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
[[ -f $binfmt/$entry ]] && echo -1 >"$binfmt/$entry"
# An i386 ELF executable, any ABI byte; flag F opens the emulator now, so it also works for
# programs started in other mount namespaces.
printf '%s' ":$entry:M::"'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'":"'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'":$qemu:F" \
  >"$binfmt/register"

if runs_i386; then
  say "32-bit programs now run through $qemu"
else
  say "32-bit programs still do not run"
  exit 1
fi
