#!/usr/bin/env bash
# fwupd's DFU plugin, a DFU 1.1 host written without this project, on the real stack against the
# virtual Vexo: fwupdtool finds the loader and the firmware's run-time interface, installs a raw
# image, and is seen where it stops.
#   fwupd.sh UMOCKDEV_WRAPPER VEXO_KERNEL VELKCTL WORKDIR FWUPDTOOL DFU_SUFFIX
source "$(dirname "${BASH_SOURCE[0]}")/realstack.sh"
fwupdtool=$5
dfu_suffix=$6
w=$work/files
mkdir -p "$w/state" "$w/cache" "$w/run"

new_image "$w/image"

# fwupdtool without the daemon, its state and cache in the work folder, only its DFU plugin.
fwupd=(env "FWUPD_LOCALSTATEDIR=$w/state" "CACHE_DIRECTORY=$w/cache" "RUNTIME_DIRECTORY=$w/run"
  "FWUPD_RUNDIR=$w/run" "FWUPD_LOCKDIR=$w/run" "$fwupdtool" --plugins dfu)

# Opening the device the way fwupd does (libusb_wrap_sys_device on the usbfs node it opened)
# takes the address, the speed, the descriptors read from the node and the configuration.
run loader 0 'Is in bootloader mode' --mode dfu -- "${fwupd[@]}" get-devices
for request in 'CONNECTINFO -> 0' 'GET_SPEED -> 2' 'read(256) -> 45' 'CONTROL 80 08 0000 0000 len=1'; do
  check "opening: $request" grep -qF "$request" "$work/loader/trace"
done
device=$(grep -oE 'Device ID: +[0-9a-f]{40}' <<<"$output" | grep -oE '[0-9a-f]{40}$')
run runtime 0 'USB\\VID_7A11&PID_1300' -- "${fwupd[@]}" get-devices
check "the run-time DFU interface claimed" grep -q 'CLAIMINTERFACE 1 -> 0' "$work/runtime/trace"

# install-blob needs no signed cabinet. From the firmware: detach, download, read back, reset.
run install 0 '' --mode btm --manifest-ms 0 --expect-mode btm \
  --expect-memory "btm:0:$w/image.bin" -- "${fwupd[@]}" install-blob "$w/image.dfu" "$device"
check "the detach on the run-time interface" \
  grep -q 'SUBMITURB control 21 00 03e8 0001 len=0' "$work/install/trace"
# fwupd reads the image back as soon as the loader has said dfuMANIFEST once, without waiting
# for dfuIDLE: a loader that takes its time to write the image stalls the read, as DFU 1.1 has
# it, and fwupd gives up, although the loader goes on to write the image on its own clock.
run install-early-read 1 'cannot upload data: USB error: Pipe error' --mode dfu -- \
  "${fwupd[@]}" install-blob "$w/image.dfu" "$device"
requests=$(grep -oE 'control (21 01 0005|a1 03|a1 02 0000)' "$work/install-early-read/trace")
check "the read came right after the status said dfuMANIFEST" \
  grep -q 'control 21 01 0005 control a1 03 control a1 02 0000' <<<"${requests//$'\n'/ }"
# fwupd 2.0 cannot dump a plain DFU 1.1 device: it reads one block and has no image to write.
run dump 3 'no payload set' --mode dfu --firmware -- \
  "${fwupd[@]}" firmware-dump "$w/dump.bin" "$device"
finish
