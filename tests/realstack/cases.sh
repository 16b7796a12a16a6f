#!/usr/bin/env bash
# What only the real stack shows, case by case: the shipped velkctl with Debian's libusb and
# hidapi-hidraw against the virtual Vexo at the kernel interface.
#   cases.sh UMOCKDEV_WRAPPER VEXO_KERNEL VELKCTL WORKDIR
source "$(dirname "${BASH_SOURCE[0]}")/realstack.sh"

# Each mode found and opened where the real libraries look: the DFU functional descriptors
# (run-time and loader) in the interface's extra bytes as libusb parsed them from sysfs, the
# loaders through hidapi's udev enumeration and their hidraw nodes.
velkctl btm 0 'mode: 1 BTM' --mode btm --expect-mode btm -- status
check "BTM: the HCI and the run-time DFU interface claimed" \
  grep -q 'DISCONNECT_CLAIM 1 flags 0x2' "$work/btm/trace"
velkctl dfu 0 'mode: 2 DFU' --mode dfu --expect-mode dfu -- status
check "DFU: a status request to the loader's interface" \
  grep -q 'SUBMITURB control a1 03 0000 0000 len=6' "$work/dfu/trace"
velkctl sqif 0 'mode: 3 SQIF' --mode sqif --expect-mode sqif -- status
velkctl dsp 0 'mode: 4 DSP' --mode dsp --expect-mode dsp -- status

# A Bluetooth driver bound to the HCI interface: claiming detaches it, releasing binds it again.
velkctl kernel-driver 0 'mode: 1 BTM' --hci-driver btusb --expect-driver 0=btusb -- status
check "the claim detached btusb" \
  grep -q "DISCONNECT_CLAIM 0 flags 0x2 'usbfs' (bound: 'btusb')" "$work/kernel-driver/trace"
# The kernel may unbind usbfs and bind btusb in one step or in two (on a loaded machine).
last_binding() { grep "interface 0 driver:" "$work/kernel-driver/trace" | tail -n 1; }
check "the release bound btusb again" grep -q -- "-> 'btusb'\$" <(last_binding)

# The cable pulled in the middle of a firmware upload, and plugged in again (the chip
# restarts): the upload fails as a libusb error, and no dump file appears.
velkctl unplugged 11 '\(LIBUSBError, code -65534\)$' --mode dfu --firmware \
  --unplug control-in,request=2,skip=1,replug --expect-mode btm -- dump-btm "$work/unplugged/btm.dfu"
check "the URB in flight ended with the device" \
  grep -q 'URB 00 ends: status ESHUTDOWN' "$work/unplugged/trace"
check "the reason in the log" \
  grep -q 'libusb error: No such device (it may have been disconnected)' "$work/unplugged/log"
check "no dump file, no temporary file" test "$(ls "$work/unplugged")" = "$(printf 'log\ntrace')"

# Reads that time out. An HCI event that never comes: libusb's own timeout discards the URB.
velkctl lost-answer 3 'no device opened' --lost-responses 1 -- status
check "the event read ended by libusb's timeout" \
  grep -q 'URB 81 ends: status ENOENT' "$work/lost-answer/trace"
check "the reason in the log" grep -q 'firmware not operational' "$work/lost-answer/log"
# A SQIF status 1.5 s late: hidapi's read times out on the node's poll, the next one gets it.
velkctl slow-status 0 'mode: 3 SQIF' --mode sqif --sqif-silence-ms 1500 -- status
check "the status read only after the first read timed out" \
  awk '/read\(3\) -> 3/ { found = 1; exit !($1 >= 1500) } END { if (!found) exit 1 }' \
  "$work/slow-status/trace"

# Nodes the user may not open (no udev rule): the library's access errors.
velkctl usbfs-denied 3 'no device opened' --deny usbfs -- status
check "libusb's access error in the log" \
  grep -q 'libusb error: Access denied (insufficient permissions)' "$work/usbfs-denied/log"
velkctl hidraw-denied 3 'no device opened' --mode dsp --deny hidraw -- status
check "hidapi's open failure in the log" \
  grep -q 'hidapi error: Device not found.' "$work/hidraw-denied/log"

# A read of the usbfs node gives the descriptors as the kernel read them at enumeration.
run descriptors 0 '^ 12 01 00 02 00 00 00 40 11 7a 01 13 00 01 01 02 00 01$' --mode dfu -- \
  bash -c 'head -c 18 /dev/bus/usb/001/002 | od -An -tx1 -w18'
# CLEAR_HALT reaches the chip as CLEAR_FEATURE(ENDPOINT_HALT). A request the model does not
# serve fails the run with its name: RESETEP, which the real kernel serves.
run unserved 100 'the model does not serve usbfs ioctl 0x80045503' -- python3 -c '
import fcntl, os, struct
node = os.open("/dev/bus/usb/001/002", os.O_RDWR)
for request in (0x80045515, 0x80045503):  # CLEAR_HALT, RESETEP
    fcntl.ioctl(node, request, struct.pack("I", 0x81))'
check "the event endpoint's halt cleared" grep -q 'CLEAR_HALT 81 -> 0' "$work/unserved/trace"
finish
