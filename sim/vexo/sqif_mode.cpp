#include "sim/vexo/sqif_mode.h"

#include "sim/vexo/descriptors.h"
#include "sim/vexo/vexo.h"

namespace sim::vexo {

SqifMode::SqifMode(Vexo& chip) : ModeModel(chip) {}

libusb_device_descriptor SqifMode::device_descriptor() const {
  return identity(kChipVendor, kSqifProduct, chip_.options().bcd_device, /*with_strings*/ false);
}

Bytes SqifMode::config_descriptor() const {
  return hid_loader_config(/*report descriptor*/ 34);
}

int SqifMode::hid_write(std::span<const std::uint8_t> report) {
  if (report.size() < 2 || report.size() > kMaxReport || report[0] != kCommandReport) return -1;
  switch (report[1]) {
    case kPing:
      status(kPing, kDone);
      break;
    case kReset:
      // The loader puts the mode key back before restarting, so the chip boots its firmware.
      chip_.set_pskey(kModePsKey, {0});
      chip_.restart(std::nullopt, chip_.timings().command_restart);
      break;
    default:
      status(report[1], kFailed);
      break;
  }
  return static_cast<int>(report.size());
}

std::optional<Bytes> SqifMode::hid_read() {
  if (statuses_.empty()) return std::nullopt;
  Bytes report = std::move(statuses_.front());
  statuses_.pop_front();
  return report;
}

void SqifMode::status(std::uint8_t command, std::uint8_t value) {
  statuses_.push_back({kStatusReport, command, value});
}

}  // namespace sim::vexo
