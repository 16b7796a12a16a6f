// The device in DFU mode: its USB DFU 1.1 boot loader.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "lib/usb/usb.h"
#include "velk/src/device/dfu/dfu_descriptor.h"
#include "velk/src/device/dfu/dfu_requests.h"
#include "velk/src/device/mode_ops.h"

namespace velk::dfu {

enum class DfuState : std::uint8_t {
  AppIdle = 0,
  AppDetach = 1,
  DFUIdle = 2,
  DFUDnloadSync = 3,
  DFUDnbusy = 4,
  DFUDnloadIdle = 5,
  DFUManifestSync = 6,
  DFUManifest = 7,
  DFUManifestWaitReset = 8,
  DFUUploadIdle = 9,
  DFUError = 10,
};

std::string_view state_name(DfuState state);

struct DfuStatus {
  std::uint8_t status;                     // bStatus, 0 = no error
  std::chrono::milliseconds poll_timeout;  // bwPollTimeout
  DfuState state;
};

class DfuDevice {
 public:
  DfuDevice(usb::UsbDeviceHandle handle, libusb_device_descriptor device,
            DfuFunctionalDescriptor dfu)
      : handle_(std::move(handle)), device_(device), dfu_(dfu) {}

  usb::UsbDeviceHandle& handle() { return handle_; }
  const libusb_device_descriptor& device() const { return device_; }
  const DfuFunctionalDescriptor& descriptor() const { return dfu_; }

  // Whether the loader is known to wait in DFUIdle: it said so when connected, or the last
  // transfer ended there. A transfer clears it when it starts; one that fails leaves it clear.
  bool known_idle() const { return known_idle_; }
  void set_known_idle(bool idle) { known_idle_ = idle; }

 private:
  usb::UsbDeviceHandle handle_;
  libusb_device_descriptor device_;
  DfuFunctionalDescriptor dfu_;
  bool known_idle_ = false;
};

// The answer to DFU_GETSTATUS: 6 bytes, bState one of the eleven states.
constexpr std::size_t kDfuStatusLength = 6;
Result<DfuStatus> decode_dfu_status(std::span<const std::uint8_t> reply);

Result<DfuDevice> connect_dfu(usb::UsbDevice device, const libusb_device_descriptor& descriptor);
// DFU_GETSTATUS; an error status the device reports is cleared with DFU_CLRSTATUS and still
// returned to the caller.
Result<DfuStatus> get_status(DfuDevice& device, std::chrono::milliseconds timeout);
// DFU_CLRSTATUS: from DFUError back to DFUIdle.
Status dfu_clear_status(DfuDevice& device);
// DFU_ABORT: from DFUDnloadIdle or DFUUploadIdle back to DFUIdle, dropping the transfer.
Status dfu_abort(DfuDevice& device);
// DFU_DNLOAD of one block; an empty block is the request that starts manifestation. Returns the
// byte count the device took.
Result<std::size_t> download_block(DfuDevice& device, std::uint16_t block,
                                   std::span<const std::uint8_t> data);
// DFU_UPLOAD of one block into `buffer`; returns the byte count received, short at the end.
Result<std::size_t> upload_block(DfuDevice& device, std::uint16_t block,
                                 std::span<std::uint8_t> buffer);
// Leaves DFU mode with a USB port reset; the device restarts. Its outcome is not reported, so
// this never fails.
Status reset_dfu(DfuDevice& device);

struct DfuOps {
  using Device = DfuDevice;
  static constexpr UsbIdentity kIdentity = kDfuIdentity;
  static Result<DfuDevice> open(FoundDevice found) {
    return connect_dfu(std::move(found.device), found.descriptor);
  }
  static bool answers(DfuDevice& device) {
    return get_status(device, kDfuRequestTimeout).has_value();
  }
  static Status restart(DfuDevice& device) { return reset_dfu(device); }
};

}  // namespace velk::dfu
