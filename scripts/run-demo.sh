#!/usr/bin/env bash
# Sets everything up, builds, and runs a firmware-service session of velkctl against the
# virtual device: a Vexo that starts in its DFU boot loader with a firmware image on it. The
# session dumps the Bluetooth-module firmware and flashes it back, works with persistent-store
# keys, flashes the serial flash and the DSP memory, writes and reads DSP memory, and ends with
# the device back in its normal mode. Every mode switch restarts the virtual device.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_WERROR=ON
cmake --build build --target velkctl velk_sim_preload

velkctl=$root/build/tools/velkctl/velkctl
# A velkctl in the build tree finds the virtual device through this variable.
export VELKCTL_SIM_PRELOAD=$root/build/sim/libvelk_sim_preload.so
demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo"
cd "$demo"

# The images of the session: an xuv text image (16-bit words at word addresses), an FF image
# with one data record (4 bytes at word address 0x8000, byte address 0x10000), and some data.
printf '@000000 1234\n@000001 abcd\n@000010 0001\n' > sqif.xuv
{ printf '\x00\x00\x80\x02'; head -c 8 /dev/zero; printf '\x00\x00\x80\x00\x00\x00\x00\x04'
  head -c 42 /dev/zero; printf '\xee\x14\xde\xad\xbe\xef'; } > dsp.ff
printf 'velk\n%.0s' $(seq 600) > data.bin  # 3000 bytes

set -x
"$velkctl" --sim=vexo-dfu-firmware --log session.log \
  status \
  + dump-btm btm.dfu \
  + flash-btm btm.dfu \
  + pskey get 0x02ad \
  + pskey set 0x0022 0x1234 0xbeef 0x0001 \
  + pskey get 0x0022 \
  + pskey clear 0x0022 \
  + flash-sqif sqif.xuv \
  + flash-dsp dsp.ff \
  + write-dsp 0x20000 data.bin \
  + read-dsp 0x20000 3000 data-back.bin \
  + reset \
  + status
cmp data.bin data-back.bin
{ set +x; } 2>/dev/null
echo "--- the DSP data read back matches what was written"
echo "--- the library's log: $demo/session.log"
cat session.log
