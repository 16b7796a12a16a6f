#!/usr/bin/env bash
# The README's service session on the shipped library with the real libusb and hidapi: a Vexo
# that starts in its DFU boot loader with a firmware image on it; the firmware dumped and
# flashed back, persistent-store keys, the serial flash, the DSP memory flashed, written and
# read back, a reset. Every mode switch is a restart with remove and add uevents.
#   session.sh UMOCKDEV_WRAPPER VEXO_KERNEL VELKCTL WORKDIR
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/realstack.sh"
source "$here/../../scripts/service-session.sh"
w=$work/session
mkdir -p "$w"
cd "$w"
session_images

# What the chip must hold afterwards: the loader's firmware, the xuv image's words big-endian at
# twice their word address, the FF record's 4 bytes at byte address 0x10000, the data at 0x20000.
sample_firmware firmware.bin
{ printf '\x12\x34\xab\xcd'; head -c 28 /dev/zero; printf '\x00\x01'; } >sqif.bin
printf '\xde\xad\xbe\xef' >dsp-record.bin

velkctl session 0 '^mode: 1 BTM$' --mode dfu --firmware --expect-mode btm \
  --expect-memory "btm:0:$w/firmware.bin" --expect-memory "sqif:0:$w/sqif.bin" \
  --expect-memory "dsp:0x10000:$w/dsp-record.bin" --expect-memory "dsp:0x20000:$w/data.bin" -- \
  "${session[@]}"
check "the session starts in DFU mode" grep -q '^mode: 2 DFU$' <<<"$output"
check "the dump holds the loader's firmware" cmp -s -n 3000 "$w/firmware.bin" "$w/btm.dfu"
check "the key reads back as written" grep -q 'pskey 0x0022: 0x1234 0xbeef 0x0001' <<<"$output"
check "the DSP data reads back as written" cmp -s "$w/data.bin" "$w/data-back.bin"

trace=$w/trace
# Every mode switch: the device leaves and comes back under its new identity.
check "eight restarts with re-enumeration" test "$(grep -c ' leaves$' "$trace")" -ge 8
check "the SQIF and DSP loaders on hidraw nodes" \
  grep -Eq '0a12:1012 joins as .* and /dev/hidraw' "$trace"
# The DFU transfer size comes from the functional descriptor as the real libusb parsed it.
check "DFU blocks of wTransferSize" grep -q 'SUBMITURB control a1 02 0000 0000 len=1023' "$trace"
# hidraw's feature reports count the report-ID byte, both ways.
for report in 'HIDIOCSFEATURE(18) -> 18' 'HIDIOCGFEATURE(18) -> 18' \
  'HIDIOCSFEATURE(2050) -> 2050' 'HIDIOCGFEATURE(2050) -> 2050'; do
  check "hidraw: $report" grep -qF "$report" "$trace"
done
check "SQIF status reads of 3 bytes" grep -q 'read(3) -> 3 \[02 ' "$trace"
finish
