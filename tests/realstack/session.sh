#!/usr/bin/env bash
# The README's service session on the shipped library with the real libusb and hidapi: a Vexo
# that starts in its DFU boot loader with a firmware image on it; the firmware dumped and
# flashed back, persistent-store keys, the serial flash, the DSP memory flashed, written and
# read back, a reset. Every mode switch is a restart with remove and add uevents.
#   session.sh UMOCKDEV_WRAPPER VEXO_KERNEL VELKCTL WORKDIR
source "$(dirname "${BASH_SOURCE[0]}")/realstack.sh"
w=$work/session
mkdir -p "$w"

# The images of the session, and what the chip must hold afterwards: the loader's firmware
# (3000 bytes in the model's fixed pattern), the xuv image's words big-endian at twice their
# word address, the FF record's 4 bytes at byte address 0x10000, the data at 0x20000.
perl -e 'print pack("C*", map { ($_ * 31 + int($_ / 256)) % 256 } 0 .. 2999)' >"$w/firmware.bin"
printf '@000000 1234\n@000001 abcd\n@000010 0001\n' >"$w/sqif.xuv"
{ printf '\x12\x34\xab\xcd'; head -c 28 /dev/zero; printf '\x00\x01'; } >"$w/sqif.bin"
{ printf '\x00\x00\x80\x02'; head -c 8 /dev/zero; printf '\x00\x00\x80\x00\x00\x00\x00\x04'
  head -c 42 /dev/zero; printf '\xee\x14\xde\xad\xbe\xef'; } >"$w/dsp.ff"
printf '\xde\xad\xbe\xef' >"$w/dsp-record.bin"
printf 'velk\n%.0s' $(seq 600) >"$w/data.bin"

velkctl session 0 '^mode: 1 BTM$' --mode dfu --firmware --expect-mode btm \
  --expect-memory "btm:0:$w/firmware.bin" --expect-memory "sqif:0:$w/sqif.bin" \
  --expect-memory "dsp:0x10000:$w/dsp-record.bin" --expect-memory "dsp:0x20000:$w/data.bin" -- \
  status \
  + dump-btm "$w/btm.dfu" \
  + flash-btm "$w/btm.dfu" \
  + pskey get 0x02ad \
  + pskey set 0x0022 0x1234 0xbeef 0x0001 \
  + pskey get 0x0022 \
  + pskey clear 0x0022 \
  + flash-sqif "$w/sqif.xuv" \
  + flash-dsp "$w/dsp.ff" \
  + write-dsp 0x20000 "$w/data.bin" \
  + read-dsp 0x20000 3000 "$w/data-back.bin" \
  + reset \
  + status
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
