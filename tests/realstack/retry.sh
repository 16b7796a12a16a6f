#!/usr/bin/env bash
# The cable pulled in the middle of a firmware download; plugged in again, the chip, whose
# firmware the cut download left invalid, starts as its DFU loader. The same host session flashes
# again on the same handle: the library finds the device again in the loader, and the chip ends
# with exactly the new firmware, running it.
#   retry.sh UMOCKDEV_WRAPPER VEXO_KERNEL RETRY_FLASH DFU_SUFFIX WORKDIR
source "$(dirname "${BASH_SOURCE[0]}")/realstack.sh" "$1" "$2" "$3" "$5"
retry_flash=$3
dfu_suffix=$4
w=$work/retry
mkdir -p "$w"

# 3000 bytes unlike the loader's own firmware, in three blocks of the loader's 1023 bytes; the
# cable is pulled at the third.
perl -e 'print pack("C*", map { (255 - $_ * 13) % 256 } 0 .. 2999)' >"$w/image.bin"
cp "$w/image.bin" "$w/image.dfu"
"$dfu_suffix" -v 7a11 -p 1301 -d 0102 -a "$w/image.dfu" >/dev/null
run retry 0 '^first flash: -65534, second flash: 0, mode: 1$' --mode dfu --firmware \
  --unplug control-out,request=1,skip=2,replug --expect-mode btm \
  --expect-memory "btm:0:$w/image.bin" -- "$retry_flash" "$w/image.dfu" "$w/log"
check "found again in the loader after the replug" \
  grep -q 'Old device handle no longer valid, finding the device again' "$w/log"
check "the loader at dfuIDLE before the first block: no abort needed" \
  test "$(grep -c 'Aborting the transfer' "$w/log")" = 0
finish
