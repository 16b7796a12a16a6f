#include "velk/src/device/dsp/dsp_device.h"

#include <array>
#include <chrono>

#include "lib/clock/clock.h"
#include "velk/src/c/log.h"

namespace velk::dsp {
namespace {

constexpr std::string_view kTarget = "velk::device::dsp";

constexpr std::uint8_t kCommandReportId = 0x01;  // feature report 1: commands and status
constexpr std::uint8_t kCommandMarker = 0xAA;
constexpr std::size_t kCommandLength = 18;
constexpr Nanos kPollInterval = std::chrono::milliseconds(5);
// A loader busy for this long has hung; without a limit the host would poll forever.
constexpr Nanos kBusyLimit = std::chrono::seconds(60);

}  // namespace

void put_split_word(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 16);
  out[1] = static_cast<std::uint8_t>(value >> 24);
  out[2] = static_cast<std::uint8_t>(value);
  out[3] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t get_split_word(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0] | in[1] << 8) << 16 |
         static_cast<std::uint32_t>(in[2] | in[3] << 8);
}

Result<DspDevice> connect_dsp(const LibraryContext& /*context*/) {
  auto list = hid::hid_devices(kVendorId, kProductId);
  if (list.empty()) return fail(ErrorKind::EnumerationError, "DSP device not found");
  VELK_TRY_ASSIGN(device, hid::HidDeviceList::open(*list.first()));
  DspDevice connection(std::move(device));
  auto status = dsp_status(connection);
  if (!status || *status != DSP_STATUS_READY)
    return fail(ErrorKind::DeviceError, "device not ready");
  VELK_DEBUG(kTarget, "Connected to the device in DSP mode");
  return connection;
}

Result<std::uint32_t> dsp_status(DspDevice& device) {
  std::array<std::uint8_t, kCommandLength> report{kCommandReportId};
  VELK_TRY_ASSIGN(count, device.hid().get_feature_report(report));
  if (report[0] != kCommandReportId)
    return fail(ErrorKind::DeviceError, "status header error: {:#x}", report[0]);
  if (count < kCommandLength) {
    return fail(ErrorKind::DeviceError, "partial status read: {:#x} < {:#x}", count,
                kCommandLength);
  }
  return get_split_word(&report[2]);
}

Status dsp_command(DspDevice& device, std::uint8_t code, std::uint32_t arg1, std::uint32_t arg2,
                   std::uint32_t arg3, bool poll_status) {
  std::array<std::uint8_t, kCommandLength> report{kCommandReportId, kCommandMarker};
  put_split_word(&report[2], code);
  put_split_word(&report[6], arg1);
  put_split_word(&report[10], arg2);
  put_split_word(&report[14], arg3);
  VELK_TRY_ASSIGN(sent, device.hid().send_feature_report(report));
  if (sent != kCommandLength) {
    return fail(ErrorKind::DeviceError, "partial command write: {:#x} != {:#x}", sent,
                kCommandLength);
  }
  if (!poll_status) return {};
  Nanos start = monotonic_now();
  for (;;) {
    VELK_TRY_ASSIGN(status, dsp_status(device));
    if (status == DSP_STATUS_READY) return {};
    if (status == DSP_STATUS_CRC_ERROR) return fail(ErrorKind::DeviceError, "command CRC error");
    if (monotonic_now() - start >= kBusyLimit) {
      return fail(ErrorKind::Timeout, "DSP command {:#x} still busy", code);
    }
    sleep_for(kPollInterval);
  }
}

Status reset_dsp(DspDevice& device) {
  return dsp_command(device, DSP_RESET, 0, 0, 0, /*poll_status=*/false);
}

}  // namespace velk::dsp
