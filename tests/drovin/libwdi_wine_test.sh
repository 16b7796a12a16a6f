#!/usr/bin/env bash
# drovin linked with the real libwdi, run under Wine with no device, from a folder other than
# its own (scripts/run-wine-tests.sh calls this with its Wine set up).
#
# How far it gets there: row 1's driver package is prepared, then wdi_create_list returns
# NoDevice and the run ends with exit status 1, before any installation.
#  - The package: complete but for its catalog. libwdi builds the .cat through wintrust's
#    CryptCATOpen/CryptCATPutCatAttrInfo/CryptCATPersistStore; Wine 8's CryptCATPutCatAttrInfo
#    is a stub that fails with ERROR_CALL_NOT_IMPLEMENTED ("Failed to set HWID1 cat
#    attribute"), so the .cat stays empty and unsigned. libwdi only warns about it, because Wine
#    reports Windows 7 (on Windows 10 and later, without test signing, wdi_prepare_driver would
#    return CatMissing).
#  - wdi_create_list: Wine's device tree has no USB enumerator (its Enum key holds ROOT, PCI,
#    HID, WINEBUS and DISPLAY), so SetupDiGetClassDevs(NULL, "USB", DIGCF_PRESENT |
#    DIGCF_ALLCLASSES) returns an empty set and libwdi reports no device at all. A Windows
#    machine always lists its root hubs (list_hubs), so there this step lists devices.
#
# Usage: tests/drovin/libwdi_wine_test.sh <drovin.exe or drovin-test.exe>
set -uo pipefail

exe=$(realpath "$1")
check_prefix="libwdi_wine_test: "
source "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
rm -rf "$(dirname "$exe")"/usb_device_7a11_130[01]

# Runs drovin in $dir with the given environment; sets status, out and log (the program's own
# lines of standard error, without timestamps and carriage returns).
run() {
  local err
  out=$(cd "$dir" && env -u DROVIN_LOG -u DROVIN_LOG_STYLE "$@" timeout 300 wine "$exe" 2>"$dir.err")
  status=$?
  err=$(tr -d '\r' <"$dir.err")
  rm -f "$dir.err"
  log=$(grep -E '^(\[|ERROR: )' <<<"$err" | sed -E 's/^\[[0-9-]+ [0-9:.]+\] //')
}

# By default: the info lines of row 1, the failure, nothing of libwdi's own log (it goes to the
# log at debug level, not to the console) and nothing of row 2.
run
check "exit status 1" test "$status" -eq 1
check "nothing on standard output" test -z "$out"
check "the info lines and the error, in order" test "$log" == \
"[drovin::wdi] [info] Preparing driver Libusbk for USB device 7a11:1300
[drovin::wdi] [info] Installing Vexo
ERROR: libwdi error: wdi_create_list returned NoDevice"

# Again in the same folder, whose package is now stale, with everything logged: libwdi's lines
# come at debug level, and it writes the package where drovin was started, not beside the program.
run DROVIN_LOG=trace DROVIN_LOG_STYLE=never
windows_dir=$(cd "$dir" && wine winepath -w . 2>/dev/null | tr -d '\r')
windows_dir=${windows_dir%\\.}
check "second run: exit status 1" test "$status" -eq 1
check "second run: libwdi created the INF in the current folder" \
  grep -qF "[drovin::wdi] [debug] libwdi:info [wdi_prepare_driver] Successfully created '$windows_dir\\usb_device_7a11_1300\\usb_device_7a11_1300.inf'" <<<"$log"
check "second run: the steps at trace level" test "$(grep -v 'libwdi:' <<<"$log")" == \
"[drovin::wdi] [info] Preparing driver Libusbk for USB device 7a11:1300
[drovin::wdi] [info] Installing Vexo
[drovin::wdi] [trace] Enumerating connected devices
ERROR: libwdi error: wdi_create_list returned NoDevice"
check "no package beside the program" test ! -e "$(dirname "$exe")/usb_device_7a11_1300"
check "row 2 was not attempted" test ! -e "$dir/usb_device_7a11_1301"

# The package: the INF (UTF-16) names the device, its maker and the libusbK service, and every
# file it lists for x86 and amd64 is in the package.
package=$dir/usb_device_7a11_1300
inf=$(iconv -f UTF-16 -t UTF-8 "$package/usb_device_7a11_1300.inf" 2>/dev/null | tr -d '\r')
check "the INF names the device" grep -qF 'DeviceID   = "VID_7A11&PID_1300"' <<<"$inf"
check "the INF names the product" grep -qF 'DeviceName = "Vexo"' <<<"$inf"
check "the INF names the maker" grep -qF 'VendorName = "Tavrin Systems, Inc."' <<<"$inf"
check "the INF installs the libusbK service" grep -qE '^Addservice=libusbK,' <<<"$inf"
check "the INF names its catalog" grep -qE '^CatalogFile = usb_device_7a11_1300\.cat$' <<<"$inf"
check "the catalog is there (empty under Wine)" test -f "$package/usb_device_7a11_1300.cat"
for arch in x86 amd64; do
  listed=$(sed -n "/^\[SourceDisksFiles.$arch\]/,/^\[/p" <<<"$inf" | sed -nE 's/^([^[;= \t]+)[ \t]*=.*/\1/p')
  check "the INF lists the $arch driver" grep -qx 'libusbK.sys' <<<"$listed"
  for file in $listed; do
    check "$arch/$file is in the package" test -s "$package/$arch/$file"
  done
done
check "both installers are in the package" test -s "$package/installer_x86.exe" -a -s "$package/installer_x64.exe"

finish
