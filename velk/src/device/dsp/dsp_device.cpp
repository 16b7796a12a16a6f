#include "velk/src/device/dsp/dsp_device.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "lib/clock/clock.h"
#include "velk/src/c/log.h"
#include "velk/src/device/identity.h"
#include "velk/src/device/mode.h"
#include "velk/src/util/byte_order.h"

namespace velk::dsp {
namespace {

constexpr std::uint8_t kCommandReportId = 0x01;  // feature report 1: commands and status
constexpr std::uint8_t kCommandMarker = 0xAA;
constexpr std::size_t kCommandLength = 18;
constexpr Nanos kPollInterval = std::chrono::milliseconds(5);
// A loader busy for this long has hung; without a limit the host would poll forever.
constexpr Nanos kBusyLimit = std::chrono::seconds(60);

// 32-bit fields travel as two little-endian 16-bit words, the more significant word first.
void store_split_word(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
  store_le16(bytes, at, static_cast<std::uint16_t>(value >> 16));
  store_le16(bytes, at + 2, static_cast<std::uint16_t>(value));
}

std::uint32_t load_split_word(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t{load_le16(bytes, at)} << 16 | load_le16(bytes, at + 2);
}

}  // namespace

Result<DspDevice> connect_dsp() {
  VELK_TRY_ASSIGN(device, open_hid_loader(kDspIdentity));
  DspDevice connection(std::move(device));
  auto status = dsp_status(connection);
  if (!status || *status != DSP_STATUS_READY)
    return fail(ErrorKind::DeviceError, "device not ready");
  VELK_DEBUG(kDspLogTarget, "Connected to the device in DSP mode");
  return connection;
}

Result<std::uint32_t> decode_status_report(std::span<const std::uint8_t> report) {
  // The header is judged first: a report of another ID is wrong whatever its length.
  if (!report.empty() && report[0] != kCommandReportId)
    return fail(ErrorKind::DeviceError, "status header error: {:#x}", report[0]);
  if (report.size() < kCommandLength) {
    return fail(ErrorKind::DeviceError, "partial status read: {:#x} < {:#x}", report.size(),
                kCommandLength);
  }
  return load_split_word(report, 2);
}

Result<std::uint32_t> dsp_status(DspDevice& device) {
  std::array<std::uint8_t, kCommandLength> report{kCommandReportId};
  VELK_TRY_ASSIGN(count, device.hid().get_feature_report(report));
  return decode_status_report(std::span(report).first(std::min(count, report.size())));
}

Status dsp_command(DspDevice& device, std::uint8_t code, std::uint32_t arg1, std::uint32_t arg2,
                   std::uint32_t arg3, bool poll_status) {
  std::array<std::uint8_t, kCommandLength> report{kCommandReportId, kCommandMarker};
  store_split_word(report, 2, code);
  store_split_word(report, 6, arg1);
  store_split_word(report, 10, arg2);
  store_split_word(report, 14, arg3);
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
