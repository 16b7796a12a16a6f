// The BTM-mode connection and the operations the device manager needs while the device is in
// this mode: the operational check and the three ways out of it.
#pragma once

#include <cstdint>

#include "lib/usb/usb.h"
#include "velk/src/c/error.h"
#include "velk/src/device/btm/btm_device.h"
#include "velk/src/device/mode.h"
#include "velk/src/device/mode_ops.h"

namespace velk::btm {

// One word: 0 or 3 while the Bluetooth-module firmware runs; 5 or 1 written to restart into
// SQIF or DSP mode.
constexpr std::uint16_t kModePSKey = 0x02AD;
enum ModeKeyValue : std::uint16_t { kModeBtm = 0, kModeBtmAlt = 3, kModeSqif = 5, kModeDsp = 1 };

constexpr std::uint16_t kVarColdReset = 0x4001;

// Opens the device found under its BTM identity, claims the HCI and DFU run-time interfaces,
// drains stale events and checks that the firmware answers. A failure closes what was opened.
Result<BtmDevice> connect_btm(usb::UsbDevice device);

// True when the mode key reads back as exactly one word holding 0 or 3; every failure is false.
bool btm_is_operational(BtmDevice& device);

// DFU_DETACH on the run-time interface, then a USB reset unless the device detaches by itself.
Status detach_to_dfu(BtmDevice& device);

// Restarts the chip. Nothing answers, so no transfer failure is reported.
Status cold_reset(BtmDevice& device);

// Writes the mode key so the device restarts into SQIF or DSP mode. Failures show only in the
// mode the device comes back in.
void select_mode(BtmDevice& device, OperationMode mode);

struct BtmOps {
  using Device = BtmDevice;
  static constexpr UsbIdentity kIdentity = kBtmIdentity;
  static Result<BtmDevice> open(FoundDevice found) { return connect_btm(std::move(found.device)); }
  static bool answers(BtmDevice& device) { return btm_is_operational(device); }
  static Status restart(BtmDevice& device) { return cold_reset(device); }
};

}  // namespace velk::btm
