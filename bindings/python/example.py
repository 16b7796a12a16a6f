"""A service session through the binding: the device's mode, a persistent-store key written and
read back, the Bluetooth-module firmware dumped, DSP memory written and read back.

On the virtual device: LD_PRELOAD=<libdir>/velk/libvelk_sim_preload.so VELK_SIM=vexo-dfu-firmware
"""

import velk


def show(done: int, total: int) -> None:  # progress: bytes so far, of total
    print(f"\r{done}/{total} bytes", end="")


velk.init_log("session.log", 4)  # optional; failures then quote the log's error record
with velk.open() as dev:  # the one attached device; velk.NoDevice when there is none
    print("mode:", dev.status().name)
    dev.write_pskey(0x0022, [0x1234, 0xBEEF])
    print("pskey 0x0022:", [hex(word) for word in dev.read_pskey(0x0022)])
    dev.dump_btm("btm.dfu", progress=show)  # the Bluetooth-module firmware, as a DFU file
    dev.write_dsp(0x20000, b"velk" * 1024, progress=show)
    print("\nDSP 0x20000:", dev.read_dsp(0x20000, 8))
