#!/usr/bin/env bash
# dfu-util, a DFU 1.1 host written without this project, on the real stack against the virtual
# Vexo: it lists the loader and the firmware's run-time interface, uploads, downloads, and
# finishes a download that was cut short, as velkctl does after it.
#   dfu_util.sh UMOCKDEV_WRAPPER VEXO_KERNEL VELKCTL WORKDIR DFU_UTIL DFU_SUFFIX
source "$(dirname "${BASH_SOURCE[0]}")/realstack.sh"
dfu_util=$5
dfu_suffix=$6
w=$work/files
mkdir -p "$w"

# The loader's firmware, and a new image.
sample_firmware "$w/firmware.bin"
new_image "$w/image"

run list 0 'Found DFU: \[7a11:1301\] ver=0100, devnum=2, cfg=1, intf=0' --mode dfu -- \
  "$dfu_util" -l
run list-runtime 0 'Found Runtime: \[7a11:1300\] ver=0100, devnum=2, cfg=1, intf=1' -- \
  "$dfu_util" -l

run upload 0 'Upload done' --mode dfu --firmware --expect-mode dfu -- "$dfu_util" -U "$w/upload.bin"
check "the upload holds the loader's firmware" cmp -s "$w/firmware.bin" "$w/upload.bin"
# The chip stalls SET_INTERFACE (its interfaces have one setting each); the kernel takes the
# setting as chosen.
check "SET_INTERFACE stalled and taken" grep -q 'SETINTERFACE 0 alt 0 -> 0' "$work/upload/trace"

run download 0 'Done!' --mode dfu --expect-memory "btm:0:$w/image.bin" -- \
  "$dfu_util" -D "$w/image.dfu"

# The cable pulled at block 2 of a download; plugged in again, the chip restarts. dfu-util,
# started again once the device is back, detaches the firmware if it runs and downloads anew.
# (Started at once, it may list the device as it leaves and fail to open it, as on a real bus.)
cut=(--mode dfu --firmware --unplug control-out,request=1,skip=2,replug)
run cut-retried 0 'Download done' "${cut[@]}" --expect-mode dfu \
  --expect-memory "btm:0:$w/image.bin" -- \
  bash -c "'$dfu_util' -D '$w/image.dfu'; sleep 1
    '$dfu_util' -E 1 -d 7a11:1300,7a11:1301 -D '$w/image.dfu'"
check "the first download ended with the device" \
  grep -q 'Error during download (LIBUSB_ERROR_NO_DEVICE)' <<<"$output"
# And velkctl after it.
mkdir -p "$work/cut-velkctl"
run cut-velkctl 0 '^flashed' "${cut[@]}" --expect-mode btm --expect-memory "btm:0:$w/image.bin" -- \
  bash -c "'$dfu_util' -D '$w/image.dfu'; sleep 1
    '$velkctl' --log '$work/cut-velkctl/log' flash-btm '$w/image.dfu' && echo flashed"
finish
