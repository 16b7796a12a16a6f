# The firmware-service session that the demo (scripts/run-demo.sh) runs on the preloaded virtual
# device and the real-stack test (tests/realstack/session.sh) runs on the shipped library under
# umockdev. Sourced by both; it defines:
#   session_images   writes the session's images into the current folder: an xuv text image
#                    (16-bit words at word addresses), an FF image with one data record (4 bytes
#                    at word address 0x8000, byte address 0x10000), and 3000 bytes of data
#   session          velkctl's command chain: the Bluetooth-module firmware dumped and flashed
#                    back, persistent-store keys, the serial flash and the DSP memory flashed, the
#                    data written to and read back from DSP memory, a reset, and the mode again.
#                    It names the images and its outputs (btm.dfu, data-back.bin) relative to the
#                    current folder.
session_images() {
  printf '@000000 1234\n@000001 abcd\n@000010 0001\n' >sqif.xuv
  { printf '\x00\x00\x80\x02'; head -c 8 /dev/zero; printf '\x00\x00\x80\x00\x00\x00\x00\x04'
    head -c 42 /dev/zero; printf '\xee\x14\xde\xad\xbe\xef'; } >dsp.ff
  printf 'velk\n%.0s' $(seq 600) >data.bin
}

session=(
  status
  + dump-btm btm.dfu
  + flash-btm btm.dfu
  + pskey get 0x02ad
  + pskey set 0x0022 0x1234 0xbeef 0x0001
  + pskey get 0x0022
  + pskey clear 0x0022
  + flash-sqif sqif.xuv
  + flash-dsp dsp.ff
  + write-dsp 0x20000 data.bin
  + read-dsp 0x20000 3000 data-back.bin
  + reset
  + status
)
