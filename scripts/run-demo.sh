#!/usr/bin/env bash
# Sets everything up, builds, and runs a firmware-service session of velkctl against the
# virtual device: status, a persistent-store key written and read back, a restart.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target velkctl velk_sim_preload
velkctl=build/tools/velkctl/velkctl
log=build/demo-session.log
rm -f "$log"
set -x
"$velkctl" --sim --log "$log" \
  status \
  + pskey get 0x02ad \
  + pskey set 0x0022 0x1234 0xbeef 0x0001 \
  + pskey get 0x0022 \
  + pskey clear 0x0022 \
  + reset \
  + status
{ set +x; } 2>/dev/null
echo "--- the library's log: $log"
cat "$log"
