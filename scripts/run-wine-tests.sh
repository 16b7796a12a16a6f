#!/usr/bin/env bash
# Runs the Windows build's test programs under Wine, after checking the shipped binaries with
# scripts/check-dll.sh. Wine gets a private prefix (made once, with `wineboot -i`) and no debug
# output; the tests' exit codes come through, and this script fails when any test fails.
#
# Without a working 32-bit Wine the binaries are still checked and the script says, loudly, that
# the tests did not run; it then exits 0, or 1 when VELK_REQUIRE_WINE=1.
#
# Usage: scripts/run-wine-tests.sh [build-dir] [-- extra ctest arguments]
# Environment: VELK_WIN_BUILD (default build-win), VELK_WINEPREFIX (default <build>/wineprefix),
#              VELK_JOBS (default 2).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELK_WIN_BUILD:-$root/build-win}
if [[ $# -gt 0 && $1 != -- ]]; then build=$1; shift; fi
[[ ${1:-} == -- ]] && shift
ctest_extra=("$@")
bin=$build/bin
say() { echo "run-wine-tests: $*"; }
now() { date +%s; }

loud() {
  echo "########################################################################" >&2
  echo "#  $*" >&2
  echo "#  THE WINDOWS TESTS DID NOT RUN. The build and velk.dll were checked." >&2
  echo "########################################################################" >&2
  if [[ ${VELK_REQUIRE_WINE:-0} == 1 ]]; then exit 1; fi
  exit 0
}

build=$(cd "$build" 2>/dev/null && pwd) || { say "no build folder $build"; exit 1; }
bin=$build/bin
[[ -d $bin ]] || { say "no Windows build in $build (run scripts/build-windows.sh)"; exit 1; }

bash "$root/scripts/check-dll.sh" "$build" || exit 1

command -v wine >/dev/null || loud "WINE IS NOT INSTALLED"
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  loud "WINE32 (32-bit Wine loader, package wine32:i386) IS NOT INSTALLED"
fi
bash "$root/scripts/enable-i386-exec.sh" || loud "WINE'S 32-BIT LOADER CANNOT RUN ON THIS MACHINE"

export WINEPREFIX=${VELK_WINEPREFIX:-$build/wineprefix}
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko download prompts; the tests are console programs and need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine makes Unix file names from Windows ones in the locale's character set; under the C
# locale (a bare CI shell) a non-ASCII name cannot be made at all. The tests write such names.
export LC_ALL=C.UTF-8

if [[ ! -f $WINEPREFIX/system.reg ]]; then
  t0=$(now)
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || loud "WINE COULD NOT SET UP ITS PREFIX $WINEPREFIX"
  wineserver -w
  say "Wine prefix made in $(($(now) - t0)) s"
fi

# A program that imports libusb-1.0.dll finds it beside itself.
deps=$(sed -n 's/^VELK_DEPS_ROOT:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
deps=${deps:-${VELK_WIN_DEPS:-$build/deps}}
while IFS= read -r -d '' binary; do
  if [[ $(i686-w64-mingw32-objdump -p "$binary") == *"DLL Name: libusb-1.0.dll"* ]]; then
    dir=$(dirname "$binary")
    [[ -f $dir/libusb-1.0.dll ]] || cp "$deps/bin/libusb-1.0.dll" "$dir/"
  fi
done < <(find "$build" -path "$WINEPREFIX" -prune -o -path "$deps" -prune -o \
  \( -name '*.exe' -o -name '*.dll' \) -type f -print0)

# One server for the whole run: starting it, and Wine's services with it, is the slow part of
# starting a program (more so when 32-bit programs run through an emulator).
wineserver -p
wine cmd /c exit 0 >/dev/null 2>&1 || true

t0=$(now)
rc=0
if [[ -f $build/CTestTestfile.cmake ]] && ctest --test-dir "$build" -N | grep -q 'Total Tests: [1-9]'; then
  # The toolchain file makes Wine ctest's emulator, so ctest runs each test program through it.
  ctest --test-dir "$build" --output-on-failure -j"${VELK_JOBS:-2}" "${ctest_extra[@]}" || rc=$?
else
  shopt -s nullglob
  ran=0 failed=0
  for exe in "$bin"/*test*.exe; do
    ran=$((ran + 1))
    if wine "$exe"; then say "passed: $(basename "$exe")"; else failed=$((failed + 1)); say "FAILED: $(basename "$exe")"; fi
  done
  ((ran)) || say "no test programs found in $bin"
  echo "$((ran - failed)) passed, $failed failed"
  ((failed == 0)) || rc=1
fi
say "tests under Wine took $(($(now) - t0)) s"

# drovin against the real libwdi, run as a user would (the script says how far Wine lets it go).
drovin_real=$(sed -n 's/^DROVIN_REAL_PROGRAM:INTERNAL=//p' "$build/CMakeCache.txt" 2>/dev/null)
if [[ -n $drovin_real ]]; then
  t0=$(now)
  bash "$root/tests/drovin/libwdi_wine_test.sh" "$bin/$drovin_real.exe" || rc=1
  say "drovin with the real libwdi under Wine took $(($(now) - t0)) s"
else
  say "note: no drovin against the real libwdi in this build (no libwdi source): not run"
fi

# The release as a user gets it: the zip unpacked into an empty folder, and velkctl.exe run from
# there. The test programs link the library's objects, not velk.dll, so this is also what shows
# that velk.dll as shipped loads beside libusb-1.0.dll under Wine and that its functions run.
# No device is attached: `status` must end cleanly with velkctl's "no device opened" (exit 3),
# having written the log's banner; Wine's status for a DLL that cannot be loaded is 53.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
zip=$build/velk-$version-win32.zip
if [[ ! -f $zip ]]; then
  say "FAILED: no release zip $zip"
  rc=1
else
  unpacked=$(mktemp -d)
  (cd "$unpacked" && cmake -E tar xf "$zip")
  release=$unpacked/velk-$version-win32
  zip_check() { # description expected-status pattern -- velkctl arguments
    local what=$1 want=$2 pattern=$3 out status
    shift 4
    out=$(cd "$release" && timeout 120 wine velkctl.exe "$@" 2>&1)
    status=$?
    out=${out//$'\r'/}
    if [[ $status -eq $want ]] && grep -Eq -- "$pattern" <<<"$out"; then
      say "zip: $what (exit $status)"
    else
      say "FAILED: zip: $what: exit $status (want $want), output: $out"
      rc=1
    fi
  }
  zip_check "velkctl.exe --version" 0 "^velkctl $version\$" -- --version
  zip_check "velkctl.exe status fails cleanly without a device" 3 "^velkctl: no device opened" -- status
  zip_check "velkctl.exe status with a log" 3 "^velkctl: no device opened" -- --log smoke.log --log-level 3 status
  if grep -q '\[INFO\] VELK v'"$version" "$release/smoke.log" 2>/dev/null; then
    say "zip: velk.dll wrote its banner under Wine"
  else
    say "FAILED: zip: no banner in the log ($(cat "$release/smoke.log" 2>/dev/null))"
    rc=1
  fi
  rm -rf "$unpacked"
fi

# Our prefix's server only; it would otherwise linger for a few seconds after the last program.
wineserver -k 2>/dev/null || true
exit "$rc"
