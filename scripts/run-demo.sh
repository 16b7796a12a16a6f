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

source "$root/scripts/service-session.sh"
session_images

set -x
"$velkctl" --sim=vexo-dfu-firmware --log session.log "${session[@]}"
cmp data.bin data-back.bin
{ set +x; } 2>/dev/null
echo "--- the DSP data read back matches what was written"
echo "--- the library's log: $demo/session.log"
cat session.log
