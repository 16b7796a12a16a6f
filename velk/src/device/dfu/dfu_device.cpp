#include "velk/src/device/dfu/dfu_device.h"

#include <algorithm>
#include <array>

#include "velk/src/c/log.h"
#include "velk/src/device/mode.h"
#include "velk/src/util/byte_order.h"

namespace velk::dfu {
namespace {

constexpr std::array<std::string_view, 11> kStateNames{
    "AppIdle",       "AppDetach",       "DFUIdle",     "DFUDnloadSync",        "DFUDnbusy",
    "DFUDnloadIdle", "DFUManifestSync", "DFUManifest", "DFUManifestWaitReset", "DFUUploadIdle",
    "DFUError"};

}  // namespace

std::string_view state_name(DfuState state) {
  return kStateNames.at(static_cast<std::size_t>(state));
}

Result<DfuDevice> connect_dfu(usb::UsbDevice device, const libusb_device_descriptor& descriptor) {
  VELK_TRY_ASSIGN(dfu, parse_dfu_descriptor(device));
  VELK_TRY_ASSIGN(handle, device.open());
  VELK_TRY(handle.claim_interface(dfu.interface_number));
  DfuDevice connection(std::move(handle), descriptor, dfu);
  auto status = get_status(connection, kDfuRequestTimeout);
  if (!status) return fail(ErrorKind::DeviceError, "DFU not operational");
  connection.set_known_idle(status->status == 0 && status->state == DfuState::DFUIdle);
  VELK_DEBUG(kDfuLogTarget, "Connected to the device in DFU mode");
  return connection;
}

Result<DfuStatus> decode_dfu_status(std::span<const std::uint8_t> reply) {
  if (reply.size() < kDfuStatusLength)
    return fail(ErrorKind::DeviceError, "invalid GetStatus response: {:#x}", reply.size());
  if (reply[4] > static_cast<std::uint8_t>(DfuState::DFUError)) {
    return fail(ErrorKind::DeviceError, "invalid state: {:#x}", reply[4]);
  }
  return DfuStatus{
      .status = reply[0],
      .poll_timeout = std::chrono::milliseconds(load_le24(reply, 1)),
      .state = static_cast<DfuState>(reply[4]),
  };
}

Result<DfuStatus> get_status(DfuDevice& device, std::chrono::milliseconds timeout) {
  std::array<std::uint8_t, kDfuStatusLength> reply{};
  VELK_TRY_ASSIGN(count, device.handle().read_control(
                             kDfuRequestIn, DFU_GETSTATUS, /*value=*/0,
                             /*index=*/device.descriptor().interface_number, reply, timeout));
  // The device's error is cleared even when the state it reports is no state at all.
  if (count == kDfuStatusLength && reply[0] != 0) {
    VELK_WARN(kDfuLogTarget, "Status = {:#x}, clearing", reply[0]);
    VELK_DEBUG(kDfuLogTarget, "Clearing status");
    VELK_TRY(dfu_clear_status(device));
  }
  return decode_dfu_status(std::span(reply).first(std::min(count, reply.size())));
}

Status dfu_clear_status(DfuDevice& device) {
  VELK_TRY(device.handle().write_control(kDfuRequestOut, DFU_CLRSTATUS, /*value=*/0,
                                         /*index=*/device.descriptor().interface_number, {},
                                         kDfuRequestTimeout));
  return {};
}

Status dfu_abort(DfuDevice& device) {
  VELK_TRY(device.handle().write_control(kDfuRequestOut, DFU_ABORT, /*value=*/0,
                                         /*index=*/device.descriptor().interface_number, {},
                                         kDfuRequestTimeout));
  return {};
}

Result<std::size_t> download_block(DfuDevice& device, std::uint16_t block,
                                   std::span<const std::uint8_t> data) {
  return device.handle().write_control(kDfuRequestOut, DFU_DNLOAD, /*value=*/block,
                                       /*index=*/device.descriptor().interface_number, data,
                                       kDfuRequestTimeout);
}

Result<std::size_t> upload_block(DfuDevice& device, std::uint16_t block,
                                 std::span<std::uint8_t> buffer) {
  return device.handle().read_control(kDfuRequestIn, DFU_UPLOAD, /*value=*/block,
                                      /*index=*/device.descriptor().interface_number, buffer,
                                      kDfuRequestTimeout);
}

Status reset_dfu(DfuDevice& device) {
  (void)device.handle().reset();
  return {};
}

}  // namespace velk::dfu
