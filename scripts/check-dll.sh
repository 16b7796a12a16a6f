#!/usr/bin/env bash
# Checks the Windows build's binaries as they would ship:
#   velk.dll     PE32 i386; exports exactly the velk_* functions declared in velk.h and the
#                hid_* functions of velk.def (which must be hidapi's public ones when hidapi's
#                headers are at hand); imports only libusb-1.0.dll and system DLLs.
#   *.exe        PE32 i386; imports only velk.dll, libusb-1.0.dll and system DLLs, so that no
#                compiler runtime DLL (libstdc++, libgcc, winpthread) has to ship.
#
# Usage: scripts/check-dll.sh [build-dir]     (default: build-win; binaries in <build-dir>/bin)
# Exit status 0 when every check holds; each failure is printed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-${VELK_WIN_BUILD:-$root/build-win}}
bin=$build/bin
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
header=$root/velk/include/velk.h
def=$root/velk/velk.def

failures=0
fail() { echo "check-dll: FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "check-dll: ok: $*"; }

# DLLs that come with every Windows installation. Anything else would have to ship.
system_dll='^(kernel32|user32|gdi32|advapi32|msvcrt|ucrtbase|setupapi|cfgmgr32|hid|ole32|oleaut32|shell32|shlwapi|comctl32|comdlg32|ws2_32|bcrypt|ntdll|rpcrt4|version|newdev|crypt32|wintrust|userenv|winusb|api-ms-win-[a-z0-9-]+)\.dll$'

is_pe32_i386() { # file
  local what
  what=$(file -b "$1")
  [[ $what == PE32\ * && $what == *"Intel 80386"* ]]
}

imports_of() { "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'; }

# Names in the export table: the lines after "[Ordinal/Name Pointer] Table" look like
# "	[   3] velk_init".
exports_of() {
  "$objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                            on && /^[[:space:]]*\[ *[0-9]+\]/ {print $NF; next}
                            on {on = 0}' | sort
}

check_imports() { # file allowed-extra-regex
  local dll bad=0
  while read -r dll; do
    [[ -z $dll ]] && continue
    local lower=${dll,,}
    if [[ ! $lower =~ $system_dll && ! $lower =~ $2 ]]; then
      fail "$(basename "$1") imports $dll"
      bad=1
    fi
  done < <(imports_of "$1")
  ((bad)) || ok "$(basename "$1") imports only $(imports_of "$1" | tr '\n' ' ')"
}

declared_velk() {
  grep -o 'VELK_CALL velk_[a-z_]*[[:space:]]*(' "$header" | sed 's/VELK_CALL //; s/[[:space:]]*(//' | sort -u
}
def_names() { awk '/^EXPORTS/ {on = 1; next} on && $1 !~ /^;/ && NF {print $1}' "$def" | sort; }

# Public functions of hidapi's headers, when the dependency cache is known.
declared_hid() {
  local deps=${VELK_WIN_DEPS:-}
  if [[ -z $deps && -f $build/CMakeCache.txt ]]; then
    deps=$(sed -n 's/^VELK_DEPS_ROOT:[A-Z]*=//p' "$build/CMakeCache.txt")
  fi
  [[ -n $deps && -f $deps/include/hidapi/hidapi.h ]] || return 1
  cat "$deps"/include/hidapi/hidapi*.h | tr '\n' ' ' |
    grep -oE 'HID_API_(EXPORT|EXPORT_CALL|CALL)[[:space:]]+hid_[a-z_]+[[:space:]]*\(' |
    grep -oE 'hid_[a-z_]+' | sort -u
}

# --- the export list itself ---------------------------------------------------------------------
velk_declared=$(declared_velk)
velk_count=$(grep -c . <<<"$velk_declared")
[[ $velk_count -eq 14 ]] || fail "velk.h declares $velk_count velk_* functions, not 14"
if diff <(grep '^velk_' <(def_names)) <(echo "$velk_declared") >/dev/null; then
  ok "velk.def lists the $velk_count velk_* functions of velk.h"
else
  fail "velk.def and velk.h disagree on velk_*:"
  diff <(grep '^velk_' <(def_names)) <(echo "$velk_declared") >&2 || true
fi
if hid_declared=$(declared_hid); then
  if diff <(grep '^hid_' <(def_names)) <(echo "$hid_declared") >/dev/null; then
    ok "velk.def lists hidapi's $(grep -c . <<<"$hid_declared") public functions"
  else
    fail "velk.def and hidapi's headers disagree on hid_* (< velk.def, > headers):"
    diff <(grep '^hid_' <(def_names)) <(echo "$hid_declared") >&2 || true
  fi
else
  echo "check-dll: note: hidapi's headers not found; hid_* taken from velk.def as they stand"
fi
other=$(def_names | grep -vE '^(velk|hid)_' || true)
[[ -z $other ]] || fail "velk.def lists other names: $other"

# --- velk.dll -----------------------------------------------------------------------------------
dll=$bin/velk.dll
if [[ ! -f $dll ]]; then
  fail "$dll is missing"
else
  if is_pe32_i386 "$dll"; then ok "velk.dll is $(file -b "$dll" | cut -d, -f1)"; else fail "velk.dll is $(file -b "$dll")"; fi
  if diff <(exports_of "$dll") <(def_names) >/dev/null; then
    ok "velk.dll exports exactly the $(def_names | grep -c .) names of velk.def"
  else
    fail "velk.dll's export table differs from velk.def (< dll, > def):"
    diff <(exports_of "$dll") <(def_names) >&2 || true
  fi
  check_imports "$dll" '^libusb-1\.0\.dll$'
  [[ -f $bin/velk.dll.a || -f $build/velk/velk.dll.a || -n $(find "$build" -name velk.dll.a -print -quit) ]] ||
    fail "no import library velk.dll.a"
fi

# --- programs -----------------------------------------------------------------------------------
shopt -s nullglob
for exe in "$bin"/*.exe; do
  is_pe32_i386 "$exe" || fail "$(basename "$exe") is $(file -b "$exe")"
  check_imports "$exe" '^(velk|libusb-1\.0)\.dll$'
done
for want in drovin.exe velkctl.exe; do
  [[ -f $bin/$want ]] || echo "check-dll: note: $want not built"
done

if ((failures)); then
  echo "check-dll: $failures check(s) failed" >&2
  exit 1
fi
echo "check-dll: all checks passed"
