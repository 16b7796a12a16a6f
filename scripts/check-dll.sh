#!/usr/bin/env bash
# Checks the Windows build's binaries as they would ship:
#   velk.dll     PE32 i386; exports exactly the velk_* functions declared in velk.h and the
#                hid_* functions of velk.def (which must be hidapi's public ones when hidapi's
#                headers are at hand); imports only libusb-1.0.dll and system DLLs.
#   *.exe        PE32 i386; imports only velk.dll, libusb-1.0.dll and system DLLs, so that no
#                compiler runtime DLL (libstdc++, libgcc, winpthread) has to ship.
#   the release  velk.dll carries the project's version resource; velk-<version>-win32.zip holds
#                exactly what ships, its binaries stripped, with their debug symbols in
#                velk-<version>-win32-debug.zip.
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

# --- velk.lib, the MSVC import library -----------------------------------------------------------
# lld-link links as MSVC's link.exe does: a host that calls velk_status through velk.lib must
# import velk_status, the DLL's undecorated name, from velk.dll (MSVC's C compiler asks for
# _velk_status), also with /SAFESEH, Visual Studio's default for 32-bit images. Checked where
# clang and lld are installed.
lib=$build/velk/velk.lib
if [[ ! -f $lib ]]; then
  fail "no MSVC import library velk.lib"
elif command -v clang-15 >/dev/null && command -v lld-link >/dev/null; then
  tmp=$(mktemp -d)
  printf '#include "velk.h"\nint entry(void) { return velk_status(0) == -65532 ? 0 : 1; }\n' >"$tmp/host.c"
  if clang-15 --target=i686-pc-windows-msvc -ffreestanding -I"$root/velk/include" -c "$tmp/host.c" \
       -o "$tmp/host.obj" &&
     lld-link -nologo -nodefaultlib -entry:entry -subsystem:console -safeseh "$tmp/host.obj" "$lib" \
       -out:"$tmp/host.exe" >/dev/null &&
     "$objdump" -p "$tmp/host.exe" | grep -q 'DLL Name: velk.dll' &&
     "$objdump" -p "$tmp/host.exe" | grep -Eq '^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+velk_status$'; then
    ok "velk.lib links an MSVC-style host that imports velk_status from velk.dll"
  else
    fail "velk.lib does not link an MSVC-style host to velk.dll's velk_status"
  fi
  rm -rf "$tmp"
else
  echo "check-dll: note: clang-15 or lld-link missing; velk.lib not linked"
fi

# --- version resource: the project's version in the DLL's properties ----------------------------
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [[ -f $dll && -n $version ]]; then
  if strings -el "$dll" | grep -qx "$version" && strings -el "$dll" | grep -qx FileVersion; then
    ok "velk.dll's version resource says $version"
  else
    fail "velk.dll has no version resource with $version"
  fi
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

# The zip's binaries are stripped and link to their symbols, which the debug zip holds.
check_debug_split() { # zip debug-zip folder
  local tmp file sections
  if [[ ! -f $2 ]]; then
    fail "no debug zip $(basename "$2") beside the release"
    return
  fi
  tmp=$(mktemp -d)
  (cd "$tmp" && cmake -E tar xf "$1" && cmake -E tar xf "$2")
  for file in "$tmp/$3"/*.dll "$tmp/$3"/*.exe; do
    case $(basename "$file") in libusb-1.0.dll) continue ;; esac
    sections=$($objdump -h "$file" | awk '{print $2}')
    if grep -q '^\.debug_' <<<"$sections" || ! grep -q '^\.gnu_debuglink$' <<<"$sections"; then
      fail "$(basename "$file") in the zip is not stripped or has no debug link"
    elif ! $objdump -h "$file.debug" 2>/dev/null | grep -q ' \.debug_info '; then
      fail "the debug zip has no debug symbols for $(basename "$file")"
    else
      ok "$(basename "$file") stripped ($(($(stat -c %s "$file") / 1024)) KiB), symbols in the debug zip"
    fi
  done
  rm -rf "$tmp"
}

# --- the release zip ----------------------------------------------------------------------------
# What a user unpacks: the library with its header, export list and both import libraries,
# velkctl.exe, libusb-1.0.dll, README and licences; drovin.exe with libwdi's licence only when it
# was built with the real driver files; nothing else (no tests, no test build of drovin).
if [[ -n $version ]]; then
  zip=$build/velk-$version-win32.zip
  if [[ ! -f $zip ]]; then
    fail "no release zip velk-$version-win32.zip"
  else
    listing=$(cmake -E tar tf "$zip" | sed "s|^velk-$version-win32/||" | grep -v '/$' | grep . | sort)
    want="LICENSE README.md README-win32.txt libusb-1.0.dll velk.def velk.dll velk.dll.a velk.h velk.lib velkctl.exe
          licences/fmt.txt licences/hidapi-bsd.txt licences/hidapi.txt licences/libusb.txt
          licences/mingw-w64-runtime.txt licences/zlib.txt"
    if grep -qx 'DROVIN_REAL_PROGRAM:INTERNAL=drovin' "$build/CMakeCache.txt"; then
      want+=" drovin.exe licences/libwdi.txt licences/libwdi-gpl.txt"
    fi
    if diff <(tr -s ' \n' '\n' <<<"$want" | grep . | sort) <(echo "$listing") >/dev/null; then
      ok "velk-$version-win32.zip holds $(echo "$listing" | tr '\n' ' ')"
    else
      fail "velk-$version-win32.zip differs from what ships (< wanted, > in the zip):"
      diff <(tr -s ' \n' '\n' <<<"$want" | grep . | sort) <(echo "$listing") >&2 || true
    fi
    check_debug_split "$zip" "$build/velk-$version-win32-debug.zip" "velk-$version-win32"
  fi
fi

if ((failures)); then
  echo "check-dll: $failures check(s) failed" >&2
  exit 1
fi
echo "check-dll: all checks passed"
