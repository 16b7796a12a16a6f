// How a Vexo is built: the mode it starts in, its identities, its DFU capabilities, its timeline
// and its faults. Tests change the timeline and the faults of a plugged device through Vexo too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "sim/vexo/faults.h"
#include "sim/vexo/identity.h"

namespace sim::vexo {

using namespace std::chrono_literals;

// bmAttributes of a DFU functional descriptor.
inline constexpr std::uint8_t kCanDnload = 0x01;
inline constexpr std::uint8_t kCanUpload = 0x02;
inline constexpr std::uint8_t kManifestationTolerant = 0x04;
inline constexpr std::uint8_t kWillDetach = 0x08;

struct DfuFunction {
  std::uint8_t attributes = kCanDnload | kCanUpload | kWillDetach;
  std::uint16_t detach_timeout_ms = 5000;
  std::uint16_t transfer_size = 1023;
  std::uint16_t dfu_version = 0x0110;
};

struct VexoTimings {
  // Off the bus between going down and being listed again under the new identity.
  std::chrono::nanoseconds restart = 2s;
  // From answering a mode-key write of 5 or 1 until the chip goes down.
  std::chrono::nanoseconds mode_key_restart = 50ms;
  // From a restart command (Cold_Reset, a loader's reset, a USB reset that ends DFU mode or
  // completes a detach) until the chip goes down.
  std::chrono::nanoseconds command_restart = 1ms;
  // From DFU_DETACH on a device with bitWillDetach until it drops off the bus by itself.
  std::chrono::nanoseconds self_detach = 10ms;
};

struct VexoOptions {
  Mode mode = Mode::Btm;
  std::uint16_t btm_product = kBtmProduct;
  std::uint16_t dfu_product = kDfuProduct;
  std::uint16_t bcd_device = 0x0100;
  // The kernel driver a host binds to the firmware's HCI interface (a Bluetooth driver that
  // matches the device on some systems), or empty for none.
  std::string hci_kernel_driver{};
  // The run-time DFU interface of the Bluetooth-module firmware, and the boot loader's own.
  DfuFunction runtime_dfu{};
  DfuFunction loader_dfu{.attributes = kCanDnload | kCanUpload | kManifestationTolerant,
                         .detach_timeout_ms = 5000,
                         .transfer_size = 1023,
                         .dfu_version = 0x0110};
  VexoTimings timings{};
  VexoFaults faults{};
};

}  // namespace sim::vexo
