// The device in DSP mode: the DSP loader, driven through HID feature reports.
#pragma once

#include <cstdint>
#include <span>

#include "velk/src/c/error.h"
#include "velk/src/device/hid_loader.h"
#include "velk/src/device/mode_ops.h"

namespace velk::dsp {

constexpr std::uint32_t DSP_STATUS_READY = 9;
constexpr std::uint32_t DSP_STATUS_CRC_ERROR = 10;

// Command codes of feature report 1, with their arguments (address and count in bytes). Only
// the erase and the write check are followed by status polling.
constexpr std::uint8_t DSP_ERASE = 1;         // sector address, sector size, 0
constexpr std::uint8_t DSP_READ = 2;          // address, count, 0; data reports follow
constexpr std::uint8_t DSP_WRITE = 3;         // address, count, CRC; data reports follow
constexpr std::uint8_t DSP_RESET = 6;         // 0, 0, 0; the chip restarts
constexpr std::uint8_t DSP_WRITE_CHECK = 11;  // address, count, CRC

using DspDevice = HidLoader<OperationMode::DSP>;

// Opens the loader found under the DSP identity and checks that it is ready; hidapi must have
// been started (LibraryContext).
Result<DspDevice> connect_dsp();
// Feature report 1 as read back: ID 0x01, 18 bytes, the status in split-word order at byte 2.
Result<std::uint32_t> decode_status_report(std::span<const std::uint8_t> report);
Result<std::uint32_t> dsp_status(DspDevice& device);
Status dsp_command(DspDevice& device, std::uint8_t code, std::uint32_t arg1, std::uint32_t arg2,
                   std::uint32_t arg3, bool poll_status);
Status reset_dsp(DspDevice& device);

struct DspOps {
  using Device = DspDevice;
  static constexpr UsbIdentity kIdentity = kDspIdentity;
  static Result<DspDevice> open(FoundDevice /*found*/) { return connect_dsp(); }
  static bool answers(DspDevice& device) { return dsp_status(device).has_value(); }
  static Status restart(DspDevice& device) { return reset_dsp(device); }
};

}  // namespace velk::dsp
